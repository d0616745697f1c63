"""The shell scripts: set-up runs only the steps whose inputs changed (and
reports a failed build as a failure), and every command takes the user's
relative paths from the folder it was run from."""
import csv
import os
import pathlib
import shutil
import stat
import subprocess
import sys

import cv2
import numpy as np
import pytest

from qlo_batch import run_pairs

ROOT = pathlib.Path(__file__).resolve().parent.parent
pytestmark = pytest.mark.hardening

# Stands in for the environment's interpreter: logs each call, answers the
# version and installed-package probes, and "builds" with progress lines.
FAKE_PYTHON = """#!/bin/sh
case "$*" in
  *"print(sys.version)"*) echo "${FAKE_VERSION:-3.12.0}" ;;
  *find_spec*) [ -e "$FAKE_DIR/installed" ] || exit 1 ;;
  *"pip install -q"*) echo requirements >> "$FAKE_DIR/calls" ;;
  *"pip install -v"*)
    echo build >> "$FAKE_DIR/calls"
    echo "  [1/2] Building CXX object a.cpp.o"
    echo "cmake chatter"
    if [ -e "$FAKE_DIR/fail" ]; then echo "error: a.cpp does not compile"; exit 1; fi
    echo "  [2/2] Linking CXX shared module qlo_cv.so"
    touch "$FAKE_DIR/installed" ;;
esac
"""


@pytest.fixture
def fake_checkout(tmp_path):
    repo = tmp_path / "repo"
    (repo / "scripts").mkdir(parents=True)
    shutil.copy(ROOT / "scripts" / "setup.sh", repo / "scripts")
    for name, text in [("src/a.cpp", "int a;"), ("qlo_batch/__init__.py", ""), ("CMakeLists.txt", "project(x)"),
                       ("pyproject.toml", "[project]")]:
        (repo / name).parent.mkdir(exist_ok=True)
        (repo / name).write_text(text)
    python = repo / ".venv" / "bin" / "python"
    python.parent.mkdir(parents=True)
    python.write_text(FAKE_PYTHON)
    python.chmod(python.stat().st_mode | stat.S_IXUSR)
    return repo


def write(path, text):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text)


# Each step changes something, runs setup.sh, and names the pip steps that ran.
SETUP_STEPS = [
    ("first run", lambda repo, fake: None, [], {}, ["requirements", "build"], 0),
    ("nothing changed", lambda repo, fake: None, [], {}, [], 0),
    ("a source edited", lambda repo, fake: write(repo / "src/a.cpp", "int b;"), [], {}, ["build"], 0),
    ("a source added", lambda repo, fake: write(repo / "src/sub/c.cpp", "int c;"), [], {}, ["build"], 0),
    ("the package edited", lambda repo, fake: write(repo / "qlo_batch/x.py", "x = 1"), [], {}, ["build"], 0),
    ("a bytecode cache", lambda repo, fake: write(repo / "qlo_batch/__pycache__/x.pyc", "?"), [], {}, [], 0),
    ("build arguments", lambda repo, fake: None, ["-C", "build-dir=b2"], {}, ["build"], 0),
    ("the same arguments", lambda repo, fake: None, ["-C", "build-dir=b2"], {}, [], 0),
    ("back to none", lambda repo, fake: None, [], {}, ["build"], 0),
    ("another interpreter", lambda repo, fake: None, [], {"FAKE_VERSION": "3.12.9"}, ["requirements", "build"], 0),
    ("package removed", lambda repo, fake: (fake / "installed").unlink(), [], {"FAKE_VERSION": "3.12.9"},
     ["build"], 0),
    ("forced", lambda repo, fake: None, [], {"FAKE_VERSION": "3.12.9", "QLO_SETUP": "force"},
     ["requirements", "build"], 0),
    ("a failing build", lambda repo, fake: write(fake / "fail", "") or write(repo / "src/a.cpp", "int d;"), [],
     {"FAKE_VERSION": "3.12.9"}, ["build"], 1),
    ("after the failure", lambda repo, fake: (fake / "fail").unlink(), [], {"FAKE_VERSION": "3.12.9"},
     ["build"], 0),
]


def test_setup_runs_only_the_steps_whose_inputs_changed(fake_checkout, tmp_path):
    fake = tmp_path / "fake"
    fake.mkdir()
    for name, change, args, env, expected, status in SETUP_STEPS:
        change(fake_checkout, fake)
        (fake / "calls").unlink(missing_ok=True)
        done = subprocess.run(["bash", str(fake_checkout / "scripts" / "setup.sh"), *args], capture_output=True,
                              text=True, timeout=60, env={**os.environ, "FAKE_DIR": str(fake), **env})
        calls = (fake / "calls").read_text().split() if (fake / "calls").exists() else []
        assert (calls, done.returncode) == (expected, status), (name, done.stderr)
        if "build" in calls and status == 0:     # the compiler's progress, not the rest of the log
            assert "[1/2] Building CXX" in done.stderr and "chatter" not in done.stderr, (name, done.stderr)
        if status:
            assert "the build failed" in done.stderr and "a.cpp does not compile" in done.stderr, name
        if not calls:
            assert "current" in done.stderr, (name, done.stderr)


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    """A standard, a folder of two prints, a pairs CSV, labels and a pairs run."""
    folder = tmp_path_factory.mktemp("scripts") / "data"
    (folder / "prints").mkdir(parents=True)
    standard = np.full((60, 80), 200, np.uint8)
    spotted = standard.copy()
    spotted[20:30, 30:45] = 40
    cv2.imwrite(str(folder / "std.png"), standard)
    cv2.imwrite(str(folder / "prints" / "a.png"), standard)
    cv2.imwrite(str(folder / "prints" / "b.png"), spotted)
    with open(folder / "pairs.csv", "w", newline="") as f:
        csv.writer(f).writerows([["standard", "target"], ["std.png", "prints/a.png"], ["std.png", "prints/b.png"]])
    (folder / "labels.csv").write_text("file,x1,y1,x2,y2,kind\nprints/b.png,30,20,45,30,\n")
    run_pairs(str(folder / "pairs.csv"), str(folder / "run"), serial=True, progress=False)
    return folder


# (script, arguments, the folder it runs from, a file it must write, text its output must hold)
ELSEWHERE = [
    ("run_batch.sh", ["../data/std.png", "../data/prints", "out", "--serial", "--no-progress"], "work",
     "work/out/report.csv", "1 NG"),
    ("run_batch.sh", ["--pairs", "../data/pairs.csv", "out", "--serial", "--no-progress"], "work",
     "work/out/defects.csv", "1 NG"),
    ("run_eval.sh", ["../data/run", "../data/labels.csv", "--pairs", "../data/pairs.csv"], "work",
     "data/run/evaluation.json", "recall"),
    ("run_tune.sh", ["../data/pairs.csv", "../data/labels.csv", "tuned.toml", "--budget", "2", "--no-progress"],
     "work", "work/tuned.toml", "settings: tuned.toml"),
    ("run_tests.sh", ["test_batch_extras.py", "--collect-only"], ROOT / "tests", None,
     "test_batch_extras.py::test_version"),
]


@pytest.mark.parametrize("script, args, cwd, written, shown", ELSEWHERE, ids=[e[0] for e in ELSEWHERE])
def test_scripts_take_paths_from_the_callers_folder(data, script, args, cwd, written, shown):
    cwd = data.parent / cwd
    cwd.mkdir(exist_ok=True)
    env = {**os.environ, "QLO_SKIP_SETUP": "1", "QLO_VENV": sys.prefix}
    done = subprocess.run(["bash", str(ROOT / "scripts" / script), *args], cwd=cwd, capture_output=True, text=True,
                          timeout=300, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    assert shown in done.stdout, done.stdout
    if written:
        assert (data.parent / written).is_file()


@pytest.mark.parametrize("args, collected, deselected", [
    ([], True, False),            # the fast tier leaves the slow tier out
    (["--all"], True, True),
    (["-m", "hardening"], False, True),
])
def test_run_tests_chooses_the_tier(args, collected, deselected):
    # This file is all slow tier; test_batch_extras.py all fast tier.
    env = {**os.environ, "QLO_SKIP_SETUP": "1", "QLO_VENV": sys.prefix}
    done = subprocess.run(["bash", str(ROOT / "scripts" / "run_tests.sh"), "tests/test_batch_extras.py", __file__,
                           "--collect-only", *args], cwd=ROOT, capture_output=True, text=True, timeout=300,
                          env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    assert ("test_batch_extras.py::" in done.stdout) == collected, done.stdout
    assert ("test_scripts.py::" in done.stdout) == deselected, done.stdout
