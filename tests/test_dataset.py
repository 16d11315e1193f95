"""loam.read(): the Dataset view, checked on built files and against pydicom on the corpus."""

from __future__ import annotations

import datetime
import json
import os
import stat
import struct
import warnings
import zlib
from pathlib import Path

import numpy as np
import pytest

import loam
from conftest import corpus_files
from dicom_bytes import (DEFLATED, EXPLICIT_BE, IMPLICIT_LE, explicit, explicit_sq, image, implicit, implicit_sq,
                         item, part10, us)

pydicom = pytest.importorskip("pydicom")


def header(*elements: bytes, ts: str = "1.2.840.10008.1.2.1") -> bytes:
    return part10(b"".join(elements), ts)


TYPED = header(
    explicit(0x0008, 0x0005, "CS", "ISO_IR 100"),
    explicit(0x0008, 0x0008, "CS", "ORIGINAL\\PRIMARY \\ AXIAL"),
    explicit(0x0008, 0x0020, "DA", "20240229"),
    explicit(0x0008, 0x0030, "TM", "101530.25"),
    explicit(0x0008, 0x002A, "DT", "20240229101530.5+0130"),
    explicit(0x0008, 0x1160, "IS", "7\\8"),
    explicit(0x0009, 0x0010, "LO", "ACME 1.0"),
    explicit(0x0009, 0x1001, "LO", "private value"),
    explicit(0x0010, 0x0010, "PN", "M\xfcller^Hans^Peter^Dr.^Jr.=\\Doe^Jane"),
    explicit(0x0018, 0x0050, "DS", " 2.50 "),
    explicit(0x0018, 0x0088, "DS", "abc"),
    explicit(0x0020, 0x0013, "IS", "1.0"),
    explicit(0x0020, 0x0032, "DS", "-1.5\\2e2\\+3"),
    explicit(0x0020, 0x1041, "DS", ""),
    explicit(0x0028, 0x0009, "AT", struct.pack("<HH", 0x0018, 0x1063)),
    us(0x0028, 0x0010, 4),
    explicit(0x0028, 0x1050, "DS", "40"),
    explicit(0x0028, 0x1052, "DS", "-1024"),
    explicit(0x0040, 0xA30A, "DS", "1\\2"),
    explicit(0x0018, 0x9087, "FD", struct.pack("<d", 1000.5)),
    explicit(0x0018, 0x9089, "FD", struct.pack("<3d", 1.0, 0.0, -1.0)),
    explicit(0x0028, 0x1101, "SS", struct.pack("<3h", 256, -1, 16)),
    explicit(0x0040, 0x0260, "SQ", b"", length=0),
    explicit_sq(0x0008, 0x1140, [
        item(explicit(0x0008, 0x1150, "UI", "1.2.840.10008.5.1.4.1.1.2") + explicit(0x0008, 0x1155, "UI", "1.2.3.9")),
        item(explicit(0x0008, 0x1155, "UI", "1.2.3.10") + explicit_sq(0x0040, 0xA043, [
            item(explicit(0x0008, 0x0104, "LO", "nested"))]), undefined=True),
    ]),
)


@pytest.fixture
def typed() -> loam.Dataset:
    return loam.read(TYPED)


@pytest.mark.parametrize("keyword, expected", [
    ("ImageType", ["ORIGINAL", "PRIMARY", "AXIAL"]),   # spaces around CS values carry no meaning
    ("StudyDate", "20240229"),
    ("ReferencedFrameNumber", [7, 8]),
    ("SliceThickness", 2.5),
    ("SpacingBetweenSlices", "abc"),                   # an invalid DS is kept as written
    ("InstanceNumber", 1),                             # "1.0" written for an integer string
    ("ImagePositionPatient", [-1.5, 200.0, 3.0]),
    ("SliceLocation", None),
    ("FrameIncrementPointer", 0x00181063),
    ("Rows", 4),
    ("RescaleIntercept", -1024.0),
    ("ReferencePixelX0", None),
    ("GradientOrientation" if False else "EchoTrainLength", None),
])
def test_values_are_typed_by_vr(typed: loam.Dataset, keyword: str, expected: object) -> None:
    if expected is None and keyword not in typed:
        assert typed.get(keyword) is None
        return
    value = getattr(typed, keyword)
    assert value == expected and type(value) is type(expected)


def test_binary_numbers_and_empty_sequences(typed: loam.Dataset) -> None:
    assert typed[0x00189087].value == 1000.5
    assert typed[0x0018, 0x9089].value == [1.0, 0.0, -1.0]
    assert typed[0x00281101].value == [256, -1, 16]
    assert typed.get(0x00400260) == []


def test_person_names_and_dates(typed: loam.Dataset) -> None:
    first, second = typed.PatientName
    assert first == "M\xfcller^Hans^Peter^Dr.^Jr."  # Latin-1 under ISO_IR 100, trailing "=" dropped
    assert (first.family_name, first.given_name, first.middle_name, first.name_prefix, first.name_suffix) == (
        "M\xfcller", "Hans", "Peter", "Dr.", "Jr.")
    assert second.family_name == "Doe" and second.ideographic == ""
    assert loam.parse_date(typed.StudyDate) == datetime.date(2024, 2, 29)
    assert loam.parse_time(typed.StudyTime) == datetime.time(10, 15, 30, 250000)
    moment = loam.parse_datetime(typed.AcquisitionDateTime)
    assert moment == datetime.datetime(2024, 2, 29, 10, 15, 30, 500000,
                                       tzinfo=datetime.timezone(datetime.timedelta(hours=1, minutes=30)))
    assert loam.parse_date("20230229") is None and loam.parse_time("") is None


def test_indexing_like_pydicom(typed: loam.Dataset) -> None:
    element = typed["PatientName"]
    assert typed[0x00100010] is element and typed[0x0010, 0x0010] is element
    assert (element.tag, element.vr, element.keyword, element.name) == (0x00100010, "PN", "PatientName",
                                                                         "Patient's Name")
    assert "Rows" in typed and 0x00280010 in typed and "Columns" not in typed and "NotAKeyword" not in typed
    with pytest.raises(KeyError):
        typed["Columns"]
    with pytest.raises(AttributeError, match="no Columns"):
        typed.Columns
    with pytest.raises(AttributeError, match="not a DICOM keyword"):
        typed.Colums
    with pytest.raises(TypeError):
        typed[1.5]  # type: ignore[index]
    assert [e.tag for e in typed] == sorted(e.tag for e in typed) == typed.keys()
    assert len(typed) == len(typed.keys()) and "PatientName" in dir(typed)
    assert typed.meta.TransferSyntaxUID == "1.2.840.10008.1.2.1" == typed.transfer_syntax
    assert typed.is_complete


def test_sequences_nest_and_private_tags_are_named(typed: loam.Dataset) -> None:
    refs = typed.ReferencedImageSequence
    assert [r.ReferencedSOPInstanceUID for r in refs] == ["1.2.3.9", "1.2.3.10"]
    assert refs[1].ConceptNameCodeSequence[0].CodeMeaning == "nested"
    assert typed[0x00091001].name == "[ACME 1.0] Unknown" and typed[0x00091001].keyword == ""
    assert typed[0x00090010].name == "Private Creator"
    dump = typed.dump()
    assert "(0008,1140) SQ ReferencedImageSequence" in dump and "2 items" in dump
    assert "    (0008,0104) LO CodeMeaning" in dump  # two levels deep
    assert "[ACME 1.0] Unknown" in dump and repr(typed) == dump


def test_private_tags_use_the_private_dictionary() -> None:
    data = header(explicit(0x0019, 0x0010, "LO", "SIEMENS MR HEADER"), explicit(0x0019, 0x100C, "IS", "1000"))
    element = loam.read(data)[0x0019100C]
    assert element.name.startswith("[SIEMENS MR HEADER] ") and "Unknown" not in element.name


def test_implicit_vr_from_the_dictionaries() -> None:
    body = (implicit(0x0008, 0x0060, "MR") + implicit(0x0018, 0x0050, "3.0 ") + implicit(0x0019, 0x0010, "SIEMENS MR HEADER")
            + implicit(0x0019, 0x100C, "1000") + implicit(0x0028, 0x0010, struct.pack("<H", 2))
            + implicit(0x0028, 0x0103, struct.pack("<H", 1)) + implicit(0x0028, 0x0106, struct.pack("<h", -5))
            + implicit_sq(0x0008, 0x1140, [item(implicit(0x0008, 0x1155, "1.2.3"))], undefined=False))
    ds = loam.read(part10(body, IMPLICIT_LE))
    assert (ds.Modality, ds.SliceThickness, ds.Rows) == ("MR", 3.0, 2)
    assert ds[0x0019100C].vr == "IS" and ds[0x0019100C].value == 1000
    assert ds["SmallestImagePixelValue"].vr == "SS" and ds.SmallestImagePixelValue == -5  # signed image
    assert ds.ReferencedImageSequence[0].ReferencedSOPInstanceUID == "1.2.3"


@pytest.mark.parametrize("syntax", [EXPLICIT_BE, DEFLATED])
def test_big_endian_and_deflated_bodies(syntax: str) -> None:
    big = syntax == EXPLICIT_BE
    body = (explicit(0x0010, 0x0010, "PN", "Doe^John", big=big) + us(0x0028, 0x0010, 512, big=big)
            + explicit(0x0028, 0x0030, "DS", "0.5\\0.5", big=big))
    if syntax == DEFLATED:
        packer = zlib.compressobj(9, zlib.DEFLATED, -15)
        body = packer.compress(body) + packer.flush()
    ds = loam.read(part10(body, syntax))
    assert (ds.PatientName, ds.Rows, ds.PixelSpacing) == ("Doe^John", 512, [0.5, 0.5])


def test_deflated_body_past_the_memory_limit_is_refused_not_cut() -> None:
    # 3 MiB of padding deflates to a few KiB; under a 1 MiB limit the body cannot be inflated
    # whole, and a cut-off data set must not pass for the file's content.
    body = explicit(0x0010, 0x0010, "PN", "Doe^John") + explicit(0x0009, 0x0010, "LO", "ACME")
    body += explicit(0x0009, 0x1010, "OB", bytes(3 << 20))
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    data = part10(packer.compress(body) + packer.flush(), DEFLATED)
    old = loam.memory_limit()
    loam.set_memory_limit(1 << 20)
    try:
        for call in (loam.read_json, loam.read, loam.decode_bytes):
            with pytest.raises(ValueError, match=r"inflates to more than 1 MiB.*set_memory_limit"):
                call(data)
    finally:
        loam.set_memory_limit(old)
    assert len(loam.read(data)[0x00091010].value) == 3 << 20


def test_pixels_frames_and_stop_before_pixels(tmp_path: Path) -> None:
    frames = np.arange(3 * 2 * 3, dtype=np.uint16).reshape(3, 2, 3)
    path = tmp_path / "multi.dcm"
    path.write_bytes(image(frames.tobytes(), 2, 3, frames=3))
    ds = loam.read(path)
    assert np.array_equal(ds.pixels(), frames)
    assert np.array_equal(ds.pixels(frame=2), frames[2])
    with pytest.raises(IndexError):
        ds.pixels(frame=3)
    single = loam.read(image(frames[0].tobytes(), 2, 3))
    assert single.pixels().shape == (2, 3)  # one frame: (rows, columns), as pydicom
    header_only = loam.read(path, stop_before_pixels=True)
    assert "PixelData" not in header_only and header_only.Rows == 2
    with pytest.raises(ValueError, match="stop_before_pixels"):
        header_only.pixels()
    with pytest.raises(ValueError, match="no pixel data"):
        loam.read(TYPED).pixels()


def test_stop_before_pixels_reads_only_the_header_of_a_large_file(tmp_path: Path) -> None:
    path = tmp_path / "large.dcm"
    pixels = bytes(8 << 20)
    path.write_bytes(image(pixels, 2048, 2048))
    ds = loam.read(path, stop_before_pixels=True)
    assert ds.Rows == 2048 and len(ds.to_bytes()) < 1 << 20


def test_json_and_pydicom_conversions(tmp_path: Path) -> None:
    ds = loam.read(TYPED)
    assert json.loads(ds.to_json()) == json.loads(loam.read_json(_write(tmp_path, TYPED)))
    theirs = ds.to_pydicom()
    assert str(theirs.PatientName[0]).startswith("M\xfcller") and theirs.Rows == 4
    back = loam.from_pydicom(theirs)
    assert back.ReferencedImageSequence[1].ReferencedSOPInstanceUID == "1.2.3.10"
    assert back.ImagePositionPatient == ds.ImagePositionPatient


def _write(tmp_path: Path, data: bytes) -> Path:
    path = tmp_path / "f.dcm"
    path.write_bytes(data)
    return path


def test_paths_and_open_errors(tmp_path: Path) -> None:
    path = _write(tmp_path, TYPED)
    assert loam.read(path).Rows == loam.read(str(path)).Rows == loam.read(bytearray(TYPED)).Rows == 4
    missing = tmp_path / "missing.dcm"
    with pytest.raises(FileNotFoundError) as caught:
        loam.read(missing)
    assert isinstance(caught.value, RuntimeError) and caught.value.errno == 2
    assert str(caught.value) == f"cannot open {missing}" and caught.value.filename == str(missing)
    with pytest.raises(IsADirectoryError):
        loam.read(tmp_path)
    if os.geteuid() != 0:
        path.chmod(0)
        with pytest.raises(PermissionError):
            loam.read(path)
        path.chmod(stat.S_IRUSR | stat.S_IWUSR)
    with pytest.raises(ValueError, match="not a DICOM file"):
        loam.read(b"hello, this is not DICOM at all" * 4)


# -- against pydicom on every corpus file it reads ------------------------------------------------

def _norm(value: object, vr: str) -> object:
    from pydicom.multival import MultiValue
    from pydicom.valuerep import PersonName

    if isinstance(value, (MultiValue, list)):
        out = [_norm(v, vr) for v in value]
        return out[0] if len(out) == 1 else out if out else None
    if isinstance(value, PersonName):
        return str(value).rstrip("=")
    if value == "" and vr in ("DS", "IS", "US", "SS", "UL", "SL", "FL", "FD"):
        return None
    if vr == "DS":
        return float(value)  # type: ignore[arg-type]
    if vr == "IS":
        return int(value)  # type: ignore[call-overload]
    return value


def _compare(ours: loam.Dataset, theirs: object, big_endian: bool, depth: int = 0) -> list[str]:
    wrong = []
    for el in theirs:  # type: ignore[attr-defined]
        if el.tag in (0x7FE00010,) or el.tag.element == 0:
            continue
        if el.tag not in ours:
            wrong.append(f"{el.tag} missing")
            continue
        mine = ours[int(el.tag)]
        if el.VR == "SQ":
            if len(mine.value) != len(el.value):
                wrong.append(f"{el.tag}: {len(mine.value)} items, pydicom {len(el.value)}")
            elif depth < 2:
                for a, b in zip(mine.value, el.value):
                    wrong += _compare(a, b, big_endian, depth + 1)
            continue
        if "UN" in (el.VR, mine.vr) or " or " in el.VR or (big_endian and el.VR in ("OW", "OF", "OD", "OL")):
            continue  # pydicom keeps these as stored; loam reads them little endian
        if el.VR != mine.vr:
            wrong.append(f"{el.tag}: VR {mine.vr}, pydicom {el.VR}")
            continue
        try:
            expected = _norm(el.value, el.VR)
        except (TypeError, ValueError):
            continue  # pydicom cannot type it either
        got = mine.value
        if isinstance(got, str) and isinstance(expected, str):
            same = got.strip() == expected.strip()
        elif isinstance(got, list) and isinstance(expected, list) and el.VR == "CS":
            same = [g.strip() for g in got] == [e.strip() for e in expected]
        elif expected is None and got == b"":
            same = True  # an empty binary value: pydicom says None
        else:
            same = got == expected or (isinstance(got, float) and isinstance(expected, float)
                                       and abs(got - expected) <= 1e-9 * max(1.0, abs(expected)))
        if not same:
            wrong.append(f"{el.tag} {el.VR}: {got!r:.60} pydicom {expected!r:.60}")
    return wrong


@pytest.mark.parametrize("path", corpus_files(), ids=lambda p: p.name)
def test_corpus_values_agree_with_pydicom(path: Path) -> None:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            theirs = pydicom.dcmread(path, stop_before_pixels=True)
        except Exception:
            pytest.skip("pydicom cannot read it")
    ours = loam.read(path, stop_before_pixels=True)
    big = ours.transfer_syntax == EXPLICIT_BE
    assert _compare(ours, theirs, big) == []
    assert ours.meta.get("TransferSyntaxUID", "") == str(theirs.file_meta.get("TransferSyntaxUID", "") or "")


def _json_tags(node: dict, prefix: str = "") -> set[str]:
    found = set()
    for tag, entry in node.items():
        found.add(prefix + tag)
        if entry.get("vr") == "SQ":
            for i, inner in enumerate(entry.get("Value") or []):
                found |= _json_tags(inner, f"{prefix}{tag}[{i}].")
    return found


def _pydicom_tags(ds: object, prefix: str = "") -> set[str]:
    found = set()
    for el in ds:  # type: ignore[attr-defined]
        if el.tag.group == 0x0002:
            continue
        found.add(f"{prefix}{int(el.tag):08X}")
        if el.VR == "SQ":
            for i, inner in enumerate(el.value):
                found |= _pydicom_tags(inner, f"{prefix}{int(el.tag):08X}[{i}].")
    return found


def test_file_cut_inside_a_value_has_exactly_pydicoms_elements(testdata: Path) -> None:
    # The corpus's truncated plan ends inside a multi-valued DS; nothing may be made of its rest.
    path = testdata / "pydicom" / "test_files" / "rtplan_truncated.dcm"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = pydicom.dcmread(path)
    ours = _json_tags(json.loads(loam.read_json(str(path))))
    assert ours == _pydicom_tags(theirs)
    assert not any("325C" in tag for tag in ours)
