"""scripts/test as CI runs it: a run in which no leg could run, or with a leg it does not know, never
passes."""

import os
import re
import shutil
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def scripts_test(*args, legs, cache):
    # As root the roots could be made; as another user making one is refused at once, and the leg
    # skips. That user may not reach the clone (under /root, or a mktemp -d folder, both 0700), so
    # the scripts run from a copy of their own inside the cache folder, which is open to everyone.
    user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if os.geteuid() == 0 else []
    scripts = os.path.join(cache, "clone", "scripts")
    if not os.path.isdir(scripts):
        shutil.copytree(os.path.join(REPO, "scripts"), scripts)
    env = dict(os.environ, VANTREL_LEGS=legs, XDG_CACHE_HOME=cache, HOME=cache)
    return subprocess.run([*user, os.path.join(scripts, "test"), *args], env=env, cwd=cache,
                          capture_output=True, text=True, timeout=300)


def open_folder():
    """A new folder that every user can reach: under the temporary folder when every folder above
    it can be passed through by others, else under /tmp."""
    base = tempfile.gettempdir()
    parts = os.path.realpath(base).split(os.sep)
    reachable = all(os.stat(os.sep.join(parts[:i]) or os.sep).st_mode & 0o001 for i in range(1, len(parts) + 1))
    return tempfile.TemporaryDirectory(dir=base if reachable else "/tmp", ignore_cleanup_errors=True)


def test_a_run_with_no_leg_to_run_fails_and_says_why():
    # The background makers of the roots may still be ending when the run returns.
    with open_folder() as cache:
        os.chmod(cache, 0o777)
        run = scripts_test(legs="trixie sid-experimental", cache=cache)
        assert run.returncode == 1, run.stdout + run.stderr
        lines = [" ".join(re.sub(r"\d+m\d\ds", "", line).split()) for line in run.stdout.splitlines()]
        assert "leg trixie skipped: making a root (and entering one) needs root" in lines
        assert lines[-3:] == [
            "trixie skipped: making a root (and entering one) needs root",
            "sid-experimental skipped: making a root (and entering one) needs root",
            "no leg ran"]

        unknown = scripts_test(legs="trixy", cache=cache)
        assert unknown.returncode == 2
        assert unknown.stderr == "scripts/test: no leg trixy (here, trixie, sid-experimental, pip)\n"


def collected(*selection):
    listed = subprocess.run([sys.executable, "-m", "pytest", "--collect-only", "-q", "-p", "no:cacheprovider",
                             *selection], cwd=REPO, capture_output=True, text=True, timeout=120)
    assert listed.returncode == 0, listed.stdout + listed.stderr
    return {line for line in listed.stdout.splitlines() if "::" in line}


def test_each_root_leg_collects_its_whole_share_on_this_pytest():
    # pytest 8.3 once took `tests tests/faults/x.py::test` for that one test alone.
    def share(leg, *args):
        return subprocess.run([os.path.join(REPO, "scripts", "test"), "--share", leg, *args], cwd=REPO,
                              capture_output=True, text=True, check=True).stdout.split()

    everything = collected()
    group_ctrl_c = "tests/faults/test_faults_stops.py::test_one_ctrl_c_to_the_group_after_a_publish_never_breaks_the_run"
    trixie, sid = collected(*share("trixie")), collected(*share("sid-experimental"))
    assert trixie == {t for t in everything if not t.startswith(("tests/faults/", "tests/freethreaded/"))} | {group_ctrl_c}
    assert sid == {t for t in trixie if not t.startswith("tests/e2e/") or t.startswith("tests/e2e/test_demo.py")}
    assert share("pip") == [] and share("trixie", "tests/unit") == [] and share("trixie", "-k", "lamp") != []
