"""The time left in the window's title against the time the run then took, on the stand-in
marketplace at real speed.

Run: .venv/bin/python bench/time_left.py   (options: --copies 2 2 1 --pic-wait 0)

Starts the stand-in marketplace (sample catalogue) and a headless Chromium, and runs
`vantrel.run_cli` with every answer an argument and real sleeps, standard output standing in for
a terminal so that the title is written. Each title is noted with the moment it was written.
Right after each copy the title says the time left; the run then still takes the time from that
moment to its finish line. Reported at the first, middle and last copy, and every copy with
--all. With --missing a row whose title the marketplace lacks is worked too: until its search
shows that, the time left counts a copy for it. About 20 s per copy: the defaults take about two
minutes.
"""

import argparse
import os
import re
import sys
import tempfile
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.dirname(BENCH), os.path.join(os.path.dirname(BENCH), "tests")]

import pandas as pd  # noqa: E402

import vantrel  # noqa: E402
from machine import describe  # noqa: E402
from standin import harness  # noqa: E402

TITLES = ["复古黄铜台灯", "Vintage Leather Wallet", "手工陶瓷茶杯 四只装", "香薰蜡烛 雪松"]
MISSING = "不在店里的商品"


class Terminal:
    """Standard output as a terminal: notes every title with its moment, and the finish line's."""

    def __init__(self, out):
        self.out, self.titles, self.finished = out, [], None

    def isatty(self):
        return True

    def write(self, text):
        now = time.perf_counter()
        for title in re.findall(r"\x1b\]0;([^\x07]*)\x07", text):
            self.titles.append((now, title))
        if "Finish-----" in text:
            self.finished = now
        return self.out.write(re.sub(r"\x1b\]0;[^\x07]*\x07", "", text))

    def flush(self):
        self.out.flush()


def seconds(said):
    """'about 1 min 5 s left' -> 65."""
    units = {"h": 3600, "min": 60, "s": 1}
    return sum(int(n) * units[u] for n, u in re.findall(r"(\d+) (h|min|s)\b", said))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--copies", type=int, nargs="+", default=[2, 2, 1])
    parser.add_argument("--pic-wait", type=int, default=0)
    parser.add_argument("--all", action="store_true", help="report every copy")
    parser.add_argument("--missing", action="store_true", help="add a row the marketplace lacks")
    args = parser.parse_args()
    rows = list(zip(TITLES, args.copies)) + ([(MISSING, 1)] if args.missing else [])
    print(describe(f"pandas {pd.__version__}"))
    print(f"rows: {rows}, image wait {args.pic_wait} s")

    with tempfile.TemporaryDirectory() as folder:
        market_port, chrome_port = harness.free_port(), harness.free_port()
        market = harness.start_marketplace(market_port)
        chromium = None
        try:
            chromium = harness.start_chromium(chrome_port, os.path.join(folder, "profile"))
            origin = f"http://127.0.0.1:{market_port}"
            workbook = os.path.join(folder, "commodity.xlsx")
            pd.DataFrame(rows, columns=["name", "amount"]).to_excel(workbook, index=False)
            terminal = Terminal(sys.stdout)
            sys.stdout = terminal
            try:
                status = vantrel.run_cli([workbook, "--image-wait", str(args.pic_wait), "--port", str(chrome_port),
                                          "--origin", origin, "--no-pause"])
            finally:
                sys.stdout = terminal.out
        finally:
            harness.stop(chromium)
            harness.stop(market)

    if status != 0 or terminal.finished is None:
        raise SystemExit(f"the run did not finish (exit status {status})")
    after_copies = []  # the title written as each copy was counted: the count went up
    for (_, before), (at, title) in zip(terminal.titles, terminal.titles[1:]):
        done = re.match(r"vantrel (\d+)/", title)
        if done and (m := re.match(r"vantrel (\d+)/", before)) and int(done[1]) == int(m[1]) + 1:
            after_copies.append((int(done[1]), at, title))
    print(f"\n{'copy':>5} {'said left s':>12} {'took s':>8} {'error':>7}   title")
    last = len(after_copies)
    wanted = range(1, last + 1) if args.all else sorted({1, (last + 1) // 2, last})
    worst = 0.0
    for copy, at, title in after_copies:
        if copy not in wanted:
            continue
        said, took = seconds(title.split(" · ")[-1]), terminal.finished - at
        error = (said - took) / took
        worst = max(worst, abs(error))
        print(f"{copy:>5} {said:>12} {took:>8.1f} {error:>+7.1%}   {title}")
    print(f"\nworst error at the copies shown: {worst:.1%} (bar: 15%)")


if __name__ == "__main__":
    main()
