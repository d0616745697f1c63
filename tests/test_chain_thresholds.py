"""Image chain threshold nodes: simple, Otsu and adaptive."""
import cv2
import numpy as np
import pytest

import qlo_cv
from chain_helpers import CountingSource, private_attributes


@pytest.fixture
def grey(rng):
    # Two brightness populations, so Otsu's threshold falls between them.
    image = rng.normal(70, 15, (60, 80))
    image[:, 40:] += 110
    return np.clip(image, 0, 255).astype(np.uint8)


NODES = {
    "simple": lambda p, **k: qlo_cv.ImageSimpleThresholding(p, cv2.THRESH_BINARY, 100, 255, **k),
    "otsu": lambda p, **k: qlo_cv.ImageOtsuThresholding(p, cv2.THRESH_BINARY, 255, **k),
    "adaptive": lambda p, **k: qlo_cv.ImageAdaptiveThresholding(
        p, cv2.ADAPTIVE_THRESH_MEAN_C, cv2.THRESH_BINARY, 255, 11, 2, **k),
}


@pytest.mark.parametrize("kind, stored", [
    ("simple", ["_ImageSimpleThresholding__threshold_type", "_ImageSimpleThresholding__threshold",
                "_ImageSimpleThresholding__max_value"]),
    ("otsu", ["_ImageOtsuThresholding__threshold_type", "_ImageOtsuThresholding__max_value"]),
    ("adaptive", ["_ImageAdaptiveThresholding__method", "_ImageAdaptiveThresholding__threshold_type",
                  "_ImageAdaptiveThresholding__max_value", "_ImageAdaptiveThresholding__block_size",
                  "_ImageAdaptiveThresholding__constant"]),
])
def test_parameters_are_stored_under_their_names_in_order(kind, stored, grey):
    assert private_attributes(NODES[kind](qlo_cv.ImageFromNDArray(grey))) == stored


@pytest.mark.parametrize("kind, name, value", [
    ("simple", "threshold_type", cv2.THRESH_BINARY_INV),
    ("simple", "max_value", 200),
    ("simple", "threshold", 50),
    ("otsu", "threshold_type", cv2.THRESH_TOZERO),
    ("otsu", "max_value", 100),
    ("adaptive", "max_value", 100),
    ("adaptive", "method", cv2.ADAPTIVE_THRESH_GAUSSIAN_C),
    ("adaptive", "threshold_type", cv2.THRESH_BINARY_INV),
    ("adaptive", "block_size", 5),
    ("adaptive", "constant", -1.5),
])
def test_every_setter_empties_the_cache_and_the_next_read_recomputes(kind, name, value, grey):
    node = NODES[kind](qlo_cv.ImageFromNDArray(grey))
    old = node.image
    setattr(node, name, value)
    assert getattr(node, name) == value and node._cache is None
    assert not np.array_equal(node.image, old)


@pytest.mark.parametrize("kind", sorted(NODES))
def test_lazy_nodes_compute_on_first_read_only(kind, grey):
    source = CountingSource(grey)
    node = NODES[kind](source, lazy=True)
    assert source.reads == 0 and node._cache is None
    node.image, node.image
    assert source.reads == 1


def test_simple_threshold_caches_the_image_itself(grey):
    node = qlo_cv.ImageSimpleThresholding(qlo_cv.ImageFromNDArray(grey), cv2.THRESH_TRUNC, 90, 255)
    assert type(node._cache) is np.ndarray and node._cache is node.image
    assert np.array_equal(node.image, cv2.threshold(grey, 90, 255, cv2.THRESH_TRUNC)[1])


@pytest.mark.parametrize("first", ["threshold", "image"])
def test_otsu_threshold_and_image_share_one_lazy_computation(first, grey):
    source = CountingSource(grey)
    node = qlo_cv.ImageOtsuThresholding(source, cv2.THRESH_BINARY, 255, lazy=True)
    getattr(node, first)
    assert source.reads == 1 and type(node._cache) is tuple
    found, expected = cv2.threshold(grey, 0, 255, cv2.THRESH_BINARY | cv2.THRESH_OTSU)
    assert node.threshold == found and 70 < found < 180
    assert np.array_equal(node.image, expected) and source.reads == 1
    assert node._cache[0] is node.image


def test_otsu_recomputes_both_after_a_setter(grey):
    node = qlo_cv.ImageOtsuThresholding(qlo_cv.ImageFromNDArray(grey), cv2.THRESH_BINARY, 255)
    node.threshold_type = cv2.THRESH_BINARY_INV
    assert node._cache is None
    found, expected = cv2.threshold(grey, 0, 255, cv2.THRESH_BINARY_INV | cv2.THRESH_OTSU)
    assert node.threshold == found and np.array_equal(node.image, expected)


def test_adaptive_constant_is_stored_as_float_and_result_matches_opencv(grey):
    node = qlo_cv.ImageAdaptiveThresholding(qlo_cv.ImageFromNDArray(grey), cv2.ADAPTIVE_THRESH_GAUSSIAN_C,
                                            cv2.THRESH_BINARY_INV, 200, 7, 3)
    assert type(node.constant) is float and node.constant == 3.0
    expected = cv2.adaptiveThreshold(grey, 200, cv2.ADAPTIVE_THRESH_GAUSSIAN_C, cv2.THRESH_BINARY_INV, 7, 3.0)
    assert np.array_equal(node.image, expected)
    node.constant = np.int16(4)
    assert type(node.constant) is float
    with pytest.raises(TypeError, match="must be real number, not str"):
        node.constant = "4"


@pytest.mark.parametrize("make, name, got", [
    (lambda p: qlo_cv.ImageSimpleThresholding(p, 0, 100.0, 255), "threshold", "float"),
    (lambda p: qlo_cv.ImageSimpleThresholding(p, True, 100, 255), "threshold_type", "bool"),
    (lambda p: qlo_cv.ImageOtsuThresholding(p, 0, np.uint8(255)), "max_value", "numpy.uint8"),
    (lambda p: qlo_cv.ImageAdaptiveThresholding(p, None, 0, 255, 11, 2), "method", "NoneType"),
    (lambda p: qlo_cv.ImageAdaptiveThresholding(p, 0, 0, 255, 11.0, 2), "block_size", "float"),
    (lambda p: setattr(NODES["simple"](p), "threshold", 1.5), "value", "float"),
    (lambda p: setattr(NODES["adaptive"](p), "block_size", None), "value", "NoneType"),
])
def test_checked_parameters_name_themselves(make, name, got, grey):
    with pytest.raises(TypeError) as info:
        make(qlo_cv.ImageFromNDArray(grey))
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected int, got {got})"


def test_missing_previous_image_gives_what_opencv_gives():
    # OpenCV's threshold answers a missing image with a None image; the
    # adaptive threshold raises.
    for kind in ("simple", "otsu"):
        assert NODES[kind](qlo_cv.ImageChainBase()).image is None
    node = NODES["adaptive"](qlo_cv.ImageChainBase(), lazy=True)
    with pytest.raises(cv2.error):
        node.image
    assert node._cache is None


def test_chain_ending_in_thresholds_matches_opencv(rng):
    colour = rng.integers(0, 256, (50, 70, 3), dtype=np.uint8)
    grey_node = qlo_cv.ImageColorConverter(qlo_cv.ImageFromNDArray(colour), cv2.COLOR_BGR2GRAY)
    blurred = qlo_cv.ImageScaling(grey_node, fx=0.5, fy=0.5, interpolation=cv2.INTER_AREA)
    otsu = qlo_cv.ImageOtsuThresholding(blurred, cv2.THRESH_TOZERO, 255)
    simple = qlo_cv.ImageSimpleThresholding(otsu, cv2.THRESH_BINARY_INV, 30, 180)

    small = cv2.resize(cv2.cvtColor(colour, cv2.COLOR_BGR2GRAY), None, fx=0.5, fy=0.5,
                       interpolation=cv2.INTER_AREA)
    found, zeroed = cv2.threshold(small, 0, 255, cv2.THRESH_TOZERO | cv2.THRESH_OTSU)
    assert otsu.threshold == found
    assert np.array_equal(simple.image, cv2.threshold(zeroed, 30, 180, cv2.THRESH_BINARY_INV)[1])
