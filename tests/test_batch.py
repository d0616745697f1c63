"""The batch pipeline: on a small generated archive (a few prints, a corrupt
file, a print of the wrong size), a two-worker Dask cluster gives the same
verdicts and regions as a plain loop over qlo_cv, and the report holds every
file."""
import csv
import html
import json
import os
import pathlib

import cv2
import numpy as np
import pytest

import qlo_cv
from qlo_batch import Settings, load_settings, run_batch
from qlo_batch.__main__ import main

SETTINGS = "max_shift = 2\nthreshold = 40\njudge_parameter = 3\n"


def label(rows=90, cols=120):
    image = np.full((rows, cols), 210, np.uint8)
    cv2.putText(image, "LOT 7", (8, 40), cv2.FONT_HERSHEY_SIMPLEX, 1.0, 40, 2)
    cv2.rectangle(image, (5, 55), (110, 80), 40, 2)
    return image


def moved(image, right, down):
    return cv2.warpAffine(image, np.float32([[1, 0, right], [0, 1, down]]), image.shape[::-1],
                          borderMode=cv2.BORDER_REPLICATE)


@pytest.fixture
def archive(tmp_path):
    """(standard path, target folder, settings path)."""
    standard = label()
    folder = tmp_path / "prints"
    folder.mkdir()
    speck, smudge = moved(standard, 1, 0), standard.copy()
    cv2.circle(speck, (90, 20), 5, 30, -1)
    smudge[60:75, 20:40] = 255
    both = speck.copy()
    both[62:70, 60:75] = 120
    for name, image in [("a_ok.png", standard), ("b_moved.png", moved(standard, -2, 0)), ("c_speck.png", speck),
                        ("d_smudge.bmp", smudge), ("e_both.png", both), ("g_small.png", standard[:60])]:
        cv2.imwrite(str(folder / name), image)
    (folder / "f_corrupt.png").write_bytes(b"\x89PNG\r\n\x1a\n this is not an image")
    (folder / "notes.txt").write_text("not an image file: skipped")
    cv2.imwrite(str(tmp_path / "standard.png"), standard)
    (tmp_path / "settings.toml").write_text(SETTINGS)
    return str(tmp_path / "standard.png"), str(folder), str(tmp_path / "settings.toml")


def serial_loop(standard_path, folder, region=None):
    """The plain loop: file -> (verdict, [(rect, description), ...])."""
    standard = cv2.imread(standard_path, cv2.IMREAD_GRAYSCALE)
    if region is not None:
        region.apply(standard)
    comparator = qlo_cv.ShiftComparator(standard, 2, 40, 3)
    out = {}
    for name in sorted(os.listdir(folder)):
        image = cv2.imread(os.path.join(folder, name), cv2.IMREAD_GRAYSCALE)
        if image is None or image.shape != standard.shape:
            continue
        if region is not None:
            region.apply(image)
        result = qlo_cv.CompareResult(image)
        comparator.compare(image, result)
        out[name] = ("OK" if result.ok else "NG", [(r.rect, r.desc) for r in result.ng_regions])
    return out


def verdicts(rows):
    return {row["file"]: (row["verdict"], list(zip(row["boxes"], row["descriptions"])))
            for row in rows if row["verdict"] != "ERROR"}


@pytest.mark.hardening
@pytest.mark.tooling
def test_dask_cluster_gives_the_verdicts_of_a_plain_loop(archive, tmp_path):
    from dask.distributed import LocalCluster
    standard, folder, settings = archive
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        rows = run_batch(standard, folder, str(tmp_path / "out"), settings, scheduler=cluster.scheduler_address,
                         progress=False)
    expected = serial_loop(standard, folder)
    assert verdicts(rows) == expected
    assert [v for v, _ in expected.values()] == ["OK", "OK", "NG", "NG", "NG"]
    errors = {row["file"]: row["error"] for row in rows if row["verdict"] == "ERROR"}
    assert errors == {"f_corrupt.png": "damaged file: its PNG header cannot be read",
                      "g_small.png": "size mismatch: the image is 120 x 60, the standard 120 x 90"}


@pytest.mark.parametrize("marked", [None, "png", "jpg"])
def test_report_lists_every_file_with_its_pictures(archive, tmp_path, marked):
    standard, folder, settings = archive
    out = tmp_path / "out"
    rows = run_batch(standard, folder, str(out), settings, serial=True, progress=False, marked=marked)
    with open(out / "report.csv", newline="") as f:
        table = list(csv.DictReader(f))
    assert [r["file"] for r in table] == sorted(os.listdir(folder))[:-1]        # all but notes.txt
    page = (out / "report.html").read_text()
    for row, written in zip(rows, table):
        assert written["verdict"] == row["verdict"] and int(written["ng_count"]) == len(row["boxes"])
        assert json.loads(written["boxes"]) == row["boxes"]
        assert written["descriptions"] == "; ".join(row["descriptions"])
        assert row["file"] in page
        stem = os.path.splitext(row["file"])[0] + "~" + row["file"].rsplit(".", 1)[1]   # one suffix in a name
        if row["verdict"] == "NG":
            assert 'src="%s"' % row["thumbnail"] in page and (out / row["thumbnail"]).is_file()
            assert row["thumbnail"] == "thumbs/%s.jpg" % stem and cv2.imread(str(out / row["thumbnail"])) is not None
            assert written["marked_image"] == ("marked/%s.%s" % (stem, marked) if marked else "")
            if marked:
                image = cv2.imread(str(out / written["marked_image"]))
                result = qlo_cv.CompareResult(cv2.imread(os.path.join(folder, row["file"]), cv2.IMREAD_GRAYSCALE))
                for rect, desc in zip(row["boxes"], row["descriptions"]):
                    result.append(qlo_cv.NGRegion(rect, desc))
                expected = result.marked_image()
                # PNG keeps the module's drawing exactly; JPEG within its loss
                assert np.array_equal(image, expected) if marked == "png" else \
                    np.abs(image.astype(int) - expected).mean() < 3
            else:
                assert 'href="%s"' % html.escape(pathlib.Path(row["target"]).as_uri()) in page
        else:
            assert written["marked_image"] == "" and not row["thumbnail"]
    assert sorted(os.listdir(out / "marked")) == ([] if marked is None else sorted(
        row["marked_image"][len("marked/"):] for row in rows if row["verdict"] == "NG"))
    assert "7 images: 2 OK, 3 NG, 2 not inspected" in page


@pytest.mark.hardening
@pytest.mark.tooling
def test_local_cluster_of_threads_and_the_command_line(archive, tmp_path, capsys):
    standard, folder, settings = archive
    assert main([standard, folder, str(tmp_path / "out"), "--settings", settings, "--serial", "--no-progress"]) == 0
    assert "7 images: 2 OK, 3 NG, 2 not inspected" in capsys.readouterr().out
    rows = run_batch(standard, folder, str(tmp_path / "out2"), settings, workers=2, processes=False, serial=False,
                     progress=False)
    assert verdicts(rows) == serial_loop(standard, folder)


def test_inspection_regions_from_a_workbook(archive, tmp_path):
    from openpyxl import Workbook
    standard, folder, _ = archive
    book = Workbook()
    sheet = book.active
    sheet.append(["name", "shape", "parameters", "type"])
    sheet.append(["print", "rectangle", "x1=0,y1=0,x2=120,y2=90", "roi"])
    sheet.append(["speck area", "Rectangle", "x1=80,y1=10,x2=100,y2=30", "ROUI"])
    book.save(tmp_path / "regions.xlsx")
    (tmp_path / "settings.toml").write_text(SETTINGS + 'regions_workbook = "regions.xlsx"\n')
    rows = run_batch(standard, folder, str(tmp_path / "out"), str(tmp_path / "settings.toml"), serial=True,
                     progress=False)
    expected = serial_loop(standard, folder, qlo_cv.Region.load_from_xslx(str(tmp_path / "regions.xlsx")))
    assert verdicts(rows) == expected
    assert expected["c_speck.png"][0] == "OK"


@pytest.mark.parametrize("text, error", [
    ("max_shift = 2\nthreshhold = 3\n", "unknown setting threshhold"),
    ("max_shift = 2.5\n", "setting 'max_shift' must be int, not float"),
    ("slope = 1\n", "setting 'slope' must be bool, not int"),
    ("judge = \"contour_is_round\"\n", "'judge' must be one of"),
    ("compare_region = [0, 0, 10]\n", "'compare_region' must be four integers"),
    ("step = 0\n", "'step' must lie in 1..64, not 0"),
    ("gap = -1\n", "setting 'gap' must lie in 0..1000, not -1"),
    ("min_score = nan\n", "setting 'min_score' must lie in"),
    ("align = 100\n", "setting 'align' must lie in 0..64"),
    ("align_grid = -1\n", "setting 'align_grid' must lie in 0..64"),
    ("min_radius = nan\n", "setting 'min_radius' must lie in"),
    ("min_radius = \"2\"\n", "setting 'min_radius' must be int or float, not str"),
    ("min_pixels = 2.5\n", "setting 'min_pixels' must be int, not float"),
    ("border = -3\n", "setting 'border' must lie in 0..1000, not -3"),
    ('material = "red"\n', "'material' must be one of auto, dark, light"),
])
def test_settings_file_errors_are_named(tmp_path, text, error):
    path = tmp_path / "settings.toml"
    path.write_text(text)
    with pytest.raises((TypeError, ValueError), match=error):
        load_settings(str(path))


def test_settings_make_the_comparator(tmp_path):
    path = tmp_path / "settings.toml"
    path.write_text('max_shift = 1\njudge = "contour_is_too_big"\njudge_parameter = 20.0\nslope = false\n'
                    'compare_region = [1, 2, 30, 40]\n')
    comparator = load_settings(str(path)).comparator(label())
    assert (comparator.max_shift, comparator.threshold, comparator.slope, comparator.compare_region) == \
           (1, 50, False, [1, 2, 30, 40])
    assert comparator._ShiftComparator__judge is qlo_cv.contour_is_too_big
    assert Settings().region() is None
