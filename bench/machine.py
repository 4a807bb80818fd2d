"""The line every benchmark prints first: what machine its figures came from."""

import os
import platform


def describe(*extras):
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as handle:
            model = next(line.split(":", 1)[1].strip() for line in handle
                         if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    parts = [f"{os.cpu_count()} CPUs ({model})", f"{platform.system()} {platform.release()}",
             f"Python {platform.python_version()}", *extras]
    return "machine: " + ", ".join(parts)
