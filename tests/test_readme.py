"""What the README tells a newcomer holds: the set-up commands come first, its
pictures exist and stay small, the settings sample runs with the
demonstration's own regions workbook, the workbook's shape syntax reads as
described, and the table of what max_shift tolerates is what the module
measures."""
import os
import re
import shutil
import sys

import cv2
import numpy as np
import pytest

import qlo_cv
from qlo_batch import run_batch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "examples"))
from masked_regions import region_workbook, stamp_dates  # noqa: E402
from print_pair import make_label  # noqa: E402

with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as _f:
    README = _f.read()
DATE_CODE = (1620, 1165, 2330, 1265)      # the demonstration workbook's region of no interest


@pytest.fixture(scope="module")
def label():
    return make_label()


def moved(image, right, down):
    return cv2.warpAffine(image, np.float32([[1, 0, right], [0, 1, down]]), image.shape[::-1],
                          borderMode=cv2.BORDER_REPLICATE)


def test_first_screen_starts_with_what_it_is_for_then_the_set_up_commands():
    before, commands = re.match(r"(.*?)```sh\n(.*?)```", README, re.S).groups()
    assert [line.split("#")[0].strip() for line in commands.splitlines()] == \
           ["bash scripts/run_demo.sh", "bash scripts/run_tests.sh"]
    assert "\n## " not in before and len(before.split()) > 40 and before.count("\n") < 15
    assert README.index("## Hardening") > README.index("## Batch inspection")


def test_pictures_exist_and_are_small():
    pictures = re.findall(r'src="(docs/[^"]+\.png)"', README)
    assert len(pictures) == 2
    for picture in pictures:
        assert 0 < os.path.getsize(os.path.join(ROOT, picture)) < 150_000, picture
        assert cv2.imread(os.path.join(ROOT, picture)).shape[1] <= 1000


def test_settings_sample_runs_with_the_demonstration_workbook(tmp_path, label):
    sample = re.search(r"## Batch inspection.*?```toml\n(.*?)```", README, re.S).group(1)
    assert '# regions_sheet = "regions"' in sample
    book = region_workbook(str(tmp_path))
    if os.path.abspath(book) != str(tmp_path / "regions.xlsx"):
        shutil.copy(book, tmp_path / "regions.xlsx")
    (tmp_path / "plain.toml").write_text(sample)
    (tmp_path / "regions.toml").write_text(re.sub(r"^# (regions_\w+ =)", r"\1", sample, flags=re.M))
    target = moved(label, 2, 1)
    cv2.circle(target, (900, 1900), 9, 38, -1)
    standard, target = stamp_dates(label, target)
    (tmp_path / "prints").mkdir()
    cv2.imwrite(str(tmp_path / "standard.png"), standard)
    cv2.imwrite(str(tmp_path / "prints" / "target.png"), target)
    boxes = {}
    for name in ("plain", "regions"):
        [row] = run_batch(str(tmp_path / "standard.png"), str(tmp_path / "prints"), str(tmp_path / name),
                          str(tmp_path / (name + ".toml")), serial=True, progress=False)
        assert row["verdict"] == "NG", row["error"]
        boxes[name] = row["boxes"]

    def in_date_code(box):
        return box[0] >= DATE_CODE[0] and box[1] >= DATE_CODE[1] and box[2] <= DATE_CODE[2] and box[3] <= DATE_CODE[3]
    assert any(in_date_code(box) for box in boxes["plain"])
    assert not any(in_date_code(box) for box in boxes["regions"])
    assert any(box[0] <= 900 <= box[2] and box[1] <= 1900 <= box[3] for box in boxes["regions"])   # the speck


@pytest.mark.parametrize("parameters, rows, columns", [
    ("x1=2,y1=3,x2=5,y2=6", (3, 6), (2, 5)),            # both corners included
    ("x1=2, y1=3,x2= 5,y2=6", (3, 6), (2, 5)),          # spaces after a comma or "=" are allowed
    ("x1 =2,y1=3,x2=5,y2=6", (3, 6), (0, 5)),           # before "=" they make another name: x1 stays 0
])
def test_workbook_shape_syntax_reads_as_described(parameters, rows, columns):
    region = qlo_cv.Region()
    region.add_region("area", "Rectangle", parameters, "ROI")
    image = np.full((10, 10), 200, np.uint8)
    region.apply(image)
    kept_rows, kept_columns = np.nonzero(image)
    assert (kept_rows.min(), kept_rows.max()) == rows and (kept_columns.min(), kept_columns.max()) == columns


def test_max_shift_table_is_what_the_module_measures(label):
    table = re.search(r"\| moved down[^\n]*\n\|[-|]+\n((?:\|[^\n]*\n)+)", README).group(1)
    counts = {}
    for line in table.splitlines():
        down, *cells = [int(cell) for cell in line.strip("|").split("|")]
        counts.update({(right, down): int(cell) for right, cell in enumerate(cells)})
    comparator = qlo_cv.ShiftComparator(label, 3, 50, 4)
    for shift in [(2, 2), (3, 0), (0, 3), (3, 1), (1, 3), (4, 0)]:       # on both sides of the radius
        target = moved(label, *shift)
        result = qlo_cv.CompareResult(target)
        comparator.compare(target, result)
        assert result.ng_count == counts[shift], shift
    assert "moved by (3, 1) (3.2 pixels) gets %d NG regions" % counts[3, 1] in README
