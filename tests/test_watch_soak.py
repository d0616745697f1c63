"""The watch as a process: a long arrival of prints with a kill -9 in the
middle (bench/watch.py, smaller), and how Ctrl-C and SIGTERM stop it."""
import csv
import json
import os
import signal
import time

import pytest

from bench.watch import soak
from fault_helpers import make_prints, rows_written, wait_for
from test_batch_faults import run_command
from test_watch import Watching, arrive, on_page, png

# The full soak (2 000 prints at 20 a second) is `python -m bench watch`.
SOAK_PRINTS = int(os.environ.get("QLO_WATCH_SOAK_PRINTS", "600"))


@pytest.mark.hardening
@pytest.mark.tooling
def test_a_long_arrival_with_a_kill_in_the_middle(tmp_path):
    figures = soak(str(tmp_path), SOAK_PRINTS)
    assert figures["exit status"] == 0, figures["stderr"]
    assert figures["rows as expected"] and figures["journal once each"], figures
    assert figures["kept through the kill"] and figures["rows before the kill"] > SOAK_PRINTS // 5, figures
    assert figures["on the page"] == SOAK_PRINTS and figures["lag max"] < 5.0, figures
    assert figures["rss samples"] >= 10 and figures["rss max"] <= 1.1 * figures["rss start"], figures


def report(out):
    with open(os.path.join(out, "report.csv"), newline="") as f:
        return {row["file"]: row["seconds"] for row in csv.DictReader(f)}


def stop_watch(process, *signals):
    """Sends the signals (0.1 s apart) and waits for the watch to end; returns its stderr."""
    for number in signals:
        os.kill(process.pid, number)
        time.sleep(0.1)
    _, err = process.communicate(timeout=30)
    assert process.returncode == 0, err
    return err


@pytest.mark.hardening
@pytest.mark.tooling
def test_ctrl_c_and_sigterm_stop_the_watch_cleanly(tmp_path):
    standard, folder, settings = make_prints(str(tmp_path), 8)
    out = str(tmp_path / "out")
    args = [standard, folder, out, "--settings", settings, "--watch", "--serial", "--no-progress"]

    def on_page():
        with open(os.path.join(out, "run.json")) as f:
            return set(json.load(f)["files"])

    # One Ctrl-C: the print in hand is finished, then the report written.
    process = run_command(args, 0.5)
    wait_for(lambda: rows_written(out) >= 2)
    err = stop_watch(process, signal.SIGINT)
    first = report(out)
    assert 2 <= len(first) < 8 and on_page() == set(first) and "watch stopped" in err

    # Two: the print in hand is abandoned; what the report holds is in the journal.
    process = run_command(args, 0.5)
    wait_for(lambda: rows_written(out) >= len(first) + 1)
    stop_watch(process, signal.SIGINT, signal.SIGINT)
    second = report(out)
    assert len(second) < 8 and on_page() == set(second) and all(second[name] == first[name] for name in first)

    # SIGTERM once all are done: each print once, none inspected again.
    process = run_command(args, 0.5)
    wait_for(lambda: rows_written(out) == 8)
    stop_watch(process, signal.SIGTERM)
    third = report(out)
    assert len(third) == 8 and on_page() == set(third) and all(third[name] == second[name] for name in second)
    with open(os.path.join(out, "resume.jsonl")) as f:
        assert len(f.read().splitlines()) == 1 + 8


@pytest.mark.hardening
@pytest.mark.tooling
def test_arrivals_go_to_the_cluster(tmp_path, monkeypatch):
    from qlo_batch import watch
    sent = []

    real = watch.run_on_dask

    def counted(inspector, tasks, client, more, **options):
        def taking(room):
            arrived = more(room)
            sent.extend(arrived or ())
            return arrived
        return real(inspector, tasks, client, taking, **options)
    monkeypatch.setattr(watch, "run_on_dask", counted)
    (tmp_path / "standard.png").write_bytes(png())
    folder, out = tmp_path / "prints", tmp_path / "out"
    folder.mkdir()
    running = Watching(watch.watch_folder, str(tmp_path / "standard.png"), str(folder), str(out), serial=False,
                       processes=False, workers=2)
    try:
        for number in range(6):
            arrive(folder, "p%d.png" % number, png(spot=number % 2 == 0))
        wait_for(lambda: len(on_page(out)) == 6)
    finally:
        rows = running.stop()
    assert [row["verdict"] for row in rows] == ["NG", "OK"] * 3
    assert sorted(task.file for task in sent) == ["p%d.png" % number for number in range(6)]
