#!/usr/bin/python3
"""Cross-builds the module for 64-bit Windows, one wheel per CPython whose Windows headers Debian's
packages give, with the project's own meson.build, the cross file scripts/windows-x86_64.ini and
Debian's MinGW-w64 toolchain for the Universal CRT (g++-mingw-w64-ucrt64, Debian 13 on): python.org's
CPython is linked against the Universal CRT, and so the process holds one C runtime.

    python3 scripts/build_windows.py    builds; prints each wheel's path

On Debian 12, which has no such toolchain, the build runs in a fresh overlay of the Debian 13 root
(scripts/make-root, scripts/in-root); .cache/windows goes in before and comes back out after, so
that what was fetched and built is kept. A build there whose sources and root are unchanged is
reused without entering the root. Everything lives in .cache/windows/ (git-ignored):
  cp3XY/python/  the headers of that CPython (Include/ and PC/pyconfig.h of its source package, or
                 as derive_headers has them; python/source says which) and the import library of
                 python3XY.dll, laid out as an installed Windows CPython (include/, libs/)
  cp3XY/build/   the Meson build, with build.log beside it (every compiler line, for the tests)
  cp3XY/dist/    the wheel
A build is reused while its sources, cross file, headers and toolchain are unchanged. Where a
CPython's headers cannot be had the reason goes to cp3XY/unavailable and its tests skip with it; a
failed build leaves its reason in cp3XY/failed, and the tests fail with it.
"""

import fcntl
import hashlib
import io
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tarfile

import debian
import windows_wheel

REPO = pathlib.Path(__file__).resolve().parents[1]
CACHE = REPO / ".cache" / "windows"
CROSS = REPO / "scripts" / "windows-x86_64.ini"
HOST = "x86_64-w64-mingw32ucrt"
TOOLCHAIN = ["g++-mingw-w64-ucrt64", "binutils-mingw-w64-ucrt64", "xz-utils"]  # xz: the sources are .tar.xz
# version, the Debian suite whose source package holds its headers; None: no suite that this
# machine's archive still serves carries it (3.12 was never in a Debian release)
PYTHONS = [("3.11", "bookworm"), ("3.12", None), ("3.13", "trixie"), ("3.14", "sid"), ("3.15", "sid")]
KEYED = ["meson.build", "meson_options.txt", "pyproject.toml", "src", "scripts/windows_wheel.py",
         "scripts/build_windows.py", "scripts/windows-x86_64.ini"]


def run(*command, **kwargs):
    return subprocess.run([str(c) for c in command], check=True, **kwargs)


def keep_headers(version, python, origin):
    """The headers laid out in PYTHON.new take PYTHON's place once they are CPython VERSION's."""
    new = python.with_name("python.new")
    level = new / "include" / "patchlevel.h"
    if not ((new / "include" / "pyconfig.h").exists() and level.exists() and re.search(
            rf"#define PY_MINOR_VERSION\s*{version[2:]}$", level.read_text(), re.M)):
        raise debian.Unavailable(f"{origin} holds no Windows headers of CPython {version}")
    (new / "source").write_text(origin + "\n")
    shutil.rmtree(python, ignore_errors=True)
    new.rename(python)


def fetch_headers(version, suite, python):
    """Include/ and PC/pyconfig.h of the upstream tarball of Debian's source package, which apt-get
    source --download-only fetches without unpacking or building."""
    apt = CACHE / "apt"
    if not (apt / "fetched").exists():
        shutil.rmtree(apt, ignore_errors=True)
        env = debian.private_apt(apt, "deb deb-src", ["bookworm", "trixie", "sid"], allow_expired=True)
        debian.apt(env, "--error-on=any", "update", what="apt-get update of the source lists")
        (apt / "fetched").touch()
    env = dict(os.environ, APT_CONFIG=str(apt / "apt.conf"))
    downloads = CACHE / "downloads"
    shutil.rmtree(downloads, ignore_errors=True)
    downloads.mkdir()
    try:
        debian.apt(env, "source", "--download-only", f"python{version}/{suite}", cwd=downloads)
    except debian.Unavailable as refused:
        try:
            return derive_headers(version, suite, python, env, downloads)
        except debian.Unavailable as why:
            raise debian.Unavailable(f"{refused}; and {why}")
    tarball = next((t for t in downloads.glob(f"python{version}_*.orig.tar.*") if t.suffix != ".asc"), None)
    if tarball is None:
        raise debian.Unavailable(f"no upstream tarball in python{version}/{suite}")
    new = python.with_name("python.new")
    shutil.rmtree(new, ignore_errors=True)
    (new / "libs").mkdir(parents=True)
    # 3.13 ships PC/pyconfig.h as pyconfig.h.in, which is the header of the standard build as it
    # stands: only a free-threaded build edits it.
    subprocess.run(["tar", "-xf", tarball, "-C", new, "--strip-components=1", "--wildcards",
                    "*/Include/*", "*/PC/pyconfig.h", "*/PC/pyconfig.h.in"], stderr=subprocess.DEVNULL)
    if (new / "Include").is_dir():
        (new / "Include").rename(new / "include")
    config = next((c for c in (new / "PC/pyconfig.h", new / "PC/pyconfig.h.in") if c.exists()), None)
    if config and (new / "include").is_dir():
        shutil.copy(config, new / "include" / "pyconfig.h")
    shutil.rmtree(new / "PC", ignore_errors=True)
    shutil.rmtree(downloads)
    keep_headers(version, python, tarball.name)


def derive_headers(version, suite, python, env, downloads):
    """For a CPython whose source package the archive lists but does not serve: Include/ from its -dev
    binary package, which ships the upstream headers with Debian's few patches, and PC/pyconfig.h of
    the newest CPython whose source was had, its library names moved to this version. That assumes
    the release changed nothing there that an extension's objects depend on (the sizes of the C
    types are fixed on 64-bit Windows, and meson.build checks them). python/source names both."""
    tag = version.replace(".", "")
    bases = [d for d in sorted(CACHE.glob("cp3*"), key=lambda d: int(d.name[2:])) if int(d.name[2:]) < int(tag)
             and re.fullmatch(r"python3[.0-9]*_\S*\.orig\.tar\.[a-z0-9]*\n", _read(d / "python/source"))]
    if not bases:
        raise debian.Unavailable("no CPython's source gives a Windows pyconfig.h to start from")
    base, old = bases[-1], bases[-1].name[2:]
    debian.apt(env, "download", f"libpython{version}-dev/{suite}", cwd=downloads)
    deb = next(downloads.glob(f"libpython{version}-dev_*.deb"))
    new = python.with_name("python.new")
    shutil.rmtree(new, ignore_errors=True)
    (new / "libs").mkdir(parents=True)
    run("dpkg-deb", "-x", deb, new / "deb")
    shutil.copytree(new / f"deb/usr/include/python{version}", new / "include")
    config = (base / "python/include/pyconfig.h").read_text().replace(f"python{old}", f"python{tag}")
    (new / "include/pyconfig.h").write_text(config)
    shutil.rmtree(new / "deb")
    shutil.rmtree(downloads)
    keep_headers(version, python, f"{deb.name} (Include/); pyconfig.h of {_read(base / 'python/source').strip()}, "
                                  f"python{old} named python{tag}")


def _read(path):
    return path.read_text() if path.exists() else ""


def import_library(build, python, dll):
    """The import library of python3XY.dll. No Windows CPython is here to read its exports from, so it
    lists exactly the CPython symbols the compiled objects use: those called through __imp_, as the
    headers declare them dllimport, and functions whose address a static table holds, which the
    library's jump stubs serve. The link then proves that nothing else is left undefined."""
    objects = sorted(build.glob("*.p/*.obj"))
    listed = run(f"{HOST}-nm", "--undefined-only", "--format=just-symbols", *objects,
                 capture_output=True, text=True).stdout
    names = sorted({m[2] for m in re.finditer(r"^(__imp_)?(_?Py[A-Za-z0-9_]*)$", listed, re.M)})
    stem = dll[:-len(".dll")]
    (python / "libs" / f"{stem}.def").write_text(f"LIBRARY {dll}\nEXPORTS\n" + "".join(f"    {n}\n" for n in names))
    run(f"{HOST}-dlltool", "--input-def", python / "libs" / f"{stem}.def", "--dllname", dll,
        "--output-lib", python / "libs" / f"lib{stem}.a")


def files_key(*more):
    key = hashlib.sha256(b"".join(more))
    for top in KEYED:
        for path in sorted(p for p in [REPO / top, *(REPO / top).rglob("*")] if p.is_file()):
            key.update(str(path.relative_to(REPO)).encode() + hashlib.sha256(path.read_bytes()).digest())
    return key.hexdigest()


def sources_key(python):
    return files_key((python / "source").read_bytes(),
                     run(f"{HOST}-g++", "--version", capture_output=True).stdout.splitlines()[0],
                     run("/usr/bin/python3", "-c", "import mesonpy, pyproject_metadata as m; print(mesonpy.__version__,"
                         " m.__version__)", capture_output=True).stdout)


def build_one(version, folder):
    python, build, tag = folder / "python", folder / "build", "cp" + version.replace(".", "")
    module, dll = build / f"vantrel.{tag}-win_amd64.pyd", f"python{tag[2:]}.dll"
    key = sources_key(python)
    wheels = sorted(folder.glob("dist/*.whl"))
    if wheels and module.exists() and _read(folder / "key") == key:
        return wheels[0]
    for stale in (build, folder / "dist", python / "libs"):
        shutil.rmtree(stale, ignore_errors=True)
    (folder / "key").unlink(missing_ok=True)
    (python / "libs").mkdir()
    pybind11 = CACHE / "pybind11"  # pybind11's headers alone, not the whole /usr/include
    pybind11.mkdir(exist_ok=True)
    if not (pybind11 / "pybind11").exists():
        (pybind11 / "pybind11").symlink_to("/usr/include/pybind11")
    with open(folder / "build.log", "w") as log:
        def step(*command, **kwargs):
            return run(*command, stdout=log, stderr=subprocess.STDOUT, **kwargs)
        try:
            step("meson", "setup", build, "--cross-file", CROSS, f"-Dwindows_python={python}",
                 f"-Dwindows_python_version={version}", f"-Dpybind11_include={pybind11}", cwd=REPO)
            # The objects first, for the import library; then the link.
            targets = run("ninja", "-C", build, "-t", "targets", "all", capture_output=True, text=True).stdout
            step("ninja", "-C", build, *re.findall(r"^([^:]*\.obj):", targets, re.M))
            import_library(build, python, dll)
            step("ninja", "-C", build)
        except subprocess.CalledProcessError:
            raise RuntimeError(f"the build for CPython {version} failed: see {folder / 'build.log'}")
    if not module.exists():
        raise RuntimeError(f"the build for CPython {version} made no {module.name}")
    wheel = windows_wheel.pack(module, tag, folder / "dist")
    (folder / "key").write_text(key)
    return wheel


def build_here():
    """Every CPython's wheel built on this machine; the paths of those made. Unavailable where the
    toolchain cannot be had; RuntimeError naming the builds that failed."""
    try:
        debian.install_missing(*TOOLCHAIN)
    except subprocess.CalledProcessError:
        raise debian.Unavailable("the MinGW-w64 toolchain for the Universal CRT could not be installed")
    if not pathlib.Path("/usr/include/pybind11/pybind11.h").exists():
        raise RuntimeError("no pybind11 headers (scripts/setup installs them)")
    wheels, failed = [], []
    for version, suite in PYTHONS:
        folder = CACHE / f"cp{version.replace('.', '')}"
        folder.mkdir(parents=True, exist_ok=True)
        for note in ("unavailable", "failed"):
            (folder / note).unlink(missing_ok=True)
        try:
            if suite is None:
                raise debian.Unavailable(f"no Debian suite served here carries python{version}, whose source "
                                         "holds the Windows headers (PC/pyconfig.h), and the package index has none")
            if not (folder / "python/source").exists():
                fetch_headers(version, suite, folder / "python")
            wheels.append(build_one(version, folder))
        except debian.Unavailable as why:
            (folder / "unavailable").write_text(f"CPython {version}: {why}\n")
            print(f"CPython {version}: {why}", file=sys.stderr)
        except RuntimeError as why:
            (folder / "failed").write_text(f"CPython {version}: {why}\n")
            failed.append(f"CPython {version}: {why}")
    if all((CACHE / f"cp{v.replace('.', '')}/python/source").exists() for v, suite in PYTHONS if suite):
        shutil.rmtree(CACHE / "apt", ignore_errors=True)  # the source lists are of no further use
    if failed:
        raise RuntimeError("; ".join(failed))
    return wheels


def build_in_root(root):
    """The same, in a fresh overlay of ROOT (Debian 13), with .cache/windows carried in and back out.
    The tests read the modules on this machine, with its own objdump."""
    try:
        debian.install_missing("binutils-mingw-w64-x86-64")
    except subprocess.CalledProcessError:
        raise debian.Unavailable("MinGW-w64's binutils could not be installed")
    key = files_key(pathlib.Path(str(root) + ".stamp").read_bytes())
    wheels = sorted(CACHE.glob("cp*/dist/*.whl"))
    if _read(CACHE / "root-key") == key and wheels and not list(CACHE.glob("cp*/failed")):
        return wheels
    (CACHE / "root-key").unlink(missing_ok=True)
    carried = io.BytesIO()
    with tarfile.open(fileobj=carried, mode="w") as tar:
        for path in CACHE.iterdir():
            if path.name not in ("lock", "root-key"):
                tar.add(path, path.name)
    inside = ("mkdir -p .cache/windows && tar -xf - -C .cache/windows && "
              "{ code=0; python3 scripts/build_windows.py >&2 || code=$?; tar -cf - -C .cache/windows .; exit $code; }")
    done = subprocess.run([REPO / "scripts/in-root", root, "sh", "-c", inside], input=carried.getvalue(),
                          stdout=subprocess.PIPE, cwd=REPO)
    try:
        back = tarfile.open(fileobj=io.BytesIO(done.stdout))
    except tarfile.TarError:
        raise RuntimeError(f"the build in the Debian 13 root did not run (in-root exit {done.returncode})")
    for stale in [*CACHE.glob("cp*"), CACHE / "apt", CACHE / "pybind11"]:
        shutil.rmtree(stale, ignore_errors=True)
    with back:
        back.extractall(CACHE, members=[m for m in back.getmembers() if m.name not in ("./lock", "lock")])
    if done.returncode != 0:
        raise RuntimeError("; ".join(_read(f).strip() for f in CACHE.glob("cp*/failed"))
                           or f"the build in the Debian 13 root failed (exit {done.returncode})")
    (CACHE / "root-key").write_text(key)
    return sorted(CACHE.glob("cp*/dist/*.whl"))


def needs_root():
    """Debian 12 has no MinGW-w64 for the Universal CRT."""
    release = next((line[11:].strip().strip('"') for line in open("/etc/os-release") if line.startswith("VERSION_ID=")), "")
    return release.isdigit() and int(release) < 13


def build(root=None):
    """The wheels, built here, or in ROOT where one is given."""
    CACHE.mkdir(parents=True, exist_ok=True)
    with open(CACHE / "lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        return build_in_root(root) if root else build_here()


if __name__ == "__main__":
    try:
        root = None
        if needs_root():
            made = subprocess.run([REPO / "scripts/make-root", "trixie"], stdout=subprocess.PIPE)
            if made.returncode != 0:
                raise debian.Unavailable("no Debian 13 root for the toolchain")
            root = made.stdout.decode().strip()
        print(*build(root), sep="\n")
    except (debian.Unavailable, RuntimeError) as why:
        raise SystemExit(f"build_windows: {why}")
