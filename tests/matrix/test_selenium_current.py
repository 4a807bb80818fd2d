"""Real-browser runs on Selenium 4.24 (Debian trixie's), which takes the driver only through a
Service and finds none by itself here: the module must hand it the chromedriver on PATH.

Each run is a pytest of its own over tests that also run in this session on Debian 12's
Selenium 4.8.3; see conftest.InnerRun.
"""

import os

from .conftest import InnerRun

REPLICATION = ["tests/e2e/test_e2e_replication.py::test_each_item_published_amount_times_with_codes_for_missing"]


def check(run, site):
    status, selenium, output = run.finish()
    assert selenium and os.path.realpath(selenium["folder"]) == os.path.realpath(site) and \
        selenium["version"].startswith("4.24."), f"the run imported another Selenium: {selenium}\n{output}"
    assert status == 0, output
    assert f"{len(run.tests)} passed in" in output.splitlines()[-1], output  # none skipped


def test_replication_with_draft_cleanup_on_selenium_4_24(current_site, tmp_path):
    run = InnerRun(current_site, REPLICATION, str(tmp_path))
    try:
        check(run, current_site)
    finally:
        run.stop()
    assert not os.listdir(tmp_path / "work")  # nothing written to the working folder


def test_failed_attachments_on_selenium_4_24(current_site, attachment_run):
    check(attachment_run, current_site)
