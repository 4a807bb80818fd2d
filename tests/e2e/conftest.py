"""Real-browser fixtures: the marketplace of one test and a vantrel run.

The stand-in marketplace and headless Chromium are the session's own (tests/conftest.py);
every test starts from a fresh marketplace state. A run calls vantrel.main() with its three
answers on standard input and the module's `time` swapped for a clock that scales every sleep
down, so a run takes seconds (tests/realrun.py).
"""

import pytest

import realrun
from standin import harness

# A run that has not ended after this many seconds is stopped and fails.
RUN_TIMEOUT = 150


@pytest.fixture
def market(marketplace):
    """The marketplace, back to the sample catalogue."""
    market = realrun.Market(marketplace)
    market.reset(harness.parse_sample()["listings"])
    return market


@pytest.fixture
def run_vantrel(vantrel, market, chromium, tmp_path, monkeypatch, capsys):
    """run_vantrel(rows, hook=None, pic_wait=0, command=None) -> Run; rows are (name, amount)
    pairs.

    `hook(seconds, count)` is called before each sleep (count starts at 1). `command(workbook,
    port)` runs instead of vantrel.main(), with standard input closed.
    """
    runner = realrun.Runner(vantrel, market, chromium, tmp_path, monkeypatch, capsys,
                            RUN_TIMEOUT)

    def run(rows, hook=None, pic_wait=0, timeout=RUN_TIMEOUT, command=None):
        def counted(seconds):
            hook(seconds, runner.clock.count)

        return runner(rows, None if hook is None else counted, pic_wait, timeout=timeout, command=command)

    return run
