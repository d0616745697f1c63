"""Region extraction: the tight box of a region's blobs and the ordering of
contours by the extraction record's direction word."""
import math

import cv2
import numpy as np
import pytest

import qlo_cv


def blobs(shape, rects, value=255):
    image = np.zeros(shape, np.uint8)
    for x, y, w, h in rects:
        image[y:y + h, x:x + w] = value
    return image


def box_contour(x, y, w, h):
    """A contour whose bounding rect is (x, y, w, h)."""
    return np.array([[[x, y]], [[x + w - 1, y]], [[x + w - 1, y + h - 1]], [[x, y + h - 1]]], np.int32)


# ---- minimal_rect_for_extract_info ----

@pytest.mark.parametrize("rects, info, expected", [
    ([(103, 204, 10, 5)], (100, 200, 50, 50, "Both"), [103, 204, 114, 210]),
    ([(105, 210, 4, 4), (120, 202, 6, 3)], (100, 200, 50, 50), [105, 202, 127, 215]),
    ([(10, 10, 5, 5), (103, 204, 10, 5)], [100, 200, 50, 50, "Both", None, None], [103, 204, 114, 210]),
])
def test_tight_box_is_one_beyond_the_exclusive_edges(rects, info, expected):
    image = blobs((300, 300), rects)
    assert qlo_cv.minimal_rect_for_extract_info(image, info) == expected


def test_an_empty_region_gives_the_infinite_box():
    box = qlo_cv.minimal_rect_for_extract_info(np.zeros((50, 50), np.uint8), (5, 6, 10, 10))
    assert box[0] == math.inf and box[1] == math.inf and box[2:] == [6, 7]


def test_binarising_first_thresholds_the_whole_image():
    grey = blobs((60, 60), [(20, 30, 8, 4)], value=140) + 40
    assert qlo_cv.minimal_rect_for_extract_info(grey, (10, 10, 40, 40)) == [10, 10, 51, 51]
    assert qlo_cv.minimal_rect_for_extract_info(grey, (10, 10, 40, 40), True) == [20, 30, 29, 35]


@pytest.mark.parametrize("info, error", [
    ((1, 2, 3), ValueError),
    (None, TypeError),
])
def test_short_or_missing_records_raise(info, error):
    with pytest.raises(error):
        qlo_cv.minimal_rect_for_extract_info(np.zeros((9, 9), np.uint8), info)


def test_opencv_errors_pass_through():
    with pytest.raises(cv2.error):
        qlo_cv.minimal_rect_for_extract_info(np.zeros((9, 9), np.float64), (0, 0, 9, 9))


# ---- _compare_extract_region_contours ----

@pytest.mark.parametrize("a, b, direction, expected", [
    ((5, 9, 3, 3), (7, 0, 1, 1), "Horizontal", -1),
    ((7, 9, 3, 3), (7, 0, 9, 9), "Horizontal", 0),
    ((8, 0, 3, 3), (7, 9, 1, 1), "Horizontal", 1),
    ((9, 1, 3, 3), (0, 2, 1, 1), "Vertical", -1),
    ((9, 2, 3, 3), (0, 2, 1, 1), "Vertical", 0),
    ((5, 5, 3, 3), (0, 20, 1, 1), "Both", -1),
    ((10, 0, 3, 3), (0, 10, 1, 1), "Both", 0),
    ((0, 21, 3, 3), (5, 5, 1, 1), "Both", 1),
])
def test_comparator_orders_by_the_direction_word(a, b, direction, expected):
    result = qlo_cv._compare_extract_region_contours(box_contour(*a), box_contour(*b), direction)
    assert result == expected and type(result) is int


@pytest.mark.parametrize("direction, message", [
    ("horizontal", "Unknown direction: horizontal"),
    (None, "Unknown direction: None"),
    (("Both",), "Unknown direction: Both"),
])
def test_unknown_direction_raises(direction, message):
    with pytest.raises(ValueError) as info:
        qlo_cv._compare_extract_region_contours(box_contour(0, 0, 2, 2), box_contour(1, 1, 2, 2), direction)
    assert str(info.value) == message


# ---- get_sorted_extract_region_contours ----

def test_sorting_a_list_is_stable_and_in_place():
    first, second, third = box_contour(30, 0, 2, 2), box_contour(10, 5, 2, 2), box_contour(10, 1, 2, 2)
    contours = [first, second, third]
    result = qlo_cv.get_sorted_extract_region_contours(None, (0, 0, 0, 0, "Horizontal"), contours)
    assert result is contours
    assert [c is e for c, e in zip(contours, [second, third, first])] == [True] * 3


def test_detected_contours_come_back_as_a_sorted_list():
    image = blobs((40, 60), [(40, 2, 3, 3), (2, 30, 3, 3), (20, 10, 3, 3)])
    image[31, 3] = 0  # a hole: RETR_LIST reports inner contours too
    result = qlo_cv.get_sorted_extract_region_contours(image, (0, 0, 0, 0, "Vertical"))
    assert type(result) is list
    assert [cv2.boundingRect(c)[1] for c in result] == [2, 10, 30, 30]
    assert [cv2.boundingRect(c)[0] for c in result] == [40, 20, 2, 2]


@pytest.mark.parametrize("contours", [[], [box_contour(0, 0, 2, 2)]])
def test_fewer_than_two_contours_never_compare(contours):
    assert qlo_cv.get_sorted_extract_region_contours(None, (0, 0, 0, 0, "sideways"), contours) == contours


def test_unknown_direction_fails_at_the_first_comparison_and_keeps_the_list():
    contours = [box_contour(5, 0, 2, 2), box_contour(1, 0, 2, 2)]
    before = list(contours)
    with pytest.raises(ValueError, match="Unknown direction: horizontal"):
        qlo_cv.get_sorted_extract_region_contours(None, (0, 0, 0, 0, "horizontal"), contours)
    assert all(a is b for a, b in zip(contours, before))


def test_a_record_without_direction_raises_index_error():
    with pytest.raises(IndexError):
        qlo_cv.get_sorted_extract_region_contours(None, (0, 0, 0, 0), [box_contour(0, 0, 2, 2)])


def test_the_module_comparator_is_looked_up_at_call_time(monkeypatch):
    calls = []
    monkeypatch.setattr(qlo_cv, "_compare_extract_region_contours",
                        lambda a, b, direction: calls.append(direction) or 0)
    qlo_cv.get_sorted_extract_region_contours(None, (0, 0, 0, 0, "odd"), [box_contour(0, 0, 2, 2)] * 3)
    assert calls and set(calls) == {"odd"}
