"""Searches the inspection settings that find the labelled defects of a set of
TRAINING pairs best, and writes them as a settings file for the batch tool.

    python -m qlo_batch.tune PAIRS_CSV LABELS_CSV SETTINGS_OUT [--scheduler ADDR] [--budget N]

The objective is the F-score of one-to-one matches at IoU above 0.33 (ties go
to the better share of right kinds, then to the tighter boxes). Each pair is
decoded once. Each comparator setting (max_shift, threshold, judge and its
parameter, slope, step, align, align_grid, the NG filters min_pixels,
min_radius and border; material rides with them) compares every pair once; the defect settings (gap,
extent, margin) are tried on the NG regions it stored, and the score cut-off
(min_score) is picked from the sorted scores of the defects found. Settings
that make the same comparison (see ThresholdClasses and Search.same_as) are
tried once, and extraction is shared between settings (see EXTRACTED). The
search is a coarse grid over the comparator settings, a grid over the defect settings
for the best of them, then rounds of coordinate moves to neighbouring values
while one improves the objective, within a budget of tried settings."""
import argparse
import bisect
import collections
import dataclasses
import hashlib
import sys
import time
import uuid

import numpy as np

import qlo_cv

from qlo_batch import alignment, defects, ng_filter
from qlo_batch.displacements import displacement_steps
from qlo_batch.extras import dask_missing
from qlo_batch.labels import check_inside, file_key, read_labels
from qlo_batch.matching import IOU_THRESHOLD, candidates, greedy
from qlo_batch.pairs import read_pairs
from qlo_batch.image_files import header_sizes, in_words, read_grey
from qlo_batch.settings import JUDGES, MATERIALS, Settings, check_images, load_settings, save_settings
from qlo_batch.progress import progress_bar

# The comparator keys: the filters over NG regions and the tile grid of the
# alignment change the regions a comparison leaves, so they count too. The
# material (which grey level is the pattern) rides with them but never changes
# a box, only kinds: the set settles it before the search (see Facts), and it
# is decided apart on the best setting after the search (APART).
COMPARATOR_KEYS = ("max_shift", "threshold", "judge", "judge_parameter", "slope", "step", "align", "material",
                   "align_grid", "min_pixels", "min_radius", "border")
DEFECT_KEYS = ("gap", "extent", "margin", "min_box", "chain")
APART = {"material": MATERIALS}


def distinct_radii(values):
    """The values of `values` that make different solid-blob filters: radii
    eroding with the same disc (1.5 and 2 both erode with the full 3 x 3
    square) are one filter, and every radius up to 1 is none."""
    kept, kernels = [], set()
    for radius in values:
        kernel = ng_filter.disc(radius) if radius > 1 else np.zeros((0, 0), np.uint8)
        key = (kernel.shape, kernel.tobytes())
        if key not in kernels:
            kernels.add(key)
            kept.append(radius)
    return tuple(kept)


# The values each key moves through in the refinement, and the coarse grids.
LADDERS = {
    "max_shift": (0, 1, 2, 3, 4, 5, 6, 8),
    "threshold": (16, 24, 32, 48, 64, 96, 128, 160, 192),
    "contour_is_too_long": (1, 2, 3, 4, 5, 6, 8, 10, 12, 16),
    "contour_is_too_big": (1, 2, 4, 6, 9, 12, 16, 25, 36, 64),
    "slope": (True, False),
    "step": (1, 2, 3),
    "align": (0, 4, 8),
    "align_grid": (0, 2, 4, 8),
    "min_pixels": (0, 4, 9, 16, 25, 49),
    "min_radius": distinct_radii((0, 1.5, 2, 2.5, 3, 3.5, 4, 5)),
    "border": (0, 2, 3, 4, 6, 8, 12),
    "gap": (0, 1, 2, 3, 4, 6, 8, 10, 12, 16, 20, 24, 32),
    "extent": (0, 1, 2, 3, 4, 6, 8, 10, 12, 16, 20, 24, 32),
    "margin": (0, 1, 2, 3, 4, 6, 8),
    "min_box": (0, 8, 12, 16, 20, 24, 28, 32, 40),
    "chain": (0, 12, 24, 48),
}
# The first grid: every comparator key the search sets takes a coarse value
# here (align and align_grid as the alignment modes the set's misregistration
# calls for, see Search.coarse); the defect keys start at their coarse values
# and are gridded next.
COARSE = {"max_shift": (1, 2, 3), "threshold": (32, 64, 128), "border": (0, 4),
          "judge": (("contour_is_too_long", 2), ("contour_is_too_long", 4), ("contour_is_too_long", 8),
                    ("contour_is_too_big", 4), ("contour_is_too_big", 16))}
# Thin bridges and spurs keep only a narrow core at a large max_shift: a small
# max_shift with a judge that keeps every blob and the solid-blob filter
# doing the judging is tried beside the grid (judge, parameter, min_radius).
COARSE_SOLID = {"max_shift": (1, 2), "judge": ("contour_is_too_long", 1), "min_radius": 2}
COARSE_MARGIN = 2
COARSE_GRID = 4         # align_grid of the tile-wise alignment mode
DEFECT_GRID = {"gap": (0, 3, 6, 12), "extent": (2, 4, 8, 16), "margin": (0, 3)}
TOP_FOR_DEFECT_GRID = 2
COARSE_SHARE = 0.45     # of the budget, the most the first grid takes
MAX_CUTS = 64           # score cut-offs tried per setting
DEFAULT_BUDGET = 240
# The training pairs are called uniform when this share of them has one standard.
UNIFORM_SHARE = 0.9
# How far the set's misregistration is measured (pixels), and on how many tiles.
MEASURED_SHIFT = 8
MEASURED_GRID = 4
# The labels' least size is this quantile of their shorter sides.
FLOOR_QUANTILE = 0.1


@dataclasses.dataclass
class Sample:
    """One decoded training pair; `token` tells it from the pairs of other runs.
    Its pattern levels (by material) and displacement fields (by search reach
    and grid) are kept once worked out: they depend on the pair alone."""
    file: str
    standard: object
    target: object
    token: str = dataclasses.field(default_factory=lambda: uuid.uuid4().hex)
    known: dict = dataclasses.field(default_factory=dict, repr=False, compare=False)

    def pattern(self, material):
        if ("pattern", material) not in self.known:
            self.known["pattern", material] = defects.material_level(self.standard, material)
        return self.known["pattern", material]

    def moves(self, settings):
        key = ("moves", defects.search_reach(settings), settings.align_grid)
        if key not in self.known:
            self.known[key] = defects.displacement_field(self.standard, self.target, settings)
        return self.known[key]


@dataclasses.dataclass
class Facts:
    """What the training set settles before any setting is tried: the
    material of its standards as a run reads it, the largest whole-image
    displacement of a target (pixels) and whether tiles drift from it, the
    labels' least size (FLOOR_QUANTILE of their shorter sides), the share of
    pairs whose standard is the commonest one, and the kind words of the labels."""
    material: str
    shift: int
    drift: bool
    floor: int
    design_share: float
    vocabulary: str

    @classmethod
    def of(cls, samples, labels):
        shift, drift = 0, False
        for sample in samples:
            moves = alignment.field(sample.standard, sample.target, MEASURED_SHIFT, MEASURED_GRID)
            shift = max(shift, abs(moves.dx), abs(moves.dy))
            drift = drift or bool((moves.tile_dx != moves.dx).any() or (moves.tile_dy != moves.dy).any())
        sides = [min(l.box[2] - l.box[0], l.box[3] - l.box[1]) for group in labels for l in group]
        floor = int(np.quantile(sides, FLOOR_QUANTILE)) if sides else 0
        designs = collections.Counter(hashlib.blake2b(s.standard.tobytes(), digest_size=16).digest()
                                      for s in samples)
        words = collections.Counter(l.kind for group in labels for l in group if l.kind)
        board = sum(n for kind, n in words.items() if kind not in defects.PRINT_KINDS)
        printed = sum(n for kind, n in words.items() if kind not in defects.KINDS)
        return cls(defects.run_material([s.standard for s in samples]), shift, drift, floor,
                   max(designs.values()) / len(samples), "print" if printed > board else "board")

    def start(self, base):
        """The settings the search starts from: the user's, with what the set settles."""
        floor = max([v for v in LADDERS["min_box"] if v <= self.floor], default=0)
        return dataclasses.replace(base, material=self.material if base.material == "auto" else base.material,
                                   vocabulary=self.vocabulary, margin=COARSE_MARGIN, min_box=floor)

    def alignments(self):
        """The (align, align_grid) modes the first grid tries: none, and when
        targets move, the whole image's and the tiles' own."""
        if not self.shift and not self.drift:
            return [(0, 0)]
        reach = min([v for v in LADDERS["align"] if v >= max(self.shift, 1)] or [LADDERS["align"][-1]])
        return [(0, 0), (reach, 0), (reach, COARSE_GRID)]


def load_samples(pairs, base):
    """The decoded pairs (masked by the settings' regions, as a batch run masks
    them); a pair that cannot be used raises ValueError naming its file."""
    region = base.region()
    samples = []
    for pair in pairs:
        try:
            standard = read_grey(pair.standard)
            target = read_grey(pair.target, standard.shape)      # another size is refused before decoding
        except (OSError, ValueError) as error:
            raise ValueError("pair %s: %s" % (pair.file, in_words(error))) from None
        if region is not None:
            region.apply(standard)
            region.apply(target)
        samples.append(Sample(pair.file, standard, target))
    return samples


def run_job(samples, settings, variants, ng=None):
    """For one comparator setting: (ng, found), where ng[i] holds the NG regions
    (rect, desc) of sample i (compared here when `ng` is None) and found[v][i]
    the defects (box, kind, score) of sample i with the defect settings
    variants[v] (values of DEFECT_KEYS, the missing ones the settings'),
    without a score cut-off."""
    if ng is None:
        ng = []
        for sample in samples:
            result = defects.compare(settings.comparator(sample.standard), sample.standard, sample.target, settings,
                                     sample.moves(settings))
            ng.append([(tuple(region.rect), region.desc) for region in result.ng_regions])
    grouped, unframed = {}, {}      # margin and min_box only frame each box: no extraction
    found = []
    for values in variants:
        variant = dataclasses.replace(settings, min_score=0.0, **dict(zip(DEFECT_KEYS, values)))
        extraction = (variant.gap, variant.extent, variant.chain)
        if extraction not in unframed:
            apart = max(variant.gap, variant.chain)
            if apart not in grouped:
                # boxes stretch by the displacement; by tiles' own ones, toward each other
                reach = defects.search_reach(settings) if settings.align_grid < 2 else 2 * defects.stretch_reach(
                    settings)
                grouped[apart] = [defects.group_boxes([rect for rect, _ in regions], apart + reach) if regions
                                  else [] for regions in ng]
            bare = dataclasses.replace(variant, margin=0, min_box=0)
            unframed[extraction] = [extract(sample, bare, regions, clusters)
                                    for sample, regions, clusters in zip(samples, ng, grouped[apart])]
        found.append([[(defects.frame_box(box, variant.margin, variant.min_box, sample.target.shape), kind, score)
                       for box, kind, score in sample_found] if variant.margin or variant.min_box else sample_found
                      for sample, sample_found in zip(samples, unframed[extraction])])
    return ng, found


# find_defects works on windows around groups of NG regions: regions more than
# the gap (or the chain's reach) apart are separate defects, after each box is
# stretched by the images' displacement (at most defects.search_reach pixels).
# So the regions of a pair fall into clusters, further apart than that plus the
# reach, whose defects do not depend on each other, and the settings tried
# share most clusters (the real defects come out the same whatever the judge).
# EXTRACTED keeps the defects of each cluster by (pair token, max_shift, align,
# align_grid, material, vocabulary, threshold, gap, chain, extent, cluster),
# without the gap and chain for a cluster of one region (one group whatever
# they are). It lives per process (each Dask worker has its own) and is emptied
# when it grows large. A test checks that every setting scores as find_defects
# on its own makes it score.
EXTRACTED = {}
MAX_EXTRACTED = 50_000


def extract(sample, settings, regions, clusters):
    """find_defects(sample, settings, regions) as (box, kind, score) tuples,
    largest score first, given the clusters of the regions (lists of indices).
    The clusters not met before are extracted in one call."""
    keys = [(sample.token, settings.max_shift, settings.align, settings.align_grid, settings.material,
             settings.vocabulary, settings.threshold,
             (settings.gap, settings.chain) if len(members) > 1 else None, settings.extent,
             tuple(sorted(regions[i] for i in members))) for members in clusters]
    missing = [key for key in dict.fromkeys(keys) if key not in EXTRACTED]
    if missing:
        if len(EXTRACTED) + len(missing) > MAX_EXTRACTED:
            EXTRACTED.clear()
            missing = list(dict.fromkeys(keys))
        cluster_of, ng_regions = {}, []
        for key in missing:
            EXTRACTED[key] = []
            for rect, desc in key[-1]:
                cluster_of[tuple(rect), desc] = key
                ng_regions.append(qlo_cv.NGRegion(list(rect), desc))
        for d in defects.find_defects(sample.standard, sample.target, settings, ng_regions=ng_regions,
                                      pattern=sample.pattern(settings.material), moves=sample.moves(settings)):
            first = d.regions[0]
            EXTRACTED[cluster_of[tuple(first.rect), first.desc]].append((d.box, d.kind, float(d.score)))
    found = [d for key in keys for d in EXTRACTED[key]]
    found.sort(key=lambda d: -d[2])
    return found


class SerialRunner:
    def __init__(self, samples):
        self.samples = samples
        self.shapes = [sample.target.shape for sample in samples]

    def run(self, jobs):
        """Yields run_job's outcome for each (settings, variants, ng) job, in order."""
        for settings, variants, ng in jobs:
            yield run_job(self.samples, settings, variants, ng)


class DaskRunner:
    """Runs jobs on a Dask cluster: the samples are split into one chunk per
    worker, sent once, and each job runs on every chunk."""

    def __init__(self, client, samples):
        workers = max(1, len(client.scheduler_info()["workers"]))
        size = -(-len(samples) // workers)
        chunks = [samples[i:i + size] for i in range(0, len(samples), size)]
        self.client = client
        self.shapes = [sample.target.shape for sample in samples]
        self.bounds = [(i, i + len(chunk)) for i, chunk in zip(range(0, len(samples), size), chunks)]
        self.chunks = client.scatter(chunks)

    def run(self, jobs):
        submitted = [[self.client.submit(run_job, chunk, settings, variants, ng and ng[lo:hi], pure=False)
                      for chunk, (lo, hi) in zip(self.chunks, self.bounds)] for settings, variants, ng in jobs]
        for futures in submitted:
            parts = self.client.gather(futures)
            yield ([r for ng, _ in parts for r in ng],
                   [[d for _, found in parts for d in found[v]] for v in range(len(parts[0][1]))])


def best_cut(found, labels, iou_threshold=IOU_THRESHOLD):
    """(objective, min_score, figures) of the best score cut-off for the found
    defects of each sample (lists of (box, kind, score)) against its labels
    (lists of Label). The objective is (F-score, share of right kinds, mean
    IoU of the matches); min_score lies halfway between the lowest score kept
    and the highest left out."""
    files = []
    for sample_found, sample_labels in zip(found, labels):
        pairs = candidates([l.box for l in sample_labels], [d[0] for d in sample_found], iou_threshold)
        files.append((pairs, sample_found, sample_labels))
    scores = sorted({d[2] for sample_found in found for d in sample_found})
    cuts = scores
    if len(scores) > MAX_CUTS:
        cuts = [scores[round(i * (len(scores) - 1) / (MAX_CUTS - 1))] for i in range(MAX_CUTS)]
    labelled = sum(len(sample_labels) for sample_labels in labels)
    best = None
    for cut in cuts or [0.0]:
        matched = kinds_right = kinds_checked = kept = 0
        iou_sum = 0.0
        for pairs, sample_found, sample_labels in files:
            kept += sum(d[2] >= cut for d in sample_found)
            for i, j, value in greedy(pairs, lambda j: sample_found[j][2] >= cut):
                matched += 1
                iou_sum += value
                if sample_labels[i].kind:
                    kinds_checked += 1
                    kinds_right += sample_labels[i].kind == sample_found[j][1]
        f = 2 * matched / (kept + labelled) if kept + labelled else 0.0
        objective = (round(f, 9), kinds_right / kinds_checked if kinds_checked else 0.0,
                     iou_sum / matched if matched else 0.0)
        if best is None or objective > best[0]:
            below = bisect.bisect_left(scores, cut)
            best = (objective, (cut + scores[below - 1]) / 2 if below else 0.0,
                    {"f_score": f, "precision": matched / kept if kept else None,
                     "recall": matched / labelled if labelled else None, "matched": matched, "found": kept,
                     "labels": labelled, "kind_accuracy": objective[1] if kinds_checked else None})
    return best


def neighbours(value, ladder):
    """The ladder's values next to `value` (which need not be on it)."""
    lower = [v for v in ladder if v < value]
    higher = [v for v in ladder if v > value]
    return ([lower[-1]] if lower else []) + ([higher[0]] if higher else [])


class ThresholdClasses:
    """Thresholds that make the same comparison. The comparator and the defect
    extraction compare grey levels and their differences with the threshold;
    between two values that occur in the pairs, every threshold splits them
    alike. On binarised pairs (two grey levels) all thresholds between 0 and
    the contrast are one class, and the search tries one of them."""

    def __init__(self, samples):
        values = set()
        for sample in samples:
            std, tgt = np.unique(sample.standard), np.unique(sample.target).astype(np.int64)
            values.update(std.tolist(), tgt.tolist(), np.unique(np.abs(std[:, None] - tgt[None, :])).tolist())
        self.values = sorted(values)

    def of(self, threshold):
        magnitude = abs(threshold)
        if magnitude in self.values:
            return threshold < 0, magnitude, True
        below = [v for v in self.values if v < magnitude]
        return threshold < 0, below[-1] if below else -1, False

    def middle(self, threshold):
        """The threshold in the middle of its class, the one that stays in it
        best when new pairs bring a little noise."""
        negative, low, exact = self.of(threshold)
        above = [v for v in self.values if v > low]
        if exact or not above or above[0] - low < 2:
            return threshold
        middle = (low + above[0]) // 2
        return -middle if negative else middle


class Search:
    """The settings tried so far and their outcomes. A point is a pair of
    tuples: the comparator values (in COMPARATOR_KEYS order) and the defect
    values (in DEFECT_KEYS order). `facts` are the set's (Facts), None for
    a search that starts from the base as it is."""

    def __init__(self, runner, labels, base, budget, classes, bar=None, facts=None):
        self.runner, self.labels, self.budget, self.bar = runner, labels, budget, bar
        self.facts = facts
        self.base = facts.start(base) if facts is not None else base
        self.classes = classes
        self.outcomes = {}      # point -> best_cut's outcome
        self.seen = set()       # the points tried, their threshold as its class
        self.ng = {}            # comparator values -> NG regions of every sample
        self.gains = []         # (settings tried, objective) each time the best so far rose

    def settings(self, comparator_values, defect_values=(), min_score=0.0):
        values = dict(zip(COMPARATOR_KEYS, comparator_values), **dict(zip(DEFECT_KEYS, defect_values)))
        return dataclasses.replace(self.base, min_score=min_score, **values)

    def point(self, settings):
        return (tuple(getattr(settings, k) for k in COMPARATOR_KEYS), tuple(getattr(settings, k) for k in DEFECT_KEYS))

    def same_as(self, point):
        """What decides the outcome of a point: its threshold's class, the
        displacements the comparator tries rather than slope and step (with a
        max_shift of 1 no diagonal is tried, and steps past max_shift are one),
        and how far the alignment looks rather than `align`."""
        (max_shift, threshold, judge, parameter, slope, step, align, *rest), defect_values = point
        axis, diagonal = displacement_steps(max_shift, slope, step)
        looks = defects.search_reach(self.settings(point[0])) if align else 0
        return (max_shift, self.classes.of(threshold), judge, parameter, axis, diagonal, looks, *rest), defect_values

    def evaluate(self, points, budget=None):
        """Tries the points not tried yet (nor any that makes the same
        comparison and extraction), as far as the budget goes."""
        budget = self.budget if budget is None else budget
        fresh = []
        for point in points:
            key = self.same_as(point)
            if key not in self.seen and len(self.outcomes) + len(fresh) < budget:
                self.seen.add(key)
                fresh.append(point)
        groups = {}
        for comparator_values, defect_values in fresh:
            groups.setdefault(comparator_values, []).append(defect_values)
        self.share_comparisons(groups)
        jobs = [(self.settings(c), variants, self.ng.get(c)) for c, variants in groups.items()]
        for (comparator_values, variants), (ng, found) in zip(groups.items(), self.runner.run(jobs)):
            self.ng[comparator_values] = ng
            for defect_values, variant_found in zip(variants, found):
                outcome = best_cut(variant_found, self.labels)
                if not self.gains or outcome[0][0] > self.gains[-1][1][0]:
                    self.gains.append((len(self.outcomes) + 1, outcome[0]))
                self.outcomes[(comparator_values, defect_values)] = outcome
            if self.bar is not None:
                self.bar.update(len(variants))

    def share_comparisons(self, groups):
        """Fills in the NG regions of comparator settings that differ from one
        compared already (or compared here first) only in what filters its
        regions afterwards or not at all: the contour_is_too_long parameter
        (that judge keeps a blob when the longer side of its box reaches the
        parameter, and the box is the region's rect, so the regions of any
        parameter are those of parameter 1 filtered), the border band (a
        filter of the regions' rects), and the material (not used by the
        comparison)."""
        wanted = {}
        for values in groups:
            if values not in self.ng:
                wanted.setdefault(_common_comparison(values), []).append(values)
        missing = [common for common in wanted if common not in self.ng]
        for common, (ng, _) in zip(missing, self.runner.run([(self.settings(c), [], None) for c in missing])):
            self.ng[common] = ng
        for common, targets in wanted.items():
            for values in targets:
                settings = self.settings(values)
                length = settings.judge_parameter if settings.judge == "contour_is_too_long" else 0
                self.ng[values] = [[(rect, desc) for rect, desc in regions
                                    if blob_length(rect, desc) >= length and clear(rect, settings, shape)]
                                   for regions, shape in zip(self.ng[common], self.runner.shapes)]

    def ranked(self):
        return sorted(self.outcomes, key=lambda p: self.outcomes[p][0], reverse=True)

    def best(self):
        return self.ranked()[0]

    def run(self):
        """The best point: the first grid, the defect grid for its best
        comparator settings, rounds of moves to neighbouring values while one
        improves the objective, then the keys decided apart."""
        reserve = sum(len(values) - 1 for values in APART.values()) if self.facts is not None else 0
        budget = max(self.budget - reserve, 1)
        coarse = self.coarse()
        self.evaluate(coarse[:1] + spread(coarse[1:], int(budget * COARSE_SHARE) - 1), budget)
        tops = []
        for comparator_values, _ in self.ranked():
            if comparator_values not in tops:
                tops.append(comparator_values)
        start = self.point(self.base)[1]
        self.evaluate([(c, (gap, extent, margin) + start[3:]) for c in tops[:TOP_FOR_DEFECT_GRID]
                       for gap in DEFECT_GRID["gap"] for extent in DEFECT_GRID["extent"]
                       for margin in DEFECT_GRID["margin"]], budget)
        while len(self.outcomes) < budget:
            best = self.best()
            self.evaluate(self.moves(best), budget)
            if self.best() == best:
                break
        if self.facts is not None:
            self.decide_apart(self.best())
        return self.best()

    def coarse(self):
        """The first grid: the start, then max_shift, threshold, judge, the
        alignment modes and the border band, beside the solid-blob variants."""
        start = self.settings(*self.point(self.base))
        alignments = self.facts.alignments() if self.facts is not None else [(0, 0), (4, start.align_grid)]
        points = [self.point(start)]
        for align, align_grid in alignments:
            for border in COARSE["border"]:
                for shift in COARSE["max_shift"]:
                    for threshold in COARSE["threshold"]:
                        for judge, parameter in COARSE["judge"]:
                            points.append(self.point(dataclasses.replace(
                                start, max_shift=shift, threshold=threshold, judge=judge, judge_parameter=parameter,
                                align=align, align_grid=align_grid, border=border)))
                    if shift in COARSE_SOLID["max_shift"]:
                        judge, parameter = COARSE_SOLID["judge"]
                        points += [self.point(dataclasses.replace(
                            start, max_shift=shift, threshold=threshold, judge=judge, judge_parameter=parameter,
                            align=align, align_grid=align_grid, border=border, min_radius=COARSE_SOLID["min_radius"]))
                            for threshold in COARSE["threshold"]]
        return points

    def moves(self, point):
        """The points one step away from `point` along each key (but those decided apart)."""
        settings = self.settings(*point)
        moved = []
        for key in COMPARATOR_KEYS + DEFECT_KEYS:
            value = getattr(settings, key)
            if key in APART:
                continue
            if key == "judge":
                other = JUDGES[1 - JUDGES.index(value)]
                ladder = LADDERS[value]
                index = min(range(len(ladder)), key=lambda i: abs(ladder[i] - settings.judge_parameter))
                options = [{"judge": other, "judge_parameter": LADDERS[other][min(index, len(LADDERS[other]) - 1)]}]
            elif key == "judge_parameter":
                options = [{key: v} for v in neighbours(value, LADDERS[settings.judge])]
            else:
                options = [{key: v} for v in (neighbours(value, LADDERS[key]) if key != "slope" else [not value])]
            moved += [self.point(dataclasses.replace(settings, **option)) for option in options]
        return moved

    def decide_apart(self, point):
        """Tries the values of the keys that change kinds but never a box on
        `point` (outside the budget reserved for them, so the search never
        spends its rounds on ties of F); the best objective wins, the value
        the set settled among equals."""
        settings = self.settings(*point)
        for key, values in APART.items():
            self.evaluate([self.point(dataclasses.replace(settings, **{key: v})) for v in values],
                          len(self.outcomes) + len(values))

    def last_gains(self, count=2):
        """The last `count` rises of the best objective: (settings tried then, F)."""
        return [(tried, objective[0]) for tried, objective in self.gains[-count:]]


def _common_comparison(values):
    """The comparator values whose comparison gives the regions of `values`
    before the filters share_comparisons applies: the contour_is_too_long
    parameter 1, no border band, the first material."""
    named = dict(zip(COMPARATOR_KEYS, values))
    if named.get("judge") == "contour_is_too_long":
        named["judge_parameter"] = 1
    named.update({key: default for key, default in (("border", 0), ("material", MATERIALS[0])) if key in named})
    return tuple(named.values())


def clear(rect, settings, shape):
    """Whether defects.compare keeps a region of `rect` under the settings'
    border band, in an image of `shape`."""
    if not settings.border:
        return True
    limits = defects.compared_limits(settings, shape)
    return ng_filter.clear_of_border(rect or limits, limits, settings.border)


def blob_length(rect, desc):
    """The longer side of the box the judge saw: the number the comparator
    writes into the description ("black spot: 12, [...]"). A region moved
    back from an aligned comparison keeps it, while its box in the target's
    pixels may have grown over tiles of different displacements."""
    number = desc.rpartition(", [")[0].rpartition(": ")[2]
    if number.isdigit():
        return int(number)
    return max(rect[2] - rect[0], rect[3] - rect[1])


def spread(items, count):
    """At most `count` of the items, evenly spaced."""
    if count >= len(items):
        return items
    if count <= 0:
        return []
    return [items[round(i * (len(items) - 1) / max(1, count - 1))] for i in range(count)]


def tune(pairs_path, labels_path, out_path, scheduler=None, budget=DEFAULT_BUDGET, base_path=None,
         progress=True, log=print):
    """Searches the settings for the pairs of `pairs_path` (a training split)
    against the labels, writes the best with save_settings to `out_path` and
    returns (settings, figures on the training pairs)."""
    base = load_settings(base_path)
    if isinstance(base.judge_parameter, list):      # the judges read the first item of a list
        base = dataclasses.replace(base, judge_parameter=base.judge_parameter[0])
    pairs = read_pairs(pairs_path)
    if not pairs:
        raise ValueError("%s: no pairs to tune on" % pairs_path)
    # The search sets every key but the regions, compare_region and material:
    # those are checked against the standards (read from their headers) first.
    kept = Settings(compare_region=base.compare_region)
    for warning in check_images(kept, header_sizes(dict.fromkeys(pair.standard for pair in pairs))):
        log("warning: %s" % warning)
    log("tuning on %d training pair%s (keep the pairs you evaluate on out of PAIRS_CSV)"
        % (len(pairs), "" if len(pairs) == 1 else "s"))
    samples = load_samples(pairs, base)
    all_labels = read_labels(labels_path)
    keys = {file_key(pair.file) for pair in pairs}
    check_inside(all_labels, {file_key(s.file): s.standard.shape[::-1] for s in samples}, labels_path)
    labels = [[l for l in all_labels if file_key(l.file) == file_key(s.file)] for s in samples]
    if not any(labels):
        raise ValueError("%s: no labels for any pair of %s" % (labels_path, pairs_path))
    ignored = {file_key(l.file) for l in all_labels} - keys
    if ignored:
        log("%d labelled file%s not in PAIRS_CSV: not used" % (len(ignored), "" if len(ignored) == 1 else "s"))
    unlabelled = sum(not group for group in labels)
    if unlabelled:
        log("%d training pair%s without labels: taken as free of defects"
            % (unlabelled, "" if unlabelled == 1 else "s"))
    started = time.perf_counter()
    EXTRACTED.clear()
    classes = ThresholdClasses(samples)
    facts = Facts.of(samples, labels)
    for line in facts_said(facts, len(samples)):
        log(line)
    with _bar(budget, progress) as bar:
        if scheduler:
            from qlo_batch.pipeline import dask_client
            with dask_client(scheduler) as client:
                search = Search(DaskRunner(client, samples), labels, base, budget, classes, bar, facts)
                best = search.run()
        else:
            search = Search(SerialRunner(samples), labels, base, budget, classes, bar, facts)
            best = search.run()
        if bar is not None:
            bar.total = bar.n
            bar.refresh()
    _, min_score, figures = search.outcomes[best]
    settings = dataclasses.replace(search.settings(*best, min_score=min_score),
                                   threshold=classes.middle(best[0][1]))
    save_settings(settings, out_path)
    log("tried %d settings in %.1f s; best on the training pairs: F-score %s (precision %s, recall %s), "
        "kind right on %s of the matches" % (len(search.outcomes), time.perf_counter() - started,
                                            *(_percent(figures[k]) for k in ("f_score", "precision", "recall",
                                                                             "kind_accuracy"))))
    log(progress_said(search))
    return settings, figures


def facts_said(facts, pairs):
    """What the tuner tells of the set before the search, warnings first."""
    lines = []
    if facts.design_share >= UNIFORM_SHARE and pairs > 1:
        lines.append("warning: %s of the training pairs share one standard: the settings fit that design and may "
                     "find less on others; tune on pairs of several designs" % _percent(facts.design_share))
    lines.append("the set: material %s, targets moved by up to %d pixel%s%s, labels at least %d pixels on a side "
                 "(%s of them), %s words" % (facts.material, facts.shift, "" if facts.shift == 1 else "s",
                                              " and drifting across the image" if facts.drift else "", facts.floor,
                                              "nine tenths", facts.vocabulary))
    return lines


def progress_said(search):
    """How far the last rises of the F-score were, and whether a larger
    budget may help: the search stopped by itself when no neighbouring
    setting was better, else at the budget."""
    gains = search.last_gains()
    said = ", ".join("F %.4f at setting %d" % (f, tried) for tried, f in gains)
    tried = len(search.outcomes)
    if tried < search.budget:
        return "last rises: %s; the search ended on its own (no neighbouring setting better): " \
               "a larger --budget would not change it" % said
    last = gains[-1][0] if gains else 0
    if last > tried - tried // 4:
        return "last rises: %s of %d: F was still rising when the budget ran out: a larger --budget may " \
               "find better settings" % (said, tried)
    return "last rises: %s of %d: none in the last quarter of the budget: a larger --budget is unlikely " \
           "to help much" % (said, tried)


def _percent(value):
    return "-" if value is None else "%.1f %%" % (100 * value)


def _bar(total, enabled):
    return progress_bar(total, enabled, "setting")


def parse(argv):
    parser = argparse.ArgumentParser(
        prog="python -m qlo_batch.tune",
        description="Search the comparator and defect settings that find the labelled defects of the TRAINING "
                    "pairs best (F-score at IoU > %g) and write them as a settings file for run_batch.sh "
                    "--settings. Give it a training split only: pairs you evaluate on must not be in PAIRS_CSV."
                    % IOU_THRESHOLD)
    parser.add_argument("pairs", metavar="PAIRS_CSV", help="the training pairs (header standard,target)")
    parser.add_argument("labels", metavar="LABELS_CSV",
                        help="labelled defect boxes (file,x1,y1,x2,y2[,kind]); labels of other files are ignored")
    parser.add_argument("out", metavar="SETTINGS_OUT", help="the settings file to write")
    parser.add_argument("--scheduler", metavar="ADDR", help="address of a Dask scheduler to run the search on")
    parser.add_argument("--budget", type=int, default=DEFAULT_BUDGET,
                        help="the most settings to try (default %(default)s)")
    parser.add_argument("--settings", metavar="FILE",
                        help="settings to start from; their other keys (regions, compare_region, material) are kept")
    parser.add_argument("--no-progress", action="store_true", help="do not show the progress bar")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse(sys.argv[1:] if argv is None else argv)
    if args.budget < 1:
        print("qlo_batch.tune: --budget must be at least 1", file=sys.stderr)
        return 2
    missing = args.scheduler and dask_missing("qlo_batch.tune", "--scheduler")
    if missing:
        print(missing, file=sys.stderr)
        return 2
    try:
        tune(args.pairs, args.labels, args.out, args.scheduler, args.budget, args.settings,
             progress=not args.no_progress)
    except (OSError, ValueError, TypeError) as error:
        print("qlo_batch.tune: %s" % error, file=sys.stderr)
        return 2
    print("settings: %s" % args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
