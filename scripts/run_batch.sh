#!/usr/bin/env bash
# Batch inspection of a folder of prints, or of a CSV of standard,target pairs, with a report:
#   bash scripts/run_batch.sh STANDARD TARGET_DIR OUT_DIR [--scheduler ADDR] [--settings FILE]
#   bash scripts/run_batch.sh --pairs PAIRS_CSV OUT_DIR [--settings FILE] [--scheduler ADDR]
# (further options: python -m qlo_batch --help). Sets up .venv first.
set -euo pipefail
source "$(dirname "$0")/common.sh"
set_up
exec "$VENV/bin/python" -m qlo_batch "$@"
