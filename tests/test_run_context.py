"""A report says what run it is: report.html's title and context box and
run.json's "run" entry name the input, the standard, the settings that differ
from the defaults, the version, the date, the duration, the counts and the
yield; a resumed run gives the figures of the whole run (the time of its
earlier parts included) and of its last part."""
import json
import os
import re

import cv2
import numpy as np
import pytest

from qlo_batch import Settings, __version__, run_batch, run_pairs
from qlo_batch.pictures import PICTURE_SIZE
from qlo_batch.report_page import html_row

STANDARD = np.full((60, 80), 200, np.uint8)


@pytest.fixture
def prints(tmp_path):
    """A standard, a folder of an OK print, an NG print and a broken file, and
    a pairs file listing them."""
    (tmp_path / "lot 7").mkdir()
    cv2.imwrite(str(tmp_path / "std.png"), STANDARD)
    spotted = STANDARD.copy()
    spotted[20:30, 30:45] = 40
    cv2.imwrite(str(tmp_path / "lot 7" / "a.png"), STANDARD)
    cv2.imwrite(str(tmp_path / "lot 7" / "b.png"), spotted)
    (tmp_path / "lot 7" / "c.png").write_text("not a picture")
    (tmp_path / "pairs.csv").write_text("standard,target\nstd.png,lot 7/a.png\nstd.png,lot 7/b.png\n"
                                        "std.png,lot 7/c.png\n")
    (tmp_path / "tight.toml").write_text("max_shift = 1\nthreshold = 40\n")
    return tmp_path


def page_context(out):
    page = (out / "report.html").read_text()
    title = re.search(r"<title>(.*?)</title>", page).group(1)
    terms = dict(re.findall(r"<dt>(.*?)</dt><dd>(.*?)</dd>", page))
    return title, terms


# (how the run is made, its title, the settings that differ from the defaults, the input's term on the page)
RUNS = [
    ("folder", "Inspection of lot 7 against std.png", {"max_shift": 1, "threshold": 40}, "Input folder"),
    ("pairs", "Inspection of the pairs listed in pairs.csv", {}, "Pairs file"),
]


@pytest.mark.parametrize("mode, title, changed, term", RUNS, ids=[run[0] for run in RUNS])
def test_the_report_says_what_run_it_is(prints, mode, title, changed, term):
    out = prints / "out"
    if mode == "folder":
        run_batch(str(prints / "std.png"), str(prints / "lot 7"), str(out), str(prints / "tight.toml"), serial=True,
                  progress=False)
    else:
        run_pairs(str(prints / "pairs.csv"), str(out), Settings(), serial=True, progress=False)
    record = json.loads((out / "run.json").read_text())
    run = record["run"]
    assert (run["title"], run["settings_changed"], run["version"]) == (title, changed, __version__)
    assert run["input"] == str(prints / ("lot 7" if mode == "folder" else "pairs.csv"))
    assert run["standard"] == (str(prints / "std.png") if mode == "folder" else None)
    assert run["whole"]["files"] == 3 and (run["whole"]["OK"], run["whole"]["NG"], run["whole"]["ERROR"]) == (1, 1, 1)
    assert run["whole"]["yield"] == 0.5 and "this_part" not in run and run["started"][:4].isdigit()
    assert [error["error"] for error in record["errors"]] == ["not an image file: it holds text"]
    page_title, terms = page_context(out)
    assert page_title == title and "<h1>%s</h1>" % title in (out / "report.html").read_text()
    assert terms[term] == run["input"] and terms["Version"] == "qlo_cv " + __version__
    assert terms["Yield"] == "50.0 % OK (1 of the 2 files inspected; 1 could not be)"
    assert ("max_shift = 1, threshold = 40" in terms["Settings"]) == (mode == "folder")
    assert terms["Started"][:10] == run["started"][:10]


def test_each_defect_crop_has_the_standards_beside_it(prints):
    rows = run_batch(str(prints / "std.png"), str(prints / "lot 7"), str(prints / "out"), serial=True, progress=False)
    [ng] = [row for row in rows if row["verdict"] == "NG"]
    assert len(ng["standard_crops"]) == len(ng["crops"]) == 1 and ng["standard_crops"][0] == ng["crops"][0][1]
    sheet = cv2.imread(str(prints / "out" / ng["crops"][0][1]))       # the standard's cell left of the print's
    assert sheet.shape == (PICTURE_SIZE, 2 * PICTURE_SIZE, 3)
    standard, found = sheet[:, :PICTURE_SIZE], sheet[:, PICTURE_SIZE:]
    assert abs(int(np.median(standard[standard.min(axis=2) < 250])) - 200) < 8   # the standard's grey, no spot
    assert found.min() < 100                                                    # the print's dark spot
    cells = html_row(ng)
    assert cells.index("object-position: -0px -0px") < cells.index("object-position: -%dpx -0px" % PICTURE_SIZE)


def test_a_resumed_run_gives_the_whole_runs_figures_and_its_last_parts(prints):
    out = prints / "out"
    first = run_batch(str(prints / "std.png"), str(prints / "lot 7"), str(out), serial=True, progress=False)
    assert len(first) == 3
    # The first part took 7 s: its journal says it began 7 s before its last write.
    journal = (out / "resume.jsonl").read_text().split("\n")
    header = json.loads(journal[0])
    written = os.stat(out / "resume.jsonl").st_mtime
    header["part"]["began"] = written - 7.0
    (out / "resume.jsonl").write_text("\n".join([json.dumps(header)] + journal[1:]))
    os.utime(out / "resume.jsonl", (written, written))
    cv2.imwrite(str(prints / "lot 7" / "d.png"), STANDARD)        # a print that arrived since
    run_batch(str(prints / "std.png"), str(prints / "lot 7"), str(out), serial=True, progress=False, resume=True)
    run = json.loads((out / "run.json").read_text())["run"]
    assert (run["whole"]["files"], run["this_part"]["files"], run["resumed"]) == (4, 1, 3)
    assert run["this_part"]["seconds"] < 7.0 <= run["whole"]["seconds"] < 7.0 + 2 * run["this_part"]["seconds"] + 1
    assert run["first_started"] == header["part"]["first_started"] <= run["started"]
    _, terms = page_context(out)
    assert "in all; this part" in terms["Duration"] and "resuming a run that had 3" in terms["Duration"]
    # A third part adds the second's time to the first's.
    run_batch(str(prints / "std.png"), str(prints / "lot 7"), str(out), serial=True, progress=False, resume=True)
    third = json.loads((out / "run.json").read_text())["run"]
    assert third["whole"]["seconds"] >= run["whole"]["seconds"] and third["this_part"]["files"] == 0


def row(score, file="lot 2047-001.png"):
    return {"file": file, "verdict": "NG", "ng_count": 1, "defects": [([1, 2, 3, 4], "island", score, 1)],
            "descriptions": [], "error": "", "seconds": 0.5, "thumbnail": ""}


@pytest.mark.parametrize("score, shown", [(1034.6, "island 1035 "), (99.94, "island 99.9 "), (12.0, "island 12.0 "),
                                          (0.4567, "island 0.46 "), (2.5e6, "island 2500000 ")])
def test_scores_are_plain_numbers_and_names_break_only_at_spaces(score, shown):
    cells = html_row(row(score))
    assert shown in cells and "e+" not in cells
    assert '<span class="word">lot</span> <span class="word">2047-001.png</span>' in cells
