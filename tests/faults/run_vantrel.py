"""One interactive vantrel session in a process of its own, for tests that kill it from outside.

    python run_vantrel.py WORKBOOK PIC_WAIT PORT SCALE

The three answers are typed for the session (workbook path, image delay, debugging port);
every sleep the module asks for lasts SCALE times as long. VANTREL_ORIGIN names the
marketplace. The exit status is 0 when vantrel.main() returns and 1 when it raises, with the
traceback on standard error.
"""

import io
import sys
import time
import traceback

import vantrel


class ScaledTime:
    """The module's `time`: every sleep lasts `scale` times as long."""

    def __init__(self, scale):
        self.scale = scale

    def sleep(self, seconds):
        time.sleep(seconds * self.scale)

    def __getattr__(self, name):
        return getattr(time, name)


def main(argv):
    workbook, pic_wait, port, scale = argv
    vantrel.time = ScaledTime(float(scale))
    sys.stdin = io.StringIO(f"{workbook}\n{pic_wait}\n{port}\n")
    try:
        vantrel.main()
    except BaseException:
        traceback.print_exc()
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
