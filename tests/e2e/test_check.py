"""vantrel.check() against the stand-in marketplace, in a real headless Chromium: what a run would
meet, while the marketplace and the disk stay exactly as they were."""

import http.server
import io
import os
import pathlib
import subprocess
import sys
import threading

import pytest

import realrun
from standin import harness

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from demo import COMMODITIES, PAGE_SIZE  # noqa: E402  the rehearsal's sample

TIMEOUT = 90

PROMPTS = "commodity.xlsx路径：谷歌端口号："
# At 3 per page "Lamp" is the fifth result of its search: found on page 2 only.
CATALOGUE = [{"title": t} for t in ("Lamp shade 1", "Lamp shade 2", "Lamp shade 3", "Lamp shade 4", "Lamp",
                                    "Red Mug")]
EVERY_OUTCOME = [("Red Mug", 2), ("Lamp", 1), ("Lamp shade", 1), ("Teapot", 3), ("Lamp shade 2", 0)]


class Checked:
    def __init__(self, value, output, clock):
        self.value, self.output, self.clock = value, output, clock

    @property
    def lines(self):
        return self.output.splitlines()


@pytest.fixture
def check(vantrel, market, chromium, tmp_path, monkeypatch, capsys):
    """check(rows, call="check", port=None, origin=None) -> Checked: one vantrel.check() (or
    check_cli()) with its two answers typed, the sleeps scaled down; the folder of the workbook
    and the marketplace's state must be as they were afterwards."""

    def run(rows, call="check", port=None, origin=None):
        workbook = realrun.write_commodities(tmp_path, rows)
        before = (market.state(), sorted(os.listdir(tmp_path)), pathlib.Path(workbook).read_bytes())
        port = chromium.ensure() if port is None else port
        clock = realrun.ScaledClock(None, TIMEOUT)
        monkeypatch.chdir(tmp_path)
        monkeypatch.setattr(sys, "stdin", io.StringIO(f"{workbook}\n{port}\n"))
        monkeypatch.setenv("VANTREL_ORIGIN", origin or market.origin)
        monkeypatch.setattr(vantrel, "time", clock)
        with realrun.Watchdog(TIMEOUT + realrun.GRACE, chromium.stop) as watchdog, \
                realrun.Complaints() as complaints:
            try:
                value = getattr(vantrel, call)(*([[]] if call == "check_cli" else []))
            finally:
                monkeypatch.undo()
        output = capsys.readouterr().out
        sys.stderr.write(output)  # shown when the test fails
        assert not watchdog.fired and not clock.timed_out
        assert complaints.seen == []
        after = (market.state(), sorted(os.listdir(tmp_path)), pathlib.Path(workbook).read_bytes())
        assert after == before  # no copy, publish or delete; no workbook written or changed
        return Checked(value, output, clock)

    return run


def test_every_outcome_and_the_drafts_a_run_would_delete(market, check):
    market.reset(CATALOGUE, page_size=3)
    market.copy_listing(6)  # drafts the seller left: the cleanup would delete both
    market.copy_listing(1)
    done = check(EVERY_OUTCOME)

    frame = done.value
    assert dict(zip(frame["name"], frame["sign"])) == {
        "Red Mug": 0, "Lamp": 0, "Lamp shade": 1, "Teapot": 2, "Lamp shade 2": 0}
    assert frame["added"].tolist() == [0] * 5
    assert frame.attrs == {"drafts": 2, "pages": {0: 1, 1: 2, 2: 2, 3: 0, 4: 0}, "problems": []}
    report = done.lines[done.lines.index("('found:', 'Red Mug', 'page', 1)"):]
    assert report == [
        "('found:', 'Red Mug', 'page', 1)",
        "('found:', 'Lamp', 'page', 2)",
        "('not found, sign 1:', 'Lamp shade')",
        "('no results, sign 2:', 'Teapot')",
        "('skipped:', 'Lamp shade 2', 'amount', 0)",
        "('drafts to be deleted:', 2, ['Red Mug', 'Lamp shade 1'])",
        # copies 2 x 20.6 s and 20.6 + 2 s (a page turn), Lamp shade's two pages 8.3 s, Teapot
        # 6.3 s, the drafts 5 + 2 x 3 s
        "('run estimate:', 'about 1 min 29 s', 'copies', 3, 'image wait', 2)",
        "('verdict:', 'not ready: 1 not found (sign 1), 1 without search results (sign 2)')"]
    # The search's own lines are the run's; no copy was opened, so no pause before an editor.
    assert done.output.startswith(PROMPTS + "Red Mug\n1\nLamp\n3\n下一页\nLamp shade\n3\n下一页\nTeapot\n0\n")
    assert [s for s in done.clock.slept if s != 0.6] == [4, 1.5, 4, 1.5, 2, 4, 1.5, 2, 4, 1.5, 5]


def test_the_rehearsal_sample_and_the_exit_status(market, check):
    market.reset(harness.parse_sample()["listings"], page_size=PAGE_SIZE)
    done = check(COMMODITIES, call="check_cli")
    assert done.value == 1
    assert done.lines[-5:-2] == ["('no results, sign 2:', '陶瓷花瓶')", "('not found, sign 1:', '竹编收纳篮')",
                                 "('drafts to be deleted:', 0, [])"]
    every_found = [row for row in COMMODITIES if row[0] not in ("陶瓷花瓶", "竹编收纳篮")]
    done = check(every_found, call="check_cli")
    assert done.value == 0
    assert [line for line in done.lines if line.startswith("('found:'")] == [
        "('found:', '复古黄铜台灯', 'page', 1)", "('found:', 'Vintage Leather Wallet', 'page', 1)",
        "('found:', '竹编收纳篮 三件套', 'page', 1)", "('found:', '手工陶瓷茶壶', 'page', 1)"]
    assert done.lines[-1] == "('verdict:', 'ready: every row a run would work was found, and the pages are as expected')"


class NotFound(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_error(404)

    def log_message(self, *args):
        pass


@pytest.fixture
def other_site():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), NotFound)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()


@pytest.mark.parametrize("fault", ["no search box", "another site", "no Chrome"])
def test_a_page_not_as_a_run_needs_it_is_said_and_nothing_is_found(market, check, other_site, fault):
    market.reset(CATALOGUE, missing=["search_box"] if fault == "no search box" else [])
    origin = other_site if fault == "another site" else None
    port = harness.free_port() if fault == "no Chrome" else None
    done = check([("Red Mug", 1), ("Lamp", 1)], port=port, origin=origin)

    frame = done.value
    [problem] = frame.attrs["problems"]
    expected = {
        "no search box": f"the on-sale page {market.origin}/zh/listings/onsale shows no search box: log in",
        "another site": f"{other_site}/zh/listings/onsale is not the marketplace's on-sale page",
        "no Chrome": f"no Chrome answers at 127.0.0.1:{port}: start Chrome with --remote-debugging-port={port}",
    }[fault]
    assert problem.startswith(expected), problem
    assert frame.attrs["pages"] == {0: None, 1: None} and frame.attrs["drafts"] is None
    assert done.output == PROMPTS + "\n".join([
        f"('not as expected:', {problem!r})", "('rows not checked:', 2)",
        "('verdict:', 'not ready: pages not as expected')"]) + "\n"


def test_the_command_exits_1_and_says_why(market, tmp_path):
    workbook = realrun.write_commodities(tmp_path, [("Red Mug", 1)])
    port = harness.free_port()
    command = os.path.join(os.path.dirname(sys.executable), "vantrel-check")
    done = subprocess.run([command], input=f"{workbook}\n{port}\n", capture_output=True, text=True,
                          timeout=60, env=dict(os.environ, VANTREL_ORIGIN=market.origin), cwd=tmp_path)
    assert (done.returncode, done.stderr) == (1, "")
    assert f"no Chrome answers at 127.0.0.1:{port}" in done.stdout
