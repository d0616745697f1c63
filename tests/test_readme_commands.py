"""The README's commands run as written: each names a script or file of the
clone and the environment's interpreter (never a bare `python`, which is not
the environment's), and those of the batch, labelled-samples and defects
sections run, their placeholders filled in, from the clone's root and from
another folder (with the clone's paths put before `scripts/` and
`examples/`, as a user in another folder types them)."""
import os
import pathlib
import re
import shlex
import subprocess
import sys

import pytest
from conftest import two_prints

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")
BENCHES = set(re.findall(r'"(\w+)": \w+\.main', (ROOT / "bench" / "__main__.py").read_text()))
COMMAND_START = re.compile(r"^(?:bash scripts/|\.venv/bin/python |python3? )")


def commands(text=README):
    """(heading of its section, command) of every shell line of the README's
    sh blocks and every inline code span that is a command, comments taken
    off; a section runs from one "## " heading to the next."""
    found, heading = [], ""
    for block in re.split(r"(?m)^(#+ .*)$", text):
        if block.startswith("#"):
            if block.startswith("## "):
                heading = block[3:].strip()
            continue
        lines = [line for sh in re.findall(r"```sh\n(.*?)```", block, re.S) for line in sh.splitlines()]
        lines += re.findall(r"`([^`\n]+)`", re.sub(r"```.*?```", "", block, flags=re.S))
        for line in lines:
            line = line.split(" # ")[0].strip()
            if COMMAND_START.match(line):
                found.append((heading, line))
    return found


def test_every_command_names_a_file_of_the_clone_and_the_environments_interpreter():
    listed = commands()
    assert len(listed) > 20
    bare = [line for _, line in listed if re.match(r"python3? ", line)]
    assert bare == [], "a bare python is not the environment's: %s" % bare
    for _, line in listed:
        words = line.split()
        if words[0] == "bash":
            assert (ROOT / words[1]).is_file(), line
            if words[1] == "scripts/run_bench.sh":
                assert set(word for word in words[2:] if not word.startswith("[")) <= BENCHES, line
        elif words[1] != "-m":
            assert (ROOT / words[1]).is_file(), line
        else:
            assert words[2] in ("qlo_batch", "pytest"), line


# The placeholders of the commands run below and what they stand for (under the test's folder).
PLACES = {"STANDARD": "data/std.png", "TARGET_DIR": "data/prints", "OUT_DIR": "out", "PAIRS_CSV": "data/pairs.csv",
          "TRAIN_PAIRS_CSV": "samples/train_pairs.csv", "TEST_PAIRS_CSV": "samples/test_pairs.csv",
          "LABELS_CSV": "samples/labels.csv", "tuned.toml": "tuned.toml", "SAMPLES_DIR": "samples"}
# Optional arguments kept, with a small value: the others are left out.
KEPT = {"--boards": "2", "--prints": "1", "--budget": "2"}
RUN_SECTIONS = ("Batch inspection",)
# Commands of those sections that take minutes or run until stopped (the files
# they name are checked above; test_watch_soak.py runs a watch).
SLOW = ("scripts/run_bench.sh", "scripts/check_wheel.sh", "--watch")


def as_typed(line, base, here):
    """The README's command with its placeholders filled in (paths under
    `base`, OUT_DIR one per section), as typed in the folder `here`."""
    def option(match):
        name = match.group(1).split()[0]
        return "%s %s" % (name, KEPT[name]) if name in KEPT else ""
    line = re.sub(r"\[([^\]]*)\]", option, line)
    prefix = "" if here == ROOT else str(ROOT) + "/"
    words = []
    for word in shlex.split(line):
        if word in PLACES:
            word = str(base / PLACES[word])
        elif word.startswith(("scripts/", "examples/")):
            word = prefix + word
        elif word == ".venv/bin/python":
            word = sys.executable
        words.append(word)
    return words


@pytest.fixture(scope="module")
def data(tmp_path_factory):
    folder = tmp_path_factory.mktemp("readme") / "data"
    two_prints(folder)
    return folder.parent


@pytest.mark.hardening
@pytest.mark.tooling
@pytest.mark.parametrize("where", ["root", "elsewhere"])
def test_the_batch_and_defects_commands_run_as_written(data, where, tmp_path):
    here = ROOT if where == "root" else tmp_path
    base = data / where
    base.mkdir()
    (base / "data").symlink_to(data / "data")
    env = {**os.environ, "QLO_SKIP_SETUP": "1", "QLO_VENV": sys.prefix, "PYTHONPATH": str(ROOT)}
    listed = [(heading, line) for heading, line in commands() if (heading in RUN_SECTIONS or
              "labelled_samples.py" in line or "-m qlo_batch" in line) and not any(slow in line for slow in SLOW)]
    # The labelled samples first: the defects section's commands read them.
    listed.sort(key=lambda item: "labelled_samples.py" not in item[1])
    assert len(listed) >= 7, listed
    for heading, line in listed:
        words = as_typed(line.replace("OUT_DIR", "SAMPLES_DIR", 1) if "labelled_samples.py" in line else line, base,
                         here)
        done = subprocess.run(words, cwd=here, env=env, capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, (line, words, done.stderr[-2000:])
        assert "Traceback" not in done.stderr, (line, done.stderr[-2000:])
    assert (base / "out" / "evaluation.json").is_file() and (base / "tuned.toml").is_file()
    assert not (ROOT / "out").exists() and not (ROOT / "tuned.toml").exists()
