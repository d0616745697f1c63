"""Helpers for the fault tests of batch runs: an inspector slowed down so a
run can be killed or interrupted while it works (worker processes unpickle it
from this module), a folder of generated prints, and ways to find and watch
the worker processes of a local cluster."""
import os
import signal
import time

import cv2

from qlo_batch import pipeline, work_unit
from test_batch import label, moved

SETTINGS = "max_shift = 2\nthreshold = 40\njudge_parameter = 3\n"


class SlowInspector(work_unit.Inspector):
    """Waits QLO_TEST_SLOW_SECONDS (0.15 by default) before inspecting a print."""

    def inspect(self, task, start):
        time.sleep(float(os.environ.get("QLO_TEST_SLOW_SECONDS", "0.15")))
        return super().inspect(task, start)


class CrashingInspector(SlowInspector):
    """Ends the worker process that takes p05.png at once, the way a crash
    would; get_worker() raises outside a worker, so the test process itself
    is never ended."""

    def inspect(self, task, start):
        if task.file == "p05.png":
            from distributed import get_worker
            get_worker()            # ValueError outside a worker
            os._exit(1)
        return super().inspect(task, start)


def install():
    """Swaps the slow inspector into the batch pipeline of this process."""
    pipeline.Inspector = SlowInspector


def make_prints(root, count=40):
    """Writes a standard, `count` prints (every third with a spot) and a
    settings file under `root`; returns their paths (standard, folder, settings)."""
    folder = os.path.join(root, "prints")
    os.makedirs(folder)
    standard = cv2.resize(label(), None, fx=3, fy=3, interpolation=cv2.INTER_NEAREST)
    for index in range(count):
        image = moved(standard, index % 3 - 1, 0)
        if index % 3 == 0:
            cv2.circle(image, (100 + 4 * index, 70), 6, 30, -1)
        cv2.imwrite(os.path.join(folder, "p%02d.png" % index), image)
    cv2.imwrite(os.path.join(root, "standard.png"), standard)
    with open(os.path.join(root, "settings.toml"), "w") as f:
        f.write(SETTINGS)
    return os.path.join(root, "standard.png"), folder, os.path.join(root, "settings.toml")


def worker_pids(pid):
    """The pids of the Dask worker processes that process `pid` started."""
    pids = []
    for thread in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/children" % (pid, thread)) as f:
                pids += [int(child) for child in f.read().split()]
        except OSError:
            pass                # a thread that ended meanwhile
    found = []
    for child in pids:
        try:
            with open("/proc/%d/cmdline" % child, "rb") as f:
                if b"spawn_main" in f.read():
                    found.append(child)
        except OSError:
            pass
    return found


def ignores_sigint(pid):
    """Whether process `pid` ignores SIGINT (false once it is gone)."""
    try:
        with open("/proc/%d/status" % pid) as f:
            mask = next(line for line in f if line.startswith("SigIgn:")).split()[1]
    except OSError:
        return False
    return bool(int(mask, 16) & 1 << (signal.SIGINT - 1))


def rows_written(out_dir):
    """The number of data rows in OUT_DIR/report.csv now (0 before it exists)."""
    import csv
    try:
        with open(os.path.join(out_dir, "report.csv"), newline="") as f:
            return max(0, sum(1 for _ in csv.reader(f)) - 1)
    except OSError:
        return 0


def wait_for(condition, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise TimeoutError("waited %.0f s" % timeout)
        time.sleep(0.02)
