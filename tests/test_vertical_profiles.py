"""Vertical profiles: the column walk (with its repairs) against a reference
written out here, the native route against the walk forced by rebinding a
helper, and the helpers' own checks."""
import sys

import cv2
import numpy as np
import pytest

import qlo_cv


def reference(contour, head_off=0, tail_off=0):
    """Per column x in [begin, end): max y - min y of the contour's points on x."""
    xs, ys = contour[:, :, 0].ravel(), contour[:, :, 1].ravel()
    begin = int(xs[contour[:, :, 0].argmin()]) + head_off
    end = int(xs[contour[:, :, 0].argmax()]) - tail_off
    if begin >= end:
        return (begin, begin), []
    heights = []
    for x in range(begin, end):
        column = ys[xs == x]
        heights.append(int(column.max()) - int(column.min()) if column.size > 1 else 0)
    return (begin, end), heights


def rectangle_contour(x1=10, y1=5, x2=14, y2=20):
    image = np.zeros((y2 + 5, x2 + 5), np.uint8)
    image[y1:y2 + 1, x1:x2 + 1] = 255
    contours, _ = cv2.findContours(image, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
    return contours[0]


def sparse_contour(rng, n=60, width=40, gap=(12, 20)):
    """Points with a gap of empty columns and runs of several points per column."""
    xs = rng.integers(0, width, n)
    xs = xs[(xs < gap[0]) | (xs >= gap[1])]
    ys = rng.integers(-30, 30, xs.size)
    return np.stack([xs, ys], axis=1).reshape(-1, 1, 2).astype(np.int32)


@pytest.fixture
def walk(monkeypatch):
    """Forces the general path: a wrapper of the cursor helper is not the module's own."""
    original = qlo_cv._get_points_equal_x
    monkeypatch.setattr(qlo_cv, "_get_points_equal_x", lambda *args: original(*args))
    return qlo_cv.calculate_contour_vertical_distances


@pytest.mark.parametrize("head_off, tail_off, expected", [
    (0, 0, ((10, 14), [15, 15, 15, 15])),
    (1, 1, ((11, 13), [15, 15])),
    (10, 0, ((20, 20), [])),
    (-2, 0, ((8, 14), [0, 0, 15, 15, 15, 15])),
])
def test_rectangle(head_off, tail_off, expected, walk):
    contour = rectangle_contour()
    assert walk(contour, head_off, tail_off) == expected
    fast = qlo_cv.calculate_contour_vertical_distances(contour, head_off, tail_off)
    assert fast == expected
    assert all(type(v) is int for v in fast[0] + tuple(fast[1]))      # mend (a): Python ints throughout


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("dtype", [np.int32, np.int16, np.int64, np.uint16])
def test_gaps_and_runs_match_the_reference_on_both_paths(seed, dtype, monkeypatch):
    rng = np.random.default_rng(seed)
    contour = sparse_contour(rng)
    if np.dtype(dtype).kind == "u":
        contour[:, :, 1] += 30
    contour = contour.astype(dtype)
    head, tail = int(rng.integers(-3, 4)), int(rng.integers(0, 4))
    expected = reference(contour.astype(np.int64), head, tail)
    assert qlo_cv.calculate_contour_vertical_distances(contour, head, tail) == expected
    original = qlo_cv._calculate_max_vertical_distance
    monkeypatch.setattr(qlo_cv, "_calculate_max_vertical_distance", lambda p: original(p))
    assert qlo_cv.calculate_contour_vertical_distances(contour, head, tail) == expected


def test_columns_after_the_last_run_and_after_a_gap(walk):
    # mends (b) and (c): x = 3 lies after the last run at the tail, x = 1 after an empty column
    contour = np.array([[[0, 4]], [[0, 9]], [[2, 1]], [[2, 7]], [[5, 3]]], np.int32)
    expected = ((0, 5), [5, 0, 6, 0, 0])
    assert walk(contour) == expected
    assert qlo_cv.calculate_contour_vertical_distances(contour) == expected


def test_negative_y_and_layouts(walk):
    # mend (d): all-negative y
    contour = np.array([[[0, -9]], [[0, -2]], [[1, -5]], [[1, -7]], [[3, -1]]], np.int32)
    expected = ((0, 3), [7, 2, 0])
    for layout in (contour, np.ascontiguousarray(contour[::-1])[::-1], np.concatenate([contour] * 2, axis=2)[:, :, :2],
                   np.asfortranarray(contour)):
        assert walk(layout) == expected
        assert qlo_cv.calculate_contour_vertical_distances(layout) == expected


def test_large_contour_matches_the_reference(rng):
    image = np.zeros((400, 600), np.uint8)
    cv2.ellipse(image, (300, 200), (250, 150), 20, 0, 360, 255, -1)
    contours, _ = cv2.findContours(image, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
    assert qlo_cv.calculate_contour_vertical_distances(contours[0], 5, 7) == reference(contours[0], 5, 7)


@pytest.mark.parametrize("contour, head_off, error", [
    (np.array([[[0, 0]], [[10, 0]]], np.int32), 1, IndexError),        # no point inside [begin, end)
    (np.array([[[0, 0]], [[2, 0]]], np.float32), 0, TypeError),       # not integer coordinates
    ([[[0, 0]], [[2, 0]]], 0, TypeError),                              # not an array
])
def test_failures(contour, head_off, error):
    with pytest.raises(error):
        qlo_cv.calculate_contour_vertical_distances(contour, head_off)


@pytest.mark.parametrize("call, args, name", [
    (qlo_cv.calculate_contour_vertical_distances, (np.zeros((2, 1, 2), np.int32), True), "head_off"),
    (qlo_cv.calculate_contour_vertical_distances, (np.zeros((2, 1, 2), np.int32), 0, 1.0), "tail_off"),
    (qlo_cv._get_points_equal_x, ([[1, 2]], np.int32(1)), "x"),
    (qlo_cv._get_points_equal_x, (([1, 2],), 1), "points"),
    (qlo_cv._get_points_equal_x, ([[1, 2]], 1, False), "pos_tip"),
    (qlo_cv._collect_contour_points_equal_x, (np.zeros((2, 1, 2), np.int32), np.int64(0)), "x"),
])
def test_enforced_hints(call, args, name):
    with pytest.raises(TypeError, match="Argument '%s' has incorrect type" % name):
        call(*args)


def test_cursor_helper():
    points = [[1, 2], [1, 5], [2, 7]]
    assert qlo_cv._get_points_equal_x(points, 1) == ([[1, 2], [1, 5]], 2)
    assert qlo_cv._get_points_equal_x(points, 2, 2) == ([[2, 7]], 3)
    assert qlo_cv._get_points_equal_x(points, 2, 0) == ([[2, 7]], 3)
    assert qlo_cv._get_points_equal_x(points, 9) == ([], -1)
    for bad in (3, -4, 2 ** 80):
        with pytest.raises(IndexError):
            qlo_cv._get_points_equal_x(points, 1, bad)
    with pytest.raises(IndexError):
        qlo_cv._get_points_equal_x([], 1)


def test_height_helper_keeps_its_return_check():
    assert qlo_cv._calculate_max_vertical_distance([[3, 4]]) == 0
    assert qlo_cv._calculate_max_vertical_distance([[3, 4], [3, 9], [3, 1]]) == 8
    assert qlo_cv._calculate_max_vertical_distance([(0, -9), (0, -2)]) == 7
    assert qlo_cv._calculate_max_vertical_distance([(0, -sys.maxsize - 1), (0, sys.maxsize)]) == 2 ** 64 - 1
    with pytest.raises(TypeError, match="Expected int, got numpy.int32"):
        qlo_cv._calculate_max_vertical_distance(np.array([[0, 1], [0, 5]], np.int32))
    with pytest.raises(ValueError, match="too many values to unpack"):
        qlo_cv._calculate_max_vertical_distance([(0, 1, 2), (0, 5, 1)])


def test_collect_points_equal_x():
    contour = np.array([[[1, 2]], [[3, 4]], [[1, 6]]], np.int32)
    found = qlo_cv._collect_contour_points_equal_x(contour, 1)
    assert [p.tolist() for p in found] == [[1, 2], [1, 6]]


@pytest.mark.parametrize("points, dtype, head_off, tail_off, begin", [
    ([(7.0, 1.0), (7.0, 5.0)], np.float32, 0, 0, 7.0),                 # one column
    ([(2.5, 0.0), (4.0, 3.0)], np.float64, 3, 0, 5.5),                 # head_off past the right end
    ([(2.0, 0.0), (6.0, 3.0)], np.float16, 2, 2, 4.0),                 # trims meet
    ([(9, 1), (9, 4)], np.int8, 300, 0, 309),                          # integers: Python int bounds
])
def test_empty_profile_keeps_the_contours_own_bounds(points, dtype, head_off, tail_off, begin, walk):
    contour = np.array(points, dtype).reshape(-1, 1, 2)
    bound_type = int if contour.dtype.kind == "i" else type(contour[0, 0, 0] + head_off)
    for call in (qlo_cv.calculate_contour_vertical_distances, walk):
        (first, second), heights = call(contour, head_off, tail_off)
        assert (first, second, heights) == (begin, begin, []) and type(first) is type(second) is bound_type
