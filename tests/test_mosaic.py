"""Mosaic EPI and diffusion series, checked against hand geometry and dcm2niix on the same files."""

from __future__ import annotations

import shutil
import subprocess

import numpy as np
import pytest

import loam
from dicom_bytes import explicit, explicit_sq, item
from volume_series import mosaic_file, slice_file

RNG = np.random.default_rng(11)
LPS_TO_RAS = np.diag([-1.0, -1.0, 1.0, 1.0])
GRADIENTS = [(0, None), (1000, (1.0, 0.0, 0.0)), (1000, (0.0, 0.70710678, 0.70710678)),
             (2000, (0.57735027, -0.57735027, 0.57735027))]


def affine4(meta) -> np.ndarray:
    return np.array(meta["affine"], float).reshape(4, 4).T


def dwi_series(folder, orientation=(1, 0, 0, 0, 1, 0), tiles=5):
    folder.mkdir()
    volumes, paths = [], []
    for i, (b, g) in enumerate(GRADIENTS):
        t = RNG.integers(0, 1000, (tiles, 6, 8)).astype(np.int16)
        path = folder / f"M{i}.dcm"
        path.write_bytes(mosaic_file(t, (-30.0, -40.0, 10.0), orientation=orientation, bvalue=b, gradient=g,
                                     instance=i + 1))
        volumes.append(t)
        paths.append(str(path))
    return paths, volumes


def test_mosaic_tiles_and_geometry(tmp_path):
    paths, volumes = dwi_series(tmp_path / "s")
    array, meta = loam.assemble_volume(paths[:1])
    assert np.array_equal(array, volumes[0].astype(np.float32))
    a = affine4(meta)
    # The 3 x 3 mosaic of 6 x 8 tiles: the first tile's corner is one tile in from the mosaic's on
    # each axis (half of the 2 untiled tiles), at 2 mm pixels.
    assert np.allclose(a[:3, 3], [-30 + 8 * 2.0, -40 + 6 * 2.0, 10.0])
    assert np.allclose(a[:3, :3], np.diag([2.0, 2.0, 3.0]))


def test_slice_normal_from_the_csa_header_orders_tiles(tmp_path):
    tiles = RNG.integers(0, 1000, (4, 6, 8)).astype(np.int16)
    path = tmp_path / "rev.dcm"
    path.write_bytes(mosaic_file(tiles, (0.0, 0.0, 0.0), normal=(0, 0, -1)))  # tiles acquired downwards
    array, meta = loam.assemble_volume([str(path)])
    assert np.array_equal(array, tiles[::-1].astype(np.float32))
    assert np.allclose(affine4(meta)[:3, 2], [0, 0, 3.0]) and affine4(meta)[2, 3] == pytest.approx(-9.0)


def test_united_imaging_vframe_positions(tmp_path):
    tiles = RNG.integers(0, 1000, (4, 6, 8)).astype(np.int16)
    mosaic = np.zeros((12, 16), np.int16)
    for k in range(4):
        r, c = divmod(k, 2)
        mosaic[r * 6:(r + 1) * 6, c * 8:(c + 1) * 8] = tiles[k]
    positions = [(5.0, 6.0, 2.5 * k) for k in range(4)]
    frames = explicit_sq(0x0065, 0x1051, [item(explicit(0x0020, 0x0032, "DS", "\\".join(map(str, p))))
                                         for p in positions])
    extra = {0x00650010: ("LO", "Image Private Header"), 0x00651050: ("DS", "4"), 0x00651051: ("raw", frames)}
    path = tmp_path / "uih.dcm"
    path.write_bytes(slice_file(mosaic, (0, 0, 0), manufacturer="UIH", image_type="ORIGINAL\\PRIMARY\\VFRAME",
                                extra=extra))
    array, meta = loam.assemble_volume([str(path)])
    assert np.array_equal(array, tiles - 1024.0)
    assert np.allclose(affine4(meta)[:3, 3], positions[0]) and np.allclose(affine4(meta)[:3, 2], [0, 0, 2.5])


def test_dwi_gradient_and_acquisition_order(tmp_path):
    paths, volumes = dwi_series(tmp_path / "s")
    stack, meta = loam.assemble_dwi(paths)
    assert list(meta)[:7] == ["volumes", "series_instance_uid", "spacing", "affine", "bvals", "bvecs",
                              "stored_bvecs"]
    assert meta["volume_path"] == [paths[0], paths[2], paths[1], paths[3]] and meta["derived_excluded"] == 0
    # Gradient order: by (b, g x 1000) rounded, so b = 0 first, then (0, 707, 707) before (1000, 0, 0).
    assert meta["bvals"] == [0, 1000, 1000, 2000]
    assert meta["stored_bvecs"][1] == pytest.approx([0, 0.70710678, 0.70710678])
    assert np.array_equal(stack[1], volumes[2].astype(np.float32))
    acq, meta2 = loam.assemble_dwi(paths, order="acquisition")
    assert meta2["bvals"] == [0, 1000, 1000, 2000] and np.array_equal(acq[1], volumes[1].astype(np.float32))
    with pytest.raises(ValueError, match="order must be one of 'gradient', 'acquisition'; not 'Acquisition'"):
        loam.assemble_dwi(paths, order="Acquisition")  # once silently the gradient order
    with pytest.raises(RuntimeError, match=r"^volume::assemble_dwi: no DWI frames \(CSA diffusion\)$"):
        plain = tmp_path / "plain.dcm"
        plain.write_bytes(slice_file(volumes[0][0], (0, 0, 0)))
        loam.assemble_dwi([str(plain)])


def test_dwi_bvecs_follow_the_voxel_axes(tmp_path):
    # Columns along patient y, rows along patient -x: a patient gradient along x is voxel -y.
    paths, _ = dwi_series(tmp_path / "s", orientation=(0, 1, 0, -1, 0, 0))
    _, meta = loam.assemble_dwi(paths, order="acquisition")
    assert meta["bvecs"][0] == [0.0, 0.0, 0.0]
    assert meta["bvecs"][1] == pytest.approx([0.0, -1.0, 0.0])


dcm2niix = shutil.which("dcm2niix")


@pytest.mark.skipif(dcm2niix is None, reason="dcm2niix (Debian package) not installed")
@pytest.mark.parametrize("orientation", [(1, 0, 0, 0, 1, 0), (0, 1, 0, 0, 0, -1),
                                         (0.8660254, 0.5, 0, -0.5, 0.8660254, 0)])
def test_agrees_with_dcm2niix(tmp_path, orientation):
    nib = pytest.importorskip("nibabel")
    paths, _ = dwi_series(tmp_path / "s", orientation=orientation)
    out = tmp_path / "out"
    out.mkdir()
    subprocess.run([dcm2niix, "-z", "n", "-f", "dwi", "-o", str(out), str(tmp_path / "s")], check=True,
                   capture_output=True)
    img = nib.load(str(out / "dwi.nii"))
    theirs = np.asarray(img.dataobj).astype(np.float32)  # (i, j, k, volume)
    stack, meta = loam.assemble_dwi(paths, order="acquisition")
    ours = LPS_TO_RAS @ affine4(meta)
    t = np.linalg.inv(img.affine) @ ours
    assert np.allclose(t, np.round(t), atol=1e-3), t  # dcm2niix stores the affine in single precision
    t = np.round(t).astype(int)
    k, j, i = np.meshgrid(*[np.arange(n) for n in stack.shape[1:]], indexing="ij")
    idx = t @ np.stack([i.ravel(), j.ravel(), k.ravel(), np.ones(i.size, int)])
    for v in range(stack.shape[0]):
        assert np.array_equal(theirs[idx[0], idx[1], idx[2], v].reshape(stack.shape[1:]), stack[v])
    bvals = np.loadtxt(out / "dwi.bval")
    assert np.array_equal(bvals, meta["bvals"])
    # dcm2niix writes bvecs in its own voxel axes, x negated when its affine keeps handedness (FSL).
    expected = (t[:3, :3] @ np.array(meta["bvecs"]).T).T
    if np.linalg.det(img.affine[:3, :3]) > 0:
        expected[:, 0] *= -1
    assert np.allclose(np.loadtxt(out / "dwi.bvec").T, expected + 0.0, atol=1e-4)
