#!/usr/bin/python3
"""Fetches the pure-Python packages of Debian's next release that the version matrix runs on
(Selenium 4.24 and what it imports beyond Debian 12's own packages, and Meson 1.7, which can build
for CPython 3.12 and later), unpacked, not installed: the system keeps its own.

    python3 scripts/fetch_current.py    prints the folder to put first on an interpreter's path

Fetches once: a later call reuses the unpacked tree. When nothing can be fetched, exits 1 and
leaves a one-line reason in .cache/trixie/unavailable, which the tests that need the tree skip with.
"""

import fcntl
import pathlib
import shutil
import subprocess
import sys

import debian

SUITE = "trixie"
# Selenium 4.24 imports typing_extensions and websocket at start-up, which Debian 12 lacks;
# urllib3 1.26, certifi and trio of Debian 12 are within its ranges.
PACKAGES = ["python3-selenium", "python3-typing-extensions", "python3-websocket", "meson"]
CACHE = pathlib.Path(__file__).resolve().parents[1] / ".cache" / SUITE


def fetch():
    root, stamp, apt_folder = CACHE / "root", CACHE / "fetched", CACHE / "apt"
    site = root / "usr/lib/python3/dist-packages"
    wanted = f"{SUITE} {' '.join(PACKAGES)}"
    if stamp.exists() and stamp.read_text().splitlines()[:1] == [wanted] and site.is_dir():
        return site
    stamp.unlink(missing_ok=True)
    shutil.rmtree(apt_folder, ignore_errors=True)
    env = debian.private_apt(apt_folder, "deb", [SUITE])
    debs = apt_folder / "debs"
    debs.mkdir()
    debian.apt(env, "--error-on=any", "update", what=f"apt-get update of {SUITE}")
    debian.apt(env, "download", *PACKAGES, cwd=debs, what=f"apt-get download from {SUITE}")
    new = root.with_name("root.new")
    shutil.rmtree(new, ignore_errors=True)
    versions = []
    for deb in sorted(debs.glob("*.deb")):
        field = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Version", "Architecture"],
                               capture_output=True, text=True, check=True).stdout
        info = dict(line.split(": ", 1) for line in field.splitlines())
        if info["Architecture"] != "all":
            raise debian.Unavailable(f"{deb.name} is not pure Python")
        subprocess.run(["dpkg-deb", "-x", deb, new], check=True)
        versions.append(f"{info['Package']} {info['Version']}")
    shutil.rmtree(root, ignore_errors=True)
    new.rename(root)
    shutil.rmtree(apt_folder / "lists", ignore_errors=True)  # large, and of no further use
    shutil.rmtree(apt_folder / "archives", ignore_errors=True)
    stamp.write_text("\n".join([wanted, *versions]) + "\n")
    return site


def main():
    CACHE.mkdir(parents=True, exist_ok=True)
    with open(CACHE / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)  # a second caller waits, then finds the tree ready
        (CACHE / "unavailable").unlink(missing_ok=True)
        try:
            print(fetch())
        except debian.Unavailable as why:
            (CACHE / "unavailable").write_text(f"{why}\n")
            raise SystemExit(f"fetch_current: {why}")


if __name__ == "__main__":
    sys.exit(main())
