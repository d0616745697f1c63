#!/usr/bin/env bash
# Set up, then run the fast tier of the test suite (about a minute): every test
# not marked `hardening`. `--all` runs both tiers; `-m hardening` only the slow
# one (interpreters, subprocesses, Dask clusters, the leak and fuzz runs).
# Other arguments go to pytest; paths are taken from the caller's folder.
set -euo pipefail
source "$(dirname "$0")/common.sh"
set_up
tier=(-m "not hardening")
args=()
for arg in "$@"; do
    if [ "$arg" = --all ]; then tier=(); else args+=("$arg"); fi
done
pytest_args ${args[@]+"${args[@]}"}
cd "$ROOT"
# -rs: each skipped test says why (a developers' tool missing, say).
exec "$VENV/bin/python" -m pytest -q -rs ${tier[@]+"${tier[@]}"} ${PYTEST_ARGS[@]+"${PYTEST_ARGS[@]}"}
