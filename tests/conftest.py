"""Imports vantrel once for the whole suite.

If the module does not import, the session stops at once and shows the import's own
traceback, instead of every test failing the same way.
"""

import traceback

import pytest

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
