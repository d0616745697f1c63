"""Binarised circuit-board tiles: a random layout of copper (traces at 0, 45
and 90 degrees, buses, round and square pads with drilled holes, IC pad rows
with fan-out, through-hole grids, vias and ground pours) kept apart by a
per-tile clearance, and a scan of it (sub-pixel shift, blur, noise and
re-binarisation).

Run alone: python examples/sample_boards.py [OUT_DIR] (default "out") writes a
tile and its scan as board_tile.png and board_scan.png."""
import math
import os
import sys

import cv2
import numpy as np

DIRS = np.array([(math.cos(k * math.pi / 4), math.sin(k * math.pi / 4)) for k in range(8)])


class Layout:
    """Copper drawn element by element; each element only goes down if it keeps
    the clearance to every copper pixel that is not its own part."""

    def __init__(self, rng, size=640):
        self.rng, self.size = rng, size
        self.ids = np.zeros((size, size), np.uint16)   # part id of each copper pixel, 0 = none
        self.drills = []
        self.clear = int(rng.integers(4, 15))   # 3 px gaps would let the scan join parts by itself
        lo = int(rng.integers(3, 9))   # trace widths of this tile: lo..hi pixels
        self.widths = (lo, int(rng.integers(lo, 13)))
        self.next_id = 1

    def width(self):
        return int(self.rng.integers(self.widths[0], self.widths[1] + 1))

    def new_id(self):
        self.next_id += 1
        return self.next_id - 1

    @staticmethod
    def _draw(img, prims, grow, value, offset=(0, 0)):
        off = np.asarray(offset, float)
        for kind, pts, size in prims:
            p = np.round((np.asarray(pts, float) - off) * 4).astype(np.int32)
            if kind == "path":   # segments as polygons and round joints: any width, not only odd ones
                half = (size + 2 * grow - 1) / 2   # a filled polygon also takes its outline
                q = np.asarray(pts, float) - off
                d = np.diff(q, axis=0)
                n = np.stack([-d[:, 1], d[:, 0]], 1) / np.maximum(1e-9, np.hypot(d[:, 0], d[:, 1]))[:, None] * half
                quads = np.stack([q[:-1] + n, q[1:] + n, q[1:] - n, q[:-1] - n], 1)
                cv2.fillPoly(img, list(np.round(quads * 4).astype(np.int32)), value, cv2.LINE_8, 2)
                for c in p:
                    cv2.circle(img, (int(c[0]), int(c[1])), int(round(half * 4)), value, -1, cv2.LINE_8, 2)
            elif kind == "disc":
                cv2.circle(img, tuple(int(v) for v in p[0]), int(round((size + grow) * 4)), value, -1,
                           cv2.LINE_8, 2)
            else:
                cv2.fillPoly(img, [p], value, cv2.LINE_8, 2)
                if grow:
                    cv2.polylines(img, [p], True, value, int(2 * grow + 1), cv2.LINE_8, 2)

    def fits(self, prims, own=0):
        """Whether the element keeps the clearance to all copper except part `own`."""
        pts = np.vstack([np.asarray(p, float).reshape(-1, 2) for _k, p, _s in prims])
        reach = max(s for _k, _p, s in prims) + self.clear + 2
        x1, y1 = np.floor(pts.min(0) - reach).astype(int)
        x2, y2 = np.ceil(pts.max(0) + reach).astype(int)
        x1, y1, x2, y2 = max(x1, 0), max(y1, 0), min(x2, self.size), min(y2, self.size)
        if x2 <= x1 or y2 <= y1:
            return True   # wholly off the tile
        scratch = np.zeros((y2 - y1, x2 - x1), np.uint8)
        self._draw(scratch, prims, self.clear, 1, (x1, y1))
        under = self.ids[y1:y2, x1:x2][scratch > 0]
        return not np.any((under != 0) & (under != own))

    def put(self, prims, own=0):
        """Draws the element if it fits; returns its part id or 0."""
        if not self.fits(prims, own):
            return 0
        own = own or self.new_id()
        self._draw(self.ids, prims, 0, own)
        return own

    # ------------------------------------------------------------ elements

    def pad(self, centre, radius, own=0, square=None, drill=None):
        rng = self.rng
        square = rng.random() < 0.4 if square is None else square
        if square:
            r = radius * 0.9
            prim = ("poly", np.array([[-r, -r], [r, -r], [r, r], [-r, r]]) + centre, 0)
        else:
            prim = ("disc", [centre], radius)
        part = self.put([prim], own)
        drill = rng.random() < 0.6 if drill is None else drill
        if part and drill and radius >= 5.5:
            self.drills.append((centre, rng.uniform(2.2, max(2.2, radius - 3))))
        return part

    def path(self, start, heading, segments):
        pts, d = [np.asarray(start, float)], heading
        for _ in range(segments):
            pts.append(pts[-1] + DIRS[d] * self.rng.uniform(20, 260))
            d = (d + self.rng.choice([-1, 1, -2, 2], p=(0.38, 0.38, 0.12, 0.12))) % 8
        return np.array(pts)

    def trace(self, pts, width, own=0, end_pads=0.5):
        """Puts the longest prefix of the path that fits; pads or vias on some ends."""
        k = 1   # segment by segment: cheaper than trying ever shorter prefixes whole
        while k < len(pts) and self.fits([("path", pts[k - 1:k + 1], width)], own):
            k += 1
        if k < 2:
            return 0
        part = own or self.new_id()
        self._draw(self.ids, [("path", pts[:k], width)], 0, part)
        rng, m = self.rng, 10
        for end in (pts[0], pts[k - 1]):
            if m < end[0] < self.size - m and m < end[1] < self.size - m and rng.random() < end_pads:
                self.pad(end, width / 2 + rng.uniform(2, 9), part)
        for corner in pts[1:k - 1]:
            if rng.random() < 0.15:
                self.pad(corner, width / 2 + rng.uniform(2, 5), part, square=False)
        return part

    def bus(self, count):
        rng = self.rng
        width = self.width()
        pitch = width + self.clear + rng.integers(0, 8)
        side = rng.integers(4)
        t = rng.uniform(0.1, 0.9) * self.size
        start = [(t, -30), (self.size + 30, t), (t, self.size + 30), (-30, t)][side]
        if rng.random() < 0.3:
            start = rng.uniform(0.1, 0.9, 2) * self.size
        heading = (2 * ((side + 1) % 4) + rng.choice([0, 0, 1, -1])) % 8
        centre = self.path(start, heading, int(rng.integers(1, 6)))
        for i in range(count):
            self.trace(_offset(centre, (i - (count - 1) / 2) * pitch), width)

    def ic_row(self):
        rng = self.rng
        n = int(rng.integers(3, 14))
        pw = rng.uniform(5, 14)
        ph = rng.uniform(max(pw, 10), 38)
        pitch = pw + self.clear + rng.uniform(1, 8)
        origin = rng.uniform(40, self.size - 40, 2)
        vertical = rng.random() < 0.5
        facing = rng.choice([-1, 1])
        for i in range(n):
            c = origin + (np.array([0, i * pitch]) if vertical else np.array([i * pitch, 0]))
            out = np.array([facing, 0]) if vertical else np.array([0, facing])
            half = np.array([ph / 2, pw / 2]) if vertical else np.array([pw / 2, ph / 2])
            corners = c + np.array([[-1, -1], [1, -1], [1, 1], [-1, 1]]) * half
            part = self.put([("poly", corners, 0)])
            if part and rng.random() < 0.75:
                width = int(min(pw - 1, self.width()))
                heading = int(np.argmax(DIRS @ out))
                pts = [c, c + out * rng.uniform(ph / 2 + 8, ph / 2 + 60)]
                turn = DIRS[(heading + rng.choice([-1, 0, 1])) % 8]
                pts.append(pts[-1] + turn * rng.uniform(30, 300))
                self.trace(np.array(pts), max(3, width), part, end_pads=0.3)

    def th_grid(self):
        rng = self.rng
        r = rng.uniform(5, 16)
        pitch = 2 * r + self.clear + rng.uniform(2, 16)
        origin = rng.uniform(30, self.size - 30, 2)
        square = rng.random() < 0.3
        rows, cols = int(rng.integers(1, 4)), int(rng.integers(2, 9))
        for i in range(rows):
            for j in range(cols):
                c = origin + np.array([j, i]) * pitch
                part = self.pad(c, r, square=square or (i == j == 0 and rng.random() < 0.5), drill=True)
                if part and rng.random() < 0.35:
                    self.trace(self.path(c, int(rng.integers(8)), int(rng.integers(1, 4))), self.width(), part)

    def pour(self):
        """A ground area: a polygon of copper around the rest at a clearance."""
        rng, s = self.rng, self.size
        img = np.zeros((s, s), np.uint8)
        if rng.random() < 0.3:
            img[:] = 1
        else:
            t = np.sort(rng.uniform(0, 2 * np.pi, rng.integers(4, 9)))
            centre = rng.uniform(0.2, 0.8, 2) * s
            radius = rng.uniform(0.25, 0.8, t.size) * s
            pts = np.stack([np.cos(t), np.sin(t)], 1) * radius[:, None] + centre
            cv2.fillPoly(img, [np.round(pts).astype(np.int32)], 1)
        gap = self.clear + int(rng.integers(0, 6))
        keep = cv2.dilate((self.ids > 0).astype(np.uint8), cv2.getStructuringElement(
            cv2.MORPH_ELLIPSE, (2 * gap + 1, 2 * gap + 1)))
        area = img & (1 - keep)
        area = cv2.morphologyEx(area, cv2.MORPH_OPEN, cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (7, 7)))
        n, labels, stats, _c = cv2.connectedComponentsWithStats(area, connectivity=8)
        for i in range(1, n):
            if stats[i, cv2.CC_STAT_AREA] >= 400:
                self.ids[labels == i] = self.new_id()
        inside = cv2.distanceTransform(area, cv2.DIST_L2, 5)
        for _ in range(int(rng.integers(0, 12))):
            y, x = rng.integers(0, s, 2)
            r = rng.uniform(2.2, 6)
            if inside[y, x] >= r + 4:
                self.drills.append(((x, y), r))

    def copper(self):
        mask = (self.ids > 0).astype(np.uint8)
        for (x, y), r in self.drills:
            cv2.circle(mask, (int(round(x * 4)), int(round(y * 4))), int(round(r * 4)), 0, -1, cv2.LINE_8, 2)
        return mask.view(bool)


def _offset(pts, off):
    """The path moved `off` pixels sideways, with mitred corners."""
    d = np.diff(pts, axis=0)
    d /= np.hypot(d[:, 0], d[:, 1])[:, None]
    normals = np.stack([-d[:, 1], d[:, 0]], 1)
    out = [pts[0] + normals[0] * off]
    for a, b, p in zip(normals[:-1], normals[1:], pts[1:-1]):
        m = a + b
        m /= np.hypot(*m)
        out.append(p + m * off / max(0.3, m @ a))
    out.append(pts[-1] + normals[-1] * off)
    return np.array(out)


def board_copper(rng, size=640):
    """A random board tile: bool copper mask, size x size."""
    lay = Layout(rng, size)
    busy = rng.uniform(0.3, 2.0)
    if rng.random() < 0.5:
        for _ in range(rng.integers(1, 4)):
            lay.ic_row()
    if rng.random() < 0.4:
        lay.th_grid()
    for _ in range(int(busy * rng.integers(3, 14))):
        lay.bus(int(rng.choice([1, 2, 3, 4, 6, 8])))
    for _ in range(int(busy * rng.integers(5, 40))):
        start = rng.uniform(0, size, 2)
        lay.trace(lay.path(start, int(rng.integers(8)), int(rng.integers(1, 5))), lay.width())
    for _ in range(int(rng.integers(0, 10))):
        lay.pad(rng.uniform(20, size - 20, 2), rng.uniform(3, 9), drill=True)
    if rng.random() < 0.45:
        lay.pour()
    return lay.copper()


def scan(rng, image, shift=(0.0, 0.0), edge_noise=(15.0, 35.0), matrix=None):
    """A binarised scan of a 0/255 image moved `shift` (right, down) pixels:
    blur, Gaussian noise and a threshold near the middle. The noise is
    strongest where the blurred image is halfway between its two levels, so
    outlines come out jagged while flat areas and the middle of a 3 px trace
    keep a safe margin (the scan must not cut or join anything by itself).
    A 2 x 3 affine `matrix`, when given, moves the image instead of `shift`."""
    img = image.astype(np.float32)
    if shift != (0, 0) or matrix is not None:
        m = np.float32([[1, 0, shift[0]], [0, 1, shift[1]]]) if matrix is None else np.float32(matrix)
        img = cv2.warpAffine(img, m, img.shape[::-1], flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REPLICATE)
    img = cv2.GaussianBlur(img, (0, 0), rng.uniform(0.6, 1.0))
    grain = rng.standard_normal(img.shape, dtype=np.float32)
    if rng.random() < 0.5:   # grain of about a pixel: ragged rather than speckled outlines
        grain = cv2.GaussianBlur(grain, (0, 0), 0.8)
        grain /= grain.std()
    halfway = 1 - np.abs(img * (2 / 255) - 1)
    img += grain * (rng.uniform(3, 8) + rng.uniform(*edge_noise) * halfway)
    return np.where(img > rng.uniform(115, 140), 255, 0).astype(np.uint8)


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "out"
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(0)
    tile = np.where(board_copper(rng), 255, 0).astype(np.uint8)
    for name, image in (("board_tile.png", tile), ("board_scan.png", scan(rng, tile, (1.5, -0.5)))):
        if not cv2.imwrite(os.path.join(out, name), image):
            raise OSError("could not write %s" % os.path.join(out, name))
    print("board tile and its scan (moved 1.5 px right, 0.5 px up) in %s" % out)
