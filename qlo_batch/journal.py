"""What a run has finished, for `--resume`: OUT_DIR/resume.jsonl, one JSON line
per file written as soon as its row is known, holding the row itself and the
size and modification time of the target and of its standard when they were
listed. A first line holds the run's settings and when this part of the run
began (with the time of its earlier parts, when it resumes one).

JSON with ASCII escapes keeps every name exactly, including names that are not
valid UTF-8 (Python holds their bytes as lone surrogates, which JSON escapes as
"\\udcXX" and reads back the same). A line cut short by a killed process, or
one that is not a sound row in any other way, is not trusted: that file is
inspected again. A first line that is not this run's settings refuses the
resumption."""
import contextlib
import dataclasses
import json
import os
import time

from qlo_batch.inputs import open_input

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


def settings_record(settings, marked=None):
    """What a resumed run must share with the run it resumes: the settings,
    and the format of full-size marked images when they are asked for (the
    kept rows have them, or not, alike)."""
    record = dataclasses.asdict(settings) if settings is not None else {}
    return dict(record, marked_images=marked) if marked else record


# What a kept row must hold, each field with its test: anything else in a
# line (a field missing or of another type, a picture outside the run's
# folders) makes the line untrusted, and its file is inspected again.
def _text(value):
    return isinstance(value, str)


def _count(value):
    return type(value) is int and value >= 0


def _number(value):
    return type(value) in (int, float)


def _box(value):
    return isinstance(value, list) and len(value) == 4 and all(type(v) is int for v in value)


def _list_of(test):
    return lambda value: isinstance(value, list) and all(map(test, value))


def _picture(folder, suffix):
    """A test of a picture path as the report writes it: "" or FOLDER/NAME
    with NAME a plain name ending in `suffix` (a suffix or a tuple of them;
    never a path out of OUT_DIR)."""
    def test(value):
        if value == "":
            return True
        head, _, name = value.partition("/") if isinstance(value, str) else ("", "", "")
        return head == folder and name.endswith(suffix) and "/" not in name and "\0" not in name and \
            name not in (".", "..")
    return test


ROW_FIELDS = {
    "file": _text, "verdict": lambda value: value in ("OK", "NG", "ERROR"), "ng_count": _count,
    "descriptions": _list_of(_text), "boxes": _list_of(_box), "seconds": _number, "error": _text,
    "marked_image": _picture("marked", (".png", ".jpg")), "thumbnail": _picture("thumbs", ".jpg"),
    "defects": _list_of(lambda d: isinstance(d, list) and len(d) == 4 and _box(d[0]) and _text(d[1])
                        and _number(d[2]) and _count(d[3])),
    "width": _count, "height": _count, "target": _text, "standard": _text,
    "crops": _list_of(lambda c: isinstance(c, list) and len(c) == 2 and _box(c[0]) and c[1] != ""
                      and _picture("thumbs", ".jpg")(c[1])),
    "standard_crops": _list_of(lambda c: c != "" and _picture("thumbs", ".jpg")(c)),
    "registration": lambda value: value is None or isinstance(value, dict) and all(map(_text, value)),
}


def sound_entry(entry):
    """Whether a journal line (parsed) is a row this tool wrote: every field
    of its row present with the right type, its key the row's own, its
    stamps two [size, time] pairs (or None), and its parts agreeing (the
    count of NG regions, pictures for an NG row only, a preview for every
    one, its crops on one sheet)."""
    if not isinstance(entry, dict) or set(entry) != {"key", "stamps", "row"}:
        return False
    row, stamps = entry["row"], entry["stamps"]
    if not isinstance(row, dict) or set(row) != set(ROW_FIELDS) or \
            not all(test(row[field]) for field, test in ROW_FIELDS.items()):
        return False
    ng = row["verdict"] == "NG"
    sheets = {path for _, path in row["crops"]} | set(row["standard_crops"])     # the crops of a row share one
    return (entry["key"] == row_key(row) and row["ng_count"] == len(row["boxes"])
            and bool(row["thumbnail"]) == ng and len(sheets) <= 1
            and len(row["standard_crops"]) in (0, len(row["crops"]))
            and (ng or not row["boxes"] + row["crops"] + row["standard_crops"] and not row["marked_image"])
            and isinstance(stamps, list) and len(stamps) == 2
            and all(s is None or isinstance(s, list) and len(s) == 2 and all(type(v) is int for v in s)
                    for s in stamps))


class Journal:
    def __init__(self, out_dir, settings, marked=None):
        self.path = os.path.join(out_dir, FILE_NAME)
        self.settings = json.loads(json.dumps(settings_record(settings, marked)))
        self._file = None

    def previous(self):
        """(entries, untrusted): the entries of the run written before into
        this OUT_DIR, as {json key: (row, stamps)} (empty when there is none),
        and the number of its lines that are not sound rows (cut short by a
        killed run, or tampered with), whose files are inspected again.
        ValueError when its first line is not the settings of this run: other
        settings (its rows would not match this run's), or a line that does
        not parse (the settings cannot be checked, so no row can be trusted);
        OSError when it cannot be read."""
        try:
            f = open_input(self.path)
        except FileNotFoundError:
            return {}, 0
        except ValueError as error:
            raise ValueError("%s: %s" % (self.path, error)) from None
        entries, untrusted = {}, 0
        with f:
            for number, line in enumerate(f):
                try:
                    entry = json.loads(line.decode("ascii", "replace"))
                except (ValueError, RecursionError):
                    entry = None
                if number == 0:
                    self._check_settings(entry)
                elif sound_entry(entry):
                    entries[json.dumps(entry["key"])] = (entry["row"], entry["stamps"])
                elif line.strip():
                    untrusted += 1
            if f.tell() == 0:
                self._check_settings(None)
        return entries, untrusted

    def header(self):
        """The first line of the journal written before into this OUT_DIR (a
        dict; empty when there is none or it is not sound) and the time of its
        last write (seconds since the epoch)."""
        try:
            with open_input(self.path) as f:
                first = f.readline()
                written = os.fstat(f.fileno()).st_mtime
            header = json.loads(first.decode("ascii", "replace"))
        except (OSError, ValueError, RecursionError):
            return {}, 0.0
        return header if isinstance(header, dict) else {}, written

    def _check_settings(self, entry):
        if not isinstance(entry, dict) or not {"settings"} <= set(entry) <= {"settings", "part"} or \
                not isinstance(entry["settings"], dict) or not isinstance(entry.get("part", {}), dict):
            raise ValueError("%s does not start with the settings of a run of this tool (its first line is "
                             "damaged): run without --resume to inspect every file again" % self.path)
        if entry["settings"] != self.settings:
            raise ValueError("%s was written by a run with other settings: run without --resume to "
                             "inspect every file again" % self.path)

    def start(self, folder, kept=(), part=None):
        """Begins this run's journal in `folder` (OUT_DIR, a
        qlo_batch.outputs.Folder) with the (row, stamps) pairs kept from the
        previous run; `part` (a dict) says when this part of the run began."""
        first = json.dumps({"settings": self.settings, "part": part or {}}) + "\n"
        lines = [first] + [self._line(row, stamps) for row, stamps in kept]
        self._file = folder.start(FILE_NAME, "".join(lines).encode("ascii"))

    def record(self, row, stamps):
        """Adds a finished file's line (whole, or not at all when the disk is full)."""
        self._file.write(self._line(row, stamps).encode("ascii"))

    def close(self):
        """Closes the journal, its time of last write set to now: a resumed
        run counts this part's time up to here (qlo_batch.run_context). The
        time is given, not left to the file system, whose clock may lag by
        a few milliseconds."""
        if self._file is not None:
            now = time.time()
            with contextlib.suppress(OSError):
                os.utime(self._file.fd, (now, now))
            self._file.close()
            self._file = None

    @staticmethod
    def _line(row, stamps):
        return json.dumps({"key": row_key(row), "stamps": stamps, "row": row}) + "\n"
