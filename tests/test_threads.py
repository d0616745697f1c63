"""Every callable of the module, called from two threads at once on shared
inputs, gives what it gives in one thread, without error.

Each callable gets its plausible call (on larger images, so that native
kernels that release the GIL overlap) and one seeded hostile call. A call
that changes its inputs or answers differently when repeated cannot share
them; each thread then gets inputs of its own.
"""
import copy
import math
import random
import re
import threading

import numpy as np
import pytest

import hostile

ROUNDS = 4


@pytest.fixture(autouse=True)
def _workdir(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(hostile, "PLAUSIBLE_SHAPE", (384, 512))
    hostile.prepare_workdir()


def same(a, b):
    """Equal values, also for arrays, NaN and module instances."""
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b, equal_nan=a.dtype.kind in "fc")
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if a is b:
        return True
    if type(a).__module__ == "qlo_cv":
        return same(vars(a), vars(b))
    try:
        return bool(a == b)
    except Exception:
        return True  # not comparable: the type is all there is to check


def outcome(target, args, kwargs, receiver):
    """(result, None) or (None, (exception type, message without addresses))."""
    try:
        return hostile.invoke(target, args, kwargs, receiver), None
    except Exception as error:
        return None, (type(error), re.sub(r"0x[0-9a-f]+", "0x", str(error)))


def state(values):
    """A deep copy of the inputs and the receiver's attributes, to tell whether
    a call changed them; None when they cannot be copied."""
    args, kwargs, receiver = values
    try:
        return copy.deepcopy((args, kwargs, vars(receiver) if receiver is not None else None))
    except Exception:
        return None


def matches(first, second):
    (result_a, error_a), (result_b, error_b) = first, second
    return error_a == error_b and same(result_a, result_b)


def check_in_two_threads(spec):
    target, shared = spec.target, hostile.materialize(spec)
    before = state(shared)
    expected = outcome(target, *shared)
    repeat = outcome(target, *shared)
    sharable = before is not None and same(before, state(shared)) and matches(expected, repeat)
    if not sharable:
        expected = outcome(target, *hostile.materialize(spec))
    barrier = threading.Barrier(2)
    seen = []

    def work():
        own = shared if sharable else None
        barrier.wait()
        for _ in range(ROUNDS):
            seen.append(outcome(target, *(own or hostile.materialize(spec))))

    threads = [threading.Thread(target=work) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    wrong = [o for o in seen if not matches(expected, o)]
    return wrong[:1], expected


def _cases():
    cases = []
    for target in hostile.targets():
        if target.kind == "unbound":
            continue
        cases.append(pytest.param(target, False, id=f"{target.kind} {target.label}"))
        if target.kind not in ("get", "set"):
            cases.append(pytest.param(target, True, id=f"{target.kind} {target.label} hostile"))
    return cases


@pytest.mark.parametrize("target, hostile_call", _cases())
def test_two_threads_answer_as_one(target, hostile_call):
    if hostile_call:
        spec = hostile.draw_for(random.Random(f"threads:{target.label}"), 0, target)
    else:
        spec = hostile.plausible_call(target)
    wrong, expected = check_in_two_threads(spec)
    assert not wrong, f"{spec.describe()}: one thread gave {expected}, two threads {wrong[0]}"
