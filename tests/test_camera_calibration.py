"""Camera calibration from projected chessboard corners, undistortion and the pixel scale."""
import cv2
import numpy as np
import pytest

import qlo_cv
from conftest import run_python

CAMERA = np.array([[820.0, 0.0, 321.0], [0.0, 815.0, 238.0], [0.0, 0.0, 1.0]])
DISTORTION = np.array([-0.22, 0.09, 0.001, -0.0005, 0.0])
SHAPE = (480, 640)


def board(columns=9, rows=6, square=25.0):
    corners = np.zeros((columns * rows, 3), np.float32)
    corners[:, :2] = np.mgrid[0:columns, 0:rows].T.reshape(-1, 2) * square
    return corners


def views(count=8, seed=5):
    """Board corners and their projections through CAMERA and DISTORTION, from varied poses."""
    rng = np.random.default_rng(seed)
    real, image = [], []
    for _ in range(count):
        rvec = rng.uniform(-0.45, 0.45, 3)
        tvec = np.array([rng.uniform(-120, -60), rng.uniform(-90, -40), rng.uniform(450, 650)])
        projected, _ = cv2.projectPoints(board(), rvec, tvec, CAMERA, DISTORTION)
        real.append(board())
        image.append(projected.astype(np.float32))
    return real, image


@pytest.fixture
def one_thread():
    threads = cv2.getNumThreads()
    cv2.setNumThreads(1)
    yield
    cv2.setNumThreads(threads)


FLAGS = [None, cv2.CALIB_FIX_K3, cv2.CALIB_ZERO_TANGENT_DIST | cv2.CALIB_FIX_K3, cv2.CALIB_FIX_PRINCIPAL_POINT,
         cv2.CALIB_RATIONAL_MODEL]


@pytest.mark.parametrize("flags", FLAGS)
@pytest.mark.parametrize("criteria", [None, (cv2.TERM_CRITERIA_COUNT + cv2.TERM_CRITERIA_EPS, 50, 1e-9)])
def test_calibration_matches_opencv(flags, criteria, one_thread):
    real, image = views()
    data = qlo_cv.CameraCalibrationData(real, image, SHAPE + (3,), flags, criteria)
    error, matrix, coefficients, _, _ = cv2.calibrateCamera(real, image, SHAPE[::-1], None, None,
                                                            flags=flags, criteria=criteria)
    new_matrix, roi = cv2.getOptimalNewCameraMatrix(matrix, coefficients, SHAPE[::-1], 1, SHAPE[::-1])
    assert data.rejection_error == error and data.roi == roi
    for got, expected in [(data.camera_matrix, matrix), (data.distort_coefficients, coefficients),
                          (data.new_camera_matrix, new_matrix)]:
        assert np.array_equal(got, expected)
    assert data._CameraCalibrationData__flags is flags and data._CameraCalibrationData__criteria is criteria
    assert data._CameraCalibrationData__real_points is real and data._CameraCalibrationData__image_points is image


def test_calibration_recovers_the_camera():
    data = qlo_cv.CameraCalibrationData(*views(), SHAPE)
    assert data.rejection_error < 1e-3
    assert np.allclose(data.camera_matrix, CAMERA, rtol=1e-4)
    assert np.allclose(data.distort_coefficients.ravel(), DISTORTION, atol=[1e-4, 1e-4, 1e-5, 1e-5, 1e-3])


def test_calibration_goes_through_the_module_globals(monkeypatch):
    calls = []

    class Recorder:
        def __getattr__(self, name):
            function = getattr(cv2, name)
            return lambda *args, **kwargs: calls.append((name, args[2:], kwargs)) or function(*args, **kwargs)

    monkeypatch.setattr(qlo_cv, "_cv", Recorder())
    data = qlo_cv.CameraCalibrationData(*views(4), [480, 640, 1], 0)
    assert calls == [("calibrateCamera", ((640, 480), None, None), {"flags": 0, "criteria": None}),
                     ("getOptimalNewCameraMatrix", ((640, 480), 1, (640, 480)), {})]
    with pytest.raises(AssertionError):   # a list shape never equals image.shape[:2]
        data.undistort(np.zeros((480, 640), np.uint8))


@pytest.fixture(scope="module")
def calibration():
    return qlo_cv.CameraCalibrationData(*views(), SHAPE + (3,))


@pytest.mark.parametrize("channels", [(), (3,)])
def test_undistort_returns_the_roi_view(calibration, channels):
    assert calibration.shape == SHAPE
    image = np.random.default_rng(2).integers(0, 256, SHAPE + channels, dtype=np.uint8)
    result = calibration.undistort(image)
    x, y, w, h = calibration.roi
    assert result.shape == (h, w) + channels and not result.flags.owndata
    full = cv2.undistort(image, calibration.camera_matrix, calibration.distort_coefficients, None,
                         calibration.new_camera_matrix)
    assert np.array_equal(result, full[y:y + h, x:x + w])


@pytest.mark.parametrize("shape", [(480, 641), (640, 480), (480,)])
def test_undistort_refuses_other_sizes(calibration, shape):
    with pytest.raises(AssertionError) as info:
        calibration.undistort(np.zeros(shape, np.uint8))
    assert str(info.value) == "Image size is not fit. Expected: (480, 640), got: %s" % (shape[:2],)


@pytest.mark.hardening
def test_undistort_size_check_is_an_assertion():
    proc = run_python("""
        import numpy as np, cv2, qlo_cv
        corners = np.zeros((9 * 6, 3), np.float32)
        corners[:, :2] = np.mgrid[0:9, 0:6].T.reshape(-1, 2) * 25
        camera = np.array([[800.0, 0, 320], [0, 800, 240], [0, 0, 1]])
        image = [cv2.projectPoints(corners, np.array([0.1 * i, -0.2, 0.05]), np.array([-100.0, -60, 500 + 20 * i]),
                                   camera, np.zeros(5))[0].astype(np.float32) for i in range(4)]
        data = qlo_cv.CameraCalibrationData([corners] * 4, image, [480, 640])
        print(data.undistort(np.zeros((100, 120), np.uint8)).ndim)
    """, "-O")
    assert proc.returncode == 0 and proc.stdout.strip() == "2", proc.stderr


def test_ppmm(calibration):
    data = qlo_cv.CameraCalibrationData(*views(3), SHAPE)
    assert data.ppmm == -1.0 and data.ppmm_is_valid is False
    data.ppmm = 0
    assert type(data.ppmm) is float and data.ppmm_is_valid is False
    data.ppmm = np.float32(12.5)
    assert type(data.ppmm) is float and data.ppmm == 12.5 and data.ppmm_is_valid is True
    with pytest.raises(TypeError):
        data.ppmm = "12"
    assert calibration.ppmm == -1.0


@pytest.mark.parametrize("kwargs, text", [
    ({"flags": 1.0}, "Argument 'flags' has incorrect type (expected int, got float)"),
    ({"flags": True, "criteria": [3, 30, 0.1]}, "Argument 'flags' has incorrect type (expected int, got bool)"),
    ({"criteria": [3, 30, 0.1]}, "Argument 'criteria' has incorrect type (expected tuple, got list)"),
])
def test_flags_and_criteria_types(kwargs, text):
    with pytest.raises(TypeError) as info:
        qlo_cv.CameraCalibrationData(*views(3), SHAPE, **kwargs)
    assert str(info.value) == text


def test_bad_calibration_input():
    real, image = views(3)
    with pytest.raises(ValueError, match="^need more than 1 value to unpack$"):
        qlo_cv.CameraCalibrationData(real, image, (480,))
    found, corners = cv2.findChessboardCorners(np.zeros(SHAPE, np.uint8), (9, 6))
    assert not found and corners is None
    bad_inputs = [
        (real, image[:2]),                                   # fewer image views than board views
        (real, [image[0][:-1]] + image[1:]),                 # mismatched point counts in a view
        (real, [corners] + image[1:]),                       # a view without corners
        ([], []),
        (None, None),
        ([np.full((54, 3), np.nan, np.float32)] * 3, image),
        ([board()[:3]] * 3, [i[:3] for i in image]),         # too few points per view
    ]
    for real_points, image_points in bad_inputs:
        with pytest.raises((cv2.error, TypeError, ValueError)):
            qlo_cv.CameraCalibrationData(real_points, image_points, SHAPE)
