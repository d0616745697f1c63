"""The batch tool without its `batch` extra: the plain loop shows a text
progress line instead of tqdm's bar, and the modes that need Dask stop with
one line naming the extra; the package's version is the distribution's."""
import importlib.metadata
import io
import pathlib
import sys
import tomllib

import cv2
import numpy as np
import pytest

import qlo_batch
from qlo_batch import run_batch, tune
from qlo_batch.__main__ import main
from qlo_batch.progress import PlainBar, progress_bar

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture
def without_extra(monkeypatch):
    """Imports of tqdm and Dask fail, as in an environment without the extra."""
    for name in ("tqdm", "dask", "distributed"):
        monkeypatch.setitem(sys.modules, name, None)


@pytest.mark.parametrize("total, steps, postfix, last", [
    (3, 3, "NG b.png", "3/3 img 100 % NG b.png"),
    (7, 2, "", "2/7 img 28 %"),
    (0, 0, "", "0/0 img"),                  # an empty folder: no division by zero
    (None, 2, "OK a.png", "2/? img OK a.png"),
])
def test_plain_bar_ends_with_the_final_count(total, steps, postfix, last):
    out = io.StringIO()
    with PlainBar(total, "img", file=out, interval=0) as bar:
        for _ in range(steps):
            bar.update(1)
            bar.set_postfix_str(postfix, refresh=False)
    text = out.getvalue()
    assert text.endswith("\n") and text.count("\n") == 1
    assert text.rstrip("\n").split("\r")[-1].rstrip() == last


def test_plain_bar_covers_a_longer_line_drawn_before():
    out = io.StringIO()
    bar = PlainBar(10, "img", file=out, interval=0)
    bar.set_postfix_str("NG a_very_long_file_name.png")
    bar.set_postfix_str("OK b.png")
    bar.close()
    bar.close()                             # a second close draws nothing more
    drawn = out.getvalue().rstrip("\n").split("\r")[1:]
    assert len(drawn) == 3 and len(drawn[1]) == len(drawn[0]) and drawn[1].rstrip() == "0/10 img 0 % OK b.png"


@pytest.mark.parametrize("enabled, kind", [(True, PlainBar), (False, type(None))])
def test_progress_bar_without_tqdm(without_extra, enabled, kind):
    with progress_bar(5, enabled, "img") as bar:
        assert isinstance(bar, kind)


def test_serial_run_without_the_extra_shows_a_text_line(without_extra, tmp_path, capsys):
    standard = np.full((40, 50), 200, np.uint8)
    spotted = standard.copy()
    spotted[10:20, 10:25] = 30
    prints = tmp_path / "prints"
    prints.mkdir()
    cv2.imwrite(str(tmp_path / "std.png"), standard)
    cv2.imwrite(str(prints / "a.png"), standard)
    cv2.imwrite(str(prints / "b.png"), spotted)
    rows = run_batch(str(tmp_path / "std.png"), str(prints), str(tmp_path / "out"), serial=True)
    assert [(row["file"], row["verdict"]) for row in rows] == [("a.png", "OK"), ("b.png", "NG")]
    assert "2/2 img 100 %" in capsys.readouterr().err


@pytest.mark.parametrize("command, argv, needs", [
    (main, ["std.png", "prints", "out", "--dask"], "qlo_batch: the Dask mode"),
    (main, ["std.png", "prints", "out", "--scheduler", "tcp://127.0.0.1:1"], "qlo_batch: the Dask mode"),
    (main, ["--pairs", "pairs.csv", "out", "--scheduler", "tcp://127.0.0.1:1"], "qlo_batch: the Dask mode"),
    (tune.main, ["pairs.csv", "labels.csv", "tuned.toml", "--scheduler", "tcp://127.0.0.1:1"],
     "qlo_batch.tune: --scheduler"),
])
def test_dask_modes_name_the_missing_extra(without_extra, tmp_path, monkeypatch, capsys, command, argv, needs):
    monkeypatch.chdir(tmp_path)
    assert command(argv) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith(needs) and "pip install 'qlo_cv[batch]'" in err
    assert list(tmp_path.iterdir()) == []    # stopped before any work


def test_version_is_the_distributions_and_has_a_changelog_entry():
    declared = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert qlo_batch.__version__ == importlib.metadata.version("qlo_cv") == declared
    headings = [line for line in (ROOT / "CHANGELOG.md").read_text().splitlines() if line.startswith("## ")]
    assert any(line.split()[1] == declared for line in headings), headings
