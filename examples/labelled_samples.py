"""A seeded set of labelled standard/target pairs for tuning and evaluating
defect extraction.

Two families:
- boards: binarised circuit-board tiles (640 x 640) with planted bridges,
  breaks, holes, bites, islands and spurs, the target shifted by up to 3
  pixels and scanned again (blur, noise, re-binarisation);
- prints: grey label prints (text, boxes, rules, barcodes) with missing
  strokes, smudges and specks, the target shifted and with its own sensor
  noise and a slight contrast change.

Every defect is labelled as a person would: the box of its changed pixels in
the target image, grown by 1 to 6 pixels on each side, x2/y2 one past the
last pixel, with the kind that its construction makes true (empty for print
defects whose kind depends on where ink is said to begin).

    python examples/labelled_samples.py OUT_DIR [--boards N] [--prints N] [--seed S] [--test-share F]

writes OUT_DIR/boards/0007_std.png, OUT_DIR/boards/0007_tgt.png, ...,
prints/..., pairs.csv, train_pairs.csv, test_pairs.csv (header
standard,target, paths relative to OUT_DIR), labels.csv (header
file,x1,y1,x2,y2,kind, file as in the pairs CSVs; a clean target has no row)
and shifts.csv (file,dx,dy: how far each target was moved right and down).
"""
import argparse
import csv
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

MAX_SHIFT = 3.0


def random_shift(rng):
    """A displacement of at most MAX_SHIFT pixels: integer half the time, else sub-pixel."""
    while True:
        if rng.random() < 0.5:
            d = rng.integers(-3, 4, 2).astype(float)
        else:
            d = np.round(rng.uniform(-MAX_SHIFT, MAX_SHIFT, 2), 2)
        if np.hypot(*d) <= MAX_SHIFT:
            return float(d[0]), float(d[1])


def move(image, shift, interpolation=cv2.INTER_LINEAR):
    """`image` moved shift = (right, down) pixels, border replicated (float32)."""
    m = np.float32([[1, 0, shift[0]], [0, 1, shift[1]]])
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


def plant_defects(rng, mat, count, size=sample_defects.defect_size):
    """Up to `count` defects of random kinds, planted into `mat`: [Defect]."""
    defects = []
    for _ in range(count):
        for kind in rng.permutation(sample_defects.KINDS):
            got = sample_defects.plant(rng, mat, str(kind), size=size)
            if got:
                defects.append(got)
                break
    return defects


def board_sample(rng, size=640):
    """(standard, target, shift, [(kind, box in the target frame)]) of one tile."""
    copper = sample_boards.board_copper(rng, size)
    mat = sample_defects.Material(copper)
    count = 0 if rng.random() < 0.12 else int(rng.integers(1, 7))
    defects = plant_defects(rng, mat, count)
    damaged = copper.copy()
    for defect in defects:
        defect.apply(damaged)
    white = rng.random() < 0.5
    paint = (lambda m: np.where(m, 255, 0).astype(np.uint8)) if white else (
        lambda m: np.where(m, 0, 255).astype(np.uint8))
    shift = random_shift(rng)
    standard = sample_boards.scan(rng, paint(copper), noise=(4.0, 16.0)) if rng.random() < 0.5 else paint(copper)
    moved_clean = move(copper.view(np.uint8), shift) >= 0.5
    for _attempt in range(4):
        target = sample_boards.scan(rng, paint(damaged), shift)
        material = target == (255 if white else 0)
        kinds = [seen_kind(moved_clean, material, d, shift) for d in defects]
        if kinds == [d.kind for d in defects]:
            break
    labels = [(d.kind if seen == d.kind else "", labelled_box(rng, moved_box(d.box, shift), target.shape))
              for d, seen in zip(defects, kinds)]
    return standard, target, shift, labels


def print_sample(rng):
    """(standard, target, shift, [(kind, box in the target frame)]) of one print."""
    standard, target, shift, defects = sample_prints.print_pair(rng, random_shift(rng))
    labels = [(kind, labelled_box(rng, moved_box(box, shift), target.shape)) for kind, box in defects]
    return standard, target, shift, labels


FAMILIES = (("boards", board_sample), ("prints", print_sample))


def _split(rng, names, test_share):
    test = set(rng.choice(len(names), int(round(len(names) * test_share)), replace=False).tolist())
    return [n for i, n in enumerate(names) if i not in test], [n for i, n in enumerate(names) if i in test]


def _write_csv(path, header, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f, lineterminator="\n")
        writer.writerow(header)
        writer.writerows(rows)


def generate(out_dir, boards=40, prints=10, seed=0, test_share=0.5):
    """Writes the sample set into `out_dir` (see the module text) and returns
    {"pairs", "train", "test", "labels", "shifts": paths of the CSVs,
     "kinds": {kind: count of labels}}.
    The same arguments give the same files. The train/test split is drawn per
    family, so each family has about `test_share` of its pairs in the test part."""
    if not 0.0 <= test_share <= 1.0:
        raise ValueError("test_share must lie between 0 and 1, not %r" % (test_share,))
    if boards < 0 or prints < 0:
        raise ValueError("the counts of boards and prints must not be negative")
    os.makedirs(out_dir, exist_ok=True)
    pairs, train, test, labels, shifts = [], [], [], [], []
    kinds = {}
    for code, ((family, make), count) in enumerate(zip(FAMILIES, (boards, prints))):
        if count:
            os.makedirs(os.path.join(out_dir, family), exist_ok=True)
        names = []
        for index in range(count):
            rng = np.random.default_rng([seed, code, index])
            standard, target, shift, found = make(rng)
            std_name, tgt_name = "%s/%04d_std.png" % (family, index), "%s/%04d_tgt.png" % (family, index)
            cv2.imwrite(os.path.join(out_dir, std_name), standard)
            cv2.imwrite(os.path.join(out_dir, tgt_name), target)
            names.append((std_name, tgt_name))
            shifts.append((tgt_name, shift[0], shift[1]))
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
    _write_csv(paths["shifts"], ("file", "dx", "dy"), shifts)
    return dict(paths, kinds=kinds)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out_dir")
    parser.add_argument("--boards", type=int, default=40, help="board tiles (default 40)")
    parser.add_argument("--prints", type=int, default=10, help="label prints (default 10)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--test-share", type=float, default=0.5, help="share of pairs held out for testing")
    args = parser.parse_args(argv)
    try:
        result = generate(args.out_dir, args.boards, args.prints, args.seed, args.test_share)
    except ValueError as e:
        parser.error(str(e))
    for key in ("pairs", "train", "test", "labels"):
        print("%-7s %s" % (key, result[key]))
    print("labels by kind:", ", ".join("%s %d" % kv for kv in sorted(result["kinds"].items())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
