"""Long runs keep no references and no memory behind."""

import gc
import sys
import tracemalloc

import pandas as pd

from fakemarket import FakeMarket

# Texts the fake pages compare with but never keep, and that no attribute look-up caches.
CONSTANTS = ["//footer/div[last()]", "item-detail", "sell_item", "display: none;", "icon-delete pointer",
             "arguments[0].click();"]


class QuickSaves(pd.DataFrame):
    """A table whose saves write a stub file: these tests count references, not workbooks."""

    @property
    def _constructor(self):
        return QuickSaves

    def to_excel(self, path, *args, **kwargs):
        with open(path, "wb") as stub:
            stub.write(b"saved")


def long_run(vantrel, rows, folder):
    """A run over `rows` items that meets every outcome: found, missing, not found, failing, stuck."""
    market, titles = FakeMarket(), [f"item {i:04d}" for i in range(rows)]
    for i, title in enumerate(titles):
        if i % 5:
            market.add(title + " (old)" if i % 5 == 1 else title,
                       faults={2: ["missing_checkbox"], 3: ["stuck"]}.get(i % 5, []))
    df = QuickSaves({"name": titles, "amount": 1, "added": 0, "sign": 0})
    driver = market.driver()
    return market, df, driver, lambda: vantrel.get_res(0, "u", "s", "e", df, None, str(folder / "r.xlsx"), 0,
                                                       "d", driver, [])


def test_references_unchanged_after_500_rows(vantrel, tmp_path):
    market, df, driver, run = long_run(vantrel, 500, tmp_path)
    constants = [sys.intern(text) for text in CONSTANTS]
    gc.collect()
    before = [sys.getrefcount(obj) for obj in [df, driver] + constants]
    run()
    gc.collect()
    assert [sys.getrefcount(obj) for obj in [df, driver] + constants] == before
    assert id(constants[0]) in driver.locator_ids  # the module's footer locator is that interned text
    assert df[["added", "sign"]].value_counts().to_dict() == {(1, 0): 300, (0, 2): 100, (0, 1): 100}
    assert not market.unknown and not market.drafts


def test_repeated_runs_do_not_grow(vantrel, tmp_path, clock, capsys):
    tracemalloc.start()
    try:
        sizes = []
        for _ in range(5):
            long_run(vantrel, 100, tmp_path)[-1]()
            clock.sleeps.clear()
            capsys.readouterr()
            gc.collect()
            sizes.append(tracemalloc.get_traced_memory()[0])
    finally:
        tracemalloc.stop()
    assert sizes[-1] - sizes[1] < 64 * 1024, sizes
