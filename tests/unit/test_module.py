"""The module itself: start-up, its globals, argument binding."""

import importlib
import json
import subprocess
import sys

import pytest

FRESH_IMPORT = r"""
import importlib, json, sys, traceback
sys.modules["pandas"] = None  # start-up stops at the pandas line
try:
    import vantrel
except ImportError as exc:
    blocked = [[e.filename, e.lineno, e.name] for e in traceback.extract_tb(exc.__traceback__)][-1]
left_behind = "vantrel" in sys.modules
del sys.modules["pandas"]
import vantrel, datetime, time, pandas, selenium.webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.support.select import Select
bound = [datetime, time, Options, selenium.webdriver, pandas, Select]
print(json.dumps([blocked, left_behind, importlib.import_module("vantrel") is vantrel,
                  [k for k in vars(vantrel) if not k.startswith("__") or k == "__test__"],
                  [v for k, v in vars(vantrel).items() if not k.startswith("__")][:6] == bound,
                  vantrel.__test__, vantrel.main.__code__.co_filename, vantrel.main.__code__.co_firstlineno]))
"""

# What FRESH_IMPORT prints on every supported CPython; tests/matrix runs it on the others.
FRESH_IMPORT_SHOWS = [
    ["vantrel", 12, "init vantrel"], False, True,
    ["datetime", "time", "Options", "webdriver", "pd", "Select", "init", "get_res", "start", "main", "check",
     "check_cli", "resume", "run_cli", "resume_cli", "chrome_cli", "__test__"],
    True, {}, "vantrel", 277]


def test_import_binds_the_globals_and_does_nothing_else(tmp_path):
    done = subprocess.run([sys.executable, "-c", FRESH_IMPORT], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, cwd=tmp_path, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.count("\n") == 1, "importing printed something: " + done.stdout  # no prompt either
    assert json.loads(done.stdout) == FRESH_IMPORT_SHOWS


def test_start_up_runs_once_per_process(vantrel, clock):
    functions = [vantrel.init, vantrel.get_res, vantrel.start, vantrel.main]
    assert importlib.reload(vantrel) is vantrel
    assert vantrel.time is clock and [vantrel.init, vantrel.get_res, vantrel.start, vantrel.main] == functions


# Calls that fail in binding, with their fixed messages; tests/matrix makes them on the other CPythons.
ARGUMENT_ERRORS = [
    ("vantrel.get_res(*range(10))", "get_res() takes exactly 11 positional arguments (10 given)"),
    ("vantrel.get_res(*range(12))", "get_res() takes exactly 11 positional arguments (12 given)"),
    ("vantrel.start()", "start() takes exactly 10 positional arguments (0 given)"),
    ("vantrel.init('u', chrome_port='1')", "init() takes exactly 4 positional arguments (1 given)"),
    ("vantrel.init(start_url='u', domain=1, chrome_port='1')",
     "init() takes exactly 4 positional arguments (2 given)"),
    ("vantrel.init(1, 2, 3, 4, start_url=1)", "init() got multiple values for keyword argument 'start_url'"),
    ("vantrel.init(1, 2, 3, chrome_port=4, port=5)", "init() got an unexpected keyword argument 'port'"),
    ("vantrel.main(1)", "main() takes no arguments (1 given)"),
    ("vantrel.main(x=1)", "main() takes no keyword arguments"),
    ("vantrel.check('book.xlsx')", "check() takes no arguments (1 given)"),
    # The commands' one parameter may be left out, and given by name.
    ("vantrel.run_cli([], [])", "run_cli() takes at most 1 positional argument (2 given)"),
    ("vantrel.chrome_cli(args=[])", "chrome_cli() got an unexpected keyword argument 'args'"),
    ("vantrel.check_cli([], argv=[])", "check_cli() got multiple values for keyword argument 'argv'"),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS)
def test_argument_errors(vantrel, webdriver, call, message):
    with pytest.raises(TypeError) as caught:
        eval(call, {"vantrel": vantrel})
    assert str(caught.value) == message and webdriver.calls == []
