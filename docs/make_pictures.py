"""Makes the README's pictures: docs/report.png (a batch report over a few
generated prints, as headless Chromium shows it) and docs/marked_preview.png
(the demonstration's marked preview), written into OUT_DIR, or over the
README's own pictures in docs/ with --refresh-docs:

    .venv/bin/python docs/make_pictures.py OUT_DIR
    .venv/bin/python docs/make_pictures.py --refresh-docs

Needs Chromium (`chromium`, `chromium-browser` or `google-chrome` on PATH).
The pictures are scaled down and their colours coarsened so each stays small
in bytes."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

import cv2
import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.join(ROOT, "examples")]

import qlo_cv  # noqa: E402
from masked_regions import preview  # noqa: E402
from print_pair import make_label, make_print_pair  # noqa: E402
from qlo_batch import Settings, run_batch  # noqa: E402

DOCS = os.path.join(ROOT, "docs")
PRINT_SHAPE = (1024, 1224)          # half the demonstration's print: the report looks the same, made faster
WIDTH = 900                         # of each picture, in pixels
# Each channel in 16 steps of 16, at the middle of its step, but for white and black.
LEVELS = np.clip(np.arange(256) // 16 * 16 + 8, 0, 255).astype(np.uint8)
LEVELS[:16], LEVELS[240:] = 0, 255


def moved(image, right, down):
    return cv2.warpAffine(image, np.float32([[1, 0, right], [0, 1, down]]), image.shape[::-1],
                          borderMode=cv2.BORDER_REPLICATE)


def write_prints(folder):
    """A standard and a folder of prints: two OK (one misregistered within the
    tolerance), two with defects, one misregistered past it, one corrupt."""
    label = make_label(PRINT_SHAPE)
    standard = os.path.join(folder, "standard.png")
    cv2.imwrite(standard, label)
    prints = os.path.join(folder, "prints")
    os.mkdir(prints)
    _, pair, _ = make_print_pair(PRINT_SHAPE, shift=(1, 1))
    speck = moved(label, 1, 0)
    cv2.circle(speck, (700, 300), 7, 40, -1)
    cv2.circle(speck, (260, 610), 5, 40, -1)
    for name, image in (("lot2047-001.png", label), ("lot2047-002.png", moved(label, 2, 1)),
                        ("lot2047-003.png", pair), ("lot2047-004.png", speck),
                        ("lot2047-005.png", moved(label, 4, 3))):
        cv2.imwrite(os.path.join(prints, name), image)
    with open(os.path.join(prints, "lot2047-006.png"), "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n cut short")
    return standard, prints


def small_png(image, path, width=WIDTH):
    """Writes `image` scaled to `width` columns with colours coarsened to
    16 levels per channel (hardly visible on a screen, a third smaller
    once deflated)."""
    scale = width / image.shape[1]
    image = cv2.resize(image, (width, round(image.shape[0] * scale)), interpolation=cv2.INTER_AREA)
    image = cv2.LUT(image, LEVELS)
    if not cv2.imwrite(path, image, [cv2.IMWRITE_PNG_COMPRESSION, 9]):
        raise OSError("could not write %s" % path)
    print("%s: %d x %d, %d bytes" % (path, image.shape[1], image.shape[0], os.path.getsize(path)))


def report_picture(work, out_dir):
    browser = next(filter(None, map(shutil.which, ("chromium", "chromium-browser", "google-chrome"))), None)
    if browser is None:
        raise SystemExit("no Chromium found: the report's picture needs it")
    standard, prints = write_prints(work)
    out = os.path.join(work, "out")
    run_batch(standard, prints, out, Settings(), serial=True, progress=False)
    shot = os.path.join(work, "report.png")
    subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    "--window-size=1400,1000", "--screenshot=" + shot,
                    "file://" + os.path.join(os.path.abspath(out), "report.html")],
                   check=True, capture_output=True, timeout=120)
    small_png(cv2.imread(shot)[:960], os.path.join(out_dir, "report.png"))


def preview_picture(work, out_dir):
    standard, target, _ = make_print_pair(shift=(2, 1))
    result = qlo_cv.CompareResult(target)
    qlo_cv.ShiftComparator(standard, 3, 50, 4).compare(target, result)
    path = preview(result, os.path.join(work, "marked_preview.png"))
    small_png(cv2.imread(path), os.path.join(out_dir, "marked_preview.png"), 640)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Makes the README's pictures (report.png, marked_preview.png).")
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("out_dir", nargs="?", metavar="OUT_DIR", help="the folder to write them into")
    where.add_argument("--refresh-docs", action="store_true", help="replace the README's own pictures in docs/")
    args = parser.parse_args(argv)
    out_dir = DOCS if args.refresh_docs else args.out_dir
    os.makedirs(out_dir, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        report_picture(work, out_dir)
        preview_picture(work, out_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
