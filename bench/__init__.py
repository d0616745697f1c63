"""Benchmarks: `python -m bench` from the repository root runs them all."""
import math
import time


def best_ms(action, repeat):
    """The shortest of `repeat` runs of `action`, in milliseconds."""
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best * 1000.0
