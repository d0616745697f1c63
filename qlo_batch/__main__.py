"""Command line:
    python -m qlo_batch STANDARD TARGET_DIR OUT_DIR [options]
    python -m qlo_batch --pairs PAIRS_CSV OUT_DIR [options]"""
import argparse
import os
import sys

from qlo_batch import __version__
from qlo_batch.extras import dask_missing
from qlo_batch.errors import BatchError, Interrupted
from qlo_batch.pipeline import run_batch, run_pairs
from qlo_batch.report_page import summary
from qlo_batch.watch import REFRESH_SECONDS, SETTLE_SECONDS, watch_folder, watch_pairs

USAGE = ("%(prog)s STANDARD TARGET_DIR OUT_DIR [options]\n"
         "       %(prog)s --pairs PAIRS_CSV OUT_DIR [options]\n"
         "       %(prog)s --watch ... (either form)")


def parse(argv):
    parser = argparse.ArgumentParser(
        prog="qlo_batch", usage=USAGE,
        description="Inspect every image of a folder against a standard print, or every target of a pairs CSV "
                    "(header standard,target) against its own standard, and write a report (report.csv, "
                    "defects.csv, run.json, report.html, marked/ and thumbs/) into OUT_DIR.")
    parser.add_argument("paths", nargs="+", metavar="PATH",
                        help="STANDARD TARGET_DIR OUT_DIR, or OUT_DIR alone with --pairs")
    parser.add_argument("--pairs", metavar="PAIRS_CSV",
                        help="CSV of standard,target pairs (relative paths are relative to its folder)")
    parser.add_argument("--settings", metavar="FILE", help="TOML settings file (comparator, regions, defects)")
    parser.add_argument("--scheduler", metavar="ADDR", help="address of an existing Dask scheduler (always used)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="workers of a local cluster (default: one per core)")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--serial", action="store_true", help="inspect in a plain loop in this process")
    mode.add_argument("--dask", action="store_true",
                      help="start a local Dask cluster of worker processes whatever the batch's size (by default "
                           "a cluster of worker threads is started only when the batch is large enough to gain "
                           "from it)")
    parser.add_argument("--no-progress", action="store_true", help="do not show the progress bar")
    parser.add_argument("--resume", action="store_true",
                        help="keep the rows of the files an earlier run into OUT_DIR finished (with the same "
                             "settings, the files unchanged since) and inspect only the others")
    parser.add_argument("--watch", action="store_true",
                        help="go on inspecting each print that arrives in TARGET_DIR (or each row appended to "
                             "PAIRS_CSV) once it is completely written, keeping the report current, until Ctrl-C "
                             "or SIGTERM; a new start resumes from the report's journal. In the plain loop unless "
                             "--dask or --scheduler is given")
    parser.add_argument("--settle", type=float, default=SETTLE_SECONDS, metavar="SECONDS",
                        help="with --watch: a print is complete when unchanged this long, or when renamed into the "
                             "folder from a temporary name (default %(default)s)")
    parser.add_argument("--refresh", type=float, default=REFRESH_SECONDS, metavar="SECONDS",
                        help="with --watch: write the page and run.json again at most this often (default "
                             "%(default)s)")
    parser.add_argument("--dashboard", metavar="ADDR", nargs="?", const="127.0.0.1:8787",
                        help="serve the Dask dashboard of a local cluster at ADDR (default 127.0.0.1:8787); "
                             "none by default")
    parser.add_argument("--no-outside-links", action="store_true",
                        help="give an ERROR row to a symbolic link of TARGET_DIR that leads out of it, instead of "
                             "inspecting the file it leads to")
    parser.add_argument("--marked", choices=("png", "jpg"),
                        help="also write a full-size marked image of each NG print into OUT_DIR/marked, as PNG "
                             "(lossless) or JPEG (a fifth of the size); by default the report shows a preview "
                             "and crops")
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    args = parser.parse_args(argv)
    if args.workers < 1:
        parser.error("--workers must be at least 1, not %d" % args.workers)
    for name in ("settle", "refresh"):
        if not 0 <= getattr(args, name) < float("inf"):
            parser.error("--%s must be a number of seconds, not %s" % (name, getattr(args, name)))
    wanted = 1 if args.pairs else 3
    if len(args.paths) != wanted:
        parser.error("expected %s, got %d path%s" % ("OUT_DIR after --pairs PAIRS_CSV" if args.pairs else
                                                     "STANDARD TARGET_DIR OUT_DIR", len(args.paths),
                                                     "" if len(args.paths) == 1 else "s"))
    return args


def main(argv=None):
    args = parse(sys.argv[1:] if argv is None else argv)
    missing = (args.dask or args.scheduler) and dask_missing("qlo_batch")
    if missing:
        print(missing, file=sys.stderr)
        return 2
    serial = True if args.serial else False if args.dask else None
    options = dict(settings=args.settings, scheduler=args.scheduler, workers=args.workers, serial=serial,
                   progress=not args.no_progress, dashboard=args.dashboard, marked=args.marked)
    if args.watch:      # a watch always resumes
        options.update(settle=args.settle, refresh=args.refresh)
        pairs, folder = watch_pairs, watch_folder
    else:
        options.update(resume=args.resume)
        pairs, folder = run_pairs, run_batch
    try:
        if args.pairs:
            out_dir = args.paths[0]
            rows = pairs(args.pairs, out_dir, **options)
        else:
            standard, target_dir, out_dir = args.paths
            if not os.path.isdir(target_dir):
                print("qlo_batch: %s is not a folder" % target_dir, file=sys.stderr)
                return 2
            rows = folder(standard, target_dir, out_dir, outside_links=not args.no_outside_links, **options)
    except BatchError as error:         # a run refused, or stopped by a failed write, in one line
        print("qlo_batch: %s" % error, file=sys.stderr)
        return error.exit_status
    except Interrupted as stop:
        print("qlo_batch: interrupted: %d of %d files done; the report in %s covers them (--resume inspects the "
              "rest)" % (stop.done, stop.total, stop.out_dir), file=sys.stderr)
        return 130
    except KeyboardInterrupt:
        print("qlo_batch: interrupted before the run started", file=sys.stderr)
        return 130
    print(summary(rows))
    print("report: %s" % os.path.join(out_dir, "report.html"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
