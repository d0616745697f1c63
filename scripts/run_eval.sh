#!/usr/bin/env bash
# Scores a pairs run against labelled defect boxes:
#   bash scripts/run_eval.sh OUT_DIR LABELS_CSV [--iou 0.33] [--pairs PAIRS_CSV]
# prints the table and writes OUT_DIR/evaluation.json and OUT_DIR/evaluation.html
# (python -m qlo_batch.evaluate --help). Sets up .venv first.
set -euo pipefail
# Paths are taken from the caller's folder, so the command stays there.
ROOT=$(cd "$(dirname "$0")/.." && pwd)
VENV=$(cd "$ROOT" && realpath -m "${QLO_VENV:-.venv}")
bash "$ROOT/scripts/setup.sh" >&2
exec "$VENV/bin/python" -m qlo_batch.evaluate "$@"
