"""Barcode print inspection: finding and joining the bars, the rotation angle,
straightening, the comparison rectangle, the whole pipeline on turned and
shifted prints, and the two helpers beside it."""
import builtins
import contextlib
import io
import os

import cv2
import numpy as np
import pytest

import qlo_cv

PAPER, INK = 25, 230                       # bright bars on a dark print
HEIGHTS = [10, 24, 8, 30, 12, 20, 8, 28]   # bars 300 wide, stacked with 8-pixel gaps
GAP, LEFT, TOP, WIDTH = 8, 170, 120, 300
SHAPE = (480, 640)
AOI = (110, 60, 530, 420)


def bar_boxes():
    y = TOP
    for h in HEIGHTS:
        yield LEFT, y, LEFT + WIDTH, y + h
        y += h + GAP


def barcode_print(turn=0.0, shift=(0, 0), dots=()):
    """The print turned `turn` degrees counterclockwise as displayed about the
    image centre, then shifted; `dots` are dark circles (x, y, radius) put in
    before turning."""
    image = np.full(SHAPE, PAPER, np.uint8)
    for x1, y1, x2, y2 in bar_boxes():
        image[y1:y2, x1:x2] = INK
    for x, y, r in dots:
        cv2.circle(image, (x, y), r, PAPER, -1)
    if turn or shift != (0, 0):
        m = cv2.getRotationMatrix2D((SHAPE[1] / 2, SHAPE[0] / 2), turn, 1)
        m[:, 2] += shift
        image = cv2.warpAffine(image, m, SHAPE[::-1], borderMode=cv2.BORDER_CONSTANT, borderValue=PAPER)
    return image


class FakeCv:
    """OpenCV with some functions replaced."""
    def __init__(self, **replaced):
        self.__dict__.update(replaced)

    def __getattr__(self, name):
        return getattr(cv2, name)


def rect_contour(x, y, w, h):
    """A contour whose bounding rect is (x, y, w, h)."""
    r, b = x + w - 1, y + h - 1
    return np.array([[[x, y]], [[x, b]], [[r, b]], [[r, y]]], np.int32)


# ---- bars ----

def test_bars_come_topmost_first_in_aoi_coordinates_with_the_whole_image_thresholded(capsys):
    image = barcode_print()
    image[5:15, 5:15] = INK                                   # outside the AOI: thresholded, not a bar
    bars, threshold = qlo_cv.find_barcode_contours(image, AOI)
    assert type(bars) is list and [cv2.boundingRect(b) for b in bars] == [
        (x1 - AOI[0], y1 - AOI[1], x2 - x1, y2 - y1) for x1, y1, x2, y2 in bar_boxes()]
    assert threshold.shape == SHAPE and set(np.unique(threshold)) == {0, 255}
    assert threshold[10, 10] == 255 and threshold[0, 0] == 0
    assert capsys.readouterr().out == ""


def test_bounds_are_inclusive_and_rejects_are_printed(capsys):
    image = np.zeros((200, 300), np.uint8)
    image[10:16, 10:290] = 255        # contour 279 x 5: area 1395, girth 568
    image[40:61, 10:86] = 255         # contour 75 x 20: area 1500, girth 190
    image[100:130, 10:60] = 255       # contour 49 x 29: area 1421, girth 156
    bars, _ = qlo_cv.find_barcode_contours(image, (0, 0, 300, 200), 1395, 1500, 156, 568)
    assert [cv2.boundingRect(b)[1] for b in bars] == [10, 40, 100]
    assert capsys.readouterr().out == ""
    bars, _ = qlo_cv.find_barcode_contours(image, (0, 0, 300, 200), 1395, 1499.5, 156.5, 568)
    assert [cv2.boundingRect(b)[1] for b in bars] == [10]
    assert sorted(capsys.readouterr().out.splitlines()) == [
        "Out of range bar: Area=1421.0, Length=156.0", "Out of range bar: Area=1500.0, Length=190.0"]


@pytest.mark.parametrize("image, aoi, error", [
    (np.zeros((40, 40, 3), np.uint8), (0, 0, 40, 40), cv2.error),        # colour
    (np.zeros((40, 40), np.float32), (0, 0, 40, 40), cv2.error),         # float
    (np.zeros((40, 40), np.uint8), (0, 0, 40), ValueError),
])
def test_find_barcode_contours_bad_input(image, aoi, error):
    with pytest.raises(error):
        qlo_cv.find_barcode_contours(image, aoi)


def test_aoi_outside_the_image_has_no_bars():
    image = barcode_print()
    bars, threshold = qlo_cv.find_barcode_contours(image, (700, 500, 900, 600))
    assert bars == [] and threshold.shape == SHAPE


@pytest.mark.parametrize("boxes, strip", [
    ([(20, 10, 100, 10), (20, 40, 100, 20)], (70, 18, 74, 53)),
    ([(20, 10, 100, 11)], (70, 18, 74, 18)),             # one bar: a strip one row high
])
def test_fill_threshold_paints_a_five_pixel_strip(boxes, strip):
    threshold = np.zeros((120, 200), np.uint8)
    bars = [rect_contour(*box) for box in boxes]
    assert qlo_cv.fill_threshold(bars, threshold, (2, 3, 200, 120)) is None
    expected = np.zeros_like(threshold)
    x1, y1, x2, y2 = strip
    expected[y1:y2 + 1, x1:x2 + 1] = 255
    assert np.array_equal(threshold, expected)


# ---- rotation ----

def joined(image, aoi=AOI):
    bars, threshold = qlo_cv.find_barcode_contours(image, aoi)
    qlo_cv.fill_threshold(bars, threshold, aoi)
    return bars, threshold


@pytest.mark.parametrize("turn", [-40, -25, -11, -3, 0, 3, 11, 25, 40])
def test_rotate_degree_is_the_turn_whatever_the_opencv_convention(turn):
    # The installed OpenCV reads an upright box as -90 and a turn of -11 as -79.
    bars, threshold = joined(barcode_print(turn))
    degree = qlo_cv.find_rotate_degree(threshold, AOI)
    assert type(degree) is float and -45 < degree <= 45
    assert degree == pytest.approx(-turn, abs=0.6)


@pytest.mark.parametrize("box_angle, expected", [(-90.0, 0.0), (-85.0, 5.0), (-80.0, 10.0), (-79.0, 11.0),
                                                 (-45.0, 45.0), (-44.0, -44.0), (90.0, 0.0), (60.0, -30.0),
                                                 (200.0, 20.0), (-300.0, 60.0 - 90.0)])
def test_rotate_degree_folds_any_reading_into_a_quarter_turn(monkeypatch, box_angle, expected):
    monkeypatch.setattr(qlo_cv, "_cv", FakeCv(minAreaRect=lambda cnt: ((1.0, 2.0), (3.0, 4.0), box_angle)))
    image = np.zeros((20, 20), np.uint8)
    image[5:10, 5:15] = 255
    assert qlo_cv.find_rotate_degree(image, (0, 0, 20, 20)) == pytest.approx(expected)


def test_rotate_degree_of_the_largest_region_and_none_without_one():
    image = np.zeros((100, 100), np.uint8)
    cv2.fillPoly(image, [cv2.boxPoints(((40, 30), (60, 20), -20)).astype(np.int32)], 255)
    cv2.fillPoly(image, [cv2.boxPoints(((40, 75), (20, 8), 30)).astype(np.int32)], 255)
    assert qlo_cv.find_rotate_degree(image, (0, 0, 100, 100)) == pytest.approx(-20, abs=1)
    with pytest.raises(cv2.error):
        qlo_cv.find_rotate_degree(np.zeros((20, 20), np.uint8), (0, 0, 20, 20))


def test_rotate_correcting_turns_about_the_first_bar_corner():
    image = barcode_print()
    bars, _ = qlo_cv.find_barcode_contours(image, AOI)
    same = qlo_cv.rotate_correcting(image, bars, 0, AOI)
    assert same is not image and np.array_equal(same, image)
    turned = qlo_cv.rotate_correcting(image, bars, 10.0, AOI)
    m = cv2.getRotationMatrix2D((LEFT, TOP), 10.0, 1)
    assert np.array_equal(turned, cv2.warpAffine(image, m, SHAPE[::-1], borderMode=cv2.BORDER_CONSTANT,
                                                 borderValue=0))
    with pytest.raises(IndexError):
        qlo_cv.rotate_correcting(image, [], 1.0, AOI)


def test_cmp_rect_starts_at_the_middle_of_the_first_bar(monkeypatch):
    bars = [rect_contour(10, 20, 100, 30), rect_contour(40, 80, 30, 80), rect_contour(20, 200, 60, 20)]
    seen = []
    monkeypatch.setattr(qlo_cv, "find_barcode_contours", lambda image, aoi: (seen.append(aoi) or bars, None))
    aoi = (100, 50, 400, 400)
    rect = qlo_cv.cmp_rect_after_rotate_correcting(np.zeros((400, 400), np.uint8), aoi)
    assert rect == (110, 85, 100, 200) and type(rect) is tuple and seen == [aoi]
    bars = []
    with pytest.raises(IndexError):
        qlo_cv.cmp_rect_after_rotate_correcting(np.zeros((400, 400), np.uint8), aoi)


# ---- the pipeline ----

MAX_SHIFT, THRESHOLD, DIRTY = 2, 60, 6
DOT_BAR = (LEFT + 230, TOP + sum(HEIGHTS[:3]) + 3 * GAP + 15)     # middle of the 30-pixel bar, off the strip


def inspect(std, tgt):
    return qlo_cv.shift_compare_barcode(std, tgt, AOI, MAX_SHIFT, THRESHOLD, DIRTY)


def test_identical_prints(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    image = barcode_print()
    result = inspect(image, image.copy())
    assert capsys.readouterr().out == "STD Degree: 0.00\nTGT Degree: 0.00\n平移校正区域匹配度：1.0000\n"
    assert result.ok and result.image.shape == SHAPE and not os.listdir(tmp_path)


@pytest.mark.parametrize("turn, shift", [(3, (7, -5)), (-4, (-6, 4)), (1.5, (0, 9))])
def test_turned_and_shifted_clean_print_is_ok(tmp_path, monkeypatch, capsys, turn, shift):
    monkeypatch.chdir(tmp_path)
    result = inspect(barcode_print(), barcode_print(turn, shift))
    std_line, tgt_line, match_line = capsys.readouterr().out.splitlines()
    assert std_line == "STD Degree: 0.00"
    assert abs(float(tgt_line.split(": ")[1]) + turn) < 0.3
    assert match_line.startswith("平移校正区域匹配度：") and float(match_line[-6:]) > 0.9
    assert result.ok, result.descriptions
    assert not os.listdir(tmp_path)


@pytest.mark.parametrize("radius, ng", [(7, True), (3, False)])
def test_ink_spot_on_a_turned_print(tmp_path, monkeypatch, capsys, radius, ng):
    monkeypatch.chdir(tmp_path)
    std = barcode_print()
    result = inspect(std, barcode_print(3, (7, -5), dots=[(*DOT_BAR, radius)]))
    assert result.ng is ng
    written = tmp_path / "shift_compare_barcode.jpg"
    assert written.exists() is ng
    if ng:
        assert len(result.descriptions) == 1 and result.descriptions[0].startswith("black spot: ")
        x1, y1, x2, y2 = result.ng_regions[0].rect
        cx, cy = (x1 + x2) / 2, (y1 + y2) / 2
        assert abs(cx - DOT_BAR[0]) <= 3 and abs(cy - DOT_BAR[1]) <= 3
        crop = cv2.imread(str(written))
        x, y, w, h = qlo_cv.cmp_rect_after_rotate_correcting(std, AOI)
        assert crop.shape == (h, w, 3)
        crop = crop.astype(int)
        red = crop[..., 2] - np.maximum(crop[..., 0], crop[..., 1]) > 60     # allowing for JPEG's blur
        assert red[y1 - 1 - y, x1 - x:x2 - x].all() and not red[y1 + 1 - y, x1 + 1 - x:x2 - 1 - x].any()
    capsys.readouterr()


def test_pipeline_calls_through_module_globals(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    calls = []
    for name in ("find_barcode_contours", "template_match_point", "translate", "ShiftComparator", "CompareResult"):
        original = getattr(qlo_cv, name)

        def spy(*args, _original=original, _name=name, **kwargs):
            calls.append(_name)
            return _original(*args, **kwargs)

        monkeypatch.setattr(qlo_cv, name, spy)
    image = barcode_print()
    assert inspect(image, image).ok
    first_seen = list(dict.fromkeys(calls))
    assert first_seen == ["find_barcode_contours", "template_match_point", "translate", "ShiftComparator",
                          "CompareResult"]
    assert calls.count("find_barcode_contours") == 4         # both prints, then both comparison rectangles


def test_printed_lines_go_through_the_print_captured_at_import(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    lines = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: lines.append(a))
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        inspect(barcode_print(), barcode_print())
    assert lines == [] and buffer.getvalue().count("\n") == 3


EMPTY = np.full(SHAPE, PAPER, np.uint8)


@pytest.mark.parametrize("std, tgt, aoi, error", [
    (EMPTY, EMPTY, AOI, IndexError),                                                  # no bars
    (barcode_print(), EMPTY, AOI, IndexError),
    (barcode_print(), barcode_print(), (700, 500, 900, 600), IndexError),             # AOI outside
    (np.dstack([barcode_print()] * 3), np.dstack([barcode_print()] * 3), AOI, cv2.error),     # colour
    (barcode_print().astype(np.float32), barcode_print().astype(np.float32), AOI, cv2.error),
])
def test_pipeline_bad_input(tmp_path, monkeypatch, std, tgt, aoi, error):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error):
        qlo_cv.shift_compare_barcode(std, tgt, aoi, MAX_SHIFT, THRESHOLD, DIRTY)


def test_pipeline_refuses_inexact_int_parameters_after_printing(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    image = barcode_print()
    with pytest.raises(TypeError, match="Argument 'max_shift' has incorrect type"):
        qlo_cv.shift_compare_barcode(image, image, AOI, 2.0, THRESHOLD, DIRTY)
    assert capsys.readouterr().out.count("\n") == 3


# ---- helpers ----

def test_contour_to_point_list():
    nested = [[[1, 2]], [[3, 4]]]
    points = qlo_cv.contour_to_point_list(nested)
    assert points == [[1, 2], [3, 4]] and points is not nested and points[0] is nested[0][0]
    assert qlo_cv.contour_to_point_list(np.int32(nested).tolist()) == [[1, 2], [3, 4]]


@pytest.mark.parametrize("cnt, error, text", [
    (np.int32([[[1, 2]]]), TypeError, "Argument 'cnt' has incorrect type (expected list, got numpy.ndarray)"),
    ([5], TypeError, None),
    ([[]], IndexError, None),
])
def test_contour_to_point_list_bad_input(cnt, error, text):
    with pytest.raises(error) as info:
        qlo_cv.contour_to_point_list(cnt)
    if text:
        assert str(info.value) == text


def discs(*circles, shape=(120, 160)):
    image = np.zeros(shape, np.uint8)
    for x, y, r in circles:
        cv2.circle(image, (x, y), r, 200, -1)
    return image


@pytest.mark.parametrize("step", [1, 3])
def test_extract_center_contours(step):
    cores = qlo_cv.extract_center_contours(discs((50, 60, 20), (120, 60, 10)), 100, step)
    assert type(cores) is list and len(cores) == 1
    x, y, w, h = cv2.boundingRect(cores[0])
    assert abs(x + w / 2 - 50) <= 1.5 and abs(y + h / 2 - 60) <= 1.5
    assert len(qlo_cv.extract_center_contours(discs((40, 60, 15), (110, 60, 15)), 100, step)) == 2


def test_extract_center_contours_edges():
    assert qlo_cv.extract_center_contours(np.zeros((30, 30), np.uint8), 10) == []
    full = np.full((31, 41), 200, np.uint8)                 # touches every border: the frame shrinks it
    (core,) = qlo_cv.extract_center_contours(full, 100)
    x, y, w, h = cv2.boundingRect(core)
    assert (x + w / 2, y + h / 2) == (20.5, 15.5)
    inverted = qlo_cv.extract_center_contours(255 - discs((50, 60, 20)), 100, 1, cv2.THRESH_BINARY_INV)
    assert len(inverted) == 1


@pytest.mark.parametrize("kwargs, error, text", [
    ({"step": 0}, ValueError, "step must be at least 1"),
    ({"step": -3}, ValueError, "step must be at least 1"),
    ({"thresh": 10.5}, TypeError, "Argument 'thresh' has incorrect type (expected int, got float)"),
    ({"flag": True}, TypeError, "Argument 'flag' has incorrect type (expected int, got bool)"),
    ({"step": 0, "thresh": None}, TypeError, "Argument 'thresh' has incorrect type (expected int, got NoneType)"),
])
def test_extract_center_contours_bad_arguments(kwargs, error, text):
    args = {"src": discs((50, 60, 20)), "thresh": 100, **kwargs}
    with pytest.raises(error) as info:
        qlo_cv.extract_center_contours(**args)
    assert str(info.value) == text


def test_extract_center_contours_refuses_a_non_list_result(monkeypatch):
    monkeypatch.setattr(qlo_cv, "_cv", FakeCv(findContours=lambda *args: (np.zeros((0, 1, 2), np.int32), None)))
    with pytest.raises(TypeError, match="^Expected list, got numpy.ndarray$"):
        qlo_cv.extract_center_contours(discs((50, 60, 20)), 100)
