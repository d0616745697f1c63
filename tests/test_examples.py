"""Every script in examples/ runs on its own, from a folder that is not the
repository's, and writes what it says only into the output folder it is given;
the README's usage example runs on the files the demonstration leaves."""
import ast
import os
import pathlib
import subprocess
import sys

import pytest

from conftest import readme_example

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"

# script, extra arguments after OUT_DIR, a line it prints, files it writes into OUT_DIR
RUNS = [
    ("main_job.py", [], "verdict: NG", ["marked.png", "standard.png", "target.png", "marked_regions.png",
                                        "shift_compare_barcode.jpg", "defects/report.csv"]),
    ("barcode_job.py", [], "barcode verdict (broken bar): NG", ["shift_compare_barcode.jpg"]),
    ("barcode_dark_bars.py", [], "dark bars inverted: NG (1 NG region)", ["shift_compare_barcode.jpg"]),
    ("masked_regions.py", [], "inside the inspection regions: NG", ["standard.png", "target.png", "regions.xlsx",
                                                                   "marked_regions.png", "marked_preview.png"]),
    ("measure_part.py", None, "circle: fitted centre", []),
    ("robot_guidance.py", None, "robot guidance: camera calibrated", []),
    ("defect_job.py", [], "defect job:", ["tuned.toml", "defects/report.csv", "defects/evaluation.json"]),
    ("labelled_samples.py", ["--boards", "2", "--prints", "1"], "labels by kind:",
     ["pairs.csv", "labels.csv", "shifts.csv"]),
    ("print_pair.py", [], "missing stroke at", ["print_standard.png", "print_target.png"]),
    ("print_faults.py", ["--prints", "2"], "labels by kind:", ["pairs.csv", "labels.csv"]),
    ("sample_boards.py", [], "board tile and its scan", ["board_tile.png", "board_scan.png"]),
    ("sample_defects.py", [], "board_defects.png:", ["board_defects.png"]),
    ("sample_prints.py", [], "label pair in", ["label_standard.png", "label_target.png"]),
]


def test_every_example_is_run():
    assert sorted(run[0] for run in RUNS) == sorted(path.name for path in EXAMPLES.glob("*.py"))


def run_in(folder, *argv):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    run = subprocess.run([sys.executable, *argv], cwd=folder, env=env, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr[-3000:]
    return run


@pytest.mark.hardening
@pytest.mark.tooling
@pytest.mark.parametrize("script, extra, line, files", RUNS, ids=[run[0] for run in RUNS])
def test_example_runs_on_its_own(tmp_path, script, extra, line, files):
    run = run_in(tmp_path, str(EXAMPLES / script), *([] if extra is None else ["out", *extra]))
    assert line in run.stdout, run.stdout[-3000:]
    assert "Traceback" not in run.stderr, run.stderr[-3000:]
    written = {p.relative_to(tmp_path).as_posix() for p in tmp_path.iterdir()}
    assert written <= {"out"}, "written outside OUT_DIR: %s" % sorted(written - {"out"})
    missing = [name for name in files if not (tmp_path / "out" / name).is_file()]
    assert missing == [], missing


@pytest.mark.hardening
@pytest.mark.tooling
def test_readme_example_runs_on_the_demonstrations_files(tmp_path):
    run_in(tmp_path, str(EXAMPLES / "masked_regions.py"), "out")
    (tmp_path / "example.py").write_text(readme_example(), encoding="utf-8")
    lines = run_in(tmp_path, "example.py").stdout.splitlines()
    assert [line.split(" ", 1)[0] for line in lines] == ["NG", "NG"], lines
    whole, masked = (set(ast.literal_eval(line.split(" ", 1)[1])) for line in lines)
    # the whole print reports the changed date code too; the inspection regions leave only the real defects
    assert masked and masked < whole, lines
    assert (tmp_path / "out" / "marked_example.png").is_file()


@pytest.mark.hardening
@pytest.mark.tooling
def test_readme_example_stops_plainly_without_the_files(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    (tmp_path / "example.py").write_text(readme_example(), encoding="utf-8")
    run = subprocess.run([sys.executable, "example.py"], cwd=tmp_path, env=env, capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 1 and "run bash scripts/run_demo.sh first" in run.stderr, run.stderr[-2000:]
    assert "Traceback" not in run.stderr
