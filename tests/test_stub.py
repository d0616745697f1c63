"""The type stub against the module: every name the module defines is in
src/qlo_cv.pyi with its real signature (parameter names, kinds, which have
defaults, and the default where the stub spells one out), every method, static
method and property of each class is there too, and the stub names nothing the
module's table of names does not. Every stubbed name has a docstring that starts
with the module's own text where it has one; the installation carries the stub
beside the module and as the package qlo_cv-stubs, and mypy and pyright read it
there (the README's usage example type-checks, misuse is reported)."""
import ast
import importlib.util
import inspect
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import qlo_cv
from conftest import developer_tool, readme_example

ROOT = pathlib.Path(__file__).resolve().parents[1]
STUB = ast.parse((ROOT / "src" / "qlo_cv.pyi").read_text(encoding="utf-8"))
TABLE = re.findall(r'^\s*"(\w+)",$', (ROOT / "src" / "module" / "names.cpp").read_text(), re.M)

KINDS = {"posonlyargs": inspect.Parameter.POSITIONAL_ONLY, "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
         "kwonlyargs": inspect.Parameter.KEYWORD_ONLY}
ABSENT = object()


def members(body):
    """Stubbed definitions of a module or class body: name -> list of nodes."""
    out = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            out.setdefault(node.name, []).append(node)
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            out.setdefault(node.target.id, []).append(node)
        elif isinstance(node, ast.Assign):
            for target in node.targets:
                if isinstance(target, ast.Name):
                    out.setdefault(target.id, []).append(node)
    return out


STUBBED = members(STUB.body)


def decorators(node):
    return {d.id if isinstance(d, ast.Name) else d.attr for d in node.decorator_list}


def stub_parameters(node):
    """(name, kind, default) of a stubbed def; default is ... when elided, ABSENT when there is none."""
    a = node.args
    positional = a.posonlyargs + a.args
    defaults = [ABSENT] * (len(positional) - len(a.defaults)) + list(a.defaults)
    out = []
    for arg, default in zip(positional, defaults):
        kind = KINDS["posonlyargs" if arg in a.posonlyargs else "args"]
        out.append((arg.arg, kind, default))
    if a.vararg:
        out.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, ABSENT))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        out.append((arg.arg, inspect.Parameter.KEYWORD_ONLY, ABSENT if default is None else default))
    if a.kwarg:
        out.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, ABSENT))
    return out


def check_signature(where, node, function):
    real = list(inspect.signature(function).parameters.values())
    stubbed = stub_parameters(node)
    assert [(p.name, p.kind) for p in real] == [(n, k) for n, k, _ in stubbed], where
    for p, (_, _, default) in zip(real, stubbed):
        has_default = p.default is not inspect.Parameter.empty
        assert has_default == (default is not ABSENT), "%s: default of %s" % (where, p.name)
        if has_default and not (isinstance(default, ast.Constant) and default.value is Ellipsis):
            try:
                value = ast.literal_eval(default)
            except ValueError:
                continue                          # a name such as cv2.FILLED: not checked
            assert type(value) is type(p.default) and value == p.default, "%s: default of %s" % (where, p.name)


def single(where, nodes, kind):
    assert nodes, "%s is missing from the stub" % where
    assert all(isinstance(n, kind) for n in nodes), "%s is stubbed as the wrong kind" % where
    return nodes[0]


def inherited(cls, stubbed):
    """The class's stubbed members with those of its module bases beneath them:
    an override with the base's signature need not be stubbed again."""
    out = {}
    for base in reversed(cls.__mro__[1:]):
        if base.__module__ == "qlo_cv" and isinstance(STUBBED.get(base.__name__, [None])[0], ast.ClassDef):
            out.update(members(STUBBED[base.__name__][0].body))
    out.update(stubbed)
    return out


def check_class(where, node, cls):
    stubbed = inherited(cls, members(node.body))
    bases = [b.id if isinstance(b, ast.Name) else ast.unparse(b) for b in node.bases]
    assert bases == [b.__name__ for b in cls.__bases__ if b is not object], where
    for name, value in vars(cls).items():
        path = "%s.%s" % (where, name)
        if isinstance(value, property):
            nodes = stubbed.get(name)
            assert nodes, "%s is missing from the stub" % path
            defs = [n for n in nodes if isinstance(n, ast.FunctionDef)]
            if value.fset is None:                # read-only: only a getter may be stubbed
                assert defs and all("property" in decorators(d) for d in defs), "%s is read-only" % path
        elif isinstance(value, staticmethod):
            stub = single(path, stubbed.get(name), ast.FunctionDef)
            assert "staticmethod" in decorators(stub), "%s is a static method" % path
            check_signature(path, stub, value.__func__)
        elif inspect.isclass(value):
            check_class(path, single(path, stubbed.get(name), ast.ClassDef), value)
        elif callable(value) and getattr(value, "__module__", None) == "qlo_cv":
            check_signature(path, single(path, stubbed.get(name), ast.FunctionDef), value)
        elif not name.startswith("__"):
            assert name in stubbed, "%s is missing from the stub" % path


def test_the_module_defines_the_whole_table():
    # Completeness only: other tests rebind module names (which moves them in
    # the module's dict); test_module_frame checks the order at import.
    assert [name for name in TABLE if name not in vars(qlo_cv)] == []


@pytest.mark.parametrize("name", TABLE)
def test_stub_matches_the_module(name):
    value = getattr(qlo_cv, name)
    if inspect.isclass(value):
        check_class(name, single(name, STUBBED.get(name), ast.ClassDef), value)
    else:
        check_signature(name, single(name, STUBBED.get(name), ast.FunctionDef), value)


def test_stub_names_only_module_names():
    aliases = {"cv2", "_cv"}                      # library aliases re-exported by the stub
    stubbed = {name for name in STUBBED if not name.startswith("_") or name in TABLE} - aliases
    assert sorted(stubbed - set(TABLE)) == []
    assert len(TABLE) > 80                        # the table was found


# ---- docstrings: what editors show ----

def squeeze(text):
    return " ".join(text.split())


def runtime_doc(value):
    if isinstance(value, property):
        value = value.fget
    elif isinstance(value, staticmethod):
        value = value.__func__
    doc = getattr(value, "__doc__", None)
    return None if inspect.isclass(value) and doc == object.__doc__ else doc


def attribute_docs(body):
    """name -> docstring of the annotated attributes of a class body (the string right after each)."""
    out = {}
    for node, following in zip(body, body[1:]):
        if (isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
                and isinstance(following, ast.Expr) and isinstance(following.value, ast.Constant)
                and isinstance(following.value.value, str)):
            out[node.target.id] = following.value.value
    return out


def stub_docs(where, node, value):
    """(path, stub docstring, module docstring) of a stubbed definition and of everything stubbed inside it."""
    yield where, ast.get_docstring(node, clean=False), runtime_doc(value)
    if not isinstance(node, ast.ClassDef):
        return
    attributes = attribute_docs(node.body)
    for child in node.body:
        if isinstance(child, (ast.FunctionDef, ast.ClassDef)):
            yield from stub_docs("%s.%s" % (where, child.name), child, vars(value).get(child.name))
        elif isinstance(child, ast.AnnAssign) and not child.target.id.startswith("__"):
            yield "%s.%s" % (where, child.target.id), attributes.get(child.target.id), None


@pytest.mark.parametrize("name", TABLE)
def test_every_stubbed_name_has_a_docstring_led_by_the_modules_own(name):
    node = single(name, STUBBED.get(name), (ast.FunctionDef, ast.ClassDef))
    for path, stubbed, own in stub_docs(name, node, getattr(qlo_cv, name)):
        assert stubbed and stubbed.strip(), "%s has no docstring in the stub" % path
        if own:                                   # the module's text comes first, unchanged
            assert squeeze(stubbed).startswith(squeeze(own)), path


def test_docstrings_keep_to_a_few_lines():
    long = [node.name for node in ast.walk(STUB) if isinstance(node, (ast.FunctionDef, ast.ClassDef))
            and len((ast.get_docstring(node) or "").splitlines()) > 8]
    assert long == []


# ---- the stub as installed with the module ----

def test_installed_module_carries_the_stub_twice():
    """Beside the module for pyright and editors, and as the stub package mypy looks for."""
    site = pathlib.Path(qlo_cv.__file__).resolve().parent
    if "site-packages" not in site.parts:
        pytest.skip("qlo_cv is imported from a build folder, not from an installation")
    source = (ROOT / "src" / "qlo_cv.pyi").read_text(encoding="utf-8")
    for installed in (site / "qlo_cv.pyi", site / "qlo_cv-stubs" / "__init__.pyi"):
        assert installed.is_file(), installed
        assert installed.read_text(encoding="utf-8") == source, "%s is stale: reinstall" % installed


# ---- type checkers on code written against the installed stub ----

# file stem -> code, and the line whose error the checkers must report (None: no error at all)
SNIPPETS = {
    "readme": (readme_example(), None),
    "unchecked_image": ("import qlo_cv\n"
                        "image = qlo_cv.ImageFromFile('a.png').image\n"
                        "qlo_cv.CompareResult(image)\n", 3),
    "misspelt_keyword": ("import numpy as np, qlo_cv\n"
                         "qlo_cv.ShiftComparator(np.zeros((4, 4), np.uint8), max_shifts=3, threshold=50,\n"
                         "                       judge_parameter=4)\n", 2),
    "property_is_read_only": ("import numpy as np, qlo_cv\n"
                              "result = qlo_cv.CompareResult(np.zeros((4, 4), np.uint8))\n"
                              "result.ok = True\n", 3),
    "verdict_types": ("import numpy as np, qlo_cv\n"
                      "result = qlo_cv.CompareResult(np.zeros((4, 4), np.uint8))\n"
                      "count: int = result.ng_count\n"
                      "texts: list[str] = result.descriptions\n"
                      "box = result.ng_regions[0].rect if result.ng else None\n", None),
    # The job package carries its own hints (py.typed): a user's script is checked against them.
    "batch_script": ("from qlo_batch import Settings, run_batch\n"
                     "rows = run_batch('std.png', 'prints', 'out', Settings(max_shift=2, threshold=40))\n"
                     "Settings(max_shift='3')\n", 3),
}


def error_lines(output, stem, pattern):
    return sorted({int(line) for file, line in re.findall(pattern, output) if pathlib.Path(file).stem == stem})


def write_snippets(folder):
    for stem, (code, _line) in SNIPPETS.items():
        (folder / (stem + ".py")).write_text(code, encoding="utf-8")
    return [stem + ".py" for stem in SNIPPETS]


def checker_environment():
    env = dict(os.environ)
    env.pop("MYPYPATH", None)                    # only the installed stub may be found
    env.pop("PYTHONPATH", None)
    return env


@pytest.fixture(scope="module")
def mypy_output(tmp_path_factory):
    developer_tool(importlib.util.find_spec("mypy"), "mypy")
    folder = tmp_path_factory.mktemp("mypy")
    files = write_snippets(folder)
    run = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull,
                          "--hide-error-context", "--no-error-summary", *files],
                         cwd=folder, capture_output=True, text=True, timeout=300, env=checker_environment())
    assert "missing library stubs" not in run.stdout and "Cannot find implementation" not in run.stdout, run.stdout
    return run.stdout + run.stderr


@pytest.fixture(scope="module")
def pyright_output(tmp_path_factory):
    command = developer_tool(shutil.which("basedpyright", path=os.path.dirname(sys.executable)), "basedpyright")
    folder = tmp_path_factory.mktemp("pyright")
    files = write_snippets(folder)
    (folder / "pyrightconfig.json").write_text('{"typeCheckingMode": "standard"}', encoding="utf-8")
    run = subprocess.run([command, "--pythonpath", sys.executable, *files],
                         cwd=folder, capture_output=True, text=True, timeout=300, env=checker_environment())
    assert "could not be resolved" not in run.stdout, run.stdout
    return run.stdout + run.stderr


@pytest.mark.hardening
@pytest.mark.tooling
@pytest.mark.parametrize("stem", SNIPPETS)
def test_mypy_reads_the_installed_stub(mypy_output, stem):
    expected = SNIPPETS[stem][1]
    assert error_lines(mypy_output, stem, r"(?m)^(\S+\.py):(\d+): error") == ([] if expected is None else [expected]), \
        mypy_output


@pytest.mark.hardening
@pytest.mark.tooling
@pytest.mark.parametrize("stem", SNIPPETS)
def test_pyright_reads_the_installed_stub(pyright_output, stem):
    expected = SNIPPETS[stem][1]
    assert error_lines(pyright_output, stem, r"(?m)^\s*(\S+\.py):(\d+):\d+ - error") == \
        ([] if expected is None else [expected]), pyright_output
