"""Real-browser fixtures: the stand-in marketplace, headless Chromium and a vantrel run.

The marketplace and Chromium are started once per session on free ports and stopped by
process id afterwards; every test starts from a fresh marketplace state. A run calls
vantrel.main() with its three answers on standard input and the module's `time` swapped
for a clock that scales every sleep down, so a run takes seconds.
"""

import glob
import io
import os
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

# Every sleep of the module lasts SCALE times as long. The marketplace's delays are set
# below the shortest scaled pause that has to cover them: a page turn (2 s -> 40 ms).
SCALE = 0.02
KNOBS = {"results_delay": 0.01, "image_delay": 0.03, "page_size": 10}
# A run that has not ended after this many seconds is stopped and fails.
RUN_TIMEOUT = 150


class RunTimeout(Exception):
    """A vantrel run overran its time."""


class ScaledClock:
    """Stands in for the module's `time`: sleeps SCALE times as long.

    `hook(seconds, count)` is called before each sleep (count starts at 1); tests use it
    to switch fault knobs while the run goes on. Past the deadline the clock ends the run:
    the module swallows every exception inside a row, so the clock first takes every row
    out of the plan (sign 9 in the run's table) and then raises at each sleep until one
    outside the rows (the draft cleanup's or the closing pause) lets it through.
    """

    def __init__(self, hook=None, timeout=RUN_TIMEOUT):
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
                self.hook(seconds, self.count)
            except Exception as exc:  # the module would swallow it inside a row
                self.hook_errors.append(exc)
        time.sleep(seconds * SCALE)

    def __getattr__(self, name):
        return getattr(time, name)


class Browser:
    """The session's headless Chromium; started again if a stuck run had it killed."""

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


@pytest.fixture(scope="session")
def marketplace(tmp_path_factory):
    """Origin of the stand-in marketplace, started once for the session."""
    port = harness.free_port()
    proc = harness.start_marketplace(port, harness.SAMPLE_CATALOGUE)
    yield f"http://127.0.0.1:{port}"
    harness.stop(proc)


@pytest.fixture(scope="session")
def browser(tmp_path_factory):
    chromium = Browser(str(tmp_path_factory.mktemp("chromium")))
    chromium.ensure()
    yield chromium
    chromium.stop()


class Market:
    """The marketplace of one test."""

    def __init__(self, origin):
        self.origin = origin

    def reset(self, listings, **knobs):
        return harness.reset(self.origin, {"listings": listings, "knobs": dict(KNOBS, **knobs)})

    def state(self):
        return harness.get_state(self.origin)

    def set_knobs(self, **knobs):
        return harness.set_knobs(self.origin, **knobs)

    def copies(self):
        return harness.copies_by_title(self.state())

    def copy_listing(self, listing_id):
        """Press a listing's copy button, as a seller would: leaves a draft."""
        return harness.copy_listing(self.origin, listing_id)


@pytest.fixture
def market(marketplace):
    market = Market(marketplace)
    market.reset(harness.parse_sample()["listings"])
    return market


class Run:
    """What a finished run left: the result table, the console and the clock."""

    def __init__(self, result, output, clock):
        self.result = result
        self.output = output
        self.clock = clock

    def column(self, name):
        return dict(zip(self.result["name"], self.result[name]))


@pytest.fixture
def run_vantrel(market, browser, tmp_path, monkeypatch, capsys):
    """run_vantrel(rows, hook=None, pic_wait=0) -> Run; rows are (name, amount) pairs."""

    def run(rows, hook=None, pic_wait=0, timeout=RUN_TIMEOUT):
        workbook = tmp_path / "commodity.xlsx"
        pd.DataFrame(rows, columns=["name", "amount"]).to_excel(workbook, index=False)
        port = browser.ensure()
        clock = ScaledClock(hook, timeout)
        real_start = vantrel.start

        def start(*args, **kwargs):
            clock.table = args[3]  # the run's own table: the clock can empty its plan
            return real_start(*args, **kwargs)

        monkeypatch.setattr(sys, "stdin", io.StringIO(f"{workbook}\n{pic_wait}\n{port}\n"))
        monkeypatch.setenv("VANTREL_ORIGIN", market.origin)
        monkeypatch.setattr(vantrel, "time", clock)
        monkeypatch.setattr(vantrel, "start", start)
        # Last resort if a page action itself hangs: kill the browser after the deadline,
        # so the driver's calls fail and the clock gets its turn.
        watchdog = threading.Timer(timeout + 30, browser.stop)
        watchdog.daemon = True
        watchdog.start()
        try:
            vantrel.main()
        finally:
            watchdog.cancel()
            monkeypatch.undo()
        output = capsys.readouterr().out
        sys.stdout.write(output)  # shown by pytest when the test fails
        assert not clock.timed_out
        assert not clock.hook_errors, clock.hook_errors
        found = glob.glob(str(tmp_path / "commodity*res.xlsx"))
        assert len(found) <= 1, found
        result = pd.read_excel(found[0]) if found else None
        return Run(result, output, clock)

    return run
