"""Byte-level builders for test fixtures: elements in each encoding, items, Part-10 wrapping."""

from __future__ import annotations

import struct

LONG_VRS = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "SV", "UC", "UN", "UR", "UT", "UV"}
UNDEFINED = 0xFFFFFFFF
EXPLICIT_LE = "1.2.840.10008.1.2.1"
IMPLICIT_LE = "1.2.840.10008.1.2"
EXPLICIT_BE = "1.2.840.10008.1.2.2"
DEFLATED = "1.2.840.10008.1.2.1.99"
CT = "1.2.840.10008.5.1.4.1.1.2"
RLE = "1.2.840.10008.1.2.5"


def pad(data: bytes, vr: str) -> bytes:
    if len(data) % 2:
        data += b"\0" if vr in ("UI", "OB", "UN") else b" "
    return data


def _raw(value: bytes | str) -> bytes:
    return value.encode("latin-1") if isinstance(value, str) else value


def explicit(group: int, elem: int, vr: str, value: bytes | str = b"", *, length: int | None = None,
             big: bool = False, even: bool = True) -> bytes:
    """One explicit-VR element; `length` overrides the stated length (for malformed cases)."""
    data = _raw(value)
    if even:
        data = pad(data, vr)
    n = len(data) if length is None else length
    e = ">" if big else "<"
    head = struct.pack(e + "HH", group, elem) + vr.encode()
    if vr in LONG_VRS:
        return head + struct.pack(e + "HI", 0, n) + data
    return head + struct.pack(e + "H", n) + data


def implicit(group: int, elem: int, value: bytes | str = b"", *, length: int | None = None) -> bytes:
    data = _raw(value)
    n = len(data) if length is None else length
    return struct.pack("<HHI", group, elem, n) + data


def item(content: bytes = b"", *, undefined: bool = False, big: bool = False) -> bytes:
    e = ">" if big else "<"
    if undefined:
        return struct.pack(e + "HHI", 0xFFFE, 0xE000, UNDEFINED) + content + struct.pack(e + "HHI", 0xFFFE, 0xE00D, 0)
    return struct.pack(e + "HHI", 0xFFFE, 0xE000, len(content)) + content


def seq_end(big: bool = False) -> bytes:
    return struct.pack((">" if big else "<") + "HHI", 0xFFFE, 0xE0DD, 0)


def explicit_sq(group: int, elem: int, items: list[bytes], *, undefined: bool = True, vr: str = "SQ") -> bytes:
    body = b"".join(items)
    if undefined:
        return struct.pack("<HH2sHI", group, elem, vr.encode(), 0, UNDEFINED) + body + seq_end()
    return struct.pack("<HH2sHI", group, elem, vr.encode(), 0, len(body)) + body


def implicit_sq(group: int, elem: int, items: list[bytes], *, undefined: bool = True) -> bytes:
    body = b"".join(items)
    if undefined:
        return struct.pack("<HHI", group, elem, UNDEFINED) + body + seq_end()
    return struct.pack("<HHI", group, elem, len(body)) + body


def file_meta(transfer_syntax: str, sop_class: str = CT, sop_instance: str = "1.2.3.4.5",
              *, group_length: int | None = None, extra: bytes = b"") -> bytes:
    body = b""
    if sop_class is not None:
        body += explicit(0x0002, 0x0002, "UI", sop_class)
    if sop_instance is not None:
        body += explicit(0x0002, 0x0003, "UI", sop_instance)
    if transfer_syntax is not None:
        body += explicit(0x0002, 0x0010, "UI", transfer_syntax)
    body += extra
    n = len(body) if group_length is None else group_length
    return explicit(0x0002, 0x0000, "UL", struct.pack("<I", n)) + body


def part10(dataset: bytes, transfer_syntax: str = EXPLICIT_LE, **meta) -> bytes:
    return b"\0" * 128 + b"DICM" + file_meta(transfer_syntax, **meta) + dataset


def pixel_module(rows: int = 2, cols: int = 2) -> bytes:
    return (explicit(0x0028, 0x0010, "US", struct.pack("<H", rows))
            + explicit(0x0028, 0x0011, "US", struct.pack("<H", cols)))


def us(group, elem, *values, big=False):
    return explicit(group, elem, "US", struct.pack((">" if big else "<") + "H" * len(values), *values), big=big)


def image(pixels, rows, cols, *, bits=16, stored=None, pr=0, spp=1, photometric="MONOCHROME2", frames=None,
          planar=None, extra=b"", ts=EXPLICIT_LE, vr="OW", sop=CT, big=False):
    """A Part-10 image; `pixels` is the Pixel Data value (bytes) or a list of encapsulated items."""
    body = explicit(0x0008, 0x0016, "UI", sop, big=big) + explicit(0x0008, 0x0018, "UI", "1.2.3.4", big=big)
    body += explicit(0x0008, 0x0060, "CS", "OT", big=big) + explicit(0x0020, 0x000D, "UI", "1.2.3", big=big)
    body += us(0x0028, 0x0002, spp, big=big) if spp is not None else b""
    body += explicit(0x0028, 0x0004, "CS", photometric, big=big)
    if planar is not None:
        body += us(0x0028, 0x0006, planar, big=big)
    if frames is not None:
        body += explicit(0x0028, 0x0008, "IS", str(frames), big=big)
    body += us(0x0028, 0x0010, rows, big=big) + us(0x0028, 0x0011, cols, big=big)
    stored = bits if stored is None else stored
    body += us(0x0028, 0x0100, bits, big=big) + us(0x0028, 0x0101, stored, big=big)
    body += us(0x0028, 0x0102, stored - 1, big=big) + us(0x0028, 0x0103, pr, big=big)
    body += extra
    if isinstance(pixels, list):
        items = b"".join(struct.pack("<HHI", 0xFFFE, 0xE000, len(p)) + p for p in pixels)
        body += struct.pack("<HH2sHI", 0x7FE0, 0x0010, b"OB", 0, UNDEFINED) + items + struct.pack("<HHI", 0xFFFE, 0xE0DD, 0)
    else:
        body += explicit(0x7FE0, 0x0010, vr, pixels, big=big)
    return part10(body, ts)


def rle_segment(data: bytes) -> bytes:
    """PackBits literal runs only: enough for any content."""
    out = b""
    for i in range(0, len(data), 128):
        chunk = data[i:i + 128]
        out += bytes([len(chunk) - 1]) + chunk
    return out


def rle_frame(planes: list[bytes]) -> bytes:
    segments = [rle_segment(p) for p in planes]
    header = struct.pack("<I", len(segments))
    offsets, at = [], 64
    for s in segments:
        offsets.append(at)
        at += len(s) + (len(s) & 1)
    header += b"".join(struct.pack("<I", o) for o in offsets) + b"\0" * (60 - 4 * len(offsets))
    return header + b"".join(s + b"\0" * (len(s) & 1) for s in segments)
