"""Fuzzing driver: runs the seeded hostile calls of `hostile.py` in batches, each
batch in a child process with a memory cap, and names every call that
crashes the child (a signal), hangs or blows up its memory.

Any exception is a fine answer. The child writes the index of each call
before making it, so a dead child points at its last call; that call is then
run alone in a fresh child, and when it passes alone, the batch prefix before
it is bisected to find the earlier call that set it up.

    python tests/fuzz_harness.py --seed 7 --count 100000 [--jobs 2] [--batch 2000]
"""
import argparse
import concurrent.futures
import os
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CALL_TIMEOUT = 20          # seconds one call may take before it counts as a hang
RSS_BUDGET_MB = 1536       # peak resident memory a child may reach
ADDRESS_MARGIN_MB = 4096   # address space allowed beyond what the imports mapped
EXIT_MEMORY = 86           # the child's exit status for a call over the resident budget


def _under_sanitizer():
    return "asan" in os.environ.get("LD_PRELOAD", "")


# ---- child ----

def _cap_memory():
    import resource
    if _under_sanitizer():
        return  # ASan reserves terabytes of address space; its own hard_rss_limit_mb applies
    with open("/proc/self/status") as status:
        mapped_kb = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
    limit = (mapped_kb // 1024 + ADDRESS_MARGIN_MB) * 1024 * 1024
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))


def child(seed, indices, progress_path):
    import resource
    import warnings

    sys.path.insert(0, HERE)
    import hostile

    warnings.simplefilter("ignore")
    sys.stdout = open(os.devnull, "w")  # some callees print
    all_targets = hostile.targets()
    hostile.prepare_workdir()
    _cap_memory()
    # Under ASan the shadow memory and the quarantine count as resident from
    # the start; its own hard_rss_limit_mb aborts a blow-up there instead.
    budget_kb = 0 if _under_sanitizer() else RSS_BUDGET_MB * 1024
    progress = os.open(progress_path, os.O_WRONLY | os.O_APPEND)
    for index in indices:
        spec = hostile.draw(seed, index, all_targets)
        os.write(progress, b"%d\n" % index)
        signal.setitimer(signal.ITIMER_REAL, CALL_TIMEOUT)  # default action: the child dies of SIGALRM
        try:
            hostile.perform(spec)
        except BaseException:
            pass
        signal.setitimer(signal.ITIMER_REAL, 0)
        if budget_kb and resource.getrusage(resource.RUSAGE_SELF).ru_maxrss > budget_kb:
            os._exit(EXIT_MEMORY)
    os.write(progress, b"done\n")


# ---- parent ----

class Outcome:
    def __init__(self, ok, last=None, reason="", stderr=""):
        self.ok, self.last, self.reason, self.stderr = ok, last, reason, stderr


def _reason(returncode):
    if returncode == -signal.SIGALRM:
        return f"hang (over {CALL_TIMEOUT} s)"
    if returncode == EXIT_MEMORY:
        return f"memory blow-up (resident over {RSS_BUDGET_MB} MB)"
    if returncode < 0:
        return f"crash ({signal.Signals(-returncode).name})"
    return f"child exited with status {returncode}"


def run_child(seed, indices, workdir):
    """Runs `indices` in one child; returns an Outcome naming the last call started."""
    fd, progress_path = tempfile.mkstemp(dir=workdir, suffix=".progress")
    os.close(fd)
    # Under ASan the sanitizer prints the stack of a crash itself; Python's
    # fault handler on top of it re-raises into ASan's handler, which then
    # reports a nested fault and exits with status 1 instead of aborting.
    tracer = [] if _under_sanitizer() else ["-X", "faulthandler"]
    command = [sys.executable, *tracer, os.path.join(HERE, "fuzz_harness.py"), "--child", progress_path,
               "--seed", str(seed), "--indices", ",".join(map(str, indices))]
    timeout = 120 + CALL_TIMEOUT * 2 + len(indices) * 0.5
    try:
        proc = subprocess.run(command, cwd=workdir, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, timeout=timeout)
        returncode, stderr = proc.returncode, proc.stderr.decode(errors="replace")
    except subprocess.TimeoutExpired as expired:
        returncode, stderr = -signal.SIGALRM, (expired.stderr or b"").decode(errors="replace")
    with open(progress_path) as progress:
        lines = progress.read().split()
    os.unlink(progress_path)
    if returncode == 0 and lines[-1:] == ["done"]:
        return Outcome(True)
    last = int(lines[-1]) if lines and lines[-1] != "done" else None
    return Outcome(False, last, _reason(returncode), stderr[-3000:])


def _isolate(seed, indices, outcome, workdir):
    """Names the failing call: alone if it fails alone, else with the earliest
    call whose suffix of the batch still sets it off (found by bisection)."""
    last = outcome.last
    alone = run_child(seed, [last], workdir)
    if not alone.ok:
        return [last], alone
    prefix = indices[:indices.index(last)]
    low, high = 0, len(prefix)  # the suffix prefix[high:] + [last] passes, prefix[low:] + [last] fails
    while high - low > 1:
        middle = (low + high) // 2
        if run_child(seed, prefix[middle:] + [last], workdir).ok:
            high = middle
        else:
            low = middle
    pair = [prefix[low], last]
    again = run_child(seed, pair, workdir)
    return (pair, again) if not again.ok else (prefix[low:] + [last], outcome)


def run_batch(seed, indices, workdir, max_faults=10):
    """Runs a batch to its end, resuming after each failing call; returns faults."""
    faults = []
    while indices and len(faults) < max_faults:
        outcome = run_child(seed, indices, workdir)
        if outcome.ok:
            break
        if outcome.last is None:
            faults.append(([], outcome))
            break
        calls, confirmed = _isolate(seed, indices, outcome, workdir)
        faults.append((calls, confirmed))
        indices = indices[indices.index(outcome.last) + 1:]
    return faults


def describe(seed, calls):
    sys.path.insert(0, HERE)
    import hostile
    all_targets = hostile.targets()
    return [hostile.draw(seed, index, all_targets).describe() for index in calls]


def fuzz(seed, count, jobs=2, batch=2500, start=0):
    """Runs calls start..start+count-1; returns a list of printable fault reports."""
    batches = [list(range(first, min(first + batch, start + count))) for first in range(start, start + count, batch)]
    with tempfile.TemporaryDirectory(prefix="qlo_fuzz_") as workdir:
        with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
            results = list(pool.map(lambda b: run_batch(seed, b, workdir), batches))
    reports = []
    for faults in results:
        for calls, outcome in faults:
            names = "\n  after ".join(reversed(describe(seed, calls))) if calls else "(no call started)"
            reports.append(f"{outcome.reason}: {names}\n{outcome.stderr.strip()}")
    return reports


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seed", type=int, default=20261207)
    parser.add_argument("--count", type=int, default=20000)
    parser.add_argument("--start", type=int, default=0)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--batch", type=int, default=2500)
    parser.add_argument("--child", metavar="PROGRESS_FILE")
    parser.add_argument("--indices")
    options = parser.parse_args()
    if options.child:
        child(options.seed, [int(i) for i in options.indices.split(",")], options.child)
        return 0
    began = time.monotonic()
    reports = fuzz(options.seed, options.count, options.jobs, options.batch, options.start)
    for report in reports:
        print(report, end="\n\n")
    print(f"{options.count} calls, seed {options.seed}, {len(reports)} faults, {time.monotonic() - began:.0f} s")
    return 1 if reports else 0


if __name__ == "__main__":
    sys.exit(main())
