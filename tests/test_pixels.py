"""Pixel decoding: the corpus against pydicom, and built files for the layouts that catch faults."""

import gc
import os
import struct
import warnings
import zlib

import numpy as np
import pytest

import loam
from conftest import TESTDATA
from dicom_bytes import (
    CT, EXPLICIT_BE, EXPLICIT_LE, IMPLICIT_LE, RLE, UNDEFINED, explicit, image, part10, rle_frame, us,
)

DEFLATED_FRAMES = "1.2.840.10008.1.2.8.1"
DEFLATED = "1.2.840.10008.1.2.1.99"
RT_DOSE = "1.2.840.10008.5.1.4.1.1.481.2"
UNCOMPRESSED = {EXPLICIT_LE, IMPLICIT_LE, EXPLICIT_BE, RLE, DEFLATED, DEFLATED_FRAMES, ""}


# ---- the corpus against pydicom ---------------------------------------------------------------

def corpus_images():
    if not TESTDATA.is_dir():
        return []
    pydicom = pytest.importorskip("pydicom")
    found = []
    for path in sorted(p for p in TESTDATA.rglob("*") if p.is_file()):
        meta = loam.read_file_meta(str(path))
        if meta["transfer_syntax"] not in UNCOMPRESSED or not loam.has_pixel_data(str(path)):
            continue
        found.append(path)
    return found


def pydicom_raw(path):
    pydicom = pytest.importorskip("pydicom")
    from pydicom.pixels import pixel_array
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ds = pydicom.dcmread(str(path), force=True)
        try:
            return ds, pixel_array(ds, raw=True)
        except Exception as exc:
            pytest.skip(f"pydicom cannot decode it: {exc}")


def expected_rendered(ds, raw, path):
    from pydicom.pixels import apply_color_lut, apply_modality_lut, convert_color_space
    pi = ds.get("PhotometricInterpretation", "")
    if pi == "PALETTE COLOR":
        twin = path.with_name(path.name.replace("_expb", ""))
        if twin != path and twin.exists():
            # pydicom reads big-endian palette data as little endian: the little-endian twin is the truth.
            return loam.decode(str(twin), rescale=True)[0]
        lut = apply_color_lut(raw, ds)
        return (lut >> 8).astype(np.uint8) if lut.dtype == np.uint16 else lut
    if ds.get("SamplesPerPixel", 1) != 1:
        return convert_color_space(raw, pi, "RGB") if pi.startswith("YBR") else raw
    if ds.get("SOPClassUID") == RT_DOSE and "DoseGridScaling" in ds:
        return raw * float(ds.DoseGridScaling)
    slope, intercept = float(ds.get("RescaleSlope", 1)), float(ds.get("RescaleIntercept", 0))
    shared = ds.get("SharedFunctionalGroupsSequence")
    if "RescaleSlope" not in ds and shared and "PixelValueTransformationSequence" in shared[0]:
        # pydicom's apply_modality_lut ignores the functional groups; we use them.
        t = shared[0].PixelValueTransformationSequence[0]
        slope, intercept = float(t.RescaleSlope), float(t.RescaleIntercept)
        out = raw * slope + intercept
    else:
        out = apply_modality_lut(raw, ds).astype(np.float64)
    return -out if pi == "MONOCHROME1" else out


@pytest.mark.parametrize("path", corpus_images(), ids=lambda p: str(p.relative_to(TESTDATA)))
def test_corpus_matches_pydicom(path):
    ds, raw = pydicom_raw(path)
    stored, meta = loam.decode_stored(str(path))
    assert stored.shape[0] == meta["frames"] and stored.shape == (meta["frames"],) + raw.shape[-stored.ndim + 1:]
    np.testing.assert_array_equal(stored.reshape(raw.shape), raw)
    rendered, meta = loam.decode(str(path), rescale=True)
    expected = np.asarray(expected_rendered(ds, raw, path))
    rendered = rendered.reshape(expected.shape)
    if rendered.dtype.kind == "f":
        np.testing.assert_allclose(rendered, expected, rtol=1e-6, atol=1e-6 * max(1.0, float(np.abs(expected).max())))
    else:
        assert np.abs(rendered.astype(np.int64) - expected.astype(np.int64)).max() <= 1


def test_compressed_twins_of_the_liver_decode_to_the_same_bits():
    base = TESTDATA / "pydicom-data"
    if not (base / "liver.dcm").exists():
        pytest.skip(f"corpus not present at {TESTDATA}")
    for native, twins in [("liver.dcm", ["liver_deflate.dcm", "liver_rle.dcm", "liver_expb.dcm"]),
                          ("liver_nonbyte_aligned.dcm", ["liver_nonbyte_aligned_deflate.dcm", "liver_nonbyte_aligned_rle.dcm"])]:
        want = loam.decode_stored(str(base / native))[0]
        _, raw = pydicom_raw(base / native)
        np.testing.assert_array_equal(want, raw)
        for twin in twins:
            np.testing.assert_array_equal(loam.decode_stored(str(base / twin))[0], want, err_msg=twin)


# ---- built files ------------------------------------------------------------------------------

def test_meta_dictionary_keys_and_single_frame_axis():
    data = image(struct.pack("<4h", -5, 0, 7, 1000), 2, 2, pr=1,
                 extra=explicit(0x0028, 0x1052, "DS", "-1024") + explicit(0x0028, 0x1053, "DS", "1"))
    array, meta = loam.decode_bytes(data, rescale=True)
    assert array.shape == (1, 2, 2) and array.dtype == np.float32
    assert array.ravel().tolist() == [-1029, -1024, -1017, -24]
    assert list(meta) == ["frames", "rows", "columns", "samples_per_pixel", "bits_allocated", "bits_stored",
                          "pixel_representation", "planar_configuration", "dtype", "rescaled", "byte_order", "bytes",
                          "numpy_shape", "modality", "photometric", "series_instance_uid", "sop_instance_uid",
                          "study_instance_uid", "frame_of_reference_uid", "instance_number", "rescale_slope",
                          "rescale_intercept", "window_center", "window_width", "slice_thickness", "pixel_spacing",
                          "image_position_patient", "image_orientation_patient"]
    assert (meta["dtype"], meta["rescaled"], meta["bytes"], meta["numpy_shape"]) == ("float32", True, 16, [1, 2, 2])
    assert (meta["modality"], meta["photometric"], meta["sop_instance_uid"]) == ("OT", "MONOCHROME2", "1.2.3.4")
    stored, meta = loam.decode_stored_bytes(data)
    assert stored.dtype == np.int16 and meta["dtype"] == "int16" and not meta["rescaled"]


def test_twelve_bit_signed_with_stray_high_bits_is_sign_extended():
    values = [0x0FFF, 0x0800, 0x07FF, 0xF001, 0x1234] + [0] * 27  # 0xF001: stray bits above bit 11
    data = image(struct.pack("<32H", *values), 4, 8, stored=12, pr=1)
    stored = loam.decode_stored_bytes(data)[0].ravel()
    assert stored[:5].tolist() == [-1, -2048, 2047, 1, 0x234]


def test_monochrome1_and_rt_dose_scaling():
    mono1 = image(struct.pack("<4H", 100, 0, 1, 2), 2, 2, photometric="MONOCHROME1")
    assert loam.decode_bytes(mono1, rescale=True)[0].ravel().tolist() == [-100, 0, -1, -2]
    dose = image(struct.pack("<4I", 1000, 0, 1, 2), 2, 2, bits=32, sop=RT_DOSE,
                 extra=explicit(0x0028, 0x1053, "DS", "7") + explicit(0x3004, 0x000E, "DS", "0.001"))
    out = loam.decode_bytes(dose, rescale=True)[0].ravel()
    np.testing.assert_allclose(out, [1.0, 0.0, 0.001, 0.002], rtol=1e-6)


def test_modality_lut_and_a_short_one():
    def lut_file(data):
        item = us(0x0028, 0x3002, 4, 10, 16) + explicit(0x0028, 0x3006, "OW", data)
        seq = struct.pack("<HH2sHI", 0x0028, 0x3000, b"SQ", 0, UNDEFINED) + struct.pack("<HHI", 0xFFFE, 0xE000, len(item))
        seq += item + struct.pack("<HHI", 0xFFFE, 0xE0DD, 0)
        return image(struct.pack("<4H", 9, 10, 12, 99), 2, 2, extra=explicit(0x0028, 0x1052, "DS", "5") + seq)
    out = loam.decode_bytes(lut_file(struct.pack("<4H", 100, 200, 300, 400)), rescale=True)[0].ravel()
    assert out.tolist() == [100, 100, 300, 400]  # clamped at both ends
    out = loam.decode_bytes(lut_file(struct.pack("<3H", 100, 200, 300)), rescale=True)[0].ravel()
    assert out.tolist() == [14, 15, 17, 104]  # LUT too short for its descriptor: the rescale applies


def test_truncated_pixel_data_raises_and_decodes_leniently():
    data = image(bytes(range(6)), 2, 2)  # one sample short
    with pytest.raises(ValueError) as info:
        loam.decode_bytes(data)
    assert str(info.value) == ("The number of bytes of pixel data is less than expected \u2014 the dataset may be "
                               "corrupted or truncated: <bytes>")
    array = loam.decode_bytes(data, lenient=True)[0]
    assert array.ravel().tolist() == [0x0100, 0x0302, 0x0504, 0]


def test_frame_selection_and_range():
    frames = struct.pack("<12H", *range(12))
    data = image(frames, 2, 2, frames=3)
    assert loam.decode_bytes(data)[0].shape == (3, 2, 2)
    assert loam.decode_bytes(data, 2)[0].ravel().tolist() == [4, 5, 6, 7]
    for bad in (-1, 4):
        with pytest.raises(RuntimeError) as info:
            loam.decode_bytes(data, bad)
        assert str(info.value) == "frame out of range (1..3): <bytes>"


@pytest.mark.parametrize("data, message", [
    (b"\x01" * 400, "decode failed (not a decodable DICOM): <bytes>"),
    (part10(explicit(0x0010, 0x0010, "PN", "A^B") + explicit(0x0020, 0x000D, "UI", "1.2") + explicit(0x0008, 0x0060, "CS", "CT")
            + explicit(0x0008, 0x0016, "UI", CT)), "decode failed (not a decodable DICOM): <bytes>"),
    (image([b""], 2, 2, ts=RLE), "no decodable image frames: <bytes>"),  # only a Basic Offset Table
    (image([b"", bytes(66)], 0, 2, ts=RLE), "no decodable image frames (Rows x Columns is 0 x 2): <bytes>"),
    (image([b"", b"\0\0\1\xb3"], 2, 2, ts="1.2.840.10008.1.2.4.100"), "frame decode failed: video frame decode failed"),
])
def test_undecodable_inputs(data, message):
    with pytest.raises(RuntimeError) as info:
        loam.decode_bytes(data)
    assert str(info.value) == message


def test_n_frames(tmp_path):
    path = tmp_path / "f.dcm"
    path.write_bytes(image(bytes(24), 2, 2, frames=3))
    assert loam.n_frames(str(path)) == 3
    path.write_bytes(b"\x01" * 400)
    with pytest.raises(RuntimeError, match="^decode failed \\(not a decodable DICOM\\): "):
        loam.n_frames(str(path))


def test_one_bit_frames_packed_across_bytes():
    bits = np.random.default_rng(1).integers(0, 2, size=3 * 3 * 3, dtype=np.uint8)  # 3 frames of 3x3
    packed = np.packbits(bits, bitorder="little").tobytes()
    data = image(packed, 3, 3, bits=1, frames=3)
    np.testing.assert_array_equal(loam.decode_stored_bytes(data)[0], bits.reshape(3, 3, 3))


def test_planar_rgb_and_missing_samples_per_pixel():
    r, g, b = bytes(range(0, 4)), bytes(range(10, 14)), bytes(range(20, 24))
    planar = image(r + g + b, 2, 2, bits=8, spp=3, photometric="RGB", planar=1, vr="OB")
    assert loam.decode_stored_bytes(planar)[0][0, 0, 1].tolist() == [1, 11, 21]
    interleaved = bytes(x for px in zip(r, g, b) for x in px)
    no_spp = image(interleaved, 2, 2, bits=8, spp=None, photometric="RGB", vr="OB")
    array, meta = loam.decode_stored_bytes(no_spp)
    assert array.shape == (1, 2, 2, 3) and array[0, 1, 1].tolist() == [3, 13, 23]


def test_ybr_full_422_is_expanded_and_converted():
    # Two pixels sharing chroma: Y0 Y1 Cb Cr.
    data = image(bytes([76, 150, 85, 255, 29, 29, 255, 107]), 1, 4, bits=8, spp=3, photometric="YBR_FULL_422", vr="OB")
    stored = loam.decode_stored_bytes(data)[0][0, 0]
    assert stored.tolist() == [[76, 85, 255], [150, 85, 255], [29, 255, 107], [29, 255, 107]]
    rgb, meta = loam.decode_bytes(data)
    assert meta["photometric"] == "RGB"
    assert np.abs(rgb[0, 0, 0].astype(int) - [255, 0, 0]).max() <= 1


def test_palette_color():
    def lut(c):
        return struct.pack("<4H", *(v * 256 for v in c))
    extra = b"".join(us(0x0028, 0x1101 + i, 4, 10, 16) for i in range(3))
    extra += b"".join(explicit(0x0028, 0x1201 + i, "OW", lut(c)) for i, c in enumerate([(1, 2, 3, 4), (5, 6, 7, 8), (9, 10, 11, 12)]))
    data = image(bytes([5, 10, 12, 200]), 2, 2, bits=8, photometric="PALETTE COLOR", extra=extra, vr="OB")
    assert loam.decode_stored_bytes(data)[0].ravel().tolist() == [5, 10, 12, 200]
    rgb, meta = loam.decode_bytes(data, rescale=True)
    assert rgb[0].reshape(4, 3).tolist() == [[1, 5, 9], [1, 5, 9], [3, 7, 11], [4, 8, 12]]  # below first, past end
    assert meta["photometric"] == "RGB"
    indices = np.array([[10, 11], [13, 0]], dtype=np.uint8)
    out = loam.apply_palette_indices(data, indices, 8)
    assert out.dtype == np.uint16 and out.shape == (2, 2, 3)
    assert out[0, 1].tolist() == [512, 1536, 2560]


@pytest.mark.parametrize("indices, bits, message", [
    (np.zeros(4, np.uint16), 8, "Palette indices must match the dataset's 1/8/16-bit stored container"),
    (np.zeros(4, np.float32), 8, "Palette indices must match the dataset's 1/8/16-bit stored container"),
    (np.zeros(4, np.uint32), 32, "Palette indices must match the dataset's 1/8/16-bit stored container"),
])
def test_palette_index_checks(indices, bits, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        loam.apply_palette_indices(image(bytes(4), 2, 2, bits=8, vr="OB"), indices, bits)


def test_palette_indices_need_a_palette():
    with pytest.raises(RuntimeError, match="^No valid Palette Color LUT is available$"):
        loam.apply_palette_indices(image(bytes(4), 2, 2, bits=8, vr="OB"), np.zeros(4, np.uint8), 8)


def test_rle_frames_one_fragment_each_and_by_offset_table():
    frames = [struct.pack("<4H", *(f * 100 + i for i in range(4))) for f in range(3)]
    planes = [[fr[1::2], fr[0::2]] for fr in frames]  # high bytes first
    encoded = [rle_frame(p) for p in planes]
    one_each = image([b""] + encoded, 2, 2, frames=3, ts=RLE)
    want = np.array([[[f * 100 + 2 * r + c for c in range(2)] for r in range(2)] for f in range(3)])
    np.testing.assert_array_equal(loam.decode_stored_bytes(one_each)[0], want)
    # Each frame split in two fragments, located through the Basic Offset Table.
    halves = [p for e in encoded for p in (e[:40], e[40:])]
    offsets, at = [], 0
    for e in encoded:
        offsets.append(at)
        at += (40 + 8) + (len(e) - 40 + 8)
    bot = struct.pack("<3I", *offsets)
    np.testing.assert_array_equal(loam.decode_stored_bytes(image([bot] + halves, 2, 2, frames=3, ts=RLE))[0], want)
    # The same through an Extended Offset Table with an empty Basic Offset Table.
    eot = explicit(0x7FE0, 0x0001, "OV", struct.pack("<3Q", *offsets))
    eotl = explicit(0x7FE0, 0x0002, "OV", struct.pack("<3Q", *(len(e) + 16 for e in encoded)))
    with_eot = image([b""] + halves, 2, 2, frames=3, ts=RLE, extra=b"")
    at = with_eot.index(b"\xe0\x7f\x10\x00")
    np.testing.assert_array_equal(loam.decode_stored_bytes(with_eot[:at] + eot + eotl + with_eot[at:])[0], want)


@pytest.mark.parametrize("header", [
    b"\x00" * 63,
    struct.pack("<I", 0) + b"\0" * 60,
    struct.pack("<I", 16) + b"\0" * 60,
    struct.pack("<II", 2, 64) + b"\0" * 56,  # two segments for 8-bit data
])
def test_malformed_rle_headers_are_refused(header):
    data = image([b"", header + b"\x00\x00"], 2, 2, bits=8, ts=RLE)
    with pytest.raises(RuntimeError, match=r"^no decodable image frames \(frame 1: the RLE data does not decode\): "):
        loam.decode_bytes(data)


def test_short_rle_segments_leave_zeros_and_rgb_interleaves():
    short = rle_frame([bytes([7, 8])])  # 2 of 4 pixels
    assert loam.decode_stored_bytes(image([b"", short], 2, 2, bits=8, ts=RLE))[0].ravel().tolist() == [7, 8, 0, 0]
    px = 40  # more than one 16-pixel block for the vector path
    r, g, b = bytes(range(px)), bytes(range(100, 100 + px)), bytes(range(200, 200 + px))
    rgb = loam.decode_stored_bytes(image([b"", rle_frame([r, g, b])], 5, 8, bits=8, spp=3, photometric="RGB", ts=RLE))[0]
    assert rgb.reshape(-1, 3).tolist() == [[r[i], g[i], b[i]] for i in range(px)]


def test_deflated_frames_and_deflated_dataset():
    frames = [struct.pack("<4H", *(f * 10 + i for i in range(4))) for f in range(2)]
    streams = []
    for fr in frames:
        z = zlib.compressobj(9, zlib.DEFLATED, -15)
        streams.append(z.compress(fr) + z.flush())
    data = image([b""] + streams, 2, 2, frames=2, ts=DEFLATED_FRAMES)
    assert loam.decode_stored_bytes(data)[0].ravel().tolist() == [0, 1, 2, 3, 10, 11, 12, 13]
    plain = image(struct.pack("<4H", 1, 2, 3, 4), 2, 2)
    body = plain[144 + struct.unpack_from("<I", plain, 140)[0]:]
    z = zlib.compressobj(9, zlib.DEFLATED, -15)
    deflated = part10(z.compress(body) + z.flush(), DEFLATED)
    assert loam.decode_bytes(deflated)[0].ravel().tolist() == [1, 2, 3, 4]


def test_big_endian_native():
    data = image(struct.pack(">4H", 1, 256, 3, 0xFFFF), 2, 2, ts=EXPLICIT_BE, big=True)
    assert loam.decode_stored_bytes(data)[0].ravel().tolist() == [1, 256, 3, 0xFFFF]


# ---- VOI ---------------------------------------------------------------------------------------

def test_voi_linear_numbers():
    x = np.array([-160.5, 40, 240, -1000], dtype=np.float32)
    out = loam.voi_apply(x, 0, None, 0, 16, 40.0, 400.0)
    assert out[0] == 0 and out[2] == 1 and out[3] == 0
    assert abs(out[1] - 0.50125) < 1e-5
    assert out.dtype == np.float32 and out.shape == x.shape


@pytest.mark.parametrize("function, width, twin", [(0, 0.5, 1.0), (2, 0.0, 1.0), (1, -3.0, 1.0)])
def test_voi_degenerate_widths(function, width, twin):
    x = np.linspace(-3, 3, 13, dtype=np.float32).reshape(13, 1)
    np.testing.assert_array_equal(loam.voi_apply(x, function, None, 0, 16, 0.0, width),
                                  loam.voi_apply(x, function, None, 0, 16, 0.0, twin))


def test_voi_lut_and_sigmoid():
    lut = struct.pack("<3H", 0, 1000, 4095)
    out = loam.voi_apply(np.array([9.6, 11, 50, -3], np.float32), 0, lut, 10, 12, 0.0, 1.0)
    np.testing.assert_allclose(out, [0, 1000 / 4095, 1, 0], rtol=1e-6)
    with pytest.raises(ValueError, match="^VOI LUT Data is empty$"):
        loam.voi_apply(np.zeros(2, np.float32), 0, b"", 0, 8, 0.0, 1.0)
    s = loam.voi_apply(np.array([0, 10], np.float32), 2, None, 0, 16, 0.0, 10.0)
    np.testing.assert_allclose(s, [0.5, 1 / (1 + np.exp(-4))], rtol=1e-6)


# ---- ownership ---------------------------------------------------------------------------------

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("stored", [False, True])
def test_arrays_own_their_memory_and_free_it(tmp_path, stored):
    frames = 160
    data = image(bytes(range(256)) * (512 * 512 * 2 * frames // 256), 512, 512, frames=frames)
    path = tmp_path / "big.dcm"
    path.write_bytes(data)
    # decode_stored from a path returns the file's own buffer; decode_bytes a decoded copy.
    array = loam.decode_stored(str(path))[0] if stored else loam.decode_bytes(data)[0]
    del data
    gc.collect()
    assert int(array[frames - 1, 511, 511]) == (0xFF << 8 | 0xFE) and array.flags["C_CONTIGUOUS"]
    array[0, 0, 0] = 7  # ours to write
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        return  # the sanitizer keeps freed memory in quarantine; the reads above are what it checks
    before = rss_bytes()
    del array
    gc.collect()
    assert before - rss_bytes() > 60 * 1024 * 1024  # the 80 MiB buffer went back to the system


def test_a_large_native_file_is_read_in_parts_and_rescaled_on_threads(tmp_path):
    """42 MB of pixels: the file is read on several threads and the frames rescaled on several,
    with the bytes one thread gives and the values computed here."""
    rng = np.random.default_rng(3)
    frames = rng.integers(0, 4096, size=(5, 2048, 2048), dtype="<u2")
    frames[:, 0, :8] = np.arange(8)  # a known corner in every frame
    extra = explicit(0x0028, 0x1052, "DS", "-1024") + explicit(0x0028, 0x1053, "DS", "0.5")
    path = tmp_path / "large.dcm"
    path.write_bytes(image(frames.tobytes(), 2048, 2048, bits=16, stored=12, frames=5, extra=extra))
    stored, _ = loam.decode_stored(path)
    assert stored.tobytes() == frames.tobytes()
    rescaled = {threads: loam.decode(path, 0, True, threads=threads)[0] for threads in (1, 2, None)}
    assert rescaled[1].dtype == np.float32
    np.testing.assert_array_equal(rescaled[1][:, 0, :8], np.tile(np.arange(8) * 0.5 - 1024, (5, 1)))
    np.testing.assert_array_equal(rescaled[1], frames * np.float32(0.5) - np.float32(1024))
    assert rescaled[2].tobytes() == rescaled[1].tobytes() == rescaled[None].tobytes()
