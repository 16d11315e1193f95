"""Synthetic series for the volume tests: CT-like slices, multi-frame objects and mosaics."""

from __future__ import annotations

import struct

import numpy as np

from dicom_bytes import explicit, explicit_sq, item, part10

CT = "1.2.840.10008.5.1.4.1.1.2"
MR = "1.2.840.10008.5.1.4.1.1.4"
ENHANCED_CT = "1.2.840.10008.5.1.4.1.1.2.1"


def ds(v: float) -> str:
    return f"{v:.6f}".rstrip("0").rstrip(".") if v != int(v) else str(int(v))


def multi(values) -> str:
    return "\\".join(ds(float(v)) for v in values)


def encode(elements: dict) -> bytes:
    return b"".join(explicit(t >> 16, t & 0xFFFF, vr, v) if vr != "raw" else v
                    for t, (vr, v) in sorted(elements.items()))


def slice_file(pixels: np.ndarray, position, *, orientation=(1, 0, 0, 0, 1, 0), spacing=(0.5, 0.75), thickness=2.0,
               series="1.2.3.1", instance=1, sop=None, sop_class=CT, frame_of_reference="1.2.3.9", extra=None,
               slope=1.0, intercept=-1024.0, manufacturer="LOAMTEST", image_type="ORIGINAL\\PRIMARY\\AXIAL") -> bytes:
    """One single-frame slice of int16 stored values."""
    rows, cols = pixels.shape
    el = {
        0x00080008: ("CS", image_type), 0x00080016: ("UI", sop_class),
        0x00080018: ("UI", sop or f"{series}.{instance}"), 0x00080060: ("CS", "CT" if sop_class == CT else "MR"),
        0x00080070: ("LO", manufacturer), 0x00100010: ("PN", "Test^Volume"), 0x00100020: ("LO", "VOL1"),
        0x00180050: ("DS", ds(thickness)), 0x0020000D: ("UI", "1.2.3"), 0x0020000E: ("UI", series),
        0x00200013: ("IS", str(instance)), 0x00200032: ("DS", multi(position)),
        0x00200037: ("DS", multi(orientation)), 0x00200052: ("UI", frame_of_reference),
        0x00280002: ("US", struct.pack("<H", 1)), 0x00280004: ("CS", "MONOCHROME2"),
        0x00280010: ("US", struct.pack("<H", rows)), 0x00280011: ("US", struct.pack("<H", cols)),
        0x00280030: ("DS", multi(spacing)), 0x00280100: ("US", struct.pack("<H", 16)),
        0x00280101: ("US", struct.pack("<H", 16)), 0x00280102: ("US", struct.pack("<H", 15)),
        0x00280103: ("US", struct.pack("<H", 1)), 0x00281052: ("DS", ds(intercept)),
        0x00281053: ("DS", ds(slope)), 0x7FE00010: ("OW", pixels.astype("<i2").tobytes()),
    }
    el.update(extra or {})
    return part10(encode(el), sop_class=sop_class, sop_instance=el[0x00080018][1])


def write_series(folder, volume: np.ndarray, positions, order=None, **kw) -> list[str]:
    """One file a slice; `order` permutes the files' names (their order on disk)."""
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    order = list(range(len(positions))) if order is None else order
    for n, k in enumerate(order):
        path = folder / f"IM{n:04d}.dcm"
        path.write_bytes(slice_file(volume[k], positions[k], instance=k + 1, **kw))
        paths.append(str(path))
    return paths


def enhanced_ct(frames: np.ndarray, positions, orientation=(1, 0, 0, 0, 1, 0), spacing=(0.5, 0.75),
                thickness=2.0, per_frame_extra=None) -> bytes:
    """An Enhanced CT object with per-frame Plane Position and shared orientation and measures."""
    n, rows, cols = frames.shape
    shared = item(explicit_sq(0x0020, 0x9116, [item(explicit(0x0020, 0x0037, "DS", multi(orientation)))])
                  + explicit_sq(0x0028, 0x9110, [item(explicit(0x0018, 0x0050, "DS", ds(thickness))
                                                      + explicit(0x0028, 0x0030, "DS", multi(spacing)))])
                  + explicit_sq(0x0028, 0x9145, [item(explicit(0x0028, 0x1052, "DS", "0")
                                                      + explicit(0x0028, 0x1053, "DS", "1"))]))
    per = []
    for k in range(n):
        content = explicit_sq(0x0020, 0x9113, [item(explicit(0x0020, 0x0032, "DS", multi(positions[k])))])
        if per_frame_extra:  # macros with tags below Plane Position Sequence's
            content = per_frame_extra(k) + content
        per.append(item(content))
    el = {
        0x00080016: ("UI", ENHANCED_CT), 0x00080018: ("UI", "1.2.3.7.1"), 0x00080060: ("CS", "CT"),
        0x0020000D: ("UI", "1.2.3"), 0x0020000E: ("UI", "1.2.3.7"), 0x00200052: ("UI", "1.2.3.9"),
        0x00280002: ("US", struct.pack("<H", 1)), 0x00280004: ("CS", "MONOCHROME2"),
        0x00280008: ("IS", str(n)), 0x00280010: ("US", struct.pack("<H", rows)),
        0x00280011: ("US", struct.pack("<H", cols)), 0x00280100: ("US", struct.pack("<H", 16)),
        0x00280101: ("US", struct.pack("<H", 16)), 0x00280102: ("US", struct.pack("<H", 15)),
        0x00280103: ("US", struct.pack("<H", 1)),
        0x52009229: ("raw", explicit_sq(0x5200, 0x9229, [shared])),
        0x52009230: ("raw", explicit_sq(0x5200, 0x9230, per)),
        0x7FE00010: ("OW", frames.astype("<i2").tobytes()),
    }
    return part10(encode(el), sop_class=ENHANCED_CT, sop_instance="1.2.3.7.1")


# --- Siemens mosaics ----------------------------------------------------------------------------

def csa_header(entries: dict[str, list[str]]) -> bytes:
    """A CSA image header in its SV10 form."""
    out = b"SV10\x04\x03\x02\x01" + struct.pack("<II", len(entries), 77)
    for name, values in entries.items():
        out += name.encode().ljust(64, b"\0") + struct.pack("<i4sii", len(values), b"DS\0\0", 3, len(values))
        out += struct.pack("<i", 77)
        for v in values:
            data = v.encode() + b"\0"
            out += struct.pack("<4i", len(data), len(data), 77, len(data))
            out += data + b"\0" * ((4 - len(data) % 4) % 4)
    return out


def mosaic_file(tiles: np.ndarray, corner_position, *, orientation=(1, 0, 0, 0, 1, 0), spacing=(2.0, 2.0),
                slice_spacing=3.0, normal=None, bvalue=None, gradient=None, instance=1, series="1.2.3.5",
                phase="COL") -> bytes:
    """A Siemens mosaic of `tiles` (n, rows, cols): tiles laid out row by row on a square grid."""
    n, rows, cols = tiles.shape
    grid = int(np.ceil(np.sqrt(n)))
    mosaic = np.zeros((rows * grid, cols * grid), np.int16)
    for k in range(n):
        r, c = divmod(k, grid)
        mosaic[r * rows:(r + 1) * rows, c * cols:(c + 1) * cols] = tiles[k]
    o = np.asarray(orientation, float)
    normal = np.cross(o[:3], o[3:]) if normal is None else np.asarray(normal, float)
    entries = {"NumberOfImagesInMosaic": [str(n)], "SliceNormalVector": [repr(float(x)) for x in normal]}
    if bvalue is not None:
        entries["B_value"] = [str(bvalue)]
        if gradient is not None:
            entries["DiffusionGradientDirection"] = [repr(float(x)) for x in gradient]
    extra = {0x00180088: ("DS", ds(slice_spacing)), 0x00181312: ("CS", phase),
             0x00290010: ("LO", "SIEMENS CSA HEADER"), 0x00291010: ("OB", csa_header(entries))}
    return slice_file(mosaic, corner_position, orientation=orientation, spacing=spacing, thickness=slice_spacing,
                      series=series, instance=instance, sop_class=MR, manufacturer="SIEMENS", intercept=0,
                      image_type="ORIGINAL\\PRIMARY\\M\\ND\\MOSAIC", extra=extra)


# --- Enhanced US Volume -------------------------------------------------------------------------

EUS = "1.2.840.10008.5.1.4.1.1.6.2"


def fd(*values) -> bytes:
    return struct.pack(f"<{len(values)}d", *values)


def at(tag: int) -> bytes:
    return struct.pack("<HH", tag >> 16, tag & 0xFFFF)


def enhanced_us(frames: np.ndarray, coords, *, org_type="3D_TEMPORAL", orientation=(1, 0, 0, 0, 1, 0),
                number_of_frames=None, shared_extra=b"", index_items=None, frame_extra=None) -> bytes:
    """An Enhanced US Volume: `coords` holds per frame (temporal index, plane index, z, data type index)."""
    n, rows, cols = frames.shape
    uid = "1.2.3.4.99"
    pointers = [(0x00209128, 0x00209111), (0x00209301, 0x0020930E), (0x00189808, 0x00189807)]
    items = index_items if index_items is not None else [
        item(explicit(0x0020, 0x9164, "UI", uid) + explicit(0x0020, 0x9165, "AT", at(p))
             + explicit(0x0020, 0x9167, "AT", at(g))) for p, g in pointers]
    shared = item(explicit_sq(0x0018, 0x9807, [item(explicit(0x0018, 0x9808, "CS", "TISSUE_INTENSITY")
                                                    + explicit(0x0018, 0x980B, "CS", "NO"))])
                  + explicit_sq(0x0020, 0x930F, [item(explicit(0x0020, 0x9302, "FD", fd(*orientation)))])
                  + explicit_sq(0x0028, 0x9110, [item(explicit(0x0018, 0x0050, "DS", "1")
                                                      + explicit(0x0028, 0x0030, "DS", "0.5\\0.25"))])
                  + shared_extra)
    per = []
    for k, (t, z_index, z, d) in enumerate(coords):
        content = item(explicit(0x0020, 0x9128, "UL", struct.pack("<I", t))
                       + explicit(0x0020, 0x9157, "UL", struct.pack("<3I", t, z_index, d)))
        body = explicit_sq(0x0020, 0x9111, [content]) + explicit_sq(0x0020, 0x930E, [
            item(explicit(0x0020, 0x9301, "FD", fd(0.0, 0.0, z)))])
        per.append(item(body + (frame_extra(k) if frame_extra else b"")))
    el = {
        0x00080016: ("UI", EUS), 0x00080018: ("UI", "1.2.3.4.98"), 0x00080060: ("CS", "US"),
        0x0020000D: ("UI", "1.2.3"), 0x0020000E: ("UI", "1.2.3.4.97"), 0x00200052: ("UI", "1.2.3.4.96"),
        0x00209221: ("raw", explicit_sq(0x0020, 0x9221, [item(explicit(0x0020, 0x9164, "UI", uid))])),
        0x00209222: ("raw", explicit_sq(0x0020, 0x9222, items)),
        0x00209311: ("CS", org_type), 0x00209312: ("UI", "1.2.3.4.95"),
        0x00280002: ("US", struct.pack("<H", 1)), 0x00280004: ("CS", "MONOCHROME2"),
        0x00280008: ("IS", str(n if number_of_frames is None else number_of_frames)),
        0x00280010: ("US", struct.pack("<H", rows)), 0x00280011: ("US", struct.pack("<H", cols)),
        0x00280100: ("US", struct.pack("<H", 8)), 0x00280101: ("US", struct.pack("<H", 8)),
        0x00280102: ("US", struct.pack("<H", 7)), 0x00280103: ("US", struct.pack("<H", 0)),
        0x52009229: ("raw", explicit_sq(0x5200, 0x9229, [shared])),
        0x52009230: ("raw", explicit_sq(0x5200, 0x9230, per)),
        0x7FE00010: ("OB", frames.astype(np.uint8).tobytes() + (b"\0" if frames.size % 2 else b"")),
    }
    return part10(encode(el), sop_class=EUS, sop_instance="1.2.3.4.98")


def eus_coords(times=2, planes=3, spacing=0.5):
    return [(t + 1, z + 1, spacing * z, 1) for t in range(times) for z in range(planes)]
