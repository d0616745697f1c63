"""Registration of prints onto their standards (qlo_batch.registration).

1. Accuracy and cost of the ways to find the transform, on generated board
   tiles (640 x 640), label prints and 5-megapixel prints, each target turned
   by up to 2 degrees, scaled by up to 1 %, moved by up to 20 pixels and, one
   in three, with a 0.5 % keystone: the landmarks of qlo_batch.registration,
   OpenCV's ECC on an image pyramid, and ORB features with RANSAC. Error is
   the largest distance between the true and the found position of the
   image's corners and centre.
2. Registration beside the comparison of the same print (the registered
   print's ShiftComparator.compare and the whole inspection step).
3. Defects on a labelled set (boards and prints of examples/labelled_samples)
   whose targets are also turned, scaled, moved, keystoned and lit 0.7 to
   1.3 times as brightly: the F-score at IoU > 0.33 and the false defects on
   clean targets, registered, against the same set untransformed.

    python -m bench registration [--boards N] [--prints N]
"""
import argparse
import sys
import math
import os
import tempfile
import time

import cv2
import numpy as np

import qlo_cv
from bench import best_ms
from examples import sample_boards
from examples.labelled_samples import board_sample, print_sample
from examples.print_pair import make_print_pair
from qlo_batch.matching import match
from qlo_batch.pairs import Pair
from qlo_batch.registration import Reference, register
from qlo_batch.settings import Settings
from qlo_batch.work_unit import Inspector

REGISTERED = Settings(register="homography")


def random_transform(rng, shape, keystone, turn=2.0, scale=0.01, move=20.0):
    """A 3 x 3 carrying standard pixels to the target's: turned, scaled and
    moved about the image's centre by random amounts up to the limits, and
    with `keystone` a 0.5 % change of scale from one edge to the other."""
    rows, cols = shape
    angle = math.radians(rng.uniform(-turn, turn))
    factor = 1 + rng.uniform(-scale, scale)
    centre = np.array([cols / 2, rows / 2])
    linear = factor * np.array([[math.cos(angle), -math.sin(angle)], [math.sin(angle), math.cos(angle)]])
    matrix = np.eye(3)
    matrix[:2, :2] = linear
    matrix[:2, 2] = centre + rng.uniform(-move, move, 2) - linear @ centre
    if keystone:
        tilt = np.eye(3)
        tilt[2, int(rng.integers(2))] = 0.005 * rng.choice((-1, 1)) / cols
        to_centre = np.array([[1, 0, -centre[0]], [0, 1, -centre[1]], [0, 0, 1.0]])
        matrix = matrix @ np.linalg.inv(to_centre) @ tilt @ to_centre
    return matrix


def warped(image, matrix, brightness=1.0):
    out = cv2.warpPerspective(image.astype(np.float32), matrix, image.shape[::-1], flags=cv2.INTER_LINEAR,
                              borderMode=cv2.BORDER_REPLICATE)
    return np.clip(np.round(out * brightness), 0, 255).astype(np.uint8)


def moved_boxes(boxes, matrix, shape):
    if not boxes:
        return []
    r = np.asarray(boxes, np.float64)
    corners = np.stack([r[:, [0, 1]], r[:, [2, 1]], r[:, [0, 3]], r[:, [2, 3]]], axis=1).reshape(-1, 1, 2)
    moved = cv2.perspectiveTransform(corners, matrix).reshape(-1, 4, 2)
    rows, cols = shape
    low = np.floor(moved.min(axis=1)).clip(0, (cols, rows))
    high = np.ceil(moved.max(axis=1)).clip(0, (cols, rows))
    return np.hstack((low, high)).astype(int).tolist()


def corner_error(found, true, shape):
    rows, cols = shape
    points = np.float64([[0, 0], [cols, 0], [0, rows], [cols, rows], [cols / 2, rows / 2]]).reshape(-1, 1, 2)
    return float(np.abs(cv2.perspectiveTransform(points, found) - cv2.perspectiveTransform(points, true)).max())


def sample_pairs(kind, count):
    """(standard, clean target) pairs of one kind."""
    for index in range(count):
        rng = np.random.default_rng([41, index])
        if kind == "board tile":
            standard = board_sample(rng, max_shift=0)[0]
            yield standard, sample_boards.scan(rng, standard)
        elif kind == "label print":
            standard, target = print_sample(rng, max_shift=0)[:2]
            yield standard, target
        else:
            standard, target, _ = make_print_pair(shift=(0, 0), seed=index)
            yield standard, target


def ecc(standard_levels, target, matrix=None):
    """ECC on a pyramid: a projective warp from the coarsest level to the
    half-resolution one (the last level refines little and costs most)."""
    levels = [target]
    while len(levels) < len(standard_levels):
        levels.append(cv2.pyrDown(levels[-1]))
    warp = np.eye(3, dtype=np.float32) if matrix is None else matrix
    down = np.diag([0.5, 0.5, 1.0]).astype(np.float32)
    for _ in range(len(levels) - 1):
        warp = down @ warp @ np.linalg.inv(down)
    for level in range(len(levels) - 1, 0, -1):
        criteria = (cv2.TERM_CRITERIA_COUNT | cv2.TERM_CRITERIA_EPS, 50 if level == len(levels) - 1 else 15, 1e-5)
        _, warp = cv2.findTransformECC(standard_levels[level], levels[level], warp, cv2.MOTION_HOMOGRAPHY, criteria,
                                       None, 3)
        warp = np.linalg.inv(down) @ warp @ down
    return warp.astype(np.float64)


class Features:
    """ORB features of the standard, matched to the target's and fitted with RANSAC."""

    def __init__(self, standard):
        self.orb = cv2.ORB_create(2000)
        self.points, self.descriptors = self.orb.detectAndCompute(standard, None)

    def __call__(self, target):
        points, descriptors = self.orb.detectAndCompute(target, None)
        matches = cv2.BFMatcher(cv2.NORM_HAMMING, crossCheck=True).match(self.descriptors, descriptors)
        src = np.float32([self.points[m.queryIdx].pt for m in matches])
        dst = np.float32([points[m.trainIdx].pt for m in matches])
        return cv2.findHomography(src, dst, cv2.RANSAC, 3.0)[0]


def methods(kind, count):
    print("%s: transform found (largest corner error, px) and time per print (ms, median)" % kind)
    rng = np.random.default_rng(7)
    results = {name: ([], []) for name in ("landmarks", "ECC pyramid", "ORB + RANSAC")}
    for index, (standard, clean) in enumerate(sample_pairs(kind, count)):
        truth = random_transform(rng, standard.shape, index % 3 == 0)
        target = warped(clean, truth)
        reference = Reference.of(standard)
        levels = [standard]
        while max(levels[-1].shape) > 200:
            levels.append(cv2.pyrDown(levels[-1]))
        features = Features(standard)
        for name, find in (("landmarks", lambda: register(reference, target, REGISTERED).matrix),
                           ("ECC pyramid", lambda: ecc(levels, target)), ("ORB + RANSAC", lambda: features(target))):
            start = time.perf_counter()
            try:
                found = find()
                error = corner_error(found, truth, standard.shape) if found is not None else math.inf
            except cv2.error:
                error = math.inf
            results[name][0].append(error)
            results[name][1].append((time.perf_counter() - start) * 1000)
    for name, (errors, times) in results.items():
        print("  %-14s error max %7.2f median %5.2f   %7.1f ms" % (name, max(errors), float(np.median(errors)),
                                                                   float(np.median(times))))


def cost(kind, folder, count=3):
    """Registration against the comparison of the registered print, and the
    whole inspection step (reading, comparing, defects, pictures) of the
    print without and with registration, taken in turns."""
    rng = np.random.default_rng(8)
    rows = []
    for index, (standard, clean) in enumerate(sample_pairs(kind, count)):
        target = warped(clean, random_transform(rng, standard.shape, index % 3 == 0))
        reference = Reference.of(standard)
        registration = register(reference, target, REGISTERED)
        comparator = REGISTERED.compared().comparator(standard)
        onto = registration.onto(standard, target)
        paths = [os.path.join(folder, name) for name in ("standard.png", "target.png")]
        cv2.imwrite(paths[0], standard)
        cv2.imwrite(paths[1], target)
        task = Pair(paths[0], paths[1], "target.png")
        plain, registering = Inspector(Settings()), Inspector(REGISTERED)
        rows.append((best_ms(lambda: comparator.compare(onto, qlo_cv.CompareResult(onto)), 15),
                     best_ms(lambda: register(reference, target, REGISTERED), 15),
                     best_ms(lambda: registration.onto(standard, target), 15),
                     best_ms(lambda: Reference.of(standard), 5),
                     best_ms(lambda: plain(task), 5), best_ms(lambda: registering(task), 5)))
    compare_ms, find_ms, resample_ms, prepare_ms, plain_ms, registering_ms = np.median(np.array(rows), axis=0)
    print("  %-12s compare %6.2f ms | registration: find %6.2f ms + resample %5.2f ms = %.1fx the comparison "
          "(standard prepared once: %.1f ms)" % (kind, compare_ms, find_ms, resample_ms,
                                                 (find_ms + resample_ms) / compare_ms, prepare_ms))
    print("  %-12s whole inspection step: %.1f ms unregistered (defaults), %.1f ms registered"
          % ("", plain_ms, registering_ms))


def labelled(boards, prints, transformed, shift=3.0):
    """[(name, standard, target, labels)] of the labelled set (targets moved
    by up to `shift` pixels by the generator, which repeats their border
    pixels into the strip it uncovers); with
    `transformed` every target (and its labels) turned, scaled, moved,
    keystoned (one in three) and lit 0.7 to 1.3 times as brightly. Each
    defect target has a clean twin (no labels): a new scan of the standard."""
    pairs = []
    for family, make, count in (("board", board_sample, boards), ("print", print_sample, prints)):
        for index in range(count):
            rng = np.random.default_rng([42, len(family), index])
            standard, target, _, labels, _ = make(rng, max_shift=shift)
            boxes = [list(box) for _, box in labels]
            clean = sample_boards.scan(rng, standard) if family == "board" else \
                np.clip(standard + rng.normal(0, 3, standard.shape), 0, 255).astype(np.uint8)
            for name, image, image_boxes in (("%s%d" % (family, index), target, boxes),
                                             ("%s%d-clean" % (family, index), clean, [])):
                if transformed:
                    matrix = random_transform(rng, standard.shape, index % 3 == 0)
                    image = warped(image, matrix, rng.uniform(0.7, 1.3))
                    image_boxes = moved_boxes(image_boxes, matrix, standard.shape)
                pairs.append((name, standard, image, image_boxes))
    return pairs


def score(pairs, settings, folder):
    """(F-score at IoU > 0.33, defects on clean targets, clean targets NG, prints not registered)."""
    inspector = Inspector(settings)
    matched = found = labelled_count = false_clean = ng_clean = refused = 0
    for name, standard, target, boxes in pairs:
        paths = [os.path.join(folder, "%s-%s.png" % (name, side)) for side in ("s", "t")]
        cv2.imwrite(paths[0], standard)
        cv2.imwrite(paths[1], target)
        outcome = inspector(Pair(paths[0], paths[1], name))
        refused += any(d.startswith("not registered") for d in outcome.descriptions)
        defect_boxes = [d[0] for d in outcome.defects]
        matched += len(match(boxes, defect_boxes))
        found += len(defect_boxes)
        labelled_count += len(boxes)
        if name.endswith("clean"):
            false_clean += len(defect_boxes)
            ng_clean += outcome.verdict != "OK"
    return 2 * matched / max(found + labelled_count, 1), false_clean, ng_clean, refused


def defects(boards, prints):
    print("defects on %d board tiles and %d label prints (and as many clean twins), F at IoU > 0.33:"
          % (boards, prints))
    with tempfile.TemporaryDirectory() as folder:
        for shift in (3.0, 0.0):
            print(" generated targets moved by up to %g px before the transforms:" % shift)
            plain, moved = labelled(boards, prints, False, shift), labelled(boards, prints, True, shift)
            for what, pairs, settings in (("untransformed, defaults (baseline)", plain, Settings()),
                                          ("untransformed, registered", plain, REGISTERED),
                                          ("transformed, registered", moved, REGISTERED),
                                          ("transformed, defaults", moved, Settings())):
                f, false_clean, ng_clean, refused = score(pairs, settings, folder)
                print("  %-36s F %.3f | clean targets: %d NG, %d defects | not registered %d"
                      % (what, f, ng_clean, false_clean, refused))


def main(argv=()):
    """Runs the registration bench; `argv` are its options (none: the defaults)."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--boards", type=int, default=24)
    parser.add_argument("--prints", type=int, default=12)
    args = parser.parse_args(argv)
    print("Registration (settings: register %r, registered_max_shift %d)" % (REGISTERED.register,
                                                                           REGISTERED.registered_max_shift))
    for kind in ("board tile", "label print", "5 MP print"):
        methods(kind, 6)
    print("cost against the comparison of the same registered print (best of 15, median over prints):")
    with tempfile.TemporaryDirectory() as folder:
        for kind in ("board tile", "label print", "5 MP print"):
            cost(kind, folder)
    defects(args.boards, args.prints)


if __name__ == "__main__":
    main(sys.argv[1:])
