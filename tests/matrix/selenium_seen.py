"""pytest plugin for the Selenium 4.24 runs: notes which Selenium the run really imported.

Loaded with `-p selenium_seen`; writes the imported package's folder and its distribution's
version to the file named by VANTREL_SELENIUM_SEEN when the run ends, however it ends.
(Debian's 4.24 package says 4.31.1 in `selenium.__version__`; its distribution says 4.24.0.)
"""

import importlib.metadata
import json
import os
import sys


def pytest_unconfigure(config):
    selenium = sys.modules.get("selenium")
    seen = {"folder": None, "version": None}
    if selenium is not None:
        folder = os.path.dirname(os.path.dirname(os.path.abspath(selenium.__file__)))
        found = [d for d in importlib.metadata.distributions(path=[folder]) if d.metadata["Name"] == "selenium"]
        seen = {"folder": folder, "version": found[0].version if found else None}
    with open(os.environ["VANTREL_SELENIUM_SEEN"], "w") as out:
        json.dump(seen, out)
