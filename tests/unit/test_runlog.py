"""The run log: records on the logger "vantrel" for a host that listens, and the file that
VANTREL_LOG names, with the console and the workbook as they are without it."""

import io
import logging
import os
import re
import threading
import time
import traceback
import zipfile

import pandas as pd
import pytest
from selenium.common.exceptions import NoSuchElementException

from sellerpages import CHECKBOX

from .conftest import ONSALE_URL, entries
from .test_replication import FailingSaves

STAMP = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} ")


@pytest.fixture(autouse=True)
def own_handlers(tmp_path):
    """Takes the log files' handlers of this test off the logger again."""
    yield
    logger = logging.getLogger("vantrel")
    for handler in list(logger.handlers):
        if str(tmp_path) in getattr(handler, "baseFilename", ""):
            logger.removeHandler(handler)
            handler.close()


def messages(caplog):
    """The records heard, each time left as "about …": it comes off the clock."""
    return [(r.levelname, re.sub(r"about [\d hmins]+ (left|by)", r"about … \1", r.getMessage()))
            for r in caplog.records if r.name == "vantrel"]


# An error's message as its type gives it; the record keeps the first line that says something.
@pytest.mark.parametrize("refusal", [
    FailingSaves.refusal,
    lambda n: OSError(f"\n  save {n} refused  \n  at the writer's own stack"),
], ids=["one line", "empty first line"])
def test_a_host_at_info_hears_the_run(market, workflow, caplog, refusal):
    market.add("Lamp")
    market.add_draft("old copy")
    caplog.set_level(logging.INFO)
    res = str(workflow.res)
    temporary = str(workflow.res.parent / f".res.xlsx.{os.getpid()}.tmp.xlsx")
    df = workflow.table(("Lamp", 2), ("Ghost", 1), frame=FailingSaves)
    df.failing = lambda n: n == 3  # Ghost's: after the one before the rows and Lamp's
    df.refusal = refusal
    workflow.run(df)
    assert messages(caplog) == [("INFO", m) for m in [
        "plan: max_times 2; 3 copies to make, about … by the stages' sleeps",
        "row 'Lamp': pass 1, amount 2, added 0",
        "row 'Lamp': copy published, added 1",
        "row 'Ghost': pass 1, amount 1, added 0",
        "row 'Ghost': no search results, sign 2 written",
        f"save failed: {res!r}, OSError: save 3 refused; temporary file {temporary!r} removed",
        "row 'Ghost': attempt dropped at line 74: OSError: save 3 refused",
        "plan after pass 1: max_times 1; 1 of 3 copies made, about … left",
        "row 'Lamp': pass 2, amount 2, added 1",
        "row 'Lamp': copy published, added 2",
        "row 'Ghost': pass 2, amount 1, added 0",
        "row 'Ghost': left early, sign is 2",
        "plan after pass 2: max_times 0; 2 of 3 copies made, about … left",
        "draft cleanup: draft 1 deleted"]]
    assert {r.pathname for r in caplog.records if r.name == "vantrel"} == {"vantrel"}


def test_a_dropped_attempt_names_title_error_and_step(market, workflow, caplog, capsys):
    market.add("Vase", faults=["missing_checkbox"])
    caplog.set_level(logging.DEBUG, logger="vantrel")
    workflow.run(workflow.table(("Vase", 1)))
    assert capsys.readouterr().out.splitlines() == [
        "('max_times:', 1)", "Vase", "1", "('max_times:', 1)", "Vase", "1", "('max_times:', 0)"]
    dropped = [r for r in caplog.records if "dropped" in r.getMessage()]
    # Newer Selenium releases add a pointer to their documentation after the message.
    expected = f"row 'Vase': attempt dropped at line 123: NoSuchElementException: Message: {CHECKBOX}"
    assert [r.levelname for r in dropped] == ["INFO", "DEBUG"]
    assert all(r.getMessage().split(";")[0] == expected for r in dropped), dropped
    info, debug = dropped
    assert info.exc_info is None and debug.exc_info[0] is NoSuchElementException
    # The traceback goes through the step as a traceback entry of the module names it.
    [step] = [e for e in traceback.extract_tb(debug.exc_info[2]) if e.filename == "vantrel"]
    assert (step.name, step.lineno) == ("vantrel.get_res", 123) == ("vantrel.get_res", info.lineno)


def run_main(vantrel, folder, answer, monkeypatch):
    """main() on the fake market from `folder`; returns (console, result workbook path)."""
    folder.mkdir()
    monkeypatch.chdir(folder)
    pd.DataFrame({"name": ["Lamp", "Ghost"], "amount": [2, 1]}).to_excel("commodity.xlsx", index=False)
    answer("commodity.xlsx\n2\n9222\n")
    vantrel.main()
    [res] = folder.glob("*res.xlsx")
    return res


def sheets(path):
    """The workbook's parts, its creation time aside."""
    with zipfile.ZipFile(path) as book:
        return {n: book.read(n) for n in book.namelist() if n != "docProps/core.xml"}


def test_log_file_beside_an_unchanged_console_and_workbook(vantrel, market, answer, monkeypatch,
                                                           tmp_path, capsys):
    market.add("Lamp")
    console = io.StringIO()
    root = logging.getLogger()
    monkeypatch.setattr(root, "handlers", [logging.StreamHandler(console)])  # a host at WARNING
    monkeypatch.delenv("VANTREL_LOG", raising=False)
    plain = run_main(vantrel, tmp_path / "plain", answer, monkeypatch)
    plain_out = capsys.readouterr().out
    assert sorted(p.name for p in plain.parent.iterdir()) == ["commodity.xlsx", plain.name]

    log = tmp_path / "logs" / "run.log"
    log.parent.mkdir()
    log.write_text("kept\n", encoding="utf-8")
    monkeypatch.setenv("VANTREL_LOG", str(log))
    logged = run_main(vantrel, tmp_path / "logged", answer, monkeypatch)
    assert capsys.readouterr().out == plain_out
    assert sheets(logged) == sheets(plain) and console.getvalue() == ""

    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("VANTREL_LOG", "logs/run.log")  # the same file, named another way
    vantrel.start(2, "s", "e", pd.DataFrame({"name": ["Lamp"], "amount": [0], "added": 0, "sign": 0}),
                  None, str(tmp_path / "r.xlsx"), 0, ONSALE_URL, "drv", "9222")
    lines = log.read_text(encoding="utf-8").splitlines()
    assert lines[0] == "kept" and all(STAMP.match(line) for line in lines[1:])
    said = [STAMP.sub("", line, 1) for line in lines[1:]]
    assert said[0] == "launch: commodity workbook 'commodity.xlsx', image wait 2 s, Chrome port '9222'"
    assert said[1] == f"begin: result workbook {logged.name!r}"
    assert "row 'Ghost': no search results, sign 2 written" in said and "row 'Lamp': copy published, added 2" in said
    assert [s for s in said if s.startswith(("begin", "finish"))] == [
        said[1], "finish: took 0:00:00", "begin: result workbook " + repr(str(tmp_path / "r.xlsx")),
        "finish: took 0:00:00"]
    assert [getattr(h, "baseFilename", None) for h in logging.getLogger("vantrel").handlers].count(str(log)) == 1


@pytest.mark.parametrize("where", ["missing folder", "a folder"])
def test_unusable_log_file_stops_the_launch_before_anything_happens(vantrel, webdriver, answer, monkeypatch,
                                                                   tmp_path, capsys, where):
    path = tmp_path / "nowhere" / "run.log" if where == "missing folder" else tmp_path
    monkeypatch.setenv("VANTREL_LOG", str(path))
    monkeypatch.chdir(tmp_path)
    before = sorted(tmp_path.rglob("*"))
    answer("commodity.xlsx\n2\n9222\n")
    start = lambda: vantrel.start(2, "s", "e", None, None, "r.xlsx", 0, "d", "drv", "9222")  # noqa: E731
    for launch, entry in ((vantrel.main, ("vantrel.main", 277)), (start, ("vantrel.start", 202))):
        with pytest.raises(OSError) as caught:
            launch()
        assert str(caught.value).startswith(f"VANTREL_LOG names a log file that cannot be opened for appending: "
                                            f"{str(path)!r} (")
        assert entries(caught) == [entry]
    assert capsys.readouterr().out == "" and webdriver.calls == [] and sorted(tmp_path.rglob("*")) == before


def test_two_runs_at_once_write_each_record_once(vantrel, tmp_path, monkeypatch):
    """Two workflows in two threads, one log file: one handler between them, attached before
    either goes on. Opening the file gives the other thread its turn, as a slow disk would."""
    from fakemarket import FakeMarket

    class SlowToOpen(logging.FileHandler):
        def __init__(self, *args, **kwargs):
            time.sleep(0.05)
            super().__init__(*args, **kwargs)
    monkeypatch.setattr(logging, "FileHandler", SlowToOpen)
    log = tmp_path / "run.log"
    monkeypatch.setenv("VANTREL_LOG", str(log))
    start, failures = threading.Barrier(2), []

    def run(n):
        market = FakeMarket()
        market.add("Lamp")
        folder = tmp_path / f"run{n}"
        folder.mkdir()
        df = pd.DataFrame({"name": ["Lamp"], "amount": [3], "added": 0, "sign": 0})
        start.wait()
        try:
            vantrel.get_res(0, ONSALE_URL, "20190101", "20210909", df, df["name"].values, str(folder / "res.xlsx"),
                            0, ONSALE_URL, market.driver(), ["w"])
        except BaseException as error:  # noqa: B036 - seen by the test's own thread
            failures.append(error)
        assert len(market.published) == 3
    threads = [threading.Thread(target=run, args=(n,)) for n in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures
    lines = log.read_text(encoding="utf-8").splitlines()
    assert sum("copy published" in line for line in lines) == 6
    assert sum("plan: max_times 3;" in line for line in lines) == 2
