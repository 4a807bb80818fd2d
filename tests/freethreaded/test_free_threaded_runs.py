"""The module on the free-threaded interpreter: it keeps the GIL off when imported, and two
workflows run at once, truly in parallel, with one run log between them. Started by
test_free_threaded_interpreter.py with the GIL held off (PYTHON_GIL=0), in a venv where pip built
the module from the clone."""

import logging
import os
import re
import subprocess
import sys
import threading
import time
import types

import pandas as pd
import pytest

import vantrel
from fakemarket import FakeMarket, FakeOptions, FakeSelect, FakeWebdriver

ONSALE_URL = "http://127.0.0.1:8700/zh/listings/onsale"


def test_import_keeps_the_gil_off():
    assert not sys._is_gil_enabled()
    assert vantrel.__file__.startswith(sys.prefix), "not the module pip installed: " + vantrel.__file__
    # Held off here, the GIL says nothing of the module; left to itself, the interpreter turns it
    # on, with a warning, for a module that does not declare it may run without.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    child = subprocess.run([sys.executable, "-c", "import sys, vantrel; print(sys._is_gil_enabled())"],
                           env=env, capture_output=True, text=True, timeout=120)
    assert (child.returncode, child.stdout, child.stderr) == (0, "False\n", "")


class SharedClock:
    """Stands in for the time module in both runs at once: sleep returns at once, counted under a
    lock. A run that sleeps far more often than this one needs is stopped: every print raises,
    and the plan line that ends the pass lets it out."""

    def __init__(self, limit):
        self.lock, self.sleeps, self.limit = threading.Lock(), 0, limit

    def sleep(self, seconds):
        with self.lock:
            self.sleeps += 1
            runaway = self.sleeps > self.limit
        if runaway:
            def write(text):
                raise RuntimeError("the run does not end")
            sys.stdout = types.SimpleNamespace(write=write, flush=lambda: None)
            raise RuntimeError("the run does not end")


def test_two_workflows_at_once_each_copy_published_and_logged_once(tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "stdout", sys.stdout)  # put back if a runaway run takes it
    monkeypatch.setattr(vantrel, "time", SharedClock(limit=50000))
    monkeypatch.setattr(vantrel, "Select", FakeSelect)
    monkeypatch.setattr(vantrel, "Options", FakeOptions)
    webdriver = FakeWebdriver(None)
    monkeypatch.setattr(vantrel, "webdriver", webdriver)

    class SlowToOpen(logging.FileHandler):  # the other thread's turn to attach one too
        def __init__(self, *args, **kwargs):
            time.sleep(0.05)
            super().__init__(*args, **kwargs)
    monkeypatch.setattr(logging, "FileHandler", SlowToOpen)
    log = tmp_path / "run.log"
    monkeypatch.setenv("VANTREL_LOG", str(log))

    # Different titles and counts: a copy or a record that lands in the other run shows.
    runs = {"Lamp": 24, "Vase": 25}
    start, failures, markets = threading.Barrier(len(runs)), [], {}

    def run(title, copies):
        market = markets[title] = FakeMarket()
        market.add(title)
        folder = tmp_path / title
        folder.mkdir()
        df = pd.DataFrame({"name": [title], "amount": [copies], "added": 0, "sign": 0})
        start.wait()
        try:
            vantrel.get_res(0, ONSALE_URL, "20190101", "20210909", df, df["name"].values,
                            str(folder / "res.xlsx"), 0, ONSALE_URL, market.driver(), ["w"])
        except BaseException as error:  # noqa: B036 - seen by the test's own thread
            failures.append(error)

    threads = [threading.Thread(target=run, args=item) for item in runs.items()]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        for handler in list(logging.getLogger("vantrel").handlers):
            if getattr(handler, "baseFilename", "") == str(log):
                logging.getLogger("vantrel").removeHandler(handler)
                handler.close()
    assert not failures
    assert not sys._is_gil_enabled() and webdriver.calls == []

    lines = log.read_text(encoding="utf-8").splitlines()
    for title, copies in runs.items():
        assert [p["title"] for p in markets[title].published] == [title] * copies and not markets[title].unknown
        saved = pd.read_excel(tmp_path / title / "res.xlsx")
        assert saved[["name", "amount", "added"]].values.tolist() == [[title, copies, copies]]
        published = [m.group(1) for line in lines
                     if (m := re.search(rf"row '{title}': copy published, added (\d+)$", line))]
        assert published == [str(n) for n in range(1, copies + 1)]
        assert sum(f"plan: max_times {copies};" in line for line in lines) == 1
    assert sum("copy published" in line for line in lines) == sum(runs.values())
