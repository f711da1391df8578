#!/usr/bin/env python3
"""Packs the wheel of another platform from a built one: the same files, the
extension modules replaced by the ones given, the platform tag and RECORD
rewritten.

    repack_wheel.py WHEEL --platform TAG --outdir DIR MODULE.so [MODULE.so ...]

Each module replaces the one of the same name (the part before the first dot);
a module with no counterpart, or one left without a replacement, is an error.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import sys
import zipfile
from pathlib import Path


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def repack(wheel: Path, platform: str, outdir: Path, modules: list[Path]) -> Path:
    distribution, version, python, abi, old_platform = wheel.stem.split("-")
    info = f"{distribution}-{version}.dist-info/"
    replacements = {module.name.split(".")[0]: module for module in modules}
    files: dict[str, bytes] = {}
    with zipfile.ZipFile(wheel) as source:
        for name in source.namelist():
            if name == info + "RECORD" or name.endswith("/"):
                continue
            data = source.read(name)
            folder, _, base = name.rpartition("/")
            if base.endswith(".so"):
                stem = base.split(".")[0]
                if stem not in replacements:
                    sys.exit(f"{name}: no module given to replace it")
                module = replacements.pop(stem)
                name, data = f"{folder}/{module.name}", module.read_bytes()
            elif name == info + "WHEEL":
                data = data.replace(f"-{old_platform}\n".encode(), f"-{platform}\n".encode())
            files[name] = data
    if replacements:
        sys.exit(f"modules with nothing to replace in {wheel.name}: {', '.join(map(str, replacements.values()))}")
    files[info + "RECORD"] = (
        "\n".join([*(record_line(n, d) for n, d in files.items()), info + "RECORD,,"]) + "\n"
    ).encode()
    target = outdir / f"{distribution}-{version}-{python}-{abi}-{platform}.whl"
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as out:
        for name, data in files.items():
            entry = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            entry.external_attr = (0o755 if name.endswith(".so") else 0o644) << 16
            out.writestr(entry, data, zipfile.ZIP_DEFLATED)
    return target


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("wheel", type=Path)
    parser.add_argument("--platform", required=True)
    parser.add_argument("--outdir", type=Path, required=True)
    parser.add_argument("modules", type=Path, nargs="+")
    args = parser.parse_args()
    print(repack(args.wheel, args.platform, args.outdir, args.modules))


if __name__ == "__main__":
    main()
