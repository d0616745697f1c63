import json
import math
import re

import cv2
import numpy as np
import pytest

from bench.registration import corner_error, moved_boxes, warped
from examples.labelled_samples import board_sample
from examples.print_pair import make_label
from qlo_batch.matching import iou
from qlo_batch.pairs import Pair
from qlo_batch.pipeline import run_pairs
from qlo_batch.registration import Reference, _figures, _strips, register
from qlo_batch.settings import Settings, SettingsError
from qlo_batch.work_unit import Inspector

SHAPE = (480, 640)
REGISTERING = Settings(register="homography")


@pytest.fixture(scope="module")
def label():
    return make_label(SHAPE, seed=5)


@pytest.fixture(scope="module")
def board():
    return board_sample(np.random.default_rng([3, 1]), max_shift=0)[0]


def transform(shape, turn=0.0, scale=1.0, move=(0.0, 0.0), shear=0.0, keystone=0.0):
    """The 3 x 3 carrying standard pixels to the print's, about the centre."""
    rows, cols = shape
    c, s = math.cos(math.radians(turn)), math.sin(math.radians(turn))
    linear = scale * np.array([[c, -s], [s, c]]) @ np.array([[1, shear], [0, 1]])
    centre = np.array([cols / 2, rows / 2])
    matrix = np.eye(3)
    matrix[:2, :2] = linear
    matrix[:2, 2] = centre + move - linear @ centre
    tilt = np.eye(3)
    tilt[2, 0] = keystone / cols
    shift = np.array([[1, 0, -centre[0]], [0, 1, -centre[1]], [0, 0, 1.0]])
    return matrix @ np.linalg.inv(shift) @ tilt @ shift


def inspect(tmp_path, standard, target, settings=REGISTERING):
    paths = [str(tmp_path / name) for name in ("standard.png", "target.png")]
    cv2.imwrite(paths[0], standard)
    cv2.imwrite(paths[1], target)
    return Inspector(settings)(Pair(paths[0], paths[1], "target.png"))


# each mode recovers what it models, to a fraction of a pixel everywhere on the print
@pytest.mark.parametrize("mode, moves", [
    ("shift", dict(move=(17.4, -12.6))),
    ("rigid", dict(turn=-1.7, move=(-19.0, 8.3))),
    ("similarity", dict(turn=1.2, scale=0.991, move=(6.0, 15.5))),
    ("affine", dict(turn=0.6, scale=1.008, shear=0.006, move=(-3.0, -9.0))),
    ("homography", dict(turn=-2.0, scale=1.01, move=(20.0, 4.0), keystone=0.005)),
])
@pytest.mark.parametrize("family", ["label", "board"])
def test_each_mode_recovers_the_transform(request, family, mode, moves):
    standard = request.getfixturevalue(family)
    truth = transform(standard.shape, **moves)
    registration = register(Reference.of(standard), warped(standard, truth), Settings(register=mode))
    assert registration.problem is None
    assert corner_error(registration.matrix, truth, standard.shape) < 0.6
    expected = _figures(truth, standard.shape)      # the figures of the true transform
    assert registration.angle == pytest.approx(expected.angle, abs=0.05)
    assert registration.scale == pytest.approx(expected.scale, abs=0.002)
    assert registration.shift == pytest.approx(expected.shift, abs=0.3)
    assert registration.landmarks[0] >= 0.8 * len(Reference.of(standard).centres)


def test_a_turned_scaled_moved_and_dimmer_print_is_ok_and_its_defect_is_found_where_it_is(tmp_path, label):
    truth = transform(SHAPE, turn=1.6, scale=0.992, move=(-14.0, 11.0), keystone=0.005)
    clean = warped(label, truth, 0.75)
    outcome = inspect(tmp_path, label, clean)
    assert outcome.verdict == "OK", outcome.descriptions
    figures = outcome.registration
    assert figures["angle"] == pytest.approx(1.6, abs=0.05) and figures["brightness"] == pytest.approx(0.75, abs=0.03)
    assert (figures["dx"], figures["dy"]) == pytest.approx((-14.0, 11.0), abs=0.5)
    # a dark speck on the paper, in the print's own pixels
    damaged = clean.copy()
    cv2.circle(damaged, (520, 300), 5, 30, -1)
    outcome = inspect(tmp_path, label, damaged)
    assert outcome.verdict == "NG" and len(outcome.defects) == 1
    assert iou(outcome.defects[0][0], [515, 295, 526, 306]) > 0.33
    assert all(iou(box, [515, 295, 526, 306]) > 0 for box in outcome.boxes)


def other_label(label):
    return make_label(SHAPE, seed=11)


def blank_belt(label):
    return np.clip(np.random.default_rng(0).normal(90, 3, SHAPE), 0, 255).astype(np.uint8)


def upside_down(label):
    return cv2.rotate(label, cv2.ROTATE_180)


def mirrored(label):
    return cv2.flip(label, 1)


def turned_too_far(label):
    return warped(label, transform(SHAPE, turn=8.0))


# one verdict line for the whole print: never a flood of regions, never OK
@pytest.mark.parametrize("make", [other_label, blank_belt, upside_down, mirrored, turned_too_far])
def test_a_print_that_cannot_be_registered_is_ng_with_the_reason(tmp_path, label, make):
    outcome = inspect(tmp_path, label, make(label))
    assert outcome.verdict == "NG" and outcome.defects == []
    assert outcome.boxes == [[0, 0, SHAPE[1], SHAPE[0]]]
    [line] = outcome.descriptions
    assert line.startswith("not registered: ") and outcome.registration["problem"] in line
    assert outcome.thumbnail_jpg and outcome.crops == [] and outcome.crops_jpg is None   # no crop of the whole print
    if make is turned_too_far:
        assert "turned by 8.00°, more than max_angle 5°" in line


@pytest.mark.parametrize("brightness, verdict", [(0.5, "NG"), (0.7, "OK"), (1.25, "OK"), (1.7, "NG")])
def test_brightness_beyond_its_range_is_a_verdict(tmp_path, label, brightness, verdict):
    outcome = inspect(tmp_path, label, warped(label, transform(SHAPE, turn=0.5), brightness))
    assert outcome.verdict == verdict
    if verdict == "NG":
        [line] = outcome.descriptions
        assert re.fullmatch(r"print \d\.\d\d× as bright as its standard \(allowed 0.65–1.35×\)", line)


def test_boxes_go_back_through_the_transform(label):
    truth = transform(SHAPE, turn=2.0, move=(10.0, -5.0), keystone=0.005)
    registration = register(Reference.of(label), warped(label, truth), REGISTERING)
    boxes = [[100, 100, 120, 110], [600, 0, 640, 40], [0, 0, 640, 480]]
    assert registration.to_target(boxes, SHAPE) == moved_boxes(boxes, truth, SHAPE)
    assert registration.to_target([], SHAPE) == []


def test_the_uncovered_strip_is_the_standards_own(label):
    truth = transform(SHAPE, turn=1.0, move=(-15.0, -12.0))
    target = warped(label, truth)
    registration = register(Reference.of(label), target, REGISTERING)
    onto = registration.onto(label, target)
    # the strip the move uncovers (left and top) holds the standard's pixels
    assert np.array_equal(onto[:, :8], label[:, :8]) and np.array_equal(onto[:5], label[:5])
    assert np.mean(cv2.absdiff(onto, label)[40:-40, 40:-40] > 50) < 0.005


def test_strips_hold_every_pixel_outside_the_frame(rng):
    for _ in range(200):
        rows, cols = int(rng.integers(20, 90)), int(rng.integers(20, 90))
        frame = np.array([[0, 0], [cols, 0], [cols, rows], [0, rows]], float) + rng.uniform(-8, 8, (4, 2))
        inside = np.zeros((rows, cols), np.uint8)
        cv2.fillConvexPoly(inside, np.round(frame * 16).astype(np.int32), 1, cv2.LINE_8, 4)
        in_strips = np.zeros_like(inside)
        for x1, y1, x2, y2 in _strips(frame, (rows, cols)):
            in_strips[y1:y2, x1:x2] = 1
        assert not np.any((inside == 0) & (in_strips == 0))


@pytest.mark.parametrize("key, value", [("register", "spin"), ("brightness", [1.2, 2.0]), ("brightness", [0.5]),
                                        ("brightness", [0.0, 1.5]), ("max_angle", -1.0), ("max_scale", 2.0),
                                        ("min_correlation", 1.5), ("brightness", [0.5, math.inf])])
def test_bad_registration_settings_are_refused(key, value):
    with pytest.raises(SettingsError, match=key):
        Settings(**{key: value})


def test_run_json_and_the_page_say_what_registration_found(tmp_path, label):
    cv2.imwrite(str(tmp_path / "standard.png"), label)
    turns = [0.3, 0.25, 0.35, 0.3, 0.28, 2.0]
    for index, turn in enumerate(turns):
        cv2.imwrite(str(tmp_path / ("%d.png" % index)), warped(label, transform(SHAPE, turn=turn, move=(5, 3))))
    cv2.imwrite(str(tmp_path / "belt.png"), blank_belt(label))
    names = ["%d.png" % index for index in range(len(turns))] + ["belt.png"]
    (tmp_path / "pairs.csv").write_text("standard,target\n" + "".join("standard.png,%s\n" % n for n in names))
    rows = run_pairs(str(tmp_path / "pairs.csv"), str(tmp_path / "out"), REGISTERING, serial=True, progress=False)
    assert [row["verdict"] for row in rows] == ["OK"] * 6 + ["NG"]
    files = json.loads((tmp_path / "out" / "run.json").read_text())["files"]
    assert [files[n]["registration"]["unusual"] for n in names[:6]] == [[]] * 5 + [["angle"]]
    assert files["0.png"]["registration"]["angle"] == pytest.approx(0.3, abs=0.05)
    assert "problem" in files["belt.png"]["registration"]
    page = (tmp_path / "out" / "report.html").read_text(encoding="utf-8")
    assert "<th>Registration</th>" in page
    assert re.search('<mark title="unusual for this run">turned (1.9[5-9]|2.0[0-5])°</mark>', page)


def test_inspection_regions_lie_on_the_standard_and_mask_the_registered_print(tmp_path, label):
    from openpyxl import Workbook
    book = Workbook()
    book.active.append(["name", "shape", "parameters", "type"])
    book.active.append(["date code", "rectangle", "x1=480,y1=260,x2=560,y2=340", "roui"])
    book.save(tmp_path / "regions.xlsx")
    settings = Settings(register="homography", regions_workbook=str(tmp_path / "regions.xlsx"))
    truth = transform(SHAPE, turn=2.0, move=(12.0, -9.0))
    for centre, verdict in (((520, 300), "OK"), ((150, 420), "NG")):     # inside the region, outside it
        damaged = label.copy()
        cv2.circle(damaged, centre, 5, 30, -1)
        outcome = inspect(tmp_path, label, warped(damaged, truth), settings)
        assert outcome.verdict == verdict, outcome.descriptions
