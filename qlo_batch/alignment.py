"""Where the target lies on the standard: integer displacements, for the
whole image and, on request, for each tile of a grid (found by a
two-dimensional match of each tile, within a few pixels of the whole
image's: prints and scanned boards whose misregistration
drifts across the image by a pixel or so, a slight rotation, a stretch of
the film). Sums of rows and columns are fooled by diagonal traces, periodic
line arrays and copper pours; a tile's 2-D match is not. And, for each
candidate defect, whether a small local shift explains it.

A displacement (dx, dy) means the target is best matched by the standard
moved dx pixels right and dy down: target[y, x] ~ standard[y - dy, x - dx].
"""
import bisect

import cv2
import numpy as np

# Tiles narrower or lower than this (pixels) carry too little of the print
# to be aligned on their own: the grid is made coarser instead.
MIN_TILE = 48


def displacement(standard, target, max_shift):
    """(dx, dy) with |dx|, |dy| <= max_shift: the whole target is best matched
    by the standard moved dx pixels right and dy down. Found from the column
    and row sums of the two images (a few microseconds per displacement), the
    smaller displacement winning among equals."""
    if max_shift == 0:
        return 0, 0
    columns = [cv2.reduce(image, 0, cv2.REDUCE_SUM, dtype=cv2.CV_32S).ravel() for image in (standard, target)]
    rows = [cv2.reduce(image, 1, cv2.REDUCE_SUM, dtype=cv2.CV_32S).ravel() for image in (standard, target)]
    return _profile_shift(*columns, max_shift), _profile_shift(*rows, max_shift)


def _profile_shift(standard, target, s):
    n = len(standard)
    if n <= 2 * s:
        return 0
    standard, core = standard.astype(np.float64), target[s:n - s].astype(np.float64)
    costs = [(float(np.dot(d, d)), abs(k), k) for k in range(-s, s + 1)
             for d in (core - standard[s - k:n - s - k],)]
    return min(costs)[2]


class Field:
    """The displacement of every part of the image: one for the whole image
    (`dx`, `dy`), or one per tile of a grid whose tile edges are `x_edges`
    and `y_edges`, the tiles' displacements in the arrays `tile_dx` and
    `tile_dy` (one row per row of tiles)."""

    def __init__(self, shape, dx, dy, x_edges=None, y_edges=None, tile_dx=None, tile_dy=None):
        rows, cols = shape
        self.dx, self.dy = int(dx), int(dy)
        self.x_edges = np.array([0, cols]) if x_edges is None else x_edges
        self.y_edges = np.array([0, rows]) if y_edges is None else y_edges
        self.tile_dx = np.full((1, 1), self.dx) if tile_dx is None else tile_dx
        self.tile_dy = np.full((1, 1), self.dy) if tile_dy is None else tile_dy
        # plain lists for lookups: one per NG region, many per image
        self._single = self.tile_dx.size == 1 and int(self.tile_dx.flat[0]) == self.dx \
            and int(self.tile_dy.flat[0]) == self.dy
        self._x_inner, self._y_inner = self.x_edges[1:-1].tolist(), self.y_edges[1:-1].tolist()
        self._dx_rows, self._dy_rows = self.tile_dx.tolist(), self.tile_dy.tolist()

    @property
    def still(self):
        """Whether nothing moves at all."""
        return not self.tile_dx.any() and not self.tile_dy.any()

    def at(self, x, y):
        """(dx, dy) of the tile holding pixel (x, y) (clamped into the image)."""
        if self._single:
            return self.dx, self.dy
        tx = bisect.bisect_right(self._x_inner, x)
        ty = bisect.bisect_right(self._y_inner, y)
        return self._dx_rows[ty][tx], self._dy_rows[ty][tx]

    def spread(self, box):
        """(low dx, low dy, high dx, high dy): the least and greatest
        displacement met by the tiles a box (x1, y1, x2, y2) reaches into."""
        if self._single:
            return self.dx, self.dy, self.dx, self.dy
        x1, y1, x2, y2 = box
        corners = [self.at(x, y) for x in (x1, max(x2 - 1, x1)) for y in (y1, max(y2 - 1, y1))]
        dxs, dys = [c[0] for c in corners], [c[1] for c in corners]
        return min(dxs), min(dys), max(dxs), max(dys)

    def moved(self, standard, target):
        """The target moved onto the standard, tile by tile:
        moved[y, x] = target[y + dy, x + dx] with the displacement of the tile
        holding (x, y). Where that falls outside the target, the standard's
        own pixel stands, so nothing is reported where the target has no data."""
        rows, cols = target.shape
        moved = standard.copy()
        for ty, (y0, y1) in enumerate(zip(self.y_edges[:-1].tolist(), self.y_edges[1:].tolist())):
            for tx, (x0, x1) in enumerate(zip(self.x_edges[:-1].tolist(), self.x_edges[1:].tolist())):
                dx, dy = int(self.tile_dx[ty, tx]), int(self.tile_dy[ty, tx])
                ya, yb = max(y0, -dy), min(y1, rows - dy)
                xa, xb = max(x0, -dx), min(x1, cols - dx)
                if ya < yb and xa < xb:
                    moved[ya:yb, xa:xb] = target[ya + dy:yb + dy, xa + dx:xb + dx]
        return moved


def field(standard, target, reach, grid=0, slack=2):
    """The Field of `target` on `standard`: the whole-image displacement
    within `reach` pixels and, with `grid` >= 2, for each of grid x grid
    tiles the displacement within `slack` pixels of the whole image's one.
    Without tiles the whole image's comes from row and column sums (a few
    microseconds per displacement); with tiles both come from matching each
    standard tile in two dimensions (squared differences at every
    displacement within `reach`, which cv2.matchTemplate computes in about
    the time of one): the whole image's is the least sum over the tiles, a
    tile's its own least within `slack` of it (among equals the nearer, so a
    blank tile keeps the whole image's). A grid finer than tiles of MIN_TILE
    pixels is made coarser."""
    rows, cols = target.shape
    nx, ny = max(1, min(grid, cols // MIN_TILE)), max(1, min(grid, rows // MIN_TILE))
    if grid < 2 or nx * ny == 1 or slack == 0 or reach == 0:
        return Field(target.shape, *displacement(standard, target, reach))
    x_edges = np.linspace(0, cols, nx + 1).round().astype(np.int64)
    y_edges = np.linspace(0, rows, ny + 1).round().astype(np.int64)
    costs = _tile_costs(standard, target, x_edges, y_edges, reach)
    side = 2 * reach + 1
    dy, dx = (int(k) - reach for k in divmod(_nearest_least(costs.sum(axis=(0, 1)).ravel(), reach, 0, 0, reach),
                                             side))
    tile_dx = np.empty((ny, nx), np.int64)
    tile_dy = np.empty_like(tile_dx)
    for ty in range(ny):
        for tx in range(nx):
            best = _nearest_least(costs[ty, tx].ravel(), reach, dx, dy, slack)
            tile_dy[ty, tx], tile_dx[ty, tx] = (int(k) - reach for k in divmod(best, side))
    return Field(target.shape, dx, dy, x_edges, y_edges, tile_dx, tile_dy)


def _tile_costs(standard, target, x_edges, y_edges, reach):
    """(tile rows, tile columns, 2 reach + 1, 2 reach + 1): per tile, the sum of
    squared differences between the standard's tile and the target at each
    displacement (dx, dy) within `reach`, at [dy + reach, dx + reach] (the
    target's border pixels repeat beyond it)."""
    padded = cv2.copyMakeBorder(target, reach, reach, reach, reach, cv2.BORDER_REPLICATE)
    side = 2 * reach + 1
    costs = np.empty((len(y_edges) - 1, len(x_edges) - 1, side, side), np.float64)
    for ty, (y0, y1) in enumerate(zip(y_edges[:-1].tolist(), y_edges[1:].tolist())):
        for tx, (x0, x1) in enumerate(zip(x_edges[:-1].tolist(), x_edges[1:].tolist())):
            window = padded[y0:y1 + side - 1, x0:x1 + side - 1]
            costs[ty, tx] = cv2.matchTemplate(window, standard[y0:y1, x0:x1], cv2.TM_SQDIFF)
    # the sums are whole numbers: rounding undoes the Fourier transform's noise, so equal costs tie
    return np.rint(costs, out=costs)


def _nearest_least(costs, reach, dx, dy, slack):
    """The index into a raveled (2 reach + 1)^2 cost map of the least cost
    within `slack` of (dx, dy) (both axes), the nearer to (dx, dy) among
    equals (then the smaller dy, dx)."""
    v, u = np.divmod(np.arange(costs.size), 2 * reach + 1)
    u, v = u - reach - dx, v - reach - dy
    allowed = np.flatnonzero((np.abs(u) <= slack) & (np.abs(v) <= slack))
    order = allowed[np.lexsort((u[allowed], v[allowed], np.abs(u[allowed]) + np.abs(v[allowed]),
                                costs[allowed]))]
    return int(order[0])


# A candidate defect is explained by local misregistration when a shift of
# the standard over its own box leaves at most this share of the pixels that
# differ unshifted.
EXPLAINED_SHARE = 0.25


def explained_by_shift(standard, target, boxes, threshold, reach):
    """Per box (x1, y1, x2, y2), whether moving the standard by at most
    `reach` pixels along each axis over the box, grown by `reach` on each
    side so that a pattern edge moved into it is paid for where it leaves,
    brings the pixels differing by more than `threshold` down to
    EXPLAINED_SHARE of those differing unmoved: an edge sliver or a box
    stretched by a local misregistration the tolerance did not cover, which
    a defect on the pattern or on plain ground is not. Each box is settled
    by one array expression over all its shifts."""
    explained = np.zeros(len(boxes), bool)
    if reach <= 0 or not len(boxes):
        return explained
    rows, cols = target.shape
    padded = cv2.copyMakeBorder(standard, reach, reach, reach, reach, cv2.BORDER_REPLICATE).astype(np.int16)
    window = (2 * reach + 1, 2 * reach + 1)
    for index, (x1, y1, x2, y2) in enumerate(np.asarray(boxes, np.int64).reshape(-1, 4).tolist()):
        x1, y1, x2, y2 = max(x1 - reach, 0), max(y1 - reach, 0), min(x2 + reach, cols), min(y2 + reach, rows)
        if x1 >= x2 or y1 >= y2:
            continue
        seen = target[y1:y2, x1:x2].astype(np.int16)
        # shifted[j, i] is the standard moved by (reach - i, reach - j) under the grown box
        around = padded[y1:y2 + 2 * reach, x1:x2 + 2 * reach]
        shifted = np.lib.stride_tricks.sliding_window_view(around, seen.shape).reshape(*window, *seen.shape)
        counts = np.count_nonzero(np.abs(shifted - seen) > threshold, axis=(2, 3))
        unmoved = counts[reach, reach]
        explained[index] = unmoved > 0 and counts.min() <= EXPLAINED_SHARE * unmoved
    return explained
