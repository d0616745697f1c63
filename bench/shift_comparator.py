"""ShiftComparator.compare on a 5-megapixel print pair, against the same
inspection written as one warp, subtraction, comparison and in-place
logical_and per tried displacement, and its scaling over two threads."""
import math
import threading
import time

import cv2
import numpy as np

import qlo_cv
from bench import best_ms
from examples.print_pair import make_print_pair

SHAPE = (2048, 2448)          # rows, columns: a 5-megapixel camera image
SHIFT = (1, 1)                # the target's misregistration
THRESHOLD = 50
JUDGE_LENGTH = 4
MAX_SHIFTS = (1, 3, 8)


def displacements(max_shift, step=1, slope=True):
    """The displacements the comparator tries, in its order."""
    out = []
    for sx, sy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
        out += [(sx * i, sy * i) for i in range(1, max_shift + 1, step)]
    if slope:
        reach = int(max_shift / math.sqrt(2)) + 1
        for sx, sy in ((1, 1), (-1, 1), (1, -1), (-1, -1)):
            out += [(sx * i, sy * i) for i in range(1, reach, step)]
    return out


def baseline(std, tgt_image, max_shift):
    """Both passes of the inspection, one warp per displacement; returns the boxes."""
    tgt = np.int16(tgt_image)
    rows, cols = std.shape
    boxes = []
    for a, b in ((std, tgt), (tgt, std)):
        result = (a - b) > THRESHOLD
        for dx, dy in displacements(max_shift):
            moved = cv2.warpAffine(b, np.float32([[1, 0, dx], [0, 1, dy]]), (cols, rows),
                                   borderMode=cv2.BORDER_REPLICATE)
            np.logical_and(result, (a - moved) > THRESHOLD, result)
        contours, _ = cv2.findContours(result * np.uint8(255), cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
        for cnt in contours:
            x, y, w, h = cv2.boundingRect(cnt)
            if w >= JUDGE_LENGTH or h >= JUDGE_LENGTH:
                boxes.append([x, y, x + w, y + h])
    return boxes


def inspect(comparator, tgt):
    result = qlo_cv.CompareResult(tgt)
    comparator.compare(tgt, result)
    return [region.rect for region in result.ng_regions]


def throughput(action, threads, per_thread):
    """Calls per second with `threads` threads each calling `action` `per_thread` times."""
    workers = [threading.Thread(target=lambda: [action() for _ in range(per_thread)]) for _ in range(threads)]
    start = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return threads * per_thread / (time.perf_counter() - start)


def main():
    std_image, tgt, _defects = make_print_pair(SHAPE, SHIFT)
    print("shift_comparator: %d x %d 8-bit print pair, threshold %d, step 1, slope true"
          % (SHAPE[1], SHAPE[0], THRESHOLD))
    print("  %-9s %12s %12s %8s %8s" % ("max_shift", "qlo_cv ms", "baseline ms", "ratio", "regions"))
    cost = {}
    for max_shift in MAX_SHIFTS:
        comparator = qlo_cv.ShiftComparator(std_image, max_shift, THRESHOLD, JUDGE_LENGTH)
        boxes = inspect(comparator, tgt)
        if boxes != baseline(comparator.std_threshold, tgt, max_shift):
            raise SystemExit("qlo_cv and the baseline disagree at max_shift %d" % max_shift)
        cost[max_shift] = best_ms(lambda: inspect(comparator, tgt), 15)
        slow = best_ms(lambda: baseline(comparator.std_threshold, tgt, max_shift), 5)
        print("  %-9d %12.1f %12.1f %7.1fx %8d" % (max_shift, cost[max_shift], slow, slow / cost[max_shift],
                                                   len(boxes)))
    print("  cost of max_shift 8 against max_shift 1: %.2fx" % (cost[8] / cost[1]))

    comparator = qlo_cv.ShiftComparator(std_image, 3, THRESHOLD, JUDGE_LENGTH)
    one = throughput(lambda: inspect(comparator, tgt), 1, 20)
    two = throughput(lambda: inspect(comparator, tgt), 2, 20)
    print("  threads (max_shift 3): 1 thread %.1f compares/s, 2 threads %.1f compares/s, %.2fx"
          % (one, two, two / one))
