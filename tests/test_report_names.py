"""Names in the reports: file names that are not UTF-8, look like spreadsheet
formulas, hold HTML or invisible characters come through report.csv,
defects.csv, run.json and report.html, one row each, escaped; and the page's
layout (counts, warnings, NG first, folded lists)."""
import csv
import html
import json
import os
import re
from urllib.parse import unquote, unquote_to_bytes

import pytest

from qlo_batch import Outcome
from qlo_batch.evaluate import read_found
from qlo_batch.names import csv_cell, from_csv_cell, html_text, readable
from qlo_batch.report import ReportWriter
from report_helpers import HOSTILE, hostile_folder_run


@pytest.mark.parametrize("text, cell", [
    ("=1+2", "'=1+2"), ("+1", "'+1"), ("-1", "'-1"), ("@A1", "'@A1"), ("\tx", "'\tx"), ("\rx", "'\rx"),
    ("'=1", "''=1"),                  # already led by an apostrophe: one more, so reading back is exact
    ("'quoted", "'quoted"), ("a=1", "a=1"), ("\nx", "\nx"), ("", ""), ("caf\udce9", "caf\\xe9"),
])
def test_csv_cells_neutralise_formulas_and_read_back(text, cell):
    assert csv_cell(text) == cell and from_csv_cell(cell) == readable(text)


@pytest.mark.parametrize("text, page", [
    ("a\u202eb", 'a<span class="ctl">&lt;U+202E&gt;</span>b'),
    ("<b>&\"'", "&lt;b&gt;&amp;&quot;&#x27;"),
    ("\x00\x7f\x9b\u200b\u2028\u2066\ufeff", "".join('<span class="ctl">&lt;U+%04X&gt;</span>' % c
                                                     for c in (0, 0x7F, 0x9B, 0x200B, 0x2028, 0x2066, 0xFEFF))),
    ("caf\udce9", 'caf<span class="ctl">\\xe9</span>'),
    ("Grüße 東京", "Grüße 東京"),
])
def test_page_text_escapes_and_shows_hidden_characters(text, page):
    assert html_text(text) == page


def test_hostile_names_come_through_every_report(tmp_path):
    rows, out = hostile_folder_run(tmp_path)
    names = {name.decode("utf-8", "surrogateescape"): texts for name, texts in HOSTILE.items()}
    assert sorted(row["file"] for row in rows) == sorted(names) and all(row["verdict"] != "ERROR" for row in rows)
    ng = [row["file"] for row in rows if row["verdict"] == "NG"]
    with open(out / "report.csv", newline="", encoding="utf-8") as f:
        assert sorted(r["file"] for r in csv.DictReader(f)) == sorted(text for text, _ in names.values())
    with open(out / "defects.csv", newline="", encoding="utf-8") as f:
        assert {r["file"] for r in csv.DictReader(f)} == {names[file][0] for file in ng}
    assert {found.file for found in read_found(str(out / "defects.csv"))} == {readable(file) for file in ng}
    with open(out / "run.json", encoding="utf-8") as f:
        assert set(json.load(f)["files"]) == set(names)        # exact: the names find the files again
    page = (out / "report.html").read_text(encoding="utf-8")
    assert "\u202e" not in page and "<img src=x" not in page
    assert sorted(re.findall(r'<tr id="row-\w+"><td data-sort="([^"]*)">', page)) == \
           sorted(html.escape(text) for _, text in names.values())
    for target in re.findall(r'(?:src|href)="([^"#]+)"', page):
        target = html.unescape(target)
        if target.startswith("file://"):            # a print itself, where the run wrote no marked image
            assert os.path.isfile(os.fsdecode(unquote_to_bytes(target[len("file://"):]))), target
        else:
            assert (out / unquote(target)).is_file(), target
    assert all(len(row["crops"]) == (row["verdict"] == "NG") for row in rows)


def test_page_has_counts_warnings_ng_rows_first_and_folded_lists(tmp_path):
    writer = ReportWriter(str(tmp_path))
    for file, verdict, regions in [("a.png", "OK", 0), ("b.png", "ERROR", 0), ("c.png", "NG", 433), ("d.png", "NG", 8)]:
        boxes = [[i, 0, i + 1, 1] for i in range(regions)]
        writer.add(Outcome(file, verdict, boxes, ["black spot: 1, %s" % box for box in boxes]))
    writer.warnings.append("3 files <skipped>")
    writer.finish()
    page = (tmp_path / "report.html").read_text()
    assert re.findall(r'<tr id="row-\w+"><td data-sort="([^"]+)"', page) == ["c.png", "d.png", "b.png", "a.png"]
    tiles = {verdict: int(n) for n, verdict in re.findall(r'<span class="count \w+"><b>(\d+)</b> (\w+)</span>', page)}
    assert tiles == {"NG": 2, "ERROR": 1, "OK": 1} and "run time</span>" in page
    assert page.index('class="warnings"') < page.index("<table") and "3 files &lt;skipped&gt;" in page
    c_row, d_row = page.split("<tbody>")[1].split("</tr>")[:2]
    assert c_row.split("<details>")[0].count("<li>") == 5 and c_row.count("<li>") == 433
    assert "433 NG regions in all: show the other 428</summary>" in c_row
    assert "<details>" not in d_row and d_row.count("<li>") == 8
