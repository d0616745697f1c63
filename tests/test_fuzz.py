"""Hostile calls to every public callable end with a result or an exception:
never a crash, a hang or a memory blow-up (see fuzz_harness.py)."""
import os

import pytest

import fuzz_harness
import hostile

SEED = int(os.environ.get("QLO_FUZZ_SEED", "20261207"))
CALLS = int(os.environ.get("QLO_FUZZ_CALLS", "20000"))


@pytest.mark.hardening
def test_hostile_calls_never_kill_the_interpreter():
    reports = fuzz_harness.fuzz(SEED, CALLS)
    assert not reports, "\n\n".join(reports)


def test_every_callable_is_reached():
    all_targets = hostile.targets()
    reached = {hostile.draw(SEED, index, all_targets).target.label for index in range(CALLS)}
    assert reached == {target.label for target in all_targets}


@pytest.mark.hardening
def test_a_crashing_call_is_named(monkeypatch):
    # A value that segfaults when used proves the harness sees and names a crash.
    monkeypatch.setenv("QLO_FUZZ_SELFTEST", "1")
    reports = fuzz_harness.fuzz(SEED, 60, jobs=1, batch=60)
    # ASan handles the fault itself and aborts.
    signal = "SIGABRT" if fuzz_harness._under_sanitizer() else "SIGSEGV"
    assert reports and all(r.startswith(f"crash ({signal})") and "SelfTestCrash" in r for r in reports)
