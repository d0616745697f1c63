"""Watching a camera's folder, or a pairs file that grows, for days: each
print is inspected once it is completely written (qlo_batch.arrivals), its
row goes to the same report and journal a batch run writes, and the page,
run.json and defects.csv are written again at most every `refresh` seconds
(less often when writing them takes long) and once at the end.

A start resumes from the journal (resume.jsonl): the rows of the prints
inspected before are kept, and such a print is not inspected again unless it
or its standard changed since (its print gone, its row stays); a print whose
row did not reach the journal (a killed watch) is inspected. The first
Ctrl-C or SIGTERM stops the watch once the prints in hand are done; a second
abandons them (they have no journal line, so the next start inspects them).
Either way the report files are written whole.

What a watch keeps grows only with what the tables need: the rows, and the
names done (so a print is inspected once); the prints being written are
remembered while they are there, and no image outlives its row."""
import collections
import contextlib
import json
import os
import signal
import threading
import time

from qlo_batch.arrivals import SETTLE_SECONDS, Arrivals, FolderLook, is_complete
from qlo_batch.errors import RunError, WriteError
from qlo_batch.image_files import header_sizes
from qlo_batch.journal import row_key, stamp, task_key
from qlo_batch.pairs import PairsTail
from qlo_batch.pipeline import (Unwritten, as_settings, check_out_dir, close_report, folder_entry, folder_inspector,
                                note, open_report, own_outputs, pictures_there, progress_bar, record,
                                run_on_dask, run_serial, settings_file, start_client)
from qlo_batch.run_context import describe
from qlo_batch.settings import check_images
from qlo_batch.work_unit import Inspector, Outcome, is_image_name

POLL_SECONDS = 0.25
REFRESH_SECONDS = 2.0
# A look at the source or a refresh of the page that takes long (a folder of a
# million entries, a table of a million rows) is done at most this share of
# the time.
LOOK_SHARE, REFRESH_SHARE = 0.1, 0.2


def still_holds(then, now, pictures_there):
    """Whether a row from the journal holds at a restart. `then` and `now` are
    the [target, standard] stamps when it was inspected and now (None for a
    file that cannot be read). A print that is gone keeps its row (it is all
    that is left of it); one that is there keeps it when it and its standard
    are unchanged and the row's pictures are there, else it is inspected
    again."""
    if now[0] is None:
        return True
    return then == now and now[1] is not None and pictures_there


class Stop:
    """The first SIGINT or SIGTERM asks the watch to stop once the prints in
    hand are done; a second abandons them (KeyboardInterrupt). Off the main
    thread no handler is set: set `requested` to stop."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self):
        self.requested = False
        self.previous = {}

    def handle(self, number, frame):
        if self.requested:
            raise KeyboardInterrupt
        self.requested = True

    def ignore(self):
        """Ignores both signals from now on (while the report is written)."""
        for number in self.previous:
            signal.signal(number, signal.SIG_IGN)

    def __enter__(self):
        if threading.current_thread() is threading.main_thread():
            self.previous = {number: signal.signal(number, self.handle) for number in self.SIGNALS}
        return self

    def __exit__(self, *exc):
        for number, handler in self.previous.items():
            signal.signal(number, handler)
        return False


class Trouble:
    """Says a problem with the source in one line, once, not at every look."""

    def __init__(self):
        self.said = None

    def say(self, text):
        if text != self.said:
            note("qlo_batch: %s" % text)
        self.said = text

    def clear(self):
        self.said = None


def as_list(file_stamp):
    return None if file_stamp is None else list(file_stamp)


class FolderSource:
    """The prints arriving in a folder, against one standard."""

    def __init__(self, standard, target_dir, out_dir, outside_links=True):
        self.standard, self.folder = standard, target_dir
        self.inside = None if outside_links else os.path.realpath(target_dir)
        owned = own_outputs(out_dir)
        self.look = FolderLook(target_dir, lambda name, path: is_image_name(name) and not owned(path))
        self.standard_stamp = stamp(standard)
        self.done = set()           # names inspected
        self.trouble = Trouble()

    def owns(self, row):
        return (os.path.dirname(row["target"]) == os.path.abspath(self.folder)
                and row["standard"] == os.path.abspath(self.standard))

    def start(self, rows):
        self.done.update(row["file"] for row in rows)

    def listing(self):
        try:
            found = self.look.look(self.done)
        except OSError as error:    # the folder removed or unmounted: looked at again later
            self.trouble.say("cannot list %s: %s" % (self.folder, error.strerror or error))
            return {}, ()
        self.trouble.clear()
        return found

    def arrived(self, name, file_stamp):
        """The task (or ERROR outcome) of a complete print and its journal stamps."""
        self.done.add(name)
        entry = folder_entry(self.standard, os.path.join(self.folder, name), self.inside)
        return entry, [as_list(file_stamp), self.standard_stamp]


class PairsSource:
    """The pairs appended to a pairs file, each target waited for until it is
    complete. A malformed row, or a target listed again, is said in one line
    and skipped."""

    def __init__(self, pairs_csv, settle=SETTLE_SECONDS):
        self.path, self.settle = pairs_csv, settle
        self.tail = PairsTail(pairs_csv)
        self.pending = {}           # json task key -> Pair listed, not yet complete
        self.files = set()          # targets listed (a report names each once)
        self.at_start = set()       # json task keys listed when the watch started
        self.trouble = Trouble()

    def read(self, whole=False):
        try:
            self.add(*self.tail.read(whole))
        except (OSError, ValueError) as error:
            self.trouble.say("pairs file %s: %s" % (self.path, getattr(error, "strerror", None) or error))
        else:
            self.trouble.clear()

    def add(self, pairs, problems):
        for problem in problems:
            note("qlo_batch: %s; the row is skipped" % problem)
        for pair in pairs:
            if pair.file in self.files:
                note("qlo_batch: %s: the target %s is listed again; the row is skipped" % (self.path, pair.file))
                continue
            self.files.add(pair.file)
            self.pending[json.dumps(task_key(pair))] = pair

    def first_pairs(self):
        """Reads the file as it is at the start (RunError when it cannot be
        read or its header is wrong); returns the pairs listed."""
        try:
            self.add(*self.tail.read(self.complete()))
        except (OSError, ValueError) as error:
            raise RunError("pairs file %s: %s" % (self.path, getattr(error, "strerror", None) or error)) from None
        self.at_start = set(self.pending)
        return list(self.pending.values())

    def owns(self, row):
        return json.dumps(row_key(row)) in self.at_start

    def start(self, rows):
        for row in rows:
            self.pending.pop(json.dumps(row_key(row)), None)

    def complete(self):
        """Whether the pairs file is complete (then a last line without an end is read too)."""
        now = stamp(self.path)
        return now is not None and is_complete(now, 0.0, time.time_ns(), self.settle)

    def listing(self):
        self.read(self.complete())
        return {key: as_list(stamp(pair.target)) for key, pair in self.pending.items()}, ()

    def arrived(self, key, file_stamp):
        pair = self.pending.pop(key)
        return pair, [file_stamp, stamp(pair.standard)]


class Watch:
    """Hands the complete prints of a source to the inspection and keeps their
    outcomes in the report and the journal."""

    def __init__(self, source, writer, journal, stop, settle, refresh, bar=None):
        self.source, self.writer, self.journal, self.stop = source, writer, journal, stop
        self.arrivals = Arrivals(settle)
        self.ready = collections.deque()    # tasks complete, not yet handed out
        self.stamps = {}                    # json task key -> journal stamps, until its outcome is kept
        self.looked, self.look_every = None, POLL_SECONDS
        self.refresh, self.refresh_every = refresh, refresh
        self.refreshed, self.changed = float("-inf"), True     # the page is written at the first look
        self.inspected = 0
        self.bar = bar

    def poll(self):
        """Looks at the source when a look is due: complete prints become
        tasks, or ERROR rows at once."""
        start = time.monotonic()
        if self.looked is not None and start - self.looked < self.look_every:
            return
        listing, renamed = self.source.listing()
        for key in self.arrivals.complete(listing, renamed):
            entry, stamps = self.source.arrived(key, listing[key])
            self.stamps[json.dumps(task_key(entry))] = stamps
            if isinstance(entry, Outcome):
                self.keep(entry)
            else:
                self.ready.append(entry)
        self.looked = time.monotonic()
        self.look_every = max(POLL_SECONDS, (self.looked - start) / LOOK_SHARE)
        self.refresh_if_due()

    def tasks(self):
        """The tasks one by one as they arrive, until a stop is asked for (for
        the plain loop)."""
        while not self.stop.requested:
            self.poll()
            if self.ready:
                yield self.ready.popleft()
            else:
                time.sleep(max(0.01, self.looked + self.look_every - time.monotonic()))

    def take(self, room):
        """Up to `room` tasks that arrived, or None once a stop is asked for
        (for the cluster)."""
        if self.stop.requested:
            return None
        self.poll()
        return [self.ready.popleft() for _ in range(min(room, len(self.ready)))]

    def keep(self, outcome):
        record(self.writer, self.journal, outcome, self.stamps.pop(json.dumps(task_key(outcome))))
        self.inspected += 1
        self.changed = True
        if self.bar is not None:
            self.bar.update(1)
            self.bar.set_postfix_str(outcome.verdict + " " + outcome.file, refresh=False)
        self.refresh_if_due()

    def refresh_if_due(self):
        start = time.monotonic()
        if self.changed and start - self.refreshed >= self.refresh_every:
            try:
                self.writer.refresh()
            except OSError as error:
                raise Unwritten(error) from None
            self.refreshed, self.changed = time.monotonic(), False
            self.refresh_every = max(self.refresh, (self.refreshed - start) / REFRESH_SHARE)

    def waiting(self):
        """How many prints arrived but are not in the report."""
        return len(self.arrivals.pending) + len(self.ready) + len(self.stamps)


def watch_folder(standard, target_dir, out_dir, settings=None, outside_links=True, **options):
    """Watches `target_dir` for prints and inspects each against the `standard`
    image file as it arrives, into the report in `out_dir`, until stopped;
    returns the report's rows. Options as for `watch`."""
    if not os.path.isdir(target_dir):
        raise RunError("%s is not a folder" % target_dir)
    context = describe(as_settings(settings), settings_file(settings), standard=standard, folder=target_dir)
    check_out_dir(out_dir)
    inspector, warnings = folder_inspector(standard, as_settings(settings), options.pop("marked", None))
    return watch(inspector, FolderSource(standard, target_dir, out_dir, outside_links), out_dir, warnings, context,
                 **options)


def watch_pairs(pairs_csv, out_dir, settings=None, **options):
    """Watches the pairs file for rows appended to it and inspects each target
    against its own standard once it is complete, into the report in
    `out_dir`, until stopped; returns the report's rows."""
    context = describe(as_settings(settings), settings_file(settings), pairs=pairs_csv)
    settings = as_settings(settings)
    source = PairsSource(pairs_csv, options.get("settle", SETTLE_SECONDS))
    standards = dict.fromkeys(pair.standard for pair in source.first_pairs())
    inspector = Inspector(settings, options.pop("marked", None))
    return watch(inspector, source, out_dir, check_images(settings, header_sizes(standards)), context, **options)


def watch(inspector, source, out_dir, warnings=(), context=None, scheduler=None, workers=2, processes=True,
          serial=None, progress=True, dashboard=None, settle=SETTLE_SECONDS, refresh=REFRESH_SECONDS, stop=None):
    """Inspects what arrives from `source` until `stop` (a Stop, made here when
    None) is requested; returns the report's rows. On a cluster when a
    `scheduler` is given or `serial` is False (a local cluster of `workers`
    processes, or threads), else in a plain loop in this process. RunError
    when it cannot start; WriteError (after keeping the rows so far) when
    writing into `out_dir` fails."""
    check_out_dir(out_dir)

    def holding(previous):
        return [(row, then) for row, then in previous.values() if source.owns(row) and still_holds(
            then, [stamp(row["target"]), stamp(row["standard"])], pictures_there(out_dir, row))]
    writer, journal, kept, untrusted = open_report(out_dir, inspector.settings, warnings, context, True, holding,
                                                   inspector.marked)
    source.start([row for row, _ in kept])
    note("qlo_batch: watching; %d files already in the report%s (Ctrl-C or SIGTERM stops)"
         % (len(kept), "; %d untrusted journal lines: those files are inspected again" % untrusted
            if untrusted else ""))
    abandoned, unwritten = False, None
    with contextlib.ExitStack() as stack:
        stop = stack.enter_context(stop or Stop())
        state = Watch(source, writer, journal, stop, settle, refresh)
        try:
            client = start_client(stack, scheduler, workers, processes, dashboard) \
                if scheduler or serial is False else None
            state.bar = stack.enter_context(progress_bar(None, progress, len(kept)))
            outcomes = run_serial(inspector, state.tasks()) if client is None else \
                run_on_dask(inspector, [], client, state.take, out_dir=out_dir)
            for outcome in outcomes:
                state.keep(outcome)
        except KeyboardInterrupt:
            abandoned = True
        except Unwritten as failed:     # the disk is full: the rows so far are the report
            unwritten = failed.args[0]
        stop.ignore()           # the cluster stops and the report is written whole
    rows, failure = close_report(writer, journal)
    if unwritten or failure:
        raise WriteError(unwritten or failure, len(rows), len(rows) + state.waiting(), out_dir, failure is None)
    note("qlo_batch: watch stopped: %d files in the report, %d inspected since the start%s"
         % (len(rows), state.inspected, "; %d arriving file%s inspected at the next start"
            % (state.waiting(), "s are" if state.waiting() > 1 else " is") if state.waiting() else ""))
    if abandoned:
        note("qlo_batch: the files in hand were abandoned")
    return rows
