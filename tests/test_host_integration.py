"""How native functions behave toward the host: recursion limits, weak
references, pickling and copying, and an interpreter that is finalised and
started again in an embedding program."""
import copy
import os
import pickle
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import weakref

import numpy as np
import pytest

import qlo_cv
from conftest import run_python


# ---- recursion ----

DEEP_CHAIN = """
    import numpy as np, qlo_cv
    node = qlo_cv.ImageFromNDArray(np.zeros((2, 2), np.uint8))
    for _ in range(20_000):
        node = qlo_cv.ImageCopy(node, lazy=True)
    try:
        node.{action}
    except RecursionError as e:
        print("RecursionError", e)
"""


@pytest.mark.parametrize("action", ["invalidate_all()", "image"])
@pytest.mark.hardening
def test_deep_chain_raises_recursion_error(action):
    done = run_python(DEEP_CHAIN.format(action=action))
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.startswith("RecursionError maximum recursion depth exceeded")


def test_cyclic_chain_raises_recursion_error():
    node = qlo_cv.ImageCopy(qlo_cv.ImageFromNDArray(np.zeros((2, 2), np.uint8)), lazy=True)
    node._ImageChainBase__previous = node
    with pytest.raises(RecursionError):
        node.image
    with pytest.raises(RecursionError):
        node.invalidate_all()
    node._ImageChainBase__previous = None      # the interpreter is still usable afterwards
    assert qlo_cv.translate(np.ones((3, 3), np.uint8), 1, 0).shape == (3, 3)


def test_chains_of_ordinary_depth_still_work():
    image = np.arange(6, dtype=np.uint8).reshape(2, 3)
    node = qlo_cv.ImageFromNDArray(image)
    for _ in range(300):
        node = qlo_cv.ImageCopy(node, lazy=True)
    assert np.array_equal(node.image, image)
    node.invalidate_all()


# ---- weak references ----

def test_functions_and_methods_can_be_weakly_referenced():
    ref = weakref.ref(qlo_cv.translate)
    assert ref() is qlo_cv.translate
    node = qlo_cv.ImageChainBase()
    method = weakref.WeakMethod(node.invalidate_this)
    assert method() == node.invalidate_this
    del node
    assert method() is None


# ---- pickling and copying ----

@pytest.mark.parametrize("func", [qlo_cv.contour_is_too_long, qlo_cv.translate,
                                  qlo_cv.ImageChainBase.invalidate_all, qlo_cv.CompareResult.marked_image])
def test_functions_pickle_and_copy_by_reference(func):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(func, protocol)) is func
    assert copy.copy(func) is func and copy.deepcopy(func) is func


def test_comparator_with_its_default_judge_pickles():
    comparator = qlo_cv.ShiftComparator(np.zeros((4, 4), np.uint8), 1, 10, 3)
    clone = pickle.loads(pickle.dumps(comparator))
    assert clone._ShiftComparator__judge is qlo_cv.contour_is_too_long
    assert np.array_equal(clone.std_threshold, comparator.std_threshold)


# ---- finalising and starting the interpreter again ----

EMBED = r"""
#include <Python.h>
int main(int argc, char** argv) {
    for (int round = 1; round < argc; ++round) {
        Py_Initialize();
        int rc = PyRun_SimpleString(argv[round]);
        fflush(stdout);
        Py_Finalize();
        if (rc != 0) return 10 + round;
    }
    return 0;
}
"""

# NumPy refuses to load twice in one process, so the second interpreter
# stands in small modules for the libraries: what is tested is that qlo_cv
# builds itself again instead of handing back the dead module of the first.
SECOND_ROUND = """
import sys, types
for name in ("cv2", "numpy", "openpyxl", "scipy", "scipy.optimize"):
    fake = types.ModuleType(name)
    fake.__getattr__ = lambda attr: 0
    sys.modules[name] = fake
import qlo_cv
assert qlo_cv.translate is not None and qlo_cv._np is sys.modules["numpy"]
assert qlo_cv.NGRegion([1, 2, 3, 4], "dent").get_desc() == "dent"
print("second interpreter: working module")
"""


@pytest.mark.skipif(not shutil.which("gcc"), reason="needs a C compiler")
@pytest.mark.hardening
def test_module_is_rebuilt_after_the_interpreter_restarts(tmp_path):
    config = os.path.join(sysconfig.get_config_var("BINDIR"), "python3.12-config")
    if not os.path.exists(config):
        pytest.skip("python3.12-config not found")
    flags = subprocess.run([config, "--cflags", "--ldflags", "--embed"], capture_output=True, text=True,
                           check=True).stdout.split()
    source = tmp_path / "embed.c"
    source.write_text(EMBED)
    program = tmp_path / "embed"
    libdir = sysconfig.get_config_var("LIBDIR")
    subprocess.run(["gcc", str(source), "-o", str(program), *flags, "-Wl,-rpath," + libdir], check=True)
    first = "import qlo_cv, numpy; assert qlo_cv.translate(numpy.ones((2, 2), numpy.uint8), 1, 0).shape == (2, 2)"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([str(program), first, textwrap.dedent(SECOND_ROUND)], capture_output=True, text=True,
                          env=env, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "second interpreter: working module" in done.stdout
