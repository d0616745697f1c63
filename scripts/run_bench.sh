#!/usr/bin/env bash
# Set up, then run the benchmarks (qlo_cv against direct OpenCV/NumPy baselines).
set -euo pipefail
echo "run_bench: times qlo_cv against the same work written with OpenCV/NumPy calls" \
     "(${*:-every benchmark}: several minutes; the batch benchmark alone inspects 100 prints seven ways)" >&2
source "$(dirname "$0")/common.sh"
set_up
cd "$ROOT"
"$VENV/bin/python" -m bench "$@"
