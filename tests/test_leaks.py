"""Repeated calls, succeeding and failing, of every callable of the module keep
neither memory nor Python objects.

A fresh interpreter picks, for each callable, a call that succeeds (plausible
arguments) and one that fails (hostile arguments), then repeats each pair
as often as a budget of CPU time allows (up to 10 000 times): resident memory may
not grow by 1 MB over the whole run, and the memory traced by tracemalloc may
not grow with the number of repetitions of any one callable (an object kept
per call adds at least 16 bytes a call).

The budget counts the process's CPU time, not wall time, so a machine loaded
by other work runs the same calls, only more slowly; the child's deadline is
far above the budget for the same reason.
"""
import json
import os
import subprocess
import sys

import pytest


HERE = os.path.dirname(os.path.abspath(__file__))
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
REPEATS = int(os.environ.get("QLO_LEAK_REPEATS", "10000"))   # per callable, within the time budget
BUDGET = float(os.environ.get("QLO_LEAK_SECONDS", "20"))      # CPU seconds for the resident-memory pass
DEADLINE = 3600                                               # wall seconds for the whole child
TRACED_REPEATS = 25


def _probe(repeats, budget):
    """Runs in the child; returns the measurements as a dict."""
    import gc
    import random
    import time
    import tracemalloc
    import warnings

    import hostile

    warnings.simplefilter("ignore")
    # Printed lines are dropped at once: a buffered file would hold them as
    # Python strings until its buffer fills, which reads as traced growth.
    sys.stdout = open(os.devnull, "w", buffering=1)
    hostile.prepare_workdir()

    def attempt(spec):
        try:
            hostile.perform(spec)
            return True
        except Exception:
            return False

    pairs = []
    for target in hostile.targets():
        if target.kind == "unbound":
            continue  # the bound method covers the body; a foreign self fails at the first attribute
        calls, good = {}, hostile.plausible_call(target)
        if attempt(good):
            calls[True] = good
        rng = random.Random(f"leak:{target.label}")
        for index in range(12):
            spec = hostile.draw_for(rng, index, target)
            calls.setdefault(attempt(spec), spec)
            if len(calls) == 2:
                break
        pairs.append((target.label, list(calls.values())))

    def repeat(calls, times):
        for _ in range(times):
            for spec in calls:
                attempt(spec)

    def resident():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    # Each callable gets an equal share of the CPU-time budget, at most `repeats`.
    counts = []
    for _, calls in pairs:  # also warms caches and free lists
        began = time.process_time()
        repeat(calls, 5)
        each = max((time.process_time() - began) / 5, 1e-6)
        counts.append(max(20, min(repeats, int(budget / len(pairs) / each))))
    gc.collect()
    before = resident()
    for (_, calls), count in zip(pairs, counts):
        repeat(calls, count)
    gc.collect()
    grown = resident() - before

    traced = {}
    # Everything alive now moves to the collector's permanent generation: each
    # mark's collection then scans only what the repetitions made (five times
    # less time for the pass). Tracing, and so the measure, is not affected.
    gc.collect()
    gc.freeze()
    tracemalloc.start()
    for label, calls in pairs:
        # Equal blocks after a first one: refilling caches whose first entries
        # predate tracing, or an allocator's free list, grows some blocks; a
        # per-call leak grows every one.
        marks = []
        for block in range(4):
            if block:
                repeat(calls, TRACED_REPEATS)
            gc.collect()
            # The interpreter's type-attribute cache keeps the name string of
            # each lookup it caches. A lookup by C string (pybind11 probing an
            # error's __notes__) makes a fresh string each time, and cv2 edits
            # its error class on every raise, so each failing OpenCV call parks
            # one more string in the cache until its 4096 slots are used up:
            # bounded, not a leak, so the cache is emptied before each mark.
            sys._clear_type_cache()
            marks.append(tracemalloc.get_traced_memory()[0])
        traced[label] = min(marks[2] - marks[1], marks[3] - marks[2])
    tracemalloc.stop()
    return {"resident": grown, "traced": traced, "targets": len(pairs), "fewest": min(counts),
            "calls": sum(len(calls) * count for (_, calls), count in zip(pairs, counts))}


@pytest.mark.hardening
def test_repeated_calls_keep_no_memory(tmp_path):
    command = [sys.executable, "-X", "faulthandler", __file__, str(REPEATS), str(BUDGET)]
    proc = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=DEADLINE)
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = json.loads(proc.stdout.splitlines()[-1])
    assert report["targets"] > 0
    if not UNDER_ASAN:  # ASan's quarantine keeps freed memory resident
        assert report["resident"] < 1 << 20, f"resident memory grew by {report['resident']} bytes"
    growing = {label: size for label, size in report["traced"].items() if size >= 16 * TRACED_REPEATS}
    assert not growing, f"traced memory grew (bytes over {TRACED_REPEATS} repetitions): {growing}"


if __name__ == "__main__":
    sys.path.insert(0, HERE)
    result = _probe(int(sys.argv[1]), float(sys.argv[2]))
    sys.stdout = sys.__stdout__
    print(json.dumps(result))
