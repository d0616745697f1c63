"""What the README tells a newcomer holds: the set-up commands come first,
and the settings sample runs with the demonstration's own regions workbook."""
import os
import re
import shutil
import sys

import cv2
import numpy as np

from qlo_batch import run_batch

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "examples"))
from masked_regions import region_workbook, stamp_dates  # noqa: E402
from print_pair import make_label  # noqa: E402

with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as _f:
    README = _f.read()
DATE_CODE = (1620, 1165, 2330, 1265)      # the demonstration workbook's region of no interest


def test_first_screen_starts_with_what_it_is_for_then_the_set_up_commands():
    before, commands = re.match(r"(.*?)```sh\n(.*?)```", README, re.S).groups()
    assert [line.split("#")[0].strip() for line in commands.splitlines()] == \
           ["bash scripts/run_demo.sh", "bash scripts/run_tests.sh"]
    assert "\n## " not in before and len(before.split()) > 40 and before.count("\n") < 15
    assert README.index("## Hardening") > README.index("## Batch inspection")


def test_settings_sample_runs_with_the_demonstration_workbook(tmp_path):
    sample = re.search(r"## Batch inspection.*?```toml\n(.*?)```", README, re.S).group(1)
    assert '# regions_sheet = "regions"' in sample
    book = region_workbook(str(tmp_path))
    if os.path.abspath(book) != str(tmp_path / "regions.xlsx"):
        shutil.copy(book, tmp_path / "regions.xlsx")
    (tmp_path / "plain.toml").write_text(sample)
    (tmp_path / "regions.toml").write_text(re.sub(r"^# (regions_\w+ =)", r"\1", sample, flags=re.M))
    label = make_label()
    target = cv2.warpAffine(label, np.float32([[1, 0, 2], [0, 1, 1]]), label.shape[::-1],
                            borderMode=cv2.BORDER_REPLICATE)     # misregistered as the demonstration's print
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
        x1, y1, x2, y2 = DATE_CODE
        return x1 <= box[0] and y1 <= box[1] and box[2] <= x2 and box[3] <= y2
    assert any(in_date_code(box) for box in boxes["plain"])
    assert not any(in_date_code(box) for box in boxes["regions"])
    assert any(box[0] <= 900 <= box[2] and box[1] <= 1900 <= box[3] for box in boxes["regions"])   # the speck
