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
