"""The labelled sample generator of examples/: CSVs the batch tool reads,
labels that sit on real differences, every defect kind, and the same files
for the same seed."""
import csv
import filecmp
import os
import sys

import cv2
import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from examples import labelled_samples  # noqa: E402
from qlo_batch.pairs import read_pairs  # noqa: E402

KINDS = {"bridge", "break", "hole", "bite", "island", "spur"}


@pytest.fixture(scope="module")
def sample_set(tmp_path_factory):
    out = tmp_path_factory.mktemp("samples")
    return out, labelled_samples.generate(str(out), boards=6, prints=3, seed=11)


def _rows(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def _real_difference(standard, target, shift):
    """Pixels of the target that differ by more than 20 grey levels from the
    standard's pixel and its four neighbours, once the standard is moved like
    the target and its contrast matched: a difference that no one-pixel
    misregistration explains."""
    moved = labelled_samples.move(standard, shift).astype(np.float64)
    fit = np.polyfit(moved.ravel(), target.ravel().astype(np.float64), 1)   # the print's contrast change
    moved = np.polyval(fit, moved).astype(np.float32)
    k = cv2.getStructuringElement(cv2.MORPH_CROSS, (3, 3))
    return (target > cv2.dilate(moved, k) + 20) | (target < cv2.erode(moved, k) - 20)


def test_csvs_split_and_labels_on_real_differences(sample_set):
    out, paths = sample_set
    pairs = read_pairs(paths["pairs"])
    train, test = read_pairs(paths["train"]), read_pairs(paths["test"])
    assert len(pairs) == 9 and sorted(train + test, key=lambda p: p.file) == sorted(pairs, key=lambda p: p.file)
    assert not {p.file for p in train} & {p.file for p in test}
    assert {p.file.split("/")[0] for p in test} == {"boards", "prints"}
    by_target = {p.file: p for p in pairs}
    shifts = {r["file"]: (float(r["dx"]), float(r["dy"])) for r in _rows(paths["shifts"])}
    labels = _rows(paths["labels"])
    assert {r["kind"] for r in labels} >= KINDS
    for r in labels:
        pair = by_target[r["file"]]
        standard, target = cv2.imread(pair.standard, 0), cv2.imread(pair.target, 0)
        x1, y1, x2, y2 = (int(r[k]) for k in ("x1", "y1", "x2", "y2"))
        assert 0 <= x1 < x2 <= target.shape[1] and 0 <= y1 < y2 <= target.shape[0], r
        real = _real_difference(standard, target, shifts[r["file"]])
        assert np.count_nonzero(real[y1:y2, x1:x2]) >= 3, r


def test_same_seed_same_files(sample_set, tmp_path):
    out, _paths = sample_set
    labelled_samples.generate(str(tmp_path), boards=6, prints=3, seed=11)
    names = sorted(os.path.relpath(os.path.join(d, f), tmp_path) for d, _s, fs in os.walk(tmp_path) for f in fs)
    assert names == sorted(os.path.relpath(os.path.join(d, f), out) for d, _s, fs in os.walk(out) for f in fs)
    match, mismatch, errors = filecmp.cmpfiles(out, tmp_path, names, shallow=False)
    assert not mismatch and not errors


@pytest.mark.parametrize("args", [dict(test_share=1.5), dict(test_share=-0.1), dict(boards=-1)])
def test_bad_arguments(tmp_path, args):
    with pytest.raises(ValueError):
        labelled_samples.generate(str(tmp_path), **dict(dict(boards=1, prints=0), **args))
