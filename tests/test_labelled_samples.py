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


def _real_difference(standard, target, shift, reach=cv2.MORPH_CROSS):
    """Pixels of the target that differ by more than 20 grey levels from the
    standard's pixel and its neighbours (four, or eight with MORPH_RECT), once
    the standard is moved like the target and its contrast matched: a
    difference that no one-pixel misregistration explains."""
    moved = labelled_samples.move(standard, shift)
    k = cv2.getStructuringElement(reach, (3, 3))
    flat = cv2.dilate(moved, k) - cv2.erode(moved, k) < 10   # the print's contrast change, away from edges
    fit = np.polyfit(moved[flat].astype(np.float64), target[flat].astype(np.float64), 1)
    moved = np.polyval(fit, moved).astype(np.float32)
    return (target > cv2.dilate(moved, k) + 20) | (target < cv2.erode(moved, k) - 20)


def test_csvs_split_and_labels_on_real_differences(sample_set):
    out, paths = sample_set
    pairs = read_pairs(paths["pairs"])
    train, test = read_pairs(paths["train"]), read_pairs(paths["test"])
    assert len(pairs) == 9 and sorted(train + test, key=lambda p: p.file) == sorted(pairs, key=lambda p: p.file)
    assert not {p.file for p in train} & {p.file for p in test}
    assert {p.file.split("/")[0] for p in test} == {"boards", "prints"}
    shifts = {r["file"]: (float(r["dx"]), float(r["dy"])) for r in _rows(paths["shifts"])}
    labels = _rows(paths["labels"])
    assert {r["kind"] for r in labels} >= KINDS
    boxes = {}
    for r in labels:
        boxes.setdefault(r["file"], []).append(tuple(int(r[k]) for k in ("x1", "y1", "x2", "y2")))
    for pair in pairs:
        standard, target = cv2.imread(pair.standard, 0), cv2.imread(pair.target, 0)
        shift = shifts[pair.file]
        real, strict = _real_difference(standard, target, shift), _real_difference(standard, target, shift,
                                                                                    cv2.MORPH_RECT)
        for x1, y1, x2, y2 in boxes.get(pair.file, []):
            assert 0 <= x1 < x2 <= target.shape[1] and 0 <= y1 < y2 <= target.shape[0], (pair.file, x1, y1)
            assert np.count_nonzero(real[y1:y2, x1:x2]) >= 3, (pair.file, x1, y1)
            strict[y1:y2, x1:x2] = False
        # nothing else differs: no unlabelled defect (the border strip that a shift fills is left out)
        inner = strict[4:-4, 4:-4].astype(np.uint8)
        areas = cv2.connectedComponentsWithStats(inner)[2][1:, cv2.CC_STAT_AREA]
        assert areas.max(initial=0) < 10, pair.file


def test_same_seed_same_samples(sample_set, tmp_path):
    """Each sample depends on the seed and its index only, not on how many are made."""
    out, paths = sample_set
    small = labelled_samples.generate(str(tmp_path), boards=2, prints=1, seed=11)
    images = ["boards/0000_std.png", "boards/0000_tgt.png", "boards/0001_tgt.png", "prints/0000_tgt.png"]
    match, mismatch, errors = filecmp.cmpfiles(out, tmp_path, images, shallow=False)
    assert match == images
    for key in ("labels", "shifts"):
        rows = _rows(small[key])
        assert rows and rows == [r for r in _rows(paths[key]) if r["file"] in {r["file"] for r in rows}]


@pytest.mark.parametrize("args", [dict(test_share=1.5), dict(test_share=-0.1), dict(boards=-1), dict(seed=-2),
                                  dict(material="white"), dict(max_shift=-1)])
def test_bad_arguments(tmp_path, args):
    with pytest.raises(ValueError):
        labelled_samples.generate(str(tmp_path), **dict(dict(boards=1, prints=0), **args))
