"""The C++ sources include only their own layer and the layers below it."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
CAPABILITIES = {"chain", "compare", "contour", "coords", "measure", "regions"}
# What each layer's folder may include, besides itself.
BELOW = {
    "base": set(),
    "kernels": {"base"},
    "frame": {"base"},
    **{folder: {"frame", "kernels", "base"} for folder in CAPABILITIES},
    "module": {"frame", "kernels", "base"} | CAPABILITIES,
}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^/"]+)/', re.M)


def test_every_source_folder_has_a_layer():
    assert {p.name for p in SRC.iterdir() if p.is_dir()} == set(BELOW)


@pytest.mark.parametrize("folder", sorted(BELOW))
def test_includes_follow_the_layer_order(folder):
    wrong = [(path.name, included) for path in sorted((SRC / folder).glob("*.[ch]*"))
             for included in INCLUDE.findall(path.read_text())
             if included != folder and included not in BELOW[folder]]
    assert wrong == []


def test_the_job_package_imports_no_module_that_imports_it_back():
    """Modules of qlo_batch import each other in one direction only, deferred
    imports inside functions included."""
    import ast
    package = SRC.parent / "qlo_batch"
    imports = {}
    for path in package.glob("*.py"):
        found = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.ImportFrom) and node.module == "qlo_batch":
                found |= {alias.name for alias in node.names if (package / (alias.name + ".py")).exists()}
            elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith("qlo_batch."):
                found.add(node.module.split(".")[1])
        imports[path.stem] = found

    def reaches(start, goal, seen):
        return any(m == goal or m not in seen and reaches(m, goal, seen | {m}) for m in imports.get(start, ()))

    assert [name for name in sorted(imports) if reaches(name, name, {name})] == []
