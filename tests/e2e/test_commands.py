"""The console commands as a scheduler starts them: every answer an argument, standard input
closed; a wrong argument; the window's title in a real terminal."""

import os
import re
import shutil
import subprocess
import sys
import time

import pytest

import realrun

CATALOGUE = [{"title": "Blue Mug", "images": 1}, {"title": "Red Mug", "images": 1}]
ROWS = [("Blue Mug", 2), ("Teapot", 1), ("Red Mug", 1)]


@pytest.fixture(autouse=True)
def mugs(market):
    market.reset(CATALOGUE)
SUMMARY = ("('run summary:', 'copies published', 3, 'rows done', 2, 'not found (sign 1)', 0, "
           "'no results (sign 2)', 1, 'unfinished', 0, 'took', ")


def test_a_run_from_arguments_alone_as_a_scheduler_starts_it(vantrel, market, run_vantrel, tmp_path, monkeypatch):
    log = tmp_path / "run.log"

    def command(workbook, port):
        os.environ["VANTREL_ORIGIN"] = "http://127.0.0.1:9"  # the argument wins over it
        return vantrel.run_cli([workbook, "--image-wait", "0", "--port", str(port), "--origin", market.origin,
                                "--log", str(log), "--no-pause"])

    run = run_vantrel(ROWS, command=command)

    assert run.value == 0
    assert market.copies() == {"Blue Mug": 2, "Red Mug": 1}
    assert "路径" not in run.output and "端口" not in run.output  # nothing asked
    lines = run.output.splitlines()
    finish = next(i for i, line in enumerate(lines) if "Finish-----" in line)
    # The summary comes right after the finish line, and there is no closing pause.
    assert lines[finish + 1].startswith(SUMMARY), lines[finish:]
    assert lines[finish + 1].endswith(f"'result workbook', {str(next(tmp_path.glob('*res.xlsx')))!r})")
    assert 120 not in run.clock.slept
    logged = log.read_text(encoding="utf-8")
    assert "run summary: copies published 3, rows done 2, not found (sign 1) 0, no results (sign 2) 1, " \
           "unfinished 0, took " in logged

    # The resume of a finished run finds nothing to do and says so the same way.
    resumed = run_vantrel(ROWS, command=lambda workbook, port: vantrel.resume_cli(
        [str(next(tmp_path.glob("*res.xlsx"))), "--image-wait=0", f"--port={port}", "--no-pause"]))
    assert resumed.value == 0 and market.copies() == {"Blue Mug": 2, "Red Mug": 1}
    assert "('run summary:', 'copies published', 0, 'rows done', 2, " in resumed.output


@pytest.mark.parametrize("entry, argv", [
    ("run_cli", ["--port", "92x2"]),
    ("run_cli", ["--image-wait", "-1"]),
    ("resume_cli", ["--image-wait", "two"]),
    ("check_cli", ["--pause"]),
])
def test_a_wrong_argument_exits_2_and_touches_nothing(vantrel, market, chromium, tmp_path, monkeypatch, capsys,
                                                      entry, argv):
    workbook = realrun.write_commodities(tmp_path, ROWS)
    before = (market.state(), sorted(os.listdir(tmp_path)))
    stdin = realrun.io.StringIO("typed\n")
    monkeypatch.setattr(sys, "stdin", stdin)
    monkeypatch.setenv("VANTREL_LOG", str(tmp_path / "run.log"))
    assert getattr(vantrel, entry)([workbook, "--port", str(chromium.ensure())] + argv) == 2
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("usage: vantrel") and "error: " in err
    assert stdin.tell() == 0  # nothing read
    assert (market.state(), sorted(os.listdir(tmp_path))) == before  # nothing attached or written


TITLE_RUN = """
import sys
sys.path[:0] = [{root!r}]
import vantrel
from standin import harness
vantrel.time = harness.ScaledTime(0.05)
sys.exit(vantrel.run_cli(sys.argv[1:]))
"""


@pytest.mark.skipif(shutil.which("tmux") is None, reason="tmux is not installed (scripts/setup installs it)")
def test_the_title_in_a_real_terminal_shows_progress_then_the_end(market, chromium, tmp_path):
    workbook = realrun.write_commodities(tmp_path, [("Blue Mug", 2), ("Red Mug", 1)])
    script = tmp_path / "run.py"
    script.write_text(TITLE_RUN.format(root=realrun.ROOT), encoding="utf-8")
    socket = f"vantrel-test-{os.getpid()}"
    tmux = ["tmux", "-L", socket]
    # Standard output is the terminal: the title goes there, and the run's lines stay readable.
    command = " ".join([sys.executable, str(script), workbook, "--image-wait", "0", "--port", str(chromium.ensure()),
                        "--origin", market.origin, "--no-pause", ";", "echo", "$?", ">", str(tmp_path / "status")])
    titles = []
    subprocess.run(tmux + ["new-session", "-d", "-s", "run", "-x", "160", "-y", "40", "-c", str(tmp_path),
                           f"bash -c {command!r}; sleep 60"], check=True)
    try:
        deadline = time.monotonic() + 120
        while not (tmp_path / "status").exists() and time.monotonic() < deadline:
            shown = subprocess.run(tmux + ["display-message", "-p", "-t", "run", "#{pane_title}"],
                                   capture_output=True, text=True).stdout.strip()
            if not titles or titles[-1] != shown:
                titles.append(shown)
            time.sleep(0.05)
        time.sleep(0.3)
        titles.append(subprocess.run(tmux + ["display-message", "-p", "-t", "run", "#{pane_title}"],
                                     capture_output=True, text=True).stdout.strip())
        screen = subprocess.run(tmux + ["capture-pane", "-p", "-J", "-t", "run", "-S", "-"],
                                capture_output=True, text=True).stdout
    finally:
        subprocess.run(tmux + ["kill-server"], capture_output=True)
    assert (tmp_path / "status").read_text().strip() == "0", screen
    # Before the first copy the time left comes off the stages' sleeps: three copies of 18.6 s,
    # 5 s for the drafts.
    assert "vantrel 0/3 copies · Blue Mug · about 1 min 1 s left" in titles, titles
    assert any(re.fullmatch(r"vantrel 1/3 copies · (Blue|Red) Mug · about \d+ s left", t) for t in titles), titles
    assert titles[-1] == "vantrel finished · 3/3 copies", titles
    assert "('run summary:', 'copies published', 3," in screen
