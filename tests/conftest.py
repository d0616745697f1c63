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
