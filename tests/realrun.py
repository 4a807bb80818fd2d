"""Real vantrel runs for the end-to-end and fault tests: the stand-in marketplace, headless
Chromium and guarded runs of vantrel.main() in this process.

The marketplace and Chromium run on free ports and are stopped by process id. A run types its
three answers on standard input, points `VANTREL_ORIGIN` at the marketplace and swaps the
module's `time` for a clock that scales every sleep down, so a run takes seconds. Nothing may
hang: the clock ends a run that overruns its time, and a watchdog thread kills Chromium if
even that fails.
"""

import glob
import io
import logging
import os
import sys
import threading
import time
import warnings

import pandas as pd

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from standin import harness  # noqa: E402

# Every sleep of the module lasts SCALE times as long. The marketplace's delays are set
# below the shortest scaled pause that has to cover them: a page turn (2 s -> 40 ms).
SCALE = 0.02
KNOBS = {"results_delay": 0.01, "image_delay": 0.03, "page_size": 10}
GRACE = 30  # seconds past a run's own time before the watchdog kills the browser


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


class ScaledClock(harness.ScaledTime):
    """Stands in for the module's `time`: sleeps SCALE times as long, notes every sleep.

    `hook(seconds)` runs before each sleep, with `count` (from 1) already counting it; tests
    use it to look at the marketplace and the disk and to switch faults on and off while the
    run goes on. An exception in the hook is kept for the test (the module would swallow it
    inside a row). Past the deadline the clock ends the run: it takes every row out of the
    plan (sign 9 in the run's table) and raises at every sleep until one outside the rows
    (the draft cleanup's or the closing pause) lets it through.
    """

    def __init__(self, hook, timeout, scale=SCALE):
        super().__init__(scale)
        self.hook = hook
        self.deadline = time.monotonic() + timeout
        self.count = 0
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
        self.count += 1
        self.slept.append(seconds)
        if self.hook is not None:
            try:
                self.hook(seconds)
            except Exception as exc:
                self.hook_errors.append(exc)
        super().sleep(seconds)


class Chromium:
    """Headless Chromium for a session of tests; started again if a watchdog had it killed."""

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

    def copy_listing(self, listing_id):
        """Press a listing's copy button, as a seller would: leaves a draft."""
        return harness.copy_listing(self.origin, listing_id)


class Run:
    """What a run left: the result table (None if nothing was saved), console, clock, the
    run's own table, the warnings an operator's console would have shown and what the call
    returned."""

    def __init__(self, result, output, clock, table, complaints, value=None):
        self.result = result
        self.output = output
        self.clock = clock
        self.table = table
        self.complaints = complaints
        self.value = value

    def column(self, name):
        return dict(zip(self.result["name"], self.result[name]))


class Complaints(logging.Handler):
    """Collects what would reach the operator's console besides the run's own lines: warnings
    (a ResourceWarning never shows outside development mode) and log records from WARNING up."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.seen = []

    def emit(self, record):
        self.seen.append(f"log {record.name}: {record.getMessage()}")

    def __enter__(self):
        self._warnings = warnings.catch_warnings(record=True)
        self._caught = self._warnings.__enter__()
        warnings.simplefilter("always")
        logging.getLogger().addHandler(self)
        return self

    def __exit__(self, *exc):
        logging.getLogger().removeHandler(self)
        self._warnings.__exit__(*exc)
        self.seen += [f"{w.category.__name__}: {w.message}" for w in self._caught
                      if not issubclass(w.category, ResourceWarning)]
        return False


def result_paths(folder):
    return glob.glob(os.path.join(str(folder), "commodity*res.xlsx"))


def write_commodities(folder, rows):
    workbook = os.path.join(str(folder), "commodity.xlsx")
    pd.DataFrame(rows, columns=["name", "amount"]).to_excel(workbook, index=False)
    return workbook


class Runner:
    """runner(rows, hook=None, pic_wait=0, webdriver=None, timeout=None, command=None) -> Run.

    Runs vantrel.main() of `module` in this process against `market` in `chromium`; rows are
    (name, amount) pairs and the workbooks go to `folder`. While the run goes on `clock` is
    its clock and `table` the run's own table. `webdriver` stands in for the module's.
    `command(workbook, port)` runs instead of main(), with standard input closed, as a
    scheduler starts a command.
    """

    def __init__(self, module, market, chromium, folder, monkeypatch, capsys, timeout):
        self.module = module
        self.market = market
        self.chromium = chromium
        self.folder = folder
        self.monkeypatch = monkeypatch
        self.capsys = capsys
        self.timeout = timeout
        self.clock = self.table = None

    def __call__(self, rows, hook=None, pic_wait=0, webdriver=None, timeout=None, command=None):
        timeout = self.timeout if timeout is None else timeout
        vantrel, monkeypatch = self.module, self.monkeypatch
        self.folder.mkdir(exist_ok=True)
        workbook = write_commodities(self.folder, rows)
        port = self.chromium.ensure()
        clock = self.clock = ScaledClock(hook, timeout)
        real_start = vantrel.start

        def start(*args, **kwargs):
            clock.table = self.table = args[3]  # the run's own table: the clock can empty its plan
            return real_start(*args, **kwargs)

        monkeypatch.chdir(self.folder)  # the driver comes off PATH, never the working folder
        monkeypatch.setattr(sys, "stdin", harness.answers(workbook, pic_wait, port) if command is None
                            else io.StringIO(""))
        monkeypatch.setenv("VANTREL_ORIGIN", self.market.origin)
        monkeypatch.setattr(vantrel, "time", clock)
        monkeypatch.setattr(vantrel, "start", start)
        if webdriver is not None:
            monkeypatch.setattr(vantrel, "webdriver", webdriver)
        # If a page action itself hangs, killing the browser makes the driver's calls fail
        # and gives the clock its turn.
        with Watchdog(timeout + GRACE, self.chromium.stop) as watchdog, Complaints() as complaints:
            try:
                value = vantrel.main() if command is None else command(workbook, port)
            finally:
                monkeypatch.undo()
        output = self.capsys.readouterr().out
        sys.stdout.write(output)  # shown by pytest when the test fails
        assert not watchdog.fired and not clock.timed_out, "the run overran its time"
        assert not clock.hook_errors, clock.hook_errors
        found = result_paths(self.folder)
        assert len(found) <= 1, found
        result = pd.read_excel(found[0]) if found else None
        return Run(result, output, clock, self.table, complaints.seen, value)
