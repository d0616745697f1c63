"""Pairs of prints to inspect, each target with its own standard, read from a
CSV file with the header `standard,target` (as when a large board is cut into
tiles and every tile has its own golden image)."""
import csv
import dataclasses
import io
import os

from qlo_batch.inputs import open_input, open_text


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
        check_header(path, next(reader, None))
        pairs = []
        for row in reader:
            pair = parse_row(path, folder, row, reader.line_num)
            if pair is not None:
                pairs.append(pair)
    return pairs


def check_header(path, header):
    if header is None or [h.strip() for h in header] != ["standard", "target"]:
        raise ValueError("%s: the first line must be the header standard,target, not %r"
                         % (path, ",".join(header or [])))


def parse_row(path, folder, row, line):
    """The Pair of a row of the pairs file at `path` (line number `line`), or
    None for an empty row; ValueError naming the line for a malformed one."""
    if not row or all(not cell.strip() for cell in row):
        return None
    if len(row) != 2 or not row[0].strip() or not row[1].strip():
        raise ValueError("%s, line %d: expected two paths standard,target, got %r" % (path, line, ",".join(row)))
    standard, target = row[0].strip(), row[1].strip()
    return Pair(os.path.join(folder, standard), os.path.join(folder, target), target)


class PairsTail:
    """The rows appended to a pairs file since it was last read, for a watch.
    Only whole lines are read (a row being appended is taken once its line
    ends), and the last line without an end too when `whole` says the file is
    complete. A file that shrank was rewritten: it is read again from its
    start. Bytes that are not UTF-8 are kept as the file system keeps them in
    names (surrogate escapes), so such paths still reach their files."""

    def __init__(self, path):
        self.path = path
        self.folder = os.path.dirname(os.path.abspath(path))
        self.offset = 0         # bytes read
        self.line = 0           # lines read

    def read(self, whole=False):
        """(the new pairs, the texts of malformed rows among them). ValueError
        when the header is not standard,target; OSError when the file cannot
        be read."""
        with open_input(self.path) as f:         # a regular file only: a FIFO would block the watch
            if os.fstat(f.fileno()).st_size < self.offset:
                self.offset = self.line = 0
            f.seek(self.offset)
            data = f.read()
        end = len(data) if whole else data.rfind(b"\n") + 1
        if end == 0:
            return [], []
        text = data[:end].decode("utf-8", "surrogateescape")
        if self.offset == 0:
            text = text.removeprefix("\ufeff")
        self.offset += end
        reader = csv.reader(io.StringIO(text, newline=""))
        first = self.line
        pairs, problems = [], []
        for row in reader:
            line = first + reader.line_num
            try:
                if line == 1:
                    check_header(self.path, row)
                    continue
                pair = parse_row(self.path, self.folder, row, line)
            except ValueError as error:
                if line == 1:
                    raise
                problems.append(str(error))
                continue
            if pair is not None:
                pairs.append(pair)
        self.line = first + reader.line_num
        return pairs, problems
