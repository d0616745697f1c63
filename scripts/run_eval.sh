#!/usr/bin/env bash
# Scores a pairs run against labelled defect boxes:
#   bash scripts/run_eval.sh OUT_DIR LABELS_CSV [--iou 0.33] [--pairs PAIRS_CSV]
# prints the table and writes OUT_DIR/evaluation.json and OUT_DIR/evaluation.html
# (python -m qlo_batch.evaluate --help). Sets up .venv first.
set -euo pipefail
source "$(dirname "$0")/common.sh"
set_up
exec "$VENV/bin/python" -m qlo_batch.evaluate "$@"
