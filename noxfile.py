"""The test sessions: the suite on this machine's Debian packages, in Debian 13 and unstable root file
systems, on pip's newest releases, the Windows cross build, and the free-threaded CPython.

    nox -s here                 this machine (what scripts/test runs)
    nox -s trixie -- tests/unit one session; the arguments after -- go to pytest
    nox                         every session, as CI runs them (scripts/test --all)

A root session makes its root once (scripts/make-root) and runs in a fresh overlay of it
(scripts/in-root). Where something outside the project cannot be had (the package index, the Debian
archive) a session skips and says why; on CI (CI=true) a root that cannot be made fails it.
"""

import functools
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import nox

REPO = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(REPO / "scripts"))
import debian  # noqa: E402

ON_CI = os.environ.get("CI") == "true"
PYTEST = ["-m", "pytest", "-q", "-rfEs"]
VENV_PYTHON = ".venv/bin/python"
# What only this machine runs: its pyenv CPythons' start-up checks and Selenium 4.24 of the matrix;
# the free-threaded CPython's and the Windows build's own sessions. A root's own interpreter still
# gets the start-up checks.
MATRIX_ELSEWHERE = ["--ignore=tests/matrix/test_selenium_current.py", "--ignore=tests/freethreaded",
                    *(f"--deselect=tests/matrix/test_cpython.py::{test}[{version}]" for version in ("3.8", "3.12", "3.13")
                      for test in ("test_import_binds_the_globals_and_prints_nothing",
                                   "test_signatures_argument_errors_and_traceback_entries"))]
# The one fault run that rests on the Selenium of the root: a Ctrl+C to the console's group leaves
# the driver Service's ChromeDriver running.
GROUP_CTRL_C = "tests/faults/test_faults_stops.py::test_one_ctrl_c_to_the_group_after_a_publish_never_breaks_the_run"


def session(func):
    """A nox session on the machine's own interpreters (nox makes no venv), which logs its time."""
    @functools.wraps(func)
    def timed(s):
        start = time.monotonic()
        try:
            func(s)
        finally:
            minutes, seconds = divmod(round(time.monotonic() - start), 60)
            s.log(f"{func.__name__} took {minutes} min {seconds:02d} s")
    return nox.session(python=False)(timed)


def names_tests(posargs):
    return any(os.path.exists(arg.split("::")[0]) for arg in posargs)


def share(root, posargs):
    """The tests a root session names to pytest: nothing where the arguments name tests themselves.
    Debian 12 (here) and pip's newest releases run the whole suite; the roots lie between them. The
    fault runs (about 4 minutes a session) test the module's own handling and run at those two ends,
    save GROUP_CTRL_C. Unstable's real-browser runs are those of the pip session's root (the same
    Chromium) and of trixie (Debian's Selenium 4.24): there the unit tests carry Debian's pandas 3,
    and the rehearsal proves the README's command. Named as folders and tests that do not overlap:
    pytest 8.3 collects only the test of `tests tests/faults/...::test`, whatever --ignore says."""
    if names_tests(posargs):
        return []
    left = {"faults", "freethreaded"} | ({"e2e"} if root == "sid-experimental" else set())
    return (["tests/e2e/test_demo.py"] if root == "sid-experimental" else []) + [GROUP_CTRL_C] + sorted(
        f"tests/{d.name}" for d in (REPO / "tests").iterdir() if d.is_dir() and d.name[0] != "_" and d.name not in left)


def made_root(s, name):
    """The root's folder, made first where it is not yet (a few minutes)."""
    made = subprocess.run([REPO / "scripts/make-root", name], capture_output=True, text=True)
    if made.returncode != 0:
        why = f"the {name} root cannot be made: " + (made.stderr.strip().splitlines() or ["make-root failed"])[-1]
        if ON_CI:
            s.error(why)
        s.skip(why)
    root = made.stdout.strip()
    s.log("root " + "; ".join(pathlib.Path(root + ".stamp").read_text().splitlines()[1:]))
    return root


def run_with_input(s, command, stdin):
    s.log(" ".join(map(str, command)))
    if subprocess.run(command, stdin=stdin).returncode != 0:
        s.error(f"{command[0]} failed")


def ensure_venv(s):
    """The machine's .venv, which the suite's conftest imports the module from."""
    if subprocess.run([VENV_PYTHON, "-c", "import vantrel"], capture_output=True).returncode != 0:
        s.run("scripts/setup")


def pip_venv(python):
    """Shell: .venv made anew on PYTHON alone, the newest pip, then the module built by pip from the
    clone (build tools from the index, build isolation) with the newest dependencies and test tools."""
    return (f'rm -rf .venv build && {python} -m venv .venv && .venv/bin/python -m pip install -q -U pip && '
            '.venv/bin/python -m pip install -q . --group test && echo "pip freeze on $(.venv/bin/python -V):" && '
            '.venv/bin/python -m pip freeze --exclude-editable | sed "s/^/  /"')


@session
def here(s):
    """Debian's packages on this machine: the whole suite, with the version matrix."""
    s.run("scripts/setup")
    s.run(VENV_PYTHON, *PYTEST, *([] if names_tests(s.posargs) else ["--ignore=tests/freethreaded",
                                                                     "--ignore=tests/windows"]), *s.posargs)


def root_session(s, name):
    root = made_root(s, name)
    s.run("scripts/in-root", root, "sh", "-c", 'scripts/setup && exec .venv/bin/python "$@"', name,
          *PYTEST, *share(name, s.posargs), *MATRIX_ELSEWHERE, *s.posargs)


@session
def trixie(s):
    """Debian 13: the suite but for the fault runs."""
    root_session(s, "trixie")


@session
def sid(s):
    """Debian unstable with pandas 3 from experimental: the unit tests and the rehearsal."""
    root_session(s, "sid-experimental")


def copy_of_clone(copy):
    """The clone's files (tracked, and untracked but not ignored) copied into `copy`."""
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            cwd=REPO, capture_output=True, check=True).stdout.decode().split("\0")
    for name in filter(None, listed):
        if (REPO / name).is_file():
            (pathlib.Path(copy) / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(REPO / name, pathlib.Path(copy) / name)


@session
def pip(s):
    """pip's newest releases: the whole suite on unstable's newest CPython, real-browser tests on 3.11.

    From the index the machine's pip names; the first venv in the sid-pip root, with its Chromium,
    the second on pyenv's CPython 3.11 on this machine, in a copy of the clone (its .venv, Debian's,
    stays as it is). The two run side by side: each mostly waits for its browser."""
    why = debian.index_unreachable()
    if why:
        s.skip(why)
    root = made_root(s, "sid-pip")
    index = debian.pip_setting("PIP_INDEX_URL", "global.index-url")
    cert = debian.pip_setting("PIP_CERT", "global.cert")
    pyenv = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv"))
    pythons = sorted(pyenv.glob("versions/3.11.*/bin/python3"), key=lambda p: [int(n) for n in p.parts[-3].split(".")])
    with tempfile.TemporaryDirectory(prefix="vantrel-pip311.") as copy:
        on_311 = None
        if pythons:
            copy_of_clone(copy)
            tests = " ".join([] if names_tests(s.posargs) else ["tests/unit", "tests/e2e"])
            log = open(pathlib.Path(copy) / "pip311.log", "w")
            on_311 = subprocess.Popen(["sh", "-c", pip_venv(pythons[-1]) + f' && exec {VENV_PYTHON} "$@"', "pip311",
                                       *PYTEST, *tests.split(), *s.posargs],
                                      cwd=copy, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        else:
            s.log(f"CPython 3.11 left out: no pyenv CPython 3.11 in {pyenv}")
        # The certificates that the machine's pip trusts go in on standard input: the root has only Debian's.
        inside = ('[ ! -s /dev/stdin ] || { cat > /tmp/pip.pem && export PIP_CERT=/tmp/pip.pem; } && '
                  + pip_venv("$(command -v python3.15 || command -v python3.14 || command -v python3)")
                  + ' && exec .venv/bin/python "$@"')
        try:
            with open(cert if cert and os.access(cert, os.R_OK) else os.devnull, "rb") as certificates:
                run_with_input(s, [REPO / "scripts/in-root", root, "env", *([f"PIP_INDEX_URL={index}"] if index else []),
                                   "sh", "-c", inside, "pip", *PYTEST, *MATRIX_ELSEWHERE, *s.posargs], certificates)
        finally:
            if on_311 is not None:
                code = on_311.wait()
                log.close()
                s.log(f"on {pythons[-1]}, beside it:\n" + (pathlib.Path(copy) / "pip311.log").read_text())
        if on_311 is not None and code != 0:
            s.error(f"the suite on {pythons[-1]} failed")


@session
def windows(s):
    """The module cross-built for 64-bit Windows and packed as wheels, then checked here."""
    import build_windows
    ensure_venv(s)
    try:  # where the toolchain is not to be had, in the Debian 13 root
        for wheel in build_windows.build(made_root(s, "trixie") if build_windows.needs_root() else None):
            s.log(f"built {wheel}")
    except debian.Unavailable as why:
        s.skip(str(why))
    except RuntimeError as why:
        s.log(str(why))  # the checks fail with it
    s.run(VENV_PYTHON, *PYTEST, *([] if names_tests(s.posargs) else ["tests/windows"]), *s.posargs)


@session
def freethreaded(s):
    """The module on a free-threaded CPython 3.13, built once from Debian's source outside the clone."""
    import free_threaded_python
    why = debian.index_unreachable()
    if why:
        s.skip(why)
    ensure_venv(s)
    try:
        python = free_threaded_python.interpreter()
    except debian.Unavailable as why:
        s.skip(str(why))
    s.run(VENV_PYTHON, *PYTEST, *([] if names_tests(s.posargs) else ["tests/freethreaded"]), *s.posargs,
          env={"VANTREL_FREE_THREADED_PYTHON": str(python)})
