"""Reorientation against nibabel: the codes nibabel reads off the new affine, nibabel's own
reordering of the same array, and every voxel's patient position. Our affines are LPS; nibabel's
RAS affine is the same with its first two rows negated."""

from __future__ import annotations

import itertools

import numpy as np
import pytest

import loam

nib = pytest.importorskip("nibabel")
from nibabel.orientations import apply_orientation, axcodes2ornt, io_orientation, ornt_transform  # noqa: E402


def rotation(rng) -> np.ndarray:
    """A proper rotation within 30 degrees of an axis-aligned one, with random axis order and signs."""
    q, _ = np.linalg.qr(np.eye(3) + rng.normal(0, 0.15, (3, 3)))
    permutation = np.eye(3)[rng.permutation(3)] * rng.choice([-1, 1], 3)
    return permutation @ q


def lps_affine(rng) -> list[float]:
    m = np.eye(4)
    m[:3, :3] = rotation(rng) * rng.uniform(0.4, 3.0, 3)
    m[:3, 3] = rng.uniform(-100, 100, 3)
    return m.T.reshape(-1).tolist()  # column-major


def to_ras(affine: list[float]) -> np.ndarray:
    m = np.array(affine).reshape(4, 4).T
    return np.diag([-1, -1, 1, 1]) @ m


CODES = ["".join(p) for p in itertools.product("RL", "AP", "SI")]
CODES += ["".join(c) for c in itertools.permutations("RAS") if "".join(c) != "RAS"] + ["PIL", "sar"]


@pytest.mark.parametrize("seed", range(6))
def test_reorient_is_nibabels(seed):
    rng = np.random.default_rng(seed)
    volume = (np.arange(3 * 4 * 5) + 1).reshape(3, 4, 5).astype(np.int32)  # [z, y, x]
    affine = lps_affine(rng)
    for codes in CODES:
        out, meta = loam.transform_reorient(volume, affine, codes)
        new_ras = to_ras(meta["affine"])
        assert "".join(nib.aff2axcodes(new_ras)) == codes.upper()
        transform = ornt_transform(io_orientation(to_ras(affine)), axcodes2ornt(codes.upper()))
        expected_xyz = apply_orientation(volume.transpose(2, 1, 0), transform)
        assert np.array_equal(out.transpose(2, 1, 0), expected_xyz), codes
        # Every voxel keeps its patient position.
        before, after = np.array(affine).reshape(4, 4).T, np.array(meta["affine"]).reshape(4, 4).T
        zyx = np.indices(out.shape).reshape(3, -1)
        src = np.array(np.unravel_index(out.reshape(-1) - 1, volume.shape))
        ones = np.ones(zyx.shape[1])
        assert np.allclose(after @ np.vstack([zyx[2], zyx[1], zyx[0], ones]),
                           before @ np.vstack([src[2], src[1], src[0], ones]))


def test_reorient_of_a_dicom_axial_series_to_ras():
    # DICOM axial: x towards the patient's left, y posterior, z superior (LPS): RAS flips x and y.
    volume = np.arange(2 * 3 * 4).reshape(2, 3, 4)
    affine = [0.7, 0, 0, 0, 0, 0.7, 0, 0, 0, 0, 2.5, 0, -100, -120, 50, 1]
    out, meta = loam.transform_reorient(volume, affine, "RAS")
    assert np.array_equal(out, volume[:, ::-1, ::-1])
    assert meta["affine"][0] == -0.7 and meta["affine"][5] == -0.7 and meta["affine"][10] == 2.5


@pytest.mark.parametrize("codes", ["RA", "RRS", "XYZ", "RASS"])
def test_reorient_refuses_bad_codes(codes):
    with pytest.raises(ValueError, match="axcodes must be three letters"):
        loam.transform_reorient(np.zeros((2, 2, 2)), [1.0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1], codes)
