"""A seeded set of labelled standard/target pairs for tuning and evaluating
defect extraction.

Two families:
- boards: binarised circuit-board tiles (640 x 640) with planted bridges,
  breaks, holes, bites, islands and spurs, the target shifted by up to 3
  pixels (integer or sub-pixel, border replicated) and scanned again (blur,
  noise, re-binarisation: jagged edges);
- prints: grey label prints (text, boxes, rules, barcodes) with missing
  strokes, smudges and specks, the target shifted and with its own sensor
  noise and a slight contrast change.

Every defect is labelled as a person would: the box of its changed pixels in
the target image, grown by 1 to 6 pixels on each side, x2/y2 one past the
last pixel, with the kind that its construction makes true (empty for print
defects whose kind depends on where ink is said to begin).

    python examples/labelled_samples.py OUT_DIR [--boards N] [--prints N] [--seed S] [--test-share F]
                                                [--material mixed|light|dark] [--max-shift PX]
                                                [--thin N] [--warp PX]

writes OUT_DIR/boards/0007_std.png, OUT_DIR/boards/0007_tgt.png, ...,
prints/..., pairs.csv, train_pairs.csv, test_pairs.csv (header
standard,target, paths relative to OUT_DIR), labels.csv (header
file,x1,y1,x2,y2,kind, file as in the pairs CSVs; a clean target has no row)
and shifts.csv (file,dx,dy,material: how far each target was moved right
and down, and whether its pattern is light or dark; what a detector must
find out for itself, kept for checking it).
"""
import argparse
import csv
import math
import os
import sys

import cv2
import numpy as np

if __package__:
    from . import sample_boards, sample_defects, sample_prints
else:
    import sample_boards
    import sample_defects
    import sample_prints


def random_shift(rng, limit=3.0):
    """A displacement of at most `limit` pixels: integer half the time, else sub-pixel."""
    while True:
        if rng.random() < 0.5:
            whole = int(limit)
            d = rng.integers(-whole, whole + 1, 2).astype(float)
        else:
            d = np.round(rng.uniform(-limit, limit, 2), 2)
        if np.hypot(*d) <= limit:
            return float(d[0]), float(d[1])


def move(image, shift, interpolation=cv2.INTER_LINEAR, matrix=None):
    """`image` moved shift = (right, down) pixels (or by the 2 x 3 affine
    `matrix` when given), border replicated (float32)."""
    m = np.float32([[1, 0, shift[0]], [0, 1, shift[1]]]) if matrix is None else np.float32(matrix)
    return cv2.warpAffine(image.astype(np.float32), m, image.shape[1::-1], flags=interpolation,
                          borderMode=cv2.BORDER_REPLICATE)


def moved_box(box, shift):
    """The box that holds the pixels of `box` after a move by `shift`."""
    x1, y1, x2, y2 = box
    dx, dy = shift
    return int(np.floor(x1 + dx)), int(np.floor(y1 + dy)), int(np.ceil(x2 + dx)), int(np.ceil(y2 + dy))


def labelled_box(rng, box, shape):
    """The box grown by 1 to 6 pixels on each side, as a labeller draws it, clipped to the image."""
    grow = rng.integers(1, 7, 4)
    x1, y1, x2, y2 = box
    rows, cols = shape[:2]
    return (max(0, x1 - int(grow[0])), max(0, y1 - int(grow[1])),
            min(cols, x2 + int(grow[2])), min(rows, y2 + int(grow[3])))


def seen_kind(moved_clean, target, defect, shift):
    """The kind that `defect` shows in the target: the clean material and the
    defect moved like the target (`moved_clean` already is) against the
    target's material, in a window around the defect."""
    rows, cols = target.shape
    x1, y1, x2, y2 = defect.box
    m = 30
    sl = np.s_[max(0, y1 - m):min(rows, y2 + m), max(0, x1 - m):min(cols, x2 + m)]
    change = np.zeros(target.shape, np.uint8)
    defect.apply(change.view(bool))
    change = move(change[sl], shift) >= 0.5
    if not change.any():
        return None
    return sample_defects.window_kind(moved_clean[sl], target[sl], change, defect.extra, 12)


def drift(rng, shift, warp, size):
    """A 2 x 3 affine that moves the tile's centre by `shift` and turns and
    stretches it a little about the centre, so that the displacement of any
    pixel differs from the centre's by at most `warp` pixels (a scan whose
    misregistration drifts across the image)."""
    corner = math.hypot(size / 2, size / 2)
    angle, stretch = rng.uniform(-1, 1, 2) * warp / (2 * corner)
    a = (1 + stretch) * np.array([[math.cos(angle), -math.sin(angle)], [math.sin(angle), math.cos(angle)]])
    centre = np.array([size / 2, size / 2])
    return np.hstack((a, (centre + np.asarray(shift) - a @ centre)[:, None]))


def local_shift(matrix, box):
    """The displacement (right, down) an affine gives the centre of a box."""
    centre = np.array([(box[0] + box[2]) / 2, (box[1] + box[3]) / 2])
    return tuple(float(v) for v in matrix[:, :2] @ centre + matrix[:, 2] - centre)


def _thin_size(rng):
    return rng.uniform(2.5, 3.5)


def board_sample(rng, material="mixed", max_shift=3.0, size=640, thin=0, warp=0.0):
    """(standard, target, shift, [(kind, box in the target frame)], material)
    of one tile; `material` is the copper's grey: "light", "dark", or "mixed"
    for either at random. With `thin` N, 0 to N more bridges and spurs about
    3 to 7 pixels wide are planted besides; with `warp` W the target's
    displacement drifts across the tile by up to W pixels from the centre's
    `shift` (a slight turn and stretch)."""
    copper = sample_boards.board_copper(rng, size)
    mat = sample_defects.Material(copper)
    count = 0 if rng.random() < 0.12 else int(rng.integers(1, 7))
    defects = sample_defects.plant_some(rng, mat, count)
    for _ in range(int(rng.integers(0, thin + 1)) if thin else 0):
        found = sample_defects.plant(rng, mat, str(rng.choice(("bridge", "spur"))), size=_thin_size)
        if found:
            defects.append(found)
    damaged = copper.copy()
    for defect in defects:
        defect.apply(damaged)
    coin = rng.random() < 0.5   # drawn in every mode, so the rest of the tile stays the same
    white = coin if material == "mixed" else material == "light"
    paint = (lambda m: np.where(m, 255, 0).astype(np.uint8)) if white else (
        lambda m: np.where(m, 0, 255).astype(np.uint8))
    shift = random_shift(rng, max_shift)
    matrix = drift(rng, shift, warp, size) if warp else None
    shifts = [local_shift(matrix, d.box) if warp else shift for d in defects]
    standard = sample_boards.scan(rng, paint(copper), edge_noise=(5.0, 25.0)) if rng.random() < 0.5 else paint(copper)
    moved_clean = move(copper.view(np.uint8), shift, matrix=matrix) >= 0.5
    for _attempt in range(4):
        target = sample_boards.scan(rng, paint(damaged), shift, matrix=matrix)
        material = target == (255 if white else 0)
        kinds = [seen_kind(moved_clean, material, d, s) for d, s in zip(defects, shifts)]
        if kinds == [d.kind for d in defects]:
            break
    labels = [(d.kind if seen == d.kind else "", labelled_box(rng, moved_box(d.box, s), target.shape))
              for d, seen, s in zip(defects, kinds, shifts)]
    return standard, target, shift, labels, "light" if white else "dark"


def print_sample(rng, _material=None, max_shift=3.0, **_board_only):
    """(standard, target, shift, [(kind, box in the target frame)], "dark") of one print."""
    standard, target, shift, defects = sample_prints.print_pair(rng, random_shift(rng, max_shift))
    labels = [(kind, labelled_box(rng, moved_box(box, shift), target.shape)) for kind, box in defects]
    return standard, target, shift, labels, "dark"


FAMILIES = (("boards", board_sample), ("prints", print_sample))
MATERIALS = ("mixed", "light", "dark")


def _split(rng, names, test_share):
    test = set(rng.choice(len(names), int(round(len(names) * test_share)), replace=False).tolist())
    return [n for i, n in enumerate(names) if i not in test], [n for i, n in enumerate(names) if i in test]


def _write_csv(path, header, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(header)
        writer.writerows(rows)


def generate(out_dir, boards=40, prints=10, seed=0, test_share=0.5, material="mixed", max_shift=3.0, thin=0,
             warp=0.0):
    """Writes the sample set into `out_dir` (see the module text) and returns
    {"pairs", "train", "test", "labels", "shifts": paths of the CSVs,
     "kinds": {kind: count of labels}}.
    The same arguments give the same files. The train/test split is drawn per
    family, so each family has about `test_share` of its pairs in the test part.
    `material` is the grey of the boards' copper: "light", "dark", or "mixed"
    (each tile either way at random); only the polarity depends on it.
    `max_shift` bounds the targets' displacement (pixels, 0 for none). On
    boards, `thin` N adds 0 to N thin bridges and spurs per tile, and `warp`
    lets the displacement drift across a tile by up to that many pixels; with
    both 0 the boards are those made without them."""
    if material not in MATERIALS:
        raise ValueError("material must be one of %s, not %r" % (", ".join(MATERIALS), material))
    if not 0.0 <= test_share <= 1.0:
        raise ValueError("test_share must lie between 0 and 1, not %r" % (test_share,))
    if boards < 0 or prints < 0:
        raise ValueError("the counts of boards and prints must not be negative")
    if not 0 <= max_shift <= 16:
        raise ValueError("max_shift must lie between 0 and 16 pixels, not %r" % (max_shift,))
    if not 0 <= warp <= 8:
        raise ValueError("warp must lie between 0 and 8 pixels, not %r" % (warp,))
    if thin < 0:
        raise ValueError("thin must not be negative, not %r" % (thin,))
    if seed < 0:
        raise ValueError("the seed must not be negative, not %r" % (seed,))
    os.makedirs(out_dir, exist_ok=True)
    pairs, train, test, labels, shifts = [], [], [], [], []
    kinds = {}
    for code, ((family, make), count) in enumerate(zip(FAMILIES, (boards, prints))):
        if count:
            os.makedirs(os.path.join(out_dir, family), exist_ok=True)
        names = []
        for index in range(count):
            rng = np.random.default_rng([seed, code, index])
            standard, target, shift, found, seen_material = make(rng, material, max_shift, thin=thin, warp=warp)
            std_name, tgt_name = "%s/%04d_std.png" % (family, index), "%s/%04d_tgt.png" % (family, index)
            cv2.imwrite(os.path.join(out_dir, std_name), standard)
            cv2.imwrite(os.path.join(out_dir, tgt_name), target)
            names.append((std_name, tgt_name))
            shifts.append((tgt_name, shift[0], shift[1], seen_material))
            for kind, box in found:
                labels.append((tgt_name, *box, kind))
                kinds[kind] = kinds.get(kind, 0) + 1
        part_train, part_test = _split(np.random.default_rng([seed, code, 1 << 20]), names, test_share)
        pairs += names
        train += part_train
        test += part_test
    paths = {key: os.path.join(out_dir, name) for key, name in (
        ("pairs", "pairs.csv"), ("train", "train_pairs.csv"), ("test", "test_pairs.csv"),
        ("labels", "labels.csv"), ("shifts", "shifts.csv"))}
    for key, rows in (("pairs", pairs), ("train", train), ("test", test)):
        _write_csv(paths[key], ("standard", "target"), rows)
    _write_csv(paths["labels"], ("file", "x1", "y1", "x2", "y2", "kind"), labels)
    _write_csv(paths["shifts"], ("file", "dx", "dy", "material"), shifts)
    return dict(paths, kinds=kinds)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out_dir")
    parser.add_argument("--boards", type=int, default=40, help="board tiles (default 40)")
    parser.add_argument("--prints", type=int, default=10, help="label prints (default 10)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--test-share", type=float, default=0.5, help="share of pairs held out for testing")
    parser.add_argument("--material", choices=MATERIALS, default="mixed",
                        help="grey of the boards' copper (default: mixed, either at random per tile)")
    parser.add_argument("--max-shift", type=float, default=3.0, help="largest displacement of a target (default 3 px)")
    parser.add_argument("--thin", type=int, default=0,
                        help="up to this many extra thin (3-7 px) bridges and spurs per board tile (default 0)")
    parser.add_argument("--warp", type=float, default=0.0,
                        help="px by which a board target's displacement drifts across the tile (default 0)")
    args = parser.parse_args(argv)
    try:
        result = generate(args.out_dir, args.boards, args.prints, args.seed, args.test_share, args.material,
                          args.max_shift, args.thin, args.warp)
    except ValueError as e:
        parser.error(str(e))
    for key in ("pairs", "train", "test", "labels"):
        print("%-7s %s" % (key, result[key]))
    print("labels by kind:", ", ".join("%s %d" % kv for kv in sorted(result["kinds"].items())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
