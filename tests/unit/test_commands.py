"""The console commands against the fake market: the exit status and the summary however a run
ends, the closing pause, and the window's title, which only a terminal gets."""

import io
import os
import signal
import sys

import pandas as pd
import pytest

from .conftest import ONSALE_URL


@pytest.fixture(autouse=True)
def console_ctrl_c():
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.fixture
def command(vantrel, tmp_path, monkeypatch):
    """command(rows, *extra) -> status: `vantrel` with every answer an argument, input closed."""
    def run(rows, *extra, entry="run_cli"):
        book = tmp_path / "commodity.xlsx"
        pd.DataFrame(rows, columns=["name", "amount"]).to_excel(book, index=False)
        monkeypatch.setattr(sys, "stdin", io.StringIO(""))
        monkeypatch.chdir(tmp_path)
        return getattr(vantrel, entry)([str(book), "--image-wait", "2", "--port", "9222", *extra])
    return run


def summary(capsys):
    out, err = capsys.readouterr()
    lines = [line for line in out.splitlines() if line.startswith("('run summary:'")]
    assert len(lines) == 1, out
    return lines[0].split(", 'took', ")[0], out, err


@pytest.mark.parametrize("ending, status, counts", [
    ("finished", 0, "'copies published', 2, 'rows done', 2, 'not found (sign 1)', 0, 'no results (sign 2)', 1, "
                    "'unfinished', 0"),
    # Ctrl+C twice within 5 s, in Ghost's row and Desk's: the run stops before the next row.
    ("stopped", 130, "'copies published', 1, 'rows done', 1, 'not found (sign 1)', 0, 'no results (sign 2)', 0, "
                     "'unfinished', 2"),
    # Chrome lost at the draft cleanup, after every copy.
    ("failed", 1, "'copies published', 2, 'rows done', 2, 'not found (sign 1)', 0, 'no results (sign 2)', 1, "
                  "'unfinished', 0"),
])
def test_the_status_and_summary_however_the_run_ends(market, driver, clock, command, capsys, ending, status, counts):
    market.add("Lamp"), market.add("Desk")
    searches = []

    def hook(seconds):
        if seconds == 1.5:
            searches.append(driver.events[-1])
            if ending == "stopped" and len(searches) in (2, 3):
                os.kill(os.getpid(), signal.SIGINT)
        if ending == "failed" and seconds == 5 and driver.events[-1].startswith("open /zh/listings/draft"):
            raise RuntimeError("Chrome is gone")
    clock.hooks.append(hook)
    assert command([("Lamp", 1), ("Ghost", 1), ("Desk", 1)]) == status
    said, out, err = summary(capsys)
    assert said == "('run summary:', " + counts
    lines = out.splitlines()
    if ending == "finished":  # right after the finish line
        assert "Finish-----" in lines[lines.index(said + lines[-1].split(said)[1]) - 1]
    assert ("Traceback (most recent call last):" in err and "RuntimeError: Chrome is gone" in err) == (status == 1)
    assert "\x1b" not in out  # output that is not a terminal gets no title
    assert (clock.sleeps[-1] == 120) == (ending == "finished")  # the closing pause only after the finish line


def test_no_pause_and_arguments_that_win_over_the_environment(vantrel, market, clock, command, capsys, tmp_path,
                                                              monkeypatch):
    market.add("Lamp")
    monkeypatch.setenv("VANTREL_LOG", str(tmp_path / "elsewhere.log"))
    assert command([("Lamp", 1)], "--no-pause", "--log", str(tmp_path / "run.log"),
                   "--origin", ONSALE_URL.split("/zh/")[0]) == 0
    assert 120 not in clock.sleeps and len(market.published) == 1
    assert "run summary: copies published 1, rows done 1" in (tmp_path / "run.log").read_text(encoding="utf-8")
    assert not (tmp_path / "elsewhere.log").exists() and os.environ["VANTREL_LOG"].endswith("elsewhere.log")


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_a_terminal_gets_the_title_without_the_row_s_control_characters(market, workflow, monkeypatch):
    name = "Lamp\x07\x1b]0;owned"  # a table a host hands over may hold anything
    market.add(name)
    terminal = Terminal()
    monkeypatch.setattr(sys, "stdout", terminal)
    workflow.run(workflow.table((name, 2)))
    # The row's own line prints the title as it is; the window's title never holds its controls.
    titles = [t.split("\x07")[0] for t in terminal.getvalue().split("\x1b]0;") if t.startswith("vantrel ")]
    assert titles[0] == "vantrel 0/2 copies · Lamp  ]0;owned · about 46 s left"  # 2 x (18.6 + 2) + 5
    assert titles[1].startswith("vantrel 1/2 copies · Lamp  ]0;owned · about ")
    assert titles[-1] == "vantrel finished · 2/2 copies"


@pytest.mark.parametrize("extra, status", [
    (["--rest", "1,1.5"], 0),           # decimals of a minute: 90 s after the first copy, none after the last
    (["--rest", "1"], 2),               # no minutes
    (["--rest", "0,5"], 2),             # a rest after every 0 copies
    (["--login-wait", "soon"], 2),
])
def test_settings_given_as_arguments_are_read_as_the_run_reads_them(vantrel, market, clock, command, capsys,
                                                                    extra, status):
    market.add("Lamp")
    assert vantrel.run_cli.__defaults__ == (None,)
    assert command([("Lamp", 2)], "--no-pause", *extra) == status
    out, err = capsys.readouterr()
    if status == 2:
        assert "usage: vantrel" in err and clock.sleeps == [] and len(market.published) == 0
        return
    assert clock.sleeps.count(90) == 1 and out.count("('休息:', 1.5, '分钟')") == 1 and len(market.published) == 2
