"""Pacing on the real browser: time per published copy against the sleeps the workflow asks for,
the module against the same workflow in plain Python (bench/plain.py), in one sitting.

Run: .venv/bin/python bench/pacing.py   (options: --items 2 --copies 1 --pic-wait 0 --rounds 2)

Starts the stand-in marketplace (sample catalogue, default knobs) and a headless Chromium,
attaches with vantrel.init, and runs vantrel.get_res and plain Python's get_res on that browser
with real sleeps, the marketplace reset before each run; every other round runs them in the
other order, so that neither side always goes first. The clock notes every sleep asked, the
driver the time of every page call, `to_excel` the time of every save. A copy's time is the time
from the start of the run to the opening of the drafts page (the cleanup is left out) over the
copies published. About 20 s per copy and 5 s per run: the defaults take about three and a half
minutes.
"""

import argparse
import contextlib
import io
import os
import sys
import tempfile
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.dirname(BENCH), os.path.join(os.path.dirname(BENCH), "tests")]

import pandas as pd  # noqa: E402
from selenium.webdriver.support.select import Select  # noqa: E402

import plain  # noqa: E402
import vantrel  # noqa: E402
from machine import describe  # noqa: E402
from sellerpages import DRAFTS, ONSALE  # noqa: E402
from standin import DEFAULT_KNOBS, harness  # noqa: E402

TITLES = ["复古黄铜台灯", "Vintage Leather Wallet", "手工陶瓷茶杯 四只装", "香薰蜡烛 雪松"]


class Log:
    """The workflow's `time`: sleeps for real. Notes what one run spent from its start to the
    opening of the drafts page: sleeps asked and slept, page calls, saves."""

    def __init__(self):
        self.began = self.cleanup = None
        self.asked = self.slept = self.driver = self.saves = 0.0

    def counts(self, began):
        return self.cleanup is None or began < self.cleanup

    def sleep(self, seconds):
        began = time.perf_counter()
        time.sleep(seconds)
        if self.counts(began):
            self.asked += seconds
            self.slept += time.perf_counter() - began


class Timed:
    """A WebDriver or WebElement whose every call and property read is timed."""

    def __init__(self, target, log):
        self._target, self._log = target, log

    def __getattr__(self, name):
        began = time.perf_counter()
        value = getattr(self._target, name)
        if not callable(value):
            self._note(began)
            return value

        def call(*args, **kwargs):
            if name == "get" and args[0].endswith(DRAFTS):
                self._log.cleanup = time.perf_counter()
            args = [arg._target if isinstance(arg, Timed) else arg for arg in args]
            began = time.perf_counter()
            try:
                result = value(*args, **kwargs)
            finally:
                self._note(began)
            if isinstance(result, list):
                return [Timed(found, self._log) for found in result]
            return Timed(result, self._log) if name == "find_element" else result

        return call

    def _note(self, began):
        if self._log.counts(began):
            self._log.driver += time.perf_counter() - began


@contextlib.contextmanager
def timed_saves(log):
    real = pd.DataFrame.to_excel

    def to_excel(self, *args, **kwargs):
        began = time.perf_counter()
        try:
            return real(self, *args, **kwargs)
        finally:
            if log.counts(began):
                log.saves += time.perf_counter() - began

    pd.DataFrame.to_excel = to_excel
    try:
        yield
    finally:
        pd.DataFrame.to_excel = real


def run(side, driver, origin, titles, copies, pic_wait, folder):
    """One run of `side` on a freshly reset marketplace: its figures per published copy."""
    harness.reset(origin, harness.parse_sample())
    df = pd.DataFrame({"name": titles, "amount": copies, "added": 0, "sign": 0})
    log = Log()
    vantrel.time = plain.clock = log
    get_res = vantrel.get_res if side == "module" else plain.get_res
    with timed_saves(log), contextlib.redirect_stdout(io.StringIO()):
        log.began = time.perf_counter()
        get_res(pic_wait, origin + ONSALE, "20190101", "20210909", df, df["name"].values,
                os.path.join(folder, f"{side}.xlsx"), 0, origin + ONSALE,
                Timed(driver, log), driver.window_handles)
    published = sum(harness.copies_by_title(harness.get_state(origin)).values())
    if not published or published != df["added"].sum():
        raise SystemExit(f"{side}: {published} copies on the marketplace, {df['added'].sum()}"
                         " counted in the table")
    wall = log.cleanup - log.began
    spent = {"wall": wall, "asked": log.asked, "overrun": log.slept - log.asked,
             "driver": log.driver, "saves": log.saves,
             "rest": wall - log.slept - log.driver - log.saves}
    return dict({name: seconds / published for name, seconds in spent.items()}, copies=published)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--items", type=int, default=2, choices=range(1, len(TITLES) + 1))
    parser.add_argument("--copies", type=int, default=1)
    parser.add_argument("--pic-wait", type=int, default=0)
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    titles = TITLES[:args.items]

    print(describe(f"pandas {pd.__version__}"))
    print(f"run: {args.items} items x {args.copies} copies, pic_wait {args.pic_wait}; stand-in:"
          f" results after {DEFAULT_KNOBS['results_delay']} s,"
          f" images after {DEFAULT_KNOBS['image_delay']} s")
    runs = {"module": [], "plain": []}
    with tempfile.TemporaryDirectory() as folder:
        market_port, chrome_port = harness.free_port(), harness.free_port()
        market = harness.start_marketplace(market_port)
        chromium = None
        try:
            chromium = harness.start_chromium(chrome_port, os.path.join(folder, "profile"))
            origin = f"http://127.0.0.1:{market_port}"
            os.environ["VANTREL_ORIGIN"] = origin
            vantrel.Select = plain.Select = Select
            pd.DataFrame({"name": titles}).to_excel(os.path.join(folder, "warm.xlsx"))  # imports
            began = time.perf_counter()
            driver = vantrel.init(origin + ONSALE, origin + ONSALE, "chromedriver",
                                  str(chrome_port))
            print(f"browser: {driver.capabilities.get('browserVersion')}, headless;"
                  f" attached in {time.perf_counter() - began:.2f} s")
            driver.implicitly_wait(0.3)  # as a run sets it after attaching
            for n in range(args.rounds):
                for side in (["module", "plain"] if n % 2 == 0 else ["plain", "module"]):
                    runs[side].append(run(side, driver, origin, titles, args.copies,
                                          args.pic_wait, folder))
        finally:
            harness.stop(chromium)
            harness.stop(market)

    print("\nper published copy: wall time, sleeps asked, and where the time beyond them went"
          " (ms; rest = the workflow itself, Python and the wrappers)")
    print(f"{'':>8} {'copies':>6} {'wall s':>7} {'asked s':>8} {'ratio':>6} {'beyond':>7}"
          f" {'overrun':>8} {'driver':>7} {'saves':>6} {'rest':>6}")
    for side, done in runs.items():
        for f in done:
            print(f"{side:>8} {f['copies']:>6} {f['wall']:>7.2f}"
                  f" {f['asked']:>8.2f} {f['wall'] / f['asked']:>6.3f}"
                  f" {(f['wall'] - f['asked']) * 1e3:>7.0f} {f['overrun'] * 1e3:>8.0f}"
                  f" {f['driver'] * 1e3:>7.0f} {f['saves'] * 1e3:>6.1f} {f['rest'] * 1e3:>6.1f}")
    module = sum(f["wall"] for f in runs["module"]) / len(runs["module"])
    python = sum(f["wall"] for f in runs["plain"]) / len(runs["plain"])
    print(f"\nwall time per copy, module / plain Python: {module / python:.3f}")


if __name__ == "__main__":
    main()
