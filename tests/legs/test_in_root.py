"""scripts/in-root, on which the Debian 13 and unstable sessions run: the command's status comes
back, the cached root never changes, and nothing of a run (mounts, processes, its folder) is
left behind, whether the command fails or the run is stopped.

Needs root and a root made by scripts/make-root; inside a root, where neither is at hand, the
tests skip.
"""

import os
import pathlib
import signal
import subprocess
import time

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
ROOTS = pathlib.Path(os.environ.get("XDG_CACHE_HOME", pathlib.Path.home() / ".cache")) / "vantrel" / "roots"
ROOT = next((ROOTS / name for name in ("trixie", "sid-experimental") if (ROOTS / f"{name}.stamp").exists()),
            None)

pytestmark = [
    pytest.mark.skipif(os.geteuid() != 0, reason="entering a root needs root"),
    pytest.mark.skipif(ROOT is None, reason=f"no root made by scripts/make-root in {ROOTS}"),
]


def in_root(tmp_path, *command, **kwargs):
    env = dict(os.environ, TMPDIR=str(tmp_path))
    return subprocess.Popen([str(REPO / "scripts/in-root"), str(ROOT), *command], cwd=REPO, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)


def left_behind(tmp_path, marker):
    runs = list(tmp_path.glob("vantrel-in-root.*"))
    mounts = [line for line in pathlib.Path("/proc/self/mountinfo").read_text().splitlines()
              if str(tmp_path) in line]
    return runs, mounts, [p for p in pathlib.Path("/proc").glob("[0-9]*") if marker and marker in cmdline(p)]


def cmdline(process):
    try:
        return (process / "cmdline").read_bytes().decode(errors="replace")
    except OSError:  # it ended meanwhile
        return ""


def test_a_failing_command_gives_its_status_and_changes_nothing(tmp_path):
    probe = "etc/vantrel-in-root-probe"
    run = in_root(tmp_path, "sh", "-c", f"echo x > /{probe} && test -f /vantrel/meson.build && test ! -e /vantrel/.venv && exit 7")
    output = run.communicate(timeout=300)[0].decode()
    # The clone was there without this machine's build, and the write went through.
    assert run.returncode == 7, output
    assert not (ROOT / probe).exists()
    assert left_behind(tmp_path, None) == ([], [], [])


def test_a_stopped_run_ends_what_runs_inside_and_undoes_its_mounts(tmp_path):
    marker = f"{os.getpid() % 1000 + 3000}.25"  # a sleep no one else runs
    run = in_root(tmp_path, "sh", "-c", f"sleep {marker}; sleep {marker}", start_new_session=True)
    deadline = time.monotonic() + 120
    while not left_behind(tmp_path, f"sleep\0{marker}")[2]:
        assert run.poll() is None and time.monotonic() < deadline, run.communicate()[0]
        time.sleep(0.2)
    run.send_signal(signal.SIGTERM)
    output = run.communicate(timeout=60)[0].decode()
    assert run.returncode == 143, output
    assert left_behind(tmp_path, f"sleep\0{marker}") == ([], [], [])
