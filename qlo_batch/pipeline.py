"""Running the inspection of a folder: on Dask (a local cluster, or an existing
one reached through its scheduler address) or in a plain loop, with a progress
bar, writing the report as outcomes arrive."""
import contextlib
import os
import sys

from qlo_batch.work_unit import Inspector, Outcome, list_images, read_grey
from qlo_batch.report import ReportWriter
from qlo_batch.settings import load_settings

# Tasks in flight per worker: enough to keep every worker busy, few enough that
# finished outcomes (with their encoded images) do not pile up on the workers.
IN_FLIGHT_PER_WORKER = 3


def run_serial(inspector, paths):
    """The outcomes of a plain loop in this process, in file order."""
    for path in paths:
        yield inspector(path)


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


def run_on_dask(inspector, paths, client):
    """The outcomes of the inspection on the client's cluster, as they finish.
    The inspector is sent to every worker once; a task that fails outright
    (a worker lost for good) becomes an ERROR outcome for its file."""
    from dask.distributed import as_completed
    if not paths:
        return
    remote = client.scatter(inspector, broadcast=True)
    window = IN_FLIGHT_PER_WORKER * max(1, len(client.scheduler_info()["workers"]))
    pending = iter(paths)
    path_of = {}

    def submit():
        for path in pending:
            future = client.submit(inspect_path, remote, path, pure=False)
            path_of[future] = path
            return future
        return None

    futures = as_completed([f for f in (submit() for _ in range(window)) if f is not None])
    for future in futures:
        path = path_of.pop(future)
        try:
            yield future.result()
        except Exception as error:
            yield Outcome.failed(path, "%s: %s" % (type(error).__name__, error))
        finally:
            future.release()
        following = submit()
        if following is not None:
            futures.add(following)


def inspect_path(inspector, path):
    return inspector(path)


def progress_bar(total, enabled):
    if not enabled:
        return contextlib.nullcontext(None)
    from tqdm import tqdm
    return tqdm(total=total, unit="img", file=sys.stderr, dynamic_ncols=True)


def run_batch(standard, target_dir, out_dir, settings=None, scheduler=None, workers=2, processes=True,
              serial=False, progress=True):
    """Inspects every image of `target_dir` against the `standard` image file and
    writes the report into `out_dir`; returns the report's rows in file order.
    `settings` is a Settings object or the path of a settings file."""
    if settings is None or isinstance(settings, (str, os.PathLike)):
        settings = load_settings(settings)
    try:
        inspector = Inspector.from_settings(read_grey(standard), settings)
    except (OSError, ValueError) as error:
        raise SystemExit("standard image %s: %s" % (standard, error))
    paths = list_images(target_dir)
    writer = ReportWriter(out_dir)
    with contextlib.ExitStack() as stack:
        if serial:
            outcomes = run_serial(inspector, paths)
        else:
            client = stack.enter_context(dask_client(scheduler, workers, processes))
            outcomes = run_on_dask(inspector, paths, client)
        bar = stack.enter_context(progress_bar(len(paths), progress))
        for outcome in outcomes:
            writer.add(outcome)
            if bar is not None:
                bar.update(1)
                bar.set_postfix_str(outcome.verdict + " " + outcome.file, refresh=False)
    return writer.finish()
