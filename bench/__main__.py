"""Runs the benchmarks and stores their figures in bench/results/:
    python -m bench [--no-save] [name ...]     (scripts/run_bench.sh from any folder)
    python -m bench compare RUN_A.json RUN_B.json
"""
import sys

from bench import (barcode, batch, binary_swap, compile_time, contour, defects, end_to_end, measure, pictures,
                   record, registration, report, shift_comparator, tuner_quality, tuning, watch)

BENCHES = {"shift_comparator": shift_comparator.main, "contour": contour.main, "barcode": barcode.main,
           "binary_swap": binary_swap.main, "measure": measure.main, "batch": batch.main,
           "defects": defects.main, "defect_layer": defects.layer_main, "end_to_end": end_to_end.main,
           "pictures": pictures.main, "report": report.main, "tuning": tuning.main,
           "tuner_quality": tuner_quality.main, "registration": registration.main, "compile_time": compile_time.main,
           "watch": watch.main}


def main(argv):
    if argv[:1] == ["compare"]:
        if len(argv) != 3:
            print("usage: python -m bench compare RUN_A.json RUN_B.json")
            return 2
        print("\n".join(record.compare(argv[1], argv[2])))
        return 0
    keep = "--no-save" not in argv
    names = [a for a in argv if a != "--no-save"] or list(BENCHES)
    unknown = [n for n in names if n not in BENCHES]
    if unknown:
        print("unknown bench %r; known: %s" % (unknown[0], ", ".join(BENCHES)))
        return 2
    printed = record.run_and_keep(BENCHES, names)
    if keep:
        print("figures stored in %s" % record.save(printed))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
