"""Defects from a comparison: one defect per physical fault, with its full
extent box, a kind and a score, built on top of the shift comparator's NG
regions (which are only the part of a fault that no tolerated misregistration
explains, and may come in several fragments per fault).

How a defect is made (docs/defects.md says the same for users):

1. The integer displacement of at most `search_reach(settings)` pixels that
   best matches the whole target with the standard is found from their row and
   column sums (with `align_grid`, from tiles matched in two dimensions, each
   tile's own within 2 pixels of it).
   Work is done in the target's frame, the standard moved onto it.
2. Each NG box is stretched over both frames, and boxes at most `gap` pixels
   apart are grouped, transitively.
3. Around each group, the difference of the target and the moved standard is
   taken (so misregistration slivers along the edges vanish) and one-pixel
   slivers are opened away. The defect is the set of difference pixels
   connected to the group's own, reaching at most `extent` pixels beyond the
   group's boxes. Its box is padded by `margin` and clipped to the image.
4. The score is the defect's contrast-weighted area: the sum of
   |standard - target| / 255 over its pixels.
   Groups lined up along one line, at most `chain` pixels apart, are one
   elongated fault (chain_groups); a box smaller than `min_box` is grown to
   it about its centre.
5. The kind comes from the components of the material (the pattern's grey
   level, see `material_level`) in the moved standard and the target, in
   the words of `vocabulary` (boards or prints).

Everything works on small windows around the NG regions, so the cost grows
with the number of defects, not with the image size.
"""
import dataclasses
import math
from typing import List

import cv2
import numpy as np
from scipy.sparse import csr_matrix
from scipy.sparse.csgraph import connected_components

import qlo_cv
from qlo_batch import ng_filter
from qlo_batch.image_files import read_grey
from qlo_batch.alignment import explained_by_shift, field

# Kind words, in the order a report lists them. The first six say what the
# defect does to the pattern; "extra" and "missing" are the plain material
# change when none of them fits.
KINDS = ("bridge", "break", "hole", "bite", "island", "spur", "extra", "missing")
# The words of label prints: ink where there was none is a speck when small,
# a smudge when larger; paper showing inside ink is a void, elsewhere print
# missing; a long thin fault of either side is a scratch.
PRINT_KINDS = ("scratch", "smudge", "speck", "void", "missing")
VOCABULARIES = {"board": KINDS, "print": PRINT_KINDS}
ALL_KINDS = KINDS + tuple(k for k in PRINT_KINDS if k not in KINDS)
# Other words labellers use for the same faults, and the kind each stands for.
ALIASES = {"missing print": "missing", "missing stroke": "missing", "missing ink": "missing",
           "extra ink": "smudge", "stain": "smudge", "blot": "smudge", "spot": "speck", "dot": "speck",
           "pinhole": "void", "hairline": "scratch", "scrape": "scratch", "short": "bridge", "open": "break",
           "mousebite": "bite", "mouse bite": "bite", "spurious copper": "island"}

# Pixels of context around the extent window in which the pattern's parts are
# labelled: parts cut by the window border may look apart when they join just
# outside, so the window is kept generous.
CONTEXT = 24
# Parts and pieces smaller than this (pixels) are crumbs of noise, not parts.
MIN_PART = 4
# A part losing at least this share of its pixels is a whole part missing; a
# hole of the standard this much filled is a hole filled (both plain kinds).
WHOLE = 0.85
# Past this many NG boxes they are grouped on a drawing instead of pair by pair;
# up to FEW_BOXES by a closure of the matrix of pairs, without a sparse graph.
MANY_BOXES = 400
FEW_BOXES = 64
# How much further than max_shift the whole-image alignment looks: a target
# misregistered a little beyond the comparator's tolerance still aligns.
ALIGNMENT_SLACK = 2
# The most the shares of the two levels weigh against the drill holes (as log odds).
# A run's standards with at least this share of one polarity are all read that
# way (a copper pour that makes one tile's reading flip is then outvoted).
RUN_MAJORITY = 0.8
# The most standards a run's polarity is measured on (spread over the run).
RUN_SAMPLE = 64
# Print words: extra ink whose box is at most this many pixels on its longer
# side is a speck; a fault at most SCRATCH_WIDTH pixels thin and SCRATCH_RATIO
# times longer than that (and SCRATCH_LENGTH long) is a scratch.
SPECK_SIZE = 12
SCRATCH_WIDTH = 5
SCRATCH_RATIO = 4
SCRATCH_LENGTH = 16
# Fragments whose centres lie within this many pixels of one line are on it.
LINE_TOLERANCE = 3.0
# Chains are looked for among at most this many neighbouring fragments.
CHAIN_CANDIDATES = 60
SHARE_WEIGHT = math.log(3)
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


def find_defects(standard, target, settings, ng_regions=None, comparator=None, pattern=None, moves=None):
    """The defects of `target` (a 2-D uint8 image) against `standard` (the same
    size), as a list of Defect, largest score first.

    `settings` is a qlo_batch.Settings: its comparator settings, and its gap,
    extent, margin, min_score and material. `ng_regions` are the NG regions of
    a comparison already made; when None, the comparison is made here with
    `comparator` (or one made from the settings). `pattern` is
    material_level(standard, settings.material) when the caller already has
    it (it depends on the standard alone, and costs milliseconds at 5 MP);
    `moves` likewise is displacement_field(standard, target, settings).

    Raises ValueError for an empty image, images of different sizes, or
    images that are not 2-D uint8 arrays, and TypeError for non-arrays."""
    check_pair(standard, target)
    if ng_regions is None:
        if comparator is None:
            comparator = settings.comparator(standard)
        ng_regions = compare(comparator, standard, target, settings, moves).ng_regions
    if not ng_regions:
        return []
    extractor = _Extractor(standard, target, settings, pattern, moves)
    # An NG box lies in the standard's frame, the target's, or between: a
    # place missing from the target is found where the standard has it, an
    # extra one where the target has it. Each box is stretched over both
    # (by the displacements of the tiles it reaches into, when tiles are aligned).
    rows, cols = standard.shape
    boxes, kept = [], []
    for region in ng_regions:
        x1, y1, x2, y2 = region.rect if region.rect is not None else (0, 0, cols, rows)
        lx, ly, hx, hy = extractor.field.spread((x1, y1, x2, y2))
        x1, y1, x2, y2 = x1 + min(lx, 0), y1 + min(ly, 0), x2 + max(hx, 0), y2 + max(hy, 0)
        box = _clip((x1, y1, x2, y2), rows, cols)
        if box is not None:
            boxes.append(box)
            kept.append(region)
    if not boxes:
        return []
    defects = []
    for members in chain_groups(boxes, group_boxes(boxes, settings.gap), settings.chain):
        defect = extractor.defect([boxes[i] for i in members], [kept[i] for i in members])
        if defect.score >= settings.min_score:
            defects.append(defect)
    defects.sort(key=lambda d: -d.score)
    return defects


def search_reach(settings):
    """How far (pixels) the whole-image displacement is looked for."""
    return max(settings.max_shift + ALIGNMENT_SLACK, settings.align)


def stretch_reach(settings):
    """The most (pixels) an NG box is stretched by the displacement: the
    whole image's, and with aligned tiles their slack beyond it."""
    return search_reach(settings) + (ALIGNMENT_SLACK if settings.align_grid >= 2 else 0)


def displacement_field(standard, target, settings):
    """The alignment.Field of the pair: the whole-image displacement within
    search_reach, and with `align_grid` >= 2 one per tile within
    ALIGNMENT_SLACK pixels of it."""
    return field(standard, target, search_reach(settings), settings.align_grid, ALIGNMENT_SLACK)


def aligns(settings):
    """Whether the comparison moves the target onto the standard first."""
    return settings.align > 0 or settings.align_grid >= 2


def compare(comparator, standard, target, settings, moves=None):
    """The comparator's CompareResult for `target`, its NG boxes in the
    target's pixels. With `settings.align` 0, `align_grid` below 2 and no
    filter set this is comparator.compare itself.

    Alignment: with `align` > 0 (or `align_grid` >= 2) the target is first
    moved onto the standard by its displacement (whole-image, found within
    search_reach, and per tile with a grid), so the comparator's tolerance
    needs to cover only what is left (sub-pixel misregistration, edge noise)
    and thin defects are not explained away by a large max_shift. Where the
    move uncovers pixels, the standard's own pixels stand: nothing is
    reported where the target has no data. The NG boxes, and the boxes in
    their descriptions, are moved back into the target's pixels.

    Filters: regions whose blob has fewer than `min_pixels` mismatching
    pixels or a radius below `min_radius` are dropped (see ng_filter), and
    so are regions reaching within `border` pixels of the edge of the
    compared area (compare_region, or the image), and, with `recheck` N,
    regions that a shift of the standard by up to N pixels over their own box
    explains (alignment.explained_by_shift). `moves` is the pair's
    displacement_field when the caller already has it."""
    result = qlo_cv.CompareResult(target)
    if not aligns(settings):
        moves = None
    elif moves is None:
        moves = displacement_field(standard, target, settings)
    measuring = settings.min_pixels > 1 or settings.min_radius > 0
    if (moves is None or moves.still) and not measuring and not settings.border and not settings.recheck:
        comparator.compare(target, result)
        return result
    compared = target if moves is None or moves.still else moves.moved(standard, target)
    raw = qlo_cv.CompareResult(compared)
    comparator.compare(compared, raw)
    regions = raw.ng_regions
    if measuring:
        regions = ng_filter.solid_regions(comparator, compared, regions, settings.min_pixels, settings.min_radius)
    if settings.recheck and regions:
        boxes = [region.rect if region.rect is not None else (0, 0, 0, 0) for region in regions]
        local = explained_by_shift(standard, compared, boxes, abs(settings.threshold), settings.recheck)
        regions = [region for region, explained in zip(regions, local.tolist()) if not explained]
    rows, cols = target.shape
    limits = compared_limits(settings, target.shape)
    for region in regions:
        if region.rect is not None and compared is not target:
            x1, y1, x2, y2 = region.rect
            lx, ly, hx, hy = moves.spread(region.rect)
            rect = [min(max(x1 + lx, 0), cols), min(max(y1 + ly, 0), rows),
                    min(max(x2 + hx, 0), cols), min(max(y2 + hy, 0), rows)]
            region = moved_region(region, rect)
        if settings.border and not ng_filter.clear_of_border(region.rect or limits, limits, settings.border):
            continue
        result.append(region)
    return result


def compared_limits(settings, shape):
    """The compared area (x1, y1, x2, y2) of an image of `shape`: the
    compare_region inside it, or the whole image."""
    rows, cols = shape
    if settings.compare_region is None:
        return 0, 0, cols, rows
    return _clip(settings.compare_region, rows, cols) or (0, 0, 0, 0)


def moved_region(region, rect):
    """The NGRegion `region` with its box, and the box its description ends
    with, replaced by `rect`."""
    prefix, _, _ = region.desc.rpartition(", [")
    return qlo_cv.NGRegion(rect, "%s, %s" % (prefix, rect))


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
    """Lists of indices of `boxes` (x1, y1, x2, y2, inside the image) that are
    one defect: boxes with at most `gap` clear rows or columns between them
    join, transitively. Groups come in the order of their first box."""
    b = np.asarray(boxes, np.int64).reshape(-1, 4)
    if len(b) > MANY_BOXES:
        group = _raster_groups(b, gap)
    else:
        x1, y1, x2, y2 = b[:, :1], b[:, 1:2], b[:, 2:3], b[:, 3:4]
        # clear columns (rows) between two boxes; negative when they overlap
        dx = np.maximum(x1 - x2.T, x1.T - x2)
        dy = np.maximum(y1 - y2.T, y1.T - y2)
        near = np.maximum(dx, dy) <= gap
        if len(b) <= FEW_BOXES:
            group = _closure_groups(near)
        else:
            count, group = connected_components(csr_matrix(near), directed=False)
    # number the groups in the order of their first box
    _, first, group = np.unique(group, return_index=True, return_inverse=True)
    order = np.argsort(first)
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    groups = [[] for _ in order]
    for index, g in enumerate(rank[group.ravel()].tolist()):
        groups[g].append(index)
    return groups


def _closure_groups(near):
    """Per box, the index of the first box of its group, from the symmetric
    matrix of boxes that join (the diagonal set): the transitive closure by
    squaring the matrix until it no longer grows, which for a few dozen boxes
    takes a fraction of the time of building a sparse graph."""
    reach = near.astype(np.float32)
    while True:
        wider = (reach @ reach > 0).astype(np.float32)
        if np.array_equal(wider, reach):
            return reach.argmax(axis=1)
        reach = wider


def chain_groups(boxes, groups, reach):
    """The groups of `group_boxes`, with those that line up joined: three or
    more groups whose centres lie on one line (within LINE_TOLERANCE), each
    at most `reach` pixels along it from the next, are the fragments of one
    elongated fault (a scratch leaves one wherever it crosses a bar of a
    barcode or a stroke of text). Two faults side by side stay apart, and so
    do groups off the line. Joined groups take the place of the first."""
    if reach <= 0 or len(groups) < 3:
        return groups
    b = np.asarray(boxes, np.int64).reshape(-1, 4)
    spans = np.array([[b[g, 0].min(), b[g, 1].min(), b[g, 2].max(), b[g, 3].max()] for g in groups])
    joined = {}
    for near in group_boxes(spans, reach):
        if 3 <= len(near) <= CHAIN_CANDIDATES:
            for line in _lines(spans[near].astype(np.float64), reach):
                joined.update({near[i]: near[line[0]] for i in line})
    if not joined:
        return groups
    merged = {}
    for index, members in enumerate(groups):
        merged.setdefault(joined.get(index, index), []).extend(members)
    return list(merged.values())


def _lines(spans, reach):
    """Runs of three or more of the boxes `spans` (x1, y1, x2, y2) lined up:
    lists of indices, the best-filled line first. A line runs through two
    box centres; a box is on it when its centre lies within LINE_TOLERANCE,
    and a run breaks where the boxes along the line leave more than `reach`
    pixels between them."""
    centres = (spans[:, :2] + spans[:, 2:]) / 2
    sizes = spans[:, 2:] - spans[:, :2]
    free = np.ones(len(spans), bool)
    runs = []
    while np.count_nonzero(free) >= 3:
        best = []
        candidates = np.flatnonzero(free)
        for k, i in enumerate(candidates.tolist()):
            for j in candidates[k + 1:].tolist():
                run = _run(centres, sizes, free, i, j, reach)
                if len(run) > len(best):
                    best = run
        if len(best) < 3:
            break
        runs.append(best)
        free[best] = False
    return runs


def _run(centres, sizes, free, i, j, reach):
    """The run along the line through centres i and j that holds i: the free
    boxes on the line, in order, without a gap of more than `reach`."""
    direction = centres[j] - centres[i]
    length = math.hypot(*direction)
    if length == 0:
        return []
    ux, uy = direction / length
    offset = centres - centres[i]
    on = free & (np.abs(offset[:, 0] * uy - offset[:, 1] * ux) <= LINE_TOLERANCE)
    along = offset[:, 0] * ux + offset[:, 1] * uy
    half = (sizes[:, 0] * abs(ux) + sizes[:, 1] * abs(uy)) / 2      # each box's half length along the line
    order = np.flatnonzero(on)[np.argsort(along[on])]
    run = []
    for index in order.tolist():
        if run and along[index] - half[index] - (along[run[-1]] + half[run[-1]]) > reach:
            if i in run:
                break
            run = []
        run.append(index)
    return run if i in run else []


def frame_box(box, margin, min_box, shape):
    """A defect's box as reported: `box` padded by `margin` on each side,
    then grown about its centre to at least `min_box` pixels on each side
    (moved inside the image where it would reach out), clipped to the image
    of `shape` (rows, cols)."""
    rows, cols = shape[:2]
    x1, y1, x2, y2 = box
    x1, y1, x2, y2 = max(x1 - margin, 0), max(y1 - margin, 0), min(x2 + margin, cols), min(y2 + margin, rows)
    if min_box:
        x1, x2 = _at_least(x1, x2, min_box, cols)
        y1, y2 = _at_least(y1, y2, min_box, rows)
    return [x1, y1, x2, y2]


def _at_least(low, high, size, limit):
    """The interval low..high grown about its centre to `size`, kept within 0..limit."""
    if high - low >= size:
        return low, high
    size = min(size, limit)
    low = max(min((low + high - size) // 2, limit - size), 0)
    return low, low + size


def _raster_groups(b, gap):
    """Group labels of many boxes: each box grown by half the gap is drawn,
    and boxes whose grown boxes touch (8-neighbours) share a component, the
    same as at most `gap` clear rows or columns between them. Memory grows
    with the image instead of with the square of the number of boxes."""
    before, after = gap // 2, gap - gap // 2
    canvas = np.zeros((int(b[:, 3].max()) + after, int(b[:, 2].max()) + after), np.uint8)
    for x1, y1, x2, y2 in b.tolist():
        canvas[max(y1 - before, 0):y2 + after, max(x1 - before, 0):x2 + after] = 1
    _, labels = cv2.connectedComponents(canvas, connectivity=8)
    return labels[b[:, 1], b[:, 0]]


def material_level(standard, material="auto"):
    """(level, light): the pattern's pixels are those above `level` when
    `light`, else those at or below it. The level is Otsu's on the standard.

    "auto" decides which side is the pattern. The side covering the lesser
    share of the standard is the pattern (ink on paper, traces on a bare
    board), unless, on a two-level (binarised) standard, drill holes say
    otherwise: small round blobs of one level inside the other are holes in
    the pattern. Copper pours make copper the majority of many board tiles;
    their drill holes still sit in copper. The share weighs at most as much
    as three times more holes on one side than the other, since round solid
    pads inside the background look like holes too. On grey prints with a
    noisy background the share alone decides."""
    sample = np.ascontiguousarray(standard[::4, ::4] if standard.size > 4096 else standard)
    level = int(cv2.threshold(sample, 0, 255, cv2.THRESH_BINARY + cv2.THRESH_OTSU)[0])   # an int compares fast
    if material != "auto":
        return level, material == "light"
    light_share = min(max(np.count_nonzero(sample > level) / sample.size, 1e-6), 1 - 1e-6)
    odds = math.log((1 - light_share) / light_share)          # for a light pattern
    if _two_level(sample, level):
        holes_in_light, holes_in_dark = _round_blobs(standard, level)
        odds = min(max(odds, -SHARE_WEIGHT), SHARE_WEIGHT) + math.log((holes_in_light + 1) / (holes_in_dark + 1))
    return level, odds > 0


def run_material(standards):
    """The material of a run whose standards are the images `standards`:
    "light" or "dark" when at least RUN_MAJORITY of them (at most RUN_SAMPLE,
    spread over the run) read that way, else "auto" (each standard its own)."""
    if not standards:
        return "auto"
    picked = standards[::-(-len(standards) // RUN_SAMPLE)]
    light = sum(material_level(image)[1] for image in picked) / len(picked)
    if light >= RUN_MAJORITY:
        return "light"
    return "dark" if light <= 1 - RUN_MAJORITY else "auto"


def run_settings(settings, standard_paths):
    """`settings` with material "auto" settled over the standards of a run
    (the image files `standard_paths`, at most RUN_SAMPLE of them read, those
    that cannot be read left out: their pairs fail on their own): a tile's own
    reading stays only where the run is mixed."""
    if settings.material != "auto" or not standard_paths:
        return settings
    images = []
    for path in standard_paths[::-(-len(standard_paths) // RUN_SAMPLE)]:
        try:
            images.append(read_grey(path))
        except (OSError, ValueError):
            continue
    return dataclasses.replace(settings, material=run_material(images))


def _two_level(sample, level):
    """Whether the image is binarised: 97 % of it within 16 grey levels of
    the commonest level on either side of `level` (a binarised scan saved as
    JPEG rings a little near its edges)."""
    counts = np.bincount(sample.ravel(), minlength=256)
    cut = int(level) + 1
    if cut > 255:
        return False
    low, high = int(np.argmax(counts[:cut])), cut + int(np.argmax(counts[cut:]))
    near = counts[max(low - 16, 0):min(low + 17, cut)].sum() + counts[max(high - 16, cut):high + 17].sum()
    return near >= 0.97 * sample.size


def _round_blobs(standard, level):
    """(dark blobs inside light, light blobs inside dark): the components of
    each level that do not touch the border and look like drill holes: 4 to
    40 pixels across, about as wide as high, filling half to nine tenths of
    their box (a disc fills 0.79 of it, a square pad all), with nothing of the
    other level inside."""
    binary = (standard > level).view(np.uint8)
    contours, hierarchy = cv2.findContours(binary, cv2.RETR_CCOMP, cv2.CHAIN_APPROX_SIMPLE)
    if hierarchy is None:
        return 0, 0
    corners = np.fromiter(map(len, contours), np.int64, len(contours))
    links = hierarchy[0]
    chosen = np.flatnonzero((corners >= 4) & (corners <= 80) & (links[:, 2] < 0))
    if not chosen.size:
        return 0, 0
    points = np.concatenate([contours[i] for i in chosen]).reshape(-1, 2).astype(np.float64)
    corners = corners[chosen]
    starts = np.concatenate(([0], np.cumsum(corners)[:-1]))
    low, high = np.minimum.reduceat(points, starts), np.maximum.reduceat(points, starts)
    following = np.roll(points, -1, axis=0)
    following[starts + corners - 1] = points[starts]
    cross = points[:, 0] * following[:, 1] - following[:, 0] * points[:, 1]
    polygon = np.abs(np.add.reduceat(cross, starts)) / 2
    # pixels on the contour: each straight run of the compressed chain counts its steps
    length = np.add.reduceat(np.abs(following - points).max(axis=1), starts)
    # An outer contour runs over a light blob's own edge pixels, a hole's over
    # the light pixels around the dark blob: one pixel outside it. Pick's
    # theorem turns the polygon's area into the blob's pixel count.
    light = links[chosen, 3] < 0
    pixels = np.where(light, polygon + length / 2 + 1, polygon - length / 2 + 1)
    low[~light] += 1
    high[~light] -= 1
    w, h = (high - low + 1).T
    rows, cols = binary.shape
    big, small = np.maximum(w, h), np.minimum(w, h)
    round_ = ((low > 0).all(axis=1) & (high[:, 0] < cols - 1) & (high[:, 1] < rows - 1)
              & (small >= 4) & (big <= 40) & (big <= 1.5 * small)
              & (pixels >= 0.5 * w * h) & (pixels <= 0.9 * w * h))
    # a dark blob with a light blob inside is a ring (a drilled pad), not a hole
    centres = (low[light] + high[light]) / 2
    inside = (centres[None, :, :] > low[:, None, :]) & (centres[None, :, :] < high[:, None, :])
    ring = inside.all(axis=2).any(axis=1)
    round_ &= ~(ring & ~light)
    return int(np.count_nonzero(round_ & ~light)), int(np.count_nonzero(round_ & light))


class _Extractor:
    """The defect of each group of NG boxes, for one image pair. Windows are
    cut in the target's frame, so boxes are where the defects are seen, with
    the standard moved onto the target."""

    def __init__(self, standard, target, settings, pattern=None, moves=None):
        self.std, self.tgt = standard, target
        self.threshold = abs(settings.threshold)      # differences above this count
        self.extent, self.margin, self.min_box = settings.extent, settings.margin, settings.min_box
        self.vocabulary = settings.vocabulary
        self.level, self.light = pattern or material_level(standard, settings.material)
        self.field = moves if moves is not None else displacement_field(standard, target, settings)
        rows, cols = standard.shape
        limits = _clip(settings.compare_region, rows, cols) if settings.compare_region else None
        self.limits = limits or (0, 0, cols, rows)

    def defect(self, boxes, regions):
        rows, cols = self.std.shape
        gx1, gy1 = min(b[0] for b in boxes), min(b[1] for b in boxes)
        gx2, gy2 = max(b[2] for b in boxes), max(b[3] for b in boxes)
        # the context window, where the pattern's parts are labelled
        reach = self.extent + CONTEXT
        cx1, cy1, cx2, cy2 = max(gx1 - reach, 0), max(gy1 - reach, 0), min(gx2 + reach, cols), min(gy2 + reach, rows)
        tgt = self.tgt[cy1:cy2, cx1:cx2]
        std = self._standard(cx1, cy1, cx2, cy2, *self.field.at((gx1 + gx2) // 2, (gy1 + gy2) // 2))
        # the growth window: `extent` beyond the boxes, inside the compared area
        lx1, ly1, lx2, ly2 = self.limits
        wx1, wy1 = max(gx1 - self.extent, lx1), max(gy1 - self.extent, ly1)
        wx2, wy2 = min(gx2 + self.extent, lx2), min(gy2 + self.extent, ly2)
        mask, magnitude = self._grow(std, tgt, (wx1 - cx1, wy1 - cy1, wx2 - cx1, wy2 - cy1),
                                     [(x1 - wx1, y1 - wy1, x2 - wx1, y2 - wy1) for x1, y1, x2, y2 in boxes])
        x, y, w, h = cv2.boundingRect(mask.view(np.uint8))
        box = frame_box((x + wx1, y + wy1, x + w + wx1, y + h + wy1), self.margin, self.min_box, (rows, cols))
        score = float(magnitude[mask].sum(dtype=np.int64)) / 255.0
        defect = np.zeros(tgt.shape, bool)
        defect[wy1 - cy1:wy2 - cy1, wx1 - cx1:wx2 - cx1] = mask
        kind = classify(self._material(std), self._material(tgt), defect)
        if self.vocabulary == "print":
            kind = print_kind(kind, defect, self._material(std))
        return Defect(box, kind, score, list(regions))

    def _grow(self, std, tgt, window, boxes):
        """(mask, magnitude) over `window` (x1, y1, x2, y2 of the crops): the
        pixels differing by more than the threshold that are connected to
        those inside the NG `boxes` (given in the window), and |std - tgt|.
        One-pixel slivers are opened away first (the opening is taken one
        pixel wider than the window, so it is the whole image's opening).
        When nothing in the boxes differs, the mask is the boxes."""
        x1, y1, x2, y2 = window
        rows, cols = std.shape
        ox1, oy1 = max(x1 - 1, 0), max(y1 - 1, 0)
        wide = (slice(oy1, min(y2 + 1, rows)), slice(ox1, min(x2 + 1, cols)))
        inner = (slice(y1 - oy1, y2 - oy1), slice(x1 - ox1, x2 - ox1))
        magnitude = cv2.absdiff(std[wide], tgt[wide])
        differ = cv2.threshold(magnitude, self.threshold, 255, cv2.THRESH_BINARY)[1]
        opened = _open(differ)[inner]
        differ, magnitude = differ[inner], magnitude[inner]
        inside = np.zeros_like(differ)
        for bx1, by1, bx2, by2 in boxes:
            inside[by1:by2, bx1:bx2] = 255
        seed = opened & inside
        if not seed.any():      # only slivers in the boxes: they are the defect
            seed = differ & inside
            if not seed.any():
                return inside > 0, magnitude
        count, labels = cv2.connectedComponents(opened | seed, connectivity=8)
        keep = np.zeros(count, bool)
        keep[labels[seed > 0]] = True
        keep[0] = False
        return keep[labels], magnitude

    def _material(self, image):
        return image > self.level if self.light else image <= self.level

    def _standard(self, x1, y1, x2, y2, dx, dy):
        """The standard moved by (dx, dy) over the target's window x1..x2,
        y1..y2; where the window reaches past the standard, its border pixels
        repeat."""
        rows, cols = self.std.shape
        sx1, sy1, sx2, sy2 = x1 - dx, y1 - dy, x2 - dx, y2 - dy
        crop = self.std[max(sy1, 0):min(sy2, rows), max(sx1, 0):min(sx2, cols)]
        pads = (max(-sy1, 0), max(sy2 - rows, 0), max(-sx1, 0), max(sx2 - cols, 0))
        return cv2.copyMakeBorder(crop, *pads, cv2.BORDER_REPLICATE) if any(pads) else crop


def _open(mask):
    """Opening by a 2 x 2 square: drops one-pixel slivers, keeps the rest in
    place (an even kernel needs opposite anchors in its two steps)."""
    return cv2.dilate(cv2.erode(mask, _OPEN, anchor=(0, 0)), _OPEN, anchor=(1, 1))


def classify(std_material, tgt_material, defect):
    """The kind of a defect from boolean masks of one window: the pattern's
    pixels in the standard and in the aligned target, and the defect's pixels."""
    extra = defect & tgt_material & ~std_material
    missing = defect & std_material & ~tgt_material
    if np.count_nonzero(extra) >= np.count_nonzero(missing):
        return _extra_kind(std_material, extra) if extra.any() else "extra"
    return _missing_kind(std_material, missing)


def print_kind(board_kind, defect, std_material):
    """The print word for a defect that the board words call `board_kind`,
    from boolean masks of one window (its pixels, the standard's ink):
    scratch when it is long and thin (where it takes ink away, thinner than
    the strokes it crosses: a stroke gone over its whole width is print
    missing), void for paper showing inside ink (a hole), speck or smudge
    for extra ink by its size, missing for the rest of the ink gone."""
    points = cv2.findNonZero(defect.view(np.uint8))
    extra = board_kind in ("bridge", "spur", "island", "extra")
    if points is not None:
        (_, _), (w, h), _ = cv2.minAreaRect(points)
        thin, long_ = min(w, h) + 1, max(w, h) + 1        # the rectangle runs through pixel centres
        if thin <= SCRATCH_WIDTH and long_ >= max(SCRATCH_RATIO * thin, SCRATCH_LENGTH) and (
                extra or thin < _stroke_width(std_material, defect)):
            return "scratch"
    if board_kind == "hole":
        return "void"
    if extra:
        _, _, w, h = cv2.boundingRect(points)
        return "speck" if max(w, h) <= SPECK_SIZE else "smudge"
    return "missing"


def _stroke_width(material, defect):
    """The width of the widest stroke of `material` under the defect's pixels."""
    inside = cv2.distanceTransform(material.view(np.uint8), cv2.DIST_L2, 3)
    return 2 * float(inside[defect].max(initial=0)) - 1


def _parts(material):
    """Labels of the 8-connected components of a boolean mask, and their areas."""
    count, labels = cv2.connectedComponents(material.view(np.uint8), connectivity=8)
    return labels, np.bincount(labels.ravel(), minlength=count)


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
