#!/usr/bin/python3
"""Builds, once, a free-threaded CPython 3.13 (configure --disable-gil) from the upstream tarball of
Debian's own source package, taken through a private apt configuration, and keeps it outside the
clone beside the Debian roots: ${XDG_CACHE_HOME:-~/.cache}/vantrel/python3.13t.

    python3 scripts/free_threaded_python.py    prints the interpreter's path when it is ready

The build is complete when python3.13t.stamp is there; a second caller waits for it. When the
interpreter cannot be had (no Debian archive, no source that downloads, build dependencies that do
not install) it raises Unavailable; a failed build is an error.
"""

import fcntl
import os
import pathlib
import shutil
import subprocess
import sys
import tarfile

import debian

CACHE = pathlib.Path(os.environ.get("XDG_CACHE_HOME") or pathlib.Path.home() / ".cache") / "vantrel"
PREFIX = CACHE / "python3.13t"
PYTHON = PREFIX / "bin" / "python3.13t"
STAMP, LOCK, WORK = (CACHE / f"python3.13t.{end}" for end in ("stamp", "lock", "build"))
# What pip, venv and the module's dependencies need of the standard library: ssl, zlib, ctypes,
# bz2 and lzma (pandas warns at import without it).
BUILD_DEPENDENCIES = ["gcc", "make", "pkg-config", "xz-utils", "libssl-dev", "zlib1g-dev", "libffi-dev",
                      "libbz2-dev", "liblzma-dev"]
CHECK = "import sys, ssl, zlib, lzma, bz2, ctypes; assert not sys._is_gil_enabled()"


def build(work):
    try:
        debian.install_missing(*BUILD_DEPENDENCIES)
    except subprocess.CalledProcessError as failed:
        raise debian.Unavailable(f"build dependencies not installed (exit {failed.returncode})")
    env = debian.private_apt(work / "apt", "deb-src", ["trixie", "sid"], allow_expired=True)
    debian.apt(env, "update")
    listed = subprocess.run(["apt-cache", "showsrc", "python3.13"], env=env, capture_output=True, text=True).stdout
    candidates = {line[len("Version: "):] for line in listed.splitlines() if line.startswith("Version: ")}
    source = work / "src"
    source.mkdir()
    why = "no python3.13 source listed"
    # The archive may list releases it does not serve: the newest that downloads.
    newest_first = subprocess.run(["sort", "-rVu"], input="\n".join(candidates), capture_output=True, text=True)
    for version in newest_first.stdout.split():
        try:
            debian.apt(env, "source", "--download-only", f"python3.13={version}", cwd=source)
            break
        except debian.Unavailable as refused:
            why = str(refused)
    else:
        raise debian.Unavailable(f"no source of python3.13 downloads: {why}")
    # Debian's patches lay CPython out for /usr; the pristine tarball builds for any prefix.
    with tarfile.open(next(source.glob("python3.13_*.orig.tar.xz"))) as tarball:
        tarball.extractall(work)
    tree = next(work.glob("Python-*/"))
    print(f"free_threaded_python: building CPython {version} with --disable-gil (about 5 minutes)", file=sys.stderr)
    log = work / "build.log"
    with open(log, "w") as output:
        for step in (["./configure", "--disable-gil", f"--prefix={PREFIX}"], ["make", "-j2"], ["make", "install"]):
            if subprocess.run(step, cwd=tree, stdout=output, stderr=subprocess.STDOUT).returncode != 0:
                raise SystemExit(f"free_threaded_python: {step[0]} failed; {log} ends:\n"
                                 + "\n".join(log.read_text().splitlines()[-20:]))
    if subprocess.run([PYTHON, "-c", CHECK]).returncode != 0:
        raise SystemExit("free_threaded_python: the interpreter built lacks a module or holds the GIL")
    about = subprocess.run([PYTHON, "-VV"], capture_output=True, text=True, check=True).stdout
    STAMP.write_text(f"{about}Debian source python3.13 {version}\n")


def interpreter():
    """The interpreter's path, built first if it is not there."""
    CACHE.mkdir(parents=True, exist_ok=True)
    with open(LOCK, "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if STAMP.exists() and PYTHON.exists():
            return PYTHON
        work = WORK
        for stale in (PREFIX, work):
            shutil.rmtree(stale, ignore_errors=True)
        STAMP.unlink(missing_ok=True)
        work.mkdir()
        build(work)
        shutil.rmtree(work)
        return PYTHON


if __name__ == "__main__":
    try:
        print(interpreter())
    except debian.Unavailable as why:
        raise SystemExit(f"free_threaded_python: {why}")
