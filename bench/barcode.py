"""shift_compare_barcode on the demonstration's barcode print (turned 2.5
degrees, shifted, one broken bar), against the same inspection written as
direct OpenCV/NumPy calls: find and join the bars, measure and straighten each
print, template-match, translate, and the shift-tolerant comparison with one
warp per displacement. At the demonstration's size and padded to a
5-megapixel camera image."""
import contextlib
import io
import tempfile

import cv2
import numpy as np

import qlo_cv
from bench.shift_comparator import best_ms, displacements
from examples.barcode_job import AOI, DIRTY_WIDTH, LABEL, MAX_SHIFT, SHIFT, THRESHOLD, TURN, make_barcode

SIZES = ((600, 800), (2048, 2448))


def bars_of(image, aoi):
    x1, y1, x2, y2 = aoi
    otsu, binary = cv2.threshold(image[y1:y2, x1:x2], 0, 255, cv2.THRESH_BINARY | cv2.THRESH_OTSU)
    contours, _ = cv2.findContours(binary, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    bars = [c for c in contours if 1500 <= cv2.contourArea(c) <= 120000 and 600 <= cv2.arcLength(c, True) <= 2000]
    bars.sort(key=lambda c: cv2.boundingRect(c)[1])
    return bars, cv2.threshold(image, otsu, 255, cv2.THRESH_BINARY)[1]


def straighten(image, aoi):
    x1, y1, x2, y2 = aoi
    bars, binary = bars_of(image, aoi)
    bx, by, bw, bh = cv2.boundingRect(bars[0])
    _, ly, _, lh = cv2.boundingRect(bars[-1])
    centre = bx + x1 + bw // 2
    cv2.rectangle(binary, (centre - 2, by + y1 + bh // 2), (centre + 2, ly + y1 + lh // 2), 255, cv2.FILLED)
    contours, _ = cv2.findContours(binary[y1:y2, x1:x2], cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    angle = cv2.minAreaRect(max(contours, key=cv2.contourArea))[2]
    angle -= 90.0 * np.ceil((angle - 45.0) / 90.0)
    m = cv2.getRotationMatrix2D((bx + x1, by + y1), angle, 1)
    return cv2.warpAffine(image, m, image.shape[::-1], borderMode=cv2.BORDER_CONSTANT, borderValue=0)


def rect_of(image, aoi):
    boxes = [cv2.boundingRect(b) for b in bars_of(image, aoi)[0]]
    left, top = min(b[0] for b in boxes), min(b[1] for b in boxes)
    right, bottom = max(b[0] + b[2] for b in boxes), max(b[1] + b[3] for b in boxes)
    return left + aoi[0], top + boxes[0][3] // 2 + aoi[1], right - left, bottom - top


def spots(a, b):
    rows, cols = a.shape
    result = (a - b) > THRESHOLD
    for dx, dy in displacements(MAX_SHIFT):
        moved = cv2.warpAffine(b, np.float32([[1, 0, dx], [0, 1, dy]]), (cols, rows), borderMode=cv2.BORDER_REPLICATE)
        np.logical_and(result, (a - moved) > THRESHOLD, result)
    contours, _ = cv2.findContours(result * np.uint8(255), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
    boxes = [cv2.boundingRect(c) for c in contours]
    return [[x, y, x + w, y + h] for x, y, w, h in boxes if w >= DIRTY_WIDTH or h >= DIRTY_WIDTH]


def baseline(std, tgt, aoi):
    """The whole inspection with direct calls; returns the NG boxes."""
    std_r, tgt_r = straighten(std, aoi), straighten(tgt, aoi)
    x, y, w, h = rect_of(std_r, aoi)
    tx, ty, tw, th = rect_of(tgt_r, aoi)
    left, top = max(tx - 20, 0), max(ty - 20, 0)
    score = cv2.matchTemplate(tgt_r[top:ty + th + 20, left:tx + tw + 20], std_r[y:y + h, x:x + w],
                              cv2.TM_CCOEFF_NORMED)
    mx, my = cv2.minMaxLoc(score)[3]
    rows, cols = std.shape
    corrected = cv2.warpAffine(tgt_r, np.float32([[1, 0, x - mx - left], [0, 1, y - my - top]]), (cols, rows),
                               borderMode=cv2.BORDER_REPLICATE)
    x1, y1, x2, y2 = aoi
    s, t = np.zeros(std.shape, np.int16), np.zeros(std.shape, np.int16)
    s[y1:y2, x1:x2] = std_r[y1:y2, x1:x2]
    t[y1:y2, x1:x2] = corrected[y1:y2, x1:x2]
    return spots(s, t) + spots(t, s)


def inspect(std, tgt, aoi):
    with contextlib.redirect_stdout(io.StringIO()):
        result = qlo_cv.shift_compare_barcode(std, tgt, aoi, MAX_SHIFT, THRESHOLD, DIRTY_WIDTH)
    return [region.rect for region in result.ng_regions]


def main():
    print("barcode: shift_compare_barcode, max_shift %d, target turned %.1f degrees with a broken bar"
          % (MAX_SHIFT, TURN))
    std, tgt = make_barcode(), make_barcode(turn=TURN, shift=SHIFT, broken=True)
    # The NG crop is written into the current directory: keep it out of the caller's.
    with tempfile.TemporaryDirectory() as scratch, contextlib.chdir(scratch):
        for rows, cols in SIZES:
            pad = ((0, rows - std.shape[0]), (0, cols - std.shape[1]))
            std_big, tgt_big = (np.pad(image, pad, constant_values=LABEL) for image in (std, tgt))
            ours = inspect(std_big, tgt_big, AOI)
            if ours != baseline(std_big, tgt_big, AOI):
                raise AssertionError("qlo_cv and the baseline disagree: %s" % ours)
            q = best_ms(lambda: inspect(std_big, tgt_big, AOI), 5)
            b = best_ms(lambda: baseline(std_big, tgt_big, AOI), 5)
            print("  %4d x %4d: qlo_cv %7.1f ms  baseline %7.1f ms  ratio %.2f" % (cols, rows, q, b, b / q))
