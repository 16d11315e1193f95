"""Dose-volume histograms on structures and dose grids with known answers."""

from __future__ import annotations

import json
import math
import struct

import numpy as np
import pytest

import loam
from dicom_bytes import explicit, explicit_sq, item, part10
from volume_series import encode, multi

RT_DOSE, RT_STRUCT = "1.2.840.10008.5.1.4.1.1.481.2", "1.2.840.10008.5.1.4.1.1.481.3"


def rtdose(gy: np.ndarray, origin, spacing=2.5, frame_step=2.5, scaling=1e-4) -> bytes:
    """A dose grid (frames, rows, columns) of uint32 values x Dose Grid Scaling."""
    nz, ny, nx = gy.shape
    stored = np.round(gy / scaling).astype("<u4")
    el = {
        0x00080016: ("UI", RT_DOSE), 0x00080018: ("UI", "1.2.3.50"), 0x00080060: ("CS", "RTDOSE"),
        0x0020000D: ("UI", "1.2.3"), 0x0020000E: ("UI", "1.2.3.51"), 0x00200032: ("DS", multi(origin)),
        0x00200037: ("DS", "1\\0\\0\\0\\1\\0"), 0x00200052: ("UI", "1.2.3.9"),
        0x00280002: ("US", struct.pack("<H", 1)), 0x00280004: ("CS", "MONOCHROME2"), 0x00280008: ("IS", str(nz)),
        0x00280009: ("AT", struct.pack("<HH", 0x3004, 0x000C)), 0x00280010: ("US", struct.pack("<H", ny)),
        0x00280011: ("US", struct.pack("<H", nx)), 0x00280030: ("DS", multi([spacing, spacing])),
        0x00280100: ("US", struct.pack("<H", 32)), 0x00280101: ("US", struct.pack("<H", 32)),
        0x00280102: ("US", struct.pack("<H", 31)), 0x00280103: ("US", struct.pack("<H", 0)),
        0x30040002: ("CS", "GY"), 0x30040004: ("CS", "PHYSICAL"), 0x3004000A: ("CS", "PLAN"),
        0x3004000C: ("DS", multi([frame_step * k for k in range(nz)])), 0x3004000E: ("DS", repr(scaling)),
        0x7FE00010: ("OW", stored.tobytes()),
    }
    return part10(encode(el), sop_class=RT_DOSE, sop_instance="1.2.3.50")


def rtstruct(rois: dict[int, tuple[str, list[np.ndarray]]]) -> bytes:
    names = [item(explicit(0x3006, 0x0022, "IS", str(n)) + explicit(0x3006, 0x0026, "LO", name))
             for n, (name, _) in rois.items()]
    contours = []
    for n, (_, planes) in rois.items():
        cs = [item(explicit(0x3006, 0x0042, "CS", "CLOSED_PLANAR") + explicit(0x3006, 0x0046, "IS", str(len(p)))
                   + explicit(0x3006, 0x0050, "DS", "\\".join(f"{v:.4f}" for v in p.ravel()))) for p in planes]
        contours.append(item(explicit_sq(0x3006, 0x0040, cs) + explicit(0x3006, 0x0084, "IS", str(n))))
    el = {0x00080016: ("UI", RT_STRUCT), 0x00080018: ("UI", "1.2.3.60"), 0x00080060: ("CS", "RTSTRUCT"),
          0x30060020: ("raw", explicit_sq(0x3006, 0x0020, names)),
          0x30060039: ("raw", explicit_sq(0x3006, 0x0039, contours))}
    return part10(encode(el), sop_class=RT_STRUCT, sop_instance="1.2.3.60")


def square(x0, x1, y0, y1, z):
    return np.array([[x0, y0, z], [x1, y0, z], [x1, y1, z], [x0, y1, z]], float)


def circle(cx, cy, r, z, n=180):
    t = np.linspace(0, 2 * np.pi, n, endpoint=False)
    return np.stack([cx + r * np.cos(t), cy + r * np.sin(t), np.full(n, z)], axis=1)


@pytest.fixture()
def gradient_case(tmp_path):
    """A 20 mm cube (x 10.2..30.2, y 10..30, planes z = 1..19 every 2 mm) in a dose of x / 10 Gy."""
    nx = ny = 20
    x = np.arange(nx) * 2.5
    gy = np.broadcast_to(x / 10.0, (12, ny, nx)).astype(np.float64)
    dose = tmp_path / "dose.dcm"
    dose.write_bytes(rtdose(gy, (0.0, 0.0, 0.0)))
    planes = [square(10.2, 30.2, 10.0, 30.0, z) for z in range(1, 20, 2)]
    circle_planes = [circle(25.0, 25.0, math.sqrt(max(100 - (z - 15) ** 2, 0)), float(z))
                     for z in range(6, 25) if 100 - (z - 15) ** 2 > 0]
    struct_path = tmp_path / "rs.dcm"
    struct_path.write_bytes(rtstruct({1: ("cube", planes), 7: ("ball", circle_planes)}))
    return str(struct_path), str(dose)


def test_cube_in_a_linear_gradient(gradient_case):
    rs, rd = gradient_case
    dvh = loam.compute_dvh(rs, rd, "cube", 5)
    # 20 x 20 x 20 mm; the doses are uniform over 1.02 .. 3.02 Gy.
    assert dvh.total_volume_cm3 == pytest.approx(8.0, rel=0.01) and dvh.uncovered_volume_cm3 == 0
    assert dvh.notes == "" and dvh.roi_name == "cube"
    assert dvh.mean_gy == pytest.approx(2.02, abs=0.01)
    assert dvh.min_gy == pytest.approx(1.02, abs=0.06) and dvh.max_gy == pytest.approx(3.02, abs=0.06)
    # V(D) = 8 cm3 x (3.02 - D) / 2, D95 = 1.02 + 0.05 x 2; samples lie 0.5 mm apart along the
    # gradient, so volumes are right to one sample row (8 cm3 x 0.5 / 20) and doses to 0.05 Gy.
    assert dvh.volume_at_dose(2.0) == pytest.approx(8 * (3.02 - 2.0) / 2, abs=0.2)
    assert dvh.statistic("D95") == pytest.approx(1.12, abs=0.05)
    assert dvh.statistic("V2Gy") == dvh.volume_at_dose(2.0)
    assert dvh.cumulative[0] == pytest.approx(dvh.covered_volume_cm3)
    assert np.all(np.diff(dvh.cumulative) <= 1e-12) and dvh.counts[-1] > 0


def test_sphere_in_a_uniform_dose(tmp_path):
    gy = np.full((16, 24, 24), 2.0)
    dose = tmp_path / "dose.dcm"
    dose.write_bytes(rtdose(gy, (0.0, 0.0, 0.0)))
    planes = [circle(30.0, 30.0, math.sqrt(100 - (z - 15) ** 2), float(z)) for z in range(6, 25)]
    rs = tmp_path / "rs.dcm"
    rs.write_bytes(rtstruct({3: ("sphere", planes)}))
    dvh = loam.compute_dvh(str(rs), str(dose), 3, 4)
    # Planes 1 mm apart over z = 6..24 stand for slabs 5.5..24.5: a sphere of radius 10 sampled so.
    assert dvh.covered_volume_cm3 == pytest.approx(4 / 3 * math.pi * 1.0, rel=0.03)
    assert dvh.min_gy == dvh.max_gy == pytest.approx(2.0) and dvh.mean_gy == pytest.approx(2.0)
    assert dvh.volume_at_dose(2.0) == pytest.approx(dvh.covered_volume_cm3)
    assert dvh.volume_at_dose(2.01) == 0 and dvh.volume_at_dose(-1) == dvh.covered_volume_cm3
    assert len(dvh.counts) == 201


def test_partial_coverage_is_reported(tmp_path):
    gy = np.full((4, 10, 10), 1.0)  # x, y 0..22.5 mm, z 0..7.5
    dose = tmp_path / "dose.dcm"
    dose.write_bytes(rtdose(gy, (0.0, 0.0, 0.0)))
    rs = tmp_path / "rs.dcm"
    rs.write_bytes(rtstruct({1: ("half", [square(12.0, 32.0, 5.0, 15.0, z) for z in (2.0, 4.0, 6.0)])}))
    dvh = loam.compute_dvh(str(rs), str(dose), "half", 4)
    assert 0 < dvh.covered_volume_cm3 < dvh.total_volume_cm3
    assert dvh.uncovered_volume_cm3 == pytest.approx(dvh.total_volume_cm3 - dvh.covered_volume_cm3)
    assert dvh.notes.startswith("the dose grid covers ")
    assert dvh.volume_cm3 == dvh.covered_volume_cm3
    assert loam.compute_dvh(str(rs), str(dose), "half", 4, full_volume=True).volume_cm3 == dvh.total_volume_cm3
    with pytest.raises(RuntimeError, match=r"^compute_dvh: no ROI 'liver' in the structure set \(ROIs: 'half'\)$"):
        loam.compute_dvh(str(rs), str(dose), "liver")


def test_readers(gradient_case):
    rs, rd = gradient_case
    rois = loam.read_rtstruct(rs)
    assert [(r["number"], r["name"], len(r["contours"])) for r in rois] == [(1, "cube", 10), (7, "ball", 19)]
    assert rois[0]["contours"][0].shape == (4, 3)
    gy, meta = loam.read_rtdose(rd)
    assert gy.shape == (12, 20, 20) and meta["dose_units"] == "GY"
    assert gy[0, 0, 4] == pytest.approx(1.0, abs=1e-4) and meta["grid_frame_offsets"][1] == 2.5
    assert loam.dose_at(rd, np.array([[11.25, 5.0, 3.0], [0, 0, -10.0]])).tolist()[0] == pytest.approx(1.125, abs=1e-4)
    assert math.isnan(loam.dose_at(rd, np.array([0.0, 0.0, -10.0]))[0])


@pytest.fixture()
def curve(gradient_case):
    rs, rd = gradient_case
    return loam.compute_dvh(rs, rd, "cube", 3)


@pytest.mark.parametrize("a, b", [("D95", "D95%"), ("D2cc", "D2cm3"), ("V2000cGy", "V20Gy"), ("D.5cc", "D0.5cc")])
def test_statistic_name_forms(curve, a, b):
    assert curve.statistic(a) == curve.statistic(b) or (math.isnan(curve.statistic(a)) and math.isnan(curve.statistic(b)))


def test_statistic_values_and_errors(curve):
    assert curve.statistic("Dmax") == curve.max_gy and curve.statistic("Dmin") == curve.min_gy
    assert curve.statistic("Dmean") == curve.mean_gy
    assert curve.statistic("V100%", 2.0) == curve.volume_at_dose(2.0)
    assert curve.volume_at_dose(curve.min_gy) == curve.covered_volume_cm3
    assert math.isnan(curve.dose_at_volume_cm3(curve.covered_volume_cm3 * 1.01))
    assert curve.dose_at_volume_cm3(0) == curve.max_gy and math.isnan(curve.dose_at_volume_fraction(1.5))
    want = r" \(want D95, D95%, D2cc, D0\.5cm3, V20Gy, V2000cGy, V100%, Dmax, Dmin or Dmean\)$"
    for name, reason in [("D", "is not a dose/volume constraint"), ("dmax", "is not a dose/volume constraint"),
                         ("Dcc", "has no number"), ("D1.2.3", "has an unreadable number")]:
        with pytest.raises(RuntimeError, match=f"^'{re_escape(name)}' {reason}{want}"):
            curve.statistic(name)
    with pytest.raises(RuntimeError, match="^'D2mm': a D\\(V\\) volume is '%', 'cc' or 'cm3', not 'mm'$"):
        curve.statistic("D2mm")
    with pytest.raises(RuntimeError, match="^'V20mGy': a V\\(D\\) dose is 'Gy', 'cGy' or '%', not 'mGy'$"):
        curve.statistic("V20mGy")
    with pytest.raises(RuntimeError, match="^'V100%' is a per-cent of the prescription, which was not given; a "
                                           "per-cent of nothing is not zero$"):
        curve.statistic("V100%")


def re_escape(s: str) -> str:
    import re
    return re.escape(s)


def test_binning_rule(tmp_path):
    # 100 x 0.29 is 28.999999999999996, within 2^-22 relative of 29: bin 29, so a uniform 0.29 Gy
    # fills bin 29 and V(0.29 Gy) is the whole volume.
    assert math.floor(100 * 0.29) == 28
    dose = tmp_path / "d.dcm"
    dose.write_bytes(rtdose(np.full((4, 8, 8), 0.29), (0.0, 0.0, 0.0), scaling=0.29 / 1000))
    rs = tmp_path / "rs.dcm"
    rs.write_bytes(rtstruct({1: ("box", [square(4.0, 12.0, 4.0, 12.0, z) for z in (2.0, 4.0)])}))
    dvh = loam.compute_dvh(str(rs), str(dose), 1, 2)
    assert len(dvh.counts) == 30 and dvh.counts[29] > 0
    assert dvh.volume_at_dose(0.29) == dvh.covered_volume_cm3


def test_agrees_with_dicompyler_core(tmp_path):
    """dicompyler-core (pixel-centre sampling on the dose grid, dose planes interpolated at the
    contour planes) on a dose gradient along z, where in-plane sampling does not move the doses:
    mean, minimum and maximum agree within 1 % of a 3 Gy prescription."""
    pytest.importorskip("dicompylercore")
    import pydicom.dicomio
    if not hasattr(pydicom.dicomio, "read_file"):  # dicompyler-core 0.5 still calls pydicom 2's name
        pydicom.dicomio.read_file = pydicom.dcmread
    from dicompylercore import dvhcalc
    z = np.arange(12) * 2.5
    gy = np.broadcast_to((1 + z / 10)[:, None, None], (12, 20, 20)).copy()
    (tmp_path / "rd.dcm").write_bytes(rtdose(gy, (0.0, 0.0, 0.0)))
    cube = [square(10.0, 30.0, 10.0, 30.0, float(v)) for v in range(1, 20, 2)]
    ball = [circle(25.0, 25.0, math.sqrt(100 - (v - 15) ** 2), float(v)) for v in range(6, 25)]
    (tmp_path / "rs.dcm").write_bytes(rtstruct({1: ("cube", cube), 2: ("ball", ball)}))
    for roi in (1, 2):
        ref = dvhcalc.get_dvh(str(tmp_path / "rs.dcm"), str(tmp_path / "rd.dcm"), roi)
        ours = loam.compute_dvh(str(tmp_path / "rs.dcm"), str(tmp_path / "rd.dcm"), roi, 3)
        for a, b in ((ours.mean_gy, ref.mean), (ours.min_gy, ref.min), (ours.max_gy, ref.max)):
            assert abs(a - b) <= 0.03
        # Volumes: dicompyler counts whole 2.5 mm pixels whose centres fall inside a contour.
        assert ours.total_volume_cm3 == pytest.approx(ref.volume, rel=0.15)


def test_python_wrapper_and_cli(gradient_case, capsys, tmp_path):
    import loam.cli as cli
    from loam.rt import DVH
    rs, rd = gradient_case
    dvh = DVH.compute(rs, rd, "cube", 5)
    assert dvh.statistic("D95") == loam.compute_dvh(rs, rd, "cube", 5).statistic("D95")
    assert dvh.statistics(["Dmax", "V2Gy"]) == {"Dmax": dvh.max_gy, "V2Gy": dvh.volume_at_dose(2.0)}
    assert "cube" in repr(dvh)
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    ax = dvh.plot()
    assert ax.get_ylabel() == "Volume (%)"
    assert cli.main(["dvh", rs, rd, "--roi", "cube", "--stat", "D95", "--stat", "V20mGy", "--samples", "5"]) == 2
    out = capsys.readouterr()
    assert out.out.startswith("ROI cube: ") and "D95" in out.out and "not 'mGy'" in out.err
    assert cli.main(["dvh", rs, rd, "--roi", "1", "--stat", "V100%", "--rx", "2"]) == 0
    assert cli.main(["dvh", rs, rd, "--roi", "nothing"]) == 1
    capsys.readouterr()
    assert cli.main(["dvh", rs, rd, "--roi", "cube", "--stat", "D95", "--stat", "V2Gy", "--samples", "5", "--json"]) == 0
    report = json.loads(capsys.readouterr().out)
    curve = loam.compute_dvh(rs, rd, "cube", 5)
    assert report["roi"] == "cube" and report["max_gy"] == curve.max_gy
    assert report["statistics"] == {"D95": {"value": curve.statistic("D95"), "unit": "Gy"},
                                    "V2Gy": {"value": curve.statistic("V2Gy"), "unit": "cm3"}}
