"""Where the target lies on the standard: integer displacements found from
row and column sums, for the whole image and, on request, for each tile of a
grid (prints and scanned boards whose misregistration drifts across the
image by a pixel or so: a slight rotation, a stretch of the film).

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
    tiles the displacement within `slack` pixels of the whole image's one
    that matches the tile's own row and column sums best (the whole image's
    winning among equals, then the nearer one). A grid finer than tiles of
    MIN_TILE pixels is made coarser."""
    rows, cols = target.shape
    nx, ny = max(1, min(grid, cols // MIN_TILE)), max(1, min(grid, rows // MIN_TILE))
    if grid < 2 or nx * ny == 1 or slack == 0 or reach == 0:
        return Field(target.shape, *displacement(standard, target, reach))
    x_edges = np.linspace(0, cols, nx + 1).round().astype(np.int64)
    y_edges = np.linspace(0, rows, ny + 1).round().astype(np.int64)
    # per band of tile rows, the column sums of its rows (and the reverse):
    # the whole image's sums are theirs added up
    columns = [np.stack([cv2.reduce(image[y0:y1], 0, cv2.REDUCE_SUM, dtype=cv2.CV_32S).ravel()
                         for y0, y1 in zip(y_edges[:-1], y_edges[1:])]).astype(np.float64)
               for image in (standard, target)]
    row_sums = [np.stack([cv2.reduce(image[:, x0:x1], 1, cv2.REDUCE_SUM, dtype=cv2.CV_32S).ravel()
                          for x0, x1 in zip(x_edges[:-1], x_edges[1:])]).astype(np.float64)
                for image in (standard, target)]
    dx = _profile_shift(columns[0].sum(axis=0), columns[1].sum(axis=0), reach)
    dy = _profile_shift(row_sums[0].sum(axis=0), row_sums[1].sum(axis=0), reach)
    tile_dx = _tile_shifts(*columns, x_edges, dx, slack)
    tile_dy = _tile_shifts(*row_sums, y_edges, dy, slack).T
    return Field(target.shape, dx, dy, x_edges, y_edges, tile_dx, tile_dy)


def _tile_shifts(standard, target, edges, start, slack):
    """Per band (row of `standard` and `target`, profiles along one axis) and
    per tile between `edges`, the shift k in start - slack..start + slack
    minimising the sum over the tile of (target[x] - standard[x - k])^2,
    taken over the pixels where every tried k has a standard pixel."""
    n = standard.shape[1]
    shifts = sorted(range(start - slack, start + slack + 1), key=lambda k: (abs(k - start), k))
    low, high = max(0, max(shifts)), min(n, n + min(shifts))     # x with x - k inside for every k
    if high <= low:
        return np.full((standard.shape[0], len(edges) - 1), start)
    a = np.clip(edges[:-1], low, high) - low
    b = np.clip(edges[1:], low, high) - low
    moved = np.stack([standard[:, low - k:high - k] for k in shifts])
    d = target[None, :, low:high] - moved
    total = np.zeros(d.shape[:2] + (d.shape[2] + 1,))
    np.cumsum(d * d, axis=2, out=total[:, :, 1:])
    costs = total[:, :, b] - total[:, :, a]
    # argmin takes the first of equal costs: the candidates are ordered nearest first
    return np.asarray(shifts)[np.argmin(costs, axis=0)]


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
