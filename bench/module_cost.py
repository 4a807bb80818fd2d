"""Module cost on the in-memory fakes: vantrel.get_res against the same workflow in plain Python.

Run: .venv/bin/python bench/module_cost.py   (options: --rows 2000 --copies 3 --repeats 5
     --callgrind-rows 200 400 --no-callgrind --log)

Both sides run on the tests' fake marketplace (tests/fakemarket.py) with sleeps that return at
once and `to_excel` writing an empty file: real saves (bench/save_cost.py) would hide the rest.
Every title has two look-alikes listed before it, so each search walks two result pages, and 20
leftover drafts are deleted at the end. Both sides must leave the same page calls, sleeps,
copies and table. Each run is a process of its own, and the sides take turns.

CPU time is the median of --repeats runs. Instructions, where valgrind is installed, are counted
by callgrind for the measured call alone, at two table sizes; per copy is the difference over
the extra copies, so that start-up and first calls cancel. Counts do not move with the
machine's load; CPU time on a shared machine moves by about 20 % from run to run.
--log runs the module once more with VANTREL_LOG set to a file in a temporary folder.
"""

import argparse
import concurrent.futures
import ctypes
import gc
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.dirname(BENCH), os.path.join(os.path.dirname(BENCH), "tests")]

import pandas as pd  # noqa: E402

import plain  # noqa: E402
from fakemarket import FakeDriver, FakeMarket, FakeSelect  # noqa: E402
from machine import describe  # noqa: E402
from sellerpages import ONSALE  # noqa: E402

ORIGIN = "http://127.0.0.1:8700"

# Two calls around the measured call, so that callgrind counts it and nothing else.
REGION = r"""
#include <valgrind/callgrind.h>
void region_begin(void) { CALLGRIND_START_INSTRUMENTATION; CALLGRIND_TOGGLE_COLLECT; }
void region_end(void) { CALLGRIND_TOGGLE_COLLECT; CALLGRIND_STOP_INSTRUMENTATION; }
"""


class InstantClock:
    def __init__(self):
        self.slept = []

    def sleep(self, seconds):
        self.slept.append(seconds)


class EmptySaves(pd.DataFrame):
    @property
    def _constructor(self):
        return EmptySaves

    def to_excel(self, path, *args, **kwargs):
        open(path, "wb").close()


class IndexedDriver(FakeDriver):
    """The fake's driver with its search results kept per query: the fake scans every listing at
    every look-up, which at thousands of rows would drown everything else."""

    def _results(self):
        found = self.found.get(self.query)
        if found is None:
            found = self.found[self.query] = super()._results()
        return found


def run(side, rows, copies, region=None):
    """One call of the workflow in this process: its CPU time and a digest of what it did."""
    import vantrel

    titles = [f"item {n:05d}" for n in range(rows)]
    market = FakeMarket(ORIGIN, page_size=2)
    for title in titles:
        market.add(title + " (old)")
        market.add(title + " spare")
    for title in titles:
        market.add(title)
    for n in range(20):
        market.add_draft(f"draft {n}")
    driver = IndexedDriver(market)  # made so: swapping a driver's class slows its every read
    driver.found = {}
    for query in ["", *titles]:  # every search made once before the clock starts
        driver.query = query
        driver._results()
    driver.query = ""
    df = EmptySaves({"name": titles, "amount": copies, "added": 0, "sign": 0})
    clock = InstantClock()
    vantrel.time = plain.clock = clock
    vantrel.Select = plain.Select = FakeSelect
    get_res = plain.get_res if side == "plain" else vantrel.get_res
    helper = ctypes.CDLL(region) if region else None
    with tempfile.TemporaryDirectory() as folder, open(os.devnull, "w") as console:
        arguments = (0, ORIGIN + ONSALE, "20190101", "20210909", df, df["name"].values,
                     os.path.join(folder, "res.xlsx"), 0, ORIGIN + ONSALE, driver,
                     driver.window_handles)
        stdout, sys.stdout = sys.stdout, console
        # What exists now stays out of the collector's scans: a collection during the call then
        # costs what the call's own objects cost.
        gc.collect()
        gc.freeze()
        if helper:
            helper.region_begin()
        began = time.process_time()
        get_res(*arguments)
        cpu = time.process_time() - began
        if helper:
            helper.region_end()
        gc.unfreeze()
        sys.stdout = stdout
    done = repr((driver.events, clock.slept, market.published, df.values.tolist()))
    return {"cpu": cpu, "copies": len(market.published),
            "trace": hashlib.sha256(done.encode()).hexdigest()[:12]}


def child(side, rows, copies, region=None):
    """Runs `side` in a fresh process, under callgrind when `region` (the helper) is given."""
    command = [sys.executable, __file__, "--child", side, "--rows", str(rows),
               "--copies", str(copies)]
    env = dict(os.environ, PYTHONHASHSEED="0")  # dicts and sets probe alike from run to run
    for name in ("VANTREL_LOG", "VANTREL_ORIGIN"):  # the fakes answer the default origin only
        env.pop(name, None)
    with tempfile.TemporaryDirectory() as folder:
        if side == "logged":
            env["VANTREL_LOG"] = os.path.join(folder, "run.log")
        out = os.path.join(folder, "callgrind.out")
        if region:
            command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                       "--instr-atstart=no", "--collect-atstart=no", *command, "--region", region]
        done = subprocess.run(command, env=env, capture_output=True, text=True)
        if done.returncode:
            raise SystemExit(f"{side} at {rows} rows failed:\n{done.stderr[-3000:]}")
        result = json.loads(done.stdout.splitlines()[-1])
        if region:
            with open(out, encoding="utf-8", errors="replace") as handle:
                totals = [line for line in handle if line.startswith("totals:")]
            result["instructions"] = int(totals[-1].split()[1])
    return result


def check_same(results):
    if len({result["trace"] for result in results}) != 1:
        raise SystemExit("the sides did not make the same calls: the figures do not compare")


def cpu_figures(sides, rows, copies, repeats):
    runs = {side: [] for side in sides}
    for n in range(repeats):  # in turn, so that a busy spell of the machine hits every side
        for side in sides[n % len(sides):] + sides[:n % len(sides)]:
            runs[side].append(child(side, rows, copies))
    check_same([result for done in runs.values() for result in done])
    print(f"\nCPU time per copy, median of {repeats} runs (lowest-highest), {rows} rows x {copies}"
          f" copies = {runs[sides[0]][0]['copies']} copies")
    per = {}
    for side, done in runs.items():
        each = sorted(result["cpu"] / (rows * copies) * 1e6 for result in done)
        per[side] = statistics.median(each)
        print(f"  {side:<8} {per[side]:8.1f} us  ({each[0]:.1f}-{each[-1]:.1f})")
    return per


def instruction_figures(sides, sizes, copies):
    small, large = sizes
    with tempfile.TemporaryDirectory() as folder:
        source, helper = os.path.join(folder, "region.c"), os.path.join(folder, "region.so")
        with open(source, "w") as handle:
            handle.write(REGION)
        subprocess.run(["cc", "-O1", "-shared", "-fPIC", "-o", helper, source], check=True)
        with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
            jobs = {(side, rows): pool.submit(child, side, rows, copies, helper)
                    for side in sides for rows in sizes}
            results = {key: job.result() for key, job in jobs.items()}
    for rows in sizes:
        check_same([results[side, rows] for side in sides])
    print(f"\ninstructions per copy, by callgrind: (at {large} rows - at {small} rows)"
          f" / {(large - small) * copies} copies")
    per = {}
    for side in sides:
        per[side] = (results[side, large]["instructions"] - results[side, small]["instructions"]
                     ) / ((large - small) * copies)
        print(f"  {side:<8} {per[side]:12,.0f}")
    return per


def ratios(title, per):
    line = f"  {title}: module / plain Python {per['module'] / per['plain']:.3f}"
    if "logged" in per:
        line += f"; module with log / without {per['logged'] / per['module']:.3f}"
    print(line)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=2000)
    parser.add_argument("--copies", type=int, default=3)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--callgrind-rows", type=int, nargs=2, default=(200, 400))
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("--log", action="store_true", help="also the module with VANTREL_LOG set")
    parser.add_argument("--child", choices=["module", "plain", "logged"], help=argparse.SUPPRESS)
    parser.add_argument("--region", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        run(args.child, 5, args.copies)  # pandas' and the fakes' first calls
        print(json.dumps(run(args.child, args.rows, args.copies, args.region)))
        return

    import vantrel
    print(describe(f"pandas {pd.__version__}"))
    print(f"vantrel from {vantrel.__file__}")
    sides = ["module", "plain"] + ["logged"] * args.log
    cpu = cpu_figures(sides, args.rows, args.copies, args.repeats)
    counted = None
    if args.no_callgrind:
        pass
    elif shutil.which("valgrind") and os.path.exists("/usr/include/valgrind/callgrind.h"):
        counted = instruction_figures(sides, args.callgrind_rows, args.copies)
    else:
        print("\n(no instruction counts: valgrind and its callgrind.h are not installed)")
    print("\nratios")
    ratios("CPU time    ", cpu)
    if counted:
        ratios("instructions", counted)


if __name__ == "__main__":
    main()
