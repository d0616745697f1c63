"""What a run has finished, for `--resume`: OUT_DIR/resume.jsonl, one JSON line
per file written as soon as its row is known, holding the row itself and the
size and modification time of the target and of its standard when they were
listed. A first line holds the run's settings and when this part of the run
began (with the time of its earlier parts, when it resumes one).

JSON with ASCII escapes keeps every name exactly, including names that are not
valid UTF-8 (Python holds their bytes as lone surrogates, which JSON escapes as
"\\udcXX" and reads back the same). A line cut short by a killed process is
ignored: that file is inspected again."""
import dataclasses
import json
import os

FILE_NAME = "resume.jsonl"


def stamp(path):
    """[size, modification time in ns] of the file at `path` (links followed),
    or None when it cannot be read."""
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return [status.st_size, status.st_mtime_ns]


def task_key(task):
    """What names a file's row across runs: its report name and the absolute
    paths of the target and of its standard."""
    return [task.file, os.path.abspath(task.target), os.path.abspath(task.standard)]


def row_key(row):
    return [row["file"], row["target"], row["standard"]]


def settings_record(settings):
    return dataclasses.asdict(settings) if settings is not None else {}


class Journal:
    def __init__(self, out_dir, settings):
        self.path = os.path.join(out_dir, FILE_NAME)
        self.settings = json.loads(json.dumps(settings_record(settings)))
        self._file = None

    def previous(self):
        """The entries of the run written before into this OUT_DIR, as
        {json key: (row, stamps)}; empty when there is none. ValueError when
        that run used other settings (its rows would not match this run's)."""
        try:
            with open(self.path, encoding="ascii", errors="replace") as f:
                lines = f.read().split("\n")
        except FileNotFoundError:
            return {}
        entries = {}
        for number, line in enumerate(lines):
            try:
                entry = json.loads(line)
            except ValueError:
                continue
            if number == 0:
                if not isinstance(entry, dict) or entry.get("settings") != self.settings:
                    raise ValueError("%s was written by a run with other settings: run without --resume to "
                                     "inspect every file again" % self.path)
            elif isinstance(entry, dict) and {"key", "stamps", "row"} <= set(entry):
                entries[json.dumps(entry["key"])] = (entry["row"], entry["stamps"])
        return entries

    def header(self):
        """The first line of the journal written before into this OUT_DIR (a
        dict; empty when there is none) and the time of its last write
        (seconds since the epoch)."""
        try:
            with open(self.path, encoding="ascii", errors="replace") as f:
                first = f.readline()
            written = os.stat(self.path).st_mtime
            header = json.loads(first)
        except (OSError, ValueError):
            return {}, 0.0
        return header if isinstance(header, dict) else {}, written

    def start(self, kept=(), part=None):
        """Begins this run's journal with the (row, stamps) pairs kept from the
        previous run; `part` (a dict) says when this part of the run began."""
        temporary = self.path + ".tmp"
        with open(temporary, "w", encoding="ascii") as f:
            f.write(json.dumps({"settings": self.settings, "part": part or {}}) + "\n")
            for row, stamps in kept:
                f.write(self._line(row, stamps))
        os.replace(temporary, self.path)
        self._file = open(self.path, "a", encoding="ascii")

    def record(self, row, stamps):
        self._file.write(self._line(row, stamps))
        self._file.flush()

    def close(self):
        if self._file is not None:
            self._file.close()
            self._file = None

    @staticmethod
    def _line(row, stamps):
        return json.dumps({"key": row_key(row), "stamps": stamps, "row": row}) + "\n"
