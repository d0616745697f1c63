"""Compile time of one capability file with the frame's object layer (what
the build uses) against the same file with all of pybind11 included (its
binding machinery and NumPy support, which the module does not use)."""
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SOURCE = os.path.join("src", "coords", "rotation_displacement.cpp")
EVERYTHING = ["-include", "pybind11/pybind11.h", "-include", "pybind11/numpy.h"]


def compile_s(compiler, flags, extra, output):
    start = time.perf_counter()
    subprocess.run([compiler, *flags, *extra, "-c", os.path.join(ROOT, SOURCE), "-o", output], check=True)
    return time.perf_counter() - start


def main(rounds=2):
    compiler = shutil.which(os.environ.get("CXX", "c++"))
    try:
        import pybind11
    except ImportError:
        pybind11 = None
    if not compiler or not pybind11:
        print("compile time: needs a C++ compiler and pybind11; skipped")
        return
    flags = ["-std=c++17", "-O3", "-fPIC", "-fvisibility=hidden", "-I", os.path.join(ROOT, "src"),
             "-isystem", pybind11.get_include(), "-isystem", sysconfig.get_paths()["include"]]
    print("compile time of %s (best of %d, alternating)" % (SOURCE, rounds))
    with tempfile.TemporaryDirectory() as tmp:
        output = os.path.join(tmp, "file.o")
        lean = full = float("inf")
        for _ in range(rounds):
            lean = min(lean, compile_s(compiler, flags, [], output))
            full = min(full, compile_s(compiler, flags, EVERYTHING, output))
    print("  object layer %.1f s, all of pybind11 %.1f s, ratio %.1fx" % (lean, full, full / lean))


if __name__ == "__main__":
    main(*map(int, sys.argv[1:]))
