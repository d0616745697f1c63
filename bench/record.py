"""Stored benchmark runs: each run's printed figures as JSON in bench/results/
(named by date and commit), and two runs set side by side, so that a figure
quoted in the CHANGELOG points to the run that measured it."""
import contextlib
import datetime
import io
import json
import os
import pathlib
import platform
import re
import subprocess
import sys

RESULTS = pathlib.Path(__file__).resolve().parent / "results"
NUMBER = re.compile(r"-?\d+(?:\.\d+)?(?:e[-+]?\d+)?")


class Tee(io.TextIOBase):
    """Writes to the terminal and keeps a copy."""

    def __init__(self, out):
        self.out, self.copy = out, io.StringIO()

    def write(self, text):
        self.copy.write(text)
        return self.out.write(text)

    def flush(self):
        self.out.flush()


def run_and_keep(benches, names):
    """Runs each named bench, printing as usual; returns {name: [lines printed]}."""
    printed = {}
    for name in names:
        tee = Tee(sys.stdout)
        with contextlib.redirect_stdout(tee):
            benches[name]()
        printed[name] = tee.copy.getvalue().splitlines()
    return printed


def commit():
    """The checkout's commit, marked "+changes" when the tree differs from it."""
    root = RESULTS.parent.parent
    try:
        head = subprocess.run(["git", "-C", str(root), "rev-parse", "--short=12", "HEAD"], capture_output=True,
                              text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(root), "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"
    return head + ("+changes" if dirty else "")


def save(printed, folder=RESULTS):
    """Writes one run to folder/<UTC time>-<commit>.json; returns its path."""
    now = datetime.datetime.now(datetime.timezone.utc)
    record = {"commit": commit(), "date": now.isoformat(timespec="seconds"),
              "machine": {"cpus": os.cpu_count(), "processor": platform.machine(), "python": platform.python_version()},
              "benches": printed}
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / ("%s-%s.json" % (now.strftime("%Y%m%dT%H%M%SZ"), record["commit"]))
    path.write_text(json.dumps(record, indent=1) + "\n")
    return path


def side_by_side(line_a, line_b):
    """One line where the two differ only in their figures ("3.1→2.9" for
    each figure that changed), else both lines marked - and +."""
    if NUMBER.sub("#", line_a) != NUMBER.sub("#", line_b):
        return ["- " + line_a, "+ " + line_b]
    figures_b = iter(NUMBER.findall(line_b))

    def both(match):
        b = next(figures_b)
        return match.group() if b == match.group() else "%s→%s" % (match.group(), b)

    return ["  " + NUMBER.sub(both, line_a)]


def compare(path_a, path_b):
    """Two stored runs, bench by bench."""
    a, b = (json.loads(pathlib.Path(p).read_text()) for p in (path_a, path_b))
    out = ["%s (%s)  →  %s (%s)" % (a["commit"], a["date"], b["commit"], b["date"])]
    for name in list(a["benches"]) + [n for n in b["benches"] if n not in a["benches"]]:
        lines_a, lines_b = a["benches"].get(name, []), b["benches"].get(name, [])
        out.append("== %s" % name)
        for i in range(max(len(lines_a), len(lines_b))):
            if i >= len(lines_a) or i >= len(lines_b):
                out.append(("+ " + lines_b[i]) if i >= len(lines_a) else ("- " + lines_a[i]))
            else:
                out += side_by_side(lines_a[i], lines_b[i])
    return out
