"""Stops in real runs: the console's Ctrl+C to the whole process group, a second Ctrl+C that
asks the run to stop, and SIGKILL of the module and its driver, each followed by resumes until
one returns. Every session runs in a process of its own (run_vantrel.py) with scaled sleeps.

Whatever the stop, the end is the same: every row has exactly its amount of copies on the
marketplace, and the result workbook counts exactly those.
"""

import os
import random
import signal
import time

import pandas as pd
import pytest

from realrun import result_paths, write_commodities

from .conftest import kill_seed
from .test_faults_process import settled_state, traceback_entries

LISTINGS = [{"title": title, "images": 2} for title in ("Alpha lamp", "Beta mug")]
ROWS = [("Alpha lamp", 3), ("Beta mug", 2)]
SESSION_LIMIT = 60  # seconds a scaled session may take, its closing pause included


@pytest.fixture
def stops(market, chromium, processes, tmp_path):
    """A marketplace and a folder for one test's sessions, and the helpers they share."""
    market.reset(LISTINGS)
    folder = tmp_path / "run"
    folder.mkdir()
    port = chromium.ensure()
    log = tmp_path / "vantrel.log"

    class Stops:
        workbook = write_commodities(folder, ROWS)

        @staticmethod
        def start(entry="main"):
            logs = tmp_path / f"logs-{entry}-{time.monotonic_ns()}"
            logs.mkdir()
            path = Stops.workbook if entry == "main" else Stops.result()
            return processes(path, port, market.origin, logs, entry=entry, env={"VANTREL_LOG": str(log)})

        @staticmethod
        def result():
            [path] = result_paths(folder)
            return path

        @staticmethod
        def counted():
            table = pd.read_excel(Stops.result())
            return {name: int(added) for name, added in zip(table["name"], table["added"])}

        @staticmethod
        def copies():
            copies = market.copies(settled_state(market))
            return {name: copies.get(name, 0) for name, _ in ROWS}

        @staticmethod
        def after_publish(session, count, limit=30):
            """Returns as soon as the marketplace holds `count` published copies: a publish has
            just landed, and the module is in the sleeps before its count."""
            deadline = time.monotonic() + limit
            while time.monotonic() < deadline and session.proc.poll() is None:
                session.look()
                if sum(market.copies().values()) >= count:
                    return True
                time.sleep(0.002)
            return False

        @staticmethod
        def resume_to_the_end(tries=3):
            for _ in range(tries):
                session = Stops.start("resume")
                assert session.finish(SESSION_LIMIT), "a resume did not end"
                if session.proc.returncode == 0:
                    return session
            raise AssertionError(f"no resume returned: {session.output()}")

        @staticmethod
        def log():
            return log.read_text(encoding="utf-8")

    return Stops


def test_one_ctrl_c_to_the_group_after_a_publish_never_breaks_the_run(stops):
    session = stops.start()
    assert stops.after_publish(session, 1)
    os.killpg(session.pid, signal.SIGINT)  # what the terminal does: ChromeDriver is not in the group
    assert session.finish(SESSION_LIMIT), "the run did not end by itself"
    out, err = session.output()
    assert session.proc.returncode == 0, err
    assert stops.counted() == stops.copies() == dict(ROWS)
    assert "held until the copy's outcome was saved" in stops.log()
    assert out.count("('max_times:'") < 8, out  # a few passes, not a spin


def test_two_ctrl_c_stop_with_an_exact_record_and_a_resume_finishes(stops):
    session = stops.start()
    assert stops.after_publish(session, 2)
    os.killpg(session.pid, signal.SIGINT)
    time.sleep(0.2)
    os.killpg(session.pid, signal.SIGINT)
    stopped = time.monotonic()
    assert session.finish(15), "the stop did not end the run"
    out, err = session.output()
    assert session.proc.returncode == 1 and err.strip().endswith("KeyboardInterrupt"), err
    assert time.monotonic() - stopped < 10
    assert "Finish" not in out  # no draft cleanup, no closing pause
    counted = stops.counted()
    assert counted == stops.copies() and sum(counted.values()) < sum(dict(ROWS).values())
    assert "a second Ctrl+C within 5 s asked the run to stop" in stops.log()

    stops.resume_to_the_end()
    assert stops.counted() == stops.copies() == dict(ROWS)


def test_sigkill_after_a_publish_then_resumes_give_exactly_the_amounts(stops):
    session = stops.start()
    assert stops.after_publish(session, 1)
    session.kill()  # the module and its ChromeDriver, with the copy's count not yet saved
    first = stops.copies()
    assert sum(first.values()) >= 1 and sum(stops.counted().values()) <= sum(first.values())

    resumed = stops.start("resume")  # killed in its turn, right after its first publish
    if stops.after_publish(resumed, sum(first.values()) + 1):
        resumed.kill()
    stops.resume_to_the_end()
    assert stops.counted() == stops.copies() == dict(ROWS)
    assert "resume: row 'Alpha lamp'" in stops.log() or "resume: row 'Beta mug'" in stops.log()


def test_sigkill_at_random_moments_and_resumes_never_lose_or_double_a_copy(stops):
    seed = kill_seed()
    rng = random.Random(seed)
    session = stops.start()
    for attempt in range(3):
        time.sleep(rng.uniform(0.2, 3.0))
        ended = session.proc.poll() is not None
        session.kill()
        if ended and session.proc.returncode == 0:
            break
        if not result_paths(stops.workbook.rsplit(os.sep, 1)[0]):  # killed before the first save
            session = stops.start()
            continue
        session = stops.start("resume")
    else:
        session.finish(SESSION_LIMIT)
        if session.proc.returncode != 0:
            stops.resume_to_the_end()
    assert stops.counted() == stops.copies() == dict(ROWS), f"VANTREL_KILL_SEED={seed}"


@pytest.mark.parametrize("presses", [1, 2])
def test_ctrl_c_at_random_moments_then_resumes_give_exactly_the_amounts(stops, presses):
    """One Ctrl+C (or two, 0.2 s apart) to the process group at a random moment of a run, then
    resumes until one returns: a single Ctrl+C ends the run only between passes or in its
    closing steps, and whatever it ended, the record goes on to the exact amounts."""
    seed = kill_seed()
    rng = random.Random(seed + presses)
    session = stops.start()
    time.sleep(rng.uniform(1.0, 4.0))
    for press in range(presses):
        if press:
            time.sleep(0.2)
        if session.proc.poll() is None:
            os.killpg(session.pid, signal.SIGINT)
    assert session.finish(SESSION_LIMIT), f"the run did not end (VANTREL_KILL_SEED={seed})"
    out, err = session.output()
    if session.proc.returncode != 0:
        assert err.strip().endswith("KeyboardInterrupt"), err
        if presses == 1:  # only outside the rows: before them, between passes, in the closing steps
            rows = [line for line, name in traceback_entries(err) if name == "vantrel.get_res"]
            assert not [line for line in rows if 47 < line < 138], err
        if result_paths(os.path.dirname(stops.workbook)):
            stops.resume_to_the_end()
        else:  # stopped before its first row: nothing to resume, a new run does it all
            again = stops.start()
            assert again.finish(SESSION_LIMIT) and again.proc.returncode == 0, again.output()
    assert stops.counted() == stops.copies() == dict(ROWS), f"VANTREL_KILL_SEED={seed}"
