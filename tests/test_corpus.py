"""Every corpus file through the fast paths, checked against pydicom where pydicom reads it."""

import warnings

import pytest

import loam
from conftest import corpus_files

pydicom = pytest.importorskip("pydicom")

PIXEL_TAGS = (0x7FE00008, 0x7FE00009, 0x7FE00010)
NOT_BYTE_WALKABLE = {"1.2.840.10008.1.2.2", "1.2.840.10008.1.2.1.99"}


def pydicom_read(path):
    """pydicom's view of a file, or None when it cannot read the file cleanly."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            return pydicom.dcmread(path)
        except Exception:
            return None


def pydicom_forced(path):
    """pydicom's view with force=True (file meta without the preamble too), or None."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            return pydicom.dcmread(path, force=True)
        except Exception:
            return None


# Where pydicom reads a file but misses its pixel data: loam's answer is the right one.
PYDICOM_MISSES_PIXELS = {
    "pydicom/test_files/no_meta.dcm": "a bare data set after one stray byte: pydicom reads one element",
    "pydicom-data/emri_small_jpeg_2k_lossless_too_short.dcm": "cut inside its fragments: pydicom drops the element",
}


def test_every_file_goes_through_the_fast_paths(testdata):
    for path in corpus_files():
        meta = loam.read_file_meta(str(path))
        assert set(meta) in ({"has_meta", "transfer_syntax", "sop_class", "sop_instance"},
                             {"has_meta", "transfer_syntax"})
        has = loam.has_pixel_data(str(path))
        raw = loam.read_pixel_data(str(path))
        vr = loam.pixel_data_vr(str(path))
        data = path.read_bytes()
        assert loam.has_pixel_data_bytes(data) == has
        assert loam.read_pixel_data_bytes(data) == raw
        assert loam.pixel_data_vr_bytes(data) == vr
        if raw is not None:
            assert has and vr in (None, "OB", "OW", "OF", "OD", "UN")


def test_file_meta_agrees_with_pydicom(testdata):
    """Every file whose meta pydicom finds, preamble or not (some writers start with group 0002)."""
    compared, without_preamble, mismatches = 0, 0, []
    for path in corpus_files():
        ds = pydicom_forced(path)
        if ds is None or "TransferSyntaxUID" not in ds.file_meta:
            continue
        meta = loam.read_file_meta(str(path))
        if not meta["has_meta"]:
            mismatches.append((path, "no meta"))
            continue
        fm = ds.file_meta
        theirs = {
            "transfer_syntax": str(fm.get("TransferSyntaxUID", "") or ""),
            "sop_class": str(fm.get("MediaStorageSOPClassUID", "") or ""),
            "sop_instance": str(fm.get("MediaStorageSOPInstanceUID", "") or ""),
        }
        for key, value in theirs.items():
            if meta[key] != value:
                mismatches.append((path, key, meta[key], value))
        compared += 1
        without_preamble += path.read_bytes()[128:132] != b"DICM"
    assert not mismatches
    assert compared > 200 and without_preamble >= 3


def test_pixel_data_agrees_with_pydicom(testdata):
    """Presence over every file pydicom reads; the value as stored (big endian as stored, deflated
    inflated) wherever pydicom keeps it as stored too."""
    compared, other_encodings, mismatches = 0, 0, []
    for path in corpus_files():
        ds = pydicom_forced(path)
        if ds is None or str(path.relative_to(testdata)) in PYDICOM_MISSES_PIXELS:
            continue
        tag = next((t for t in PIXEL_TAGS if t in ds), None)
        raw = loam.read_pixel_data(str(path))
        if loam.has_pixel_data(str(path)) != (tag is not None) or (raw is not None) != (tag is not None):
            mismatches.append((path, "presence", raw is not None, tag is not None))
            continue
        if tag is None:
            continue
        ts = str(ds.file_meta.get("TransferSyntaxUID", ""))
        if ts.startswith("1.2.840.10008.1.2.4.") or ts == "1.2.840.10008.1.2.5":
            if not ds[tag].is_undefined_length:
                continue  # pydicom keeps a defined-length compressed value its own way
        if raw != ds[tag].value:
            mismatches.append((path, "value", len(raw or b""), len(ds[tag].value or b"")))
        compared += 1
        other_encodings += ts in NOT_BYTE_WALKABLE
    assert not mismatches
    assert compared > 150 and other_encodings >= 5


def test_pixel_data_vr_agrees_with_pydicom_on_explicit_files(testdata):
    mismatches = []
    for path in corpus_files():
        ds = pydicom_read(path)
        if ds is None or not ds.file_meta:
            continue
        if ds.file_meta.get("TransferSyntaxUID") == "1.2.840.10008.1.2":
            continue  # pydicom resolves implicit "OB or OW" from Bits Allocated; the map says OW
        tag = next((t for t in PIXEL_TAGS if t in ds), None)
        if tag is not None and loam.pixel_data_vr(str(path)) != ds[tag].VR:
            mismatches.append((path, loam.pixel_data_vr(str(path)), ds[tag].VR))
    assert not mismatches


# ---- every reading function, path and bytes, over the whole corpus (run under make asan-test) ----

def outcome(value):
    """A comparable digest of a result: arrays by dtype, shape and bytes; containers element-wise."""
    import numpy as np

    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, dict):
        return {k: outcome(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [outcome(v) for v in value]
    if isinstance(value, loam.WsiSlide):
        return [(value.level_dimensions(i), value.level_frame_count(i),
                 outcome(value.level_frame_tile(i, 0)) if value.level_frame_count(i) else None)
                for i in range(value.level_count())] + [value.associated_image_names()]
    return value


def attempt(call, arg):
    try:
        return call(arg)
    except Exception as exc:  # the verdict compared is the exception's type
        text = str(exc)
        assert "std::" not in text and "bad_cast" not in text, text
        return ("raised", type(exc).__name__)


# name -> (path variant, bytes variant or None)
READERS = {
    "decode": (loam.decode, loam.decode_bytes),
    "decode rescaled": (lambda p: loam.decode(p, rescale=True), lambda b: loam.decode_bytes(b, rescale=True)),
    "decode lenient": (lambda p: loam.decode(p, lenient=True), lambda b: loam.decode_bytes(b, lenient=True)),
    "decode_stored": (loam.decode_stored, loam.decode_stored_bytes),
    "read_pixel_data": (loam.read_pixel_data, loam.read_pixel_data_bytes),
    "has_pixel_data": (loam.has_pixel_data, loam.has_pixel_data_bytes),
    "pixel_data_vr": (loam.pixel_data_vr, loam.pixel_data_vr_bytes),
    "mosaic_expand": (loam.mosaic_expand, loam.mosaic_expand),
    "siemens_diffusion": (loam.siemens_diffusion, loam.siemens_diffusion),
    "read_ko": (loam.read_ko, loam.read_ko),
    "slide": (lambda p: loam.wsi_open_paths([p]), lambda b: loam.wsi_open([b])),
    "read_json": (loam.read_json, None),
    "read_json without binaries": (lambda p: loam.read_json(p, inline_binary=False), None),
    "read_meta_json": (loam.read_meta_json, None),
    "read_file_meta": (loam.read_file_meta, None),
    "n_frames": (loam.n_frames, None),
    "iod_validate": (loam.iod_validate, None),
    "read_diffusion": (loam.read_diffusion, None),
    "read_rtstruct": (loam.read_rtstruct, None),
    "read_rtdose": (loam.read_rtdose, None),
    "read_seg": (loam.read_seg, None),
    "read_seg masks": (lambda p: loam.read_seg(p, masks=True), None),
}


@pytest.mark.parametrize("name", READERS)
def test_every_reader_takes_every_corpus_file(testdata, name):
    """Whatever a file holds, each reader returns or raises an ordinary exception; a path and its
    bytes give the same answer, and a second call leaves the first result intact."""
    by_path, by_bytes = READERS[name]
    differ = []
    for path in corpus_files():
        first = attempt(by_path, str(path))
        digest = outcome(first)
        again = attempt(by_path, str(path))
        if by_bytes is not None and outcome(attempt(by_bytes, path.read_bytes())) != digest:
            differ.append(f"{path.name}: path and bytes disagree")
        if outcome(first) != digest or outcome(again) != digest:
            differ.append(f"{path.name}: a second call changed the result")
    assert not differ, "\n".join(differ[:20])
