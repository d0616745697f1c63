"""A synthetic printed label and a misregistered print of it with known defects.

Used by the main job and the benchmarks: `make_print_pair()` returns the
standard print, the target print and the boxes (x1, y1, x2, y2) of the defects
put into the target.

Run alone: python examples/print_pair.py [OUT_DIR] (default "out") writes the
pair as print_standard.png and print_target.png and lists the defects.
"""
import os
import sys

import cv2
import numpy as np

PAPER = 214
INK = 38


def _paper(rng, shape):
    grain = cv2.GaussianBlur(rng.normal(0.0, 9.0, shape).astype(np.float32), (0, 0), 1.5)
    return np.clip(PAPER + grain, 0, 255).astype(np.uint8)


def make_label(shape=(2048, 2448), seed=3):
    """A grey print: paper grain, a frame, headings and body text, rules, a
    barcode and a round logo, scaled to the image size."""
    rng = np.random.default_rng(seed)
    rows, cols = shape
    image = _paper(rng, shape)
    unit = min(rows, cols) / 1000.0
    cv2.rectangle(image, (int(20 * unit), int(20 * unit)), (cols - int(20 * unit), rows - int(20 * unit)), INK,
                  max(2, int(8 * unit)))
    cv2.putText(image, "QLO LINE 7  LOT 2047", (int(60 * unit), int(130 * unit)), cv2.FONT_HERSHEY_DUPLEX,
                2.6 * unit, INK, max(2, int(7 * unit)), cv2.LINE_AA)
    y = int(240 * unit)
    words = ["SERIAL", "BATCH", "MADE IN", "EXP", "NET WT", "KEEP DRY", "REF", "QC PASSED"]
    while y < rows * 0.62:
        text = " ".join(rng.choice(words, 3)) + " %05d" % rng.integers(0, 99999)
        cv2.putText(image, text, (int(60 * unit), y), cv2.FONT_HERSHEY_SIMPLEX, 1.3 * unit, INK,
                    max(2, int(4 * unit)), cv2.LINE_AA)
        y += int(70 * unit)
    cv2.line(image, (int(60 * unit), int(170 * unit)), (int(cols * 0.7), int(170 * unit)), INK, max(3, int(7 * unit)))
    x = int(60 * unit)
    bar_top, bar_bottom = int(rows * 0.68), int(rows * 0.9)
    while x < cols * 0.55:
        width = int(rng.integers(1, 5) * 3 * unit) + 2
        cv2.rectangle(image, (x, bar_top), (x + width, bar_bottom), INK, -1)
        x += width + int(rng.integers(1, 4) * 3 * unit) + 2
    centre = (int(cols * 0.8), int(rows * 0.78))
    cv2.circle(image, centre, int(120 * unit), INK, max(3, int(12 * unit)), cv2.LINE_AA)
    cv2.circle(image, centre, int(45 * unit), INK, -1, cv2.LINE_AA)
    return image


def make_print_pair(shape=(2048, 2448), shift=(2, 1), seed=3, noise=3.0):
    """(standard, target, defects): the target is the label moved `shift`
    pixels (right, down) with its own sensor noise, a missing stroke on the
    heading rule, a smudge and a speck; `defects` lists (name, box)."""
    rng = np.random.default_rng(seed + 1)
    label = make_label(shape, seed)
    rows, cols = shape
    unit = min(rows, cols) / 1000.0
    m = np.float32([[1, 0, shift[0]], [0, 1, shift[1]]])
    moved = cv2.warpAffine(label, m, (cols, rows), borderMode=cv2.BORDER_REPLICATE)

    defects = []
    rule_y = int(170 * unit) + shift[1]
    x1, x2 = int(400 * unit), int(470 * unit)
    half = max(3, int(7 * unit))
    moved[rule_y - half:rule_y + half + 1, x1:x2] = PAPER
    defects.append(("missing stroke", (x1, rule_y - half, x2, rule_y + half + 1)))

    smudge = np.zeros(shape, np.float32)
    centre = (int(cols * 0.72), int(rows * 0.45))
    axes = (int(40 * unit), int(18 * unit))
    cv2.ellipse(smudge, centre, axes, 25, 0, 360, 1.0, -1)
    smudge = cv2.GaussianBlur(smudge, (0, 0), 4 * unit)
    moved = np.clip(moved - 110.0 * smudge, 0, 255).astype(np.uint8)
    defects.append(("smudge", (centre[0] - axes[0], centre[1] - axes[0], centre[0] + axes[0], centre[1] + axes[0])))

    speck = (int(cols * 0.35), int(rows * 0.94))
    radius = max(4, int(6 * unit))
    cv2.circle(moved, speck, radius, INK, -1, cv2.LINE_AA)
    defects.append(("speck", (speck[0] - radius, speck[1] - radius, speck[0] + radius + 1, speck[1] + radius + 1)))

    def sensor(image):
        return np.clip(image + rng.normal(0.0, noise, shape), 0, 255).astype(np.uint8)

    return sensor(label), sensor(moved), defects


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "out"
    os.makedirs(out, exist_ok=True)
    standard, target, defects = make_print_pair()
    for name, image in (("print_standard.png", standard), ("print_target.png", target)):
        if not cv2.imwrite(os.path.join(out, name), image):
            raise OSError("could not write %s" % os.path.join(out, name))
    print("print pair in %s: %s" % (out, ", ".join("%s at %s" % d for d in defects)))
