"""A marketplace that logs the seller out in the middle of a run: the run waits for the login
instead of spinning, a publish that met the login page is asked about, and a failed attempt keeps
what the page showed. Real Chromium against the stand-in, whose login wall sends every seller page
to /zh/login."""

import io
import os
import stat
import sys
import time

import pytest

CATALOGUE = [{"title": "Blue Mug", "images": 1}, {"title": "Red Mug", "images": 1}]
ROWS = [("Blue Mug", 2), ("Red Mug", 1)]
LOST = "('登录已失效，请在浏览器中重新登录:', '{origin}/zh/login')"


@pytest.fixture(autouse=True)
def mugs(market):
    market.reset(CATALOGUE)


def arguments(workbook, port, market, *extra):
    return [workbook, "--image-wait", "0", "--port", str(port), "--origin", market.origin, "--no-pause", *extra]


class Wall:
    """Raises the login wall at the first publish: `before_click` at the sleep before its click,
    else at the sleep after it, once the copy is on the marketplace. Lifts it before the
    `lift_at`th of the run's 30-second sleeps (never when None)."""

    def __init__(self, market, before_click=False, lift_at=2):
        self.market, self.before_click, self.lift_at = market, before_click, lift_at
        self.previous, self.polls, self.raised = None, 0, False

    def __call__(self, seconds, count):
        # The editor's last sleeps: 1 s, then 0.5 s before the publish click, then 4 s after it.
        at_click = (self.previous, seconds) == ((1, 0.5) if self.before_click else (0.5, 4))
        self.previous = seconds
        if at_click and not self.raised:
            deadline = time.monotonic() + 5
            while not self.before_click and not self.market.copies() and time.monotonic() < deadline:
                time.sleep(0.05)  # the publish lands before the wall goes up
            self.market.set_knobs(login_wall=True)
            self.raised = True
        if seconds == 30:
            self.polls += 1
            if self.polls == self.lift_at:
                self.market.set_knobs(login_wall=False)


def test_a_login_lost_after_a_publish_is_waited_out(vantrel, market, run_vantrel):
    wall = Wall(market, lift_at=2)
    run = run_vantrel(ROWS, hook=wall)

    assert market.copies() == dict(ROWS) and run.column("added") == dict(ROWS)
    assert set(run.column("sign").values()) == {0}  # no row marked
    lost = LOST.format(origin=market.origin)
    waited = run.output.split(lost + "\n\a")[1].split("('已重新登录，继续:', 'Red Mug')")[0]
    assert waited == ""  # no row tried, no plan line while it waits
    # The on-sale page opened once as the row began, then once per 30 s of the run's own clock.
    assert run.clock.slept.count(30) == 2 and market.state()["stats"]["walled"] == 2


@pytest.mark.parametrize("typed", ["n\n", "y\n", None])
def test_a_publish_that_met_the_login_page_is_asked_about(vantrel, market, run_vantrel, tmp_path, typed):
    def command(workbook, port):
        sys.stdin = io.StringIO(typed or "")  # None: closed, as a scheduler starts it
        return vantrel.run_cli(arguments(workbook, port, market))

    run = run_vantrel(ROWS, hook=Wall(market, before_click=True, lift_at=1), command=command)
    # The click was turned away to the login page: nothing went out. "y" counts it all the same,
    # as the operator says so; "n" has it made again.
    result = next(tmp_path.glob("*res.xlsx"))
    trace = tmp_path / f".{result.name}.in-flight.json"
    assert "('发布未确认:', 'Blue Mug')" in run.output
    if typed is None:
        assert run.value == 1 and trace.exists() and market.copies() == {}
        events = [line.split('"event": "')[1].split('"')[0] for line in trace.read_text().splitlines()]
        assert events == ["click", "outcome unknown"]
        # The resume asks again, its tab no evidence, and finishes.
        resumed = run_vantrel(ROWS, command=lambda workbook, port: (
            setattr(sys, "stdin", io.StringIO("n\n")),
            vantrel.resume_cli([str(result), "--image-wait", "0", "--port", str(port), "--origin", market.origin,
                                "--no-pause"]))[1])
        assert resumed.value == 0 and market.copies() == dict(ROWS)
    else:
        assert run.value == 0 and not trace.exists()
        assert market.copies() == {"Blue Mug": 1 if typed == "y\n" else 2, "Red Mug": 1}
        assert run.column("added") == dict(ROWS)


def test_a_login_never_restored_ends_within_its_bound_and_a_resume_finishes(vantrel, market, run_vantrel,
                                                                           tmp_path, capsys):
    run = run_vantrel(ROWS, hook=Wall(market, lift_at=None), command=lambda workbook, port: vantrel.run_cli(
        arguments(workbook, port, market, "--login-wait", "1.5")))
    assert run.value == 1 and run.clock.slept.count(30) == 3  # 1.5 min: three looks
    result = next(tmp_path.glob("*res.xlsx"))
    assert run.column("added") == {"Blue Mug": 1, "Red Mug": 0}  # the record whole
    assert "('run summary:', 'copies published', 1," in run.output

    market.set_knobs(login_wall=False)
    resumed = run_vantrel(ROWS, command=lambda workbook, port: vantrel.resume_cli(
        [str(result), "--image-wait", "0", "--port", str(port), "--origin", market.origin, "--no-pause"]))
    assert resumed.value == 0 and market.copies() == dict(ROWS)


@pytest.mark.parametrize("logged", [True, False])
def test_a_row_left_early_keeps_its_page_beside_the_log(vantrel, market, run_vantrel, tmp_path, logged):
    market.reset(CATALOGUE, missing=["checkbox"])
    log = tmp_path / "logs" / "run.log"
    log.parent.mkdir()

    searches = []

    def mend(seconds, count):
        if seconds == 1.5:
            searches.append(count)
            if len(searches) == 2:  # the second attempt's search: the first one failed
                market.set_knobs(missing=[])

    extra = ["--log", str(log)] if logged else []
    run = run_vantrel(ROWS, hook=mend, command=lambda workbook, port: vantrel.run_cli(
        arguments(workbook, port, market, "--rest", "2,0.25", *extra)))
    assert run.value == 0 and market.copies() == dict(ROWS)
    # A rest after the second copy, none after the third and last.
    assert run.clock.slept.count(15) == 1 and run.output.count("('休息:', 0.25, '分钟')") == 1
    pages = tmp_path / "logs" / "run.log.pages"
    if not logged:
        assert not pages.exists() and not list(tmp_path.rglob("*.png"))
        return
    kept = sorted(p.name for p in pages.iterdir())
    assert len(kept) == 2 and kept[0].endswith("-row0.html") and kept[1].endswith("-row0.png")
    assert (pages / kept[1]).read_bytes().startswith(b"\x89PNG") and "Blue Mug" in (pages / kept[0]).read_text()
    assert stat.S_IMODE(os.stat(pages).st_mode) == 0o700
    dropped = [line for line in log.read_text(encoding="utf-8").splitlines() if "attempt dropped" in line]
    assert len(dropped) == 1 and dropped[0].endswith(f"page kept: {pages / kept[1]} and {kept[0]}")
