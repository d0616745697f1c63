"""The angle by which a unit-under-test contour is turned relative to a reference."""
import types

import cv2
import numpy as np
import pytest

import qlo_cv
from contour_helpers import contour_of, spy_on_cv, turned

L_SHAPE = np.array([[0, 0], [60, 0], [60, 15], [20, 15], [20, 40], [0, 40]]) + [100, 80]
WIDE_TRIANGLE = np.array([[0, 0], [80, 0], [40, 30]]) + [20, 20]


@pytest.mark.parametrize("degrees, expected", [(0, 0), (30, 30), (-30, -30), (75, 75), (150, 150), (210, -150),
                                               (-120, -120), (300, -60)])
def test_angle_of_a_turned_shape(degrees, expected):
    reference = qlo_cv.Contour(contour_of(L_SHAPE))
    uut = qlo_cv.Contour(turned(L_SHAPE, degrees, center=(130, 100)))
    angle = qlo_cv.the_most_matching_angle(reference, uut)
    assert isinstance(angle, np.float64) and angle == pytest.approx(expected, abs=1.0)
    assert -180 < angle <= 180


def test_identical_contours_give_zero():
    contour = qlo_cv.Contour(contour_of(L_SHAPE))
    assert qlo_cv.the_most_matching_angle(contour, contour) == 0.0


def test_half_turn_gives_180_not_minus_180(monkeypatch):
    reference = qlo_cv.Contour(contour_of(WIDE_TRIANGLE))
    half_turned = qlo_cv.Contour(contour_of(2 * np.array([200, 150]) - WIDE_TRIANGLE))
    assert abs(abs(qlo_cv.the_most_matching_angle(reference, half_turned)) - 180) < 1e-9

    class EqualDirections(qlo_cv.Contour):
        direction = 12.5
    monkeypatch.setattr(qlo_cv, "Contour", EqualDirections)
    assert qlo_cv.the_most_matching_angle(reference, half_turned) == 180.0


@pytest.mark.parametrize("degrees", [180, 0])
def test_shape_with_half_turn_symmetry_keeps_the_first_candidate(degrees):
    box = np.array([[0, 0], [40, 0], [40, 20], [0, 20]]) + [30, 30]
    angle = qlo_cv.the_most_matching_angle(qlo_cv.Contour(contour_of(box)),
                                           qlo_cv.Contour(turned(box, degrees, center=(50, 40))))
    assert abs(angle) < 1e-6


@pytest.mark.parametrize("scale, shift, degrees", [(1.0, (400, 250), 40), (1.3, (-60, 500), -100), (0.8, (0, 0), 170)])
def test_position_and_size_do_not_matter(scale, shift, degrees):
    uut_points = turned((L_SHAPE - [100, 80]) * scale, degrees, center=(0, 0)) + np.int32(shift) + 200
    angle = qlo_cv.the_most_matching_angle(reference=qlo_cv.Contour(contour_of(L_SHAPE)),
                                           uut=types.SimpleNamespace(points=uut_points))
    assert angle == pytest.approx(degrees, abs=1.5)


def test_arguments_are_untouched_and_calls_go_through_module_globals(monkeypatch):
    reference = qlo_cv.Contour(contour_of(L_SHAPE))
    uut = qlo_cv.Contour(turned(L_SHAPE, 30, center=(0, 0)))
    before = reference.points.copy(), uut.points.copy()
    made = []

    class Counted(qlo_cv.Contour):
        def __init__(self, contour):
            made.append(contour)
            super().__init__(contour)
    monkeypatch.setattr(qlo_cv, "Contour", Counted)
    spy = spy_on_cv(monkeypatch)
    qlo_cv.the_most_matching_angle(reference, uut)
    assert made[0] is reference.points and made[1] is uut.points and len(made) == 2
    assert [spy.calls.count(name) for name in ("getRotationMatrix2D", "warpAffine", "bitwise_and")] == [2, 2, 2]
    assert np.array_equal(reference.points, before[0]) and np.array_equal(uut.points, before[1])
    assert reference._Contour__moments is None and uut._Contour__min_enclosing_circle is None


@pytest.mark.parametrize("points, error", [(None, AttributeError), (np.zeros((0, 1, 2), np.int32), cv2.error),
                                           (np.float32(contour_of(L_SHAPE)), cv2.error)])
def test_bad_contours_raise(points, error):
    reference = qlo_cv.Contour(contour_of(L_SHAPE))
    with pytest.raises(error):
        qlo_cv.the_most_matching_angle(reference, types.SimpleNamespace(points=points))


@pytest.mark.parametrize("runaway", [float("inf"), 1e12])
def test_an_endless_normalisation_is_refused(monkeypatch, runaway):
    class Runaway(qlo_cv.Contour):
        @property
        def direction(self):
            return runaway if self.points[0, 0, 0] > 500 else 0.0
    monkeypatch.setattr(qlo_cv, "Contour", Runaway)
    far = qlo_cv.Contour(contour_of(L_SHAPE + 1000))
    with pytest.raises(ValueError, match="cannot be brought into"):
        qlo_cv.the_most_matching_angle(qlo_cv.Contour(contour_of(L_SHAPE)), far)
