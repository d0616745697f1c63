"""Demonstration inspection: a printed label against its reference print.

Loads examples/data/standard.png and examples/data/target.png when both exist,
otherwise makes a 2448 x 2048 grey print pair whose target is misregistered by
(2, 1) pixels and carries a missing stroke, a smudge and a speck. Both images
go through image chains, a ShiftComparator tolerating 3 pixels of
misregistration compares them, the verdict and the defect descriptions are
printed, and the marked image is written to <out>/marked.png
(out = argv[1], default "out"). Then the inspection-regions step
(examples/masked_regions.py) and a barcode print inspection
(examples/barcode_job.py, writing its NG crop into <out>) run, and a
simulated robot cell guides parts to a target pose (examples/robot_guidance.py).
Last, defect-level inspection (examples/defect_job.py): a generated labelled
set is split, the settings are tuned on its training part, the held-out part
is inspected in pairs mode and the defects found are scored against the labels.
"""
import os
import sys
import time

import cv2

import qlo_cv
import masked_regions
from measure_part import measure_demo
from print_pair import make_print_pair
from barcode_job import run_barcode_inspection
from robot_guidance import demonstrate_robot_guidance
from defect_job import run_defect_job

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
MAX_SHIFT = 3            # pixels of misregistration tolerated
THRESHOLD = 50           # grey levels a defect must differ by
MIN_DEFECT = 4           # pixels: shorter blobs (after the tolerance) pass


def image_chains():
    """The standard and target image chains, from files when present."""
    files = [os.path.join(DATA, name) for name in ("standard.png", "target.png")]
    if all(os.path.exists(path) for path in files):
        print("images: %s" % ", ".join(files))
        return [qlo_cv.ImageFromFile(path, cv2.IMREAD_GRAYSCALE) for path in files]
    standard, target, defects = make_print_pair(shift=(2, 1))
    print("images: generated %d x %d print pair; defects put in: %s"
          % (standard.shape[1], standard.shape[0], ", ".join("%s at %s" % d for d in defects)))
    return [qlo_cv.ImageFromNDArray(standard), qlo_cv.ImageFromNDArray(target)]


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else "out"
    os.makedirs(out_dir, exist_ok=True)
    standard, target = image_chains()

    start = time.perf_counter()
    comparator = qlo_cv.ShiftComparator(standard.image, MAX_SHIFT, THRESHOLD, MIN_DEFECT)
    result = qlo_cv.CompareResult(target.image)
    comparator.compare(target.image, result)
    elapsed = (time.perf_counter() - start) * 1000.0

    print("verdict: %s (%d NG region%s, %.0f ms)"
          % ("OK" if result.ok else "NG", result.ng_count, "" if result.ng_count == 1 else "s", elapsed))
    for description in result.descriptions:
        print("  " + description)
    marked = os.path.join(out_dir, "marked.png")
    if not cv2.imwrite(marked, result.marked_image()):
        raise OSError("could not write %s" % marked)
    print("marked image: %s" % marked)
    masked_regions.main_step(standard.image, target.image, result, out_dir)
    measure_demo()
    run_barcode_inspection(out_dir)
    demonstrate_robot_guidance()
    run_defect_job(out_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
