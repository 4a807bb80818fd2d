"""What a vantrel build does on an interpreter that has none of its dependencies: signatures,
argument errors and the module's traceback entries, printed as one JSON object.

Runs without pytest, on CPython 3.8 and later: `python startup_check.py`, with the build folder
and the stand-in packages (standins/) on PYTHONPATH and the calls that must fail in binding as
a JSON list of expressions on standard input. tests/matrix/test_cpython.py holds what it must
print.
"""

import contextlib
import inspect
import io
import json
import sys
import traceback

import vantrel

FUNCTIONS = ["init", "get_res", "start", "main"]


class NoBrowser(Exception):
    pass


class Options:
    def add_argument(self, *args):
        pass

    def add_experimental_option(self, *args):
        pass


class Webdriver:
    """Selenium 3's form (the driver path first), with no browser behind it."""

    def __init__(self):
        self.calls = 0

    def Chrome(self, executable_path, options=None):
        self.calls += 1
        raise NoBrowser("no browser at that address")


def failure(call, stdin=""):
    """[exception type, message, traceback entries below this file] of a call that must fail,
    with what it printed; None if it returned."""
    out, sys.stdin = io.StringIO(), io.StringIO(stdin)
    try:
        with contextlib.redirect_stdout(out):
            call()
    except Exception as exc:
        entries = [[e.filename, e.name, e.lineno] for e in traceback.extract_tb(exc.__traceback__)
                   if e.filename != __file__]
        return {"raised": [type(exc).__name__, str(exc), entries], "printed": out.getvalue()}
    finally:
        sys.stdin = sys.__stdin__
    return None


def main():
    binding_calls = json.load(sys.stdin)
    webdriver = Webdriver()
    vantrel.Options, vantrel.webdriver = Options, webdriver
    seen = {"signatures": {name: str(inspect.signature(getattr(vantrel, name))) for name in FUNCTIONS}}
    seen["argument_errors"] = [failure(lambda: eval(call, {"vantrel": vantrel}))["raised"][:2]
                               for call in binding_calls]
    seen["driver_made_by_bad_calls"] = webdriver.calls
    seen["tracebacks"] = {
        "init, a port that is not text": failure(lambda: vantrel.init("u", None, "drv", 9222)),
        "start, no browser": failure(lambda: vantrel.start(2, "s", "e", None, None, "r.xlsx", 0, "u", "drv",
                                                           "9222")),
        "main, an image delay that is not a number": failure(vantrel.main, "c.xlsx\nsoon\n"),
        "get_res, no table": failure(lambda: vantrel.get_res(2, "u", "s", "e", None, [], "r.xlsx", 0, "u",
                                                             None, [])),
    }
    print(json.dumps(seen))


if __name__ == "__main__":
    main()
