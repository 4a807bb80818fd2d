"""Faults while a run goes on, in a real headless Chromium against the stand-in marketplace:
a result workbook that cannot be written for a while, a marketplace that publishes nothing for
a while, and titles that hold markup and quotes.
"""

import logging
import os
import re

import pandas as pd
import pytest
from selenium import webdriver as selenium_webdriver

from realrun import result_paths
from sellerpages import CHECKBOX, SCRIPTS, XPATHS

from .conftest import SpyingWebdriver, temporary_name

LISTINGS = [{"title": title, "images": 2} for title in ("Alpha lamp", "Beta mug", "Gamma clock")]


class Workbook:
    """Follows the result workbook and its folder from the clock, between the module's steps.

    `states` holds each new content of the workbook as {name: added}; `strays` every other
    file seen in the folder (the commodity workbook, the record of a copy in flight and
    `allowed` names aside).
    """

    def __init__(self, folder):
        self.folder = folder
        self.path = None
        self.states = []
        self.strays = set()
        self.allowed = {"commodity.xlsx"}
        self._last = None

    def look(self):
        found = result_paths(self.folder)
        if found:
            self.path = found[0]
        names = set(os.listdir(self.folder)) - self.allowed
        if self.path:
            names.discard(os.path.basename(self.path))
            names.discard(os.path.basename(self.record))
        self.strays |= names
        if self.path is None:
            return
        with open(self.path, "rb") as handle:
            data = handle.read()
        if data != self._last:
            self._last = data
            table = pd.read_excel(self.path)
            self.states.append(dict(zip(table["name"], table["added"])))

    @property
    def record(self):
        folder, name = os.path.split(self.path)
        return os.path.join(folder, f".{name}.in-flight.json")

    @property
    def total(self):
        return sum(self.states[-1].values()) if self.states else 0


class FolderInTheWay:
    """The save's temporary file name is taken by a folder: the workbook cannot be written,
    whoever runs the test."""

    def __init__(self, folder):
        self.folder = folder
        self.blocker = None

    def block(self, res_path):
        self.blocker = os.path.join(self.folder, temporary_name(res_path))
        os.mkdir(self.blocker)
        return os.path.basename(self.blocker)

    def unblock(self):
        os.rmdir(self.blocker)


class ReadOnlyFolder:
    """The result workbook's folder turns read-only (ignored by root, so skipped there)."""

    def __init__(self, folder):
        self.folder = folder
        os.chmod(folder, 0o555)
        try:
            probe = os.path.join(folder, "probe")
            with open(probe, "w"):
                pass
        except PermissionError:
            pass
        else:
            os.remove(probe)
            pytest.skip("folder permissions do not stop this user's writes (root)")
        finally:
            os.chmod(folder, 0o755)

    def block(self, res_path):
        os.chmod(self.folder, 0o555)

    def unblock(self):
        os.chmod(self.folder, 0o755)


@pytest.mark.parametrize("fault", [FolderInTheWay, ReadOnlyFolder])
def test_unwritable_workbook_keeps_counts_for_the_next_save(market, run_main, fault):
    market.reset(LISTINGS)
    rows = [("Alpha lamp", 3), ("Beta mug", 2), ("Gamma clock", 1)]
    run_main.folder.mkdir()
    disk = Workbook(str(run_main.folder))
    blocker = fault(str(run_main.folder))
    seen = {}

    def follow(seconds):
        disk.look()
        if "blocked" not in seen and disk.total == 1:
            name = blocker.block(disk.path)
            if name:
                disk.allowed.add(name)
            seen["blocked"] = disk.states[-1]
            seen["copies"] = market.copies()
        elif "unblocked" not in seen and "blocked" in seen and seconds == 5:
            # A copy is about to be edited: the one before it is counted in the table.
            table = dict(zip(run_main.table["name"], run_main.table["added"]))
            if sum(table.values()) >= 3:
                seen["on disk"] = disk.states[-1]
                seen["unblocked"] = table
                seen["market"] = market.copies()
                blocker.unblock()

    try:
        run = run_main(rows, hook=follow)
    finally:
        if "blocked" in seen and "unblocked" not in seen:
            blocker.unblock()
    disk.look()

    assert seen["copies"] == {"Alpha lamp": 1} == {k: v for k, v in seen["blocked"].items() if v}
    # While the saves failed the run went on, and the counts stayed in the table.
    assert seen["on disk"] == seen["blocked"]
    assert seen["unblocked"] == {name: seen["market"].get(name, 0) for name, _ in rows}
    # The next save brought them all, with its own copy.
    after = disk.states[disk.states.index(seen["blocked"]) + 1]
    assert sum(after.values()) == sum(seen["unblocked"].values()) + 1
    assert market.copies() == dict(rows) == run.column("added")
    assert set(run.column("sign").values()) == {0}
    assert not disk.strays, disk.strays  # no temporary file stayed behind at any step
    assert not os.path.exists(disk.record)  # the last save closed the record of the last copy


def test_workbook_blocked_to_the_end_leaves_an_unsaved_copy_and_an_error(market, run_main):
    market.reset(LISTINGS)
    rows = [("Alpha lamp", 2), ("Beta mug", 1)]
    run_main.folder.mkdir()
    disk = Workbook(str(run_main.folder))
    blocker = FolderInTheWay(str(run_main.folder))

    def follow(seconds):
        disk.look()
        if disk.total == 1 and blocker.blocker is None:
            disk.allowed.add(blocker.block(disk.path))

    with pytest.raises(OSError) as caught:
        run_main(rows, hook=follow)
    unsaved = disk.path[:-len(".xlsx")] + " (unsaved).xlsx"
    assert disk.path in str(caught.value) and unsaved in str(caught.value)
    # The marketplace has every copy; the workbook on disk stopped at the first, the unsaved
    # one beside it has them all.
    assert market.copies() == dict(rows)
    assert disk.states == [{"Alpha lamp": 0, "Beta mug": 0}, {"Alpha lamp": 1, "Beta mug": 0}]
    assert pd.read_excel(unsaved).set_index("name")["added"].to_dict() == dict(rows)
    blocker.unblock()


def test_publishing_stopped_for_a_while_keeps_counts_exact(market, run_main):
    rows = [("Alpha lamp", 2), ("Beta mug", 2), ("Gamma clock", 1)]
    market.reset(LISTINGS, images_never_load=True)
    disk = Workbook(str(run_main.folder))
    phases = []

    def follow(seconds):
        # A 5 s pause comes before each editor stage and before the draft cleanup: no copy is
        # in flight then, so table, workbook and marketplace must agree exactly.
        if seconds != 5:
            return
        state = market.state()
        copies = market.copies(state)
        table = dict(zip(run_main.table["name"], run_main.table["added"]))
        disk.look()
        phase = phases[-1][0] if phases else "images"
        if phase == "images" and len(state["drafts"]) > 4:
            phases.append(("images", dict(copies), state["stats"]))
            market.set_knobs(images_never_load=False, publish_failure_rate=1.0)
            phases.append(("publish", None, None))
        elif phase == "publish" and state["stats"]["publish_failures"] >= 4:
            phases.append(("publish", dict(copies), state["stats"]))
            market.set_knobs(publish_failure_rate=0.0)
            phases.append(("healthy", None, None))
        assert table == {name: copies.get(name, 0) for name, _ in rows}, (table, copies)
        assert disk.states[-1:] in ([], [table]), (disk.states[-1:], table)

    run = run_main(rows, hook=follow)

    images, publish = phases[0], phases[2]
    assert images[1] == {} and images[2]["publish_attempts"] == 0  # stopped at every image wait
    assert publish[1] == {} and publish[2]["publish_failures"] >= 4  # every publish failed
    assert [p[0] for p in phases] == ["images", "publish", "publish", "healthy"]
    state = market.state()
    assert market.copies(state) == dict(rows) == run.column("added")
    assert set(run.column("sign").values()) == {0}
    stats = state["stats"]
    assert stats["publish_attempts"] - stats["publish_failures"] == sum(dict(rows).values())
    assert state["drafts"] == [] and stats["drafts_deleted"] == stats["copies"] - 5


# Selenium's Select looks its options up by their visible text.
LITERALS = XPATHS | {'.//option[normalize-space(.) = "上市"]', './/option[normalize-space(.) = "不公开"]'}


def test_titles_with_markup_and_quotes_are_matched_as_text(market, run_main):
    wanted = {"<b>x</b>": 2, "x": 1, 'Say "cheese"': 1, "It's 'quoted'": 1,
              'Lamp" or "1"="1': 1, "Say &quot;cheese&quot;": 1}
    decoys = ["<i>x</i>", "x-ray", "Box", 'Say "cheese" twice', "It's 'quoted' too"]
    # Small pages: "x" finds five listings and is on the second page.
    market.reset([{"title": title} for title in decoys + list(wanted)], page_size=3)
    spy = SpyingWebdriver(selenium_webdriver)

    run = run_main(list(wanted.items()), webdriver=spy)

    assert market.copies() == wanted == run.column("added")
    assert set(run.column("sign").values()) == {0}
    texts = {value.strip() for kind, value in spy.seen if kind == "text"}
    assert set(wanted) | set(decoys) <= texts  # the cards show the titles as typed, markup and all
    xpaths = {value for kind, value in spy.seen if kind == "xpath"}
    scripts = {value for kind, value in spy.seen if kind == "script"}
    assert {kind for kind, _ in spy.seen} == {"xpath", "script", "text"}
    # No workbook text ever goes into a locator or a script.
    assert xpaths <= LITERALS and scripts <= SCRIPTS, (xpaths - LITERALS, scripts - SCRIPTS)
    assert "下一页" in run.output


def test_the_log_file_says_why_each_attempt_failed(market, run_main, tmp_path, monkeypatch):
    rows = [("Alpha lamp", 2), ("Beta mug", 1)]
    market.reset(LISTINGS, missing=["checkbox"])
    log = tmp_path / "vantrel.log"
    monkeypatch.setenv("VANTREL_LOG", str(log))
    opened_while_missing = []

    def follow(seconds):
        # The 5 s pause comes after a copy opened the editor: that editor has no checkbox yet.
        if seconds == 5 and not opened_while_missing and market.state()["stats"]["copies"] == 3:
            opened_while_missing.append(3)
            market.set_knobs(missing=[])

    try:
        run = run_main(rows, hook=follow)
    finally:
        for handler in logging.getLogger("vantrel").handlers[:]:
            if getattr(handler, "baseFilename", None) == str(log):
                logging.getLogger("vantrel").removeHandler(handler)
                handler.close()

    assert market.copies() == dict(rows) == run.column("added") and not run.complaints
    lines = log.read_text(encoding="utf-8").splitlines()
    assert all(re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} \S", line) for line in lines)
    failed = [line for line in lines if "attempt dropped" in line]
    assert len(failed) == 3 and all(
        "attempt dropped at line 123: NoSuchElementException: Message: no such element" in line
        and CHECKBOX in line for line in failed)
    assert [line.split("'")[1] for line in failed] == ["Alpha lamp", "Beta mug", "Alpha lamp"]
    assert sum("copy published" in line for line in lines) == 3
    assert any(line.endswith("draft cleanup: draft 3 deleted") for line in lines)
    assert "attempt dropped" not in run.output and "vantrel" not in run.output
