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


# --- tracking -----------------------------------------------------------------------------------

def dipy_eudx(directions_xyz, fa_xyz, seeds, step, max_angle):
    """DIPY's LocalTracking with its peaks (EuDX) direction getter on exactly these directions: a
    sphere whose vertices are the voxels' directions, each voxel's one peak pointing at its own."""
    from dipy.core.sphere import Sphere
    from dipy.direction.peaks import PeaksAndMetrics
    from dipy.tracking.local_tracking import LocalTracking
    from dipy.tracking.stopping_criterion import ThresholdStoppingCriterion
    from dipy.tracking.streamline import Streamlines

    pam = PeaksAndMetrics()
    pam.sphere = Sphere(xyz=directions_xyz.reshape(-1, 3))
    pam.peak_dirs = directions_xyz[..., None, :]
    pam.peak_values = fa_xyz[..., None]
    pam.peak_indices = np.arange(fa_xyz.size).reshape(fa_xyz.shape + (1,))
    pam.qa_thr, pam.ang_thr, pam.total_weight = 0.0, max_angle, 0.5
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        tracking = LocalTracking(pam, ThresholdStoppingCriterion(fa_xyz, 0.1), seeds, np.eye(4), step_size=step)
        return list(Streamlines(tracking))


def halves(line, seed):
    i = int(np.argmin(np.linalg.norm(line - seed, axis=1)))
    return line[i::-1], line[i:]


def test_tracking_a_circular_field_as_dipy_does():
    nx, ny, nz = 40, 40, 10
    x, y, _ = np.meshgrid(np.arange(nx), np.arange(ny), np.arange(nz), indexing="ij")
    r = np.hypot(x - 19.5, y - 19.5)
    d = np.stack([-(y - 19.5), x - 19.5, np.zeros_like(r)], -1) / np.maximum(r, 1e-9)[..., None]
    fa = np.where((r > 6) & (r < 16), 0.7, 0.05)
    seeds = np.array([[29.5, 19.5, 5.0], [19.5, 27.8, 4.2], [12.3, 14.1, 3.3], [2.0, 2.0, 2.0]])
    theirs = dipy_eudx(d, fa, seeds, 0.5, 60)
    ours = loam.dti_track(np.ascontiguousarray(d.transpose(2, 1, 0, 3), dtype=np.float32),
                          np.ascontiguousarray(fa.transpose(2, 1, 0), dtype=np.float32), seeds, min_length=0)
    assert len(ours) == len(theirs) == 4
    for a, b in zip(theirs, ours):
        assert a.shape == b.shape and np.abs(a - b).max() < 1e-5
    assert len(ours[0]) == 1001  # 500 steps each way: DIPY's maximum
    assert len(loam.dti_track(np.ascontiguousarray(d.transpose(2, 1, 0, 3), dtype=np.float32),
                              np.ascontiguousarray(fa.transpose(2, 1, 0), dtype=np.float32), seeds)) == 3  # min 2 mm


@pytest.mark.parametrize("name", BUNDLED)
@pytest.mark.parametrize("max_angle, step", [(60, 0.5), (30, 0.2), (45, 1.0)])
def test_tracking_bundled_data_within_one_step_of_dipy(name, max_angle, step):
    data, bvals, bvecs = bundled(name)
    maps = loam.dti_fit_maps(np.ascontiguousarray(data.transpose(3, 2, 1, 0), dtype=np.float32), bvals, bvecs)
    d_xyz = np.ascontiguousarray(maps["evecs"][..., :, 0].transpose(2, 1, 0, 3)).astype(np.float64)
    fa_xyz = maps["fa"].transpose(2, 1, 0).astype(np.float64)
    rng = np.random.default_rng(0)
    seeds = np.argwhere(fa_xyz > 0.2) + rng.uniform(-0.4, 0.4, (int((fa_xyz > 0.2).sum()), 3))
    theirs = dipy_eudx(d_xyz, fa_xyz, seeds, step, max_angle)
    ours = loam.dti_track(maps["evecs"], maps["fa"], seeds, step_size=step, max_angle=max_angle, min_length=0)
    assert len(ours) == len(theirs) == len(seeds)
    exact = 0
    for a, b, seed in zip(theirs, ours, seeds):
        same = a.shape == b.shape and np.abs(a - b).max() < 1e-4
        exact += same
        for ha, hb in zip(halves(a, seed), halves(b, seed)):
            n = min(len(ha), len(hb))
            assert np.linalg.norm(ha[:n] - hb[:n], axis=1).max() <= step and abs(len(ha) - len(hb)) <= 1
    assert exact >= 0.98 * len(seeds)


def test_tracking_in_patient_space_and_with_a_stop_mask():
    nz, ny, nx = 6, 8, 30
    directions = np.zeros((nz, ny, nx, 3), np.float32)
    directions[..., 0] = 1  # along x
    fa = np.full((nz, ny, nx), 0.6, np.float32)
    affine = np.array([[2.0, 0, 0, -10], [0, 2.0, 0, 5], [0, 0, 3.0, 7], [0, 0, 0, 1]])
    seeds = np.array([[10.0, 4.0, 3.0]])
    voxel = loam.dti_track(directions, fa, seeds, step_size=1.0, affine=affine)[0]
    patient = loam.dti_track(directions, fa, seeds, step_size=1.0, affine=affine, space="patient")[0]
    assert np.allclose(patient, voxel @ affine[:3, :3].T + affine[:3, 3])
    # Steps of 1 mm along 2 mm voxels; the ends are DIPY's: half a voxel beyond the first centre (still
    # inside the volume), and the last centre (the next step would leave it).
    assert np.allclose(np.diff(patient[:, 0]), 1.0) and voxel[0, 0] == -0.5 and voxel[-1, 0] == 29
    stop = np.ones((nz, ny, nx), np.uint8)
    stop[:, :, 15:] = 0
    stopped = loam.dti_track(directions, fa, seeds, step_size=1.0, stop_mask=stop)[0]
    assert stopped[-1, 0] == 15  # the first point outside the mask ends it, and is kept
    with pytest.raises(ValueError, match="need the affine"):
        loam.dti_track(directions, fa, seeds, space="patient")
    with pytest.raises(ValueError, match=r"seeds must be \(N, 3\)"):
        loam.dti_track(directions, fa, np.zeros((2, 2)))
    with pytest.raises(ValueError, match="same voxels"):
        loam.dti_track(directions[:, :4], fa, seeds)


def test_bad_numbers_are_refused_or_left_out():
    values, vectors = loam.dti_eigen(np.array([[np.nan, 0, 1, 0, 0, 1], [1e-3, 0, 1e-3, 0, 0, 1e-3]]))
    assert np.isnan(values[0]).all() and (vectors[0] == 0).all() and np.allclose(values[1], 1e-3)
    with pytest.raises(ValueError, match="not finite"):
        loam.dti_head_mask(np.full((4, 4, 4), np.nan))
    directions = np.zeros((3, 3, 3, 3), np.float32)
    directions[..., 0] = 1
    fa = np.full((3, 3, 3), 0.5, np.float32)
    assert loam.dti_track(directions, fa, np.array([[np.nan, 1, 1], [1e300, 1, 1]]), min_length=0) == []
    with pytest.raises(ValueError, match="2,000,000 steps"):
        loam.dti_track(directions, fa, np.ones((1, 3)), step_size=1e-6, max_length=1e3)
    dwi = np.full((7, 2, 2, 2), 100.0, np.float32)
    dwi[:, 0, 0, 0] = np.nan
    bvals = np.r_[0, [1000.0] * 6]
    bvecs = np.r_[[[0, 0, 0]], [[1, 0, 0], [0, 1, 0], [0, 0, 1], [0.7071, 0.7071, 0], [0.7071, 0, 0.7071], [0, 0.7071, 0.7071]]]
    maps = loam.dti_fit_maps(dwi, bvals, bvecs)
    assert maps["fitted"] == 7 and maps["fa"][0, 0, 0] == 0
