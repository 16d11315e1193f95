"""Warps: MONAI's Affine and ResampleToMatch and nnU-Net v2's anisotropic resampling, against their
own answers (tests/data, made by tools/transform_warp_goldens.py), hand-made cases and
scikit-image's resize run live.

Tolerances: trilinear values within 1e-5 of the volume's value range (MONAI's float32 grid moves
sample points by about 1e-6 voxels; in float64 the two agree within 1e-6); nearest values exactly,
except where a sample point lies within 1e-4 of halfway between voxels, which rounding noise can
send either way; nnU-Net's images within 1e-5 relative and its label maps exactly."""

from __future__ import annotations

import importlib.util
import math
from pathlib import Path

import numpy as np
import pytest

import loam

GOLDEN = Path(__file__).parent / "data" / "transform_warp_monai.npz"


def _goldens_script():
    """The script that made the goldens: its case lists are the ones to check."""
    path = Path(__file__).parents[1] / "tools" / "transform_warp_goldens.py"
    spec = importlib.util.spec_from_file_location("transform_warp_goldens", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


_SCRIPT = _goldens_script()
AFFINE_CASES, PADDINGS = _SCRIPT.AFFINE_CASES, _SCRIPT.PADDINGS
# The axis nnU-Net resamples on its own in each of the script's cases (None: all together).
SEPARATE_AXES = [0, None, 1, 0, 0]
NNUNET_CASES = [(current, new, axis) for (current, new), axis in zip(_SCRIPT.NNUNET_CASES, SEPARATE_AXES)]
OBLIQUE = np.array([[0.0, 0.9, 0.1, -20.0], [0.8, 0.0, -0.2, 15.0], [0.1, 0.15, 2.5, 7.0], [0, 0, 0, 1]])


@pytest.fixture(scope="module")
def golden():
    if not GOLDEN.is_file():
        pytest.skip(f"{GOLDEN} is missing: run tools/transform_warp_goldens.py")
    return np.load(GOLDEN)


def flat(affine: np.ndarray) -> list[float]:
    return affine.T.reshape(-1).tolist()


def off_halfway(matrix: np.ndarray, shape: tuple[int, ...]) -> np.ndarray:
    """Output voxels whose sample point (matrix @ index, array axes) is not near halfway between voxels."""
    index = np.stack(np.meshgrid(*[np.arange(n) for n in shape], indexing="ij"), axis=-1).astype(float)
    points = index @ matrix[:3, :3].T + matrix[:3, 3]
    return ~np.any(np.isclose(np.abs(points) % 1, 0.5, atol=1e-4), axis=-1)


def close_to(got: np.ndarray, expected: np.ndarray, value_range: float, keep=None, what="") -> None:
    assert got.shape == expected.shape, what
    if keep is None:
        np.testing.assert_allclose(got, expected, rtol=0, atol=1e-5 * value_range, err_msg=what)
    else:
        assert np.array_equal(got[keep], expected[keep]), what


def test_affine_is_monais(golden):
    volume = golden["volume"]
    value_range = float(np.ptp(volume))
    checked = 0
    for k, (rotate, shear, translate, scale, size) in enumerate(AFFINE_CASES):
        monai_matrix = golden[f"affine_{k}_matrix"]
        for padding in PADDINGS:
            for mode in ("bilinear", "nearest"):
                got, meta = loam.transform_affine(volume, rotate=rotate, shear=shear, translate=translate, scale=scale,
                                                  spatial_size=size, mode=mode, padding_mode=padding)
                matrix = np.array(meta["matrix"]).reshape(4, 4)
                # MONAI's matrix is built in float32.
                np.testing.assert_allclose(matrix, monai_matrix, atol=1e-5)
                keep = off_halfway(matrix, got.shape[1:])[None] if mode == "nearest" else None
                for precision in ("f64", "f32"):
                    key = f"affine_{k}_{padding}_{mode}_{precision}"
                    if key in golden:
                        close_to(got, golden[key], value_range, keep, key)
                        checked += 1
    assert checked == len(AFFINE_CASES) * 7


def test_affine_moves_the_patient_affine_with_the_voxels(golden):
    # MONAI's world affine after Affine is the old one times its index map: the same place for
    # every output voxel.
    volume = golden["volume"]
    to_array = np.eye(4)[[2, 1, 0, 3]]  # voxel (x, y, z) <-> array (z, y, x)
    for k, (rotate, shear, translate, scale, size) in enumerate(AFFINE_CASES):
        _, meta = loam.transform_affine(volume, flat(OBLIQUE), rotate=rotate, shear=shear, translate=translate,
                                        scale=scale, spatial_size=size)
        expected = OBLIQUE @ to_array @ golden[f"affine_{k}_matrix"] @ to_array
        np.testing.assert_allclose(np.array(meta["affine"]).reshape(4, 4).T, expected, atol=1e-4)


def test_affine_by_hand():
    # A quarter turn about axis 0 of an even square is numpy's rot90 (clockwise); a whole-voxel
    # translation with zeros padding shifts and fills.
    plane = np.arange(16, dtype=np.float32).reshape(1, 4, 4)
    turned, _ = loam.transform_affine(plane, rotate=[math.pi / 2])
    np.testing.assert_allclose(turned, np.rot90(plane, -1, axes=(1, 2)), atol=1e-5)
    shifted, meta = loam.transform_affine(plane, translate=[0, 0, 1], padding_mode="zeros")
    assert shifted[0, :, :3].tolist() == plane[0, :, 1:].tolist() and not shifted[0, :, 3].any()
    assert meta["affine"][12:15] == [1.0, 0.0, 0.0]  # the first output voxel is the second input one
    reflected, _ = loam.transform_affine(plane, translate=[0, 0, 2])
    assert reflected[0, 0].tolist() == [2.0, 3.0, 3.0, 2.0]  # mirrored about the far face
    same, _ = loam.transform_affine(plane, matrix=np.eye(4).ravel().tolist())
    assert np.array_equal(same, plane)


def test_affine_treats_channels_alike():
    rng = np.random.default_rng(5)
    stack = rng.normal(size=(3, 5, 6, 7)).astype(np.float32)
    both, _ = loam.transform_affine(stack, rotate=[0.2, 0.1], scale=[1.1, 0.9, 1.0])
    for c in range(3):
        one, _ = loam.transform_affine(stack[c], rotate=[0.2, 0.1], scale=[1.1, 0.9, 1.0])
        assert np.array_equal(both[c], one)


def test_resample_to_reference_is_monais(golden):
    volume = golden["volume"]
    value_range = float(np.ptp(volume))
    source = golden["match_source_affine"]
    for r in range(3):
        reference, shape = golden[f"match_reference_{r}"], tuple(golden[f"match_reference_shape_{r}"])
        voxel_map = np.linalg.solve(source, reference)  # reference voxel to source voxel, (x, y, z)
        matrix = np.eye(4)
        matrix[:3, :3], matrix[:3, 3] = voxel_map[:3, :3][::-1, ::-1], voxel_map[:3, 3][::-1]
        for padding in PADDINGS:
            for mode in ("bilinear", "nearest"):
                got, meta = loam.transform_resample_to_reference(volume, flat(source), list(shape), flat(reference), mode,
                                                                 padding)
                keep = off_halfway(matrix, shape)[None] if mode == "nearest" else None
                close_to(got, golden[f"match_{r}_{padding}_{mode}"], value_range, keep, f"{r} {padding} {mode}")
                assert meta["affine"] == flat(reference)


def test_resample_to_reference_by_hand():
    volume = np.arange(24, dtype=np.float32).reshape(2, 3, 4)
    same, _ = loam.transform_resample_to_reference(volume, flat(OBLIQUE), [2, 3, 4], flat(OBLIQUE))
    assert np.array_equal(same, volume)
    # A reference one voxel further along x: the columns move left, the last repeats (border).
    moved = OBLIQUE.copy()
    moved[:3, 3] += OBLIQUE[:3, 0]
    shifted, _ = loam.transform_resample_to_reference(volume, flat(OBLIQUE), [2, 3, 4], flat(moved))
    np.testing.assert_allclose(shifted[..., :3], volume[..., 1:], atol=1e-4)
    np.testing.assert_allclose(shifted[..., 3], volume[..., 3], atol=1e-4)


def test_resample_separate_z_is_nnunets(golden):
    data, seg = golden["nnunet_data"], golden["nnunet_seg"]
    for k, (current, new, axis) in enumerate(NNUNET_CASES):
        affine = flat(np.diag([*current[::-1], 1.0]))
        for key, arr, options in (("data", data, {}), ("data_linear", data, {"order": 1, "order_z": 1}),
                                  ("seg", seg, {"is_seg": True}), ("seg_nearest", seg, {"is_seg": True, "order": 0})):
            got, meta = loam.transform_resample_separate_z(arr, affine, list(new), **options)
            expected = golden[f"nnunet_{k}_{key}"]
            assert got.shape == expected.shape and meta["separate_axis"] == axis, (k, key)
            if key.startswith("seg"):
                assert got.dtype == np.int16 and np.array_equal(got, expected), (k, key)
            else:
                np.testing.assert_allclose(got, expected, rtol=1e-5, atol=1e-5 * np.ptp(expected), err_msg=f"{k} {key}")


def test_resample_separate_z_without_separation_is_scikit_images_resize():
    transform = pytest.importorskip("skimage.transform")
    rng = np.random.default_rng(8)
    volume = rng.normal(size=(6, 9, 7)).astype(np.float32)
    for spacing in ((0.7, 1.3, 0.5), (1.0, 2.0, 2.0)):
        got, meta = loam.transform_resample_separate_z(volume, flat(np.eye(4)), list(spacing))
        shape = [round(n / s) for n, s in zip(volume.shape, spacing)]
        expected = transform.resize(volume.astype(float), shape, order=3, mode="edge", anti_aliasing=False)
        assert meta["separate_axis"] is None
        np.testing.assert_allclose(got, expected, rtol=1e-5, atol=1e-5)


def test_resample_separate_z_label_ties_and_junctions():
    # Halving puts every sample exactly between two voxels: the nearest one (the later, rounding
    # half up) settles the tie, where the smallest label would win a plain argmax and the largest
    # the old rule of "last label at or above 0.5".
    line = np.array([[[1, 2, 2, 1, 3, 1]]], np.uint8)
    got, _ = loam.transform_resample_separate_z(line, flat(np.eye(4)), [1.0, 1.0, 2.0], is_seg=True)
    assert got.ravel().tolist() == [2, 1, 1]
    doubled, _ = loam.transform_resample_separate_z(line, flat(np.eye(4)), [1.0, 1.0, 0.5], is_seg=True)
    assert doubled.ravel().tolist() == [1, 1, 2, 2, 2, 2, 1, 1, 3, 3, 1, 1]
    # Where four labels meet none reaches 0.5, yet every voxel gets one of them.
    corners = np.array([[[1, 2], [3, 4]]], np.int32)
    got, _ = loam.transform_resample_separate_z(corners, flat(np.eye(4)), [1.0, 2 / 3, 2 / 3], is_seg=True)
    assert got[0].tolist() == [[1, 2, 2], [3, 4, 4], [3, 4, 4]]  # batchgenerators 0.25.5's answer


def test_resample_separate_z_affine_is_half_pixel():
    affine = np.diag([0.8, 0.8, 5.0, 1.0])
    affine[:3, 3] = [10.0, 20.0, 30.0]
    out, meta = loam.transform_resample_separate_z(np.zeros((4, 8, 8), np.float32), flat(affine), [2.5, 0.8, 0.8])
    new = np.array(meta["affine"]).reshape(4, 4).T
    assert out.shape == (8, 8, 8)
    # Eight slices over the four: 2.5 mm apart, the first a quarter of an old slice before the old first.
    np.testing.assert_allclose(new[:3, 2], [0, 0, 2.5])
    np.testing.assert_allclose(new[:3, 3], [10.0, 20.0, 30.0 - 1.25])


@pytest.mark.parametrize("call, message", [
    (lambda: loam.transform_affine(np.zeros((2, 2)), rotate=[0.1]), "transform_affine: array must be [z, y, x]"),
    (lambda: loam.transform_affine(np.zeros((2, 2, 2)), rotate=[0.1, 0.2, 0.3, 0.4]), "rotate takes at most 3"),
    (lambda: loam.transform_affine(np.zeros((2, 2, 2)), scale=[math.nan]), "scale must be finite"),
    (lambda: loam.transform_affine(np.zeros((2, 2, 2)), matrix=[1.0] * 9), "matrix must have 16 values"),
    (lambda: loam.transform_affine(np.zeros((2, 2, 2)), matrix=[1.0] * 16, scale=[2.0]), "either matrix or"),
    (lambda: loam.transform_affine(np.zeros((2, 2, 2)), mode="bicubic"), "mode must be 'bilinear' or 'nearest'"),
    (lambda: loam.transform_affine(np.zeros((2, 2, 2)), padding_mode="wrap"), "padding_mode must be"),
    (lambda: loam.transform_affine(np.zeros((0, 2, 2))), "the array is empty"),
    (lambda: loam.transform_resample_to_reference(np.zeros((2, 2, 2)), [0.0] * 16, [2, 2, 2], flat(np.eye(4))),
     "cannot be inverted"),
    (lambda: loam.transform_resample_to_reference(np.zeros((2, 2, 2)), flat(np.eye(4)), [2, 0, 2], flat(np.eye(4))),
     "reference_shape must be three positive sizes"),
    (lambda: loam.transform_resample_to_reference(np.zeros((2, 2, 2)), flat(np.eye(4)), [2, 2, 2], [1.0]),
     "reference_affine must have 16 elements"),
    (lambda: loam.transform_resample_separate_z(np.zeros((2, 2, 2)), flat(np.eye(4)), [1.0, 2.0]), "one value or three"),
    (lambda: loam.transform_resample_separate_z(np.zeros((2, 2, 2)), flat(np.eye(4)), [1.0], order=2), "order must be 0, 1 or 3"),
    (lambda: loam.transform_resample_separate_z(np.zeros((2, 2, 2), np.uint8), flat(np.eye(4)), [1.0], is_seg=True,
                                                order=3), "order must be 0 or 1 for a label map"),
    (lambda: loam.transform_resample_separate_z(np.zeros((2, 2, 2), np.float32), flat(np.eye(4)), [1.0], is_seg=True),
     "a label array must have an integer or bool dtype"),
    (lambda: loam.transform_resample_separate_z(np.zeros((2, 2, 2)), flat(np.eye(4)), [0.0]), "must be positive"),
    (lambda: loam.transform_resample_separate_z(np.zeros((2, 2, 2)), flat(np.eye(4)), [1e-300]), "too large"),
])
def test_warps_refuse_bad_arguments(call, message):
    with pytest.raises(ValueError, match=message.replace("[", r"\[").replace("]", r"\]")):
        call()


BIG = 2 ** 31 - 1


@pytest.mark.parametrize("call", [
    lambda: loam.transform_affine(np.zeros((2, 2, 2), np.float32), spatial_size=[BIG] * 3),
    lambda: loam.transform_resample_to_reference(np.zeros((2, 2, 2)), flat(np.eye(4)), [BIG] * 3, flat(np.eye(4))),
    lambda: loam.transform_resample_separate_z(np.zeros((2, 2, 2)), flat(np.eye(4)), [1e-6]),
    lambda: loam.transform_resize(np.zeros((2, 2, 2)), spatial_size=[BIG] * 3),
    lambda: loam.transform_resample_to_spacing(np.zeros((2, 2, 2)), flat(np.eye(4)), [1e-6]),
    lambda: loam.transform_pad(np.zeros((1, 1, 1)), pad_width=[[10 ** 6, 10 ** 6]] * 3),
    lambda: loam.transform_bilinear_resize2d(np.zeros((2, 2)), [BIG, BIG]),
    lambda: loam.transform_sliding_window_positions([10 ** 12] * 3, [1, 1, 1], 0.0),
    lambda: loam.transform_gaussian_importance_map([10 ** 4] * 3),
])
def test_outputs_beyond_the_memory_limit_are_refused_before_allocating(call):
    # Sizes whose product overflows, or that no memory holds: a clear error, never a wrapped size.
    with pytest.raises(ValueError, match=r"the output would take .*loam\.set_memory_limit"):
        call()


def test_the_shape_resamplers_refuse_outputs_beyond_the_memory_limit():
    with pytest.raises(RuntimeError, match=r"transform::resample: the output would take more than 8 EiB"):
        loam.transform_resample_grid_sample(np.zeros((2, 2, 2), np.float32), flat(np.eye(4)), [BIG] * 3)
