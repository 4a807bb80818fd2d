"""The module's free-threaded claim (Py_mod_gil), proven on a free-threaded CPython: the
freethreaded session builds one once, outside the clone (scripts/free_threaded_python.py), and
names it in VANTREL_FREE_THREADED_PYTHON; a venv on it, kept beside it, holds the dependencies; pip
builds the module from this clone into it on every run; and test_free_threaded_runs.py runs there
with the GIL held off. The first build takes about 5 minutes of both processors."""

import fcntl
import os
import pathlib
import re
import shutil
import subprocess

import pytest

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parents[1]
CACHE = pathlib.Path(os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache") / "vantrel"
VENV = CACHE / "python3.13t-venv"
# The newest releases built for this interpreter: the index may hold only the source of a newer
# NumPy or pandas, which would take pip twenty minutes of processor time to compile.
DEPENDENCIES = ["--prefer-binary", "pandas", "numpy", "selenium", "openpyxl", "xlsxwriter", "pytest"]


def run(*command, timeout, **kwargs):
    return subprocess.run([str(c) for c in command], capture_output=True, text=True, timeout=timeout, **kwargs)


def venv_with_dependencies(python):
    """The venv's interpreter; the venv is made anew when the interpreter or the list changed."""
    wanted = run(python, "-VV", timeout=60).stdout + " ".join(DEPENDENCIES) + "\n"
    stamp = VENV / "vantrel-dependencies"
    if not stamp.exists() or stamp.read_text() != wanted:
        shutil.rmtree(VENV, ignore_errors=True)
        made = run(python, "-m", "venv", VENV, timeout=600)
        assert made.returncode == 0, made.stderr
        filled = run(VENV / "bin" / "python", "-m", "pip", "install", "--quiet", *DEPENDENCIES, timeout=1800)
        assert filled.returncode == 0, filled.stdout + filled.stderr
        stamp.write_text(wanted)
    return VENV / "bin" / "python"


def test_two_workflows_at_once_on_free_threaded_cpython(tmp_path):
    python = os.environ.get("VANTREL_FREE_THREADED_PYTHON")
    if not python:
        pytest.skip("no free-threaded CPython named: `nox -s freethreaded` builds one and runs this")

    with open(CACHE / "python3.13t-venv.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # one run at a time installs into the venv and runs there
        venv_python = venv_with_dependencies(python)
        installed = run(venv_python, "-m", "pip", "install", "--quiet", "--force-reinstall", "--no-deps",
                        f"--config-settings=build-dir={tmp_path / 'build'}", REPO, timeout=1800)
        assert installed.returncode == 0, installed.stdout + installed.stderr
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "VIRTUAL_ENV")}
        ran = run(venv_python, "-m", "pytest", "-q", "-rfEs", "-p", "no:cacheprovider", "--confcutdir", HERE,
                  HERE / "test_free_threaded_runs.py", cwd=REPO, env=dict(env, PYTHON_GIL="0"), timeout=900)
    assert ran.returncode == 0 and re.search(r"^2 passed in ", ran.stdout, re.M), ran.stdout + ran.stderr
