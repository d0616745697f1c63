#!/usr/bin/env bash
# A long fuzzing run: hostile calls to every public callable of qlo_cv, each
# batch in a child process; prints every call that crashed, hung or blew up
# its memory. Usage: scripts/run_fuzz.sh [COUNT] [SEED] (default 1000000 calls).
set -euo pipefail
echo "run_fuzz: ${1:-1000000} hostile calls to every callable of qlo_cv, in child processes" \
     "(about 17 minutes per million calls on two cores)" >&2
source "$(dirname "$0")/common.sh"
set_up
cd "$ROOT"
"$VENV/bin/python" tests/fuzz_harness.py --count "${1:-1000000}" --seed "${2:-$RANDOM}"
