import cv2
import numpy as np
import pytest

from qlo_batch.alignment import Field, displacement, explained_by_shift, field


def dots(rng, shape=(240, 320), count=150):
    image = np.zeros(shape, np.uint8)
    for _ in range(count):
        centre = (int(rng.integers(0, shape[1])), int(rng.integers(0, shape[0])))
        cv2.circle(image, centre, int(rng.integers(2, 7)), 255, -1)
    return image


def shifted(image, dx, dy):
    """image moved dx right and dy down, border replicated."""
    return cv2.warpAffine(image, np.float32([[1, 0, dx], [0, 1, dy]]), image.shape[::-1],
                          borderMode=cv2.BORDER_REPLICATE)


def drifting(image, left, right):
    """The left half of the image moved by `left` (dx, dy), the right half by `right`."""
    cols = image.shape[1]
    out = shifted(image, *left)
    out[:, cols // 2:] = shifted(image, *right)[:, cols // 2:]
    return out


# the displacements of the two halves; grid 2 finds each, the tiles of one
# half share it
@pytest.mark.parametrize("left, right", [((0, 0), (0, 0)), ((1, 0), (-1, 0)), ((2, 1), (1, -1)),
                                         ((-1, 2), (1, 0)), ((3, 0), (3, 2))])
@pytest.mark.parametrize("grid", [2, 4])
def test_tiles_find_their_own_displacement(rng, left, right, grid):
    standard = dots(rng)
    target = drifting(standard, left, right)
    moves = field(standard, target, 5, grid, 2)
    half = grid // 2
    assert (moves.tile_dx[:, :half] == left[0]).all() and (moves.tile_dy[:, :half] == left[1]).all()
    assert (moves.tile_dx[:, half:] == right[0]).all() and (moves.tile_dy[:, half:] == right[1]).all()
    assert abs(moves.dx - left[0]) <= 1 or abs(moves.dx - right[0]) <= 1
    assert moves.at(10, 10) == left and moves.at(310, 230) == right
    # moved back tile by tile, the target is the standard but for the strips
    # no target pixel covers and the seam of the halves
    moved = moves.moved(standard, target)
    for inner in ((slice(3, -3), slice(3, 157)), (slice(3, -3), slice(163, -3))):
        assert np.array_equal(moved[inner], standard[inner])


@pytest.mark.parametrize("shape, grid, tiles", [
    ((240, 320), 1, (1, 1)), ((240, 320), 4, (4, 4)), ((240, 320), 64, (5, 6)), ((40, 40), 8, (1, 1)),
    ((100, 30), 4, (2, 1)), ((1, 500), 3, (1, 3))])
def test_grid_is_made_coarser_for_small_images(rng, shape, grid, tiles):
    standard = rng.integers(0, 256, shape, dtype=np.uint8)
    target = rng.integers(0, 256, shape, dtype=np.uint8)
    moves = field(standard, target, 3, grid, 2)
    assert moves.tile_dx.shape == tiles == moves.tile_dy.shape
    assert moves.x_edges[0] == 0 and moves.x_edges[-1] == shape[1] and moves.y_edges[-1] == shape[0]
    if tiles == (1, 1):
        assert (moves.dx, moves.dy) == displacement(standard, target, 3)


def test_moved_keeps_the_standard_where_the_target_has_no_data():
    standard = np.full((60, 100), 7, np.uint8)
    target = np.arange(6000).reshape(60, 100).astype(np.uint8)
    moves = Field((60, 100), 0, 0, np.array([0, 50, 100]), np.array([0, 60]), np.array([[3, -2]]), np.array([[1, 0]]))
    moved = moves.moved(standard, target)
    assert np.array_equal(moved[:59, :50], target[1:, 3:53]) and (moved[59, :50] == 7).all()
    assert np.array_equal(moved[:, 50:], target[:, 48:98])
    assert moves.spread((40, 0, 60, 10)) == (-2, 0, 3, 1) and not moves.still
    assert Field((60, 100), 0, 0).still and Field((60, 100), 0, 0).moved(standard, target) is not standard


def bar_image(shape=(60, 80), left=30, width=8):
    image = np.full(shape, 200, np.uint8)
    image[10:50, left:left + width] = 40
    return image


# (what the target shows, its box, reach, explained)
@pytest.mark.parametrize("change, box, reach, explained", [
    ("bar moved 2 px", (28, 10, 40, 50), 3, True),           # the two slivers of a local misregistration
    ("bar moved 2 px", (28, 10, 40, 50), 1, False),          # beyond the reach
    ("speck on plain ground", (8, 8, 13, 13), 3, False),
    ("spur on the bar", (38, 25, 44, 30), 3, False),         # moving the bar into it costs its other edge
    ("bar moved 2 px", (0, 0, 80, 60), 0, False),            # no re-check
    ("bar at the corner moved 2 px", (70, 50, 80, 60), 3, True),     # a box at the image's edge
])
def test_candidates_explained_by_a_local_shift(change, box, reach, explained):
    standard = bar_image()
    target = standard.copy()
    if change == "bar moved 2 px":
        target = bar_image(left=32)
    elif change == "speck on plain ground":
        target[9:12, 9:12] = 40
    elif change == "spur on the bar":
        target[26:29, 38:43] = 40
    else:
        standard[45:, 72:], target[45:, 74:] = 40, 40
        target[45:, 72:74] = 200
    assert explained_by_shift(standard, target, [box], 50, reach).tolist() == [explained]
    assert explained_by_shift(standard, target, [], 50, reach).tolist() == []


def test_tiles_whose_row_and_column_sums_are_flat_find_their_displacement(rng):
    # texture whose every row and column has the same sum (as diagonal traces and
    # periodic arrays nearly do): sums cannot tell a tile's displacement, a 2-D match can
    blobs = cv2.GaussianBlur(rng.normal(0, 1, (192, 192)).astype(np.float32), (0, 0), 2)
    flat = blobs - blobs.mean(axis=0, keepdims=True) - blobs.mean(axis=1, keepdims=True)
    standard = np.clip(128 + 300 * flat, 0, 255).astype(np.uint8)
    target = standard.copy()
    target[96:, 96:] = shifted(standard, 1, -2)[96:, 96:]     # one tile of four drifts
    moves = field(standard, target, 3, 2, 2)
    assert moves.tile_dx.tolist() == [[0, 0], [0, 1]] and moves.tile_dy.tolist() == [[0, 0], [0, -2]]
