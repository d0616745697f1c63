"""Pairs of prints to inspect, each target with its own standard, read from a
CSV file with the header `standard,target` (as when a large board is cut into
tiles and every tile has its own golden image)."""
import csv
import dataclasses
import os

from qlo_batch.inputs import open_text


@dataclasses.dataclass(frozen=True)
class Pair:
    """`standard` and `target` are paths usable from this process; `file` is the
    target's path as the CSV writes it, the name reports use."""
    standard: str
    target: str
    file: str


def read_pairs(path):
    """The pairs of the CSV file at `path`, in file order. Relative paths are
    relative to the CSV's folder. A malformed file or row raises ValueError
    naming the file and the row (its line number); files that do not exist are
    not checked here (they become ERROR rows of the run); one that is not a
    regular file, or is far too large, raises ValueError too."""
    folder = os.path.dirname(os.path.abspath(path))
    with open_text(path, "pairs file") as f:
        reader = csv.reader(f)
        header = next(reader, None)
        if header is None or [h.strip() for h in header] != ["standard", "target"]:
            raise ValueError("%s: the first line must be the header standard,target, not %r"
                             % (path, ",".join(header or [])))
        pairs = []
        for row in reader:
            if not row or all(not cell.strip() for cell in row):
                continue
            if len(row) != 2 or not row[0].strip() or not row[1].strip():
                raise ValueError("%s, line %d: expected two paths standard,target, got %r"
                                 % (path, reader.line_num, ",".join(row)))
            standard, target = row[0].strip(), row[1].strip()
            pairs.append(Pair(os.path.join(folder, standard), os.path.join(folder, target), target))
    return pairs
