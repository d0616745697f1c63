#!/usr/bin/env bash
# Set up, then run the benchmarks (qlo_cv against direct OpenCV/NumPy baselines).
set -euo pipefail
source "$(dirname "$0")/common.sh"
set_up
cd "$ROOT"
"$VENV/bin/python" -m bench "$@"
