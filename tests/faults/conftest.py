"""Faults during a run: the stand-in marketplace, headless Chromium and guarded vantrel runs.

The marketplace and Chromium are started once per session on free ports and stopped by
process id afterwards. A run in this process calls vantrel.main() with its three answers on
standard input, `VANTREL_ORIGIN` pointing at the marketplace and the module's `time` swapped
for a clock that scales every sleep down. Nothing may hang: the clock ends a run that overruns
its time, and a watchdog thread kills Chromium (or a run's own process) if even that fails.
"""

import functools
import glob
import io
import os
import signal
import subprocess
import sys
import threading
import time

import pandas as pd
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from standin import harness  # noqa: E402

import vantrel  # noqa: E402

# Every sleep of the module lasts SCALE times as long; the marketplace's own delays stay below
# the shortest scaled pause that has to cover them (a page turn: 2 s -> 40 ms).
SCALE = 0.02
KNOBS = {"results_delay": 0.01, "image_delay": 0.03, "page_size": 10}
RUN_TIMEOUT = 120  # seconds a run in this process may take before the clock ends it
GRACE = 30         # then this long again before the watchdog kills the browser
RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "run_vantrel.py")


class RunTimeout(Exception):
    """A vantrel run overran its time."""


class Watchdog:
    """Calls `action` once if it is still armed after `seconds`; a context manager."""

    def __init__(self, seconds, action):
        self.fired = False

        def fire():
            self.fired = True
            action()

        self.timer = threading.Timer(seconds, fire)
        self.timer.daemon = True

    def __enter__(self):
        self.timer.start()
        return self

    def __exit__(self, *exc):
        self.timer.cancel()
        return False


class ScaledClock:
    """Stands in for the module's `time`: sleeps SCALE times as long, notes every sleep.

    `hook(seconds)` runs before each sleep; tests use it to look at the marketplace and the
    disk and to switch faults on and off while the run goes on. An exception in the hook is
    kept for the test (the module would swallow it inside a row). Past the deadline the clock
    ends the run: it takes every row out of the plan (sign 9 in the run's table) and raises
    at every sleep until one outside the rows lets it through.
    """

    def __init__(self, hook=None, timeout=RUN_TIMEOUT):
        self.hook = hook
        self.deadline = time.monotonic() + timeout
        self.slept = []
        self.hook_errors = []
        self.table = None
        self.timed_out = False

    def sleep(self, seconds):
        if self.timed_out or time.monotonic() > self.deadline:
            self.timed_out = True
            if self.table is not None:
                self.table.loc[:, "sign"] = 9
            raise RunTimeout("the vantrel run overran its time")
        self.slept.append(seconds)
        if self.hook is not None:
            try:
                self.hook(seconds)
            except Exception as exc:
                self.hook_errors.append(exc)
        time.sleep(seconds * SCALE)

    def __getattr__(self, name):
        return getattr(time, name)


class Chromium:
    """The session's headless Chromium; started again if a watchdog had it killed."""

    def __init__(self, profile_root):
        self.profile_root = profile_root
        self.proc = None
        self.port = None

    def ensure(self):
        if self.proc is None or self.proc.poll() is not None:
            self.port = harness.free_port()
            profile = os.path.join(self.profile_root, f"profile-{self.port}")
            self.proc = harness.start_chromium(self.port, profile)
        return self.port

    def stop(self):
        harness.stop(self.proc)


class Market:
    """The stand-in marketplace of one test."""

    def __init__(self, origin):
        self.origin = origin

    def reset(self, listings, **knobs):
        return harness.reset(self.origin, {"listings": listings, "knobs": dict(KNOBS, **knobs)})

    def state(self):
        return harness.get_state(self.origin)

    def set_knobs(self, **knobs):
        return harness.set_knobs(self.origin, **knobs)

    def copies(self, state=None):
        return harness.copies_by_title(state or self.state())


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


class Run:
    """What a run left: the result table (None if nothing was saved), console and clock."""

    def __init__(self, result, output, clock, table):
        self.result = result
        self.output = output
        self.clock = clock
        self.table = table

    def column(self, name):
        return dict(zip(self.result["name"], self.result[name]))


def result_paths(folder):
    return glob.glob(os.path.join(str(folder), "commodity*res.xlsx"))


def temporary_name(res_path, pid=None):
    """The file name each save writes first, beside the result workbook."""
    return f".{os.path.basename(res_path)}.{os.getpid() if pid is None else pid}.tmp.xlsx"


def write_commodities(folder, rows):
    workbook = os.path.join(str(folder), "commodity.xlsx")
    pd.DataFrame(rows, columns=["name", "amount"]).to_excel(workbook, index=False)
    return workbook


@pytest.fixture(scope="session")
def marketplace():
    """Origin of the stand-in marketplace, started once for the session."""
    port = harness.free_port()
    proc = harness.start_marketplace(port, harness.SAMPLE_CATALOGUE)
    yield f"http://127.0.0.1:{port}"
    harness.stop(proc)


@pytest.fixture(scope="session")
def chromium(tmp_path_factory):
    browser = Chromium(str(tmp_path_factory.mktemp("chromium")))
    browser.ensure()
    yield browser
    browser.stop()


@pytest.fixture
def market(marketplace):
    return Market(marketplace)


@pytest.fixture
def run_main(market, chromium, tmp_path, monkeypatch, capsys):
    """run_main(rows, hook=None, pic_wait=0, webdriver=None) -> Run, in this process.

    rows are (name, amount) pairs; the workbooks go to tmp_path/"run". The clock is
    `run_main.clock` while the run goes on, and `run_main.table` the run's own table.
    """

    def run(rows, hook=None, pic_wait=0, webdriver=None, timeout=RUN_TIMEOUT):
        folder = tmp_path / "run"
        folder.mkdir(exist_ok=True)
        workbook = write_commodities(folder, rows)
        port = chromium.ensure()
        clock = run.clock = ScaledClock(hook, timeout)
        real_start = vantrel.start

        def start(*args, **kwargs):
            clock.table = run.table = args[3]  # the run's own table
            return real_start(*args, **kwargs)

        monkeypatch.setattr(sys, "stdin", io.StringIO(f"{workbook}\n{pic_wait}\n{port}\n"))
        monkeypatch.setenv("VANTREL_ORIGIN", market.origin)
        monkeypatch.setattr(vantrel, "time", clock)
        monkeypatch.setattr(vantrel, "start", start)
        if webdriver is not None:
            monkeypatch.setattr(vantrel, "webdriver", webdriver)
        # If a page action itself hangs, killing the browser makes the driver's calls fail
        # and gives the clock its turn.
        with Watchdog(timeout + GRACE, chromium.stop) as watchdog:
            try:
                vantrel.main()
            finally:
                monkeypatch.undo()
        output = capsys.readouterr().out
        sys.stdout.write(output)  # shown by pytest when the test fails
        assert not watchdog.fired and not clock.timed_out, "the run overran its time"
        assert not clock.hook_errors, clock.hook_errors
        found = result_paths(folder)
        assert len(found) <= 1, found
        result = pd.read_excel(found[0]) if found else None
        return Run(result, output, clock, run.table)

    run.folder = tmp_path / "run"
    run.clock = run.table = None
    return run


class Process:
    """A vantrel session in a process of its own (run_vantrel.py), in its own process group.

    Its console goes to files in `logs`: a killed session cannot fill a pipe nobody reads.
    """

    def __init__(self, workbook, port, origin, logs, scale=SCALE, pic_wait=0, tmpdir=None):
        env = dict(os.environ, VANTREL_ORIGIN=origin, PYTHONUNBUFFERED="1")
        if tmpdir is not None:
            env["TMPDIR"] = str(tmpdir)
        self.out_path = os.path.join(str(logs), "stdout.txt")
        self.err_path = os.path.join(str(logs), "stderr.txt")
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(
                [sys.executable, RUNNER, str(workbook), str(pic_wait), str(port), str(scale)],
                env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                start_new_session=True)
        self.pid = self.proc.pid

    def kill(self):
        """SIGKILL the session, then whatever it started (its ChromeDriver) in its group."""
        try:
            os.kill(self.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait()
        self.reap()

    def reap(self):
        try:
            os.killpg(self.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass

    def finish(self, timeout):
        """Wait for the session to end on its own, killing it after `timeout` seconds;
        True when it ended in time."""
        try:
            self.proc.wait(timeout)
            ended = True
        except subprocess.TimeoutExpired:
            self.kill()
            ended = False
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
