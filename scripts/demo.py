"""One vantrel session against the stand-in marketplace, start to finish.

Started by scripts/demo (which builds the module first). By default every sleep of the
module is scaled down (SCALE) and the marketplace's delays with it; --real-speed keeps
the module's own pacing, closing two-minute pause included.
"""

import argparse
import glob
import os
import shutil
import signal
import socket
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import pandas as pd  # noqa: E402

from standin import harness  # noqa: E402

pd.set_option("display.unicode.east_asian_width", True)

SCALE = 0.05
# Item, copies wanted. The last two are not on the marketplace as such: one title is
# nowhere (code 2), the other only inside longer titles (code 1).
COMMODITIES = [
    ("复古黄铜台灯", 2),
    ("Vintage Leather Wallet", 1),
    ("竹编收纳篮 三件套", 3),
    ("手工陶瓷茶壶", 1),
    ("陶瓷花瓶", 2),
    ("竹编收纳篮", 1),
]
PAGE_SIZE = 3
RESULTS_DELAY = 0.5   # seconds, at real speed
IMAGE_DELAY = 1.0
PIC_WAIT = 2          # the answer to the image-delay question


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="scripts/demo", description=__doc__.split("\n")[0])
    parser.add_argument("--real-speed", action="store_true",
                        help="keep the module's own sleeps (a run takes minutes)")
    parser.add_argument("--port", type=int, default=8700,
                        help="port of the stand-in marketplace (default 8700)")
    return parser.parse_args(argv)


def port_is_free(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as the server does
        try:
            sock.bind(("127.0.0.1", port))
        except OSError:
            return False
        return True


def listings_per_title(state):
    rows = {}
    for listing in state["listings"]:
        row = rows.setdefault(listing["title"], {"on sale": 0, "copies": 0,
                                                 "copies 上市": 0, "copies ticked": 0})
        row["on sale"] += 1
        if listing["copied_from"] is not None:
            row["copies"] += 1
            row["copies 上市"] += listing["visibility"] == "上市"
            row["copies ticked"] += bool(listing["checkbox"])
    table = pd.DataFrame.from_dict(rows, orient="index")
    table.index.name = "title"
    return table


def run(args, started, workdir):
    scale = 1.0 if args.real_speed else SCALE
    if not port_is_free(args.port):
        sys.exit(f"demo: port {args.port} is taken; stop what uses it or pass --port")
    origin = f"http://127.0.0.1:{args.port}"
    print(f"starting the stand-in marketplace at {origin}/zh/listings/onsale")
    started.append(harness.start_marketplace(
        args.port, harness.SAMPLE_CATALOGUE,
        "--results-delay", str(RESULTS_DELAY * scale), "--image-delay", str(IMAGE_DELAY * scale),
        "--page-size", str(PAGE_SIZE)))
    chrome_port = harness.free_port()
    print(f"starting headless Chromium, debugging port {chrome_port}")
    started.append(harness.start_chromium(chrome_port, os.path.join(workdir, "chromium-profile")))

    workbook = os.path.join(workdir, "commodity.xlsx")
    pd.DataFrame(COMMODITIES, columns=["name", "amount"]).to_excel(workbook, index=False)
    print(f"commodity workbook: {workbook}")
    print(pd.read_excel(workbook).to_string(index=False))
    print()

    import vantrel

    os.environ["VANTREL_ORIGIN"] = origin
    sys.stdin = harness.answers(workbook, PIC_WAIT, chrome_port)
    if args.real_speed:
        print("real speed: the module pauses two minutes after its finish line\n")
    else:
        vantrel.time = harness.ScaledTime(scale)
        print(f"sleeps scaled by {scale} (pass --real-speed for the module's own pacing)\n")
    began = time.monotonic()
    vantrel.main()
    took = time.monotonic() - began
    print(f"\nvantrel.main() returned after {took:.1f} s")

    found = glob.glob(os.path.join(workdir, "commodity*res.xlsx"))
    if found:
        print(f"\nresult workbook: {found[0]}")
        print(pd.read_excel(found[0]).to_string(index=False))
    else:
        print("\nno result workbook was written")
    state = harness.get_state(origin)
    print("\nmarketplace listings per title (copies: published by this run):")
    print(listings_per_title(state).to_string())
    print(f"\ndrafts left: {len(state['drafts'])}")


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    workdir = tempfile.mkdtemp(prefix="vantrel-demo-")
    started = []

    def stop_all():
        for proc in reversed(started):
            harness.stop(proc)
        started.clear()
        shutil.rmtree(os.path.join(workdir, "chromium-profile"), ignore_errors=True)

    def interrupted(signum, frame):
        # The module swallows an interrupt inside a row; the demo ends at once instead.
        print("\ninterrupted: stopping the marketplace and Chromium", file=sys.stderr,
              flush=True)
        stop_all()
        harness.stop_children()  # the chromedriver the module started
        sys.stdout.flush()
        os._exit(130)

    signal.signal(signal.SIGINT, interrupted)
    signal.signal(signal.SIGTERM, interrupted)
    try:
        run(args, started, workdir)
    finally:
        stop_all()
    print(f"workbooks kept in {workdir}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
