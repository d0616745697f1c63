"""Labelled defect boxes, read from a CSV file with the header
`file,x1,y1,x2,y2,kind` (the kind column may be left out, and a row may leave
its kind empty). Boxes are in image pixels, x2 and y2 one past the last pixel;
`file` is the target's path as the pairs CSV writes it. Kinds are the words
of boards or of prints (defects.VOCABULARIES), or a labeller's other word for
one of them (defects.ALIASES: "missing stroke" is missing, "mouse bite" bite). docs/evaluation.md
tells how to convert boxes from other label formats."""
import csv
import dataclasses
import os
from typing import List, Optional

from qlo_batch.defects import ALIASES, ALL_KINDS
from qlo_batch.inputs import open_text

HEADER = ["file", "x1", "y1", "x2", "y2"]


@dataclasses.dataclass(frozen=True)
class Label:
    """One labelled defect; `line` is its line in the labels file, for messages."""
    file: str
    box: List[int]
    kind: Optional[str]
    line: int


def file_key(name):
    """The key under which labels, defect rows and run records of one file meet:
    the path as written, with `./`, doubled separators and backslashes evened out."""
    return os.path.normpath(name.strip().replace("\\", "/")).replace("\\", "/")


def read_labels(path):
    """The labels of the CSV file at `path`, in file order. A malformed header or
    row, or a file that is not a regular one, raises ValueError naming it."""
    with open_text(path, "labels file") as f:
        reader = csv.reader(f)
        header = [h.strip() for h in next(reader, None) or []]
        if header not in (HEADER, HEADER + ["kind"]):
            raise ValueError("%s, line 1: the header must be file,x1,y1,x2,y2 or file,x1,y1,x2,y2,kind, not %r"
                             % (path, ",".join(header)))
        labels = []
        for row in reader:
            if not row or all(not cell.strip() for cell in row):
                continue
            labels.append(_label(row, len(header), "%s, line %d" % (path, reader.line_num), reader.line_num))
    return labels


def _label(row, columns, where, line):
    if len(row) != columns:
        raise ValueError("%s: expected %d columns (%s), got %d" % (where, columns, ",".join(HEADER), len(row)))
    file = row[0].strip()
    if not file:
        raise ValueError("%s: the file name is empty" % where)
    try:
        box = [int(cell.strip()) for cell in row[1:5]]
    except ValueError:
        raise ValueError("%s: x1,y1,x2,y2 must be whole numbers, not %r" % (where, ",".join(row[1:5]))) from None
    x1, y1, x2, y2 = box
    if min(box) < 0:
        raise ValueError("%s: negative coordinate in box %s" % (where, box))
    if x2 <= x1 or y2 <= y1:
        raise ValueError("%s: empty box %s (x2 and y2 are one past the last pixel, so x2 > x1 and y2 > y1)"
                         % (where, box))
    kind = " ".join(row[5].lower().replace("_", " ").replace("-", " ").split()) if columns == 6 else ""
    kind = ALIASES.get(kind, kind)
    if kind and kind not in ALL_KINDS:
        raise ValueError("%s: unknown kind %r (one of %s, or empty)" % (where, kind, ", ".join(ALL_KINDS)))
    return Label(file, box, kind or None, line)


def check_inside(labels, sizes, path):
    """Raises ValueError naming the row of the first label that reaches outside
    its image; `sizes` maps file_key(file) to (width, height), and files it does
    not hold are not checked."""
    for label in labels:
        size = sizes.get(file_key(label.file))
        if size is None:
            continue
        width, height = size
        if label.box[2] > width or label.box[3] > height:
            raise ValueError("%s, line %d: box %s of %s reaches outside its %d x %d image"
                             % (path, label.line, label.box, label.file, width, height))


def by_file(items, file_of=lambda item: item.file):
    """Items grouped by file_key of their file, each group in input order."""
    groups = {}
    for item in items:
        groups.setdefault(file_key(file_of(item)), []).append(item)
    return groups
