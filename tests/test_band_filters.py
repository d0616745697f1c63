"""Band filters: the native route against the element loop (written out here,
and forced in the module by an ndarray subclass, whose reshape result the
native route does not take), over dtypes, layouts and bound kinds."""
import threading
import warnings

import numpy as np
import pytest

import qlo_cv


def loop_middle(src, lo, hi):
    img = src.reshape(-1)
    for idx in range(src.size):
        if img[idx] < lo or img[idx] > hi:
            img[idx] = 0
    return img.reshape(src.shape)


def loop_min_or_max(src, lo, hi):
    img = src.reshape(-1)
    for idx in range(src.size):
        if lo < img[idx] < hi:
            img[idx] = 0
    return img.reshape(src.shape)


def loop_min(src, hi):
    img = src.reshape(-1)
    for idx in range(src.size):
        if img[idx] > hi:
            img[idx] = 0
    return img.reshape(src.shape)


def loop_max(src, lo):
    img = src.reshape(-1)
    for idx in range(src.size):
        if img[idx] < lo:
            img[idx] = 0
    return img.reshape(src.shape)


FILTERS = [(qlo_cv.take_middle, loop_middle, 2), (qlo_cv.take_min_or_max, loop_min_or_max, 2),
           (qlo_cv.take_min, loop_min, 1), (qlo_cv.take_max, loop_max, 1)]


class Plain(np.ndarray):
    """An ndarray subclass: the module filters it element by element."""


def values_of(dtype, rng, n=50):
    dtype = np.dtype(dtype)
    if dtype == bool:  # noqa: E721 (a NumPy dtype against the type it stands for)
        return rng.integers(0, 2, n).astype(bool)
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        edges = np.array([info.min, info.min + 1, 0, 1, info.max - 1, info.max], dtype)
        return np.concatenate([edges, rng.integers(info.min, info.max, n, dtype=dtype, endpoint=True)])
    info = np.finfo(dtype)
    special = np.array([np.nan, -np.nan, np.inf, -np.inf, 0.0, -0.0, info.max, -info.max, info.tiny,
                        info.smallest_subnormal, 0.1, 1.0, 65504, 2 ** 24 + 1], np.float64)
    special = special.clip(-info.max, info.max).astype(dtype)
    return np.concatenate([special, (rng.standard_normal(n) * 100).astype(dtype)])


def bounds_of(dtype):
    dtype = np.dtype(dtype)
    out = [0, 1, -1, 5, 100, 255, 256, -129, 2 ** 31, 2 ** 63, -2 ** 63 - 1, 2 ** 64, 10 ** 30, -10 ** 30,
           0.5, -0.5, 100.25, 0.1, float("nan"), float("inf"), -float("inf"), 1e300, 2.0 ** 53, True, False,
           2 ** 53 + 1, 65519.0, 65520.0, 2049, 1 + 2 ** -11 + 2 ** -30, 1e-40, 10 ** 400]
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        out += [int(info.min), int(info.max), int(info.max) + 1, int(info.min) - 1, float(info.max),
                float(info.min), np.float64(3.5), np.int64(7), np.uint8(9)]
    return out


def outcome(call, *args):
    """Result, or the exception type and text; warnings raise like errors."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            return call(*args)
        except Exception as e:      # noqa: BLE001 - the error itself is compared
            return (type(e), str(e))


def same(a, b):
    if isinstance(a, tuple) or isinstance(b, tuple):
        return a == b
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b, equal_nan=a.dtype.kind == "f") \
        and (a.dtype.kind != "f" or np.array_equal(np.signbit(a), np.signbit(b)))


DTYPES = [bool, np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64,
          np.longlong, np.ulonglong, np.float16, np.float32, np.float64]


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("native, loop, nbounds", FILTERS, ids=["middle", "min_or_max", "min", "max"])
def test_filters_match_the_loop_over_dtypes_and_bounds(native, loop, nbounds, dtype, rng):
    base = values_of(dtype, rng)
    bounds = bounds_of(dtype)
    pairs = [(b,) for b in bounds] if nbounds == 1 else \
        [(a, b) for a in bounds for b in bounds[::3]] + [(b, a) for a in bounds for b in bounds[1::5]]
    for pair in pairs:
        expected = outcome(loop, base.copy(), *pair)
        assert same(outcome(native, base.copy(), *pair), expected), pair
        general = base.copy().view(Plain)
        got = outcome(native, general, *pair)
        assert same(got if isinstance(got, tuple) else np.asarray(got), expected), pair


def layouts(rng):
    image = rng.integers(0, 256, (6, 8), dtype=np.uint8)
    strided = np.lib.stride_tricks.as_strided
    return {
        "contiguous": image,
        "transposed": image.T,
        "strided rows": image[::2],
        "strided columns": image[:, ::3],
        "reversed": image[::-1, ::-1],
        "one dimension strided": image.reshape(-1)[::5],
        "zero stride": strided(image, shape=(7,), strides=(0,)),
        "overlapping int16": strided(rng.integers(0, 300, 40).astype(np.int16), shape=(30,), strides=(1,)),
        "unaligned": np.frombuffer(bytearray(83), np.uint8)[3:].view(np.uint8),
        "empty": np.zeros((0, 5), np.uint8),
        "scalar": np.array(77, np.uint8),
        "three dimensions": rng.integers(0, 256, (4, 5, 3), dtype=np.uint8),
        "fortran": np.asfortranarray(image),
    }


@pytest.mark.parametrize("name", sorted(layouts(np.random.default_rng(0))))
@pytest.mark.parametrize("native, loop, nbounds", FILTERS, ids=["middle", "min_or_max", "min", "max"])
def test_layouts_keep_the_loops_result_and_sharing(native, loop, nbounds, name):
    args = (60, 180)[:nbounds] if nbounds == 2 else (120,)
    mine, theirs = (layouts(np.random.default_rng(5))[name] for _ in range(2))
    expected = loop(theirs, *args)
    got = native(mine, *args)
    assert same(got, expected)
    assert np.array_equal(mine, theirs)                        # the caller's array changed as the loop's did
    assert np.shares_memory(got, mine) == np.shares_memory(expected, theirs)


@pytest.mark.parametrize("native, loop, nbounds", FILTERS, ids=["middle", "min_or_max", "min", "max"])
def test_read_only_arrays_fail_only_where_the_loop_writes(native, loop, nbounds):
    args = (10, 20) if nbounds == 2 else (15,)
    values = np.array([[12, 15, 18], [1, 25, 15]], np.uint8)
    for source in (values, values[:, ::2], values[:1, 1:2]):
        mine, theirs = source.copy(), source.copy()
        mine.flags.writeable = theirs.flags.writeable = False
        expected = outcome(loop, theirs, *args)
        assert same(outcome(native, mine, *args), expected)


@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.float16, np.float32, np.float64])
@pytest.mark.parametrize("position", [None, 0, 1023, 1024, 2500, 4999])
def test_a_lone_drop_is_found_wherever_it_lies(dtype, position):
    # The search for the first drop reads whole blocks at a time.
    values = np.full(5000, 100, dtype)
    if position is not None:
        values[position] = 7
    expected = values.copy()
    if position is not None:
        expected[position] = 0
    assert np.array_equal(qlo_cv.take_middle(values, 50, 150), expected)
    assert np.array_equal(values, expected)


@pytest.mark.parametrize("call, args, expected", [
    (qlo_cv.take_middle, ([1, 5, 9], 5, 9), [0, 5, 9]),
    (qlo_cv.take_min_or_max, ([1, 5, 7, 9], 5, 9), [1, 5, 0, 9]),
    (qlo_cv.take_min, ([1, 5, 9], 5), [1, 5, 0]),
    (qlo_cv.take_max, ([1, 5, 9], 5), [0, 5, 9]),
    (qlo_cv.take_middle, ([1, 5, 9], 9, 5), [0, 0, 0]),
])
def test_documented_examples(call, args, expected):
    src = np.array(args[0], np.uint8)
    got = call(src, *args[1:])
    assert got.tolist() == expected and src.tolist() == expected


@pytest.mark.parametrize("src, bound, error", [
    (np.array(["a", "b"]), 1, TypeError),
    (np.array([1, None], object), 1, TypeError),
    (np.array([1, 2], np.uint8), None, TypeError),
    (np.array([1.0, 2.0], np.float16), 10 ** 400, OverflowError),
    ([1, 2, 3], 1, AttributeError),
])
def test_bad_input_raises_the_loops_error(src, bound, error):
    with pytest.raises(error):
        qlo_cv.take_min(src, bound)


def test_complex_and_datetime_arrays_go_element_by_element():
    values = np.array([1 + 1j, 3 + 0j, 0.5 - 2j])
    assert same(qlo_cv.take_max(values.copy(), 1), loop_max(values.copy(), 1))
    times = np.array(["2020-01-01", "2021-01-01"], "datetime64[D]")
    assert same(qlo_cv.take_min(times.copy(), np.datetime64("2020-06-01")),
                loop_min(times.copy(), np.datetime64("2020-06-01")))


def test_filters_run_in_threads_on_their_own_arrays(rng):
    images = [rng.integers(0, 256, (300, 400), dtype=np.uint8) for _ in range(4)]
    expected = [loop_middle(image.copy().view(Plain), 50, 200).view(np.ndarray) for image in images]
    threads = [threading.Thread(target=qlo_cv.take_middle, args=(image, 50, 200)) for image in images]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(np.array_equal(a, b) for a, b in zip(images, expected))


F32_MAX = float(np.finfo(np.float32).max)
NUMPY_BOUNDS = [  # NumPy's own scalars, at values where rounding to a narrower type would change a comparison
    np.int8(-3), np.uint8(200), np.int16(-300), np.uint16(60000), np.int32(-70000), np.uint32(2 ** 32 - 1),
    np.int64(2 ** 62 + 1), np.int64(-2 ** 63), np.uint64(2 ** 63 + 1), np.uint64(2 ** 64 - 1), np.float16(0.1),
    np.longlong(-2 ** 62 - 1), np.ulonglong(2 ** 64 - 2),
    np.float16(-65504), np.float32(0.1), np.float32(2 ** 24 + 2), np.float64(0.1), np.float64(-0.1),
    np.float64(1 + 2 ** -30), np.float64(2 ** 53 + 2), np.float64(F32_MAX * (1 + 2 ** -30)), np.float64(1e300),
    np.float64(np.nan), np.float64(-np.inf), np.float32(np.inf), np.float64(1e-46)]


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("native, loop, nbounds", FILTERS, ids=["middle", "min_or_max", "min", "max"])
def test_numpy_scalar_bounds_match_the_loop(native, loop, nbounds, dtype, rng):
    base = values_of(dtype, rng)
    pairs = [(b,) for b in NUMPY_BOUNDS] if nbounds == 1 else [(a, b) for a in NUMPY_BOUNDS for b in NUMPY_BOUNDS[::2]]
    for pair in pairs:
        assert same(outcome(native, base.copy(), *pair), outcome(loop, base.copy(), *pair)), pair
