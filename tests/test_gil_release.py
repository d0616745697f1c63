"""Kernels release the GIL: another thread, ticking (count, short sleep),
keeps its pace while one runs in the main thread. A call holding the GIL lets
it tick only at the switch interval (5 ms); the control case checks that."""
import threading
import time
from functools import partial

import numpy as np
import pytest

import qlo_cv


def pace(call, seconds=0.4):
    """Ticks per second while the main thread sleeps, and while `call` repeats."""
    ticks, stop = [0], threading.Event()

    def tick():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.0002)

    thread = threading.Thread(target=tick)
    thread.start()
    try:
        call()
        start, before = time.perf_counter(), ticks[0]
        time.sleep(0.2)
        free = (ticks[0] - before) / (time.perf_counter() - start)
        start, before = time.perf_counter(), ticks[0]
        while time.perf_counter() - start < seconds:
            call()
        busy = (ticks[0] - before) / (time.perf_counter() - start)
    finally:
        stop.set()
        thread.join()
    return free, busy


def shift_mismatch(rng):
    image = rng.integers(0, 256, (1024, 1024), dtype=np.uint8)
    comparator = qlo_cv.ShiftComparator(image, 300, 30, 1, step=5)
    return lambda: comparator.compare(image.copy(), qlo_cv.CompareResult(image))


CALLS = {  # name: (the call made from a generator, whether it lets the other thread run)
    "band filter": (lambda rng: partial(qlo_cv.take_middle, rng.standard_normal((4096, 4096)).astype(np.float16),
                                        -5, 5), True),
    "pixel swap": (lambda rng: partial(qlo_cv.binary_image_swap, rng.integers(0, 256, (4096, 4096), np.uint8)), True),
    "column profile": (lambda rng: partial(qlo_cv.calculate_contour_vertical_distances,
                                           rng.integers(0, 5000, (4_000_000, 1, 2)).astype(np.int32)), True),
    "shift mismatch": (shift_mismatch, True),
    "control: GIL held": (lambda rng: partial(sum, range(3_000_000)), False),
}


@pytest.mark.parametrize("name", CALLS)
def test_another_thread_runs_while_a_kernel_works(name, rng):
    make_call, releases = CALLS[name]
    free, busy = pace(make_call(rng))
    assert free > 200 and (busy > 0.25 * free) == releases, (free, busy)
