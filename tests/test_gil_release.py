"""Native kernels release the GIL: while one runs in the main thread, another
Python thread keeps running. The other thread ticks (a count and a short
sleep) and its pace while the main thread calls a kernel is compared with its
pace while the main thread sleeps. A call that holds the GIL lets it tick
only at the interpreter's switch interval (5 ms), a small fraction of its
free pace (a control call checks that the measure tells them apart)."""
import threading
import time

import numpy as np
import pytest

import qlo_cv


def pace(call, seconds=0.4):
    """(ticks per second while `call` repeats, ticks per second while the main thread sleeps)."""
    ticks = [0]
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.0002)

    thread = threading.Thread(target=tick)
    thread.start()
    try:
        call()                                   # first-call work (allocations) out of the measure
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
    return busy, free


def rng():
    return np.random.default_rng(3)


def band_filter():
    image = rng().standard_normal((4096, 4096)).astype(np.float16)
    return lambda: qlo_cv.take_middle(image, np.float16(-5), np.float16(5))


def pixel_swap():
    image = rng().integers(0, 256, (4096, 4096), dtype=np.uint8)
    return lambda: qlo_cv.binary_image_swap(image)


def column_profile():
    points = rng().integers(0, 5000, (4_000_000, 1, 2)).astype(np.int32)
    return lambda: qlo_cv.calculate_contour_vertical_distances(points)


def shift_comparison():
    image = rng().integers(0, 256, (1024, 1024), dtype=np.uint8)
    comparator = qlo_cv.ShiftComparator(image, 300, 30, 1, step=5)
    return lambda: comparator.compare(image.copy(), qlo_cv.CompareResult(image))


def holds_the_gil():
    return lambda: sum(range(3_000_000))         # one native call, no bytecode, GIL held


@pytest.mark.parametrize("make_call, releases", [
    (band_filter, True),
    (pixel_swap, True),
    (column_profile, True),
    (shift_comparison, True),
    (holds_the_gil, False),
], ids=["band filter", "pixel swap", "column profile", "shift mismatch", "control: GIL held"])
def test_another_thread_runs_while_a_kernel_works(make_call, releases):
    busy, free = pace(make_call())
    assert free > 200, "the ticking thread hardly ran at all"
    assert (busy > 0.25 * free) == releases, (busy, free)
