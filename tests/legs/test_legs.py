"""scripts/test as CI runs it, through nox: a run in which no session ran never passes, and on CI a
root that cannot be made fails its session, saying why; each root session's share of the suite is
collected whole by this pytest."""

import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def scripts_test(cache, **env):
    # As root the roots could be made; as another user making one is refused at once, and the
    # session skips. That user may not reach the clone (under /root, or a mktemp -d folder, both
    # 0700), so the scripts run from a copy of their own inside the cache folder, open to everyone.
    user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
    clone = os.path.join(cache, "clone")
    if not os.path.isdir(clone):
        shutil.copytree(os.path.join(REPO, "scripts"), os.path.join(clone, "scripts"))
        shutil.copy(os.path.join(REPO, "noxfile.py"), clone)
    env = dict({k: v for k, v in os.environ.items() if k != "CI"}, XDG_CACHE_HOME=cache, HOME=cache,
               NOXSESSION="trixie,sid", **env)
    return subprocess.run([*user, os.path.join(clone, "scripts", "test"), "--all"], env=env, cwd=clone,
                          capture_output=True, text=True, timeout=300)


def open_folder():
    """A new folder that every user can reach: under the temporary folder when every folder above
    it can be passed through by others, else under /tmp."""
    base = tempfile.gettempdir()
    parts = os.path.realpath(base).split(os.sep)
    reachable = all(os.stat(os.sep.join(parts[:i]) or os.sep).st_mode & 0o001 for i in range(1, len(parts) + 1))
    return tempfile.TemporaryDirectory(dir=base if reachable else "/tmp", ignore_cleanup_errors=True)


@pytest.mark.skipif(shutil.which("nox") is None, reason="no nox here (scripts/test installs it)")
def test_a_run_with_no_session_run_fails_and_on_ci_a_root_not_made_fails():
    # The background makers of the roots may still be ending when the run returns.
    with open_folder() as cache:
        os.chmod(cache, 0o777)
        run = scripts_test(cache)
        said = run.stdout + run.stderr
        assert run.returncode == 1, said
        assert "Session trixie skipped: the trixie root cannot be made: make-root: making a root" in said
        assert "* sid: skipped" in said and run.stderr.rstrip().endswith("no session ran")

        on_ci = scripts_test(cache, CI="true")
        said = on_ci.stdout + on_ci.stderr
        assert on_ci.returncode == 1, said
        assert "Session trixie aborted: the trixie root cannot be made: make-root: making a root" in said
        assert "* trixie: aborted" in said and "no session ran" not in said


def collected(*selection):
    listed = subprocess.run([sys.executable, "-m", "pytest", "--collect-only", "-q", "-p", "no:cacheprovider",
                             *selection], cwd=REPO, capture_output=True, text=True, timeout=120)
    assert listed.returncode == 0, listed.stdout + listed.stderr
    return {line for line in listed.stdout.splitlines() if "::" in line}


def test_each_root_session_collects_its_whole_share_on_this_pytest():
    # pytest 8.3 once took `tests tests/faults/x.py::test` for that one test alone.
    pytest.importorskip("nox")
    spec = importlib.util.spec_from_file_location("noxfile", os.path.join(REPO, "noxfile.py"))
    noxfile = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(noxfile)
    everything = collected()
    trixie, sid = collected(*noxfile.share("trixie", [])), collected(*noxfile.share("sid-experimental", []))
    assert trixie == {t for t in everything if not t.startswith(("tests/faults/", "tests/freethreaded/"))} | {
        noxfile.GROUP_CTRL_C}
    assert sid == {t for t in trixie if not t.startswith("tests/e2e/") or t.startswith("tests/e2e/test_demo.py")}
    assert noxfile.share("trixie", ["tests/unit"]) == [] and noxfile.share("trixie", ["-k", "lamp"]) != []
