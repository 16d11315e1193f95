"""TID 2000 diagnostic imaging reports: write_report and read_report round trips, what pydicom,
dciodvfy and DCMTK's dsrdump make of the files, and the refusals."""

from __future__ import annotations

import io
import shutil
import sys
from pathlib import Path

import pytest

import loam
from peer_tools import run_peer

CT = "1.2.840.10008.5.1.4.1.1.2"
STUDY, SERIES, IMAGE = "1.2.826.0.1.3680043.9.5296.9.1", "1.2.826.0.1.3680043.9.5296.9.2", "1.2.826.0.1.3680043.9.5296.9.3"


def report() -> dict:
    return {
        "patient": {"name": "Doe^Jane", "id": "P1", "birth_date": "19700101", "sex": "F"},
        "study": {"date": "20240301", "time": "101500", "id": "S1", "accession_number": "A1"},
        "study_instance_uid": STUDY,
        "observer": "Smith^John",
        "evidence": [{"study_instance_uid": STUDY, "series_instance_uid": SERIES, "sop_class_uid": CT, "sop_instance_uid": IMAGE}],
        "sections": {
            "history": ["Cough for three weeks."],
            "findings": ["No pulmonary nodules.",
                         {"text": "Small left pleural effusion.", "images": [{"sop_class_uid": CT, "sop_instance_uid": IMAGE}]}],
            "impressions": [{"code": {"value": "17621005", "scheme": "SCT", "meaning": "Normal"}}],
            "Recommendations": [{"text": "Follow-up CT in 3 months.",
                                 "concept": {"value": "121075", "scheme": "DCM", "meaning": "Recommendation"}}],
        },
    }


def test_report_round_trips():
    data = loam.write_report(report())
    back = loam.read_report(data)
    assert back["title"] == {"value": "18748-4", "scheme": "LN", "meaning": "Diagnostic Imaging Report"}
    assert back["observer"] == "Smith^John" and back["patient"]["name"] == "Doe^Jane"
    assert [s["heading"] for s in back["sections"]] == ["history", "findings", "impressions", "recommendations"]
    findings = back["sections"][1]["statements"]
    assert [s.get("text") for s in findings] == ["No pulmonary nodules.", "Small left pleural effusion."]
    assert findings[0]["concept"]["meaning"] == "Finding" and findings[1]["images"][0]["sop_instance_uid"] == IMAGE
    assert back["sections"][0]["statements"][0]["concept"]["meaning"] == "History"
    assert back["sections"][2]["statements"][0] == {"concept": {"value": "121073", "scheme": "DCM", "meaning": "Impression"},
                                                    "code": {"value": "17621005", "scheme": "SCT", "meaning": "Normal"}}
    # What read_report gives, write_report takes back to the same report.
    assert loam.read_report(loam.write_report(back)) == back


def test_a_report_is_basic_text_sr_that_pydicom_dciodvfy_and_dcmtk_read(tmp_path):
    pydicom = pytest.importorskip("pydicom")
    data = loam.write_report(report())
    ds = pydicom.dcmread(io.BytesIO(data))
    assert ds.SOPClassUID == "1.2.840.10008.5.1.4.1.1.88.11" and ds.ContentTemplateSequence[0].TemplateIdentifier == "2000"
    assert ds.ContentSequence[4].ConceptNameCodeSequence[0].CodeMeaning == "Findings"  # after language and observer
    path = tmp_path / "report.dcm"
    path.write_bytes(data)
    dciodvfy = shutil.which("dciodvfy") or shutil.which("dciodvfy", path=str(Path(sys.executable).parent))
    if dciodvfy:
        out = run_peer([dciodvfy, str(path)], capture_output=True, text=True, errors="replace")
        assert not [line for line in (out.stdout + out.stderr).splitlines() if line.startswith("Error")]
    dsrdump = shutil.which("dsrdump")
    if dsrdump:
        out = run_peer([dsrdump, str(path)], capture_output=True, text=True, errors="replace")
        assert out.returncode == 0 and "Small left pleural effusion." in out.stdout


def test_sections_as_a_list_with_coded_headings():
    r = report()
    r["sections"] = [{"heading": {"value": "55752-0", "scheme": "LN", "meaning": "Clinical Information"},
                      "statements": ["Smoker."]},
                     {"heading": {"value": "99", "scheme": "99LOCAL", "meaning": "Local Heading"}, "statements": ["Odd."]}]
    back = loam.read_report(loam.write_report(r, require_evidence=False))
    assert [s["heading"] for s in back["sections"]] == [
        "clinical information", {"value": "99", "scheme": "99LOCAL", "meaning": "Local Heading"}]
    assert back["sections"][1]["statements"][0]["concept"]["meaning"] == "Finding"


@pytest.mark.parametrize("change, message", [
    (lambda r: r["sections"].update(gossip=["x"]), "unknown section 'gossip'"),
    (lambda r: r["sections"]["findings"].append({"images": []}), "'text' or 'code' is required"),
    (lambda r: r["sections"]["findings"].append({"text": "a", "code": {"value": "1", "scheme": "X", "meaning": "y"}}),
     "give 'text' or 'code', not both"),
    (lambda r: r.update(evidence=[]), "which 'evidence' does not list"),
    (lambda r: r.update(colour="red"), "unknown option colour"),
])
def test_write_report_refuses(change, message):
    r = report()
    change(r)
    with pytest.raises(ValueError, match=message):
        loam.write_report(r)
