"""One interactive vantrel session in a process of its own, for tests that kill it from outside.

    python run_vantrel.py WORKBOOK PIC_WAIT PORT SCALE [ENTRY]

The three answers are typed for the session (workbook path, image delay, debugging port);
every sleep the module asks for lasts SCALE times as long. ENTRY is the module function
called, main (the default) or resume, whose first answer is the result workbook.
VANTREL_ORIGIN names the marketplace. The exit status is 0 when the function returns and 1
when it raises, with the traceback on standard error.
"""

import os
import signal
import sys
import traceback

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

from standin import harness  # noqa: E402

import vantrel  # noqa: E402


def main(argv):
    workbook, pic_wait, port, scale, *entry = argv
    # Ctrl+C as a console's Python has it: started from a shell's background job without job
    # control (as a test leg may be), this process would inherit SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    vantrel.time = harness.ScaledTime(float(scale))
    sys.stdin = harness.answers(workbook, pic_wait, port)
    try:
        getattr(vantrel, entry[0] if entry else "main")()
    except BaseException:
        traceback.print_exc()
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
