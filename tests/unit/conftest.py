"""Fakes for the unit tests, one fixture each, entered through the module's globals.

Every unit test has all of them in place, so none can sleep for real or reach a browser. The
workflow swallows whatever a row raises; a test that has seen enough of a run calls
`stop.arm()`, after which every print raises StopRun, and the plan line that ends the pass lets
it out of get_res.
"""

import datetime
import io
import json
import sys
import traceback
import types

import pandas as pd
import pytest

from fakemarket import FakeMarket, FakeOptions, FakeSelect, FakeWebdriver

ONSALE_URL = "http://127.0.0.1:8700/zh/listings/onsale"


def entries(caught):
    """The module's own traceback entries of a caught exception, as (name, line)."""
    return [(e.name, e.lineno) for e in traceback.extract_tb(caught.tb) if e.filename == "vantrel"]


def typed(values):
    """Values with their types: a sleep of 1 is not a sleep of 1.0."""
    return [(type(v), v) for v in values]


class StopRun(BaseException):
    """Ends a run once a test has seen enough of it."""


class Stop:
    def __init__(self, monkeypatch):
        self.monkeypatch = monkeypatch

    def arm(self, error=StopRun):
        # Armed during the test itself: capsys sets its own sys.stdout when the test starts.
        def write(text):
            raise error()
        self.monkeypatch.setattr(sys, "stdout", types.SimpleNamespace(write=write, flush=lambda: None))


class FakeClock:
    """Stands in for the time module: sleep returns at once, noting its argument, and calls the
    hooks. A run that sleeps far more often than any test needs is stopped."""

    def __init__(self, stop, limit=50000):
        self.sleeps, self.hooks, self.stop, self.limit = [], [], stop, limit

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        if len(self.sleeps) > self.limit:
            self.stop.arm(RuntimeError)
            raise RuntimeError("the run does not end")
        for hook in self.hooks:
            hook(seconds)


class FrozenDatetime:
    """Stands in for the datetime module: datetime.now() returns `at`, a real datetime."""

    def __init__(self, at):
        self.at, self.datetime = at, self

    def now(self):
        return self.at

    def advance(self, **delta):
        self.at += datetime.timedelta(**delta)


class Workflow:
    """Runs get_res over a table against the fake market, with the result workbook in a folder
    of its own. At every sleep it notes each new state of the workbook in `saves` (a DataFrame,
    or the error that reading it gave), the entries of the trace of copies in flight whenever
    there is one in `in_flight` (with the sleep it was seen at), and any other file in the folder
    in `strays`."""

    def __init__(self, vantrel, driver, folder, clock):
        folder.mkdir()
        self.vantrel, self.driver, self.res = vantrel, driver, folder / "res.xlsx"
        self.record = folder / ".res.xlsx.in-flight.json"
        self.saves, self.strays, self.in_flight, self._last = [], set(), [], None
        clock.hooks.append(self.look)

    @staticmethod
    def table(*rows, frame=pd.DataFrame):
        return frame({"name": [r[0] for r in rows], "amount": [r[1] for r in rows], "added": 0, "sign": 0})

    def run(self, df, pic_wait=2, driver=None, res_path=str):
        try:
            assert self.vantrel.get_res(pic_wait, ONSALE_URL, "20190101", "20210909", df, df["name"].values,
                                        res_path(self.res), 0, ONSALE_URL, driver or self.driver, ["w"]) is None
        finally:
            self.look()
        return df

    def look(self, seconds=None):
        self.strays.update(p.name for p in self.res.parent.iterdir() if p not in (self.res, self.record))
        if self.record.exists():
            text = self.record.read_text(encoding="utf-8")
            self.in_flight.append((seconds, [json.loads(line) for line in text.splitlines()]))
        data = self.res.read_bytes() if self.res.exists() else None
        if data != self._last:
            self._last = data
            try:
                self.saves.append(pd.read_excel(io.BytesIO(data)))
            except Exception as exc:  # inside a row the module would swallow it
                self.saves.append(exc)

    def saved(self, *columns):
        """Each save as its rows of the given columns."""
        return [f if isinstance(f, Exception) else f[list(columns)].values.tolist() for f in self.saves]


@pytest.fixture
def stop(capsys, monkeypatch):
    return Stop(monkeypatch)


@pytest.fixture
def clock(vantrel, monkeypatch, stop):
    clock = FakeClock(stop)
    monkeypatch.setattr(vantrel, "time", clock)
    return clock


@pytest.fixture
def now(vantrel, monkeypatch):
    frozen = FrozenDatetime(datetime.datetime(2026, 1, 8, 9, 5, 3))
    monkeypatch.setattr(vantrel, "datetime", frozen)
    return frozen


@pytest.fixture
def market(monkeypatch):
    monkeypatch.delenv("VANTREL_ORIGIN", raising=False)
    market = FakeMarket()
    yield market
    assert not market.unknown, "the module asked the pages for what they do not have"


@pytest.fixture
def driver(market):
    return market.driver()


@pytest.fixture
def webdriver(vantrel, monkeypatch, driver):
    fake = FakeWebdriver(driver)
    monkeypatch.setattr(vantrel, "webdriver", fake)
    return fake


@pytest.fixture
def options(vantrel, monkeypatch):
    monkeypatch.setattr(vantrel, "Options", FakeOptions)


@pytest.fixture
def select(vantrel, monkeypatch):
    monkeypatch.setattr(vantrel, "Select", FakeSelect)


@pytest.fixture(autouse=True)
def _fakes(clock, now, webdriver, options, select):
    pass


@pytest.fixture
def workflow(vantrel, driver, tmp_path, clock):
    return Workflow(vantrel, driver, tmp_path / "out", clock)


@pytest.fixture
def answer(monkeypatch):
    """answer(text): what the operator types, then the end of input."""
    return lambda text: monkeypatch.setattr(sys, "stdin", io.StringIO(text))


@pytest.fixture
def swap(vantrel, monkeypatch):
    """swap(name, effect=None): the module global `name` becomes a recorder of its calls."""
    def swap(name, effect=lambda *args, **kwargs: None):
        def recorder(*args, **kwargs):
            recorder.calls.append((args, kwargs))
            effect(*args, **kwargs)
        recorder.calls = []
        monkeypatch.setattr(vantrel, name, recorder)
        return recorder
    return swap
