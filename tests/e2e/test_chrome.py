"""vantrel-chrome with real Chromium: started with its port and a profile of its own, a second start
that finds it running, a Chrome that is not where --chrome says, and the Windows look-up of an
installation for all users and for one user, with faked folders."""

import json
import os
import shutil
import subprocess
import urllib.request  # imported before os.name is faked: it picks its proxy look-up at import

import pytest

from standin import harness

CI_CHROME = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--no-first-run"]
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
pytestmark = pytest.mark.skipif(CHROMIUM is None, reason="no chromium on the PATH")


@pytest.fixture
def started(tmp_path):
    """Profiles used; every Chrome started on them is ended afterwards."""
    profiles = []
    yield profiles
    for profile in profiles:
        subprocess.run(["pkill", "-f", f"user-data-dir={profile}"], check=False)


def pages(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=5) as answer:
        return [page["url"] for page in json.load(answer)]


def test_started_answers_then_a_second_start_finds_it_running(vantrel, market, tmp_path, started, capsys):
    port, profile = harness.free_port(), str(tmp_path / "profile")
    started.append(profile)
    assert vantrel.chrome_cli(["--port", str(port), "--profile", profile, "--origin", market.origin,
                               "--", *CI_CHROME]) == 0
    assert capsys.readouterr().out.splitlines()[0] == f"('Chrome started:', {CHROMIUM!r}, 'port', {port}, " \
                                                      f"'profile', {profile!r})"
    assert f"{market.origin}/zh/listings/onsale" in pages(port)  # the on-sale page, in that window
    assert os.path.isdir(profile)

    assert vantrel.chrome_cli(["--port", str(port), "--profile", str(tmp_path / "other")]) == 0
    assert capsys.readouterr().out.startswith(f"('Chrome is running already:', 'port', {port}, 'next:', ")
    assert not (tmp_path / "other").exists()  # nothing started


def test_a_chrome_that_is_not_there_is_a_clear_error(vantrel, tmp_path, capsys):
    missing = str(tmp_path / "Chrome" / "chrome.exe")
    assert vantrel.chrome_cli(["--chrome", missing, "--port", str(harness.free_port())]) == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: vantrel-chrome") and f"error: no Chrome at {missing!r}" in err


@pytest.mark.parametrize("installed", ["for all users", "for one user"])
def test_the_windows_look_up(vantrel, tmp_path, monkeypatch, started, installed):
    folders = {name: tmp_path / name for name in ("ProgramFiles", "ProgramFiles(x86)", "LOCALAPPDATA")}
    where = folders["ProgramFiles" if installed == "for all users" else "LOCALAPPDATA"]
    # The path Windows would have, as one name: a file of this system's own.
    chrome = where / "Google\\Chrome\\Application\\chrome.exe"
    where.mkdir()
    chrome.write_text(f'#!/bin/sh\nprintf "%s\\n" "$0" > {tmp_path / "ran"}\nexec {CHROMIUM} "$@"\n')
    chrome.chmod(0o755)
    for name, folder in folders.items():
        monkeypatch.setenv(name, str(folder))
    port, profile = harness.free_port(), str(tmp_path / "profile")
    started.append(profile)
    monkeypatch.setattr(os, "name", "nt")
    try:
        status = vantrel.chrome_cli(["--port", str(port), "--profile", profile, "--", *CI_CHROME])
    finally:
        monkeypatch.undo()
    assert status == 0 and (tmp_path / "ran").read_text().strip() == str(chrome)
