"""read_rtplan against dicompyler-core's GetPlan (its answers saved by tools/rtplan_goldens.py) and
against pydicom's reading of the beams and control points."""

from __future__ import annotations

import json
from pathlib import Path

import pydicom
import pytest

import loam

SHARED = Path(__file__).resolve().parents[2] / "shared"
GOLDENS = json.loads((Path(__file__).parent / "data" / "rtplan_dicompyler.json").read_text())


def plan(name: str) -> Path:
    path = SHARED / name
    if not path.is_file():
        pytest.skip(f"{name} not present under {SHARED}")
    return path


@pytest.mark.parametrize("name", sorted(GOLDENS))
def test_getplan_values(name):
    ours = loam.read_rtplan(plan(name))
    theirs = GOLDENS[name]
    assert {k: ours[k] for k in theirs["plan"]} == theirs["plan"]
    fraction = ours["fraction_groups"][0]
    beams = {b["number"]: b for b in ours["beams"]}
    for number, beam in theirs["beams"].items():
        assert beams[int(number)]["name"] == beam["name"]
        dose = next(b["dose"] for b in fraction["beams"] if b["beam"] == int(number))
        # dicompyler gives a beam's dose over the whole course, in cGy.
        assert dose * fraction["fractions_planned"] * 100 == pytest.approx(beam["dose"])


@pytest.mark.parametrize("name", sorted(GOLDENS))
def test_beams_and_control_points_as_pydicom_reads_them(name):
    ours = loam.read_rtplan(plan(name))
    ds = pydicom.dcmread(plan(name))
    metersets = {int(b.ReferencedBeamNumber): float(b.BeamMeterset) for b in ds.FractionGroupSequence[0].ReferencedBeamSequence
                 if "BeamMeterset" in b}
    assert len(ours["beams"]) == len(ds.BeamSequence)
    for mine, beam in zip(ours["beams"], ds.BeamSequence):
        assert mine["number"] == beam.BeamNumber and mine["name"] == beam.get("BeamName", "")
        assert mine["type"] == beam.BeamType and mine["radiation_type"] == beam.get("RadiationType", "")
        assert mine["meterset"] == pytest.approx(metersets.get(int(beam.BeamNumber)))
        state = {}
        assert len(mine["control_points"]) == len(beam.ControlPointSequence)
        for point, cp in zip(mine["control_points"], beam.ControlPointSequence):
            # A control point states what changes; the rest carries over from the points before.
            for keyword, key in (("NominalBeamEnergy", "energy"), ("GantryAngle", "gantry_angle"),
                                 ("BeamLimitingDeviceAngle", "collimator_angle"), ("PatientSupportAngle", "couch_angle")):
                if keyword in cp:
                    state[key] = float(cp.get(keyword))
                assert point[key] == pytest.approx(state.get(key)), key
            assert point["index"] == cp.ControlPointIndex
            assert point["cumulative_meterset_weight"] == pytest.approx(float(cp.CumulativeMetersetWeight))
            for device in cp.get("BeamLimitingDevicePositionSequence", []):
                state[device.RTBeamLimitingDeviceType] = [float(v) for v in device.LeafJawPositions]
            for kind, positions in point["limiting_devices"].items():
                assert positions == pytest.approx(state[kind])


def test_prescription_rules_by_hand(tmp_path):
    ds = pydicom.dcmread(plan("testdata/pydicom/test_files/rtplan.dcm"))
    site = pydicom.Dataset()
    site.DoseReferenceNumber, site.DoseReferenceStructureType = 1, "SITE"
    site.DoseReferenceDescription, site.TargetPrescriptionDose = "Prostate", 70.0
    volume = pydicom.Dataset()
    volume.DoseReferenceNumber, volume.DoseReferenceStructureType, volume.TargetPrescriptionDose = 2, "VOLUME", 60.005
    for references, name, rx in (([site], "Prostate", 7000), ([site, volume], "Prostate", 6000), ([], "", 3083)):
        ds.DoseReferenceSequence = references
        ds.save_as(tmp_path / "plan.dcm")
        got = loam.read_rtplan(tmp_path / "plan.dcm")
        assert (got["name"], got["rxdose"]) == (name, rx)


def test_not_a_plan():
    with pytest.raises(RuntimeError, match="not an RT Plan"):
        loam.read_rtplan(plan("testdata/pydicom/test_files/CT_small.dcm"))
