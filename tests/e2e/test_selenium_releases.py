"""What Selenium's releases change for a real run: which ChromeDriver runs (Selenium Manager and its
cache, SE_CHROMEDRIVER) and how a hidden visibility select fails a row. Each test holds on every
Selenium the suite runs on; where a release's behaviour differs, the test says which family it
expects.

The driver that serves a run is read off the running processes: the ChromeDriver whose executable
is the file the test laid out.
"""

import glob
import importlib.metadata
import logging
import os
import re
import shutil
import subprocess
import time

import pytest
import selenium
from selenium.webdriver.common.service import Service

ROWS = [("Red Mug", 1)]
CATALOGUE = [{"title": "Red Mug", "images": 1}, {"title": "Blue Mug", "images": 1}]
README = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                      "README.md")


def selenium_release():
    try:
        text = importlib.metadata.version("selenium")
    except importlib.metadata.PackageNotFoundError:
        text = selenium.__version__
    return tuple(int(part) for part in re.findall(r"\d+", text)[:2])


def machine_driver():
    found = shutil.which("chromedriver")
    if not found:
        pytest.skip("no chromedriver on PATH")
    return os.path.realpath(found)


def driver_version(path):
    out = subprocess.run([path, "--version"], capture_output=True, text=True, check=True).stdout
    return out.split()[1]


def running_drivers():
    """The executables, by process id, of the ChromeDrivers that this process started and that run
    now (others of the machine's are not the run's)."""
    found = {}
    for proc in glob.glob("/proc/[0-9]*"):
        try:
            target = os.readlink(f"{proc}/exe")
            with open(f"{proc}/stat") as stat:
                parent = int(stat.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        if parent == os.getpid() and os.path.basename(target).startswith("chromedriver"):
            found[int(os.path.basename(proc))] = target
    return found


def drivers_seen(seen):
    """A run's hook that notes the drivers started since it was made (the module leaves those of
    earlier runs running)."""
    before = running_drivers()

    def hook(seconds, count):
        if count == 1:
            seen.update(exe for pid, exe in running_drivers().items() if pid not in before)
    return hook


@pytest.fixture
def no_driver_on_path(tmp_path, monkeypatch):
    """PATH as it is, but for chromedriver: a folder of links to every other program on it. Gives
    the machine's ChromeDriver."""
    driver = machine_driver()
    folder = tmp_path / "path"
    folder.mkdir()
    for place in os.environ["PATH"].split(os.pathsep):
        for program in glob.glob(os.path.join(place, "*")):
            name = os.path.basename(program)
            if name != "chromedriver" and not (folder / name).exists():
                (folder / name).symlink_to(program)
    monkeypatch.setenv("PATH", str(folder))
    return driver


def selenium_manager():
    folder = os.path.join(os.path.dirname(selenium.__file__), "webdriver", "common")
    if not glob.glob(os.path.join(folder, "*", "selenium-manager")):
        pytest.skip(f"Selenium {selenium.__version__} ships no Selenium Manager (Debian's package)")


@pytest.fixture
def offline_manager(tmp_path, monkeypatch):
    """Selenium Manager offline, with a cache of its own (empty until a test fills it)."""
    selenium_manager()
    cache = tmp_path / "selenium-cache"
    cache.mkdir()
    monkeypatch.setenv("SE_CACHE_PATH", str(cache))
    monkeypatch.setenv("SE_OFFLINE", "true")
    return cache


class TestSeleniumManager:
    def test_offline_its_cached_driver_attaches_and_the_console_shows_only_the_run(
            self, market, run_vantrel, no_driver_on_path, offline_manager, monkeypatch):
        # Laid out as Selenium Manager leaves a driver it downloaded: cache/chromedriver/linux64/VERSION/.
        source = no_driver_on_path
        version = driver_version(source)
        cached = offline_manager / "chromedriver" / "linux64" / version / "chromedriver"
        cached.parent.mkdir(parents=True)
        shutil.copy2(source, cached)
        market.reset(CATALOGUE)
        seen = set()
        run = run_vantrel(ROWS, hook=drivers_seen(seen))
        assert str(cached) in seen, seen
        assert market.copies() == dict(ROWS) == run.column("added")
        assert run.complaints == []
        assert not [line for line in run.output.splitlines() if re.search(r"(?i)selenium|driver|warn", line)]

    def test_with_no_driver_anywhere_the_run_stops_at_once_naming_the_driver(
            self, market, run_vantrel, no_driver_on_path, offline_manager, caplog):
        market.reset(CATALOGUE)
        started = time.monotonic()
        with pytest.raises(Exception) as stopped:
            run_vantrel(ROWS)
        assert time.monotonic() - started < 30
        assert type(stopped.value).__name__ == "NoSuchDriverException"
        assert "Unable to obtain driver for chrome" in str(stopped.value)
        assert market.state()["stats"]["copies"] == 0
        # Selenium Manager's own word, on the logger Selenium writes it to: without a handler of the
        # host's, logging's last resort prints it on the console beside the error.
        assert [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING and
                r.name.startswith("selenium")] == ["Unable to discover proper chromedriver version in offline mode"]


def test_se_chromedriver_decides_the_driver_where_selenium_reads_it(market, run_vantrel, tmp_path, monkeypatch):
    # Selenium 4.26 and later take the variable over the path the module hands its Service.
    on_path = machine_driver()
    named = tmp_path / "named" / "chromedriver"
    named.parent.mkdir()
    shutil.copy2(on_path, named)
    monkeypatch.setenv("SE_CHROMEDRIVER", str(named))
    market.reset(CATALOGUE)
    seen = set()
    run = run_vantrel(ROWS, hook=drivers_seen(seen))
    assert market.copies() == dict(ROWS) == run.column("added")
    reads_variable = hasattr(Service, "env_path")
    assert reads_variable == (selenium_release() >= (4, 26))
    assert (str(named) if reads_variable else on_path) in seen, seen
    assert (on_path if reads_variable else str(named)) not in seen, seen


class DroppedAttempts(logging.Handler):
    def __init__(self):
        super().__init__(logging.INFO)
        self.lines = []

    def emit(self, record):
        if "attempt dropped" in record.getMessage():
            self.lines.append(record.getMessage())


# Selenium 4.32 and later refuse an option that is not displayed themselves, with three more driver
# calls per option; earlier releases choose it all the same. Neither looks at the select, whose
# options stay displayed when it is hidden: there the driver refuses the click on every release.
NOT_INTERACTABLE = "ElementNotInteractableException: Message: element not interactable"
HIDDEN = {  # knob: (the error before 4.32, from 4.32 on); None: chosen, no attempt dropped
    "hidden_select": (NOT_INTERACTABLE, NOT_INTERACTABLE),
    "hidden_option": (None, "NoSuchElementException: Message: Invisible option with text: 不公开"),
}


@pytest.mark.parametrize("knob", HIDDEN)
def test_a_hidden_visibility_choice_drops_the_attempt_with_an_error_the_log_names(market, run_vantrel, knob):
    expected = HIDDEN[knob][selenium_release() >= (4, 32)]
    market.reset(CATALOGUE, **{knob: True})
    dropped = DroppedAttempts()

    def show_after_two(seconds, count):
        if len(dropped.lines) >= 2:
            market.set_knobs(**{knob: False})

    logger = logging.getLogger("vantrel")
    logger.addHandler(dropped)
    level = logger.level
    logger.setLevel(logging.INFO)
    try:
        run = run_vantrel(ROWS, hook=show_after_two)
    finally:
        logger.removeHandler(dropped)
        logger.setLevel(level)
    assert market.copies() == dict(ROWS) == run.column("added")
    if expected is None:
        assert dropped.lines == []
        return
    assert len(dropped.lines) >= 2
    assert all("attempt dropped at line 125: " + expected in line for line in dropped.lines), dropped.lines
    # The run log's table gives advice for either error.
    with open(README, encoding="utf-8") as readme:
        row = next(line for line in readme if line.startswith("| `ElementNotInteractableException"))
    assert "ElementNotInteractableException" in row and "Invisible option with text" in row
