"""Verdict records: NG regions, the OK/NG state and the marked image."""
import subprocess
import sys

import cv2
import numpy as np
import pytest

import qlo_cv

RED = (0, 0, 255)
GREY = np.random.default_rng(7).integers(0, 256, (60, 50), dtype=np.uint8)


def outlined(*boxes):
    """The BGR conversion of GREY with a one-pixel red frame just outside each box."""
    expected = cv2.cvtColor(GREY, cv2.COLOR_GRAY2BGR)
    for x1, y1, x2, y2 in boxes:
        expected[y1 - 1:y2 + 2, [x1 - 1, x2 + 1]] = RED
        expected[[y1 - 1, y2 + 1], x1 - 1:x2 + 2] = RED
    return expected


def result_with(*rects, image=GREY):
    result = qlo_cv.CompareResult(image)
    for rect in rects:
        result.append(qlo_cv.NGRegion(rect))
    return result


def test_fresh_result_is_ok_and_keeps_the_given_image():
    result = qlo_cv.CompareResult(GREY)
    assert (result.ok, result.ng, result.ng_count, result.descriptions) == (True, False, 0, [])
    assert result.original_image is GREY
    assert np.array_equal(result.marked_image(), outlined())


def test_outline_lies_just_outside_the_box():
    marked = result_with([10, 20, 30, 40]).marked_image()
    assert (marked[19:42, [9, 31]] == RED).all() and (marked[[19, 41], 9:32] == RED).all()
    assert (marked[20, 10] == GREY[20, 10]).all()
    assert np.array_equal(marked, outlined((10, 20, 30, 40)))


@pytest.mark.parametrize("args, drawn", [((), [0, 1]), ((1,), [1]), ((0,), [0]), ((-5,), [0, 1])])
def test_index_chooses_the_regions_drawn(args, drawn):
    boxes = [(5, 5, 15, 12), (20, 30, 40, 50)]
    result = qlo_cv.CompareResult(GREY)
    result.append(qlo_cv.NGRegion(list(boxes[0]), "first"))
    result.append(qlo_cv.NGRegion(np.array(boxes[1])))
    assert (result.ng, result.ng_count, result.descriptions) == (True, 2, ["first", ""])
    assert np.array_equal(result.marked_image(*args), outlined(*[boxes[i] for i in drawn]))


def test_region_without_box_is_outlined_outside_the_image():
    image = np.full((100, 200), 77, np.uint8)
    assert np.array_equal(result_with(None, image=image).marked_image(), cv2.cvtColor(image, cv2.COLOR_GRAY2BGR))


def test_reset_empties_the_same_list():
    result = result_with([1, 1, 2, 2])
    regions, other = result.ng_regions, GREY.copy()
    assert result.reset(other) is None
    assert result.ok and result.original_image is other and result.ng_regions is regions and regions == []


@pytest.mark.parametrize("count, index", [(0, 0), (2, 2)])
def test_index_past_the_regions_fails_the_assertion(count, index):
    with pytest.raises(AssertionError) as info:
        result_with(*[[1, 1, 2, 2]] * count).marked_image(index)
    assert info.value.args == ()


@pytest.mark.hardening
def test_without_assertions_the_list_index_fails():
    code = "import numpy, qlo_cv; qlo_cv.CompareResult(numpy.zeros((4, 4), numpy.uint8)).marked_image(0)"
    run = subprocess.run([sys.executable, "-O", "-c", code], capture_output=True, text=True, timeout=120)
    assert "IndexError: list index out of range" in run.stderr


@pytest.mark.parametrize("image, rect, message", [
    (GREY, [1, 2, 3], "need more than 3 values to unpack"),
    (GREY, [1], "need more than 1 value to unpack"),
    (GREY, (1, 2, 3, 4, 5), r"too many values to unpack \(expected 4\)"),
    (GREY[..., None], None, r"too many values to unpack \(expected 2\)"),
])
def test_boxes_that_do_not_unpack(image, rect, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        result_with(rect, image=image).marked_image()
