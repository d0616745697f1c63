"""binary_image_swap on a 5-megapixel binary image, against the pixel-by-pixel
loop it replaces and against one np.copyto of the same image (the cost of
touching every pixel once), and its throughput on two threads against one."""
import time

import numpy as np

import qlo_cv
from bench import best_ms, thread_scaling

SHAPE = (2048, 2448)  # rows, columns: a 5-megapixel camera image
SMALL = (480, 640)    # an image that stays in one core's cache


def loop_swap(image, one=255, zero=0):
    """The swap as a pixel-by-pixel loop through item access: the reference."""
    h, w = image.shape
    for i in range(h):
        for j in range(w):
            if image[i, j] == zero:
                image[i, j] = one
            else:
                image[i, j] = zero


def main():
    rng = np.random.default_rng(5)
    image = np.where(rng.random(SHAPE) < 0.3, 255, 0).astype(np.uint8)
    looped, native = image.copy(), image.copy()
    start = time.perf_counter()
    loop_swap(looped)
    loop_ms = (time.perf_counter() - start) * 1000.0
    qlo_cv.binary_image_swap(native)
    if not np.array_equal(looped, native):
        raise SystemExit("binary_image_swap and the loop disagree")

    swap_ms = best_ms(lambda: qlo_cv.binary_image_swap(native), 50)
    target = np.empty_like(image)
    copy_ms = best_ms(lambda: np.copyto(target, image), 50)
    print("binary_swap: %d x %d uint8 binary image" % (SHAPE[1], SHAPE[0]))
    print("  %-22s %10.2f ms" % ("pixel loop", loop_ms))
    print("  %-22s %10.3f ms   %8.0fx faster than the loop" % ("qlo_cv", swap_ms, loop_ms / swap_ms))
    print("  %-22s %10.3f ms   qlo_cv takes %.2fx its time" % ("np.copyto", copy_ms, swap_ms / copy_ms))

    for shape, calls in ((SHAPE, 400), (SMALL, 4000)):
        def own_image(shape=shape):
            mine = np.where(rng.random(shape) < 0.3, 255, 0).astype(np.uint8)
            return lambda: qlo_cv.binary_image_swap(mine)
        thread_scaling("threads, %d x %d:" % (shape[1], shape[0]), own_image, calls)
