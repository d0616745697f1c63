"""Scores a pairs run against labelled defect boxes.

    python -m qlo_batch.evaluate OUT_DIR LABELS_CSV [--iou 0.33] [--pairs PAIRS_CSV]

Reads OUT_DIR/defects.csv and OUT_DIR/run.json (and, with --pairs, scores only
the files of that pairs CSV), prints precision, recall and
F-score (one-to-one matches at IoU above the threshold, and with any overlap)
overall and per kind, and writes OUT_DIR/evaluation.json and
OUT_DIR/evaluation.html (the missed and false defects, with pictures)."""
import argparse
import csv
import json
import os
import sys

from qlo_batch.evaluation_page import write_page
from qlo_batch.inputs import open_text
from qlo_batch.labels import check_inside, file_key, read_labels
from qlo_batch.matching import IOU_THRESHOLD, Found, score
from qlo_batch.names import from_csv_cell
from qlo_batch.outputs import Folder
from qlo_batch.pairs import read_pairs

DEFECT_HEADER = ["file", "x1", "y1", "x2", "y2", "kind", "score", "regions"]


def read_found(path):
    """The defects of a run's defects.csv, as Found records."""
    with open_text(path, "defects table") as f:
        reader = csv.reader(f)
        header = [h.strip() for h in next(reader, None) or []]
        if header != DEFECT_HEADER:
            raise ValueError("%s, line 1: the header must be %s, not %r" % (path, ",".join(DEFECT_HEADER),
                                                                             ",".join(header)))
        found = []
        for row in reader:
            if not row or all(not cell.strip() for cell in row):
                continue
            try:
                if len(row) != len(DEFECT_HEADER):
                    raise ValueError("expected %d columns" % len(DEFECT_HEADER))
                found.append(Found(from_csv_cell(row[0]), [int(v) for v in row[1:5]],
                                   from_csv_cell(row[5]).strip(), float(row[6]), int(row[7]), reader.line_num))
            except ValueError as error:
                raise ValueError("%s, line %d: %s" % (path, reader.line_num, error)) from None
    return found


def read_run(out_dir):
    """run.json of the run, or None when the run left none."""
    path = os.path.join(out_dir, "run.json")
    if not os.path.exists(path):
        return None
    with open_text(path, "run file") as f:
        run = json.load(f)
    if not isinstance(run, dict) or not isinstance(run.get("files"), dict):
        raise ValueError("%s: expected an object with a \"files\" object" % path)
    return run


def inspected(run):
    """(sizes, skipped): the (width, height) of each inspected file by file key,
    and the keys of the files whose inspection failed."""
    sizes, skipped = {}, set()
    for file, record in run["files"].items():
        if record.get("verdict") == "ERROR":
            skipped.add(file_key(file))
        elif record.get("width") and record.get("height"):
            sizes[file_key(file)] = (int(record["width"]), int(record["height"]))
    return sizes, skipped


def evaluate(out_dir, labels_path, iou_threshold=IOU_THRESHOLD, pairs_path=None):
    """(score, labels, found, run, notes): the Score of the run in `out_dir`
    against the labels CSV, with what the table should tell besides. With
    `pairs_path` (the pairs CSV the run was given) only its files are scored:
    labels of other files, as of a training split, are left out."""
    labels = read_labels(labels_path)
    found = read_found(os.path.join(out_dir, "defects.csv"))
    run = read_run(out_dir)
    notes = []
    if pairs_path is not None:
        wanted = {file_key(pair.file) for pair in read_pairs(pairs_path)}
        other = {file_key(x.file) for x in labels + found} - wanted
        if other:
            notes.append("%d labelled or inspected file%s not in %s: not scored"
                         % (len(other), _s(len(other)), os.path.basename(pairs_path)))
        labels = [x for x in labels if file_key(x.file) in wanted]
        found = [x for x in found if file_key(x.file) in wanted]
    skipped = set()
    if run is None:
        notes.append("no run.json in %s: every labelled file is taken as inspected, label sizes are not checked"
                     % out_dir)
    else:
        sizes, failed = inspected(run)
        check_inside(labels, sizes, labels_path)
        known = {file_key(file) for file in run["files"]}
        if pairs_path is not None:
            known &= wanted
        labelled = {file_key(label.file) for label in labels}
        absent = sorted(labelled - known)
        errors = sorted(labelled & failed)
        skipped = set(absent) | set(errors)
        for what, keys in (("not inspected by this run", absent), ("inspected with an ERROR", errors)):
            if keys:
                count = sum(file_key(label.file) in keys for label in labels)
                notes.append("%d labelled file%s %s (their %d label%s count as missed): %s"
                             % (len(keys), _s(keys), what, count, _s(count), _listed(keys)))
        if absent and pairs_path is None:
            notes.append("to score only the pairs the run was given, name their CSV with --pairs")
        unlabelled = len(known - labelled - failed)
        if unlabelled:
            notes.append("%d inspected file%s without labels: taken as free of defects"
                         % (unlabelled, _s(unlabelled)))
    return score(labels, found, skipped, iou_threshold), labels, found, run, notes


def _s(count):
    return "" if (count if isinstance(count, int) else len(count)) == 1 else "s"


def _listed(keys, at_most=5):
    return ", ".join(keys[:at_most]) + (", ..." if len(keys) > at_most else "")


def percent(value):
    return "-" if value is None else "%.1f %%" % (100 * value)


def table(result, notes=()):
    """The plain-text table of a Score."""
    lines = ["%-16s %7s %7s %7s %10s %8s %8s" % ("match", "labels", "found", "matched", "precision", "recall",
                                                  "F-score")]
    for mode, name in (("iou", "IoU > %g" % result.iou_threshold), ("overlap", "any overlap")):
        f = result.overall[mode]
        lines.append("%-16s %7d %7d %7d %10s %8s %8s" % (name, f["labels"], f["found"], f["matched"],
                                                          percent(f["precision"]), percent(f["recall"]),
                                                          percent(f["f_score"])))
    if result.per_kind:
        lines += ["", "per kind at IoU > %g (recall over the labels of a kind, precision over the defects "
                      "found of it)" % result.iou_threshold,
                  "%-10s %7s %7s %8s %10s %8s" % ("kind", "labels", "found", "recall", "precision", "F-score")]
        for kind, k in result.per_kind.items():
            lines.append("%-10s %7d %7d %8s %10s %8s" % (kind, k["labels"], k["found"], percent(k["recall"]),
                                                         percent(k["precision"]), percent(k["f_score"])))
    if result.kinds_checked:
        right = round(result.kind_accuracy * result.kinds_checked)
        lines += ["", "kind right on %s of the matched defects (%d of %d)"
                  % (percent(result.kind_accuracy), right, result.kinds_checked)]
    lines += [""] * bool(notes) + ["note: " + note for note in notes]
    return "\n".join(lines)


def parse(argv):
    parser = argparse.ArgumentParser(
        prog="python -m qlo_batch.evaluate",
        description="Score a pairs run (OUT_DIR/defects.csv) against a labels CSV (file,x1,y1,x2,y2[,kind]); "
                    "print the table and write OUT_DIR/evaluation.json and OUT_DIR/evaluation.html.")
    parser.add_argument("out_dir", metavar="OUT_DIR", help="the folder a pairs run wrote")
    parser.add_argument("labels", metavar="LABELS_CSV", help="the labelled defect boxes")
    parser.add_argument("--iou", type=float, default=IOU_THRESHOLD,
                        help="a match needs intersection over union above this (default %(default)s)")
    parser.add_argument("--pairs", metavar="PAIRS_CSV",
                        help="the pairs CSV the run was given: only its files are scored (labels of other files, "
                             "as of a training split, are left out), and its targets are the pictures' images")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse(sys.argv[1:] if argv is None else argv)
    if not 0 <= args.iou < 1:
        print("qlo_batch.evaluate: --iou must lie in 0..1 (below 1), not %g" % args.iou, file=sys.stderr)
        return 2
    try:
        result, labels, found, run, notes = evaluate(args.out_dir, args.labels, args.iou, args.pairs)
    except (OSError, ValueError) as error:
        print("qlo_batch.evaluate: %s" % error, file=sys.stderr)
        return 2
    print(table(result, notes))
    out = Folder.open(args.out_dir)
    try:
        out.write("evaluation.json", json.dumps(dict(result.as_dict(), labels_csv=os.path.abspath(args.labels),
                                                     notes=notes), indent=1).encode("ascii"))
        page = write_page(out, result, labels, found, run, args.labels, args.pairs, notes, table(result, notes))
    except OSError as error:
        print("qlo_batch.evaluate: cannot write into %s: %s" % (args.out_dir, error.strerror or error),
              file=sys.stderr)
        return 1
    finally:
        out.close()
    print("evaluation: %s" % page)
    return 0


if __name__ == "__main__":
    sys.exit(main())
