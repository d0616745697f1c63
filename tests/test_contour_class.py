"""The Contour class: cached measures, orientation, masks and moves."""
import types

import cv2
import numpy as np
import pytest

import qlo_cv
from conftest import run_python
from contour_helpers import SQUARE, contour_of, spy_on_cv, type_name

CACHES = ["area", "moments", "min_enclosing_circle", "bounding_rectangle", "min_area_rectangle",
          "is_counterclockwise"]
CV_OF = {"area": "contourArea", "moments": "moments", "min_enclosing_circle": "minEnclosingCircle",
         "bounding_rectangle": "boundingRect", "min_area_rectangle": "minAreaRect"}
BOX = contour_of([[4, 3], [15, 3], [15, 12], [4, 12]])  # hull order of convexHull(clockwise=False)


def cache_values(contour):
    return [getattr(contour, "_Contour__" + name) for name in CACHES]


def test_construction_copies_and_starts_with_empty_caches():
    source = BOX.copy()
    contour = qlo_cv.Contour(source)
    assert list(vars(contour)) == ["_Contour__contour"] + ["_Contour__" + name for name in CACHES]
    assert cache_values(contour) == [None] * 6
    source += 100
    assert contour.points is contour._Contour__contour and contour.points[0, 0].tolist() == [4, 3]
    assert qlo_cv.Contour.MaskEdgeProcess.__qualname__ == "Contour.MaskEdgeProcess"
    assert (qlo_cv.Contour.MaskEdgeProcess.NoProcess, qlo_cv.Contour.MaskEdgeProcess.Erase,
            qlo_cv.Contour.MaskEdgeProcess.Fill) == (0, 1, 2)


@pytest.mark.parametrize("name", list(CV_OF))
@pytest.mark.parametrize("move", ["reverse", "move_offset", "move_centroid_to", "_invalidate_caches"])
def test_cache_is_filled_once_and_emptied_by_moves(monkeypatch, name, move):
    contour = qlo_cv.Contour(BOX)
    spy = spy_on_cv(monkeypatch)
    first = getattr(contour, name)
    assert getattr(contour, name) is first and spy.calls == [CV_OF[name]]
    contour.points[0, 0, 0] = 0  # an in-place edit keeps the caches
    assert getattr(contour, "_Contour__" + name) is first
    args = {"move_offset": (0, 0), "move_centroid_to": (9, 7)}.get(move, ())
    getattr(contour, move)(*args)
    assert cache_values(contour) == [None] * 6
    getattr(contour, name)
    assert spy.calls.count(CV_OF[name]) == 2


def test_orientation_cache_goes_through_the_module_function(monkeypatch):
    contour = qlo_cv.Contour(BOX)
    calls = []
    monkeypatch.setattr(qlo_cv, "contour_is_counterclockwise", lambda points: calls.append(points) or True)
    assert contour.is_counterclockwise is True and contour.is_clockwise is False and len(calls) == 1
    assert calls[0] is contour.points


def test_reverse_flips_orientation_and_keeps_area():
    contour = qlo_cv.Contour(BOX)
    assert contour.is_counterclockwise is True and contour.is_clockwise is False
    area = contour.area
    copy = contour.reverse_copy
    assert cache_values(contour)[0] == area and contour.points[1, 0].tolist() == [15, 3]
    assert copy.is_counterclockwise is False and copy.is_clockwise is True and copy.area == area
    contour.reverse()
    assert contour.is_clockwise is True and contour.area == area
    plain = contour.copy
    assert type(plain) is qlo_cv.Contour and np.array_equal(plain.points, contour.points)
    assert not np.shares_memory(plain.points, contour.points)


def test_length_centroid_and_cached_opencv_values():
    contour = qlo_cv.Contour(SQUARE)
    assert contour.length == 40.0 and contour.area == 100.0
    assert isinstance(contour.centroid, np.ndarray) and contour.centroid.tolist() == [5.0, 5.0]
    assert contour.bounding_rectangle == (0, 0, 11, 11)
    assert contour.min_enclosing_circle == cv2.minEnclosingCircle(SQUARE)
    assert contour.min_area_rectangle == cv2.minAreaRect(SQUARE)


@pytest.mark.parametrize("radius, width", [(10.2, 22), (10.0, 20), (0.0, 0)])
def test_min_rotating_image_width(radius, width):
    contour = qlo_cv.Contour(SQUARE)
    contour._Contour__min_enclosing_circle = ((3.0, 4.0), radius)
    assert type(contour.min_rotating_image_width) is int and contour.min_rotating_image_width == width


def test_moves_change_the_owned_array_in_place():
    contour = qlo_cv.Contour(SQUARE)
    points = contour.points
    contour.move_offset(3, -2)
    assert contour.points is points and points.dtype == np.int32 and points[2, 0].tolist() == [13, 8]
    contour._Contour__moments = {"m00": 1.0, "m10": 10.5, "m01": 20.4}
    contour.move_centroid_to(100, 50)  # 10.5 rounds to 10: moved by (90, 30)
    assert points[0, 0].tolist() == [93, 28]


@pytest.mark.parametrize("method, args, param", [("move_offset", ["?", 1], "x_offset"),
                                                  ("move_offset", [1, "?"], "y_offset"),
                                                  ("move_centroid_to", ["?", 1], "x"),
                                                  ("move_centroid_to", [1, "?"], "y"),
                                                  ("make_mask", [(5, 5), False, "?"], "thickness")])
@pytest.mark.parametrize("bad", [1.5, True, np.int64(1), None])
def test_exact_int_arguments(method, args, param, bad):
    contour = qlo_cv.Contour(SQUARE)
    with pytest.raises(TypeError) as info:
        getattr(contour, method)(*[bad if a == "?" else a for a in args])
    assert str(info.value) == "Argument '%s' has incorrect type (expected int, got %s)" % (param, type_name(bad))
    assert contour.points.tolist() == SQUARE.tolist()


def test_degenerate_contour_keeps_its_caches_when_a_read_fails(monkeypatch):
    line = qlo_cv.Contour(contour_of([[0, 0], [5, 0], [10, 0]]))
    area = line.area
    with pytest.raises(AssertionError, match="^Empty or degenerative contour$"):
        line.move_centroid_to(1, 1)
    assert line.direction == 0.0 and line.points[0, 0].tolist() == [0, 0] and line.area is area
    moments = line.moments

    def refuse(points):
        raise cv2.error("refused")
    spy_on_cv(monkeypatch, minEnclosingCircle=refuse)
    with pytest.raises(cv2.error):
        line.min_rotating_image_width
    assert cache_values(line)[:3] == [area, moments, None]


@pytest.mark.parametrize("name", CACHES + ["length", "centroid", "direction", "min_rotating_image_width"])
def test_wrongly_shaped_points_fail_in_opencv(name):
    contour = qlo_cv.Contour(np.zeros((3, 1, 3), np.int32))
    with pytest.raises(cv2.error):
        getattr(contour, name)
    assert cache_values(contour) == [None] * 6


@pytest.mark.parametrize("shape", [(20, 24), (20, 24, 3), (20, 24, 1)])
@pytest.mark.parametrize("invert", [False, True])
@pytest.mark.parametrize("edge", ["NoProcess", "Erase", "Fill", 0, 1, 2, 7])
@pytest.mark.parametrize("thickness", [cv2.FILLED, 1])
def test_make_mask(shape, invert, edge, thickness):
    process = getattr(qlo_cv.Contour.MaskEdgeProcess, edge) if isinstance(edge, str) else edge
    mask = qlo_cv.Contour(BOX).make_mask(shape, invert, thickness, process)
    # bitwise_not hands back a single-channel image without its channel axis
    assert mask.shape == (shape[:2] if invert and shape[-1] == 1 else shape) and mask.dtype == np.uint8
    on = 0 if invert else 255
    inside, outside, at_point, on_line = mask[7, 9], mask[1, 1], mask[3, 4], mask[3, 9]
    assert np.all(outside == 255 - on)
    assert np.all(inside == (on if thickness == cv2.FILLED else 255 - on))
    assert np.all(on_line == on)  # the drawn outline between the points
    assert np.all(at_point == (255 - on if process == 1 else on))
    assert np.array_equal(mask, qlo_cv.Contour(BOX).make_mask(shape=shape, invert=invert, thickness=thickness,
                                                              edge=process))


def test_make_mask_skips_points_outside_the_mask():
    # (-1, 6) must not wrap round to column 11, nor (30, 2) raise IndexError half-way.
    contour = qlo_cv.Contour(contour_of([[2, 2], [30, 2], [30, 6], [-1, 6], [2, 4]]))
    mask = contour.make_mask((10, 12), edge=qlo_cv.Contour.MaskEdgeProcess.Erase)
    expected = cv2.drawContours(np.zeros((10, 12), np.uint8), [contour.points], 0, 255, cv2.FILLED)
    expected[[2, 4], [2, 2]] = 0
    assert np.array_equal(mask, expected)
    outside = qlo_cv.Contour(contour_of([[-3, -2], [12, -2], [12, 30], [-3, 30]]))
    assert not outside.make_mask((20, 10, 3), thickness=1, edge=qlo_cv.Contour.MaskEdgeProcess.Fill).any()


@pytest.mark.parametrize("shape, error", [((5,), AssertionError), (7, TypeError), ((2 ** 40, 2 ** 40), ValueError),
                                          ((4, 4, 10 ** 6), cv2.error), ((4, 4, 5), cv2.error),
                                          ((-1, 4), ValueError), (("a", 4), TypeError)])
def test_make_mask_bad_shapes(shape, error):
    with pytest.raises(error) as info:
        qlo_cv.Contour(BOX).make_mask(shape)
    if error is AssertionError:
        assert str(info.value) == "Invalid shape"


ODD = [None, 0, -1, 2 ** 70, 1.5, "text", [], (), object(), np.zeros(0, np.uint8), np.zeros((3, 4, 5, 6), np.float32),
       np.ones((5, 5), np.int64)[:, ::2], (2 ** 31, 3), (3, 2 ** 31), (2, 2, 0)]


@pytest.mark.parametrize("name", ["make_mask", "move_offset", "move_centroid_to", "reverse", "_invalidate_caches"])
def test_odd_arguments_to_members_raise_python_errors(name):
    for value in ODD:
        for arity in range(0, 5):
            contour = qlo_cv.Contour(BOX)
            try:
                getattr(contour, name)(*([value] * arity))
            except Exception:
                pass
    for value in ODD:
        for call in (qlo_cv.the_most_matching_angle, qlo_cv.contour_point_distances):
            try:
                call(qlo_cv.Contour(BOX) if value is None else types.SimpleNamespace(points=value), value)
            except Exception:
                pass


@pytest.mark.hardening
def test_repeated_use_does_not_leak():
    proc = run_python("""
        import gc, resource
        import numpy as np, qlo_cv
        box = np.array([[[4, 3]], [[40, 3]], [[40, 12]], [[4, 30]]], np.int32)
        def round_trip():
            c = qlo_cv.Contour(box)
            c.area, c.length, c.centroid, c.direction, c.min_rotating_image_width, c.is_clockwise
            c.make_mask((50, 50, 3), True, 1, 1), c.reverse_copy, c.move_centroid_to(20, 20), c.reverse()
            qlo_cv.the_most_matching_angle(c, qlo_cv.Contour(box))
            for bad in (lambda: c.make_mask((5,)), lambda: c.move_offset(1.5, 0),
                        lambda: qlo_cv.contour_is_clockwise(box[:1]), lambda: qlo_cv.Contour(box[:1]).centroid):
                try:
                    bad()
                except Exception:
                    pass
        for _ in range(300):
            round_trip()
        gc.collect()
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for _ in range(3000):
            round_trip()
        gc.collect()
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """)
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout) < 2048, f"resident memory grew by {proc.stdout.strip()} KiB"
