"""Every unit compiles against the free-threaded object layout (Py_GIL_DISABLED): no field of
PyObject that layout lacks, such as ob_refcnt. It takes CPython 3.13 headers or later and
pybind11 2.13 or later; where the host has older ones the check skips and says which."""

import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

UNITS = sorted((pathlib.Path(__file__).parents[2] / "src" / "vantrel").glob("*.cpp"))


def pybind11_include():
    """The folder holding pybind11/, and pybind11's version there as (major, minor)."""
    try:
        import pybind11
        folder = pathlib.Path(pybind11.get_include())
    except ImportError:
        folder = pathlib.Path("/usr/include")
    common = folder / "pybind11" / "detail" / "common.h"
    if not common.exists():
        return folder, (0, 0)
    text = common.read_text(encoding="utf-8")
    version = [int(re.search(rf"#define PYBIND11_VERSION_{part} (\d+)", text).group(1))
               for part in ("MAJOR", "MINOR")]
    return folder, tuple(version)


def why_not():
    if sys.version_info < (3, 13):
        return f"CPython {sys.version_info[0]}.{sys.version_info[1]} has no free-threaded headers (3.13 or later)"
    folder, version = pybind11_include()
    if version < (2, 13):
        return f"pybind11 {version[0]}.{version[1]} in {folder} does not build free-threaded (2.13 or later)"
    if not shutil.which("g++"):
        return "no g++ on PATH"
    return None


@pytest.mark.skipif(why_not() is not None, reason=str(why_not()))
@pytest.mark.parametrize("unit", UNITS, ids=[u.name for u in UNITS])
def test_unit_compiles_with_py_gil_disabled(unit):
    folder, _ = pybind11_include()
    done = subprocess.run(
        ["g++", "-std=c++17", "-fsyntax-only", "-fvisibility=hidden", "-DPy_GIL_DISABLED",
         "-I", sysconfig.get_paths()["include"], "-I", str(folder), str(unit)],
        capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
