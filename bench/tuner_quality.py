"""What the tuner's settings find on held-out pairs, and how long tuning takes,
against a baseline tuner in the same run.

Two generated labelled sets: board tiles with thin defects and drifting
misregistration (examples/labelled_samples.py), and label prints with
scratches, smudges, missing print, specks and voids named in print words
(examples/print_faults.py). Each is tuned on its training half at the default
budget and scored on the other half (one-to-one at IoU > 0.33): F, precision,
recall, kinds right, and on prints the share of planted scratches found as
exactly one defect.

The baseline is the tuner of another checkout, run as a command:

    python -m bench tuner_quality                    # this checkout only
    QLO_BASELINE=/path/to/checkout python -m bench tuner_quality

Its settings are scored as that code found defects: no chaining of lined-up
fragments (chain = 0) and board words."""
import dataclasses
import os
import subprocess
import sys
import tempfile
import time

from examples import labelled_samples, print_faults
from qlo_batch import tune
from qlo_batch.defects import KINDS, find_defects
from qlo_batch.image_files import read_grey
from qlo_batch.labels import file_key, read_labels
from qlo_batch.matching import Found, intersection, score
from qlo_batch.pairs import read_pairs
from qlo_batch.settings import load_settings

BOARDS, PRINTS, SEED = 120, 48, 7


def sets(folder):
    boards = labelled_samples.generate(os.path.join(folder, "boards"), boards=BOARDS, prints=0, seed=SEED,
                                       material="dark", thin=2, warp=1.5)
    prints = print_faults.generate(os.path.join(folder, "prints"), prints=PRINTS, seed=SEED)
    return {"boards": boards, "prints": prints}


def tuned(paths, out, checkout=None):
    """(settings, seconds) of a tuning run on the training pairs, by this
    checkout's tuner or, with `checkout`, by that one's as a command."""
    start = time.perf_counter()
    if checkout is None:
        settings, _ = tune.tune(paths["train"], paths["labels"], out, progress=False, log=lambda text: None)
        return settings, time.perf_counter() - start
    labels = out + ".labels.csv"            # an older reader may know the board words only
    with open(paths["labels"], encoding="utf-8") as source, open(labels, "w", encoding="utf-8") as copy:
        for line in source:
            cells = line.rstrip("\n").split(",")
            copy.write(",".join(cells[:5] + [cells[5] if cells[5] in KINDS + ("kind",) else ""]) + "\n")
    subprocess.run([sys.executable, "-m", "qlo_batch.tune", paths["train"], labels, out, "--no-progress"],
                   check=True, cwd=checkout, stdout=subprocess.DEVNULL,
                   env=dict(os.environ, PYTHONPATH=os.path.abspath(checkout)))
    seconds = time.perf_counter() - start
    return dataclasses.replace(load_settings(out), chain=0, vocabulary="board"), seconds


def held_out(paths, settings):
    """(score, share of scratches found as one defect) on the test pairs."""
    base = os.path.dirname(paths["test"])
    labels = read_labels(paths["labels"])
    test = {file_key(pair.file) for pair in read_pairs(paths["test"])}
    labels = [label for label in labels if file_key(label.file) in test]
    found = []
    for pair in read_pairs(paths["test"]):
        standard = read_grey(os.path.join(base, pair.standard))
        target = read_grey(os.path.join(base, pair.target))
        found += [Found(pair.file, d.box, d.kind, d.score) for d in find_defects(standard, target, settings)]
    scratches = [label for label in labels if label.kind == "scratch"]
    whole = sum(sum(f.file == s.file and intersection(f.box, s.box) > 0 for f in found) == 1 for s in scratches)
    return score(labels, found), whole / len(scratches) if scratches else None


def main():
    checkout = os.environ.get("QLO_BASELINE")
    with tempfile.TemporaryDirectory() as folder:
        for name, paths in sets(folder).items():
            print("tuner on generated %s (%s), tuned on the training half, scored held out:" % (
                name, ", ".join("%s %d" % kv for kv in sorted(paths["kinds"].items()))))
            runs = [("this checkout", None)] + ([("baseline", checkout)] if checkout else [])
            for label, where in runs:
                settings, seconds = tuned(paths, os.path.join(folder, "%s_%s.toml" % (name, label[0])), where)
                result, whole = held_out(paths, settings)
                f = result.overall["iou"]
                print("  %-14s F %.3f  precision %.3f  recall %.3f  kinds %s  scratches as one %s  tuning %.1f s"
                      % (label, f["f_score"] or 0, f["precision"] or 0, f["recall"] or 0,
                         "-" if result.kind_accuracy is None else "%.3f" % result.kind_accuracy,
                         "-" if whole is None else "%.3f" % whole, seconds))


if __name__ == "__main__":
    main()
