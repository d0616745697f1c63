"""evaluation.html: the figures of an evaluation and the list of missed and
false defects, each with a small picture (the target around the box, labelled
boxes in green, found boxes in red) and links to its file's row in report.html
and to its marked image."""
import contextlib
import html
import os
from urllib.parse import quote

import cv2

from qlo_batch.labels import by_file, file_key
from qlo_batch.names import html_text
from qlo_batch.pairs import read_pairs
from qlo_batch.pictures import PICTURE_SIZE, zoom
from qlo_batch.report_page import STYLE, anchor
from qlo_batch.image_files import read_grey

PICTURES = "evaluation"        # sub-folder of OUT_DIR holding the pictures
MAX_PICTURES = 400             # per list; items past it are listed without one
GREEN, RED = (0, 170, 0), (0, 0, 255)


def target_paths(run, labels_path, pairs_path, out_dir):
    """A function from a file (as written in the labels) to a readable path of
    its target image, or None."""
    by_key = {}
    if pairs_path:
        by_key = {file_key(pair.file): pair.target for pair in read_pairs(pairs_path)}
    records = {file_key(file): record for file, record in (run or {}).get("files", {}).items()}
    labels_folder = os.path.dirname(os.path.abspath(labels_path))

    def path_of(file):
        key = file_key(file)
        record = records.get(key, {})
        for candidate in (by_key.get(key), record.get("target"), os.path.join(labels_folder, file),
                          os.path.join(out_dir, record["marked_image"]) if record.get("marked_image") else None):
            if candidate and os.path.isfile(candidate):
                return candidate
        return None
    return path_of


def picture(image, box, label_boxes, found_boxes):
    """The part of `image` around `box`, scaled to about PICTURE_SIZE, with the
    labelled boxes outlined in green and the found ones in red."""
    return zoom(image, box, ((found_boxes, RED), (label_boxes, GREEN)), PICTURE_SIZE)


def write_pictures(folder, items, prefix, path_of, label_boxes, found_boxes):
    """Writes a picture for each of the first MAX_PICTURES items into
    `folder` (OUT_DIR/evaluation, a qlo_batch.outputs.Folder), reading each
    target image once; returns the pictures' paths relative to OUT_DIR (None
    where there is none)."""
    names = [None] * len(items)
    chosen = list(enumerate(items))[:MAX_PICTURES]
    for key, group in by_file(chosen, lambda pair: pair[1]["file"]).items():
        path = path_of(group[0][1]["file"])
        try:
            image = read_grey(path) if path else None
        except (ValueError, OSError):
            continue
        if image is None:
            continue
        for index, item in group:
            crop = picture(image, item["box"], label_boxes.get(key, []), found_boxes.get(key, []))
            if crop is not None:
                name = "%s-%04d.png" % (prefix, index + 1)
                folder.write(name, cv2.imencode(".png", crop)[1].tobytes())
                names[index] = PICTURES + "/" + name
    return names


def write_page(out, result, labels, found, run, labels_path, pairs_path=None, notes=(), table=""):
    """Writes evaluation.html and its pictures into `out` (OUT_DIR, a
    qlo_batch.outputs.Folder), with the plain-text `table` of the scores at
    its top; returns the page's path."""
    folder = out.sub(PICTURES)
    try:
        for old in folder.names():
            if old.endswith(".png"):
                with contextlib.suppress(IsADirectoryError):
                    folder.remove(old)
        path_of = target_paths(run, labels_path, pairs_path, out.path)
        label_boxes = {key: [x.box for x in group] for key, group in by_file(labels).items()}
        found_boxes = {key: [x.box for x in group] for key, group in by_file(found).items()}
        records = {file_key(file): dict(record, file=file) for file, record in (run or {}).get("files", {}).items()}
        sections = []
        for title, items, prefix in (("Missed defects (labelled, not matched)", result.missed, "missed"),
                                     ("False defects (found, not matched)", result.false, "false")):
            pictures = write_pictures(folder, items, prefix, path_of, label_boxes, found_boxes)
            rows = "\n".join(_row(item, name, records.get(file_key(item["file"]), {}))
                             for item, name in zip(items, pictures))
            sections.append("<h2>%s: %d</h2>\n<table><tr><th>Picture</th><th>File</th><th>Box</th><th>Kind</th>"
                            "<th>Score</th><th>Best IoU</th><th>Marked image</th></tr>\n%s\n</table>"
                            % (html.escape(title), len(items), rows))
    finally:
        folder.close()
    out.write("evaluation.html", (
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Evaluation</title>"
        "<style>%s .g { color: #1a7f37; } .r { color: #cf222e; }</style></head><body>\n"
        "<h1>Evaluation against %s</h1>\n<pre>%s</pre>\n<p>Pictures: labelled boxes in "
        "<span class=\"g\">green</span>, found boxes in <span class=\"r\">red</span>.</p>\n%s\n"
        "</body></html>\n" % (STYLE, html.escape(os.path.basename(labels_path)), html.escape(table),
                              "\n".join(sections))).encode("utf-8"))
    return os.path.join(out.path, "evaluation.html")


def _row(item, picture_name, record):
    e = html.escape
    cell = '<img src="%s" alt="">' % quote(picture_name) if picture_name else ""
    marked = record.get("marked_image")
    link = '<a href="%s">marked</a>' % quote(marked.replace(os.sep, "/")) if marked else ""
    score = "%.3g" % item["score"] if "score" in item else ""
    if record:      # the report's rows carry the name the run wrote
        file = '<a href="%s#%s">%s</a>' % (quote(record.get("page", "report.html")), anchor(record["file"]),
                                           html_text(item["file"]))
        if record.get("verdict") == "ERROR":
            file += " (inspection failed)"
    else:
        file = html_text(item["file"]) + (" (not inspected)" if item.get("why") == "not inspected" else "")
    return ("<tr><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%.2f</td><td>%s</td></tr>"
            % (cell, file, e(str(item["box"])), e(item.get("kind") or ""), score, item["best_iou"], link))
