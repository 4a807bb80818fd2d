"""Stops against the fake market: Ctrl+C held through a publish, a stop asked for with a second
Ctrl+C, the workbook made whole on every way out of the passes, a browser that is gone, and the
resume that settles a copy a stop left in flight."""

import json
import os
import signal
import types

import pandas as pd
import pytest
from selenium.common.exceptions import InvalidSessionIdException
from urllib3.exceptions import MaxRetryError, NewConnectionError

from .conftest import StopRun, entries
from .test_replication import FailingSaves

HELD = "Ctrl+C during the publish, held until the copy's outcome was saved"


@pytest.fixture(autouse=True)
def console_ctrl_c():
    """SIGINT as a console's Python has it: a job started in the background by a shell without
    job control (as a test leg may be) inherits it ignored."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


def ctrl_c():
    """What the console does on Ctrl+C; Python runs the handler before the next line."""
    os.kill(os.getpid(), signal.SIGINT)


def publishing(driver):
    return bool(driver.events) and driver.events[-1] == "publish"


def log(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "vantrel"]


def test_ctrl_c_in_the_publish_is_held_until_the_copy_is_saved(market, workflow, driver, clock, caplog):
    caplog.set_level("INFO", logger="vantrel")
    market.add("Lamp"), market.add("Desk")
    pressed = []

    def hook(seconds):
        if seconds == 4 and publishing(driver) and not pressed:
            pressed.append(len(clock.sleeps))
            ctrl_c()
    clock.hooks.append(hook)
    df = workflow.run(workflow.table(("Lamp", 2), ("Desk", 1)))
    # The sleeps after the click were waited out and the copy counted: no third copy of Lamp.
    assert df["added"].tolist() == [2, 1] and len(market.published) == 3
    assert workflow.saved("added")[-1] == [[2], [1]] and not workflow.record.exists()
    assert sum(HELD in m for m in log(caplog)) == 1 and market.drafts == []


def test_ctrl_c_outside_the_publish_ends_only_its_row(market, workflow, driver, clock):
    market.add("Lamp")
    clock.hooks.append(lambda s: s == 1.5 and len(clock.sleeps) < 3 and ctrl_c())  # the first search
    df = workflow.run(workflow.table(("Lamp", 1)))
    assert df["added"].tolist() == [1] and len(market.published) == 1
    assert driver.events.count("search Lamp") == 2 and market.drafts == []


@pytest.mark.parametrize("second_press", ["in the publish", "in the search", "between passes"])
def test_a_second_ctrl_c_stops_the_run_with_its_record_saved(market, workflow, driver, clock, caplog, monkeypatch,
                                                             second_press):
    caplog.set_level("INFO", logger="vantrel")
    market.add("Lamp"), market.add("Desk")
    market.add_draft("kept draft")
    presses = []

    def hook(seconds):
        if not presses and seconds == 1.5:  # Lamp's search: ends that row
            presses.append(seconds)
            ctrl_c()
        elif len(presses) == 1 and (publishing(driver) if second_press == "in the publish" else
                                    second_press == "in the search" and seconds == 1.5):
            presses.append(seconds)
            ctrl_c()
    clock.hooks.append(hook)

    def write(text):  # the plan line after the first pass: outside every row
        if second_press == "between passes" and "max_times" in text and len(presses) == 1:
            presses.append(text)
            ctrl_c()
    monkeypatch.setattr("sys.stdout", types.SimpleNamespace(write=write, flush=lambda: None))
    with pytest.raises(KeyboardInterrupt) as caught:
        workflow.run(workflow.table(("Lamp", 3), ("Desk", 3)))
    published = 0 if second_press == "in the search" else 1  # Desk's copy, saved before the stop
    assert len(presses) == 2 and len(market.published) == published
    assert workflow.saved("added")[-1] == [[0], [published]] and not workflow.record.exists()
    assert entries(caught)[-1] == ("vantrel.get_res", 141 if second_press == "between passes" else 46)
    assert "stop: a second Ctrl+C within 5 s asked the run to stop; no row is in flight" in log(caplog)
    assert "open /zh/listings/draft" not in driver.events  # no draft cleanup
    assert market.drafts[0]["title"] == "kept draft"


class InterruptedCode(pd.DataFrame):
    """A table whose write of code 2 is followed at once by a Ctrl+C: the code is in the table,
    and its save never starts."""

    @property
    def _constructor(self):
        return InterruptedCode

    @property
    def loc(self):
        cells = super().loc

        class Cells:
            def __getitem__(self, key):
                return cells[key]

            def __setitem__(self, key, value):
                cells[key] = value
                if key[1] == "sign" and value == 2:
                    raise KeyboardInterrupt
        return Cells()


def test_an_interrupted_write_is_caught_up_at_the_end(market, workflow):
    market.add("Lamp")
    df = workflow.run(workflow.table(("Lamp", 1), ("Ghost", 1), frame=InterruptedCode))
    assert df[["added", "sign"]].values.tolist() == [[1, 0], [0, 2]]
    # The code was the run's last write: only the catch-up after the passes can bring it out.
    assert workflow.saved("added", "sign") == [[[0, 0], [0, 0]], [[1, 0], [0, 0]], [[1, 0], [0, 2]]]


def test_the_passes_ended_by_an_exception_leave_the_workbook_whole(market, workflow, driver, clock, stop):
    market.add("Lamp"), market.add("Desk")
    df = workflow.table(("Lamp", 2), ("Desk", 1), frame=FailingSaves)
    df.failing = lambda n: n == 3  # Desk's copy: the last save of the first pass
    clock.hooks.append(lambda s: len(market.published) == 2 and stop.arm())  # the plan line raises
    with pytest.raises(StopRun):
        workflow.run(df)
    assert workflow.saved("added")[-1] == [[1], [1]] == df[["added"]].values.tolist()
    assert "open /zh/listings/draft" not in driver.events


@pytest.mark.parametrize("gone, what", [
    (InvalidSessionIdException("invalid session id"), "Chrome"),
    (MaxRetryError(None, "/session", NewConnectionError(None, "Connection refused")), "ChromeDriver"),
])
def test_a_browser_that_is_gone_ends_the_run_within_the_pass(market, workflow, driver, clock, caplog, gone,
                                                             what):
    caplog.set_level("DEBUG", logger="vantrel")  # the dropped attempt is logged with its traceback
    market.add("Lamp"), market.add("Desk")
    clock.hooks.append(lambda s: s == 1.5 and len(market.published) == 1 and setattr(market, "gone", gone))
    with pytest.raises(RuntimeError, match=f"^{what} is gone .*vantrel-resume") as caught:
        workflow.run(workflow.table(("Lamp", 2), ("Desk", 2)))
    assert caught.value.__cause__ is gone
    assert workflow.saved("added")[-1] == [[1], [0]] and len(clock.sleeps) < 40
    assert f"{what} is gone: the run ends; vantrel-resume goes on with it" in log(caplog)


def test_a_passing_connection_fault_is_retried(market, workflow, driver, monkeypatch):
    market.add("Lamp")
    real_get, opened = driver.get, []

    def get(url):  # the first step fails once; the driver answers again at once
        opened.append(url)
        if len(opened) == 1:
            raise InvalidSessionIdException("invalid session id")
        return real_get(url)

    monkeypatch.setattr(driver, "get", get)
    df = workflow.run(workflow.table(("Lamp", 1)))
    assert df["added"].tolist() == [1] and len(opened) == 3  # two searches and the draft page


# --- resume ---------------------------------------------------------------------------------------

@pytest.fixture
def stopped_run(tmp_path, market, driver, answer):
    """stopped_run(added, tab, record=True, typed=""): a result workbook of a stopped run of Lamp
    (amount 2) beside its record of a copy in flight, and the operator's tab left on `tab`:
    "editor", "onsale" or None (closed). Returns the workbook's path."""
    def make(added, tab, record=True, typed=""):
        market.add("Lamp")
        res = tmp_path / "commodity20260108 09-05-03res.xlsx"
        pd.DataFrame({"name": ["Lamp"], "amount": [2], "added": [added], "sign": [0]}).to_excel(res, index=False)
        if record:
            (tmp_path / f".{res.name}.in-flight.json").write_text(json.dumps(
                {"row": 0, "name": "Lamp", "added": 0, "url": market.origin + "/zh/sell_item?copy=7",
                 "window": "CDwindow-1"}), encoding="utf-8")
        if tab == "editor":
            driver._go("editor", "/zh/sell_item?copy=7")
        elif tab == "onsale":
            driver._go("onsale", "/zh/listings/onsale?published=8")
        else:
            driver.window_handles = ["CDwindow-2"]
        answer(f"{res}\n0\n9222\n{typed}")
        return res
    return make


@pytest.mark.parametrize("added, tab, typed, counted", [
    (0, "editor", "", False),    # the publish never left the editor
    (0, "onsale", "", True),     # it led to the on-sale page: the copy went out
    (1, "editor", "", True),     # the workbook counts it already
    (0, None, "maybe\ny\n", True),   # the tab is gone: the operator is asked, again until yes or no
    (0, None, "n\n", False),
])
def test_resume_settles_the_copy_in_flight_then_finishes(vantrel, market, driver, clock, stopped_run, capsys,
                                                         added, tab, typed, counted):
    res = stopped_run(added, tab, typed=typed)
    assert vantrel.resume() is None
    after = pd.read_excel(res)
    # Exactly the amount: the settled copy, if it went out, plus what the passes published.
    assert after["added"].tolist() == [2] and len(market.published) == 2 - counted
    assert not os.path.exists(res.parent / f".{res.name}.in-flight.json") and market.drafts == []
    out = capsys.readouterr().out
    assert ("('发布未确认:', 'Lamp')" in out) == (tab is None)
    assert out.count("该副本已发布？(y/n)：") == typed.count("\n")
    assert clock.sleeps[-1] == 120


def test_resume_refuses_a_workbook_without_progress(vantrel, tmp_path, answer):
    books = tmp_path / "commodity.xlsx"
    pd.DataFrame({"name": ["Lamp"], "amount": [2]}).to_excel(books, index=False)
    answer(f"{books}\n2\n9222\n")
    with pytest.raises(ValueError, match="not the result workbook of a run: it has no column 'added'") as caught:
        vantrel.resume()
    assert entries(caught) == [("vantrel.resume", 406)]
