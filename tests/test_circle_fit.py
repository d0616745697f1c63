"""Circle fitting and peeling: known circles recovered from noisy points, the
solver reached through the module's _leastsq, and the peeling loop."""
import cv2
import numpy as np
import pytest
from scipy.optimize import leastsq

import qlo_cv


def circle_points(cx, cy, r, n, rng, noise=0.0, arc=2 * np.pi):
    t = rng.uniform(0, arc, n)
    return cx + r * np.cos(t) + rng.normal(0, noise, n), cy + r * np.sin(t) + rng.normal(0, noise, n)


@pytest.mark.parametrize("cx, cy, r, noise, arc", [
    (50, 40, 20, 0.0, 2 * np.pi), (-300.5, 1200, 75, 0.5, 2 * np.pi), (0, 0, 3, 0.01, 2 * np.pi),
    (500, 500, 200, 1.0, np.pi / 2),
])
def test_recovers_known_circles(cx, cy, r, noise, arc, rng):
    x, y = circle_points(cx, cy, r, 300, rng, noise, arc)
    fit = qlo_cv.FittingCircle(x, y)
    assert fit.center == pytest.approx((cx, cy), abs=0.02 * r + 3 * noise)
    assert fit.radius == pytest.approx(r, abs=0.02 * r + 3 * noise)
    by_points = qlo_cv.FittingCircle(points=list(zip(x, y)), x=[1], y=[])   # points wins over x and y
    assert by_points.center == fit.center and by_points.radius == fit.radius


def test_solution_is_scipys_own(rng):
    x, y = circle_points(10, 20, 5, 40, rng, 0.3)
    distance_square = qlo_cv.FittingCircle._FittingCircle__distance_square

    def error(center, xs, ys):
        d = distance_square(center, xs, ys)
        return d - d.mean()

    center, _ = leastsq(error, np.array((x.mean(), y.mean())), (x, y))
    fit = qlo_cv.FittingCircle(list(x), list(y))
    assert fit.center == (center[0], center[1])
    assert fit.radius == np.sqrt(distance_square(center, x, y)).mean()
    assert type(fit.center[0]) is np.float64


def test_solver_is_looked_up_at_call_time(monkeypatch):
    calls = []

    def solver(func, x0, args):
        calls.append((func, tuple(x0), len(args)))
        return (np.array([1.0, 2.0]), 1)

    monkeypatch.setattr(qlo_cv, "_leastsq", solver)
    fit = qlo_cv.FittingCircle([0, 2], [2, 2])
    assert calls == [(qlo_cv.FittingCircle._FittingCircle__error, (1.0, 2.0), 2)]
    assert fit.center == (1.0, 2.0) and fit.radius == 1.0
    monkeypatch.setattr(qlo_cv, "_leastsq", lambda *a: ())
    with pytest.raises(ValueError, match="expected at least 1, got 0"):
        qlo_cv.FittingCircle([0, 2], [2, 2])


def test_private_static_methods():
    cls = qlo_cv.FittingCircle
    assert cls._FittingCircle__distance_square((1, 1), np.array([4.0]), np.array([5.0])).tolist() == [25.0]
    assert cls._FittingCircle__error(np.array([0, 0]), np.array([1.0, 3.0]), np.array([0.0, 0.0])).tolist() == [-4, 4]
    assert cls.__dict__["_FittingCircle__error"].__func__.__qualname__ == "FittingCircle.__error"
    with pytest.raises(ValueError, match="too many values to unpack"):
        cls._FittingCircle__distance_square((1, 2, 3), 0, 0)


@pytest.mark.parametrize("kwargs, error", [
    ({"points": []}, None), ({"x": [], "y": []}, None),
    ({}, TypeError), ({"x": [1, 2], "y": [1]}, AssertionError),
    ({"points": [(1, 2, 3)]}, ValueError), ({"points": [(1, 2)]}, TypeError),
])
def test_degenerate_input(kwargs, error):
    if error is None:
        fit = qlo_cv.FittingCircle(**kwargs)
        assert (fit.center, fit.radius) == ((0, 0), 0)
    else:
        with pytest.raises(error):
            qlo_cv.FittingCircle(**kwargs)


def test_collinear_points_give_a_result_not_a_crash():
    fit = qlo_cv.FittingCircle([0, 1, 2, 3], [0, 1, 2, 3])
    assert isinstance(fit.center, tuple)


def ring_image(shape=(240, 320), center=(160, 120), radius=80, burrs=((60, 4),), dent=None):
    image = np.zeros(shape, np.uint8)
    cv2.circle(image, center, radius, 200, -1)
    for angle, size in burrs:
        a = np.deg2rad(angle)
        tip = (int(center[0] + (radius + size) * np.cos(a)), int(center[1] + (radius + size) * np.sin(a)))
        cv2.circle(image, tip, size + 2, 200, -1)
    if dent:
        cv2.circle(image, (center[0] - radius, center[1]), dent, 0, -1)
    return image


def test_peeler_stores_its_state_and_filters_small_blobs():
    image = ring_image(burrs=())
    image[5:8, 5:8] = 255                              # a 3 x 3 speck: contour area 4
    peeler = qlo_cv.CirclePeeler(image, 100)
    assert peeler._CirclePeeler__threshold == 100 and peeler._CirclePeeler__thresh_type == cv2.THRESH_BINARY
    assert peeler._CirclePeeler__shape == (240, 320) and len(peeler._CirclePeeler__contours) == 2
    assert len(qlo_cv.CirclePeeler(image, 100, min_area=4)._CirclePeeler__contours) == 2   # equal area is kept
    assert len(qlo_cv.CirclePeeler(image, 100, min_area=5)._CirclePeeler__contours) == 1


@pytest.mark.parametrize("iteration", [0, -3])
def test_peel_without_iterations_is_none(iteration):
    assert qlo_cv.CirclePeeler(ring_image(), 100).peel(iteration) is None


def test_second_peel_fits_what_is_left_outside_the_first_disc():
    image = ring_image(burrs=((30, 6), (150, 8), (260, 5)))
    peeler = qlo_cv.CirclePeeler(image, 100)
    first = peeler.peel(1)
    assert first.center == pytest.approx((160, 120), abs=1.5) and first.radius == pytest.approx(81, abs=1.5)
    blobs = cv2.fillPoly(np.zeros(image.shape, np.uint8), peeler._CirclePeeler__contours, 255)
    cx, cy = first.center
    cv2.circle(blobs, (int(cx), int(cy)), int(first.radius), 0, -1)
    contours, _ = cv2.findContours(blobs, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
    expected = qlo_cv.FittingCircle(points=[p[0] for c in contours for p in c])
    second = peeler.peel(2)
    assert (second.center, second.radius) == (expected.center, expected.radius)
    assert peeler.peel(2).center == second.center                      # each call starts afresh


def test_peel_of_a_ring_uses_its_outer_boundary():
    image = ring_image(burrs=())
    cv2.circle(image, (160, 120), 40, 0, -1)
    cv2.circle(image, (160, 120), 10, 255, -1)         # a blob inside the hole takes no part
    fit = qlo_cv.CirclePeeler(image, 100).peel(1)
    assert fit.radius == pytest.approx(80, abs=1)


def test_peel_on_an_empty_image_fits_no_points():
    fit = qlo_cv.CirclePeeler(np.zeros((20, 30), np.uint8), 100).peel(2)
    assert (fit.center, fit.radius) == ((0, 0), 0)


@pytest.mark.parametrize("args, name", [((128.0,), "threshold"), ((128, True), "thresh_type"),
                                        ((128, 0, 1.5), "min_area")])
def test_peeler_integer_checks(args, name):
    with pytest.raises(TypeError, match="Argument '%s' has incorrect type" % name):
        qlo_cv.CirclePeeler(ring_image(), *args)
    with pytest.raises(TypeError, match="Argument 'iteration' has incorrect type"):
        qlo_cv.CirclePeeler(ring_image(), 100).peel(np.int64(1))


def small_disc_image():
    """A disc whose fit (radius 11.4, drawn as 11) leaves a rim that later rounds never change."""
    return cv2.circle(np.zeros((60, 80), np.uint8), (40, 30), 12, 255, -1)


@pytest.mark.parametrize("make_image", [ring_image, small_disc_image, lambda: np.zeros((20, 30), np.uint8)])
@pytest.mark.parametrize("iteration", [1, 2, 3, 7, 40, 2 ** 62])
def test_peel_gives_the_fit_of_running_every_round(make_image, iteration, monkeypatch):
    fit = qlo_cv.CirclePeeler(make_image(), 100).peel(iteration)     # a huge count ends once rounds repeat
    rounds = []

    class Counted(qlo_cv.FittingCircle):   # not the module's own: every round runs
        def __init__(self, *args, **kwargs):
            rounds.append(1)
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(qlo_cv, "FittingCircle", Counted)
    every = qlo_cv.CirclePeeler(make_image(), 100).peel(min(iteration, 60))
    assert len(rounds) == min(iteration, 60) and (fit.center, fit.radius) == (every.center, every.radius)
