"""Flips, axis orders, quarter turns, crops and pads: numpy's and MONAI's results (tests/data, made
by tools/transform_rearrange_goldens.py), and every voxel kept at its patient position by the
returned affine."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

import loam

GOLDEN = Path(__file__).parent / "data" / "transform_rearrange_monai.npz"
# An oblique affine with a translation: a wrong column or origin shows at once.
AFFINE = [0.5, 0.1, 0.0, 0.0, 0.0, 0.7, 0.2, 0.0, 0.1, 0.0, 2.0, 0.0, 10.0, -20.0, 30.0, 1.0]


def positions_kept(out: np.ndarray, meta: dict, shape: tuple[int, ...]) -> None:
    """`out` holds source indices (raveled + 1, 0 for padding): each voxel's patient position under
    the new affine must be its source voxel's under the old one."""
    before = np.array(AFFINE).reshape(4, 4).T
    after = np.array(meta["affine"]).reshape(4, 4).T
    zyx = np.indices(out.shape).reshape(3, -1)
    source = out.reshape(-1)
    keep = source > 0
    src = np.array(np.unravel_index(source[keep] - 1, shape))
    ones = np.ones(keep.sum())
    world_out = after @ np.vstack([zyx[2][keep], zyx[1][keep], zyx[0][keep], ones])
    world_in = before @ np.vstack([src[2], src[1], src[0], ones])
    assert np.allclose(world_out, world_in)


def index_volume(shape=(4, 5, 6)) -> np.ndarray:
    return (np.arange(np.prod(shape), dtype=np.int64) + 1).reshape(shape)


PAD = [(2, 3), (0, 7), (9, 1)]


@pytest.mark.parametrize("call, reference, positions", [
    (lambda a: loam.transform_flip(a, AFFINE, [0]), lambda a: np.flip(a, 0), True),
    (lambda a: loam.transform_flip(a, AFFINE, [1, 2]), lambda a: np.flip(a, (1, 2)), True),
    (lambda a: loam.transform_flip(a, AFFINE), lambda a: np.flip(a), True),
    (lambda a: loam.transform_transpose(a, AFFINE), lambda a: np.transpose(a), True),
    (lambda a: loam.transform_transpose(a, AFFINE, [1, 0, 2]), lambda a: np.transpose(a, (1, 0, 2)), True),
    *[(lambda a, k=k, ax=ax: loam.transform_rotate90(a, AFFINE, k, ax), lambda a, k=k, ax=ax: np.rot90(a, k, ax), True)
      for k in (-1, 1, 2, 3, 4) for ax in ((0, 1), (1, 2), (2, 0))],
    (lambda a: loam.transform_crop(a, AFFINE, start=[1, 2, 3], end=[3, 5, 99]), lambda a: a[1:3, 2:5, 3:], True),
    # Padded voxels of the other modes repeat inner ones, which lie elsewhere: values only there;
    # the constant mode checks the moved origin.
    *[(lambda a, m=m: loam.transform_pad(a, AFFINE, pad_width=PAD, mode=m),
       lambda a, m=m: np.pad(a, PAD, mode=m), m == "constant")
      for m in ("constant", "edge", "reflect", "symmetric", "wrap")],
])
def test_rearrangements_are_numpys_and_keep_positions(call, reference, positions):
    volume = index_volume()
    out, meta = call(volume)
    assert out.dtype == volume.dtype and np.array_equal(out, reference(volume))
    if positions:
        positions_kept(out, meta, volume.shape)


def test_padding_takes_the_value_and_keeps_channels():
    volume = np.ones((2, 2, 3, 4), np.float32)
    out, meta = loam.transform_pad(volume, None, pad_width=[(1, 0), (0, 0), (0, 2)], value=-1.5)
    assert out.shape == (2, 3, 3, 6) and out[:, 0].min() == -1.5 and out[:, 1:, :, :4].min() == 1
    assert meta["affine"][12:15] == [0.0, 0.0, -1.0]  # the origin moved back one slice


def golden():
    if not GOLDEN.is_file():
        pytest.skip(f"{GOLDEN} is missing: run tools/transform_rearrange_goldens.py")
    return np.load(GOLDEN)


def test_crops_pads_turns_and_flips_are_monais():
    data = golden()
    rois = [(3, 3, 3), (2, 10, 1), (-1, 4, 0), (5, 6, 7), (6, 2, 9)]
    sizes = [(8, 8, 8), (5, 6, 7), (2, 11, 10), (-1, 12, 9)]
    divisors = [(4, 4, 4), (3, 5, 2), (16, 1, 0)]
    checked = 0
    for s in range(3):
        volume = data[f"input_{s}"]

        def same(got, key):
            nonlocal checked
            assert np.array_equal(got[0], data[key]), key
            checked += 1

        for r, roi in enumerate(rois):
            same(loam.transform_center_crop(volume, roi_size=roi), f"center_{s}_{r}")
        for z, size in enumerate(sizes):
            for method in ("symmetric", "end"):
                same(loam.transform_spatial_pad(volume, spatial_size=size, method=method), f"spatial_{s}_{z}_{method}")
        for d, k in enumerate(divisors):
            for method in ("symmetric", "end"):
                same(loam.transform_divisible_pad(volume, k=k, method=method), f"divisible_{s}_{d}_{method}")
        for k in (1, 2, 3):
            for axes in ((0, 1), (1, 2), (0, 2)):
                same(loam.transform_rotate90(volume, k=k, axes=axes), f"rot90_{s}_{k}_{axes[0]}{axes[1]}")
        for axes in ((0,), (1, 2), (0, 1, 2)):
            same(loam.transform_flip(volume, axes=axes), f"flip_{s}_{''.join(map(str, axes))}")
    assert checked == 3 * (5 + 8 + 6 + 9 + 3)


@pytest.mark.parametrize("call, message", [
    (lambda: loam.transform_flip(np.zeros((2, 2)), None, [0]), "must be [z, y, x] or [c, z, y, x]"),
    (lambda: loam.transform_flip(np.zeros((2, 2, 2)), None, [3]), "not a spatial axis"),
    (lambda: loam.transform_flip(np.zeros((2, 2, 2)), [1.0] * 15), "16 elements"),
    (lambda: loam.transform_transpose(np.zeros((2, 2, 2)), None, [0, 0, 1]), "each axis once"),
    (lambda: loam.transform_pad(np.zeros((2, 2, 2)), pad_width=[(1, 1)] * 3, mode="mean"), "mode must be one of"),
    (lambda: loam.transform_pad(np.zeros((2, 2, 2)), pad_width=[(1, -1)] * 3), "must not be negative"),
    (lambda: loam.transform_spatial_pad(np.zeros((2, 2, 2)), spatial_size=[3, 3]), "3 values"),
    (lambda: loam.transform_spatial_pad(np.zeros((2, 2, 2)), spatial_size=[3, 3, 3], method="middle"), "'symmetric' or 'end'"),
    (lambda: loam.transform_flip(np.zeros((2, 2, 2), np.complex64)), "unsupported dtype"),
])
def test_rearrangements_refuse_bad_arguments(call, message):
    with pytest.raises(ValueError, match=message.replace("[", r"\[").replace("]", r"\]")):
        call()
