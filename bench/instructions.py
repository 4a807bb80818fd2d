"""Instructions executed, counted by callgrind, and who executed them.

Instruction counts do not depend on the machine's load or clock, so they show differences of a
few per cent that CPU time hides in its noise. Only the measured call is counted: the child
process brackets it with callgrind's client requests (a helper of two functions, compiled here
from valgrind's callgrind.h), and everything before it (start-up, imports, setup, warm-up) runs
uninstrumented, which keeps a run to tens of seconds instead of minutes. Two table sizes are
subtracted so that what does not grow with the table (the first pass's and the draft cleanup's
calls, first-call caches, the bracketing itself) cancels out.

The counts repeat exactly for the same code. A change anywhere in the process, even in what the
benchmark imports, moves objects to other addresses, and with them the probe lengths of sets and
dicts keyed by identity and the moments the collector runs: expect the per-copy figures to move
by up to about 1 % (5,000-10,000 instructions per copy) from such changes alone.
"""

import collections
import os
import shutil
import subprocess

HELPER = r"""
#include <valgrind/callgrind.h>
void region_begin(void) { CALLGRIND_START_INSTRUMENTATION; CALLGRIND_TOGGLE_COLLECT; }
void region_end(void) { CALLGRIND_TOGGLE_COLLECT; CALLGRIND_STOP_INSTRUMENTATION; }
"""


def available():
    return (shutil.which("valgrind") is not None and shutil.which("cc") is not None
            and os.path.exists("/usr/include/valgrind/callgrind.h"))


def build_helper(folder):
    """Compiles the region helper into folder; returns its path."""
    source, library = os.path.join(folder, "region.c"), os.path.join(folder, "region.so")
    with open(source, "w") as handle:
        handle.write(HELPER)
    subprocess.run(["cc", "-O1", "-shared", "-fPIC", "-o", library, source], check=True)
    return library


def command(out_file):
    return ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}",
            "--instr-atstart=no", "--collect-atstart=no"]


def run(child_command, out_file):
    """Runs child_command under callgrind; returns its stdout."""
    # One hash seed for every run: string hashes decide how dicts and sets probe, which would
    # otherwise move the counts by a little from one run to the next.
    done = subprocess.run(command(out_file) + child_command, capture_output=True, text=True,
                          env=dict(os.environ, PYTHONHASHSEED="0"))
    if done.returncode != 0:
        raise RuntimeError(f"callgrind run failed ({done.returncode}):\n{done.stderr[-3000:]}")
    return done.stdout


def read(path):
    """Self instructions (Ir) per object file and per (object file, function), and the total,
    from a callgrind output file. The line after `calls=` is the call's inclusive cost and is
    not the caller's own, so it is left out."""
    names = {"ob": {}, "fn": {}}
    by_object, by_function = collections.Counter(), collections.Counter()
    obj = fn = None
    total = None
    after_call = False

    def name(kind, text):
        text = text.strip()
        if text.startswith("("):
            ident, _, rest = text.partition(")")
            rest = rest.strip()
            if rest:
                names[kind][ident] = rest
            return names[kind].get(ident, text)
        return text

    with open(path, encoding="utf-8", errors="replace") as handle:
        for line in handle:
            head = line[:1]
            if head.isdigit() or head in "+-*":
                if after_call:
                    after_call = False
                    continue
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                by_object[obj] += cost
                by_function[(obj, fn)] += cost
            elif line.startswith("ob="):
                obj = name("ob", line[3:])
            elif line.startswith("cob="):
                name("ob", line[4:])
            elif line.startswith("fn="):
                fn = name("fn", line[3:])
            elif line.startswith("cfn="):
                name("fn", line[4:])
            elif line.startswith("calls="):
                after_call = True
            elif line.startswith(("summary:", "totals:")):
                total = int(line.split()[1])
    counted = sum(by_object.values())
    if total is not None and total != counted:
        raise ValueError(f"{path}: summary {total} but self costs add up to {counted}")
    return {"total": counted, "objects": dict(by_object), "functions": dict(by_function)}


def short(obj):
    return os.path.basename(obj or "?")
