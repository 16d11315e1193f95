"""write_rtdose: doses read back by our reader and by pydicom within the scaling step, their
geometry, DVHs of written pairs, dciodvfy, and the doses and options it refuses."""

from __future__ import annotations

import io
import shutil
import sys
from pathlib import Path

import numpy as np
import pydicom
import pytest

import loam
from peer_tools import run_peer
from test_rt_mask import ibsi

DCIODVFY = shutil.which("dciodvfy") or shutil.which("dciodvfy", path=str(Path(sys.executable).parent))
PLAN = "1.2.826.0.1.3680043.9.5296.55.1"


def ct() -> list[Path]:
    return sorted(ibsi("dicom", "image").glob("*.dcm"))


def affine_of(meta) -> np.ndarray:
    return np.array(meta["affine"], dtype=float).reshape(4, 4, order="F")


def test_round_trip_on_the_image_grid(tmp_path):
    paths = ct()
    z, y, x = np.mgrid[0:60, 0:201, 0:204]
    dose = (62.5 * np.exp(-((x - 100) ** 2 + (y - 90) ** 2 + (z - 30) ** 2) / 3000)).astype(np.float32)
    out = tmp_path / "rd.dcm"
    loam.write_rtdose(dose, paths, plans=[PLAN], output=out)
    step = dose.max() / 65535
    back, meta = loam.read_rtdose(out)
    assert back.shape == dose.shape and np.abs(back - dose).max() <= step / 2 + 1e-6
    ds = pydicom.dcmread(out)
    assert np.abs(ds.pixel_array * float(ds.DoseGridScaling) - dose).max() <= step / 2 + 1e-6
    assert ds.DoseUnits == "GY" and ds.DoseSummationType == "PLAN" and ds.ReferencedRTPlanSequence[0].ReferencedSOPInstanceUID == PLAN
    _, ct_meta = loam.assemble_volume(paths)
    a = affine_of(ct_meta)
    assert np.allclose(meta["origin"], a[:3, 3], atol=1e-3)
    assert np.allclose(meta["grid_frame_offsets"], np.arange(60) * a[2, 2], atol=1e-3)
    if DCIODVFY:
        report = run_peer([DCIODVFY, str(out)], capture_output=True, text=True, timeout=120)
        assert [line for line in report.stderr.splitlines() if line.startswith("Error")] == []


def test_dvh_of_a_written_pair(tmp_path):
    paths = ct()
    rtstruct = next(ibsi("dicom", "mask").glob("*.dcm"))
    dose = np.full((60, 201, 204), 2.0, np.float32)
    out = tmp_path / "rd.dcm"
    loam.write_rtdose(dose, paths, summation_type="RECORD", output=out)
    curve = loam.compute_dvh(rtstruct, out, "GTV-1")
    assert curve.min_gy == pytest.approx(2.0, abs=1e-4) and curve.max_gy == pytest.approx(2.0, abs=1e-4)
    assert curve.volume_at_dose(2.0) == pytest.approx(curve.volume_cm3, rel=1e-6)
    assert curve.volume_at_dose(2.01) == 0


@pytest.mark.parametrize("step", [2.5, -2.5], ids=["head-first", "feet-first"])
def test_geometry_from_an_affine(step, tmp_path):
    affine = np.array([[0, 0, 0, -50.0], [2.0, 0, 0, -40.0], [0, 3.0, 0, 10.0], [0, 0, 0, 1.0]])
    affine[:3, 0] = [2.0, 0, 0]
    affine[:3, 1] = [0, 0, -3.0]  # rows run down the patient: a coronal grid
    affine[:3, 2] = [0, step, 0]
    dose = np.arange(4 * 5 * 6, dtype=np.float32).reshape(4, 5, 6) / 10
    out = tmp_path / "rd.dcm"
    loam.write_rtdose(dose, ct()[:1], affine, plans=[PLAN], output=out)
    back, meta = loam.read_rtdose(out)
    assert np.abs(back - dose).max() <= dose.max() / 65535
    assert np.allclose(meta["origin"], [-50, -40, 10]) and np.allclose(meta["row_cosines"], [1, 0, 0])
    assert np.allclose(meta["column_cosines"], [0, 0, -1]) and np.allclose(meta["pixel_spacing"], [3, 2])
    # The normal (row x column) is +y: offsets follow the frames' step along it.
    assert np.allclose(meta["grid_frame_offsets"], np.arange(4) * step)


@pytest.mark.parametrize("kwargs, text", [
    ({"dose": -np.ones((1, 4, 4), np.float32)}, "finite and not negative"),
    ({"dose": np.full((1, 4, 4), np.nan, np.float32)}, "finite and not negative"),
    ({"plans": []}, "names its one plan"),
    ({"summation_type": "BEAM"}, "summation_type is PLAN"),
    ({"dose_type": "GUESS"}, "dose_type is PHYSICAL"),
    ({"affine": None}, "the reference series' shape"),
    ({"affine": [1, 0, 0, 0, 0, 1, 0, 0, 1, 1, 1, 0, 0, 0, 0, 1]}, "stacked along the normal"),
])
def test_refused_in_words(kwargs, text):
    args = {"dose": np.ones((2, 4, 4), np.float32), "affine": np.eye(4), "plans": [PLAN]}
    args.update(kwargs)
    with pytest.raises(ValueError, match=text):
        loam.write_rtdose(args.pop("dose"), ct()[:1], args.pop("affine"), **args)
