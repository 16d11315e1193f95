"""Diffusion tensor fits, eigen-decomposition and brain masks against DIPY (a test requirement):
its bundled small data sets and signals simulated with dipy.sims.voxel."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

import loam

dipy = pytest.importorskip("dipy")
nib = pytest.importorskip("nibabel")
from dipy.core.gradients import gradient_table  # noqa: E402
from dipy.data import get_fnames  # noqa: E402
from dipy.io.gradients import read_bvals_bvecs  # noqa: E402
import dipy.reconst.dti as dipy_dti  # noqa: E402

BUNDLED = ["small_64D", "small_101D", "small_25"]


def bundled(name: str):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        f, fbval, fbvec = get_fnames(name=name)
        bvals, bvecs = read_bvals_bvecs(str(fbval), str(fbvec))
        return nib.load(f).get_fdata(), bvals, bvecs


def ours_of(data: np.ndarray, bvals, bvecs, method: str = "wls") -> dict:
    """Our maps for DIPY's (x, y, z, volumes) data, brought back to its axis order."""
    maps = loam.dti_fit_maps(np.ascontiguousarray(data.transpose(3, 2, 1, 0), dtype=np.float32), bvals, bvecs,
                             method=method)
    return {k: (v.transpose(2, 1, 0, *range(3, v.ndim)) if isinstance(v, np.ndarray) else v) for k, v in maps.items()}


def theirs_of(data: np.ndarray, bvals, bvecs, method: str = "WLS"):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        gtab = gradient_table(bvals, bvecs=bvecs)
        return dipy_dti.TensorModel(gtab, fit_method=method, return_S0_hat=True).fit(
            data.astype(np.float32).astype(np.float64))


def close(a, b, tol):
    return np.abs(a - b).max() <= tol * max(np.abs(b).max(), 1e-12)


@pytest.mark.parametrize("name", BUNDLED)
@pytest.mark.parametrize("method", ["wls", "ols"])
def test_bundled_data_as_dipy_fits_it(name, method):
    data, bvals, bvecs = bundled(name)
    ours, theirs = ours_of(data, bvals, bvecs, method), theirs_of(data, bvals, bvecs, method.upper())
    assert ours["fitted"] == data[..., 0].size
    assert np.abs(ours["fa"] - theirs.fa).max() < 1e-4
    for key, value in [("md", theirs.md), ("ad", theirs.ad), ("rd", theirs.rd), ("tensor", theirs.lower_triangular()),
                       ("evals", theirs.evals), ("s0", theirs.S0_hat)]:
        assert close(ours[key], value, 1e-4), key
    assert np.abs(ours["color_fa"] - theirs.color_fa).max() < 1e-4
    # Eigenvectors up to sign, where their eigenvalue stands apart; mode where the tensor is not
    # isotropic (DIPY's mode of a tensor clipped to three equal eigenvalues is rounding noise).
    ev = theirs.evals
    apart = (ev[..., 0] - ev[..., 1]) > 1e-3 * ev[..., 0]
    dots = np.abs(np.sum(ours["evecs"][..., :, 0] * theirs.evecs[..., :, 0], axis=-1))
    assert apart.sum() > 10 and dots[apart].min() > 1 - 1e-5
    anisotropic = (ev[..., 0] - ev[..., 2]) > 1e-3 * ev[..., 0]
    assert np.abs(ours["mode"] - theirs.mode)[anisotropic].max() < 1e-3
    assert (ours["mode"][~anisotropic] == 0).all()


@pytest.mark.parametrize("name", BUNDLED)
def test_nonlinear_fit_is_near_dipy(name):
    data, bvals, bvecs = bundled(name)
    ours, theirs = ours_of(data, bvals, bvecs, "nlls"), theirs_of(data, bvals, bvecs, "NLLS")
    assert np.abs(ours["fa"] - theirs.fa).max() < 1e-3 and close(ours["md"], theirs.md, 1e-3)


def simulated_gtab():
    rng = np.random.default_rng(5)
    dirs = rng.normal(size=(60, 3))
    dirs /= np.linalg.norm(dirs, axis=1)[:, None]
    bvals = np.r_[0, 0, np.full(30, 1000.0), np.full(30, 2000.0)]
    bvecs = np.r_[np.zeros((2, 3)), dirs]
    return bvals, bvecs


def test_simulated_single_and_crossing_tensors():
    from dipy.sims.voxel import multi_tensor, single_tensor

    bvals, bvecs = simulated_gtab()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        gtab = gradient_table(bvals, bvecs=bvecs)
    evals = np.array([1.7e-3, 0.3e-3, 0.2e-3])
    angle = np.deg2rad(35)
    rotation = np.array([[np.cos(angle), -np.sin(angle), 0], [np.sin(angle), np.cos(angle), 0], [0, 0, 1]])
    voxels = [single_tensor(gtab, S0=100, evals=evals, evecs=rotation),
              single_tensor(gtab, S0=250, evals=np.array([0.9e-3, 0.9e-3, 0.9e-3])),
              multi_tensor(gtab, np.array([evals, evals]), S0=100, angles=[(90, 0), (90, 70)], fractions=[60, 40])[0],
              single_tensor(gtab, S0=100, evals=evals, evecs=rotation, snr=30, rng=np.random.default_rng(1))]
    data = np.stack(voxels).reshape(2, 2, 1, -1)
    for method in ("WLS", "OLS"):
        ours, theirs = ours_of(data, bvals, bvecs, method.lower()), theirs_of(data, bvals, bvecs, method)
        assert np.abs(ours["fa"] - theirs.fa).max() < 1e-4 and close(ours["md"], theirs.md, 1e-4)
    # The noise-free single tensor comes back: its eigenvalues, FA and principal direction.
    single = ours_of(data, bvals, bvecs)
    assert np.allclose(single["evals"][0, 0, 0], evals, rtol=1e-4)
    l1, l2, l3 = evals
    fa = np.sqrt(0.5 * ((l1 - l2) ** 2 + (l2 - l3) ** 2 + (l3 - l1) ** 2) / (l1 * l1 + l2 * l2 + l3 * l3))
    assert single["fa"][0, 0, 0] == pytest.approx(fa, abs=1e-5)
    assert abs(single["evecs"][0, 0, 0, :, 0] @ rotation[:, 0]) == pytest.approx(1, abs=1e-6)
    assert single["fa"][0, 1, 0] == pytest.approx(0, abs=1e-5) and single["s0"][0, 1, 0] == pytest.approx(250, rel=1e-4)


def test_eigen_decomposition_matches_numpy():
    rng = np.random.default_rng(11)
    a = rng.normal(size=(200, 3, 3))
    sym = a @ a.transpose(0, 2, 1) * 1e-3
    sym[:20] -= 2e-3 * np.eye(3)  # some negative eigenvalues, clipped
    lower = np.stack([sym[:, 0, 0], sym[:, 0, 1], sym[:, 1, 1], sym[:, 0, 2], sym[:, 1, 2], sym[:, 2, 2]], axis=-1)
    values, vectors = loam.dti_eigen(lower.reshape(10, 20, 6))
    assert values.shape == (10, 20, 3) and vectors.shape == (10, 20, 3, 3)
    w, v = np.linalg.eigh(sym)
    w, v = w[:, ::-1], v[:, :, ::-1]
    assert np.allclose(values.reshape(-1, 3), np.clip(w, 0, None), atol=1e-14)
    dots = np.abs(np.einsum("nik,nik->nk", vectors.reshape(-1, 3, 3), v))
    assert np.allclose(dots, 1, atol=1e-9)
    kept, _ = loam.dti_eigen(lower, min_diffusivity=-1.0)
    assert np.allclose(kept, w, atol=1e-14)


@pytest.mark.parametrize("name", BUNDLED)
@pytest.mark.parametrize("radius, passes, mean", [(4, 4, False), (2, 1, True)])
def test_head_mask_equals_median_otsu(name, radius, passes, mean):
    from dipy.segment.mask import median_otsu

    data, _, _ = bundled(name)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if mean:
            volume = data.mean(axis=3)
            _, theirs = median_otsu(data, vol_idx=range(data.shape[3]), median_radius=radius, numpass=passes)
        else:
            volume = np.ascontiguousarray(data[..., 0])
            _, theirs = median_otsu(volume.copy(), median_radius=radius, numpass=passes)
    ours = loam.dti_head_mask(np.ascontiguousarray(volume.transpose(2, 1, 0)), radius, passes)
    assert ours.dtype == np.uint8 and (ours.transpose(2, 1, 0).astype(bool) == theirs).all()


def test_mask_and_refusals():
    data, bvals, bvecs = bundled("small_25")
    dwi = np.ascontiguousarray(data.transpose(3, 2, 1, 0), dtype=np.float32)
    mask = np.zeros(dwi.shape[1:], np.uint8)
    mask[0, 2:5, 3:6] = 1
    maps = loam.dti_fit_maps(dwi, bvals, bvecs, mask=mask)
    assert maps["fitted"] == 9 and (maps["fa"][mask == 0] == 0).all() and (maps["fa"][mask == 1] > 0).all()
    with pytest.raises(ValueError, match="method"):
        loam.dti_fit_maps(dwi, bvals, bvecs, method="lsq")
    with pytest.raises(ValueError, match="one value a volume"):
        loam.dti_fit_maps(dwi, bvals[:-1], bvecs)
    few = np.r_[[[0, 0, 0]], np.eye(3), np.eye(3)]
    with pytest.raises(ValueError, match="cannot determine a tensor"):
        loam.dti_fit_maps(dwi[:7], np.r_[0, [1000.0] * 6], few)
