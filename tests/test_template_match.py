"""Template match point (corner-box regions, clipping, thresholds) and the
largest outer contour with its erosion/dilation options."""
import cv2
import numpy as np
import pytest

import qlo_cv


@pytest.fixture
def scene(rng):
    """A textured 120 x 160 image and a 20 x 24 template cut from it at (x 40, y 30)."""
    image = cv2.GaussianBlur(rng.integers(0, 256, (120, 160), dtype=np.uint8), (5, 5), 0)
    return image, image[30:50, 40:64].copy()


@pytest.mark.parametrize("region, point", [
    (None, (0, 0)),
    (None, [5, 7]),
    ((20, 10, 120, 100), (5, 7)),
    ([-30, -5, 100, 90], (0, 0)),        # starts left of and above the image: clipped to 0
    ((30, 25, 500, 900), (3, 1)),        # far edges beyond the image: clipped to its size
])
def test_location_is_in_whole_image_coordinates(scene, region, point):
    image, template = scene
    score, location = qlo_cv.template_match_point(image, template, region, point)
    assert score == pytest.approx(1.0, abs=1e-5)
    assert location == [40 + point[0], 30 + point[1]] and type(location) is list


def test_region_far_edge_left_of_the_image_searches_nothing(scene):
    # A far edge below zero must not count from the far side of the image.
    image, template = scene
    with pytest.raises(cv2.error):
        qlo_cv.template_match_point(image, template, (-100, 0, -10, 120))


@pytest.mark.parametrize("threshold, found", [(0.0, True), (1.5, False), (np.float32(0.5), True), (1, True)])
def test_threshold_hides_the_location_but_keeps_the_score(scene, threshold, found):
    image, template = scene
    score, location = qlo_cv.template_match_point(image, template, threshold=threshold)
    assert score > 0.99 and (location is not None) is found


def test_negative_best_score_gives_none_and_equal_score_is_found():
    image = np.tile(np.uint8([0, 255]), (8, 8))          # stripes
    template = 255 - image[:4, :4]
    score, location = qlo_cv.template_match_point(image[:4, :4], template)
    assert score < 0 and location is None
    score, location = qlo_cv.template_match_point(image[:4, :4], template, threshold=score)
    assert location is not None


@pytest.mark.parametrize("args, error", [
    (((1, 2, 3),), ValueError),                          # region of three items
    (((0, 0, 160, 120), (0, 0), "high"), TypeError),     # threshold is not a number
])
def test_bad_region_and_threshold(scene, args, error):
    image, template = scene
    with pytest.raises(error):
        qlo_cv.template_match_point(image, template, *args)


@pytest.mark.parametrize("region", [(0, 0, 10, 10), (0, 0, 24, 19), (0, 0, 23, 20), (0, 0, 10, 100)])
def test_template_larger_than_the_search_is_an_opencv_error(scene, region):
    # OpenCV itself would swap the two when the template is larger both ways.
    image, template = scene
    with pytest.raises(cv2.error):
        qlo_cv.template_match_point(image, template, region)
    assert qlo_cv.template_match_point(image, template, (40, 30, 64, 50))[1] == [40, 30]   # same size: one place


# ---- get_max_area_contour ----

def blobs(*rects, shape=(60, 80), value=200):
    image = np.full(shape, 20, np.uint8)
    for x1, y1, x2, y2 in rects:
        image[y1:y2, x1:x2] = value
    return image


def test_largest_contour_with_otsu_and_fixed_threshold():
    image = blobs((5, 5, 15, 15), (30, 20, 60, 50))
    for threshold in (None, 100):
        cnt = qlo_cv.get_max_area_contour(image, threshold)
        assert cv2.boundingRect(cnt) == (30, 20, 30, 30) and cnt.shape[1:] == (1, 2)
        assert len(cnt) == 4 * 29                        # every boundary point is kept


def test_equal_areas_keep_the_first_listed_and_nothing_gives_none():
    image = blobs((5, 5, 15, 15), (40, 30, 50, 40))
    first = cv2.findContours(cv2.threshold(image, 100, 255, cv2.THRESH_BINARY)[1], cv2.RETR_EXTERNAL,
                             cv2.CHAIN_APPROX_NONE)[0][0]
    assert np.array_equal(qlo_cv.get_max_area_contour(image, 100), first)
    assert qlo_cv.get_max_area_contour(np.zeros((20, 20), np.uint8), 100) is None
    line = np.zeros((20, 20), np.uint8)
    line[5, 2:18] = 255                                  # area 0: never the result
    assert qlo_cv.get_max_area_contour(line, 100) is None


@pytest.mark.parametrize("options, box", [
    ({}, (10, 10, 40, 20)),
    ({"pre_erode": 2}, None),                                   # the 3-pixel bridge is gone: big blob wins
    ({"pre_erode": 2, "dilate": 2}, (30, 10, 20, 20)),          # opening: the bridge stays gone
    ({"dilate": 1}, (9, 9, 42, 22)),
    ({"dilate": 3, "post_erode": 3}, (10, 10, 40, 20)),
])
def test_erode_and_dilate_options(options, box):
    image = blobs((10, 10, 20, 30), (20, 18, 30, 21), (30, 10, 50, 30))
    cnt = qlo_cv.get_max_area_contour(image, 100, **options)
    expected = box or (32, 12, 16, 16)
    assert cv2.boundingRect(cnt) == expected


def test_inverted_threshold_type_and_otsu_flag_added():
    image = 255 - blobs((5, 5, 15, 15), (30, 20, 60, 50))
    cnt = qlo_cv.get_max_area_contour(image, None, cv2.THRESH_BINARY_INV)
    assert cv2.boundingRect(cnt) == (30, 20, 30, 30)


@pytest.mark.parametrize("name", ["threshold_type", "pre_erode", "dilate", "post_erode"])
@pytest.mark.parametrize("value", [1.0, True, None, np.int64(1)])
def test_option_types_are_exact_ints(name, value):
    with pytest.raises(TypeError, match=r"Argument '%s' has incorrect type \(expected int, got (numpy\.)?%s\)"
                       % (name, type(value).__name__)):
        qlo_cv.get_max_area_contour(np.zeros((5, 5), np.uint8), **{name: value})
