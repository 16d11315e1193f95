"""Golden answers of MONAI's crops and pads for tests/test_transform_rearrange.py.

Run in a scratch environment with MONAI and torch (never in the project's .venv):

    /tmp/peers/bin/python tools/transform_rearrange_goldens.py tests/data/transform_rearrange_monai.npz
"""

from __future__ import annotations

import sys

import monai
import numpy as np
import torch
from monai.transforms import CenterSpatialCrop, DivisiblePad, Flip, Rotate90, SpatialPad


def main(path: str) -> None:
    rng = np.random.default_rng(13)
    cases: dict[str, np.ndarray] = {"monai_version": np.array(monai.__version__)}
    shapes = [(5, 6, 7), (4, 9, 2), (1, 3, 8)]
    rois = [(3, 3, 3), (2, 10, 1), (-1, 4, 0), (5, 6, 7), (6, 2, 9)]
    sizes = [(8, 8, 8), (5, 6, 7), (2, 11, 10), (-1, 12, 9)]
    divisors = [(4, 4, 4), (3, 5, 2), (16, 1, 0)]

    def run(transform, volume):
        return np.asarray(transform(torch.as_tensor(volume[None].copy()))[0].numpy())

    for s, shape in enumerate(shapes):
        volume = rng.integers(1, 1000, shape).astype(np.int32)
        cases[f"input_{s}"] = volume
        for r, roi in enumerate(rois):
            cases[f"center_{s}_{r}"] = run(CenterSpatialCrop(roi), volume)
        for z, size in enumerate(sizes):
            for method in ("symmetric", "end"):
                cases[f"spatial_{s}_{z}_{method}"] = run(SpatialPad(size, method=method), volume)
        for d, k in enumerate(divisors):
            for method in ("symmetric", "end"):
                cases[f"divisible_{s}_{d}_{method}"] = run(DivisiblePad(k, method=method), volume)
        for k in (1, 2, 3):
            for axes in ((0, 1), (1, 2), (0, 2)):
                cases[f"rot90_{s}_{k}_{axes[0]}{axes[1]}"] = run(Rotate90(k, axes), volume)
        for axes in ((0,), (1, 2), (0, 1, 2)):
            cases[f"flip_{s}_{''.join(map(str, axes))}"] = run(Flip(axes), volume)
    np.savez_compressed(path, **cases)
    print(f"{path}: {len(cases) - 1} arrays from MONAI {monai.__version__}")


if __name__ == "__main__":
    main(sys.argv[1])
