"""Imports vantrel once for the whole suite, and starts what the real-browser tests share.

If the module does not import, the session stops at once and shows the import's own
traceback, instead of every test failing the same way.
"""

import traceback

import pytest

import realrun
from standin import harness

try:
    import vantrel as _vantrel
except BaseException:  # a broken build may raise anything, SystemError included
    _vantrel, _IMPORT_ERROR = None, traceback.format_exc()
else:
    _IMPORT_ERROR = None


def pytest_sessionstart(session):
    if _IMPORT_ERROR:
        pytest.exit("vantrel does not import, so no test can run:\n" + _IMPORT_ERROR, returncode=3)


@pytest.fixture(scope="session")
def vantrel():
    """The module, as imported once at the start of the session."""
    return _vantrel


@pytest.fixture(scope="session")
def marketplace():
    """Origin of the stand-in marketplace, started once for the session on a free port and
    stopped by process id afterwards."""
    port = harness.free_port()
    proc = harness.start_marketplace(port, harness.SAMPLE_CATALOGUE)
    yield f"http://127.0.0.1:{port}"
    harness.stop(proc)


@pytest.fixture(scope="session")
def chromium(tmp_path_factory):
    """The session's headless Chromium; started again if a stuck run had it killed."""
    browser = realrun.Chromium(str(tmp_path_factory.mktemp("chromium")))
    browser.ensure()
    yield browser
    browser.stop()
