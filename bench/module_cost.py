"""Module cost without a browser: vantrel.get_res against the in-memory fake marketplace.

Run: .venv/bin/python bench/module_cost.py
     (options: --rows 2000 --copies 3 --saved-rows 200 --repeats 3)

Every sleep returns at once. Each configuration runs in fresh processes of their own, --repeats
times through vantrel.get_res and as often through `python_get_res` below, a straightforward
pure-Python function that makes the same calls on the same fakes (plan, passes, search, page
walk, editor, atomic saves, draft cleanup). Reported: CPU time (time.process_time) per row and
per copy, the peak of traced Python allocations (tracemalloc, a second run) and of the
resident set, and the ratio module / pure Python.

Saves dominate a real run (each copy rewrites the whole workbook), so the full size runs with
`to_excel` writing an empty file, and real xlsx saves run on a smaller table (--saved-rows):
2,000 rows x 3 copies of real saves would be 6,000 saves of a 2,000-row workbook, about five
minutes per run. The fake's search results are kept per query, filled in before timing, so that its
linear scan of every listing at every look-up does not drown the figures; the rest of the
fakes' cost is in both figures. Takes about a minute and a half with the defaults.
"""

import argparse
import gc
import hashlib
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.join(ROOT, "tests")]

import pandas as pd  # noqa: E402

import sellerpages  # noqa: E402
from fakemarket import FakeMarket, FakeSelect  # noqa: E402
from sellerpages import (CARD_TITLE, CHECKBOX, CLICK, CONFIRM, COPY_BUTTON,  # noqa: E402
                         DELETE_BUTTON, FIRST_BUTTON, FOOTER, ITEM_LIST, PAGER_ITEM, PAGER_LINK,
                         PUBLISH, SCROLL_DOWN, SCROLL_UP, SEARCH_BOX, VISIBILITY)
from machine import describe  # noqa: E402

ORIGIN = "http://127.0.0.1:8700"
ONSALE, DRAFT = ORIGIN + sellerpages.ONSALE, ORIGIN + sellerpages.DRAFTS
LEFTOVER_DRAFTS = 20


class InstantClock:
    """Stands in for `time`: every sleep returns at once; the durations are kept."""

    def __init__(self):
        self.slept = []

    def sleep(self, seconds):
        self.slept.append(seconds)


class NullConsole:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


class StubSaves(pd.DataFrame):
    """A table whose to_excel writes an empty file instead of a workbook."""

    @property
    def _constructor(self):
        return StubSaves

    def to_excel(self, path, *args, **kwargs):
        with open(path, "wb"):
            pass


def indexed(driver, titles):
    """The fake's driver, its search results kept per query: the fake scans every listing at
    every look-up, which would otherwise drown the figures. Filled in before timing."""
    scan = getattr(type(driver), "_results", None)
    if scan is None:
        return driver, False
    found = {}
    for title in titles:
        driver.query = title
        found[title] = scan(driver)
    driver.query = ""

    class IndexedDriver(type(driver)):
        def _results(self):
            hit = found.get(self.query)
            if hit is None:
                hit = found[self.query] = scan(self)
            return hit

    driver.__class__ = IndexedDriver
    return driver, True


# --- the same workflow in plain Python -------------------------------------------------------

clock = None  # the `time` of python_get_res, set like the module's


def save(df, res_path):
    folder, name = os.path.split(res_path)
    temporary = os.path.join(folder, "." + name + "." + str(os.getpid()) + ".tmp.xlsx")
    try:
        df.to_excel(temporary, index=False)
        os.replace(temporary, res_path)
    except BaseException:
        if os.path.exists(temporary):
            os.remove(temporary)
        raise


def plan(df):
    return (df[df["sign"] == 0]["amount"] - df[df["sign"] == 0]["added"]).max()


def python_get_res(pic_wait, start_url, s_date, e_date, df, key_words, res_path, a_list_num,
                   domain, driver, handles):
    max_times = plan(df)
    print(("max_times:", max_times))
    while max_times > 0:
        for row in df.itertuples():
            try:
                index, name, amount, added, sign = row.Index, row.name, row.amount, row.added, row.sign
                if sign != 0:
                    continue
                if amount <= added:
                    continue
                if not open_copy(driver, df, res_path, index, name, added):
                    continue
                publish_copy(driver, df, res_path, index, pic_wait)
            except BaseException:
                pass
        max_times = plan(df)
        print(("max_times:", max_times))
    driver.get(DRAFT)
    clock.sleep(5)
    while "item-detail" in driver.page_source:
        div_list = driver.find_elements_by_xpath(ITEM_LIST)[1:-2]
        try:
            button = div_list[0].find_element_by_xpath(DELETE_BUTTON)
            driver.execute_script(CLICK, button)
            clock.sleep(1)
            driver.find_element_by_xpath(CONFIRM).click()
            clock.sleep(2)
        except BaseException:
            driver.refresh()
            clock.sleep(3.6)


def mark(df, res_path, index, added, code):
    if added == 0:
        df.loc[index, "sign"] = code
        save(df, res_path)


def open_copy(driver, df, res_path, index, name, added):
    driver.get(ONSALE)
    clock.sleep(4)
    print(name)
    driver.find_element_by_xpath(SEARCH_BOX).clear()
    driver.find_element_by_xpath(SEARCH_BOX).send_keys(name + "\n")
    clock.sleep(1.5)
    wait_times = 0
    while driver.find_element_by_xpath(FOOTER).get_attribute("style") != "display: none;":
        wait_times += 1
        if wait_times > 6:
            driver.refresh()
        clock.sleep(0.6)
    div_list = driver.find_elements_by_xpath(ITEM_LIST)[1:-2]
    print(len(div_list))
    if "item-detail" not in driver.page_source:
        print(("没有该商品:", name))
        mark(df, res_path, index, added, 2)
        clock.sleep(0.8)
        return False
    while True:
        div_list = driver.find_elements_by_xpath(ITEM_LIST)[1:-2]
        for div in div_list:
            search_name = div.find_element_by_xpath(CARD_TITLE).text.strip()
            if name != search_name:
                continue
            if "onsale" not in driver.current_url:
                break
            div.find_element_by_xpath(COPY_BUTTON).click()
            clock.sleep(1)
            if "onsale" not in driver.current_url:
                break
        if "onsale" not in driver.current_url or "页" not in driver.page_source:
            break
        if "</a>" not in driver.find_element_by_xpath(PAGER_ITEM).get_attribute("innerHTML"):
            break
        driver.execute_script(CLICK, driver.find_element_by_xpath(PAGER_LINK))
        clock.sleep(2)
        print("下一页")
    if "onsale" in driver.current_url:
        print(("所有页都没有该商品:", name))
        mark(df, res_path, index, added, 1)
        clock.sleep(0.8)
        return False
    clock.sleep(5)
    return True


def publish_copy(driver, df, res_path, index, pic_wait):
    FakeSelect(driver.find_element_by_xpath(VISIBILITY)).select_by_visible_text("上市")
    clock.sleep(0.5)
    wait_times = 0
    while "icon-delete pointer" not in driver.page_source:
        wait_times += 1
        if wait_times > 9:
            break
        clock.sleep(1)
    clock.sleep(pic_wait)
    if "icon-delete pointer" not in driver.page_source:
        return
    driver.execute_script(SCROLL_DOWN)
    clock.sleep(0.3)
    driver.execute_script(SCROLL_UP)
    clock.sleep(0.3)
    if not driver.find_element_by_xpath(CHECKBOX).is_selected():
        driver.find_element_by_xpath(CHECKBOX).click()
    FakeSelect(driver.find_element_by_xpath(VISIBILITY)).select_by_visible_text("不公开")
    clock.sleep(0.5)
    FakeSelect(driver.find_element_by_xpath(VISIBILITY)).select_by_visible_text("上市")
    clock.sleep(1)
    driver.execute_script(CLICK, driver.find_element_by_xpath(FIRST_BUTTON))
    clock.sleep(0.5)
    driver.execute_script(CLICK, driver.find_element_by_xpath(PUBLISH))
    clock.sleep(4)
    if "sell_item" in driver.current_url:
        clock.sleep(1)
    if "sell_item" in driver.current_url:
        return
    loc = df.loc
    key = (index, "added")
    loc[key] = loc[key] + 1
    save(df, res_path)


# --- one measured configuration, in a process of its own ------------------------------------

def setup(rows, copies, stub, folder):
    """A market where every title has two look-alikes on the page before it, and a table."""
    titles = [f"item {i:05d}" for i in range(rows)]
    market = FakeMarket(ORIGIN, page_size=2)
    for title in titles:
        market.add(title + " (old)")
        market.add(title + " spare")
    for title in titles:
        market.add(title)
    for n in range(LEFTOVER_DRAFTS):
        market.add_draft(f"draft {n}")
    driver, fast = indexed(market.driver("old"), titles)
    frame = StubSaves if stub else pd.DataFrame
    df = frame({"name": titles, "amount": copies, "added": 0, "sign": 0})
    return market, driver, fast, df, os.path.join(folder, "res.xlsx")


def run_once(which, rows, copies, stub, folder):
    global clock
    import vantrel

    market, driver, fast, df, res_path = setup(rows, copies, stub, folder)
    clock = InstantClock()
    vantrel.time, vantrel.Select = clock, FakeSelect
    function = vantrel.get_res if which == "module" else python_get_res
    stdout, sys.stdout = sys.stdout, NullConsole()
    gc.collect()
    cpu, wall = time.process_time(), time.perf_counter()
    try:
        function(0, ONSALE, "20190101", "20210909", df, df["name"].values, res_path, 0, ONSALE,
                 driver, ["w"])
    finally:
        cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
        sys.stdout = stdout
    trace = hashlib.sha256(repr((driver.events, clock.slept, market.published,
                                 df.values.tolist())).encode()).hexdigest()[:12]
    return {"cpu": cpu, "wall": wall, "copies": len(market.published), "events": len(driver.events),
            "sleeps": len(clock.slept), "trace": trace, "unknown": len(market.unknown),
            "indexed": fast}


def rss_kib():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def child(which, rows, copies, stub, trace):
    __import__("vantrel")  # imported before the baseline figures are taken

    with tempfile.TemporaryDirectory() as folder:
        run_once(which, 5, copies, stub, folder)  # warms up pandas' and the fakes' first calls
        rss_before = rss_kib()
        result = run_once(which, rows, copies, stub, folder)
        result["rss_before_kib"] = rss_before
        result["rss_peak_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        if trace:
            gc.collect()
            tracemalloc.start()
            base = tracemalloc.get_traced_memory()[0]
            run_once(which, rows, copies, stub, folder)
            result["traced_peak_kib"] = (tracemalloc.get_traced_memory()[1] - base) / 1024
            tracemalloc.stop()
    print(json.dumps(result))


def measure(which, rows, copies, stub, trace):
    """One run in a fresh process (its memory figures are its own)."""
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", which, "--rows", str(rows),
         "--copies", str(copies)] + ["--stub"] * stub + ["--trace"] * trace,
        check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def report(title, rows, copies, stub, repeats):
    print(f"\n{title}: {rows} rows x {copies} copies, {rows * copies} copies"
          f" + {LEFTOVER_DRAFTS} leftover drafts, 2 result pages per search;"
          f" CPU: median of {repeats} runs each")
    runs = {"module": [], "python": []}
    for n in range(repeats):  # alternating, so that a busy spell of the machine hits both
        for which in (("module", "python") if n % 2 == 0 else ("python", "module")):
            runs[which].append(measure(which, rows, copies, stub, trace=n == 0))
    results = {}
    for which, done in runs.items():
        results[which] = dict(done[0], cpu=statistics.median(r["cpu"] for r in done))
    print(f"{'':>14} {'CPU s':>8} {'per row ms':>11} {'per copy ms':>12} {'traced peak':>12}"
          f" {'RSS peak':>9} {'RSS growth':>11}")
    for which, r in results.items():
        print(f"{which:>14} {r['cpu']:>8.2f} {r['cpu'] / rows * 1e3:>11.3f}"
              f" {r['cpu'] / (rows * copies) * 1e3:>12.3f}"
              f" {r['traced_peak_kib'] / 1024:>9.1f} MiB {r['rss_peak_kib'] / 1024:>5.0f} MiB"
              f" {(r['rss_peak_kib'] - r['rss_before_kib']) / 1024:>7.1f} MiB")
    module, python = results["module"], results["python"]
    same = module["trace"] == python["trace"] and module["unknown"] == python["unknown"] == 0
    if not module["indexed"]:
        print("(the fake's search could not be indexed: its scans are in both figures)")
    print(f"{'module/python':>14} {module['cpu'] / python['cpu']:>8.3f}   (same calls, sleeps, copies"
          f" and table: {'yes' if same else 'NO'}; {module['copies']} copies,"
          f" {module['events']} page events, {module['sleeps']} sleeps)")
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=2000)
    parser.add_argument("--copies", type=int, default=3)
    parser.add_argument("--saved-rows", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--child", choices=["module", "python"])
    parser.add_argument("--stub", action="store_true")
    parser.add_argument("--trace", action="store_true")
    args = parser.parse_args()
    if args.child:
        child(args.child, args.rows, args.copies, args.stub, args.trace)
        return
    print(describe(f"pandas {pd.__version__}"))
    print("CPU time covers the fakes too (driver, pages, Select) and, with real saves,"
          " pandas' xlsx writer")
    stubbed = report("to_excel writing an empty file", args.rows, args.copies, True, args.repeats)
    saved = report("real xlsx saves", args.saved_rows, args.copies, False, args.repeats)
    per_copy = {k: stubbed[k]["cpu"] / (args.rows * args.copies) for k in stubbed}
    per_copy_saved = {k: saved[k]["cpu"] / (args.saved_rows * args.copies) for k in saved}
    extra = (per_copy["module"] - per_copy["python"]) * 1e6
    print(f"\nthe module against plain Python, per copy: {extra:+.1f} us, of"
          f" {per_copy['module'] * 1e6:.1f} us without saves and {per_copy_saved['module'] * 1e3:.2f} ms"
          f" with saves of a {args.saved_rows}-row workbook")


if __name__ == "__main__":
    main()
