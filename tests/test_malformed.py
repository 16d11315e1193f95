"""Hostile input: truncations, random bytes and mutations must neither crash nor hang.

Under `make asan-test` these also prove that no read leaves the buffer.
"""

import random
import struct

import pytest

import loam
import loam._core as core
from conftest import TESTDATA
from dicom_bytes import (
    IMPLICIT_LE, RLE, explicit, explicit_sq, image, implicit, implicit_sq, item, part10, pixel_module, rle_frame, us,
)

FAST_PATHS = (loam.has_pixel_data_bytes, loam.read_pixel_data_bytes, loam.pixel_data_vr_bytes)
EDITS = [(0x00100010, "modify", "X^Y", 0), (0x00100020, "insert", "ID", 0), (0x00080060, "erase", b"", 0)]
CHARSETS = ["", "ISO_IR 100", "ISO_IR 192", "GB18030", "GBK", "SHIFT_JIS", "EUC-KR", "BIG5", "WINDOWS-1251",
            "ISO_IR 13", "ISO 2022 IR 6\\ISO 2022 IR 87", "\\ISO 2022 IR 149", "ISO 2022 IR 13\\ISO 2022 IR 87",
            "ISO 2022 IR 6\\ISO 2022 IR 159\\ISO 2022 IR 58", "nonsense", "ISO 2022 IR 100"]


def run_all(data: bytes, tmp_path=None):
    for fn in FAST_PATHS:
        fn(data)
    for call in (lambda: core._decode_text(data), lambda: loam.edit_part10(data, EDITS),
                 lambda: loam.decode_bytes(data, rescale=True), lambda: loam.decode_stored_bytes(data, lenient=True),
                 lambda: loam.build_dicomdir([(data, "A/B")], "X")):
        try:
            call()
        except (ValueError, RuntimeError):
            pass  # refused cleanly
    if tmp_path is not None:
        path = tmp_path / "x.dcm"
        path.write_bytes(data)
        meta = loam.read_file_meta(str(path))
        assert isinstance(meta["transfer_syntax"], str)
        assert isinstance(core.read_meta_json(str(path)), str)
        try:
            assert isinstance(loam.iod_validate(str(path)), list)
        except RuntimeError:
            pass


def built_samples():
    nested = explicit_sq(0x0008, 0x1140, [item(explicit(0x0008, 0x1150, "UI", "1.2.3"), undefined=True),
                                          item(explicit(0x0008, 0x1155, "UI", "1.2.3.4"))])
    explicit_file = part10(explicit(0x0008, 0x0005, "CS", "ISO_IR 100") + nested + pixel_module()
                           + explicit(0x0009, 0x0010, "LO", "ACME") + explicit(0x0009, 0x1001, "UN", b"\1\2\3\4")
                           + explicit(0x7FE0, 0x0010, "OW", bytes(range(256)) * 8))
    implicit_file = part10(implicit(0x0008, 0x0005, b"ISO_IR 100")
                           + implicit_sq(0x0008, 0x1140, [item(implicit(0x0008, 0x1150, b"1.2.3\0"), undefined=True)])
                           + implicit(0x7FE0, 0x0010, bytes(range(256)) * 8), transfer_syntax=IMPLICIT_LE)
    palette = b"".join(us(0x0028, 0x1101 + i, 4, 0, 16) for i in range(3))
    palette += b"".join(explicit(0x0028, 0x1201 + i, "OW", bytes(range(8))) for i in range(3))
    rle_file = image([b"", rle_frame([bytes(range(64)), bytes(range(64, 128))]), rle_frame([bytes(64), bytes(64)])],
                     8, 8, frames=2, ts=RLE, photometric="PALETTE COLOR", extra=palette)
    return {"explicit": explicit_file, "implicit": implicit_file, "rle": rle_file}


def real_sample():
    path = TESTDATA / "pydicom" / "test_files" / "CT_small.dcm"
    if not path.is_file():
        pytest.skip(f"corpus file not present: {path}")
    return path.read_bytes()


@pytest.mark.parametrize("name", ["explicit", "implicit", "rle"])
def test_every_truncation_of_built_files(name):
    data = built_samples()[name]
    for n in range(min(len(data), 2048) + 1):
        run_all(data[:n])


def test_every_truncation_of_a_real_file(tmp_path):
    data = real_sample()
    full = loam.read_pixel_data_bytes(data)
    assert full is not None
    for n in range(2049):
        run_all(data[:n])
    # read_file_meta goes through a file; check a spread of cut points there.
    for n in range(0, 2049, 7):
        run_all(data[:n], tmp_path)


def test_random_bytes(tmp_path):
    rng = random.Random(20261206)
    for i in range(3000):
        n = rng.choice([rng.randrange(0, 16), rng.randrange(0, 300), rng.randrange(0, 4096)])
        data = bytes(rng.getrandbits(8) for _ in range(n))
        if i % 5 == 0:  # a valid preamble in front of random meta and dataset bytes
            data = b"\0" * 128 + b"DICM" + data
        run_all(data, tmp_path if i % 50 == 0 else None)


@pytest.mark.parametrize("charset", CHARSETS)
def test_random_text_under_every_kind_of_character_set(charset):
    rng = random.Random(charset)
    hot = [b"\x1b", b"\x1b$B", b"\x1b$)C", b"\x1b(B", b"\x1b$(D", b"\x0e", b"\x0f", b"\\", b"^", b"=", b"\r\n"]
    for manufacturer in ("", "SIEMENS", "PHILIPS", "GE MEDICAL", "SAMSUNG"):
        for _ in range(150):
            value = bytearray(rng.getrandbits(8) for _ in range(rng.randrange(0, 40)))
            for _ in range(rng.randrange(0, 4)):
                at = rng.randrange(len(value) + 1)
                value[at:at] = rng.choice(hot)
            body = explicit(0x0008, 0x0005, "CS", charset) + explicit(0x0008, 0x0070, "LO", manufacturer)
            for group, elem, vr in ((0x0010, 0x0010, "PN"), (0x0010, 0x0020, "LO"), (0x0010, 0x4000, "LT"),
                                    (0x0020, 0x000D, "UI")):
                body += explicit(group, elem, vr, bytes(value))
            texts, _ = core._decode_text(part10(body))
            assert all(isinstance(t, str) for t in texts.values())


@pytest.mark.parametrize("name", ["explicit", "implicit", "rle", "real"])
def test_mutated_files(name, tmp_path):
    data = real_sample() if name == "real" else built_samples()[name]
    rng = random.Random(hash(name) & 0xFFFF)
    hot = (b"\xff\xff\xff\xff", b"\xfe\xff\x00\xe0", b"\xfe\xff\xdd\xe0", b"\xfe\xff\x0d\xe0", b"UN", b"SQ", b"\x00\x00")
    for _ in range(1500):
        buf = bytearray(data[: rng.randrange(len(data) + 1)] if rng.random() < 0.3 else data)
        for _ in range(rng.randrange(1, 6)):
            if not buf:
                break
            at = rng.randrange(len(buf))
            if rng.random() < 0.5:
                buf[at] = rng.getrandbits(8)
            else:
                patch = rng.choice(hot)
                buf[at:at + len(patch)] = patch
        run_all(bytes(buf), tmp_path if rng.random() < 0.1 else None)


def test_undefined_lengths_that_never_close():
    undefined = struct.pack("<I", 0xFFFFFFFF)
    cases = [
        b"\x08\x00\x40\x11SQ\x00\x00" + undefined,
        b"\x08\x00\x40\x11SQ\x00\x00" + undefined + b"\xfe\xff\x00\xe0" + undefined,
        b"\x08\x00\x40\x11SQ\x00\x00" + undefined + (b"\xfe\xff\x00\xe0" + undefined + b"\x08\x00\x40\x11SQ\x00\x00" + undefined) * 200,
        b"\xe0\x7f\x10\x00OB\x00\x00" + undefined + b"\xfe\xff\x00\xe0" + undefined,
        b"\xfe\xff\x00\xe0" + undefined * 3,
        b"\x09\x00\x01\x10UN\x00\x00" + undefined + b"\xfe\xff\x00\xe0" + undefined,
    ]
    for body in cases:
        for data in (body, part10(body), part10(body.replace(b"SQ\x00\x00", b""), transfer_syntax=IMPLICIT_LE)):
            run_all(data)


def test_many_private_creators_and_long_values():
    body = b"".join(explicit(0x0009 + 2 * (i // 200), 0x10 + i % 200, "LO", f"CREATOR {i}") for i in range(400))
    run_all(part10(body + explicit(0x7FE0, 0x0010, "OW", b"\0\0")))
    assert loam.read_pixel_data_bytes(part10(body + explicit(0x7FE0, 0x0010, "OW", b"\0\0"))) == b"\0\0"


# Structural damage: a length made undefined or huge, an item tag where a value was, a zero length.
PATCHES = (b"\xff\xff\xff\xff", b"\xfe\xff\x00\xe0", b"\x00\x00")


def mutate(sample: bytes, rng: random.Random, patches: tuple[bytes, ...], max_edits: int, cut: float) -> bytes:
    """Up to max_edits - 1 random bytes or structural patches, then (with probability cut) a truncation."""
    buf = bytearray(sample)
    for _ in range(rng.randrange(1, max_edits)):
        at = rng.randrange(len(buf))
        if rng.random() < 0.5:
            buf[at] = rng.getrandbits(8)
        else:
            patch = rng.choice(patches)
            buf[at:at + len(patch)] = patch
    if rng.random() < cut:
        buf = buf[: rng.randrange(len(buf))]
    return bytes(buf)


def test_mutated_volume_inputs(tmp_path):
    import numpy as np
    from volume_series import enhanced_us, eus_coords, mosaic_file, slice_file
    rng = random.Random(20261207)
    frames = np.arange(6 * 4 * 5).reshape(6, 4, 5) % 200
    samples = [enhanced_us(frames, eus_coords()), slice_file(frames[0].astype(np.int16), (0, 0, 0)),
               mosaic_file(frames[:4].astype(np.int16), (0, 0, 0), bvalue=1000, gradient=(1, 0, 0))]
    path = tmp_path / "v.dcm"
    for i in range(450):
        path.write_bytes(mutate(samples[i % 3], rng, (b"\xff\xff\xff\xff", b"\xfe\xff\x00\xe0", b"\x00\x00", b"9999"),
                                5, 0.2))
        for fn in (loam.assemble_volume, loam.assemble_4d, loam.assemble_dwi):
            try:
                fn([str(path)])
            except RuntimeError:
                pass


def test_mutated_nifti_files(tmp_path):
    import numpy as np
    good = tmp_path / "good.nii"
    loam.write_nifti_volume(np.arange(60, dtype=np.int16).reshape(3, 4, 5), [1.0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0,
                                                                             0, 0, 0, 1], str(good))
    data = good.read_bytes()
    rng = random.Random(4)
    path = tmp_path / "x.nii"
    for _ in range(400):
        buf = bytearray(data[: rng.randrange(len(data) + 1)] if rng.random() < 0.3 else data)
        for _ in range(rng.randrange(1, 4)):
            if buf:
                buf[rng.randrange(min(len(buf), 352))] = rng.getrandbits(8)
        path.write_bytes(bytes(buf))
        try:
            loam.read_nifti(str(path))
        except RuntimeError:
            pass


def test_hostile_curves_and_arrays():
    import numpy as np
    rng = np.random.default_rng(9)
    for _ in range(200):
        n = int(rng.integers(0, 40))
        ct = rng.normal(0, 1, n) * rng.choice([1, 1e300, 0])
        aif = rng.normal(0, 1, n)
        if n and rng.random() < 0.3:
            ct[rng.integers(n)] = rng.choice([np.nan, np.inf])
        for call in (lambda: loam.dsc_deconvolve_curve(ct, aif, float(rng.choice([1.0, 0.0, -1.0])),
                                                       str(rng.choice(["ssvd", "csvd", "osvd"])),
                                                       float(rng.choice([0.0, 0.5, 2.0, -1.0, np.nan]))),
                     lambda: loam.dsc_first_pass_end(ct, int(rng.integers(-2, 10)), 0.0),
                     lambda: loam.dsc_signal_to_conc(ct, int(rng.integers(-2, 10)), 0.03),
                     lambda: loam.dsc_leakage_correct(ct, aif, 1.0),
                     lambda: loam.dce_signal_to_conc(ct, int(rng.integers(-2, 10)), 1.0, 0.005, 15.0, 4.5)):
            try:
                call()
            except RuntimeError:
                pass
    identity = [1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0]
    for _ in range(60):
        shape = [int(v) for v in rng.integers(0, 5, 3)]
        src = rng.normal(0, 1e30, shape).astype(np.float32)
        out = [int(v) for v in rng.integers(0, 6, 3)]
        for fn in (loam.transform_resample_cubic, loam.transform_resample_grid_sample, loam.transform_resample_nearest):
            try:
                fn(src, identity, out)
            except RuntimeError:
                pass


def test_mutated_rt_and_ko_files(tmp_path):
    import numpy as np
    from test_dvh import rtdose, rtstruct, square
    from test_ko import document
    rng = random.Random(77)
    samples = [rtdose(np.full((3, 6, 6), 1.5), (0.0, 0.0, 0.0)),
               rtstruct({1: ("box", [square(2.0, 8.0, 2.0, 8.0, z) for z in (0.0, 2.5)])}),
               loam.write_ko(document())]
    rs, rd = tmp_path / "rs.dcm", tmp_path / "rd.dcm"
    rs.write_bytes(samples[1])
    rd.write_bytes(samples[0])
    for i in range(300):
        buf = mutate(samples[i % 3], rng, (b"\xff\xff\xff\xff", b"\xfe\xff\x00\xe0", b"\xfe\xff\xdd\xe0", b"\x00\x00"),
                     5, 0.2)
        target = (rd, rs, tmp_path / "ko.dcm")[i % 3]
        target.write_bytes(buf)
        calls = [lambda: loam.compute_dvh(str(rs), str(rd), 1, 2), lambda: loam.read_rtstruct(str(rs)),
                 lambda: loam.read_rtdose(str(rd)), lambda: loam.read_ko(bytes(buf))]
        for call in calls:
            try:
                call()
            except (RuntimeError, ValueError):
                pass
        rs.write_bytes(samples[1])
        rd.write_bytes(samples[0])


def test_mutated_segmentations(tmp_path):
    import numpy as np
    from test_seg import SEGMENTS, reference
    rng = random.Random(78)
    paths = reference(tmp_path, slices=3, rows=5, cols=7)
    labels = np.zeros((3, 5, 7), np.uint16)
    labels[:, 1:4, 2:6] = 1
    labels[1, 0, :] = 7
    maps = np.arange(2 * 3 * 35, dtype=np.uint8).reshape(2, 3, 5, 7)
    samples = [loam.write_seg(paths, labels, SEGMENTS), loam.write_seg_fractional(paths, maps, SEGMENTS)]
    samples += [p.read_bytes() for p in sorted((TESTDATA / "highdicom").glob("seg_*labelmap.dcm"))]
    target = tmp_path / "seg.dcm"
    for i in range(400):
        target.write_bytes(mutate(samples[i % len(samples)], rng, (b"\xff\xff\xff\xff", b"\xfe\xff\x00\xe0",
                                                                  b"\xfe\xff\xdd\xe0", b"\x00\x00", b"\xff\xff"), 6, 0.3))
        for masks in (False, True):
            try:
                loam.read_seg(str(target), masks=masks)
            except RuntimeError:
                pass


def test_mutated_vendor_headers(tmp_path):
    """Diffusion, mosaic and sidecar readers on mutated Siemens, GE and Philips files, and GE
    protocol blocks that are not what they claim (one inflates to far more than any protocol)."""
    import gzip
    import numpy as np
    from test_diffusion import ge_file, philips_file, siemens_epi
    from volume_series import slice_file
    pixels = (np.arange(2 * 4 * 6).reshape(2, 4, 6) % 50).astype(np.int16)
    d = tmp_path / "src"
    d.mkdir()
    bomb = gzip.compress(b"A" * (32 << 20))
    protocol = {0x00250010: ("LO", "GEMS_SERS_01"), 0x00181312: ("CS", "COL"),
                0x0025101B: ("OB", len(bomb).to_bytes(4, "little") + bomb)}
    samples = [open(ge_file(d / "ge.dcm", pixels[0], 0, 1, 1000, (0.6, 0.8, 0)), "rb").read(),
               open(philips_file(d / "ph.dcm", pixels[0], 0, 1, 1000, (0, 0, 0), "I"), "rb").read(),
               open(siemens_epi(d / "si.dcm", np.stack([pixels[0]] * 4), 1, 1, "101500", 1), "rb").read(),
               slice_file(pixels[0], (0, 0, 0), manufacturer="GE MEDICAL SYSTEMS", extra=protocol)]
    rng = random.Random(2212)
    path, out = tmp_path / "v.dcm", str(tmp_path / "o.nii")
    for i in range(240):
        data = samples[i % 4] if i < 4 else mutate(samples[i % 4], rng, (b"\xff\xff\xff\xff", b"\x00\x00", b"9e99",
                                                                           b"SV10", b"\x1f\x8b"), 6, 0.2)
        path.write_bytes(data)
        for fn in (lambda: loam.read_diffusion(str(path)), lambda: loam.siemens_diffusion(data),
                   lambda: loam.mosaic_expand(data), lambda: loam.bids_sidecar([str(path)]),
                   lambda: loam._core._series_keys([str(path)]), lambda: loam._core._write_series([str(path)], out),
                   lambda: loam.assemble_dwi([str(path)], "acquisition")):
            try:
                fn()
            except (RuntimeError, ValueError):
                pass
