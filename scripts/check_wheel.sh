#!/usr/bin/env bash
# Packaging check: `pip wheel .` builds the wheel, which is installed into a
# fresh Python 3.12 environment with only its runtime requirements; a smoke
# test there imports qlo_cv, checks the stub shipped beside it, runs an
# inspection, and runs the batch tool in its plain loop without the extras.
set -euo pipefail
echo "check_wheel: builds the wheel from scratch, installs it into a fresh environment and runs a smoke test there" \
     "(about 5 minutes on two cores, most of it the build)" >&2
source "$(dirname "$0")/common.sh"
set_up
cd "$ROOT"
rm -rf dist
"$VENV/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w dist .
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$("$VENV/bin/python" -c 'import sys; print(sys._base_executable)')" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check dist/qlo_cv-*.whl
cp scripts/wheel_smoke.py "$work/"
cd "$work" && "$work/venv/bin/python" wheel_smoke.py
