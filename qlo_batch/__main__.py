"""Command line: python -m qlo_batch STANDARD TARGET_DIR OUT_DIR [options]"""
import argparse
import os
import sys

from qlo_batch.pipeline import run_batch
from qlo_batch.report import summary


def parse(argv):
    parser = argparse.ArgumentParser(
        prog="qlo_batch", description="Inspect every image of a folder against a standard print and write a "
                                      "report (report.csv, report.html, marked/ and thumbs/) into OUT_DIR.")
    parser.add_argument("standard", metavar="STANDARD", help="the standard (reference) image file")
    parser.add_argument("target_dir", metavar="TARGET_DIR", help="the folder of images to inspect")
    parser.add_argument("out_dir", metavar="OUT_DIR", help="the folder the report is written into")
    parser.add_argument("--settings", metavar="FILE", help="TOML settings file (comparator and regions)")
    parser.add_argument("--scheduler", metavar="ADDR",
                        help="address of an existing Dask scheduler (default: a new local cluster)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="workers of the local cluster (default: one per core)")
    parser.add_argument("--serial", action="store_true", help="inspect in a plain loop in this process")
    parser.add_argument("--no-progress", action="store_true", help="do not show the progress bar")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse(sys.argv[1:] if argv is None else argv)
    if not os.path.isdir(args.target_dir):
        print("qlo_batch: %s is not a folder" % args.target_dir, file=sys.stderr)
        return 2
    rows = run_batch(args.standard, args.target_dir, args.out_dir, args.settings, args.scheduler, args.workers,
                     serial=args.serial, progress=not args.no_progress)
    print(summary(rows))
    print("report: %s" % os.path.join(args.out_dir, "report.html"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
