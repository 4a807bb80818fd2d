"""Packs a cross-built Windows module into a wheel as meson-python packs its own.

    python3 scripts/windows_wheel.py MODULE.pyd TAG OUTDIR    (TAG as cp311; prints the wheel's path)

meson-python builds a wheel only for the interpreter that runs it, so a module built for Windows on
Linux is packed here, with meson-python's own pieces: the core metadata from pyproject.toml through
pyproject-metadata, and its wheel writer, which adds the RECORD with each file's sha256. WHEEL and
entry_points.txt are written as meson-python writes them.
"""

import pathlib
import sys
import tomllib

import pyproject_metadata
from mesonpy._wheelfile import WheelFile

ROOT = pathlib.Path(__file__).resolve().parent.parent


def entry_points(metadata):
    text = ""
    for group, entries in (("console_scripts", metadata.scripts), ("gui_scripts", metadata.gui_scripts)):
        if entries:
            text += f"[{group}]\n" + "".join(f"{name} = {target}\n" for name, target in entries.items()) + "\n"
    return text


def pack(module, tag, outdir):
    pyproject = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
    metadata = pyproject_metadata.StandardMetadata.from_pyproject(pyproject, ROOT)
    name, version = metadata.name, str(metadata.version)
    wheel_tag = f"{tag}-{tag}-win_amd64"
    if module.name != f"{name}.{tag}-win_amd64.pyd":
        raise SystemExit(f"{module.name} is not the module for {wheel_tag}")
    distinfo = f"{name}-{version}.dist-info"
    path = pathlib.Path(outdir) / f"{name}-{version}-{wheel_tag}.whl"
    path.parent.mkdir(parents=True, exist_ok=True)
    with WheelFile(path, "w") as wheel:
        wheel.writestr(f"{distinfo}/METADATA", bytes(metadata.as_rfc822()))
        wheel.writestr(f"{distinfo}/WHEEL", "Wheel-Version: 1.0\nGenerator: meson\n"
                                            f"Root-Is-Purelib: false\nTag: {wheel_tag}")
        wheel.writestr(f"{distinfo}/entry_points.txt", entry_points(metadata))
        wheel.write(module, module.name)
    return path


if __name__ == "__main__":
    if len(sys.argv) != 4:
        raise SystemExit(__doc__.strip().splitlines()[2].strip())
    print(pack(pathlib.Path(sys.argv[1]), sys.argv[2], sys.argv[3]))
