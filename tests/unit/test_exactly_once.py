"""Every copy published once and counted once, on every path: a workbook that falls behind, a
click that fails, an address read that fails, a trace that cannot be written, rows moved before a
resume, and a browser lost at the click. A kill leaves the result folder as it stood at that
moment and Chrome where the run left it; the resume then goes on from there."""

import collections
import json
import os

import pandas as pd
import pytest
from selenium.common.exceptions import InvalidSessionIdException, TimeoutException, WebDriverException

from fakemarket import CLICK

from .test_replication import FailingSaves

ALPHA_FIRST_SAVE_FAILS = 2  # the save before the first row is the first


class Kill:
    """Kills the run at the first sleep for which `when(seconds)` holds: the folder as it was
    then is kept, and the browser stops answering, so that nothing the run does afterwards
    reaches the marketplace. `restore` puts the folder back and lets Chrome answer again."""

    def __init__(self, market, folder, clock):
        self.market, self.folder, self.when, self.kept = market, folder, lambda seconds: False, None
        clock.hooks.insert(0, self.hook)

    def hook(self, seconds):
        if self.kept is None and self.when(seconds):
            self.kept = {p.name: p.read_bytes() for p in self.folder.iterdir()}
            self.market.gone = InvalidSessionIdException("the module was killed")

    def restore(self):
        assert self.kept is not None, "the kill never came"
        for path in self.folder.iterdir():
            path.unlink()
        for name, data in self.kept.items():
            (self.folder / name).write_bytes(data)
        self.market.gone = None


@pytest.fixture
def kill(market, workflow, clock):
    return Kill(market, workflow.res.parent, clock)


@pytest.fixture
def resume(vantrel, workflow, answer, market):
    """Resumes from the run's result workbook, as the operator would, and returns the table."""
    def resume(edit=None):
        if edit:
            edit(workflow.res)
        answer(f"{workflow.res}\n0\n9222\n")
        assert vantrel.resume() is None
        assert not workflow.record.exists()
        return pd.read_excel(workflow.res)
    return resume


def on_the_marketplace(market):
    return dict(collections.Counter(p["title"] for p in market.published))


def agree(table, market):
    """Each row's copies on the marketplace, its `added` and its `amount`, which must all agree."""
    copies = on_the_marketplace(market)
    return {name: (copies.get(name, 0), added, amount)
            for name, added, amount in zip(table["name"], table["added"], table["amount"])}


def exact(*rows):
    return {name: (amount, amount, amount) for name, amount in rows}


def after_publish(driver):
    return bool(driver.events) and driver.events[-1] == "publish"


def trace(workflow):
    return [json.loads(line) for line in workflow.record.read_text(encoding="utf-8").splitlines()]


def clicks_fail(monkeypatch, driver, fault, land):
    """The publish button's script click raises `fault` once, after the publish landed or before
    it went out."""
    real, failed = driver.execute_script, []

    def execute_script(script, *args):
        if script == CLICK and args and args[0].kind == "publish" and not failed:
            failed.append(script)
            if land:
                real(script, *args)
            raise fault
        return real(script, *args)
    monkeypatch.setattr(driver, "execute_script", execute_script)


# --- 1. a count that only the memory holds -------------------------------------------------------

@pytest.mark.parametrize("rows", [[("Alpha", 1), ("Beta", 1)],   # the next copy is Beta's
                                  [("Alpha", 2)]])                # the next copy is Alpha's own
def test_a_count_the_workbook_could_not_take_survives_a_kill_in_the_next_editor(
        market, workflow, driver, kill, resume, rows):
    for name, _ in rows:
        market.add(name)
    df = workflow.table(*rows, frame=FailingSaves)
    df.failing = lambda n: n == ALPHA_FIRST_SAVE_FAILS  # Excel holds the workbook
    kill.when = lambda s: s == 5 and driver.page == "editor" and len(market.published) == 1
    with pytest.raises(RuntimeError, match="Chrome is gone"):
        workflow.run(df)
    kill.restore()
    assert [e["event"] for e in trace(workflow)] == ["click", "published"]
    assert agree(resume(), market) == exact(*rows)


def test_a_count_the_workbook_could_not_take_survives_the_next_rows_click(market, workflow, driver, kill, resume):
    market.add("Alpha"), market.add("Beta")
    df = workflow.table(("Alpha", 1), ("Beta", 1), frame=FailingSaves)
    df.failing = lambda n: n == ALPHA_FIRST_SAVE_FAILS
    kill.when = lambda s: s == 4 and after_publish(driver) and len(market.published) == 2
    with pytest.raises(RuntimeError):
        workflow.run(df)
    kill.restore()
    assert [(e["name"], e["event"]) for e in trace(workflow)] == [
        ("Alpha", "click"), ("Alpha", "published"), ("Beta", "click")]
    assert agree(resume(), market) == exact(("Alpha", 1), ("Beta", 1))


# --- 2. no record left open while the run goes on, and 3. no outcome lost in the window ---------

@pytest.mark.parametrize("fault, land", [
    (WebDriverException("disconnected: not connected to DevTools"), False),  # 2: it never went out
    (WebDriverException("disconnected: not connected to DevTools"), True),   # it went out all the same
    (TimeoutException("timeout: Timed out receiving message from renderer: 10.000"), True),
])
def test_a_failed_publish_click_is_settled_before_the_run_goes_on(market, workflow, driver, monkeypatch, kill,
                                                                 resume, fault, land):
    market.add("Alpha"), market.add("Beta")
    clicks_fail(monkeypatch, driver, fault, land)
    kill.when = lambda s: s == 1.5 and "search Beta" in driver.events  # in Beta's search
    with pytest.raises(RuntimeError):
        workflow.run(workflow.table(("Alpha", 1), ("Beta", 1)))
    kill.restore()
    # Settled before Beta's search: counted and saved, or traced as not published.
    assert pd.read_excel(workflow.res)["added"].tolist() == [int(land), 0]
    assert (not workflow.record.exists()) if land else [e["event"] for e in trace(workflow)] == ["click", "not published"]
    assert agree(resume(), market) == exact(("Alpha", 1), ("Beta", 1))


def test_a_refused_publish_is_traced_as_not_published(market, workflow, driver, monkeypatch, kill, resume):
    market.add("Alpha", faults=["stuck"]), market.add("Beta")
    kill.when = lambda s: s == 1.5 and "search Beta" in driver.events
    real = os.remove

    def remove(path):  # the trace cannot be removed
        if str(path).endswith(".in-flight.json"):
            raise PermissionError(13, "held by another process", path)
        real(path)
    with monkeypatch.context() as patch, pytest.raises(RuntimeError):
        patch.setattr(os, "remove", remove)
        workflow.run(workflow.table(("Alpha", 1), ("Beta", 1)))
    kill.restore()
    assert [e["event"] for e in trace(workflow)] == ["click", "not published"]
    assert agree(resume(), market) == exact(("Alpha", 1), ("Beta", 1))


@pytest.mark.parametrize("fault", [
    TimeoutException("timeout: Timed out receiving message from renderer: 10.000"),
    WebDriverException("disconnected: not connected to DevTools"),
])
def test_an_address_read_that_fails_once_after_the_publish_counts_the_copy(market, workflow, driver, monkeypatch,
                                                                        caplog, fault):
    caplog.set_level("INFO", logger="vantrel")
    market.add("Alpha")
    real, reads = type(driver).current_url, []

    def current_url(self):
        if self.events[-1:] == ["publish"] and not reads:
            reads.append(fault)
            raise fault
        return real.fget(self)
    monkeypatch.setattr(type(driver), "current_url", property(current_url))
    df = workflow.run(workflow.table(("Alpha", 1)))
    assert agree(df, market) == exact(("Alpha", 1)) and reads
    assert any("settled by the waits and address tests of a publish" in r.getMessage() for r in caplog.records)


def test_a_browser_that_cannot_settle_the_publish_ends_the_run_with_the_click_open(
        market, workflow, driver, monkeypatch, resume):
    market.add("Alpha"), market.add("Beta")
    real = type(driver).current_url
    with monkeypatch.context() as patch, pytest.raises(RuntimeError, match="^the publish of 'Alpha' cannot be settled") as caught:
        clicks_fail(patch, driver, TimeoutException("timeout"), land=True)
        patch.setattr(type(driver), "current_url", property(
            lambda self: (_ for _ in ()).throw(TimeoutException("timeout")) if self.page == "item" else real.fget(self)))
        workflow.run(workflow.table(("Alpha", 1), ("Beta", 1)))
    assert isinstance(caught.value.__cause__, TimeoutException)
    assert [e["event"] for e in trace(workflow)] == ["click"]
    assert "search Beta" not in driver.events  # the tab stays where the publish led
    assert agree(resume(), market) == exact(("Alpha", 1), ("Beta", 1))


# --- 4. no click without a durable trace ---------------------------------------------------------

def test_no_click_without_a_trace_on_the_disk(market, workflow, driver, monkeypatch, kill, resume, caplog):
    caplog.set_level("INFO", logger="vantrel")
    market.add("Alpha")
    real, refused = os.fsync, []

    def fsync(fd):
        if not refused:
            refused.append(fd)
            raise OSError(28, "No space left on device")
        return real(fd)
    kill.when = lambda s: s == 4 and after_publish(driver)
    with monkeypatch.context() as patch, pytest.raises(RuntimeError):
        patch.setattr(os, "fsync", fsync)
        workflow.run(workflow.table(("Alpha", 1)))
    kill.restore()
    assert driver.events.count("publish") == 1 and driver.events.count("copy Alpha") == 2
    assert any("could not be traced" in r.getMessage() and "nothing clicked" in r.getMessage()
               for r in caplog.records)
    assert agree(resume(), market) == exact(("Alpha", 1))


def test_an_outcome_the_trace_cannot_hold_ends_the_run_where_the_tab_still_tells(
        market, workflow, driver, monkeypatch, resume):
    market.add("Alpha", faults=["stuck"]), market.add("Beta")
    real, calls = os.fsync, []

    def fsync(fd):
        calls.append(fd)
        if len(calls) == 2:  # the outcome's entry, after the click's
            raise OSError(28, "No space left on device")
        return real(fd)
    with monkeypatch.context() as patch, pytest.raises(RuntimeError, match="could not be written into its trace"):
        patch.setattr(os, "fsync", fsync)
        workflow.run(workflow.table(("Alpha", 1), ("Beta", 1)))
    assert driver.page == "editor" and "search Beta" not in driver.events
    assert agree(resume(), market) == exact(("Alpha", 1), ("Beta", 1))


# --- 5. the resume finds the row by its title ----------------------------------------------------

def drop_first_row(res):
    pd.read_excel(res).iloc[1:].to_excel(res, index=False)


@pytest.mark.parametrize("rows", [[("Done", 1), ("Alpha", 1)],                # Alpha's label is gone
                                  [("Done", 1), ("Alpha", 1), ("Beta", 1)]])  # it is Beta's now
def test_the_resume_finds_the_traced_row_by_its_title_when_rows_moved(market, workflow, driver, kill, resume, rows):
    for name, _ in rows:
        market.add(name)
    kill.when = lambda s: s == 4 and after_publish(driver) and market.published[-1]["title"] == "Alpha"
    with pytest.raises(RuntimeError):
        workflow.run(workflow.table(*rows))
    kill.restore()
    table = resume(edit=drop_first_row)  # the operator removes the finished row above
    assert agree(table, market) == exact(*rows[1:])
    assert on_the_marketplace(market)["Done"] == 1


def only_beta(res):
    pd.DataFrame({"name": ["Beta"], "amount": [1], "added": [0], "sign": [0]}).to_excel(res, index=False)


def two_alphas_elsewhere(res):
    """Two rows of Alpha, neither at the label the trace names."""
    pd.DataFrame({"name": ["Alpha", "Beta", "Alpha"], "amount": [1, 1, 1], "added": [0, 0, 0],
                  "sign": [0, 0, 0]}).to_excel(res, index=False)


@pytest.mark.parametrize("edit, why", [
    (only_beta, "the result workbook has no row of that title"),
    (two_alphas_elsewhere, "the result workbook has 2 rows of that title"),
    (None, "standard input is closed"),
])
def test_a_trace_the_resume_cannot_settle_changes_nothing(vantrel, market, workflow, driver, kill, answer, edit,
                                                        why):
    market.add("Done"), market.add("Alpha")
    kill.when = lambda s: s == 4 and after_publish(driver) and market.published[-1]["title"] == "Alpha"
    with pytest.raises(RuntimeError):
        workflow.run(workflow.table(("Done", 1), ("Alpha", 1)))
    kill.restore()
    if edit:
        edit(workflow.res)
    else:
        driver.window_handles = ["CDwindow-2"]  # the run's tab was closed: only the operator can tell
    before = (workflow.res.read_bytes(), workflow.record.read_bytes())
    answer(f"{workflow.res}\n0\n9222\n")  # then the end of input
    with pytest.raises(RuntimeError, match=f"^the copy of 'Alpha' traced .*{why}.*remove the trace"):
        vantrel.resume()
    assert (workflow.res.read_bytes(), workflow.record.read_bytes()) == before
    assert on_the_marketplace(market) == {"Done": 1, "Alpha": 1}


# --- 6. a browser lost at the click while the workbook is behind --------------------------------

def test_the_catch_up_on_the_way_out_keeps_an_open_click(market, workflow, driver, monkeypatch, resume):
    market.add("Alpha"), market.add("Beta")
    df = workflow.table(("Alpha", 1), ("Beta", 1), frame=FailingSaves)
    df.failing = lambda n: n == ALPHA_FIRST_SAVE_FAILS
    real = driver.execute_script

    def execute_script(script, *args):  # Beta's publish goes out, and Chrome with it
        result = real(script, *args)
        if script == CLICK and args and args[0].kind == "publish" and len(market.published) == 2:
            market.gone = InvalidSessionIdException("invalid session id")
        return result
    monkeypatch.setattr(driver, "execute_script", execute_script)
    with pytest.raises(RuntimeError, match="cannot be settled"):
        workflow.run(df)
    # The catch-up saved Alpha's count; Beta's click is still open beside it.
    assert pd.read_excel(workflow.res)["added"].tolist() == [1, 0]
    assert [(e["name"], e["event"]) for e in trace(workflow)][-1] == ("Beta", "click")
    market.gone = None
    assert agree(resume(), market) == exact(("Alpha", 1), ("Beta", 1))


def test_a_trace_left_by_the_release_before_is_settled(vantrel, market, workflow, driver, kill, resume):
    market.add("Alpha")
    kill.when = lambda s: s == 4 and after_publish(driver)
    with pytest.raises(RuntimeError):
        workflow.run(workflow.table(("Alpha", 2)))
    kill.restore()
    [click] = trace(workflow)
    workflow.record.write_text(json.dumps({k: click[k] for k in ("row", "name", "added", "url", "window")}),
                               encoding="utf-8")
    assert agree(resume(), market) == exact(("Alpha", 2))
