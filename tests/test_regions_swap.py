"""binary_image_swap: the native kernel against the pixel-by-pixel loop over
dtypes, layouts and values, including the errors and partial effects of
values that the dtype cannot hold."""
import warnings

import numpy as np
import pytest

import qlo_cv
from bench.binary_swap import loop_swap


class Plain(np.ndarray):
    """An ndarray subclass: item access as an ndarray's, but outside the
    kernel's domain, so the swap takes the item-by-item path."""


def outcome(action, image, *values):
    """(error type and text or None, warning texts, the image after the call)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            action(image, *values)
            error = None
        except Exception as exc:  # the comparison is the point
            error = (type(exc), str(exc))
    return error, [str(w.message) for w in caught], np.array(image, copy=True)


def assert_same_as_loop(make_image, *values):
    """Native route, forced item path and the reference loop agree on the
    result, the error and the pixels left behind."""
    expected = outcome(loop_swap, make_image(), *values)
    native = outcome(qlo_cv.binary_image_swap, make_image(), *values)
    general = outcome(lambda img, *v: qlo_cv.binary_image_swap(img.view(Plain), *v), make_image(), *values)
    for got in (native, general):
        assert got[0] == expected[0]
        assert got[1] == expected[1]
        np.testing.assert_array_equal(got[2], expected[2], strict=True)
    return expected


DTYPES = [np.bool_, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
          np.float32, np.float64, np.float16, np.dtype(">u2"), np.complex64]


def pixels(dtype, shape=(5, 7), seed=0):
    rng = np.random.default_rng(seed)
    values = rng.choice([0, 0, 255, 1, 7, 127, 200], size=shape)
    image = values.astype(dtype)
    if np.dtype(dtype).kind == "f":
        image.flat[3] = np.nan
        image.flat[4] = -0.0
    return image


def test_edge_cases_from_the_examples():
    image = np.array([[0, 255], [7, 0]], np.uint8)
    assert qlo_cv.binary_image_swap(image) is None
    np.testing.assert_array_equal(image, [[255, 0], [0, 255]])
    image = np.array([[0, 3], [1, 0]], np.uint8)
    qlo_cv.binary_image_swap(image, one=1, zero=0)
    np.testing.assert_array_equal(image, [[1, 0], [0, 1]])


VALUES = [(), (1, 0), (0, 255), (255, 7), (True, False), (1.5, 0.0), (-0.5, 3.0), (256, 0), (255, 256),
          (-1, 0), (2**70, 0), (0, -2**70), (2**64 - 1, 0), (float("nan"), 0), (float("inf"), 0), (300.0, 0),
          (1e300, 0), (0, 1e300), (2**53 + 1, 0), (0, 2**24 + 1), (1e-50, 0), (7, 0.1), (np.uint8(9), np.uint8(0)),
          (np.float32(0.5), np.float32(0.1)), (np.True_, np.False_), (np.int64(-1), 0), (1, np.float64(-0.0)),
          ("x", 0)]


@pytest.mark.parametrize("dtype", DTYPES, ids=str)
@pytest.mark.parametrize("values", VALUES, ids=repr)
def test_native_matches_the_loop_over_dtypes_and_values(dtype, values):
    assert_same_as_loop(lambda: pixels(dtype), *values)


def strided(dtype):
    return pixels(dtype, (8, 12))[1::2, ::-3]


def transposed(dtype):
    return pixels(dtype, (7, 5)).T


def unaligned(dtype):
    base = pixels(dtype, (6, 8))
    raw = np.zeros(base.nbytes + 1, np.uint8)
    view = raw[1:].view(base.dtype).reshape(base.shape)
    view[...] = base
    return view


def broadcast_row(dtype):  # every row is the same memory
    row = pixels(dtype, (1, 6))
    return np.lib.stride_tricks.as_strided(row, (4, 6), (0, row.strides[1]), writeable=True)


def overlapping(dtype):  # a sliding window: neighbours share elements
    flat = pixels(dtype, (1, 20)).ravel()
    return np.lib.stride_tricks.as_strided(flat, (6, 8), (flat.strides[0], flat.strides[0]), writeable=True)


def read_only(dtype):
    image = pixels(dtype)
    image.flags.writeable = False
    return image


def empty(dtype):
    return np.zeros((0, 4), dtype)


@pytest.mark.parametrize("layout", [strided, transposed, unaligned, broadcast_row, overlapping, read_only, empty])
@pytest.mark.parametrize("dtype", [np.bool_, np.uint8, np.int16, np.float32, np.uint64])
@pytest.mark.parametrize("values", [(), (1, 0), (256, 0), (0, 7)], ids=repr)
def test_native_matches_the_loop_over_layouts(layout, dtype, values):
    assert_same_as_loop(lambda: layout(dtype), *values)


@pytest.mark.parametrize("image, error", [
    (np.zeros(4, np.uint8), "need more than 1 value to unpack"),
    (np.zeros((2, 2, 3), np.uint8), "too many values to unpack (expected 2)"),
])
def test_other_ranks_fail_at_the_unpacking(image, error):
    with pytest.raises(ValueError) as info:
        qlo_cv.binary_image_swap(image)
    assert str(info.value) == error


def test_an_unstorable_value_stops_at_the_first_pixel_needing_it():
    image = np.array([[9, 9, 0, 9]], np.uint8)
    with pytest.raises(OverflowError, match="Python integer 256 out of bounds for uint8"):
        qlo_cv.binary_image_swap(image, 256)
    np.testing.assert_array_equal(image, [[0, 0, 0, 9]])
