"""Image chain transform nodes: crop, split, convert, move, scale, pad, rotate, warp."""
import cv2
import numpy as np
import pytest

import qlo_cv
from chain_helpers import CountingSource, private_attributes

AFFINE_SRC = [[10, 10], [60, 12], [15, 50]]
AFFINE_DST = [[12, 8], [58, 16], [10, 47]]
PERSPECTIVE_SRC = [[5, 5], [70, 4], [72, 55], [3, 52]]
PERSPECTIVE_DST = [[0, 0], [79, 0], [79, 59], [0, 59]]


@pytest.fixture
def grey(rng):
    return rng.integers(0, 256, (60, 80), dtype=np.uint8)


@pytest.fixture
def colour(rng):
    return rng.integers(0, 256, (60, 80, 3), dtype=np.uint8)


def float32_warp(kind, image, src, dst, **kwargs):
    src, dst = np.float32(src), np.float32(dst)
    if kind == "affine":
        return cv2.warpAffine(image, cv2.getAffineTransform(src, dst), (80, 60), **kwargs)
    return cv2.warpPerspective(image, cv2.getPerspectiveTransform(src, dst), (80, 60), **kwargs)


# One factory per node class, building it on a given previous node.
NODES = {
    "roi": lambda p, **k: qlo_cv.ImageROI(p, (1, 2, 30, 40), **k),
    "splitter": lambda p, **k: qlo_cv.ImageChannelSplitter(p, 1, **k),
    "converter": lambda p, **k: qlo_cv.ImageColorConverter(p, cv2.COLOR_BGR2GRAY, **k),
    "translation": lambda p, **k: qlo_cv.ImageTranslation(p, 5, -3, **k),
    "scaling": lambda p, **k: qlo_cv.ImageScaling(p, (40, 30), **k),
    "border": lambda p, **k: qlo_cv.ImageMakingBorder(p, 1, 2, 3, 4, cv2.BORDER_CONSTANT, 7, **k),
    "rotation": lambda p, **k: qlo_cv.ImageRotation(p, (40, 30), 30, cv2.BORDER_CONSTANT, 0, **k),
    "affine": lambda p, **k: qlo_cv.ImageAffineTransformation(
        p, AFFINE_SRC, AFFINE_DST, cv2.BORDER_CONSTANT, 0, **k),
    "perspective": lambda p, **k: qlo_cv.ImagePerspectiveTransformation(
        p, PERSPECTIVE_SRC, PERSPECTIVE_DST, cv2.BORDER_CONSTANT, 0, **k),
}
COLOUR_INPUT = {"splitter", "converter"}


def build(kind, grey, colour, **kwargs):
    return NODES[kind](qlo_cv.ImageFromNDArray(colour if kind in COLOUR_INPUT else grey), **kwargs)


@pytest.mark.parametrize("kind, stored", [
    ("roi", ["_ImageROI__region", "_ImageROI__copy"]),
    ("splitter", ["_ImageChannelSplitter__channel_index"]),
    ("converter", ["_ImageColorConverter__cvt_code"]),
    ("translation", ["_ImageTranslation__right_movement", "_ImageTranslation__down_movement",
                     "_ImageTranslation__border_mode", "_ImageTranslation__border_value",
                     "_ImageTranslation__interpolation"]),
    ("scaling", ["size", "fx", "fy", "interpolation"]),
    ("border", ["top", "bottom", "left", "right", "border_mode", "border_value"]),
    ("rotation", ["center", "degree", "border_mode", "border_value", "interpolation"]),
    ("affine", ["src_points", "dst_points", "border_mode", "border_value", "interpolation"]),
    ("perspective", ["src_points", "dst_points", "border_mode", "border_value", "interpolation"]),
])
def test_parameters_are_stored_under_their_names_in_order(kind, stored, grey, colour):
    assert private_attributes(build(kind, grey, colour)) == stored


@pytest.mark.parametrize("kind, name, value, attribute, empties", [
    ("converter", "cvt_code", cv2.COLOR_BGR2HSV, "_ImageColorConverter__cvt_code", True),
    ("translation", "right_translation", 2, "_ImageTranslation__right_movement", True),
    ("translation", "down_translation", 2, "_ImageTranslation__down_movement", True),
    ("translation", "border_mode", cv2.BORDER_CONSTANT, "_ImageTranslation__border_mode", True),
    ("translation", "border_value", 9, "_ImageTranslation__border_value", True),
    ("translation", "interpolation", cv2.INTER_NEAREST, "_ImageTranslation__interpolation", False),
    ("splitter", "channel_index", 2, "_ImageChannelSplitter__channel_index", False),
    ("scaling", "size", (10, 10), "size", False),
    ("scaling", "fx", 2.0, "fx", False),
    ("border", "top", 9, "top", False),
    ("border", "border_value", 1, "border_value", False),
    ("rotation", "degree", 45.0, "degree", False),
    ("rotation", "center", (1.0, 1.0), "center", False),
    ("affine", "src_points", AFFINE_DST, "src_points", False),
    ("perspective", "interpolation", cv2.INTER_NEAREST, "interpolation", False),
])
def test_which_changes_empty_the_cache(kind, name, value, attribute, empties, grey, colour):
    node = build(kind, grey, colour)
    before = node._cache
    assert before is not None
    setattr(node, name, value)
    assert getattr(node, attribute) == value and getattr(node, name) == value
    assert node._cache is (None if empties else before)


@pytest.mark.parametrize("kind", sorted(NODES))
def test_lazy_nodes_compute_on_first_read_only(kind, grey, colour):
    source = CountingSource(colour if kind in COLOUR_INPUT else grey)
    lazy = NODES[kind](source, lazy=True)
    assert source.reads == 0 and lazy._cache is None
    first = lazy.image
    assert lazy.image is first and source.reads == 1
    NODES[kind](source)
    assert source.reads == 2


@pytest.mark.parametrize("kind, function", [
    ("converter", "cvtColor"), ("splitter", "split"), ("scaling", "resize"), ("border", "copyMakeBorder"),
])
def test_library_function_is_looked_up_before_the_previous_image(kind, function, grey, colour, monkeypatch):
    source = CountingSource(colour if kind in COLOUR_INPUT else grey)
    node = NODES[kind](source, lazy=True)
    monkeypatch.setattr(qlo_cv, "_cv", object())
    with pytest.raises(AttributeError, match=function):
        node.image
    assert source.reads == 0 and node._cache is None


# ---- ImageROI ----

def test_roi_is_a_view_unless_copied(rng):
    image = rng.integers(0, 200, (200, 300), dtype=np.uint8)
    root = qlo_cv.ImageFromNDArray(image)
    view = qlo_cv.ImageROI(root, (10, 20, 110, 70))
    copy = qlo_cv.ImageROI(root, [10, 20, 110, 70], copy=True)
    assert view.shape == copy.shape == (50, 100)
    assert view.changes_affect_previous is True and copy.changes_affect_previous is False
    view.image[0, 0] = 255
    assert root.image[20, 10] == 255
    copy.image[1, 1] = 255
    assert root.image[21, 11] != 255


@pytest.mark.parametrize("region, error, text", [
    ((1, 2, 3, 4, 5), ValueError, "too many values to unpack (expected 4)"),
    ([1, 2, 3], ValueError, "need more than 3 values to unpack"),
    (5, TypeError, "'int' object is not iterable"),
    ((0.5, 0, 2, 2), TypeError, "slice indices must be integers"),
])
def test_roi_rejects_bad_regions(region, error, text, grey):
    node = qlo_cv.ImageROI(qlo_cv.ImageFromNDArray(grey), region, lazy=True)
    with pytest.raises(error) as info:
        node.image
    assert str(info.value).startswith(text) and node._cache is None


def test_roi_of_missing_image_raises_type_error():
    with pytest.raises(TypeError, match="not subscriptable"):
        qlo_cv.ImageROI(qlo_cv.ImageChainBase(), (0, 0, 1, 1))


# ---- ImageChannelSplitter ----

@pytest.mark.parametrize("lazy", [False, True])
def test_split_all_makes_one_root_per_channel(lazy, colour):
    nodes = qlo_cv.ImageChannelSplitter.split_all(colour, lazy=lazy)
    assert type(nodes) is list and len(nodes) == 3
    for i, node in enumerate(nodes):
        assert type(node) is qlo_cv.ImageFromNDArray and node.is_root
        assert (node._cache is None) == lazy
        assert np.array_equal(node.image, colour[:, :, i])


def test_channel_index_setter_asserts_and_keeps_old_channel(colour):
    node = qlo_cv.ImageChannelSplitter(qlo_cv.ImageFromNDArray(colour))
    with pytest.raises(AssertionError) as info:
        node.channel_index = -1
    assert str(info.value) == "" and node.channel_index == 0
    node.channel_index = 2
    assert np.array_equal(node.image, colour[:, :, 0])
    node.invalidate_this()
    assert np.array_equal(node.image, colour[:, :, 2])


def test_channel_index_counts_from_the_end_and_checks_range(colour):
    root = qlo_cv.ImageFromNDArray(colour)
    assert np.array_equal(qlo_cv.ImageChannelSplitter(root, -1).image, colour[:, :, 2])
    with pytest.raises(IndexError):
        qlo_cv.ImageChannelSplitter(root, 3)


# ---- colour conversion, borders, rotation, warps ----

def test_bad_conversion_code_raises_opencv_error(grey):
    node = qlo_cv.ImageColorConverter(qlo_cv.ImageFromNDArray(grey), 9999, lazy=True)
    with pytest.raises(cv2.error):
        node.image
    assert node._cache is None


@pytest.mark.parametrize("value, expected", [(7, 7), (None, 0)])
def test_constant_border_pads_with_the_given_value(value, expected, grey):
    node = qlo_cv.ImageMakingBorder(qlo_cv.ImageFromNDArray(grey), 2, 3, 4, 5, cv2.BORDER_CONSTANT, value)
    image = node.image
    assert image.shape == (65, 89)
    assert np.array_equal(image[2:62, 4:84], grey)
    border = np.ones(image.shape, bool)
    border[2:62, 4:84] = False
    assert np.all(image[border] == expected)


def test_rotation_needs_a_two_dimensional_image(colour, grey):
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        qlo_cv.ImageRotation(qlo_cv.ImageFromNDArray(colour), (40, 30), 30, cv2.BORDER_CONSTANT, 0)
    node = qlo_cv.ImageRotation(qlo_cv.ImageFromNDArray(grey), [40, 30, 99], 30, cv2.BORDER_REFLECT, 0)
    assert node.center == (40.0, 30.0) and type(node.degree) is float
    expected = cv2.warpAffine(grey, cv2.getRotationMatrix2D((40.0, 30.0), 30.0, 1), (80, 60),
                              borderMode=cv2.BORDER_REFLECT, borderValue=0)
    assert np.array_equal(node.image, expected)


@pytest.mark.parametrize("kind", ["affine", "perspective"])
def test_point_warps_match_opencv_with_float32_points(kind, grey):
    node = build(kind, grey, None)
    src, dst = (AFFINE_SRC, AFFINE_DST) if kind == "affine" else (PERSPECTIVE_SRC, PERSPECTIVE_DST)
    expected = float32_warp(kind, grey, src, dst, borderMode=cv2.BORDER_CONSTANT, borderValue=0)
    assert np.array_equal(node.image, expected)


@pytest.mark.parametrize("kind, points", [("affine", [[0, 0], [1, 1]]), ("perspective", [[0, 0]] * 3)])
def test_point_warps_with_too_few_points_raise_opencv_error(kind, points, grey):
    cls = qlo_cv.ImageAffineTransformation if kind == "affine" else qlo_cv.ImagePerspectiveTransformation
    with pytest.raises(cv2.error):
        cls(qlo_cv.ImageFromNDArray(grey), points, points, cv2.BORDER_CONSTANT, 0)


def test_translation_moves_and_keeps_size(grey):
    node = qlo_cv.ImageTranslation(qlo_cv.ImageFromNDArray(grey), 5, -3)
    image = node.image
    assert image.shape == grey.shape
    assert np.array_equal(image[:57, 5:], grey[3:, :75])
    assert np.array_equal(image[:, :5], np.repeat(image[:, 5:6], 5, axis=1))  # replicated border
    with pytest.raises(AttributeError):
        qlo_cv.ImageTranslation(qlo_cv.ImageChainBase(), 1, 1)


# ---- hints ----

@pytest.mark.parametrize("make, name, got", [
    (lambda p: qlo_cv.ImageTranslation(p, 1.0, 0), "right_movement", "float"),
    (lambda p: qlo_cv.ImageTranslation(p, 0, True), "down_movement", "bool"),
    (lambda p: qlo_cv.ImageTranslation(p, 0, 0, None), "border_mode", "NoneType"),
    (lambda p: setattr(qlo_cv.ImageTranslation(p, 0, 0), "border_value", None), "value", "NoneType"),
    (lambda p: setattr(qlo_cv.ImageTranslation(p, 0, 0), "down_translation", 1.5), "value", "float"),
    (lambda p: qlo_cv.ImageChannelSplitter(p, np.int64(0)), "channel_index", "numpy.int64"),
    (lambda p: setattr(qlo_cv.ImageChannelSplitter(p), "channel_index", "1"), "value", "str"),
    (lambda p: qlo_cv.ImageColorConverter(p, None), "cvt_code", "NoneType"),
    (lambda p: qlo_cv.ImageMakingBorder(p, 1, 1, 1, 1, 0, 1.5), "border_value", "float"),
    (lambda p: qlo_cv.ImageMakingBorder(p, 1, 1, 1, None, 0), "right", "NoneType"),
    (lambda p: qlo_cv.ImageRotation(p, (0, 0), 1, 0, None), "border_value", "NoneType"),
    (lambda p: qlo_cv.ImageAffineTransformation(p, [], [], 0.0, 0), "border_mode", "float"),
    (lambda p: qlo_cv.ImagePerspectiveTransformation(p, [], [], 0, "0"), "border_value", "str"),
])
def test_checked_parameters_name_themselves(make, name, got, grey):
    with pytest.raises(TypeError) as info:
        make(qlo_cv.ImageFromNDArray(grey))
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected int, got {got})"


# ---- whole chains against direct OpenCV calls ----

def test_add_weighted_makes_an_independent_root(grey, rng):
    other = rng.integers(0, 256, grey.shape, dtype=np.uint8)
    first, second = qlo_cv.ImageFromNDArray(grey), qlo_cv.ImageFromNDArray(other)
    blend = qlo_cv.add_weighted(first, 1, second, np.float32(0.5), 3)
    assert type(blend) is qlo_cv.ImageFromNDArray and blend.is_root
    assert np.array_equal(blend.image, cv2.addWeighted(grey, 1.0, other, 0.5, 3.0))
    with pytest.raises(TypeError):
        qlo_cv.add_weighted(first, "1", second, 0.5, 0)


def test_chain_of_transforms_matches_opencv(colour):
    root = qlo_cv.ImageFromNDArray(colour)
    crop = qlo_cv.ImageROI(root, (4, 2, 76, 58))
    grey_node = qlo_cv.ImageColorConverter(crop, cv2.COLOR_BGR2GRAY)
    moved = qlo_cv.ImageTranslation(grey_node, -4, 6, cv2.BORDER_CONSTANT, 11, cv2.INTER_NEAREST)
    scaled = qlo_cv.ImageScaling(moved, fx=1.5, fy=0.75, interpolation=cv2.INTER_AREA)
    padded = qlo_cv.ImageMakingBorder(scaled, 3, 3, 2, 2, cv2.BORDER_REFLECT)
    turned = qlo_cv.ImageRotation(padded, (50, 25), -20, cv2.BORDER_CONSTANT, 5)

    expected = cv2.cvtColor(colour[2:58, 4:76], cv2.COLOR_BGR2GRAY)
    expected = cv2.warpAffine(expected, np.float32([[1, 0, -4], [0, 1, 6]]), (72, 56),
                              flags=cv2.INTER_NEAREST, borderMode=cv2.BORDER_CONSTANT, borderValue=11)
    expected = cv2.resize(expected, None, fx=1.5, fy=0.75, interpolation=cv2.INTER_AREA)
    expected = cv2.copyMakeBorder(expected, 3, 3, 2, 2, cv2.BORDER_REFLECT)
    rows, cols = expected.shape
    expected = cv2.warpAffine(expected, cv2.getRotationMatrix2D((50.0, 25.0), -20.0, 1), (cols, rows),
                              borderMode=cv2.BORDER_CONSTANT, borderValue=5)
    assert np.array_equal(turned.image, expected)


def test_chain_with_split_and_perspective_matches_opencv(colour):
    channel = qlo_cv.ImageChannelSplitter(qlo_cv.ImageFromNDArray(colour), 2)
    warped = qlo_cv.ImagePerspectiveTransformation(channel, PERSPECTIVE_SRC, PERSPECTIVE_DST,
                                                   cv2.BORDER_REPLICATE, 0, cv2.INTER_CUBIC)
    resized = qlo_cv.ImageScaling(warped, (40, 30))
    expected = float32_warp("perspective", np.ascontiguousarray(colour[:, :, 2]), PERSPECTIVE_SRC,
                            PERSPECTIVE_DST, flags=cv2.INTER_CUBIC, borderMode=cv2.BORDER_REPLICATE,
                            borderValue=0)
    assert np.array_equal(resized.image, cv2.resize(expected, (40, 30)))


@pytest.mark.hardening
def test_channel_index_assertion_is_skipped_under_optimisation():
    from conftest import run_python
    proc = run_python("""
        import numpy as np, qlo_cv
        node = qlo_cv.ImageChannelSplitter(qlo_cv.ImageFromNDArray(np.zeros((2, 2, 3), np.uint8)))
        node.channel_index = -1
        print(node.channel_index)
    """, "-O")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "-1"
