import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


def developer_tool(found, name, install="QLO_DEV=1 bash scripts/setup.sh"):
    """`found` (a tool's path or module) when it is there. Without it a test
    skips, saying how to install it, unless the developers' set-up was asked
    for (QLO_DEV=1, as CI runs): then the missing tool fails the test."""
    if found is None:
        message = "%s is a developers' tool: %s installs it" % (name, install)
        if os.environ.get("QLO_DEV") == "1":
            pytest.fail(message + " (QLO_DEV=1 is set, so it should be here)")
        pytest.skip(message)
    return found


def run_python(code, *flags):
    """Runs `code` in a fresh interpreter of this environment; returns the completed process."""
    return subprocess.run([sys.executable, *flags, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=120)


def readme_example():
    """The Python code of the README's "Using the module" section."""
    text = (pathlib.Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
    section = text[text.index("## Using the module"):]
    start = section.index("```python\n") + len("```python\n")
    return section[start:section.index("```\n", start)]


def two_prints(folder):
    """A 80 x 60 standard std.png, prints/a.png like it and prints/b.png with a
    dark spot at [30, 20, 45, 30], and pairs.csv listing both, in `folder`."""
    import cv2
    (folder / "prints").mkdir(parents=True)
    standard = np.full((60, 80), 200, np.uint8)
    spotted = standard.copy()
    spotted[20:30, 30:45] = 40
    for name, image in [("std.png", standard), ("prints/a.png", standard), ("prints/b.png", spotted)]:
        cv2.imwrite(str(folder / name), image)
    (folder / "pairs.csv").write_text("standard,target\nstd.png,prints/a.png\nstd.png,prints/b.png\n")
