#!/usr/bin/env bash
# Set up, then run the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python -m pytest -q tests "$@"
