"""Long native loops run pending signal handlers: an alarm (as Ctrl-C) stops
each call within a second, where uninterrupted each runs for seconds."""
import signal
import time
import types

import cv2
import numpy as np
import pytest

import qlo_cv


class Alarm(Exception):
    pass


@pytest.fixture
def alarm():
    def ring(signum, frame):
        raise Alarm

    previous = signal.signal(signal.SIGALRM, ring)
    yield lambda: signal.setitimer(signal.ITIMER_REAL, 0.3)
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


def comparison(max_shift, step, image, target=None):
    comparator, result = qlo_cv.ShiftComparator(image, max_shift, 30, 1, step=step), qlo_cv.CompareResult(image)
    return comparator, result, lambda: comparator.compare(image.copy() if target is None else target, result)


def camera(seed=0):
    return np.random.default_rng(seed).integers(0, 256, (2048, 2448), dtype=np.uint8)


def box():
    image = np.zeros((3000, 3000), np.uint8)
    image[300:-300, 300:-300] = 255
    return image


CASES = {  # name: (OpenCV through another module object, so peeling runs every round; the call)
    "peel rounds": (True, lambda: qlo_cv.CirclePeeler(np.zeros((1000, 1000), np.uint8), 100).peel(40_000)),
    "band filter loop": (False, lambda: qlo_cv.take_middle(np.zeros(15_000_000, np.uint8), np.longdouble(1),
                                                           np.longdouble(5))),
    "profile walk": (False, lambda: qlo_cv.calculate_contour_vertical_distances(
        np.array([[[0, 0]], [[3, 5]]], np.int32), -6_000_000)),
    # An unrelated target: most pixels differ, so the long route over the windows runs.
    "shift kernel": (False, lambda: comparison(2 ** 20, 3, camera(), camera(1))[2]()),
    "displacement loop": (False, lambda: comparison(2 ** 20 + 1, 64, np.full((64, 64), 200, np.uint8))[2]()),
    "erosion passes": (False, lambda: qlo_cv.extract_center_contours(box(), 100, 1)),
}


@pytest.mark.parametrize("name", CASES)
def test_a_signal_stops_the_call(name, alarm, monkeypatch):
    other_cv, call = CASES[name]
    if other_cv:
        monkeypatch.setattr(qlo_cv, "_cv", types.ModuleType("cv2_again"))
        vars(qlo_cv._cv).update(vars(cv2))
    alarm()
    start = time.perf_counter()
    with pytest.raises(Alarm):
        call()
    assert time.perf_counter() - start < 1.3          # the alarm at 0.3 s, the call stopped within a second


def test_an_interrupted_comparison_keeps_nothing(alarm):
    standard = camera()
    target = camera(1)
    comparator, result, call = comparison(2 ** 20, 3, standard, target)
    alarm()
    with pytest.raises(Alarm):
        call()
    assert result.ok and result.ng_regions == []
    comparator.max_shift, comparator.step = 2, 1
    call()
    fresh = comparison(2, 1, standard, target)
    fresh[2]()
    assert [(r.rect, r.desc) for r in result.ng_regions] == [(r.rect, r.desc) for r in fresh[1].ng_regions]
