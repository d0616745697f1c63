"""The report of a batch run, written as outcomes arrive: the pictures of
every NG print (preview, defect crops, and the full-size marked image when
asked for) at once, unless the worker that inspected it wrote them already
(so the image bytes are not kept), and its row of report.csv, then, at the end, in file order, the CSV
tables of prints and of defects, run.json (the run's context and figures,
the errors in words, image sizes and paths for the commands that read a run)
and the HTML page (qlo_batch.report_page). Text
cells of the tables are written as qlo_batch.names.csv_cell makes them: names
that are not UTF-8 escaped, formula-like text led by an apostrophe."""
import contextlib
import csv
import dataclasses
import hashlib
import io
import json
import os
import re
import time

from qlo_batch.names import csv_cell
from qlo_batch.outputs import Folder
from qlo_batch.registration import unusual
from qlo_batch.report_page import html_pages, page_names, pages_of
from qlo_batch.run_context import figures

COLUMNS = ("file", "verdict", "ng_count", "descriptions", "boxes", "seconds", "error", "marked_image")
DEFECT_COLUMNS = ("file", "x1", "y1", "x2", "y2", "kind", "score", "regions")
# Characters a report file name may not hold: path separators, control
# characters, the "~" that marks a name made safe, bytes that are not UTF-8
# (kept by Python as lone surrogates: no link or UTF-8 table could name the
# file) and the invisible characters that reorder or hide text.
UNSAFE = re.compile(r'[\x00-\x1f\x7f-\x9f/\\~\ud800-\udfff\u061c\u200b-\u200f\u2028-\u202e\u2060-\u206f\ufeff]')


def safe_name(file):
    """A name for the files written for `file` (a target path as a pairs file
    writes it): `file` itself when it is a plain name, as in a folder run;
    otherwise its unsafe characters replaced and a hash of the whole path
    added after a "~" (which a plain name never holds), so two paths never
    share a name."""
    name = UNSAFE.sub("_", file)
    if name == file and name not in (".", "..") and len(name) <= 200:
        return name
    return "%s~%s" % (name[-150:].lstrip("."), hashlib.sha1(file.encode("utf-8", "surrogatepass")).hexdigest()[:10])


def picture_stem(file):
    """The name the pictures of `file` start with: its safe_name with the
    dot of its suffix made a "~" ("print_03.png" gives "print_03~png", so
    that its preview is "print_03~png.jpg", one suffix, and "print_03.jpg"
    beside it keeps a name of its own); a name made safe, unique by its
    hash, has its dots made "_"."""
    name = safe_name(file)
    if "~" in name:
        return name.replace(".", "_")
    root, suffix = os.path.splitext(name)
    return root + "~" + suffix[1:] if root and suffix[1:].isalnum() and len(suffix) <= 6 else name


# What the writer owns in OUT_DIR: the folders of marked images and of
# thumbnails and crops (the suffixes of the files it writes into each), and
# the report files.
IMAGE_FOLDERS = (("marked", (".png", ".jpg")), ("thumbs", (".jpg",)))
REPORT_FILES = ("report.csv", "defects.csv", "run.json", "report.html")
INDENTED_ROWS = 2000       # run.json is indented up to this many rows
EXTRA_PAGE = re.compile(r"report-(\d+)\.html")      # the pages of a report past the first
NO_PICTURES = {"marked_image": "", "thumbnail": "", "crops": [], "standard_crops": []}


class PictureWriter:
    """The image folders of OUT_DIR, held open (qlo_batch.outputs.Folder),
    into which the pictures of NG outcomes are written: by the report's
    writer, or by the worker that inspected the print when OUT_DIR is a
    folder it shares with the client."""

    def __init__(self, folder):
        self.folders = {}
        try:
            for sub, _ in IMAGE_FOLDERS:
                self.folders[sub] = folder.sub(sub)
        except BaseException:
            self.close()
            raise

    def write(self, outcome):
        """Writes the outcome's pictures; returns the row's picture fields
        (paths relative to OUT_DIR)."""
        if outcome.thumbnail_jpg is None:
            return dict(NO_PICTURES)
        name = picture_stem(outcome.file)
        # A plain name holds no "~" but the suffix's, one made safe ends in "~" and ten hex digits,
        # so "~crops" names no other file's picture.
        sheet = "" if outcome.crops_jpg is None else self._write("thumbs", name + "~crops.jpg", outcome.crops_jpg)
        return {"marked_image": "" if outcome.marked is None else
                self._write("marked", name + outcome.marked_suffix, outcome.marked),
                "thumbnail": self._write("thumbs", name + ".jpg", outcome.thumbnail_jpg),
                # each crop's box and the sheet it is on (its row), the standard's crops on the same sheet
                "crops": [(box, sheet) for box in outcome.crops] if sheet else [],
                "standard_crops": [sheet] * len(outcome.crops) if sheet else []}

    def store(self, outcome):
        """Writes the outcome's pictures and keeps their paths in it in place
        of the bytes (which then need not travel back to the client)."""
        outcome.pictures = self.write(outcome)
        outcome.marked = outcome.thumbnail_jpg = outcome.crops_jpg = None

    def _write(self, sub, name, data):
        self.folders[sub].write(name, data)
        return sub + "/" + name

    def close(self):
        for folder in self.folders.values():
            folder.close()


def csv_cells(row):
    return [csv_cell(row["file"]), row["verdict"], row["ng_count"], csv_cell("; ".join(row["descriptions"])),
            csv_cell(json.dumps(row["boxes"])), "%.4f" % row["seconds"], csv_cell(row["error"]),
            csv_cell(row["marked_image"])]


def pictures(row):
    """The paths (relative to OUT_DIR) of the images written for a row."""
    return [path for path in [row["marked_image"], row["thumbnail"]] + [crop for _, crop in row["crops"]]
            + row.get("standard_crops", []) if path]


def csv_text(rows):
    """The CSV text of rows of cells, as csv.writer writes a file."""
    text = io.StringIO()
    csv.writer(text).writerows(rows)
    return text.getvalue()


class ReportWriter:
    """Writes the report of a run into `out_dir`: each row of report.csv as
    soon as its outcome arrives (the file is a valid table after every row),
    the other report files at `finish`. It starts clean: the marked images,
    thumbnails and crops in its folders are deleted, but for those of `kept`
    rows (from an earlier run being resumed, written again at once). Every
    file is written as qlo_batch.outputs writes it: never through a symbolic
    link planted in OUT_DIR. `context` is the run's
    (qlo_batch.run_context.describe), `earlier_seconds` the time of the parts
    of a resumed run before this one."""

    def __init__(self, out_dir, settings=None, warnings=(), kept=(), context=None, earlier_seconds=0.0):
        self.out_dir = out_dir
        self.settings = settings
        self.warnings = list(warnings)      # settings that leave inspection (nearly) blind: a banner and run.json
        self.context = dict(context or {})
        self.earlier_seconds = earlier_seconds
        self.rows = list(kept)
        self.added = []                     # the rows of this part of the run
        self.started = time.monotonic()
        keep = {path for row in kept for path in pictures(row)}
        self.folder = Folder.open(out_dir)
        self.pictures, self._csv = None, None
        try:
            self.pictures = PictureWriter(self.folder)
            for sub, suffix in IMAGE_FOLDERS:
                folder = self.pictures.folders[sub]
                for name in folder.names():
                    if name.endswith(suffix) and sub + "/" + name not in keep:
                        with contextlib.suppress(IsADirectoryError):
                            folder.remove(name)
            for name in REPORT_FILES[1:]:
                self.folder.remove(name)
            self._remove_pages(1)
            self._csv = self.folder.start("report.csv", csv_text([COLUMNS, *map(csv_cells, kept)]).encode("utf-8"))
        except BaseException:
            self.close()
            raise

    def add(self, outcome):
        """Writes the outcome's pictures (unless its worker wrote them) and its
        row; returns the row. OSError (the disk full) leaves the row out of
        report.csv."""
        row = {"file": outcome.file, "verdict": outcome.verdict, "ng_count": outcome.ng_count,
               "descriptions": outcome.descriptions, "boxes": outcome.boxes, "seconds": outcome.seconds,
               "error": outcome.error, "marked_image": "", "thumbnail": "", "defects": outcome.defects,
               "width": outcome.width, "height": outcome.height, "target": os.path.abspath(outcome.target),
               "standard": os.path.abspath(outcome.standard), "crops": [], "standard_crops": [],
               "registration": outcome.registration}
        row.update(outcome.pictures if outcome.pictures is not None else self.pictures.write(outcome))
        self._csv.write(csv_text([csv_cells(row)]).encode("utf-8"))
        self.rows.append(row)
        self.added.append(row)
        return row

    def finish(self):
        """Writes report.csv again in file order, then defects.csv, run.json
        and report.html; returns the rows in file order."""
        self._csv.close()           # all its rows are written: the file is replaced whole
        self.rows.sort(key=lambda row: row["file"])
        try:
            self.folder.write("report.csv", csv_text([COLUMNS, *map(csv_cells, self.rows)]).encode("utf-8"))
            self.refresh()
        finally:
            self.close()
        return self.rows

    def refresh(self):
        """Writes defects.csv, run.json and report.html for the rows so far
        (report.csv holds them already), in file order, with the registration
        figures that are unusual for the run flagged."""
        self.rows.sort(key=lambda row: row["file"])
        for row, flags in zip(self.rows, unusual([row.get("registration") for row in self.rows])):
            if row.get("registration"):
                row["registration"] = dict(row["registration"], unusual=flags)
        self.folder.write("defects.csv", csv_text(
            [DEFECT_COLUMNS, *([csv_cell(row["file"]), *box, csv_cell(kind), "%.4f" % score, regions]
                               for row in self.rows for box, kind, score, regions in row["defects"])]
        ).encode("utf-8"))
        run = self.run_record()
        # Indented for a reader while short: Python's JSON encoder indents in Python, at about
        # 40 microseconds a row, and writes unindented text in C, ten times faster.
        indent = 1 if len(self.rows) <= INDENTED_ROWS else None
        self.folder.write("run.json", json.dumps(self._run_json(run), indent=indent).encode("ascii"))
        pages = html_pages(self.rows, self.warnings, run)
        for name, text in pages:
            self.folder.write(name, text.encode("utf-8"))
        self._remove_pages(len(pages))

    def _remove_pages(self, kept):
        """Removes the pages of the report past the first `kept` (report-N.html)."""
        for name in self.folder.names():
            match = EXTRA_PAGE.fullmatch(name)
            if match and int(match.group(1)) > kept:
                self.folder.remove(name)

    def run_record(self):
        """The run's context with its figures: those of the whole run and,
        when it resumes an earlier one, those of this part."""
        seconds = time.monotonic() - self.started
        run = dict(self.context, whole=figures(self.rows, self.earlier_seconds + seconds))
        if self.context.get("resumed") is not None:
            run["this_part"] = figures(self.added, seconds)
        return run

    def _run_json(self, run):
        chunks = pages_of(self.rows)
        page = {row["file"]: name for name, chunk in zip(page_names(len(chunks)), chunks) for row in chunk}
        files = {row["file"]: dict({key: row[key] for key in ("width", "height", "verdict", "marked_image", "target",
                                                               "standard")}, page=page[row["file"]])
                 for row in self.rows}
        errors = [{"file": row["file"], "error": row["error"]} for row in self.rows if row["verdict"] == "ERROR"]
        for row in self.rows:
            if row.get("registration"):
                files[row["file"]]["registration"] = row["registration"]
        settings = dataclasses.asdict(self.settings) if self.settings is not None else {}
        return {"run": run, "files": files, "errors": errors, "settings": settings, "warnings": self.warnings}

    def close(self):
        for opened in (self._csv, self.folder, self.pictures):
            if opened is not None:
                opened.close()
