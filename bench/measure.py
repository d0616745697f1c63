"""Band filters on a 5-megapixel image against the per-element loop they
replace and against one np.copyto of the same image, their throughput on two
threads against one, and the vertical profile
of a 100 000-point contour against the column walk written in Python;
take_middle with NumPy scalar bounds against Python number bounds; and the
same fast paths on misaligned arrays (as Dask unpickles them) against aligned
ones."""
import sys
import time

import numpy as np

import qlo_cv
from bench import best_ms, thread_scaling

SHAPE = (2048, 2448)          # rows, columns: a 5-megapixel camera image
SMALL = (480, 640)            # an image that stays in one core's cache
PROFILE_POINTS = 100_000


def loop_filter(rule, src, lo, hi):
    """The element loop of the band filters."""
    img = src.reshape(-1)
    for idx in range(src.size):
        v = img[idx]
        if rule == "middle":
            drop = v < lo or v > hi
        elif rule == "min_or_max":
            drop = lo < v < hi
        elif rule == "min":
            drop = v > hi
        else:
            drop = v < lo
        if drop:
            img[idx] = 0
    return img.reshape(src.shape)


FILTERS = [("take_middle", "middle", (60, 180)), ("take_min_or_max", "min_or_max", (60, 180)),
           ("take_min", "min", (None, 180)), ("take_max", "max", (60, None))]


def bench_band_filters():
    rng = np.random.default_rng(7)
    image = rng.integers(0, 256, SHAPE, dtype=np.uint8)
    work = np.empty_like(image)
    print("band filters: %d x %d uint8 image" % (SHAPE[1], SHAPE[0]))
    print("  %-16s %10s %10s %8s %12s %9s" % ("function", "qlo_cv ms", "loop ms", "ratio", "copyto ms", "/copyto"))
    copy_ms = best_ms(lambda: np.copyto(work, image), 30)
    for name, rule, (lo, hi) in FILTERS:
        args = [v for v in (lo, hi) if v is not None]
        function = getattr(qlo_cv, name)
        np.copyto(work, image)
        expected = loop_filter(rule, work, lo, hi).copy()
        np.copyto(work, image)
        if not np.array_equal(function(work, *args), expected):
            sys.exit("qlo_cv and the loop disagree on %s" % name)
        # each timed call filters a fresh copy; the copy's own time is subtracted
        fast = best_ms(lambda: (np.copyto(work, image), function(work, *args)), 30) - copy_ms
        np.copyto(work, image)
        start = time.perf_counter()
        loop_filter(rule, work, lo, hi)
        slow = (time.perf_counter() - start) * 1000.0
        print("  %-16s %10.2f %10.0f %7.0fx %12.2f %8.2fx" % (name, fast, slow, slow / fast, copy_ms, fast / copy_ms))
    # The filters keep what is in the band, so repeated calls on one image
    # keep filtering the same values: each thread filters its own image.
    for shape, calls in ((SHAPE, 400), (SMALL, 4000)):
        for name, rule, (lo, hi) in FILTERS:
            args = [v for v in (lo, hi) if v is not None]
            function = getattr(qlo_cv, name)

            def own_image(shape=shape, function=function, args=args):
                mine = rng.integers(0, 256, shape, dtype=np.uint8)
                return lambda: function(mine, *args)
            thread_scaling("threads, %s %d x %d:" % (name, shape[1], shape[0]), own_image, calls)


def bench_scalar_bounds():
    """take_middle with bounds of NumPy's own scalar types (as read from an
    array or a settings file through NumPy) against Python numbers."""
    rng = np.random.default_rng(7)
    image = rng.integers(0, 256, SHAPE, dtype=np.uint8)
    work = np.empty_like(image)
    copy_ms = best_ms(lambda: np.copyto(work, image), 30)
    print("take_middle bounds: %d x %d uint8 image" % (SHAPE[1], SHAPE[0]))
    base = None
    for label, lo, hi in (("int", 60, 180), ("numpy.uint8", np.uint8(60), np.uint8(180)),
                          ("numpy.int64", np.int64(60), np.int64(180)),
                          ("numpy.float64", np.float64(59.5), np.float64(180.5))):
        np.copyto(work, image)
        if not np.array_equal(qlo_cv.take_middle(work, lo, hi), np.where((image < 60) | (image > 180), 0, image)):
            sys.exit("take_middle disagrees with NumPy for %s bounds" % label)
        ms = best_ms(lambda: (np.copyto(work, image), qlo_cv.take_middle(work, lo, hi)), 30) - copy_ms
        base = base or ms
        print("  %-14s %8.2f ms  %5.2fx of int bounds" % (label, ms, ms / base))


def profile_contour(points):
    """A closed band 'contour' of `points` points: an upper and a lower edge."""
    x = np.arange(points // 2)
    upper = 500 + (40 * np.sin(x / 700.0)).astype(np.int32)
    lower = upper + 60 + (x % 17)
    pts = np.concatenate([np.stack([x, upper], 1), np.stack([x[::-1], lower[::-1]], 1)])
    return pts.reshape(-1, 1, 2).astype(np.int32)


def loop_profile(contour):
    """The column walk: collect, sort by x, and step a cursor over the columns."""
    begin, end = int(contour[:, :, 0].min()), int(contour[:, :, 0].max())
    all_points = [(int(p[0]), int(p[1])) for row in contour for p in row if begin <= p[0] < end]
    all_points.sort(key=lambda p: p[0])
    distances, pos_tip = [], 0
    for x in range(begin, end):
        if not 0 <= pos_tip < len(all_points):
            pos_tip = 0
        if all_points[pos_tip][0] != x:
            pos_tip = next((i for i, p in enumerate(all_points) if p[0] == x), -1)
        ys = []
        while 0 <= pos_tip < len(all_points) and all_points[pos_tip][0] == x:
            ys.append(all_points[pos_tip][1])
            pos_tip += 1
        distances.append(max(ys) - min(ys) if len(ys) > 1 else 0)
    return (begin, end), distances


def bench_profile():
    contour = profile_contour(PROFILE_POINTS)
    print("vertical profile: contour of %d points, %d columns" % (len(contour), PROFILE_POINTS // 2 - 1))
    expected = loop_profile(contour)
    if qlo_cv.calculate_contour_vertical_distances(contour) != expected:
        sys.exit("qlo_cv and the walk disagree on the profile")
    fast = best_ms(lambda: qlo_cv.calculate_contour_vertical_distances(contour), 20)
    slow = best_ms(lambda: loop_profile(contour), 2)
    print("  qlo_cv %.2f ms, walk %.0f ms, ratio %.0fx" % (fast, slow, slow / fast))


def misaligned(a):
    """A copy of `a` one byte past an aligned address."""
    out = np.frombuffer(bytearray(a.nbytes + 1), a.dtype, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    return out


def bench_misaligned():
    rng = np.random.default_rng(11)
    print("misaligned arrays against aligned ones (the same values)")
    print("  %-34s %12s %14s %8s" % ("call", "aligned ms", "misaligned ms", "ratio"))
    cases = []
    for dtype in (np.float32, np.int32):
        image = (rng.normal(120, 60, SHAPE)).astype(dtype)
        cases.append(("take_middle %s 5 MP" % np.dtype(dtype).name, image,
                      lambda a: qlo_cv.take_middle(a, 60, 180)))
        cases.append(("binary_image_swap %s 5 MP" % np.dtype(dtype).name, image,
                      lambda a: qlo_cv.binary_image_swap(a, 255, 0)))
    contour = profile_contour(PROFILE_POINTS)
    cases.append(("vertical profile int32", contour, qlo_cv.calculate_contour_vertical_distances))
    for label, data, action in cases:
        aligned, odd = data.copy(), misaligned(data)
        fast = best_ms(lambda: action(aligned), 10)
        slow = best_ms(lambda: action(odd), 10)
        print("  %-34s %12.2f %14.2f %7.2fx" % (label, fast, slow, slow / fast))


def main():
    bench_band_filters()
    bench_scalar_bounds()
    bench_profile()
    bench_misaligned()
