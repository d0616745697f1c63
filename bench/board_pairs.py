"""Binarised board tiles with planted defects of known kind and box, for the
defect benchmark and for trying the extraction on varied patterns: traces of
several widths and directions ending in pads with drill holes, sometimes a
copper pour with clearances, either polarity, a misregistered target with
edge noise."""
import cv2
import numpy as np

KINDS = ("bridge", "break", "hole", "bite", "island", "spur")


def _trace(rng, size):
    """A random polyline trace: its points, width and end pads (centre, radius, drilled)."""
    x, y = int(rng.integers(0, size)), int(rng.integers(0, size))
    points = [(x, y)]
    for _ in range(int(rng.integers(1, 4))):
        angle = rng.choice([0, 90, 180, 270, 45, 135, 225, 315] if rng.random() < 0.4 else [0, 90, 180, 270])
        length = int(rng.integers(40, 260))
        x = int(x + length * np.cos(np.radians(angle)))
        y = int(y + length * np.sin(np.radians(angle)))
        points.append((x, y))
    width = int(rng.integers(4, 15))
    pads = [(end, width // 2 + int(rng.integers(3, 9)), rng.random() < 0.6) for end in (points[0], points[-1])]
    return np.array(points, np.int32), width, pads


def _draw(image, trace, value, grow=0):
    line, width, pads = trace
    cv2.polylines(image, [line], False, value, width + 2 * grow)
    for centre, radius, drilled in pads:
        cv2.circle(image, centre, radius + grow, value, -1)


def make_tile(rng, size=640):
    """A 0/255 tile with copper 255: traces and pads on bare board, or a
    copper pour with the traces in clearance channels (copper the majority)."""
    pour = rng.random() < 0.3
    tile = np.full((size, size), 255 if pour else 0, np.uint8)
    traces = [_trace(rng, size) for _ in range(int(rng.integers(12, 30)))]
    if pour:
        clearance = int(rng.integers(4, 10))
        for trace in traces:
            _draw(tile, trace, 0, clearance)
    for trace in traces:
        _draw(tile, trace, 255)
    for _, _, pads in traces:
        for centre, radius, drilled in pads:
            if drilled:
                cv2.circle(tile, centre, max(2, radius // 2), 0, -1)
    return tile


def _parts(copper):
    return cv2.connectedComponents(copper.astype(np.uint8), connectivity=8)[0]


def _plant(tile, rng, kind):
    """The tile with one defect of `kind` drawn in, and the changed pixels;
    None when the random spot does not make that kind."""
    copper = tile > 0
    inside = cv2.distanceTransform(copper.astype(np.uint8), cv2.DIST_L2, 3)
    outside = cv2.distanceTransform((~copper).astype(np.uint8), cv2.DIST_L2, 3)
    out = tile.copy()
    if kind in ("island", "hole"):
        room = outside if kind == "island" else inside
        r = int(rng.integers(4, 9))
        ys, xs = np.nonzero(room > r + (4 if kind == "island" else 3))
        if not len(xs):
            return None
        i = rng.integers(len(xs))
        axes = (r, max(3, int(r * rng.uniform(0.5, 1.0))))
        cv2.ellipse(out, (int(xs[i]), int(ys[i])), axes, float(rng.uniform(0, 180)), 0, 360,
                    255 if kind == "island" else 0, -1)
    elif kind in ("bridge", "break"):
        room = outside if kind == "bridge" else inside
        # the ridge of a narrow gap (a thin trace): a disk there touches both sides
        ridge = (room >= 2) & (room <= 7) & (room == cv2.dilate(room, np.ones((3, 3), np.uint8)))
        ys, xs = np.nonzero(ridge)
        if not len(xs):
            return None
        i = rng.integers(len(xs))
        r = int(np.ceil(room[ys[i], xs[i]])) + int(rng.integers(1, 3))
        cv2.circle(out, (int(xs[i]), int(ys[i])), r, 255 if kind == "bridge" else 0, -1)
    else:   # spur, bite: a blob centred on an edge
        edge = copper & (inside <= 1) if kind == "bite" else ~copper & (outside <= 1)
        ys, xs = np.nonzero(edge)
        if not len(xs):
            return None
        i = rng.integers(len(xs))
        r = int(rng.integers(4, 9))
        cv2.circle(out, (int(xs[i]), int(ys[i])), r, 255 if kind == "spur" else 0, -1)
    changed = out != tile
    if not _is_kind(tile, out, changed, kind):
        return None
    return out, changed


def _is_kind(before, after, changed, kind):
    parts_before, parts_after = _parts(before > 0), _parts(after > 0)
    if kind == "bridge":
        return parts_after < parts_before
    if kind == "break":
        return parts_after > parts_before
    if kind == "island":
        return parts_after == parts_before + 1
    if kind == "hole":
        holes = _parts(after == 0) - _parts(before == 0)
        return parts_after == parts_before and holes == 1
    ring = cv2.dilate(changed.astype(np.uint8), np.ones((3, 3), np.uint8)) > 0
    touches = (before[ring & ~changed] > 0).any() if kind == "spur" else (before[ring & ~changed] == 0).any()
    return parts_after == parts_before and touches and _parts(after == 0) == _parts(before == 0)


def make_board_pair(seed, defects=4, size=640, max_shift=3, edge_noise=0.2, invert=None):
    """(standard, target, truth): a tile, its misregistered copy with planted
    defects and edge noise, and the truth as a list of (kind, [x1, y1, x2, y2])
    in the target's pixels. `edge_noise` is the share of the target's edge
    pixels flipped. The polarity is random unless `invert` is given."""
    rng = np.random.default_rng(seed)
    standard = make_tile(rng, size)
    target = standard.copy()
    truth = []
    tries = 0
    while len(truth) < defects and tries < 200:
        tries += 1
        kind = KINDS[len(truth) % len(KINDS)] if tries < 100 else str(rng.choice(KINDS))
        planted = _plant(target, rng, kind)
        if planted is None:
            continue
        changed = planted[1]
        ys, xs = np.nonzero(changed)
        box = [int(xs.min()), int(ys.min()), int(xs.max()) + 1, int(ys.max()) + 1]
        if any(b[0] - 12 < box[2] and box[0] - 12 < b[2] and b[1] - 12 < box[3] and box[1] - 12 < b[3]
               for _, b in truth):
            continue            # keep planted defects apart, as separate faults
        target = planted[0]
        truth.append((kind, box))
    dx, dy = (int(v) for v in rng.integers(-max_shift, max_shift + 1, 2)) if max_shift else (0, 0)
    if dx * dx + dy * dy > max_shift * max_shift:
        dx, dy = dx // 2, dy // 2
    target = cv2.warpAffine(target, np.float32([[1, 0, dx], [0, 1, dy]]), (size, size),
                            borderMode=cv2.BORDER_REPLICATE)
    truth = [(kind, [x1 + dx, y1 + dy, x2 + dx, y2 + dy]) for kind, (x1, y1, x2, y2) in truth]
    if edge_noise:
        edge = cv2.morphologyEx(target, cv2.MORPH_GRADIENT, np.ones((3, 3), np.uint8)) > 0
        flip = edge & (rng.random(target.shape) < edge_noise)
        target[flip] = 255 - target[flip]
    if invert if invert is not None else rng.random() < 0.5:
        standard, target = 255 - standard, 255 - target
    return standard, target, truth
