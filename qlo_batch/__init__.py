"""Batch inspection of image archives with qlo_cv.

Every image of a folder is compared with a standard print (or every target of
a pairs CSV with its own standard) by a `qlo_cv.ShiftComparator` configured
from a small settings file; the work runs in a plain loop or on Dask (a local
cluster when the batch is large enough to gain from one, or an existing one
given by its scheduler address), and ends in a report: CSV tables of prints and
of defects, the marked image of every NG print and an HTML page with
thumbnails.

    python -m qlo_batch STANDARD TARGET_DIR OUT_DIR [--scheduler ADDR] [--settings FILE] [--resume]
    python -m qlo_batch --pairs PAIRS_CSV OUT_DIR [--scheduler ADDR] [--settings FILE] [--resume]

Dask and tqdm are needed only for the distributed run and its progress bar
(the `batch` extra); without them the plain loop shows a line of text.
"""
from qlo_batch.work_unit import Inspector, Outcome, list_images
from qlo_batch.errors import BatchError, Interrupted, RunError, WriteError
from qlo_batch.pipeline import run_batch, run_pairs
from qlo_batch.run_context import VERSION as __version__
from qlo_batch.settings import Settings, SettingsError, load_settings

__all__ = ["__version__", "BatchError", "Inspector", "Interrupted", "Outcome", "RunError", "Settings", "SettingsError",
           "WriteError", "list_images", "load_settings", "run_batch", "run_pairs"]
