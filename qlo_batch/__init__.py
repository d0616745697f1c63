"""Batch inspection of image archives with qlo_cv.

Every image of a folder is compared with a standard print by a
`qlo_cv.ShiftComparator` configured from a small settings file; the work runs
on Dask (a local cluster by default, or an existing one given by its scheduler
address) or in a plain loop, and ends in a report: a CSV table, the marked
image of every NG print and an HTML page with thumbnails.

    python -m qlo_batch STANDARD TARGET_DIR OUT_DIR [--scheduler ADDR] [--settings FILE]

Dask and tqdm are needed only for the distributed run (the `batch` extra).
"""
from qlo_batch.work_unit import Inspector, Outcome, list_images
from qlo_batch.pipeline import run_batch
from qlo_batch.settings import Settings, load_settings

__all__ = ["Inspector", "Outcome", "Settings", "list_images", "load_settings", "run_batch"]
