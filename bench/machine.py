"""The line every benchmark prints first: the machine its figures came from, and how busy it was."""

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
    load = "/".join(f"{figure:.1f}" for figure in os.getloadavg())
    parts = [f"{os.cpu_count()} CPUs ({model})", f"load average {load}",
             f"{platform.system()} {platform.release()}", f"Python {platform.python_version()}",
             *extras]
    return "machine: " + ", ".join(parts)
