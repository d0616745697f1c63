"""The data report.html carries for answering verdicts: each answerable row's
paths, size, defects and picture reach the page's script exactly, whatever
the names hold; rows no labels file could name get no controls; the storage
key of the answers follows the run's results. (The answering itself, in a
browser, and the retune on its files: tests/test_report_pages.py.)"""
import html.parser
import json
from urllib.parse import urlparse
from urllib.request import url2pathname

import pytest

from qlo_batch.answers import toolbar
from qlo_batch.report import ReportWriter
from qlo_batch.report_page import anchor
from qlo_batch.work_unit import Outcome

DEFECTS = [([3, 4, 9, 12], "hole", 30.0, 1), ([20, 2, 31, 8], "bridge", 55.5, 2)]
# (target name, verdict, answerable): names a CSV cell, an HTML attribute or a
# URL would each break, and names no labels file can hold as they are.
ROWS = [
    ('a "quoted", <b>&amp; # %20.png', "NG", True),
    ("evil\u202egnp.exe.png", "NG", True),
    ("it's o'clock.png", "NG", True),              # the answer cell's attribute is single-quoted
    ("two\nlines.png", "OK", True),
    ("caf\udce9.png", "NG", False),             # not UTF-8
    ("trailing space.png ", "NG", False),        # the CSV readers trim it
    ("broken.png", "ERROR", False),
]


class Cells(html.parser.HTMLParser):
    """Per table row: the answer cell's data (None without one) and the
    numbers of its "not a defect" boxes."""

    def __init__(self):
        super().__init__()
        self.rows = {}

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "tr" and attrs.get("id", "").startswith("row-"):
            self.row = self.rows.setdefault(attrs["id"], {"data": None, "boxes": []})
        elif tag == "td" and "data-answer" in attrs:
            self.row["data"] = json.loads(attrs["data-answer"])
        elif tag == "input" and "data-defect" in attrs:
            self.row["boxes"].append(int(attrs["data-defect"]))


def page_of(tmp_path, rows):
    writer = ReportWriter(str(tmp_path))
    for name, verdict, _ in rows:
        ng = verdict == "NG"
        writer.add(Outcome(name, verdict, [[3, 4, 9, 12]] if ng else [], ["black spot: 6, [3, 4, 9, 12]"] * ng,
                           marked=None, thumbnail_jpg=b"jpg" if ng else None,
                           defects=DEFECTS if ng else [], width=0 if verdict == "ERROR" else 40,
                           height=30, target=str(tmp_path / "prints" / name), standard=str(tmp_path / "std.png")))
    written = writer.finish()
    return written, (tmp_path / "report.html").read_text(encoding="utf-8")


def test_answerable_rows_carry_their_exact_data_to_the_page(tmp_path):
    written, page = page_of(tmp_path, ROWS)
    cells = Cells()
    cells.feed(page)
    assert len(cells.rows) == len(ROWS)
    for (name, verdict, answerable), row in zip(sorted(ROWS), written):
        shown = cells.rows[anchor(name)]
        if not answerable:
            assert shown == {"data": None, "boxes": []}, name
            continue
        data = shown["data"]
        assert (data["target"], data["standard"], data["size"]) == (row["target"], row["standard"], [40, 30])
        assert data["defects"] == [box + [kind] for box, kind, _, _ in row["defects"]]
        assert shown["boxes"] == list(range(len(row["defects"])))
        # drawn on over the print's own file (a run that wrote marked images draws over those)
        assert url2pathname(urlparse(data["picture"]).path) == row["target"]


@pytest.mark.parametrize("change, same", [
    (lambda rows: rows[::-1], True),                                           # a resumed run's rows, in another order
    (lambda rows: [dict(rows[0], seconds=9.0)] + rows[1:], True),              # timings are no result
    (lambda rows: [dict(rows[0], defects=DEFECTS[:1])] + rows[1:], False),     # a defect fewer
    (lambda rows: [dict(rows[0], target="/elsewhere/a.png")] + rows[1:], False),
    (lambda rows: rows[1:], False),
])
def test_the_answers_key_follows_the_results(change, same):
    rows = [{"file": name, "target": "/p/" + name, "defects": DEFECTS, "seconds": 0.5} for name in ("a.png", "b.png")]
    key = toolbar(rows).split('data-key="')[1].split('"')[0]
    assert (toolbar(change(rows)).split('data-key="')[1].split('"')[0] == key) == same
