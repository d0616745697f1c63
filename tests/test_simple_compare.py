"""Grey and Otsu-binarised difference maps, mean hue, and the template point
with a rect region."""
import cv2
import numpy as np
import pytest

import qlo_cv


@pytest.mark.parametrize("a, b, max_difference, expected", [
    (100, 105, 5, False),
    (100, 105, 4, True),
    (105, 100, 4, True),
    (0, 255, 254, True),          # no 8-bit wrap-around
    (0, 255, 255, False),
    (7, 7, 0, False),
])
def test_simple_compare_gray_image(a, b, max_difference, expected):
    image1 = np.full((3, 4), a, np.uint8)
    image2 = np.full((3, 4), b, np.uint8)
    result = qlo_cv.simple_compare_gray_image(image1, image2, max_difference)
    assert result.dtype == bool and result.shape == (3, 4) and (result == expected).all()


def two_level(rng, shape=(40, 50)):
    image = np.where(rng.random(shape) < 0.4, 30, 220).astype(np.uint8)
    return image


def test_binary_compare_image(rng):
    image = two_level(rng)
    assert not qlo_cv.binary_compare_image(image, image).any()
    assert qlo_cv.binary_compare_image(image, 255 - image).all()
    brighter = np.clip(image.astype(int) + 20, 0, 255).astype(np.uint8)   # own Otsu level each
    assert not qlo_cv.binary_compare_image(image, brighter).any()
    changed = image.copy()
    changed[5, 6] = 250 if image[5, 6] == 30 else 10
    assert np.argwhere(qlo_cv.binary_compare_image(image, changed)).tolist() == [[5, 6]]


@pytest.mark.parametrize("image", [np.zeros((4, 4, 3), np.uint8), np.zeros((4, 4), np.float32)])
def test_binary_compare_image_needs_grey_bytes(image):
    with pytest.raises(cv2.error):
        qlo_cv.binary_compare_image(image, image)


@pytest.mark.parametrize("bgr, code, expected", [
    ((255, 0, 0), None, 120.0),
    ((0, 0, 255), None, 0.0),
    ((255, 0, 0), cv2.COLOR_RGB2BGR, 0.0),      # the image is RGB: (255, 0, 0) is red
])
def test_hue_mean(bgr, code, expected):
    image = np.zeros((6, 5, 3), np.uint8)
    image[:] = bgr
    value = qlo_cv.hue_mean(image, code)
    assert type(value) is float and value == expected


def test_hue_mean_needs_three_channels():
    with pytest.raises(cv2.error):
        qlo_cv.hue_mean(np.zeros((4, 4), np.uint8))


# ---- find_corresponding_point_by_template_match ----

@pytest.fixture
def scene(rng):
    image = cv2.GaussianBlur(rng.integers(0, 256, (120, 160), dtype=np.uint8), (5, 5), 0)
    return image, image[30:50, 40:64].copy()


@pytest.mark.parametrize("region", [None, (20, 10, 100, 100), [35, 25, 40, 30]])
def test_point_with_and_without_a_rect(scene, region):
    image, template = scene
    score, location = qlo_cv.find_corresponding_point_by_template_match(image, template, region, (5, 7))
    assert score == pytest.approx(1.0, abs=1e-5) and location == [45, 37]


@pytest.mark.parametrize("threshold, expected", [(0.9, [45, 37]), (1.5, None)])
def test_point_with_a_threshold_comes_alone(scene, threshold, expected):
    image, template = scene
    assert qlo_cv.find_corresponding_point_by_template_match(image, template, None, (5, 7), threshold) == expected


@pytest.mark.parametrize("region", [(-10, -20, 100, 100), (-30, 20, 120, 60), (10, -25, 90, 80)])
def test_negative_rect_start_is_clipped_not_wrapped(scene, region):
    # The far edge is x + w of the unclipped x; only the search start moves to 0.
    image, template = scene
    score, location = qlo_cv.find_corresponding_point_by_template_match(image, template, region)
    assert score == pytest.approx(1.0, abs=1e-5) and location == [40, 30]


def test_rect_entirely_left_of_the_image_searches_nothing(scene):
    image, template = scene
    with pytest.raises(cv2.error):
        qlo_cv.find_corresponding_point_by_template_match(image, template, (-100, 0, 60, 120))


@pytest.mark.parametrize("region, error", [((1, 2, 3), ValueError), ((0, 0, 5, 5), cv2.error)])
def test_bad_rect(scene, region, error):
    image, template = scene
    with pytest.raises(error):
        qlo_cv.find_corresponding_point_by_template_match(image, template, region)
