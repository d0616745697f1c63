"""Pairs mode of the batch tool: every target against its own standard, with
bad rows reported and the rest inspected; defects.csv and run.json beside
report.csv; the same tables from the loop and from Dask, across the switch
from one to the other."""
import csv
import json

import cv2
import numpy as np
import pytest

from qlo_batch import BatchError, Settings, pipeline, run_pairs, work_unit
from qlo_batch.defects import find_defects
from qlo_batch.report import safe_name
from qlo_batch.work_unit import read_grey

SETTINGS = Settings(max_shift=2, threshold=40, judge_parameter=3)


def board(rows=80, cols=100, seed=0):
    """Dark traces on a light board."""
    image = np.full((rows, cols), 220, np.uint8)
    for i in range(3):
        y = 15 + 22 * i + seed
        cv2.rectangle(image, (10, y), (cols - 10, y + 6), 30, -1)
    return image


@pytest.fixture
def pairs_csv(tmp_path):
    """A pairs file over two standards and targets in subfolders (two of them
    with one base name), with a missing target, a missing standard, an empty
    target and one of another size."""
    for sub in ("std", "left", "right"):
        (tmp_path / sub).mkdir()
    first, second = board(), board(seed=3)
    cv2.imwrite(str(tmp_path / "std/one.png"), first)
    cv2.imwrite(str(tmp_path / "std/two.bmp"), second)
    bridge, island, moved = first.copy(), second.copy(), np.roll(first, 1, axis=1)
    bridge[21:37, 46:56] = 30           # joins the first two traces
    island[5:10, 40:48] = 30
    cv2.imwrite(str(tmp_path / "left/tile.png"), bridge)
    cv2.imwrite(str(tmp_path / "right/tile.png"), island)
    cv2.imwrite(str(tmp_path / "left/ok.png"), moved)
    cv2.imwrite(str(tmp_path / "left/small.png"), first[:40])
    (tmp_path / "left/empty.png").write_bytes(b"")
    rows = [("std/one.png", "left/tile.png"), ("std/two.bmp", "right/tile.png"), ("std/one.png", "left/ok.png"),
            ("std/one.png", "left/gone.png"), ("std/none.png", "left/ok2.png"), ("std/two.bmp", "left/small.png"),
            ("std/two.bmp", "left/empty.png")]
    path = tmp_path / "pairs.csv"
    path.write_text("standard,target\n" + "".join("%s,%s\n" % row for row in rows))
    return path


def tables(out):
    """report.csv without its timing column, and defects.csv, as lists of rows."""
    with open(out / "report.csv", newline="") as f:
        report = [{k: v for k, v in row.items() if k != "seconds"} for row in csv.DictReader(f)]
    with open(out / "defects.csv", newline="") as f:
        return report, list(csv.reader(f))


def test_pairs_mode_reports_bad_pairs_and_inspects_the_rest(pairs_csv, tmp_path):
    out = tmp_path / "out"
    rows = {row["file"]: row for row in run_pairs(str(pairs_csv), str(out), SETTINGS, serial=True, progress=False)}
    assert {file: row["verdict"] for file, row in rows.items()} == {
        "left/tile.png": "NG", "right/tile.png": "NG", "left/ok.png": "OK", "left/gone.png": "ERROR",
        "left/ok2.png": "ERROR", "left/small.png": "ERROR", "left/empty.png": "ERROR"}
    assert rows["left/gone.png"]["error"] == "file not found (missing, or removed while the run went on)"
    assert rows["left/ok2.png"]["error"] == "standard %s: file not found (missing, or removed while the run went " \
        "on)" % (tmp_path / "std/none.png")
    assert rows["left/small.png"]["error"] == "size mismatch: the image is 100 x 40, the standard 100 x 80"
    assert rows["left/empty.png"]["error"] == "empty file (0 bytes)"
    # the two tiles of one base name get previews of their own
    previews = {rows[f]["thumbnail"] for f in ("left/tile.png", "right/tile.png")}
    assert len(previews) == 2 and all((out / m).is_file() and "/" not in m[len("thumbs/"):] for m in previews)

    report, defects = tables(out)
    assert defects[0] == ["file", "x1", "y1", "x2", "y2", "kind", "score", "regions"]
    expected = []
    for file, standard in (("left/tile.png", "std/one.png"), ("right/tile.png", "std/two.bmp")):
        found = find_defects(read_grey(str(tmp_path / standard)), read_grey(str(tmp_path / file)), SETTINGS)
        expected += [[file, *map(str, d.box), d.kind, "%.4f" % d.score, str(d.ng_count)] for d in found]
    assert defects[1:] == sorted(expected, key=lambda row: row[0]) and len(expected) >= 2

    run = json.loads((out / "run.json").read_text())
    assert run["settings"]["threshold"] == 40 and set(run["files"]) == set(rows)
    tile = run["files"]["right/tile.png"]
    assert (tile["width"], tile["height"], tile["verdict"]) == (100, 80, "NG")
    assert tile["marked_image"] == rows["right/tile.png"]["marked_image"]
    assert read_grey(tile["target"]).shape == read_grey(tile["standard"]).shape == (80, 100)
    page = (out / "report.html").read_text()
    assert all(kind in page for _, _, _, _, _, kind, _, _ in defects[1:])


@pytest.mark.hardening
@pytest.mark.tooling
def test_the_same_tables_from_the_loop_and_after_the_switch_to_dask(pairs_csv, tmp_path, monkeypatch):
    run_pairs(str(pairs_csv), str(tmp_path / "loop"), SETTINGS, serial=True, progress=False)
    # the first print in the loop, then a cluster of worker threads for the rest
    monkeypatch.setattr(pipeline, "PROBE_PRINTS", 1)
    monkeypatch.setattr(pipeline, "cluster_pays", lambda seconds, workers: True)
    started = []
    real_client = pipeline.dask_client
    monkeypatch.setattr(pipeline, "dask_client", lambda *args: started.append(args) or real_client(*args))
    run_pairs(str(pairs_csv), str(tmp_path / "switched"), SETTINGS, workers=2, progress=False)
    assert [processes for _scheduler, _workers, processes, _dashboard in started] == [False]
    assert tables(tmp_path / "switched") == tables(tmp_path / "loop")


# With two idle cores two worker threads run the prints at 1.6 times the
# loop's pace, so a second's start pays once the loop has over 2.7 s to go.
@pytest.mark.parametrize("seconds_left, idle, pays", [(2.0, 2, False), (4.0, 2, True), (100.0, 1.2, False)])
def test_a_thread_cluster_starts_only_when_the_rest_repays_it(monkeypatch, seconds_left, idle, pays):
    monkeypatch.setattr(pipeline, "idle_cores", lambda: idle)
    assert pipeline.cluster_pays(seconds_left, 2) is pays


def test_a_failing_defect_extraction_keeps_the_verdict(pairs_csv, tmp_path, monkeypatch):
    def broken(*args):
        raise RuntimeError("no parts")
    monkeypatch.setattr(work_unit, "find_defects", broken)
    rows = {row["file"]: row for row in run_pairs(str(pairs_csv), str(tmp_path / "out"), SETTINGS, serial=True,
                                                  progress=False)}
    tile = rows["left/tile.png"]
    assert (tile["verdict"], tile["error"]) == ("NG", "defects not found: no parts")
    assert tile["boxes"] and (tmp_path / "out" / tile["thumbnail"]).is_file()


@pytest.mark.parametrize("text, error", [
    ("standard,target\na.png,b.png\nc.png\n", "line 3: expected two paths"),
    ("target,standard\na.png,b.png\n", "header standard,target"),
    ("standard,target\na.png,b.png\nc.png,b.png\n", "the target b.png is listed more than once"),
])
def test_a_malformed_pairs_file_stops_before_any_work(tmp_path, text, error):
    (tmp_path / "pairs.csv").write_text(text)
    with pytest.raises(BatchError, match=error):      # a caller's `except Exception` sees it
        run_pairs(str(tmp_path / "pairs.csv"), str(tmp_path / "out"), SETTINGS, serial=True, progress=False)
    assert not (tmp_path / "out").exists()


def test_report_file_names_are_plain_and_unique():
    plain = ["print 7.png", "a:b.png", "sub_a.png", "a_b.png"]
    changed = ["sub/a.png", "sub\\a.png", "..", ".", "a~b.png", "x" * 300 + ".png", "a\nb.png"]
    names = [safe_name(file) for file in plain + changed]
    assert names[:len(plain)] == plain and not set(names[len(plain):]) & set(plain + changed)
    assert len(set(names)) == len(names)
    assert all("/" not in n and "\\" not in n and "\n" not in n and n.strip(".") and len(n) < 200 for n in names)
