"""Camera-to-robot translators: single camera, rotation displacement, rotating, external target, couple camera."""
import numpy as np
import pytest

import qlo_cv
from conftest import run_python

NAN = float("nan")


def turned(points, center, degrees):
    """Reference: points turned counterclockwise on screen (y down) by `degrees` about `center`."""
    t = np.deg2rad(np.asarray(degrees, float))
    p = np.asarray(points, float).reshape(-1, 2) - center
    x, y = p[:, 0], p[:, 1]
    return np.stack([x * np.cos(t) + y * np.sin(t), -x * np.sin(t) + y * np.cos(t)], axis=1) + center


def observations(matrix, step_x, step_y, origin=(300.0, 200.0)):
    """The target seen at -/+ step of a robot X move and of a robot Y move, for camera motion `matrix`
    (row 1: pixels per robot X unit, row 2: pixels per robot Y unit)."""
    o, m = np.array(origin), np.asarray(matrix, float)
    return [tuple(o - m[0] * step_x), tuple(o + m[0] * step_x), tuple(o - m[1] * step_y), tuple(o + m[1] * step_y)]


SKEWED = [[2.0, 0.5], [-0.3, 1.5]]


# ---- SingleCameraInternalTargetTranslator ----

def test_single_camera_example_and_solve_as_written():
    t = qlo_cv.SingleCameraInternalTargetTranslator([(0, 0), (20, 0), (0, 0), (0, 20)], 10)
    assert t.matrix.tolist() == [[1, 0], [0, 1]] and t.matrix is t.matrix
    assert t.translate((5, 5, "ignored"), np.array([8, 9])).tolist() == [3, 4]


@pytest.mark.parametrize("step_x, step_y", [(10.0, None), (5.0, 2.5), (-4.0, 8.0)])
@pytest.mark.parametrize("as_numpy", [False, True])
def test_single_camera_recovers_the_matrix(step_x, step_y, as_numpy):
    points = observations(SKEWED, step_x, step_x if step_y is None else step_y)
    if as_numpy:
        points = np.array(points)
    t = qlo_cv.SingleCameraInternalTargetTranslator(points, np.float32(step_x), step_y)
    assert np.allclose(t.matrix, SKEWED)
    b = np.array([7.0, -3.0])
    # matrix . r = b, not the transpose
    assert np.allclose(t.translate((1, 2), (8, -1)), np.linalg.solve(SKEWED, b))


@pytest.mark.parametrize("args, error, text", [
    (([(0, 0), (1, 0), (0, 1)], 1.0), ValueError, "need more than 3 values to unpack"),
    (([(0, 0), (1, 0), (0, 1), (0, 2), (3, 3)], 1.0), ValueError, "too many values to unpack (expected 4)"),
    (([(0, 0, 0), (1, 0), (0, 1), (0, 2)], 1.0), ValueError, "too many values to unpack (expected 2)"),
    (([(0, 0), (1, 0), (0, 1), (0, 2)], 1.0, 2), TypeError,
     "Argument 'delta_r_y' has incorrect type (expected float, got int)"),
    (([(0, 0), (1, 0), (0, 1), (0, 2)], "1"), TypeError, None),
])
def test_single_camera_bad_calibration(args, error, text):
    with pytest.raises(error) as info:
        qlo_cv.SingleCameraInternalTargetTranslator(*args)
    assert text is None or str(info.value) == text


def test_single_camera_bad_translation():
    t = qlo_cv.SingleCameraInternalTargetTranslator(observations(SKEWED, 1, 1), 1)
    with pytest.raises(ValueError, match="^need more than 1 value to unpack$"):
        t.translate((1,), (2, 3))
    collinear = qlo_cv.SingleCameraInternalTargetTranslator([(0, 0), (2, 2), (0, 0), (4, 4)], 1)
    with pytest.raises(np.linalg.LinAlgError):
        collinear.translate((0, 0), (1, 1))


ZERO_STEP = [
    ([(0, 0), (2, 0), (0, 0), (0, 2)], 0.0, None),
    (np.array([(0, 0), (2, 0), (0, 0), (0, 2)], float), 0.0, None),
    ([(np.float64(0), np.float64(0)), (2, 0), (0, 0), (0, 2)], 1.0, 0.0),
    ([(np.int64(0), 0), (np.int64(2), 0), (0, 0), (0, 2)], -0.0, None),
]


@pytest.mark.parametrize("points, step_x, step_y", ZERO_STEP)
def test_single_camera_zero_step_raises_even_with_numpy_values(points, step_x, step_y):
    with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
        qlo_cv.SingleCameraInternalTargetTranslator(points, step_x, step_y)


# ---- rotation displacement ----

@pytest.mark.parametrize("center, points, angle", [
    ((0, 0), (1, 0), 90),
    ((5, -2), [(1, 0), (5, -2), (-3, 7)], 33.5),
    ((5, -2), np.array([[1, 0], [2, 2], [-3, 7]], np.float32), -120),
    ((0.5, 0.5), [1, 2, 3, 4], 180),
])
def test_rotation_displacement_turns_counterclockwise_on_screen(center, points, angle):
    result = qlo_cv.TranslatorAccompanyingRotation(center).translate(points, angle)
    shape = np.array(points).shape
    assert result.shape == shape and result.dtype == np.float64
    expected = turned(points, center, angle) - np.asarray(points, float).reshape(-1, 2)
    assert np.allclose(result.reshape(-1, 2), expected, atol=1e-9)


def test_rotation_displacement_examples_offsets_and_per_point_angles():
    r = qlo_cv.TranslatorAccompanyingRotation((0, 0))
    assert np.allclose(r.translate((1, 0), 90), [-1, -1])      # (1, 0) goes up on screen, to (0, -1)
    assert r.translate((0, 0), 45).tolist() == [0, 0]           # the centre does not move
    assert np.allclose(r.translate((3, 0), 90, center_offset=(2, 0)), [-1, -1])
    assert r.rotate_center.tolist() == [0, 0]                   # the offset is for one call only
    points, angles = [(1, 0), (0, 2), (3, 3)], np.array([90.0, -90.0, 180.0])
    each = [r.translate(p, a) for p, a in zip(points, angles)]
    assert np.allclose(r.translate(np.array(points), angles), each)
    assert qlo_cv.TranslatorAccompanyingRotation((0, 0), np.float32).translate((1, 0), 90).dtype == np.float32
    with pytest.raises(ValueError):
        r.translate([1, 2, 3], 10)


def test_calculate_translation_accompanying_rotation():
    f = qlo_cv.calculate_translation_accompanying_rotation
    assert np.allclose(f((4, 5, 99), 30, (1, 1, 7), 30), [0, 0], atol=1e-12)
    assert np.allclose(f((1, 0, 8), np.float32(10), [0, 0, 9], 100), [-1, -1])
    with pytest.raises(TypeError):
        f((1, 0), "10", (0, 0), 0)


@pytest.mark.parametrize("offset, degree, expected", [
    ((10, 0), 0, [0, 0]), ((10, 0, 99), 180, [20, 0]), ((0, 0), 37, [0, 0]), ((0, 10), 90, [-10, 10]),
])
def test_fix_radius_rotating_translator(offset, degree, expected):
    t = qlo_cv.FixRadiusRotatingTranslator(offset)
    assert t.center_offset.tolist() == list(offset[:2])
    assert np.allclose(t.translate(degree), expected, atol=1e-9)
    assert np.allclose(t.translate(degree),
                       qlo_cv.TranslatorAccompanyingRotation((0, 0)).translate(-np.array(offset[:2]), degree))


# ---- SingleCameraInternalTargetRotatingTranslator ----

def rotating_translator(target=(320, 240, 15)):
    single = qlo_cv.SingleCameraInternalTargetTranslator(observations(SKEWED, 2.0, 2.0), 2.0)
    return single, qlo_cv.SingleCameraInternalTargetRotatingTranslator((300, 260), single, target)


def test_rotating_translator_moves():
    single, t = rotating_translator()
    assert t.single_camera_translator is single and t.target_camera_coordinate.tolist() == [320, 240, 15]
    assert np.allclose(t.translate((320, 240, 15)), [0, 0, 0])
    same_angle = t.translate(np.array([100.0, 50.0, 15.0]))
    assert np.allclose(same_angle, list(single.translate((100, 50), (320, 240))) + [0])
    # the turn first moves the part about the centre, the X/Y move covers the rest
    move = t.translate((100, 50, 5), rotate_center_offset=(1, -1))
    assert move[2] == 10
    after_turn = turned((100, 50), (301, 259), 10)[0]
    assert np.allclose(move[:2], single.translate(after_turn, (320, 240)))
    with pytest.raises(IndexError):
        t.translate((1, 2))


# ---- SingleCameraExternalTargetTranslator ----

CENTER = np.array([310.0, 250.0])
M = np.array([[1.8, 0.4], [-0.2, 2.1]])
GOAL = np.array([150.0, 120.0])


def external_samples(travels, angles, snap=(100.0, 50.0, 10.0), goal_angle_sum=40.0):
    """Camera poses consistent with the model: the part turned by its camera angle sits at GOAL - M . travel."""
    cam = []
    for travel, angle in zip(travels, angles):
        at_goal = GOAL - M @ travel
        cam.append([*turned(at_goal, CENTER, -angle)[0], angle])
    robot = [[snap[0] + dx, snap[1] + dy, goal_angle_sum - a] for (dx, dy), a in zip(travels, angles)]
    return snap, cam, robot


def test_external_target_recovers_the_model():
    snap, cam, robot = external_samples([(5, 0), (0, 4), (3, -2)], [0.0, 12.0, -7.0])
    t = qlo_cv.SingleCameraExternalTargetTranslator(snap, tuple(CENTER), cam, robot)
    assert np.allclose(t.matrix, M) and np.allclose(t.destination_camera_coordinate, [*GOAL, 40.0 - 10.0])
    assert t.snapping_robot_coordinate.tolist() == list(snap)
    assert np.allclose(t.source_camera_coordinates, cam)
    assert t.translator_accompanying_rotation.rotate_center.tolist() == list(CENTER)
    # a part seen at a calibration pose needs that sample's travel
    for sample, goal in zip(cam, robot):
        dx, dy, dr = t.translate(sample)
        assert np.allclose([dx, dy], np.array(goal[:2]) - snap[:2]) and np.isclose(dr, 30.0 - sample[2])
    assert isinstance(t.translate(np.array(cam[0])), tuple)


def test_external_target_unturned_at_goal_needs_no_move():
    snap, cam, robot = external_samples([(5, 0), (0, 4), (3, -2)], [0.0, 0.0, 0.0], goal_angle_sum=10.0)
    t = qlo_cv.SingleCameraExternalTargetTranslator(snap, tuple(CENTER), cam, robot)
    assert t.destination_camera_coordinate[2] == 0
    assert np.allclose(t.translate((*GOAL, 0)), (0, 0, 0))


@pytest.mark.parametrize("travels, error", [
    ([(1, 2), (2, 4), (-1, -2)], np.linalg.LinAlgError),   # collinear travels
    ([(5, 0), (0, 4)], IndexError),                         # too few samples
    ([(5, 0), (0, 4), (3, -2), (1, 1)], ValueError),        # too many: b has 8 entries
])
def test_external_target_needs_three_independent_samples(travels, error):
    snap, cam, robot = external_samples(travels, [0.0] * len(travels))
    with pytest.raises(error):
        qlo_cv.SingleCameraExternalTargetTranslator(snap, tuple(CENTER), cam, robot)


def test_external_target_bad_poses():
    snap, cam, robot = external_samples([(5, 0), (0, 4), (3, -2)], [0.0, 0.0, 0.0])
    with pytest.raises(ValueError, match="^need more than 2 values to unpack$"):
        qlo_cv.SingleCameraExternalTargetTranslator(snap[:2], tuple(CENTER), cam, robot)
    t = qlo_cv.SingleCameraExternalTargetTranslator(snap, tuple(CENTER), cam, robot)
    with pytest.raises(ValueError, match="^need more than 0 values to unpack$"):
        t.translate(())


# ---- CoupleCameraTranslator ----

SNAP = (100.0, 50.0, 0.0)
SOURCE = [(200, 150, 1.0), (220, 150, 1.0), (200, 150, 1.0), (200, 175, 1.0)]
GOALS = [(400.0, 300.0, 0.0), (410.0, NAN, 0.0), (400.0, 300.0), (NAN, 306.0, 5.0)]
DEST = [(50, 60, 4.0), (80, 58, 4.0), (50, 60, 4.0), (52, 90, 4.0)]


def couple(goals=GOALS, dest=DEST, source=SOURCE):
    single = qlo_cv.SingleCameraInternalTargetTranslator([(0, 0), (20, 0), (0, 0), (0, 20)], 10.0)
    return qlo_cv.CoupleCameraTranslator(SNAP, source, goals, dest, (210, 160), single)


def test_couple_camera_calibration_and_translation():
    t = couple()
    assert t.alpha == 3.0 and t.rotate_center.tolist() == [210, 160] and t.source_snapping_robot_coordinate is SNAP
    # the source translator explains (-20, 0) and (0, -25) of robot travel between samples
    assert np.allclose(t.matrix, [[30 / 30, 2 / 31], [-2 / 30, 30 / 31]])
    assert np.allclose(t.translate(SOURCE[0], (50, 60, 4.0)), [300, 250, 0])
    move = t.translate((205, 150, 1.0), (50 + 30, 60 - 2, 4.0 + 10))
    assert move[2] == 10 and isinstance(move, np.ndarray)
    turned_part = turned((205, 150), (210, 160), 10)[0]
    expected = np.array([200, 150]) - turned_part + [300, 250] + [30, 0]
    assert np.allclose(move[:2], expected)


@pytest.mark.parametrize("goals", [
    [(400.0, 300.0), (400.0, NAN), (400.0, 300.0), (NAN, 306.0)],   # samples 1 and 2 at the same X
    [(400.0, 300.0), (410.0, NAN), (400.0, 306.0), (NAN, 306.0)],   # samples 3 and 4 at the same Y
    [(400.0, 300.0), (410.0, 300.0), (400.0, 300.0), (NAN, 306.0)],  # sample 2 gives a Y
    [(400.0, 300.0), (410.0, NAN), (400.0, 300.0), (400.0, 306.0)],  # sample 4 gives an X
])
def test_couple_camera_validates_robot_goals(goals):
    with pytest.raises(AssertionError) as info:
        couple(goals)
    assert str(info.value) == "robot_destination_coordinates is not valid: " + str(goals)


@pytest.mark.hardening
def test_couple_camera_validations_are_assertions():
    proc = run_python("""
        import qlo_cv
        single = qlo_cv.SingleCameraInternalTargetTranslator([(0, 0), (20, 0), (0, 0), (0, 20)], 10.0)
        s = [(200, 150, 1.0), (220, 150, 1.0), (200, 150, 1.0), (200, 175, 1.0)]
        d = [(50, 60, 4.0), (80, 58, 4.0), (50, 60, 4.0), (52, 90, 4.0)]
        t = qlo_cv.CoupleCameraTranslator((0, 0, 0), s, [(4, 3), (5, 3), (4, 3), (4, 9)], d, (0, 0), single)
        print(t.alpha)
    """, "-O")
    assert proc.returncode == 0 and proc.stdout.strip() == "3.0", proc.stderr


@pytest.mark.parametrize("numpy_values", [False, True])
@pytest.mark.parametrize("which", ["x", "y"])
def test_couple_camera_zero_denominator_raises(numpy_values, which):
    # the robot travel matches what the source camera explains: no travel left for the destination camera
    goals = [list(g) for g in GOALS]
    if which == "x":
        goals[1][0] = goals[0][0] - 20
    else:
        goals[3][1] = goals[2][1] - 25
    if numpy_values:
        goals = [np.array(g) for g in goals]
    with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
        couple(goals)


@pytest.mark.parametrize("kwargs, text", [
    ({"source": SOURCE[:3]}, "need more than 3 values to unpack"),
    ({"dest": [(50, 60), *DEST[1:]]}, "need more than 2 values to unpack"),
    ({"goals": [(400.0,), *GOALS[1:]]}, "need more than 1 value to unpack"),
])
def test_couple_camera_unpacking(kwargs, text):
    with pytest.raises(ValueError) as info:
        couple(**kwargs)
    assert str(info.value) == text
    with pytest.raises(ValueError, match="^too many values to unpack"):
        couple().translate((1, 2, 3, 4), (1, 2, 3))


def test_translators_reach_module_globals_at_call_time(monkeypatch):
    made = []

    class Recording(qlo_cv.TranslatorAccompanyingRotation):
        def __init__(self, center, *rest):
            made.append(list(center))
            super().__init__(center, *rest)

    monkeypatch.setattr(qlo_cv, "TranslatorAccompanyingRotation", Recording)
    qlo_cv.calculate_translation_accompanying_rotation((1, 0), 0, (3, 4, 5), 90)
    assert isinstance(couple().rotator, Recording)
    assert made == [[3, 4], [210, 160]]

    class NoMath:
        isclose = staticmethod(lambda a, b: a == b)
        isnan = staticmethod(lambda v: True)

    monkeypatch.setattr(qlo_cv, "_math", NoMath)
    couple([(400.0, 300.0), (410.0, 1.0), (400.0, 300.0), (1.0, 306.0)])   # NaN checks replaced
