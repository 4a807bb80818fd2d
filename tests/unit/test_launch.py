"""Launch and run control: main's questions, start's run, init's attachment, traceback entries."""

import builtins
import datetime
import os
import shutil
import types
import warnings

import pandas as pd
import pytest
from selenium.common.exceptions import WebDriverException

from fakemarket import FakeWebdriver

from .conftest import ONSALE_URL, entries, typed

PROMPTS = ["commodity.xlsx路径：", "等待图片延迟时间（秒，最小2）：", "谷歌端口号："]


@pytest.mark.parametrize("sheet, columns", [
    ({"name": ["Lamp", "Desk"], "amount": [3, 1]}, ["name", "amount", "added", "sign"]),
    ({"name": ["Lamp", "Desk"], "sign": [1, 2], "amount": [3, 1], "added": [5, 5], "note": ["a", "b"]},
     ["name", "sign", "amount", "added", "note"]),
])
def test_main_hands_start_the_whole_run(vantrel, tmp_path, monkeypatch, capsys, answer, swap, sheet, columns):
    book = tmp_path / "commodity.xlsx"
    pd.DataFrame(sheet).to_excel(book, index=False)
    start = swap("start")
    monkeypatch.setenv("VANTREL_ORIGIN", "http://shop.test:9000/")
    answer(f"  {book} \n 3 \n  9222 \n")
    assert vantrel.main() is None
    assert capsys.readouterr().out == "".join(PROMPTS)
    [(args, kwargs)] = start.calls
    pic_wait, s_date, e_date, df, key_words, res_path, a_list_num, domain, chromedriver, port = args
    assert (kwargs, pic_wait, type(pic_wait), s_date, e_date, a_list_num, domain, chromedriver, port) == (
        {}, 3, int, "20190101", "20210909", 0, "http://shop.test:9000/zh/listings/onsale", "chromedriver", "9222")
    assert res_path == str(tmp_path / "commodity") + "20260108 09-05-03res.xlsx"
    assert list(df.columns) == columns
    assert df[["added", "sign"]].values.tolist() == [[0, 0], [0, 0]]
    assert list(key_words) == ["Lamp", "Desk"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["commodity.xlsx"]


def test_table_writes_warn_nothing_and_land(vantrel, market, tmp_path, answer):
    # pandas 3 takes a table held by too few references for a temporary: chained assignment.
    market.add("Lamp")
    book = tmp_path / "commodity.xlsx"
    pd.DataFrame({"name": ["Lamp", "Ghost"], "amount": [1, 1], "added": 5, "sign": 1}).to_excel(book, index=False)
    answer(f"{book}\n2\n9222\n")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        vantrel.main()
    assert [f"{w.category.__name__}: {w.message}" for w in caught] == []
    result = pd.read_excel(tmp_path / "commodity20260108 09-05-03res.xlsx")
    assert result[["added", "sign"]].values.tolist() == [[1, 0], [0, 2]]  # both reset, then written


def test_start_runs_one_timed_run_then_pauses(vantrel, capsys, now, clock, driver, swap):
    now.at = datetime.datetime(2026, 1, 8, 9, 30, 5)
    get_res = swap("get_res", lambda *args: now.advance(seconds=1956, microseconds=7))
    clock.hooks.append(lambda seconds: now.advance(seconds=seconds))  # the pause is not timed
    table, words, domain = pd.DataFrame(), object(), ONSALE_URL
    given = dict(pic_wait=2, s_date="s", e_date="e", df=table, key_words=words, res_path="r.xlsx",
                 a_list_num=0, domain=domain, chromedriver_path="drv", chrome_port="9222")
    assert vantrel.start(**dict(reversed(given.items()))) is None
    [(args, kwargs)] = get_res.calls
    expected = (2, domain, "s", "e", table, words, "r.xlsx", 0, domain, driver, driver.window_handles)
    assert kwargs == {} and len(args) == 11 and all(a is b for a, b in zip(args, expected))
    assert driver.events == ["open /zh/listings/onsale"]  # init opened the domain it was given
    assert typed(driver.waits) == typed([1, 0.3]) and typed(clock.sleeps) == typed([120])
    assert capsys.readouterr().out.splitlines() == [
        "(datetime.datetime(2026, 1, 8, 9, 30, 5), 'Begin-----------------------')",
        "(datetime.datetime(2026, 1, 8, 10, 2, 41, 7), 'Finish-----------------------共耗时', "
        "datetime.timedelta(seconds=1956, microseconds=7))"]


def test_console_lines_take_the_module_builtins_not_an_exec_hosts(vantrel, capsys, now, clock, driver, swap):
    swap("get_res", lambda *args: None)
    heard = []
    host_builtins = dict(vars(builtins), print=lambda *args, **kwargs: heard.append(args))
    exec("vantrel.start(2, 's', 'e', None, None, 'r.xlsx', 0, domain, 'drv', '9222')",
         {"__builtins__": host_builtins, "vantrel": vantrel, "domain": ONSALE_URL})
    assert heard == [] and len(capsys.readouterr().out.splitlines()) == 2  # begin and finish, as before


def test_init_attaches_to_the_running_browser(vantrel, monkeypatch, driver, webdriver):
    assert vantrel.init(chrome_port=" 09222", chromedriver_path="drv", domain=None, start_url=ONSALE_URL) is driver
    [call] = webdriver.calls
    assert call["path"] == "drv"  # Selenium 3 takes the path positionally, as given
    assert call["options"].calls == [
        ("add_argument", "--no-sandbox"), ("add_argument", "window-size=1920x3000"),
        ("add_argument", "--disable-gpu"), ("add_argument", "--hide-scrollbars"),
        ("add_argument", "blink-settings=imagesEnabled=false"),
        ("add_experimental_option", "debuggerAddress", "127.0.0.1: 09222")]
    assert driver.events == ["open /zh/listings/onsale"] and typed(driver.waits) == typed([1])
    with pytest.raises(TypeError):
        vantrel.init(ONSALE_URL, None, "drv", 9222)  # a port that is not text
    assert len(webdriver.calls) == 1


@pytest.mark.parametrize("given, on_path, service_args", [
    ("chromedriver", True, "found"),      # a bare name: the full path found on PATH
    ("chromedriver", False, ()),          # nowhere on PATH: Selenium's own driver lookup decides
    ("bin/chromedriver", True, ("bin/chromedriver",)),  # a folder part: as given
])
def test_selenium_4_gets_a_service_with_the_driver_found(vantrel, monkeypatch, tmp_path, driver,
                                                          given, on_path, service_args):
    folder = tmp_path / "drivers"
    folder.mkdir()
    if on_path:
        found = folder / ("chromedriver.exe" if os.name == "nt" else "chromedriver")  # PATHEXT on Windows
        found.write_bytes(b"")
        found.chmod(0o755)
        service_args = (str(found),) if service_args == "found" else service_args
    monkeypatch.setenv("PATH", str(folder))
    monkeypatch.chdir(tmp_path)
    webdriver = FakeWebdriver(driver, service=True)
    monkeypatch.setattr(vantrel, "webdriver", webdriver)
    assert vantrel.init(ONSALE_URL, None, given, "9222") is driver
    [call] = webdriver.calls
    # normcase: Windows gives the extension as PATHEXT spells it, and its file names ignore case
    # The driver starts in a session of its own, where the console's Ctrl+C does not reach it.
    assert ([os.path.normcase(arg) for arg in call["service"].args], call["service"].kwargs) == (
        [os.path.normcase(arg) for arg in service_args], {"popen_kw": {"start_new_session": True}})
    assert call["options"].calls[-1] == ("add_experimental_option", "debuggerAddress", "127.0.0.1:9222")


def test_a_service_without_popen_keywords_is_made_as_before(vantrel, monkeypatch, tmp_path, driver):
    made = []

    class OldService:  # a Selenium 4 release before Services passed keywords on to Popen
        def __init__(self, executable_path="chromedriver", port=0):
            made.append(executable_path)

    webdriver = FakeWebdriver(driver, service=True)
    webdriver.chrome.service.Service = OldService
    monkeypatch.setattr(vantrel, "webdriver", webdriver)
    monkeypatch.setenv("PATH", str(tmp_path))
    assert vantrel.init(ONSALE_URL, None, "chromedriver", "9222") is driver and made == ["chromedriver"]


@pytest.mark.parametrize("raised", [ValueError("no signature"), KeyboardInterrupt()])
def test_a_service_whose_signature_cannot_be_read(vantrel, monkeypatch, tmp_path, driver, raised):
    class Unreadable:  # a Service the signature probe cannot read: made as before, or a Ctrl+C ends init
        made = []

        def __call__(self, *args, **kwargs):
            self.made.append((args, kwargs))

        @property
        def __signature__(self):
            raise raised

    webdriver = FakeWebdriver(driver, service=True)
    webdriver.chrome.service.Service = Unreadable()
    monkeypatch.setattr(vantrel, "webdriver", webdriver)
    monkeypatch.setenv("PATH", str(tmp_path))
    if isinstance(raised, KeyboardInterrupt):
        with pytest.raises(KeyboardInterrupt):
            vantrel.init(ONSALE_URL, None, "chromedriver", "9222")
        assert Unreadable.made == [] and webdriver.calls == []
    else:
        assert vantrel.init(ONSALE_URL, None, "chromedriver", "9222") is driver
        assert Unreadable.made == [((), {})]  # no popen keywords for a Service that may not take them


def windows_which(cmd, mode=None, path=None):
    """shutil.which as CPython finds programs on Windows: the working folder before PATH."""
    for folder in [os.curdir] + os.environ["PATH"].split(os.pathsep):
        for name in [cmd] + [cmd + ext for ext in os.environ["PATHEXT"].split(os.pathsep)]:
            if os.path.isfile(os.path.join(folder, name)):
                return os.path.join(folder, name)
    return None


@pytest.fixture
def windows(vantrel, monkeypatch, tmp_path, driver):
    """This process as Windows would run it: a working folder with a planted chromedriver.exe, an
    empty folder and a drivers folder on PATH, and the module's webdriver taking note of init."""
    empty, drivers = tmp_path / "empty", tmp_path / "drivers"
    for folder in (empty, drivers):
        folder.mkdir()
    (tmp_path / "chromedriver.exe").write_bytes(b"planted")
    monkeypatch.setattr(os, "name", "nt")
    monkeypatch.setattr(os, "pathsep", ";")
    monkeypatch.setattr(shutil, "which", windows_which)
    monkeypatch.setenv("PATH", f";{empty};{drivers}")
    monkeypatch.setenv("PATHEXT", ".COM;.exe")  # Windows matches case-insensitively; this file system does not
    monkeypatch.chdir(tmp_path)
    webdriver = FakeWebdriver(driver, service=True)
    monkeypatch.setattr(vantrel, "webdriver", webdriver)

    def service_for(given):
        vantrel.init(ONSALE_URL, None, given, "9222")
        return webdriver.calls[-1]["service"].args

    return types.SimpleNamespace(drivers=drivers, service_for=service_for,
                                 service_kwargs=lambda: webdriver.calls[-1]["service"].kwargs)


@pytest.mark.parametrize("given", ["chromedriver.exe", "chromedriver"])
@pytest.mark.parametrize("on_path", [True, False])
def test_windows_never_runs_a_driver_planted_in_the_working_folder(windows, given, on_path):
    if on_path:
        (windows.drivers / "chromedriver.exe").write_bytes(b"")
    assert windows_which(given) == os.path.join(os.curdir, "chromedriver.exe")  # what the fake rule would run
    assert windows.service_for(given) == ((str(windows.drivers / "chromedriver.exe"),) if on_path else ())
    # A process group of its own, where the console's Ctrl+C is disabled (CREATE_NEW_PROCESS_GROUP).
    assert windows.service_kwargs() == {"popen_kw": {"creation_flags": 0x200}}


@pytest.mark.parametrize("file, given, environment", [
    ("chromedriver.EXE", "chromedriver", {"PATHEXT": None}),  # Windows' own list when none is set
    ("chromedriver.EXE", "chromedriver", {"PATHEXT": ""}),
    ("ChromeDriver.EXE", "ChromeDriver.EXE", {}),  # an extension of PATHEXT's in another case: as given
    ("chromedriver.exe", "chromedriver", {"PATH": None}),  # no PATH: the driver manager's turn
])
def test_windows_lookup_follows_path_and_pathext_as_set(windows, monkeypatch, file, given, environment):
    (windows.drivers / file).write_bytes(b"")
    for name, value in environment.items():
        if value is None:
            monkeypatch.delenv(name)
        else:
            monkeypatch.setenv(name, value)
    found = () if "PATH" in environment else (str(windows.drivers / file),)
    assert windows.service_for(given) == found


def test_traceback_entries_name_function_and_step(vantrel, capsys, market, workflow, answer, swap, tmp_path):
    market.fail[ONSALE_URL] = WebDriverException("no browser at that address")
    with pytest.raises(WebDriverException) as caught:
        vantrel.start(2, "s", "e", None, None, "r.xlsx", 0, ONSALE_URL, "drv", "9222")
    [(start, start_line), (init, init_line)] = entries(caught)
    assert (start, init) == ("vantrel.start", "vantrel.init")
    assert (start_line, init_line) == (207, 28)  # start's call of init; init's opening of the address
    assert capsys.readouterr().out.count("\n") == 1  # the begin line alone

    market.fail[market.origin + "/zh/listings/draft"] = WebDriverException("lost")
    with pytest.raises(WebDriverException) as caught:
        workflow.run(workflow.table())
    [(name, line)] = entries(caught)
    assert (name, line) == ("vantrel.get_res", 143)  # the draft page that does not open

    book = tmp_path / "c.xlsx"
    pd.DataFrame({"name": ["x"], "amount": [1]}).to_excel(book, index=False)
    swap("start", lambda *args: 1 / 0)
    answer(f"{book}\n2\n9222\n")
    with pytest.raises(ZeroDivisionError) as caught:
        vantrel.main()
    assert entries(caught) == [("vantrel.main", 304)]
