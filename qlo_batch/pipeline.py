"""Running an inspection: each print against its standard, on Dask (a local
cluster, or an existing one reached through its scheduler address) or in a
plain loop in this process, with a progress bar, writing the report as
outcomes arrive. Unless told which, a run starts in the plain loop and moves
to a local cluster only when the prints left would take long enough to repay
starting one."""
import collections
import concurrent.futures
import contextlib
import functools
import importlib.util
import os
from typing import List, Optional, Union
import json
import queue as _queue
import signal
import socket
import sys
import threading
import time

from qlo_batch.defects import run_settings
from qlo_batch.errors import Interrupted, RunError, WriteError
from qlo_batch.image_files import header_sizes, in_words
from qlo_batch.inputs import entry_kind
from qlo_batch.journal import FILE_NAME as JOURNAL_NAME, Journal, row_key, stamp, task_key
from qlo_batch.outputs import Folder, is_own_file
from qlo_batch import progress
from qlo_batch.pairs import read_pairs
from qlo_batch.report import IMAGE_FOLDERS, REPORT_FILES, PictureWriter, ReportWriter, pictures
from qlo_batch.run_context import describe, earlier_parts
from qlo_batch.settings import Settings, check_images, load_settings
from qlo_batch.work_unit import Inspector, Outcome, folder_task, is_image_name, read_grey

# Chunks in flight per worker: enough to keep every worker busy, few enough that
# finished outcomes do not pile up on the workers.
IN_FLIGHT_PER_WORKER = 3
# What the choice between the loop and a local cluster of worker threads
# weighs: the wall seconds from the choice to the cluster's first outcome on
# this kind of machine (importing Dask's distributed package, starting the
# cluster; bench/batch.py measures it), the share of a core each worker thread
# gets (decoding, comparing and encoding run outside the GIL, the rest of a
# print and the report's writing do not), and the prints timed in the loop
# before the choice is made.
CLUSTER_START_SECONDS = 1.0
THREAD_SHARE = 0.8
PROBE_PRINTS = 2
# What a run writes into OUT_DIR.
IMAGE_FOLDER_NAMES = tuple(name for name, _ in IMAGE_FOLDERS)
OWNED_NAMES = IMAGE_FOLDER_NAMES + REPORT_FILES + (JOURNAL_NAME,)

# What the run functions take for a path, and for their settings.
PathText = Union[str, "os.PathLike[str]"]
SettingsSource = Union[Settings, str, "os.PathLike[str]", None]


def run_serial(inspector, tasks):
    """The outcomes of a plain loop in this process, in task order."""
    for task in tasks:
        yield inspector(task)


def note(text):
    """One line on stderr, above the progress bar when there is one."""
    try:
        from tqdm import tqdm
    except ImportError:
        print(text, file=sys.stderr, flush=True)
    else:
        tqdm.write(text, file=sys.stderr)


@contextlib.contextmanager
def dask_client(scheduler=None, workers=2, processes=True, dashboard=None):
    """A client of the cluster at `scheduler`, or of a new local cluster of
    `workers` single-threaded workers (processes, or threads of this one)
    that only this process can reach, with a dashboard at the address
    `dashboard` (none when None)."""
    from dask.distributed import Client
    if scheduler:
        with Client(scheduler) as client:
            yield client
        return
    with local_cluster(workers, processes, dashboard) as (cluster, security):
        with Client(cluster, security=security) as client:
            yield client


@contextlib.contextmanager
def local_cluster(workers, processes, dashboard):
    """A LocalCluster and its Security. Its scheduler and workers listen on the
    loopback interface only. Worker processes talk TLS with a key made for this
    run and kept in memory (it reaches the workers when they are started), so
    another user of the machine who finds the ports can neither submit work
    nor read the prints; without the `cryptography` package the processes
    talk plain TCP and the run says so. Threads of this process use the
    in-process transport, which nothing outside it can reach. The
    scheduler's HTTP server serves nothing (no dashboard, no state pages)
    unless a dashboard is asked for. The workers ignore SIGINT, so Ctrl-C
    reaches this process only, which stops them in order."""
    import logging
    import dask
    from dask.distributed import LocalCluster, Security
    options = dict(n_workers=workers, threads_per_worker=1, processes=processes, dashboard_address=dashboard,
                   silence_logs=logging.CRITICAL)
    security = None
    if processes:
        options["host"] = "127.0.0.1"
        try:
            security = Security.temporary()
        except ImportError:
            note("qlo_batch: the cryptography package is missing: the local Dask cluster talks plain TCP, "
                 "which other users of this machine could reach (pip install cryptography)")
        else:
            options["security"] = security
    # A worker takes one task at a time (no queue of its own), so the death of
    # a worker process counts against the one file it was inspecting alone.
    config = {"distributed.scheduler.worker-saturation": 1.0}
    if processes:
        config["distributed.worker.preload"] = ["qlo_batch.pipeline"]
    if dashboard is None:
        config.update({"distributed.scheduler.http.routes": [], "distributed.worker.http.routes": []})
        options["scheduler_kwargs"] = {"dashboard": False, "dashboard_address": "127.0.0.1:0"}
    # Worker processes started while this process ignores SIGINT inherit that
    # (the preload covers the ones restarted later).
    ignoring = processes and threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if ignoring else None
    try:
        with dask.config.set(config):
            cluster = LocalCluster(**options)
    finally:
        if ignoring:
            signal.signal(signal.SIGINT, signal.default_int_handler if previous is None else previous)
    with cluster:
        yield cluster, security


def dask_setup(worker):
    """Run by each worker process of a local cluster as it starts, restarted
    ones included (a Dask preload): Ctrl-C in the terminal signals the whole
    process group, and only this run's own process is to act on it."""
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)


def start_client(stack, scheduler, workers, processes, dashboard):
    """A client entered on `stack`, or None (said in one line) when the cluster
    could not be started or reached: the run then goes on in this process."""
    try:
        return stack.enter_context(dask_client(scheduler, workers, processes, dashboard))
    except Exception as error:
        what = "the Dask scheduler at %s could not be reached" % scheduler if scheduler else \
            "the local Dask cluster could not start"
        note("qlo_batch: %s (%s: %s); inspecting in this process" % (what, type(error).__name__, error))
        return None


# A task in flight this long (or this many times the longest inspection so
# far, if more) is taken as lost on a frozen or unreachable worker; fetching a
# finished outcome gets the same bound. A task that failed on the cluster for
# any other reason than its own file is sent again this many times before it
# runs in this process.
STALL_SECONDS = 30.0
STALL_FACTOR = 10.0
CLUSTER_ATTEMPTS = 3
# The longest a watch's run on the cluster waits for outcomes before it asks
# for new arrivals.
WATCH_ROUND = 0.25


def run_on_dask(inspector, tasks, client, more=None, out_dir=None):
    """The outcomes of the inspection on the client's cluster, as they finish.
    The inspector is sent to the cluster once, as the result of a task, which
    the scheduler makes again wherever it is needed when the workers holding
    it are lost (scattered data would be lost with them, and the tasks needing
    it cancelled, so that a worker's death could not be told from a
    cancellation). Each worker keeps its copy, with the standard it prepared
    last, for all the chunks it inspects.

    Files go to the workers in chunks (Chunks): one file each until the
    first inspections are timed, then as many as take about CHUNK_SECONDS,
    so that the scheduler's cost per task stays a few per cent of the work.
    With `out_dir` (the report's folder, which the workers share with this
    process), each worker writes the pictures of the prints it inspected
    there and sends back the rows alone (see inspect_chunk).

    Losing workers never costs a verdict: a chunk lost with its worker
    (killed, cancelled, or holding the inspector no more) is sent again, a
    chunk of several files that killed its worker is sent again one file a
    task; one stalled on a frozen worker, or failing repeatedly, is inspected
    in this process; when the cluster finishes nothing for a whole stall
    period, the rest is inspected in this process. Only a file that killed
    the workers inspecting it alone several times (so the file itself may
    crash the inspection) becomes an ERROR outcome.

    With `more`, tasks keep arriving while the run goes on (a watch): it is
    called every round, at most WATCH_ROUND seconds apart, with the number of
    tasks the cluster has room for, and returns at most that many new ones, or
    None once no more will come; the run ends when those in hand are done."""
    queue = collections.deque(tasks)
    finished = _queue.SimpleQueue()
    flight = {}                 # future -> (list of tasks, monotonic time of submission)
    failures, killed = collections.Counter(), collections.Counter()
    chunks = Chunks()
    progress = time.monotonic()
    remote = None               # the inspector on the cluster
    trouble = None              # the last error sending it
    share = SharedFolder.start(out_dir) if out_dir is not None else None

    def workers():
        return max(1, len(client.scheduler_info()["workers"]))

    def window():
        """Files the cluster has room for: IN_FLIGHT_PER_WORKER chunks a worker."""
        return IN_FLIGHT_PER_WORKER * workers() * chunks.size(len(queue), workers())

    def fill():
        nonlocal remote
        room = IN_FLIGHT_PER_WORKER * workers()
        while queue and len(flight) < room:
            if remote is None or remote.status in ("error", "cancelled", "lost"):
                remote = send_inspector(client, inspector)
            chunk = chunks.take(queue, workers())
            future = client.submit(inspect_chunk, remote, chunk, THIS_PROCESS, *share.where() if share else (),
                                   pure=False)
            flight[future] = (chunk, time.monotonic())
            future.add_done_callback(finished.put)

    def in_process(text):
        """Cancels what is in flight and inspects the rest here."""
        rest = [task for chunk, _ in flight.values() for task in chunk] + list(queue)
        note("qlo_batch: %s; inspecting the remaining %d files in this process" % (text, len(rest)))
        for future in flight:
            with contextlib.suppress(Exception):
                future.cancel()
        flight.clear()
        queue.clear()
        return rest

    try:
        while queue or flight or more is not None:
            if more is not None:
                arrived = more(max(0, window() - sum(len(chunk) for chunk, _ in flight.values()) - len(queue)))
                if arrived is None:
                    more = None
                elif arrived:
                    if not queue and not flight:
                        progress = time.monotonic()     # the cluster was idle, not stalled
                    queue.extend(arrived)
            try:
                fill()
            except (OSError, TimeoutError) as error:
                # A worker lost while the inspector was sent to it: tried again on the next round.
                trouble, remote = error, None
            try:
                done = [finished.get(timeout=1.0 if more is None else WATCH_ROUND)]
            except _queue.Empty:
                done = []
            while not finished.empty():
                done.append(finished.get())
            for future in done:
                if future not in flight:
                    continue                    # cancelled by this loop
                chunk, _ = flight.pop(future)
                outcomes, error = collect(future, STALL_SECONDS)
                if outcomes is not None:
                    chunks.timed(outcomes)
                    progress = time.monotonic()
                    yield from outcomes
                elif type(error).__name__ == "KilledWorker" and len(chunk) > 1:
                    queue.extendleft(reversed(chunk))       # one file a task: the one that crashes stands out
                    chunks.alone.update(task.file for task in chunk)
                elif type(error).__name__ == "KilledWorker":
                    # The scheduler counts a worker's death against every task it had taken (the one
                    # running and any queued behind it): a second submission tells the file that
                    # crashes workers from one that was only queued beside it.
                    task, = chunk
                    killed[task.file] += 1
                    if killed[task.file] < 2:
                        queue.appendleft(task)
                    else:
                        yield Outcome.failed(task, "the worker process inspecting this file died each time it "
                                                   "was tried (the file may crash the inspection): %s" % error)
                else:
                    if isinstance(error, concurrent.futures.CancelledError):
                        remote = None           # cancelled with the inspector it needed: send it again
                    again = []
                    for task in chunk:
                        failures[task.file] += 1
                        if failures[task.file] < CLUSTER_ATTEMPTS:
                            again.append(task)
                        else:
                            note("qlo_batch: %s failed %d times on the cluster (%s: %s); inspecting it in this "
                                 "process" % (task.file, failures[task.file], type(error).__name__, error))
                            yield inspector(task)
                    queue.extendleft(reversed(again))
            now, limit = time.monotonic(), max(STALL_SECONDS, STALL_FACTOR * chunks.longest)
            stalled = [future for future, (_, since) in flight.items() if now - since > limit]
            if now - progress > limit and (stalled or not flight and queue):
                why = "" if trouble is None else " (%s: %s)" % (type(trouble).__name__, trouble)
                yield from run_serial(inspector, in_process("the Dask cluster finished nothing in %.0f s%s"
                                                            % (limit, why)))
            elif stalled:
                late = [task for future in stalled for task in flight[future][0]]
                note("qlo_batch: %d file%s waited over %.0f s on the cluster (a worker may be frozen); inspecting "
                     "%s in this process" % (len(late), "s" if len(late) > 1 else "", limit,
                                             "them" if len(late) > 1 else "it"))
                for future in stalled:
                    flight.pop(future)
                    with contextlib.suppress(Exception):
                        future.cancel()
                yield from run_serial(inspector, late)
    finally:
        if remote is not None:
            with contextlib.suppress(Exception):
                remote.release()
        if share is not None:
            share.close()


# Chunks of files sent as one task: once the first inspections are timed, as
# many files as take CHUNK_SECONDS (a Dask task costs the scheduler and the
# client a few milliseconds, so this keeps it to a few per cent), at most
# MAX_CHUNK, and no more than a share of what is left, so that the last
# chunks spread over the workers instead of one worker finishing alone.
CHUNK_SECONDS = 0.25
MAX_CHUNK = 64
TIMED_FILES = 4


class Chunks:
    """How many files the next chunk takes, from the inspections timed so far."""

    def __init__(self):
        self.files, self.seconds = 0, 0.0
        self.longest = 0.0          # the longest chunk so far, in seconds of inspection
        self.alone = set()          # files sent one a task since their chunk killed a worker

    def timed(self, outcomes):
        spent = sum(outcome.seconds for outcome in outcomes)
        self.files += len(outcomes)
        self.seconds += spent
        self.longest = max(self.longest, spent)

    def size(self, left, workers):
        if self.files < TIMED_FILES or left <= 1:
            return 1
        size = round(CHUNK_SECONDS / max(self.seconds / self.files, 1e-6))
        return max(1, min(size, MAX_CHUNK, -(-left // (2 * workers))))

    def take(self, queue, workers):
        """The next chunk from the front of `queue` (a deque of tasks): a file
        sent alone since its chunk killed a worker goes alone again."""
        chunk = [queue.popleft()]
        size = 1 if chunk[0].file in self.alone else self.size(len(queue) + 1, workers)
        while queue and len(chunk) < size and queue[0].file not in self.alone:
            chunk.append(queue.popleft())
        return chunk


# The run's own process, as its workers tell it from theirs.
THIS_PROCESS = (socket.gethostname(), os.getpid())


def inspect_chunk(inspector, tasks, client_process, out_dir=None, mark=None):
    """The outcomes of a chunk of tasks, run on a worker. In a worker process
    (not the run's own, `client_process`), OpenCV runs its loops on one
    thread: a worker inspects one print at a time, each core has its worker,
    and OpenCV's pool of threads, which spin while they wait, would take the
    cores from the other workers (two workers on two cores inspected at half
    speed). With `out_dir`, the pictures of each are written there (when the
    folder holds the `mark` the client left in it, so it is the client's own
    folder and not one of the same name on this worker's host) and the
    outcome carries their paths in place of the bytes; a picture that cannot
    be written here stays in its outcome, for the client to write."""
    if tuple(client_process) != THIS_PROCESS:
        worker_process_settings()
    outcomes = [inspector(task) for task in tasks]
    pictures = SharedFolder.join(out_dir, mark) if out_dir is not None else None
    if pictures is not None:
        with contextlib.closing(pictures):
            for outcome in outcomes:
                with contextlib.suppress(OSError):
                    pictures.store(outcome)
    return outcomes


# glibc's allocator in a worker process: arrays up to this size come from the
# heap, which keeps this much free memory instead of returning it at once.
# Dask's nanny starts workers with MALLOC_TRIM_THRESHOLD_=65536, which also
# fixes the threshold above which memory is mapped afresh at 128 kB: every
# image and mask of a print then costs a new mapping and its page faults
# (a run of 640 x 640 tiles took 40 % more CPU).
HEAP_ARRAYS = 64 << 20
_M_TRIM_THRESHOLD, _M_MMAP_THRESHOLD = -1, -3


@functools.lru_cache(maxsize=None)
def worker_process_settings():
    """Once per worker process: OpenCV on one thread, and glibc's allocator
    keeping the arrays of a print on its heap (see HEAP_ARRAYS)."""
    import ctypes
    import cv2
    cv2.setNumThreads(1)
    with contextlib.suppress(OSError, AttributeError):
        libc = ctypes.CDLL(None)
        libc.mallopt(_M_MMAP_THRESHOLD, HEAP_ARRAYS)
        libc.mallopt(_M_TRIM_THRESHOLD, 2 * HEAP_ARRAYS)


class SharedFolder:
    """OUT_DIR as the workers see it: the client leaves a mark in it (a file
    holding a random text) for the run's length; a worker that finds the
    same text under the same path writes its pictures there."""
    MARK = ".qlo-workers-share-this-folder"

    def __init__(self, out_dir, text):
        self.out_dir, self.text = out_dir, text

    @classmethod
    def start(cls, out_dir):
        import secrets
        text = secrets.token_hex(16)
        folder = Folder.open(out_dir)
        try:
            folder.write(cls.MARK, text.encode("ascii"))
        finally:
            folder.close()
        return cls(os.path.abspath(out_dir), text)

    def where(self):
        return self.out_dir, self.text

    def close(self):
        with contextlib.suppress(OSError):
            os.unlink(os.path.join(self.out_dir, self.MARK))

    @classmethod
    def join(cls, out_dir, text):
        """A PictureWriter of `out_dir` when it bears the mark `text`, else None."""
        try:
            with open(os.path.join(out_dir, cls.MARK), "rb") as mark:
                if mark.read(64) != text.encode("ascii"):
                    return None
            folder = Folder(out_dir, os.open(out_dir, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC))
        except OSError:
            return None
        try:
            return PictureWriter(folder)
        except OSError:
            return None
        finally:
            folder.close()


def collect(future, timeout):
    """(result, None) of a finished future, or (None, the exception) of one
    that failed, was cancelled or whose result could not be fetched."""
    try:
        if future.status == "finished":
            return future.result(timeout=timeout), None
        error = future.exception(timeout=timeout) if future.status == "error" else None
        return None, error or concurrent.futures.CancelledError("%s %s" % (future.key, future.status))
    except Exception as error:
        return None, error
    finally:
        future.release()


def send_inspector(client, inspector):
    """The future of the inspector on the cluster: a task whose graph holds it
    pickled, with the standard and its comparator (15 MB for a 5-megapixel
    standard). Dask warns of any graph over 10 MB, as if data were embedded
    in every task; this one is sent once (again only when the workers holding
    it are lost), which is what the warning recommends, so the limit is
    lifted for this submission alone."""
    import dask
    with dask.config.set({"distributed.admin.large-graph-warning-threshold": "1 TiB"}):
        return client.submit(inspector_as_sent, inspector, pure=False)


def inspector_as_sent(inspector):
    return inspector


def idle_cores():
    """Cores free for more workers: the machine's, less the load of the last
    minute that is not this process's own (a shared machine has fewer)."""
    cores = os.cpu_count() or 1
    try:
        load = os.getloadavg()[0]
    except (AttributeError, OSError):
        return cores
    return min(cores, max(1.0, cores - load + 1.0))


def cluster_pays(seconds_left, workers):
    """Whether `workers` local worker threads, once started, would finish work
    that takes `seconds_left` in the loop sooner than the loop does. Each runs
    the prints at the loop's speed (measured) times its share of a core, in
    parallel as far as idle cores allow."""
    parallel = THREAD_SHARE * min(workers, idle_cores())
    return parallel > 1 and seconds_left > CLUSTER_START_SECONDS / (1.0 - 1.0 / parallel)


def run_auto(inspector, tasks, stack, workers, dashboard=None, out_dir=None):
    """The loop's outcomes for the first prints, then, when the time they took
    says the rest would repay its start, those of a local cluster of worker
    threads of this process. Threads start in a fraction of the time worker
    processes take (no interpreter to start, no modules to import, no
    outcome to copy between processes), and they are no more exposed to a
    crash than the loop they stand in for, which runs in this process too."""
    has_dask = importlib.util.find_spec("distributed") is not None
    spent = 0.0
    for done, task in enumerate(tasks):
        if done >= PROBE_PRINTS and has_dask and cluster_pays(spent / done * (len(tasks) - done), workers):
            client = start_client(stack, None, workers, False, dashboard)
            yield from run_serial(inspector, tasks[done:]) if client is None else \
                run_on_dask(inspector, tasks[done:], client, out_dir=out_dir)
            return
        start = time.perf_counter()
        outcome = inspector(task)
        spent += time.perf_counter() - start
        yield outcome


def progress_bar(total, enabled, done=0):
    return progress.progress_bar(total, enabled, "img", done)


class Unwritten(Exception):
    """An outcome whose row could not be written (carries the OSError)."""


def entry_problem(path, inside=None):
    """Why the folder entry at `path` cannot be inspected as an image file, or
    None: a dangling link, a folder, a FIFO, socket or device (never opened,
    as opening a FIFO blocks), or, with `inside` (a resolved folder), a link
    that leads out of it."""
    try:
        status = os.stat(path)
    except OSError as error:
        if os.path.islink(path):
            return "dangling symbolic link (to %s)" % os.readlink(path) if isinstance(error, FileNotFoundError) \
                else "symbolic link that cannot be followed: %s" % error.strerror
        return in_words(error)
    kind = entry_kind(status.st_mode)
    if kind != "file":
        return "a %s, not an image file%s" % (kind, " (reached through a symbolic link)" if os.path.islink(path)
                                              else "")
    if inside is not None and os.path.islink(path):
        real = os.path.realpath(path)
        if os.path.commonpath([real, inside]) != inside:
            return "symbolic link to %s, outside the folder (refused by --no-outside-links)" % real
    return None


def own_outputs(out_dir):
    """Whether a path is OUT_DIR or one of the report's own files and folders
    (so that, when OUT_DIR lies in TARGET_DIR, the outputs of a run never
    become inputs of the next)."""
    out = os.path.realpath(out_dir)
    owned = [os.path.join(out, name) for name in OWNED_NAMES]

    def owns(path):
        real = os.path.realpath(path)
        return real == out or any(real == mine or real.startswith(mine + os.sep) for mine in owned)
    return owns


def folder_entry(standard, path, inside=None):
    """The task of the folder entry at `path`, or its ERROR outcome when it
    cannot be inspected (see entry_problem)."""
    task = folder_task(standard, path)
    problem = entry_problem(path, inside)
    return task if problem is None else Outcome.failed(task, problem)


def folder_tasks(standard, target_dir, out_dir, outside_links=True):
    """The tasks of a folder run and the ERROR outcomes of its entries that
    cannot be inspected. Every entry directly inside `target_dir` whose name
    has an image suffix gets one or the other, but for hidden names (starting
    with ".") and the report's own files and folders when OUT_DIR lies in
    TARGET_DIR (the outputs of a run never become inputs of the next)."""
    inside = None if outside_links else os.path.realpath(target_dir)
    owned = own_outputs(out_dir)
    tasks, failed = [], []
    for name in sorted(os.listdir(target_dir)):
        path = os.path.join(target_dir, name)
        if not is_image_name(name) or owned(path):
            continue
        entry = folder_entry(standard, path, inside)
        (failed if isinstance(entry, Outcome) else tasks).append(entry)
    return tasks, failed


def run_batch(standard: PathText, target_dir: PathText, out_dir: PathText, settings: SettingsSource = None,
              scheduler: Optional[str] = None, workers: int = 2, processes: bool = True,
              serial: Optional[bool] = None, progress: bool = True, resume: bool = False,
              dashboard: Optional[str] = None, outside_links: bool = True,
              marked: Optional[str] = None) -> List[dict]:
    """Inspects every image of a folder against one standard and writes the report.

    Parameters
    ----------
    standard : path of the standard image file.
    target_dir : folder whose images (directly inside it) are inspected.
    out_dir : folder the report is written into (report.csv, defects.csv,
        run.json, report.html, previews); made when missing.
    settings : a Settings object, the path of a settings file, or None for the defaults.
    scheduler : address of an existing Dask scheduler to run on (then always used).
    workers : worker processes (or threads) of a local cluster.
    processes : local cluster of processes (True) or threads.
    serial : True runs the plain loop, False a local Dask cluster, None lets the run choose.
    progress : show a progress bar (or a line of text without tqdm).
    resume : keep the rows of the files an earlier run into `out_dir`
        finished, unchanged since (their target and standard alike).
    dashboard : address for the local cluster's dashboard.
    outside_links : False refuses links that lead out of `target_dir`.
    marked : "png" or "jpg" writes a full-size marked image of each NG print.

    Returns
    -------
    The report's rows (dicts: file, verdict, ng_count, descriptions, boxes,
    defects, error, ...) in file order.

    Raises
    ------
    RunError
        Before any work, when the standard or `out_dir` cannot be used.
    SettingsError
        When the settings cannot be used (before any work).
    WriteError
        When writing into `out_dir` fails mid-run; the rows of the files done are kept.
    Interrupted
        On Ctrl-C, after writing the report of the files done.

    Example
    -------
    >>> rows = run_batch("standard.png", "prints", "out", Settings(max_shift=2), serial=True)
    >>> [row["file"] for row in rows if row["verdict"] == "NG"]
    """
    context = describe(as_settings(settings), settings_file(settings), standard=standard, folder=target_dir)
    check_out_dir(out_dir)
    inspector, warnings = folder_inspector(standard, as_settings(settings), marked)
    tasks, failed = folder_tasks(standard, target_dir, out_dir, outside_links)
    return run_tasks(inspector, tasks, out_dir, scheduler, workers, processes, serial, progress, warnings,
                     resume=resume, dashboard=dashboard, failed=failed, context=context)


def folder_inspector(standard, settings, marked=None):
    """The Inspector holding the `standard` image file, and the warnings of the
    settings on it; RunError when the standard cannot be read."""
    try:
        image = read_grey(standard)
    except (OSError, ValueError) as error:
        raise RunError("standard image %s: %s" % (standard, in_words(error))) from None
    warnings = check_images(settings, [(standard, image.shape[1], image.shape[0])])
    return Inspector.from_settings(image, settings, standard, marked), warnings


def run_pairs(pairs_csv: PathText, out_dir: PathText, settings: SettingsSource = None,
              scheduler: Optional[str] = None, workers: int = 2, processes: bool = True,
              serial: Optional[bool] = None, progress: bool = True, resume: bool = False,
              dashboard: Optional[str] = None, marked: Optional[str] = None) -> List[dict]:
    """Inspects every target of a pairs file against its own standard and writes the report.

    Parameters
    ----------
    pairs_csv : path of a CSV with the header standard,target (paths
        relative to the file's folder, or absolute).
    out_dir, settings, scheduler, workers, processes, serial, progress,
    resume, dashboard, marked : as for run_batch.

    Returns
    -------
    The report's rows in file order; missing, unreadable or mismatched
    images are ERROR rows that say why.

    Raises
    ------
    RunError
        Before any work, for a malformed or unreadable pairs file (or a
        target listed twice) or an unusable `out_dir`.
    SettingsError, WriteError, Interrupted
        As for run_batch.

    Example
    -------
    >>> rows = run_pairs("pairs.csv", "out", "settings.toml", scheduler="tcp://host:8786")
    """
    context = describe(as_settings(settings), settings_file(settings), pairs=pairs_csv)
    settings = as_settings(settings)
    try:
        pairs = read_pairs(pairs_csv)
    except (OSError, UnicodeDecodeError) as error:
        raise RunError("pairs file %s: %s" % (pairs_csv, error)) from None
    except ValueError as error:
        raise RunError(str(error)) from None
    seen = set()
    for pair in pairs:
        if pair.file in seen:
            raise RunError("%s: the target %s is listed more than once" % (pairs_csv, pair.file))
        seen.add(pair.file)
    check_out_dir(out_dir)
    # Prints of one standard one after another, so each worker decodes it once.
    first = {}
    for index, pair in enumerate(pairs):
        first.setdefault(pair.standard, index)
    tasks = sorted(pairs, key=lambda pair: first[pair.standard])
    warnings = check_images(settings, header_sizes(first))
    settings = run_settings(settings, list(first))
    return run_tasks(Inspector(settings, marked), tasks, out_dir, scheduler, workers, processes, serial, progress,
                     warnings, resume=resume, dashboard=dashboard, context=context)


def as_settings(settings):
    if settings is None or isinstance(settings, (str, os.PathLike)):
        return load_settings(settings)
    return settings


def settings_file(settings):
    """The path of the settings file a run was given, or None."""
    return os.fspath(settings) if isinstance(settings, (str, os.PathLike)) else None


def check_out_dir(out_dir):
    """RunError when a name the report needs in `out_dir` is taken by an entry
    of another kind (a file named `thumbs`, a folder named `report.csv`), or
    when one of its image folders is a symbolic link (a run empties those
    folders, and must not reach outside OUT_DIR doing it). An empty OUT_DIR
    (an unset variable in a script) is refused rather than taken for the
    current folder, whose marked/ and thumbs/ a run would empty."""
    if not os.fspath(out_dir):
        raise RunError("OUT_DIR is empty: name a folder (. for the current one)")
    if os.path.lexists(out_dir) and not os.path.isdir(out_dir):
        raise RunError("OUT_DIR %s exists and is not a folder" % out_dir)
    for name in OWNED_NAMES:
        path = os.path.join(out_dir, name)
        folder = name in IMAGE_FOLDER_NAMES
        if os.path.islink(path) and folder or os.path.lexists(path) and os.path.isdir(path) != folder:
            raise RunError("%s is in the way: the report needs that name for its %s; choose another OUT_DIR or move "
                           "it" % (path, "folder of %s images" % name if folder else "file"))
    # A run replaces the report files and empties the image folders. Without
    # the journal or run.json of an earlier run beside them, they are someone
    # else's (a folder of thumbs/ in TARGET_DIR used as OUT_DIR), and are left
    # alone: the run does not start.
    if any(os.path.isfile(os.path.join(out_dir, name)) for name in (JOURNAL_NAME, "run.json")):
        return
    for name in OWNED_NAMES:
        path = os.path.join(out_dir, name)
        suffixes = dict(IMAGE_FOLDERS).get(name)
        if suffixes is None and os.path.isfile(path) or suffixes is not None and os.path.isdir(path) and any(
                entry.endswith(suffixes) for entry in os.listdir(path)):
            raise RunError("%s was not written by a run of this tool (OUT_DIR has no %s or run.json), and a run "
                           "would %s it; choose another OUT_DIR or move it"
                           % (path, JOURNAL_NAME, "replace" if suffixes is None else
                              "delete the %s files in" % " and ".join(suffixes)))


def run_tasks(inspector, tasks, out_dir, scheduler=None, workers=2, processes=True, serial=None, progress=True,
              warnings=(), resume=False, dashboard=None, failed=(), context=None):
    """Inspects the tasks (Pair objects) and writes the report, with a row for
    each of the `failed` outcomes too, which opens with the warnings (also
    printed first) and the run's `context` (qlo_batch.run_context); returns
    its rows. Each row is written when its outcome arrives; on Ctrl-C the
    report files are written for the rows known and Interrupted is raised,
    and when a write fails (a full disk) the run stops alike and raises
    WriteError."""
    check_out_dir(out_dir)
    stamps = {json.dumps(task_key(task)): [stamp(task.target), stamp(task.standard)]
              for task in [*tasks, *failed]}

    def unchanged(previous):
        return [previous[key] for key, now in stamps.items()
                if key in previous and previous[key][1] == now and None not in now
                and pictures_there(out_dir, previous[key][0])]
    writer, journal, kept, untrusted = open_report(out_dir, inspector.settings, warnings, context, resume,
                                                   unchanged, inspector.marked)
    done = {json.dumps(row_key(row)) for row, _ in kept}
    tasks = [task for task in tasks if json.dumps(task_key(task)) not in done]
    failed = [outcome for outcome in failed if json.dumps(task_key(outcome)) not in done]
    total = len(done) + len(tasks) + len(failed)
    if resume:
        distrusted = " (%d line%s of %s not trusted: those files are inspected again)" % (
            untrusted, "s" if untrusted > 1 else "", JOURNAL_NAME) if untrusted else ""
        note("qlo_batch: resuming: %d of %d files are already in the report%s" % (len(done), total, distrusted))

    def keep(outcome):
        record(writer, journal, outcome, stamps[json.dumps(task_key(outcome))])

    interrupted, unwritten = False, None
    try:
        with contextlib.ExitStack() as stack:
            for outcome in failed:
                keep(outcome)
            if serial and not scheduler or not tasks:
                outcomes = run_serial(inspector, tasks)
            else:
                client = start_client(stack, scheduler, workers, processes, dashboard) \
                    if scheduler or serial is False else False
                if client is None:
                    outcomes = run_serial(inspector, tasks)
                elif client is False:
                    outcomes = run_auto(inspector, tasks, stack, workers, dashboard, out_dir)
                else:
                    outcomes = run_on_dask(inspector, tasks, client, out_dir=out_dir)
            bar = stack.enter_context(progress_bar(total, progress, len(done) + len(failed)))
            try:
                for outcome in outcomes:
                    keep(outcome)
                    if bar is not None:
                        bar.update(1)
                        bar.set_postfix_str(outcome.verdict + " " + outcome.file, refresh=False)
            except KeyboardInterrupt:
                # Further Ctrl-C is ignored while the cluster stops and the report is written.
                interrupted = ignore_interrupts()
    except KeyboardInterrupt:
        interrupted = interrupted or ignore_interrupts()
    except Unwritten as stop:          # the disk is full: the rows so far are the report
        unwritten = stop.args[0]
    stopped = None
    if interrupted:
        stopped = "interrupted"
    elif unwritten is not None:
        stopped = "stopped: writing into OUT_DIR failed (%s)" % (unwritten.strerror or unwritten)
    if stopped:             # the page and run.json say they are partial, not only the terminal
        writer.warnings.append("the run was %s: this report covers %d of its %d files (--resume inspects "
                               "the rest)" % (stopped, len(writer.rows), total))
    rows, failure = close_report(writer, journal, interrupted or None)
    complete, unwritten = failure is None, unwritten or failure
    if unwritten is not None:
        raise WriteError(unwritten, len(rows), total, out_dir, complete)
    if interrupted:
        raise Interrupted(len(rows), total, out_dir)
    return rows


def open_report(out_dir, settings, warnings, context, resume, keep_from, marked=None):
    """Starts the report and the journal in `out_dir`, opening with the
    warnings (also printed) and the run's `context`. With `resume`, the rows
    of the run written before into `out_dir` that `keep_from` picks (given
    its journal's {json key: (row, stamps)}, it returns the (row, stamps)
    pairs to keep) are kept, and the run's figures count its earlier parts;
    `marked` is the format of the run's full-size marked images, if any.
    Returns (writer, journal, kept, number of untrusted journal lines);
    RunError when the journal cannot be resumed or the report not written."""
    journal = Journal(out_dir, settings, marked)
    kept, untrusted = [], 0
    context = dict(context or {"started": None})
    earlier_seconds, context["first_started"] = 0.0, context["started"]
    if resume:
        try:
            previous, untrusted = journal.previous()
        except ValueError as error:
            raise RunError(str(error)) from None
        except OSError as error:
            raise RunError("cannot read %s: %s" % (journal.path, error.strerror or error)) from None
        earlier_seconds, first = earlier_parts(*journal.header())
        context["first_started"] = first or context["started"]
        kept = keep_from(previous)
    for warning in warnings:
        print("qlo_batch: warning: %s" % warning, file=sys.stderr)
    writer = None
    try:
        context["resumed"] = len(kept) if resume else None
        began = time.time()     # before the writer's clock: a later part never counts this one shorter
        writer = ReportWriter(out_dir, settings, warnings, [row for row, _ in kept], context, earlier_seconds)
        journal.start(writer.folder, kept, {"began": began, "earlier_seconds": earlier_seconds,
                                            "first_started": context["first_started"]})
    except OSError as error:
        if writer is not None:
            writer.close()
        raise RunError("cannot write the report into %s: %s" % (out_dir, error.strerror or error)) from None
    return writer, journal, kept, untrusted


def pictures_there(out_dir, row):
    """Whether the pictures of a row from the journal are in OUT_DIR, as this tool wrote them."""
    return all(is_own_file(os.path.join(out_dir, path)) for path in pictures(row))


def record(writer, journal, outcome, stamps):
    """Writes an outcome's row into the report and the journal; Unwritten
    when the disk refuses it."""
    try:
        row = writer.add(outcome)
        journal.record(row, stamps)
    except OSError as error:
        raise Unwritten(error) from None
    return row


def close_report(writer, journal, restore=None):
    """Writes the report files whole and closes the journal (whose time of
    last write then ends this part of the run), with SIGINT ignored
    meanwhile, then set to `restore` (by default the handler it had).
    Returns (the rows, the OSError that kept the report files from being
    written or None)."""
    restore = restore or ignore_interrupts()
    try:
        return writer.finish(), None
    except OSError as error:
        return writer.rows, error
    finally:
        journal.close()
        if threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGINT, restore)


def ignore_interrupts():
    """Ignores SIGINT from now on; returns the handler to restore afterwards."""
    if threading.current_thread() is not threading.main_thread():
        return signal.default_int_handler
    return signal.signal(signal.SIGINT, signal.SIG_IGN) or signal.default_int_handler
