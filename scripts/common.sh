# Sourced by the scripts: ROOT is the repository, VENV the environment
# (QLO_VENV, relative to ROOT; default .venv). The scripts stay in the folder
# they were run from, so the user's relative paths mean what they typed.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV=$(cd "$ROOT" && realpath -m "${QLO_VENV:-.venv}")

# Brings the environment and the build up to date (quick when both are
# current); its messages go to stderr, away from the command's own output.
# QLO_SKIP_SETUP=1 uses the environment as it is.
set_up() {
    if [ "${QLO_SKIP_SETUP:-0}" != 1 ]; then
        bash "$ROOT/scripts/setup.sh" "$@" >&2
    fi
}

# PYTEST_ARGS: the arguments, with each one naming an existing file or folder
# (a test id's file part) made absolute, for a pytest started in ROOT. The
# value of --deselect is a test id relative to ROOT and stays as it is.
pytest_args() {
    PYTEST_ARGS=()
    local arg path previous=
    for arg in "$@"; do
        path=${arg%%::*}
        if [ "${arg#-}" = "$arg" ] && [ "$previous" != --deselect ] && [ -n "$path" ] && [ -e "$path" ]; then
            arg=$(realpath -m "$path")${arg:${#path}}
        fi
        PYTEST_ARGS+=("$arg")
        previous=$arg
    done
}
