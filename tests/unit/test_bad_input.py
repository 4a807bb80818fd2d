"""What the operator may type or hand over: refused early with nothing written, or run as it stands."""

import os

import openpyxl
import pandas as pd
import pytest

from .conftest import StopRun, entries, typed

EOF = (EOFError, "EOF when reading a line")


def raised(call, *args):
    try:
        call(*args)
    except Exception as exc:
        return type(exc), str(exc)


def sheet(**columns):
    return lambda path: pd.DataFrame(columns).to_excel(path, index=False)


def empty_first_sheet(path):
    book = openpyxl.Workbook()
    book.create_sheet("items").append(["name", "amount"])
    book.save(path)


LAMP = sheet(name=["Lamp"], amount=[1])
ASKED = "{path}\n2\n9222\n"
REFUSED = {
    "end of input at the path": (LAMP, "", 279, lambda path: EOF),
    "end of input at the delay": (LAMP, "{path}\n", 280, lambda path: EOF),
    "end of input at the port": (LAMP, "{path}\n2\n", 281, lambda path: EOF),
    "empty delay": (LAMP, "{path}\n\n9222\n", 280, lambda path: raised(int, "")),
    "fraction delay": (LAMP, "{path}\n2.5\n9222\n", 280, lambda path: raised(int, "2.5")),
    "letters for the delay": (LAMP, "{path}\nzwei\n9222\n", 280, lambda path: raised(int, "zwei")),
    "negative delay": (None, "{path}\n-1\n9222\n", 280,
                       lambda path: (ValueError, "image delay must be 0 or more seconds, got -1")),
    "empty path": (LAMP, "\n2\n9222\n", 282, lambda path: raised(pd.read_excel, "")),
    "path in quotation marks": (LAMP, '"{path}"\n2\n9222\n', 282, lambda path: raised(pd.read_excel, f'"{path}"')),
    "missing workbook": (None, ASKED, 282, lambda path: raised(pd.read_excel, str(path))),
    "a folder": (os.mkdir, ASKED, 282, lambda path: raised(pd.read_excel, str(path))),
    "text named .xlsx": (lambda path: path.write_text("name,amount\nLamp,1\n"), ASKED, 282,
                         lambda path: raised(pd.read_excel, str(path))),
    "no name column": (sheet(title=["Lamp"], amount=[1]), ASKED, 288, lambda path: (KeyError, "'name'")),
    "empty first sheet": (empty_first_sheet, ASKED, 288, lambda path: (KeyError, "'name'")),
}


@pytest.mark.parametrize("write, answers, line, expected", REFUSED.values(), ids=REFUSED.keys())
def test_refused_before_the_run(vantrel, tmp_path, answer, webdriver, write, answers, line, expected):
    path = tmp_path / "commodity.xlsx"
    if write:
        write(path)
    before = sorted(os.listdir(tmp_path))
    answer(answers.format(path=path))
    with pytest.raises(Exception) as caught:
        vantrel.main()
    assert (type(caught.value), str(caught.value)) == expected(path)
    assert entries(caught) == [("vantrel.main", line)]
    assert sorted(os.listdir(tmp_path)) == before and webdriver.calls == []


@pytest.fixture
def launch(vantrel, tmp_path, answer):
    """launch(columns, folder): main over a workbook of those columns, typed between blanks."""
    def launch(columns, folder="books", delay="2"):
        path = tmp_path / folder / "commodity.xlsx"
        path.parent.mkdir()
        pd.DataFrame(columns).to_excel(path, index=False)
        answer(f" {path}\t\n {delay} \n 9222 \n")
        try:
            vantrel.main()
        finally:
            launch.files = sorted(os.listdir(path.parent))
    return launch


def test_odd_but_valid_answers_run(launch, market, webdriver, clock, tmp_path):
    market.add("Lamp")
    launch({"name": ["Lamp"], "amount": [1]}, folder="商品 目录", delay="0")
    assert webdriver.calls[0]["options"].calls[-1][-1] == "127.0.0.1:9222"
    assert typed(clock.sleeps[4:7]) == typed([0.5, 0, 0.3])
    assert launch.files == ["commodity.xlsx", "commodity20260108 09-05-03res.xlsx"]
    result = pd.read_excel(tmp_path / "商品 目录" / "commodity20260108 09-05-03res.xlsx")
    assert result.values.tolist() == [["Lamp", 1, 1, 0]]


def test_header_only_runs_an_empty_plan(launch, driver, clock, capsys):
    launch({"name": [], "amount": []})
    assert "('max_times:', nan)" in capsys.readouterr().out.splitlines()
    assert driver.events == ["open /zh/listings/onsale", "open /zh/listings/draft"] and clock.sleeps == [5, 120]
    assert launch.files == ["commodity.xlsx"]


def test_no_amount_column_ends_the_run_at_the_plan(launch, driver):
    with pytest.raises(KeyError) as caught:
        launch({"name": ["Lamp"], "price": [1]})
    assert [name for name, line in entries(caught)] == ["vantrel.main", "vantrel.start", "vantrel.get_res"]
    assert driver.events == ["open /zh/listings/onsale"] and launch.files == ["commodity.xlsx"]


def test_numeric_titles_fail_every_attempt(launch, market, driver, clock, stop, capsys):
    market.add("123")
    clock.hooks.append(lambda s: clock.sleeps.count(4) == 2 and stop.arm())
    with pytest.raises(StopRun):
        launch({"name": [123], "amount": [1]})
    assert "123" in capsys.readouterr().out.splitlines()
    assert not [e for e in driver.events if e.startswith("search")]
    assert launch.files == ["commodity.xlsx", "commodity20260108 09-05-03res.xlsx"]  # as it was before the rows


def test_empty_amount_is_worked_in_every_pass(launch, market, tmp_path, capsys):
    market.add("Lamp")
    market.add("Desk")
    launch({"name": ["Lamp", "Desk"], "amount": [None, 2]})
    assert [line for line in capsys.readouterr().out.splitlines() if "max_times" in line] == [
        "('max_times:', 2.0)", "('max_times:', 1.0)", "('max_times:', 0.0)"]
    result = pd.read_excel(tmp_path / "books" / launch.files[1])
    assert result["added"].tolist() == [2, 2]
