"""The workflow get_res against the fake market: passes, search, editor, saves, drafts."""

import contextlib
import os
import pathlib
from decimal import Decimal

import numpy as np
import pandas as pd
import pytest
from selenium.common.exceptions import NoSuchElementException

from fakemarket import CONFIRM

from .conftest import StopRun, entries, typed

EDITOR_TAIL = [0.3, 0.3, 0.5, 1, 0.5, 4]


def lines(capsys, start="('max_times:'"):
    return [line for line in capsys.readouterr().out.splitlines() if line.startswith(start)]


@pytest.mark.parametrize("api, ticked", [("old", False), ("new", True)])
def test_one_copy(vantrel, market, workflow, clock, monkeypatch, api, ticked):
    market.add("Lamp")
    market.checkbox_checked = ticked
    driver = market.driver(api)
    printed = []
    # A `print` bound on the module is what a line goes through, as in Python code.
    monkeypatch.setattr(vantrel, "print", lambda *args, **kwargs: printed.append((args, kwargs)), raising=False)
    workflow.run(workflow.table(("Lamp", 1)), driver=driver)
    assert typed(clock.sleeps) == typed([4, 1.5, 1, 5, 0.5, 2] + EDITOR_TAIL + [5])
    assert printed == [((("max_times:", 1),), {}), (("Lamp",), {}), ((1,), {}), ((("max_times:", 0),), {})]
    assert driver.events == ["open /zh/listings/onsale", "clear", "search Lamp", "copy Lamp", "select 上市",
                             "scroll 10000", "scroll 0"] + ["tick"] * (not ticked) + [
                             "select 不公开", "select 上市", "prepare", "publish", "open /zh/listings/draft"]
    assert driver.select_wrappers == 3
    assert market.published == [{"title": "Lamp", "visibility": "上市", "checked": True, "prepared": True}]
    # The record exists before the first row; the copy is in flight from its publish click on.
    assert workflow.saved("name", "amount", "added", "sign") == [[["Lamp", 1, 0, 0]], [["Lamp", 1, 1, 0]]]
    assert workflow.in_flight == [(4, [{"event": "click", "copy": 1, "row": 0, "name": "Lamp", "added": 0,
                                        "url": market.origin + "/zh/sell_item?copy=1", "window": "CDwindow-1"}])]
    assert not workflow.strays and not workflow.record.exists()


def test_passes_and_the_workbook_after_each_event(market, workflow, driver, capsys):
    for title in ("Lamp", "Desk", "Shadow Blade", "Spare"):
        market.add(title)
    df = workflow.run(workflow.table(("Lamp", 3), ("Desk", 1), ("Ghost", 1), ("Shadow", 1), ("Spare", 0)))
    # added and sign of each row, after each save
    assert [" ".join(f"{a}{s}" for a, s in rows) for rows in workflow.saved("added", "sign")] == [
        "00 00 00 00 00",   # before the first row
        "10 00 00 00 00", "10 10 00 00 00",
        "10 10 02 00 00",   # Ghost: no search results
        "10 10 02 01 00",   # Shadow: results, none titled Shadow
        "20 10 02 01 00", "30 10 02 01 00"]
    assert list(workflow.saves[-1].columns) == ["name", "amount", "added", "sign"]
    assert [p["title"] for p in market.published] == ["Lamp", "Desk", "Lamp", "Lamp"]
    out = capsys.readouterr().out.splitlines()
    assert [line for line in out if "max_times" in line] == ["('max_times:', %d)" % n for n in (3, 2, 1, 0)]
    assert "('没有该商品:', 'Ghost')" in out and "('所有页都没有该商品:', 'Shadow')" in out
    assert out.count("Desk") == 1 and "Spare" not in out and driver.events.count("search Ghost") == 1
    assert df.values.tolist() == workflow.saves[-1].values.tolist()


def test_no_code_once_a_copy_exists(market, workflow, clock, stop, capsys):
    market.add("Lamp")
    market.add("Desk")

    def after_first_pass(seconds):
        if len(market.published) == 2 and market.listings[0].title == "Lamp":
            market.listings = []   # Lamp gone: no results
            market.add("Desk v2")  # Desk renamed: results, not found
        if clock.sleeps.count(0.8) == 2:
            stop.arm()
    clock.hooks.append(after_first_pass)
    df = workflow.table(("Lamp", 3), ("Desk", 3))
    with pytest.raises(StopRun):
        workflow.run(df)
    assert df[["added", "sign"]].values.tolist() == workflow.saved("added", "sign")[-1] == [[1, 0], [1, 0]]
    assert len(workflow.saves) == 3
    assert lines(capsys, "('") == ["('max_times:', 3)", "('max_times:', 2)", "('没有该商品:', 'Lamp')",
                                   "('所有页都没有该商品:', 'Desk')"]


def test_exact_title_over_result_pages(market, workflow, driver, clock, capsys):
    market.page_size = 2
    for title in ("Lamp", "lamp", "Desk Lamp", "Lamp Post", "Lamp"):
        market.add(title, copy_stays=not market.listings)  # the first copy button leaves no editor
    df = workflow.run(workflow.table(("Lamp", 1), (" Lamp", 1)))
    assert [e for e in driver.events if e.startswith(("copy", "next"))] == [
        "copy Lamp (stayed)", "next page", "next page", "copy Lamp", "next page", "next page"]
    assert df[["added", "sign"]].values.tolist() == [[1, 0], [0, 1]]
    out = capsys.readouterr().out.splitlines()
    assert out[1:5] == ["Lamp", "2", "下一页", "下一页"] and out[-2] == "('所有页都没有该商品:', ' Lamp')"
    assert typed(clock.sleeps[:7]) == typed([4, 1.5, 1, 2, 2, 1, 5])


def test_results_footer_is_polled_with_reloads(market, workflow, driver, clock):
    market.add("Lamp")
    market.footer_stuck = True
    clock.hooks.append(lambda s: clock.sleeps.count(0.6) == 8 and setattr(market, "footer_stuck", False))
    df = workflow.run(workflow.table(("Lamp", 1)))
    assert typed(clock.sleeps[:11]) == typed([4, 1.5] + [0.6] * 8 + [1])
    assert driver.refreshes == 2 and df["added"].tolist() == [1]


@pytest.mark.parametrize("images_after, publish, waits, counted", [
    (0, "at once", [0.5, 7] + EDITOR_TAIL, True),
    (3, "at once", [0.5, 1, 1, 1, 7] + EDITOR_TAIL, True),
    ("pic_wait", "at once", [0.5] + [1] * 9 + [7] + EDITOR_TAIL, True),
    (None, "at once", [0.5] + [1] * 9 + [7], False),
    (0, "lagging", [0.5, 7] + EDITOR_TAIL + [1], True),
    (0, "never", [0.5, 7] + EDITOR_TAIL + [1], False),
])
def test_editor_waits_and_outcome(market, workflow, clock, stop, images_after, publish, waits, counted):
    listing = market.add("Lamp", images=images_after == 0)
    market.publish_lag, market.publish_stuck = int(publish == "lagging"), publish == "never"

    def editor(seconds):
        waited = clock.sleeps[4:]  # after 4, 1.5, 1 and 5 the editor is open
        if (images_after == 3 and waited.count(1) == 3) or (images_after == "pic_wait" and seconds == 7):
            listing.images = True
        if not counted and len(waited) == len(waits):
            stop.arm()
    clock.hooks.append(editor)
    df = workflow.table(("Lamp", 1))
    with contextlib.nullcontext() if counted else pytest.raises(StopRun):
        workflow.run(df, pic_wait=7)
    assert typed(clock.sleeps[4:4 + len(waits)]) == typed(waits)
    assert len(clock.sleeps) == 4 + len(waits) + counted  # and the draft page's 5 when the run ended
    assert df["added"].tolist() == [counted] and len(workflow.saves) == 1 + counted  # and the one before the rows


def test_failing_row_does_not_stop_the_pass(market, workflow, driver, capsys):
    market.add("Vase", faults=["no_private"])
    market.add("Lamp")
    df = workflow.run(workflow.table(("Vase", 1), ("Lamp", 1)))
    assert [p["title"] for p in market.published] == ["Lamp", "Vase"] and df["added"].tolist() == [1, 1]
    assert lines(capsys) == ["('max_times:', 1)"] * 2 + ["('max_times:', 0)"]
    assert market.drafts == [] and driver.events[-2:] == ["ask delete Vase", "delete Vase"]  # the failed copy


class NumpyColumn(pd.Series):
    """A column whose max is a NumPy scalar on every pandas, as pandas 2 gives it for NaN too."""

    @property
    def _constructor(self):
        return NumpyColumn

    def max(self, *args, **kwargs):
        return np.array(super().max(*args, **kwargs))[()]


class NumpyTable(pd.DataFrame):
    @property
    def _constructor(self):
        return NumpyTable

    @property
    def _constructor_sliced(self):
        return NumpyColumn


@pytest.mark.parametrize("amount, plans", [
    (3, ["3", "nan"]),
    (2.0, ["2.0", "nan"]),
    (Decimal(3), ["Decimal('3')", "nan"]),  # no NumPy number: shown as it is
])
def test_plan_line_shows_the_plain_number(workflow, capsys, amount, plans):
    workflow.run(workflow.table(("Ghost", amount), frame=NumpyTable))
    assert lines(capsys) == [f"('max_times:', {plan})" for plan in plans]


@pytest.mark.parametrize("api", ["old", "new"])
def test_draft_cleanup(market, workflow, clock, api):
    for title in ("d1", "d2", "d3"):
        market.add_draft(title)
    market.fail[CONFIRM] = NoSuchElementException("the dialog is slow")
    clock.hooks.append(lambda s: s == 3.6 and market.fail.clear())
    driver = market.driver(api)
    workflow.run(workflow.table(("Spare", 0)), driver=driver)
    assert typed(clock.sleeps) == typed([5, 1, 3.6, 1, 2, 1, 2, 1, 2])
    assert driver.events == ["open /zh/listings/draft", "ask delete d1", "refresh"] + [
        f"{what} {d}" for d in ("d1", "d2", "d3") for what in ("ask delete", "delete")]
    assert market.drafts == [] and workflow.saves == []


class FailingSaves(pd.DataFrame):
    """A table whose saves fail as `failing(n)` says for the n-th save, counted over the run,
    each after writing part of the file."""

    failing = staticmethod(lambda n: False)
    refusal = staticmethod(lambda n: OSError(f"save {n} refused"))
    saves = 0

    @property
    def _constructor(self):
        return FailingSaves

    def to_excel(self, path, *args, **kwargs):
        self.saves += 1
        if self.failing(self.saves):
            with open(path, "wb") as half:
                half.write(b"PK\x03\x04 half a workbook")
            raise self.refusal(self.saves)
        return super().to_excel(path, *args, **kwargs)


def test_failed_save_keeps_the_previous_workbook(market, workflow):
    market.add("Lamp")
    df = workflow.table(("Lamp", 3), frame=FailingSaves)
    df.failing = lambda n: n == 3  # the second copy's
    df = workflow.run(df)
    assert workflow.saved("added") == [[[0]], [[1]], [[3]]]  # the failed save's count came with the next one
    assert df["added"].tolist() == [3] and len(market.published) == 3 and not workflow.strays


def failing_table(workflow, failing):
    df = workflow.table(("Lamp", 1), ("Desk", 1), frame=FailingSaves)
    df.failing = failing
    return df


def test_a_failed_last_save_is_made_good_before_the_run_ends(market, workflow, clock):
    market.add("Lamp"), market.add("Desk")
    df = workflow.run(failing_table(workflow, lambda n: n == 3))  # the second copy's save
    assert df["added"].tolist() == [1, 1] and len(market.published) == 2
    assert workflow.saved("added") == [[[0], [0]], [[1], [0]], [[1], [1]]]  # the second copy reached the file
    assert clock.sleeps[-2:] == [4, 5] and not workflow.strays  # no pause: the first try saved
    assert market.drafts == []  # and the run went on to its draft cleanup


@pytest.mark.parametrize("res_path", [str, pathlib.Path])  # a host may hand its result path as a Path
def test_a_workbook_that_stays_locked_leaves_an_unsaved_copy_and_an_error(
        vantrel, market, workflow, clock, monkeypatch, caplog, res_path):
    caplog.set_level("INFO", logger="vantrel")
    market.add("Lamp"), market.add("Desk")
    real_replace, res = os.replace, str(workflow.res)

    def replace(src, dst):
        if os.fspath(dst) == res and workflow.saves:  # held open from the save before the first row on
            raise PermissionError(13, "Permission denied", dst)
        real_replace(src, dst)

    monkeypatch.setattr(os, "replace", replace)
    with pytest.raises(PermissionError) as caught:
        workflow.run(workflow.table(("Lamp", 1), ("Desk", 1)), res_path=res_path)
    unsaved = workflow.res.with_name("res (unsaved).xlsx")
    assert res in str(caught.value) and str(unsaved) in str(caught.value)
    assert isinstance(caught.value.__cause__, PermissionError)
    assert entries(caught)[-1] == ("vantrel.get_res", 142)
    assert pd.read_excel(unsaved)["added"].tolist() == [1, 1]
    assert workflow.saved("added") == [[[0], [0]]]
    assert clock.sleeps[-2:] == [5, 5] and typed(clock.sleeps[-2:]) == typed([5, 5])
    assert workflow.strays == {unsaved.name}
    log = [r.getMessage() for r in caplog.records]
    assert sum("save attempt" in m for m in log) == 3 and sum("save failed" in m for m in log) == 5
    assert log[-1] == f"the table as it stands written to {str(unsaved)!r}"


class Locked(Exception):
    """An error whose type wants more than a message, as some libraries' errors do."""

    def __init__(self, message, holder):
        super().__init__(f"{message} (held by {holder})")


@pytest.mark.parametrize("refusal, raised", [
    (FailingSaves.refusal, OSError),
    (lambda n: Locked(f"save {n} refused", "EXCEL.EXE"), RuntimeError),  # no Locked from a message
])
def test_a_table_that_cannot_be_written_ends_the_run_with_an_error(market, workflow, clock, refusal, raised):
    market.add("Lamp"), market.add("Desk")
    df = failing_table(workflow, lambda n: n >= 2)
    df.refusal = refusal
    with pytest.raises(raised, match="nor could the table be written") as caught:
        workflow.run(df)
    assert "save 6 refused" in str(caught.value)  # one before the rows, two in them, three at the end
    assert type(caught.value.__cause__) is type(refusal(0)) and str(workflow.res) in str(caught.value)
    assert workflow.saved("added") == [[[0], [0]]] and not workflow.strays


def test_an_interrupt_in_the_last_save_is_not_retried(vantrel, market, workflow, clock, monkeypatch):
    market.add("Lamp")
    df = workflow.table(("Lamp", 1), frame=FailingSaves)
    df.failing = lambda n: n == 2
    real_save = FailingSaves.to_excel

    def interrupted(self, *args, **kwargs):
        if self.saves == 2:  # the row's save failed; the one after the passes is interrupted
            raise KeyboardInterrupt
        return real_save(self, *args, **kwargs)

    monkeypatch.setattr(FailingSaves, "to_excel", interrupted)
    with pytest.raises(KeyboardInterrupt):
        workflow.run(df)
    assert clock.sleeps[-1] == 4  # the publish's pause, and no pause for another try


def test_an_interrupt_while_a_failed_save_clears_its_temporary_file_ends_the_run(market, workflow, monkeypatch):
    market.add("Lamp")
    df = workflow.table(("Lamp", 1), frame=FailingSaves)
    df.failing = lambda n: n == 1  # the save before the first row
    real_remove = os.remove

    def remove(path):
        if str(path).endswith(".tmp.xlsx"):
            raise KeyboardInterrupt
        real_remove(path)

    monkeypatch.setattr(os, "remove", remove)
    with pytest.raises(KeyboardInterrupt) as caught:
        workflow.run(df)
    assert str(caught.value.__context__) == "save 1 refused"  # the save's own error stays with it
    assert market.published == [] and df.saves == 2  # no row began; the catch-up saved the table
