"""Runs every benchmark: python -m bench [name ...]"""
import sys

from bench import (barcode, batch, binary_swap, compile_time, contour, defects, measure, registration,
                   shift_comparator, tuning)

BENCHES = {"shift_comparator": shift_comparator.main, "contour": contour.main, "barcode": barcode.main,
           "binary_swap": binary_swap.main, "measure": measure.main, "batch": batch.main,
           "defects": defects.main, "tuning": tuning.main, "registration": lambda: registration.main([]),
           "compile_time": compile_time.main}


def main(argv):
    names = argv or list(BENCHES)
    for name in names:
        if name not in BENCHES:
            print("unknown bench %r; known: %s" % (name, ", ".join(BENCHES)))
            return 2
        BENCHES[name]()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
