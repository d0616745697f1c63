"""The type stub against the module: every name the module defines is in
src/qlo_cv.pyi with its real signature (parameter names, kinds, which have
defaults, and the default where the stub spells one out), every method, static
method and property of each class is there too, and the stub names nothing the
module's table of names does not."""
import ast
import inspect
import pathlib
import re

import pytest

import qlo_cv

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


def test_the_module_defines_the_whole_table_in_order():
    defined = [name for name in vars(qlo_cv) if name in TABLE]
    assert defined == TABLE


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
