"""Corresponding-region search on generated label layouts with a known shift,
the top-left point and rough displacement, and small-contour removal."""
import cv2
import numpy as np
import pytest

import qlo_cv

SHAPE = (240, 320)
ANCHOR = (5, 5, 4, 4)                       # the top-left-most blob: gives the rough displacement
LARGE = [(100, 80, 20, 20), (130, 85, 20, 15)]
SMALL_RIGHT = (180, 90, 4, 4)               # top edge inside the large blobs' rows, far right
SMALL_BELOW = (120, 120, 4, 4)              # left edge inside their columns, below
SMALL_LEFT = (70, 88, 4, 4)                 # wholly left, centred on their rows
REGION = (60, 50, 150, 100)                 # the extraction rect around all of them


def label(offset=(0, 0), rects=None, shape=SHAPE):
    image = np.zeros(shape, np.uint8)
    dx, dy = offset
    for x, y, w, h in rects if rects is not None else [ANCHOR, *LARGE, SMALL_RIGHT, SMALL_BELOW, SMALL_LEFT]:
        image[y + dy:y + dy + h, x + dx:x + dx + w] = 255
    return image


def search(direction, edge, offset=(7, -4), **kwargs):
    info = (*REGION, direction, "unused", edge)
    args = dict(shift=(10, 10), min_wh=10, max_wh=40, min_area=4)
    args.update(kwargs)
    return qlo_cv.find_corresponding_region(label(), label(offset), info, **args)


def moved(box, offset=(7, -4)):
    return [box[0] + offset[0], box[1] + offset[1], box[2] + offset[0], box[3] + offset[1]]


@pytest.mark.parametrize("direction, edge, expected", [
    ("Horizontal", None, [70, 80, 184, 100]),      # small blobs on the large ones' rows join, wherever they are
    ("Vertical", None, [100, 80, 150, 124]),       # small blobs in their columns join
    ("Both", None, [100, 80, 150, 100]),           # only centres inside the box count
    ("Vertical", "Both", [70, 80, 184, 124]),      # whole blobs beside the box, on either side
    ("Vertical", "Left", [70, 80, 150, 124]),
    ("Vertical", "Right", [100, 80, 184, 124]),
    ("Vertical", "left", [100, 80, 150, 124]),     # an unknown edge word takes neither side
    ("Both", "Both", [70, 80, 184, 100]),          # beside the box and centred on its rows: the one below is not
])
def test_passes_and_edge_options(direction, edge, expected):
    assert search(direction, edge) == moved(expected)


def test_given_displacement_is_used_as_is():
    info = (*REGION, "Vertical", None, None)
    tgt = label((7, -4))
    tgt[:20, :20] = 0                                  # no anchor: the rough displacement would fail
    assert qlo_cv.find_corresponding_region(label(), tgt, info, (10, 10), 10, 40, 4, diff=[7, -4]) == \
        moved([100, 80, 150, 124])


def test_binarising_grey_prints():
    std, tgt = label() // 2 + 60, label((7, -4)) // 2 + 60
    assert qlo_cv.find_corresponding_region(std, tgt, (*REGION, "Vertical", None, None), (10, 10), 10, 40, 4,
                                            need_binarize=True) == moved([100, 80, 150, 124])


@pytest.mark.parametrize("kwargs, found", [
    (dict(max_wh=20), True), (dict(max_wh=19), False),            # w of 20 is at most max_wh
    (dict(min_area=19 * 19), True), (dict(min_area=19 * 19 + 1), False),
    (dict(min_wh=21), False),                                       # no large blob: nothing to grow from
    (dict(shift=(1, 1)), True), (dict(shift=(0, 0)), False),        # a blob on the window's border is ignored
])
def test_strict_limits_of_pass_one(kwargs, found):
    rects = [ANCHOR, (100, 80, 20, 20)]
    info = (*REGION, "Both", None, None)
    args = dict(shift=(10, 10), min_wh=10, max_wh=40, min_area=20)
    args.update(kwargs)
    result = qlo_cv.find_corresponding_region(label(rects=rects), label((3, 2), rects), info, **args)
    assert result == ([103, 82, 123, 102] if found else None)


def test_small_blob_touching_the_box_edge_is_not_inside():
    rects = [ANCHOR, (100, 80, 20, 20), (130, 80, 4, 20)]           # edges on the box's: not inside
    info = (*REGION, "Horizontal", None, None)
    result = qlo_cv.find_corresponding_region(label(rects=rects), label(rects=rects), info, (10, 10), 10, 40, 4)
    assert result == [100, 80, 120, 100]


@pytest.mark.parametrize("corner", ["top-left", "top-right", "bottom-left", "bottom-right"])
def test_windows_reaching_past_each_image_edge(corner):
    rows, cols = SHAPE
    x = 3 if "left" in corner else cols - 25
    y = 4 if "top" in corner else rows - 26
    std = label(rects=[(x, y, 20, 20)])
    tgt = np.roll(std, (1, -1), (0, 1))
    info = (x - 2, y - 2, 24, 24, "Both", None, None)
    result = qlo_cv.find_corresponding_region(std, tgt, info, (12, 12), 10, 40, 20, diff=(-1, 1))
    assert result == [x - 1, y + 1, x + 19, y + 21]


def test_short_record_fails_when_the_edge_option_is_read():
    with pytest.raises(IndexError):
        qlo_cv.find_corresponding_region(label(), label(), (*REGION, "Vertical"), (10, 10), 10, 40, 20)


def test_no_blob_at_all_raises_index_error():
    with pytest.raises(IndexError):
        qlo_cv.find_corresponding_region(np.zeros(SHAPE, np.uint8), label(), (*REGION, "Vertical", None, None),
                                         (10, 10), 10, 40, 20)


# ---- top-left point and rough displacement ----

def test_top_left_point_takes_the_first_smallest_corner_sum():
    image = label(rects=[(30, 10, 5, 5), (10, 30, 5, 5), (50, 50, 5, 5)])
    x, y, contour = qlo_cv.find_top_left_point(image)
    contours, _ = cv2.findContours(image, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    first = next(c for c in contours if sum(cv2.boundingRect(c)[:2]) == 40)
    assert (x, y) == cv2.boundingRect(first)[:2] and contour is not None
    np.testing.assert_array_equal(contour, first)


def test_rough_position_diff_of_a_shifted_copy():
    assert qlo_cv.get_rough_position_diff(label(), label((5, 3))) == [5, 3]
    grey = label() // 2 + 50
    assert qlo_cv.get_rough_position_diff(grey, np.roll(grey, (3, 5), (0, 1)), True) == [5, 3]


def test_top_left_point_of_a_blank_image_raises_index_error():
    with pytest.raises(IndexError):
        qlo_cv.find_top_left_point(np.zeros((5, 5), np.uint8))


# ---- get_rid_of_small_contours ----

def strip(w, h):
    return np.array([[[0, 0]], [[w, 0]], [[w, h]], [[0, h]]], np.int32)   # area w*h, perimeter 2(w+h)


@pytest.mark.parametrize("areas, kwargs, kept, removed", [
    ([5, 20, 3], dict(min_area=10), [20], [3, 5]),
    ([5, 20, 3], dict(min_area=5), [5, 20], [3]),              # an area equal to min_area stays
    ([5, 20, 3, 6], dict(min_perimeter=12), [5, 20], [6, 3]),  # perimeters 12, 18, 8, 10
    ([5, 20, 3, 6], dict(min_area=4, min_perimeter=19), [], [3, 6, 20, 5]),
    ([5, 20, 3, 6], dict(), [5, 20, 3, 6], []),
])
def test_small_contours_leave_in_descending_index_order(areas, kwargs, kept, removed):
    shapes = {5: (1, 5), 20: (4, 5), 3: (1, 3), 6: (2, 3)}
    contours = [strip(*shapes[a]) for a in areas]
    result = qlo_cv.get_rid_of_small_contours(contours, **kwargs)
    assert [int(cv2.contourArea(c)) for c in contours] == kept
    assert [int(cv2.contourArea(c)) for c in result] == removed and type(result) is list


def test_a_bad_contour_leaves_the_list_unchanged():
    contours = [strip(1, 5), np.zeros((2, 2), np.float64), strip(1, 3)]
    before = list(contours)
    with pytest.raises(cv2.error):
        qlo_cv.get_rid_of_small_contours(contours, min_area=10)
    assert all(a is b for a, b in zip(contours, before)) and len(contours) == 3
