"""vantrel.check() against the fake market: a run's search up to the copy button and no further,
the report, the run log, and the rows it cannot vouch for."""

import logging
import math
import socket

import pandas as pd
import pytest
from selenium.common.exceptions import WebDriverException

from .conftest import entries, typed

PROMPTS = "commodity.xlsx路径：谷歌端口号："


@pytest.fixture
def chrome_port():
    """A port on which something accepts connections, as Chrome's debugging port does."""
    with socket.socket() as listening:
        listening.bind(("127.0.0.1", 0))
        listening.listen()
        yield str(listening.getsockname()[1])


@pytest.fixture
def check(vantrel, tmp_path, answer, chrome_port):
    """check(rows, call="check"): the check of a workbook of (name, amount) rows."""
    def run(rows, call="check"):
        book = tmp_path / "commodity.xlsx"
        pd.DataFrame(rows, columns=["name", "amount"]).to_excel(book, index=False)
        answer(f" {book} \n {chrome_port} \n")
        return getattr(vantrel, call)(*([[]] if call == "check_cli" else []))
    return run


def test_a_run_s_search_up_to_the_copy_button_and_the_report(market, driver, clock, check, capsys, caplog,
                                                               tmp_path, chrome_port):
    for n in range(1, 11):
        market.add(f"Lamp shade {n}")
    market.add("Lamp")  # the eleventh result of its search: page 2
    market.add("Desk")
    market.add_draft("Lamp")
    caplog.set_level(logging.INFO, logger="vantrel")
    frame = check([("Lamp", 2), ("Desk", math.nan), ("Ghost", 1), ("Shade", 1), ("Spare", 0)])

    assert frame[["name", "added", "sign"]].values.tolist() == [
        ["Lamp", 0, 0], ["Desk", 0, 0], ["Ghost", 0, 2], ["Shade", 0, 1], ["Spare", 0, 0]]
    assert frame.attrs == {"drafts": 1, "pages": {0: 2, 1: 1, 2: 0, 3: 1, 4: 0}, "problems": []}
    # Every search as a run's, with its sleeps as given; no copy button, no delete, no dialog.
    assert driver.events == ["open /zh/listings/onsale",
                             "open /zh/listings/onsale", "clear", "search Lamp", "next page",
                             "open /zh/listings/onsale", "clear", "search Desk",
                             "open /zh/listings/onsale", "clear", "search Ghost",
                             "open /zh/listings/onsale", "clear", "search Shade",
                             "open /zh/listings/draft"]
    assert typed(clock.sleeps) == typed([4, 1.5, 2] + [4, 1.5] * 3 + [5])
    assert typed(driver.waits) == typed([1, 0.3])
    assert market.drafts == [{"id": 1, "title": "Lamp"}] and market.published == []
    assert capsys.readouterr().out.splitlines() == [
        PROMPTS + "Lamp", "10", "下一页", "Desk", "1", "Ghost", "0", "Shade", "10",
        "('found:', 'Lamp', 'page', 2)",
        "('found:', 'Desk', 'page', 1)",
        "('no results, sign 2:', 'Ghost')",
        "('not found, sign 1:', 'Shade')",
        "('skipped:', 'Spare', 'amount', 0.0)",
        "('drafts to be deleted:', 1, ['Lamp'])",
        # Lamp 2 x 22.6 s (a page turn each), Desk one copy in each of the 2 passes 2 x 20.6 s,
        # Ghost and Shade 6.3 s each, the drafts page 5 s and one draft 3 s
        "('run estimate:', 'about 1 min 47 s', 'copies', 4, 'image wait', 2)",
        "('verdict:', 'not ready: 1 not found (sign 1), 1 without search results (sign 2)')"]
    logged = [r.getMessage() for r in caplog.records if r.name == "vantrel"]
    assert logged == [
        f"check: commodity workbook {str(tmp_path / 'commodity.xlsx')!r}, Chrome port {chrome_port!r}",
        "check: row 'Lamp' found on result page 2",
        "check: row 'Desk' found on result page 1",
        "check: row 'Ghost': no search results, a run writes sign 2",
        "check: row 'Shade': listing not found on 1 result pages, a run writes sign 1",
        "check: row 'Spare' skipped, amount 0.0",
        "check: 1 drafts the cleanup would delete: ['Lamp']",
        "check: run estimate about 1 min 47 s; not ready: 1 not found (sign 1), "
        "1 without search results (sign 2)"]
    assert {r.funcName for r in caplog.records if r.name == "vantrel"} == {"check"}


DRAFTS_URL = "http://127.0.0.1:8700/zh/listings/draft"


@pytest.mark.parametrize("fault, said, verdict", [
    ("a title that is a number",
     "('not checked:', 12345, \"TypeError: unsupported operand type(s) for +: 'int' and 'str' at line 60\")",
     "not ready: 1 not checked"),
    ("results that never load",
     "('not checked:', 'Lamp', 'the search results never finished loading (the footer stayed shown, "
     "the page reloaded every poll)')", "not ready: 1 not checked"),
    ("a draft page that does not open",
     f"('not as expected:', 'the draft listings page {DRAFTS_URL} could not be read: "
     "WebDriverException: Message: lost at line 143')", "not ready: pages not as expected"),
])
def test_what_the_check_cannot_vouch_for_fails_it(market, clock, check, capsys, fault, said, verdict):
    market.add("Lamp")
    market.add("12345")
    market.footer_stuck = fault == "results that never load"
    if fault == "a draft page that does not open":
        market.fail[DRAFTS_URL] = WebDriverException("lost")
    rows = [("Lamp", 1), (12345, 1)] if fault == "a title that is a number" else [("Lamp", 1)]
    assert check(rows, call="check_cli") == 1
    out = capsys.readouterr().out.splitlines()
    assert said in out
    assert out[-1] == f"('verdict:', '{verdict}')"
    if market.footer_stuck:
        # A run would poll for ever; the check gives up after 30 polls, reloading from the seventh.
        assert clock.sleeps.count(0.6) == 30 and len(clock.sleeps) == 2 + 30 + 1


def test_a_workbook_that_cannot_be_read_fails_the_command_loudly(vantrel, tmp_path, answer, webdriver):
    answer(f"{tmp_path / 'missing.xlsx'}\n9222\n")
    with pytest.raises(FileNotFoundError) as caught:
        vantrel.check_cli([])
    assert entries(caught) == [("vantrel.check_cli", 391), ("vantrel.check", 323)]
    assert webdriver.calls == []  # nothing attached
