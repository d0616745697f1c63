"""The report of a batch run, written as outcomes arrive: the marked image and
thumbnail of every NG print at once (so the image bytes are not kept), then a
CSV table and an HTML page, both in file order."""
import csv
import hashlib
import html
import json
import os
from urllib.parse import quote

COLUMNS = ("file", "verdict", "ng_count", "descriptions", "boxes", "seconds", "error", "marked_image")

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


class ReportWriter:
    def __init__(self, out_dir):
        self.out_dir = out_dir
        self.rows = []
        for sub in ("marked", "thumbs"):
            os.makedirs(os.path.join(out_dir, sub), exist_ok=True)

    def add(self, outcome):
        """Writes the outcome's images and keeps its row; returns the row."""
        row = {"file": outcome.file, "verdict": outcome.verdict, "ng_count": outcome.ng_count,
               "descriptions": outcome.descriptions, "boxes": outcome.boxes, "seconds": outcome.seconds,
               "error": outcome.error, "marked_image": "", "thumbnail": ""}
        if outcome.marked_png is not None:
            row["marked_image"] = self._write("marked", outcome.file + ".png", outcome.marked_png)
            row["thumbnail"] = self._write("thumbs", outcome.file + ".jpg", outcome.thumbnail_jpg)
        self.rows.append(row)
        return row

    def _write(self, sub, name, data):
        relative = sub + "/" + name
        with open(os.path.join(self.out_dir, sub, name), "wb") as f:
            f.write(data)
        return relative

    def finish(self):
        """Writes report.csv and report.html; returns the rows in file order."""
        self.rows.sort(key=lambda row: row["file"])
        self._write_csv(os.path.join(self.out_dir, "report.csv"))
        with open(os.path.join(self.out_dir, "report.html"), "w", encoding="utf-8") as f:
            f.write(html_page(self.rows))
        return self.rows

    def _write_csv(self, path):
        with open(path, "w", newline="", encoding="utf-8") as f:
            writer = csv.writer(f)
            writer.writerow(COLUMNS)
            for row in self.rows:
                writer.writerow([row["file"], row["verdict"], row["ng_count"], "; ".join(row["descriptions"]),
                                 json.dumps(row["boxes"]), "%.4f" % row["seconds"], row["error"],
                                 row["marked_image"]])


def summary(rows):
    counts = {verdict: sum(row["verdict"] == verdict for row in rows) for verdict in ("OK", "NG", "ERROR")}
    return "%d images: %d OK, %d NG, %d not inspected" % (len(rows), counts["OK"], counts["NG"], counts["ERROR"])


def html_row(row):
    e = html.escape
    if row["error"]:
        detail = e(row["error"])
    else:
        detail = "<ul>%s</ul>" % "".join("<li>%s</li>" % e(d) for d in row["descriptions"]) if row["descriptions"] else ""
    picture = ""
    if row["thumbnail"]:
        picture = '<a href="%s"><img src="%s" alt="%s marked"></a>' % (
            e(quote(row["marked_image"])), e(quote(row["thumbnail"])), e(row["file"]))
    return ('<tr id="%s"><td>%s</td><td class="%s">%s</td><td>%d</td><td>%s</td><td>%.3f</td><td>%s</td></tr>'
            % (anchor(row["file"]), e(row["file"]), row["verdict"], row["verdict"], row["ng_count"], detail, row["seconds"], picture))


def html_page(rows):
    body = "\n".join(html_row(row) for row in rows)
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Inspection report</title>"
            "<style>%s</style></head><body>\n<h1>Inspection report</h1>\n<p>%s</p>\n<table>\n"
            "<tr><th>File</th><th>Verdict</th><th>NG regions</th><th>Descriptions</th><th>Seconds</th>"
            "<th>Marked image</th></tr>\n%s\n</table>\n</body></html>\n" % (STYLE, html.escape(summary(rows)), body))
