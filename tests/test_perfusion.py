"""DSC deconvolution on curves with known residue functions, and the DCE models."""

from __future__ import annotations

import math

import numpy as np
import pytest

import loam

DT = 1.0
T = np.arange(60) * DT


def gamma_variate(t, t0=5.0, a=3.0, b=1.5, peak=10.0):
    s = np.clip(t - t0, 0, None)
    g = s ** a * np.exp(-s / b)
    return peak * g / g.max()


def tissue_curve(aif, cbf, mtt, delay=0):
    """ct = dt * (aif (*) R), R(t) = cbf * exp(-t / mtt) delayed by `delay` samples."""
    residue = cbf * np.exp(-T / mtt)
    residue = np.concatenate([np.zeros(delay), residue[: len(T) - delay]])
    return DT * np.convolve(aif, residue)[: len(T)], residue


AIF = gamma_variate(T)


def bump_residue(cbf, peak, width):
    """A residue rising smoothly to its maximum at `peak` seconds (a dispersed, delayed bolus)."""
    shape = np.exp(-((T - peak) / width) ** 2)
    mtt = DT * (shape.sum() - 0.5 * (shape[0] + shape[-1]))  # area over the peak of 1
    return cbf * shape, mtt


@pytest.mark.parametrize("method", ["ssvd", "csvd", "osvd"])
@pytest.mark.parametrize("cbf, peak, width", [(0.01, 4.0, 4.0), (0.02, 4.0, 6.0), (0.006, 6.0, 4.0),
                                              (0.01, 6.0, 6.0)])
def test_recovers_cbf_mtt_and_tmax(method, cbf, peak, width):
    residue, mtt = bump_residue(cbf, peak, width)
    ct = DT * np.convolve(AIF, residue)[: len(T)]
    r = loam.dsc_deconvolve_curve(ct, AIF, DT, method)
    assert r["ok"]
    assert r["cbf"] == pytest.approx(cbf, rel=0.10)
    assert r["mtt"] == pytest.approx(mtt, rel=0.15)
    assert abs(r["tmax"] - peak) <= DT
    assert r["cbv"] == pytest.approx(np.trapezoid(ct) / np.trapezoid(AIF))


def test_sharp_onset_residues_are_underestimated_as_by_numpy_svd():
    # An exponential residue starts with a step: truncation at the default 20% smooths it, the
    # known bias of sSVD. The same truncated solve with NumPy's SVD gives the same peak.
    ct, residue = tissue_curve(AIF, 0.01, 4.0)
    ours = loam.dsc_deconvolve_curve(ct, AIF, DT, "ssvd")["cbf"]
    a = np.array([[DT * AIF[i - j] if i >= j else 0 for j in range(len(T))] for i in range(len(T))])
    u, s, vt = np.linalg.svd(a)
    keep = s > 0.2 * s[0]
    x = vt.T[:, keep] @ ((u.T @ ct)[keep] / s[keep])
    assert ours == pytest.approx(x.max(), rel=1e-9) and ours < 0.9 * residue.max()
    exact = loam.dsc_deconvolve_curve(ct, AIF, DT, "ssvd", 1e-8)["cbf"]
    assert exact == pytest.approx(0.01, rel=1e-9)


def test_flags_and_method_names():
    ct, _ = tissue_curve(AIF, 0.01, 4.0)
    r = loam.dsc_deconvolve_curve(ct, AIF, DT, "ssvd", 1.0)
    assert (r["ok"], r["quality"], r["frac"], r["cut"]) == (False, 4, 1.0, 1.0)
    peak_first = loam.dsc_deconvolve_curve(ct, AIF, DT, "ssvd")
    assert peak_first["quality"] & 32 and peak_first["tmax"] == 0.0 and peak_first["ok"]
    osvd = loam.dsc_deconvolve_curve(ct, AIF, DT, "osvd")
    for name in ("  OSVD", "\toSvD"):
        assert loam.dsc_deconvolve_curve(ct, AIF, DT, name)["cbf"] == osvd["cbf"]
    for name in ("osvdx", "svd", ""):  # a misspelt method must not silently become oSVD
        with pytest.raises(ValueError, match="method must be one of 'osvd', 'ssvd', 'csvd'"):
            loam.dsc_deconvolve_curve(ct, AIF, DT, name)
    assert loam.dsc_deconvolve_curve(ct, AIF, DT, " SSVD")["cbf"] == peak_first["cbf"]
    bad = ct.copy()
    bad[3] = np.nan
    assert loam.dsc_deconvolve_curve(bad, AIF, DT)["quality"] == 1
    assert loam.dsc_deconvolve_curve(ct, AIF, DT, "osvd", float("nan"))["quality"] == 2
    assert loam.dsc_deconvolve_curve(np.zeros_like(ct), AIF, DT, "ssvd")["quality"] == 8
    # An unreachable oscillation target: the least oscillating candidate, flagged.
    noisy = ct + np.random.default_rng(1).normal(0, 0.02, ct.size)
    assert loam.dsc_deconvolve_curve(noisy, AIF, DT, "osvd", 1e-9)["quality"] & 16
    with pytest.raises(RuntimeError, match="^aif length must equal ct length$"):
        loam.dsc_deconvolve_curve(ct[:10], AIF, DT)
    with pytest.raises(RuntimeError, match=r"^dsc deconvolve failed \(n<2, n>512, or dt<=0\)$"):
        loam.dsc_deconvolve_curve(ct, AIF, 0.0)


def test_curve_utilities():
    te = 0.03
    signal = np.array([100.0, 100, 100, 50, 0, 100])
    conc = loam.dsc_signal_to_conc(signal, 3, te)
    assert conc[3] == pytest.approx(-math.log(0.5) / te) and conc[4] == 13.815510557964274 / te
    for args, message in [((signal[:1], 1, te), "signal must have at least 2 samples"),
                          ((signal, 3, 0.0), "te_s must be > 0"), ((signal, 0, te), "n_baseline must be >= 1"),
                          ((signal, 6, te), r"n_baseline must leave at least one frame outside it \(n_baseline < "
                                            r"len\(signal\)\)"),
                          ((-signal, 3, te), "the pre-contrast S0 is not positive, or a baseline sample is not finite")]:
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            loam.dsc_signal_to_conc(*args)
    assert loam.dsc_cumtrapz(np.array([0.0, 2, 4]), 0.5).tolist() == [0.0, 0.5, 2.0]
    rising = np.arange(20.0) + np.tile([0, 0.1], 10)
    assert loam.dsc_first_pass_end(rising, 4, 0.0) == 20
    base = [1.0, 1.1, 0.9, 1.0, 1.05]
    curve = np.array(base + [5, 9, 6, 3, 2, 2.5, 6, 8])  # peak, a minimum at index 9, then a rise
    assert loam.dsc_first_pass_end(curve, 5, 0.0) == 10
    assert loam.dsc_first_pass_end(curve, 20, 0.0) == -1
    ct, _ = tissue_curve(AIF, 0.01, 4.0)
    same = loam.dsc_leakage_correct(AIF, AIF, DT)
    assert abs(same["k2"]) < 1e-9 and np.allclose(same["corrected"], AIF)
    leaky = ct - 0.002 * loam.dsc_cumtrapz(AIF, DT)
    assert loam.dsc_leakage_correct(leaky, AIF, DT)["k2"] > 0
    assert loam.dsc_cbv(ct, AIF) == pytest.approx(np.trapezoid(ct) / np.trapezoid(AIF))


def test_fit_volume_maps_known_flows():
    te, s0 = 0.03, 500.0
    cbfs = np.array([0.005, 0.01, 0.02])
    z, y, x = 2, 3, 4
    signal = np.empty((len(T), z, y, x), np.float32)
    truth = np.empty((z, y, x))
    for v in range(z * y * x):
        cbf = cbfs[v % 3]
        ct, _ = tissue_curve(AIF, cbf, 4.0)
        signal[:, v // (y * x), (v // x) % y, v % x] = s0 * np.exp(-ct * te)
        truth[v // (y * x), (v // x) % y, v % x] = cbf
    mask = np.ones((z, y, x), np.uint8)
    mask[1, 2, 3] = 0
    maps = loam.dsc_fit_volume(signal, AIF, DT, te, 4, mask)
    inside = mask.astype(bool)
    assert maps["fitted"] == inside.sum()
    assert np.allclose(maps["cbf"][inside], truth[inside], rtol=0.1) and maps["cbf"][1, 2, 3] == 0
    assert maps["ttp"].shape == (z, y, x) and maps["mtt"][inside].min() > 0
    one = loam.dsc_fit_map(signal[:, 0], AIF, DT, te, 4)
    assert np.array_equal(one["cbf"], maps["cbf"][0])


# --- DCE ---------------------------------------------------------------------------------------

TIMES = np.linspace(0, 6, 60001)


@pytest.mark.parametrize("model, peak_time, peak_value, rel", [
    # Parker's population AIF peaks at about 6.0 mM at 0.17 min (10 s); Georgiou's first pass at
    # about 0.11 min; the bi-exponential Fritz-Hansen and Weinmann curves at 0 with the sum of their
    # amplitudes; McGrath's gamma term 4 (t / 0.15)^2 exp(-(t - 0.15) / 0.15) at t = 0.30 min
    # (twice its time constant) with 16/e, plus the slow term.
    ("parker", 0.17, 6.0, 0.02),
    ("georgiou", 0.11, None, None),
    ("fritz_hansen", 0.0, 3.99 + 4.78, 1e-12),
    ("weinmann", 0.0, 0.399 + 0.478, 1e-12),
    ("mcgrath", 0.30, 16 / math.e + 0.5 * math.exp(-0.03), 1e-5),
])
def test_population_aif_peaks(model, peak_time, peak_value, rel):
    aif = loam.dce_population_aif(model, TIMES, 0.0)
    assert TIMES[np.argmax(aif)] == pytest.approx(peak_time, abs=0.01)
    if peak_value is not None:
        assert aif.max() == pytest.approx(peak_value, rel=rel)


def test_population_aif_names_and_haematocrit():
    t = np.array([0.0, 0.15, 1.0, 3.0])
    parker = loam.dce_parker_aif(t, 0.0)
    assert np.array_equal(loam.dce_population_aif("Parker", t, 0.0), parker)
    with pytest.raises(ValueError, match="model must be one of 'parker', 'georgiou'.*; not 'parkr'"):
        loam.dce_population_aif("parkr", t, 0.0)  # a typo must not silently give Parker's curve
    assert np.allclose(loam.dce_parker_aif(t, 0.45), parker / 0.55)
    assert np.array_equal(loam.dce_parker_aif(t, 1.0), parker)
    assert loam.dce_population_aif("mcgrath", t, 0.0)[1] == 4 * math.exp(0) + 0.5 * math.exp(-0.015)
    assert np.array_equal(loam.dce_population_aif("fritz-hansen", t, 0),
                          loam.dce_population_aif("fritz_hansen", t, 0))


def spgr(conc, t10, tr, fa_deg, r1, m0=1000.0):
    e1 = np.exp(-tr * (1 / t10 + r1 * conc))
    a = math.radians(fa_deg)
    return m0 * math.sin(a) * (1 - e1) / (1 - math.cos(a) * e1)


def test_spgr_inversion_round_trip():
    conc = np.concatenate([np.zeros(5), np.linspace(0, 4, 30), np.linspace(4, 1, 25)])
    t10, tr, fa, r1 = 1.4, 0.005, 15.0, 4.5
    back = loam.dce_signal_to_conc(spgr(conc, t10, tr, fa, r1), 5, t10, tr, fa, r1)
    assert np.abs(back - conc).max() < 1e-9
    flat = loam.dce_signal_to_conc(np.full(10, 300.0), 3, t10, tr, fa, r1)
    assert np.abs(flat).max() < 1e-12
    for args, code in [((np.ones(3), 0, t10, tr, fa, r1), 1), ((np.ones(3), 1, 0.0, tr, fa, r1), 2),
                       ((np.zeros(3), 1, t10, tr, fa, r1), 3)]:
        with pytest.raises(RuntimeError, match=rf"^signal_to_conc: invalid input \(code {code}\)$"):
            loam.dce_signal_to_conc(*args)


def test_vfa_t1_recovers_known_t1():
    angles = np.array([2.0, 5, 10, 15, 20])
    tr = 0.005
    t1 = np.array([[0.3, 0.8], [1.5, 3.0]])
    m0 = np.array([[800.0, 1000], [1200, 900]])
    vols = np.stack([spgr(0.0, t1, tr, a, 1.0, m0) for a in angles]).astype(np.float64)
    out = loam.dce_t1_map_vfa(vols.astype(np.float32), angles, tr)
    assert out["fitted"].all()
    # The float32 signals bound the precision of the fit.
    assert np.allclose(out["t1"], t1, rtol=1e-4) and np.allclose(out["m0"], m0, rtol=1e-4)
    exact = loam.dce_t1_map_vfa(vols.astype(np.float32), angles, tr, np.array([1, 0, 1, 1], np.uint8))
    assert exact["fitted"].tolist() == [[1, 0], [1, 1]] and exact["t1"][0, 1] == 0
    with pytest.raises(RuntimeError, match=r"^volumes must be a 3D \[F,H,W\] float32 array$"):
        loam.dce_t1_map_vfa(vols, angles, tr)
    with pytest.raises(RuntimeError, match="^fa_deg length must equal F$"):
        loam.dce_t1_map_vfa(vols.astype(np.float32), angles[:3], tr)
    with pytest.raises(RuntimeError, match=r"^mask size must equal H\*W$"):
        loam.dce_t1_map_vfa(vols.astype(np.float32), angles, tr, np.ones(3, np.uint8))
