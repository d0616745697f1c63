#!/usr/bin/env bash
# Set up, then run the benchmarks (qlo_cv against direct OpenCV/NumPy baselines).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python -m bench "$@"
