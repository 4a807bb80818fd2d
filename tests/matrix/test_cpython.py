"""The module built for CPython 3.8, 3.12 and 3.13 (pyenv's) starts up, binds its arguments and
names its traceback entries as it does on Debian's 3.11, which runs the same checks here too.

Those interpreters have neither pytest nor pandas nor Selenium: the checks run there as scripts
(unit.test_module's FRESH_IMPORT, and startup_check.py) with stand-ins for what start-up
imports (standins/). A build is reused while meson.build and src/ are unchanged.
"""

import json
import os
import re
import subprocess
import sys

import pytest

from unit.test_module import ARGUMENT_ERRORS, FRESH_IMPORT, FRESH_IMPORT_SHOWS

from .conftest import MATRIX, ROOT

STANDINS = os.path.join(MATRIX, "standins")
OTHERS = ["3.8", "3.12", "3.13"]

SIGNATURES = {
    "init": "(start_url, domain, chromedriver_path, chrome_port)",
    "get_res": "(pic_wait, start_url, s_date, e_date, df, key_words, res_path, a_list_num, domain, driver, "
               "handles)",
    "start": "(pic_wait, s_date, e_date, df, key_words, res_path, a_list_num, domain, chromedriver_path, "
             "chrome_port)",
    "main": "()",
}

PROMPTS = "commodity.xlsx路径：等待图片延迟时间（秒，最小2）："
BEGIN = r"\(datetime\.datetime\([\d, ]+\), 'Begin-+'\)\n"

# (exception, message, the module's entries as (file, function, line)), and what was printed.
TRACEBACKS = {
    "init, a port that is not text": (
        ["TypeError", 'can only concatenate str (not "int") to str', [["vantrel", "vantrel.init", 25]]], ""),
    "start, no browser": (
        ["NoBrowser", "no browser at that address",
         [["vantrel", "vantrel.start", 207], ["vantrel", "vantrel.init", 27]]], BEGIN),
    "main, an image delay that is not a number": (
        ["ValueError", "invalid literal for int() with base 10: 'soon'", [["vantrel", "vantrel.main", 280]]],
        re.escape(PROMPTS)),
    "get_res, no table": (
        ["TypeError", "'NoneType' object is not subscriptable", [["vantrel", "vantrel.get_res", 43]]], ""),
}


@pytest.fixture(scope="module", params=["3.11"] + OTHERS)
def interpreter(request):
    """(python, its PYTHONPATH): 3.11 is this session's own, with the module as installed."""
    version = request.param
    if version == "3.11":
        return sys.executable, [STANDINS]
    done = subprocess.run([os.path.join(ROOT, "scripts", "build-for"), version], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=900)
    if done.returncode in (3, 4):  # no such interpreter, no Meson 1.7
        pytest.skip(done.stderr.strip())
    assert done.returncode == 0, f"the build for CPython {version} failed:\n{done.stderr}"
    build = done.stdout.strip()
    return python_of(build), [build, STANDINS]


def python_of(build):
    """The interpreter a build folder was made for, as its native file names it."""
    with open(build + ".ini") as native:
        return re.search(r"python = '(.*)'", native.read()).group(1)


def run(interpreter, args, stdin, tmp_path):
    python, path = interpreter
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    return subprocess.run([python] + args, input=stdin, capture_output=True, text=True, cwd=tmp_path, env=env,
                          timeout=120)


def test_import_binds_the_globals_and_prints_nothing(interpreter, tmp_path):
    done = run(interpreter, ["-c", FRESH_IMPORT], "", tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stderr == "" and done.stdout.count("\n") == 1, done.stdout + done.stderr
    assert json.loads(done.stdout) == FRESH_IMPORT_SHOWS


def test_signatures_argument_errors_and_traceback_entries(interpreter, tmp_path):
    calls = [call for call, _ in ARGUMENT_ERRORS]
    done = run(interpreter, [os.path.join(MATRIX, "startup_check.py")], json.dumps(calls), tmp_path)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    seen = json.loads(done.stdout)
    assert seen["signatures"] == SIGNATURES
    assert seen["argument_errors"] == [["TypeError", message] for _, message in ARGUMENT_ERRORS]
    assert seen["driver_made_by_bad_calls"] == 0
    assert seen["tracebacks"].keys() == TRACEBACKS.keys()
    for case, (raised, printed) in TRACEBACKS.items():
        assert seen["tracebacks"][case]["raised"] == raised, case
        assert re.fullmatch(printed, seen["tracebacks"][case]["printed"]), case
