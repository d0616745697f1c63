import cv2
import numpy as np
import pytest

import qlo_cv
from qlo_batch import ng_filter


def noisy_pair(rng, shape=(60, 70), size=3):
    std = cv2.dilate((rng.random(shape) < 0.25).astype(np.uint8) * 200, np.ones((size, size), np.uint8))
    tgt = np.clip(std.astype(int) + rng.integers(-70, 70, shape), 0, 255).astype(np.uint8)
    return std, tgt


def blob_boxes(mask):
    contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
    return [[x, y, x + w, y + h] for x, y, w, h in map(cv2.boundingRect, contours)]


# max_shift, threshold, slope, step, compare_region
COMPARISONS = [(0, 40, True, 1, None), (1, 40, True, 1, None), (2, 0, True, 1, None), (3, 60, True, 2, None),
               (3, -40, False, 1, None), (2, 40, True, 1, [5, 3, 50, 55]), (1, -1, True, 1, [0, 10, 70, 60]),
               (4, 30, True, 3, None)]


@pytest.mark.parametrize("max_shift, threshold, slope, step, region", COMPARISONS)
def test_mismatch_maps_are_the_comparators(rng, monkeypatch, max_shift, threshold, slope, step, region):
    """Every blob of the maps is a region of a comparison whose judge keeps
    everything, black ones first, and no region is missing."""
    std, tgt = noisy_pair(rng)
    comparator = qlo_cv.ShiftComparator(std, max_shift, threshold, 1, qlo_cv.contour_is_too_long, slope, step, region)
    result = qlo_cv.CompareResult(tgt)
    comparator.compare(tgt, result)
    black, white = ng_filter.mismatch_maps(comparator, tgt)
    rects = [list(r.rect) for r in result.ng_regions]
    assert sorted(rects[:len(blob_boxes(black))]) == sorted(blob_boxes(black))
    assert sorted(rects[len(blob_boxes(black)):]) == sorted(blob_boxes(white))
    # the 8-bit maps are the 16-bit ones
    monkeypatch.setattr(ng_filter, "_planes", lambda std, target, _: (std.astype(np.int16), target.astype(np.int16)))
    assert all(np.array_equal(a, b) for a, b in zip(ng_filter.mismatch_maps(comparator, tgt), (black, white)))


def slow_solid(comparator, tgt, regions, min_pixels, min_radius):
    """The filter blob by blob, with an exact distance transform per blob."""
    verdicts = []
    for mask in ng_filter.mismatch_maps(comparator, tgt):
        count, labels, stats, _ = cv2.connectedComponentsWithStats(mask, connectivity=8)
        verdict = {}
        for label in range(1, count):
            x, y, w, h, area = stats[label].tolist()
            blob = (labels[y:y + h, x:x + w] == label).astype(np.uint8)
            framed = cv2.copyMakeBorder(blob, 1, 1, 1, 1, cv2.BORDER_CONSTANT, value=0)
            radius = cv2.distanceTransform(framed, cv2.DIST_L2, cv2.DIST_MASK_PRECISE).max()
            verdict[x, y, x + w, y + h] = area >= min_pixels and radius >= min_radius
        verdicts.append(verdict)
    return [r for r in regions if verdicts[r.desc.startswith("white")][tuple(r.rect)]]


@pytest.mark.parametrize("min_pixels, min_radius", [(0, 0), (5, 0), (0, 2), (0, 1.5), (9, 2.5), (4, 3), (0, 5)])
@pytest.mark.parametrize("max_shift, threshold", [(1, 40), (2, -30)])
def test_solid_regions_match_a_blob_by_blob_filter(rng, min_pixels, min_radius, max_shift, threshold):
    std, tgt = noisy_pair(rng, size=int(rng.integers(2, 6)))
    comparator = qlo_cv.ShiftComparator(std, max_shift, threshold, 1)
    result = qlo_cv.CompareResult(tgt)
    comparator.compare(tgt, result)
    got = ng_filter.solid_regions(comparator, tgt, result.ng_regions, min_pixels, min_radius)
    assert got == slow_solid(comparator, tgt, result.ng_regions, min_pixels, min_radius)


# a band `width` rows high and `length` long: its radius is ceil(min(width, length) / 2)
@pytest.mark.parametrize("width, length, min_radius, kept", [
    (1, 22, 1, True), (1, 22, 1.5, False), (2, 22, 1.5, False), (3, 22, 2, True), (3, 22, 2.5, False),
    (4, 22, 2, True), (5, 22, 3, True), (5, 22, 3.5, False), (6, 22, 3, True), (40, 22, 11, True),
    (40, 22, 11.5, False), (3, 3, 2, True), (3, 3, 2.1, False)])
def test_radius_of_bands(width, length, min_radius, kept):
    assert ng_filter.blob_passes(np.full((width, length), 255, np.uint8), 0, min_radius) is kept


def test_regions_with_no_mismatch_in_their_box_are_kept(rng):
    std, tgt = noisy_pair(rng)
    tgt[:10, :10] = std[:10, :10]
    comparator = qlo_cv.ShiftComparator(std, 1, 40, 1)
    stranger = qlo_cv.NGRegion([2, 3, 6, 7], "scratch: 4, [2, 3, 6, 7]")
    whole = qlo_cv.NGRegion(None, "everything")
    assert ng_filter.solid_regions(comparator, tgt, [stranger, whole], 10 ** 6, 50) == [stranger, whole]
    assert ng_filter.solid_regions(comparator, tgt, [], 1, 1) == []


def test_renamed_prefixes_still_pick_the_blobs_side():
    """A thick black blob and a thin white one share a box: each region is
    judged by its own side, whatever the prefixes are called."""
    std = np.full((40, 40), 128, np.uint8)
    tgt = std.copy()
    tgt[10:20, 10:20] = 0            # black, 10 x 10
    tgt[25:27, 10:20] = 255          # white, 2 rows: thin
    comparator = qlo_cv.ShiftComparator(std, 1, 40, 1)
    comparator.black_spot_desc, comparator.white_spot_desc = "dark", "light"
    result = qlo_cv.CompareResult(tgt)
    comparator.compare(tgt, result)
    kept = ng_filter.solid_regions(comparator, tgt, result.ng_regions, 0, 2)
    assert [r.desc.split(":")[0] for r in kept] == ["dark"]


def test_pixel_counts_past_32_bits():
    """9 megapixels all mismatching: 255 per pixel overflows a 32-bit sum."""
    boxes = [np.array([v]) for v in (0, 0, 3000, 3000)]
    assert ng_filter._box_sums(np.full((3000, 3000), 255, np.uint8), *boxes).tolist() == [9_000_000]
