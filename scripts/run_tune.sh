#!/usr/bin/env bash
# Searches the settings that find the labelled defects of TRAINING pairs best:
#   bash scripts/run_tune.sh PAIRS_CSV LABELS_CSV SETTINGS_OUT [--scheduler ADDR] [--budget N]
# writes SETTINGS_OUT for run_batch.sh --settings (python -m qlo_batch.tune --help).
# Keep the pairs you evaluate on out of PAIRS_CSV. Sets up .venv first.
set -euo pipefail
source "$(dirname "$0")/common.sh"
set_up
exec "$VENV/bin/python" -m qlo_batch.tune "$@"
