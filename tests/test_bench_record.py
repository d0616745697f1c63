"""Stored benchmark runs and their side-by-side comparison."""
import json

import pytest

from bench import record


@pytest.mark.parametrize("a, b, expected", [
    ("ratio 1.20 at 3 px", "ratio 1.20 at 3 px", ["  ratio 1.20 at 3 px"]),
    ("ratio 1.20, 5 regions", "ratio 0.95, 5 regions", ["  ratio 1.20→0.95, 5 regions"]),
    ("qlo_cv 2.5e+01 ms", "qlo_cv -3 ms", ["  qlo_cv 2.5e+01→-3 ms"]),
    ("3 rounds", "3 rounds in turns", ["- 3 rounds", "+ 3 rounds in turns"]),
])
def test_lines_side_by_side(a, b, expected):
    assert record.side_by_side(a, b) == expected


def test_a_run_is_stored_and_compared_with_another(tmp_path, capsys):
    first = record.run_and_keep({"x": lambda: print("x 1.5 ms\nonly before")}, ["x"])
    second = record.run_and_keep({"x": lambda: print("x 1.2 ms"), "y": lambda: print("y 3")}, ["x", "y"])
    assert first == {"x": ["x 1.5 ms", "only before"]} and "x 1.5 ms" in capsys.readouterr().out
    a, b = record.save(first, tmp_path), record.save(second, tmp_path / "later")
    assert json.loads(a.read_text())["benches"] == first and a.name.endswith(".json")
    assert record.compare(a, b)[1:] == ["== x", "  x 1.5→1.2 ms", "- only before", "== y", "+ y 3"]
