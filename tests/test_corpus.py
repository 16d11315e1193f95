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
    compared, mismatches = 0, []
    for path in corpus_files():
        ds = pydicom_read(path)
        if ds is None or not ds.file_meta:
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
    assert not mismatches
    assert compared > 200


def test_pixel_data_agrees_with_pydicom(testdata):
    compared, mismatches = 0, []
    for path in corpus_files():
        ds = pydicom_read(path)
        if ds is None or not ds.file_meta:
            continue
        ts = str(ds.file_meta.get("TransferSyntaxUID", ""))
        raw = loam.read_pixel_data(str(path))
        if ts in NOT_BYTE_WALKABLE:
            if raw is not None:
                mismatches.append((path, "expected None"))
            continue
        tag = next((t for t in PIXEL_TAGS if t in ds), None)
        if loam.has_pixel_data(str(path)) != (tag is not None):
            mismatches.append((path, "presence"))
            continue
        if tag is None:
            continue
        if ts != "1.2.840.10008.1.2.1" and ts != "1.2.840.10008.1.2" and not ds[tag].is_undefined_length:
            continue
        if raw != ds[tag].value:
            mismatches.append((path, "value", len(raw or b""), len(ds[tag].value or b"")))
        compared += 1
    assert not mismatches
    assert compared > 150


def test_pixel_data_vr_agrees_with_pydicom_on_explicit_files(testdata):
    mismatches = []
    for path in corpus_files():
        ds = pydicom_read(path)
        if ds is None or not ds.file_meta or ds.file_meta.get("TransferSyntaxUID") in NOT_BYTE_WALKABLE:
            continue
        if ds.file_meta.get("TransferSyntaxUID") == "1.2.840.10008.1.2":
            continue  # pydicom resolves implicit "OB or OW" from Bits Allocated; the map says OW
        tag = next((t for t in PIXEL_TAGS if t in ds), None)
        if tag is not None and loam.pixel_data_vr(str(path)) != ds[tag].VR:
            mismatches.append((path, loam.pixel_data_vr(str(path)), ds[tag].VR))
    assert not mismatches
