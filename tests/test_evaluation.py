"""Evaluation and tuning: one-to-one matching on hand-made boxes, the figures
overall and per kind, the labels reader's errors, the evaluation command on a
hand-made run folder, and a tiny tuning run on drawn pairs."""
import json

import cv2
import numpy as np
import pytest

from qlo_batch.defects import find_defects
from qlo_batch.evaluate import evaluate, main as evaluate_main
from qlo_batch.evaluation_page import picture
from qlo_batch.labels import Label, check_inside, file_key, read_labels
from qlo_batch.matching import Found, match, score
from qlo_batch.report_page import anchor
from qlo_batch.settings import Settings, load_settings
from qlo_batch.tune import (DaskRunner, Sample, Search, SerialRunner, ThresholdClasses, best_cut, blob_length,
                            run_job, tune)


@pytest.mark.parametrize("labels, found, overlap, expected", [
    # two defects on one label: the better one matches, the other is false
    ([[0, 0, 10, 10]], [[0, 0, 9, 10], [0, 0, 10, 10]], False, [(0, 1)]),
    # one defect exactly between two labels: the label listed first takes it
    ([[0, 0, 10, 10], [10, 0, 20, 10]], [[5, 0, 15, 10]], False, [(0, 0)]),
    # equal IoU of two defects on one label: the defect listed first
    ([[0, 0, 10, 10]], [[0, 0, 10, 6], [0, 4, 10, 10]], False, [(0, 0)]),
    # the best pair first, even when it leaves a label unmatched
    ([[0, 0, 10, 10], [6, 0, 16, 10]], [[4, 0, 14, 10]], False, [(1, 0)]),
    # IoU exactly at the threshold (33 / 100) does not match; just above does
    ([[0, 0, 100, 1]], [[0, 0, 33, 1]], False, []),
    ([[0, 0, 100, 1]], [[0, 0, 34, 1]], False, [(0, 0)]),
    # any overlap: one common pixel is enough, touching edges are not
    ([[0, 0, 100, 100]], [[99, 99, 120, 120]], True, [(0, 0)]),
    ([[0, 0, 10, 10]], [[10, 0, 20, 10]], True, []),
])
def test_matching(labels, found, overlap, expected):
    assert [(i, j) for i, j, _ in match(labels, found, 0.33, overlap)] == expected


@pytest.mark.parametrize("written", ["prints/a.png", "./prints/a.png", "prints//a.png", " prints/a.png ",
                                     "prints\\a.png", ".\\prints\\a.png", "prints\\old\\..\\a.png"])
def test_labels_meet_defects_however_their_path_is_written(written):
    # Labels made on Windows name files with backslashes; the run's rows with slashes.
    assert file_key(written) == "prints/a.png"
    result = score([Label(written, [0, 0, 10, 10], "hole", 2)], [Found("prints/a.png", [0, 0, 10, 10], "hole", 1.0)])
    assert result.overall["iou"]["matched"] == 1


def test_figures_overall_per_kind_and_kinds():
    labels = [Label("a.png", [0, 0, 10, 10], "bridge", 2), Label("a.png", [50, 50, 60, 60], "hole", 3),
              Label("b.png", [0, 0, 10, 10], None, 4), Label("gone.png", [0, 0, 5, 5], "spur", 5)]
    found = [Found("./a.png", [0, 0, 10, 10], "bridge", 9.0), Found("a.png", [50, 50, 60, 61], "bite", 5.0),
             Found("a.png", [50, 48, 60, 60], "hole", 1.0), Found("b.png", [0, 0, 10, 10], "spur", 2.0),
             Found("c.png", [0, 0, 3, 3], "island", 1.0)]
    result = score(labels, found, skipped={"gone.png"})
    assert result.overall["iou"] == {"matched": 3, "found": 5, "labels": 4, "precision": 0.6, "recall": 0.75,
                                     "f_score": 6 / 9}
    hole, bite, spur = result.per_kind["hole"], result.per_kind["bite"], result.per_kind["spur"]
    assert (hole["recall"], hole["precision"], bite["precision"]) == (1.0, 0.0, 1.0)
    assert (spur["labels"], spur["recall"], spur["found"], spur["precision"]) == (1, 0.0, 1, 1.0)
    # kinds are checked only where the label has one: bridge right, hole taken as bite
    assert (result.kind_accuracy, result.kinds_checked) == (0.5, 2)
    assert result.confusion == {"bridge": {"bridge": 1}, "hole": {"bite": 1}}
    assert [m["why"] for m in result.missed] == ["not inspected"]
    assert sorted((f["file"], f["kind"]) for f in result.false) == [("a.png", "hole"), ("c.png", "island")]


@pytest.mark.parametrize("row, message", [
    ("a.png,1,2,3", "expected 6 columns"),
    ("a.png,1,2,3.5,4,hole", "whole numbers"),
    ("a.png,5,2,5,4,hole", "empty box"),
    ("a.png,-1,2,3,4,", "negative"),
    ("a.png,1,2,3,4,crack", "unknown kind 'crack'"),
    (",1,2,3,4,hole", "file name is empty"),
])
def test_bad_label_rows_name_their_line(tmp_path, row, message):
    path = tmp_path / "labels.csv"
    path.write_text("file,x1,y1,x2,y2,kind\nb.png,0,0,4,4,Hole\n%s\n" % row)
    with pytest.raises(ValueError, match=r"labels\.csv, line 3: .*%s" % message):
        read_labels(str(path))


def test_labels_without_kind_column_and_outside_the_image(tmp_path):
    path = tmp_path / "labels.csv"
    path.write_text("file,x1,y1,x2,y2\n\nb.png,0,0,4,4\nb.png,10,0,21,4\n")
    labels = read_labels(str(path))
    assert [(l.box, l.kind, l.line) for l in labels] == [([0, 0, 4, 4], None, 3), ([10, 0, 21, 4], None, 4)]
    check_inside(labels, {"b.png": (21, 4)}, str(path))
    with pytest.raises(ValueError, match=r"line 4: box \[10, 0, 21, 4\] of b.png reaches outside its 20 x 30"):
        check_inside(labels, {"b.png": (20, 30)}, str(path))


def test_evaluate_command_writes_json_and_page(tmp_path, capsys):
    image = np.full((40, 60), 255, np.uint8)
    cv2.imwrite(str(tmp_path / "t.png"), image)
    out = tmp_path / "out"
    out.mkdir()
    (out / "defects.csv").write_text("file,x1,y1,x2,y2,kind,score,regions\n"
                                     "t.png,10,10,20,20,hole,3.5,2\nt.png,40,5,45,9,island,1.0,1\n")
    (out / "run.json").write_text(json.dumps({"files": {
        "t.png": {"width": 60, "height": 40, "verdict": "NG", "marked_image": "marked/t.png.png",
                  "target": str(tmp_path / "t.png")},
        "bad.png": {"width": 0, "height": 0, "verdict": "ERROR", "marked_image": ""}}, "settings": {}}))
    labels = tmp_path / "labels.csv"
    labels.write_text("file,x1,y1,x2,y2,kind\nt.png,11,10,20,21,hole\nbad.png,0,0,3,3,\n")
    assert evaluate_main([str(out), str(labels)]) == 0
    printed = capsys.readouterr().out
    assert "1 labelled file inspected with an ERROR (their 1 label count as missed): bad.png" in printed
    report = json.loads((out / "evaluation.json").read_text())
    assert report["overall"]["iou"]["f_score"] == 0.5 and report["kind_accuracy"] == 1.0
    page = (out / "evaluation.html").read_text()
    assert 'href="report.html#%s"' % anchor("bad.png") in page and 'href="marked/t.png.png"' in page
    assert (out / "evaluation" / "false-0001.png").exists()
    (tmp_path / "test_pairs.csv").write_text("standard,target\ns.png,t.png\n")
    assert evaluate_main([str(out), str(labels), "--pairs", str(tmp_path / "test_pairs.csv")]) == 0
    assert "1 labelled or inspected file not in test_pairs.csv: not scored" in capsys.readouterr().out
    assert json.loads((out / "evaluation.json").read_text())["overall"]["iou"]["labels"] == 1
    labels.write_text("file,x1,y1,x2,y2\nt.png,50,30,61,40\n")
    assert evaluate_main([str(out), str(labels)]) == 2
    assert "line 2: box [50, 30, 61, 40] of t.png reaches outside its 60 x 40 image" in capsys.readouterr().err


def test_score_cut_off_lies_between_kept_and_dropped_scores():
    labels = [[Label("a", [0, 0, 10, 10], "hole", 2)], []]
    found = [[([0, 0, 10, 10], "hole", 8.0), ([30, 30, 40, 40], "island", 2.0)], [([0, 0, 4, 4], "spur", 4.0)]]
    objective, min_score, figures = best_cut(found, labels)
    assert (objective[0], min_score, figures["found"]) == (1.0, 6.0, 1)


def drawn_pair(rng, width):
    """A standard of traces and a target shifted by a pixel with a bridge and a
    cut; the labels of the target."""
    standard = np.full((96, 96), 230, np.uint8)
    for y in (14, 40, 66):
        standard[y:y + width, 6:90] = 20
    target = np.roll(standard, 1, axis=1)
    x = int(rng.integers(20, 60))
    target[14 + width:40, x:x + 5] = 20
    target[66:66 + width, x + 10:x + 14] = 230
    return standard, target, [(x, 14 + width, x + 5, 40, "bridge"), (x + 10, 66, x + 14, 66 + width, "break")]


def test_tuning_writes_settings_that_load(tmp_path, rng, capsys):
    pairs, labels = ["standard,target"], ["file,x1,y1,x2,y2,kind"]
    for k, width in enumerate((6, 8, 10)):
        standard, target, boxes = drawn_pair(rng, width)
        cv2.imwrite(str(tmp_path / ("s%d.png" % k)), standard)
        cv2.imwrite(str(tmp_path / ("t%d.png" % k)), target)
        pairs.append("s%d.png,t%d.png" % (k, k))
        labels += ["t%d.png,%d,%d,%d,%d,%s" % ((k,) + box) for box in boxes]
    labels.append("held_out.png,0,0,5,5,hole")
    (tmp_path / "train.csv").write_text("\n".join(pairs) + "\n")
    (tmp_path / "labels.csv").write_text("\n".join(labels) + "\n")
    out = tmp_path / "tuned.toml"
    settings, figures = tune(str(tmp_path / "train.csv"), str(tmp_path / "labels.csv"), str(out), budget=40,
                             progress=False)
    printed = capsys.readouterr().out
    assert "tuning on 3 training pairs (keep the pairs you evaluate on out of PAIRS_CSV)" in printed
    assert "1 labelled file not in PAIRS_CSV: not used" in printed
    assert load_settings(str(out)) == settings
    assert figures["f_score"] > 0


def test_shared_comparison_and_threshold_classes(rng):
    """The NG regions of each contour_is_too_long parameter, filtered from one
    comparison, are those a comparison with that parameter finds; thresholds
    between the same grey levels and differences form one class."""
    standard, target, _ = drawn_pair(rng, 6)
    target[80:82, 10:13] = 20
    target[4, 4:8] = 20
    target[30, 70] = 20
    sample = Sample("t.png", standard, target)
    search = Search(SerialRunner([sample]), [[]], Settings(max_shift=1), 10, ThresholdClasses([sample]))
    for length in (1, 2, 3, 4, 5):
        values = (0, 50, "contour_is_too_long", length, True, 1)
        search.share_comparisons({values: []})
        assert search.ng[values] == run_job([sample], search.settings(values), [])[0]
    # the judge saw the box in the compared frame: its length is the description's
    assert [blob_length([0, 0, 9, 4], d) for d in ("black spot: 3, [0, 0, 9, 4]", "white: spot: 12, [1, 2, 3, 4]",
                                                    "scratch")] == [3, 12, 9]
    classes = search.classes        # grey levels 20 and 230, differences 0 and 210
    assert classes.of(32) == classes.of(128) != classes.of(210) != classes.of(211)
    assert (classes.middle(32), classes.middle(-100), classes.middle(210)) == (115, -115, 210)


@pytest.mark.parametrize("rows, message", [
    ("t.png,1,2,3,4,hole,2.5", "line 3: expected 8 columns"),
    ("t.png,1,2,3,4,hole,high,1", "line 3: could not convert"),
])
def test_bad_defect_rows_name_their_line(tmp_path, rows, message):
    (tmp_path / "defects.csv").write_text("file,x1,y1,x2,y2,kind,score,regions\nt.png,1,2,3,4,hole,2.5,1\n%s\n" % rows)
    (tmp_path / "labels.csv").write_text("file,x1,y1,x2,y2\n")
    with pytest.raises(ValueError, match=r"defects\.csv, %s" % message):
        evaluate(str(tmp_path), str(tmp_path / "labels.csv"))


def test_picture_at_the_border_shows_both_boxes():
    image = np.full((50, 40), 200, np.uint8)
    crop = picture(image, [0, 44, 6, 50], [[0, 44, 6, 50]], [[2, 40, 8, 50]])
    assert max(crop.shape[:2]) == 128 and crop.shape[2] == 3
    colours = {tuple(c) for c in crop.reshape(-1, 3)}
    assert {(0, 170, 0), (0, 0, 255), (200, 200, 200)} <= colours


class FakeClient:
    """Runs submitted work at once: enough to check how the Dask runner splits
    the pairs into chunks and puts the results back together."""
    def scheduler_info(self):
        return {"workers": {"a": {}, "b": {}}}

    def scatter(self, items):
        return list(items)

    def submit(self, function, *args, pure=True):
        return function(*args)

    def gather(self, futures):
        return futures


def test_dask_runner_gives_the_serial_outcomes_within_the_budget(rng):
    samples, labels = [], []
    for k, width in enumerate((5, 7, 9)):
        standard, target, boxes = drawn_pair(rng, width)
        samples.append(Sample("t%d.png" % k, standard, target))
        labels.append([Label("t%d.png" % k, list(box[:4]), box[4], 0) for box in boxes])
    outcomes = []
    for runner in (SerialRunner(samples), DaskRunner(FakeClient(), samples)):
        search = Search(runner, labels, Settings(), 12, ThresholdClasses(samples))
        search.run()
        outcomes.append(search.outcomes)
    assert len(outcomes[0]) == 12 and outcomes[0] == outcomes[1]


@pytest.mark.parametrize("pairs, labels, message", [
    ("s.png,gone.png", "t.png,0,0,5,5,", "pair gone.png: "),
    ("s.png,t.png", "t.png,90,0,97,5,", r"labels\.csv, line 2: box \[90, 0, 97, 5\] of t.png reaches outside"),
    ("s.png,t.png", "other.png,0,0,5,5,", "no labels for any pair"),
])
def test_tuning_refuses_bad_input(tmp_path, rng, pairs, labels, message):
    standard, target, _ = drawn_pair(rng, 6)
    cv2.imwrite(str(tmp_path / "s.png"), standard)
    cv2.imwrite(str(tmp_path / "t.png"), target)
    (tmp_path / "train.csv").write_text("standard,target\n%s\n" % pairs)
    (tmp_path / "labels.csv").write_text("file,x1,y1,x2,y2,kind\n%s\n" % labels)
    with pytest.raises(ValueError, match=message):
        tune(str(tmp_path / "train.csv"), str(tmp_path / "labels.csv"), str(tmp_path / "out.toml"), progress=False)
    assert not (tmp_path / "out.toml").exists()


def test_search_outcomes_equal_find_defects_per_setting(rng):
    """Whatever the tuner shares between settings (comparisons, extracted
    groups, threshold classes, margins), each setting scores as find_defects
    run on its own would make it score."""
    samples, labels = [], []
    for k, width in enumerate((5, 8)):
        standard, target, boxes = drawn_pair(rng, width)
        for x in range(10, 60, 4):          # specks 2 pixels apart: grouping matters
            target[86:88, x:x + 2] = 20
        if k:
            target = np.clip(target + rng.integers(-40, 40, target.shape), 0, 255).astype(np.uint8)
            target[:, 48:] = np.roll(target[:, 48:], 2, axis=0)     # the right half drifts: tiles differ
        samples.append(Sample("t%d.png" % k, standard, target))
        labels.append([Label("t%d.png" % k, list(box[:4]), box[4], 0) for box in boxes])
    tried = [((1, 40, "contour_is_too_long", 1, True, 1, 0, "auto"), (0, 4, 0)),
             ((1, 40, "contour_is_too_long", 1, True, 1, 0, "auto"), (0, 0, 0)),    # the extent alone differs
             ((1, 40, "contour_is_too_long", 3, True, 1, 0, "auto"), (6, 8, 2)),
             ((1, 41, "contour_is_too_long", 3, True, 1, 4, "auto"), (6, 8, 2)),
             ((2, 100, "contour_is_too_big", 4, False, 2, 0, "dark"), (3, 2, 1)),
             ((2, 100, "contour_is_too_big", 4, True, 3, 4, "auto"), (12, 2, 0)),
             ((0, 60, "contour_is_too_long", 2, True, 1, 0, "auto"), (3, 16, 3)),
             ((0, 60, "contour_is_too_long", 2, True, 1, 4, "auto"), (0, 4, 0)),
             ((0, 60, "contour_is_too_long", 2, True, 1, 0, "auto"), (1, 4, 0)),
             ((1, 40, "contour_is_too_long", 1, True, 1, 4, "auto", 2, 0, 2, 0), (6, 8, 2)),
             ((1, 40, "contour_is_too_long", 3, True, 1, 4, "auto", 2, 6, 1.5, 3), (0, 4, 1)),
             ((0, 60, "contour_is_too_big", 2, True, 1, 0, "auto", 0, 4, 0, 5), (3, 16, 0)),
             ((2, 100, "contour_is_too_long", 1, True, 1, 0, "dark", 4, 0, 2.5, 0), (12, 2, 0))]
    search = Search(SerialRunner(samples), labels, Settings(), 20, ThresholdClasses(samples))
    search.evaluate(tried)
    for point in tried:
        tried_as = next(p for p in search.outcomes if search.same_as(p) == search.same_as(point))
        settings = search.settings(*point)
        found = [[(d.box, d.kind, d.score) for d in find_defects(s.standard, s.target, settings)] for s in samples]
        assert best_cut(found, labels)[:2] == search.outcomes[tried_as][:2]
        shared = run_job(samples, settings, [point[1]], search.ng.get(point[0]))[1][0]
        assert [sorted(f) for f in shared] == [sorted(f) for f in found]
