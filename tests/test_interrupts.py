"""Long native calls run pending signal handlers: an alarm's handler (as
Ctrl-C's KeyboardInterrupt) stops each of them well within a second, although
uninterrupted each runs for several seconds or more, and the objects the call
works on are left as they were."""
import copy
import signal
import time
import types

import cv2
import numpy as np
import pytest

import qlo_cv

DELAY = 0.3          # when the alarm goes off
WITHIN = 1.0         # how soon after it the call must have stopped


class Alarm(Exception):
    pass


@pytest.fixture
def alarm():
    def ring(signum, frame):
        raise Alarm

    previous = signal.signal(signal.SIGALRM, ring)
    yield lambda: signal.setitimer(signal.ITIMER_REAL, DELAY)
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


def plain_cv(monkeypatch):
    """OpenCV's functions through another module object: the same native
    calls (no Python code runs between them), but peeling cannot tell that
    its rounds repeat, so it runs every one of them."""
    other = types.ModuleType("cv2_again")
    other.__dict__.update(cv2.__dict__)
    monkeypatch.setattr(qlo_cv, "_cv", other)


def camera_image(seed=0, shape=(2048, 2448)):
    return np.random.default_rng(seed).integers(0, 256, shape, dtype=np.uint8)


def boxed(side=3000):
    image = np.zeros((side, side), np.uint8)
    image[side // 10:-side // 10, side // 10:-side // 10] = 255
    return image


def comparison(max_shift, step, image):
    comparator = qlo_cv.ShiftComparator(image, max_shift, 30, 1, step=step)
    result = qlo_cv.CompareResult(image)
    return comparator, result, lambda: comparator.compare(image.copy(), result)


CASES = {
    # rounds of peeling on an image with nothing left, every round run (plain_cv)
    "peel": lambda: (None, None, lambda: qlo_cv.CirclePeeler(np.zeros((1000, 1000), np.uint8), 100).peel(40_000)),
    # the element loop of a band filter (a long double bound)
    "band filter loop": lambda: (None, None, lambda: qlo_cv.take_middle(np.zeros(15_000_000, np.uint8),
                                                                       np.longdouble(1), np.longdouble(5))),
    # the column walk over a range stretched by a negative head_off
    "profile walk": lambda: (None, None, lambda: qlo_cv.calculate_contour_vertical_distances(
        np.array([[[0, 0]], [[3, 5]]], np.int32), -6_000_000)),
    # the shift kernel over thousands of displacements
    "shift kernel": lambda: comparison(2 ** 20, 3, camera_image()),
    # the displacement loop, past the kernel's reach
    "displacement loop": lambda: comparison(2 ** 20 + 1, 64, np.full((64, 64), 200, np.uint8)),
    # erosion passes of a barcode's centre search
    "erosion passes": lambda: (None, None, lambda: qlo_cv.extract_center_contours(boxed(), 100, 1)),
}


@pytest.mark.parametrize("name", CASES)
def test_a_signal_stops_the_call_and_leaves_its_objects_alone(name, alarm, monkeypatch):
    if name == "peel":
        plain_cv(monkeypatch)
    comparator, result, call = CASES[name]()
    before = copy.deepcopy((vars(comparator), vars(result))) if comparator else None
    alarm()
    start = time.perf_counter()
    with pytest.raises(Alarm):
        call()
    assert time.perf_counter() - start < DELAY + WITHIN
    if comparator:
        after = (vars(comparator), vars(result))
        for old, new in zip(before, after):
            assert old.keys() == new.keys()
            for key in old:
                same = np.array_equal(old[key], new[key]) if isinstance(old[key], np.ndarray) else old[key] == new[key]
                assert same, key


def test_a_comparison_after_an_interrupted_one_is_exact(alarm):
    """An interrupted kernel keeps nothing (no mask, no windows) that a later call could reuse."""
    image = camera_image(1)
    target = image.copy()
    target[100:140, 200:260] = 0
    comparator, result, call = comparison(2 ** 20, 3, image)
    alarm()
    with pytest.raises(Alarm):
        comparator.compare(target, result)
    comparator.max_shift, comparator.step = 2, 1
    comparator.compare(target, result)
    fresh = qlo_cv.CompareResult(image)
    qlo_cv.ShiftComparator(image, 2, 30, 1).compare(target, fresh)
    assert [(r.rect, r.desc) for r in result.ng_regions] == [(r.rect, r.desc) for r in fresh.ng_regions]
