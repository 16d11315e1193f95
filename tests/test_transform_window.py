"""Sliding-window positions, the gaussian importance map and foreground cropping against MONAI's
own answers (tests/data, made by tools/transform_window_goldens.py): positions and crops exactly,
the importance map within 1e-6 relative (float32 exp)."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

import loam

GOLDEN = Path(__file__).parent / "data" / "transform_window_monai.npz"
IMAGES = [(96, 96, 96), (100, 37, 5), (64, 200, 130), (7, 7, 7)]
ROIS = [(96, 96, 96), (64, 64, 64), (32, 48, 16), (128, 16, 8)]
OVERLAPS = [0.0, 0.25, 0.5, 0.625, 0.9]
PATCHES = [(24, 32, 20), (64, 48, 16), (7, 8, 9), (1, 2, 3)]
FOREGROUND = [((0,), False, (1,)), ((2,), False, (1,)), ((2,), True, (1,)), ((1,), False, (16,)),
              ((3,), True, (5,)), ((0, 4, 1), False, (3, 1, 4))]


@pytest.fixture(scope="module")
def data():
    if not GOLDEN.is_file():
        pytest.skip(f"{GOLDEN} is missing: run tools/transform_window_goldens.py")
    return np.load(GOLDEN)


def test_sliding_window_positions_are_monais(data):
    for i, image in enumerate(IMAGES):
        for r, roi in enumerate(ROIS):
            for o, overlap in enumerate(OVERLAPS):
                got = loam.transform_sliding_window_positions(image, roi, overlap)
                assert got.dtype == np.int64 and np.array_equal(got, data[f"windows_{i}_{r}_{o}"]), (image, roi, overlap)


def test_sliding_window_by_hand():
    # 100 voxels, windows of 40 at 25 % overlap: every 30, the last moved back to 60.
    assert loam.transform_sliding_window_positions([1, 1, 100], [1, 1, 40], 0.25)[:, 2].tolist() == [0, 30, 60]


def test_gaussian_importance_map_is_monais(data):
    for p, patch in enumerate(PATCHES):
        for scale in (0.125, 0.25):
            got = loam.transform_gaussian_importance_map(patch, scale)
            expected = data[f"importance_{p}_{scale}"]
            assert got.dtype == np.float32 and got.shape == expected.shape
            np.testing.assert_allclose(got, expected, rtol=1e-6)
            assert got.min() >= 1e-3 and got.max() <= 1.0


def test_crop_foreground_is_monais_and_keeps_positions(data):
    volume = data["volume"]
    affine = [0.8, 0.0, 0.0, 0.0, 0.0, 0.9, 0.0, 0.0, 0.0, 0.0, 2.5, 0.0, -5.0, 7.0, 11.0, 1.0]
    for f, (margin, allow, k) in enumerate(FOREGROUND):
        got, meta = loam.transform_crop_foreground(volume, affine, margin=margin, allow_smaller=allow, k_divisible=k)
        assert np.array_equal(got, data[f"foreground_{f}"]), (margin, allow, k)
        # The first voxel of the first channel's box keeps its patient position.
        after = np.array(meta["affine"]).reshape(4, 4).T
        before = np.array(affine).reshape(4, 4).T
        z, y, x = np.argwhere(got[0] > 0)[0]
        zz, yy, xx = np.argwhere(np.isin(volume[0], got[0, z, y, x]))[0]
        assert np.allclose(after @ [x, y, z, 1], before @ [xx, yy, zz, 1])
    empty, _ = loam.transform_crop_foreground(np.zeros((1, 4, 4, 4), np.float32))
    assert empty.shape == data["foreground_empty"].shape


@pytest.mark.parametrize("call, message", [
    (lambda: loam.transform_sliding_window_positions([10, 10], [5, 5, 5]), "3 values"),
    (lambda: loam.transform_sliding_window_positions([10, 10, 10], [5, 5, 5], 1.0), "overlap"),
    (lambda: loam.transform_gaussian_importance_map([4, 4, 0]), "positive"),
    (lambda: loam.transform_crop_foreground(np.ones((3, 3, 3)), margin=[-1]), "negative"),
])
def test_window_transforms_refuse_bad_arguments(call, message):
    with pytest.raises(ValueError, match=message):
        call()
