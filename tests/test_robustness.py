"""Wrong input of every kind raises a Python exception, and repeated calls do not leak."""
import cv2
import numpy as np
import pytest

import qlo_cv
from conftest import run_python

ODD_VALUES = [None, 0, -1, 2**70, 1.5, "text", b"bytes", [], (), {}, object(),
              np.zeros(0, np.uint8), np.zeros((3, 4, 5, 6), np.float32), np.ones((5, 5), np.int64)[:, ::2]]


def _public_callables():
    for name, value in vars(qlo_cv).items():
        if (name.startswith("__") or name in ("cv2", "_cv", "_np", "_math", "_Path", "load_workbook", "_leastsq",
                                                "cmp_to_key", "_Enum")
                or name[:2] in ("_L", "_U", "_T", "_S", "_O", "_C")):
            continue
        if callable(value):
            yield name, value


@pytest.mark.parametrize("name, func", list(_public_callables()))
def test_odd_arguments_raise_python_errors(name, func):
    for arity in range(0, 5):
        for value in ODD_VALUES:
            try:
                func(*([value] * arity))
            except Exception:
                pass


@pytest.mark.hardening
def test_repeated_failures_and_successes_do_not_leak():
    proc = run_python("""
        import gc, resource
        import numpy as np, qlo_cv
        img = np.zeros((40, 50), np.uint8)
        def round_trip():
            for bad in (lambda: qlo_cv.ImageCopy(), lambda: qlo_cv.ImageFromFile("x", True),
                        lambda: qlo_cv.ImageChainBase().save(bogus=1),
                        lambda: qlo_cv.ImageCopy(qlo_cv.ImageChainBase()),
                        lambda: qlo_cv.CompareResult(img).marked_image(3), lambda: qlo_cv.translate(None, 1, 2)):
                try:
                    bad()
                except Exception:
                    pass
            node = qlo_cv.ImageFromNDArray(img, copy=True)
            node.image, node.shape
            node.invalidate_all()
            result = qlo_cv.CompareResult(img)
            result.append(qlo_cv.NGRegion([1, 2, 3, 4], "x"))
            result.marked_image()
            qlo_cv.compare_image_difference(qlo_cv.translate(img, 1, 2), img, 3)
        for _ in range(2000):
            round_trip()
        gc.collect()
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        for _ in range(20000):
            round_trip()
        gc.collect()
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """)
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout) < 4096, f"resident memory grew by {proc.stdout.strip()} KiB"


def _peeler_on_four_dims():
    peeler = qlo_cv.CirclePeeler(np.full((20, 20), 200, np.uint8), 100)
    peeler._CirclePeeler__shape = (1, 1, 1, 1)
    return peeler.peel(1)


SQUARE = np.array([[[1, 1]], [[6, 1]], [[6, 6]], [[1, 6]]], np.int32)


@pytest.mark.parametrize("draw", [
    lambda image: qlo_cv.Contour(SQUARE).make_mask(image.shape),
    lambda image: qlo_cv.Triangle("t").draw(image, 255),
    lambda image: qlo_cv.Rectangle("r").draw(image, 255),
    lambda image: qlo_cv.extract_poly(image, SQUARE.reshape(-1, 2), 0),
    lambda image: _peeler_on_four_dims(),
], ids=["make_mask", "triangle", "rectangle", "extract_poly", "peel"])
@pytest.mark.parametrize("shape", [(0, 0, 0, 0), (1, 1, 1, 1), (2, 3, 4, 5)])
def test_drawing_on_more_than_three_dimensions_is_refused(draw, shape):
    # OpenCV's fillPoly and drawContours write past a small 4-D array's memory.
    with pytest.raises(cv2.error, match="cannot draw on an array of 4 dimensions"):
        draw(np.zeros(shape, np.uint8))
