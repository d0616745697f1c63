#!/usr/bin/env bash
# The main job: set up, then run the demonstration inspection.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/main_job.py "$@"
