"""Free functions on contour arrays: centroid, distances, orientation, reversal, shift, direction."""
import cv2
import numpy as np
import pytest

import qlo_cv
from conftest import run_python
from contour_helpers import SQUARE, contour_of, found_contour, spy_on_cv, type_name


def test_centroid_and_distances_of_the_square():
    centroid = qlo_cv.centroid_of_contour(SQUARE)
    assert type(centroid) is tuple and centroid == (5.0, 5.0)
    distances = qlo_cv.contour_point_distances(SQUARE, (0, 0))
    assert distances.shape == (4,) and distances.dtype.kind == "f"
    assert np.allclose(distances, [0, 10, 200 ** 0.5, 10])
    assert np.allclose(qlo_cv.contour_point_distances(SQUARE.reshape(-1, 2), [10, 10]), [200 ** 0.5, 10, 0, 10])


@pytest.mark.parametrize("contour", [contour_of([[0, 0], [5, 0], [10, 0]]), contour_of([[3, 3]]),
                                     np.zeros((0, 1, 2), np.int32)])
def test_centroid_of_a_degenerate_contour(contour):
    with pytest.raises(AssertionError, match="^Empty or degenerative contour$"):
        qlo_cv.centroid_of_contour(contour)


@pytest.mark.parametrize("point, message", [((1, 2, 3), "too many values to unpack (expected 2)"),
                                            ((1,), "need more than 1 value to unpack")])
def test_distances_need_a_point_of_two_values(point, message):
    with pytest.raises(ValueError) as info:
        qlo_cv.contour_point_distances(SQUARE, point)
    assert str(info.value) == message


def _blob_contours():
    blobs = []
    for draw in (lambda m: cv2.circle(m, (30, 30), 20, 255, -1),
                 lambda m: cv2.fillPoly(m, [np.array([[5, 5], [55, 8], [30, 20], [50, 50], [8, 45]])], 255)):
        mask = np.zeros((60, 60), np.uint8)
        draw(mask)
        blobs.append(found_contour(mask))
    return blobs


@pytest.mark.parametrize("contour", [SQUARE, cv2.convexHull(contour_of([[7, 1], [20, 4], [15, 18], [2, 12]]),
                                                            clockwise=False)] + _blob_contours())
def test_orientation_follows_the_hull_order_and_flips_on_reversal(contour):
    hull_order = cv2.convexHull(contour, clockwise=False, returnPoints=False).ravel()
    runs_with_hull = np.all(np.diff(np.roll(hull_order, -np.argmin(hull_order))[:3]) > 0)
    assert qlo_cv.contour_is_counterclockwise(contour) is bool(runs_with_hull)
    assert qlo_cv.contour_is_clockwise(contour) is (not runs_with_hull)
    reversed_view = qlo_cv.reverse_contour(contour)
    assert qlo_cv.contour_is_counterclockwise(reversed_view) is (not runs_with_hull)
    assert qlo_cv.contour_is_clockwise(reversed_view) is bool(runs_with_hull)


@pytest.mark.parametrize("hull, expected", [([5, 9, 2, 7], True), ([2, 9, 5, 1], False), ([9, 2, 5], True),
                                            ([8, 3, 1], False), ([1, 3, 2, 0], False)])
def test_orientation_rotates_the_first_three_hull_indices(monkeypatch, hull, expected):
    seen = {}

    def hull_indices(contour, clockwise, returnPoints):
        seen.update(clockwise=clockwise, returnPoints=returnPoints)
        return np.array(hull, np.int32).reshape(-1, 1)
    spy_on_cv(monkeypatch, convexHull=hull_indices)
    assert qlo_cv.contour_is_counterclockwise(SQUARE) is expected
    assert seen == {"clockwise": False, "returnPoints": False}


@pytest.mark.parametrize("contour", [contour_of([[0, 0], [5, 0], [10, 0], [5, 0]]), contour_of([[3, 3]]),
                                     np.zeros((0, 1, 2), np.int32)])
def test_orientation_of_a_contour_without_area_is_refused(contour):
    with pytest.raises(ValueError, match="fewer than three vertices"):
        qlo_cv.contour_is_counterclockwise(contour)
    with pytest.raises(ValueError, match="fewer than three vertices"):
        qlo_cv.contour_is_clockwise(contour)


def test_reverse_contour_is_a_view():
    reversed_view = qlo_cv.reverse_contour(SQUARE)
    assert reversed_view[0, 0].tolist() == [0, 10] and np.shares_memory(reversed_view, SQUARE)
    assert SQUARE[0, 0].tolist() == [0, 0]


@pytest.mark.parametrize("count, expected", [(1, [2, 3, 4, 1]), (3, [4, 1, 2, 3]), (0, [1, 2, 3, 4])])
def test_left_shift_array_in_place(count, expected):
    array = np.array([1, 2, 3, 4])
    result = qlo_cv.left_shift_array(array, count)
    assert result is array and array.tolist() == expected


def test_left_shift_array_bound_is_the_element_count():
    rows = np.arange(6).reshape(3, 2)
    assert qlo_cv.left_shift_array(rows).tolist() == [[2, 3], [4, 5], [0, 1]]
    assert qlo_cv.left_shift_array(rows, 5) is rows  # 5 rows' worth exceeds the length but not the size
    for count in (4, 5, -1):
        with pytest.raises(AssertionError) as info:
            qlo_cv.left_shift_array(np.array([1, 2, 3, 4]), count)
        assert str(info.value) == ""


@pytest.mark.parametrize("count", [True, 1.0, np.int64(1), None])
def test_left_shift_array_count_must_be_an_int(count):
    with pytest.raises(TypeError) as info:
        qlo_cv.left_shift_array(np.array([1, 2, 3]), count)
    assert str(info.value) == ("Argument 'count' has incorrect type (expected int, got %s)"
                               % type_name(count))


@pytest.mark.parametrize("points, degrees", [
    ([[0, 0], [40, 0], [40, 4], [0, 4]], 0.0),
    ([[0, 0], [4, 0], [4, 40], [0, 40]], 90.0),
    ([[0, 3], [3, 0], [43, 40], [40, 43]], 45.0),
    ([[40, 0], [43, 3], [3, 43], [0, 40]], -45.0),
])
def test_direction_in_image_coordinates(points, degrees):
    contour = contour_of(points)
    direction = qlo_cv.calculate_contour_direction(contour)
    assert isinstance(direction, np.float64) and direction == pytest.approx(degrees, abs=1e-9)
    assert qlo_cv.Contour(contour).direction == direction


def test_functions_reach_opencv_and_each_other_through_module_globals(monkeypatch):
    spy = spy_on_cv(monkeypatch)
    qlo_cv.centroid_of_contour(SQUARE)
    qlo_cv.calculate_contour_direction(SQUARE)
    assert spy.calls == ["moments", "moments"]
    monkeypatch.setattr(qlo_cv, "contour_is_counterclockwise", lambda contour: 0)
    assert qlo_cv.contour_is_clockwise(SQUARE) is True


@pytest.mark.hardening
def test_assertions_are_skipped_under_optimisation():
    proc = run_python("""
        import numpy as np, qlo_cv
        line = np.array([[[0, 0]], [[5, 0]]], np.int32)
        for call in (lambda: qlo_cv.centroid_of_contour(line), lambda: qlo_cv.Contour(line).centroid,
                     lambda: qlo_cv.left_shift_array(np.arange(4), 4), lambda: qlo_cv.Contour(line).make_mask((5,))):
            try:
                call()
                print("ok")
            except Exception as e:
                print(type(e).__name__)
    """, "-O")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["ZeroDivisionError", "ZeroDivisionError", "ok", "error"]
