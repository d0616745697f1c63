"""Demonstration barcode print inspection.

A generated barcode print (bright bars stacked top to bottom on a dark label)
is the standard; the target is the same print turned by a few degrees and
shifted, once clean and once with a broken bar. shift_compare_barcode
straightens and aligns each target and compares it with the standard; its own
lines report the measured angles and the alignment score. On NG it writes the
marked crop "shift_compare_barcode.jpg" into the current directory, so the
inspection runs inside the output directory.

Run alone: python examples/barcode_job.py [OUT_DIR] (default "out").
"""
import contextlib
import os
import sys
import time

import cv2
import numpy as np

import qlo_cv

SHAPE = (600, 800)
AOI = (120, 80, 680, 540)          # x1, y1, x2, y2
LABEL, INK = 30, 225
TURN, SHIFT = 2.5, (9, -6)         # degrees counterclockwise as displayed, pixels right and down
MAX_SHIFT, THRESHOLD, DIRTY_WIDTH = 3, 60, 6


def make_barcode(seed=7, noise=3.0, turn=0.0, shift=(0, 0), broken=False):
    """A grey barcode print: bars 360 pixels long, 6 to 24 high, with sensor noise."""
    rng = np.random.default_rng(seed)
    image = np.full(SHAPE, LABEL, np.float32)
    y, left, length = 150, 220, 360
    bars = []
    while y < 440:
        height = int(rng.integers(1, 5)) * 6
        bars.append((y, height))
        image[y:y + height, left:left + length] = INK
        y += height + int(rng.integers(1, 3)) * 5
    if broken:
        top, height = max(bars[1:-1], key=lambda bar: bar[1])
        image[top:top + height, left + 260:left + 276] = LABEL      # a 16-pixel break, away from the centre
    image = cv2.GaussianBlur(image, (0, 0), 0.8)
    if turn or shift != (0, 0):
        m = cv2.getRotationMatrix2D((SHAPE[1] / 2, SHAPE[0] / 2), turn, 1)
        m[:, 2] += shift
        image = cv2.warpAffine(image, m, SHAPE[::-1], borderMode=cv2.BORDER_CONSTANT, borderValue=LABEL)
    image += np.random.default_rng(seed + 1).normal(0.0, noise, SHAPE)
    return np.clip(image, 0, 255).astype(np.uint8)


def run_barcode_inspection(out_dir):
    """Inspects a clean and a broken target against the standard; returns the two results."""
    standard = make_barcode()
    targets = [("clean", make_barcode(turn=TURN, shift=SHIFT)),
               ("broken bar", make_barcode(turn=TURN, shift=SHIFT, broken=True))]
    print("barcode: standard upright; targets turned %.1f degrees and shifted by %s" % (TURN, SHIFT))
    results = []
    with contextlib.chdir(out_dir):
        for name, target in targets:
            print("barcode target (%s):" % name)
            start = time.perf_counter()
            result = qlo_cv.shift_compare_barcode(standard, target, AOI, MAX_SHIFT, THRESHOLD, DIRTY_WIDTH)
            elapsed = (time.perf_counter() - start) * 1000.0
            print("barcode verdict (%s): %s (%d NG region%s, %.0f ms)"
                  % (name, "OK" if result.ok else "NG", result.ng_count, "" if result.ng_count == 1 else "s",
                     elapsed))
            for description in result.descriptions:
                print("  " + description)
            if result.ng:
                print("barcode marked crop: %s" % os.path.join(out_dir, "shift_compare_barcode.jpg"))
            results.append(result)
    return results


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "out"
    os.makedirs(out, exist_ok=True)
    run_barcode_inspection(out)
