"""Helpers to run the stand-in marketplace and a headless Chromium next to it, and to hand
a vantrel session its answers and a scaled-down clock.

Used by the end-to-end and fault tests, by scripts/demo.py and by the benchmarks.
"""

import glob
import io
import json
import os
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE_CATALOGUE = os.path.join(ROOT, "standin", "sample_catalogue.json")
CHROMIUM = "chromium"
CHROMIUM_FLAGS = ("--headless=new", "--no-sandbox", "--disable-gpu",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--no-first-run")


def free_port():
    """A TCP port on 127.0.0.1 that nothing listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def _die_with_parent():
    """Runs in the child before exec: have Linux send it SIGTERM when the process that
    started it dies, so a killed test session or demo leaves nothing behind."""
    try:
        import ctypes
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def _wait_until_answers(url, proc, what, timeout):
    deadline = time.monotonic() + timeout
    while True:
        if proc.poll() is not None:
            raise RuntimeError(f"{what} exited with status {proc.returncode} before answering")
        try:
            with urllib.request.urlopen(url, timeout=2) as response:
                response.read()
                return
        except (urllib.error.URLError, ConnectionError, OSError):
            if time.monotonic() > deadline:
                stop(proc)
                raise RuntimeError(f"{what} did not answer at {url} within {timeout} s")
            time.sleep(0.1)


def start_marketplace(port, catalogue_path=SAMPLE_CATALOGUE, *options, timeout=20,
                      quiet=True):
    """Start ``python -m standin`` on 127.0.0.1:port; return its Popen once it answers.

    ``options`` are further command-line options, e.g. "--results-delay", "0.1".
    """
    env = dict(os.environ)
    env["PYTHONPATH"] = ROOT + os.pathsep + env.get("PYTHONPATH", "")
    out = subprocess.DEVNULL if quiet else None
    proc = subprocess.Popen(
        [sys.executable, "-m", "standin", "--port", str(port),
         "--catalogue", str(catalogue_path), *options],
        cwd=ROOT, env=env, stdout=out, stderr=out, start_new_session=True,
        preexec_fn=_die_with_parent)
    _wait_until_answers(f"http://127.0.0.1:{port}/api/state", proc, "the stand-in marketplace",
                        timeout)
    return proc


def start_chromium(port, profile_dir, timeout=30, url="about:blank"):
    """Start headless Chromium with its debugging port; return its Popen once it answers."""
    proc = subprocess.Popen(
        [CHROMIUM, *CHROMIUM_FLAGS, f"--remote-debugging-port={port}",
         f"--user-data-dir={profile_dir}", url],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True,
        preexec_fn=_die_with_parent)
    _wait_until_answers(f"http://127.0.0.1:{port}/json/version", proc, "chromium", timeout)
    return proc


def stop(proc, grace=5):
    """Stop a process started here: terminate, then kill; also its own process group."""
    if proc is None:
        return
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(grace)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(grace)
    # The helpers start each process in a session of its own, so its group id is its
    # pid: this ends children it left behind (Chromium's renderers) and nothing else.
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def child_pids():
    """Process ids of this process's own children (Linux), e.g. a chromedriver that the
    module started and never stopped."""
    pids = []
    for task in glob.glob(f"/proc/{os.getpid()}/task/*/children"):
        try:
            with open(task) as handle:
                pids += [int(pid) for pid in handle.read().split()]
        except OSError:
            pass
    return sorted(set(pids))


def stop_children():
    """Terminate this process's remaining children by process id."""
    for pid in child_pids():
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass


def _request(url, data=None, timeout=10):
    body = None if data is None else json.dumps(data).encode("utf-8")
    request = urllib.request.Request(url, data=body, method="GET" if data is None else "POST",
                                     headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(request, timeout=timeout) as response:
        return json.loads(response.read().decode("utf-8"))


def get_state(origin):
    """The marketplace's state: listings, drafts, knobs and counters."""
    return _request(origin.rstrip("/") + "/api/state")


def set_knobs(origin, **knobs):
    """Change fault knobs, e.g. set_knobs(origin, footer_stays_visible=True)."""
    return _request(origin.rstrip("/") + "/api/knobs", knobs)


def reset(origin, catalogue):
    """Replace the listings (and drop drafts); knobs go back to the start-up ones
    unless the catalogue carries a "knobs" object."""
    return _request(origin.rstrip("/") + "/api/reset", catalogue)


def copies_by_title(state):
    """Published copies per title, counted from a state."""
    counts = {}
    for listing in state["listings"]:
        if listing["copied_from"] is not None:
            counts[listing["title"]] = counts.get(listing["title"], 0) + 1
    return counts


def parse_sample():
    """The sample catalogue as a dict."""
    with open(SAMPLE_CATALOGUE, encoding="utf-8") as handle:
        return json.load(handle)


def copy_listing(origin, listing_id):
    """Copy a listing into a new draft, as its copy button does; returns the editor's URL."""
    request = urllib.request.Request(f"{origin.rstrip('/')}/zh/listings/{listing_id}/copy",
                                     data=b"", method="POST")
    with urllib.request.urlopen(request, timeout=10) as response:
        return response.geturl()


class ScaledTime:
    """Stands in for the module's `time`: every sleep lasts `scale` times as long, the rest
    of `time` is the real one."""

    def __init__(self, scale):
        self.scale = scale

    def sleep(self, seconds):
        time.sleep(seconds * self.scale)

    def __getattr__(self, name):
        return getattr(time, name)


def answers(workbook, pic_wait, port):
    """Standard input for one session: what a seller types at its three questions (the
    commodity workbook, the image delay in seconds, Chromium's debugging port)."""
    return io.StringIO(f"{workbook}\n{pic_wait}\n{port}\n")
