"""Defects from a comparison: one defect per physical fault, with its full
extent box, a kind and a score, built on top of the shift comparator's NG
regions (which are only the part of a fault that no tolerated misregistration
explains, and may come in several fragments per fault).

How a defect is made (docs/defects.md says the same for users):

1. NG regions whose boxes are at most `gap` pixels apart are grouped, the
   grouping being transitive.
2. Around each group a window is cut out of both images. The integer
   displacement within `max_shift` that best aligns the target with the
   standard there (least squared difference) is found, and the difference is
   taken at that displacement, so misregistration slivers along the edges
   vanish. One-pixel slivers left by edge noise are opened away.
3. The defect is the set of difference pixels connected to the group's NG
   pixels, reaching at most `extent` pixels beyond the group's boxes. Its box
   is padded by `margin` and clipped to the image.
4. The score is the defect's contrast-weighted area: the sum of
   |standard - target| / 255 over its pixels.
5. The kind comes from the components of the material (the pattern's grey
   level, see `material_level`) in the standard and the aligned target.

Everything works on small windows around the NG regions, so the cost grows
with the number of defects, not with the image size.
"""
import dataclasses
from typing import List

import cv2
import numpy as np

import qlo_cv

# Kind words, in the order a report lists them. The first six say what the
# defect does to the pattern; "extra" and "missing" are the plain material
# change when none of them fits.
KINDS = ("bridge", "break", "hole", "bite", "island", "spur", "extra", "missing")

# Pixels of context around the extent window in which the pattern's parts are
# labelled: parts cut by the window border may look apart when they join just
# outside, so the window is kept generous.
CONTEXT = 24
# Parts and pieces smaller than this (pixels) are crumbs of noise, not parts.
MIN_PART = 4
# A part losing at least this share of its pixels is a whole part missing; a
# hole of the standard this much filled is a hole filled (both plain kinds).
WHOLE = 0.85
_OPEN = np.ones((2, 2), np.uint8)
_CROSS = cv2.getStructuringElement(cv2.MORPH_CROSS, (3, 3))
_SQUARE = np.ones((3, 3), np.uint8)


@dataclasses.dataclass
class Defect:
    """One defect. `box` is [x1, y1, x2, y2] in image pixels, x2 and y2 one past
    the last pixel; `kind` is one of KINDS; `score` grows with the defect's
    contrast and size; `regions` are the NGRegion objects it was made from."""
    box: List[int]
    kind: str
    score: float
    regions: list = dataclasses.field(default_factory=list)

    @property
    def ng_count(self):
        return len(self.regions)


def find_defects(standard, target, settings, ng_regions=None, comparator=None):
    """The defects of `target` (a 2-D uint8 image) against `standard` (the same
    size), as a list of Defect, largest score first.

    `settings` is a qlo_batch.Settings: its comparator settings, and its gap,
    extent, margin, min_score and material. `ng_regions` are the NG regions of
    a comparison already made; when None, the comparison is made here with
    `comparator` (or one made from the settings).

    Raises ValueError for an empty image, images of different sizes, or
    images that are not 2-D uint8 arrays, and TypeError for non-arrays."""
    check_pair(standard, target)
    if ng_regions is None:
        if comparator is None:
            comparator = settings.comparator(standard)
        result = qlo_cv.CompareResult(target)
        comparator.compare(target, result)
        ng_regions = result.ng_regions
    rows, cols = standard.shape
    boxes, kept = [], []
    for region in ng_regions:
        box = _clip(region.rect if region.rect is not None else (0, 0, cols, rows), rows, cols)
        if box is not None:
            boxes.append(box)
            kept.append(region)
    if not boxes:
        return []
    extractor = _Extractor(standard, target, settings)
    defects = []
    for members in group_boxes(boxes, settings.gap):
        defect = extractor.defect([boxes[i] for i in members], [kept[i] for i in members])
        if defect.score >= settings.min_score:
            defects.append(defect)
    defects.sort(key=lambda d: -d.score)
    return defects


def check_pair(standard, target):
    """Raises a clear error unless both are non-empty 2-D uint8 arrays of one size."""
    for name, image in (("standard", standard), ("target", target)):
        if not isinstance(image, np.ndarray):
            raise TypeError("%s must be a numpy array, not %s" % (name, type(image).__name__))
        if image.ndim != 2:
            raise ValueError("%s must be a 2-D (grey) image, not %d-D with shape %s"
                             % (name, image.ndim, image.shape))
        if image.dtype != np.uint8:
            raise ValueError("%s must be uint8, not %s" % (name, image.dtype))
        if image.size == 0:
            raise ValueError("%s is empty (shape %s)" % (name, image.shape))
    if standard.shape != target.shape:
        raise ValueError("target is %d x %d, the standard %d x %d"
                         % (target.shape[1], target.shape[0], standard.shape[1], standard.shape[0]))


def _clip(rect, rows, cols):
    x1, y1, x2, y2 = (int(v) for v in rect)
    x1, y1, x2, y2 = max(x1, 0), max(y1, 0), min(x2, cols), min(y2, rows)
    return (x1, y1, x2, y2) if x1 < x2 and y1 < y2 else None


def group_boxes(boxes, gap):
    """Lists of indices of `boxes` (x1, y1, x2, y2) that are one defect: boxes
    with at most `gap` clear rows or columns between them join, transitively.
    Groups come in the order of their first box."""
    b = np.asarray(boxes, np.int64)
    x1, y1, x2, y2 = b[:, :1], b[:, 1:2], b[:, 2:3], b[:, 3:4]
    # clear columns (rows) between two boxes; negative when they overlap
    dx = np.maximum(x1 - x2.T, x1.T - x2)
    dy = np.maximum(y1 - y2.T, y1.T - y2)
    near = np.maximum(dx, dy) <= gap
    group = np.full(len(boxes), -1)
    groups = []
    for start in range(len(boxes)):
        if group[start] >= 0:
            continue
        group[start] = len(groups)
        members, frontier = [start], [start]
        while len(frontier):
            reached = np.flatnonzero(near[frontier].any(axis=0) & (group < 0))
            group[reached] = len(groups)
            members.extend(reached.tolist())
            frontier = reached
        groups.append(sorted(members))
    return groups


def material_level(standard, material="auto"):
    """(level, light): the pattern's pixels are those above `level` when
    `light`, else those at or below it. The level is Otsu's on the standard;
    "auto" takes the pattern to be the grey level that covers the lesser
    share of the standard (ink on paper, traces on a board)."""
    sample = standard[::4, ::4] if standard.size > 4096 else standard
    level, _ = cv2.threshold(np.ascontiguousarray(sample), 0, 255, cv2.THRESH_BINARY + cv2.THRESH_OTSU)
    if material != "auto":
        return level, material == "light"
    light_share = np.count_nonzero(sample > level) / sample.size
    return level, light_share < 0.5


class _Extractor:
    """The defect of each group of NG boxes, for one image pair."""

    def __init__(self, standard, target, settings):
        self.std, self.tgt = standard, target
        self.shift = settings.max_shift
        self.threshold = abs(settings.threshold)      # differences above this count
        self.extent, self.margin = settings.extent, settings.margin
        self.level, self.light = material_level(standard, settings.material)
        rows, cols = standard.shape
        limits = _clip(settings.compare_region, rows, cols) if settings.compare_region else None
        self.limits = limits or (0, 0, cols, rows)

    def defect(self, boxes, regions):
        rows, cols = self.std.shape
        b = np.asarray(boxes)
        gx1, gy1 = b[:, :2].min(axis=0)
        gx2, gy2 = b[:, 2:].max(axis=0)
        reach = self.extent + CONTEXT
        cx1, cy1 = max(gx1 - reach, 0), max(gy1 - reach, 0)
        cx2, cy2 = min(gx2 + reach, cols), min(gy2 + reach, rows)
        tgt = self.tgt[cy1:cy2, cx1:cx2]
        std = self._aligned(cx1, cy1, cx2, cy2)
        magnitude = cv2.absdiff(std, tgt)
        differ = cv2.threshold(magnitude, self.threshold, 255, cv2.THRESH_BINARY)[1]
        seed = np.zeros_like(differ)
        for x1, y1, x2, y2 in boxes:
            seed[y1 - cy1:y2 - cy1, x1 - cx1:x2 - cx1] = 255
        seed &= differ
        # the growth window: `extent` beyond the group's boxes, inside the compared area
        lx1, ly1, lx2, ly2 = self.limits
        wx1, wy1 = max(gx1 - self.extent, lx1) - cx1, max(gy1 - self.extent, ly1) - cy1
        wx2, wy2 = min(gx2 + self.extent, lx2) - cx1, min(gy2 + self.extent, ly2) - cy1
        grow = np.zeros_like(differ)
        grow[wy1:wy2, wx1:wx2] = _open(differ[wy1:wy2, wx1:wx2])
        grow |= seed
        count, labels, stats, _ = cv2.connectedComponentsWithStats(grow, connectivity=8)
        kept = np.unique(labels[seed > 0])
        kept = kept[kept > 0]
        if kept.size:
            mask = np.isin(labels, kept)
            s = stats[kept]
            x1 = min(int(s[:, 0].min()) + cx1, gx1)
            y1 = min(int(s[:, 1].min()) + cy1, gy1)
            x2 = max(int((s[:, 0] + s[:, 2]).max()) + cx1, gx2)
            y2 = max(int((s[:, 1] + s[:, 3]).max()) + cy1, gy2)
        else:       # nothing differs at the best alignment: the NG boxes are all there is
            mask = np.zeros(differ.shape, bool)
            for bx1, by1, bx2, by2 in boxes:
                mask[by1 - cy1:by2 - cy1, bx1 - cx1:bx2 - cx1] = True
            x1, y1, x2, y2 = gx1, gy1, gx2, gy2
        score = float(magnitude[mask].sum(dtype=np.int64)) / 255.0
        m = self.margin
        box = [max(int(x1) - m, 0), max(int(y1) - m, 0), min(int(x2) + m, cols), min(int(y2) + m, rows)]
        kind = classify(self._material(std), self._material(tgt), mask)
        return Defect(box, kind, score, list(regions))

    def _material(self, image):
        return image > self.level if self.light else image <= self.level

    def _aligned(self, x1, y1, x2, y2):
        """The standard under the target's window, moved by the displacement
        within max_shift that best matches the target there (the smallest one
        of equal match, so a featureless window stays where it is). Working in
        the target's frame keeps the boxes where the defects are seen."""
        s = self.shift
        rows, cols = self.std.shape
        if s == 0:
            return self.std[y1:y2, x1:x2]
        ex1, ey1, ex2, ey2 = max(x1 - s, 0), max(y1 - s, 0), min(x2 + s, cols), min(y2 + s, rows)
        wide = self.std[ey1:ey2, ex1:ex2]
        pads = (s - (y1 - ey1), s - (ey2 - y2), s - (x1 - ex1), s - (ex2 - x2))
        if any(pads):
            wide = cv2.copyMakeBorder(wide, *pads, cv2.BORDER_REPLICATE)
        cost = cv2.matchTemplate(wide, self.tgt[y1:y2, x1:x2], cv2.TM_SQDIFF)
        cost += _distance_penalty(s)
        dy, dx = np.unravel_index(int(np.argmin(cost)), cost.shape)
        return wide[dy:dy + y2 - y1, dx:dx + x2 - x1]


def _open(mask):
    """Opening by a 2 x 2 square: drops one-pixel slivers, keeps the rest in
    place (an even kernel needs opposite anchors in its two steps)."""
    return cv2.dilate(cv2.erode(mask, _OPEN, anchor=(0, 0)), _OPEN, anchor=(1, 1))


_PENALTIES = {}


def _distance_penalty(s):
    """Added to the match cost of each displacement: nothing within max_shift
    of no displacement but a tie-break toward the smaller displacement, and
    infinity beyond max_shift (the corners of the square of displacements)."""
    penalty = _PENALTIES.get(s)
    if penalty is None:
        d = np.arange(-s, s + 1, dtype=np.float32)
        d2 = d[:, None] ** 2 + d[None, :] ** 2
        penalty = np.where(d2 <= s * s, d2 * 1e-3, np.inf).astype(np.float32)
        _PENALTIES[s] = penalty
    return penalty


def classify(std_material, tgt_material, defect):
    """The kind of a defect from boolean masks of one window: the pattern's
    pixels in the standard and in the aligned target, and the defect's pixels."""
    extra = defect & tgt_material & ~std_material
    missing = defect & std_material & ~tgt_material
    if np.count_nonzero(extra) >= np.count_nonzero(missing):
        return _extra_kind(std_material, extra) if extra.any() else "extra"
    return _missing_kind(std_material, missing)


def _parts(material):
    count, labels, stats, _ = cv2.connectedComponentsWithStats(material.view(np.uint8), connectivity=8)
    return labels, stats[:, cv2.CC_STAT_AREA]


def _extra_kind(std_material, extra):
    """bridge, spur or island by the number of parts the extra material
    touches; "extra" when it fills a hole of the standard."""
    labels, areas = _parts(std_material)
    rim = cv2.dilate(extra.view(np.uint8), _SQUARE).view(bool)
    touched = np.unique(labels[rim])
    touched = touched[(touched > 0) & (areas[touched] >= MIN_PART)]
    if len(touched) >= 2:
        return "bridge"
    if len(touched) == 0:
        return "island"
    gaps, gap_areas = _parts(~std_material)
    filled = np.bincount(gaps[extra], minlength=len(gap_areas))
    inner = _inner(gaps, len(gap_areas))
    if np.any(inner & (filled >= WHOLE * gap_areas)):
        return "extra"
    return "spur"


def _missing_kind(std_material, missing):
    """break, hole, bite, or "missing" for a whole part gone, from the part
    that lost the most material."""
    labels, areas = _parts(std_material)
    lost = np.bincount(labels[missing], minlength=len(areas))
    lost[0] = 0
    part = int(np.argmax(lost))
    if lost[part] >= WHOLE * areas[part] and _inner(labels, len(areas))[part]:
        return "missing"
    rest = (labels == part) & ~missing
    _, piece_areas = _parts(rest)
    if np.count_nonzero(piece_areas[1:] >= MIN_PART) >= 2:
        return "break"
    rim = cv2.dilate(missing.view(np.uint8), _CROSS).view(bool)
    if not np.any(rim & ~std_material):
        return "hole"
    return "bite"


def _inner(labels, count):
    """Per label, whether it stays clear of the window border (so its whole
    extent is seen)."""
    border = np.concatenate((labels[0], labels[-1], labels[:, 0], labels[:, -1]))
    inner = np.ones(count, bool)
    inner[border] = False
    return inner
