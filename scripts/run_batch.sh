#!/usr/bin/env bash
# Batch inspection of a folder of prints, or of a CSV of standard,target pairs, with a report:
#   bash scripts/run_batch.sh STANDARD TARGET_DIR OUT_DIR [--scheduler ADDR] [--settings FILE]
#   bash scripts/run_batch.sh --pairs PAIRS_CSV OUT_DIR [--settings FILE] [--scheduler ADDR]
# (further options: python -m qlo_batch --help). Sets up .venv first.
set -euo pipefail
# Paths are taken from the caller's folder, so the command stays there.
ROOT=$(cd "$(dirname "$0")/.." && pwd)
VENV=$(cd "$ROOT" && realpath -m "${QLO_VENV:-.venv}")
bash "$ROOT/scripts/setup.sh" >&2
exec "$VENV/bin/python" -m qlo_batch "$@"
