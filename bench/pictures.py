"""The pictures of an NG print: the full-size marked image in each way it
could be stored (PNG stored, at deflate level 1 and 6, level 1 with the RLE
strategy, JPEG at quality 80 and 90, WebP), size and encoding time on the
installed OpenCV, for a 2448 x 2048 label print and a 640 x 640 board tile;
then what a run writes by default instead (the 320-pixel preview and the
sheet of crops), against the marked PNG the tool stored before (level 0)."""
import time

import cv2
import numpy as np

import qlo_cv

from examples.labelled_samples import board_sample
from examples.print_pair import make_print_pair
from qlo_batch.settings import Settings
from qlo_batch.work_unit import MARKED_FORMATS, THUMB_JPEG_PARAMS, encode, thumbnail
from qlo_batch.pictures import crop_sheet

ROUNDS = 5
WAYS = [("PNG stored", ".png", [cv2.IMWRITE_PNG_COMPRESSION, 0]),
        ("PNG level 1", ".png", [cv2.IMWRITE_PNG_COMPRESSION, 1]),
        ("PNG level 1 RLE", ".png", [cv2.IMWRITE_PNG_COMPRESSION, 1, cv2.IMWRITE_PNG_STRATEGY,
                                     cv2.IMWRITE_PNG_STRATEGY_RLE]),
        ("PNG level 6", ".png", [cv2.IMWRITE_PNG_COMPRESSION, 6]),
        ("JPEG 80", ".jpg", [cv2.IMWRITE_JPEG_QUALITY, 80]),
        ("JPEG 90", ".jpg", [cv2.IMWRITE_JPEG_QUALITY, 90]),
        ("WebP 80", ".webp", [cv2.IMWRITE_WEBP_QUALITY, 80])]


def best(action):
    times = []
    for _ in range(ROUNDS):
        start = time.perf_counter()
        result = action()
        times.append(time.perf_counter() - start)
    return min(times) * 1000, result


def main():
    cv2.setNumThreads(1)
    std_print, print_, _ = make_print_pair()
    std_tile, tile = board_sample(np.random.default_rng(3))[:2]
    print("pictures: OpenCV %s, one thread" % cv2.__version__)
    for name, standard, image, settings in (
            ("2448 x 2048 print", std_print, print_, Settings(max_shift=3, threshold=50, judge_parameter=4)),
            ("640 x 640 tile", std_tile, tile, Settings(max_shift=1, threshold=50, judge_parameter=1))):
        result = qlo_cv.CompareResult(image)
        settings.comparator(standard).compare(image, result)
        marked = result.marked_image()
        print("  %s, %d NG regions: the full-size marked image" % (name, len(result.ng_regions)))
        for way, suffix, params in WAYS:
            ms, data = best(lambda: encode(suffix, marked, params))
            print("    %-16s %9.0f kB %8.1f ms%s" % (way, len(data) / 1024, ms, "  (--marked)" if any(
                suffix == chosen and list(params) == list(options) for chosen, options in MARKED_FORMATS.values())
                else ""))
        boxes = [list(region.rect) for region in result.ng_regions]

        def default():
            preview = encode(".jpg", thumbnail(image, boxes), THUMB_JPEG_PARAMS)
            _, sheet = crop_sheet(image, boxes, (), standard)
            return len(preview) + (0 if sheet is None else len(encode(".jpg", sheet, THUMB_JPEG_PARAMS)))
        ms, size = best(default)
        then_ms, then = best(lambda: len(encode(".png", marked, [cv2.IMWRITE_PNG_COMPRESSION, 0])))
        print("    by default: preview and crop sheet %.0f kB, %.1f ms; the stored marked PNG before %.0f kB, "
              "%.1f ms: %.0fx smaller" % (size / 1024, ms, then / 1024, then_ms, then / size))


if __name__ == "__main__":
    main()
