"""Key Object Selection documents: what pydicom and highdicom read, and read_ko round trips."""

from __future__ import annotations

import io

import pydicom
import pytest

import loam

CT = "1.2.840.10008.5.1.4.1.1.2"


def ref(study, series, sop, frame=None):
    r = {"study_uid": study, "series_uid": series, "sop_class_uid": CT, "sop_instance_uid": sop}
    if frame:
        r["frame"] = frame
    return r


def document(**extra):
    doc = {"patient_name": "Doe^Jane", "patient_id": "P7", "study_uid": "1.2.3", "study_date": "20240102",
           "study_time": "101500", "study_id": "S1", "accession_number": "A99",
           "references": [ref("1.2.3", "1.2.3.1", "1.2.3.1.1"), ref("1.2.3", "1.2.3.2", "1.2.3.2.1", 4),
                          ref("1.2.3", "1.2.3.1", "1.2.3.1.1"), ref("1.2.4", "1.2.4.1", "1.2.4.1.1")]}
    doc.update(extra)
    return doc


def read(data: bytes):
    return pydicom.dcmread(io.BytesIO(data))


def test_dataset_layout_and_evidence():
    ds = read(loam.write_ko(document()))
    assert ds.file_meta.MediaStorageSOPClassUID == "1.2.840.10008.5.1.4.1.1.88.59"
    assert ds.file_meta.TransferSyntaxUID == "1.2.840.10008.1.2.1"
    assert ds.Modality == "KO" and ds.SeriesNumber == 999 and ds.InstanceNumber == 1
    assert ds.ContentDate == "20240102" and ds.ContentTime == "101500" and ds.SpecificCharacterSet == "ISO_IR 192"
    title = ds.ConceptNameCodeSequence[0]
    assert (title.CodeValue, title.CodingSchemeDesignator, title.CodeMeaning) == ("113000", "DCM", "Of Interest")
    evidence = ds.CurrentRequestedProcedureEvidenceSequence
    assert [e.StudyInstanceUID for e in evidence] == ["1.2.3", "1.2.4"]
    series = evidence[0].ReferencedSeriesSequence
    assert [s.SeriesInstanceUID for s in series] == ["1.2.3.1", "1.2.3.2"]
    assert [i.ReferencedSOPInstanceUID for i in series[0].ReferencedSOPSequence] == ["1.2.3.1.1"]  # once
    content = ds.ContentSequence
    assert len(content) == 4 and all(c.RelationshipType == "CONTAINS" and c.ValueType == "IMAGE" for c in content)
    assert content[1].ReferencedSOPSequence[0].ReferencedFrameNumber == 4
    assert "ReferencedFrameNumber" not in content[0].ReferencedSOPSequence[0]
    assert ds.ContentTemplateSequence[0].TemplateIdentifier == "2010"


def test_highdicom_and_the_validator_accept_it(tmp_path):
    hd = pytest.importorskip("highdicom")
    path = tmp_path / "ko.dcm"
    assert loam.write_ko(document(), str(path)) is None
    ko = hd.ko.KeyObjectSelectionDocument.from_dataset(pydicom.dcmread(path))
    assert ko.SOPInstanceUID == pydicom.dcmread(path).SOPInstanceUID
    assert path.read_bytes() == loam.write_ko(document())
    assert loam.iod_validate(str(path)) == []


@pytest.mark.parametrize("title, expected", [
    ({}, ("113000", "DCM", "Of Interest")),
    ({"value": "", "scheme": "X", "meaning": "ignored"}, ("113000", "DCM", "Of Interest")),
    ({"value": "113001", "scheme": "", "meaning": "Rejected for Quality Reasons"},
     ("113001", "DCM", "Rejected for Quality Reasons")),
])
def test_title(title, expected):
    code = read(loam.write_ko(document(title=title))).ConceptNameCodeSequence[0]
    assert (code.CodeValue, code.CodingSchemeDesignator, code.CodeMeaning) == expected


def test_uids_follow_the_content():
    a, b = read(loam.write_ko(document())), read(loam.write_ko(document()))
    assert (a.SOPInstanceUID, a.SeriesInstanceUID) == (b.SOPInstanceUID, b.SeriesInstanceUID)
    other = read(loam.write_ko(document(references=[ref("1.2.3", "1.2.3.1", "1.2.3.1.9")])))
    assert other.SOPInstanceUID != a.SOPInstanceUID and other.SeriesInstanceUID != a.SeriesInstanceUID
    assert a.SOPInstanceUID != a.SeriesInstanceUID and a.SOPInstanceUID.startswith("1.2.826.0.1.3680043.9.5296.")
    given = read(loam.write_ko(document(sop_instance_uid="1.2.9.1", series_instance_uid="1.2.9")))
    assert (given.SOPInstanceUID, given.SeriesInstanceUID) == ("1.2.9.1", "1.2.9")


def test_retrieve_and_cut_text():
    ds = read(loam.write_ko(document(retrieve={"ae_title": "PACS", "location_uid": "1.2.5"},
                                     patient_id="X" * 80)))
    series = ds.CurrentRequestedProcedureEvidenceSequence[0].ReferencedSeriesSequence[0]
    assert series.RetrieveAETitle == "PACS" and series.RetrieveLocationUID == "1.2.5"
    assert ds.PatientID == "X" * 63


def test_refusals(tmp_path):
    with pytest.raises(RuntimeError, match=r"^failed to build the Key Object Selection \(no references\?\)$"):
        loam.write_ko(document(references=[ref("1.2.3", "1.2.3.1", "")]))
    with pytest.raises(ValueError, match="^write_ko: study_uid is longer than 64 characters$"):
        loam.write_ko(document(study_uid="1." + "2" * 68))
    bad = tmp_path / "missing" / "ko.dcm"
    with pytest.raises(RuntimeError, match=f"^cannot write {bad}$"):
        loam.write_ko(document(), str(bad))


def test_read_ko_round_trip(tmp_path):
    data = loam.write_ko(document(title={"value": "113004", "scheme": "DCM", "meaning": "For Teaching"}))
    path = tmp_path / "ko.dcm"
    path.write_bytes(data)
    for source in (data, str(path)):
        r = loam.read_ko(source)
        assert r["patient_name"] == "Doe^Jane" and r["study_uid"] == "1.2.3" and r["study_id"] == "S1"
        assert r["title"] == {"value": "113004", "scheme": "DCM", "meaning": "For Teaching"}
        assert [(x["study_uid"], x["series_uid"], x["sop_instance_uid"], x["frames"]) for x in r["references"]] == [
            ("1.2.3", "1.2.3.1", "1.2.3.1.1", []), ("1.2.3", "1.2.3.2", "1.2.3.2.1", [4]),
            ("1.2.3", "1.2.3.1", "1.2.3.1.1", []), ("1.2.4", "1.2.4.1", "1.2.4.1.1", [])]
    with pytest.raises(RuntimeError, match="^read_ko: not a Key Object Selection document$"):
        loam.read_ko(loam.write_part10('{"00080016": {"vr": "UI", "Value": ["1.2.840.10008.5.1.4.1.1.2"]}, '
                                       '"00080018": {"vr": "UI", "Value": ["1.2.3.4"]}}', "1.2.840.10008.1.2.1"))


@pytest.mark.parametrize("change, where, key", [
    ({"patient_nmae": "Doe^Jane"}, "write_ko", "patient_nmae"),
    ({"title": {"value": "113004", "meening": "x"}}, "write_ko: 'title'", "meening"),
    ({"retrieve": {"ae": "PACS"}}, "write_ko: 'retrieve'", "ae"),
    ({"references": [dict(ref("1.2.3", "1.2.3.1", "1.2.3.1.1"), frame_number=2)]}, "write_ko: a reference",
     "frame_number"),
])
def test_unknown_keys_are_refused(change, where, key):
    with pytest.raises(ValueError, match=f"^{where}: unknown option {key} \\(options: "):
        loam.write_ko(document(**change))


def test_what_read_ko_gives_writes_again():
    first = loam.read_ko(loam.write_ko(document()))
    again = loam.read_ko(loam.write_ko(first))
    assert again["references"] == first["references"]
    assert [r["frames"] for r in again["references"]] == [[], [4], [], []]


def test_identity_replaces_the_defaults():
    ds = read(loam.write_ko(document(), identity={"manufacturer": "Acme", "manufacturer_model_name": "Picker",
                                                  "software_versions": "3", "series_number": "12",
                                                  "series_description": "Teaching file"}))
    assert (ds.Manufacturer, ds.ManufacturerModelName, ds.SoftwareVersions) == ("Acme", "Picker", "3")
    assert (ds.SeriesNumber, ds.SeriesDescription) == (12, "Teaching file")
    defaults = read(loam.write_ko(document()))
    assert (defaults.Manufacturer, defaults.SeriesNumber, "ManufacturerModelName" in defaults) == ("Tessera", 999, False)
    with pytest.raises(ValueError, match="write_ko identity: unknown option content_creator"):
        loam.write_ko(document(), identity={"content_creator": "Doe^Rita"})  # a KO has no content creator
