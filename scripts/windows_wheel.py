"""Packs a cross-built Windows module into a wheel.

    python3 scripts/windows_wheel.py MODULE.pyd TAG OUTDIR    (TAG as cp311; prints the wheel's path)

meson-python builds a wheel only for the interpreter that runs it, so a module built for Windows on
Linux is packed here: the core metadata from pyproject.toml through pyproject-metadata, WHEEL and
entry_points.txt as meson-python writes them, and the RECORD with each file's sha256 and size, as
the wheel format (PEP 427) has it; the zip itself from the standard library.
"""

import base64
import hashlib
import pathlib
import sys
import tomllib
import zipfile

import pyproject_metadata

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
    files = {
        module.name: module.read_bytes(),
        f"{distinfo}/METADATA": bytes(metadata.as_rfc822()),
        f"{distinfo}/WHEEL": f"Wheel-Version: 1.0\nGenerator: meson\nRoot-Is-Purelib: false\nTag: {wheel_tag}\n".encode(),
        f"{distinfo}/entry_points.txt": entry_points(metadata).encode(),
    }
    record = "".join(f"{path},sha256={base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b'=').decode()},"
                     f"{len(data)}\n" for path, data in files.items())
    files[f"{distinfo}/RECORD"] = (record + f"{distinfo}/RECORD,,\n").encode()
    path = pathlib.Path(outdir) / f"{name}-{version}-{wheel_tag}.whl"
    path.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name_in_wheel, data in files.items():  # RECORD last, as installers expect
            entry = zipfile.ZipInfo(name_in_wheel, date_time=(1980, 1, 1, 0, 0, 0))
            entry.external_attr = 0o644 << 16
            wheel.writestr(entry, data, compress_type=zipfile.ZIP_DEFLATED)
    return path


if __name__ == "__main__":
    if len(sys.argv) != 4:
        raise SystemExit(__doc__.strip().splitlines()[2].strip())
    print(pack(pathlib.Path(sys.argv[1]), sys.argv[2], sys.argv[3]))
