"""Shift comparator: judges, verdicts on drawn defects, and the native mismatch
map against the displacement-by-displacement loop."""
import json
import math
import os
import subprocess
import sys
import threading
import types

import cv2
import numpy as np
import pytest

import qlo_cv
from mismatch_route import ROUTES, mismatch_route, run_natively, same_masks


def py_translate(image, right, down, border_mode=cv2.BORDER_REPLICATE, border_value=None):
    m = np.float32([[1, 0, right], [0, 1, down]])
    return cv2.warpAffine(image, m, (image.shape[1], image.shape[0]), borderMode=border_mode,
                          borderValue=border_value)


def displacement_count(max_shift, step, slope):
    axis = len(range(1, max_shift + 1, step))
    diagonal = len(range(1, int(max_shift / math.sqrt(2)) + 1, step)) if slope else 0
    return 4 * (axis + diagonal)


def plain_pair(shape=(40, 60), background=200):
    std = np.full(shape, background, np.uint8)
    return std, std.copy()


def run(std, tgt, max_shift=1, threshold=30, judge_parameter=1, **kwargs):
    result = qlo_cv.CompareResult(tgt)
    qlo_cv.ShiftComparator(std, max_shift, threshold, judge_parameter, **kwargs).compare(tgt, result)
    return result


def summary(result):
    return [(r.rect, r.desc) for r in result.ng_regions]


# ---- judges ----

SQUARE = np.array([[[2, 3]], [[11, 3]], [[11, 7]], [[2, 7]]], np.int32)  # 10 x 5 box, area 36


@pytest.mark.parametrize("length, expected", [(10, True), (5, True), (11, False), ([10], True), ((11, 1), False)])
def test_contour_is_too_long(length, expected):
    assert qlo_cv.contour_is_too_long(SQUARE, length) is expected


def test_contour_is_too_long_returns_the_value_of_or_and_needs_an_item():
    class Length:                                       # w >= length falls back to length <= w
        def __le__(self, other):
            return "" if other == 10 else "high %d" % other

    assert qlo_cv.contour_is_too_long(SQUARE, Length()) == "high 5"
    with pytest.raises(IndexError):
        qlo_cv.contour_is_too_long(SQUARE, [])


@pytest.mark.parametrize("area, expected", [(36, True), (36.5, False), (np.float32(20), True)])
def test_contour_is_too_big(area, expected):
    assert qlo_cv.contour_is_too_big(SQUARE, area) is expected


# ---- construction and prefixes ----

def test_constructor_stores_its_state_in_order():
    std = np.zeros((4, 5), np.uint8)
    comparator = qlo_cv.ShiftComparator(std, 2, 9, [3])
    assert list(vars(comparator)) == [
        "std_threshold", "max_shift", "threshold", "_ShiftComparator__judge_parameter", "_ShiftComparator__judge",
        "slope", "step", "compare_region", "_ShiftComparator__black_spot_desc",
        "_ShiftComparator__white_spot_desc"]
    assert comparator.std_threshold.dtype == np.int16 and comparator.std_threshold is not std
    assert comparator._ShiftComparator__judge is qlo_cv.contour_is_too_long
    assert (comparator.slope, comparator.step, comparator.compare_region) == (True, 1, None)
    assert (comparator.black_spot_desc, comparator.white_spot_desc) == ("black spot", "white spot")


@pytest.mark.parametrize("args, message", [
    ((1.0, 5), "Argument 'max_shift' has incorrect type (expected int, got float)"),
    ((1, True), "Argument 'threshold' has incorrect type (expected int, got bool)"),
])
def test_constructor_enforces_int_hints(args, message):
    with pytest.raises(TypeError) as info:
        qlo_cv.ShiftComparator(np.zeros((3, 3), np.uint8), *args, 1)
    assert str(info.value) == message


@pytest.mark.parametrize("name", ["black_spot_desc", "white_spot_desc"])
def test_prefix_properties_check_str(name):
    comparator = qlo_cv.ShiftComparator(np.zeros((3, 3), np.uint8), 1, 2, 3)
    setattr(comparator, name, "dent")
    assert getattr(comparator, name) == "dent"
    with pytest.raises(TypeError, match=r"expected str, got int"):
        setattr(comparator, name, 5)
    setattr(comparator, "_ShiftComparator__" + name, None)
    assert getattr(comparator, name) is None
    setattr(comparator, "_ShiftComparator__" + name, 5)
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        getattr(comparator, name)


# ---- verdicts on drawn defects ----

@pytest.mark.parametrize("judge_parameter, expected", [
    (10, [([21, 11, 31, 14], "black spot: 10, [21, 11, 31, 14]")]),
    ([10], [([21, 11, 31, 14], "black spot: 10, [21, 11, 31, 14]")]),
    (11, []),
    ([11], []),
])
def test_dark_blob_is_eroded_by_the_tolerance(judge_parameter, expected):
    std, tgt = plain_pair()
    tgt[10:15, 20:32] = 50                               # 12 x 5
    assert summary(run(std, tgt, judge_parameter=judge_parameter)) == expected


def test_bright_blob_is_a_white_spot_after_black_spots():
    std, tgt = plain_pair(background=100)
    tgt[20:30, 30:40] = 250
    tgt[5:12, 5:12] = 0
    result = run(std, tgt, max_shift=2)
    # the white pass displaces the uniform standard, so the bright blob keeps its size
    assert result.descriptions == ["black spot: 3, [7, 7, 10, 10]", "white spot: 10, [30, 20, 40, 30]"]


@pytest.mark.parametrize("max_shift, expected", [
    (3, []),
    (2, [([33, 12, 34, 24], "black spot: 12, [33, 12, 34, 24]"),
         ([19, 12, 20, 24], "white spot: 12, [19, 12, 20, 24]")]),
])
def test_misregistered_square(max_shift, expected):
    std, tgt = plain_pair()
    std[10:26, 17:33] = 20                               # 16 x 16 square
    tgt[10:26, 20:36] = 20                               # the same, 3 pixels right
    assert summary(run(std, tgt, max_shift=max_shift)) == expected


def test_identical_images_pass_and_results_accumulate():
    std, tgt = plain_pair()
    std[5:9, 5:30] = 0
    result = run(std, std.copy(), max_shift=0)
    assert result.ok
    tgt = std.copy()
    tgt[20:30, 20:30] = 0
    comparator = qlo_cv.ShiftComparator(std, 1, 30, 1)
    comparator.compare(tgt, result)
    comparator.compare(tgt, result)
    assert result.ng_count == 2


def test_compare_region_limits_the_search_in_full_image_coordinates():
    std, tgt = plain_pair()
    tgt[5:10, 5:10] = 0                                  # outside the box
    tgt[25:35, 40:50] = 0                                # inside
    result = run(std, tgt, cmp_region=(30, 20, 58, 38))
    assert summary(result) == [([41, 26, 49, 34], "black spot: 8, [41, 26, 49, 34]")]


def test_negative_threshold_swaps_what_each_pass_finds():
    std, tgt = plain_pair(background=100)
    tgt[10:20, 10:20] = 200
    result = run(std, tgt, threshold=-30)
    assert result.descriptions == ["black spot: 8, [11, 11, 19, 19]"]


def test_judge_gets_two_positional_arguments_and_prefixes_apply():
    std, tgt = plain_pair()
    tgt[10:20, 10:20] = 0
    tgt[30:35, 40:45] = 255
    seen = []

    def judge(*args, **kwargs):
        seen.append((len(args), kwargs, args[1]))
        return True

    comparator = qlo_cv.ShiftComparator(std, 1, 30, "param", judge)
    comparator.black_spot_desc, comparator.white_spot_desc = "dark", "light"
    result = qlo_cv.CompareResult(tgt)
    comparator.compare(tgt, result)
    assert seen == [(2, {}, "param")] * 2
    assert [d.split(":")[0] for d in result.descriptions] == ["dark", "light"]


def test_contour_is_too_big_as_judge():
    std, tgt = plain_pair()
    tgt[5:15, 5:15] = 0                                  # eroded to 8 x 8: area 49
    tgt[20:30, 20:31] = 0                                # 9 x 8: area 56
    result = run(std, tgt, judge_parameter=50.0, judge=qlo_cv.contour_is_too_big)
    assert result.descriptions == ["black spot: 9, [21, 21, 30, 29]"]


def test_failures_leave_earlier_regions_in_place():
    std, tgt = plain_pair()
    tgt[5:10, 5:10] = 0
    tgt[20:25, 20:25] = 0
    result = qlo_cv.CompareResult(tgt)
    result.append(qlo_cv.NGRegion(None, "earlier"))
    comparator = qlo_cv.ShiftComparator(std, 1, 30, 1, step=0)
    with pytest.raises(ValueError, match=r"^range\(\) arg 3 must not be zero$"):
        comparator.compare(tgt, result)
    assert result.descriptions == ["earlier"]

    def judge(cnt, parameter):
        if len(result.ng_regions) == 2:
            raise KeyError("judge")
        return True

    comparator = qlo_cv.ShiftComparator(std, 1, 30, 1, judge)
    with pytest.raises(KeyError):
        comparator.compare(tgt, result)
    assert result.ng_count == 2


@pytest.mark.parametrize("region, error", [((1, 2, 3), ValueError), ((1, 2, 3, 4, 5), ValueError)])
def test_bad_compare_region(region, error):
    std, tgt = plain_pair()
    with pytest.raises(error, match="unpack"):
        run(std, tgt, cmp_region=region)


# ---- native map against the loop ----

def textured_pair(rng, shape=(64, 80), shift=(1, -1)):
    """A print-like standard (noise, strokes, dots) and a shifted target with a
    missing stroke, a smudge and a speck."""
    std = cv2.GaussianBlur(rng.integers(90, 170, shape, dtype=np.uint8), (5, 5), 0)
    for _ in range(6):
        x, y = int(rng.integers(0, shape[1])), int(rng.integers(0, shape[0]))
        cv2.line(std, (x, y), (x + int(rng.integers(-20, 20)), y + int(rng.integers(-20, 20))), 20, 2)
    tgt = py_translate(std, *shift)
    cv2.line(tgt, (5, 5), (30, 5), 160, 3)
    cv2.circle(tgt, (50, 40), 6, 240, -1)
    tgt[30:33, 10:12] = 0
    return std, tgt


def both_paths(monkeypatch, action):
    native = action()
    with monkeypatch.context() as m:
        m.setattr(qlo_cv, "translate", py_translate)
        looped = action()
    return native, looped


@pytest.mark.parametrize("slope", [True, False])
@pytest.mark.parametrize("step", [1, 2, 3])
@pytest.mark.parametrize("max_shift", range(10))
@pytest.mark.parametrize("route", ROUTES)
def test_each_route_and_the_loop_give_the_same_regions(monkeypatch, rng, max_shift, step, slope, route):
    std, tgt = textured_pair(rng)
    for threshold in (25, 0, -25):
        for region in (None, (7, 9, 70, 50)):
            def action():
                return summary(run(std, tgt, max_shift, threshold, 2, slope=slope, step=step, cmp_region=region))
            with mismatch_route(route):
                native, looped = both_paths(monkeypatch, action)
            assert native == looped, (threshold, region)


def test_native_route_skips_the_warps_and_a_rebound_translate_is_called(monkeypatch, rng):
    std, tgt = textured_pair(rng)
    calls = []
    native, stayed = run_natively(lambda: summary(run(std, tgt, max_shift=3)))
    assert stayed and native

    def translate(image, right, down):
        calls.append((right, down))
        return py_translate(image, right, down)

    monkeypatch.setattr(qlo_cv, "translate", translate)
    assert summary(run(std, tgt, max_shift=3)) == native
    one_pass = [(1, 0), (2, 0), (3, 0), (-1, 0), (-2, 0), (-3, 0), (0, 1), (0, 2), (0, 3), (0, -1), (0, -2), (0, -3),
                (1, 1), (2, 2), (-1, 1), (-2, 2), (1, -1), (2, -2), (-1, -1), (-2, -2)]
    assert calls == one_pass * 2


def test_a_rebound_compare_image_difference_is_called(monkeypatch, rng):
    std, tgt = textured_pair(rng)
    calls = []

    def compare_image_difference(std_image, tgt_image, threshold):
        calls.append(threshold)
        diff = std_image - tgt_image
        return diff > threshold if threshold >= 0 else diff < threshold

    native = summary(run(std, tgt, max_shift=4, step=2))
    monkeypatch.setattr(qlo_cv, "compare_image_difference", compare_image_difference)
    assert summary(run(std, tgt, max_shift=4, step=2)) == native
    assert len(calls) == 2 * (1 + displacement_count(4, 2, True))


def direct_masks(monkeypatch, std, tgt, max_shift, threshold, step=1, slope=True):
    """The masks of one directed comparison through the native route (or
    whichever the comparator picks) and the loop, and whether the first warped."""
    comparator = qlo_cv.ShiftComparator(np.zeros((1, 1), np.uint8), max_shift, threshold, 1, slope=slope,
                                        step=step)
    seen, find = [], cv2.findContours

    def action():
        with monkeypatch.context() as m:
            m.setattr(cv2, "findContours", lambda mask, *args: seen.append(mask.copy()) or find(mask, *args))
            comparator._do_compare_image_with_shift(std, tgt, 1, "x", qlo_cv.CompareResult(None))
        return seen.pop()

    (native, stayed), looped = both_paths(monkeypatch, lambda: run_natively(action))
    looped = looped[0]
    assert native.dtype == looped.dtype == np.uint8 and native.flags.c_contiguous
    return native, looped, not stayed


@pytest.mark.parametrize("view", [
    lambda a: a, lambda a: a[:, ::2], lambda a: a[::-1], lambda a: a.T, lambda a: np.asfortranarray(a),
    lambda a: a[3:40, 5:45],
])
@pytest.mark.parametrize("max_shift, step, slope, threshold", [
    (1, 1, True, 10), (3, 1, True, 0), (5, 2, False, -10), (8, 1, True, 40), (9, 3, True, -1),
])
def test_mask_matches_on_strided_planes(monkeypatch, rng, view, max_shift, step, slope, threshold):
    std, tgt = textured_pair(rng)
    std, tgt = view(np.int16(std)), view(np.int16(tgt))
    tgt.flags.writeable = False
    native, looped, warped = direct_masks(monkeypatch, std, tgt, max_shift, threshold, step, slope)
    assert same_masks(native, looped) and not warped


@pytest.mark.parametrize("case, native", [
    ("wrapping differences", False), ("threshold beyond int16", False), ("uint8 wraps", False), ("big-endian", False),
    ("shift beyond the columns", True), ("shift beyond the rows", True), ("one pixel", True), ("one row", True),
    ("negative step", True),
])
def test_mask_matches_at_the_domain_edges(monkeypatch, rng, case, native):
    std = rng.integers(-300, 300, (20, 30)).astype(np.int16)
    tgt = rng.integers(-300, 300, (20, 30)).astype(np.int16)
    max_shift, threshold, step = 2, 50, 1
    if case == "wrapping differences":
        std[3, 4], tgt[10, 10] = 32000, -32000
    elif case == "threshold beyond int16":
        threshold = -40000
    elif case.startswith("shift beyond"):                 # only the farthest column / row hides x = 0 / y = 0
        max_shift, std = 45, np.full((20, 30), 335, np.int16)
        tgt = np.tile(np.arange(30, dtype=np.int16) * 10, (20, 1))
        if case.endswith("rows"):
            std, tgt = std.T, tgt.T
    elif case == "one pixel":
        std, tgt = std[:1, :1], tgt[:1, :1]
    elif case == "one row":
        std, tgt = std[:1], tgt[:1]
    elif case == "uint8 wraps":
        std, tgt = std.astype(np.uint8), tgt.astype(np.uint8)
    elif case == "negative step":
        max_shift, step = -3, -1
    elif case == "big-endian":
        std, tgt = std.astype(">i2"), tgt.astype(">i2")
    mask, looped, warped = direct_masks(monkeypatch, std, tgt, max_shift, threshold, step)
    assert np.array_equal(mask, looped) and warped is not native


def blocky_pair(rng, target_range, threshold, shape=(48, 64)):
    """A target of flat blocks with a little noise inside `target_range`, and a
    standard one threshold away from it give or take a few levels, kept where no
    difference leaves int16 so that the native route applies."""
    lo, hi = target_range
    blocks = rng.integers(lo, hi + 1, (shape[0] // 8, shape[1] // 8))
    tgt = np.clip(np.kron(blocks, np.ones((8, 8), np.int64)) + rng.integers(-2, 3, shape), lo, hi)
    std = tgt + threshold + rng.integers(-6, 7, shape)
    std = np.clip(std, max(-32768, hi - 32768), min(32767, lo + 32767))
    return std.astype(np.int16), tgt.astype(np.int16)


# Targets spanning at most 256 values run on 8 bits inside the native route,
# whatever their offset; wider ones stay on int16.
@pytest.mark.parametrize("target_range", [
    (0, 255), (0, 0), (-128, 127), (1000, 1255), (-32768, -32513), (32512, 32767), (0, 256), (-300, 300),
])
@pytest.mark.parametrize("threshold", [0, 1, -1, 50, -50, 255, -255, 300, -300, 32000, -32000])
def test_mask_matches_for_narrow_and_wide_target_ranges(monkeypatch, rng, target_range, threshold):
    std, tgt = blocky_pair(rng, target_range, threshold)
    native, looped, warped = direct_masks(monkeypatch, std, tgt, 2, threshold)
    assert same_masks(native, looped) and not warped


def test_target_changed_after_its_range_was_measured_gives_the_exact_mask(monkeypatch, rng):
    # The route measures the target's range before it evaluates `slope`; a slope
    # whose truth test lifts part of the target by 256 leaves values that, cut to
    # 8 bits, would read as the old ones and mark pixels the exact mask does not.
    std, tgt = blocky_pair(rng, (0, 255), 50)
    before = tgt.copy()
    changed = tgt.copy()
    changed[8:24, 16:40] += 256

    class Slope:
        def __bool__(self):
            tgt[8:24, 16:40] += 256
            return True

    comparator = qlo_cv.ShiftComparator(np.zeros((1, 1), np.uint8), 1, 50, 1, slope=Slope())
    seen, find = [], cv2.findContours
    with monkeypatch.context() as m, mismatch_route("native"):
        m.setattr(cv2, "findContours", lambda mask, *args: seen.append(mask.copy()) or find(mask, *args))
        comparator._do_compare_image_with_shift(std, tgt, 1, "x", qlo_cv.CompareResult(None))
    assert np.array_equal(tgt, changed)
    _, exact, _ = direct_masks(monkeypatch, std, changed, 1, 50)
    _, cut, _ = direct_masks(monkeypatch, std, before, 1, 50)
    assert np.array_equal(seen[0], exact)
    assert cut[9:23, 17:39].any() and not exact[9:23, 17:39].any()


# Thin and wide images with windows reaching along them: the diagonals' runs
# past the image follow border rows or columns; windows past 256 take the
# kernel's whole-plane path whatever the shape.
@pytest.mark.parametrize("shape, max_shift, step", [
    ((2, 300), 20, 1), ((300, 2), 20, 1), ((3, 700), 260, 1), ((5, 90), 40, 3), ((1, 50), 9, 1),
    ((40, 600), 300, 1), ((600, 40), 300, 2), ((31, 33), 400, 1),
])
@pytest.mark.parametrize("threshold", [20, 0, -20])
def test_mask_matches_for_thin_images_and_wide_windows(monkeypatch, rng, shape, max_shift, step, threshold):
    tgt = cv2.GaussianBlur(rng.integers(0, 256, shape, dtype=np.uint8), (3, 3), 0).astype(np.int16)
    std = tgt + rng.integers(-80, 81, shape).astype(np.int16)
    native, looped, warped = direct_masks(monkeypatch, std, tgt, max_shift, threshold, step)
    assert same_masks(native, looped) and not warped and native.any()


REAL_EMPTY = np.empty


# The mask is the array the loop would give, whatever numpy.empty was made to
# return; it is checked in a child, where writing past a buffer would crash at exit.
@pytest.mark.parametrize("fake", [
    "lambda shape, dtype=None: REAL_EMPTY((2, 2), np.uint8)",
    "lambda shape, dtype=None: REAL_EMPTY(shape, np.uint8, order='F')",
    "lambda shape, dtype=None: np.frombuffer(bytes(shape[0] * shape[1]), np.uint8).reshape(shape)",
    "lambda shape, dtype=None: REAL_EMPTY(shape, np.float64)",
])
@pytest.mark.hardening
def test_a_patched_numpy_empty_changes_nothing(fake):
    from conftest import run_python
    proc = run_python(f"""
        import cv2, numpy as np, qlo_cv
        REAL_EMPTY = np.empty
        std = np.full((64, 80), 120, np.int16)
        std[20:30, 10:40] = 10
        seen, find = [], cv2.findContours
        cv2.findContours = lambda mask, *args: seen.append(mask) or find(mask, *args)
        comparator = qlo_cv.ShiftComparator(np.zeros((1, 1), np.uint8), 2, 30, 1)
        comparator._do_compare_image_with_shift(std, std - 60, 1, "x", qlo_cv.CompareResult(None))
        expected = seen.pop()
        np.empty = {fake}
        for _ in range(20):
            comparator._do_compare_image_with_shift(std, std - 60, 1, "x", qlo_cv.CompareResult(None))
            mask = seen.pop()
            assert type(mask) is np.ndarray and mask.dtype == np.uint8 and mask.shape == (64, 80)
            assert mask.flags.c_contiguous and mask.flags.writeable and mask.flags.owndata
            assert np.array_equal(mask, expected)
        print("ok")
    """)
    assert proc.returncode == 0 and proc.stdout == "ok\n", proc.stderr


@pytest.mark.parametrize("name", ["logical_and", "uint8"])
def test_patched_numpy_functions_of_the_loop_are_called(monkeypatch, rng, name):
    std, tgt = textured_pair(rng)
    calls, real = [], getattr(np, name)
    expected = summary(run(std, tgt, max_shift=2))
    monkeypatch.setattr(np, name, lambda *args: calls.append(1) or real(*args))
    assert summary(run(std, tgt, max_shift=2)) == expected and calls


class ModuleProxy(types.ModuleType):
    """Another module object that forwards every attribute to `target`."""

    def __init__(self, target):
        super().__init__(target.__name__)
        self._target = target

    def __getattr__(self, name):
        return getattr(self._target, name)


# The names the native route checks before each pass, rebound after a first
# comparison (so the check has already found its record) to an object doing
# the same, then bound back: the loop runs while they are rebound, the native
# route again afterwards; unbound, the loop raises the NameError.
@pytest.mark.parametrize("name", ["translate", "compare_image_difference", "_cv", "_np", "_math",
                                  "_np.float32", "_cv.warpAffine", "_np.logical_and", "_np.uint8", "_math.sqrt",
                                  "translate unbound"])
def test_the_route_follows_each_rebinding_of_the_names_it_checks(monkeypatch, rng, name):
    std, tgt = textured_pair(rng)
    comparator = qlo_cv.ShiftComparator(std, 2, 25, 1)
    expected = summary(run_with(comparator, tgt))
    head, _, attribute = name.split()[0].partition(".")
    owner, key = (getattr(qlo_cv, head), attribute) if attribute else (qlo_cv, head)
    real = getattr(owner, key)
    with monkeypatch.context() as m:
        if name.endswith("unbound"):
            m.delattr(owner, key)
            with pytest.raises(NameError, match=key):
                run_with(comparator, tgt)
        else:
            m.setattr(owner, key, ModuleProxy(real) if isinstance(real, types.ModuleType)
                      else lambda *args, **kwargs: real(*args, **kwargs))
            assert run_natively(lambda: summary(run_with(comparator, tgt))) == (expected, False)
    assert run_natively(lambda: summary(run_with(comparator, tgt))) == (expected, True)


# ---- both passes from one sweep ----

class Length(int):
    """A judge length that records each comparison the judge makes with it."""
    seen = []

    def __le__(self, other):
        Length.seen.append(1)
        return int(self) <= other


class Result(qlo_cv.CompareResult):
    seen = []

    def append(self, region):
        Result.seen.append(1)
        super().append(region)


def hook(name, comparator, calls, m):
    """Makes Python code run between the two passes of `comparator` (doing
    what the module would do), recording each call in `calls`; returns the
    result to compare into."""
    if name == "judge":
        comparator._ShiftComparator__judge = lambda cnt, p: calls.append(1) or qlo_cv.contour_is_too_long(cnt, p)
    elif name == "judge parameter":
        Length.seen = calls
        comparator._ShiftComparator__judge_parameter = [Length(comparator._ShiftComparator__judge_parameter)]
    elif name == "pass method":
        method = comparator._do_compare_image_with_shift
        comparator._do_compare_image_with_shift = lambda *args: calls.append(1) or method(*args)
    elif name == "class property":
        m.setattr(qlo_cv.ShiftComparator, "white_spot_desc", property(lambda self: calls.append(1) or "white spot"))
    elif name == "result append":
        Result.seen = calls
        return Result(None)
    else:
        owner, attribute = {"NGRegion": (qlo_cv, "NGRegion"), "findContours": (cv2, "findContours"),
                            "boundingRect": (cv2, "boundingRect"), "contourArea": (cv2, "contourArea"),
                            "int16": (np, "int16")}[name]
        real = getattr(owner, attribute)
        m.setattr(owner, attribute, lambda *args: calls.append(1) or real(*args))
    return qlo_cv.CompareResult(None)


# compare makes both masks of an 8-bit target in one sweep, skipping the int16
# copy, only while nothing but the module's own code runs between the passes;
# each of these runs Python code there, and then the passes run one by one
# with the same regions and the hook is called.
@pytest.mark.parametrize("name", ["judge", "judge parameter", "pass method", "class property",
                                  "result append", "NGRegion", "findContours", "boundingRect", "contourArea",
                                  "int16"])
def test_python_code_between_the_passes_gets_the_passes_one_by_one(monkeypatch, rng, name):
    std, tgt = textured_pair(rng)
    tgt[40:50, 60:70] = 0
    judge = qlo_cv.contour_is_too_big if name == "contourArea" else qlo_cv.contour_is_too_long
    comparator = qlo_cv.ShiftComparator(std, 2, 25, 3, judge)
    expected = summary(run_with(comparator, tgt))
    assert any(desc.startswith("black") for _rect, desc in expected)
    assert any(desc.startswith("white") for _rect, desc in expected)
    calls = []
    with monkeypatch.context() as m:
        result = hook(name, comparator, calls, m)
        comparator.compare(tgt, result)
        assert summary(result) == expected and calls


# The one-sweep route against the loop where row ends meet the displacements
# (images narrower than a vector, thin ones, blobs on the first and last
# columns), where most pixels differ (the sweep gives up and the windows
# decide) and where int16 differences wrap.
@pytest.mark.parametrize("shape", [(1, 1), (5, 7), (3, 200), (200, 3), (17, 33), (48, 100)])
@pytest.mark.parametrize("case", ["print", "edges", "strided", "noise", "wrapping"])
def test_one_sweep_masks_match_the_loop(monkeypatch, rng, shape, case):
    std, tgt = textured_pair(rng, shape)
    if case == "edges":
        tgt[:, :3], tgt[: shape[0] // 2, -2:] = 0, 255
    if case == "strided":                       # rows apart in memory, read-only
        tgt = np.repeat(tgt, 2, axis=0)[::2]
        tgt.flags.writeable = False
    if case == "noise":
        tgt = rng.integers(0, 256, shape, dtype=np.uint8)
    std = np.int16(std)
    if case == "wrapping":
        std.flat[::5] = -32768
    for max_shift, threshold, slope, judge in ((1, 25, True, qlo_cv.contour_is_too_long),
                                               (4, -25, True, qlo_cv.contour_is_too_long),
                                               (9, 40, False, qlo_cv.contour_is_too_long),
                                               (2, 30, True, qlo_cv.contour_is_too_big)):
        comparator = qlo_cv.ShiftComparator(std, max_shift, threshold, 1, judge, slope=slope)
        native, looped = both_paths(monkeypatch, lambda: summary(run_with(comparator, tgt)))
        assert native == looped, (max_shift, threshold)


@pytest.mark.parametrize("attribute, value", [("step", 0), ("step", 1.0), ("max_shift", 2.5), ("max_shift", None),
                                              ("slope", np.ones(2))])
def test_odd_attributes_raise_what_the_loop_raises(monkeypatch, attribute, value):
    std = np.zeros((10, 10), np.int16)
    comparator = qlo_cv.ShiftComparator(std, 2, 5, 1)
    setattr(comparator, attribute, value)

    def action():
        with pytest.raises(Exception) as info:
            comparator._do_compare_image_with_shift(std, std, 1, "x", qlo_cv.CompareResult(std))
        return type(info.value), str(info.value)

    native, looped = both_paths(monkeypatch, action)
    assert native == looped


def outcome(action):
    try:
        return action()
    except Exception as exc:                                # must be the same exception on both routes
        return type(exc), str(exc)


@pytest.mark.parametrize("make_target", [
    lambda s: s[:, :-1],                                   # different size
    lambda s: cv2.cvtColor(s, cv2.COLOR_GRAY2BGR),         # three channels
    lambda s: s.astype(np.float32) + 0.5,
    lambda s: s.astype(np.int32) * 1000,
    lambda s: None,
])
def test_bad_targets_raise_what_the_loop_raises(monkeypatch, rng, make_target):
    std, _ = textured_pair(rng)
    target = make_target(std)
    native, looped = both_paths(monkeypatch, lambda: outcome(lambda: summary(run(std, target))))
    assert native == looped


@pytest.mark.parametrize("make_planes", [
    lambda s: (s, s[:, 1:]),
    lambda s: (s, np.stack([s, s], axis=2)),
    lambda s: (s.astype(np.float64), s.astype(np.float64)),
    lambda s: (s.astype(np.int32), s.astype(np.int32)),
    lambda s: (s, None),
    lambda s: (None, s),
])
def test_bad_planes_raise_what_the_loop_raises(monkeypatch, rng, make_planes):
    std, tgt = make_planes(np.int16(textured_pair(rng)[0]))
    comparator = qlo_cv.ShiftComparator(np.zeros((1, 1), np.uint8), 2, 10, 1)
    action = lambda: comparator._do_compare_image_with_shift(std, tgt, 1, "x", qlo_cv.CompareResult(None))
    native, looped = both_paths(monkeypatch, lambda: outcome(action))
    assert native == looped


def test_threads_compare_concurrently_with_the_same_results(rng):
    pairs = [textured_pair(rng, (200, 240), (2, 1)) for _ in range(4)]
    expected = [summary(run(s, t, max_shift=3)) for s, t in pairs]
    got = [None] * len(pairs)

    def work(i):
        for _ in range(5):
            got[i] = summary(run(*pairs[i], max_shift=3))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(pairs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == expected


@pytest.mark.parametrize("desc, rect_type", [("black spot", int), ("", int), ("é ✓", int), ("x", np.int64),
                                             ("x", bool)])
def test_descriptions_read_as_python_formats_them(monkeypatch, desc, rect_type):
    std = np.full((40, 60), 200, np.uint8)
    tgt = std.copy()
    tgt[10:15, 20:32] = 20
    bounding_rect = cv2.boundingRect
    monkeypatch.setattr(cv2, "boundingRect", lambda cnt: tuple(rect_type(v) for v in bounding_rect(cnt)))
    result = qlo_cv.CompareResult(tgt)
    comparator = qlo_cv.ShiftComparator(std, 1, 30, 1)
    comparator.black_spot_desc = desc
    comparator.compare(tgt, result)
    rect = [r for r in result.ng_regions][0].rect
    longest = max(rect[2] - rect[0], rect[3] - rect[1])
    assert [r.desc for r in result.ng_regions] == ["%s: %d, %s" % (desc, longest, rect)]


def test_append_is_looked_up_before_the_region_is_made(monkeypatch):
    events = []

    class Result:
        @property
        def append(self):
            events.append("append")
            return lambda region: events.append("appended")

    monkeypatch.setattr(qlo_cv, "NGRegion", lambda rect, desc: events.append("NGRegion"))
    std = np.full((30, 40), 200, np.int16)
    tgt = std.copy()
    tgt[5:15, 5:15] = 10
    qlo_cv.ShiftComparator(np.zeros((1, 1), np.uint8), 1, 30, 1)._do_compare_image_with_shift(
        std, tgt, 1, "x", Result())
    assert events == ["append", "NGRegion", "appended"]


# ---- generic and vector-extension kernels ----

KERNEL_CASES = """
import sys
import cv2
import numpy as np
import qlo_cv

def masks():
    rng = np.random.default_rng(11)
    out = []
    find = cv2.findContours
    for rows, cols in ((1, 1), (3, 70), (17, 15), (40, 33), (31, 257), (96, 130)):
        for low, high in ((0, 256), (-3000, 3000)):
            std = rng.integers(low, high, (rows, cols)).astype(np.int16)
            tgt = rng.integers(low, high, (rows, cols)).astype(np.int16)
            for max_shift, step, slope, threshold in ((1, 1, True, 10), (3, 1, True, 0), (4, 2, False, -20),
                                                      (7, 1, True, 60), (9, 1, True, -1)):
                comparator = qlo_cv.ShiftComparator(np.zeros((1, 1), np.uint8), max_shift, threshold, 1,
                                                    slope=slope, step=step)
                cv2.findContours = lambda mask, *args: out.append(mask.copy()) or find(mask, *args)
                try:
                    comparator._do_compare_image_with_shift(std, tgt, 1, "x", qlo_cv.CompareResult(None))
                finally:
                    cv2.findContours = find
    return out

def regions():
    # Print-like pairs through compare: few pixels differ, so the sweep that
    # tries displacements only where they do decides.
    rng = np.random.default_rng(12)
    out = []
    for rows, cols in ((9, 20), (64, 80), (130, 257)):
        std = cv2.GaussianBlur(rng.integers(60, 200, (rows, cols), dtype=np.uint8), (7, 7), 0)
        tgt = np.roll(std, (1, -1), (0, 1))
        tgt[rows // 3:rows // 2 + 2, cols // 4:cols // 3 + 2] = 255
        tgt[rows // 2:, cols // 2:cols // 2 + 3] = 0
        for max_shift, threshold in ((1, 20), (3, 30), (8, -30)):
            result = qlo_cv.CompareResult(None)
            qlo_cv.ShiftComparator(std, max_shift, threshold, 1).compare(tgt, result)
            out.append([[r.rect, r.desc] for r in result.ng_regions])
    return out

if __name__ == "__main__":
    import json
    np.savez(sys.argv[1], *masks())
    with open(sys.argv[2], "w") as f:
        json.dump(regions(), f)
"""


@pytest.mark.hardening
def test_generic_kernels_give_the_masks_of_the_vector_extension_ones(tmp_path):
    # The process picks the kernels built for the processor's vector
    # extensions; the variable keeps the generic ones in the child.
    script = tmp_path / "kernel_cases.py"
    script.write_text(KERNEL_CASES)
    env = dict(os.environ, QLO_CV_GENERIC_KERNELS="1")
    subprocess.run([sys.executable, str(script), str(tmp_path / "generic.npz"), str(tmp_path / "generic.json")],
                   env=env, check=True)
    namespace = {}
    exec(compile(KERNEL_CASES, str(script), "exec"), namespace)
    here = namespace["masks"]()
    with np.load(tmp_path / "generic.npz") as generic:
        assert len(generic.files) == len(here) == 60
        for index, mask in enumerate(here):
            assert np.array_equal(generic[f"arr_{index}"], mask), index
    regions = namespace["regions"]()
    assert json.loads((tmp_path / "generic.json").read_text()) == regions and all(regions)


# ---- reuse of the native mask ----

@pytest.mark.parametrize("treat", ["keep", "view", "read-only", "resize"])
def test_a_mask_someone_holds_or_changed_is_never_filled_again(monkeypatch, rng, treat):
    # The native route refills the mask of an earlier call only when nothing
    # else holds it and it still has the layout it was made with.
    find, held, seen = cv2.findContours, [], []

    def spy(mask, *args):
        seen.append(mask.copy())
        if treat == "keep":
            held.append((mask, mask.copy()))
        elif treat == "view":
            held.append((mask[1:, :], mask[1:, :].copy()))
        elif treat == "read-only":
            mask.flags.writeable = False
        else:
            mask.resize((3, 3), refcheck=False)
        return find(seen[-1], *args)

    pairs = [textured_pair(rng), textured_pair(rng, shape=(50, 70)), textured_pair(rng)]
    expected = [summary(run(std, tgt, 2)) for std, tgt in pairs]
    monkeypatch.setattr(cv2, "findContours", spy)
    assert [summary(run(std, tgt, 2)) for std, tgt in pairs] == expected
    for array, copy in held:
        assert np.array_equal(array, copy)
    with monkeypatch.context() as m:
        m.setattr(qlo_cv, "translate", py_translate)
        looped = []
        for std, tgt in pairs:
            looped_result = run(std, tgt, 2)
            looped.append(summary(looped_result))
    assert looped == expected


# ---- a standard changed between calls ----

def write_in_place(comparator):
    comparator.std_threshold[20, 30] = 0


def swap_in_a_row(comparator):
    row = comparator.std_threshold[25]
    row[[10, 40]] = row[[40, 10]]


def write_through_a_view(comparator):
    comparator.std_threshold[::-1, 5:][30:36, 8:16] = 255


def keep_row_sums(comparator):
    # +k, -2k, +k sixteen columns apart: the row's sums per 16-column lane are unchanged
    row = comparator.std_threshold[30]
    row[[5, 21, 37]] += np.int16([40, -80, 40])


def resize(comparator):
    comparator.std_threshold.resize((50, 70), refcheck=False)
    comparator.std_threshold[:] = 180


def rebind(comparator):
    comparator.std_threshold = np.int16(np.full((50, 70), 60, np.uint8))


@pytest.mark.parametrize("change", [write_in_place, swap_in_a_row, keep_row_sums, write_through_a_view, resize,
                                    rebind])
@pytest.mark.parametrize("threshold", [20, -20])
def test_a_standard_changed_between_calls_is_compared_as_it_is(monkeypatch, rng, change, threshold):
    std, tgt = textured_pair(rng)
    comparator = qlo_cv.ShiftComparator(std, 2, threshold, 1)
    comparator.std_threshold = comparator.std_threshold.copy()   # owns its memory, so it can be resized
    comparator.std_threshold[25, 10], comparator.std_threshold[25, 40] = 30, 200
    for _ in range(2):
        run_with(comparator, tgt)
    change(comparator)
    shape = comparator.std_threshold.shape
    target = tgt if shape == tgt.shape else py_translate(np.full(shape, 120, np.uint8), 0, 0)
    native, looped = both_paths(monkeypatch, lambda: summary(run_with(comparator, target)))
    assert native == looped


def run_with(comparator, tgt):
    result = qlo_cv.CompareResult(tgt)
    comparator.compare(tgt, result)
    return result


# Code of the caller's that writes into the standard in the black-spot pass:
# the white-spot pass sees the standard as written.
@pytest.mark.parametrize("writer", ["judge", "append on the result"])
def test_code_writing_into_the_standard_between_the_passes(monkeypatch, rng, writer):
    std, tgt = textured_pair(rng)
    comparator = qlo_cv.ShiftComparator(std, 2, 25, 1)
    run_with(comparator, tgt)

    def judge(cnt, parameter):
        comparator.std_threshold[:] = 90
        return True

    def compare():
        comparator.std_threshold[:] = std
        result = qlo_cv.CompareResult(tgt)
        if writer == "judge":
            comparator._ShiftComparator__judge = judge
        else:
            result.append = lambda region: judge(None, None) and qlo_cv.CompareResult.append(result, region)
        comparator.compare(tgt, result)
        return summary(result)

    native, looped = both_paths(monkeypatch, compare)
    assert native == looped and any(desc.startswith("white") for _rect, desc in native)


@pytest.mark.parametrize("threshold", [0, 1, 7, 254, 255, 256, -1, -7, -254, -255, -256])
def test_8_bit_and_int16_routes_agree_at_the_threshold_edge(monkeypatch, rng, threshold):
    # Differences at, just inside and just outside the threshold, and values
    # pinned at 0 and 255, where a saturating subtraction clips.
    std = rng.choice(np.array([0, 1, 128, 254, 255], np.int16), (30, 40))
    t = abs(threshold)
    steps = np.array([-t - 1, -t, -t + 1, t - 1, t, t + 1, -255, 255, 0])
    tgt = np.clip(std + rng.choice(steps, std.shape), 0, 255).astype(np.int16)
    for a, b in ((std, tgt), (tgt, std)):
        native, looped, warped = direct_masks(monkeypatch, a, b, 1, threshold)
        assert same_masks(native, looped) and not warped
    comparator = qlo_cv.ShiftComparator(np.uint8(std), 1, threshold, 1)
    runs = [summary(run_with(comparator, np.uint8(tgt))) for _ in range(2)]
    with monkeypatch.context() as m:
        m.setattr(qlo_cv, "translate", py_translate)
        assert runs == [summary(run_with(comparator, np.uint8(tgt)))] * 2


# An 8-bit plane with a few values outside 0..255 in some rows (first, middle
# and last column): those rows are decided on int16, the others on 8 bits,
# and the planes' ranges, measured while they are read, decide whether a
# difference could wrap (then the loop runs).
@pytest.mark.parametrize("stray", [(-1,), (256,), (300, -300), (-32768,), (32767,), (-32768, 32767)])
@pytest.mark.parametrize("threshold", [30, -30])
def test_rows_leaving_8_bits_are_decided_as_the_loop_decides(monkeypatch, rng, stray, threshold):
    std, tgt = (np.int16(a) for a in textured_pair(rng))
    wide = std.copy()
    for i, (y, x) in enumerate(((0, 0), (17, 40), (63, 79), (40, 79))):
        wide[y, x] = stray[i % len(stray)]
    for a, b in ((wide, tgt), (tgt, wide)):
        native, looped, warped = direct_masks(monkeypatch, a, b, 3, threshold)
        fits = int(a.max()) - int(b.min()) <= 32767 and int(a.min()) - int(b.max()) >= -32768
        assert same_masks(native, looped) and warped is not fits
    comparator = qlo_cv.ShiftComparator(np.uint8(std), 3, threshold, 1)
    runs = [summary(run_with(comparator, wide)) for _ in range(2)]
    with monkeypatch.context() as m:
        m.setattr(qlo_cv, "translate", py_translate)
        assert runs == [summary(run_with(comparator, wide))] * 2


def test_threads_sharing_several_comparators_get_each_ones_result(rng):
    pairs = [textured_pair(rng, (120, 150), (1, 2)) for _ in range(3)]
    comparators = [qlo_cv.ShiftComparator(std, shift, threshold, 2)
                   for std, _ in pairs for shift, threshold in ((2, 20), (3, -20))]
    jobs = [(c, pairs[i // 2][1]) for i, c in enumerate(comparators)]
    expected = [summary(run_with(c, tgt)) for c, tgt in jobs]
    got = {}

    def work(k):
        for _ in range(4):
            for i, (c, tgt) in enumerate(jobs[k:] + jobs[:k]):
                got[k, (i + k) % len(jobs)] = summary(run_with(c, tgt))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(got[k, i] == expected[i] for k in range(4) for i in range(len(jobs)))


# ---- differential fuzz: one comparator, its standard edited in place between compares ----

def edit_standard(std, rng):
    """One in-place edit of an int16 standard: a pixel, a row keeping its sums
    per 16-column lane (+k, -2k, +k sixteen columns apart), a block through a
    reversed view, or the content rolled sideways."""
    rows, cols = std.shape
    y, kind = int(rng.integers(rows)), int(rng.integers(4))
    if kind == 0:
        std[y, int(rng.integers(cols))] = int(rng.integers(0, 256))
    elif kind == 1 and cols > 32:
        x = int(rng.integers(cols - 32))
        std[y, [x, x + 16, x + 32]] += np.int16([40, -80, 40])
    elif kind == 2:
        std[::-1, :][y:y + 7, 2:10] = int(rng.integers(0, 256))
    else:
        std[...] = np.roll(std, int(rng.integers(-17, 18)), axis=1)


@pytest.mark.hardening
def test_compare_matches_the_loop_with_the_standard_edited_between_compares(monkeypatch):
    rng = np.random.default_rng(20261208)
    for trial in range(1500):
        shape = (int(rng.integers(1, 70)), int(rng.integers(1, 90)))
        std, tgt = textured_pair(rng, shape, (int(rng.integers(-3, 4)), int(rng.integers(-3, 4))))
        if trial % 3 == 0:
            tgt = rng.integers(0, 256, shape, dtype=np.uint8)
        settings = dict(max_shift=int(rng.integers(0, 6)), threshold=int(rng.choice([-40, -1, 0, 1, 25, 60])),
                        judge_parameter=int(rng.integers(1, 4)), step=int(rng.choice([1, 2, -1])),
                        slope=bool(rng.integers(2)))
        comparator = qlo_cv.ShiftComparator(std, **settings)
        for _ in range(4):
            edit_standard(comparator.std_threshold, rng)
            target = tgt if rng.integers(2) else np.int16(tgt)
            native, looped = both_paths(monkeypatch, lambda: summary(run_with(comparator, target)))
            assert native == looped, (trial, settings)


# The job package's one definition of the displacements (its kernels for the
# mismatch maps, the tuner's equivalences, the settings' warnings) against the
# ones the comparator's loop tries, in its order.
@pytest.mark.parametrize("max_shift, slope, step", [(0, True, 1), (1, True, 1), (2, True, 1), (3, False, 1),
                                                    (5, True, 2), (7, True, 3), (8, True, 8), (9, True, 64)])
def test_the_job_packages_displacements_are_the_comparators(monkeypatch, max_shift, slope, step):
    from qlo_batch.displacements import displacements
    calls = []
    monkeypatch.setattr(qlo_cv, "translate", lambda image, right, down: calls.append((right, down)) or image)
    comparator = qlo_cv.ShiftComparator(np.zeros((4, 4), np.uint8), max_shift, 10, 1, slope=slope, step=step)
    comparator._do_compare_image_with_shift(comparator.std_threshold, comparator.std_threshold, 1, "x",
                                            qlo_cv.CompareResult(None))
    assert calls == displacements(max_shift, slope, step)
