"""Measurement step of the demonstration: a round part with burrs and a dent
is peeled down to its circle, and a generated part outline is profiled
column by column. Prints one line for each.

Run alone: python examples/measure_part.py"""
import time

import cv2
import numpy as np

import qlo_cv

TRUE_CENTER = (612.4, 431.8)   # pixels
TRUE_RADIUS = 287.3
PEEL_ROUNDS = 2


def round_part(shape=(860, 1220)):
    """A bright disc on a dark background with three burrs on its rim and a dent."""
    image = np.full(shape, 30, np.uint8)
    sub = 16                                                      # cv2 sub-pixel drawing: 4 fractional bits
    cx, cy = (round(v * sub) for v in TRUE_CENTER)
    cv2.circle(image, (cx, cy), round(TRUE_RADIUS * sub), 210, -1, cv2.LINE_8, 4)
    for angle, size in ((25, 9), (140, 14), (250, 7)):
        a = np.deg2rad(angle)
        reach = TRUE_RADIUS + size / 2
        tip = (TRUE_CENTER[0] + reach * np.cos(a), TRUE_CENTER[1] + reach * np.sin(a))
        cv2.circle(image, tuple(round(v * sub) for v in tip), size * sub, 210, -1, cv2.LINE_8, 4)
    dent = (TRUE_CENTER[0] - TRUE_RADIUS * np.cos(np.deg2rad(35)),
            TRUE_CENTER[1] + TRUE_RADIUS * np.sin(np.deg2rad(35)))
    cv2.circle(image, tuple(round(v * sub) for v in dent), 12 * sub, 30, -1, cv2.LINE_8, 4)
    return image


def part_outline():
    """The outline of a bracket: a plate with a raised boss and a notch cut into its top."""
    image = np.zeros((300, 500), np.uint8)
    cv2.rectangle(image, (40, 150), (460, 230), 255, -1)
    cv2.rectangle(image, (180, 60), (300, 150), 255, -1)
    cv2.rectangle(image, (380, 150), (400, 175), 0, -1)
    contours, _ = cv2.findContours(image, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
    return contours[0]


def measure_demo():
    start = time.perf_counter()
    fit = qlo_cv.CirclePeeler(round_part(), 128).peel(PEEL_ROUNDS)
    elapsed = (time.perf_counter() - start) * 1000.0
    cx, cy = fit.center
    print("circle: fitted centre (%.2f, %.2f) radius %.2f after %d peels; "
          "true centre (%.2f, %.2f) radius %.2f (%.0f ms)"
          % (cx, cy, fit.radius, PEEL_ROUNDS, *TRUE_CENTER, TRUE_RADIUS, elapsed))
    (begin, end), heights = qlo_cv.calculate_contour_vertical_distances(part_outline(), 2, 2)
    tallest = max(range(len(heights)), key=heights.__getitem__)
    print("profile: columns %d..%d, tallest column x=%d height %d px, notch height %d px at x=390"
          % (begin, end - 1, begin + tallest, heights[tallest], heights[390 - begin]))


if __name__ == "__main__":
    measure_demo()
