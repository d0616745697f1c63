"""Names in the reports: file names that are not UTF-8, look like spreadsheet
formulas, hold HTML or invisible characters come through report.csv,
defects.csv, run.json and report.html, one row each, escaped; and the page's
layout (counts, warnings, NG first, folded lists, crops)."""
import csv
import html
import json
import os
import re
from urllib.parse import unquote

import cv2
import pytest

from qlo_batch import Outcome, Settings
from qlo_batch.evaluate import read_found
from qlo_batch.names import csv_cell, from_csv_cell, html_text, readable, shown
from qlo_batch.report import ReportWriter, safe_name
from report_helpers import HOSTILE, hostile_folder_run

SETTINGS = Settings(max_shift=2, threshold=40, judge_parameter=3)

@pytest.mark.parametrize("text, cell", [
    ("=1+2", "'=1+2"), ("+1", "'+1"), ("-1", "'-1"), ("@A1", "'@A1"), ("\tx", "'\tx"), ("\rx", "'\rx"),
    ("'=1", "''=1"),                  # already led by an apostrophe: one more, so reading back is exact
    ("'quoted", "'quoted"), ("a=1", "a=1"), ("\nx", "\nx"), ("", ""), (" =1", " =1"),
    ("caf\udce9", "caf\\xe9"),        # a byte that is not UTF-8
    ("-caf\udce9", "'-caf\\xe9"),
])
def test_csv_cells_neutralise_formulas_and_read_back(text, cell):
    assert csv_cell(text) == cell
    assert from_csv_cell(cell) == readable(text)
    cell.encode("utf-8")


@pytest.mark.parametrize("text, page", [
    ("a\u202eb", 'a<span class="ctl">&lt;U+202E&gt;</span>b'),
    ("<b>&\"'", "&lt;b&gt;&amp;&quot;&#x27;"),
    ("a\x00\x7f\x9b", "a" + "".join('<span class="ctl">&lt;U+%04X&gt;</span>' % c for c in (0, 0x7F, 0x9B))),
    ("\u2028\u2066\ufeff", "".join('<span class="ctl">&lt;U+%04X&gt;</span>' % c for c in (0x2028, 0x2066, 0xFEFF))),
    ("caf\udce9", 'caf<span class="ctl">\\xe9</span>'),
    ("Grüße 東京 é", "Grüße 東京 é"),     # printable text as it is
])
def test_page_text_escapes_and_shows_hidden_characters(text, page):
    assert html_text(text) == page


def test_names_of_written_files_are_plain_utf8_and_unique():
    hostile = ["caf\udce9.png", "caf\udcc3.png", "a\u202eb.png", "a\u200bb.png", "a\x85b.png", "a\ufeffb.png"]
    made = [safe_name(name) for name in hostile]
    assert all(name.isprintable() and "~" in name for name in made)
    assert len(set(made + ["caf_.png", "a_b.png"])) == len(made) + 2
    "".join(made).encode("utf-8")
    assert [safe_name(name) for name in ("caf_.png", "a_b.png", "Grüße.png")] == ["caf_.png", "a_b.png", "Grüße.png"]


@pytest.fixture
def hostile_run(tmp_path):
    return hostile_folder_run(tmp_path, SETTINGS)


def test_hostile_names_come_through_every_report(hostile_run):
    rows, out = hostile_run
    names = {os.fsdecode(name): texts for name, texts in HOSTILE.items()}
    assert sorted(row["file"] for row in rows) == sorted(names) and all(row["verdict"] != "ERROR" for row in rows)
    with open(out / "report.csv", newline="", encoding="utf-8") as f:
        table = list(csv.DictReader(f))
    assert sorted(r["file"] for r in table) == sorted(csv_text for csv_text, _ in names.values())
    with open(out / "defects.csv", newline="", encoding="utf-8") as f:
        defect_files = {r["file"] for r in csv.DictReader(f)}
    assert defect_files == {names[row["file"]][0] for row in rows if row["verdict"] == "NG"}
    assert {found.file for found in read_found(str(out / "defects.csv"))} == \
           {readable(row["file"]) for row in rows if row["verdict"] == "NG"}
    with open(out / "run.json", encoding="utf-8") as f:
        assert set(json.load(f)["files"]) == set(names)        # exact: the names find the files again
    page = (out / "report.html").read_text(encoding="utf-8")
    assert "\u202e" not in page and "\u200b" not in page and "<img src=x" not in page
    row_ids = re.findall(r'<tr id="(row-[0-9a-f]{12})">', page)
    assert len(row_ids) == len(set(row_ids)) == len(names)
    for file, (_, page_text) in names.items():
        cells = re.findall(r'<td data-sort="([^"]*)">', page)
        assert cells.count(html.escape(page_text)) == 1, file
        assert shown(file) == page_text
    for target in re.findall(r'(?:src|href)="([^"#]+)"', page):
        assert (out / unquote(html.unescape(target))).is_file(), target


def outcome(file, verdict, regions=0, defects=0):
    boxes = [[i, 0, i + 1, 1] for i in range(regions)]
    return Outcome(file, verdict, boxes, ["black spot: 1, %s" % box for box in boxes],
                   defects=[([0, 0, 10 + i, 10], "island", 1.0, 1) for i in range(defects)],
                   error="ValueError: not a readable image" if verdict == "ERROR" else "")


@pytest.mark.parametrize("regions, shown_items, folded", [(0, 0, None), (8, 8, None), (9, 5, 4), (433, 5, 428)])
def test_long_region_lists_fold_to_their_count(tmp_path, regions, shown_items, folded):
    writer = ReportWriter(str(tmp_path))
    writer.add(outcome("a.png", "NG" if regions else "OK", regions))
    writer.finish()
    page = (tmp_path / "report.html").read_text()
    cell = re.search(r"<td><ul>.*?</td>|<td></td>", page.split("<tbody>")[1]).group()
    head = cell.split("<details>")[0]
    assert head.count("<li>") == shown_items
    if folded is None:
        assert "<details>" not in cell
    else:
        assert "%d NG regions in all: show the other %d</summary>" % (regions, folded) in cell
        assert cell.count("<li>") == regions         # every region is still on the page


def test_page_has_counts_warnings_and_ng_rows_first(tmp_path):
    writer = ReportWriter(str(tmp_path))
    for file, verdict in [("a_ok.png", "OK"), ("b_err.png", "ERROR"), ("c_ng.png", "NG"), ("d_ok.png", "OK"),
                          ("e_ng.png", "NG")]:
        writer.add(outcome(file, verdict, 2 if verdict == "NG" else 0))
    writer.warnings.append("3 files <skipped>")
    rows = writer.finish()
    assert [row["file"] for row in rows] == ["a_ok.png", "b_err.png", "c_ng.png", "d_ok.png", "e_ng.png"]
    page = (tmp_path / "report.html").read_text()
    order = re.findall(r'<tr id="row-\w+"><td data-sort="([^"]+)"', page)
    assert order == ["c_ng.png", "e_ng.png", "b_err.png", "a_ok.png", "d_ok.png"]
    tiles = dict((v, int(n)) for n, v in re.findall(r'<span class="count \w+"><b>(\d+)</b> (\w+)</span>', page))
    assert tiles == {"NG": 2, "ERROR": 1, "OK": 2} and "run time</span>" in page
    assert page.index('class="warnings"') < page.index("<table") and "3 files &lt;skipped&gt;" in page
    with open(tmp_path / "run.json") as f:
        assert json.load(f)["warnings"] == ["3 files <skipped>"]


def test_ng_rows_show_crops_of_their_largest_defects(hostile_run):
    rows, out = hostile_run
    for row in rows:
        assert len(row["crops"]) == (1 if row["verdict"] == "NG" else 0)
        for box, path in row["crops"]:
            picture = cv2.imread(str(out / path))
            assert max(picture.shape[:2]) == 128
            assert (picture[..., 0].astype(int) - picture[..., 2] > 100).any()     # the defect outlined in blue
