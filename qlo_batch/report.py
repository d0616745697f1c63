"""The report of a batch run, written as outcomes arrive: the marked image,
thumbnail and defect crops of every NG print at once (so the image bytes are
not kept) and its row of report.csv, then, at the end, in file order, the CSV
tables of prints and of defects, run.json (image sizes and paths, for the
commands that read a run) and the HTML page (qlo_batch.report_page). Text
cells of the tables are written as qlo_batch.names.csv_cell makes them: names
that are not UTF-8 escaped, formula-like text led by an apostrophe."""
import contextlib
import csv
import dataclasses
import hashlib
import json
import os
import re
import time

from qlo_batch.names import csv_cell
from qlo_batch.registration import unusual
from qlo_batch.report_page import STYLE, anchor, html_page, summary  # noqa: F401 (other pages use them)

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


# What the writer owns in OUT_DIR: the folders of marked images and of
# thumbnails and crops (the kind of file it writes into each), and the report
# files.
IMAGE_FOLDERS = (("marked", ".png"), ("thumbs", ".jpg"))
REPORT_FILES = ("report.csv", "defects.csv", "run.json", "report.html")


def csv_cells(row):
    return [csv_cell(row["file"]), row["verdict"], row["ng_count"], csv_cell("; ".join(row["descriptions"])),
            csv_cell(json.dumps(row["boxes"])), "%.4f" % row["seconds"], csv_cell(row["error"]),
            csv_cell(row["marked_image"])]


def pictures(row):
    """The paths (relative to OUT_DIR) of the images written for a row."""
    return [path for path in [row["marked_image"], row["thumbnail"]] + [crop for _, crop in row["crops"]] if path]


def replace_file(path, write, mode="w", **options):
    """Writes a file through a temporary one beside it, so a reader (or an
    interrupted run) never sees it half written."""
    temporary = os.path.join(os.path.dirname(path), "." + os.path.basename(path) + ".tmp")
    with open(temporary, mode, **options) as f:
        write(f)
    os.replace(temporary, path)


class ReportWriter:
    """Writes the report of a run into `out_dir`: each row of report.csv as
    soon as its outcome arrives (the file is a valid table after every row),
    the other report files at `finish`. It starts clean: the marked images,
    thumbnails and crops in its folders are deleted, but for those of `kept`
    rows (from an earlier run being resumed, written again at once)."""

    def __init__(self, out_dir, settings=None, warnings=(), kept=()):
        self.out_dir = out_dir
        self.settings = settings
        self.warnings = list(warnings)      # settings that leave inspection (nearly) blind: a banner and run.json
        self.rows = []
        self.started = time.monotonic()
        keep = {path for row in kept for path in pictures(row)}
        for sub, suffix in IMAGE_FOLDERS:
            folder = os.path.join(out_dir, sub)
            os.makedirs(folder, exist_ok=True)
            for name in os.listdir(folder):
                if name.endswith(suffix) and sub + "/" + name not in keep and not os.path.isdir(
                        os.path.join(folder, name)):
                    os.remove(os.path.join(folder, name))
        for name in REPORT_FILES[1:]:
            with contextlib.suppress(FileNotFoundError):
                os.remove(os.path.join(out_dir, name))
        self._csv = open(os.path.join(out_dir, "report.csv"), "w", newline="", encoding="utf-8")
        self._table = csv.writer(self._csv)
        self._table.writerow(COLUMNS)
        for row in kept:
            self._keep(row)
        self._csv.flush()

    def add(self, outcome):
        """Writes the outcome's images and its row; returns the row."""
        row = {"file": outcome.file, "verdict": outcome.verdict, "ng_count": outcome.ng_count,
               "descriptions": outcome.descriptions, "boxes": outcome.boxes, "seconds": outcome.seconds,
               "error": outcome.error, "marked_image": "", "thumbnail": "", "defects": outcome.defects,
               "width": outcome.width, "height": outcome.height, "target": os.path.abspath(outcome.target),
               "standard": os.path.abspath(outcome.standard), "crops": [], "registration": outcome.registration}
        if outcome.marked_png is not None:
            name = safe_name(outcome.file)
            row["marked_image"] = self._write("marked", name + ".png", outcome.marked_png)
            row["thumbnail"] = self._write("thumbs", name + ".jpg", outcome.thumbnail_jpg)
            # A plain name holds no "~" and one made safe ends in "~" and ten hex digits, so "~crop"
            # names no other file's picture.
            row["crops"] = [(box, self._write("thumbs", "%s~crop%d.jpg" % (name, number), data))
                            for number, (box, data) in enumerate(outcome.crops, 1)]
        self._keep(row)
        self._csv.flush()
        return row

    def _keep(self, row):
        self.rows.append(row)
        self._table.writerow(csv_cells(row))

    def _write(self, sub, name, data):
        relative = sub + "/" + name
        with open(os.path.join(self.out_dir, sub, name), "wb") as f:
            f.write(data)
        return relative

    def finish(self):
        """Writes report.csv again in file order, then defects.csv, run.json
        and report.html; returns the rows in file order."""
        self._csv.close()
        self.rows.sort(key=lambda row: row["file"])
        for row, flags in zip(self.rows, unusual([row.get("registration") for row in self.rows])):
            if row.get("registration"):
                row["registration"] = dict(row["registration"], unusual=flags)
        self._write_csv(os.path.join(self.out_dir, "report.csv"))
        self._write_defects(os.path.join(self.out_dir, "defects.csv"))
        self._write_run(os.path.join(self.out_dir, "run.json"))
        page = html_page(self.rows, self.warnings, time.monotonic() - self.started)
        replace_file(os.path.join(self.out_dir, "report.html"), lambda f: f.write(page), encoding="utf-8")
        return self.rows

    def _write_csv(self, path):
        def write(f):
            writer = csv.writer(f)
            writer.writerow(COLUMNS)
            for row in self.rows:
                writer.writerow(csv_cells(row))
        replace_file(path, write, newline="", encoding="utf-8")

    def _write_defects(self, path):
        def write(f):
            writer = csv.writer(f)
            writer.writerow(DEFECT_COLUMNS)
            for row in self.rows:
                for box, kind, score, regions in row["defects"]:
                    writer.writerow([csv_cell(row["file"]), *box, csv_cell(kind), "%.4f" % score, regions])
        replace_file(path, write, newline="", encoding="utf-8")

    def _write_run(self, path):
        files = {row["file"]: {key: row[key] for key in ("width", "height", "verdict", "marked_image", "target",
                                                           "standard")} for row in self.rows}
        for row in self.rows:
            if row.get("registration"):
                files[row["file"]]["registration"] = row["registration"]
        settings = dataclasses.asdict(self.settings) if self.settings is not None else {}
        replace_file(path, lambda f: json.dump({"files": files, "settings": settings, "warnings": self.warnings}, f,
                                               indent=1), encoding="utf-8")

