"""Grey label prints (dark ink on light paper: text in several Hershey fonts,
frames, rules, table cells, barcodes, logos) and a damaged, shifted print of
the same label with missing strokes, smudges and specks.

Run alone: python examples/sample_prints.py [OUT_DIR] (default "out") writes a
pair as label_standard.png and label_target.png and lists its defects."""
import os
import sys

import cv2
import numpy as np

if __package__:
    from . import sample_defects as sd
else:
    import sample_defects as sd

SHAPES = ((480, 640), (512, 768), (600, 800), (400, 720), (768, 1024))
FONTS = (cv2.FONT_HERSHEY_SIMPLEX, cv2.FONT_HERSHEY_DUPLEX, cv2.FONT_HERSHEY_COMPLEX,
         cv2.FONT_HERSHEY_TRIPLEX, cv2.FONT_HERSHEY_PLAIN, cv2.FONT_HERSHEY_SCRIPT_SIMPLEX,
         cv2.FONT_HERSHEY_COMPLEX_SMALL)
WORDS = ("SERIAL", "BATCH", "LOT", "MADE IN", "EXP", "NET WT", "KEEP DRY", "REF", "QC", "Qty", "Part No",
         "best before", "store cool", "Line", "Code", "mm", "kg", "PASS", "Rev", "Date")
VISIBLE = 30          # grey levels: a pixel changed by more is part of a defect


def _text(rng):
    words = rng.choice(WORDS, int(rng.integers(1, 4)))
    return " ".join(words) + " " + "%0*d" % (int(rng.integers(2, 7)), rng.integers(0, 10 ** 6))


def ink_layout(rng, shape):
    """Ink coverage 0..1 (float32) of a random label."""
    rows, cols = shape
    ink = np.zeros(shape, np.uint8)
    aa = cv2.LINE_AA
    if rng.random() < 0.75:
        m = int(rng.integers(6, 30))
        cv2.rectangle(ink, (m, m), (cols - m, rows - m), 255, int(rng.integers(2, 7)), aa)
    y = int(rng.integers(45, 80))
    font = int(rng.choice(FONTS))
    cv2.putText(ink, _text(rng).upper(), (int(rng.integers(30, 60)), y), font, rng.uniform(1.0, 1.6), 255,
                int(rng.integers(2, 5)), aa)
    if rng.random() < 0.7:
        y += int(rng.integers(14, 24))
        cv2.line(ink, (30, y), (int(cols * rng.uniform(0.4, 0.9)), y), 255, int(rng.integers(2, 7)), aa)
    font = int(rng.choice(FONTS))
    scale, thick = rng.uniform(0.6, 1.2), int(rng.integers(2, 4))
    step = int(30 * scale + rng.integers(10, 26))
    left = int(rng.integers(30, 70))
    limit = rows * rng.uniform(0.5, 0.7)
    y += step + 10
    while y < limit:
        cv2.putText(ink, _text(rng), (left, y), font, scale, 255, thick, aa)
        y += step
    if rng.random() < 0.5:   # a table of cells
        x0, y0 = int(cols * rng.uniform(0.55, 0.7)), int(rows * rng.uniform(0.15, 0.4))
        w, h = int(rng.integers(40, 90)), int(rng.integers(24, 40))
        for i in range(int(rng.integers(2, 5))):
            for j in range(2):
                cv2.rectangle(ink, (x0 + j * w, y0 + i * h), (x0 + (j + 1) * w, y0 + (i + 1) * h), 255, 2, aa)
                if x0 + (j + 1) * w < cols - 20 and rng.random() < 0.6:
                    cv2.putText(ink, str(rng.integers(0, 999)), (x0 + j * w + 6, y0 + (i + 1) * h - 8),
                                cv2.FONT_HERSHEY_SIMPLEX, 0.55, 255, 2, aa)
    top, bottom = int(rows * 0.74), int(rows * 0.9)
    if rng.random() < 0.6:   # a barcode
        x = int(rng.integers(40, 80))
        while x < cols * 0.5:
            w = int(rng.integers(1, 5)) * 2 + 1
            cv2.rectangle(ink, (x, top), (x + w, bottom), 255, -1)
            x += w + int(rng.integers(1, 4)) * 3
    else:
        cv2.putText(ink, _text(rng), (40, bottom), int(rng.choice(FONTS)), rng.uniform(0.8, 1.3), 255, 3, aa)
    centre = (int(cols * rng.uniform(0.7, 0.85)), int(rows * rng.uniform(0.72, 0.8)))
    radius = int(rng.integers(25, 60))
    if rng.random() < 0.5:
        cv2.circle(ink, centre, radius, 255, int(rng.integers(3, 9)), aa)
        cv2.circle(ink, centre, radius // 3, 255, -1, aa)
    else:
        cv2.rectangle(ink, (centre[0] - radius, centre[1] - radius // 2), (centre[0] + radius, centre[1] + radius // 2),
                      255, -1)
    return ink.astype(np.float32) / 255


def _soft(mask, sigma):
    return cv2.GaussianBlur(mask.astype(np.float32), (0, 0), sigma) if sigma > 0 else mask.astype(np.float32)


def _damage(rng, ink, kind, change):
    """The ink coverage after a defect planted on the ink mask: extra ink as a
    smudge (soft edge) or speck (sharp), missing ink as paper showing through."""
    if kind in sd.EXTRA_KINDS:
        if rng.random() < 0.5:
            spot = np.clip(_soft(change, rng.uniform(0.8, 2.0)) * rng.uniform(1.1, 1.6), 0, 1) * rng.uniform(0.7, 1.0)
        else:
            spot = _soft(change, 0.5)
        return np.maximum(ink, spot)
    gone = cv2.dilate(change.view(np.uint8), np.ones((3, 3), np.uint8))
    return ink * (1 - _soft(gone, 0.6))


def _print_kind(paper, ink_grey, clean, damaged, change, planned):
    """The kind the print shows at ink thresholds around the middle; empty when
    they disagree (it depends on where ink is said to begin)."""
    kinds = set()
    for f in (0.35, 0.5, 0.65):
        level = ink_grey + (paper - ink_grey) * f
        kinds.add(sd.window_kind(clean < level, damaged < level, change, planned in sd.EXTRA_KINDS, 12))
    return kinds.pop() if len(kinds) == 1 and None not in kinds else ""


def print_pair(rng, shift):
    """(standard, target, shift, [(kind, box)]) with boxes in the standard's frame."""
    shape = SHAPES[rng.integers(len(SHAPES))]
    ink = ink_layout(rng, shape)
    paper, ink_grey = rng.uniform(180, 235), rng.uniform(20, 85)
    grain = cv2.GaussianBlur(rng.standard_normal(shape, dtype=np.float32), (0, 0), 1.5) * rng.uniform(3, 9)

    def render(coverage):
        return paper + grain - (paper - ink_grey) * coverage

    mat = sd.Material(ink > 0.5)
    count = 0 if rng.random() < 0.1 else int(rng.integers(1, 7))
    damaged = ink.copy()
    clean = render(ink)
    defects = []
    for planted in sd.plant_some(rng, mat, count, size=lambda r: r.uniform(2.5, 16)):
        change = np.zeros(shape, bool)
        planted.apply(change)
        before = damaged
        damaged = _damage(rng, damaged, planted.kind, change)
        seen = np.abs(render(damaged) - render(before)) > VISIBLE
        box = sd.box_of(seen)
        if box is None:   # too faint to count as a defect: leave it out
            damaged = before
            continue
        defects.append((_print_kind(paper, ink_grey, clean, render(damaged), seen, planted.kind), box))
    target = cv2.warpAffine(render(damaged), np.float32([[1, 0, shift[0]], [0, 1, shift[1]]]), shape[::-1],
                            flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)
    gain = rng.uniform(0.9, 1.1)
    target = (target - 128) * gain + 128 + rng.uniform(-8, 8)

    def sensor(image):
        noisy = image + rng.standard_normal(shape, dtype=np.float32) * rng.uniform(1.5, 5)
        return np.clip(np.round(noisy), 0, 255).astype(np.uint8)

    return sensor(clean), sensor(target), shift, defects


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "out"
    os.makedirs(out, exist_ok=True)
    standard, target, shift, defects = print_pair(np.random.default_rng(0), (1.5, -1.0))
    for name, image in (("label_standard.png", standard), ("label_target.png", target)):
        if not cv2.imwrite(os.path.join(out, name), image):
            raise OSError("could not write %s" % os.path.join(out, name))
    print("label pair in %s, target moved %s: %s" % (out, shift, ", ".join(
        "%s at %s" % (kind or "unnamed", list(box)) for kind, box in defects) or "no defect"))
