"""The module's free-threaded claim (Py_mod_gil), proven on a free-threaded CPython:
scripts/free-threaded-python builds one once, outside the clone; a venv on it, kept beside it,
holds the dependencies; pip builds the module from this clone into it on every run; and
test_free_threaded_runs.py runs there with the GIL held off. The machine's leg alone runs this
(scripts/test): the first build takes about 5 minutes of both processors."""

import fcntl
import os
import pathlib
import re
import shutil
import subprocess
import tempfile

import pytest

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parents[1]
CACHE = pathlib.Path(os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache") / "vantrel"
VENV = CACHE / "python3.13t-venv"
# The newest releases built for this interpreter: the index may hold only the source of a newer
# NumPy or pandas, which would take pip twenty minutes of processor time to compile.
DEPENDENCIES = ["--prefer-binary", "pandas", "numpy", "selenium", "openpyxl", "xlsxwriter", "pytest"]
UNAVAILABLE = 125  # scripts/free-threaded-python: the interpreter cannot be had here


def run(*command, timeout, **kwargs):
    return subprocess.run([str(c) for c in command], capture_output=True, text=True, timeout=timeout, **kwargs)


def index_unreachable(python):
    """Why pip cannot fetch a package from the index the machine's pip configuration names, with
    none of that configuration's local folders; None when it can."""
    def setting(variable, key):
        return os.environ.get(variable) or run(python, "-m", "pip", "config", "get", key, timeout=60).stdout.strip()
    index, cert = setting("PIP_INDEX_URL", "global.index-url"), setting("PIP_CERT", "global.cert")
    env = {k: v for k, v in os.environ.items() if k not in ("PIP_FIND_LINKS", "PIP_EXTRA_INDEX_URL", "PIP_CERT")}
    env["PIP_CONFIG_FILE"] = os.devnull
    env.update({"PIP_INDEX_URL": index} if index else {}, **({"PIP_CERT": cert} if cert else {}))
    with tempfile.TemporaryDirectory() as folder:
        done = run(python, "-m", "pip", "download", "--quiet", "--no-deps", "--no-cache-dir", "-d", folder, "pytest",
                   env=env, timeout=900)
    if done.returncode == 0:
        return None
    said = [line for line in done.stderr.splitlines() if line.strip()] or [f"pip exited {done.returncode}"]
    return "the package index cannot be reached: " + said[-1]


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
    built = run(REPO / "scripts" / "free-threaded-python", timeout=3600)
    if built.returncode == UNAVAILABLE:
        pytest.skip(built.stderr.strip().splitlines()[-1])
    assert built.returncode == 0, built.stderr
    python = built.stdout.split()[-1]
    why = index_unreachable(python)
    if why:
        pytest.skip(why)

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
