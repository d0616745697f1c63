"""Calls read module globals and attributes in the order a Python expression
would: the callee first, then its arguments left to right, and attributes as
often as the expression names them. Subclasses and patched globals see it."""
import types

import cv2
import numpy as np
import pytest

import qlo_cv


class Recording(types.ModuleType):
    """Stands in for a library module and logs every attribute read."""

    def __init__(self, real, log, tag):
        super().__init__(real.__name__)
        object.__setattr__(self, "_real", real)
        object.__setattr__(self, "_log", log)
        object.__setattr__(self, "_tag", tag)

    def __getattr__(self, name):
        self._log.append("%s.%s" % (self._tag, name))
        return getattr(self._real, name)


@pytest.fixture
def log(monkeypatch):
    entries = []
    monkeypatch.setattr(qlo_cv, "_cv", Recording(cv2, entries, "cv"))
    monkeypatch.setattr(qlo_cv, "_np", Recording(np, entries, "np"))
    return entries


def test_file_node_reads_the_path_a_str_subclass_names(tmp_path):
    real = tmp_path / "real.png"
    cv2.imwrite(str(real), np.full((3, 4), 9, np.uint8))

    class Alias(str):
        def __str__(self):
            return str(real)

    node = qlo_cv.ImageFromFile(Alias(str(tmp_path / "missing.png")), cv2.IMREAD_GRAYSCALE)
    assert node.image.shape == (3, 4)


class LoggingResult(qlo_cv.CompareResult):
    """Logs every read of `image`."""

    def __init__(self, image, log):
        self._log = log
        super().__init__(image)

    @property
    def image(self):
        self._log.append("self.image")
        return self.__dict__["image"]

    @image.setter
    def image(self, value):
        self.__dict__["image"] = value


class LoggingRegion(qlo_cv.NGRegion):
    def __init__(self, rect, log):
        self._log = log
        super().__init__(rect)

    @property
    def rect(self):
        self._log.append("region.rect")
        return self.__dict__["rect"]

    @rect.setter
    def rect(self, value):
        self.__dict__["rect"] = value


def test_marked_image_reads_as_its_expression_does(log):
    result = LoggingResult(np.zeros((20, 30), np.uint8), log)
    result.append(LoggingRegion(None, log))
    result.append(LoggingRegion([2, 3, 5, 6], log))
    result.append(LoggingRegion(None, log))
    del log[:]
    result.marked_image()
    assert log == ["cv.cvtColor", "self.image", "cv.COLOR_GRAY2BGR",
                   "region.rect", "self.image", "cv.rectangle",
                   "region.rect", "region.rect", "cv.rectangle",
                   "region.rect", "self.image", "cv.rectangle"]


def test_comparator_looks_up_callees_before_arguments(log):
    std = np.full((12, 12), 200, np.uint8)
    tgt = std.copy()
    tgt[4:8, 4:8] = 0
    comparator = qlo_cv.ShiftComparator(std, 0, 50, 1, cmp_region=(1, 1, 11, 11))
    del log[:]
    comparator.compare(tgt, qlo_cv.CompareResult(tgt))
    zeros = [entry for entry in log if entry in ("np.zeros", "np.uint8", "np.int16")]
    assert zeros[:4] == ["np.zeros", "np.uint8", "np.zeros", "np.int16"]
    first = log.index("cv.findContours")
    assert log[first:first + 3] == ["cv.findContours", "cv.RETR_EXTERNAL", "cv.CHAIN_APPROX_NONE"]


def test_windowed_standard_is_read_after_its_zero_image(log):
    comparator = qlo_cv.ShiftComparator(np.zeros((6, 6), np.uint8), 0, 50, 1, cmp_region=(0, 0, 3, 3))

    class Watched(type(comparator)):
        pass

    reads = []
    standard = comparator.std_threshold
    watched = Watched.__new__(Watched)
    watched.__dict__.update(comparator.__dict__)
    del watched.__dict__["std_threshold"]
    Watched.std_threshold = property(lambda self: (reads.append(len(log)), standard)[1])
    del log[:]
    watched.compare(np.zeros((6, 6), np.uint8), qlo_cv.CompareResult(None))
    int16_zeros = [i for i, entry in enumerate(log) if entry == "np.int16"][0]
    # std_threshold is read for the uint8 shape, the int16 shape, then the window after the int16 zeros.
    assert len(reads) == 3 and reads[2] > int16_zeros


def test_extract_poly_builds_its_polygon_array_callee_first(log):
    image = np.full((8, 8), 255, np.uint8)
    qlo_cv.extract_poly(image, [(1, 1), (6, 1), (6, 6)])
    assert log == ["np.zeros", "np.array", "np.int32", "cv.fillPoly"]
