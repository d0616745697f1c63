"""A seeded set of labelled label-print pairs named in print words: each
target is the label of print_pair.make_label, moved a little and scanned
again, with scratches (light where they scrape ink off, dark where they
leave a line), smudges, missing print, specks and voids planted apart from
each other, each labelled with its kind and the box of its visible change
(grown as a labeller draws it).

    python examples/print_faults.py OUT_DIR [--prints N] [--seed S] [--test-share F]

writes OUT_DIR/prints/0003_std.png, 0003_tgt.png, ..., pairs.csv,
train_pairs.csv, test_pairs.csv and labels.csv, as labelled_samples.py does.
"""
import argparse
import os
import sys

import cv2
import numpy as np

if __package__:
    from .labelled_samples import _split, _write_csv, labelled_box, move, moved_box, random_shift
    from .print_pair import INK, PAPER, make_label
else:
    from labelled_samples import _split, _write_csv, labelled_box, move, moved_box, random_shift
    from print_pair import INK, PAPER, make_label

SHAPE = (600, 720)
KINDS = ("scratch", "smudge", "missing", "speck", "void")
VISIBLE = 40          # grey levels: a pixel changed by more is part of the fault
APART = 12            # pixels kept clear between two faults


def _disc(radius):
    return cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (2 * radius + 1, 2 * radius + 1))


def _point(rng, allowed):
    ys, xs = np.nonzero(allowed)
    if not len(ys):
        return None
    k = int(rng.integers(len(ys)))
    return int(xs[k]), int(ys[k])


def _fault(rng, kind, image, ink, free):
    """The image with one fault of `kind` planted where `free` allows, or None."""
    out = image.astype(np.float32)
    if kind == "scratch":
        start = _point(rng, free)
        if start is None:
            return None
        angle, length = rng.uniform(0, np.pi), rng.uniform(60, 180)
        end = (int(start[0] + length * np.cos(angle)), int(start[1] + length * np.sin(angle)))
        line = np.zeros(image.shape, np.uint8)
        cv2.line(line, start, end, 255, int(rng.integers(1, 3)))
        out[line > 0] = PAPER if rng.random() < 0.6 else INK
    elif kind == "smudge":
        centre = _point(rng, free)
        if centre is None:
            return None
        blot = np.zeros(image.shape, np.float32)
        cv2.ellipse(blot, centre, (int(rng.integers(8, 20)), int(rng.integers(6, 14))), float(rng.uniform(0, 180)),
                    0, 360, 1.0, -1)
        out -= 120.0 * cv2.GaussianBlur(blot, (0, 0), 2.5)
    elif kind == "missing":
        centre = _point(rng, free & ink)
        if centre is None:
            return None
        half = rng.integers(4, 10, 2)
        gone = np.zeros(image.shape, bool)
        gone[max(centre[1] - half[1], 0):centre[1] + half[1], max(centre[0] - half[0], 0):centre[0] + half[0]] = True
        out[gone & ink] = PAPER
    else:
        radius = int(rng.integers(2, 5)) if kind == "speck" else int(rng.integers(2, 4))
        room = _disc(radius + 3)
        if kind == "speck":         # on paper, clear of the print
            allowed = free & (cv2.dilate(ink.view(np.uint8), room) == 0)
        else:                       # inside ink on every side
            allowed = free & (cv2.erode(ink.view(np.uint8), room) > 0)
        centre = _point(rng, allowed)
        if centre is None:
            return None
        cv2.circle(out, centre, radius, INK if kind == "speck" else PAPER, -1)
    return out


def print_faults(rng, max_shift=2.0):
    """(standard, target, shift, [(kind, box in the target frame)]) of one label."""
    label = make_label(SHAPE, int(rng.integers(1 << 30)))
    ink = label < (PAPER + INK) / 2
    damaged = label.astype(np.float32)
    free = np.zeros(SHAPE, bool)
    free[30:-30, 30:-30] = True
    faults = []
    for kind in rng.choice(KINDS, int(rng.integers(1, 5))):
        for _attempt in range(20):
            planted = _fault(rng, str(kind), damaged, ink, free)
            if planted is None:
                continue
            seen = np.abs(planted - damaged) > VISIBLE
            ys, xs = np.nonzero(seen)
            if len(ys) < 4:
                continue
            box = (int(xs.min()), int(ys.min()), int(xs.max()) + 1, int(ys.max()) + 1)
            if not free[box[1]:box[3], box[0]:box[2]].all():
                continue
            damaged = planted
            faults.append((str(kind), box))
            free[max(box[1] - APART, 0):box[3] + APART, max(box[0] - APART, 0):box[2] + APART] = False
            break
    shift = random_shift(rng, max_shift)
    noise = rng.uniform(1.5, 3.5)

    def sensor(image):
        return np.clip(np.round(image + rng.normal(0.0, noise, SHAPE)), 0, 255).astype(np.uint8)

    target = sensor(move(damaged, shift))
    labels = [(kind, labelled_box(rng, moved_box(box, shift), SHAPE)) for kind, box in faults]
    return sensor(label), target, shift, labels


def generate(out_dir, prints=20, seed=0, test_share=0.5):
    """Writes the set into `out_dir` and returns the paths of its CSVs
    ("pairs", "train", "test", "labels") and the count of labels by kind ("kinds")."""
    os.makedirs(os.path.join(out_dir, "prints"), exist_ok=True)
    names, labels, kinds = [], [], {}
    for index in range(prints):
        standard, target, _shift, found = print_faults(np.random.default_rng([seed, index]))
        std_name, tgt_name = "prints/%04d_std.png" % index, "prints/%04d_tgt.png" % index
        cv2.imwrite(os.path.join(out_dir, std_name), standard)
        cv2.imwrite(os.path.join(out_dir, tgt_name), target)
        names.append((std_name, tgt_name))
        for kind, box in found:
            labels.append((tgt_name, *box, kind))
            kinds[kind] = kinds.get(kind, 0) + 1
    train, test = _split(np.random.default_rng([seed, 1 << 20]), names, test_share)
    paths = {key: os.path.join(out_dir, "%s.csv" % name) for key, name in (
        ("pairs", "pairs"), ("train", "train_pairs"), ("test", "test_pairs"), ("labels", "labels"))}
    for key, rows in (("pairs", names), ("train", train), ("test", test)):
        _write_csv(paths[key], ("standard", "target"), rows)
    _write_csv(paths["labels"], ("file", "x1", "y1", "x2", "y2", "kind"), labels)
    return dict(paths, kinds=kinds)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out_dir")
    parser.add_argument("--prints", type=int, default=20)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--test-share", type=float, default=0.5)
    args = parser.parse_args(argv)
    result = generate(args.out_dir, args.prints, args.seed, args.test_share)
    print("labels by kind:", ", ".join("%s %d" % kv for kv in sorted(result["kinds"].items())))
    return 0


if __name__ == "__main__":
    sys.exit(main())
