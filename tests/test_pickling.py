"""Pickling and copying: module functions and classes travel by reference,
instances of every module class come back as equal objects (same attributes,
same results from their methods) through pickle, copy.copy and copy.deepcopy."""
import copy
import inspect
import math
import pickle

import cv2
import numpy as np
import pytest

import qlo_cv
from mismatch_route import run_natively


def grey(rows=24, cols=32, seed=7):
    image = np.random.default_rng(seed).integers(0, 256, (rows, cols), dtype=np.uint8)
    image[6:14, 8:20] = 20
    return image


def source():
    return qlo_cv.ImageFromNDArray(grey())


def bgr_source():
    return qlo_cv.ImageFromNDArray(np.dstack([grey(seed=s) for s in (1, 2, 3)]))


def from_file(tmp_path):
    path = tmp_path / "print.png"
    cv2.imwrite(str(path), grey())
    return qlo_cv.ImageFromFile(str(path), cv2.IMREAD_GRAYSCALE)


QUAD = [[0, 0], [31, 0], [31, 23], [0, 23]]

CHAIN_CASES = {
    "ImageChainBase": lambda: qlo_cv.ImageChainBase(),
    "ImageFromFile": from_file,
    "ImageCopy": lambda: qlo_cv.ImageCopy(source()),
    "ImageFromNDArray": source,
    "ImageROI": lambda: qlo_cv.ImageROI(source(), (2, 3, 20, 15)),
    "ImageChannelSplitter": lambda: qlo_cv.ImageChannelSplitter(bgr_source(), 1),
    "ImageColorConverter": lambda: qlo_cv.ImageColorConverter(bgr_source(), cv2.COLOR_BGR2GRAY),
    "ImageTranslation": lambda: qlo_cv.ImageTranslation(source(), 2, -1),
    "ImageScaling": lambda: qlo_cv.ImageScaling(source(), None, 0.5, 0.5),
    "ImageMakingBorder": lambda: qlo_cv.ImageMakingBorder(source(), 1, 2, 3, 4, cv2.BORDER_CONSTANT, 7),
    "ImageRotation": lambda: qlo_cv.ImageRotation(source(), (10, 8), 30.0, cv2.BORDER_CONSTANT, 0),
    "ImageAffineTransformation": lambda: qlo_cv.ImageAffineTransformation(
        source(), [[0, 0], [10, 0], [0, 10]], [[1, 1], [11, 2], [0, 12]], cv2.BORDER_CONSTANT, 0),
    "ImagePerspectiveTransformation": lambda: qlo_cv.ImagePerspectiveTransformation(
        source(), QUAD, [[1, 0], [30, 2], [31, 22], [0, 21]], cv2.BORDER_CONSTANT, 0),
    "ImageSimpleThresholding": lambda: qlo_cv.ImageSimpleThresholding(source(), cv2.THRESH_BINARY, 100, 255),
    "ImageOtsuThresholding": lambda: qlo_cv.ImageOtsuThresholding(source(), cv2.THRESH_BINARY, 255),
    "ImageAdaptiveThresholding": lambda: qlo_cv.ImageAdaptiveThresholding(
        source(), cv2.ADAPTIVE_THRESH_MEAN_C, cv2.THRESH_BINARY, 255, 5, 2.0),
}


def compare_result():
    result = qlo_cv.CompareResult(grey())
    result.append(qlo_cv.NGRegion([8, 6, 20, 14], "black spot: 12, [8, 6, 20, 14]"))
    result.append(qlo_cv.NGRegion(None, "whole image"))
    return result


def shape(kind, text):
    made = getattr(qlo_cv, kind)(kind.lower())
    made.create_from_string(text)
    return made


def region():
    made = qlo_cv.Region()
    made.add_region("mark area", "Rectangle", "x1=2,y1=2,x2=30,y2=20", "ROI")
    made.add_region("hole", "triangle", "x1=5,y1=5,x2=15,y2=5,x3=10,y3=12", "roui")
    return made


def contour():
    made = qlo_cv.Contour(np.array([[[2, 2]], [[20, 3]], [[18, 15]], [[3, 12]]], np.int32))
    made.area                                     # a filled cache travels too
    return made


def ring_image():
    image = np.zeros((80, 80), np.uint8)
    cv2.circle(image, (40, 38), 25, 255, 4)
    return image


def single_camera():
    return qlo_cv.SingleCameraInternalTargetTranslator([(0, 0), (20, 0), (0, 0), (0, 20)], 10)


def calibration():
    board = np.array([[x, y, 0] for y in range(4) for x in range(6)], np.float32) * 10
    camera = np.array([[500.0, 0, 320], [0, 500, 240], [0, 0, 1]])
    distortion = np.array([0.05, -0.02, 0, 0, 0])
    views = [((0.1, -0.2, 0.05), (-25, -15, 200)), ((-0.15, 0.1, -0.1), (-20, -10, 180)),
             ((0.2, 0.15, 0.0), (-30, -20, 220)), ((0.0, -0.1, 0.2), (-15, -18, 190))]
    image_points = [cv2.projectPoints(board, np.array(r, float), np.array(t, float), camera,
                                      distortion)[0].astype(np.float32)
                    for r, t in views]
    made = qlo_cv.CameraCalibrationData([board] * len(views), image_points, (480, 640))
    made.ppmm = 3.5
    return made


CASES = {
    **CHAIN_CASES,
    "NGRegion": lambda: qlo_cv.NGRegion([1, 2, 3, 4], "speck"),
    "CompareResult": compare_result,
    "ShiftComparator": lambda: qlo_cv.ShiftComparator(grey(), 1, 30, 3),
    "Shape": lambda: qlo_cv.Shape("base"),
    "Rectangle": lambda: shape("Rectangle", "x1=2,y1=3,x2=20,y2=15"),
    "Triangle": lambda: shape("Triangle", "x1=2,y1=3,x2=20,y2=5,x3=9,y3=18"),
    "Region": region,
    "Contour": contour,
    "FittingCircle": lambda: qlo_cv.FittingCircle(points=[(10, 0), (0, 10), (-10, 0), (0, -10.5)]),
    "CirclePeeler": lambda: qlo_cv.CirclePeeler(ring_image(), 100),
    "SingleCameraInternalTargetTranslator": single_camera,
    "TranslatorAccompanyingRotation": lambda: qlo_cv.TranslatorAccompanyingRotation((5, 3)),
    "FixRadiusRotatingTranslator": lambda: qlo_cv.FixRadiusRotatingTranslator((10, 0)),
    "SingleCameraInternalTargetRotatingTranslator": lambda: qlo_cv.SingleCameraInternalTargetRotatingTranslator(
        (50, 50), single_camera(), (30, 40, 10)),
    "SingleCameraExternalTargetTranslator": lambda: qlo_cv.SingleCameraExternalTargetTranslator(
        (100, 200, 0), (50, 50), [(10, 10, 0), (30, 12, 0), (12, 35, 0)], [(110, 200, 0), (100, 210, 0), (90, 195, 0)]),
    "CoupleCameraTranslator": lambda: qlo_cv.CoupleCameraTranslator(
        (0, 0, 0), [(100, 100, 0)] * 4, [(0, 0), (10, math.nan), (0, 0), (math.nan, 10)],
        [(50, 50, 1), (60, 52, 1), (50, 50, 1), (48, 61, 1)], (50, 50), single_camera()),
    "CameraCalibrationData": calibration,
}

# Method calls whose results must agree between an object and its copy, beyond
# reading every property. Each takes a fresh object and returns what to compare.
CALLS = {
    "NGRegion": lambda o: (o.get_region(), o.get_desc()),
    "CompareResult": lambda o: (o.marked_image(), o.marked_image(0)),
    "ShiftComparator": lambda o: comparison(o),
    "ImageChainBase": lambda o: o._generate_result(),
    "Shape": lambda o: applied(o.apply, 255),
    "Rectangle": lambda o: applied(o.apply, 0),
    "Triangle": lambda o: applied(o.apply, 255),
    "Region": lambda o: applied(o.apply),
    "Contour": lambda o: (o.make_mask((24, 32)), moved(o)),
    "CirclePeeler": lambda o: fit(o.peel(2)),
    "SingleCameraInternalTargetTranslator": lambda o: o.translate((5, 5), (8, 9)),
    "TranslatorAccompanyingRotation": lambda o: o.translate((1, 0), 90),
    "FixRadiusRotatingTranslator": lambda o: o.translate(180.0),
    "SingleCameraInternalTargetRotatingTranslator": lambda o: o.translate((20, 30, 5)),
    "SingleCameraExternalTargetTranslator": lambda o: o.translate((15, 20, 2)),
    "CoupleCameraTranslator": lambda o: o.translate((100, 100, 0), (55, 55, 1)),
    "CameraCalibrationData": lambda o: o.undistort(np.tile(grey(), (20, 20))[:480, :640]),
}


# Classes whose probed methods change the object's own arrays in place.
MOVED_IN_PLACE = {"Contour"}


def comparison(comparator):
    target = grey()
    target[2:5, 24:30] = 250
    result = qlo_cv.CompareResult(target)
    comparator.compare(target, result)
    return [(r.rect, r.desc) for r in result.ng_regions]


def applied(apply, *args):
    image = grey()
    apply(image, *args)
    return image


def moved(contour_object):
    contour_object.move_offset(3, -1)
    return contour_object.points, contour_object.bounding_rectangle


def fit(circle):
    return None if circle is None else (circle.center, circle.radius)


def module_classes():
    return {name: value for name, value in vars(qlo_cv).items()
            if inspect.isclass(value) and value.__module__ == "qlo_cv"}


def module_functions():
    return {name: value for name, value in vars(qlo_cv).items()
            if callable(value) and not inspect.isclass(value) and getattr(value, "__module__", None) == "qlo_cv"}


def make(name, tmp_path):
    factory = CASES[name]
    return factory(tmp_path) if inspect.signature(factory).parameters else factory()


def assert_same(a, b, where="object"):
    """Equal values: same types, equal arrays, module objects with the same attributes."""
    assert type(a) is type(b), where
    if isinstance(a, np.ndarray):
        assert a.dtype == b.dtype and a.shape == b.shape, where
        assert np.array_equal(a, b, equal_nan=a.dtype.kind in "fc"), where
    elif inspect.isclass(a) or inspect.isroutine(a) or hasattr(a, "__qualname__"):
        assert a is b, where                      # functions and classes travel by reference
    elif type(a).__module__ == "qlo_cv":
        assert_same(vars(a), vars(b), where)
    elif isinstance(a, dict):
        assert list(a) == list(b), where
        for key in a:
            assert_same(a[key], b[key], "%s.%s" % (where, key))
    elif isinstance(a, (list, tuple)):
        assert len(a) == len(b), where
        for i, (x, y) in enumerate(zip(a, b)):
            assert_same(x, y, "%s[%d]" % (where, i))
    elif isinstance(a, float) and math.isnan(a):
        assert math.isnan(b), where
    else:
        assert a == b, where


def outcome(call, obj):
    """What `call(obj)` gives: its value, or the type and text of what it raised."""
    try:
        return call(obj)
    except Exception as error:
        return ("raised", type(error), str(error))


def property_names(cls):
    return sorted({name for klass in cls.__mro__ for name, value in vars(klass).items()
                   if isinstance(value, property)})


COPIES = {
    "pickle": lambda o: pickle.loads(pickle.dumps(o)),
    "pickle protocol 2": lambda o: pickle.loads(pickle.dumps(o, protocol=2)),
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


def test_every_module_class_has_a_case():
    assert sorted(set(module_classes()) - set(CASES)) == []


@pytest.mark.parametrize("name", sorted(module_functions()))
@pytest.mark.parametrize("how", [pickle.dumps, lambda f: pickle.dumps(f, protocol=2)], ids=["default", "protocol 2"])
def test_module_functions_travel_by_reference(name, how):
    function = getattr(qlo_cv, name)
    assert pickle.loads(how(function)) is function
    assert copy.copy(function) is function
    assert copy.deepcopy(function) is function


def test_methods_travel_by_reference():
    for cls in module_classes().values():
        for name, member in vars(cls).items():
            if isinstance(member, staticmethod):
                member = member.__func__
            if name != getattr(member, "__name__", name):
                continue    # stored under a mangled name: pickle cannot find it by name, as for Python functions
            if getattr(member, "__module__", None) == "qlo_cv" and not inspect.isclass(member):
                assert pickle.loads(pickle.dumps(member)) is member, member.__qualname__


@pytest.mark.parametrize("name", sorted(CASES))
def test_classes_travel_by_reference(name):
    cls = getattr(qlo_cv, name)
    nested = [value for value in vars(cls).values() if inspect.isclass(value)]
    for klass in [cls, *nested]:
        assert pickle.loads(pickle.dumps(klass)) is klass
        assert copy.deepcopy(klass) is klass


@pytest.mark.parametrize("how", sorted(COPIES))
@pytest.mark.parametrize("name", sorted(CASES))
def test_instances_come_back_equal(name, how, tmp_path):
    original = make(name, tmp_path)
    duplicate = COPIES[how](original)
    assert duplicate is not original
    assert_same(original, duplicate)
    for prop in property_names(type(original)):
        assert_same(outcome(lambda o: getattr(o, prop), original),
                    outcome(lambda o: getattr(o, prop), duplicate), "%s.%s" % (name, prop))
    if name in CALLS:
        original = make(name, tmp_path)
        duplicate = COPIES[how](original)
        if name in MOVED_IN_PLACE:                # a shallow copy shares the moved points
            original = make(name, tmp_path)
        assert_same(outcome(CALLS[name], original), outcome(CALLS[name], duplicate), name)


@pytest.mark.parametrize("judge", ["contour_is_too_long", "contour_is_too_big"])
def test_comparator_keeps_its_module_judge(judge):
    std = grey()
    comparator = qlo_cv.ShiftComparator(std, 1, 30, 4.0, getattr(qlo_cv, judge), True, 1, (0, 0, 30, 20))
    comparator.black_spot_desc = "dark"
    duplicate = pickle.loads(pickle.dumps(comparator))
    assert duplicate._ShiftComparator__judge is getattr(qlo_cv, judge)
    assert duplicate.black_spot_desc == "dark"
    assert comparison(duplicate) == comparison(comparator)


def test_a_copied_chain_is_independent_of_the_original():
    root = qlo_cv.ImageFromNDArray(grey())
    last = qlo_cv.ImageSimpleThresholding(qlo_cv.ImageROI(root, (2, 3, 20, 15)), cv2.THRESH_BINARY, 100, 255)
    duplicate = pickle.loads(pickle.dumps(last))
    assert np.array_equal(duplicate.image, last.image)
    root_copy = duplicate.previous.previous
    assert type(root_copy) is qlo_cv.ImageFromNDArray and root_copy is not root
    root_copy.source[:] = 0
    duplicate.invalidate_all()
    assert not duplicate.image.any() and last.image.any()


def test_a_misaligned_standard_keeps_the_native_route(monkeypatch):
    # Arrays unpickled from out-of-band buffers (Dask's transport) can start at
    # an odd address; the comparator must not fall back to a warp per displacement.
    std = grey()
    raw = bytearray(std.size * 2 + 1)
    misaligned = np.frombuffer(raw, np.int16, count=std.size, offset=1).reshape(std.shape)
    misaligned[...] = std
    assert not misaligned.flags.aligned
    comparator = qlo_cv.ShiftComparator(std, 2, 30, 1)
    comparator.std_threshold = misaligned
    assert run_natively(lambda: comparison(comparator)) == (comparison(qlo_cv.ShiftComparator(std, 2, 30, 1)), True)
