"""Faults during a run: the marketplace of one test, guarded vantrel runs and sessions in
processes of their own.

The stand-in marketplace and headless Chromium are the session's own (tests/conftest.py). A
run in this process calls vantrel.main() with its three answers on standard input,
`VANTREL_ORIGIN` pointing at the marketplace and the module's `time` swapped for a clock that
scales every sleep down (tests/realrun.py). Nothing may hang: the clock ends a run that
overruns its time, and a watchdog thread kills Chromium (or a run's own process) if even that
fails.
"""

import functools
import os
import signal
import subprocess
import sys
import time

import pytest

import realrun

RUN_TIMEOUT = 120  # seconds a run in this process may take before the clock ends it
RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run_vantrel.py")
KILL_SEED = 22  # the random kills' seed unless VANTREL_KILL_SEED names another


def kill_seed():
    """The seed of a test's random kills, printed so that a failing run can be repeated."""
    seed = int(os.environ.get("VANTREL_KILL_SEED", KILL_SEED))
    print(f"VANTREL_KILL_SEED={seed}")
    return seed


class Spy:
    """Wraps a WebDriver or a WebElement; notes every XPath and script it is handed and
    every element text read through it.

    Elements found through a spy are spies too; elements handed to a script are unwrapped.
    Everything else goes straight to the real object, so the module still sees a driver
    without the old find_element_by_xpath family and takes the same calls as without it.
    """

    def __init__(self, target, seen):
        self._target = target
        self._seen = seen

    def __getattr__(self, name):
        value = getattr(self._target, name)
        if name == "text":
            self._seen.append(("text", value))
        return value

    def find_element(self, by, value):
        self._seen.append(("xpath" if by == "xpath" else by, value))
        return Spy(self._target.find_element(by, value), self._seen)

    def find_elements(self, by, value):
        self._seen.append(("xpath" if by == "xpath" else by, value))
        return [Spy(found, self._seen) for found in self._target.find_elements(by, value)]

    def execute_script(self, script, *args):
        self._seen.append(("script", script))
        args = [arg._target if isinstance(arg, Spy) else arg for arg in args]
        return self._target.execute_script(script, *args)


class SpyingWebdriver:
    """Stands in for the module's `webdriver`: the real Chrome, its driver wrapped in a Spy."""

    def __init__(self, real):
        self.seen = []
        self.real = real

        @functools.wraps(real.Chrome)
        def chrome(*args, **kwargs):
            return Spy(real.Chrome(*args, **kwargs), self.seen)

        self.Chrome = chrome

    def __getattr__(self, name):
        return getattr(self.real, name)


def temporary_name(res_path, pid=None):
    """The file name each save writes first, beside the result workbook."""
    return f".{os.path.basename(res_path)}.{os.getpid() if pid is None else pid}.tmp.xlsx"


@pytest.fixture
def market(marketplace):
    return realrun.Market(marketplace)


@pytest.fixture
def run_main(vantrel, market, chromium, tmp_path, monkeypatch, capsys):
    """run_main(rows, hook=None, pic_wait=0, webdriver=None) -> Run, in this process.

    rows are (name, amount) pairs; the workbooks go to tmp_path/"run". `hook(seconds)` runs
    before each sleep. The clock is `run_main.clock` while the run goes on, and
    `run_main.table` the run's own table.
    """
    return realrun.Runner(vantrel, market, chromium, tmp_path / "run", monkeypatch, capsys,
                          RUN_TIMEOUT)


def child_pids(pid):
    """The processes whose parent is `pid`, as /proc shows them now."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", encoding="ascii", errors="replace") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append(int(entry))
    return found


class Process:
    """A vantrel session in a process of its own (run_vantrel.py), in its own process group;
    `entry` is the module function it calls, main or resume (which takes the result workbook in
    place of the commodity workbook).

    Its console goes to files in `logs`: a killed session cannot fill a pipe nobody reads. Its
    ChromeDriver runs in a session of its own, so the children the session was seen with are
    ended with it.
    """

    def __init__(self, workbook, port, origin, logs, scale=realrun.SCALE, pic_wait=0,
                 tmpdir=None, path=None, entry="main", env=None):
        env = dict(os.environ, VANTREL_ORIGIN=origin, PYTHONUNBUFFERED="1", **(env or {}))
        if path is not None:
            env["PATH"] = path
        if tmpdir is not None:
            env["TMPDIR"] = str(tmpdir)
        self.out_path = os.path.join(str(logs), f"{entry}-stdout.txt")
        self.err_path = os.path.join(str(logs), f"{entry}-stderr.txt")
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(
                [sys.executable, RUNNER, str(workbook), str(pic_wait), str(port), str(scale), entry],
                env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                start_new_session=True)
        self.pid = self.proc.pid
        self.children = set()

    def look(self):
        """Notes the session's children while it runs."""
        if self.proc.poll() is None:
            self.children.update(child_pids(self.pid))

    def kill(self):
        """SIGKILL the session and its ChromeDriver, then whatever else is in its group."""
        self.look()
        try:
            os.kill(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()
        self.reap()

    def reap(self):
        for pid in self.children:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        try:
            os.killpg(self.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass

    def finish(self, timeout):
        """Wait for the session to end on its own, killing it after `timeout` seconds;
        True when it ended in time."""
        deadline = time.monotonic() + timeout
        while self.proc.poll() is None and time.monotonic() < deadline:
            self.look()
            time.sleep(0.05)
        ended = self.proc.poll() is not None
        if not ended:
            self.kill()
        self.reap()
        return ended

    def output(self):
        """(stdout, stderr) so far."""
        texts = []
        for path in (self.out_path, self.err_path):
            with open(path, encoding="utf-8", errors="replace") as handle:
                texts.append(handle.read())
        return tuple(texts)


@pytest.fixture
def processes():
    """Starts sessions in processes of their own; kills what is left of them afterwards."""
    started = []

    def start(*args, **kwargs):
        started.append(Process(*args, **kwargs))
        return started[-1]

    yield start
    for process in started:
        if process.proc.poll() is None:
            process.kill()
        process.reap()
