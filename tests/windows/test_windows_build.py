"""The module cross-built for 64-bit Windows, as an operator's machine would load it and pip install
its wheel. scripts/build_windows.py (the windows session) makes it; these tests only read its cache and
skip with the reason the build left where the toolchain or the CPython sources could not be had."""

import base64
import csv
import hashlib
import re
import shutil
import subprocess
import types
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
CACHE = REPO / ".cache" / "windows"
OBJDUMP = "x86_64-w64-mingw32-objdump"
# CPython calls that take or give a C runtime object (a FILE, a file descriptor, errno): even with one
# C runtime in the process, the module keeps off them, so that none of these is among its imports.
CRT_CROSSING = re.compile(r"File|Fd|Errno|fopen|Readline|^PyObject_Print$")


@pytest.fixture(params=["cp311", "cp312", "cp313", "cp314", "cp315"])
def build(request):
    tag, folder = request.param, CACHE / request.param
    why_not = next((f.read_text().strip() for f in (CACHE / "unavailable", folder / "unavailable") if f.exists()), None)
    if why_not:
        pytest.skip(f"no Windows build for {tag}: {why_not}")
    if (folder / "failed").exists():
        pytest.fail((folder / "failed").read_text())
    module, wheels = folder / "build" / f"vantrel.{tag}-win_amd64.pyd", list(folder.glob("dist/*.whl"))
    if not (module.exists() and wheels):
        pytest.skip(f"no Windows build for {tag}: scripts/build_windows.py has not run")
    if not shutil.which(OBJDUMP):
        pytest.skip(f"no {OBJDUMP} to read the module with")
    return types.SimpleNamespace(tag=tag, module=module, log=folder / "build.log", wheel=Path(wheels[0]))


def imports_and_exports(headers):
    imported, exports, dll = {}, [], None
    for line in headers.splitlines():
        if match := re.match(r"\s+DLL Name: (\S+)$", line):
            dll = match[1]
            imported[dll] = []
        elif dll and (match := re.match(r"\s+[0-9a-f]+\s+\d+\s+(\w+)$", line)):
            imported[dll].append(match[1])
        elif match := re.match(r"\s+\[\s*\d+\] ([A-Za-z_]\w*)$", line):
            exports.append(match[1])
    return imported, exports


def test_module_is_a_self_contained_64_bit_extension(build):
    headers = subprocess.run([OBJDUMP, "-p", build.module], capture_output=True, text=True, check=True).stdout
    assert "file format pei-x86-64" in headers and re.search(r"^Magic\s+020b\s+\(PE32\+\)$", headers, re.M)
    imported, exports = imports_and_exports(headers)
    assert exports == ["PyInit_vantrel"]
    python = f"python{build.tag[2:]}.dll"
    crt = sorted(set(imported) - {python, "KERNEL32.dll"})
    # the C runtime of python.org's CPython, the Universal CRT's api sets, and no DLL of the toolchain's
    assert python in imported and "KERNEL32.dll" in imported
    assert crt and all(dll.startswith("api-ms-win-crt-") for dll in crt), crt
    # (an exception type's name, PyExc_FileNotFoundError say, is data and crosses nothing)
    assert imported[python] and not [name for name in imported[python]
                                     if CRT_CROSSING.search(name) and not name.startswith("PyExc_")]


def test_cross_build_compiled_every_unit_without_a_warning(build):
    log = build.log.read_text()
    meson = (REPO / "meson.build").read_text()
    units = re.findall(r"'src/vantrel/\w+\.cpp'", meson[meson.index("sources = files("):])
    assert log.count("Compiling C++ object") == len(units) > 0
    assert not [line for line in log.splitlines() if "warning" in line.lower()]


def unpack_and_check(wheel_path, module, tag, folder):
    """Unpacks a wheel as pip would and checks it: RECORD's hashes and sizes, tag, metadata, entry point."""
    assert re.fullmatch(rf"vantrel-[\d.]+-{tag}-{tag}-win_amd64\.whl", wheel_path.name)
    with zipfile.ZipFile(wheel_path) as wheel:
        wheel.extractall(folder)
        names = set(wheel.namelist())
    [distinfo] = folder.glob("vantrel-*.dist-info")
    with (distinfo / "RECORD").open(newline="") as record:
        rows = list(csv.reader(record))
    assert {row[0] for row in rows} == names
    for path, digest, size in rows:
        if path != f"{distinfo.name}/RECORD":
            data = (folder / path).read_bytes()
            assert digest == "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert int(size) == len(data)
    assert (folder / module.name).read_bytes() == module.read_bytes()
    assert f"Tag: {tag}-{tag}-win_amd64" in (distinfo / "WHEEL").read_text().splitlines()
    assert "Name: vantrel\n" in (distinfo / "METADATA").read_text()
    assert (distinfo / "entry_points.txt").read_text() == (
        "[console_scripts]\nvantrel = vantrel:run_cli\nvantrel-resume = vantrel:resume_cli\n"
        "vantrel-check = vantrel:check_cli\nvantrel-chrome = vantrel:chrome_cli\n\n")


def test_wheel_unpacks_with_a_record_that_checks(build, tmp_path):
    unpack_and_check(build.wheel, build.module, build.tag, tmp_path)


def test_packing_needs_no_cross_build_and_refuses_another_tags_module(tmp_path):
    # The packer reads pyproject.toml through pyproject-metadata, whose interface has moved between
    # releases: packing is checked on every Debian the tests run on, toolchain or not.
    pack = ["/usr/bin/python3", "-W", "error", str(REPO / "scripts" / "windows_wheel.py")]
    module = tmp_path / "vantrel.cp313-win_amd64.pyd"
    module.write_bytes(b"MZ" + bytes(range(256)))
    made = subprocess.run([*pack, str(module), "cp313", str(tmp_path / "dist")],
                          capture_output=True, text=True, check=True)
    assert made.stderr == ""
    unpack_and_check(Path(made.stdout.strip()), module, "cp313", tmp_path / "unpacked")
    refused = subprocess.run([*pack, str(module), "cp311", str(tmp_path / "other")], capture_output=True, text=True)
    assert refused.returncode != 0 and "not the module for cp311-cp311-win_amd64" in refused.stderr
    assert not (tmp_path / "other").exists()
