"""the_most_matching_angle on part-sized contours (enclosing radius about 60
and 300 pixels), against the same steps written with direct OpenCV/NumPy calls
in Python, and Contour's cached reads against recomputing them."""
import math

import cv2
import numpy as np

import qlo_cv
from bench import best_ms

RADII = (60, 300)
TURN = 37.0


def part_contour(radius, degrees, center):
    """An asymmetric part outline (a gear blank with a key notch) turned by `degrees`."""
    t = np.linspace(0, 2 * np.pi, 720, endpoint=False)
    r = radius * (0.8 + 0.2 * (np.cos(6 * t) > 0)) * np.where(np.abs(t - 1.0) < 0.2, 0.6, 1.0)
    a = t + math.radians(degrees)
    pts = np.stack([center[0] + r * np.cos(a), center[1] + r * np.sin(a)], axis=1)
    return np.rint(pts).astype(np.int32).reshape(-1, 1, 2)


def direction(contour):
    m = cv2.moments(contour)
    return np.rad2deg(0.5 * np.atan2(2.0 * m["mu11"], m["mu20"] - m["mu02"]))


def baseline(reference, uut):
    """The matching angle's steps, one call each."""
    ref, tgt = reference.copy(), uut.copy()
    ref_dir, uut_dir = direction(ref), direction(tgt)
    (scx, scy), sr = cv2.minEnclosingCircle(ref)
    (ucx, ucy), ur = cv2.minEnclosingCircle(tgt)
    radius = math.ceil(max(sr, ur))
    ref += [radius - int(round(scx, 0)), radius - int(round(scy, 0))]
    tgt += [radius - int(round(ucx, 0)), radius - int(round(ucy, 0))]
    size = (radius * 2, radius * 2)
    ref_mask = cv2.drawContours(np.zeros(size, np.uint8), [ref], 0, 255, cv2.FILLED)
    uut_mask = cv2.bitwise_not(cv2.drawContours(np.zeros(size, np.uint8), [tgt], 0, 255, cv2.FILLED))
    diff = uut_dir - ref_dir
    counts = []
    for index in (0, 1):
        matrix = cv2.getRotationMatrix2D((radius, radius), diff + 180 * index, 1)
        rotated = cv2.warpAffine(uut_mask, matrix, size, borderMode=cv2.BORDER_CONSTANT, borderValue=255)
        counts.append(np.count_nonzero(cv2.bitwise_and(ref_mask, rotated)))
    angle = diff + 180 * int(np.argmin(counts))
    while angle <= -180:
        angle += 360
    while angle > 180:
        angle -= 360
    return angle


def main():
    print("contour: the_most_matching_angle, part turned by %.0f degrees" % TURN)
    for radius in RADII:
        ref_points = part_contour(radius, 0.0, (900, 700))
        uut_points = part_contour(radius, TURN, (1500, 1100))
        reference, uut = qlo_cv.Contour(ref_points), qlo_cv.Contour(uut_points)
        ours = qlo_cv.the_most_matching_angle(reference, uut)
        theirs = baseline(ref_points, uut_points)
        assert ours == theirs, (ours, theirs)
        repeat = 40 if radius < 100 else 8
        t_ours = best_ms(lambda: qlo_cv.the_most_matching_angle(reference, uut), repeat)
        t_base = best_ms(lambda: baseline(ref_points, uut_points), repeat)
        print("  radius %3d: %.1f degrees  qlo_cv %.2f ms  baseline %.2f ms  ratio %.2f"
              % (radius, ours, t_ours, t_base, t_ours / t_base))
    contour = qlo_cv.Contour(part_contour(300, 0.0, (900, 700)))
    contour.moments
    reads = 2000
    t_cached = best_ms(lambda: [contour.direction for _ in range(reads)], 5) / reads * 1000.0
    points = contour.points
    t_fresh = best_ms(lambda: [direction(points) for _ in range(reads)], 5) / reads * 1000.0
    print("  Contour.direction from cached moments %.2f us, recomputed in Python %.2f us, ratio %.2f"
          % (t_cached, t_fresh, t_cached / t_fresh))
