#!/usr/bin/env bash
# Builds qlo_cv with AddressSanitizer and UndefinedBehaviorSanitizer into its
# own environment (.venv-sanitize, build/sanitize) and runs the whole test
# suite on it. Any report aborts the process that made it, so a finding fails
# the run (in the fuzz test's children it is reported as a crash of the call).
# Arguments go to pytest (paths taken from the caller's folder).
set -euo pipefail
echo "run_sanitizers: builds qlo_cv with ASan and UBSan into .venv-sanitize and runs the suite on it" \
     "(the first build several minutes, the suite about as long again)" >&2
export QLO_VENV=.venv-sanitize
source "$(dirname "$0")/common.sh"
set_up -C cmake.define.QLO_SANITIZE=ON -C install.strip=false -C build-dir=build/sanitize
pytest_args "$@"

# The interpreter is not built with the sanitizer: its runtime must be loaded first.
# The C++ runtime comes right after it: the interpreter does not link it, and
# ASan's interceptor for thrown C++ exceptions must find it at start-up.
export LD_PRELOAD
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
# Leak detection is off (the interpreter and the libraries keep their import-time
# allocations to the end); the leak test measures per-call growth itself.
# ASan's reserved address space rules out RLIMIT_AS: hard_rss_limit_mb caps memory.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:hard_rss_limit_mb=8192
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1:suppressions=$ROOT/scripts/ubsan.supp
# Python objects go through malloc, so ASan also sees objects freed too early.
export PYTHONMALLOC=malloc
# The leak test counts the interpreter's traced allocations, which this build
# does not change (and ASan's quarantine hides resident growth): the plain
# run's verdict stands, and skipping it here keeps CI within its time.
cd "$ROOT"
# Tests marked `tooling` check the scripts, examples, Dask runs, browser pages
# and type checkers around the module: they exercise no native code the rest of
# the suite does not, take most of the slow tier's time under the sanitizers,
# and the plain run makes them (a `-m` argument overrides this).
exec "$VENV/bin/python" -m pytest -q -p no:cacheprovider -m "not tooling" \
    --deselect tests/test_leaks.py::test_repeated_calls_keep_no_memory ${PYTEST_ARGS[@]+"${PYTEST_ARGS[@]}"}
