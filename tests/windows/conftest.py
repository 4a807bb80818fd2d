"""The module cross-built for 64-bit Windows by scripts/build-windows (which scripts/test runs
first), read from its cache: these tests build nothing. Where the toolchain or the CPython sources
could not be had, they skip with the reason the build left; a failed build fails them."""

import glob
import os
import shutil
import subprocess
from dataclasses import dataclass

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CACHE = os.path.join(ROOT, ".cache", "windows")
OBJDUMP = "x86_64-w64-mingw32-objdump"


def reason(*parts):
    try:
        with open(os.path.join(CACHE, *parts)) as file:
            return file.read().strip()
    except OSError:
        return None


@dataclass
class WindowsBuild:
    tag: str         # cp311
    module: str      # the .pyd as linked
    log: str         # every line the build printed
    wheel: str

    @property
    def dll(self):
        return f"python{self.tag[2:]}.dll"

    def headers(self):
        """objdump's account of the PE file: headers, imports, exports."""
        return subprocess.run([OBJDUMP, "-p", self.module], capture_output=True, text=True, check=True).stdout


@pytest.fixture(params=["cp311", "cp313"])
def windows_build(request):
    tag = request.param
    why_not = reason("unavailable") or reason(tag, "unavailable")
    if why_not:
        pytest.skip(f"no Windows build for {tag}: {why_not}")
    if reason(tag, "failed"):
        pytest.fail(reason(tag, "failed"))
    build = os.path.join(CACHE, tag)
    modules = glob.glob(os.path.join(build, "build", f"vantrel.{tag}-win_amd64.pyd"))
    wheels = glob.glob(os.path.join(build, "dist", "*.whl"))
    if not (modules and wheels):
        pytest.skip(f"no Windows build for {tag}: scripts/build-windows has not run")
    if not shutil.which(OBJDUMP):
        pytest.skip(f"no {OBJDUMP} to read the module with (binutils-mingw-w64-x86-64)")
    return WindowsBuild(tag, modules[0], os.path.join(build, "build.log"), wheels[0])
