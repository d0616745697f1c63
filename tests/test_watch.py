"""The watch: when a print is complete, what a restart keeps, and a watch of
a folder and of a pairs file run in a thread of this process (the signals
and the long run: test_watch_soak.py)."""
import csv
import errno
import json
import os
import threading
import time

import cv2
import numpy as np
import pytest

from qlo_batch import Settings
from qlo_batch.arrivals import LATE_SECONDS, FolderLook, is_complete
from qlo_batch.errors import WriteError
from qlo_batch.pairs import PairsTail
from qlo_batch.report import ReportWriter
from qlo_batch.watch import Stop, still_holds, watch_folder, watch_pairs
from fault_helpers import wait_for

SETTINGS = Settings(max_shift=2, threshold=40, judge_parameter=3)
NOW = 10**18                # the wall clock, in ns
S = 10**9


@pytest.mark.parametrize("stamp, unchanged_for, mtime_age, renamed, complete", [
    ((100, None), 0.0, 5.0, False, True),           # there before, or renamed in from elsewhere
    ((100, None), 0.0, 0.1, False, False),          # being written
    ((100, None), 0.49, 0.3, False, False),         # unchanged, but not yet for the settle time
    ((100, None), 0.5, 0.0, False, True),           # unchanged across looks 0.5 s apart (mtime not trusted)
    ((100, None), 0.0, -3.0, False, False),         # modification time in the future
    ((100, None), 0.0, 0.0, True, True),            # renamed from a temporary name with this stamp
    ((0, None), 0.0, 0.0, True, False),             # empty: a writer may not have begun
    ((0, None), 0.0, 3600.0, False, False),         # an old empty file waits too ...
    ((0, None), LATE_SECONDS, 0.0, False, True),    # ... until it gets its ERROR row
    (None, 1.0, 0.0, False, False),                 # cannot be read (a dangling link): waits
    (None, LATE_SECONDS, 0.0, False, True),
])
def test_when_a_file_is_complete(stamp, unchanged_for, mtime_age, renamed, complete):
    stamp = None if stamp is None else (stamp[0], NOW - int(mtime_age * S))
    assert is_complete(stamp, unchanged_for, NOW, 0.5, renamed) is complete


@pytest.mark.parametrize("then, now, pictures_there, holds", [
    ([[10, 1], [20, 2]], [[10, 1], [20, 2]], True, True),      # unchanged: kept, not inspected again
    ([[10, 1], [20, 2]], [[10, 1], [20, 2]], False, False),    # its marked image was deleted: again
    ([[10, 1], [20, 2]], [[11, 3], [20, 2]], True, False),     # the print was rewritten: again
    ([[10, 1], [20, 2]], [[10, 1], [20, 5]], True, False),     # the standard changed: again
    ([[10, 1], [20, 2]], [[10, 1], None], True, False),        # the standard is gone: again (an ERROR row)
    ([[10, 1], [20, 2]], [None, [20, 2]], False, True),        # the print is gone: its row is all that is left
    ([[10, 1], [20, 2]], [None, None], True, True),
])
def test_what_a_restart_keeps(then, now, pictures_there, holds):
    assert still_holds(then, now, pictures_there) is holds


def test_pairs_tail_reads_whole_lines_only(tmp_path):
    path = tmp_path / "pairs.csv"
    tail = PairsTail(str(path))
    steps = [  # (bytes appended, whole, files read, problems)
        (b"\xef\xbb\xbfstandard,target\r\ns.png,a.png\ns.png,b.p", False, ["a.png"], 0),
        (b"ng\nnonsense\n", False, ["b.png"], 1),
        (b"\ns.png,c.png", False, [], 0),
        (b"", True, ["c.png"], 0),                      # the last line, once the file is complete
        (b"\ns.png,d.png\n", False, ["d.png"], 0),
    ]
    for data, whole, files, problems in steps:
        with open(path, "ab") as f:
            f.write(data)
        pairs, said = tail.read(whole)
        assert [pair.file for pair in pairs] == files and len(said) == problems
        assert all("pairs.csv, line 4: expected two paths standard,target, got 'nonsense'" in text for text in said)
    path.write_bytes(b"standard,target\ns.png,e.png\n")        # rewritten: read from its start
    assert [pair.target for pair in tail.read()[0]] == [str(tmp_path / "e.png")]
    path.write_bytes(b"target,standard\n")
    with pytest.raises(ValueError, match="header standard,target"):
        PairsTail(str(path)).read()


def test_a_rename_from_a_temporary_name_is_seen(tmp_path):
    look = FolderLook(str(tmp_path), lambda name, path: name.endswith(".png") and not name.startswith("."))
    (tmp_path / ".a.png.tmp").write_bytes(b"x" * 10)
    (tmp_path / "b.png.part").write_bytes(b"y" * 10)
    assert look.look(set()) == ({}, set())
    os.rename(tmp_path / ".a.png.tmp", tmp_path / "a.png")
    with open(tmp_path / "b.png.part", "ab") as f:      # written again after the last look: not taken as done
        f.write(b"y")
    os.rename(tmp_path / "b.png.part", tmp_path / "b.png")
    listing, renamed = look.look({"c.png"})
    assert sorted(listing) == ["a.png", "b.png"] and renamed == {"a.png"}


def label(spot=False):
    image = np.full((90, 120), 210, np.uint8)
    cv2.putText(image, "LOT 7", (8, 40), cv2.FONT_HERSHEY_SIMPLEX, 1.0, 40, 2)
    if spot:
        cv2.circle(image, (90, 70), 6, 30, -1)
    return image


def png(spot=False):
    return cv2.imencode(".png", label(spot))[1].tobytes()


def arrive(folder, name, data):
    """Writes a print as a camera does: under a temporary name, then renamed."""
    temporary = folder / ("." + name + ".part")
    temporary.write_bytes(data)
    os.rename(temporary, folder / name)


def report_rows(out):
    try:
        with open(out / "report.csv", newline="") as f:
            return {row["file"]: row for row in csv.DictReader(f)}
    except FileNotFoundError:
        return {}


def on_page(out):
    try:
        return set(json.loads((out / "run.json").read_text())["files"])
    except (FileNotFoundError, ValueError):
        return set()


class Watching:
    """A watch run in a thread; `stop()` ends it and returns its rows."""

    def __init__(self, function, *args, **options):
        self.signal, self.result = Stop(), []
        options = {**dict(settings=SETTINGS, serial=True, progress=False, settle=0.2, refresh=0.2), **options,
                   "stop": self.signal}
        self.thread = threading.Thread(target=self.run, args=(function, args, options), daemon=True)
        self.thread.start()

    def run(self, function, args, options):
        try:
            self.result.append(function(*args, **options))
        except Exception as error:
            self.result.append(error)

    def stop(self):
        """The rows of the watch once stopped (or the exception that ended it)."""
        self.signal.requested = True
        self.thread.join(30)
        assert not self.thread.is_alive() and self.result
        return self.result[0]


@pytest.fixture
def watching():
    """Starts watches that are stopped at the end of the test, whatever its outcome."""
    started = []
    yield lambda *args, **options: started.append(Watching(*args, **options)) or started[-1]
    for one in started:
        one.signal.requested = True
        one.thread.join(30)


def test_a_watched_folder_and_its_restart(tmp_path, capsys, watching):
    (tmp_path / "standard.png").write_bytes(png())
    folder, out = tmp_path / "prints", tmp_path / "out"
    folder.mkdir()
    arrive(folder, "a.png", png())                          # there before the watch
    running = watching(watch_folder, str(tmp_path / "standard.png"), str(folder), str(out))
    arrive(folder, "b.png", png(spot=True))
    (folder / "junk.png").write_bytes(b"\x89PNG\r\n\x1a\n not an image")
    (folder / "c.png.part").write_bytes(png())              # a temporary name: never inspected
    slow = png(spot=True)
    with open(folder / "slow.png", "wb") as f:              # written in place, in pieces
        for start in range(0, len(slow), 200):
            f.write(slow[start:start + 200])
            f.flush()
            time.sleep(0.03)
    wait_for(lambda: on_page(out) == {"a.png", "b.png", "junk.png", "slow.png"})
    rows = running.stop()
    assert {row["file"]: row["verdict"] for row in rows} == {"a.png": "OK", "b.png": "NG", "junk.png": "ERROR",
                                                            "slow.png": "NG"}
    first = report_rows(out)
    assert "watch stopped: 4 files in the report, 4 inspected" in capsys.readouterr().err

    # Restart: a print gone keeps its row, one rewritten is inspected again,
    # the others are not; arrivals while the watch was down are inspected.
    os.remove(folder / "a.png")
    arrive(folder, "b.png", png())
    arrive(folder, "d.png", png())
    running = watching(watch_folder, str(tmp_path / "standard.png"), str(folder), str(out))
    wait_for(lambda: {"b.png", "d.png"} <= set(report_rows(out)) and on_page(out) == set(first) | {"d.png"})
    running.stop()
    second = report_rows(out)
    assert {name: row["verdict"] for name, row in second.items()} == {
        "a.png": "OK", "b.png": "OK", "d.png": "OK", "junk.png": "ERROR", "slow.png": "NG"}
    assert all(second[name] == first[name] for name in ("a.png", "junk.png", "slow.png"))
    assert not (out / "thumbs" / "b~png.jpg").exists()      # the pictures of its old row went with it
    journal = [json.loads(line)["key"][0] for line in (out / "resume.jsonl").read_text().splitlines()[1:]]
    assert sorted(journal) == sorted(second)                 # each file once
    assert "watching; 3 files already in the report" in capsys.readouterr().err


def test_a_watched_pairs_file(tmp_path, capsys, watching):
    (tmp_path / "standard.png").write_bytes(png())
    pairs, out = tmp_path / "pairs.csv", tmp_path / "out"
    pairs.write_text("standard,target\nstandard.png,a.png\n")
    arrive(tmp_path, "a.png", png())
    running = watching(watch_pairs, str(pairs), str(out))
    wait_for(lambda: on_page(out) == {"a.png"})
    with open(pairs, "a") as f:
        f.write("standard.png,b.png\nstandard.png\nstandard.png,a.png\nstandard.png,c.p")
        f.flush()
        arrive(tmp_path, "b.png", png(spot=True))           # listed before it lands: waited for
        time.sleep(0.05)                                    # a line being written (for less than the settle time)
        f.write("ng\n")
    arrive(tmp_path, "c.png", png())
    wait_for(lambda: on_page(out) == {"a.png", "b.png", "c.png"})
    rows = running.stop()
    assert [(row["file"], row["verdict"]) for row in rows] == [("a.png", "OK"), ("b.png", "NG"), ("c.png", "OK")]
    err = capsys.readouterr().err
    assert "pairs.csv, line 4: expected two paths standard,target, got 'standard.png'; the row is skipped" in err
    assert "the target a.png is listed again; the row is skipped" in err


def test_a_folder_that_goes_away_and_comes_back(tmp_path, capsys, watching):
    (tmp_path / "standard.png").write_bytes(png())
    folder, out = tmp_path / "prints", tmp_path / "out"
    folder.mkdir()
    running = watching(watch_folder, str(tmp_path / "standard.png"), str(folder), str(out))
    wait_for(lambda: (out / "run.json").exists())
    os.rename(folder, tmp_path / "away")                    # unmounted, say
    time.sleep(0.8)
    arrive(tmp_path / "away", "a.png", png(spot=True))
    os.rename(tmp_path / "away", folder)
    wait_for(lambda: on_page(out) == {"a.png"})
    assert [row["verdict"] for row in running.stop()] == ["NG"]
    assert capsys.readouterr().err.count("cannot list %s: No such file or directory" % folder) == 1


def test_a_full_disk_stops_the_watch_with_the_rows_so_far(tmp_path, monkeypatch, watching):
    (tmp_path / "standard.png").write_bytes(png())
    folder, out = tmp_path / "prints", tmp_path / "out"
    folder.mkdir()
    real = ReportWriter.add

    def add(writer, outcome):
        if outcome.file == "b.png":
            raise OSError(errno.ENOSPC, "No space left on device")
        return real(writer, outcome)
    monkeypatch.setattr(ReportWriter, "add", add)
    running = watching(watch_folder, str(tmp_path / "standard.png"), str(folder), str(out))
    arrive(folder, "a.png", png())
    wait_for(lambda: on_page(out) == {"a.png"})
    arrive(folder, "b.png", png())
    running.thread.join(20)
    error = running.stop()
    assert isinstance(error, WriteError) and "No space left on device" in str(error)
    assert set(report_rows(out)) == on_page(out) == {"a.png"}
