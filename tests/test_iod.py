"""IOD conformance checking against hand-built objects whose conformance we know."""

from __future__ import annotations

import struct
from pathlib import Path

import pytest

import loam
from conftest import corpus_files
from dicom_bytes import explicit, explicit_sq, item, part10

CT = "1.2.840.10008.5.1.4.1.1.2"
RT_DOSE = "1.2.840.10008.5.1.4.1.1.481.2"


def us(v):
    return struct.pack("<H", v)


def ct_elements() -> dict[int, tuple[str, bytes | str]]:
    """Every Type 1 and 2 attribute of the CT Image IOD's mandatory modules, read off PS3.3."""
    return {
        0x00080008: ("CS", "ORIGINAL\\PRIMARY\\AXIAL"), 0x00080016: ("UI", CT), 0x00080018: ("UI", "1.2.3.4"),
        0x00080020: ("DA", "20240101"), 0x00080030: ("TM", "120000"), 0x00080050: ("SH", ""),
        0x00080060: ("CS", "CT"), 0x00080070: ("LO", "ACME"), 0x00080090: ("PN", ""),
        0x00100010: ("PN", "Doe^J"), 0x00100020: ("LO", "ID1"), 0x00100030: ("DA", ""), 0x00100040: ("CS", "O"),
        0x00180050: ("DS", "1"), 0x00180060: ("DS", "120"), 0x00185100: ("CS", "HFS"),
        0x0020000D: ("UI", "1.2.3"), 0x0020000E: ("UI", "1.2.3.1"), 0x00200010: ("SH", "1"),
        0x00200011: ("IS", "1"), 0x00200012: ("IS", "1"), 0x00200013: ("IS", "1"),
        0x00200020: ("CS", ""), 0x00200032: ("DS", "0\\0\\0"), 0x00200037: ("DS", "1\\0\\0\\0\\1\\0"),
        0x00200052: ("UI", "1.2.3.9"), 0x00201040: ("LO", ""),
        0x00280002: ("US", us(1)), 0x00280004: ("CS", "MONOCHROME2"), 0x00280010: ("US", us(2)),
        0x00280011: ("US", us(2)), 0x00280030: ("DS", "1\\1"), 0x00280100: ("US", us(16)),
        0x00280101: ("US", us(16)), 0x00280102: ("US", us(15)), 0x00280103: ("US", us(0)),
        0x00281052: ("DS", "0"), 0x00281053: ("DS", "1"), 0x7FE00010: ("OW", bytes(8)),
    }


def build(elements: dict, sop_class: str = CT, extra: bytes = b"", ts: str = "1.2.840.10008.1.2.1") -> bytes:
    """Elements in tag order; `extra` (already encoded) is placed by its own first tag."""
    chunks = [(tag, explicit(tag >> 16, tag & 0xFFFF, vr, value)) for tag, (vr, value) in elements.items()]
    if extra:
        group, elem = struct.unpack("<HH", extra[:4])
        chunks.append(((group << 16) | elem, extra))
    body = b"".join(c for _, c in sorted(chunks, key=lambda c: c[0]))
    return part10(body, ts, sop_class=sop_class, sop_instance="1.2.3.4")


def findings(tmp_path: Path, data: bytes) -> list[dict]:
    path = tmp_path / "x.dcm"
    path.write_bytes(data)
    return loam.iod_validate(str(path))


def messages(found: list[dict]) -> list[str]:
    return [f["message"] for f in found]


def without(*tags):
    el = ct_elements()
    for t in tags:
        del el[t]
    return el


def with_(**changes):
    el = ct_elements()
    for tag, value in changes.items():
        t = int(tag[1:], 16)
        el[t] = (el[t][0], value)
    return el


def test_a_complete_ct_image_conforms(tmp_path):
    assert findings(tmp_path, build(ct_elements())) == []


def test_missing_type_2_and_empty_type_2(tmp_path):
    found = findings(tmp_path, build(without(0x00100010)))
    assert found == [{"severity": "error", "tag": 0x00100010, "module": "patient",
                      "message": "missing Type 2 attribute PatientName (0010,0010) required by module 'patient'"}]
    assert findings(tmp_path, build(with_(t00100010=""))) == []


def test_empty_type_1(tmp_path):
    found = findings(tmp_path, build(with_(t0020000E="")))
    assert found == [{"severity": "error", "tag": 0x0020000E, "module": "general-series",
                      "message": "Type 1 attribute SeriesInstanceUID (0020,000E) is present but empty "
                                 "(module 'general-series')"}]


def test_nested_rules_count_items(tmp_path):
    ref = lambda *e: item(b"".join(e))
    seq = explicit_sq(0x0008, 0x1120, [
        ref(explicit(0x0008, 0x1150, "UI", "1.2.840.10008.3.1.2.1.1"), explicit(0x0008, 0x1155, "UI", "1.2")),
        ref(explicit(0x0008, 0x1150, "UI", "1.2.840.10008.3.1.2.1.1"))])
    found = findings(tmp_path, build(ct_elements(), extra=seq))
    assert messages(found) == ["Type 1 attribute ReferencedSOPInstanceUID (0008,1155) missing in 1/2 item(s) of "
                               "ReferencedPatientSequence (0008,1120) (module 'patient')"]
    empty = explicit_sq(0x0008, 0x1120, [ref(explicit(0x0008, 0x1150, "UI", ""), explicit(0x0008, 0x1155, "UI", "1"))])
    assert messages(findings(tmp_path, build(ct_elements(), extra=empty))) == [
        "Type 1 attribute ReferencedSOPClassUID (0008,1150) empty in 1/1 item(s) of "
        "ReferencedPatientSequence (0008,1120) (module 'patient')"]


def test_private_sop_class_is_not_checked(tmp_path):
    el = {0x00080016: ("UI", "1.2.3.4.5.6"), 0x00080018: ("UI", "1.2")}
    assert findings(tmp_path, build(el, sop_class="1.2.3.4.5.6")) == [
        {"severity": "info", "tag": 0, "module": "",
         "message": "no IOD profile for SOP Class 1.2.3.4.5.6 \u2014 module conformance not checked"}]


@pytest.mark.parametrize("change, expected", [
    (dict(drop=[0x00281053]), "Modality Rescale: conditionally-required RescaleSlope (0028,1053) is missing"),
    (dict(add={0x00281050: ("DS", "40")}), "VOI Window: conditionally-required WindowWidth (0028,1051) is missing"),
    (dict(add={0x00281051: ("DS", "400")}), "VOI Window: conditionally-required WindowCenter (0028,1050) is missing"),
    (dict(add={0x00280121: ("US", us(0))}), "Pixel Padding: conditionally-required PixelPaddingValue (0028,0120) "
                                            "is missing"),
    (dict(add={0x00120062: ("CS", "YES")}), "De-identification: at least one of DeidentificationMethod (0012,0063) "
                                            "/ DeidentificationMethodCodeSequence (0012,0064) is required"),
])
def test_general_conditional_rules(tmp_path, change, expected):
    el = without(*change.get("drop", []))
    el.update(change.get("add", {}))
    found = findings(tmp_path, build(el))
    assert expected in messages(found)
    hit = next(f for f in found if f["message"] == expected)
    assert hit["module"] == "iod-conditional" and hit["severity"] == "error"


def test_conditions_that_do_not_hold_are_silent(tmp_path):
    el = ct_elements()
    el[0x00120062] = ("CS", "YES")
    el[0x00120063] = ("LO", "by hand")
    el[0x00281050] = ("DS", "40")
    el[0x00281051] = ("DS", "400")
    assert findings(tmp_path, build(el)) == []


@pytest.mark.parametrize("add, expected", [
    # A numeric comparison: Planar Configuration once Samples per Pixel exceeds 1.
    ({0x00280002: ("US", us(3)), 0x00280004: ("CS", "RGB")},
     "SamplesPerPixelGreaterThanOne: conditionally-required PlanarConfiguration (0028,0006) is missing or empty"),
    # A presence test joined by OR: the calendar of an alternative-calendar date.
    ({0x00100034: ("LO", "x")}, "PatientAlternativeCalendarNeeded: conditionally-required "
                                "PatientAlternativeCalendar (0010,0035) is missing or empty"),
])
def test_generated_conditional_rules(tmp_path, add, expected):
    el = ct_elements()
    el.update(add)
    assert expected in messages(findings(tmp_path, build(el)))


def test_conditions_see_the_transfer_syntax(tmp_path):
    el = without(0x7FE00010)
    jpip = "1.2.840.10008.1.2.4.94"
    assert messages(findings(tmp_path, build(el, ts=jpip))) == [
        "PixelDataProviderURLIsAbsent: conditionally-required PixelData (7FE0,0010) is missing or empty",
        "TransferSyntaxIsReferencedPixelData: conditionally-required PixelDataProviderURL (0028,7FE0) is missing "
        "or empty"]
    el[0x00287FE0] = ("UR", "http://example.org/pixels")
    assert findings(tmp_path, build(el, ts=jpip)) == []


def test_optional_modules_are_not_checked(tmp_path):
    el = ct_elements()
    el[0x00120010] = ("LO", "Sponsor")  # Clinical Trial Subject (U) without its Type 1 attributes
    el[0x00181030] = ("LO", "x")
    assert not [f for f in findings(tmp_path, build(el)) if f["module"] == "clinical-trial-subject"]


@pytest.mark.parametrize("summation, refs, expected", [
    ("BEAM", [0x300C0020], "RT Dose Summation Type BEAM requires a referenced beam (Referenced RT Plan \u2192 "
                           "Referenced Fraction Group \u2192 Referenced Beam Sequence is absent)"),
    ("BRACHY", [0x300C0020], "RT Dose Summation Type BRACHY requires a referenced brachy application setup "
                             "(Referenced RT Plan \u2192 Referenced Fraction Group \u2192 Referenced Brachy "
                             "Application Setup Sequence is absent)"),
    ("FRACTION", [], "RT Dose Summation Type FRACTION requires a referenced fraction group (Referenced RT Plan "
                     "\u2192 Referenced Fraction Group Sequence is absent)"),
    ("BEAM", [0x300C0020, 0x300C0004], None),
    ("PLAN", [], None),
])
def test_rt_dose_summation(tmp_path, summation, refs, expected):
    inner = b""
    for tag in reversed(refs):
        inner = explicit_sq(tag >> 16, tag & 0xFFFF, [item(inner + explicit(0x300C, 0x0022, "IS", "1"))])
    plan = explicit_sq(0x300C, 0x0002, [item(explicit(0x0008, 0x1150, "UI", "1.2.840.10008.5.1.4.1.1.481.5")
                                             + explicit(0x0008, 0x1155, "UI", "1.2") + inner)])
    el = {0x00080016: ("UI", RT_DOSE), 0x00080018: ("UI", "1.2"), 0x3004000A: ("CS", summation)}
    found = [f for f in findings(tmp_path, build(el, sop_class=RT_DOSE, extra=plan)) if f["module"] == "rt-dose"
             and f["message"].startswith("RT Dose Summation")]
    assert messages(found) == ([expected] if expected else [])


def test_unparseable_nested_sequence(tmp_path):
    broken = explicit_sq(0x0008, 0x1120, [item(b"\x08\x00\x50\x00SH")], undefined=False)
    found = findings(tmp_path, build(ct_elements(), extra=broken))
    assert found == [{"severity": "error", "tag": 0, "module": "dataset",
                      "message": "dataset or nested sequence could not be fully parsed \u2014 conformance not checked"}]


def test_unreadable_and_undecodable_files(tmp_path):
    missing = tmp_path / "absent.dcm"
    with pytest.raises(RuntimeError, match=f"^cannot read: {missing}$"):
        loam.iod_validate(str(missing))
    empty = tmp_path / "empty.dcm"
    empty.write_bytes(b"")
    with pytest.raises(RuntimeError, match=f"^cannot read: {empty}$"):
        loam.iod_validate(str(empty))
    junk = tmp_path / "junk.dcm"
    junk.write_bytes(b"hello world, not dicom at all" * 10)
    with pytest.raises(RuntimeError, match=f"^decode failed \\(not a decodable DICOM\\): {junk}$"):
        loam.iod_validate(str(junk))


def test_every_corpus_file(testdata):
    checked = 0
    for path in corpus_files():
        try:
            found = loam.iod_validate(str(path))
        except RuntimeError as e:
            assert str(e).startswith(("cannot read: ", "decode failed (not a decodable DICOM): "))
            continue
        checked += 1
        for f in found:
            assert set(f) == {"severity", "tag", "module", "message"}
            assert f["severity"] in ("error", "warning", "info")
    assert checked > 200


@pytest.mark.parametrize("name, expected", [
    # Checked by hand against PS3.3; see the validation notes of the conformance checker.
    ("pydicom/test_files/CT_small.dcm", []),
    ("pydicom/test_files/MR_small.dcm", []),
    ("pydicom/test_files/rtdose.dcm", ["missing Type 2 attribute OperatorsName (0008,1070) required by module "
                                       "'rt-series'"]),
    ("pydicom-data/emri_small.dcm", None),
    ("highdicom/ct_image.dcm", []),
    ("highdicom/sr_document.dcm", []),
    ("highdicom/seg_image_ct_binary.dcm", []),
    ("highdicom/seg_image_sm_control_labelmap.dcm", []),
    ("highdicom/sm_image.dcm", []),
    ("pydicom/test_files/rtplan.dcm", []),
    ("pydicom/test_files/waveform_ecg.dcm", []),
    ("pydicom/test_files/rtstruct.dcm", ["Type 1 attribute ContourImageSequence (3006,0016) missing in 1/1 item(s) "
                                         "of RTReferencedSeriesSequence (3006,0014) (module 'structure-set')"]),
    ("pydicom/test_files/liver_1frame.dcm", ["missing Type 1 attribute NumberOfFrames (0028,0008) required by module "
                                             "'segmentation-multi-frame-functional-groups'"]),
    # The cut-off plan lost its Referenced Structure Set Sequence, which a PATIENT geometry requires.
    ("pydicom/test_files/rtplan_truncated.dcm", ["RTPlanGeometryIsPatient: conditionally-required "
                                                 "ReferencedStructureSetSequence (300C,0060) is missing or empty"]),
])
def test_corpus_findings(testdata, name, expected):
    path = testdata / name
    if not path.exists():
        pytest.skip(f"corpus file not present: {path}")
    found = messages(loam.iod_validate(str(path)))
    if expected is not None:
        assert found == expected
    else:
        assert "Type 1 attribute DeviceSerialNumber (0018,1000) is present but empty (module "\
               "'enhanced-general-equipment')" in found
