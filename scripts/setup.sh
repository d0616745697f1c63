#!/usr/bin/env bash
# Creates the project's virtual environment (.venv) with Python 3.12, installs
# the runtime, build and test requirements and the batch tool's extras (Dask,
# tqdm, and cryptography for the local cluster's TLS), and builds and installs
# qlo_cv. QLO_DEV=1 adds the developers' tools (the linter and the type
# checkers, which CI runs; they would double the environment's size).
# Quick when nothing changed: stamps in the environment record the requirements
# and interpreter last installed, and the sources last built (src/,
# CMakeLists.txt, pyproject.toml, qlo_batch/, this script and the build
# arguments); a step runs again only when its stamp differs. The build shows
# the compiler's progress lines and keeps its whole log in the environment.
# QLO_VENV names another environment; arguments go to the module's `pip install`;
# QLO_SETUP=force redoes both steps.
set -euo pipefail
cd "$(dirname "$0")/.."

REQUIREMENTS=('numpy>=2,<3' 'opencv-python-headless>=4.8,<5' scipy openpyxl
              'scikit-build-core>=0.10' 'pybind11>=2.12' cmake ninja pytest
              'dask[distributed]' tqdm cryptography)
DEV_REQUIREMENTS=('ruff>=0.8,<1' mypy basedpyright)
# What the build reads besides its arguments.
BUILD_INPUTS=(src qlo_batch CMakeLists.txt pyproject.toml scripts/setup.sh)

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

digest() {
    sha256sum | cut -c1-64
}

# The contents of every file the build reads (caches and editor droppings aside).
sources_digest() {
    find "${BUILD_INPUTS[@]}" -type f ! -path '*/__pycache__/*' ! -name '*.pyc' ! -name '*~' -print0 \
        | sort -z | xargs -0 sha256sum | digest
}

VENV=${QLO_VENV:-.venv}
if [ ! -x "$VENV/bin/python" ]; then
    echo "setup: creating $VENV" >&2
    "$(find_python)" -m venv "$VENV"
fi
PY=$VENV/bin/python
REQUIREMENTS_STAMP=$VENV/.qlo-requirements.stamp
DEV_STAMP=$VENV/.qlo-dev.stamp
BUILD_STAMP=$VENV/.qlo-build.stamp
BUILD_LOG=$VENV/qlo-build.log

stale() {   # stale STAMP_FILE VALUE: whether the stamp file does not hold VALUE
    [ "${QLO_SETUP:-}" = force ] || [ "$(cat "$1" 2>/dev/null)" != "$2" ]
}

requirements=$({ printf '%s\n' "${REQUIREMENTS[@]}"; "$PY" -c 'import sys; print(sys.version)'; } | digest)
if stale "$REQUIREMENTS_STAMP" "$requirements"; then
    echo "setup: installing the requirements into $VENV (the first time: a few minutes, about 0.55 GB)" >&2
    rm -f "$REQUIREMENTS_STAMP" "$BUILD_STAMP"
    "$PY" -m pip install -q --disable-pip-version-check "${REQUIREMENTS[@]}"
    echo "$requirements" > "$REQUIREMENTS_STAMP"
fi

# The developers' tools have a stamp of their own: adding them rebuilds nothing.
if [ "${QLO_DEV:-0}" = 1 ]; then
    dev=$({ echo "$requirements"; printf '%s\n' "${DEV_REQUIREMENTS[@]}"; } | digest)
    if stale "$DEV_STAMP" "$dev"; then
        echo "setup: installing the developers' tools (ruff, mypy, basedpyright) into $VENV" \
             "(the first time: about a minute, 0.4 GB)" >&2
        rm -f "$DEV_STAMP"
        "$PY" -m pip install -q --disable-pip-version-check "${DEV_REQUIREMENTS[@]}"
        echo "$dev" > "$DEV_STAMP"
    fi
fi

# A removed package counts as stale whatever the stamp says (-I: not the checkout's qlo_batch).
installed() {
    "$PY" -I -c 'import importlib.util as u, sys; sys.exit(not (u.find_spec("qlo_cv") and u.find_spec("qlo_batch")))'
}

build=$({ echo "$requirements"; sources_digest; printf '%s\n' "$@"; } | digest)
if stale "$BUILD_STAMP" "$build" || ! installed; then
    rm -f "$BUILD_STAMP"
    echo "setup: building and installing qlo_cv (C++17; the first build takes about 3 CPU-minutes," \
         "a change rebuilds only the files it touches); log: $BUILD_LOG" >&2
    started=$SECONDS
    # pip -v streams the build's output: the log keeps all of it, the terminal
    # the compiler's progress lines ([done/total] ...).
    if ! "$PY" -m pip install -v --disable-pip-version-check --no-build-isolation "$@" . 2>&1 \
            | tee "$BUILD_LOG" | { grep --line-buffered -E '^[[:space:]]*\[[0-9]+/[0-9]+\] ' >&2 || true; }; then
        echo "setup: the build failed; the end of $BUILD_LOG:" >&2
        tail -n 40 "$BUILD_LOG" >&2
        exit 1
    fi
    echo "setup: qlo_cv built and installed in $((SECONDS - started)) s" >&2
    echo "$build" > "$BUILD_STAMP"
else
    echo "setup: $VENV and the qlo_cv build are current" >&2
fi
