"""`loam convert` on real scanner series (GE, NIH GE/Siemens, Philips, Siemens XA30) against
dcm2niix's reference outputs: geometry, voxel values, diffusion tables and sidecar values.

Both images are compared in RAS orientation (nibabel's as_closest_canonical), so the row order
dcm2niix flips and ours keeps do not matter. Where a reference NIfTI is absent, Debian's dcm2niix
is run on the same folder; its .bval/.bvec/.json stay the reference's.

Philips images: we write Philips' floating-point values (stored / scale slope), as the references
do (UsePhilipsFloatNotDisplayScaling). Slice times: we report the times the files record; the
references differ from them by up to one 2.5 ms step where dcm2niix rounds or picks another
volume's times (one NIH mosaic), so they are compared within 2.5 ms.
"""

from __future__ import annotations

import glob
import json
import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

from loam import cli

nib = pytest.importorskip("nibabel")

QA = Path(__file__).resolve().parent.parent.parent / "shared" / "realdata" / "dcm2niix-qa"
MM = 0.01


def series_folders() -> list[Path]:
    if not QA.is_dir():
        return []
    return sorted((Path(top) for top, dirs, files in os.walk(QA)
                   if not dirs and Path(top).relative_to(QA).parts[1:2] == ("In",)
                   and any(not f.startswith("README") for f in files)), key=str)


def read_json(path: Path) -> dict:
    return json.loads(path.read_text(encoding="utf-8")) if path.exists() else {}


def identity(side: dict) -> tuple:
    return side.get("SeriesNumber"), side.get("SeriesDescription")


def references(folder: Path, ours: list[Path], tmp: Path) -> list[tuple[Path, Path]]:
    """(reference NIfTI, stem of its .json/.bval/.bvec) for each of our outputs, in our order."""
    ref_dir = QA / folder.relative_to(QA).parts[0] / "Ref"
    sidecars = {p: read_json(p) for p in sorted(ref_dir.glob("*.json"))}
    pairs = []
    for nii in ours:
        side = read_json(nii.with_name(nii.name.replace(".nii", ".json")))
        candidates = [p for p, s in sidecars.items() if identity(s) == identity(side)]
        if len(candidates) > 1:  # echoes of one series: the echo time tells them apart
            candidates = [p for p in candidates if np.isclose(sidecars[p].get("EchoTime", 0), side["EchoTime"])]
        assert len(candidates) == 1, f"{nii.name}: no single reference among {[p.name for p in sidecars]}"
        stem = candidates[0].with_suffix("")
        image = stem.with_suffix(".nii")
        if not image.exists():
            image = live_dcm2niix(folder, tmp)
        pairs.append((image, stem))
    return pairs


def live_dcm2niix(folder: Path, tmp: Path) -> Path:
    exe = shutil.which("dcm2niix")
    if exe is None:
        pytest.skip("dcm2niix (Debian package) is needed where a reference NIfTI is absent")
    out = tmp / "dcm2niix"
    out.mkdir(exist_ok=True)
    subprocess.run([exe, "-z", "n", "-f", "%s", "-o", str(out), str(folder)], check=True, capture_output=True)
    # Files without a sidecar are by-products (Philips' trace volume kept apart).
    found = [p for p in out.glob("*.nii") if p.with_suffix(".json").exists()]
    assert len(found) == 1, found
    return found[0]


def data4(img) -> np.ndarray:
    """Scaled voxel values as (x, y, z, volume); RGB samples count as volumes."""
    if img.get_data_dtype().names:
        rgb = np.asanyarray(img.dataobj)
        return np.stack([rgb[c] for c in rgb.dtype.names], axis=-1).reshape(img.shape[:3] + (-1,)).astype(float)
    return img.get_fdata(dtype=np.float64).reshape(img.shape[:3] + (-1,))


def corners(shape) -> np.ndarray:
    return np.array([[i, j, k, 1] for i in (0, shape[0] - 1) for j in (0, shape[1] - 1)
                     for k in (0, shape[2] - 1)], float).T


def world_bvecs(stem: Path, affine) -> np.ndarray:
    v = np.loadtxt(str(stem) + ".bvec", ndmin=2).astype(float)
    m = np.asarray(affine, float)[:3, :3]
    if np.linalg.det(m) > 0:  # FSL: x negated for images that keep handedness
        v[0] = -v[0]
    return (m / np.linalg.norm(m, axis=0)) @ v


def canonical_sidecar(side: dict, affine) -> dict:
    """PhaseEncodingDirection and SliceTiming on RAS-reoriented axes; ImageType without the complex
    component newer dcm2niix appends."""
    s, ornt = dict(side), nib.io_orientation(affine)
    pe = s.get("PhaseEncodingDirection")
    if pe:
        axis, flip = ornt["ijk".index(pe[0])]
        flip *= -1 if pe.endswith("-") else 1
        s["PhaseEncodingDirection"] = "ijk"[int(axis)] + ("-" if flip < 0 else "")
    if "SliceTiming" in s and ornt[2][1] < 0:
        s["SliceTiming"] = s["SliceTiming"][::-1]
    if s.get("ImageType", [None])[-1] in ("MAGNITUDE", "PHASE", "REAL", "IMAGINARY"):
        s["ImageType"] = s["ImageType"][:-1]
    return s


@pytest.mark.parametrize("folder", series_folders(), ids=lambda p: str(p.relative_to(QA)))
def test_convert_agrees_with_dcm2niix(folder, tmp_path, capsys):
    out = tmp_path / "out"
    assert cli.main(["convert", "--no-progress", str(folder), "-o", str(out)]) == 0
    capsys.readouterr()
    ours = sorted(out.glob("*.nii"))
    assert ours
    for nii, (ref_nii, stem) in zip(ours, references(folder, ours, tmp_path)):
        a, b = (nib.as_closest_canonical(nib.load(str(p))) for p in (nii, ref_nii))
        assert a.shape[:3] == b.shape[:3], nii.name
        x, y = data4(a), data4(b)
        assert x.shape == y.shape, f"{nii.name}: {x.shape[3]} volumes vs {y.shape[3]}"
        c = corners(a.shape)
        assert np.abs(a.affine @ c - b.affine @ c).max() <= MM, nii.name
        assert np.abs(x - y).max(initial=0.0) <= 1e-5 * max(1.0, np.abs(y).max(initial=0.0)), nii.name
        mine = Path(str(nii)[: -len(".nii")])
        if Path(str(stem) + ".bval").exists():
            assert np.allclose(np.loadtxt(str(mine) + ".bval"), np.loadtxt(str(stem) + ".bval"), atol=0.5)
            # bvecs follow each image's stored axes, before any reorientation.
            p, q = world_bvecs(mine, nib.load(str(nii)).affine), world_bvecs(stem, nib.load(str(ref_nii)).affine)
            err = np.minimum(np.linalg.norm(p - q, axis=0), np.linalg.norm(p + q, axis=0))
            assert err.max() <= 1e-3, f"{nii.name}: bvec of volume {err.argmax()}"
        ref_side = canonical_sidecar(read_json(Path(str(stem) + ".json")), nib.load(str(ref_nii)).affine)
        my_side = canonical_sidecar(read_json(Path(str(mine) + ".json")), nib.load(str(nii)).affine)
        for key in ("RepetitionTime", "EchoTime", "FlipAngle", "PhaseEncodingDirection", "ImageType"):
            if key in ref_side:
                expected = ref_side[key]
                if isinstance(expected, (int, float)):
                    expected = pytest.approx(expected, rel=1e-4)
                assert key in my_side and my_side[key] == expected, (nii.name, key)
        if "SliceTiming" in ref_side:
            assert np.allclose(my_side["SliceTiming"], ref_side["SliceTiming"], atol=0.0025 + 1e-6), nii.name


def test_realdata_present_or_skipped():
    if not QA.is_dir():
        pytest.skip(f"real scanner series not present at {QA}")
    assert len(series_folders()) >= 21
