"""The shell scripts: set-up runs only the steps whose inputs changed (and
reports a failed build as a failure), and the commands take the user's
relative paths from the folder they were run from."""
import os
import pathlib
import subprocess
import sys

import pytest
from conftest import two_prints

from qlo_batch import run_pairs

ROOT = pathlib.Path(__file__).resolve().parent.parent
SCRIPTS = ROOT / "scripts"
pytestmark = [pytest.mark.hardening, pytest.mark.tooling]

# Stands in for the environment's interpreter: answers the version and
# installed-package probes from files of its state folder, logs each pip
# step, and "builds" with progress lines among other output.
FAKE_PYTHON = """#!/bin/sh
case "$*" in
  *"print(sys.version)"*) cat "$STATE/version" ;;
  *find_spec*) [ -e "$STATE/installed" ] ;;
  *"pip install -q"*mypy*) echo dev >> "$STATE/calls" ;;
  *"pip install -q"*) echo requirements >> "$STATE/calls" ;;
  *"pip install -v"*) echo build >> "$STATE/calls"; echo "  [1/2] Building CXX a.o"; echo chatter
    if [ -e "$STATE/fail" ]; then echo "error: a.cpp does not compile"; exit 1; fi
    touch "$STATE/installed" ;;
esac
"""

# (what happens, a file written ("~/" in the fake's state) or removed (text None),
#  setup.sh arguments, environment, the pip steps that must run, exit status)
SETUP_STEPS = [
    ("first run", ("~/version", "3.12.0"), [], {}, "requirements build", 0),
    ("nothing changed", None, [], {}, "", 0),
    ("a source edited", ("src/a.cpp", "int b;"), [], {}, "build", 0),
    ("a source added", ("src/sub/c.cpp", "int c;"), [], {}, "build", 0),
    ("the package edited", ("qlo_batch/x.py", "x = 1"), [], {}, "build", 0),
    ("a bytecode cache", ("qlo_batch/__pycache__/x.pyc", "?"), [], {}, "", 0),
    ("build arguments", None, ["-C", "build-dir=b2"], {}, "build", 0),
    ("the same arguments", None, ["-C", "build-dir=b2"], {}, "", 0),
    ("another interpreter", ("~/version", "3.12.9"), [], {}, "requirements build", 0),
    ("package removed", ("~/installed", None), [], {}, "build", 0),
    ("forced", None, [], {"QLO_SETUP": "force"}, "requirements build", 0),
    ("a failing build", ("~/fail", ""), ["-C", "x=1"], {}, "build", 1),
    ("after the failure", ("~/fail", None), ["-C", "x=1"], {}, "build", 0),
    ("developers' tools asked for", None, ["-C", "x=1"], {"QLO_DEV": "1"}, "dev", 0),
    ("developers' tools current", None, ["-C", "x=1"], {"QLO_DEV": "1"}, "", 0),
    ("a user's set-up after them", None, ["-C", "x=1"], {}, "", 0),
    ("another interpreter, with them", ("~/version", "3.12.10"), ["-C", "x=1"], {"QLO_DEV": "1"},
     "requirements dev build", 0),
]


def outside_set_up():
    """The environment without the set-up's own variables: with QLO_VENV
    inherited (the environment running these tests), the set-up under test
    would install into it and rewrite its stamps instead of the fake's."""
    return {key: value for key, value in os.environ.items() if not key.startswith("QLO_")}


def test_setup_runs_only_the_steps_whose_inputs_changed(tmp_path):
    repo, state = tmp_path / "repo", tmp_path / "state"
    for name, text in [("scripts/setup.sh", (SCRIPTS / "setup.sh").read_text()), ("src/a.cpp", "int a;"),
                       ("qlo_batch/__init__.py", ""), ("CMakeLists.txt", ""), ("pyproject.toml", ""),
                       (".venv/bin/python", FAKE_PYTHON)]:
        (repo / name).parent.mkdir(parents=True, exist_ok=True)
        (repo / name).write_text(text)
    (repo / ".venv/bin/python").chmod(0o755)
    state.mkdir()
    for name, change, args, env, expected, status in SETUP_STEPS:
        if change:
            path = state / change[0][2:] if change[0].startswith("~/") else repo / change[0]
            path.parent.mkdir(parents=True, exist_ok=True)
            path.unlink() if change[1] is None else path.write_text(change[1])
        (state / "calls").unlink(missing_ok=True)
        done = subprocess.run(["bash", str(repo / "scripts/setup.sh"), *args], capture_output=True, text=True,
                              timeout=60, env={**outside_set_up(), "STATE": str(state), **env})
        calls = (state / "calls").read_text().split() if (state / "calls").exists() else []
        assert (calls, done.returncode) == (expected.split(), status), (name, done.stderr)
        # The compiler's progress is shown, the rest of the build's output only on failure.
        assert ("[1/2] Building CXX" in done.stderr) == bool(calls[-1:] == ["build"]), (name, done.stderr)
        assert ("does not compile" in done.stderr) == bool(status), (name, done.stderr)


def run_script(script, args, cwd):
    env = {**os.environ, "QLO_SKIP_SETUP": "1", "QLO_VENV": sys.prefix}
    done = subprocess.run(["bash", str(SCRIPTS / script), *args], cwd=cwd, capture_output=True, text=True,
                          timeout=300, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    """A standard, a folder of two prints, a pairs CSV, labels and a pairs run."""
    folder = tmp_path_factory.mktemp("scripts") / "data"
    two_prints(folder)
    (folder / "labels.csv").write_text("file,x1,y1,x2,y2,kind\nprints/b.png,30,20,45,30,\n")
    run_pairs(str(folder / "pairs.csv"), str(folder / "run"), serial=True, progress=False)
    (folder.parent / "work").mkdir()
    return folder


# Run from a sibling folder of the data: (script, arguments, a file it must write, text it must print)
ELSEWHERE = [
    ("run_batch.sh", ["../data/std.png", "../data/prints", "out", "--serial", "--no-progress"],
     "work/out/report.csv", "1 NG"),
    ("run_batch.sh", ["--pairs", "../data/pairs.csv", "out", "--serial", "--no-progress"],
     "work/out/defects.csv", "1 NG"),
    ("run_eval.sh", ["../data/run", "../data/labels.csv", "--pairs", "../data/pairs.csv"],
     "data/run/evaluation.json", "recall"),
    ("run_tune.sh", ["../data/pairs.csv", "../data/labels.csv", "tuned.toml", "--budget", "2", "--no-progress"],
     "work/tuned.toml", "settings: tuned.toml"),
]


@pytest.mark.parametrize("script, args, written, shown", ELSEWHERE, ids=[e[0] for e in ELSEWHERE])
def test_scripts_take_paths_from_the_callers_folder(data, script, args, written, shown):
    assert shown in run_script(script, args, data.parent / "work")
    assert (data.parent / written).is_file()


# Each command runs the interpreter of the environment QLO_VENV names (the one set-up prepared).
@pytest.mark.parametrize("script", ["run_batch.sh", "run_bench.sh", "run_demo.sh", "run_eval.sh", "run_fuzz.sh",
                                    "run_tests.sh", "run_tune.sh"])
def test_scripts_run_the_environment_qlo_venv_names(tmp_path, script):
    python = tmp_path / "env" / "bin" / "python"
    python.parent.mkdir(parents=True)
    python.write_text('#!/bin/sh\ntouch "$0.called"\n')
    python.chmod(0o755)
    subprocess.run(["bash", str(SCRIPTS / script)], cwd=tmp_path, capture_output=True, timeout=60,
                   env={**os.environ, "QLO_SKIP_SETUP": "1", "QLO_VENV": str(tmp_path / "env")})
    assert (tmp_path / "env" / "bin" / "python.called").is_file()


@pytest.mark.parametrize("args, fast, slow", [
    ([], True, False),
    (["--all"], True, True),
    (["-m", "hardening"], False, True),
])
def test_run_tests_picks_the_tier_and_takes_paths_from_the_callers_folder(args, fast, slow):
    # From tests/, by names relative to it: test_batch_extras.py is all fast
    # tier, this file all slow tier.
    shown = run_script("run_tests.sh", ["test_batch_extras.py", "test_scripts.py", "--collect-only", *args],
                       ROOT / "tests")
    assert ("test_batch_extras.py::" in shown, "test_scripts.py::" in shown) == (fast, slow), shown
