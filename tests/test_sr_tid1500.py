"""TID 1500 measurement reports in dcmqi's metadata layout: our reports read by dcmqi's
tid1500reader and by highdicom, dcmqi's reports (and the dcmqi-written corpus report) read by
read_measurement_report, both against tid1500reader's own JSON."""

from __future__ import annotations

import json
import shutil
import sys
from pathlib import Path

import pytest

import loam
from peer_tools import run_peer

DCMQI = Path(__file__).resolve().parents[2] / "shared" / "realdata" / "dcmqi"
LIBRARY = DCMQI / "data/segmentations/ct-3slice"
CASES = [("sr-tid1500-example.json", "data/sr-example"), ("sr-tid1500-example-nan.json", "data/sr-example"),
         ("sr-tid1500-qualitative.json", "data/sr-example"), ("sr-tid1500-ct-liver-example.json", "data/segmentations")]


def tool(name: str) -> str:
    path = shutil.which(name) or shutil.which(name, path=str(Path(sys.executable).parent))
    if not path:
        pytest.skip(f"{name} (PyPI dcmqi) is not installed")
    return path


def example(name: str) -> Path:
    path = DCMQI / "doc/examples" / name
    if not path.is_file():
        pytest.skip(f"{path} is absent: dcmqi's examples come with ../shared")
    return path


def dcmqi_reads(path: Path, tmp_path: Path) -> dict:
    out = tmp_path / (path.stem + ".json")
    run_peer([tool("tid1500reader"), "--inputDICOM", str(path), "--outputMetadata", str(out)], capture_output=True,
                   timeout=120, check=True)
    return json.loads(out.read_text())


def dcmqi_writes(name: str, context: str, tmp_path: Path) -> Path:
    out = tmp_path / "dcmqi.dcm"
    run_peer([tool("tid1500writer"), "--inputMetadata", str(example(name)), "--inputImageLibraryDirectory", str(LIBRARY),
                    "--inputCompositeContextDirectory", str(DCMQI / context), "--outputDICOM", str(out)],
                   capture_output=True, timeout=120, check=True)
    return out


def without_minted(report: dict) -> dict:
    report = json.loads(json.dumps(report))
    for group in report["Measurements"]:
        group.pop("TrackingUniqueIdentifier", None)  # minted by each writer
    return report


@pytest.mark.parametrize("name, context", CASES)
def test_dcmqi_reads_our_reports_as_it_reads_its_own(name, context, tmp_path):
    ours = tmp_path / "ours.dcm"
    loam.write_measurement_report(example(name), LIBRARY, DCMQI / context, ours)
    theirs = dcmqi_writes(name, context, tmp_path)
    read_ours, read_theirs = without_minted(dcmqi_reads(ours, tmp_path)), without_minted(dcmqi_reads(theirs, tmp_path))
    if name == "sr-tid1500-example-nan.json":
        # dcmqi leaves a "nan" measurement out of the report; ours keeps it, with no value and the
        # qualifier "Not a number", which tid1500reader reads as an empty value.
        kept = read_ours["Measurements"][0]["measurementItems"].pop(0)
        assert kept["value"] == "" and kept["quantity"]["CodeMeaning"] == "SUVbw"
    assert read_ours == read_theirs
    # And we read our own report back to what we were given (the nan kept).
    given = json.loads(example(name).read_text())
    back = loam.read_measurement_report(ours)
    for group_in, group_out in zip(given["Measurements"], back["Measurements"]):
        assert [i["value"] for i in group_out["measurementItems"]] == [i["value"] for i in group_in["measurementItems"]]
        assert group_out["TrackingIdentifier"] == group_in["TrackingIdentifier"]


@pytest.mark.parametrize("name, context", CASES)
def test_we_read_dcmqi_reports_as_dcmqi_does(name, context, tmp_path):
    theirs = dcmqi_writes(name, context, tmp_path)
    assert loam.read_measurement_report(theirs) == dcmqi_reads(theirs, tmp_path)


def contained(small, large) -> bool:
    """Every key and value of `small` is in `large` (lists item by item, in order)."""
    if isinstance(small, dict):
        return isinstance(large, dict) and all(k in large and contained(v, large[k]) for k, v in small.items())
    if isinstance(small, list):
        it = iter(large)
        return all(any(contained(s, x) for x in it) for s in small)
    return small == large


def test_the_dcmqi_corpus_report_reads_at_least_what_dcmqi_reads(tmp_path):
    path = DCMQI / "data/sr-example/sr.dcm"
    if not path.is_file():
        pytest.skip(f"{path} is absent")
    ours, theirs = loam.read_measurement_report(path), dcmqi_reads(path, tmp_path)
    # The 2015 report codes finding site and measurement method in SNOMED-RT, which the current
    # tid1500reader no longer recognises; we read them too.
    assert contained(theirs, ours)
    assert ours["Measurements"][0]["FindingSite"]["CodeValue"] == "T-C5300"


# highdicom reads NUM items only with a measured value, not the empty one with a "Not a number"
# qualifier that the nan example makes.
@pytest.mark.parametrize("name, context", [case for case in CASES if "nan" not in case[0]])
def test_highdicom_reads_our_reports(name, context, tmp_path):
    hd = pytest.importorskip("highdicom")
    ours = tmp_path / "ours.dcm"
    loam.write_measurement_report(example(name), LIBRARY, DCMQI / context, ours)
    given = json.loads(example(name).read_text())
    groups = hd.sr.srread(ours).content.get_volumetric_roi_measurement_groups()
    assert [g.tracking_identifier for g in groups] == [m["TrackingIdentifier"] for m in given["Measurements"]]
    for group, source in zip(groups, given["Measurements"]):
        values = [(m.name.value, m.value, m.unit.value) for m in group.get_measurements()]
        expected = [(i["quantity"]["CodeValue"], float(i["value"]), i["units"]["CodeValue"])
                    for i in source["measurementItems"]]
        assert values == expected
        assert group.finding_type.value == source["Finding"]["CodeValue"]


def test_rows_are_one_per_measurement():
    path = example("sr-tid1500-ct-liver-example.json")
    rows = loam.read_measurement_report(loam.write_measurement_report(path, LIBRARY, DCMQI / "data/segmentations"), rows=True)
    assert [(r["quantity"], r["value"], r["unit"], r["derivation"]) for r in rows] == [
        ("Attenuation Coefficient", 37.3289, "[hnsf'U]", "Mean"), ("Attenuation Coefficient", -778.0, "[hnsf'U]", "Minimum"),
        ("Attenuation Coefficient", 221.0, "[hnsf'U]", "Maximum"),
        ("Attenuation Coefficient", 59.1691, "[hnsf'U]", "Standard Deviation"), ("Volume", 70361.9, "mm3", None),
        ("Volume", 70.3619, "cm3", None)]
    first = rows[0]
    assert (first["group"], first["tracking_id"], first["finding"], first["finding_code"], first["finding_site"], first["segment"]) == \
        (1, "Measurements group 1", "Organ", "SCT:113343008", "Liver", 1)


def test_report_from_a_dict_with_explicit_folders_and_dciodvfy(tmp_path):
    report = json.loads(example("sr-tid1500-example.json").read_text())
    data = loam.write_measurement_report(report, str(LIBRARY), str(DCMQI / "data/sr-example"))
    assert loam.read_measurement_report(data)["SeriesNumber"] == "1001"
    assert data == loam.write_measurement_report(report, str(LIBRARY), str(DCMQI / "data/sr-example"))  # one input, one file
    dciodvfy = shutil.which("dciodvfy") or shutil.which("dciodvfy", path=str(Path(sys.executable).parent))
    if dciodvfy:
        path = tmp_path / "report.dcm"
        path.write_bytes(data)
        report_text = run_peer([dciodvfy, str(path)], capture_output=True, text=True, errors="replace").stderr
        assert not [line for line in report_text.splitlines() if line.startswith("Error")]


def broken(change):
    report = json.loads(example("sr-tid1500-example.json").read_text())
    change(report)
    return report


@pytest.mark.parametrize("change, message", [
    (lambda r: r["Measurements"][0].pop("TrackingIdentifier"), "Measurements\\[1\\]: TrackingIdentifier is required"),
    (lambda r: r["Measurements"][0].pop("Finding"), "Measurements\\[1\\]: Finding is required"),
    (lambda r: r["Measurements"][0]["measurementItems"][0].update(value="lots"), "value 'lots' is not a number"),
    (lambda r: r["Measurements"][0].update(segmentationSOPInstanceUID="1.2.3"), "1.2.3 is not among the composite context"),
    (lambda r: r["observerContext"].update(ObserverType="ROBOT"), "ObserverType must be PERSON or DEVICE"),
    (lambda r: r["Measurements"][0]["Finding"].pop("CodeMeaning"), "needs CodeValue, CodingSchemeDesignator and CodeMeaning"),
    (lambda r: r.update(imageLibrary=["absent.dcm"]), "cannot read imageLibrary file"),
    (lambda r: r.update(colour="red"), "unknown option colour"),
])
def test_write_measurement_report_refuses_what_it_cannot_write(change, message):
    report = broken(change)
    with pytest.raises(ValueError, match=message):
        loam.write_measurement_report(report, str(LIBRARY), str(DCMQI / "data/sr-example"))


def test_read_measurement_report_refuses_other_reports():
    document = {"content": {"value_type": "CONTAINER", "concept": {"value": "11528-7", "scheme": "LN", "meaning": "Radiology Report"}}}
    with pytest.raises(ValueError, match="not a TID 1500 Imaging Measurement Report"):
        loam.read_measurement_report(loam.write_sr(document))


def test_cli_sr(tmp_path, capsys):
    from loam import cli
    example = example_report = DCMQI / "doc/examples/sr-tid1500-ct-liver-example.json"
    if not example_report.is_file():
        pytest.skip(f"{example} is absent")
    path = tmp_path / "liver.dcm"
    loam.write_measurement_report(example, LIBRARY, DCMQI / "data/segmentations", path)
    assert cli.main(["sr", "rows", str(path)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("group,tracking_id,") and len(lines) == 7 and "Attenuation Coefficient" in lines[1]
    assert cli.main(["sr", "dump", str(path)]) == 0
    dump = capsys.readouterr().out
    assert "CONTAINS NUM Attenuation Coefficient = 37.3289 [hnsf'U]" in dump
    assert cli.main(["sr", "json", str(path)]) == 0
    assert json.loads(capsys.readouterr().out)["content"]["concept"]["meaning"] == "Imaging Measurement Report"
    assert cli.main(["sr", "html", str(path), "-o", str(tmp_path / "r.html")]) == 0
    assert "<h1>Imaging Measurement Report</h1>" in (tmp_path / "r.html").read_text()
    assert cli.main(["sr", "rows", str(tmp_path / "absent.dcm")]) == 1
    assert "loam sr rows: cannot open" in capsys.readouterr().err


@pytest.mark.parametrize("name", ["sr_document.dcm", "sr_document_with_multiple_groups.dcm"])
def test_we_read_highdicoms_reports_as_highdicom_does(name):
    hd = pytest.importorskip("highdicom")
    path = Path(__file__).resolve().parents[2] / "shared" / "testdata" / "highdicom" / name
    if not path.is_file():
        pytest.skip(f"{path} is absent")
    report = hd.sr.srread(path).content
    groups = (report.get_planar_roi_measurement_groups() + report.get_volumetric_roi_measurement_groups()
              + report.get_image_measurement_groups())
    theirs = sorted((g.tracking_identifier, g.tracking_uid, m.name.meaning, float(m.value), m.unit.value)
                    for g in groups for m in g.get_measurements())
    ours = sorted((r["tracking_id"], r["tracking_uid"], r["quantity"], r["value"], r["unit"])
                  for r in loam.read_measurement_report(path, rows=True))
    assert ours == theirs


def test_planar_and_volumetric_regions_and_image_groups(tmp_path):
    hd = pytest.importorskip("highdicom")
    report = json.loads(example("sr-tid1500-example.json").read_text())
    base = report["Measurements"][0]
    first_ct = "1.2.392.200103.20080913.113635.2.2009.6.22.21.43.10.23431.1"
    planar = {k: v for k, v in base.items() if k not in ("ReferencedSegment", "segmentationSOPInstanceUID", "rwvmMapUsedForMeasurement")}
    planar.update(TrackingIdentifier="planar", ImageRegion={"GraphicType": "POLYLINE", "GraphicData": [1.0, 2.0, 3.0, 4.0, 1.0, 2.0],
                                                             "ReferencedSOPInstanceUID": first_ct})
    volume = dict(planar, TrackingIdentifier="volume")
    del volume["ImageRegion"]
    volume["VolumeSurface"] = {"GraphicType": "POINT", "GraphicData": [1.0, 2.0, 3.0], "FrameOfReferenceUID": "1.2.3.4"}
    image = {k: v for k, v in planar.items() if k != "ImageRegion"}
    image["TrackingIdentifier"] = "whole image"
    report["Measurements"] = [base, planar, volume, image]
    path = tmp_path / "groups.dcm"
    loam.write_measurement_report(report, LIBRARY, DCMQI / "data/sr-example", path)
    back = loam.read_measurement_report(path)["Measurements"]
    assert back[1]["ImageRegion"] == planar["ImageRegion"] and back[2]["VolumeSurface"] == volume["VolumeSurface"]
    assert "ImageRegion" not in back[3] and "VolumeSurface" not in back[3]
    sr = hd.sr.srread(path).content
    assert [g.tracking_identifier for g in sr.get_planar_roi_measurement_groups()] == ["planar"]
    assert sorted(g.tracking_identifier for g in sr.get_volumetric_roi_measurement_groups()) == ["Measurements group 1", "volume"]
    assert [g.tracking_identifier for g in sr.get_image_measurement_groups()] == ["whole image"]
    roi = sr.get_planar_roi_measurement_groups()[0].roi
    assert roi.graphic_type.value == "POLYLINE" and roi.value.ravel().tolist() == [1.0, 2.0, 3.0, 4.0, 1.0, 2.0]
    regions = loam.sr_regions(path)
    assert [(r["tracking_id"], r["value_type"]) for r in regions] == [("planar", "SCOORD"), ("volume", "SCOORD3D")]
    assert regions[0]["image"]["sop_instance_uid"] == first_ct
    assert [f for f in loam.sr_validate(path) if f["severity"] == "error"] == []
    with pytest.raises(ValueError, match="is not in the image library"):
        planar["ImageRegion"]["ReferencedSOPInstanceUID"] = "1.2.3"
        loam.write_measurement_report(report, LIBRARY, DCMQI / "data/sr-example")
