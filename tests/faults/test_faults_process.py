"""Faults from outside the run's process: no browser to attach to, and SIGKILL at any moment.

Each session runs in a process of its own (run_vantrel.py) with scaled sleeps, so that it can
be killed without taking the test with it.
"""

import json
import os
import random
import re
import shutil
import socket
import time

import pandas as pd
import pytest

from realrun import write_commodities
from standin import harness

from .conftest import Process, kill_seed

LISTINGS = [{"title": title, "images": 2} for title in ("Alpha lamp", "Beta mug", "Gamma clock")]
ROWS = [("Alpha lamp", 2), ("Beta mug", 2), ("Gamma clock", 1)]
KILLS = 24
RUN_SPAN = 9.5    # seconds from launch to the end of a whole session (pause included), about
WAIT_FOR_SAVE = 12


@pytest.fixture(scope="module", autouse=True)
def unreachable(marketplace, tmp_path_factory):
    """A session told a debugging port that nothing listens on. ChromeDriver tries for about a
    minute before it gives up, so the session starts with this module's first test and the
    test that looks at it comes last."""
    folder, logs = tmp_path_factory.mktemp("unreachable"), tmp_path_factory.mktemp("logs")
    workbook = write_commodities(folder, ROWS)
    # A port bound but not listening: connections to it are refused, and no other program
    # (a browser started later, say) can take it meanwhile.
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as held:
        held.bind(("127.0.0.1", 0))
        port = held.getsockname()[1]
        session = Process(workbook, port, marketplace, logs)
        yield folder, port, session
        session.kill()


def settled_state(market, checks=10):
    """The marketplace's state once a request the browser still had in flight has landed."""
    state = market.state()
    for _ in range(checks):
        time.sleep(0.3)
        again = market.state()
        if again == state:
            break
        state = again
    return state


def wait_for_a_save(session, folder, limit):
    """Returns as soon as a save's temporary file shows beside the result workbook."""
    deadline = time.monotonic() + limit
    prefix, suffix = ".", f".{session.pid}.tmp.xlsx"
    while time.monotonic() < deadline and session.proc.poll() is None:
        with os.scandir(folder) as entries:
            if any(e.name.startswith(prefix) and e.name.endswith(suffix) for e in entries):
                return True
        time.sleep(0.001)
    return False


def check_after_kill(folder, pid, state, ended):
    """What a killed session may leave on disk, against what the marketplace holds."""
    names = sorted(os.listdir(folder))
    result = r"commodity\d{8} \d\d-\d\d-\d\dres\.xlsx"
    results = [n for n in names if re.fullmatch(result, n)]
    temps = [n for n in names if re.fullmatch(r"\." + result + r"\.\d+\.tmp\.xlsx", n)]
    records = [n for n in names if re.fullmatch(r"\." + result + r"\.in-flight\.json(\.tmp)?", n)]
    assert sorted(["commodity.xlsx"] + results + temps + records) == names, names
    assert len(results) <= 1 and len(temps) <= 1, names
    if temps:
        assert temps[0].endswith(f".{pid}.tmp.xlsx")
        if results:
            assert temps[0] == f".{results[0]}.{pid}.tmp.xlsx"
    if results:
        table = pd.read_excel(folder / results[0])  # a whole workbook, whenever the kill came
        assert list(table.columns) == ["name", "amount", "added", "sign"]
        assert [tuple(r) for r in table[["name", "amount"]].itertuples(index=False)] == ROWS
        added = dict(zip(table["name"], table["added"]))
    else:
        added = {name: 0 for name, _ in ROWS}
    copies = harness.copies_by_title(state)
    behind = {name: copies.get(name, 0) - added[name] for name, _ in ROWS}
    # Never more than the marketplace holds; at most the one copy in flight behind it, and that
    # one named by the trace beside the workbook.
    assert all(b >= 0 for b in behind.values()) and sum(behind.values()) <= 1, (added, copies)
    record = folder / f".{results[0]}.in-flight.json" if results else None
    if sum(behind.values()):
        [title] = [name for name, b in behind.items() if b]
        with open(record, encoding="utf-8") as handle:
            assert title in [json.loads(line)["name"] for line in handle if line.strip()]
    if ended:
        assert added == dict(ROWS) == copies and not (record and record.exists())
    return {"workbook": bool(results), "temporary": bool(temps), "behind": sum(behind.values()),
            "ended": ended}


def test_sigkill_at_random_moments_leaves_a_valid_workbook(market, chromium, processes, tmp_path):
    seed = kill_seed()
    rng = random.Random(seed)
    port = chromium.ensure()
    seen = []
    for n in range(KILLS):
        market.reset(LISTINGS)
        folder, logs = tmp_path / f"run{n}", tmp_path / f"logs{n}"
        folder.mkdir()
        logs.mkdir()
        workbook = write_commodities(folder, ROWS)
        session = processes(workbook, port, market.origin, logs)
        if n % 3 == 2:  # every third kill comes the moment a save begins
            wait_for_a_save(session, folder, WAIT_FOR_SAVE)
        else:
            time.sleep(rng.uniform(0.2, RUN_SPAN))
        ended = session.proc.poll() is not None
        session.kill()
        if ended:
            assert session.proc.returncode == 0, session.output()
        state = settled_state(market)
        try:
            seen.append(check_after_kill(folder, session.pid, state, ended))
        except Exception as exc:  # an unreadable workbook included
            raise AssertionError(f"kill {n} (VANTREL_KILL_SEED={seed}): {exc!r}") from exc
    print(f"VANTREL_KILL_SEED={seed}:",
          {key: sum(s[key] > 0 for s in seen) for key in ("workbook", "temporary", "behind", "ended")})


def traceback_entries(err):
    return [(name, int(line)) for line, name in re.findall(r'File "vantrel", line (\d+), in (\S+)', err)]


def test_no_chromedriver_on_path_is_selenium_own_error_at_the_attach_step(marketplace, tmp_path):
    folder, logs = tmp_path / "run", tmp_path / "logs"
    folder.mkdir()
    logs.mkdir()
    driver_folder = os.path.dirname(shutil.which("chromedriver"))
    path = os.pathsep.join(p for p in os.environ["PATH"].split(os.pathsep)
                           if os.path.realpath(p) != os.path.realpath(driver_folder))
    session = Process(write_commodities(folder, ROWS), harness.free_port(), marketplace, logs, path=path)
    assert session.finish(timeout=120), "the session did not end"
    out, err = session.output()

    assert session.proc.returncode == 1, (out, err)
    assert traceback_entries(err) == [("vantrel.main", 304), ("vantrel.start", 207), ("vantrel.init", 27)], err
    last = err.strip().splitlines()[-1]
    assert "chromedriver" in last or "driver for chrome" in last, last  # Selenium's error names the driver
    assert "Warning" not in err, err
    assert os.listdir(folder) == ["commodity.xlsx"]


def test_nothing_listening_on_the_debugging_port(unreachable):
    folder, port, session = unreachable
    assert session.finish(timeout=150), "the session did not end"
    out, err = session.output()

    assert session.proc.returncode == 1, (out, err)
    lines = out.splitlines()
    assert len(lines) == 1 and lines[0].endswith(", 'Begin-----------------------')"), out
    assert lines[0].startswith("commodity.xlsx路径：等待图片延迟时间（秒，最小2）：谷歌端口号：(datetime.")
    assert traceback_entries(err) == [("vantrel.main", 304), ("vantrel.start", 207), ("vantrel.init", 27)], err
    assert "Warning" not in err, err  # the driver found on PATH, handed over without a complaint
    assert f"cannot connect to chrome at 127.0.0.1:{port}" in err  # ChromeDriver's own error
    assert os.listdir(folder) == ["commodity.xlsx"]  # no result workbook, no temporary file
