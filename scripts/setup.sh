#!/usr/bin/env bash
# Creates the project's virtual environment (.venv) with Python 3.12, installs
# the runtime, build and test requirements and the batch tool's extras (Dask,
# tqdm, and cryptography for the local cluster's TLS), and builds and installs qlo_cv.
# Safe to run again: it reuses the environment and rebuilds incrementally.
# QLO_VENV names another environment; arguments go to the module's `pip install`.
set -euo pipefail
cd "$(dirname "$0")/.."

find_python() {
    local candidate
    for candidate in python3.12 /usr/bin/python3.12 /usr/local/bin/python3.12 \
                     "$HOME"/.pyenv/versions/3.12*/bin/python3.12 /root/.pyenv/versions/3.12*/bin/python3.12; do
        if "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1; then
            command -v "$candidate" || echo "$candidate"
            return 0
        fi
    done
    if PYENV_VERSION=3.12 python3.12 -c 'import sys' >/dev/null 2>&1; then
        PYENV_VERSION=3.12 python3.12 -c 'import sys; print(sys.executable)'
        return 0
    fi
    echo "Python 3.12 not found" >&2
    return 1
}

VENV=${QLO_VENV:-.venv}
if [ ! -x "$VENV/bin/python" ]; then
    "$(find_python)" -m venv "$VENV"
fi
PY=$VENV/bin/python
$PY -m pip install -q --disable-pip-version-check \
    'numpy>=2,<3' 'opencv-python-headless>=4.8,<5' scipy openpyxl \
    'scikit-build-core>=0.10' 'pybind11>=2.12' cmake ninja pytest 'dask[distributed]' tqdm cryptography mypy basedpyright
$PY -m pip install -q --disable-pip-version-check --no-build-isolation "$@" .
