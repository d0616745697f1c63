"""The report of a batch run, written as outcomes arrive: the marked image and
thumbnail of every NG print at once (so the image bytes are not kept), then, in
file order, the CSV tables of prints and of defects, run.json (image sizes and
paths, for the commands that read a run) and an HTML page."""
import csv
import dataclasses
import hashlib
import html
import json
import os
import re
from urllib.parse import quote

COLUMNS = ("file", "verdict", "ng_count", "descriptions", "boxes", "seconds", "error", "marked_image")
DEFECT_COLUMNS = ("file", "x1", "y1", "x2", "y2", "kind", "score", "regions")
# Characters a report file name may not hold: path separators, control
# characters, and the "~" that marks a name made safe.
UNSAFE = re.compile(r'[\x00-\x1f/\\~]')

STYLE = """
body { font-family: sans-serif; margin: 1.5em; }
table { border-collapse: collapse; }
th, td { border: 1px solid #ccc; padding: 4px 8px; vertical-align: top; text-align: left; }
.OK { color: #1a7f37; font-weight: bold; } .NG { color: #cf222e; font-weight: bold; }
.ERROR { color: #9a6700; font-weight: bold; }
ul { margin: 0; padding-left: 1.2em; } img { display: block; }
"""


def anchor(file):
    """The id of a file's row in report.html (other pages link to it)."""
    return "row-" + hashlib.sha1(file.encode("utf-8")).hexdigest()[:12]


def safe_name(file):
    """A name for the files written for `file` (a target path as a pairs file
    writes it): `file` itself when it is a plain name, as in a folder run;
    otherwise its unsafe characters replaced and a hash of the whole path
    added after a "~" (which a plain name never holds), so two paths never
    share a name."""
    name = UNSAFE.sub("_", file)
    if name == file and name not in (".", "..") and len(name) <= 200:
        return name
    return "%s~%s" % (name[-150:].lstrip("."), hashlib.sha1(file.encode("utf-8")).hexdigest()[:10])


class ReportWriter:
    def __init__(self, out_dir, settings=None, warnings=()):
        self.out_dir = out_dir
        self.settings = settings
        self.warnings = list(warnings)      # settings that leave inspection (nearly) blind
        self.rows = []
        for sub in ("marked", "thumbs"):
            os.makedirs(os.path.join(out_dir, sub), exist_ok=True)

    def add(self, outcome):
        """Writes the outcome's images and keeps its row; returns the row."""
        row = {"file": outcome.file, "verdict": outcome.verdict, "ng_count": outcome.ng_count,
               "descriptions": outcome.descriptions, "boxes": outcome.boxes, "seconds": outcome.seconds,
               "error": outcome.error, "marked_image": "", "thumbnail": "", "defects": outcome.defects,
               "width": outcome.width, "height": outcome.height, "target": os.path.abspath(outcome.target),
               "standard": os.path.abspath(outcome.standard)}
        if outcome.marked_png is not None:
            name = safe_name(outcome.file)
            row["marked_image"] = self._write("marked", name + ".png", outcome.marked_png)
            row["thumbnail"] = self._write("thumbs", name + ".jpg", outcome.thumbnail_jpg)
        self.rows.append(row)
        return row

    def _write(self, sub, name, data):
        relative = sub + "/" + name
        with open(os.path.join(self.out_dir, sub, name), "wb") as f:
            f.write(data)
        return relative

    def finish(self):
        """Writes report.csv, defects.csv, run.json and report.html; returns the
        rows in file order."""
        self.rows.sort(key=lambda row: row["file"])
        self._write_csv(os.path.join(self.out_dir, "report.csv"))
        self._write_defects(os.path.join(self.out_dir, "defects.csv"))
        self._write_run(os.path.join(self.out_dir, "run.json"))
        with open(os.path.join(self.out_dir, "report.html"), "w", encoding="utf-8") as f:
            f.write(html_page(self.rows, self.warnings))
        return self.rows

    def _write_csv(self, path):
        with open(path, "w", newline="", encoding="utf-8") as f:
            writer = csv.writer(f)
            writer.writerow(COLUMNS)
            for row in self.rows:
                writer.writerow([row["file"], row["verdict"], row["ng_count"], "; ".join(row["descriptions"]),
                                 json.dumps(row["boxes"]), "%.4f" % row["seconds"], row["error"],
                                 row["marked_image"]])

    def _write_defects(self, path):
        with open(path, "w", newline="", encoding="utf-8") as f:
            writer = csv.writer(f)
            writer.writerow(DEFECT_COLUMNS)
            for row in self.rows:
                for box, kind, score, regions in row["defects"]:
                    writer.writerow([row["file"], *box, kind, "%.4f" % score, regions])

    def _write_run(self, path):
        files = {row["file"]: {key: row[key] for key in ("width", "height", "verdict", "marked_image", "target",
                                                           "standard")} for row in self.rows}
        settings = dataclasses.asdict(self.settings) if self.settings is not None else {}
        with open(path, "w", encoding="utf-8") as f:
            json.dump({"files": files, "settings": settings, "warnings": self.warnings}, f, indent=1)


def summary(rows):
    counts = {verdict: sum(row["verdict"] == verdict for row in rows) for verdict in ("OK", "NG", "ERROR")}
    return "%d images: %d OK, %d NG, %d not inspected" % (len(rows), counts["OK"], counts["NG"], counts["ERROR"])


def html_list(items):
    return "<ul>%s</ul>" % "".join("<li>%s</li>" % html.escape(item) for item in items) if items else ""


def html_row(row):
    e = html.escape
    detail = e(row["error"]) + html_list(row["descriptions"])
    defects = html_list(["%s %.3g [%d, %d, %d, %d]" % (kind, score, *box) for box, kind, score, _ in row["defects"]])
    picture = ""
    if row["thumbnail"]:
        picture = '<a href="%s"><img src="%s" alt="%s marked"></a>' % (
            e(quote(row["marked_image"])), e(quote(row["thumbnail"])), e(row["file"]))
    return ('<tr id="%s"><td>%s</td><td class="%s">%s</td><td>%d</td><td>%s</td><td>%s</td><td>%.3f</td><td>%s</td>'
            '</tr>' % (anchor(row["file"]), e(row["file"]), row["verdict"], row["verdict"], row["ng_count"], detail,
                       defects, row["seconds"], picture))


def warning_banner(warnings):
    """The warnings of the run, one line each, for the top of the page (styled
    in place, so the banner does not depend on the page's style sheet)."""
    return "".join('<p class="warning" role="alert" style="background:#fff8c5;border:1px solid #d4a72c;'
                   'padding:6px 10px">Warning: %s</p>\n' % html.escape(w) for w in warnings)


def html_page(rows, warnings=()):
    body = "\n".join(html_row(row) for row in rows)
    page = ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Inspection report</title>"
            "<style>%s</style></head><body>\n<h1>Inspection report</h1>\n<p>%s</p>\n<table>\n"
            "<tr><th>File</th><th>Verdict</th><th>NG regions</th><th>Descriptions</th><th>Defects</th>"
            "<th>Seconds</th><th>Marked image (defects in blue)</th></tr>\n%s\n</table>\n</body></html>\n"
            % (STYLE, html.escape(summary(rows)), body))
    return page.replace("<body>\n", "<body>\n" + warning_banner(warnings), 1)
