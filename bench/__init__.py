"""Benchmarks: `python -m bench` from the repository root runs them all."""
import math
import threading
import time


def best_ms(action, repeat):
    """The shortest of `repeat` runs of `action`, in milliseconds."""
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best * 1000.0


def throughput(make_action, threads, calls):
    """Calls per second of `threads` threads started together, each making
    `calls` calls of its own action from make_action() (its own buffers, so
    the threads share no output)."""
    actions = [make_action() for _ in range(threads)]
    start_line = threading.Barrier(threads + 1)

    def work(action):
        start_line.wait()
        for _ in range(calls):
            action()

    workers = [threading.Thread(target=work, args=(action,)) for action in actions]
    for worker in workers:
        worker.start()
    start_line.wait()
    start = time.perf_counter()
    for worker in workers:
        worker.join()
    return threads * calls / (time.perf_counter() - start)


def thread_scaling(label, make_action, calls, rounds=5):
    """Prints the throughput of one thread and of two threads at once, each
    the best of `rounds` runs taken in turns, so that a slow spell of the
    machine weighs on both."""
    one = two = 0.0
    for _ in range(rounds):
        one = max(one, throughput(make_action, 1, calls))
        two = max(two, throughput(make_action, 2, calls))
    print("  %-34s 1 thread %8.1f calls/s, 2 threads %8.1f calls/s, %.2fx" % (label, one, two, two / one))


def board_pair(seed):
    """(standard, target, [(kind, box), ...]): a generated 640 x 640 board tile
    pair of the labelled sample set, with its planted defects' labels."""
    import numpy as np
    from examples.labelled_samples import board_sample
    standard, target, _shift, labels, _material = board_sample(np.random.default_rng([seed]))
    return standard, target, labels
