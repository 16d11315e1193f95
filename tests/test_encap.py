"""Encapsulated documents: PDF, CDA and 3-D models in and out, byte for byte, against DCMTK's
pdf2dcm, dcm2pdf and stl2dcm and checked by dciodvfy."""

from __future__ import annotations

import shutil
import struct
import subprocess

import pydicom
import pytest

import loam
from loam import cli
from peer_tools import dciodvfy_errors
from volume_series import slice_file


PDF = (b"%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
       b"3 0 obj<</Type/Page/MediaBox[0 0 200 200]/Parent 2 0 R>>endobj\ntrailer<</Root 1 0 R>>\n%%EOF\n")
TRIANGLE = struct.pack("<12fH", 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0)
STL = b"solid but binary".ljust(80, b" ") + struct.pack("<I", 3) + TRIANGLE * 3  # a header that misleads
ASCII_STL = b"solid t\n facet normal 0 0 1\n  outer loop\n   vertex 0 0 0\n   vertex 1 0 0\n   vertex 0 1 0\n  endloop\n endfacet\nendsolid t\n"
OBJ = b"# a triangle\nmtllib m.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nusemtl red\nf 1 2 3\n"
MTL = b"newmtl red\nKd 1 0 0\n"
CDA = (b'<?xml version="1.0"?>\n<ClinicalDocument xmlns="urn:hl7-org:v3"><id root="2.16.840.1.113883.19" '
       b'extension="c266"/><title>Note</title></ClinicalDocument>\n')
DOCUMENTS = {"pdf": PDF, "stl": STL, "obj": OBJ, "mtl": MTL, "cda": CDA}
SOP = {"pdf": "1.2.840.10008.5.1.4.1.1.104.1", "cda": "1.2.840.10008.5.1.4.1.1.104.2",
       "stl": "1.2.840.10008.5.1.4.1.1.104.3", "obj": "1.2.840.10008.5.1.4.1.1.104.4",
       "mtl": "1.2.840.10008.5.1.4.1.1.104.5"}




@pytest.fixture
def reference(tmp_path):
    import numpy as np

    path = tmp_path / "ct.dcm"
    path.write_bytes(slice_file(np.zeros((4, 4), np.int16), (0, 0, 0)))
    return path


@pytest.mark.parametrize("kind", sorted(DOCUMENTS))
@pytest.mark.parametrize("odd", [False, True], ids=["even", "odd"])
def test_round_trip_byte_for_byte_and_conformant(kind, odd, reference, tmp_path):
    payload = DOCUMENTS[kind]
    if kind != "stl" and (len(payload) % 2 == 1) != odd:  # a binary STL's size is its count's: even
        payload += b"\n"
    assert loam.encap_detect(payload) == kind
    out = tmp_path / f"{kind}.dcm"
    assert loam.encapsulate(payload, "", reference, "A title", output=out) is None
    back, meta = loam.read_encapsulated(out)
    assert back == payload and meta["kind"] == kind and meta["title"] == "A title" and meta["length_stated"]
    assert meta["sop_class_uid"] == SOP[kind]
    ds = pydicom.dcmread(out)
    assert ds.EncapsulatedDocumentLength == len(payload) and len(ds.EncapsulatedDocument) % 2 == 0
    ref = pydicom.dcmread(reference)
    assert (ds.StudyInstanceUID, ds.PatientID) == (ref.StudyInstanceUID, ref.PatientID)
    assert ds.Modality == ("M3D" if kind in ("stl", "obj", "mtl") else "DOC")
    if kind == "cda":
        assert ds.HL7InstanceIdentifier == "2.16.840.1.113883.19^c266"
    if kind in ("obj", "mtl"):
        assert ds.ICCProfile[36:40] == b"acsp"  # an ICC profile's signature
    assert dciodvfy_errors(out) == []
    assert loam.read_encapsulated(out.read_bytes())[0] == payload


def test_without_a_reference_a_new_study_with_stable_uids():
    first = pydicom.dcmread(pydicom.filebase.DicomBytesIO(loam.encapsulate(PDF, "pdf")))
    again = pydicom.dcmread(pydicom.filebase.DicomBytesIO(loam.encapsulate(PDF, "application/pdf")))
    other = pydicom.dcmread(pydicom.filebase.DicomBytesIO(loam.encapsulate(PDF + b"\n", "pdf")))
    assert first.SOPInstanceUID == again.SOPInstanceUID != other.SOPInstanceUID
    assert first.StudyInstanceUID and first.PatientName == ""


@pytest.mark.parametrize("payload, expected", [
    (PDF, "pdf"), (STL, "stl"), (ASCII_STL, "stl"), (OBJ, "obj"), (MTL, "mtl"), (CDA, "cda"),
    (b"\xef\xbb\xbf" + CDA, "cda"), (b"\x89PNG\r\n\x1a\n" + bytes(40), None), (b"hello world\n", None),
    (b"<html><body/></html>", None), (b"", None),
])
def test_detect(payload, expected):
    assert loam.encap_detect(payload) == expected


@pytest.mark.parametrize("payload, kind, message", [
    (b"", "pdf", "the document is empty"),
    (PDF, "docx", "kind must be pdf, cda, stl, obj or mtl"),
    (b"hello world\n", "", "none of PDF, CDA, STL, OBJ or MTL"),
    (ASCII_STL, "", "binary form"),
])
def test_refusals(payload, kind, message):
    with pytest.raises(ValueError, match=message):
        loam.encapsulate(payload, kind)


def test_reading_what_is_not_an_encapsulated_document(reference):
    with pytest.raises(RuntimeError, match="holds no Encapsulated Document"):
        loam.read_encapsulated(reference)
    ds = pydicom.dcmread(pydicom.filebase.DicomBytesIO(loam.encapsulate(PDF, "pdf")))
    ds.EncapsulatedDocumentLength = len(PDF) + 100
    buffer = pydicom.filebase.DicomBytesIO()
    ds.save_as(buffer)
    with pytest.raises(RuntimeError, match="exceeds the document"):
        loam.read_encapsulated(buffer.getvalue())


DCMTK = {name: shutil.which(name) for name in ("pdf2dcm", "dcm2pdf", "stl2dcm")}


@pytest.mark.skipif(not all(DCMTK.values()), reason="DCMTK's pdf2dcm, dcm2pdf and stl2dcm are not installed")
def test_dcmtk_reads_ours_and_we_read_theirs(tmp_path):
    # An odd-length PDF (padded to even in the object) and an even one. (dcm2pdf drops bytes that
    # follow a PDF's last %%EOF line, whatever the stated length: both of these end there.)
    for n, pdf in enumerate([PDF, PDF.replace(b"%%EOF\n", b"%%EOF\r\n")]):
        ours = tmp_path / f"ours{n}.dcm"
        loam.encapsulate(pdf, "pdf", output=ours)
        subprocess.run([DCMTK["dcm2pdf"], str(ours), str(tmp_path / "out.pdf")], check=True, capture_output=True)
        assert (tmp_path / "out.pdf").read_bytes() == pdf
    # stl2dcm takes any STL whose header begins "solid" for ASCII, so its input's header does not.
    plain_stl = b"loam test".ljust(80, b" ") + STL[80:]
    for tool, payload, name in [("pdf2dcm", PDF, "in.pdf"), ("stl2dcm", plain_stl, "in.stl")]:
        (tmp_path / name).write_bytes(payload)
        theirs = tmp_path / f"{tool}.dcm"
        subprocess.run([DCMTK[tool], str(tmp_path / name), str(theirs)], check=True, capture_output=True)
        back, meta = loam.read_encapsulated(theirs)
        assert back == payload and meta["kind"] == name[-3:]


def test_cli(tmp_path, reference, capsys):
    (tmp_path / "report.pdf").write_bytes(PDF)
    out = tmp_path / "report.dcm"
    assert cli.main(["encapsulate", str(tmp_path / "report.pdf"), "-o", str(out), "--title", "Report",
                     "--reference", str(reference)]) == 0
    assert capsys.readouterr().out.strip() == f"{out}: application/pdf ({len(PDF)} bytes) as Encapsulated PDF Storage"
    assert cli.main(["extract", str(out), "-o", str(tmp_path / "back.pdf")]) == 0
    assert (tmp_path / "back.pdf").read_bytes() == PDF
    assert capsys.readouterr().out.strip() == f'{tmp_path / "back.pdf"}: application/pdf "Report", {len(PDF)} bytes'
    (tmp_path / "a.stl").write_bytes(ASCII_STL)
    assert cli.main(["encapsulate", str(tmp_path / "a.stl"), "-o", str(tmp_path / "a.dcm")]) == 1
    assert capsys.readouterr().err.startswith("loam encapsulate: DICOM holds STL in its binary form")
    assert cli.main(["extract", str(reference), "-o", str(tmp_path / "x")]) == 1
    assert "holds no Encapsulated Document" in capsys.readouterr().err
