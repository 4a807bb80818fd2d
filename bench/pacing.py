"""Pacing overhead of a real run: wall time per published copy against the sleeps vantrel asks for.

Run: .venv/bin/python bench/pacing.py [--items 2] [--copies 2] [--pic-wait 0]

Starts the stand-in marketplace (sample catalogue, default knobs) and a headless Chromium on free
ports, then runs one interactive vantrel session against them with real sleeps. The module's
`time` is wrapped to note every sleep it asks for, its driver is wrapped to time every page
action, and pandas' DataFrame.to_excel is wrapped to time the saves. A published copy spans
from its row's opening of the on-sale page to the next row's (or the draft cleanup's). The
closing 120 s pause of the run is skipped: the wrapper returns from sleep(120) at once.
About 20 s per copy plus setup: the default 2 items x 2 copies take about 1.5 minutes.
"""

import argparse
import collections
import functools
import io
import os
import statistics
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import pandas as pd  # noqa: E402
from selenium import webdriver as selenium_webdriver  # noqa: E402

import vantrel  # noqa: E402
from standin import DEFAULT_KNOBS, harness  # noqa: E402
from machine import describe  # noqa: E402

TITLES = ["复古黄铜台灯", "Vintage Leather Wallet", "手工陶瓷茶杯 四只装", "香薰蜡烛 雪松"]
CLOSING_PAUSE = 120

# Driver and element calls by what they cost the run.
CATEGORIES = {
    "get": "page loads", "refresh": "page loads",
    "find_element": "look-ups", "find_elements": "look-ups",
    "page_source": "page reads", "current_url": "page reads",
    "execute_script": "scripts",
}
ELEMENT_CALLS = {"click", "clear", "send_keys", "text", "get_attribute", "is_selected", "tag_name",
                 "get_dom_attribute", "is_enabled"}
ORDER = ["page loads", "look-ups", "page reads", "scripts", "element calls", "other driver"]


class Log:
    """Everything timed during the run, as (kind, detail, began, ended)."""

    def __init__(self):
        self.events = []

    def add(self, kind, detail, began, ended):
        self.events.append((kind, detail, began, ended))


class RecordingTime:
    """The module's `time`: sleeps for real and notes each sleep; skips the closing pause."""

    def __init__(self, log):
        self.log = log
        self.skipped = []

    def sleep(self, seconds):
        began = time.perf_counter()
        if seconds == CLOSING_PAUSE:
            self.skipped.append(seconds)
            self.log.add("pause", seconds, began, began)
            return
        time.sleep(seconds)
        self.log.add("sleep", seconds, began, time.perf_counter())

    def __getattr__(self, name):
        return getattr(time, name)


class Timed:
    """Wraps a WebDriver or WebElement: times every call and property read, by name."""

    def __init__(self, target, log):
        self._target = target
        self._log = log

    def __getattr__(self, name):
        began = time.perf_counter()
        value = getattr(self._target, name)
        if not callable(value):
            self._log.add("driver", name, began, time.perf_counter())
            return value

        def call(*args, **kwargs):
            args = [a._target if isinstance(a, Timed) else a for a in args]
            began = time.perf_counter()
            try:
                result = value(*args, **kwargs)
            finally:
                self._log.add("driver", name, began, time.perf_counter())
            if name == "find_element":
                return Timed(result, self._log)
            if name == "find_elements":
                return [Timed(found, self._log) for found in result]
            return result

        return call


class TimedWebdriver:
    """The module's `webdriver`: the real Chrome, timed, its driver wrapped in Timed."""

    def __init__(self, log):
        @functools.wraps(selenium_webdriver.Chrome)
        def chrome(*args, **kwargs):
            began = time.perf_counter()
            driver = selenium_webdriver.Chrome(*args, **kwargs)
            log.add("attach", "webdriver.Chrome", began, time.perf_counter())
            return Timed(driver, log)

        self.Chrome = chrome

    def __getattr__(self, name):
        return getattr(selenium_webdriver, name)


def time_saves(log):
    real = pd.DataFrame.to_excel

    @functools.wraps(real)
    def to_excel(self, *args, **kwargs):
        began = time.perf_counter()
        try:
            return real(self, *args, **kwargs)
        finally:
            log.add("save", None, began, time.perf_counter())

    pd.DataFrame.to_excel = to_excel
    return lambda: setattr(pd.DataFrame, "to_excel", real)


def run_session(origin, chrome_port, folder, rows, pic_wait, log):
    workbook = os.path.join(folder, "commodity.xlsx")
    pd.DataFrame(rows, columns=["name", "amount"]).to_excel(workbook, index=False)
    clock = RecordingTime(log)
    saved = {name: getattr(vantrel, name) for name in ("time", "webdriver")}
    stdin, stdout = sys.stdin, sys.stdout
    restore_saves = time_saves(log)
    os.environ["VANTREL_ORIGIN"] = origin
    vantrel.time, vantrel.webdriver = clock, TimedWebdriver(log)
    sys.stdin = io.StringIO(f"{workbook}\n{pic_wait}\n{chrome_port}\n")
    console = io.StringIO()
    sys.stdout = console
    began = time.perf_counter()
    try:
        vantrel.main()
    finally:
        ended = time.perf_counter()
        sys.stdin, sys.stdout = stdin, stdout
        restore_saves()
        for name, value in saved.items():
            setattr(vantrel, name, value)
    return began, ended, console.getvalue(), clock


def row_spans(events):
    """(began, ended) of each row: from its opening of the on-sale page to the next page load
    that opens a row or the draft page. The first page load is the attachment's start page."""
    opens = [e[2] for e in events if e[0] == "driver" and e[1] == "get"][1:]
    return list(zip(opens[:-1], opens[1:]))


def inside(events, began, ended):
    return [e for e in events if e[2] >= began and (ended is None or e[3] <= ended)]


def breakdown(events):
    cost = collections.Counter()
    for kind, detail, began, ended in events:
        if kind == "driver":
            other = "element calls" if detail in ELEMENT_CALLS else "other driver"
            cost[CATEGORIES.get(detail, other)] += ended - began
        elif kind in ("sleep", "save"):
            cost[kind] += ended - began
    cost["asked"] = sum(e[1] for e in events if e[0] == "sleep")
    return cost


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--items", type=int, default=2, choices=range(1, len(TITLES) + 1))
    parser.add_argument("--copies", type=int, default=2)
    parser.add_argument("--pic-wait", type=int, default=0)
    args = parser.parse_args()
    rows = [(title, args.copies) for title in TITLES[:args.items]]

    print(describe())
    print(f"run: {args.items} items x {args.copies} copies, pic_wait {args.pic_wait}; stand-in knobs: "
          f"results after {DEFAULT_KNOBS['results_delay']} s, "
          f"images after {DEFAULT_KNOBS['image_delay']} s")
    log = Log()
    with tempfile.TemporaryDirectory() as folder:
        market_port, chrome_port = harness.free_port(), harness.free_port()
        market = harness.start_marketplace(market_port)
        chromium = None
        try:
            chromium = harness.start_chromium(chrome_port, os.path.join(folder, "profile"))
            origin = f"http://127.0.0.1:{market_port}"
            began, ended, console, clock = run_session(origin, chrome_port, folder, rows,
                                                       args.pic_wait, log)
            copies = harness.copies_by_title(harness.get_state(origin))
        finally:
            harness.stop(chromium)
            harness.stop(market)

    events = log.events
    draft_open = [e for e in events if e[0] == "driver" and e[1] == "get"][-1][2]

    print(f"published copies on the marketplace: {copies}")
    print()
    header = (f"{'copy':>4} {'wall s':>7} {'asked s':>8} {'ratio':>6} {'slept s':>8} "
              + " ".join(f"{c:>13}" for c in ORDER) + f" {'saves':>8} {'rest':>8}")
    print("per published copy (driver columns and saves in ms; rest = module, Python and bookkeeping)")
    print(header)
    totals = collections.Counter()
    ratios = []
    spans = [(start, end) for start, end in row_spans(events)
             if any(e[0] == "save" for e in inside(events, start, end))]  # rows that published
    for n, (start, end) in enumerate(spans, 1):
        part = inside(events, start, end)
        wall = end - start
        cost = breakdown(part)
        cost["wall"] = wall
        spent = sum(cost[k] for k in ["sleep", "save"] + ORDER)
        cost["rest"] = wall - spent
        totals.update(cost)
        ratios.append(wall / cost["asked"])
        print(f"{n:>4} {wall:>7.2f} {cost['asked']:>8.2f} {wall / cost['asked']:>6.3f} "
              f"{cost['sleep']:>8.2f} " + " ".join(f"{cost[c] * 1e3:>13.0f}" for c in ORDER)
              + f" {cost['save'] * 1e3:>8.1f} {cost['rest'] * 1e3:>8.1f}")
    n = len(spans)
    if not n:
        print("no copy was published")
        return
    print()
    overrun = totals["wall"] - totals["asked"]
    print(f"all {n} copies: wall {totals['wall']:.2f} s for {totals['asked']:.2f} s of sleeps asked: "
          f"ratio {totals['wall'] / totals['asked']:.3f} "
          f"(per copy {min(ratios):.3f} .. {max(ratios):.3f}, median {statistics.median(ratios):.3f})")
    print(f"beyond the sleeps asked, per copy: {overrun / n * 1e3:.0f} ms, of which")
    parts = [("sleeps overrunning what was asked", totals["sleep"] - totals["asked"])]
    parts += [(f"driver: {c}", totals[c]) for c in ORDER]
    parts += [("saves (to_excel)", totals["save"]), ("rest (module, Python, clock)", totals["rest"])]
    for label, seconds in parts:
        print(f"  {label:<36} {seconds / n * 1e3:>8.1f} ms  {seconds / overrun * 100:>5.1f} %")
    print("  (page loads: get/refresh; a search submitted by send_keys, a copy click and a publish")
    print("   click also wait for the page they load, inside 'element calls' and 'scripts')")
    calls = collections.defaultdict(list)
    for start, end in spans:
        for kind, detail, call_began, call_ended in inside(events, start, end):
            if kind == "driver":
                calls[detail].append(call_ended - call_began)
    print("driver calls per copy, costliest first:")
    for name, took in sorted(calls.items(), key=lambda item: -sum(item[1]))[:8]:
        print(f"  {name:<18} {len(took) / n:>5.1f} calls  {sum(took) / n * 1e3:>7.1f} ms"
              f"  ({statistics.median(took) * 1e3:.1f} ms median)")

    attach = sum(e[3] - e[2] for e in events if e[0] == "attach")
    first_get = [e for e in events if e[0] == "driver" and e[1] == "get"][0]
    returned = [e for e in events if e[0] == "pause"]
    cleanup_end = returned[0][2] if returned else ended
    cleanup = inside(events, draft_open, None)
    print()
    print(f"outside the copies: attach {attach:.2f} s, start page {first_get[3] - first_get[2]:.2f} s, "
          f"draft cleanup {cleanup_end - draft_open:.2f} s "
          f"({breakdown(cleanup)['asked']:.1f} s asked), whole session {ended - began:.2f} s")
    print(f"the run's closing pause of {CLOSING_PAUSE} s was skipped: sleep({CLOSING_PAUSE}) "
          f"returned at once ({len(clock.skipped)} time)")
    plans = [line for line in console.splitlines() if "'max_times:'" in line]
    print(f"plan lines: {' '.join(plans)}")


if __name__ == "__main__":
    main()
