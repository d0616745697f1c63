"""report.html: the page an engineer works from after a run. Its title names
the run; at the top the run's warnings (when it has any), what run it is
(date and time, standard, input, settings, version, duration, yield) and its
counts (OK, NG, ERROR, run time, yield);
then one row per file, NG rows first, sortable by clicking a column heading
(a small inline script; the page loads nothing from elsewhere). Long lists of
NG regions and defects are folded to their count with the first few shown;
each NG row shows its preview (its NG regions and defects outlined), zoomed
crops of its largest defects and a link to the full-size marked image, or to
the print itself when the run wrote none. Each inspected row can be answered (its
verdict, each defect "not a defect", missed defects drawn) and the answers
saved for the tuner (qlo_batch.answers). Names are escaped and shown with
their invisible characters made visible (qlo_batch.names)."""
import hashlib
import html
import re
from urllib.parse import quote

from qlo_batch import answers
from qlo_batch.names import file_uri, html_text, shown
from qlo_batch.pictures import PICTURE_SIZE

STYLE = """
body { font-family: sans-serif; margin: 1.5em; }
table { border-collapse: collapse; }
th, td { border: 1px solid #ccc; padding: 4px 8px; vertical-align: top; text-align: left; }
.OK { color: #1a7f37; font-weight: bold; } .NG { color: #cf222e; font-weight: bold; }
.ERROR { color: #9a6700; font-weight: bold; }
ul { margin: 0; padding-left: 1.2em; } img { display: block; }
"""

PAGE_STYLE = """
.counts { display: flex; gap: 0.8em; flex-wrap: wrap; margin: 0.5em 0 1em; }
.count { border: 1px solid #ccc; border-radius: 6px; padding: 0.4em 0.9em; font-size: 1.1em; }
.count b { font-size: 1.5em; margin-right: 0.2em; }
.warnings { background: #fff8c5; border: 1px solid #d4a72c; border-radius: 6px; padding: 0.5em 1em; }
thead th { position: sticky; top: 0; background: #f6f8fa; }
tbody tr { content-visibility: auto; contain-intrinsic-size: auto 3em; }
th button { font: inherit; font-weight: bold; border: 0; background: none; cursor: pointer; padding: 0; }
th[aria-sort=ascending] button::after { content: " \\25B2"; }
th[aria-sort=descending] button::after { content: " \\25BC"; }
.ctl { font-family: monospace; font-size: 0.85em; color: #a40e26; background: #ffebe9; border-radius: 3px; }
.context { display: grid; grid-template-columns: max-content auto; gap: 0.2em 1em; margin: 0.5em 0; }
.context dt { font-weight: bold; } .context dd { margin: 0; }
.word { white-space: nowrap; }
.pics { display: flex; gap: 6px; align-items: flex-start; }
.crops { display: flex; flex-direction: column; gap: 4px; } .pair { display: flex; gap: 4px; }
.cell { width: %dpx; height: %dpx; object-fit: none; }
summary { cursor: pointer; color: #0969da; }
""" % (PICTURE_SIZE, PICTURE_SIZE) + answers.STYLE

# Sorts the table's rows by the clicked column: by each cell's data-sort
# value when it has one (numbers for counts and verdicts), else by its text;
# a second click reverses. Array sort is stable, so ties keep their order.
SCRIPT = """
document.querySelectorAll("th[data-type] button").forEach(function (button) {
  button.addEventListener("click", function () {
    var heading = button.parentNode, table = heading.closest("table"), body = table.tBodies[0];
    var column = heading.cellIndex, numeric = heading.dataset.type === "number";
    var ascending = heading.getAttribute("aria-sort") !== "ascending";
    table.querySelectorAll("th[aria-sort]").forEach(function (other) { other.removeAttribute("aria-sort"); });
    heading.setAttribute("aria-sort", ascending ? "ascending" : "descending");
    function key(row) {
      var cell = row.cells[column];
      var value = cell.hasAttribute("data-sort") ? cell.getAttribute("data-sort") : cell.textContent;
      return numeric ? parseFloat(value) : value;
    }
    var rows = Array.prototype.slice.call(body.rows);
    rows.sort(function (a, b) {
      var x = key(a), y = key(b);
      var order = numeric ? x - y : x.localeCompare(y);
      return ascending ? order : -order;
    });
    rows.forEach(function (row) { body.appendChild(row); });
  });
});
""" + answers.SCRIPT

VERDICT_ORDER = {"NG": 0, "ERROR": 1, "OK": 2}
PAGE_ROWS = 5000       # rows a page; more make more pages
LIST_FOLD = 8          # lists longer than this are folded ...
LIST_SHOWN = 5         # ... with this many items left in view
# (heading, sort type or None when the column is not sortable)
HEADINGS = (("File", "text"), ("Verdict", "number"), ("Your answer", None), ("NG regions", "number"),
            ("Defects", "number"), ("Descriptions", None), ("Seconds", "number"),
            ("Preview (NG regions in red, defects in blue) and its largest defects (the standard's left, the "
             "print's right)", None))


def anchor(file):
    """The id of a file's row in report.html (other pages link to it)."""
    return "row-" + hashlib.sha1(file.encode("utf-8", "surrogatepass")).hexdigest()[:12]


def summary(rows):
    counts = verdict_counts(rows)
    return "%d images: %d OK, %d NG, %d not inspected" % (len(rows), counts["OK"], counts["NG"], counts["ERROR"])


def verdict_counts(rows):
    return {verdict: sum(row["verdict"] == verdict for row in rows) for verdict in ("OK", "NG", "ERROR")}


def page_order(rows):
    """NG rows first, then ERROR, then OK; by file within each."""
    return sorted(rows, key=lambda row: (VERDICT_ORDER.get(row["verdict"], 3), row["file"]))


def number(value):
    """A score as a plain number, to about three significant digits."""
    return "%.*f" % (0 if abs(value) >= 100 else 1 if abs(value) >= 10 else 2, value)


def name_text(name):
    """A file name for the page, breaking only at its spaces (never inside a
    word, at a hyphen say)."""
    return " ".join('<span class="word">%s</span>' % html_text(word) for word in name.split(" "))


def duration(seconds):
    if seconds < 60:
        return "%.1f s" % seconds
    minutes, seconds = divmod(round(seconds), 60)
    return "%d min %02d s" % (minutes, seconds)


# A box [x1, y1, x2, y2] in a list item, kept on one line.
BOX = re.compile(r"\[[-\d]+(?:, [-\d]+)*\]")


def html_list(items, markup=html_text):
    """The items as a list, each made HTML by `markup` (escaped text by
    default), boxes kept on one line."""
    return "<ul>%s</ul>" % "".join("<li>%s</li>" % BOX.sub(r'<span class="word">\g<0></span>', markup(item))
                                   for item in items) if items else ""


def folded_list(items, what, markup=html_text):
    """The items as a list; past LIST_FOLD, the first LIST_SHOWN and the rest
    folded under their count."""
    if len(items) <= LIST_FOLD:
        return html_list(items, markup)
    return ("%s<details><summary>%d %s in all: show the other %d</summary>%s</details>"
            % (html_list(items[:LIST_SHOWN], markup), len(items), what, len(items) - LIST_SHOWN,
               html_list(items[LIST_SHOWN:], markup)))


def link(path):
    return html.escape(quote(path))


def cell(sheet, row, column, alt, title):
    """The picture in the cell (row, column) of a sheet of crops (see
    qlo_batch.pictures.crop_sheet), shown through a cell-sized window."""
    return ('<img src="%s" class="cell" loading="lazy" style="object-position: -%dpx -%dpx" alt="%s" title="%s">'
            % (link(sheet), column * PICTURE_SIZE, row * PICTURE_SIZE, alt, title))


def pictures(row):
    """The preview and crops of an NG row, each a link to the full-size
    marked image when the run wrote one, else to the print itself."""
    if not row["thumbnail"]:
        return ""
    if row["marked_image"]:
        full, words = link(row["marked_image"]), "full marked image"
    else:
        full, words = html.escape(file_uri(row["target"])), "the print"
    standards = row.get("standard_crops") or []
    crops = "".join('<div class="pair">%s<a href="%s">%s</a></div>'
                    % (cell(standards[index], index, 0, "the standard there", "the standard") if standards else "",
                       full, cell(sheet, index, 1 if standards else 0, "defect at [%d, %d, %d, %d]" % tuple(box),
                                  "[%d, %d, %d, %d]" % tuple(box)))
                    for index, (box, sheet) in enumerate(row.get("crops", ())))
    return ('<div class="pics"><a href="%s"><img src="%s" loading="lazy" alt="%s marked"></a><div class="crops">%s'
            '</div></div><a href="%s">%s</a>'
            % (full, link(row["thumbnail"]), html.escape(shown(row["file"])), crops, full, words))


# The Registration column, shown when a print of the run was registered.
REGISTRATION_HEADING = ("Registration", None)


def registration_cell(row):
    """What registration found for a row: turn, scale, move and brightness,
    the figures unusual for the run marked."""
    figures = row.get("registration")
    if not figures:
        return "<td></td>"
    if "problem" in figures:
        return "<td>not registered</td>"
    flagged = set(figures.get("unusual", ()))
    parts = [("angle", "turned %.2f°" % figures["angle"]), ("scale", "×%.4f" % figures["scale"]),
             ("dx", "moved (%.1f, %.1f) px" % (figures["dx"], figures["dy"])),
             ("brightness", "%.2f× as bright" % figures["brightness"])]
    text = ", ".join('<mark title="unusual for this run">%s</mark>' % part if name in flagged or
                     name == "dx" and "dy" in flagged else part for name, part in parts)
    return "<td%s>%s</td>" % (' class="unusual"' if flagged else "", text)


def html_row(row, registered=False):
    defects = ["%s %s [%d, %d, %d, %d]" % (kind, number(score), *box) for box, kind, score, _ in row["defects"]]
    data = answers.row_data(row)
    items = [html_text(defect) + (answers.defect_control(index) if data else "")   # "not a defect" boxes
             for index, defect in enumerate(defects)]
    detail = html_text(row["error"]) + folded_list(row["descriptions"], "NG regions")
    cells = [
        '<td data-sort="%s">%s</td>' % (html.escape(shown(row["file"])), name_text(row["file"])),
        '<td class="%s" data-sort="%d">%s</td>' % (html.escape(row["verdict"]), VERDICT_ORDER.get(row["verdict"], 3),
                                                   html.escape(row["verdict"])),
        answers.answer_cell(row, data),
        "<td>%d</td>" % row["ng_count"],
        '<td data-sort="%d">%s</td>' % (len(defects), folded_list(items, "defects", markup=str)),
        "<td>%s</td>" % detail,
        "<td>%.3f</td>" % row["seconds"],
        "<td>%s</td>" % pictures(row),
    ] + ([registration_cell(row)] if registered else [])
    return '<tr id="%s">%s</tr>' % (anchor(row["file"]), "".join(cells))


def heading(title, kind):
    if kind is None:
        return "<th>%s</th>" % html.escape(title)
    sort = ' aria-sort="ascending"' if title == "Verdict" else ""
    return '<th data-type="%s"%s><button type="button">%s</button></th>' % (kind, sort, html.escape(title))


def share(part):
    return "%.1f %%" % (100 * part)


def settings_text(run):
    changed = ", ".join("%s = %s" % (key, value) for key, value in run.get("settings_changed", {}).items())
    where = run.get("settings_file") or "none given"
    return "%s (%s)" % (where, "different from the defaults: " + changed if changed else "all defaults")


def duration_text(run):
    whole, part = run["whole"], run.get("this_part")
    if part is None:
        return duration(whole["seconds"])
    return "%s in all; this part %s (%d files, resuming a run that had %d)" % (
        duration(whole["seconds"]), duration(part["seconds"]), part["files"], run["resumed"])


def yield_text(figures):
    inspected = figures["OK"] + figures["NG"]
    if figures["yield"] is None:
        return "no file inspected"
    return "%s OK (%d of the %d files inspected; %d could not be)" % (share(figures["yield"]), figures["OK"],
                                                                       inspected, figures["ERROR"])


def when(stamp):
    """An ISO date and time as the page shows it: "2025-03-14 09:26:53 +01:00"."""
    day, _, rest = str(stamp).partition("T")
    return "%s %s %s" % (day, rest[:8], rest[8:]) if rest else day


def context_box(run):
    """The run's context as a list of terms and their values."""
    items = [("Started", when(run.get("first_started") or run.get("started"))),
             ("Standard", run["standard"] if run.get("standard") else "each pair's own (see the pairs file)"),
             ("Pairs file" if run.get("input_kind") == "pairs file" else "Input folder", run.get("input")),
             ("Settings", settings_text(run)),
             ("Version", "qlo_cv %s" % run.get("version")),
             ("Duration", duration_text(run)),
             ("Yield", yield_text(run["whole"]))]
    if run.get("this_part") is not None:
        items.insert(1, ("This part started", when(run.get("started"))))
    return '<dl class="context" id="context">%s</dl>\n' % "".join(
        "<dt>%s</dt><dd>%s</dd>" % (html.escape(term), html_text(str(value))) for term, value in items)


def page_names(count):
    """The file names of a report of `count` pages: report.html, then
    report-2.html, report-3.html, ..."""
    return ["report.html"] + ["report-%d.html" % number for number in range(2, count + 1)]


def pages_of(rows):
    """The rows of each page, in page order (NG first): PAGE_ROWS a page."""
    ordered = page_order(rows)
    return [ordered[start:start + PAGE_ROWS] for start in range(0, len(ordered), PAGE_ROWS)] or [[]]


def html_page(rows, warnings=(), run=None):
    """The first page of the report (the whole report up to PAGE_ROWS rows)."""
    return html_pages(rows, warnings, run)[0][1]


def html_pages(rows, warnings=(), run=None):
    """The pages for the report's rows (in any order), as (file name, text):
    one up to PAGE_ROWS rows, more beyond (a browser opens a page of a few
    thousand rows at once, not one of a hundred thousand), each with the
    whole run's head and links to the others. `warnings` (texts) go in a
    banner at the top, `run` is the run's context and figures (run.json's
    "run" entry; qlo_batch.report.ReportWriter.run_record), shown below it
    and naming the page."""
    counts = verdict_counts(rows)
    banner = ""
    if warnings:
        banner = ('<div class="warnings" role="alert"><strong>Warnings</strong>%s</div>\n'
                  % html_list([str(w) for w in warnings]))
    tiles = ['<span class="count %s"><b>%d</b> %s</span>' % (verdict, counts[verdict], verdict)
             for verdict in ("NG", "ERROR", "OK")]
    title, context = "Inspection report", ""
    if run is not None:
        title = run.get("title") or title
        context = context_box(run)
        tiles.append('<span class="count"><b>%s</b> run time</span>' % duration(run["whole"]["seconds"]))
        if run["whole"]["yield"] is not None:
            tiles.append('<span class="count"><b>%s</b> yield</span>' % share(run["whole"]["yield"]))
    registered = any(row.get("registration") for row in rows)
    head = ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>%s</title>"
            "<style>%s%s</style></head><body>\n<h1>%s</h1>\n%s%s<div class=\"counts\">%s</div>\n"
            % (html.escape(shown(title)), STYLE, PAGE_STYLE, html_text(title), banner, context, "".join(tiles)))
    tools, said = answers.toolbar(rows), html.escape(summary(rows))
    headings = "".join(heading(name, kind) for name, kind in HEADINGS + ((REGISTRATION_HEADING,) if registered
                                                                          else ()))
    chunks = pages_of(rows)
    names = page_names(len(chunks))
    pages = []
    for number, chunk in enumerate(chunks):
        where = ""
        if len(chunks) > 1:
            first = number * PAGE_ROWS
            where = "Rows %d to %d of %d; pages: %s. " % (
                first + 1, first + len(chunk), len(rows), " ".join(
                    "<b>%d</b>" % (other + 1) if other == number else '<a href="%s">%d</a>' % (name, other + 1)
                    for other, name in enumerate(names)))
        body = "\n".join(html_row(row, registered) for row in chunk)
        pages.append((names[number], (
            "%s<p id=\"summary\">%s. %sNG rows first; click a column heading to sort %sby it.</p>\n"
            "%s<table id=\"report\">\n<thead><tr>%s</tr></thead>\n<tbody>\n%s\n</tbody>\n</table>\n"
            "<script>%s</script>\n</body></html>\n"
            % (head, said, where, "this page " if len(chunks) > 1 else "", tools,
               headings, body, SCRIPT))))
    return pages
