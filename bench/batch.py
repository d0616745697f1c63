"""The batch run end to end on 100 generated 2448 x 2048 prints (one in five
NG), each way in a fresh Python process so that its CPU time counts everything
it costs (start, imports, Dask's processes, decoding, comparing, writing the
report), measured from the parent with getrusage of its children:

- today: the per-print steps the batch tool took before the present one (a
  copy below: grey decoding, compare, the marked PNG at OpenCV's default
  compression, thumbnail), on a local cluster of two workers as it always
  started one;
- auto: the tool as it runs by default (a local cluster only when the batch
  repays it);
- serial, dask and threads: the tool forced into the plain loop, onto two
  local worker processes and onto two local worker threads;
- cluster: starting a local cluster of two workers, one trivial task, closing
  it: the fixed cost that decides the break-even.

Rounds alternate the ways; the best and the range over rounds are printed, and
the report.csv verdicts and boxes of every way are checked against today's."""
import csv
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np

COUNT = 100
ROUNDS = 3
WORKERS = 2
WAYS = ("today", "auto", "serial", "dask", "threads", "cluster")
PNG_FAST = [cv2.IMWRITE_PNG_COMPRESSION, 1]


def settings():
    from qlo_batch import Settings
    return Settings(max_shift=3, threshold=50, judge_parameter=4)


def make_archive(folder):
    """The standard and COUNT prints: copies of ten distinct ones, two of them
    NG (misregistered with a missing stroke, a smudge and a speck), eight OK
    (misregistered, with sensor noise)."""
    from examples.print_pair import make_label, make_print_pair
    standard, _target, _defects = make_print_pair()
    cv2.imwrite(os.path.join(folder, "standard.png"), standard, PNG_FAST)
    prints = os.path.join(folder, "prints")
    os.makedirs(prints)
    rng = np.random.default_rng(11)
    label = make_label()
    distinct = [make_print_pair(shift=shift)[1] for shift in ((1, 0), (-1, 2))]
    for shift in ((0, 0), (1, 0), (2, 1), (-1, 2), (0, -2), (-2, -1), (1, 1), (0, 2)):
        m = np.float32([[1, 0, shift[0]], [0, 1, shift[1]]])
        ok = cv2.warpAffine(label, m, label.shape[::-1], borderMode=cv2.BORDER_REPLICATE)
        distinct.append(np.clip(ok + rng.normal(0.0, 3.0, ok.shape), 0, 255).astype(np.uint8))
    order = [0, 2, 3, 4, 5, 1, 6, 7, 8, 9]          # NG prints spread over the batch
    for i in range(COUNT):
        name = os.path.join(prints, "print_%03d.png" % i)
        if i < len(order):
            cv2.imwrite(name, distinct[order[i]], PNG_FAST)
        else:
            shutil.copyfile(os.path.join(prints, "print_%03d.png" % (i % len(order))), name)
    return os.path.join(folder, "standard.png"), prints


class TodayInspector:
    """The per-print steps of the batch tool before pairs mode and defects."""

    def __init__(self, standard, settings):
        from qlo_batch.work_unit import read_grey
        self.settings = settings
        self.comparator = settings.comparator(read_grey(standard))

    def __call__(self, task):
        import qlo_cv
        from qlo_batch.work_unit import Outcome, encode, read_grey, thumbnail
        start = time.perf_counter()
        try:
            image = read_grey(task.target)
            if image.shape != self.comparator.std_threshold.shape:
                raise ValueError("image is %d x %d" % (image.shape[1], image.shape[0]))
            result = qlo_cv.CompareResult(image)
            self.comparator.compare(image, result)
            outcome = Outcome(task.file, "NG" if result.ng else "OK",
                              [list(region.rect) for region in result.ng_regions], result.descriptions,
                              time.perf_counter() - start, width=image.shape[1], height=image.shape[0],
                              target=task.target, standard=task.standard)
            if result.ng:
                marked = result.marked_image()
                outcome.marked, outcome.marked_suffix = encode(".png", marked), ".png"
                outcome.thumbnail_jpg = encode(".jpg", thumbnail(marked, outcome.boxes),
                                               (cv2.IMWRITE_JPEG_QUALITY, 85))
            return outcome
        except Exception as error:
            return Outcome.failed(task, "%s: %s" % (type(error).__name__, error), time.perf_counter() - start)


def run_way(way, standard, prints, out):
    """Runs one way in this process; prints its wall seconds."""
    from qlo_batch import run_batch
    from qlo_batch.pipeline import dask_client, run_tasks
    from qlo_batch.work_unit import folder_task, list_images
    start = time.perf_counter()
    if way == "cluster":
        with dask_client(None, WORKERS) as client:
            client.submit(sum, [1, 2]).result()
    elif way == "today":
        tasks = [folder_task(standard, path) for path in list_images(prints)]
        run_tasks(TodayInspector(standard, settings()), tasks, out, workers=WORKERS, serial=False, progress=False)
    else:
        run_batch(standard, prints, out, settings(), workers=WORKERS, progress=False, processes=way != "threads",
                  serial={"auto": None, "serial": True, "dask": False, "threads": False}[way])
    print(json.dumps({"wall": time.perf_counter() - start}))


def child_run(way, standard, prints, out):
    """(CPU seconds, wall seconds) of one way in a child process."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    done = subprocess.run([sys.executable, "-m", "bench.batch", way, standard, prints, out], check=True,
                          capture_output=True, text=True, timeout=1200)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
    return cpu, json.loads(done.stdout.strip().splitlines()[-1])["wall"]


def verdicts(out):
    with open(os.path.join(out, "report.csv"), newline="") as f:
        return [(row["file"], row["verdict"], row["boxes"]) for row in csv.DictReader(f)]


def main():
    folder = tempfile.mkdtemp(prefix="qlo_batch_bench_")
    try:
        print("batch: generating %d prints of 2448 x 2048 ..." % COUNT)
        standard, prints = make_archive(folder)
        times = {way: [] for way in WAYS}
        for _round in range(ROUNDS):
            for way in WAYS:
                out = os.path.join(folder, way)
                shutil.rmtree(out, ignore_errors=True)
                times[way].append(child_run(way, standard, prints, out))
                print("  round %d %-8s CPU %6.2f s  wall %6.2f s" % (_round + 1, way, *times[way][-1]), flush=True)
        expected = verdicts(os.path.join(folder, "today"))
        ng = sum(verdict == "NG" for _, verdict, _ in expected)
        print("batch: %d prints (%d NG), %d rounds; CPU includes the process's start and all its children"
              % (len(expected), ng, ROUNDS))
        print("  %-8s %21s %17s %12s  %s" % ("way", "CPU ms/print", "wall s", "CPU vs today", "same verdicts"))
        today_cpu = min(cpu for cpu, _ in times["today"])
        for way in WAYS:
            cpus, walls = [c for c, _ in times[way]], [w for _, w in times[way]]
            same = "" if way == "cluster" else verdicts(os.path.join(folder, way)) == expected
            print("  %-8s %6.1f (%6.1f..%6.1f) %5.2f (%5.2f..%5.2f) %11.2fx  %s"
                  % (way, 1e3 * min(cpus) / COUNT, 1e3 * min(cpus) / COUNT, 1e3 * max(cpus) / COUNT, min(walls),
                     min(walls), max(walls), min(cpus) / today_cpu, same))
        serial_wall = min(w for _, w in times["serial"])
        dask_wall = min(w for _, w in times["dask"])
        start_wall = min(w for _, w in times["cluster"])
        per_print = serial_wall / COUNT
        print("  dask on %d workers against the loop (wall, cluster start included): processes x%.2f, threads x%.2f"
              % (WORKERS, serial_wall / dask_wall, serial_wall / min(w for _, w in times["threads"])))
        # The cluster's time for the prints once started gives its speed-up over the loop.
        speedup = serial_wall / max(1e-9, dask_wall - start_wall)
        break_even = start_wall / (per_print * (1 - 1 / speedup)) if speedup > 1 else float("inf")
        print("  process cluster start %.2f s wall, %.2f s CPU; loop %.1f ms/print; the started cluster x%.2f: "
              "it repays its start beyond about %.0f prints of this size (%.1f s of loop work)"
              % (start_wall, min(c for c, _ in times["cluster"]), 1e3 * per_print, speedup, break_even,
                 break_even * per_print))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) == 5:
        run_way(*sys.argv[1:])
    else:
        main()
