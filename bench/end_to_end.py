"""The batch job end to end against hand-written scripts, and on an existing
Dask cluster against the plain loop. Every way runs as a command in a fresh
process (start-up and imports count), in alternating rounds; wall seconds
are measured from here.

- Pairs mode: PAIRS pairs of 640 x 640 board tiles (JPEG, each target with
  a standard file of its own) with the report on, against a plain script that
  reads both grey, takes their absolute difference, thresholds it, opens it
  by a 3 x 3 square, finds the contours and writes their boxes to a CSV.
- Folder mode: PRINTS prints of 2448 x 2048 (PNG, a tenth NG) against one
  standard, against a plain script that reads each print, compares it with
  the standard's dilation and erosion (made once and kept), and writes a
  JPEG of each NG print with its boxes drawn.
- cluster: the same commands with --scheduler, on a scheduler and two
  single-threaded workers started beforehand (`dask scheduler`, `dask
  worker --nthreads 1`), as a user's cluster is; serial: --serial; auto: the
  command as it runs by default.

The report.csv verdicts and boxes of every qlo_batch way are checked to be
the plain loop's, and OUT_DIR's size is set beside the inputs' size.

    python -m bench end_to_end       (bash scripts/run_bench.sh end_to_end)

The files go under TMPDIR: choose a disk like the one a run writes to (a
sandbox's /tmp may create files ten times slower than its work disk).
"""
import csv
import os
import shutil
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

PAIRS = 1000
PRINTS = 200
DISTINCT = 40           # distinct board pairs, copied to make PAIRS files
ROUNDS = 2
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAIRS_SETTINGS = "max_shift = 1\nthreshold = 50\njudge_parameter = 1\nmin_radius = 2\nmin_pixels = 6\n"
PRINT_SETTINGS = "max_shift = 3\nthreshold = 50\njudge_parameter = 4\n"

PAIRS_SCRIPT = r"""
import csv, os, sys, cv2, numpy as np
pairs, out = sys.argv[1:3]
os.chdir(os.path.dirname(pairs))          # the pairs' paths are relative to their file
kernel = np.ones((3, 3), np.uint8)
with open(pairs, newline="") as f:
    rows = list(csv.reader(f))[1:]
with open(out, "w", newline="") as f:
    table = csv.writer(f)
    table.writerow(["target", "x1", "y1", "x2", "y2"])
    for standard, target in rows:
        a = cv2.imread(standard, cv2.IMREAD_GRAYSCALE)
        b = cv2.imread(target, cv2.IMREAD_GRAYSCALE)
        mask = cv2.threshold(cv2.absdiff(a, b), 50, 255, cv2.THRESH_BINARY)[1]
        mask = cv2.morphologyEx(mask, cv2.MORPH_OPEN, kernel)
        contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
        for contour in contours:
            x, y, w, h = cv2.boundingRect(contour)
            table.writerow([target, x, y, x + w, y + h])
"""

FOLDER_SCRIPT = r"""
import csv, os, sys, cv2, numpy as np
standard, folder, out = sys.argv[1:4]
os.makedirs(out, exist_ok=True)
reach, threshold, judge = 3, 50, 4
std = cv2.imread(standard, cv2.IMREAD_GRAYSCALE)
square = np.ones((2 * reach + 1, 2 * reach + 1), np.uint8)
lightest, darkest = cv2.dilate(std, square), cv2.erode(std, square)       # kept for every print
with open(os.path.join(out, "report.csv"), "w", newline="") as f:
    table = csv.writer(f)
    table.writerow(["file", "verdict", "boxes"])
    for name in sorted(os.listdir(folder)):
        image = cv2.imread(os.path.join(folder, name), cv2.IMREAD_GRAYSCALE)
        mask = cv2.bitwise_or(cv2.compare(cv2.subtract(image, lightest), threshold, cv2.CMP_GT),
                              cv2.compare(cv2.subtract(darkest, image), threshold, cv2.CMP_GT))
        contours, _ = cv2.findContours(mask, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
        boxes = [cv2.boundingRect(c) for c in contours if len(c) > judge]
        if boxes:
            marked = cv2.cvtColor(image, cv2.COLOR_GRAY2BGR)
            for x, y, w, h in boxes:
                cv2.rectangle(marked, (x, y), (x + w, y + h), (0, 0, 255), 3)
            cv2.imwrite(os.path.join(out, name + ".jpg"), marked, [cv2.IMWRITE_JPEG_QUALITY, 90])
        table.writerow([name, "NG" if boxes else "OK", boxes])
"""


def make_pairs(folder):
    """PAIRS board pairs as JPEG files and their pairs CSV."""
    from examples.labelled_samples import board_sample
    tiles = os.path.join(folder, "tiles")
    os.makedirs(tiles)
    for seed in range(DISTINCT):
        standard, target = board_sample(np.random.default_rng([seed, 31]), max_shift=2.0, thin=3, warp=1.5)[:2]
        cv2.imwrite(os.path.join(tiles, "%04d_std.jpg" % seed), standard, [cv2.IMWRITE_JPEG_QUALITY, 95])
        cv2.imwrite(os.path.join(tiles, "%04d_tgt.jpg" % seed), target, [cv2.IMWRITE_JPEG_QUALITY, 95])
    for index in range(DISTINCT, PAIRS):
        for side in ("std", "tgt"):
            shutil.copyfile(os.path.join(tiles, "%04d_%s.jpg" % (index % DISTINCT, side)),
                            os.path.join(tiles, "%04d_%s.jpg" % (index, side)))
    path = os.path.join(folder, "pairs.csv")
    with open(path, "w") as f:
        f.write("standard,target\n" + "".join("tiles/%04d_std.jpg,tiles/%04d_tgt.jpg\n" % (i, i)
                                              for i in range(PAIRS)))
    return path


def make_prints(folder):
    """The standard and PRINTS prints of 2448 x 2048: one in ten NG (a missing
    stroke, a smudge, a speck), the others misregistered with sensor noise."""
    from examples.print_pair import make_label, make_print_pair
    standard, ng, _defects = make_print_pair(shift=(1, 0))
    fast = [cv2.IMWRITE_PNG_COMPRESSION, 1]
    cv2.imwrite(os.path.join(folder, "standard.png"), standard, fast)
    prints = os.path.join(folder, "prints")
    os.makedirs(prints)
    label, rng = make_label(), np.random.default_rng(7)
    distinct = []
    for shift in ((0, 0), (1, 0), (2, 1), (-1, 2), (0, -2)):
        moved = cv2.warpAffine(label, np.float32([[1, 0, shift[0]], [0, 1, shift[1]]]), label.shape[::-1],
                               borderMode=cv2.BORDER_REPLICATE)
        distinct.append(np.clip(moved + rng.normal(0.0, 3.0, moved.shape), 0, 255).astype(np.uint8))
    for index in range(PRINTS):
        image = ng if index % 10 == 3 else distinct[index % len(distinct)]
        cv2.imwrite(os.path.join(prints, "print_%03d.png" % index), image, fast)
    return os.path.join(folder, "standard.png"), prints


def start_cluster(folder, workers=2, nanny=True, path=()):
    """A scheduler and `workers` single-threaded worker processes (each under
    a nanny, or alone) on the loopback interface, started in `folder`, with
    the folders `path` before the clone on their module path; (address,
    processes). stop_cluster stops them."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([ROOT, *path]))
    address_file = os.path.join(folder, "scheduler.json")
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, cwd=folder)
    started = [subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                 "--port", "0", "--no-dashboard", "--scheduler-file", address_file], **quiet)]
    deadline = time.monotonic() + 60
    while not os.path.exists(address_file) and time.monotonic() < deadline:
        time.sleep(0.1)
    for _ in range(workers):
        started.append(subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", "--nthreads", "1",
                                         "--host", "127.0.0.1", "--no-dashboard", "--scheduler-file",
                                         address_file] + ([] if nanny else ["--no-nanny"]), **quiet))
    try:
        from dask.distributed import Client
        with Client(scheduler_file=address_file, timeout=60) as client:
            client.wait_for_workers(workers, timeout=60)
            return client.scheduler.address, started
    except BaseException:
        stop_cluster(started)
        raise


def stop_cluster(processes):
    for process in reversed(processes):
        if process.poll() is None:
            process.terminate()
    for process in processes:
        try:
            process.wait(20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def timed(command):
    env = dict(os.environ, PYTHONPATH=ROOT)
    start = time.perf_counter()
    subprocess.run(command, check=True, capture_output=True, text=True, timeout=1800, env=env, cwd=ROOT)
    return time.perf_counter() - start


def size(path):
    return sum(os.path.getsize(os.path.join(folder, name)) for folder, _, names in os.walk(path) for name in names)


def rows(out):
    with open(os.path.join(out, "report.csv"), newline="") as f:
        return [(row["file"], row["verdict"], row["boxes"]) for row in csv.DictReader(f)]


def compare_ways(title, count, ways, checked, inputs):
    """Runs each way ROUNDS times in turn; prints the best wall times and the
    ratios asked for. `ways` maps a name to (command, OUT_DIR or None)."""
    walls = {name: [] for name in ways}
    for _ in range(ROUNDS):
        for name, (command, out) in ways.items():
            if out:
                shutil.rmtree(out, ignore_errors=True)
            walls[name].append(timed(command))
    best = {name: min(times) for name, times in walls.items()}
    same = {name: rows(ways[name][1]) == rows(ways["serial"][1]) for name in checked}
    print("%s: %d, %d rounds, wall s best (range), files per second" % (title, count, ROUNDS))
    for name in ways:
        print("  %-8s %7.2f (%6.2f..%6.2f) %8.1f/s%s" % (name, best[name], min(walls[name]), max(walls[name]),
                                                        count / best[name],
                                                        "  same rows as serial: %s" % same[name]
                                                        if name in same else ""))
    out = ways["serial"][1]
    print("  OUT_DIR of the serial run %.1f MB for %.1f MB of inputs: %.2fx" % (size(out) / 1e6, inputs / 1e6,
                                                                              size(out) / inputs))
    return best


def main():
    if shutil.which("dask") is None and not os.path.exists(os.path.join(os.path.dirname(sys.executable), "dask")):
        print("end_to_end: Dask's distributed package is needed")
        return
    folder = tempfile.mkdtemp(prefix="qlo_end_to_end_")
    processes = []
    try:
        pairs = make_pairs(folder)
        standard, prints = make_prints(folder)
        for name, text in (("pairs.toml", PAIRS_SETTINGS), ("prints.toml", PRINT_SETTINGS)):
            with open(os.path.join(folder, name), "w") as f:
                f.write(text)
        address, processes = start_cluster(folder)
        tool = [sys.executable, "-m", "qlo_batch", "--no-progress"]

        def run(name, *args):
            out = os.path.join(folder, name)
            return [*tool, *args[:-1], out, *args[-1]], out
        pair_args = ("--pairs", pairs, "--settings", os.path.join(folder, "pairs.toml"))
        best = compare_ways("pairs mode, 640 x 640 board tiles", PAIRS, {
            "script": ([sys.executable, "-c", PAIRS_SCRIPT, pairs, os.path.join(folder, "script.csv")], None),
            "serial": run("p_serial", *pair_args, ["--serial"]),
            "auto": run("p_auto", *pair_args, []),
            "cluster": run("p_cluster", *pair_args, ["--scheduler", address]),
        }, ("auto", "cluster"), size(os.path.join(folder, "tiles")))
        print("  against the script: serial %.2fx, auto %.2fx, cluster %.2fx; cluster against serial %.2fx"
              % tuple([best["script"] / best[way] for way in ("serial", "auto", "cluster")]
                      + [best["serial"] / best["cluster"]]))
        print_args = ("--settings", os.path.join(folder, "prints.toml"), standard, prints)
        best = compare_ways("folder mode, 2448 x 2048 prints, a tenth NG", PRINTS, {
            "script": ([sys.executable, "-c", FOLDER_SCRIPT, standard, prints, os.path.join(folder, "f_script")],
                       os.path.join(folder, "f_script")),
            "serial": run("f_serial", *print_args, ["--serial"]),
            "auto": run("f_auto", *print_args, []),
            "cluster": run("f_cluster", *print_args, ["--scheduler", address]),
        }, ("auto", "cluster"), size(prints) + os.path.getsize(standard))
        print("  against the script: serial %.2fx, auto %.2fx, cluster %.2fx; cluster against serial %.2fx"
              % tuple([best["script"] / best[way] for way in ("serial", "auto", "cluster")]
                      + [best["serial"] / best["cluster"]]))
    finally:
        stop_cluster(processes)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
