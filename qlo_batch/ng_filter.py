"""Filters over a comparison's NG regions, worked out on the whole image at
once rather than region by region.

Solid blobs: the comparator reports a pixel only where it differs at every
tried displacement, so a thin bridge or spur keeps just a narrow core, and
misregistration leaves one- or two-pixel slivers along the pattern's edges.
Both are blobs of few pixels or of little thickness, and the comparator's
judges see only a blob's box or contour area. Here the mismatch map is made
again with two grey-level morphology calls (a pixel differs at every
displacement when it differs from the lightest, or darkest, of the
displaced pixels), and each blob is measured: its pixel count, and its
radius, the largest distance from one of its pixels to the nearest pixel
outside it (the image's outside counts as outside). A 5-pixel-wide bridge
compared at max_shift 1 keeps a 3-pixel core of radius 2; an edge sliver
has radius 1.

Border band: regions reaching within a band along the edge of the compared
area are dropped. Edge slivers gather there (the comparator replicates the
border pixels when it moves an image), and comparing the whole image and
dropping them afterwards keeps them from moving inward, as a smaller
compare_region would.
"""
import itertools
import math

import cv2
import numpy as np


def displacement_kernel(max_shift, slope, step):
    """The structuring element of the comparator's displacements: the centre,
    the axis steps range(1, max_shift + 1, step) both ways, and with `slope`
    the diagonal ones up to int(max_shift / sqrt(2)) on each axis."""
    reach = max(max_shift, 0)
    kernel = np.zeros((2 * reach + 1, 2 * reach + 1), np.uint8)
    kernel[reach, reach] = 1
    for i in range(1, max_shift + 1, step):
        kernel[reach, reach - i] = kernel[reach, reach + i] = kernel[reach - i, reach] = kernel[reach + i, reach] = 1
    if slope:
        for i in range(1, int(max_shift / math.sqrt(2)) + 1, step):
            kernel[reach - i, reach - i] = kernel[reach - i, reach + i] = 1
            kernel[reach + i, reach - i] = kernel[reach + i, reach + i] = 1
    return kernel


def mismatch_maps(comparator, target):
    """(black, white): 0/255 uint8 maps of the pixels the comparator marks in
    `target` (before its judge), the darker-than-standard ones and the
    lighter ones, from its own settings and standard (its std_threshold,
    max_shift, threshold, slope, step and compare_region)."""
    std = np.asarray(comparator.std_threshold, np.int16)
    tgt = np.asarray(target).astype(np.int16)
    if comparator.compare_region is not None:
        x1, y1, x2, y2 = comparator.compare_region
        std_window, tgt_window = np.zeros_like(std), np.zeros_like(tgt)
        std_window[y1:y2, x1:x2] = std[y1:y2, x1:x2]
        tgt_window[y1:y2, x1:x2] = tgt[y1:y2, x1:x2]
        std, tgt = std_window, tgt_window
    threshold = int(comparator.threshold)
    kernel = displacement_kernel(int(comparator.max_shift), comparator.slope, int(comparator.step))
    # a difference above the threshold at every displacement is one above it
    # against the largest displaced value (below it: against the smallest)
    spread = cv2.dilate if threshold >= 0 else cv2.erode
    rule = cv2.CMP_GT if threshold >= 0 else cv2.CMP_LT
    maps = []
    for fixed, moved in ((std, tgt), (tgt, std)):
        extreme = spread(moved, kernel, borderType=cv2.BORDER_REPLICATE)
        maps.append(cv2.compare(cv2.subtract(fixed, extreme, dtype=cv2.CV_16S), threshold, rule))
    return maps[0], maps[1]


def disc(radius):
    """The offsets o with |o| < radius, as an erosion kernel: a pixel
    survives the erosion when every pixel nearer than `radius` is set."""
    reach = max(int(math.ceil(radius)) - 1, 0)
    y, x = np.mgrid[-reach:reach + 1, -reach:reach + 1]
    return (x * x + y * y < radius * radius).astype(np.uint8)


def solid_blobs(mask, min_pixels, min_radius):
    """(boxes, keep) for the 8-connected blobs of a 0/255 map: `boxes` is an
    int64 array of their boxes (x1, y1, x2, y2), `keep` whether each has at
    least `min_pixels` pixels and a radius of at least `min_radius`, the
    radius being the largest distance from one of its pixels to the nearest
    pixel outside it (outside the image counts as outside): a lone pixel has
    radius 1, a 3-pixel-wide line 2, a 5-pixel-wide one 3. A blob reaches a
    radius r when an erosion by the disc of radius r leaves one of its pixels."""
    count, labels = cv2.connectedComponents(mask, connectivity=8)
    points = cv2.findNonZero(mask)
    if points is None:
        return np.zeros((0, 4), np.int64), np.zeros(0, bool)
    xs, ys = points[:, 0, 0], points[:, 0, 1]
    label = labels[ys, xs]
    boxes = np.empty((count, 4), np.int64)
    boxes[:, :2] = np.iinfo(np.int64).max
    boxes[:, 2:] = -1
    np.minimum.at(boxes[:, 0], label, xs)
    np.minimum.at(boxes[:, 1], label, ys)
    np.maximum.at(boxes[:, 2], label, xs + 1)
    np.maximum.at(boxes[:, 3], label, ys + 1)
    keep = np.bincount(label, minlength=count) >= min_pixels
    if min_radius > 1:
        core = cv2.findNonZero(cv2.erode(mask, disc(min_radius), borderType=cv2.BORDER_CONSTANT, borderValue=0))
        thick = np.zeros(count, bool)
        if core is not None:
            thick[labels[core[:, 0, 1], core[:, 0, 0]]] = True
        keep &= thick
    return boxes[1:], keep[1:]


def solid_regions(comparator, target, regions, min_pixels, min_radius):
    """The NG regions that `comparator` found in `target` whose blob has at
    least `min_pixels` pixels and a radius of at least `min_radius` (see
    solid_blobs), each matched to its blob by box and by the description's
    black or white prefix. A region that no blob explains (a comparator that
    is not the shift comparator) is kept: the filter drops only what it has
    measured."""
    if not regions:
        return []
    measured = [solid_blobs(m, min_pixels, min_radius) for m in mismatch_maps(comparator, target)]
    black, white = comparator.black_spot_desc + ":", comparator.white_spot_desc + ":"
    boxed = [i for i, region in enumerate(regions) if region.rect is not None]
    rects = np.fromiter(itertools.chain.from_iterable(regions[i].rect for i in boxed), np.int64,
                        4 * len(boxed)).reshape(-1, 4)
    is_black = np.fromiter((regions[i].desc.startswith(black) for i in boxed), bool, len(boxed))
    is_white = np.fromiter((regions[i].desc.startswith(white) for i in boxed), bool, len(boxed))
    # rows (side, x1, y1, x2, y2): the blobs of each side, then each region
    # asked of the side its description names (of both when it names neither)
    asked = [np.flatnonzero(~(is_white & ~is_black)), np.flatnonzero(~(is_black & ~is_white))]
    rows = np.concatenate([np.column_stack((np.full(len(boxes), side), boxes)) for side, (boxes, _) in enumerate(measured)]
                          + [np.column_stack((np.full(len(ask), side), rects[ask])) for side, ask in enumerate(asked)])
    passes = np.concatenate([keep for _, keep in measured])
    group = _row_groups(rows)
    blob_groups, region_groups = group[:len(passes)], group[len(passes):]
    known, good = np.zeros(len(rows), bool), np.zeros(len(rows), bool)
    known[blob_groups] = True
    good[blob_groups[passes]] = True
    asking = np.asarray(boxed, np.int64)[np.concatenate(asked)]
    # a region no blob explains (not the shift comparator's) is kept
    dropped = np.zeros(len(regions), bool)
    dropped[asking[known[region_groups]]] = True
    dropped[asking[good[region_groups]]] = False
    return [region for region, gone in zip(regions, dropped.tolist()) if not gone]


def _row_groups(rows):
    """For each row of an integer array, the number of its distinct value
    among the rows (equal rows share one)."""
    if not len(rows):
        return np.zeros(0, np.int64)
    order = np.lexsort(rows.T[::-1])
    ordered = rows[order]
    fresh = np.ones(len(rows), bool)
    fresh[1:] = np.any(ordered[1:] != ordered[:-1], axis=1)
    group = np.empty(len(rows), np.int64)
    group[order] = np.cumsum(fresh) - 1
    return group


def clear_of_border(rect, limits, border):
    """Whether `rect` (x1, y1, x2, y2) stays more than `border` pixels inside
    `limits`, the compared area (x1, y1, x2, y2)."""
    x1, y1, x2, y2 = rect
    lx1, ly1, lx2, ly2 = limits
    return x1 >= lx1 + border and y1 >= ly1 + border and x2 <= lx2 - border and y2 <= ly2 - border
