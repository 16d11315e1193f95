"""Part-10 writing: the byte-verbatim editor, the wrapper's file meta, encapsulation and UIDs."""

import io
import shutil
import struct
import subprocess
import warnings

import pydicom
import pytest

import loam
from conftest import TESTDATA
from dicom_bytes import (
    CT, DEFLATED, EXPLICIT_BE, EXPLICIT_LE, IMPLICIT_LE, explicit, file_meta, implicit, part10, pixel_module,
)

PN = 0x00100010
NATIVE = {EXPLICIT_LE, IMPLICIT_LE}


def vr_code(vr: str) -> int:
    return ord(vr[0]) | ord(vr[1]) << 8


def read(data):
    pydicom = pytest.importorskip("pydicom")
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a file meta pydicom warns about fails the test
        return pydicom.dcmread(io.BytesIO(data))


def explicit_file(extra_meta=b""):
    body = (explicit(0x0008, 0x0005, "CS", "ISO_IR 100") + explicit(0x0008, 0x0016, "UI", CT)
            + explicit(0x0008, 0x0018, "UI", "1.2.3.4.5") + explicit(0x0008, 0x0060, "CS", "CT")
            + explicit(0x0010, 0x0010, "PN", "Doe^Jane") + explicit(0x0010, 0x0030, "DA", "19700101")
            + pixel_module() + explicit(0x7FE0, 0x0010, "OW", bytes(8)))
    return b"\0" * 128 + b"DICM" + file_meta(EXPLICIT_LE, extra=extra_meta) + body


def implicit_file():
    body = (implicit(0x0008, 0x0016, CT.encode() + b"\0") + implicit(0x0008, 0x0018, b"1.2.3.4.5\0")
            + implicit(0x0010, 0x0010, b"Doe^Jane") + implicit(0x7FE0, 0x0010, bytes(8)))
    return part10(body, IMPLICIT_LE)


# ---- edit_part10 on the corpus ---------------------------------------------------------------

def native_corpus_files():
    if not TESTDATA.is_dir():
        return []
    found = []
    for path in sorted(TESTDATA.rglob("*.dcm")):
        meta = loam.read_file_meta(str(path))
        if meta["has_meta"] and meta["transfer_syntax"] in NATIVE:
            found.append(path)
    return found


def changed_region(a: bytes, b: bytes):
    prefix = 0
    while prefix < min(len(a), len(b)) and a[prefix] == b[prefix]:
        prefix += 1
    suffix = 0
    while suffix < min(len(a), len(b)) - prefix and a[-1 - suffix] == b[-1 - suffix]:
        suffix += 1
    return prefix, suffix


@pytest.mark.parametrize("path", native_corpus_files(), ids=lambda p: str(p.relative_to(TESTDATA)))
def test_modifying_patient_name_keeps_every_other_byte(path):
    pydicom = pytest.importorskip("pydicom")
    data = path.read_bytes()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            before = pydicom.dcmread(io.BytesIO(data))
            before_elements = {e.tag: e.value for e in before if e.tag != PN}
    except Exception as exc:  # pydicom cannot read it: nothing to compare against
        pytest.skip(f"pydicom cannot read it: {exc}")
    edited = loam.edit_part10(data, [(PN, "insert", "Edited^Name", 0)])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        after = pydicom.dcmread(io.BytesIO(edited))
        assert str(after.PatientName) == "Edited^Name"
        assert {e.tag: e.value for e in after if e.tag != PN} == before_elements
    # Only the bytes of one element changed: what is left between the common prefix and
    # suffix is the new element (12 bytes of value and header, 8 in implicit syntax).
    prefix, suffix = changed_region(data, edited)
    new_element = len(edited) - prefix - suffix
    assert new_element <= 8 + 12 + 4  # the new element, less any bytes it shares with its neighbours
    assert edited[:prefix] == data[:prefix] and edited[len(edited) - suffix:] == data[len(data) - suffix:]


# ---- edit_part10 on built files --------------------------------------------------------------

def test_insert_of_an_existing_tag_replaces_it_under_its_vr():
    edited = loam.edit_part10(explicit_file(), [(0x00100030, "insert", "20000101", vr_code("LO"))])
    assert explicit(0x0010, 0x0030, "DA", "20000101") in edited
    assert read(edited).PatientBirthDate == "20000101"


def test_erasing_an_absent_tag_returns_the_file_unchanged():
    data = explicit_file()
    assert loam.edit_part10(data, [(0x00101010, "erase", b"", 0), (0x00101020, "modify", "1", 0)]) == data


def test_erase_and_inserts_in_tag_order():
    edited = loam.edit_part10(explicit_file(), [
        (0x00200013, "insert", "7", 0), (0x00100020, "insert", "ID1", 0), (0x00080060, "erase", b"", 0),
    ])
    ds = read(edited)
    assert "Modality" not in ds
    assert ds.PatientID == "ID1" and ds.InstanceNumber == 7
    tags = [int(e.tag) for e in ds]
    assert tags == sorted(tags)


def test_new_instance_uid_regenerates_the_file_meta():
    extra = explicit(0x0002, 0x0016, "AE", "SOURCE_AE")
    edited = loam.edit_part10(explicit_file(extra), [(0x00080018, "modify", "1.2.3.99", 0)])
    ds = read(edited)
    assert ds.file_meta.MediaStorageSOPInstanceUID == "1.2.3.99"
    assert ds.SOPInstanceUID == "1.2.3.99"
    assert "SourceApplicationEntityTitle" not in ds.file_meta
    assert ds.file_meta.ImplementationClassUID == "1.2.826.0.1.3680043.9.5296.1"
    assert ds.file_meta.ImplementationVersionName == "LOAMXR_0_4_0"


def test_wrapper_meta_layout_and_group_length():
    edited = loam.edit_part10(explicit_file(), [(0x00080018, "modify", "1.2.345", 0)])  # odd length
    assert edited[:128] == bytes(128) and edited[128:132] == b"DICM"
    assert edited[132:144] == b"\x02\x00\x00\x00UL\x04\x00" + edited[140:144]
    group_length = struct.unpack_from("<I", edited, 140)[0]
    body_start = 144 + group_length
    assert edited[body_start:body_start + 4] == b"\x08\x00\x05\x00"
    assert explicit(0x0002, 0x0003, "UI", "1.2.345") in edited[144:body_start]  # NUL-padded to 8


@pytest.mark.skipif(shutil.which("dcmdump") is None, reason="DCMTK's dcmdump is not installed")
def test_dcmdump_reads_the_wrapped_file_without_complaint(tmp_path):
    path = tmp_path / "wrapped.dcm"
    path.write_bytes(loam.edit_part10(explicit_file(), [(0x00080018, "modify", "1.2.3.99", 0)]))
    run = subprocess.run(["dcmdump", "-M", str(path)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert not [line for line in (run.stdout + run.stderr).splitlines() if line.startswith(("W:", "E:"))]
    assert "LOAMXR_0_4_0" in run.stdout


@pytest.mark.parametrize("uid", ["1.2.3.4x", "1." + "2" * 63, ""])
def test_bad_instance_uid_fails_the_wrap(uid):
    with pytest.raises(RuntimeError, match="^edit_part10: unknown error$"):
        loam.edit_part10(explicit_file(), [(0x00080018, "modify", uid, 0)])


def test_implicit_files_get_implicit_elements():
    edited = loam.edit_part10(implicit_file(), [(PN, "modify", "Roe^Richard", 0), (0x00100020, "insert", b"ID7", 0)])
    assert implicit(0x0010, 0x0010, b"Roe^Richard ") in edited
    assert implicit(0x0010, 0x0020, b"ID7 ") in edited
    assert read(edited).PatientID == "ID7"


@pytest.mark.parametrize("tag, vr, value, expected", [
    (0x00280010, 0, "0x10", struct.pack("<H", 16)),
    (0x00280010, 0, " 010 ", struct.pack("<H", 8)),
    (0x00181310, 0, "1\\2\\3\\4", struct.pack("<4H", 1, 2, 3, 4)),
    (0x00091001, vr_code("SS"), "-5", struct.pack("<h", -5)),
    (0x00091001, vr_code("SL"), "-70000", struct.pack("<i", -70000)),
    (0x00091001, vr_code("UL"), "4294967295", struct.pack("<I", 0xFFFFFFFF)),
    (0x00091001, vr_code("FD"), "2.5\\-1", struct.pack("<2d", 2.5, -1)),
    (0x00091001, vr_code("FL"), "0.5", struct.pack("<f", 0.5)),
    (0x00091001, vr_code("AT"), "(0010,0020)", struct.pack("<HH", 0x0010, 0x0020)),
    (0x00091001, vr_code("UI"), "1.2.3", b"1.2.3\0"),
    (0x00091001, vr_code("OB"), b"\x01\x02\x03", b"\x01\x02\x03\0"),
    (0x00091001, vr_code("LO"), "ab\0cd", b"ab"),
])
def test_values_are_encoded_for_their_vr(tag, vr, value, expected):
    edited = loam.edit_part10(explicit_file(), [(tag, "insert", value, vr)])
    ds = read(edited)
    assert ds[tag].VR in ("US", "SS", "SL", "UL", "FD", "FL", "AT", "UI", "OB", "LO")
    elem = ds[tag]
    raw = edited[edited.index(struct.pack("<HH", tag >> 16, tag & 0xFFFF)):]
    header = 12 if elem.VR in ("OB",) else 8
    assert raw[header:header + len(expected)] == expected


@pytest.mark.parametrize("vr, value", [("US", "70000"), ("US", "-1"), ("US", "abc"), ("SS", "40000"),
                                       ("FD", "1.5x"), ("AT", "0010"), ("UL", "1\\\\2")])
def test_values_that_cannot_be_encoded(vr, value):
    with pytest.raises(RuntimeError, match="^edit_part10: value could not be encoded for its VR$"):
        loam.edit_part10(explicit_file(), [(0x00091001, "insert", value, vr_code(vr))])


def test_insert_without_a_vr_for_an_unknown_private_tag():
    with pytest.raises(RuntimeError, match=r"^edit_part10: cannot infer a VR for the new tag \(insert needs one\)$"):
        loam.edit_part10(explicit_file(), [(0x00091001, "insert", "x", 0)])


def test_private_creator_insert_is_lo():
    edited = loam.edit_part10(explicit_file(), [(0x00090010, "insert", "ACME", 0)])
    assert explicit(0x0009, 0x0010, "LO", "ACME") in edited


@pytest.mark.parametrize("data, message", [
    (part10(explicit(0x0010, 0x0010, "PN", "A^B"), DEFLATED), "transfer syntax not byte-editable (big-endian / deflated)"),
    (explicit(0x0010, 0x0010, "PN", "A^B"), "not a valid Part-10 file"),
    (part10(b""), "not a valid Part-10 file"),
])
def test_edit_errors(data, message):
    with pytest.raises(RuntimeError) as info:
        loam.edit_part10(data, [(PN, "modify", "X", 0)])
    assert str(info.value) == "edit_part10: " + message


def test_big_endian_files_are_edited_as_explicit_little_endian():
    """Values converted by VR (US, OW pixel words, text as is), the edits applied, the meta saying so."""
    body = (explicit(0x0008, 0x0016, "UI", CT, big=True) + explicit(0x0008, 0x0018, "UI", "1.2.3.4.5", big=True)
            + explicit(0x0010, 0x0010, "PN", "A^B", big=True) + explicit(0x0028, 0x0010, "US", struct.pack(">H", 2), big=True)
            + explicit(0x0028, 0x0011, "US", struct.pack(">H", 2), big=True)
            + explicit(0x7FE0, 0x0010, "OW", struct.pack(">4H", 1, 0x0203, 0xA0B0, 0xFFFF), big=True))
    edited = loam.edit_part10(part10(body, EXPLICIT_BE), [(PN, "modify", "Roe^Richard", 0), (0x00100020, "insert", "ID7", 0)])
    ds = read(edited)
    assert ds.file_meta.TransferSyntaxUID == EXPLICIT_LE and ds.SOPInstanceUID == "1.2.3.4.5"
    assert ds.PatientName == "Roe^Richard" and ds.PatientID == "ID7" and ds.Rows == 2
    assert ds.PixelData == struct.pack("<4H", 1, 0x0203, 0xA0B0, 0xFFFF)
    assert explicit(0x0010, 0x0010, "PN", "Roe^Richard") in edited


def test_a_big_endian_file_without_sop_uids_keeps_them_empty():
    """The little-endian copy carries the meta it had (found by the parse fuzzer: empty UIDs were
    copied from a null pointer)."""
    body = explicit(0x0010, 0x0010, "PN", "A^B", big=True) + explicit(0x0028, 0x0010, "US", struct.pack(">H", 2), big=True)
    edited = loam.edit_part10(part10(body, EXPLICIT_BE, sop_class=None, sop_instance=None), [(PN, "modify", "C^D", 0)])
    ds = read(edited)
    assert ds.file_meta.TransferSyntaxUID == EXPLICIT_LE and ds.file_meta.MediaStorageSOPInstanceUID == ""
    assert ds.PatientName == "C^D" and ds.Rows == 2


@pytest.mark.parametrize("op", [("00100010", "modify", "x", 0), (PN, "modify", "x", 1.5), (PN, "modify", 5, 0)])
def test_op_types_are_checked(op):
    with pytest.raises(TypeError):
        loam.edit_part10(explicit_file(), [op])


def test_op_vr_by_name_and_kind_checked():
    by_name = loam.edit_part10(explicit_file(), [(0x00091001, "insert", "ACME", "LO"), (0x00090010, "insert", "X", None)])
    ds = pydicom.dcmread(io.BytesIO(by_name))
    assert ds[0x00091001].VR == "LO" and ds[0x00091001].value == "ACME"
    packed = loam.edit_part10(explicit_file(), [(0x00091001, "insert", "ACME", ord("L") | ord("O") << 8),
                                                (0x00090010, "insert", "X", None)])
    assert packed == by_name
    with pytest.raises(ValueError, match="'insert', 'modify', 'erase'; not 'delete'"):
        loam.edit_part10(explicit_file(), [(PN, "delete", b"", 0)])  # once, an unknown kind inserted
    with pytest.raises(ValueError, match="'XX' is not a VR"):
        loam.edit_part10(explicit_file(), [(PN, "modify", "x", "XX")])


# ---- encapsulate_pixel_value ------------------------------------------------------------------

def items(data):
    out = []
    while data:
        tag, length = struct.unpack_from("<II", data)
        assert tag == 0xE000FFFE
        out.append(data[8:8 + length])
        data = data[8 + length:]
    return out


def test_encapsulated_value_with_a_frame_table():
    value = loam.encapsulate_pixel_value([b"abc", b"de", b"f"], [0, 2])
    table, *fragments = items(value)
    assert struct.unpack("<2I", table) == (0, 16 + 4 + 2)
    assert fragments == [b"abc\0", b"de", b"f\0"]


@pytest.mark.parametrize("starts", [[], [0, 0], [0, 5], [3], [1, 0], [-1, 1]])
def test_unusable_frame_tables_leave_the_offset_table_empty(starts):
    table, *fragments = items(loam.encapsulate_pixel_value([b"ab", b"cd", b"ef"], starts))
    assert table == b"" and fragments == [b"ab", b"cd", b"ef"]


def test_pydicom_reads_our_encapsulation():
    pydicom = pytest.importorskip("pydicom")
    from pydicom.encaps import generate_fragmented_frames
    value = loam.encapsulate_pixel_value([b"abc", b"de", b"fghi"], [0, 2])
    frames = list(generate_fragmented_frames(value, number_of_frames=2))
    assert frames == [(b"abc\0", b"de"), (b"fghi",)]


# ---- mint_uid --------------------------------------------------------------------------------

def fnv1a_128(data: bytes) -> int:
    h = 0x6C62272E07BB014262B821756295C58D
    for byte in data:
        h = ((h ^ byte) * ((1 << 88) + 0x13B)) % (1 << 128)
    return h


def expected_uid(seed: str, root: str) -> str:
    budget = 1 if len(root) >= 63 else 63 - len(root)
    digits = str(fnv1a_128(seed.encode()))[-budget:].lstrip("0") or "0"
    return f"{root}.{digits}"


@pytest.mark.parametrize("seed", ["", "a", "1.2.3.4|patient", "ünïcode ✓", "x" * 1000])
@pytest.mark.parametrize("root", ["1.2.826.0.1.3680043.9.5296", "9" * 60, "1" * 63, "1" * 70])
def test_mint_uid_is_fnv1a_128(seed, root):
    assert loam.mint_uid(seed, root) == expected_uid(seed, root)


def test_mint_uid_defaults():
    uid = loam.mint_uid("seed", "")
    assert uid == loam.mint_uid("seed", "") == expected_uid("seed", "2.25")
    assert uid.startswith("2.25.") and len(uid) <= 64
    assert len(loam.mint_uid("seed", "1" * 60).split(".")[-1]) <= 3
