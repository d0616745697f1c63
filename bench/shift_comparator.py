"""ShiftComparator.compare against the same inspection written by hand with
OpenCV (grey dilation, cv2.subtract, threshold, contours) on a 5-megapixel
print pair and on 640 x 640 tiles; on a 5-megapixel pair against the
inspection written as one warp, subtraction, comparison and in-place
logical_and per tried displacement, and its scaling over two threads (with a
plain copy of as much memory for the machine's limit); the
mismatch map of one pass against OpenCV's grey dilation by the same window;
the native route against the module's own per-displacement loop on thin
images, wide windows and the shapes the tests use."""
import math

import cv2
import numpy as np

import qlo_cv
from bench import best_ms, thread_scaling
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


def structuring_element(max_shift, step=1, slope=True):
    """The displacements the comparator tries, and no displacement, as a
    cv2.dilate kernel (symmetric, so its orientation does not matter)."""
    kernel = np.zeros((2 * max_shift + 1, 2 * max_shift + 1), np.uint8)
    kernel[max_shift, max_shift] = 1
    for dx, dy in displacements(max_shift, step, slope):
        kernel[max_shift + dy, max_shift + dx] = 1
    return kernel


class HandWritten:
    """The inspection as an engineer would write it with OpenCV alone: the
    standard's grey dilation over the displacement set made once, the
    target's on every call, then cv2.subtract on uint8 (a target darker than
    every nearby standard pixel by more than the threshold is a black spot;
    brighter, a white spot), threshold, findContours, boundingRect and the
    same judge. Replicated borders, as the comparator's displaced images."""

    def __init__(self, std_image, max_shift, threshold=THRESHOLD, length=JUDGE_LENGTH):
        self.std = std_image
        self.kernel = structuring_element(max_shift)
        self.threshold, self.length = threshold, length
        self.std_dilated = cv2.dilate(std_image, self.kernel, borderType=cv2.BORDER_REPLICATE)

    def boxes(self, tgt_image):
        tgt_dilated = cv2.dilate(tgt_image, self.kernel, borderType=cv2.BORDER_REPLICATE)
        boxes = []
        for image, dilated in ((self.std, tgt_dilated), (tgt_image, self.std_dilated)):
            _, mask = cv2.threshold(cv2.subtract(image, dilated), self.threshold, 255, cv2.THRESH_BINARY)
            contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
            for cnt in contours:
                x, y, w, h = cv2.boundingRect(cnt)
                if w >= self.length or h >= self.length:
                    boxes.append([x, y, x + w, y + h])
        return boxes


def against_hand_written(label, shape, calls, rounds=7):
    """compare against HandWritten on one print pair of `shape`, at max_shift
    3 and 8, both on one OpenCV thread: the same boxes first, then rounds
    taken in turns (best of `calls` calls each), printed as ranges."""
    std_image, tgt, _defects = make_print_pair(shape, SHIFT)
    print("  %s, %d x %d, one OpenCV thread, %d rounds in turns:" % (label, shape[1], shape[0], rounds))
    for max_shift in (3, 8):
        comparator = qlo_cv.ShiftComparator(std_image, max_shift, THRESHOLD, JUDGE_LENGTH)
        hand = HandWritten(std_image, max_shift)
        boxes = inspect(comparator, tgt)
        if boxes != hand.boxes(tgt):
            raise SystemExit("qlo_cv and the hand-written version disagree at max_shift %d" % max_shift)
        mine, theirs, ratios = in_turns(lambda: best_ms(lambda: inspect(comparator, tgt), calls),
                                        lambda: best_ms(lambda: hand.boxes(tgt), calls), rounds)
        print("    max_shift %d: qlo_cv %.2f-%.2f ms (%.0f pairs/s at best), hand-written %.2f-%.2f ms (%.0f pairs/s);"
              " ratio qlo_cv / hand-written %.2f-%.2f; %d regions, same boxes"
              % (max_shift, min(mine), max(mine), 1000 / min(mine), min(theirs), max(theirs), 1000 / min(theirs),
                 min(ratios), max(ratios), len(boxes)))


def ok_print(rounds=7, calls=10):
    """compare against HandWritten on a defect-free 5-megapixel print (the
    standard moved by one pixel each way), the usual case on a line."""
    std_image, _tgt, _defects = make_print_pair(SHAPE, SHIFT)
    moved = cv2.warpAffine(std_image, np.float32([[1, 0, 1], [0, 1, 1]]), SHAPE[::-1],
                           borderMode=cv2.BORDER_REPLICATE)
    comparator = qlo_cv.ShiftComparator(std_image, 3, THRESHOLD, JUDGE_LENGTH)
    hand = HandWritten(std_image, 3)
    if inspect(comparator, moved) != hand.boxes(moved) or hand.boxes(moved):
        raise SystemExit("qlo_cv and the hand-written version disagree on the OK print")
    mine, theirs, ratios = in_turns(lambda: best_ms(lambda: inspect(comparator, moved), calls),
                                    lambda: best_ms(lambda: hand.boxes(moved), calls), rounds)
    print("  OK print, 2448 x 2048, max_shift 3: qlo_cv %.2f-%.2f ms, hand-written %.2f-%.2f ms; ratio %.2f-%.2f;"
          " no regions either way" % (min(mine), max(mine), min(theirs), max(theirs), min(ratios), max(ratios)))


def fixed_cost(rounds=7, calls=300):
    """compare against HandWritten on a 16 x 16 pair with one dark spot, where
    no work scales with the pixels: the cost of a call itself. Rounds taken
    in turns, each the best of 5 loops of `calls` calls, per call in us."""
    std_image = np.full((16, 16), 128, np.uint8)
    tgt = std_image.copy()
    tgt[4:12, 5:13] = 0
    comparator = qlo_cv.ShiftComparator(std_image, 3, THRESHOLD, 1)
    hand = HandWritten(std_image, 3, length=1)
    boxes = inspect(comparator, tgt)
    if boxes != hand.boxes(tgt):
        raise SystemExit("qlo_cv and the hand-written version disagree on the 16 x 16 pair")

    def per_call(action):
        def loop():
            for _ in range(calls):
                action()
        return best_ms(loop, 5) * 1000 / calls

    mine, theirs, ratios = in_turns(lambda: per_call(lambda: inspect(comparator, tgt)),
                                    lambda: per_call(lambda: hand.boxes(tgt)), rounds)
    print("  fixed cost, 16 x 16 pair, max_shift 3: qlo_cv %.1f-%.1f us per call, hand-written %.1f-%.1f us;"
          " ratio %.2f-%.2f; %d regions, same boxes"
          % (min(mine), max(mine), min(theirs), max(theirs), min(ratios), max(ratios), len(boxes)))


def in_turns(measure_mine, measure_theirs, rounds):
    """Both measurements taken in turns, `rounds` times each, so that a slow
    spell of the machine weighs on both: (mine, theirs, ratios)."""
    mine, theirs = [], []
    for _ in range(rounds):
        mine.append(measure_mine())
        theirs.append(measure_theirs())
    return mine, theirs, [m / t for m, t in zip(mine, theirs)]


def inspect(comparator, tgt):
    result = qlo_cv.CompareResult(tgt)
    comparator.compare(tgt, result)
    return [region.rect for region in result.ng_regions]


def main():
    print("shift_comparator against the hand-written OpenCV inspection (standard's dilation made once)")
    one_thread(lambda: (against_hand_written("print pair", SHAPE, 5),
                        against_hand_written("tile", (640, 640), 60), ok_print(), fixed_cost()))
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
        slow_one = one_thread(lambda: best_ms(lambda: baseline(comparator.std_threshold, tgt, max_shift), 5))
        print("  %-9d %12.1f %12.1f %7.1fx %8d   (baseline on one OpenCV thread: %.1f ms, %.1fx)"
              % (max_shift, cost[max_shift], slow, slow / cost[max_shift], len(boxes), slow_one,
                 slow_one / cost[max_shift]))
    print("  cost of max_shift 8 against max_shift 1: %.2fx" % (cost[8] / cost[1]))

    mismatch_map_against_dilate(comparator.std_threshold, tgt)
    two_threads(std_image, tgt)
    route_against_loop()


def two_threads(std_image, tgt):
    """Throughput of two threads against one, each thread with its own
    comparator and target: on the 5-megapixel pair, on 640 x 640 tiles, and,
    as the machine's own limit for work that streams that much memory, a
    10 MB copy."""
    def comparing(std, target):
        def make():
            comparator, mine = qlo_cv.ShiftComparator(std, 3, THRESHOLD, JUDGE_LENGTH), target.copy()
            return lambda: inspect(comparator, mine)
        return make

    def copying():
        source = np.zeros(SHAPE, np.int16)
        destination = source.copy()
        return lambda: np.copyto(destination, source)

    tile_std, tile_tgt, _defects = make_print_pair((640, 640), SHIFT)
    one_thread(lambda: (thread_scaling("compare 2448 x 2048, max_shift 3:", comparing(std_image, tgt), 10),
                        thread_scaling("compare 640 x 640, max_shift 3:", comparing(tile_std, tile_tgt), 200),
                        thread_scaling("np.copyto of 10 MB:", copying, 20)))


def one_thread(measure):
    """What `measure` returns with OpenCV limited to one thread, as the comparator's own work is."""
    threads = cv2.getNumThreads()
    cv2.setNumThreads(1)
    try:
        return measure()
    finally:
        cv2.setNumThreads(threads)


def mismatch_map_against_dilate(std, tgt_image):
    """One directed pass at max_shift 3 with findContours answering at once,
    against cv2.dilate of the same int16 image by a 7 x 7 window."""
    tgt = np.int16(tgt_image)
    comparator = qlo_cv.ShiftComparator(np.zeros((1, 1), np.uint8), 3, THRESHOLD, JUDGE_LENGTH)
    result = qlo_cv.CompareResult(None)
    find = cv2.findContours
    cv2.findContours = lambda *args: ((), None)
    try:
        mine = best_ms(lambda: comparator._do_compare_image_with_shift(std, tgt, 1, "x", result), 15)
    finally:
        cv2.findContours = find
    kernel = np.ones((7, 7), np.uint8)
    dilate = best_ms(lambda: cv2.dilate(tgt, kernel), 15)
    # the map is one thread's work: compare with one thread too
    dilate_one = one_thread(lambda: best_ms(lambda: cv2.dilate(tgt, kernel), 15))
    print("  mismatch map of one pass (max_shift 3): %.1f ms; cv2.dilate int16 7x7: %.1f ms (%.1f ms on one thread);"
          " %.2fx the one-thread dilation" % (mine, dilate, dilate_one, mine / dilate_one))


def loop_translate(image, right, down):
    m = np.float32([[1, 0, right], [0, 1, down]])
    return cv2.warpAffine(image, m, (image.shape[1], image.shape[0]), borderMode=cv2.BORDER_REPLICATE)


# (rows, cols), max_shift, step: the thin image of a wide window, then the
# shapes and windows the tests compare on.
ROUTE_CASES = [((2, 32766), 260, 1),
               ((64, 80), 9, 1), ((64, 80), 9, 3), ((20, 30), 45, 1), ((200, 240), 3, 1), ((1, 1), 2, 1),
               ((2, 300), 20, 1), ((300, 2), 20, 1), ((3, 700), 260, 1), ((5, 90), 40, 3), ((1, 50), 9, 1),
               ((40, 600), 300, 1), ((600, 40), 300, 2), ((31, 33), 400, 1)]


def route_against_loop():
    """One directed pass through the native route and through the module's
    loop (forced by rebinding translate) on each case; ratio loop / native."""
    rng = np.random.default_rng(5)
    print("  native route against the per-displacement loop, one pass, threshold 20, slope true")
    print("  %-12s %9s %4s %11s %11s %8s" % ("shape", "max_shift", "step", "native ms", "loop ms", "ratio"))
    worst = math.inf
    for shape, max_shift, step in ROUTE_CASES:
        tgt = cv2.GaussianBlur(rng.integers(0, 256, shape, dtype=np.uint8), (3, 3), 0).astype(np.int16)
        std = tgt + rng.integers(-10, 11, shape).astype(np.int16)       # a few blobs: the map dominates
        std[shape[0] // 3:shape[0] // 2 + 1, shape[1] // 3:shape[1] // 2 + 1] += 200
        comparator = qlo_cv.ShiftComparator(np.zeros((1, 1), np.uint8), max_shift, 20, 1, step=step)
        result = qlo_cv.CompareResult(None)
        action = lambda: comparator._do_compare_image_with_shift(std, tgt, 1, "x", result)
        repeat = 1 if shape[0] * shape[1] * max_shift > 10 ** 6 else 5
        native = best_ms(action, 5)
        qlo_cv.translate, translate = loop_translate, qlo_cv.translate
        try:
            looped = best_ms(action, repeat)
        finally:
            qlo_cv.translate = translate
        worst = min(worst, looped / native)
        print("  %-12s %9d %4d %11.2f %11.2f %7.1fx" % ("%dx%d" % shape, max_shift, step, native, looped,
                                                       looped / native))
    print("  slowest case: native %.1fx the loop's speed" % worst)
