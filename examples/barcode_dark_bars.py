"""A barcode label printed the usual way, dark bars on a light label, inspected
with shift_compare_barcode, which looks for bright bars on a dark label: both
prints are inverted first (255 - image), which leaves the differences the
comparison finds where they are and only swaps their kind (a missing piece of
a dark bar becomes a dark spot of the inverted print).

The area of interest is a corner box (x1, y1, x2, y2) in image pixels, and
the bars run across it, stacked from top to bottom, each a blob of 1 500 to
120 000 square pixels and 600 to 2 000 pixels of outline. The function prints
the angle it measured on each print ("STD Degree", "TGT Degree"), the match
score of the alignment, and a line for every blob it does not take for a bar;
on NG it writes the marked crop "shift_compare_barcode.jpg" into the current
folder, so the inspection runs inside OUT_DIR.

Run alone: python examples/barcode_dark_bars.py [OUT_DIR] (default "out").
"""
import contextlib
import os
import sys

import qlo_cv
from barcode_job import AOI, DIRTY_WIDTH, MAX_SHIFT, SHIFT, THRESHOLD, TURN, make_barcode


def dark_bars(**options):
    """A generated label with dark bars on a light ground (the bright-bar print inverted)."""
    return 255 - make_barcode(**options)


def inspect_dark_bars(out_dir):
    """Inspects a dark-bar target with a broken bar against its standard, as
    given and then inverted; returns the result of the inverted pair."""
    standard, target = dark_bars(), dark_bars(turn=TURN, shift=SHIFT, broken=True)
    with contextlib.chdir(out_dir):
        try:
            qlo_cv.shift_compare_barcode(standard, target, AOI, MAX_SHIFT, THRESHOLD, DIRTY_WIDTH)
        except IndexError:
            # The light label is then the one bright blob of the area, too large for a bar: no bar is found.
            print("dark bars as printed: no bar found (the function looks for bright bars)")
        result = qlo_cv.shift_compare_barcode(255 - standard, 255 - target, AOI, MAX_SHIFT, THRESHOLD, DIRTY_WIDTH)
    print("dark bars inverted: %s (%d NG region%s)" % ("OK" if result.ok else "NG", result.ng_count,
                                                        "" if result.ng_count == 1 else "s"))
    for description in result.descriptions:
        print("  " + description)
    return result


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "out"
    os.makedirs(out, exist_ok=True)
    inspect_dark_bars(out)
