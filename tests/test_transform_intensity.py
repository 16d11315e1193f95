"""Intensity transforms against MONAI's and TorchIO's own answers (tests/data, made by
tools/transform_intensity_goldens.py) and hand-computed values. Float results agree within 1e-5
relative, or 1e-5 of the result's value range near zero (MONAI computes in float32 with torch;
a value computed as t * range + min carries float32 rounding of the range's magnitude);
thresholds and argmax exactly."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

import loam

GOLDEN = Path(__file__).parent / "data" / "transform_intensity_monai.npz"
RTOL = 1e-5


@pytest.fixture(scope="module")
def data():
    if not GOLDEN.is_file():
        pytest.skip(f"{GOLDEN} is missing: run tools/transform_intensity_goldens.py")
    return np.load(GOLDEN)


NAMES = ("volume", "ints", "flat")


def close(got, expected, key):
    assert got.dtype == np.float32 and got.shape == expected.shape, key
    atol = 1e-5 * max(1.0, float(np.ptp(expected)) if expected.size else 1.0)
    np.testing.assert_allclose(got, expected, rtol=RTOL, atol=atol, err_msg=str(key))


@pytest.mark.parametrize("name", NAMES)
def test_normalize_zscore_is_monais(data, name):
    array = data[name]
    for nonzero in (False, True):
        for channel_wise in (False, True):
            got, _ = loam.transform_normalize_zscore(array, nonzero=nonzero, channel_wise=channel_wise)
            close(got, data[f"zscore_{name}_{int(nonzero)}_{int(channel_wise)}"], (nonzero, channel_wise))
    close(loam.transform_normalize_zscore(array, subtrahend=10.0, divisor=4.0)[0], data[f"zscore_given_{name}"], "given")


@pytest.mark.parametrize("name", NAMES)
def test_scale_intensity_range_is_monais(data, name):
    array = data[name]
    close(loam.transform_scale_intensity_range(array, -200, 400, 0.0, 1.0)[0], data[f"range_{name}"], "range")
    close(loam.transform_scale_intensity_range(array, -200, 400, -1.0, 1.0, clip=True)[0], data[f"range_clip_{name}"],
          "clip")
    close(loam.transform_scale_intensity_range(array, -200, 400)[0], data[f"range_open_{name}"], "open")


@pytest.mark.parametrize("name", NAMES)
def test_scale_intensity_range_percentiles_is_monais(data, name):
    array = data[name]
    for lower, upper in ((0.5, 99.5), (5, 95), (0, 100), (25, 25.5)):
        for relative in (False, True):
            for channel_wise in (False, True):
                key = f"pct_{name}_{lower}_{upper}_{int(relative)}_{int(channel_wise)}"
                got, _ = loam.transform_scale_intensity_range_percentiles(
                    array, lower, upper, 0.0, 1.0, clip=True, relative=relative, channel_wise=channel_wise)
                close(got, data[key], key)


def test_percentiles_are_numpys_linear_ones():
    values = np.random.default_rng(5).normal(size=(3, 4, 5)).astype(np.float32)
    for lower, upper in ((0, 100), (1, 99), (33.3, 66.6)):
        lo, hi = np.percentile(values, [lower, upper])
        got, _ = loam.transform_scale_intensity_range_percentiles(values, lower, upper, 0.0, 1.0)
        np.testing.assert_allclose(got, (values - lo) / (hi - lo), rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize("name", NAMES)
def test_adjust_contrast_and_threshold_are_monais(data, name):
    array = data[name]
    for gamma in (0.5, 1.0, 2.5):
        close(loam.transform_adjust_contrast(array, gamma)[0], data[f"contrast_{name}_{gamma}"], gamma)
    got, _ = loam.transform_as_discrete(array, 40.0)
    assert np.array_equal(got, data[f"threshold_{name}"])


def test_argmax_is_monais(data):
    got, _ = loam.transform_argmax(data["volume"])
    assert got.shape == (1, 6, 7, 8) and np.array_equal(got, data["argmax"])
    ties = np.zeros((3, 1, 1, 2), np.float32)
    ties[1:, 0, 0, 1] = 1
    assert loam.transform_argmax(ties)[0].ravel().tolist() == [0.0, 1.0]  # the first of equal maxima


def test_threshold_is_at_least():
    assert loam.transform_as_discrete(np.array([[[0.4, 0.5, 0.6]]], np.float32))[0].tolist() == [[[0.0, 1.0, 1.0]]]


@pytest.mark.parametrize("call, message", [
    (lambda: loam.transform_normalize_zscore(np.zeros((2, 2))), "must be [z, y, x] or [c, z, y, x]"),
    (lambda: loam.transform_argmax(np.zeros((2, 2, 2))), "must be [c, z, y, x]"),
    (lambda: loam.transform_adjust_contrast(np.zeros((2, 2, 2)), 0), "gamma must be positive"),
    (lambda: loam.transform_scale_intensity_range_percentiles(np.zeros((2, 2, 2)), 90, 10), "0 <= lower <= upper"),
    (lambda: loam.transform_scale_intensity_range_percentiles(np.zeros((2, 2, 2)), 1, 99, relative=True), "relative"),
    (lambda: loam.transform_scale_intensity_range(np.zeros((2, 2, 2), np.complex64), 0, 1), "unsupported dtype"),
])
def test_intensity_transforms_refuse_bad_arguments(call, message):
    with pytest.raises(ValueError, match=message.replace("[", r"\[").replace("]", r"\]")):
        call()


@pytest.mark.parametrize("sigma", [0.4, 1.0, 2.5, (0.0, 1.5, 0.7)])
def test_gaussian_smooth_is_monais(data, sigma):
    key = "_".join(map(str, sigma)) if isinstance(sigma, tuple) else str(sigma)
    got, _ = loam.transform_gaussian_smooth(data["volume"], list(sigma) if isinstance(sigma, tuple) else [sigma])
    close(got, data[f"smooth_{key}"], sigma)


def test_gaussian_smooth_kernel_by_hand():
    # One voxel of 1 spreads as the erf kernel: 0.5 * (erf(t (x + 0.5)) - erf(t (x - 0.5))).
    from math import erf
    impulse = np.zeros((1, 1, 9), np.float32)
    impulse[0, 0, 4] = 1
    got, _ = loam.transform_gaussian_smooth(impulse, [0.0, 0.0, 1.0])
    t = 0.70710678
    expected = [0.5 * (erf(t * (x + 0.5)) - erf(t * (x - 0.5))) for x in range(-4, 5)]
    # The kernel is computed in float32, as MONAI does: the tails, differences of erf values near 1,
    # carry float32 cancellation (a few 1e-8).
    np.testing.assert_allclose(got.ravel(), expected, rtol=1e-6, atol=2e-8)


@pytest.mark.parametrize("name", NAMES)
def test_rescale_robust_is_torchios(data, name):
    array = data[name]
    for p, percentiles in enumerate(((0, 100), (0.5, 99.5), (5, 95))):
        for masked in (False, True):
            key = f"robust_{name}_{p}_{int(masked)}"
            if key not in data.files:
                continue
            got, _ = loam.transform_rescale_robust(array, -1.0, 1.0, list(percentiles),
                                                   data["mask"] if masked else None)
            close(got, data[key], key)


def test_normalize_ct_is_nnunets_arithmetic():
    # nnU-Net's CTNormalization in float32 numpy: clip, subtract the mean, divide by max(std, 1e-8).
    ct = np.random.default_rng(9).normal(0, 500, (4, 5, 6)).astype(np.float32)
    expected = np.clip(ct, -958.0, 327.0)
    expected -= 82.5
    expected /= max(136.2, 1e-8)
    got, _ = loam.transform_normalize_ct(ct, mean=82.5, std=136.2, lower=-958.0, upper=327.0)
    np.testing.assert_allclose(got, expected, rtol=1e-6)
    flat, _ = loam.transform_normalize_ct(ct, mean=0.0, std=0.0, lower=-1.0, upper=1.0)
    assert np.isfinite(flat).all() and np.abs(flat).max() == np.float32(1.0) / np.float32(1e-8)
    with pytest.raises(ValueError, match="lower must not be above upper"):
        loam.transform_normalize_ct(ct, 0, 1, 5, -5)
