"""Runs through an existing Dask cluster started as a user starts one: a
`dask scheduler` and `dask worker` processes of their own (not a
LocalCluster), reached with --scheduler. The rows must be the plain loop's,
the pictures written by the workers into the shared OUT_DIR, and a worker
killed mid-run must cost no row."""
import contextlib
import os
import signal
import time

import pytest

from bench.end_to_end import start_cluster, stop_cluster
from qlo_batch import pipeline, report
from qlo_batch.__main__ import main
from fault_helpers import make_prints, rows_written, wait_for
from test_batch_faults import in_thread, table
from test_batch_pairs import pairs_csv, tables  # noqa: F401 (a fixture)

TESTS = os.path.dirname(os.path.abspath(__file__))
pytestmark = [pytest.mark.hardening, pytest.mark.tooling]


@contextlib.contextmanager
def cluster(tmp_path, nanny=True):
    """The address of a scheduler and two single-threaded workers on the
    loopback interface, each a process of its own; and their processes."""
    pytest.importorskip("distributed")
    address, started = start_cluster(str(tmp_path), 2, nanny, [TESTS])
    try:
        yield address, started
    finally:
        stop_cluster(started)


def client_writes(monkeypatch):
    """The NG outcomes whose pictures this process (the client) wrote."""
    written = []
    real = report.PictureWriter.write

    def write(self, outcome):
        if outcome.thumbnail_jpg is not None:
            written.append(outcome.file)
        return real(self, outcome)
    monkeypatch.setattr(report.PictureWriter, "write", write)
    return written


def thumbs(out):
    return {name: (out / "thumbs" / name).read_bytes() for name in os.listdir(out / "thumbs")}


def test_a_folder_and_a_pairs_file_through_a_running_cluster(tmp_path, pairs_csv, monkeypatch):  # noqa: F811
    standard, folder, settings = make_prints(str(tmp_path), count=30)
    serial = [standard, folder, str(tmp_path / "serial"), "--settings", settings, "--serial", "--no-progress"]
    assert main(serial) == 0
    assert main(["--pairs", str(pairs_csv), str(tmp_path / "pairs_serial"), "--serial", "--no-progress"]) == 0
    written = client_writes(monkeypatch)
    with cluster(tmp_path) as (address, _):
        out = tmp_path / "out"
        assert main([standard, folder, str(out), "--settings", settings, "--scheduler", address,
                     "--no-progress"]) == 0
        assert main(["--pairs", str(pairs_csv), str(tmp_path / "pairs_out"), "--scheduler", address,
                     "--no-progress"]) == 0
    assert table(str(out)) == table(str(tmp_path / "serial"))
    assert tables(tmp_path / "pairs_out") == tables(tmp_path / "pairs_serial")
    # the workers wrote every picture, the same bytes the loop writes, and left no mark behind
    assert written == [] and thumbs(out) == thumbs(tmp_path / "serial") and len(thumbs(out)) >= 10
    assert thumbs(tmp_path / "pairs_out") == thumbs(tmp_path / "pairs_serial")
    assert not [name for name in os.listdir(out) if name.startswith(".")]


def test_a_worker_killed_mid_run_costs_no_row(tmp_path, monkeypatch):
    standard, folder, settings = make_prints(str(tmp_path), count=40)
    assert main([standard, folder, str(tmp_path / "serial"), "--settings", settings, "--serial",
                 "--no-progress"]) == 0
    monkeypatch.setattr(pipeline, "Inspector", __import__("fault_helpers").SlowInspector)
    out = str(tmp_path / "out")
    with cluster(tmp_path, nanny=False) as (address, processes):
        def killer():
            wait_for(lambda: rows_written(out) >= 5)
            os.kill(processes[1].pid, signal.SIGKILL)
        thread, errors = in_thread(killer)
        start = time.monotonic()
        assert main([standard, folder, out, "--settings", settings, "--scheduler", address, "--no-progress"]) == 0
        thread.join(5)
        assert not errors and processes[1].poll() == -signal.SIGKILL
        assert rows_written(out) == 40 and time.monotonic() - start < 60
    assert table(out) == table(str(tmp_path / "serial"))
