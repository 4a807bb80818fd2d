"""Module cost without a browser: vantrel.get_res against the in-memory fake marketplace.

Run: .venv/bin/python bench/module_cost.py
     (options: --rows 2000 --copies 3 --saved-rows 200 --repeats 3 --no-saves;
      --callgrind adds instruction counts, --callgrind-only gives only those,
      --callgrind-rows 200 400, --callgrind-keep DIR keeps callgrind's files for callgrind_annotate)

Every sleep returns at once. Each configuration runs in fresh processes of their own, --repeats
times through vantrel.get_res and as often through `python_get_res` below, a straightforward
pure-Python function that makes the same calls on the same fakes (plan, passes, search, page
walk, editor, atomic saves, draft cleanup). Reported: CPU time (time.process_time) per row and
per copy, the peak of traced Python allocations (tracemalloc, a second run) and of the
resident set, and the ratio module / pure Python.

Both totals include the callees: the fakes, pandas, the saves' os calls, print. "Fakes alone" is
their cost without any caller logic around them: plain Python's calls are recorded once and
replayed as straight-line code against a fresh setup, less the same replay against no-op targets
(callreplay.py says how, and where it is not exact). Own cost = total - fakes alone, for the
module and for plain Python; the replay must make the same page calls, sleeps, copies and table
as both (the trace check below). With --callgrind, the same four configurations (module, plain
Python, replay, no-op replay) run under callgrind at two table sizes with stubbed saves, and the
instructions per copy are the difference of the two, over the extra copies (instructions.py);
for the module and plain Python they are also split by object file (the vantrel extension, the
interpreter, numpy, libc ...). The fakes alone are split too, by replaying one group of callees
at a time with the others as no-op targets (GROUPS): the table and its saves (pandas, os), which
any caller of this workflow must pay whatever stands in for the browser, the fake pages, and the
clock and console. From them comes the floor: the ratio module / plain Python of a module that
cost nothing of its own, on these fakes and on pages that cost nothing. Instruction counts are
exact and load-independent; CPU time on a busy machine is not, so the load average is printed
with each table.

Saves dominate a real run (each copy rewrites the whole workbook), so the full size runs with
`to_excel` writing an empty file, and real xlsx saves run on a smaller table (--saved-rows):
2,000 rows x 3 copies of real saves would be 6,000 saves of a 2,000-row workbook, about five
minutes per run. With real saves own costs are small differences of large, noisy totals. The
fake's search results are kept per query, filled in before timing, so that its linear scan of
every listing at every look-up does not drown the figures. Takes about five minutes with the
defaults, about a minute and a half more with --callgrind.
"""

import argparse
import ctypes
import gc
import hashlib
import json
import os
import pickle
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
import types

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.join(ROOT, "tests")]

import pandas as pd  # noqa: E402

import sellerpages  # noqa: E402
from fakemarket import FakeMarket, FakeSelect  # noqa: E402
from sellerpages import (CARD_TITLE, CHECKBOX, CLICK, CONFIRM, COPY_BUTTON,  # noqa: E402
                         DELETE_BUTTON, FIRST_BUTTON, FOOTER, ITEM_LIST, PAGER_ITEM, PAGER_LINK,
                         PUBLISH, SCROLL_DOWN, SCROLL_UP, SEARCH_BOX, VISIBILITY)
import callreplay  # noqa: E402
import instructions  # noqa: E402
from machine import describe  # noqa: E402

ORIGIN = "http://127.0.0.1:8700"
ONSALE = ORIGIN + sellerpages.ONSALE
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


def origin():
    """The marketplace's origin, read for every address as the module reads it: the host may
    point VANTREL_ORIGIN elsewhere while a run goes on."""
    value = os.environ.get("VANTREL_ORIGIN")
    if not value:
        return ORIGIN
    return value.rstrip("/")


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
    driver.get(origin() + sellerpages.DRAFTS)
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
    driver.get(origin() + sellerpages.ONSALE)
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


def trace_of(driver, clock, market, df):
    """What two runs must share to have made the same calls."""
    return hashlib.sha256(repr((driver.events, clock.slept, market.published,
                                df.values.tolist())).encode()).hexdigest()[:12]


def timed(invoke, region):
    """CPU and wall time of invoke(). `region`: the path of instructions' helper, whose two calls
    make callgrind count this call alone (not the start-up, imports, setup or warm-up)."""
    if region:
        helper = ctypes.CDLL(region)
        helper.region_begin()
    cpu, wall = time.process_time(), time.perf_counter()
    try:
        invoke()
    finally:
        cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
        if region:
            helper.region_end()
    return cpu, wall


# The callees in three groups, each replayed alone (its roots real, the others no-op targets):
# what the module must call whatever fakes stand in for the browser (pandas and os: the table and
# its saves), the fake pages, and the rest (the clock and the console). The saves' os calls go
# with the table: os.replace needs the file that to_excel wrote.
GROUPS = {"table": ("df", "os"), "pages": ("driver", "FakeSelect"), "rest": ("clock", "print")}


def real_roots(which):
    """The roots a replay runs against for real; the others are no-op targets."""
    return dict(GROUPS, fakes=callreplay.ROOTS, noop=())[which]


def run_once(which, rows, copies, stub, folder, program=None, region=None):
    """One timed run: the module, plain Python, the fakes' calls replayed ("fakes"), the same
    replay against no-op targets ("noop"), or against one group's callees alone (GROUPS)."""
    global clock
    import vantrel

    market, driver, fast, df, res_path = setup(rows, copies, stub, folder)
    clock = InstantClock()
    if which in ("module", "python"):
        vantrel.time, vantrel.Select = clock, FakeSelect
        function = vantrel.get_res if which == "module" else python_get_res

        def invoke():
            function(0, ONSALE, "20190101", "20210909", df, df["name"].values, res_path, 0, ONSALE,
                     driver, ["w"])
    else:
        functions = callreplay.compile_program(program)
        count, constants = program["registers"], program["constants"]
        roots = dict(zip(callreplay.ROOTS, (driver, df, clock, FakeSelect, os, print)))
        nop, kept = callreplay.nop_target(program["names"]), real_roots(which)
        registers = ([roots[name] if name in kept else nop for name in callreplay.ROOTS]
                     + [None] * (count - len(roots)))

        def invoke():
            callreplay.replay(functions, registers, constants)
    stdout, sys.stdout = sys.stdout, NullConsole()
    # Everything made so far (imports, the setup, the replay program) is frozen out of the
    # collector's scans, so that a full collection during the run costs what the run's own
    # objects cost, not what this process happens to have imported.
    gc.collect()
    gc.freeze()
    try:
        cpu, wall = timed(invoke, region)
    finally:
        sys.stdout = stdout
        gc.unfreeze()
    return {"cpu": cpu, "wall": wall, "copies": len(market.published), "events": len(driver.events),
            "sleeps": len(clock.slept), "trace": trace_of(driver, clock, market, df),
            "unknown": len(market.unknown), "indexed": fast, "vantrel": vantrel.__file__}


def record_program(rows, copies, stub, folder, path):
    """Runs python_get_res with recording proxies around its outside objects and writes the
    replay program to `path` (see callreplay). The saves' paths are recorded as constants, so
    the replay must use the same `folder`."""
    market, driver, fast, df, res_path = setup(rows, copies, stub, folder)
    recorder = callreplay.Recorder()
    the_clock = InstantClock()
    p_driver, p_df, p_clock, p_select, p_os, p_print = recorder.roots(
        driver=driver, df=df, clock=the_clock, FakeSelect=FakeSelect, os=os, print=print)
    # The same functions, bound to a namespace in which their globals are the proxies.
    namespace = dict(globals(), clock=p_clock, FakeSelect=p_select, os=p_os, print=p_print)
    for f in (python_get_res, plan, origin, open_copy, publish_copy, mark, save):
        namespace[f.__name__] = types.FunctionType(f.__code__, namespace, f.__name__,
                                                   f.__defaults__, f.__closure__)
    stdout, sys.stdout = sys.stdout, NullConsole()
    try:
        namespace["python_get_res"](0, ONSALE, "20190101", "20210909", p_df, df["name"].values,
                                    res_path, 0, ONSALE, p_driver, ["w"])
    finally:
        sys.stdout = stdout
    built = callreplay.program(recorder)
    with open(path, "wb") as handle:
        pickle.dump(built, handle, protocol=pickle.HIGHEST_PROTOCOL)
    return {"trace": trace_of(driver, the_clock, market, df), "steps": built["steps"],
            "registers": built["registers"], "copies": len(market.published)}


def rss_kib():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def child(which, rows, copies, stub, trace, program_path=None, folder=None, region=None):
    if which == "record":  # in a process of its own: the recording's memory stays out of the others'
        print(json.dumps(record_program(rows, copies, stub, folder, program_path)))
        return
    __import__("vantrel")  # imported before the baseline figures are taken
    program = None
    if program_path:
        with open(program_path, "rb") as handle:
            program = pickle.load(handle)

    with tempfile.TemporaryDirectory() as scratch:
        folder = folder or scratch
        # warms up pandas' and the fakes' first calls; the replays warm up on plain Python's
        run_once(which if not program else "python", 5, copies, stub, scratch)
        rss_before = rss_kib()
        result = run_once(which, rows, copies, stub, folder, program, region)
        result["rss_before_kib"] = rss_before
        result["rss_peak_kib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        if trace:
            gc.collect()
            tracemalloc.start()
            base = tracemalloc.get_traced_memory()[0]
            run_once(which, rows, copies, stub, folder, program)
            result["traced_peak_kib"] = (tracemalloc.get_traced_memory()[1] - base) / 1024
            tracemalloc.stop()
    print(json.dumps(result))


def child_command(which, rows, copies, stub, trace=False, program=None, folder=None, region=None):
    return ([sys.executable, os.path.abspath(__file__), "--child", which, "--rows", str(rows),
             "--copies", str(copies)] + ["--stub"] * stub + ["--trace"] * trace
            + ["--program", program] * bool(program) + ["--folder", folder] * bool(folder)
            + ["--region", region] * bool(region))


def record(rows, copies, stub, program, folder):
    """Records plain Python's calls into `program` (see record_program), in a fresh process."""
    return measure("record", rows, copies, stub, False, program, folder)


def measure(which, rows, copies, stub, trace, program=None, folder=None):
    """One run in a fresh process (its memory figures are its own)."""
    out = subprocess.run(child_command(which, rows, copies, stub, trace, program, folder),
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def per_copy(seconds, rows, copies):
    return seconds / (rows * copies)


def report(title, rows, copies, stub, repeats):
    print(f"\n{title}: {rows} rows x {copies} copies, {rows * copies} copies"
          f" + {LEFTOVER_DRAFTS} leftover drafts, 2 result pages per search;"
          f" CPU: median of {repeats} runs each; load average {load()}")
    with tempfile.TemporaryDirectory() as folder:
        program = os.path.join(folder, "program.pickle")
        recorded = record(rows, copies, stub, program, folder)
        runs = {"module": [], "python": [], "fakes": [], "noop": []}
        order = list(runs)
        for n in range(repeats):  # in turn, so that a busy spell of the machine hits all
            for which in order[n % 4:] + order[:n % 4]:
                replayed = which in ("fakes", "noop")
                runs[which].append(measure(which, rows, copies, stub, trace=n == 0 and not replayed,
                                           program=program if replayed else None,
                                           folder=folder if replayed else None))
    results = {}
    for which, done in runs.items():
        results[which] = dict(done[0], cpu=statistics.median(r["cpu"] for r in done),
                              cpus=[r["cpu"] for r in done])
    print(f"{'':>14} {'CPU s':>8} {'per row ms':>11} {'per copy ms':>12} {'traced peak':>12}"
          f" {'RSS peak':>9} {'RSS growth':>11}")
    for which in ("module", "python"):
        r = results[which]
        print(f"{which:>14} {r['cpu']:>8.2f} {r['cpu'] / rows * 1e3:>11.3f}"
              f" {per_copy(r['cpu'], rows, copies) * 1e3:>12.3f}"
              f" {r['traced_peak_kib'] / 1024:>9.1f} MiB {r['rss_peak_kib'] / 1024:>5.0f} MiB"
              f" {(r['rss_peak_kib'] - r['rss_before_kib']) / 1024:>7.1f} MiB")
    module, python, fakes, noop = (results[k] for k in ("module", "python", "fakes", "noop"))
    same = (module["trace"] == python["trace"] == fakes["trace"] == recorded["trace"]
            and module["unknown"] == python["unknown"] == fakes["unknown"] == 0)
    if not module["indexed"]:
        print("(the fake's search could not be indexed: its scans are in both figures)")
    print(f"{'module/python':>14} {module['cpu'] / python['cpu']:>8.3f}   (same calls, sleeps, copies"
          f" and table, the replay too: {'yes' if same else 'NO'}; {module['copies']} copies,"
          f" {module['events']} page events, {module['sleeps']} sleeps)")
    alone = fakes["cpu"] - noop["cpu"]
    results["alone"] = {"cpu": alone}
    print(f"{'fakes alone':>14} {alone:>8.2f} {alone / rows * 1e3:>11.3f}"
          f" {per_copy(alone, rows, copies) * 1e3:>12.3f}   = replay {fakes['cpu']:.2f} s"
          f" - no-op replay {noop['cpu']:.2f} s; {recorded['steps'] / (rows * copies):.1f} steps"
          f" per copy")
    for which in ("module", "python"):
        own = results[which]["cpu"] - alone
        results[which]["own"] = own
        print(f"{which + ' own':>14} {own:>8.2f} {own / rows * 1e3:>11.3f}"
              f" {per_copy(own, rows, copies) * 1e3:>12.3f}   (total - fakes alone)")
    spread = {k: f"{min(r['cpus']) / rows / copies * 1e6:.0f}-{max(r['cpus']) / rows / copies * 1e6:.0f}"
              for k, r in results.items() if "cpus" in r}
    print(f"{'':>14} per copy, lowest-highest run, us: " + ", ".join(f"{k} {v}" for k, v in spread.items()))
    if not same:
        raise SystemExit("the runs did not make the same calls: figures not comparable")
    return results


def load():
    return "/".join(f"{x:.1f}" for x in os.getloadavg())


# --- instructions, counted by callgrind -----------------------------------------------------

CALLGRIND_CONFIGS = ("module", "python", "fakes", "noop") + tuple(GROUPS)
REPLAYED = ("fakes", "noop") + tuple(GROUPS)


def callgrind_report(sizes, copies, keep=None):
    """Instructions per copy of each configuration: (Ir(large) - Ir(small)) / (rows more x copies),
    stubbed saves, each run in a fresh process under callgrind, only the measured call counted."""
    import concurrent.futures

    small, large = sizes
    print(f"\ninstructions by callgrind: {small} and {large} rows x {copies} copies, to_excel"
          f" writing an empty file; per copy = (Ir({large}) - Ir({small})) / ({large - small} x"
          f" {copies})")
    began = time.perf_counter()
    with tempfile.TemporaryDirectory() as folder:
        out_folder = keep or folder
        os.makedirs(out_folder, exist_ok=True)
        helper = instructions.build_helper(folder)
        # The saves' paths are constants of a program, and the replays that really save run at
        # the same time: each gets a folder and a recording of its own, the same steps with
        # another folder in the paths. The others never touch a file and share the first.
        saving = [which for which in REPLAYED if "os" in real_roots(which)]
        programs, recorded = {}, {}
        for rows in sizes:
            for n, which in enumerate(saving):
                work = os.path.join(folder, f"rows{rows}-{n}")
                os.makedirs(work)
                programs[rows, which] = (os.path.join(work, "program.pickle"), work)
                recorded[rows, which] = record(rows, copies, True, programs[rows, which][0], work)
            recorded[rows] = recorded[rows, "fakes"]
        jobs = {}
        with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
            for rows in sizes:
                for which in CALLGRIND_CONFIGS:
                    replayed = which in REPLAYED
                    program, work = (programs.get((rows, which), programs[rows, "fakes"])
                                     if replayed else (None, None))
                    out_file = os.path.join(out_folder, f"callgrind.{which}.{rows}")
                    command = child_command(which, rows, copies, True, program=program,
                                            folder=work, region=helper)
                    jobs[which, rows] = (pool.submit(instructions.run, command, out_file), out_file)
            costs = {}
            for key, (job, out_file) in jobs.items():
                result = json.loads(job.result().strip().splitlines()[-1])
                costs[key] = dict(instructions.read(out_file), result=result)
    per = {which: (costs[which, large]["total"] - costs[which, small]["total"])
           / ((large - small) * copies) for which in CALLGRIND_CONFIGS}
    for rows in sizes:
        traces = {costs[w, rows]["result"]["trace"] for w in ("module", "python", "fakes")}
        if traces != {recorded[rows]["trace"]}:
            raise SystemExit(f"callgrind runs at {rows} rows did not make the same calls")
    per["alone"] = per["fakes"] - per["noop"]
    per["module own"] = per["module"] - per["alone"]
    per["python own"] = per["python"] - per["alone"]
    print(f"{'':>14} {'Ir ' + str(small):>14} {'Ir ' + str(large):>14} {'per copy':>10}")
    for which in CALLGRIND_CONFIGS:
        print(f"{which:>14} {costs[which, small]['total']:>14,} {costs[which, large]['total']:>14,}"
              f" {per[which]:>10,.0f}")
    for which in ("alone", "module own", "python own"):
        print(f"{which:>14} {'':>14} {'':>14} {per[which]:>10,.0f}")
    print(f"{'module/python':>14} {per['module'] / per['python']:.3f};"
          f" own: {per['module own'] / per['python own']:.3f}")
    floors(per)
    # Who executed them: self instructions per object file, per copy.
    for which in ("module", "python"):
        objects = {}
        for rows, sign in ((large, 1), (small, -1)):
            for obj, ir in costs[which, rows]["objects"].items():
                name = instructions.short(obj)
                objects[name] = objects.get(name, 0) + sign * ir
        shown = sorted(objects.items(), key=lambda item: -item[1])
        print(f"{which:>14} by object, per copy: " + ", ".join(
            f"{name} {ir / ((large - small) * copies):,.0f}" for name, ir in shown[:6]
            if abs(ir) >= (large - small) * copies))
        per[which + " objects"] = {name: ir / ((large - small) * copies) for name, ir in shown}
    objects = per["module objects"]
    extension = sum(ir for name, ir in objects.items() if name.startswith("vantrel."))
    interpreter = sum(ir for name, ir in objects.items() if name.startswith("python3"))
    rest = per["module"] - extension - interpreter
    per["extension"], per["interpreter"] = extension, interpreter
    print(f"{'':>14} module per copy: {extension:,.0f} in the vantrel extension"
          f" ({extension / per['module']:.1%}), {interpreter:,.0f} in the interpreter"
          f" ({interpreter / per['module']:.1%}), {rest:,.0f} elsewhere (libc, numpy, pandas ...)")
    print(f"(callgrind: {time.perf_counter() - began:.0f} s"
          + (f"; output files kept in {keep})" if keep else ")"))
    return per


def floors(per):
    """The fakes alone by group, and the lowest ratio module / plain Python that a caller making
    these calls can reach: with no cost of its own, on these fakes and on pages that cost
    nothing."""
    for group in GROUPS:
        per[group + " alone"] = per[group] - per["noop"]
    parts = sum(per[group + " alone"] for group in GROUPS)
    print(f"{'fakes alone':>14} by group, per copy: " + ", ".join(
        f"{group} ({' + '.join(roots)}) {per[group + ' alone']:,.0f}"
        for group, roots in GROUPS.items()) + f"; together {parts:,.0f}")
    python_own = per["python own"]
    fixed = per["table alone"] + per["rest alone"]
    per["floor"] = per["alone"] / per["python"]
    per["floor without pages"] = fixed / (fixed + python_own)
    print(f"{'':>14} a module with no own cost: {per['floor']:.3f} of plain Python on these"
          f" fakes, {per['floor without pages']:.3f} on pages that cost nothing"
          f" (table + rest over table + rest + plain Python's own)")


def summary(stubbed, saved, counted, rows, saved_rows, copies):
    """The README's table: per copy, CPU (median) and instructions."""
    keys = (("module", "module"), ("plain Python", "python"), ("fakes alone", "alone"),
            ("module own (module − fakes)", "module own"),
            ("plain Python own (plain Python − fakes)", "python own"))
    cpu = {}
    for name, table, rows_ in (("stubbed", stubbed, rows), ("saved", saved, saved_rows)):
        if table is not None:
            figures = {k: table[k]["cpu"] for k in ("module", "python", "alone")}
            figures.update({f"{k} own": table[k]["own"] for k in ("module", "python")})
            cpu[name] = {k: per_copy(v, rows_, copies) for k, v in figures.items()}

    def cell(name, key, scale, unit, digits):
        return f"{cpu[name][key] * scale:,.{digits}f} {unit}" if name in cpu else "–"

    def ratio(figures, a, b):
        return f"**{figures[a] / figures[b]:.2f}**" if figures else "–"

    lines = ["| per copy | CPU, empty-file saves | CPU, real saves | instructions |",
             "|---|---:|---:|---:|"]
    for label, key in keys:
        lines.append(f"| {label} | {cell('stubbed', key, 1e6, 'µs', 1)} |"
                     f" {cell('saved', key, 1e3, 'ms', 2)} |"
                     f" {f'{counted[key]:,.0f}' if counted else '–'} |")
    for label, a, b in (("module / plain Python", "module", "python"),
                        ("module own / plain Python own", "module own", "python own")):
        lines.append(f"| {label} | {ratio(cpu.get('stubbed'), a, b)} |"
                     f" {ratio(cpu.get('saved'), a, b)} | {ratio(counted, a, b)} |")
    heads = []
    if stubbed is not None:
        heads.append(f"CPU {rows:,} rows × {copies} copies with empty-file saves")
    if saved is not None:
        heads.append(f"{saved_rows:,} rows × {copies} copies with real xlsx saves")
    if counted:
        small, large = counted["sizes"]
        heads.append(f"instructions {small} and {large} rows with empty-file saves")
    print("\nsummary, per copy (" + "; ".join(heads) + ")\n")
    print("\n".join(lines))
    if counted:
        print(f"\nof the module's {counted['module']:,.0f} instructions per copy,"
              f" {counted['extension']:,.0f} are in the vantrel extension itself and"
              f" {counted['interpreter']:,.0f} in the interpreter")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=2000)
    parser.add_argument("--copies", type=int, default=3)
    parser.add_argument("--saved-rows", type=int, default=200)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--no-saves", action="store_true", help="skip the real xlsx saves")
    parser.add_argument("--callgrind", action="store_true",
                        help="also count instructions under callgrind (a few minutes)")
    parser.add_argument("--callgrind-only", action="store_true", help="only count instructions")
    parser.add_argument("--callgrind-rows", type=int, nargs=2, default=(200, 400))
    parser.add_argument("--callgrind-keep", metavar="DIR",
                        help="keep callgrind's output files in DIR (for callgrind_annotate)")
    parser.add_argument("--child", choices=["module", "python", "record", *REPLAYED])
    parser.add_argument("--stub", action="store_true")
    parser.add_argument("--trace", action="store_true")
    parser.add_argument("--program")
    parser.add_argument("--folder")
    parser.add_argument("--region")
    args = parser.parse_args()
    if args.child:
        child(args.child, args.rows, args.copies, args.stub, args.trace, args.program, args.folder,
              args.region)
        return
    import vantrel
    print(describe(f"pandas {pd.__version__}"))
    print(f"vantrel from {vantrel.__file__}")
    print("CPU time covers the fakes too (driver, pages, Select) and, with real saves,"
          " pandas' xlsx writer")
    began = time.perf_counter()
    stubbed = saved = counted = None
    if not args.callgrind_only and os.getloadavg()[0] > 0.5:
        print(f"note: the machine is busy (load average {load()}): CPU figures will be noisy;"
              " instruction counts (--callgrind) are not affected")
    if not args.callgrind_only:
        stubbed = report("to_excel writing an empty file", args.rows, args.copies, True,
                         args.repeats)
        if not args.no_saves:
            saved = report("real xlsx saves", args.saved_rows, args.copies, False, args.repeats)
        if saved:
            module = per_copy(stubbed["module"]["cpu"], args.rows, args.copies)
            python = per_copy(stubbed["python"]["cpu"], args.rows, args.copies)
            module_saved = per_copy(saved["module"]["cpu"], args.saved_rows, args.copies)
            print(f"\nthe module against plain Python, per copy: {(module - python) * 1e6:+.1f} us,"
                  f" of {module * 1e6:.1f} us without saves and {module_saved * 1e3:.2f} ms"
                  f" with saves of a {args.saved_rows}-row workbook")
        print(f"(CPU figures: {time.perf_counter() - began:.0f} s)")
    if args.callgrind or args.callgrind_only:
        if not instructions.available():
            raise SystemExit("valgrind is not installed")
        counted = callgrind_report(args.callgrind_rows, args.copies, args.callgrind_keep)
        counted["sizes"] = args.callgrind_rows
    summary(stubbed, saved, counted, args.rows, args.saved_rows, args.copies)


if __name__ == "__main__":
    main()
