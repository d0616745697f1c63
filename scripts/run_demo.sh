#!/usr/bin/env bash
# The main job: set up, then run the demonstration inspection:
#   bash scripts/run_demo.sh [OUT_DIR]     (default: out, in the caller's folder)
set -euo pipefail
source "$(dirname "$0")/common.sh"
set_up
exec "$VENV/bin/python" "$ROOT/examples/main_job.py" "$@"
