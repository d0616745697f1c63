"""Filters over a comparison's NG regions, settled for the whole image at
once where possible rather than region by region.

Solid blobs: the comparator reports a pixel only where it differs at every
tried displacement, so a thin bridge or spur keeps just a narrow core, and
misregistration leaves one- or two-pixel slivers along the pattern's edges.
Both are blobs of few pixels or of little thickness, and the comparator's
judges see only a blob's box or contour area. Here the mismatch map is made
again with two grey-level morphology calls (a pixel differs at every
displacement when it differs from the lightest, or darkest, of the
displaced pixels), and each blob is measured: its pixel count, and its
radius, the largest distance from one of its pixels to the nearest pixel
not in it. A 5-pixel fault compared at max_shift 1 keeps a 3-pixel core,
of radius 2; an edge sliver has radius 1.

Border band: regions reaching within a band along the edge of the compared
area are dropped. Edge slivers gather there (the comparator replicates the
border pixels when it moves an image), and comparing the whole image and
dropping them afterwards keeps them from moving inward, as a smaller
compare_region would.
"""
import functools
import itertools
import math

import cv2
import numpy as np

from qlo_batch.displacements import displacements


def displacement_kernel(max_shift, slope, step):
    """The structuring element of the comparator's displacements: the centre
    and every displacement it tries (qlo_batch.displacements)."""
    reach = max(max_shift, 0)
    kernel = np.zeros((2 * reach + 1, 2 * reach + 1), np.uint8)
    kernel[reach, reach] = 1
    for right, down in displacements(max_shift, slope, step):
        kernel[reach + down, reach + right] = 1
    return kernel


def in_region(image, region):
    """`image` zeroed outside the corner box `region` (x1, y1, x2, y2), as the
    comparator compares within its compare_region; the image itself when None."""
    if region is None:
        return image
    x1, y1, x2, y2 = region
    window = np.zeros_like(image)
    window[y1:y2, x1:x2] = image[y1:y2, x1:x2]
    return window


def mismatch_maps(comparator, target):
    """(black, white): 0/255 uint8 maps of the pixels the comparator marks in
    `target` (before its judge), the darker-than-standard ones and the
    lighter ones, from its own settings and standard (its std_threshold,
    max_shift, threshold, slope, step and compare_region)."""
    threshold = int(comparator.threshold)
    std, tgt = _planes(np.asarray(comparator.std_threshold), np.asarray(target), threshold)
    std, tgt = in_region(std, comparator.compare_region), in_region(tgt, comparator.compare_region)
    kernel = displacement_kernel(int(comparator.max_shift), comparator.slope, int(comparator.step))
    # a difference above the threshold at every displacement is one above it
    # against the largest displaced value (below it: against the smallest)
    spread = cv2.dilate if threshold >= 0 else cv2.erode
    maps = []
    for fixed, moved in ((std, tgt), (tgt, std)):
        extreme = spread(moved, kernel, borderType=cv2.BORDER_REPLICATE)
        if std.dtype == np.uint8:
            # Differences of the sign that counts, saturated at 0 (a difference of
            # the other sign is never past a threshold of this one): the same map
            # without a 16-bit copy of either image.
            difference = cv2.subtract(fixed, extreme) if threshold >= 0 else cv2.subtract(extreme, fixed)
            maps.append(cv2.compare(difference, abs(threshold), cv2.CMP_GT))
        else:
            rule = cv2.CMP_GT if threshold >= 0 else cv2.CMP_LT
            maps.append(cv2.compare(cv2.subtract(fixed, extreme, dtype=cv2.CV_16S), threshold, rule))
    return maps[0], maps[1]


def _planes(std, target, threshold):
    """The standard and the target as the maps are made from them: both 8-bit
    when both hold 8-bit values and the threshold is one (the common case),
    else both 16-bit."""
    if target.dtype == np.uint8 and -255 <= threshold <= 255 and std.ndim == 2 and std.size:
        low, high, _, _ = cv2.minMaxLoc(std)
        if 0 <= low and high <= 255:
            return std.astype(np.uint8), target
    return std.astype(np.int16), target.astype(np.int16)


@functools.lru_cache(maxsize=64)
def disc(radius):
    """The offsets o with |o| < radius, as an erosion kernel (read-only,
    made once per radius): a pixel survives the erosion when every pixel
    nearer than `radius` is set."""
    reach = max(int(math.ceil(radius)) - 1, 0)
    y, x = np.mgrid[-reach:reach + 1, -reach:reach + 1]
    kernel = (x * x + y * y < radius * radius).astype(np.uint8)
    kernel.flags.writeable = False          # kept for every later call of the same radius
    return kernel


def blob_passes(window, min_pixels, min_radius):
    """Whether a blob whose box is the whole of `window` (a crop of a 0/255
    map) has at least `min_pixels` pixels and a radius of at least
    `min_radius`: the largest distance from one of its pixels to the nearest
    pixel not in it. A lone pixel has radius 1, a 3-pixel-wide line 2, a
    5-pixel-wide one 3. The blob reaches radius r when an erosion by the
    disc of radius r leaves one of its pixels. Other blobs' pixels in the
    window are not its own (two 8-connected blobs cannot both reach all four
    sides). None when no blob spans the window."""
    count, labels, stats, _ = cv2.connectedComponentsWithStats(window, connectivity=8)
    rows, cols = window.shape
    for label in range(1, count):
        x, y, w, h, area = stats[label].tolist()
        if (x, y, w, h) == (0, 0, cols, rows):
            if area < min_pixels:
                return False
            blob = (labels == label).view(np.uint8)
            return min_radius <= 1 or cv2.countNonZero(
                cv2.erode(blob, disc(min_radius), borderType=cv2.BORDER_CONSTANT, borderValue=0)) > 0
    return None


def solid_regions(comparator, target, regions, min_pixels, min_radius):
    """The NG regions that `comparator` found in `target` whose blob has at
    least `min_pixels` pixels and a radius of at least `min_radius` (see
    blob_passes). A region's blob lies in its box, on the map of the side
    (black or white) its description's prefix names.

    Most regions are settled for the whole image at once: a box holding
    fewer mismatching pixels than `min_pixels`, or no pixel that the erosion
    by the disc leaves, cannot hold a blob that passes (summed-area tables
    count both per box). Only the few boxes left, those of the real faults
    and the slivers around them, are looked at one by one. A region whose box
    holds no mismatching pixel of its side (one that does not come from the
    shift comparator) is kept: the filter drops only what it has measured."""
    # each region's box and description read once (hundreds of regions per image)
    boxed = [(i, rect, region.desc) for i, region in enumerate(regions) for rect in (region.rect,) if rect is not None]
    if not boxed:
        return list(regions)
    maps = mismatch_maps(comparator, target)
    rects = np.fromiter(itertools.chain.from_iterable(rect for _, rect, _ in boxed), np.int64,
                        4 * len(boxed)).reshape(-1, 4)
    black, white = comparator.black_spot_desc + ":", comparator.white_spot_desc + ":"
    is_black = np.fromiter((desc.startswith(black) for _, _, desc in boxed), bool, len(boxed))
    is_white = np.fromiter((desc.startswith(white) for _, _, desc in boxed), bool, len(boxed))
    rows, cols = maps[0].shape
    inside = ((rects[:, 0] >= 0) & (rects[:, 1] >= 0) & (rects[:, 2] <= cols) & (rects[:, 3] <= rows)
              & (rects[:, 0] < rects[:, 2]) & (rects[:, 1] < rects[:, 3]))
    x1, y1, x2, y2 = np.where(inside[:, None], rects, 0).T
    passed, failed = np.zeros(len(boxed), bool), np.zeros(len(boxed), bool)
    for side, mask in enumerate(maps):
        # a region is asked of the side its prefix names, of both when it names neither
        asked = inside & ~(is_white & ~is_black if side == 0 else is_black & ~is_white)
        pixels = _box_sums(mask, x1, y1, x2, y2)
        hopeful = asked & (pixels >= max(min_pixels, 1))
        if min_radius > 1:
            core = cv2.erode(mask, disc(min_radius), borderType=cv2.BORDER_CONSTANT, borderValue=0)
            hopeful &= _box_sums(core, x1, y1, x2, y2) > 0
        failed |= asked & ~hopeful & (pixels > 0)
        for k in np.flatnonzero(hopeful).tolist():
            passes = blob_passes(mask[y1[k]:y2[k], x1[k]:x2[k]], min_pixels, min_radius)
            passed[k] |= passes is True
            failed[k] |= passes is False
    dropped = np.zeros(len(regions), bool)
    dropped[np.fromiter((i for i, _, _ in boxed), np.int64, len(boxed))[failed & ~passed]] = True
    return [region for region, gone in zip(regions, dropped.tolist()) if not gone]


def _box_sums(mask, x1, y1, x2, y2):
    """The number of set pixels of a 0/255 map in each box."""
    wide = mask.size * 255 >= 2 ** 31        # sums past a 32-bit integer: beyond about 8 megapixels
    table = cv2.integral(mask, sdepth=cv2.CV_64F if wide else cv2.CV_32S)
    return ((table[y2, x2] - table[y1, x2] - table[y2, x1] + table[y1, x1]) // 255).astype(np.int64)


def clear_of_border(rect, limits, border):
    """Whether `rect` (x1, y1, x2, y2) stays more than `border` pixels inside
    `limits`, the compared area (x1, y1, x2, y2)."""
    x1, y1, x2, y2 = rect
    lx1, ly1, lx2, ly2 = limits
    return x1 >= lx1 + border and y1 >= ly1 + border and x2 <= lx2 - border and y2 <= ly2 - border
