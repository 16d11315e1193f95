"""Writes a small Part-10 CT image (64x64, 16-bit, Explicit VR Little Endian) for the demo.

The bytes are assembled here element by element so that the demo needs nothing but Python.
"""

from __future__ import annotations

import math
import struct
import sys
from pathlib import Path

EXPLICIT_LE = "1.2.840.10008.1.2.1"
CT_IMAGE_STORAGE = "1.2.840.10008.5.1.4.1.1.2"
UID_ROOT = "1.2.826.0.1.3680043.9.5296"
LONG_VRS = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "SV", "UC", "UN", "UR", "UT", "UV"}


def element(group: int, elem: int, vr: str, value: bytes | str) -> bytes:
    data = value.encode("ascii") if isinstance(value, str) else value
    if len(data) % 2:
        data += b"\0" if vr in ("UI", "OB") else b" "
    head = struct.pack("<HH2s", group, elem, vr.encode())
    if vr in LONG_VRS:
        return head + struct.pack("<HI", 0, len(data)) + data
    return head + struct.pack("<H", len(data)) + data


def us(v: int) -> bytes:
    return struct.pack("<H", v)


def sample(rows: int = 64, cols: int = 64) -> bytes:
    instance = UID_ROOT + ".99.1"
    meta_body = b"".join([
        element(0x0002, 0x0001, "OB", b"\0\1"),
        element(0x0002, 0x0002, "UI", CT_IMAGE_STORAGE),
        element(0x0002, 0x0003, "UI", instance),
        element(0x0002, 0x0010, "UI", EXPLICIT_LE),
        element(0x0002, 0x0012, "UI", UID_ROOT + ".1"),
    ])
    meta = element(0x0002, 0x0000, "UL", struct.pack("<I", len(meta_body))) + meta_body
    # A disc phantom: soft tissue in air, stored with a -1024 intercept.
    pixels = bytearray()
    for r in range(rows):
        for c in range(cols):
            inside = math.hypot(r - rows / 2, c - cols / 2) < rows / 3
            pixels += us(1064 if inside else 24)
    body = b"".join([
        element(0x0008, 0x0016, "UI", CT_IMAGE_STORAGE),
        element(0x0008, 0x0018, "UI", instance),
        element(0x0008, 0x0020, "DA", "20240115"),
        element(0x0008, 0x0060, "CS", "CT"),
        element(0x0010, 0x0010, "PN", "Demo^Phantom"),
        element(0x0010, 0x0020, "LO", "LOAM-DEMO"),
        element(0x0018, 0x0050, "DS", "2.5"),
        element(0x0020, 0x000D, "UI", UID_ROOT + ".99.2"),
        element(0x0020, 0x000E, "UI", UID_ROOT + ".99.3"),
        element(0x0020, 0x0032, "DS", "-16\\-16\\0"),
        element(0x0020, 0x0037, "DS", "1\\0\\0\\0\\1\\0"),
        element(0x0028, 0x0002, "US", us(1)),
        element(0x0028, 0x0004, "CS", "MONOCHROME2"),
        element(0x0028, 0x0010, "US", us(rows)),
        element(0x0028, 0x0011, "US", us(cols)),
        element(0x0028, 0x0030, "DS", "0.5\\0.5"),
        element(0x0028, 0x0100, "US", us(16)),
        element(0x0028, 0x0101, "US", us(12)),
        element(0x0028, 0x0102, "US", us(11)),
        element(0x0028, 0x0103, "US", us(0)),
        element(0x0028, 0x1050, "DS", "40"),
        element(0x0028, 0x1051, "DS", "400"),
        element(0x0028, 0x1052, "DS", "-1024"),
        element(0x0028, 0x1053, "DS", "1"),
        element(0x7FE0, 0x0010, "OW", bytes(pixels)),
    ])
    return b"\0" * 128 + b"DICM" + meta + body


def main() -> int:
    out = Path(sys.argv[1] if len(sys.argv) > 1 else "sample.dcm")
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_bytes(sample())
    print(f"wrote {out} ({out.stat().st_size} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
