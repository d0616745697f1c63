"""The files around a batch run, as a careless caller or an attacker leaves
them: symbolic links planted in OUT_DIR, a tampered resume journal, a full
disk, FIFOs and devices given as inputs, a settings file with a byte-order
mark, and the warning Dask printed on every cluster run."""
import errno
import json
import os
import shutil
import sys
import threading
import warnings

import cv2
import numpy as np
import pytest
from conftest import run_python, two_prints

from qlo_batch import outputs, report, run_batch, run_pairs
from qlo_batch.__main__ import main
from qlo_batch.evaluate import main as evaluate_main
from qlo_batch.pairs import read_pairs
from qlo_batch.report import IMAGE_FOLDERS, ReportWriter
from fault_helpers import make_prints
from test_batch_faults import table


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    """(standard, folder, settings, report.csv of a clean run, the run's OUT_DIR):
    six prints, two of them NG."""
    root = tmp_path_factory.mktemp("job")
    standard, folder, settings = make_prints(str(root), 6)
    run_batch(standard, folder, str(root / "ref"), settings, serial=True, progress=False)
    return standard, folder, settings, table(str(root / "ref")), root / "ref"


def command(reference, out, *more):
    standard, folder, settings, _, _ = reference
    return [standard, folder, str(out), "--settings", settings, "--serial", "--no-progress", *more]


def written_names(out_dir):
    """Every file a run wrote, relative to OUT_DIR."""
    return sorted(os.path.relpath(os.path.join(folder, name), out_dir)
                  for folder, _, names in os.walk(out_dir) for name in names)


def snapshot(folder):
    return {name: (folder / name).read_bytes() for name in sorted(os.listdir(folder))}


@pytest.mark.parametrize("earlier_run", [False, True])
def test_links_planted_in_out_dir_are_never_written_through(reference, tmp_path, capsys, earlier_run):
    """A link at every name a run writes (its files and their temporaries,
    ".NAME.tmp" and "NAME.tmp"), leading out of OUT_DIR: to files whose
    contents must stay, and (where an existing file would stop a fresh run as
    someone else's) to names that must not come to exist."""
    _, _, _, expected, ref = reference
    out, outside = tmp_path / "out", tmp_path / "outside"
    outside.mkdir()
    if earlier_run:
        shutil.copytree(ref, out)
    else:
        for sub in ("marked", "thumbs"):
            (out / sub).mkdir(parents=True)
    names = written_names(ref)
    for number, name in enumerate(names):
        folder, base = os.path.split(name)
        for planted in (name, os.path.join(folder, "." + base + ".tmp"), name + ".tmp"):
            fresh_final = not earlier_run and planted == name
            if fresh_final and folder:
                continue                    # a fresh run refuses pictures it did not write: tested elsewhere
            target = outside / ("%d%s" % (number, os.path.basename(planted)))
            if not fresh_final:
                target.write_text("outside %d" % number)
            (out / planted).unlink(missing_ok=True)
            (out / planted).symlink_to(target)
    before = snapshot(outside)
    assert main(command(reference, out)) == 0, capsys.readouterr().err
    assert snapshot(outside) == before
    assert table(str(out)) == expected
    assert all((out / name).is_file() and not (out / name).is_symlink() for name in names)


def edited(change):
    """A change of a journal line made on its parsed entry."""
    def edit(line):
        entry = json.loads(line)
        change(entry)
        return json.dumps(entry) + "\n"
    return edit


TAMPERED = [
    # (what, how a journal line changes, the NG file's line (else the first), refused with)
    ("first line cut short", lambda line: line[:20], False, "does not start with the settings of a run"),
    ("first line an empty object", lambda line: "{}\n", False, "does not start with the settings of a run"),
    ("first line a list", lambda line: "[]\n", False, "does not start with the settings of a run"),
    ("first line with other settings", lambda line: line.replace('"threshold": 40', '"threshold": 41'), False,
     "written by a run with other settings"),
    ("a row without its verdict", edited(lambda entry: entry["row"].pop("verdict")), True, None),
    ("a verdict of no kind", edited(lambda entry: entry["row"].update(verdict="MAYBE")), True, None),
    ("a count as text", edited(lambda entry: entry["row"].update(ng_count="1")), True, None),
    ("a count that is not its boxes'", edited(lambda entry: entry["row"].update(ng_count=entry["row"]["ng_count"] + 1)),
     True, None),
    ("a box of three numbers", edited(lambda entry: entry["row"]["boxes"].__setitem__(0, [1, 2, 3])), True, None),
    ("seconds as text", edited(lambda entry: entry["row"].update(seconds="fast")), True, None),
    ("a description that is a number", edited(lambda entry: entry["row"]["descriptions"].append(7)), True, None),
    ("a defect without its score", edited(lambda entry: entry["row"]["defects"][0].pop(2)), True, None),
    ("a marked image out of OUT_DIR",
     edited(lambda entry: entry["row"].update(marked_image="marked/../../planted.png")), True, None),
    ("an NG row without pictures", edited(lambda entry: entry["row"].update(marked_image="", thumbnail="", crops=[])),
     True, None),
    ("a key that is not the row's", edited(lambda entry: entry["key"].__setitem__(0, "p01.png")), True, None),
    ("a row that is a list", edited(lambda entry: entry.update(row=[])), True, None),
    ("stamps that are text", edited(lambda entry: entry.update(stamps="now")), True, None),
    ("a line nested too deep to parse", lambda line: "[" * 100000 + "\n", True, None),
]


@pytest.mark.parametrize("sub, suffixes", IMAGE_FOLDERS)
def test_an_image_folder_swapped_for_a_link_after_the_checks_is_never_emptied(tmp_path, sub, suffixes):
    """A run checks OUT_DIR before it starts; a link put in place of one of its
    image folders after that (by another user of a shared folder) is still
    refused by the writer, which would otherwise empty the folder it leads to."""
    outside, out = tmp_path / "outside", tmp_path / "out"
    outside.mkdir()
    out.mkdir()
    suffix = suffixes[0]
    (outside / ("photo" + suffix)).write_text("a user's file")
    (out / sub).symlink_to(outside)
    with pytest.raises(OSError):
        ReportWriter(str(out))
    assert os.listdir(outside) == ["photo" + suffix]


def test_a_record_the_disk_cuts_short_is_taken_back(tmp_path, monkeypatch):
    """A write that fails half way (ENOSPC) leaves the file at its last whole
    record, and the next record follows that one."""
    real = outputs.write_all

    def half_then_full(fd, data):
        real(fd, data[:len(data) // 2])
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
    folder = outputs.Folder.open(str(tmp_path))
    records = folder.start("rows.csv", b"header\n")
    records.write(b"row 1\n")
    monkeypatch.setattr(outputs, "write_all", half_then_full)
    with pytest.raises(OSError):
        records.write(b"row 2, which the disk cuts short\n")
    monkeypatch.setattr(outputs, "write_all", real)
    records.write(b"row 3\n")
    records.close()
    folder.close()
    assert (tmp_path / "rows.csv").read_bytes() == b"header\nrow 1\nrow 3\n"


@pytest.mark.parametrize("change, kept", [
    (lambda out: None, 6),
    (lambda out: (out / "thumbs" / "p00~png.jpg").unlink(), 5),
    (lambda out: (out / "thumbs" / "p03~png~crops.jpg").unlink(), 5),
    (lambda out: os.replace(out / "thumbs" / "p03~png.jpg", out.parent / "p03.jpg")
     or (out / "thumbs" / "p03~png.jpg").symlink_to(out.parent / "p03.jpg"), 5),   # a link the run did not write
])
def test_resume_keeps_a_row_only_with_all_its_own_pictures(reference, tmp_path, capsys, change, kept):
    """A row whose marked image, thumbnail or crop is gone, or is a link, is
    inspected again, so the report never points at a missing or foreign picture."""
    _, _, _, expected, ref = reference
    out = tmp_path / "out"
    shutil.copytree(ref, out)
    change(out)
    assert main(command(reference, out, "--resume")) == 0
    assert "resuming: %d of 6 files are already in the report" % kept in capsys.readouterr().err
    assert table(str(out)) == expected
    assert written_names(out) == written_names(ref)
    assert not [name for name in written_names(out) if os.path.islink(out / name)]


@pytest.mark.parametrize("what, change, ng_line, refused", TAMPERED, ids=[case[0] for case in TAMPERED])
def test_resume_trusts_only_sound_lines_of_the_journal(reference, tmp_path, capsys, what, change, ng_line, refused):
    """A bad first line (the settings, which then cannot be checked) refuses
    --resume in one line; a row that is not sound is inspected again, never
    kept and never a traceback."""
    _, _, _, expected, ref = reference
    out = tmp_path / "out"
    shutil.copytree(ref, out)
    (tmp_path / "planted.png").write_bytes((ref / "thumbs" / "p00~png.jpg").read_bytes())
    lines = (out / "resume.jsonl").read_text().splitlines(keepends=True)
    at = next(i for i, line in enumerate(lines) if i and json.loads(line)["row"]["verdict"] == "NG") if ng_line \
        else 0
    lines[at] = change(lines[at])
    (out / "resume.jsonl").write_text("".join(lines))
    code = main(command(reference, out, "--resume"))
    err = capsys.readouterr().err
    if refused:
        assert (code, err.count("\n")) == (2, 1) and refused in err, err
        assert table(str(out)) == expected              # refused before touching the report
        return
    assert code == 0, err
    assert "resuming: 5 of 6 files are already in the report (1 line of resume.jsonl not trusted" in err
    assert table(str(out)) == expected


def test_an_empty_journal_refuses_resume(reference, tmp_path, capsys):
    out = tmp_path / "out"
    shutil.copytree(reference[4], out)
    (out / "resume.jsonl").write_text("")
    assert main(command(reference, out, "--resume")) == 2
    assert "does not start with the settings of a run" in capsys.readouterr().err


def full_disk(monkeypatch, room):
    """From the pictures of the second NG print on, every write of more than
    `room` bytes fails with ENOSPC after writing half of its bytes, as a disk
    that fills up does; returns a switch that frees the disk."""
    real, state = outputs.write_all, {"ng": 0, "full": True}
    real_pictures = report.PictureWriter.write

    def write_pictures(self, outcome):
        state["ng"] += outcome.thumbnail_jpg is not None
        return real_pictures(self, outcome)

    def write_all(fd, data):
        picture = data[:3] == b"\xff\xd8\xff" or data[:8] == b"\x89PNG\r\n\x1a\n"
        if state["full"] and state["ng"] >= 2 and (picture or len(data) > room):
            real(fd, data[:len(data) // 2])
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        real(fd, data)
    monkeypatch.setattr(outputs, "write_all", write_all)
    monkeypatch.setattr(report.PictureWriter, "write", write_pictures)
    return lambda: state.update(full=False)


@pytest.mark.parametrize("room, complete", [(1 << 16, True), (0, False)])
def test_a_full_disk_stops_the_run_in_one_line_and_keeps_the_finished_rows(reference, tmp_path, monkeypatch,
                                                                          capsys, room, complete):
    """The second NG print (p03, the fourth file) finds the disk full: with
    room left for the tables (its partial picture removed) the report files
    cover the three files before it; with none, report.csv and the journal
    still hold their whole rows. --resume then finishes the run."""
    _, _, _, expected, _ = reference
    out = tmp_path / "out"
    free = full_disk(monkeypatch, room)
    assert main(command(reference, out)) == 1
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and "No space left on device" in err and "stopped after 3 of 6 files" in err, err
    assert table(str(out)) == {name: expected[name] for name in ("p00.png", "p01.png", "p02.png")}
    assert ("could not be written" in err) != complete
    assert (out / "run.json").exists() == complete and (out / "report.html").exists() == complete
    if complete:
        run = json.loads((out / "run.json").read_text())
        assert sorted(run["files"]) == ["p00.png", "p01.png", "p02.png"]
        assert "the run was stopped: writing into OUT_DIR failed (No space left on device)" in run["warnings"][0]
    assert not [name for name in written_names(out) if name.endswith(".tmp")]
    free()
    assert main(command(reference, out, "--resume")) == 0
    assert "resuming: 3 of 6 files" in capsys.readouterr().err
    assert table(str(out)) == expected


@pytest.mark.hardening
def test_a_file_size_limit_stops_the_run_and_resume_finishes(reference, tmp_path, capsys):
    """A real failing write: under RLIMIT_FSIZE a preview (over 4 kB) cannot
    be written, the tables can."""
    _, _, _, expected, _ = reference
    out = tmp_path / "out"
    done = run_python("""
        import resource, signal, sys
        sys.path[:0] = %r
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 12, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
        from qlo_batch.__main__ import main
        sys.exit(main(%r))""" % (sys.path, command(reference, out)))
    assert done.returncode == 1 and done.stderr.count("\n") == 1, done.stderr
    assert "File too large" in done.stderr and "stopped after 0 of 6 files" in done.stderr
    assert json.loads((out / "run.json").read_text())["files"] == {}
    assert main(command(reference, out, "--resume")) == 0
    assert table(str(out)) == expected


@pytest.fixture
def fifo(tmp_path):
    """A FIFO nobody writes to. A reader still waiting on it after 3 s is let
    go (a writer opens it and closes it at once) and the test fails, so a
    hang costs seconds, not the run of the suite."""
    path = tmp_path / "pipe"
    os.mkfifo(path)
    stop, released = threading.Event(), []

    def release():
        if stop.wait(3):
            return
        while not stop.wait(0.1):
            try:
                os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
                released.append(path)
            except OSError:             # no reader waiting
                pass
    thread = threading.Thread(target=release, daemon=True)
    thread.start()
    yield path
    stop.set()
    thread.join()
    assert not released, "a reader waited on the FIFO"


SPECIAL_INPUTS = [
    # (the argument given a special file, what the one line says)
    ("--settings", "settings file {path}: not a regular file (a FIFO)"),
    ("--pairs", "pairs file {path}: not a regular file (a FIFO)"),
    ("standard", "standard image {path}: not a regular file (a FIFO)"),
    ("regions_workbook", "regions_workbook {path}: not a regular file (a FIFO)"),
    ("labels", "labels file {path}: not a regular file (a FIFO)"),
    ("--settings /dev/null", "settings file /dev/null: not a regular file (a character device)"),
    ("--pairs /dev/null", "pairs file /dev/null: not a regular file (a character device)"),
    ("--settings folder", "settings file {folder}: not a regular file (a folder)"),
]


@pytest.mark.parametrize("given, said", SPECIAL_INPUTS)
def test_an_input_that_is_not_a_regular_file_is_refused_in_one_line(reference, tmp_path, fifo, capsys, given,
                                                                    said):
    standard, folder, settings, _, ref = reference
    argument, _, special = given.partition(" ")
    path = {"": str(fifo), "folder": folder}.get(special, special)
    out = str(tmp_path / "out")
    (tmp_path / "pairs.csv").write_text("standard,target\n%s,%s\n" % (standard, os.path.join(folder, "p00.png")))
    if argument == "labels":
        code = evaluate_main([str(ref), path])
    elif argument == "regions_workbook":
        (tmp_path / "regions.toml").write_text('regions_workbook = "%s"\n' % path)
        code = main([standard, folder, out, "--settings", str(tmp_path / "regions.toml"), "--serial"])
    elif argument == "standard":
        code = main([path, folder, out, "--serial", "--no-progress"])
    else:
        code = main(["--pairs", str(tmp_path / "pairs.csv"), out, "--serial", "--no-progress", argument, path])
    err = capsys.readouterr().err
    assert (code, err.count("\n")) == (2, 1), err
    assert said.format(path=path, folder=folder) in err, err
    assert not os.path.exists(out)


def test_a_fifo_standard_of_a_pairs_run_is_an_error_row_for_its_pairs(reference, tmp_path, fifo):
    standard, folder, settings, expected, _ = reference
    (tmp_path / "pairs.csv").write_text("standard,target\n%s,a.png\n%s,b.png\n%s,c.png\n" % (
        fifo, standard, fifo))
    for name in "abc":
        shutil.copy(os.path.join(folder, "p01.png"), tmp_path / ("%s.png" % name))
    assert main(["--pairs", str(tmp_path / "pairs.csv"), str(tmp_path / "out"), "--settings", settings,
                 "--serial", "--no-progress"]) == 0
    rows = table(str(tmp_path / "out"))
    assert {name: row["verdict"] for name, row in rows.items()} == {"a.png": "ERROR", "b.png": "OK", "c.png": "ERROR"}
    assert all(rows[name]["error"] == "standard %s: not a regular file (a FIFO)" % fifo
               for name in ("a.png", "c.png"))


def test_a_text_input_far_too_large_is_refused_unread(reference, tmp_path, capsys):
    standard, folder, _, _, _ = reference
    huge = tmp_path / "huge.toml"
    with open(huge, "wb") as f:
        f.truncate(17 << 20)                # a sparse file: 17 MiB of nothing
    assert main([standard, folder, str(tmp_path / "out"), "--settings", str(huge), "--serial"]) == 2
    assert "settings file %s: 17825792 bytes, more than the 16 MiB such a file may have" % huge in \
        capsys.readouterr().err


def test_a_settings_file_with_a_byte_order_mark_is_read(reference, tmp_path):
    standard, folder, _, expected, _ = reference
    (tmp_path / "settings.toml").write_bytes(b"\xef\xbb\xbf" + open(reference[2], "rb").read().replace(b"\n",
                                                                                                        b"\r\n"))
    rows = run_batch(standard, folder, str(tmp_path / "out"), str(tmp_path / "settings.toml"), serial=True,
                     progress=False)
    assert rows[0]["verdict"] == "NG" and table(str(tmp_path / "out")) == expected


@pytest.mark.hardening
def test_a_million_pairs_and_dev_zero_as_inputs(tmp_path):
    """The size limits leave room for real tables: a pairs file of a million
    rows is read; /dev/zero, which would be read until memory runs out, is
    refused at once (here under a memory ceiling, in case it is not)."""
    path = tmp_path / "pairs.csv"
    with open(path, "w") as f:
        f.write("standard,target\n")
        f.writelines("boards/board%04d/standard.png,boards/board%04d/tile%06d.png\n" % (i // 1000, i // 1000, i)
                     for i in range(1000000))
    pairs = read_pairs(str(path))
    assert len(pairs) == 1000000 and pairs[-1].file == "boards/board0999/tile999999.png"
    for option in ("--settings", "--pairs"):
        done = run_python("""
            import os, resource, sys
            sys.path[:0] = %r
            if "libasan" not in os.environ.get("LD_PRELOAD", ""):    # AddressSanitizer caps memory its own way
                resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))
            from qlo_batch.__main__ import main
            sys.exit(main(["--pairs", %r, %r, %r, "/dev/zero"]))""" % (sys.path, str(path), str(tmp_path / "out"),
                                                                      option))
        assert done.returncode == 2 and "/dev/zero: not a regular file (a character device)" in done.stderr, \
            done.stderr


@pytest.mark.hardening
@pytest.mark.tooling
def test_a_cluster_run_of_a_camera_sized_standard_prints_no_large_graph_warning(tmp_path, capsys):
    """The inspector (15 MB pickled with a 5-megapixel standard and its
    comparator) is sent to the cluster as the graph of one task."""
    rng = np.random.default_rng(5)
    standard = cv2.GaussianBlur(rng.integers(0, 256, (2048, 2448), np.uint8), (0, 0), 3)
    (tmp_path / "prints").mkdir()
    cv2.imwrite(str(tmp_path / "standard.png"), standard)
    for index in range(3):
        cv2.imwrite(str(tmp_path / "prints" / ("p%d.png" % index)), standard)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        rows = run_batch(str(tmp_path / "standard.png"), str(tmp_path / "prints"), str(tmp_path / "out"),
                         workers=1, processes=False, serial=False, progress=False)
    assert [row["verdict"] for row in rows] == ["OK"] * 3
    assert not [w for w in caught if "large graph" in str(w.message)]
    assert "large graph" not in capsys.readouterr().err


def test_resume_inspects_again_the_prints_whose_standard_changed(tmp_path):
    two_prints(tmp_path)
    pairs, out = str(tmp_path / "pairs.csv"), str(tmp_path / "out")

    def verdicts(rows):
        return {row["file"]: row["verdict"] for row in rows}

    assert verdicts(run_pairs(pairs, out, serial=True, progress=False)) == {"prints/a.png": "OK", "prints/b.png": "NG"}
    shutil.copy(tmp_path / "prints" / "b.png", tmp_path / "std.png")       # the standard now has the spot
    resumed = run_pairs(pairs, out, serial=True, progress=False, resume=True)
    assert verdicts(resumed) == {"prints/a.png": "NG", "prints/b.png": "OK"}
