"""Smoke test of an installed wheel (run by scripts/check_wheel.sh outside the
source tree): the module imports from site-packages with its stub beside it
and as the stub package qlo_cv-stubs, an inspection finds a drawn defect, and
the batch tool runs its plain loop without the optional extras, from Python
and as the installed qlo-batch command."""
import importlib.metadata
import importlib.util
import inspect
import os
import pathlib
import subprocess
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
import qlo_batch  # noqa: E402
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

    # The installed command: its plain loop shows a text progress line, and
    # the Dask mode names the extra it needs in one line, with status 2.
    command = os.path.join(os.path.dirname(sys.executable), "qlo-batch")
    done = subprocess.run([command, "std.png", "prints", "cmd_out", "--serial"], cwd=folder,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "2/2 img 100 %" in done.stderr and "Traceback" not in done.stderr, done.stderr
    assert os.path.isfile(os.path.join(folder, "cmd_out", "report.csv"))
    for mode in (["--dask"], ["--scheduler", "tcp://127.0.0.1:1"]):
        done = subprocess.run([command, "std.png", "prints", "dask_out", *mode], cwd=folder,
                              capture_output=True, text=True, timeout=300)
        assert done.returncode == 2, (mode, done.returncode, done.stderr)
        lines = done.stderr.splitlines()
        assert len(lines) == 1 and "qlo_cv[batch]" in lines[0], (mode, done.stderr)
    done = subprocess.run([command, "--version"], capture_output=True, text=True, timeout=300)
    assert done.stdout.split() == ["qlo_batch", qlo_batch.__version__], done.stdout
    assert qlo_batch.__version__ == importlib.metadata.version("qlo_cv") != "0+unknown"
print("qlo-batch command without the extra: OK")
print("wheel smoke test passed")
sys.exit(0)
