"""Defect-level inspection on labelled pairs, as a quality engineer runs it:
generate a small labelled set (binarised board tiles and grey label prints,
examples/labelled_samples.py), tune the settings on its training part, inspect
the held-out part in pairs mode with the tuned settings, and score the defects
found against the labels. Each step is the command a user would run
(qlo_batch.tune, qlo_batch --pairs, qlo_batch.evaluate), called in-process."""
import os
import sys
import time

from qlo_batch import __main__ as batch
from qlo_batch import evaluate, tune

from labelled_samples import generate

BOARDS, PRINTS, SEED = 24, 6, 5


def run_defect_job(out_dir):
    start = time.perf_counter()
    samples = generate(os.path.join(out_dir, "samples"), boards=BOARDS, prints=PRINTS, seed=SEED)
    print("labelled set: %d board tiles and %d label prints in %s (labels: %s)"
          % (BOARDS, PRINTS, os.path.join(out_dir, "samples"),
             ", ".join("%s %d" % item for item in sorted(samples["kinds"].items()))))
    settings = os.path.join(out_dir, "tuned.toml")
    report = os.path.join(out_dir, "defects")
    steps = [(tune.main, [samples["train"], samples["labels"], settings, "--no-progress"]),
             (batch.main, ["--pairs", samples["test"], report, "--settings", settings, "--no-progress"]),
             (evaluate.main, [report, samples["labels"], "--pairs", samples["test"]])]
    for command, argv in steps:
        if command(argv) != 0:
            raise SystemExit("defect job: %s %s failed" % (command.__module__, " ".join(argv)))
    print("defect job: %.1f s" % (time.perf_counter() - start))


if __name__ == "__main__":
    run_defect_job(sys.argv[1] if len(sys.argv) > 1 else "out")
