"""Turns the pure wheel that setuptools builds of clients/python into one wheel per platform, each
carrying that platform's binaries, the monitor and treemon-watch, as treemon/bin/NAME (with .exe
on Windows), where the client's locator looks for them.

1. A platform wheel holds every file of the pure wheel unchanged, plus the binaries (mode 755,
   which pip keeps on install); only WHEEL and RECORD are written anew.
2. WHEEL says Root-Is-Purelib: false and has one Tag line per platform tag; RECORD lists every
   file with its sha256 and size, as pip checks them on install, and itself without either.
3. Every entry carries the same fixed time, so the same inputs give the same bytes.

Usage: platform_wheels.py PURE_WHEEL OUT_DIR PLATFORM_TAGS=BINARY[,BINARY...]...
where PLATFORM_TAGS is a dot-separated set, e.g. manylinux_2_17_x86_64.musllinux_1_1_x86_64, and
the binaries of one target are separated by commas.
Prints the path of each wheel written.
"""

import base64
import hashlib
import os
import sys
import zipfile
from typing import List, Tuple

ENTRY_TIME = (1980, 1, 1, 0, 0, 0)
Member = Tuple[str, bytes, int]


def record_hash(data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"sha256={digest}"


def wheel_text(platform_tags: List[str]) -> bytes:
    lines = ["Wheel-Version: 1.0", "Generator: treemon platform_wheels.py", "Root-Is-Purelib: false"]
    lines += [f"Tag: py3-none-{tag}" for tag in platform_tags]
    return ("\n".join(lines) + "\n").encode()


def record_text(members: List[Member], record_name: str) -> bytes:
    lines = [f"{name},{record_hash(data)},{len(data)}" for name, data, _ in members]
    lines.append(f"{record_name},,")
    return ("\n".join(lines) + "\n").encode()


def write_wheel(path: str, members: List[Member]) -> None:
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data, mode in members:
            entry = zipfile.ZipInfo(name, ENTRY_TIME)
            entry.external_attr = (0o100000 | mode) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(entry, data)


def platform_wheel(pure: str, out_dir: str, platform_tags: str, binaries: List[str]) -> str:
    distribution, version = os.path.basename(pure).split("-")[:2]
    dist_info = f"{distribution}-{version}.dist-info"
    with zipfile.ZipFile(pure) as source:
        kept = [
            (entry.filename, source.read(entry), 0o644)
            for entry in source.infolist()
            if entry.filename not in (f"{dist_info}/WHEEL", f"{dist_info}/RECORD")
        ]
    members: List[Member] = []
    for binary in binaries:
        with open(binary, "rb") as file:
            members.append((f"treemon/bin/{os.path.basename(binary)}", file.read(), 0o755))
    # The package's files first, the metadata after them, RECORD last.
    members = sorted(members + [m for m in kept if not m[0].startswith(dist_info)]) + [
        m for m in kept if m[0].startswith(dist_info)
    ]
    members.append((f"{dist_info}/WHEEL", wheel_text(platform_tags.split(".")), 0o644))
    record_name = f"{dist_info}/RECORD"
    members.append((record_name, record_text(members, record_name), 0o644))
    path = os.path.join(out_dir, f"{distribution}-{version}-py3-none-{platform_tags}.whl")
    write_wheel(path, members)
    return path


def main(argv: List[str]) -> int:
    if len(argv) < 3 or not all("=" in target for target in argv[2:]):
        print("usage: " + __doc__.split("Usage: ")[1].split("\n")[0], file=sys.stderr)
        return 2
    pure, out_dir = argv[0], argv[1]
    for target in argv[2:]:
        platform_tags, binaries = target.split("=", 1)
        print(platform_wheel(pure, out_dir, platform_tags, binaries.split(",")))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
