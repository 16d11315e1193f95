"""Golden answers of MONAI's Affine and ResampleToMatch and nnU-Net v2's resampling for
tests/test_transform_warp.py.

Run in a scratch environment with torch, MONAI and nnunetv2 (never in the project's .venv). nnunetv2's
own requirements pull a CUDA build of torch; install it without them beside a CPU torch:

    pip install torch monai scipy scikit-image pandas
    pip install --no-deps nnunetv2 batchgenerators acvl_utils
    /tmp/peers/bin/python tools/transform_warp_goldens.py tests/data/transform_warp_monai.npz
"""

from __future__ import annotations

import sys

import numpy as np

# Affine cases: (rotate, shear, translate, scale, spatial_size); angles in radians about array axes.
AFFINE_CASES = [
    (None, None, None, None, None),
    ((0.3,), None, None, None, None),
    ((0.3, -0.2, 0.5), None, (1.5, -2.25, 0.75), None, None),
    (None, (0.1, 0.0, -0.2, 0.05, 0.0, 0.15), None, (1.3, 0.8, 1.1), None),
    ((0.1, 0.4), (0.05,), (0.0, 3.0, -1.0), (0.7, 1.2, 0.9), (7, 15, 11)),
    ((np.pi / 2,), None, None, None, None),
    (None, None, (12.0, -9.0, 20.0), (2.5, 0.4, 1.0), (5, 8, 6)),
]
PADDINGS = ("reflection", "border", "zeros")


def affine_goldens(cases: dict, volume: np.ndarray) -> None:
    import torch
    from monai.transforms import Affine

    for k, (rotate, shear, translate, scale, size) in enumerate(AFFINE_CASES):
        for padding in PADDINGS:
            for mode in ("bilinear", "nearest"):
                # MONAI computes in float32 by default; float64 shows the arithmetic without that rounding.
                dtypes = (np.float64, np.float32) if (padding, mode) == ("reflection", "bilinear") else (np.float64,)
                for dtype in dtypes:
                    transform = Affine(rotate_params=rotate, shear_params=shear, translate_params=translate,
                                       scale_params=scale, spatial_size=size, mode=mode, padding_mode=padding,
                                       dtype=dtype, image_only=False)
                    out, matrix = transform(torch.as_tensor(volume.copy()))
                    name = "f64" if dtype is np.float64 else "f32"
                    cases[f"affine_{k}_{padding}_{mode}_{name}"] = np.asarray(out.numpy(), np.float32)
                    cases[f"affine_{k}_matrix"] = np.asarray(matrix, np.float64)


def match_goldens(cases: dict, volume: np.ndarray, rng: np.random.Generator) -> None:
    import torch
    from monai.data import MetaTensor
    from monai.transforms import ResampleToMatch

    rotation, _ = np.linalg.qr(np.eye(3) + rng.normal(0, 0.15, (3, 3)))
    source = np.eye(4)
    source[:3, :3] = rotation @ np.diag([0.8, 1.1, 2.0])
    source[:3, 3] = [-4.0, 3.0, 10.0]
    cases["match_source_affine"] = source
    turn, _ = np.linalg.qr(np.eye(3) + rng.normal(0, 0.3, (3, 3)))
    references = [
        (source.copy(), (9, 12, 10)),
        (np.diag([1.0, 1.0, 1.0, 1.0]), (14, 13, 16)),
        (np.block([[turn @ np.diag([1.5, 0.7, 1.2]), np.array([[-2.0], [1.0], [9.0]])], [np.zeros((1, 3)), np.ones((1, 1))]]),
         (6, 17, 9)),
    ]
    references[1][0][:3, 3] = [-9.0, -4.0, 6.0]
    for r, (reference, shape) in enumerate(references):
        cases[f"match_reference_{r}"] = reference
        cases[f"match_reference_shape_{r}"] = np.array(shape)
        for padding in PADDINGS:
            for mode in ("bilinear", "nearest"):
                # MONAI's arrays are (x, y, z) with the affine's columns: ours transposed.
                image = MetaTensor(torch.as_tensor(volume.transpose(0, 3, 2, 1).copy()), affine=torch.as_tensor(source))
                target = MetaTensor(torch.zeros((1, *shape[::-1])), affine=torch.as_tensor(reference))
                out = ResampleToMatch(mode=mode, padding_mode=padding)(image, target)
                cases[f"match_{r}_{padding}_{mode}"] = out.numpy().transpose(0, 3, 2, 1).astype(np.float32)


# nnU-Net cases: (current spacing, new spacing), spacings (z, y, x).
NNUNET_CASES = [
    ((5.0, 0.8, 0.8), (2.5, 0.6, 0.6)),   # anisotropic now: planes across z
    ((1.0, 1.0, 1.0), (1.4, 0.7, 1.0)),   # isotropic: all three axes together
    ((0.9, 4.0, 0.9), (1.2, 2.0, 1.5)),   # the coarse axis is y
    ((1.0, 1.0, 1.0), (4.0, 1.0, 1.0)),   # anisotropic target
    ((3.0, 0.7, 0.7), (3.0, 0.5, 0.5)),   # the coarse axis keeps its length
]


def nnunet_goldens(cases: dict, rng: np.random.Generator) -> None:
    from nnunetv2.preprocessing.resampling.default_resampling import (compute_new_shape,
                                                                       resample_data_or_seg_to_shape)
    import nnunetv2
    import batchgenerators

    cases["nnunet_version"] = np.array(getattr(nnunetv2, "__version__", "2"))
    cases["batchgenerators_version"] = np.array(getattr(batchgenerators, "__version__", "?"))
    data = (rng.normal(size=(2, 7, 11, 9)) * 50 + 100).astype(np.float32)
    seg = np.zeros((1, 7, 11, 9), np.int16)
    seg[0, 1:6, 2:9, 1:8] = 1
    seg[0, 2:5, 4:8, 3:6] = 2
    seg[0, 3:7, 0:3, 5:9] = 4
    seg[0, 0, 5:, :4] = 3
    cases["nnunet_data"], cases["nnunet_seg"] = data, seg
    for k, (current, new) in enumerate(NNUNET_CASES):
        shape = compute_new_shape(data.shape[1:], current, new)
        cases[f"nnunet_{k}_shape"] = np.array(shape)
        cases[f"nnunet_{k}_data"] = resample_data_or_seg_to_shape(data, shape, current, new, False, 3, 0, None)
        cases[f"nnunet_{k}_data_linear"] = resample_data_or_seg_to_shape(data, shape, current, new, False, 1, 1, None)
        cases[f"nnunet_{k}_seg"] = resample_data_or_seg_to_shape(seg, shape, current, new, True, 1, 0, None)
        cases[f"nnunet_{k}_seg_nearest"] = resample_data_or_seg_to_shape(seg, shape, current, new, True, 0, 0, None)


def main(path: str) -> None:
    import monai
    import torch

    rng = np.random.default_rng(29)
    cases: dict[str, np.ndarray] = {"monai_version": np.array(monai.__version__),
                                    "torch_version": np.array(torch.__version__)}
    # Smooth enough that float32 coordinates move values by little, rough enough to tell neighbours apart.
    base = rng.normal(size=(1, 9, 12, 10))
    volume = (base + np.roll(base, 1, axis=2) + np.roll(base, 1, axis=3)).astype(np.float32) * 40
    cases["volume"] = volume
    affine_goldens(cases, volume)
    match_goldens(cases, volume, rng)
    nnunet_goldens(cases, rng)
    np.savez_compressed(path, **cases)
    print(f"{path}: {len(cases)} arrays from MONAI {monai.__version__}, torch {torch.__version__}")


if __name__ == "__main__":
    main(sys.argv[1])
