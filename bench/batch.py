"""The batch pipeline on 200 generated 2448 x 2048 prints: a local Dask cluster
of two single-threaded worker processes against the plain loop in one process,
both writing the full report. Prints images per second for each (the Dask
figure includes starting the cluster) and their ratio."""
import os
import shutil
import tempfile
import time

import cv2
import numpy as np

from examples.print_pair import make_label, make_print_pair
from qlo_batch import Settings, run_batch

COUNT = 200
WORKERS = 2
SETTINGS = Settings(max_shift=3, threshold=50, judge_parameter=4)


def variants():
    """Ten distinct prints: five misregistered NG prints with defects, five OK ones."""
    out = []
    rng = np.random.default_rng(11)
    label = make_label()
    for shift in ((0, 0), (1, 0), (2, 1), (-1, 2), (0, -2)):
        _standard, target, _defects = make_print_pair(shift=shift)
        out.append(target)
        m = np.float32([[1, 0, shift[0]], [0, 1, shift[1]]])
        ok = cv2.warpAffine(label, m, label.shape[::-1], borderMode=cv2.BORDER_REPLICATE)
        out.append(np.clip(ok + rng.normal(0.0, 3.0, ok.shape), 0, 255).astype(np.uint8))
    return out


def make_archive(folder):
    standard, _target, _defects = make_print_pair()
    cv2.imwrite(os.path.join(folder, "standard.png"), standard, [cv2.IMWRITE_PNG_COMPRESSION, 1])
    prints = os.path.join(folder, "prints")
    os.makedirs(prints)
    for i, image in enumerate(variants()):
        cv2.imwrite(os.path.join(prints, "print_%03d.png" % i), image, [cv2.IMWRITE_PNG_COMPRESSION, 1])
    distinct = len(os.listdir(prints))
    for i in range(distinct, COUNT):       # further files: copies of the distinct prints
        shutil.copyfile(os.path.join(prints, "print_%03d.png" % (i % distinct)),
                        os.path.join(prints, "print_%03d.png" % i))
    return os.path.join(folder, "standard.png"), prints


def timed(**kwargs):
    start = time.perf_counter()
    rows = run_batch(settings=SETTINGS, progress=False, **kwargs)
    return time.perf_counter() - start, rows


def main():
    folder = tempfile.mkdtemp(prefix="qlo_batch_bench_")
    try:
        print("batch: generating %d prints of 2448 x 2048 ..." % COUNT)
        standard, prints = make_archive(folder)
        common = dict(standard=standard, target_dir=prints)
        serial_time, serial_rows = timed(out_dir=os.path.join(folder, "serial"), serial=True, **common)
        dask_time, dask_rows = timed(out_dir=os.path.join(folder, "dask"), workers=WORKERS, **common)
        same = [(r["file"], r["verdict"], r["boxes"]) for r in serial_rows] == \
               [(r["file"], r["verdict"], r["boxes"]) for r in dask_rows]
        ng = sum(r["verdict"] == "NG" for r in serial_rows)
        print("batch: %d prints (%d NG), verdicts and regions identical: %s" % (len(serial_rows), ng, same))
        print("  serial loop        %7.1f s  %6.2f images/s" % (serial_time, COUNT / serial_time))
        print("  dask, %d workers    %7.1f s  %6.2f images/s  (x%.2f)"
              % (WORKERS, dask_time, COUNT / dask_time, serial_time / dask_time))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
