"""Defects planted into a binary picture of material (copper of a board, ink
of a print), named by what they do to its connected parts.

A defect is a set of changed pixels X: extra material (X outside the
material) or missing material (X inside it). Its kind is read from the
8-connected parts of the material (and the 4-connected background) in a
window around X, before and after the change:

- bridge: the extra material joins two parts that were apart;
- spur: the extra material is attached to exactly one part;
- island: the extra material touches no part;
- break: the missing material splits a part into two or more pieces;
- hole: the missing material opens a new background area enclosed by the part;
- bite: any other missing material (a notch at a part's edge).

A planter proposes a defect of a wanted kind at a random site and keeps it
only if `classify` gives that kind with the change grown and shrunk by one
pixel and in a small and a large window, so that edge noise of a scan and
the neighbourhood a detector looks at do not change the answer.

Run alone: python examples/sample_defects.py [OUT_DIR] (default "out") plants
defects into a board tile and writes it as board_defects.png, each defect's
box drawn in red, and lists them.
"""
import math
import os
import sys

import cv2
import numpy as np

KINDS = ("bridge", "break", "hole", "bite", "island", "spur")
EXTRA_KINDS = ("bridge", "island", "spur")
MIN_AREA = 6          # parts smaller than this are scan noise, not parts
MIN_DEPTH = 3         # a defect reaches this far into or out of the material
GAP = 4               # extra material that must stay apart keeps this distance
SEPARATION = 18       # free margin between two defects of one picture
CHECK_MARGINS = (8, 24)
HALF_WINDOW = 96      # planting works on a window of this half size
_K3 = np.ones((3, 3), np.uint8)


def _parts(mask, connectivity=8):
    """Labels of the connected parts of a bool mask, scan-noise specks removed."""
    _n, labels, stats, _c = cv2.connectedComponentsWithStats(
        np.ascontiguousarray(mask, dtype=np.uint8), connectivity=connectivity)
    small = np.flatnonzero(stats[:, cv2.CC_STAT_AREA] < MIN_AREA)
    if small.size:
        labels[np.isin(labels, small)] = 0
    return labels


def _ids(values):
    values = np.unique(values)
    return values[values > 0]


def classify(clean, target, change, extra):
    """The kind of the defect whose changed pixels are `change` (bool arrays of
    one window; `extra` tells extra from missing material), or None when the
    change left no trace in `target`."""
    clean_parts, target_parts = _parts(clean), _parts(target)
    if extra:
        grown = _ids(target_parts[change & target])
        if not grown.size:
            return None
        most = max(_ids(clean_parts[target_parts == i]).size for i in grown)
        return ("island", "spur", "bridge")[min(most, 2)]
    cut = _ids(clean_parts[change & clean])
    if not cut.size:
        return None
    if any(_ids(target_parts[clean_parts == i]).size >= 2 for i in cut):
        return "break"
    background = _parts(~target, connectivity=4)
    opened = _ids(background[change & ~target])
    if not opened.size:
        return None
    for i in opened:
        area = background == i
        on_edge = area[0].any() or area[-1].any() or area[:, 0].any() or area[:, -1].any()
        if not on_edge and np.count_nonzero(area & ~clean) <= 2:
            return "hole"
    return "bite"


def box_of(mask):
    """(x1, y1, x2, y2) of the true pixels, x2/y2 one past the last; None if none."""
    ys, xs = np.flatnonzero(mask.any(1)), np.flatnonzero(mask.any(0))
    if not ys.size:
        return None
    return int(xs[0]), int(ys[0]), int(xs[-1]) + 1, int(ys[-1]) + 1


def window_kind(clean, target, change, extra, margin):
    """`classify` in the window of `change`'s box grown by `margin`."""
    x1, y1, x2, y2 = box_of(change)
    rows, cols = clean.shape
    sl = np.s_[max(0, y1 - margin):min(rows, y2 + margin), max(0, x1 - margin):min(cols, x2 + margin)]
    return classify(clean[sl], target[sl], change[sl], extra)


def steady_kind(clean, change, extra):
    """The kind of the change if it is the same with the change one pixel larger
    and one pixel smaller, in the small and the large window; else None."""
    change8 = change.view(np.uint8)
    grown = cv2.dilate(change8, _K3).view(bool)
    if extra:
        variants = (change, grown & ~clean, cv2.erode((change | clean).view(np.uint8), _K3).view(bool) & change)
    else:
        variants = (change, grown & clean, cv2.erode((change | ~clean).view(np.uint8), _K3).view(bool) & change)
    kinds = set()
    for variant in variants:
        if not variant.any():
            return None
        target = clean ^ variant
        for margin in CHECK_MARGINS:
            kinds.add(window_kind(clean, target, variant, extra, margin))
            if len(kinds) > 1:
                return None
    return kinds.pop()


# ---------------------------------------------------------------- shapes

def _rot(angle_deg):
    a = math.radians(angle_deg)
    return np.array([[math.cos(a), -math.sin(a)], [math.sin(a), math.cos(a)]])


def _fill(shape, polygons):
    img = np.zeros(shape, np.uint8)
    cv2.fillPoly(img, [np.round(np.asarray(p) * 4).astype(np.int32) for p in polygons], 1, cv2.LINE_8, 2)
    return img.view(bool)


def blob(rng, shape, centre, ra, rb=None, angle=None):
    """A filled random shape about `centre` (x, y): an irregular polygon, an
    ellipse, a cluster of discs or a rectangle, semi-axes `ra` and `rb`."""
    rb = ra * rng.uniform(0.45, 1.0) if rb is None else rb
    angle = rng.uniform(0, 180) if angle is None else angle
    centre = np.asarray(centre, float)
    rot = _rot(angle)
    style = rng.choice(4, p=(0.4, 0.25, 0.2, 0.15))
    if style == 0:
        t = np.sort(rng.uniform(0, 2 * np.pi, rng.integers(5, 11)))
        f = rng.uniform(0.6, 1.0, t.size)
        pts = np.stack([ra * f * np.cos(t), rb * f * np.sin(t)], 1) @ rot.T + centre
        return _fill(shape, [pts])
    if style == 1:
        img = np.zeros(shape, np.uint8)
        cv2.ellipse(img, ((float(centre[0]), float(centre[1])), (2 * ra, 2 * rb), angle), 1, -1)
        return img.view(bool)
    if style == 2:
        img = np.zeros(shape, np.uint8)
        r_small = min(ra, rb)
        for _ in range(rng.integers(2, 5)):
            r = max(1.0, r_small * rng.uniform(0.55, 0.9))
            off = np.array([rng.uniform(-1, 1) * max(0.0, ra - r), rng.uniform(-1, 1) * max(0.0, rb - r)]) @ rot.T
            c = centre + off
            cv2.circle(img, (int(round(c[0] * 4)), int(round(c[1] * 4))), int(round(r * 4)), 1, -1, cv2.LINE_8, 2)
        return img.view(bool)
    corners = np.array([[-ra, -rb], [ra, -rb], [ra, rb], [-ra, rb]]) * rng.uniform(0.75, 1.0)
    return _fill(shape, [corners @ rot.T + centre])


def strip(rng, shape, p, q, w0, w1):
    """A filled band from point p to q, `w0` wide at p and `w1` at q, with a
    slightly wavy outline."""
    p, q = np.asarray(p, float), np.asarray(q, float)
    d = q - p
    n = np.array([-d[1], d[0]]) / max(1e-6, np.hypot(*d))
    k = max(2, int(np.hypot(*d) / 4))
    t = np.linspace(0, 1, k + 1)[:, None]
    half = (w0 + (w1 - w0) * t) / 2 * rng.uniform(0.85, 1.15, (k + 1, 1))
    spine = p + d * t
    return _fill(shape, [np.vstack([spine + n * half, (spine - n * half)[::-1]])])


# ---------------------------------------------------------------- planting

class Material:
    """A binary picture (True = material) prepared for planting defects."""

    def __init__(self, mask, border=12):
        self.mask = np.ascontiguousarray(mask, dtype=bool)
        m8 = self.mask.view(np.uint8)
        self.labels = cv2.connectedComponents(m8, connectivity=8)[1]
        self.inside = cv2.distanceTransform(m8, cv2.DIST_L2, 5)
        self.outside = cv2.distanceTransform(1 - m8, cv2.DIST_L2, 5)
        soft = cv2.GaussianBlur(m8.astype(np.float32), (0, 0), 1.5)
        self.gx, self.gy = cv2.Sobel(soft, cv2.CV_32F, 1, 0), cv2.Sobel(soft, cv2.CV_32F, 0, 1)
        # candidate sites as flat pixel indices
        self.edge = np.flatnonzero(self.mask & ~cv2.erode(m8, _K3).view(bool))
        ridge = self.inside >= cv2.dilate(self.inside, _K3) - 0.35
        self.ridge = np.flatnonzero(ridge & (self.inside >= 1.4) & (self.inside <= 8.5))
        self.thick = np.flatnonzero(self.inside >= 5)
        self.busy = np.zeros(self.mask.shape, bool)
        self.border = border

    def window(self, y, x):
        rows, cols = self.mask.shape
        y0, x0 = max(0, y - HALF_WINDOW), max(0, x - HALF_WINDOW)
        return y0, x0, np.s_[y0:min(rows, y + HALF_WINDOW), x0:min(cols, x + HALF_WINDOW)]

    def normal(self, y, x):
        """Unit vector (x, y) pointing out of the material at an edge pixel."""
        g = np.array([-self.gx[y, x], -self.gy[y, x]], float)
        size = np.hypot(*g)
        return g / size if size > 1e-3 else None

    def random_point(self, rng, pad):
        rows, cols = self.mask.shape
        lo = self.border + pad
        if rows - lo <= lo or cols - lo <= lo:
            return None
        return int(rng.integers(lo, rows - lo)), int(rng.integers(lo, cols - lo))


def _island(rng, mat, r):
    site = mat.random_point(rng, r)
    if site is None or mat.outside[site] < r + GAP:
        return None
    y0, x0, sl = mat.window(*site)
    shape = mat.mask[sl].shape
    return y0, x0, blob(rng, shape, (site[1] - x0, site[0] - y0), r) & ~mat.mask[sl]


def _hole(rng, mat, r):
    site = _edge_site(rng, mat, mat.thick)
    if site is None:
        return None
    r = min(r, mat.inside[site] - 3)
    y0, x0, sl = mat.window(*site)
    return y0, x0, blob(rng, mat.mask[sl].shape, (site[1] - x0, site[0] - y0), r) & mat.mask[sl]


def _edge_site(rng, mat, source):
    if not len(source):
        return None
    rows, cols = mat.mask.shape
    y, x = divmod(int(source[rng.integers(len(source))]), cols)
    if min(y, x, rows - 1 - y, cols - 1 - x) < mat.border + 4:
        return None
    return y, x


def _at_edge(rng, mat):
    """A random edge pixel of the material, its outward normal and the planting
    window around it: (site, normal, y0, x0, window slice, site in the window)."""
    site = _edge_site(rng, mat, mat.edge)
    n = None if site is None else mat.normal(*site)
    if n is None:
        return None
    y0, x0, sl = mat.window(*site)
    return site, n, y0, x0, sl, np.array([site[1] - x0, site[0] - y0], float)


def _spur(rng, mat, r):
    at = _at_edge(rng, mat)
    if at is None:
        return None
    _site, n, y0, x0, sl, p = at
    clean = mat.mask[sl]
    if rng.random() < 0.7:
        d = _rot(rng.uniform(-50, 50)) @ n
        length = rng.uniform(4, 4 + 2.2 * r)
        w0 = rng.uniform(2.5, min(10, 2.5 + r))
        shape = strip(rng, clean.shape, p - d * 3, p + d * length, w0, rng.uniform(1.5, w0))
    else:
        shape = blob(rng, clean.shape, p + n * r * rng.uniform(0.3, 0.8), r)
    return y0, x0, shape & ~clean


def _bridge(rng, mat, r):
    at = _at_edge(rng, mat)
    if at is None:
        return None
    site, n, y0, x0, sl, p = at
    d = _rot(rng.uniform(-30, 30)) @ n
    own = mat.labels[site]
    rows, cols = mat.mask.shape
    for k in range(2, int(8 + 3 * r)):
        x, y = int(round(site[1] + d[0] * k)), int(round(site[0] + d[1] * k))
        if not (0 <= x < cols and 0 <= y < rows):
            return None
        if mat.mask[y, x]:
            if mat.labels[y, x] == own or k < 4:
                return None
            break
    else:
        return None
    clean = mat.mask[sl]
    q = p + d * k
    if rng.random() < 0.6:
        w = rng.uniform(3, min(14, 3 + 1.2 * r))
        shape = strip(rng, clean.shape, p - d * 2, q + d * 2, w, w * rng.uniform(0.7, 1.4))
    else:
        angle = math.degrees(math.atan2(d[1], d[0]))
        shape = blob(rng, clean.shape, (p + q) / 2, k / 2 + rng.uniform(2, 5), rng.uniform(2, 2 + r / 2), angle)
    return y0, x0, shape & ~clean


def _break(rng, mat, r):
    site = _edge_site(rng, mat, mat.ridge)
    if site is None:
        return None
    half = float(mat.inside[site])
    y0, x0, sl = mat.window(*site)
    part = mat.labels[sl] == mat.labels[site]
    p = np.array([site[1] - x0, site[0] - y0], float)
    reach = int(2.5 * half + 4)
    ys, xs = np.nonzero(part[max(0, int(p[1]) - reach):int(p[1]) + reach + 1,
                             max(0, int(p[0]) - reach):int(p[0]) + reach + 1])
    if xs.size < 10:
        return None
    values, vectors = np.linalg.eigh(np.cov(np.stack([xs, ys]).astype(float)))
    if values[1] < 2.0 * values[0]:
        return None  # not a strip here (a pad or a junction)
    along = vectors[:, 1]
    across_angle = math.degrees(math.atan2(along[1], along[0])) + 90 + rng.uniform(-25, 25)
    centre = p + along * rng.uniform(-1, 1)
    length = rng.uniform(1.5, 1.5 + min(r, 10))
    shape = blob(rng, part.shape, centre, half + rng.uniform(2, 6), length, across_angle)
    return y0, x0, shape & part


def _bite(rng, mat, r):
    at = _at_edge(rng, mat)
    if at is None:
        return None
    site, n, y0, x0, sl, p = at
    part = mat.labels[sl] == mat.labels[site]
    y, x = site
    r = min(r, 2 + mat.inside[y - 8:y + 9, x - 8:x + 9].max())   # no deeper than the part is wide here
    return y0, x0, blob(rng, part.shape, p + n * r * rng.uniform(-0.6, 0.3), r) & part


PROPOSERS = {"bridge": _bridge, "break": _break, "hole": _hole, "bite": _bite, "island": _island, "spur": _spur}


def defect_size(rng):
    """A defect's radius in pixels: mostly small, sometimes large."""
    return 2.5 + 15.5 * rng.random() ** 1.6


class Defect:
    """A planted defect: its kind, the box (x1, y1, x2, y2) of its changed
    pixels in the picture, and `change`, the bool array of those pixels in
    the window whose top left corner is (x0, y0)."""

    def __init__(self, kind, box, x0, y0, change):
        self.kind, self.box, self.x0, self.y0, self.change = kind, box, x0, y0, change
        self.extra = kind in EXTRA_KINDS

    def window(self):
        rows, cols = self.change.shape
        return np.s_[self.y0:self.y0 + rows, self.x0:self.x0 + cols]

    def apply(self, mask):
        """Puts the defect into a bool mask of the picture (in place)."""
        mask[self.window()] ^= self.change


def plant(rng, mat, kind, tries=80, size=defect_size):
    """Plants one defect of `kind` into `mat` (a Material): returns a Defect, or
    None if no site was found. The defect's box and a free margin are marked
    busy so later defects keep apart from it."""
    propose = PROPOSERS[kind]
    extra = kind in EXTRA_KINDS
    rows, cols = mat.mask.shape
    for _ in range(tries):
        found = propose(rng, mat, size(rng))
        if found is None:
            continue
        y0, x0, change = found
        if np.count_nonzero(change) < 8:
            continue
        sl = np.s_[y0:y0 + change.shape[0], x0:x0 + change.shape[1]]
        if kind != "break" and (mat.outside if extra else mat.inside)[sl][change].max() < MIN_DEPTH:
            continue   # hugs the material's outline (a fillet, a shaving): no defect to the eye
        x1, y1, x2, y2 = box_of(change)
        x1, x2, y1, y2 = x1 + x0, x2 + x0, y1 + y0, y2 + y0
        b = mat.border
        if x1 < b or y1 < b or x2 > cols - b or y2 > rows - b or mat.busy[y1:y2, x1:x2].any():
            continue
        clean = mat.mask[sl]
        if steady_kind(clean, np.ascontiguousarray(change), extra) != kind:
            continue
        s = SEPARATION
        mat.busy[max(0, y1 - s):y2 + s, max(0, x1 - s):x2 + s] = True
        return Defect(kind, (x1, y1, x2, y2), x0, y0, change)
    return None


def plant_some(rng, mat, count, size=defect_size):
    """Up to `count` defects of random kinds planted into `mat`: [Defect]. When
    a kind finds no site (no two parts near enough for a bridge, no copper
    wide enough for a hole), another kind is tried."""
    defects = []
    for _ in range(count):
        for kind in rng.permutation(KINDS):
            got = plant(rng, mat, str(kind), size=size)
            if got:
                defects.append(got)
                break
    return defects


if __name__ == "__main__":
    from sample_boards import board_copper

    out = sys.argv[1] if len(sys.argv) > 1 else "out"
    os.makedirs(out, exist_ok=True)
    rng = np.random.default_rng(0)
    mat = Material(board_copper(rng))
    planted = plant_some(rng, mat, 6)
    picture = mat.mask.copy()
    for defect in planted:
        defect.apply(picture)
    image = cv2.cvtColor(np.where(picture, 255, 0).astype(np.uint8), cv2.COLOR_GRAY2BGR)
    for defect in planted:
        x1, y1, x2, y2 = defect.box
        cv2.rectangle(image, (x1 - 2, y1 - 2), (x2 + 1, y2 + 1), (0, 0, 255), 1)
    path = os.path.join(out, "board_defects.png")
    if not cv2.imwrite(path, image):
        raise OSError("could not write %s" % path)
    print("%s: %s" % (path, ", ".join("%s at %s" % (d.kind, list(d.box)) for d in planted)))
