import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


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
