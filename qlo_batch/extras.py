"""What the optional `batch` extra (Dask, tqdm) brings, and the one line a
command prints when a mode it asked for needs the extra."""
import importlib.util

INSTALL_HINT = "pip install 'qlo_cv[batch]'"


def dask_missing(command, what="the Dask mode"):
    """The message for `command` when Dask's distributed scheduler is not
    installed, or None when it is."""
    if importlib.util.find_spec("distributed") is not None:
        return None
    return "%s: %s needs Dask, which comes with the batch extra: %s" % (command, what, INSTALL_HINT)
