"""The Windows module as an operator's machine would load it, and its wheel as pip would install it."""

import base64
import csv
import hashlib
import re
import tomllib
import zipfile
from pathlib import Path

from tests.windows.conftest import ROOT

# CPython calls that take or give a C runtime object (a FILE, a file descriptor, errno): the module
# and CPython each have their own C runtime, so none of these may be among the module's imports.
CRT_CROSSING = re.compile(r"File|Fd|Errno|fopen|Readline|^PyObject_Print$")


def imports_and_exports(headers):
    dlls, imported, exports, current = [], {}, [], None
    for line in headers.splitlines():
        if match := re.match(r"\s+DLL Name: (\S+)$", line):
            current = match[1]
            dlls.append(current)
            imported[current] = []
        elif current and (match := re.match(r"\s+[0-9a-f]+\s+\d+\s+(\w+)$", line)):
            imported[current].append(match[1])
        elif match := re.match(r"\s+\[\s*\d+\] ([A-Za-z_]\w*)$", line):
            exports.append(match[1])
    return dlls, imported, exports


def test_module_is_a_self_contained_64_bit_extension(windows_build):
    headers = windows_build.headers()
    assert "file format pei-x86-64" in headers and re.search(r"^Magic\s+020b\s+\(PE32\+\)$", headers, re.M)
    dlls, imported, exports = imports_and_exports(headers)
    assert exports == ["PyInit_vantrel"]
    crt = [dll for dll in dlls if dll not in (windows_build.dll, "KERNEL32.dll")]
    assert windows_build.dll in dlls and "KERNEL32.dll" in dlls
    # one C runtime: msvcrt.dll, or the Universal CRT's api sets; no DLL of the toolchain's
    assert crt == ["msvcrt.dll"] or crt and all(dll.startswith("api-ms-win-crt-") for dll in crt), dlls
    assert imported[windows_build.dll] and not [name for name in imported[windows_build.dll]
                                                 if CRT_CROSSING.search(name)]


def test_cross_build_compiled_without_a_warning(windows_build):
    log = Path(windows_build.log).read_text()
    assert len(re.findall(r"Compiling C\+\+ object", log)) == 6  # every unit, not a reused build
    assert not [line for line in log.splitlines() if re.search(r"warning", line, re.I)]


def test_wheel_unpacks_with_a_record_that_checks(windows_build, tmp_path):
    tag = windows_build.tag
    version = tomllib.loads((Path(ROOT) / "pyproject.toml").read_text())["project"]["version"]
    assert Path(windows_build.wheel).name == f"vantrel-{version}-{tag}-{tag}-win_amd64.whl"
    with zipfile.ZipFile(windows_build.wheel) as wheel:
        wheel.extractall(tmp_path)
        names = set(wheel.namelist())
    distinfo = tmp_path / f"vantrel-{version}.dist-info"
    with open(distinfo / "RECORD", newline="") as record:
        rows = list(csv.reader(record))
    assert {row[0] for row in rows} == names
    for path, digest, size in rows:
        data = (tmp_path / path).read_bytes()
        if path.endswith("/RECORD"):
            assert (digest, size) == ("", "")
            continue
        algorithm, _, expected = digest.partition("=")
        actual = base64.urlsafe_b64encode(hashlib.new(algorithm, data).digest()).rstrip(b"=").decode()
        assert (algorithm, actual, int(size)) == ("sha256", expected, len(data)), path
    module = tmp_path / f"vantrel.{tag}-win_amd64.pyd"
    assert module.read_bytes() == Path(windows_build.module).read_bytes()
    metadata = (distinfo / "METADATA").read_text()
    assert "Name: vantrel\n" in metadata and f"Version: {version}\n" in metadata
    assert f"Tag: {tag}-{tag}-win_amd64" in (distinfo / "WHEEL").read_text().splitlines()
    assert "Root-Is-Purelib: false" in (distinfo / "WHEEL").read_text().splitlines()
    assert (distinfo / "entry_points.txt").read_text() == "[console_scripts]\nvantrel = vantrel:main\n\n"
