#!/usr/bin/env bash
# Searches the settings that find the labelled defects of TRAINING pairs best:
#   bash scripts/run_tune.sh PAIRS_CSV LABELS_CSV SETTINGS_OUT [--scheduler ADDR] [--budget N]
# writes SETTINGS_OUT for run_batch.sh --settings (python -m qlo_batch.tune --help).
# Keep the pairs you evaluate on out of PAIRS_CSV. Sets up .venv first.
set -euo pipefail
# Paths are taken from the caller's folder, so the command stays there.
ROOT=$(cd "$(dirname "$0")/.." && pwd)
VENV=$(cd "$ROOT" && realpath -m "${QLO_VENV:-.venv}")
bash "$ROOT/scripts/setup.sh" >&2
exec "$VENV/bin/python" -m qlo_batch.tune "$@"
