"""Scoring found defect boxes against labelled ones: one-to-one matching per
file, then precision, recall and F-score overall and per kind, and how often a
matched defect has its label's kind. The evaluation command and the tuning
search share it."""
import dataclasses
from typing import List, Optional

from qlo_batch.defects import ALL_KINDS
from qlo_batch.labels import by_file

IOU_THRESHOLD = 0.33


@dataclasses.dataclass(frozen=True)
class Found:
    """A defect as a run reported it; `line` is its row in defects.csv (0 when it
    comes from elsewhere)."""
    file: str
    box: List[int]
    kind: str
    score: float
    regions: int = 0
    line: int = 0


def intersection(a, b):
    width = min(a[2], b[2]) - max(a[0], b[0])
    height = min(a[3], b[3]) - max(a[1], b[1])
    return width * height if width > 0 and height > 0 else 0


def iou(a, b):
    common = intersection(a, b)
    if not common:
        return 0.0
    return common / ((a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - common)


def candidates(label_boxes, found_boxes, iou_threshold=IOU_THRESHOLD, any_overlap=False):
    """The (iou, label index, found index) pairs that may match, best first:
    IoU above the threshold (strictly), or any common pixel with `any_overlap`.
    Equal IoUs go to the label listed first, then to the defect listed first."""
    pairs = []
    for i, label in enumerate(label_boxes):
        for j, found in enumerate(found_boxes):
            common = intersection(label, found)
            if not common:
                continue
            value = iou(label, found)
            if any_overlap or value > iou_threshold:
                pairs.append((value, i, j))
    pairs.sort(key=lambda p: (-p[0], p[1], p[2]))
    return pairs


def greedy(pairs, found_kept=None):
    """One-to-one matches from candidate pairs taken best first: a label and a
    defect each match at most once. `found_kept(j)` may leave defects out."""
    used_labels, used_found, matches = set(), set(), []
    for value, i, j in pairs:
        if i in used_labels or j in used_found or (found_kept is not None and not found_kept(j)):
            continue
        used_labels.add(i)
        used_found.add(j)
        matches.append((i, j, value))
    return matches


def match(label_boxes, found_boxes, iou_threshold=IOU_THRESHOLD, any_overlap=False):
    """The one-to-one matches [(label index, found index, iou)] of one file."""
    return greedy(candidates(label_boxes, found_boxes, iou_threshold, any_overlap))


def figures(matched, found, labelled):
    """Precision, recall and F-score (None where there is nothing to divide by)."""
    return {"matched": matched, "found": found, "labels": labelled,
            "precision": matched / found if found else None,
            "recall": matched / labelled if labelled else None,
            "f_score": 2 * matched / (found + labelled) if found + labelled else None}


@dataclasses.dataclass
class Score:
    """The outcome of scoring. `overall` holds the figures at the IoU threshold
    and with any overlap; `per_kind` the recall over the labels of each kind and
    the precision over the defects found of each kind; `missed` the labels and
    `false` the defects left unmatched at the IoU threshold."""
    iou_threshold: float
    overall: dict
    per_kind: dict
    kind_accuracy: Optional[float]
    kinds_checked: int
    confusion: dict
    mean_iou: Optional[float]
    missed: list
    false: list

    def as_dict(self):
        return dataclasses.asdict(self)


def score(labels, found, skipped=(), iou_threshold=IOU_THRESHOLD):
    """Scores the `found` defects (Found) against the `labels` (Label). Labels of
    files in `skipped` (file keys of files not inspected or failed) count as
    missed, whatever was found there."""
    labels_of, found_of = by_file(labels), by_file(found)
    skipped = set(skipped)
    counts = {mode: [0, 0, 0] for mode in ("iou", "overlap")}    # matched, found, labelled
    kind_counts = {kind: [0, 0, 0, 0] for kind in ALL_KINDS}        # labels, matched labels, found, matched found
    confusion, ious, missed, false = {}, [], [], []
    for key in sorted(set(labels_of) | set(found_of)):
        file_labels = labels_of.get(key, [])
        file_found = [] if key in skipped else found_of.get(key, [])
        label_boxes, found_boxes = [x.box for x in file_labels], [x.box for x in file_found]
        by_iou = match(label_boxes, found_boxes, iou_threshold)
        by_overlap = match(label_boxes, found_boxes, any_overlap=True)
        for mode, matches in (("iou", by_iou), ("overlap", by_overlap)):
            counts[mode][0] += len(matches)
            counts[mode][1] += len(file_found)
            counts[mode][2] += len(file_labels)
        for label in file_labels:
            if label.kind:
                kind_counts[label.kind][0] += 1
        for item in file_found:
            if item.kind in kind_counts:
                kind_counts[item.kind][2] += 1
        for i, j, value in by_iou:
            label, item = file_labels[i], file_found[j]
            ious.append(value)
            if label.kind:
                kind_counts[label.kind][1] += 1
                row = confusion.setdefault(label.kind, {})
                row[item.kind] = row.get(item.kind, 0) + 1
            if item.kind in kind_counts:
                kind_counts[item.kind][3] += 1
        matched_labels = {i for i, _, _ in by_iou}
        matched_found = {j for _, j, _ in by_iou}
        for i, label in enumerate(file_labels):
            if i not in matched_labels:
                missed.append({"file": label.file, "box": label.box, "kind": label.kind, "line": label.line,
                               "best_iou": _best(label.box, found_boxes),
                               "why": "not inspected" if key in skipped else "no match"})
        for j, item in enumerate(file_found):
            if j not in matched_found:
                false.append({"file": item.file, "box": item.box, "kind": item.kind, "score": item.score,
                              "line": item.line, "best_iou": _best(item.box, label_boxes)})
    checked = sum(sum(row.values()) for row in confusion.values())
    right = sum(row.get(kind, 0) for kind, row in confusion.items())
    per_kind = {}
    for kind, (labelled, matched_labels, found_n, matched_found) in kind_counts.items():
        if labelled or found_n:
            recall = figures(matched_labels, 0, labelled)["recall"]
            precision = figures(matched_found, found_n, 0)["precision"]
            f = (2 * precision * recall / (precision + recall) if recall is not None and precision is not None
                 and precision + recall else (0.0 if recall is not None and precision is not None else None))
            per_kind[kind] = {"labels": labelled, "matched_labels": matched_labels, "found": found_n,
                              "matched_found": matched_found, "recall": recall, "precision": precision, "f_score": f}
    return Score(iou_threshold, {mode: figures(*c) for mode, c in counts.items()}, per_kind,
                 right / checked if checked else None, checked, confusion,
                 sum(ious) / len(ious) if ious else None, missed, false)


def _best(box, others):
    return max((iou(box, other) for other in others), default=0.0)
