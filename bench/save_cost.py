"""Cost of one save of the result workbook, by table size and xlsx engine.

Every change in a run rewrites the whole result workbook, so this is paid once per published copy.
Run: .venv/bin/python bench/save_cost.py
"""
import os
import statistics
import tempfile
import time

import pandas as pd

from machine import describe


def table(rows):
    return pd.DataFrame({
        "name": [f"item {i} <b>\"quoted\"</b>" for i in range(rows)],
        "amount": [3] * rows,
        "added": [i % 4 for i in range(rows)],
        "sign": [i % 3 for i in range(rows)],
    })


def seconds_per_save(df, engine, folder, repeats):
    path = os.path.join(folder, f"{engine}.xlsx")
    times = []
    for _ in range(repeats):
        began = time.perf_counter()
        df.to_excel(path, index=False, engine=engine)
        times.append(time.perf_counter() - began)
    return statistics.median(times)


def main():
    print(describe(f"pandas {pd.__version__}"))
    with tempfile.TemporaryDirectory() as folder:
        probe = os.path.join(folder, "probe.xlsx")
        with pd.ExcelWriter(probe) as writer:
            default = writer.engine
        print(f"engine pandas picks for .xlsx: {default}")
        print(f"{'rows':>7} {'openpyxl ms':>12} {'xlsxwriter ms':>14} {'speed-up':>9}")
        for rows in (100, 1_000, 10_000):
            df = table(rows)
            repeats = 7 if rows < 10_000 else 3
            slow = seconds_per_save(df, "openpyxl", folder, repeats)
            fast = seconds_per_save(df, "xlsxwriter", folder, repeats)
            print(f"{rows:>7} {slow * 1e3:>12.1f} {fast * 1e3:>14.1f} {slow / fast:>8.1f}x")


if __name__ == "__main__":
    main()
