"""The batch run under faults and at its edges: workers killed or frozen
mid-run, Ctrl-C and --resume, the local cluster's reach, special entries of
the target folder, and OUT_DIR inside it or in the way."""
import csv
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

import cv2
import pytest

from qlo_batch import pipeline, run_batch, work_unit
from qlo_batch.__main__ import main
from fault_helpers import SETTINGS, ignores_sigint, make_prints, rows_written, wait_for, worker_pids
from test_batch import label

TESTS = os.path.dirname(os.path.abspath(__file__))


def table(out_dir):
    """report.csv as {file: row} without the seconds column, each file once."""
    with open(os.path.join(out_dir, "report.csv"), newline="") as f:
        rows = list(csv.DictReader(f))
    assert len({row["file"] for row in rows}) == len(rows), "a file has more than one row"
    return {row["file"]: {k: v for k, v in row.items() if k != "seconds"} for row in rows}


@pytest.fixture
def prints(tmp_path):
    """(standard, folder, settings, the report of the plain loop)."""
    standard, folder, settings = make_prints(str(tmp_path))
    run_batch(standard, folder, str(tmp_path / "serial"), settings, serial=True, progress=False)
    return standard, folder, settings, table(str(tmp_path / "serial"))


def in_thread(work):
    errors = []

    def run():
        try:
            work()
        except BaseException as error:      # shown by the test's assertion
            errors.append(error)
    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    return thread, errors


@pytest.mark.hardening
@pytest.mark.tooling
@pytest.mark.parametrize("workers, kills", [(2, 1), (3, 2)])
def test_killed_workers_cost_no_verdict(prints, tmp_path, monkeypatch, workers, kills):
    standard, folder, settings, expected = prints
    monkeypatch.setattr(pipeline, "Inspector", __import__("fault_helpers").SlowInspector)
    out = str(tmp_path / "out")
    killed, seen = [], []

    def killer():
        for at in (3, 8)[:kills]:
            wait_for(lambda: rows_written(out) >= at)
            victim = next(pid for pid in worker_pids(os.getpid()) if pid not in killed)
            os.kill(victim, signal.SIGKILL)
            killed.append(victim)
            seen.append(rows_written(out))
    thread, errors = in_thread(killer)
    rows = run_batch(standard, folder, out, settings, workers=workers, serial=False, progress=False)
    thread.join(5)
    assert not errors and len(killed) == kills and seen[-1] < len(expected)
    assert table(out) == expected and len(rows) == len(expected)


@pytest.mark.hardening
@pytest.mark.tooling
def test_a_file_that_kills_every_worker_trying_it_is_an_error(prints, tmp_path, monkeypatch):
    import dask
    standard, folder, settings, expected = prints
    monkeypatch.setattr(pipeline, "Inspector", __import__("fault_helpers").CrashingInspector)
    with dask.config.set({"distributed.scheduler.allowed-failures": 1}):
        run_batch(standard, folder, str(tmp_path / "out"), settings, workers=2, serial=False, progress=False)
    got = table(str(tmp_path / "out"))
    assert got.pop("p05.png")["error"].startswith("the worker process inspecting this file died each time")
    del expected["p05.png"]
    assert got == expected


@pytest.mark.hardening
@pytest.mark.tooling
def test_a_frozen_worker_stalls_the_run_a_bounded_time(prints, tmp_path, monkeypatch, capsys):
    standard, folder, settings, expected = prints
    monkeypatch.setattr(pipeline, "Inspector", __import__("fault_helpers").SlowInspector)
    monkeypatch.setattr(pipeline, "STALL_SECONDS", 3.0)
    out = str(tmp_path / "out")
    frozen = []

    def freezer():
        wait_for(lambda: rows_written(out) >= 3)
        frozen.append(worker_pids(os.getpid())[0])
        os.kill(frozen[0], signal.SIGSTOP)
        wait_for(lambda: rows_written(out) >= len(expected))
        os.kill(frozen[0], signal.SIGCONT)      # lets the cluster stop in order
    thread, errors = in_thread(freezer)
    start = time.monotonic()
    run_batch(standard, folder, out, settings, workers=2, serial=False, progress=False)
    thread.join(5)
    assert not errors and frozen
    assert table(out) == expected
    assert time.monotonic() - start < 45
    # the frozen worker's files go to this process (or all that is left, when
    # the other worker had still to fetch the inspector from the frozen one)
    assert "in this process" in capsys.readouterr().err


def run_command(args, seconds):
    """The batch command with the slow inspector, in a process group of its own,
    with Ctrl-C's signal at its default as in a terminal (a runner started in
    the background ignores it, and a child would inherit that)."""
    code = ("import sys; sys.path.insert(0, %r); import fault_helpers; fault_helpers.install(); "
            "from qlo_batch.__main__ import main; sys.exit(main(sys.argv[1:]))" % TESTS)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(TESTS), TESTS]),
               QLO_TEST_SLOW_SECONDS=str(seconds))
    return subprocess.Popen([sys.executable, "-c", code, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=env, start_new_session=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


@pytest.mark.hardening
@pytest.mark.tooling
@pytest.mark.parametrize("mode", ["--serial", "--dask"])
def test_ctrl_c_keeps_the_finished_rows_and_resume_inspects_the_rest(prints, tmp_path, capsys, mode):
    standard, folder, settings, expected = prints
    out = str(tmp_path / "out")
    process = run_command([standard, folder, out, "--settings", settings, mode, "--no-progress", "--workers", "2"],
                          0.15 if mode == "--serial" else 0.4)
    try:
        wait_for(lambda: rows_written(out) >= 3)
        if mode == "--dask":
            # Ctrl-C reaches the workers too, a restarted one included: they ignore it
            first = worker_pids(process.pid)
            os.kill(first[0], signal.SIGKILL)
            wait_for(lambda: len(set(worker_pids(process.pid)) - {first[0]}) == 2)
            wait_for(lambda: all(ignores_sigint(pid) for pid in worker_pids(process.pid)))
        workers = worker_pids(process.pid)
        os.killpg(process.pid, signal.SIGINT)
        _, err = process.communicate(timeout=60)
    finally:
        process.kill()
    assert process.returncode == 130, err
    lines = err.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("qlo_batch: interrupted: "), err
    done = int(lines[0].split()[2])
    assert 3 <= done < len(expected)
    first = table(out)
    assert len(first) == done and all(first[name] == expected[name] for name in first)
    with open(os.path.join(out, "run.json")) as f:
        assert sorted(json.load(f)["files"]) == sorted(first)
    assert all(os.path.isfile(os.path.join(out, name)) for name in ("report.html", "defects.csv"))
    wait_for(lambda: not any(os.path.exists("/proc/%d" % pid) for pid in workers), 20)
    with open(os.path.join(out, "report.csv"), newline="") as f:
        seconds = {row["file"]: row["seconds"] for row in csv.DictReader(f)}

    assert main([standard, folder, out, "--settings", settings, "--serial", "--no-progress", "--resume"]) == 0
    assert "resuming: %d of %d files" % (done, len(expected)) in capsys.readouterr().err
    assert table(out) == expected
    with open(os.path.join(out, "report.csv"), newline="") as f:
        again = {row["file"]: row["seconds"] for row in csv.DictReader(f)}
    assert all(again[name] == seconds[name] for name in seconds)     # kept, not inspected again


@pytest.mark.hardening
@pytest.mark.tooling
def test_the_local_cluster_is_reachable_by_this_run_only():
    from dask.distributed import Client
    with pipeline.dask_client(None, 1, True) as client:
        address = client.scheduler.address
        assert address.startswith("tls://127.0.0.1:")
        assert client.submit(sum, [1, 2]).result() == 3
        port = client.cluster.scheduler.http_server.port
        with pytest.raises(urllib.error.HTTPError):     # no dashboard, no state pages
            urllib.request.urlopen("http://127.0.0.1:%d/health" % port, timeout=10)
        with pytest.raises((OSError, TimeoutError)):
            Client(address.replace("tls://", "tcp://"), timeout=3)
        with pytest.raises((OSError, TimeoutError, TypeError)):
            Client(address, timeout=3)                      # TLS, but without the run's key
    with pipeline.dask_client(None, 1, False) as client:
        assert client.scheduler.address.startswith("inproc://")


def test_a_cluster_that_cannot_start_leaves_the_run_in_this_process(prints, tmp_path, monkeypatch, capsys):
    standard, folder, settings, expected = prints

    def broken(*args):
        raise RuntimeError("Nanny failed to start.")
    monkeypatch.setattr(pipeline, "dask_client", broken)
    assert main([standard, folder, str(tmp_path / "out"), "--settings", settings, "--dask", "--no-progress"]) == 0
    assert table(str(tmp_path / "out")) == expected
    assert capsys.readouterr().err.splitlines() == [
        "qlo_batch: the local Dask cluster could not start (RuntimeError: Nanny failed to start.); inspecting in "
        "this process"]


@pytest.fixture
def folder(tmp_path):
    """(standard, target folder, settings): one good print and whatever a test adds."""
    target = tmp_path / "prints"
    target.mkdir()
    cv2.imwrite(str(tmp_path / "standard.png"), label())
    cv2.imwrite(str(target / "good.png"), label())
    (tmp_path / "settings.toml").write_text(SETTINGS)
    return str(tmp_path / "standard.png"), target, str(tmp_path / "settings.toml")


def special_entries(target, outside):
    (target / "gone.png").symlink_to(target / "nowhere.png")
    os.mkfifo(target / "pipe.png")
    (target / "folder.tif").mkdir()
    (target / "to_folder.png").symlink_to(target / "folder.tif")
    (target / "loop.png").symlink_to(target / "loop.png")
    (target / "linked.png").symlink_to(target / "good.png")
    (target / "outside.png").symlink_to(outside)
    (target / ".hidden.png").write_bytes(b"")
    (target / "notes.txt").write_text("not an image name")
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(str(target / "socket.png"))
    return sock


@pytest.mark.parametrize("outside_links, expected", [
    (True, {"good.png": "OK", "linked.png": "OK", "outside.png": "OK"}),
    (False, {"good.png": "OK", "linked.png": "OK", "outside.png": "symbolic link to {outside}, outside the folder"}),
])
def test_every_image_named_entry_gets_a_row(folder, tmp_path, outside_links, expected):
    standard, target, settings = folder
    sock = special_entries(target, standard)
    try:
        rows = run_batch(standard, str(target), str(tmp_path / "out"), settings, serial=True, progress=False,
                         outside_links=outside_links)
    finally:
        sock.close()
    expected = dict(expected, **{
        "gone.png": "dangling symbolic link", "pipe.png": "a FIFO, not an image file",
        "folder.tif": "a folder, not an image file",
        "to_folder.png": "a folder, not an image file (reached through a symbolic link)",
        "loop.png": "symbolic link that cannot be followed: Too many levels of symbolic links",
        "socket.png": "a socket, not an image file"})
    got = {row["file"]: row["verdict"] if row["verdict"] != "ERROR" else row["error"] for row in rows}
    assert sorted(got) == sorted(expected)
    for name, text in expected.items():
        assert got[name].startswith(text.format(outside=os.path.realpath(standard))), name


@pytest.mark.parametrize("make, message", [
    (lambda out: (out / "thumbs").write_text("a user's file"), "thumbs is in the way"),
    (lambda out: (out / "report.csv").mkdir(), "report.csv is in the way"),
    (lambda out: (out / "marked").symlink_to(out.parent), "marked is in the way"),
    (lambda out: (out / "x.png").write_bytes(b"") or None, None),
])
def test_a_name_in_the_way_stops_the_run_before_any_work(folder, capsys, make, message):
    standard, target, settings = folder                   # OUT_DIR is TARGET_DIR
    make(target)
    code = main([standard, str(target), str(target), "--settings", settings, "--serial", "--no-progress"])
    err = capsys.readouterr().err
    if message is None:
        assert code == 0 and err == ""
        return
    assert code == 2 and len(err.splitlines()) == 1 and message in err
    assert not (target / "report.csv").is_file() and not (target / "run.json").exists()


@pytest.mark.parametrize("name, message", [
    ("thumbs/holiday.jpg", "thumbs was not written by a run of this tool"),
    ("marked/photo.png", "marked was not written by a run of this tool"),
    ("report.csv", "report.csv was not written by a run of this tool"),
    ("thumbs/notes.txt", None),             # not an image a run would delete
])
def test_files_of_others_under_the_reports_names_are_left_alone(folder, capsys, name, message):
    standard, target, settings = folder                   # OUT_DIR is TARGET_DIR
    (target / name).parent.mkdir(exist_ok=True)
    (target / name).write_text("a user's file")
    for _ in range(1 if message else 2):    # the second run finds the first one's journal
        code = main([standard, str(target), str(target), "--settings", settings, "--serial", "--no-progress"])
        err = capsys.readouterr().err
        assert (target / name).read_text() == "a user's file"
        assert (code, len(err.splitlines()), message or "") == ((2, 1, message) if message else (0, 0, ""))
        assert message is None or message in err and not (target / "run.json").exists()


def test_outputs_never_become_inputs(folder, tmp_path):
    standard, target, settings = folder
    broken = label()
    broken[10:30, 10:30] = 0
    cv2.imwrite(str(target / "spot.png"), broken)
    for out in (target, target / "results.png", target / "results.png"):     # the second run reads the first's
        rows = run_batch(standard, str(target), str(out), settings, serial=True, progress=False)
        assert [(row["file"], row["verdict"]) for row in rows] == [("good.png", "OK"), ("spot.png", "NG")]


def test_the_report_of_an_interrupted_run_says_it_is_partial(folder, tmp_path, monkeypatch):
    standard, target, settings = folder
    cv2.imwrite(str(target / "b.png"), label())
    real = work_unit.Inspector.inspect          # Ctrl-C while good.png, the second file, is inspected
    monkeypatch.setattr(work_unit.Inspector, "inspect", lambda self, task, start: real(self, task, start)
                        if task.file != "good.png" else (_ for _ in ()).throw(KeyboardInterrupt))
    with pytest.raises(pipeline.Interrupted):
        run_batch(standard, str(target), str(tmp_path), settings, serial=True, progress=False)
    said = "the run was interrupted: this report covers 1 of its 2 files"
    assert said in (tmp_path / "report.html").read_text()
    assert [text[:len(said)] for text in json.loads((tmp_path / "run.json").read_text())["warnings"]] == [said]


def test_a_new_run_starts_clean_and_resume_keeps_what_still_holds(folder, tmp_path, capsys):
    standard, target, settings = folder
    out = tmp_path / "out"
    latin = b"\xe9t\xe9.png".decode("utf-8", "surrogateescape")    # a name that is not valid UTF-8, an OK print
    for name in ("a.png", "b.png", "c.png", latin):
        broken = label()
        broken[10:30, 10:30] = 0 if name != latin else broken[10:30, 10:30]
        (target / name).write_bytes(cv2.imencode(".png", broken)[1].tobytes())   # imwrite crashes on such names
    args = [standard, str(target), str(out), "--settings", settings, "--serial", "--no-progress", "--marked", "png"]
    assert main(args) == 0
    (out / "marked" / "notes.txt").write_text("a user's note")
    os.remove(target / "a.png")
    os.utime(target / "b.png", ns=(0, 0))
    assert main(args + ["--resume"]) == 0
    assert "resuming: 3 of 4 files are already in the report" in capsys.readouterr().err
    assert sorted(os.listdir(out / "marked")) == ["b~png.png", "c~png.png", "notes.txt"]
    with open(out / "run.json") as f:
        assert json.load(f)["files"][latin]["verdict"] == "OK"
    assert main(args) == 0                          # without --resume: every file again
    (target / "settings2.toml").write_text(SETTINGS.replace("40", "41"))
    capsys.readouterr()
    assert main(args[:3] + ["--settings", str(target / "settings2.toml"), "--serial", "--resume"]) == 2
    assert "written by a run with other settings" in capsys.readouterr().err
    os.remove(target / "b.png")
    assert main(args) == 0
    assert sorted(os.listdir(out / "marked")) == ["c~png.png", "notes.txt"]
