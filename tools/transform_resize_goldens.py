"""Golden answers of torch's bilinear interpolate and MONAI's Resize for tests/test_transform_resize.py.

Run in a scratch environment with torch (never in the project's .venv):

    /tmp/peers/bin/python tools/transform_resize_goldens.py tests/data/transform_resize_torch.npz
"""

from __future__ import annotations

import sys

import numpy as np
import torch
import torch.nn.functional as F

SHAPES = [(17, 23), (64, 48), (5, 9), (1, 6)]
SIZES = [(8, 11), (40, 30), (31, 70), (3, 2), (17, 23), (1, 1)]


def main(path: str) -> None:
    rng = np.random.default_rng(21)
    cases: dict[str, np.ndarray] = {"torch_version": np.array(torch.__version__)}
    for s, shape in enumerate(SHAPES):
        image = (rng.normal(size=(2, *shape)) * 100).astype(np.float32)
        cases[f"input_{s}"] = image
        for z, size in enumerate(SIZES):
            out = F.interpolate(torch.as_tensor(image)[None], size=size, mode="bilinear", align_corners=False,
                                antialias=False)
            cases[f"bilinear_{s}_{z}"] = out[0].numpy()
    import monai
    from monai.transforms import Resize

    volume = (rng.normal(size=(2, 9, 12, 7)) * 100).astype(np.float32)
    cases["volume"] = volume
    cases["monai_version"] = np.array(monai.__version__)
    for z, size in enumerate([(4, 6, 3), (9, 12, 7), (13, 5, 20), (-1, 24, 2), (1, 1, 1)]):
        for mode in ("area", "trilinear"):
            cases[f"resize_{z}_{mode}"] = Resize(size, mode=mode)(torch.as_tensor(volume.copy())).numpy()
    for longest in (6, 20, 9):
        cases[f"resize_longest_{longest}"] = Resize(longest, size_mode="longest")(torch.as_tensor(volume.copy())).numpy()
    # MONAI's Spacing on volumes with diagonal and oblique affines (ours are LPS, MONAI's RAS: the
    # same spacing and the same first voxel either way).
    from monai.data import MetaTensor
    from monai.transforms import Spacing

    rotation, _ = np.linalg.qr(np.eye(3) + rng.normal(0, 0.2, (3, 3)))
    for a, (axes, spacing) in enumerate((((1.0, 1.0, 1.0), None), ((0.7, 0.9, 2.5), None), ((1.2, 0.8, 3.0), rotation))):
        affine = np.eye(4)
        affine[:3, :3] = (spacing if spacing is not None else np.eye(3)) * np.array(axes)
        affine[:3, 3] = [5.0, -7.0, 12.0]
        cases[f"spacing_affine_{a}"] = affine
        for t, target in enumerate(((2.0, 2.0, 2.0), (0.6, 1.3, 1.0), (1.5, 1.5, 4.0))):
            for mode in ("bilinear", "nearest"):
                image = MetaTensor(torch.as_tensor(volume[:1].transpose(0, 3, 2, 1).copy()), affine=torch.as_tensor(affine))
                out = Spacing(pixdim=target, mode=mode, padding_mode="border")(image)
                cases[f"spacing_{a}_{t}_{mode}"] = out.numpy()
    np.savez_compressed(path, **cases)
    print(f"{path}: {len(cases) - 1} arrays from torch {torch.__version__}")


if __name__ == "__main__":
    main(sys.argv[1])
