"""Demonstration robot guidance: a camera above a robot's work plane guides parts to a target pose.

Everything is simulated with a known lens and robot, so the result can be checked:
1. calibrate the camera from chessboard views rendered through the lens (pinhole plus
   distortion) and found again with OpenCV's chessboard detector;
2. undistort every camera image with that calibration;
3. calibrate a single-camera translator from four views of the part moved by the robot
   to either side of the target pose along X and along Y;
4. for parts lying at other poses, find the part's contour, its turn against the part at
   the target pose (`the_most_matching_angle`) and its centre (`Contour.centroid`), and
   let a rotating translator give the robot move; print it next to the true move.
The gripper holds the part at its centre, so the robot turns the part about that point.

Run alone: python examples/robot_guidance.py
"""
import math

import cv2
import numpy as np

import qlo_cv

SIZE = (1280, 1024)                     # camera image (width, height), pixels
LENS = np.array([[1400.0, 0.0, 652.0], [0.0, 1400.0, 505.0], [0.0, 0.0, 1.0]])
DISTORTION = np.array([-0.28, 0.11, 0.0006, -0.0004, 0.0])
PATTERN = (9, 6)                        # inner corners of the chessboard
SQUARE = 15.0                           # mm
PIXELS_PER_MM = 9.0                     # on the work plane, seen through the lens without distortion
CAMERA_TURN = math.radians(7.0)         # camera mounted turned about its axis against the robot axes
PLANE_ORIGIN = np.array([600.0, 540.0])  # where robot (0, 0) appears, ideal pixels
TARGET = (4.0, -3.0, 10.0)              # target pose of the part: robot X, Y (mm), turn (degrees)
STEP = 8.0                              # calibration move: the robot goes to TARGET -/+ STEP along X, then Y
PARTS = [(-18.0, 12.5, 47.0), (21.0, 9.0, -65.0), (-9.5, -16.0, 170.0)]
BRACKET = np.array([(-16, -11), (18, -11), (18, -3), (2, -3), (2, 12), (-16, 12)], float)  # part outline, mm


def _lens_maps():
    """For every pixel of the camera image, where the distortion-free image shows it."""
    xs, ys = np.meshgrid(np.arange(SIZE[0], dtype=np.float32), np.arange(SIZE[1], dtype=np.float32))
    pixels = np.stack([xs.ravel(), ys.ravel()], axis=1).reshape(-1, 1, 2)
    ideal = cv2.undistortPoints(pixels, LENS, DISTORTION, P=LENS).reshape(SIZE[1], SIZE[0], 2)
    return ideal[..., 0].copy(), ideal[..., 1].copy()


def _through_lens(ideal, maps):
    return cv2.remap(ideal, maps[0], maps[1], cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT, borderValue=40)


def _chessboard_texture(pixels_per_mm=4):
    squares = (PATTERN[0] + 1, PATTERN[1] + 1)
    cell = int(SQUARE * pixels_per_mm)
    board = np.indices((squares[1] * cell, squares[0] * cell)) // cell
    texture = np.where((board[0] + board[1]) % 2 == 0, 20, 235).astype(np.uint8)
    margin = cell
    return cv2.copyMakeBorder(texture, margin, margin, margin, margin, cv2.BORDER_CONSTANT, value=235), pixels_per_mm


def _board_views(maps, count=12, seed=11):
    """Chessboard views rendered through the lens; returns the board and image points of those found."""
    texture, scale = _chessboard_texture()
    margin = SQUARE * scale
    to_board = np.array([[1 / scale, 0, -SQUARE - margin / scale], [0, 1 / scale, -SQUARE - margin / scale], [0, 0, 1]])
    corners = np.zeros((PATTERN[0] * PATTERN[1], 3), np.float32)
    corners[:, :2] = np.mgrid[0:PATTERN[0], 0:PATTERN[1]].T.reshape(-1, 2) * SQUARE
    rng = np.random.default_rng(seed)
    real, image = [], []
    for _ in range(count):
        rotation, _ = cv2.Rodrigues(rng.uniform(-0.5, 0.5, 3))
        shift = np.array([rng.uniform(-110, -30), rng.uniform(-90, -10), rng.uniform(330, 420)])
        plane = LENS @ np.column_stack([rotation[:, 0], rotation[:, 1], shift]) @ to_board
        ideal = cv2.warpPerspective(texture, plane, SIZE, borderValue=120)
        view = _through_lens(ideal, maps)
        found, points = cv2.findChessboardCorners(view, PATTERN)
        if not found:
            continue
        criteria = (cv2.TERM_CRITERIA_EPS + cv2.TERM_CRITERIA_COUNT, 50, 1e-4)
        image.append(cv2.cornerSubPix(view, points, (7, 7), (-1, -1), criteria))
        real.append(corners)
    return real, image


def _plane_to_ideal(points):
    """Robot plane (mm) to distortion-free pixels: the camera looks straight down, so the
    image is the plane seen from above (robot Y up the screen), turned and scaled."""
    c, s = math.cos(CAMERA_TURN), math.sin(CAMERA_TURN)
    mirror_turn = np.array([[c, s], [s, -c]]) * PIXELS_PER_MM
    return PLANE_ORIGIN + points @ mirror_turn.T


def _part_view(pose, maps):
    """The camera image of the part lying at robot pose (x, y, turn)."""
    x, y, turn = pose
    t = math.radians(turn)
    outline = BRACKET - _area_centre(BRACKET)
    placed = outline @ np.array([[math.cos(t), -math.sin(t)], [math.sin(t), math.cos(t)]]).T + (x, y)
    ideal = np.full((SIZE[1], SIZE[0]), 40, np.uint8)
    corners = np.round(_plane_to_ideal(placed) * 16).astype(np.int32)
    cv2.fillPoly(ideal, [corners], 220, cv2.LINE_AA, shift=4)
    return _through_lens(ideal, maps)


def _area_centre(polygon):
    m = cv2.moments(polygon.astype(np.float32))
    return np.array([m["m10"] / m["m00"], m["m01"] / m["m00"]])


def _part_contour(calibration, view):
    """The part's outline in the undistorted camera image."""
    image = calibration.undistort(view)
    _, binary = cv2.threshold(image, 130, 255, cv2.THRESH_BINARY)
    contours, _ = cv2.findContours(binary, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_NONE)
    return qlo_cv.Contour(max(contours, key=cv2.contourArea))


def _pose_of(pose, dx=0.0, dy=0.0):
    return (pose[0] + dx, pose[1] + dy, pose[2])


def _single_camera_translator(calibration, maps):
    """Four views of the part at the target pose moved by -/+ STEP along robot X, then Y."""
    moves = [(-STEP, 0), (STEP, 0), (0, -STEP), (0, STEP)]
    centres = [_part_contour(calibration, _part_view(_pose_of(TARGET, *m), maps)).centroid for m in moves]
    return qlo_cv.SingleCameraInternalTargetTranslator([tuple(c) for c in centres], STEP)


def demonstrate_robot_guidance():
    """Runs the whole guidance simulation and prints each part's computed and true robot move."""
    maps = _lens_maps()
    real, image = _board_views(maps)
    calibration = qlo_cv.CameraCalibrationData(real, image, (SIZE[1], SIZE[0]))
    x, y, w, h = calibration.roi
    print("robot guidance: camera calibrated from %d chessboard views, re-projection error %.3f px, "
          "undistorted view %d x %d" % (len(real), calibration.rejection_error, w, h))
    single = _single_camera_translator(calibration, maps)
    print("  translator from 4 robot moves of %g mm: %s px/mm" % (STEP, np.round(single.matrix, 3).tolist()))
    reference = _part_contour(calibration, _part_view(TARGET, maps))
    cx, cy = reference.centroid
    guide = qlo_cv.SingleCameraInternalTargetRotatingTranslator((0.0, 0.0), single, (cx, cy, 0.0))
    for pose in PARTS:
        part = _part_contour(calibration, _part_view(pose, maps))
        # the_most_matching_angle measures clockwise as displayed; translators take counterclockwise.
        turn = qlo_cv.the_most_matching_angle(reference, part)
        centre = part.centroid
        move = guide.translate((centre[0], centre[1], -turn), rotate_center_offset=tuple(centre))
        true = (TARGET[0] - pose[0], TARGET[1] - pose[1], (TARGET[2] - pose[2] + 180) % 360 - 180)
        print("  part at (%6.1f, %6.1f) mm, %6.1f deg: move X %+8.3f Y %+8.3f mm turn %+8.3f deg"
              " | true X %+8.3f Y %+8.3f turn %+8.3f" % (*pose, *move, *true))


if __name__ == "__main__":
    demonstrate_robot_guidance()
