"""Smoke test of an installed wheel (run by scripts/check_wheel.sh outside the
source tree): the module imports from site-packages with its stub beside it
and as the stub package qlo_cv-stubs, an inspection finds a drawn defect, and
the batch tool runs its plain loop without the optional extras."""
import importlib.util
import inspect
import os
import pathlib
import sys
import tempfile

import cv2
import numpy as np

import qlo_cv

here = pathlib.Path(qlo_cv.__file__).parent
assert "site-packages" in str(here), qlo_cv.__file__
stub = here / "qlo_cv.pyi"
assert stub.is_file(), "no stub beside the module"
assert "class ShiftComparator" in stub.read_text()
stub_package = here / "qlo_cv-stubs" / "__init__.pyi"      # where mypy looks
assert stub_package.is_file() and stub_package.read_text() == stub.read_text(), "no stub package qlo_cv-stubs"
print("module:", qlo_cv.__file__)
print("ShiftComparator", inspect.signature(qlo_cv.ShiftComparator))

std = np.full((60, 80), 200, np.uint8)
tgt = std.copy()
tgt[20:30, 30:45] = 40
result = qlo_cv.CompareResult(tgt)
qlo_cv.ShiftComparator(std, 2, 50, 3).compare(tgt, result)
assert result.ng and result.descriptions == ["black spot: 11, [32, 22, 43, 28]"], result.descriptions
print("inspection:", result.descriptions)

for extra in ("dask", "distributed", "tqdm"):
    assert importlib.util.find_spec(extra) is None, "%s installed without the batch extra" % extra
from qlo_batch import run_batch  # noqa: E402

with tempfile.TemporaryDirectory() as folder:
    prints = os.path.join(folder, "prints")
    os.mkdir(prints)
    cv2.imwrite(os.path.join(folder, "std.png"), std)
    cv2.imwrite(os.path.join(prints, "ng.png"), tgt)
    cv2.imwrite(os.path.join(prints, "ok.png"), std)
    rows = run_batch(os.path.join(folder, "std.png"), prints, os.path.join(folder, "out"), serial=True,
                     progress=False)
    assert [(r["file"], r["verdict"]) for r in rows] == [("ng.png", "NG"), ("ok.png", "OK")], rows
    assert os.path.isfile(os.path.join(folder, "out", "report.html"))
print("batch tool (plain loop): OK")
print("wheel smoke test passed")
sys.exit(0)
