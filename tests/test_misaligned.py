"""Arrays whose elements do not sit at their natural alignment (NumPy exports
them with the "=" byte-order prefix; Dask's out-of-band unpickling makes them)
and arrays in the other byte order: every native fast path gives exactly what
it gives for the same values in an ordinary array."""
import operator
import sys

import cv2
import numpy as np
import pytest

import qlo_cv
from mismatch_route import run_natively

OTHER_ORDER = ">" if sys.byteorder == "little" else "<"


def misaligned(a):
    """A copy of `a` one byte past an aligned address."""
    out = np.frombuffer(bytearray(a.nbytes + 1), a.dtype, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    assert out.ctypes.data % a.dtype.alignment != 0 and memoryview(out).format.startswith("=")
    return out


def other_order(a):
    """A copy of `a` whose elements are stored in the machine's other byte order."""
    out = a.astype(a.dtype.newbyteorder(OTHER_ORDER))
    assert memoryview(out).format[0] in "<>!"
    return out


def values(dtype, shape=(23, 31), seed=5):
    rng = np.random.default_rng(seed)
    if np.dtype(dtype).kind == "f":
        return (rng.normal(0, 80, shape)).astype(dtype)
    return rng.integers(0, 120, shape).astype(dtype)


# ---- the fast paths, each as: array -> what a caller sees ----

def band(name, *bounds):
    def run(src):
        out = getattr(qlo_cv, name)(src, *bounds)
        return out.dtype.str[1:], out.tolist(), src.tolist()  # the source changes when reshape shares it
    return run


def profile(points):
    contour = points.reshape(-1, 1, 2)
    return qlo_cv.calculate_contour_vertical_distances(contour, 1, 2)


def swap(image):
    qlo_cv.binary_image_swap(image, 90, 0)
    return image.dtype.str[1:], image.tolist()


def mismatch(plane, monkeypatch):
    """The shift comparator's mismatch map of `plane` against its reflection,
    and whether it warped (the loop does, the native route does not)."""
    seen, find = [], cv2.findContours
    monkeypatch.setattr(cv2, "findContours", lambda mask, *args: seen.append(mask.copy()) or find(mask, *args))
    comparator = qlo_cv.ShiftComparator(np.zeros((1, 1), np.uint8), 3, 20, 1)
    _, stayed = run_natively(lambda: comparator._do_compare_image_with_shift(plane, plane[::-1].copy(), 1, "x",
                                                                              qlo_cv.CompareResult(None)))
    return seen.pop().tolist(), not stayed


def contour_points(dtype):
    rng = np.random.default_rng(3)
    return np.stack([rng.integers(0, 40, 300), rng.integers(0, 90, 300)], 1).astype(dtype)


INTEGERS = [np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64]
FLOATS = [np.float16, np.float32, np.float64]

FAST_PATHS = (
    [("take_middle", band("take_middle", 20, 70), d) for d in INTEGERS + FLOATS]
    + [("take_middle floats", band("take_middle", -30.5, 41.25), d) for d in FLOATS]
    + [("take_min_or_max", band("take_min_or_max", 20, 70), d) for d in INTEGERS + FLOATS]
    + [("take_min", band("take_min", 50), d) for d in INTEGERS + [np.float32]]
    + [("take_max", band("take_max", 50), d) for d in INTEGERS + [np.float32]]
    + [("binary_image_swap", swap, d) for d in INTEGERS + [np.float32, np.float64]]
    + [("vertical profile", profile, d) for d in [np.int16, np.uint16, np.int32, np.uint32, np.int64]]
)


@pytest.mark.parametrize("layout", [misaligned, other_order], ids=["misaligned", "other byte order"])
@pytest.mark.parametrize("name, run, dtype", FAST_PATHS,
                         ids=["%s-%s" % (n, np.dtype(d).name) for n, _, d in FAST_PATHS])
def test_fast_paths_give_what_they_give_for_an_ordinary_array(name, run, dtype, layout):
    plain = contour_points(dtype) if run is profile else values(dtype)
    expected = run(plain.copy())
    assert run(layout(plain)) == expected


def test_misaligned_planes_stay_on_the_native_mismatch_map(monkeypatch):
    plane = values(np.int16, (40, 50)) - 60
    expected, warped = mismatch(plane, monkeypatch)
    assert mismatch(misaligned(plane), monkeypatch) == (expected, False) and not warped


@pytest.mark.parametrize("dtype", [np.int16, np.int32, np.int64])
def test_misaligned_contours_stay_on_the_native_profile(monkeypatch, dtype):
    sorts = []  # the column walk sorts the points by x; the native profile sorts nothing
    itemgetter = operator.itemgetter
    monkeypatch.setattr(operator, "itemgetter", lambda *keys: sorts.append(keys) or itemgetter(*keys))
    points = contour_points(dtype)
    assert profile(misaligned(points)) == profile(points) and sorts == []
    assert profile(other_order(points)) == profile(points) and sorts == [(0,)]


@pytest.mark.parametrize("dtype", [np.int32, np.float32, np.float64])
def test_misaligned_band_filter_edits_the_callers_array(dtype):
    src = misaligned(values(dtype, (9, 1001)))
    expected = np.where((src < 20) | (src > 70), 0, src)
    out = qlo_cv.take_middle(src, 20, 70)
    assert np.shares_memory(out, src) and np.array_equal(src, expected) and np.array_equal(out, expected)
