"""2-D resizing: torch's bilinear interpolate from its own answers (tests/data, made by
tools/transform_resize_goldens.py) within 1e-5 relative (torch computes coordinates in float32),
and PIL's antialiased BILINEAR and BICUBIC resize run live on float images within 1e-6."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

import loam

GOLDEN = Path(__file__).parent / "data" / "transform_resize_torch.npz"
SHAPES = [(17, 23), (64, 48), (5, 9), (1, 6)]
SIZES = [(8, 11), (40, 30), (31, 70), (3, 2), (17, 23), (1, 1)]


def test_bilinear_resize_is_torchs():
    if not GOLDEN.is_file():
        pytest.skip(f"{GOLDEN} is missing: run tools/transform_resize_goldens.py")
    data = np.load(GOLDEN)
    for s in range(len(SHAPES)):
        image = data[f"input_{s}"]
        for z, size in enumerate(SIZES):
            got, _ = loam.transform_bilinear_resize2d(image, size)
            expected = data[f"bilinear_{s}_{z}"]
            assert got.shape == expected.shape
            np.testing.assert_allclose(got, expected, rtol=1e-5, atol=1e-5 * np.abs(expected).max(),
                                       err_msg=f"{SHAPES[s]} -> {size}")


@pytest.mark.parametrize("resample", ["bilinear", "bicubic"])
def test_pil_resize_is_pils(resample):
    image_module = pytest.importorskip("PIL.Image")
    filters = {"bilinear": image_module.BILINEAR, "bicubic": image_module.BICUBIC}
    rng = np.random.default_rng(4)
    for shape in SHAPES:
        image = (rng.normal(size=shape) * 100).astype(np.float32)
        for size in SIZES:
            expected = np.asarray(image_module.fromarray(image, mode="F").resize(size[::-1], filters[resample]))
            got, _ = loam.transform_pil_resize2d(image, size, resample)
            np.testing.assert_allclose(got, expected, rtol=1e-6, atol=1e-6 * np.abs(expected).max(),
                                       err_msg=f"{shape} -> {size}")
    stack, _ = loam.transform_pil_resize2d(np.stack([image, 2 * image]), [3, 4], resample)
    assert stack.shape == (2, 3, 4) and np.allclose(stack[1], 2 * stack[0], rtol=1e-5)


def test_bilinear_by_hand():
    # Two samples to four: half-pixel centres at -0.25, 0.25, 0.75, 1.25, edges repeated.
    got, _ = loam.transform_bilinear_resize2d(np.array([[0.0, 4.0]], np.float32), [1, 4])
    assert got.ravel().tolist() == [0.0, 1.0, 3.0, 4.0]


@pytest.mark.parametrize("call, message", [
    (lambda: loam.transform_bilinear_resize2d(np.zeros((2, 2, 2, 2)), [2, 2]), "must be [h, w] or [c, h, w]"),
    (lambda: loam.transform_bilinear_resize2d(np.zeros((2, 2)), [0, 2]), "two positive numbers"),
    (lambda: loam.transform_pil_resize2d(np.zeros((2, 2)), [2, 2], "lanczos"), "'bilinear' or 'bicubic'"),
])
def test_resizes_refuse_bad_arguments(call, message):
    with pytest.raises(ValueError, match=message.replace("[", r"\[").replace("]", r"\]")):
        call()


def test_resize_is_monais():
    if not GOLDEN.is_file():
        pytest.skip(f"{GOLDEN} is missing: run tools/transform_resize_goldens.py")
    data = np.load(GOLDEN)
    volume = data["volume"]
    for z, size in enumerate([(4, 6, 3), (9, 12, 7), (13, 5, 20), (-1, 24, 2), (1, 1, 1)]):
        for mode in ("area", "trilinear"):
            got, _ = loam.transform_resize(volume, spatial_size=size, mode=mode)
            expected = data[f"resize_{z}_{mode}"]
            assert got.shape == expected.shape, (size, mode)
            np.testing.assert_allclose(got, expected, rtol=1e-5, atol=1e-5 * np.abs(expected).max(), err_msg=f"{size} {mode}")
    for longest in (6, 20, 9):
        got, _ = loam.transform_resize(volume, spatial_size=[longest], size_mode="longest")
        np.testing.assert_allclose(got, data[f"resize_longest_{longest}"], rtol=1e-5, atol=1e-3)


def test_resize_affine_keeps_the_field_of_view():
    # Halving an axis doubles its column and moves the origin half an input voxel along it.
    affine = [0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 2.0, 0, 10.0, 20.0, 30.0, 1]
    _, meta = loam.transform_resize(np.zeros((4, 4, 4), np.float32), affine, spatial_size=[2, 4, 4])
    assert meta["affine"][8:12] == [0, 0, 4.0, 0] and meta["affine"][12:15] == [10.0, 20.0, 31.0]


def test_resample_to_spacing_is_monais():
    if not GOLDEN.is_file():
        pytest.skip(f"{GOLDEN} is missing: run tools/transform_resize_goldens.py")
    data = np.load(GOLDEN)
    volume = data["volume"][0]
    checked = 0
    for a in range(3):
        affine = data[f"spacing_affine_{a}"]
        spacing_now = np.linalg.norm(affine[:3, :3], axis=0)[::-1]  # (z, y, x)
        for t, target in enumerate(((2.0, 2.0, 2.0), (0.6, 1.3, 1.0), (1.5, 1.5, 4.0))):
            for mode in ("bilinear", "nearest"):
                # MONAI's arrays are (x, y, z): its answer transposed to our [z, y, x].
                expected = data[f"spacing_{a}_{t}_{mode}"][0].transpose(2, 1, 0)
                got, meta = loam.transform_resample_to_spacing(volume, affine.T.reshape(-1).tolist(), list(target[::-1]),
                                                               mode)
                assert got.shape == expected.shape, (a, target)
                keep = np.ones(got.shape, bool)
                if mode == "nearest":
                    # Sample points exactly halfway between voxels round either way in torch's float32
                    # grid: those voxels are left out.
                    for axis, (old, new) in enumerate(zip(spacing_now, target[::-1])):
                        position = np.arange(got.shape[axis]) * new / old
                        half = np.isclose(position % 1, 0.5, atol=1e-4)
                        keep &= ~np.expand_dims(half, [d for d in range(3) if d != axis])
                np.testing.assert_allclose(got[keep], expected[keep], rtol=1e-5, atol=1e-4, err_msg=f"{a} {target} {mode}")
                new_affine = np.array(meta["affine"]).reshape(4, 4).T
                assert np.allclose(np.linalg.norm(new_affine[:3, :3], axis=0), target)
                assert np.allclose(new_affine[:3, 3], affine[:3, 3])
                checked += 1
    assert checked == 18
