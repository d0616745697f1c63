"""Module initialisation and the rules every function and class obeys."""
import ctypes
import importlib
import inspect
import json
import shutil
import sys
import sysconfig
import traceback

import numpy as np
import pytest

import qlo_cv
from conftest import run_python


# ---- initialisation ----

def test_aliases_are_bound_in_order():
    import cv2, enum, functools, math, pathlib, typing  # noqa: E401 (what the module binds, in one place)
    import openpyxl, scipy.optimize  # noqa: E401
    names = [k for k in vars(qlo_cv) if not k.startswith("__")]
    expected = ["cv2", "_cv", "_Enum", "cmp_to_key", "_math", "_np", "load_workbook", "_Path",
                "_leastsq", "_maxsize", "_List", "_Union", "_Tuple", "_Sequence", "_Optional", "_Callable"]
    assert names[:len(expected)] == expected
    assert qlo_cv.cv2 is cv2 and qlo_cv._cv is cv2 and qlo_cv._np is np
    assert qlo_cv._Enum is enum.Enum and qlo_cv.cmp_to_key is functools.cmp_to_key
    assert qlo_cv._math is math and qlo_cv._Path is pathlib.Path and qlo_cv._maxsize == sys.maxsize
    assert qlo_cv.load_workbook is openpyxl.load_workbook and qlo_cv._leastsq is scipy.optimize.leastsq
    assert qlo_cv._Optional is typing.Optional and qlo_cv._Callable is typing.Callable
    assert qlo_cv.__builtins__ is __builtins__ or qlo_cv.__builtins__.__name__ == "builtins"


def test_defined_names_follow_the_table_order():
    table = ["ImageChainBase", "ImageFromFile", "ImageCopy", "ImageFromNDArray", "add_weighted", "ImageROI",
             "NGRegion", "CompareResult", "ShiftComparator", "extract_poly", "translate"]
    names = list(vars(qlo_cv))
    present = [n for n in names if n in table]
    order = ["extract_poly", "translate", "NGRegion", "CompareResult", "ShiftComparator",
             "ImageChainBase", "ImageFromFile", "ImageCopy", "ImageFromNDArray", "add_weighted", "ImageROI"]
    assert present == order


def test_reimport_and_reload_return_the_same_module():
    first = qlo_cv.ImageChainBase
    assert importlib.import_module("qlo_cv") is qlo_cv
    assert importlib.reload(qlo_cv) is qlo_cv
    assert qlo_cv.ImageChainBase is first


def test_exec_into_another_module_object_is_refused():
    lib = ctypes.PyDLL(qlo_cv.__file__)
    init = lib.PyInit_qlo_cv
    init.restype = ctypes.c_void_p      # a static definition: no reference to own
    module_def = init()
    exec_def = ctypes.pythonapi.PyModule_ExecDef
    exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
    exec_def.restype = ctypes.c_int
    other = type(sys)("qlo_cv")
    with pytest.raises(RuntimeError, match=r"^Module 'qlo_cv' has already been imported\. "
                                           r"Re-initialisation is not supported\.$"):
        exec_def(other, module_def)
    assert hasattr(lib, "PyInit___init__")


@pytest.mark.hardening
def test_second_interpreter_is_refused():
    proc = run_python("""
        import qlo_cv, _xxsubinterpreters as interpreters
        interp = interpreters.create(isolated=False)
        try:
            interpreters.run_string(interp, "import qlo_cv")
        except Exception as exc:
            print("refused:", exc)
    """)
    assert proc.returncode == 0, proc.stderr
    assert "Interpreter change detected - this module can only be loaded into one interpreter per process." \
        in proc.stdout


@pytest.mark.parametrize("package", ["openpyxl", "scipy", "cv2"])
@pytest.mark.hardening
def test_missing_dependency_fails_import_and_leaves_nothing(package):
    proc = run_python(f"""
        import sys
        sys.modules[{package!r}] = None
        try:
            import qlo_cv
        except ImportError as exc:
            print("ImportError:", {package!r} in str(exc))
        print("left:", "qlo_cv" in sys.modules)
        del sys.modules[{package!r}]
        import qlo_cv
        print("retry:", qlo_cv.ImageChainBase.__name__)
    """)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:3] == ["ImportError: True", "left: False", "retry: ImageChainBase"]


@pytest.mark.hardening
def test_loads_as_package_init(tmp_path):
    package = tmp_path / "qlo_cv"
    package.mkdir()
    shutil.copy(qlo_cv.__file__, package / ("__init__" + sysconfig.get_config_var("EXT_SUFFIX")))
    proc = run_python(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        import qlo_cv
        print(qlo_cv.__path__, qlo_cv.__package__, qlo_cv.ImageChainBase)
    """)
    assert proc.returncode == 0, proc.stderr
    assert str(package) in proc.stdout and "<class 'qlo_cv.ImageChainBase'>" in proc.stdout


@pytest.mark.parametrize("flags, expected", [((), "AssertionError"), (("-O",), "IndexError")])
@pytest.mark.hardening
def test_assertions_follow_the_optimisation_flag(flags, expected):
    proc = run_python("""
        import numpy as np, qlo_cv
        try:
            qlo_cv.CompareResult(np.zeros((4, 4), np.uint8)).marked_image(0)
        except Exception as exc:
            print(type(exc).__name__)
    """, *flags)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == expected


# ---- functions and classes ----

def test_native_functions_look_like_python_functions():
    method = qlo_cv.ImageChainBase.invalidate_all
    assert method.__name__ == "invalidate_all"
    assert method.__qualname__ == "ImageChainBase.invalidate_all"
    assert method.__module__ == "qlo_cv"
    assert str(inspect.signature(qlo_cv.ImageFromFile)) == "(filename, mode=-1, lazy=False)"
    assert str(inspect.signature(qlo_cv.ImageChainBase._generate_result)) == "(self, *args, **kwargs)"
    node = qlo_cv.ImageChainBase()
    assert node.invalidate_all.__self__ is node
    assert type(qlo_cv.ImageChainBase) is type and qlo_cv.ImageChainBase.__module__ == "qlo_cv"


@pytest.mark.parametrize("call, message", [
    (lambda: qlo_cv.ImageCopy(), "__init__() takes at least 2 positional arguments (1 given)"),
    (lambda: qlo_cv.ImageCopy(lazy=True), "__init__() takes at least 2 positional arguments (1 given)"),
    (lambda: qlo_cv.ImageChainBase(1, 2), "__init__() takes at most 2 positional arguments (3 given)"),
    (lambda: qlo_cv.ImageChainBase().invalidate_this(1),
     "invalidate_this() takes exactly 1 positional argument (2 given)"),
    (lambda: qlo_cv.ImageChainBase.is_root.fget(), "is_root() takes exactly 1 positional argument (0 given)"),
    (lambda: qlo_cv.ImageChainBase().save(bogus=1), "save() got an unexpected keyword argument 'bogus'"),
    (lambda: qlo_cv.ImageChainBase().save("a.png", filename="b.png"),
     "save() got multiple values for keyword argument 'filename'"),
    (lambda: qlo_cv.ImageFromFile("x.png", True),
     "Argument 'mode' has incorrect type (expected int, got bool)"),
    (lambda: qlo_cv.ImageFromFile("x.png", np.int32(1)),
     "Argument 'mode' has incorrect type (expected int, got numpy.int32)"),
    (lambda: qlo_cv.ImageFromFile("x.png", None),
     "Argument 'mode' has incorrect type (expected int, got NoneType)"),
])
def test_binding_and_hint_texts(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def fresh(name):
    """`name` as a str of its own, not the interned one (as read from a file or built at run time)."""
    made = json.loads(json.dumps(name)) if len(name) % 2 else "".join(list(name))
    assert made == name and made is not sys.intern(name)
    return made


CONTOUR = np.array([[[10, 5]], [[10, 20]], [[14, 20]], [[14, 5]]], np.int32)


@pytest.mark.parametrize("call, keywords, expected", [
    (qlo_cv.calculate_contour_vertical_distances, {"contour": CONTOUR, "tail_off": 2}, ((10, 12), [15, 0])),
    (qlo_cv.translate, {"image": np.eye(2, dtype=np.uint8), "right": 1, "down": 0}, [[1, 1], [0, 0]]),
    (lambda **kw: qlo_cv.FittingCircle(**kw).radius, {"points": [(0, 1), (1, 0), (0, -1), (-1, 0)]}, 1.0),
    (lambda **kw: qlo_cv.CirclePeeler(np.zeros((8, 8), np.uint8), 1).peel(**kw).center, {"iteration": 1}, (0, 0)),
    (lambda **kw: qlo_cv.calculate_contour_vertical_distances(CONTOUR, **kw), {"head_of": 1},
     "calculate_contour_vertical_distances() got an unexpected keyword argument 'head_of'"),
    (lambda **kw: qlo_cv.calculate_contour_vertical_distances(CONTOUR, **kw), {"contour": CONTOUR},
     "calculate_contour_vertical_distances() got multiple values for keyword argument 'contour'"),
])
def test_keywords_are_matched_by_value_not_identity(call, keywords, expected):
    try:
        got = call(**{fresh(k): v for k, v in keywords.items()})
    except TypeError as error:
        got = str(error)
    assert np.array_equal(got, expected)


def test_generate_result_ignores_extra_arguments():
    assert qlo_cv.ImageChainBase()._generate_result(1, 2, x=3) is None


def test_traceback_entries_carry_the_qualified_name():
    node = qlo_cv.ImageCopy(qlo_cv.ImageChainBase(), lazy=True)
    with pytest.raises(AttributeError) as info:
        node.image
    names = [frame.name for frame in traceback.extract_tb(info.value.__traceback__)]
    assert names[-2:] == ["qlo_cv.ImageChainBase.image", "qlo_cv.ImageCopy._generate_result"]


def test_module_globals_are_looked_up_at_call_time(monkeypatch):
    calls = []

    class FakeCv:
        def imread(self, filename, mode):
            calls.append((filename, mode))
            return np.full((2, 2), 9, np.uint8)

    monkeypatch.setattr(qlo_cv, "_cv", FakeCv())
    node = qlo_cv.ImageFromFile("anything.png", 0)
    assert calls == [("anything.png", 0)] and node.image[0, 0] == 9


def test_missing_global_raises_name_error(monkeypatch):
    monkeypatch.delattr(qlo_cv, "_cv")
    with pytest.raises(NameError, match="^name '_cv' is not defined$"):
        qlo_cv.ImageFromFile("anything.png")


def test_bad_arguments_never_crash():
    odd = [None, 1, "s", object(), np.zeros(0), [], (), {}, 1.5]
    for cls in (qlo_cv.ImageChainBase, qlo_cv.ImageCopy, qlo_cv.ImageFromNDArray):
        for value in odd:
            try:
                node = cls(value)
                node.image, node.image_name, node.is_root, node.shape
            except (TypeError, AttributeError, ValueError, IndexError, KeyError):
                pass


# ---- build ----

def test_only_the_object_layers_own_source_includes_all_of_pybind11():
    """pybind11.h and numpy.h (binding machinery the module does not use) more
    than double the compile time of every file that includes them."""
    import pathlib
    import re
    src = pathlib.Path(__file__).resolve().parent.parent / "src"
    heavy = re.compile(r'#include\s*[<"]pybind11/(pybind11|numpy|stl|functional|eval|embed)\.h[>"]')
    including = sorted(str(p.relative_to(src)) for p in src.rglob("*") if p.suffix in (".h", ".cpp")
                       and heavy.search(p.read_text()))
    assert including == ["frame/object.cpp"]
