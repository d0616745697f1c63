"""Running an inspection: each print against its standard, on Dask (a local
cluster, or an existing one reached through its scheduler address) or in a
plain loop in this process, with a progress bar, writing the report as
outcomes arrive. Unless told which, a run starts in the plain loop and moves
to a local cluster only when the prints left would take long enough to repay
starting one."""
import contextlib
import importlib.util
import os
import time

from qlo_batch import progress
from qlo_batch.pairs import read_pairs
from qlo_batch.report import ReportWriter
from qlo_batch.settings import load_settings
from qlo_batch.work_unit import Inspector, Outcome, folder_task, list_images, read_grey

# Tasks in flight per worker: enough to keep every worker busy, few enough that
# finished outcomes (with their encoded images) do not pile up on the workers.
IN_FLIGHT_PER_WORKER = 3
# Wall seconds a local cluster of two worker processes takes from its start to
# its first outcome on this kind of machine (bench/batch.py measures it), and
# the prints timed in the loop before the choice is made.
CLUSTER_START_SECONDS = 2.5
PROBE_PRINTS = 2


def run_serial(inspector, tasks):
    """The outcomes of a plain loop in this process, in task order."""
    for task in tasks:
        yield inspector(task)


@contextlib.contextmanager
def dask_client(scheduler=None, workers=2, processes=True):
    """A client of the cluster at `scheduler`, or of a new local cluster of
    `workers` single-threaded workers (processes, or threads of this one)."""
    from dask.distributed import Client, LocalCluster
    if scheduler:
        with Client(scheduler) as client:
            yield client
        return
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=processes, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            yield client


def run_on_dask(inspector, tasks, client):
    """The outcomes of the inspection on the client's cluster, as they finish.
    The inspector is sent to every worker once; a task that fails outright
    (a worker lost for good) becomes an ERROR outcome for its file."""
    from dask.distributed import as_completed
    if not tasks:
        return
    remote = client.scatter(inspector, broadcast=True)
    window = IN_FLIGHT_PER_WORKER * max(1, len(client.scheduler_info()["workers"]))
    pending = iter(tasks)
    task_of = {}

    def submit():
        for task in pending:
            future = client.submit(inspect_task, remote, task, pure=False)
            task_of[future] = task
            return future
        return None

    futures = as_completed([f for f in (submit() for _ in range(window)) if f is not None])
    for future in futures:
        task = task_of.pop(future)
        try:
            yield future.result()
        except Exception as error:
            yield Outcome.failed(task, "%s: %s" % (type(error).__name__, error))
        finally:
            future.release()
        following = submit()
        if following is not None:
            futures.add(following)


def inspect_task(inspector, task):
    return inspector(task)


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
    """Whether `workers` local worker processes, once started, would finish
    work that takes `seconds_left` in the loop sooner than the loop does. The
    workers run the prints at the loop's speed each (measured), in parallel
    as far as idle cores allow."""
    parallel = 0.9 * min(workers, idle_cores())
    return parallel > 1 and seconds_left > CLUSTER_START_SECONDS / (1.0 - 1.0 / parallel)


def run_auto(inspector, tasks, stack, workers, processes):
    """The loop's outcomes for the first prints, then, when the time they took
    says the rest would repay a local cluster's start, the cluster's."""
    has_dask = importlib.util.find_spec("distributed") is not None
    spent = 0.0
    for done, task in enumerate(tasks):
        if done >= PROBE_PRINTS and has_dask and cluster_pays(spent / done * (len(tasks) - done), workers):
            client = stack.enter_context(dask_client(None, workers, processes))
            yield from run_on_dask(inspector, tasks[done:], client)
            return
        start = time.perf_counter()
        outcome = inspector(task)
        spent += time.perf_counter() - start
        yield outcome


def progress_bar(total, enabled):
    return progress.progress_bar(total, enabled, "img")


def run_batch(standard, target_dir, out_dir, settings=None, scheduler=None, workers=2, processes=True,
              serial=None, progress=True):
    """Inspects every image of `target_dir` against the `standard` image file and
    writes the report into `out_dir`; returns the report's rows in file order.
    `settings` is a Settings object or the path of a settings file. `serial`
    True runs the plain loop, False a local Dask cluster, None lets the run
    choose; a `scheduler` address always uses that cluster."""
    settings = as_settings(settings)
    try:
        inspector = Inspector.from_settings(read_grey(standard), settings, standard)
    except (OSError, ValueError) as error:
        raise SystemExit("standard image %s: %s" % (standard, error))
    tasks = [folder_task(standard, path) for path in list_images(target_dir)]
    return run_tasks(inspector, tasks, out_dir, scheduler, workers, processes, serial, progress)


def run_pairs(pairs_csv, out_dir, settings=None, scheduler=None, workers=2, processes=True, serial=None,
              progress=True):
    """Inspects every target of the pairs file against its own standard and
    writes the report into `out_dir`; returns the report's rows in file order.
    A malformed pairs file stops the run before any work; missing, unreadable
    or mismatched images become ERROR rows."""
    settings = as_settings(settings)
    try:
        pairs = read_pairs(pairs_csv)
    except (OSError, UnicodeDecodeError) as error:
        raise SystemExit("pairs file %s: %s" % (pairs_csv, error))
    except ValueError as error:
        raise SystemExit(str(error))
    seen = set()
    for pair in pairs:
        if pair.file in seen:
            raise SystemExit("%s: the target %s is listed more than once" % (pairs_csv, pair.file))
        seen.add(pair.file)
    # Prints of one standard one after another, so each worker decodes it once.
    first = {}
    for index, pair in enumerate(pairs):
        first.setdefault(pair.standard, index)
    tasks = sorted(pairs, key=lambda pair: first[pair.standard])
    return run_tasks(Inspector(settings), tasks, out_dir, scheduler, workers, processes, serial, progress)


def as_settings(settings):
    if settings is None or isinstance(settings, (str, os.PathLike)):
        return load_settings(settings)
    return settings


def run_tasks(inspector, tasks, out_dir, scheduler=None, workers=2, processes=True, serial=None, progress=True):
    """Inspects the tasks (Pair objects) and writes the report; returns its rows."""
    writer = ReportWriter(out_dir, inspector.settings)
    with contextlib.ExitStack() as stack:
        if serial and not scheduler or not tasks:
            outcomes = run_serial(inspector, tasks)
        elif scheduler or serial is False:
            client = stack.enter_context(dask_client(scheduler, workers, processes))
            outcomes = run_on_dask(inspector, tasks, client)
        else:
            outcomes = run_auto(inspector, tasks, stack, workers, processes)
        bar = stack.enter_context(progress_bar(len(tasks), progress))
        for outcome in outcomes:
            writer.add(outcome)
            if bar is not None:
                bar.update(1)
                bar.set_postfix_str(outcome.verdict + " " + outcome.file, refresh=False)
    return writer.finish()
