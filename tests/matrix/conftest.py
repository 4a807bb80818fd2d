"""The version matrix: the module built for other CPythons, and real runs on Selenium 4.24.

Both need what scripts/fetch_current.py unpacks from Debian's next release (Meson 1.7, Selenium
4.24); without it their tests skip with the reason the fetch gave.
"""

import functools
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MATRIX = os.path.dirname(os.path.abspath(__file__))
UNAVAILABLE = os.path.join(ROOT, ".cache", "trixie", "unavailable")

# The real-browser tests run again on Selenium 4.24. The failed attachments take about a minute,
# waiting for ChromeDriver to give up on a port where nothing listens, so their run starts in
# the background as soon as the session is collected, and their test only collects the outcome.
ATTACHMENT = ["tests/faults/test_faults_process.py::" + name for name in (
    "test_no_chromedriver_on_path_is_selenium_own_error_at_the_attach_step",
    "test_nothing_listening_on_the_debugging_port")]
ATTACHMENT_TEST = "test_selenium_current.py::test_failed_attachments_on_selenium_4_24"
INNER_TIMEOUT = 300


@functools.lru_cache(maxsize=None)
def fetch_current():
    """The folder of the unpacked pure-Python packages, or None and why not."""
    done = subprocess.run([os.path.join(ROOT, "scripts", "fetch_current.py")], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=600)
    if done.returncode == 0:
        return done.stdout.strip(), None
    try:
        with open(UNAVAILABLE) as reason:
            return None, reason.read().strip()
    except OSError:
        return None, done.stderr.strip() or f"scripts/fetch_current.py exited with {done.returncode}"


@pytest.fixture(scope="session")
def current_site():
    site, why_not = fetch_current()
    if site is None:
        pytest.skip("Debian trixie's packages are not available: " + why_not)
    return site


class InnerRun:
    """Chosen real-browser tests run by pytest in a process of its own, with `site` (Selenium
    4.24) first on the path. It works in an empty folder, where no chromedriver is: the
    module's bare driver name has to be found on PATH. The marketplace and Chromium of that
    run are its own, on free ports like the outer session's."""

    def __init__(self, site, tests, folder):
        self.tests = tests
        work = os.path.join(folder, "work")
        os.makedirs(work)
        self.seen_file = os.path.join(folder, "selenium.json")
        self.output_file = os.path.join(folder, "output.txt")
        path = [site, MATRIX] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(path), VANTREL_SELENIUM_SEEN=self.seen_file)
        command = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "selenium_seen",
                   "--rootdir", ROOT, "-c", os.path.join(ROOT, "pyproject.toml"),
                   "--basetemp", os.path.join(folder, "tmp")] + [os.path.join(ROOT, t) for t in tests]
        with open(self.output_file, "w") as output:
            self.proc = subprocess.Popen(command, cwd=work, env=env, stdin=subprocess.DEVNULL, stdout=output,
                                         stderr=subprocess.STDOUT, start_new_session=True)

    def stop(self):
        """Ends the run and all it started (its own process group), if it is still going."""
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()

    def finish(self, timeout=INNER_TIMEOUT):
        """(exit status, {"folder", "version"} of the Selenium it imported, its output)."""
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.stop()
        with open(self.output_file) as output:
            text = output.read()
        try:
            with open(self.seen_file) as seen:
                selenium = json.load(seen)
        except (OSError, ValueError):
            selenium = None
        return self.proc.returncode, selenium, text


_background = {}


def pytest_collection_finish(session):
    if any(item.nodeid.endswith(ATTACHMENT_TEST) for item in session.items):
        site, why_not = fetch_current()
        folder = tempfile.mkdtemp(prefix="vantrel-attachment-")
        _background["attachment"] = (InnerRun(site, ATTACHMENT, folder) if site else why_not, folder)


def pytest_sessionfinish(session):
    if "attachment" in _background:
        run, folder = _background.pop("attachment")
        if isinstance(run, InnerRun):
            run.stop()
        shutil.rmtree(folder, ignore_errors=True)


@pytest.fixture
def attachment_run():
    """The background run of ATTACHMENT: an InnerRun, or why it could not start."""
    run, _ = _background["attachment"]
    if not isinstance(run, InnerRun):
        pytest.skip("Debian trixie's packages are not available: " + run)
    return run
