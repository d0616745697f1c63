#!/usr/bin/env bash
# Batch inspection of a folder of prints, or of standard,target pairs, with a report:
#   bash scripts/run_batch.sh STANDARD TARGET_DIR OUT_DIR [--scheduler ADDR] [--settings FILE]
#   bash scripts/run_batch.sh --pairs PAIRS_CSV OUT_DIR [--scheduler ADDR] [--settings FILE]
# (further options: python -m qlo_batch --help). Sets up .venv first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >&2
exec .venv/bin/python -m qlo_batch "$@"
