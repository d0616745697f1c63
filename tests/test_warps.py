"""Polygon cut-out, shifts, shift-and-rotate and the signed difference test."""
import cv2
import numpy as np
import pytest

import qlo_cv

TRIANGLE = [[2, 3], [30, 5], [10, 25]]


def random_image(shape, dtype=np.uint8, seed=3):
    return np.random.default_rng(seed).integers(0, np.iinfo(dtype).max, shape, dtype=dtype, endpoint=True)


def shift(image, right, down, **border):
    size = image.shape[1::-1]
    return cv2.warpAffine(image, np.float32([[1, 0, right], [0, 1, down]]), size, **border)


@pytest.mark.parametrize("shape, dtype", [((30, 40), np.uint8), ((30, 40, 3), np.uint8), ((30, 40), np.uint16)])
@pytest.mark.parametrize("outer", [0, 0x0F, "all"])
def test_extract_poly_keeps_the_inside_and_masks_the_outside(shape, dtype, outer):
    image = random_image(shape, dtype)
    outer_value = np.iinfo(dtype).max if outer == "all" else outer
    inside = cv2.fillPoly(np.zeros(shape[:2], np.uint8), np.array([TRIANGLE], np.int32), 1).astype(bool)
    inside = inside if len(shape) == 2 else inside[..., None]
    result = qlo_cv.extract_poly(image, TRIANGLE, outer_value)
    assert result.dtype == dtype and np.array_equal(result, np.where(inside, image, image & outer_value))


@pytest.mark.parametrize("std, tgt", [
    (random_image((20, 20), seed=1), random_image((20, 20), seed=2)),
    (random_image((20, 20), seed=1).astype(np.int16), random_image((20, 20), seed=2).astype(np.int16)),
])
@pytest.mark.parametrize("threshold", [0, 5, 200, -5])
def test_compare_image_difference_in_the_arrays_own_type(std, tgt, threshold):
    diff = std - tgt  # wraps for unsigned bytes: nothing is below a negative threshold
    expected = diff > threshold if threshold >= 0 else diff < threshold
    assert np.array_equal(qlo_cv.compare_image_difference(std, tgt, threshold), expected)
    assert qlo_cv.compare_image_difference(np.uint8([10]), np.uint8([20]), 200).tolist() == [True]


@pytest.mark.parametrize("right, down", [(10, 0), (-3, 4)])
@pytest.mark.parametrize("extra", [(), (cv2.BORDER_CONSTANT,), (cv2.BORDER_CONSTANT, 9), (cv2.BORDER_REFLECT, None)])
def test_translate_matches_warp_affine(right, down, extra):
    image = random_image((24, 32))
    border = {"borderMode": cv2.BORDER_REPLICATE, **dict(zip(("borderMode", "borderValue"), extra))}
    assert np.array_equal(qlo_cv.translate(image, right, down, *extra), shift(image, right, down, **border))


@pytest.mark.parametrize("old, new, angle, border", [
    ((7, 8), (7, 8), 0, cv2.BORDER_CONSTANT),
    ((10, 12), (14, 9), np.float32(17.5), cv2.BORDER_REPLICATE),
    ((10, 12), (14, 9), -30, cv2.BORDER_CONSTANT),
])
def test_translate_and_rotate_shifts_with_replication_then_rotates(old, new, angle, border):
    image = random_image((30, 40, 3))
    shifted = shift(image, new[0] - old[0], new[1] - old[1], borderMode=cv2.BORDER_REPLICATE)
    expected = cv2.warpAffine(shifted, cv2.getRotationMatrix2D(new, float(angle), 1), (40, 30), borderMode=border)
    assert np.array_equal(qlo_cv.translate_and_rotate(image, old, new, angle, border), expected)
    assert np.array_equal(qlo_cv.translate_and_rotate(image, old, old, 0), image)


def test_translate_and_rotate_uses_the_module_translate(monkeypatch):
    calls = []
    monkeypatch.setattr(qlo_cv, "translate", lambda *args: calls.append(args[1:]) or args[0])
    qlo_cv.translate_and_rotate(random_image((10, 10)), [1, 2], [4, 0], 0)
    assert calls == [(3, -2)]
    with pytest.raises(TypeError):
        qlo_cv.translate_and_rotate(random_image((10, 10)), (0, 0), (0, 0), "90")


READ_ONLY = random_image((16, 16))
READ_ONLY.flags.writeable = False


@pytest.mark.parametrize("image", [None, np.zeros(5, np.uint8), np.zeros((16, 16), np.float32),
                                   random_image((16, 32, 3))[:, ::2], READ_ONLY])
@pytest.mark.parametrize("call", [
    lambda im: qlo_cv.extract_poly(im, TRIANGLE),
    lambda im: qlo_cv.rotate_to_make_edge_horizontal(im, np.array([[[0, 0]], [[9, 2]], [[1, 5]]], np.int32)),
    lambda im: qlo_cv.compare_image_difference(im, im, 3),
    lambda im: qlo_cv.translate(im, 2, -1),
    lambda im: qlo_cv.translate_and_rotate(im, (1, 1), (3, 2), 10),
    lambda im: qlo_cv.CompareResult(im).marked_image(),
])
def test_bad_input_raises_instead_of_crashing(image, call):
    try:
        result = call(image)
    except Exception:
        return
    assert result is None or isinstance(result, np.ndarray)


class Items:
    """A sequence of `items` whose len() says `length`: honest when they agree."""

    def __init__(self, items, length=None):
        self.items, self.length = list(items), len(items) if length is None else length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


# OpenCV takes a border value's len() on trust; one that promises more items
# than it holds must raise, not crash. Honest sequences give OpenCV's own
# result or error.
@pytest.mark.parametrize("value", [Items([7]), Items([7, 8]), Items([3.5]), Items(["a"]), Items([1, 2, 3, 4, 5]),
                                   range(3), b"ab", np.array([5, 6]), Items([7], 3), Items([7], 4), Items([], 1)])
@pytest.mark.parametrize("call", [
    lambda im, v: qlo_cv.translate(im, 2, 1, cv2.BORDER_CONSTANT, v),
    lambda im, v: qlo_cv.ImageTranslation(qlo_cv.ImageFromNDArray(im), 2, 1, cv2.BORDER_CONSTANT, v).image,
])
def test_a_border_value_sequence_is_read_as_far_as_it_goes(value, call):
    image = random_image((8, 8))
    honest = not isinstance(value, Items) or value.length == len(value.items)
    if not honest:
        with pytest.raises(IndexError):
            call(image, value)
        return
    try:
        expected = shift(image, 2, 1, borderMode=cv2.BORDER_CONSTANT, borderValue=value)
    except cv2.error as error:
        with pytest.raises(cv2.error, match=str(error).splitlines()[-1].strip(" >-")):
            call(image, value)
    else:
        assert np.array_equal(call(image, value), expected)
