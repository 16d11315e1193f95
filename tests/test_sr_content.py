"""SR content trees: content_json against pydicom's reading of the same corpus documents, write_sr
round trips of every corpus SR, what pydicom and dciodvfy make of the files written, and a
document with every value type built by hand."""

from __future__ import annotations

import json
import shutil
import sys
from pathlib import Path

import pytest

import loam
from peer_tools import run_peer

SHARED = Path(__file__).resolve().parents[2] / "shared"
CORPUS = [SHARED / "testdata/pydicom/test_files" / n for n in ("test-SR.dcm", "reportsi.dcm",
                                                               "reportsi_with_empty_number_tags.dcm")] + \
         [SHARED / "testdata/highdicom" / n for n in ("sr_document.dcm", "sr_document_with_multiple_groups.dcm")] + \
         [SHARED / "realdata/dcmqi/data/sr-example/sr.dcm"]
DCIODVFY = shutil.which("dciodvfy") or shutil.which("dciodvfy", path=str(Path(sys.executable).parent))

IMAGE = {"study_instance_uid": "1.2.3", "series_instance_uid": "1.2.3.4", "sop_class_uid": "1.2.840.10008.5.1.4.1.1.2.1",
         "sop_instance_uid": "1.2.3.4.5"}


def corpus_file(path: Path) -> Path:
    if not path.is_file():
        pytest.skip(f"{path} is absent: the SR corpus comes with ../shared")
    return path


def pydicom_item(item) -> dict:
    """An independent reading of one content item with pydicom, in content_json's layout."""
    def code(seq):
        c = seq[0]
        out = {"value": c.get("CodeValue") or c.get("LongCodeValue") or c.get("URNCodeValue", ""),
               "scheme": c.CodingSchemeDesignator, "meaning": c.get("CodeMeaning", "")}
        if c.get("CodingSchemeVersion"):
            out["scheme_version"] = c.CodingSchemeVersion
        return out

    out: dict = {}
    vt = item.get("ValueType", "")
    if vt:
        out["value_type"] = vt
    if item.get("RelationshipType"):
        out["relationship"] = item.RelationshipType
    if item.get("ConceptNameCodeSequence"):
        out["concept"] = code(item.ConceptNameCodeSequence)
    if "ReferencedContentItemIdentifier" in item:
        ids = item.ReferencedContentItemIdentifier
        out["referenced_content"] = [int(i) for i in (ids if isinstance(ids, (list, tuple)) or hasattr(ids, "__iter__") else [ids])]
    simple = {"TEXT": ("text", "TextValue"), "DATETIME": ("datetime", "DateTime"), "DATE": ("date", "Date"),
              "TIME": ("time", "Time"), "UIDREF": ("uid", "UID"), "PNAME": ("person_name", "PersonName")}
    if vt in simple:
        out[simple[vt][0]] = str(item.get(simple[vt][1], ""))
    if vt == "CODE":
        out["code"] = code(item.ConceptCodeSequence)
    if vt == "NUM":
        measured = item.get("MeasuredValueSequence") or []
        out["value"] = float(measured[0].NumericValue) if measured else None
        if measured:
            out["unit"] = code(measured[0].MeasurementUnitsCodeSequence)
    if vt in ("IMAGE", "COMPOSITE", "WAVEFORM"):
        ref = item.ReferencedSOPSequence[0]
        out["reference"] = {"sop_class_uid": ref.ReferencedSOPClassUID, "sop_instance_uid": ref.ReferencedSOPInstanceUID}
    if vt in ("SCOORD", "SCOORD3D"):
        out["graphic_type"] = item.GraphicType
        out["graphic_data"] = [float(v) for v in item.GraphicData]
    if "ContentSequence" in item:
        out["children"] = [pydicom_item(c) for c in item.ContentSequence]
    return out


def comparable(item: dict) -> dict:
    """content_json's item with only what pydicom_item reads."""
    keep = {"value_type", "relationship", "concept", "referenced_content", "text", "datetime", "date", "time", "uid",
            "person_name", "code", "value", "unit", "reference", "graphic_type", "graphic_data", "children"}
    out = {k: v for k, v in item.items() if k in keep}
    if "reference" in out:
        out["reference"] = {k: out["reference"][k] for k in ("sop_class_uid", "sop_instance_uid")}
    if "children" in out:
        out["children"] = [comparable(c) for c in out["children"]]
    return out


@pytest.mark.parametrize("path", CORPUS, ids=lambda p: p.name)
def test_content_json_reads_what_pydicom_reads(path):
    pydicom = pytest.importorskip("pydicom")
    ds = pydicom.dcmread(corpus_file(path))
    got = json.loads(loam.content_json(path))
    expected = pydicom_item(ds)
    expected.pop("relationship", None)
    assert comparable(got["content"]) == expected
    assert got["sop_class_uid"] == ds.SOPClassUID and got["patient"]["id"] == ds.get("PatientID", "")
    assert len(got["evidence"]) == sum(len(series.ReferencedSOPSequence)
                                       for study in ds.get("CurrentRequestedProcedureEvidenceSequence", [])
                                       for series in study.ReferencedSeriesSequence)


@pytest.mark.parametrize("path", CORPUS, ids=lambda p: p.name)
def test_write_sr_round_trips_every_corpus_document(path, tmp_path):
    content = json.loads(loam.content_json(corpus_file(path)))
    # pydicom's test documents reference instances without listing them as evidence.
    data = loam.write_sr(content, require_evidence=bool(content["evidence"]))
    assert json.loads(loam.content_json(data)) == content
    if DCIODVFY:
        ours, theirs = tmp_path / "ours.dcm", tmp_path / "theirs.dcm"
        ours.write_bytes(data)
        shutil.copy(path, theirs)
        assert dciodvfy_errors(ours) <= dciodvfy_errors(theirs)


def dciodvfy_errors(path: Path) -> set[str]:
    report = run_peer([DCIODVFY, str(path)], capture_output=True, text=True, errors="replace", timeout=120)
    return {line for line in (report.stdout + report.stderr).splitlines() if line.startswith("Error")}


def every_value_type() -> dict:
    code = lambda value, meaning, scheme="DCM": {"value": value, "scheme": scheme, "meaning": meaning}  # noqa: E731
    return {
        "patient": {"name": "Doe^Jane", "id": "P1", "birth_date": "19700101", "sex": "F"},
        "study": {"date": "20240301", "time": "101500", "id": "S1", "accession_number": "A1",
                  "referring_physician_name": "", "description": "Chest CT"},
        "evidence": [IMAGE],
        "content": {
            "value_type": "CONTAINER", "concept": code("18748-4", "Diagnostic Imaging Report", "LN"),
            "template": {"id": "2000", "mapping_resource": "DCMR"},
            "children": [
                {"relationship": "HAS CONCEPT MOD", "value_type": "CODE", "concept": code("121049", "Language of Content Item and Descendants"),
                 "code": code("eng", "English", "RFC5646")},
                {"relationship": "HAS OBS CONTEXT", "value_type": "PNAME", "concept": code("121008", "Person Observer Name"),
                 "person_name": "Ré^Éric"},
                {"relationship": "HAS OBS CONTEXT", "value_type": "UIDREF", "concept": code("121018", "Procedure Study Instance UID"),
                 "uid": "1.2.3"},
                {"relationship": "CONTAINS", "value_type": "TEXT", "concept": code("121071", "Finding"),
                 "text": "Nodule, 8 mm — likely benign"},
                {"relationship": "CONTAINS", "value_type": "DATETIME", "concept": code("111526", "DateTime Started"),
                 "datetime": "20240301101500"},
                {"relationship": "CONTAINS", "value_type": "DATE", "concept": code("111060", "Study Date"), "date": "20240301"},
                {"relationship": "CONTAINS", "value_type": "TIME", "concept": code("111061", "Study Time"), "time": "101500"},
                {"relationship": "CONTAINS", "value_type": "NUM", "concept": code("410668003", "Length", "SCT"),
                 "value": 8.25, "unit": code("mm", "millimeter", "UCUM"),
                 "children": [{"relationship": "INFERRED FROM", "value_type": "SCOORD",
                               "graphic_type": "POLYLINE", "graphic_data": [10.5, 20.0, 30.25, 40.0],
                               "children": [{"relationship": "SELECTED FROM", "value_type": "IMAGE",
                                             "reference": {"sop_class_uid": IMAGE["sop_class_uid"],
                                                           "sop_instance_uid": IMAGE["sop_instance_uid"], "frames": [2]}}]}]},
                {"relationship": "CONTAINS", "value_type": "NUM", "concept": code("118565006", "Volume", "SCT"),
                 "value": None, "qualifier": code("114006", "Measurement failure")},
                {"relationship": "CONTAINS", "value_type": "TCOORD", "concept": code("122500", "Time Range"),
                 "temporal_range_type": "SEGMENT", "time_offsets": [1.0, 2.5],
                 "children": [{"relationship": "SELECTED FROM", "referenced_content": [1, 8]}]},
                {"relationship": "CONTAINS", "value_type": "COMPOSITE", "concept": code("121112", "Source of Measurement"),
                 "reference": {"sop_class_uid": IMAGE["sop_class_uid"], "sop_instance_uid": IMAGE["sop_instance_uid"]}},
                {"relationship": "CONTAINS", "value_type": "CONTAINER", "concept": code("125007", "Measurement Group"),
                 "continuity": "CONTINUOUS", "children": [
                     {"relationship": "CONTAINS", "value_type": "SCOORD3D", "concept": code("111030", "Image Region"),
                      "graphic_type": "POINT", "graphic_data": [1.5, -2.0, 30.0], "frame_of_reference_uid": "1.2.3.9"}]},
            ]},
    }


def test_every_value_type_round_trips_and_reads_in_pydicom(tmp_path):
    pydicom = pytest.importorskip("pydicom")
    document = every_value_type()
    data = loam.write_sr(document)
    got = json.loads(loam.content_json(data))
    assert got["sop_class_uid"] == "1.2.840.10008.5.1.4.1.1.88.34"  # SCOORD3D: Comprehensive 3D
    assert got["content"] == {**document["content"], "continuity": "SEPARATE",
                              "children": got["content"]["children"]}
    for mine, theirs in zip(got["content"]["children"], document["content"]["children"]):
        assert {k: mine[k] for k in theirs} == theirs
    ds = pydicom.dcmread(__import__("io").BytesIO(data))
    assert comparable(got["content"]) == pydicom_item(ds)
    assert ds.ContentSequence[3].TextValue == "Nodule, 8 mm — likely benign"
    assert ds.ContentSequence[1].PersonName == "Ré^Éric"
    assert ds.SpecificCharacterSet == "ISO_IR 192" and ds.Modality == "SR"
    if DCIODVFY:
        path = tmp_path / "sr.dcm"
        path.write_bytes(data)
        assert dciodvfy_errors(path) == set()
    dsrdump = shutil.which("dsrdump")
    if dsrdump:
        path = tmp_path / "sr.dcm"
        path.write_bytes(data)
        out = run_peer([dsrdump, str(path)], capture_output=True, text=True, errors="replace")
        assert out.returncode == 0 and "Nodule, 8 mm" in out.stdout and "8.25" in out.stdout
    # One input, one file: the UIDs follow the content.
    assert loam.write_sr(document) == data


def test_write_sr_picks_the_least_storage_class():
    text_only = {"content": {"value_type": "CONTAINER", "concept": {"value": "11528-7", "scheme": "LN", "meaning": "Radiology Report"},
                             "children": [{"relationship": "CONTAINS", "value_type": "TEXT",
                                           "concept": {"value": "121071", "scheme": "DCM", "meaning": "Finding"}, "text": "None"}]}}
    assert json.loads(loam.content_json(loam.write_sr(text_only)))["sop_class_uid"] == "1.2.840.10008.5.1.4.1.1.88.11"
    with_num = every_value_type()
    with_num["content"]["children"] = with_num["content"]["children"][:8]
    assert json.loads(loam.content_json(loam.write_sr(with_num)))["sop_class_uid"] == "1.2.840.10008.5.1.4.1.1.88.33"


def test_write_sr_writes_a_file(tmp_path):
    document = every_value_type()
    path = tmp_path / "out.dcm"
    assert loam.write_sr(document, path) is None
    assert path.read_bytes() == loam.write_sr(document)


def broken(change) -> dict:
    document = every_value_type()
    change(document)
    return document


@pytest.mark.parametrize("document, message", [
    (broken(lambda d: d["content"].update(value_type="TEXT")), "content item 1 (TEXT): the root must be a CONTAINER"),
    (broken(lambda d: d["content"].pop("concept")), "the root needs a concept name"),
    (broken(lambda d: d["content"]["children"][3].update(relationship="HAS")), "relationship must be one of"),
    (broken(lambda d: d["content"]["children"][3].pop("concept")), "content item 1.4 (TEXT): a concept name"),
    (broken(lambda d: d["content"]["children"][7].pop("unit")), "content item 1.8 (NUM): a measured value needs its unit"),
    (broken(lambda d: d["content"]["children"][7]["children"][0].update(graphic_data=[1.0, 2.0, 3.0])),
     "content item 1.8.1 (SCOORD): graphic_data must be (column, row) pairs"),
    (broken(lambda d: d["content"]["children"][9].update(sample_positions=[1])), "exactly one of sample_positions"),
    (broken(lambda d: d["content"]["children"][10].pop("reference")), "a reference with its SOP class and instance UIDs"),
    (broken(lambda d: d.update(evidence=[])), "the content references 1.2.3.4.5, which 'evidence' does not list"),
    (broken(lambda d: d.update(sop_class_uid="1.2.840.10008.5.1.4.1.1.88.33")), "SCOORD3D needs Comprehensive 3D SR"),
    (broken(lambda d: d.update(sop_class_uid="1.2.3")), "sop_class_uid must be Basic Text"),
    (broken(lambda d: d["content"].update(colour="red")), "unknown option colour"),
    (broken(lambda d: d.pop("content")), "'content' (the root CONTAINER) is required"),
])
def test_write_sr_refuses_content_it_cannot_write(document, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)").replace(".", r"\.")):
        loam.write_sr(document)


@pytest.mark.parametrize("data, message", [(b"not dicom at all", "content_json: "),
                                           (None, "no SR content")])
def test_content_json_refuses_what_is_not_a_report(data, message):
    if data is None:
        data = loam.write_ko({"references": [{"study_uid": "1.2", "series_uid": "1.2.3", "sop_class_uid": "1.2.840.10008.5.1.4.1.1.2",
                                              "sop_instance_uid": "1.2.3.4"}]})
        # A KO is an SR document; a CT is not: take away the content.
        pydicom = pytest.importorskip("pydicom")
        import io
        ds = pydicom.dcmread(io.BytesIO(data))
        del ds.ValueType
        out = io.BytesIO()
        ds.save_as(out)
        data = out.getvalue()
    with pytest.raises(ValueError, match=message):
        loam.content_json(data)


@pytest.mark.parametrize("name", ["sr_document.dcm", "sr_document_with_multiple_groups.dcm"])
def test_regions_are_highdicoms_roi_groups(name):
    hd = pytest.importorskip("highdicom")
    import numpy as np
    path = corpus_file(SHARED / "testdata/highdicom" / name)
    report = hd.sr.srread(path).content
    expected = []
    for group in report.get_planar_roi_measurement_groups() + report.get_volumetric_roi_measurement_groups():
        roi = group.roi
        if roi is None:
            continue
        points = roi.value if hasattr(roi, "value") else roi.graphic_data  # a planar ROI, or a volume surface
        expected.append((group.tracking_identifier, group.tracking_uid, roi.graphic_type.value,
                         np.asarray(points, float).tolist()))
    got = [(r["tracking_id"], r["tracking_uid"], r["graphic_type"], r["points"]) for r in loam.sr_regions(path)]
    assert sorted(got) == sorted(expected)


def test_regions_of_a_written_report():
    regions = loam.sr_regions(loam.write_sr(every_value_type()))
    assert [(r["item"], r["value_type"], r["graphic_type"]) for r in regions] == [
        ("1.8.1", "SCOORD", "POLYLINE"), ("1.12.1", "SCOORD3D", "POINT")]
    planar, solid = regions
    assert planar["points"] == [[10.5, 20.0], [30.25, 40.0]] and planar["measurement"]["meaning"] == "Length"
    assert planar["image"] == {"sop_class_uid": IMAGE["sop_class_uid"], "sop_instance_uid": IMAGE["sop_instance_uid"],
                               "frames": [2]}
    assert planar["group"] is None
    assert solid["points"] == [[1.5, -2.0, 30.0]] and solid["frame_of_reference_uid"] == "1.2.3.9"
    assert solid["group"] == 1 and solid["tracking_id"] is None  # a Measurement Group without a tracking identifier


DSR2HTML = shutil.which("dsr2html")
# Words dsr2html adds of its own: relationship labels and marks (its links, annex and footnote
# numbers and image names, are left out whole).
DCMTK_WORDS = {"Concept", "Modifier", "Observation", "Context", "Annex", "Footnote", "Inferred", "from", "Selected",
               "Properties", "Contains", "Acquisition", "by-reference", "Content", "Item", "empty", "image", "Has"}


def words_of(markup: str, drop_links: bool = False) -> set[str]:
    from html.parser import HTMLParser

    class Words(HTMLParser):
        def __init__(self):
            super().__init__()
            self.words, self.link = set(), 0

        def handle_starttag(self, tag, attrs):
            if tag == "a":
                self.link += 1

        def handle_endtag(self, tag):
            if tag == "a" and self.link:
                self.link -= 1

        def handle_data(self, data):
            if drop_links and self.link:
                return
            for word in data.split():
                word = word.strip(",.:;()[]\"=")
                if word:
                    self.words.add(word)

    parser = Words()
    parser.feed(markup)
    return parser.words


@pytest.mark.parametrize("path", CORPUS, ids=lambda p: p.name)
def test_html_is_valid_and_shows_what_dsr2html_shows(path, tmp_path):
    html5lib = pytest.importorskip("html5lib")
    page = loam.sr_to_html(corpus_file(path))
    html5lib.HTMLParser(strict=True).parse(page)
    if not DSR2HTML:
        pytest.skip("dsr2html (Debian dcmtk) is not installed")
    out = tmp_path / "dcmtk.html"
    if run_peer([DSR2HTML, str(path), str(out)], capture_output=True, timeout=120).returncode != 0:
        pytest.skip(f"dsr2html cannot read {path.name}")
    raw = out.read_bytes()
    try:
        theirs = raw.decode()
    except UnicodeDecodeError:  # dsr2html writes the document's own character set
        theirs = raw.decode("latin-1")
    content = theirs.split("<hr>", 1)[1].split('<div class="footnote">')[0]  # the content tree, not the header
    missing = words_of(content, drop_links=True) - DCMTK_WORDS - words_of(page)
    assert not missing


def test_html_escapes_text():
    document = every_value_type()
    document["content"]["children"][3]["text"] = '<script>alert("x")</script> & more'
    page = loam.sr_to_html(loam.write_sr(document))
    assert "<script>" not in page and "&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; more" in page
