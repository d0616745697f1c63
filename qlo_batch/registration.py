"""Registration of a print onto its standard: the transform (a shift, a turn,
a scale, an affine or a projective warp, as `settings.register` says) that
carries each pixel of the standard to where the print shows it, found from
the images, checked, and used to resample the print onto the standard's grid
so that the comparison only needs to tolerate what is left (a fraction of a
pixel, edge noise).

How the transform is found (`register`):

1. Coarse: both images shrunk to about COARSE_SIDE pixels; the print's
   whole-image shift by phase correlation, then each landmark (a textured
   patch of the standard, one per cell of a grid, chosen once per standard)
   matched by normalised correlation within COARSE_SLACK coarse pixels of
   where that shift puts it, and the model fitted to the matches (RANSAC).
2. Fine: each landmark matched again at full resolution in a small window
   of the print resampled through the coarse transform (FINE_SLACK pixels of
   slack, sub-pixel peak), and the model fitted again (RANSAC, one pixel).
3. Checks, each a reason for the verdict "not registered": too few
   landmarks agreeing, a transform outside the settings' limits (angle,
   scale, move, keystone, a mirror image), or too low a correlation of the
   registered print with its standard (another label, an empty belt, a
   print upside down).
4. Brightness: the print's grey over the standard's (the median ratio where
   neither is clipped nor on an edge), which `settings.brightness` bounds,
   and the gain and offset that carry the standard's dark and light levels
   onto the print's, by which the print is corrected.

Everything that depends on the standard alone (its coarse image, the
landmarks and their patches) is a `Reference`, made once per standard.
Measured on generated board tiles and label prints turned, scaled, moved
and keystoned (bench/registration.py), landmarks found every transform
within a third of a pixel; OpenCV's ECC on an image pyramid, as accurate
when it converges, lost some tiles and labels altogether and cost several
times as much, and ORB features with RANSAC were off by up to two pixels.
"""
import dataclasses
import math
from typing import Optional

import cv2
import numpy as np

# Longest side (about) of the coarse images: a power-of-two reduction of the
# standard, never below 1.
COARSE_SIDE = 160
# Landmarks: one per cell of a grid of at most LANDMARK_GRID x LANDMARK_GRID
# cells, each a patch of PATCH pixels (coarse: COARSE_PATCH coarse pixels).
LANDMARK_GRID = 6
PATCH = 32
COARSE_PATCH = 12
# How far (coarse pixels) a landmark is looked for around the whole-image
# shift (a 5 degree turn moves the corner of a coarse image by about 14), and
# (pixels) around where the coarse transform puts it.
COARSE_SLACK = 16
FINE_SLACK = 4
# A landmark whose best normalised correlation is below this is not found.
MIN_MATCH = 0.5
# Registration needs at least this many landmarks agreeing with the transform,
# and at least this share of the standard's landmarks.
MIN_LANDMARKS = 5
MIN_AGREEING = 0.5
# RANSAC thresholds: coarse pixels, and full-resolution pixels.
COARSE_TOLERANCE = 1.5
FINE_TOLERANCE = 1.0
# The most a projective warp may change the scale across the image (a share).
MAX_KEYSTONE = 0.05
# A landmark needs this much texture: the least eigenvalue of its structure
# tensor at least this share of the best landmark's (a patch along one
# straight edge cannot be placed along it).
MIN_TEXTURE = 0.02
# Pixels of the print this close to its own edge are not inspected (their
# resampling reaches past the print): the standard's own pixels stand there.
EDGE = 3
# The brightness is the median ratio of the print's grey to the standard's
# over the pixels where the standard is at least this light (darker ones make
# the ratio noise).
MIN_GREY = 16
# With less than this many grey levels between the means of the standard's
# dark and light parts, the brightness ratio alone is the gain.
MIN_SPAN = 16
# Resampling: cubic keeps thin strokes' contrast (linear blurs a two-pixel
# stroke enough that its edges differ from the standard by more than a
# threshold of 50 on a label print).
INTERPOLATION = cv2.INTER_CUBIC
# The brightness is corrected by the fitted gain only while the gain lies
# within MIN_GAIN..1/MIN_GAIN (beyond, the fit is not to be trusted).
MIN_GAIN = 0.4


@dataclasses.dataclass
class Reference:
    """What registration needs of one standard: the coarse standard (and
    its reduction factor), and the landmarks: their centres (full-resolution
    pixels) with their patches at both levels."""
    shape: tuple
    factor: int
    coarse: np.ndarray
    window: np.ndarray
    centres: np.ndarray
    patches: list
    coarse_patches: list

    @classmethod
    def of(cls, standard):
        rows, cols = standard.shape
        factor = 1 << max(0, int(math.log2(max(rows, cols) / COARSE_SIDE)))
        size = (max(1, cols // factor), max(1, rows // factor))
        coarse = _shrink(standard, size, factor)
        window = cv2.createHanningWindow(size, cv2.CV_32F) if min(size) > 1 else np.ones(size[::-1], np.float32)
        centres = _landmarks(standard)
        half, coarse_half = PATCH // 2, COARSE_PATCH // 2
        patches, coarse_patches = [], []
        for x, y in centres.astype(int).tolist():
            patches.append(np.ascontiguousarray(standard[y - half:y + half, x - half:x + half]))
            cx, cy = _coarse_point(x, factor), _coarse_point(y, factor)
            patch = coarse[cy - coarse_half:cy + coarse_half, cx - coarse_half:cx + coarse_half]
            inside = cx >= coarse_half and cy >= coarse_half and patch.shape == (COARSE_PATCH, COARSE_PATCH)
            coarse_patches.append(np.ascontiguousarray(patch) if inside else None)
        return cls(standard.shape, factor, coarse, window, centres, patches, coarse_patches)


def _landmarks(standard):
    """(n, 2) float centres: in each grid cell, the patch of PATCH pixels with
    the most two-dimensional texture, kept when it has at least MIN_TEXTURE of
    the best cell's. The texture is measured on the standard reduced so that
    a patch spans about 8 pixels (the cost stays small at any size)."""
    rows, cols = standard.shape
    margin = PATCH // 2 + FINE_SLACK + 1
    if rows <= 2 * margin or cols <= 2 * margin:
        return np.zeros((0, 2))
    step = max(1, PATCH // 8)
    small = cv2.resize(standard, (max(1, cols // step), max(1, rows // step)), interpolation=cv2.INTER_AREA)
    score = cv2.cornerMinEigenVal(small, 7, 3)
    grid_x = max(1, min(LANDMARK_GRID, (cols - 2 * margin) // PATCH))
    grid_y = max(1, min(LANDMARK_GRID, (rows - 2 * margin) // PATCH))
    xs = np.linspace(margin, cols - margin, grid_x + 1) / step
    ys = np.linspace(margin, rows - margin, grid_y + 1) / step
    found = []
    for y0, y1 in zip(ys[:-1].astype(int), np.ceil(ys[1:]).astype(int)):
        for x0, x1 in zip(xs[:-1].astype(int), np.ceil(xs[1:]).astype(int)):
            cell = score[y0:y1, x0:x1]
            if cell.size:
                iy, ix = np.unravel_index(int(np.argmax(cell)), cell.shape)
                found.append((float(cell[iy, ix]), (x0 + ix + 0.5) * step, (y0 + iy + 0.5) * step))
    best = max((s for s, _, _ in found), default=0.0)
    kept = [(min(max(round(x), margin), cols - margin), min(max(round(y), margin), rows - margin))
            for s, x, y in found if best > 0 and s >= MIN_TEXTURE * best]
    return np.array(kept, np.float64).reshape(-1, 2)


def _shrink(image, size, factor):
    """The coarse image of `size` (columns, rows): each pixel the mean of a
    `factor` x `factor` block (the rows and columns past the last whole block
    left out)."""
    cols, rows = size
    return cv2.resize(image[:rows * factor, :cols * factor], size, interpolation=cv2.INTER_AREA)


def _coarse_point(value, factor):
    """The coarse pixel holding full-resolution pixel `value`."""
    return int(value) // factor


def _level(factor):
    """The 3 x 3 carrying coarse pixel coordinates to full-resolution ones
    (a coarse pixel is the mean of `factor` x `factor` pixels)."""
    return np.array([[factor, 0, (factor - 1) / 2], [0, factor, (factor - 1) / 2], [0, 0, 1.0]])


@dataclasses.dataclass
class Registration:
    """Where a print lies on its standard. `matrix` (3 x 3) carries a
    standard pixel (x, y, 1) to the print's; `problem` is None, or why the
    print could not be registered (then the rest may be unset). The figures
    are taken at the standard's centre: `angle` (degrees, clockwise as
    seen, the image's y growing downward), `scale`, `shift` (dx, dy pixels)
    and `brightness` (the print's grey over the standard's); `gain` and `offset` carry the
    standard's grey levels to the print's (print = gain * standard + offset)."""
    matrix: Optional[np.ndarray] = None
    problem: Optional[str] = None
    angle: float = 0.0
    scale: float = 1.0
    shift: tuple = (0.0, 0.0)
    keystone: float = 0.0
    brightness: float = 1.0
    gain: float = 1.0
    offset: float = 0.0
    correlation: float = 0.0
    landmarks: tuple = (0, 0)     # (agreeing, found)

    def figures(self):
        """The figures a report shows, as plain numbers (JSON)."""
        figures = {"angle": round(self.angle, 4), "scale": round(self.scale, 6),
                   "dx": round(self.shift[0], 3), "dy": round(self.shift[1], 3),
                   "keystone": round(self.keystone, 6), "brightness": round(self.brightness, 4),
                   "correlation": round(self.correlation, 4), "landmarks": list(self.landmarks)}
        if self.problem:
            figures["problem"] = self.problem
        return figures

    def onto(self, standard, target):
        """The print resampled onto the standard's grid and its brightness
        corrected to the standard's; where the print has no pixel (the strip
        the transform uncovers) the standard's own pixel stands, so nothing
        is reported there."""
        if abs(self.gain - 1) > 0.01 or abs(self.offset) > 1:
            levels = (np.arange(256) - self.offset) / self.gain
            target = cv2.LUT(target, np.clip(np.round(levels), 0, 255).astype(np.uint8))
        warp = cv2.warpPerspective if _projective(self.matrix) else cv2.warpAffine
        matrix = self.matrix if _projective(self.matrix) else self.matrix[:2]
        out = warp(target, matrix, standard.shape[::-1], flags=INTERPOLATION | cv2.WARP_INVERSE_MAP,
                   borderMode=cv2.BORDER_REPLICATE)
        # the print's frame, EDGE pixels inside it, on the standard's grid
        rows, cols = target.shape
        inset = np.float64([[EDGE, EDGE], [cols - EDGE, EDGE], [cols - EDGE, rows - EDGE], [EDGE, rows - EDGE]])
        frame = cv2.perspectiveTransform(inset.reshape(-1, 1, 2), np.linalg.inv(self.matrix)).reshape(-1, 2)
        for x1, y1, x2, y2 in _strips(frame, standard.shape):
            # only the strips along the edges can be uncovered: the mask is drawn there alone
            uncovered = np.full((y2 - y1, x2 - x1), 255, np.uint8)
            cv2.fillConvexPoly(uncovered, np.round((frame - (x1, y1)) * 16).astype(np.int32), 0, cv2.LINE_8, 4)
            cv2.copyTo(standard[y1:y2, x1:x2], uncovered, out[y1:y2, x1:x2])
        return out

    def to_target(self, rects, shape):
        """Boxes [x1, y1, x2, y2] of the standard's grid as the boxes that hold
        them in the print's pixels (x2, y2 one past the last pixel), clipped
        to the print's `shape`."""
        if not len(rects):
            return []
        r = np.asarray(rects, np.float64).reshape(-1, 4)
        corners = np.stack([r[:, [0, 1]], r[:, [2, 1]], r[:, [0, 3]], r[:, [2, 3]]], axis=1)
        moved = cv2.perspectiveTransform(corners.reshape(-1, 1, 2), self.matrix).reshape(-1, 4, 2)
        rows, cols = shape
        low = np.floor(moved.min(axis=1)).clip(0, (cols, rows)).astype(int)
        high = np.ceil(moved.max(axis=1)).clip(0, (cols, rows)).astype(int)
        return np.hstack((low, high)).tolist()


def _strips(frame, shape):
    """Boxes (x1, y1, x2, y2) along the edges of an image of `shape` that
    hold every pixel outside the convex quadrilateral `frame` ((4, 2) corners:
    top-left, top-right, bottom-right, bottom-left, as the print's frame maps
    onto the standard): a strip as deep as the frame's side reaches in."""
    rows, cols = shape
    (ax, ay), (bx, by), (cx, cy), (dx, dy) = frame.tolist()
    left = min(max(math.ceil(max(ax, dx)) + 1, 0), cols)
    right = max(min(math.floor(min(bx, cx)) - 1, cols), left)
    top = min(max(math.ceil(max(ay, by)) + 1, 0), rows)
    bottom = max(min(math.floor(min(cy, dy)) - 1, rows), top)
    boxes = [(0, 0, left, rows), (right, 0, cols, rows), (left, 0, right, top), (left, bottom, right, rows)]
    return [box for box in boxes if box[0] < box[2] and box[1] < box[3]]


def register(reference, target, settings):
    """The Registration of `target` (2-D uint8, the standard's size) on the
    standard of `reference`, by the model `settings.register`, checked
    against the settings' limits."""
    rows, cols = target.shape
    if len(reference.centres) < MIN_LANDMARKS:
        return Registration(problem="the standard has too little texture to register on (%d landmarks)"
                            % len(reference.centres))
    found = _coarse(reference, target, settings.register)
    if isinstance(found, str):
        return Registration(problem=found)
    found = _fine(reference, target, found, settings.register)
    if isinstance(found, str):
        return Registration(problem=found)
    matrix, landmarks = found
    registration = _figures(matrix, reference.shape)
    registration.landmarks = landmarks
    problem = _out_of_limits(registration, settings)
    if problem is None:
        problem = _photometry(registration, reference, target, settings)
    registration.problem = problem
    return registration


def _coarse(reference, target, mode):
    """The transform (3 x 3, full-resolution pixels) found at the coarse
    level, or why none was."""
    f = reference.factor
    coarse = _shrink(target, reference.coarse.shape[::-1], reference.factor)
    (sx, sy), _ = cv2.phaseCorrelate(reference.coarse.astype(np.float32), coarse.astype(np.float32),
                                     reference.window)
    s = COARSE_SLACK
    padded = cv2.copyMakeBorder(coarse, s, s, s, s, cv2.BORDER_CONSTANT, value=0)
    src, dst = [], []
    for (x, y), patch in zip(reference.centres.astype(int).tolist(), reference.coarse_patches):
        if patch is None:
            continue
        x, y = _coarse_point(x, f), _coarse_point(y, f)
        ph, pw = patch.shape
        x0, y0 = int(round(x + sx)) - pw // 2, int(round(y + sy)) - ph // 2     # predicted top-left
        window = padded[max(y0, 0):max(y0 + ph + 2 * s, 0), max(x0, 0):max(x0 + pw + 2 * s, 0)]
        if window.shape[0] < ph + 2 * s or window.shape[1] < pw + 2 * s:
            continue
        peak = _peak(window, patch)
        if peak is not None:
            src.append((x, y))
            dst.append((x0 - s + peak[0] + pw // 2, y0 - s + peak[1] + ph // 2))
    src = np.asarray(src, np.float64).reshape(-1, 2)
    fitted = _fit(src, np.asarray(dst, np.float64).reshape(-1, 2), "similarity" if mode == "homography"
                  else mode, COARSE_TOLERANCE)
    if fitted is None:
        return "only %d of %d landmarks found at a first look" % (len(src), len(reference.centres))
    return _level(f) @ fitted[0] @ np.linalg.inv(_level(f))


def _fine(reference, target, coarse, mode):
    """(transform, (agreeing, found)) at full resolution, or why none was."""
    r, n = FINE_SLACK, PATCH + 2 * FINE_SLACK
    src, dst = [], []
    projective = _projective(coarse)
    for (x, y), patch in zip(reference.centres, reference.patches):
        x0, y0 = round(x) - PATCH // 2 - r, round(y) - PATCH // 2 - r     # the window's corner on the standard
        to_window = np.array([[1.0, 0, x0], [0, 1, y0], [0, 0, 1]])
        m = coarse @ to_window
        if projective:
            window = cv2.warpPerspective(target, m, (n, n), flags=cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP,
                                         borderMode=cv2.BORDER_CONSTANT)
        else:
            window = cv2.warpAffine(target, m[:2], (n, n), flags=cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP,
                                    borderMode=cv2.BORDER_CONSTANT)
        peak = _peak(window, patch)
        if peak is not None:
            src.append((x, y))
            dst.append((x0 + peak[0] + PATCH / 2, y0 + peak[1] + PATCH / 2))
    src = np.asarray(src, np.float64).reshape(-1, 2)
    # the matches are on the coarse-resampled grid: carried into the print's pixels
    dst = cv2.perspectiveTransform(np.asarray(dst, np.float64).reshape(-1, 1, 2), coarse).reshape(-1, 2) \
        if dst else src
    fitted = _fit(src, dst, mode, FINE_TOLERANCE)
    total = len(reference.centres)
    if fitted is None:
        return "only %d of %d landmarks found" % (len(src), total)
    matrix, agreeing = fitted
    if agreeing < max(MIN_LANDMARKS, MIN_AGREEING * total):
        return "only %d of %d landmarks agree on one %s" % (agreeing, total, "shift" if mode == "shift" else
                                                           "transform")
    return matrix, (int(agreeing), len(src))


def _peak(window, patch):
    """(x, y) of the best match of `patch` in `window` (top-left corner,
    sub-pixel by a parabola through the neighbours), or None when its
    normalised correlation is below MIN_MATCH or the peak is on the edge of
    the search (the patch may lie beyond it)."""
    scores = cv2.matchTemplate(window, patch, cv2.TM_CCOEFF_NORMED)
    _, best, _, (u, v) = cv2.minMaxLoc(scores)
    h, w = scores.shape
    if not best >= MIN_MATCH or not (0 < u < w - 1 and 0 < v < h - 1):
        return None
    return u + _vertex(*scores[v, u - 1:u + 2]), v + _vertex(*scores[v - 1:v + 2, u])


def _vertex(a, b, c):
    curve = a - 2 * b + c
    return float(np.clip(0.5 * (a - c) / curve, -0.5, 0.5)) if curve < 0 else 0.0


def _fit(src, dst, mode, tolerance):
    """(3 x 3 transform carrying src to dst, agreeing count) by `mode`, robust
    to wrong matches (RANSAC, `tolerance` pixels), or None with too few."""
    if len(src) < MIN_LANDMARKS:
        return None
    if mode == "shift":
        d = dst - src
        middle = np.median(d, axis=0)
        inliers = np.hypot(*(d - middle).T) <= tolerance
        m = np.eye(3)
        m[:2, 2] = d[inliers].mean(axis=0)
        return m, int(np.count_nonzero(inliers))
    a, b = src.astype(np.float32), dst.astype(np.float32)
    if mode == "homography":
        m, inliers = cv2.findHomography(a, b, cv2.RANSAC, tolerance)
    else:
        estimate = cv2.estimateAffine2D if mode == "affine" else cv2.estimateAffinePartial2D
        m, inliers = estimate(a, b, method=cv2.RANSAC, ransacReprojThreshold=tolerance)
        if m is not None:
            m = np.vstack((m, (0.0, 0.0, 1.0)))
    if m is None or inliers is None:
        return None
    inliers = inliers.ravel().astype(bool)
    if mode == "rigid":        # the similarity without its scale, about the agreeing landmarks' centre
        linear = m[:2, :2] / math.sqrt(max(abs(np.linalg.det(m[:2, :2])), 1e-12))
        m = np.eye(3)
        m[:2, :2] = linear
        m[:2, 2] = dst[inliers].mean(axis=0) - linear @ src[inliers].mean(axis=0)
    return m, int(np.count_nonzero(inliers))


def _projective(matrix):
    return abs(matrix[2, 0]) > 1e-12 or abs(matrix[2, 1]) > 1e-12


def _figures(matrix, shape):
    """A Registration of `matrix` with its angle, scale, shift and keystone
    taken at the centre of an image of `shape`."""
    rows, cols = shape
    centre = np.array([cols / 2, rows / 2, 1.0])
    moved = matrix @ centre
    w = moved[2]
    # the Jacobian of the transform at the centre
    jacobian = (matrix[:2, :2] * w - np.outer(moved[:2], matrix[2, :2])) / (w * w)
    det = float(np.linalg.det(jacobian))
    angle = math.degrees(math.atan2(jacobian[1, 0] - jacobian[0, 1], jacobian[0, 0] + jacobian[1, 1]))
    keystone = abs(matrix[2, 0]) * cols / abs(w) + abs(matrix[2, 1]) * rows / abs(w)
    registration = Registration(matrix=matrix, angle=angle, scale=math.copysign(math.sqrt(abs(det)), det),
                                shift=(float(moved[0] / w - centre[0]), float(moved[1] / w - centre[1])),
                                keystone=float(keystone))
    return registration


def _out_of_limits(registration, settings):
    """Why the transform lies outside the settings' limits, or None."""
    r = registration
    if r.scale <= 0:
        return "the print is a mirror image of its standard"
    if abs(r.angle) > settings.max_angle:
        return "turned by %.2f°, more than max_angle %g°" % (r.angle, settings.max_angle)
    if abs(r.scale - 1) > settings.max_scale:
        return "scaled by %.4f, beyond max_scale %g" % (r.scale, settings.max_scale)
    moved = math.hypot(*r.shift)
    if moved > settings.max_move:
        return "moved by %.1f px (%.1f, %.1f), more than max_move %g" % (moved, *r.shift, settings.max_move)
    if r.keystone > MAX_KEYSTONE:
        return "a keystone of %.1f %% across the print, more than %g %%" % (100 * r.keystone, 100 * MAX_KEYSTONE)
    return None


def _photometry(registration, reference, target, settings):
    """Measures the registered print's correlation with its standard and its
    brightness at the coarse level (over the pixels the print covers); why
    the correlation is too low, or None (brightness_problem judges the
    brightness: a print that registers but is exposed wrongly)."""
    level = _level(reference.factor)
    matrix = np.linalg.inv(level) @ registration.matrix @ level
    std = reference.coarse
    size = std.shape[::-1]
    coarse = _shrink(target, size, reference.factor)
    flags = cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP
    moved = cv2.warpPerspective(coarse, matrix, size, flags=flags)
    covered = cv2.warpPerspective(np.full(coarse.shape, 255, np.uint8), matrix, size, flags=flags) == 255
    covered = cv2.erode(covered.view(np.uint8), np.ones((3, 3), np.uint8)).view(bool)
    if np.count_nonzero(covered) < 0.25 * covered.size:
        return "the print covers only %.0f %% of its standard" % (100 * np.count_nonzero(covered) / covered.size)
    s, t = std[covered].astype(np.float64), moved[covered].astype(np.float64)
    ds, dt = s - s.mean(), t - t.mean()
    ss, tt, st = float(np.sum(ds * ds)), float(np.sum(dt * dt)), float(np.sum(ds * dt))
    registration.correlation = st / math.sqrt(ss * tt) if ss * tt > 0 else 0.0
    # Brightness, gain and offset from the inner parts of the standard's dark
    # and light areas (away from their edges, which the resampling blurs)
    # where the print is not clipped to black or white (a bright print's
    # paper saturates; its ink still says how bright it is). The brightness
    # is the median ratio of the print's grey to the standard's there; gain
    # and offset carry the means of the two parts onto the print's.
    unclipped = covered & (moved > 0) & (moved < 255)
    level, _ = cv2.threshold(std, 0, 255, cv2.THRESH_BINARY + cv2.THRESH_OTSU)
    parts = [cv2.erode(part.view(np.uint8), np.ones((3, 3), np.uint8)).view(bool) & unclipped
             for part in (std <= level, std > level)]
    inner = (parts[0] | parts[1]) & (std >= MIN_GREY)
    if not inner.any():
        inner = unclipped & (std >= MIN_GREY)
    registration.brightness = float(np.median(moved[inner] / std[inner].astype(np.float32))) if inner.any() else 1.0
    least = min(np.count_nonzero(part) for part in parts)
    (s_dark, t_dark), (s_light, t_light) = [(float(std[part].mean()), float(moved[part].mean())) if least else (0, 0)
                                            for part in parts]
    if least >= 0.01 * np.count_nonzero(unclipped) and s_light - s_dark >= MIN_SPAN:
        registration.gain = (t_light - t_dark) / (s_light - s_dark)
        registration.offset = t_dark - registration.gain * s_dark
    else:
        registration.gain, registration.offset = registration.brightness, 0.0
    if not MIN_GAIN <= registration.gain <= 1 / MIN_GAIN:
        registration.gain, registration.offset = 1.0, 0.0        # no correction: it would amplify noise
    if registration.correlation < settings.min_correlation:
        return "correlation %.2f with the standard, below min_correlation %g" % (registration.correlation,
                                                                                 settings.min_correlation)
    return None


def brightness_problem(registration, settings):
    """The verdict line of a registered print whose brightness lies outside
    `settings.brightness`, or None."""
    low, high = settings.brightness
    if low <= registration.brightness <= high:
        return None
    return "print %.2f× as bright as its standard (allowed %g–%g×)" % (registration.brightness, low, high)


# What makes a print's transform unusual for its run: a figure further from
# the run's median than UNUSUAL_SPREAD times the run's spread of it (the
# median absolute deviation, scaled to a standard deviation), and than its
# floor (below which a difference means nothing on a line), over runs of at
# least UNUSUAL_RUN registered prints.
UNUSUAL_SPREAD = 4.0
UNUSUAL_RUN = 5
UNUSUAL_FLOORS = {"angle": 0.2, "scale": 0.003, "dx": 3.0, "dy": 3.0, "brightness": 0.05}


def unusual(figures):
    """Per item of `figures` (Registration.figures() dicts, or None for
    prints not registered), the names of its figures that are unusual for
    the run, as a list (empty for the usual and the unregistered)."""
    registered = [f for f in figures if f and "problem" not in f]
    flags = [[] for _ in figures]
    if len(registered) < UNUSUAL_RUN:
        return flags
    for name, floor in UNUSUAL_FLOORS.items():
        values = np.array([f[name] for f in registered], np.float64)
        middle = float(np.median(values))
        spread = 1.4826 * float(np.median(np.abs(values - middle)))
        limit = max(UNUSUAL_SPREAD * spread, floor)
        for flag, f in zip(flags, figures):
            if f and "problem" not in f and abs(f[name] - middle) > limit:
                flag.append(name)
    return flags
