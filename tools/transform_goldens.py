"""Golden answers of MONAI's label transforms for tests/test_transform_labels.py.

Run in a scratch environment that has MONAI and torch (never in the project's .venv: torch's wheel
is several GB):

    python -m venv /tmp/peers && /tmp/peers/bin/pip install torch monai scikit-image
    /tmp/peers/bin/python tools/transform_goldens.py tests/data/transform_labels_monai.npz

The inputs are small random label maps drawn here from a fixed seed; every input and MONAI's
output are stored, with the MONAI version.
"""

from __future__ import annotations

import sys

import monai
import numpy as np
import skimage
import torch
from monai.transforms import FillHoles, KeepLargestConnectedComponent, RemoveSmallObjects


def volumes(seed: int) -> list[np.ndarray]:
    rng = np.random.default_rng(seed)
    out = []
    for density, labels in ((0.35, 1), (0.5, 1), (0.55, 3), (0.7, 2)):
        for _ in range(3):
            mask = rng.random((9, 10, 11)) < density
            out.append((mask * rng.integers(1, labels + 1, mask.shape)).astype(np.int16))
    return out


def run(transform, volume: np.ndarray) -> np.ndarray:
    # A copy: MONAI's transforms change their input tensor, which would share the array's memory.
    result = transform(torch.as_tensor(volume[None].copy()))
    return np.asarray(result[0].cpu().numpy()).astype(volume.dtype)


def main(path: str) -> None:
    # RemoveSmallObjects goes through scikit-image, whose min_size changed meaning in 0.26.
    cases: dict[str, np.ndarray] = {"monai_version": np.array(monai.__version__),
                                    "skimage_version": np.array(skimage.__version__)}
    for n, volume in enumerate(volumes(29)):
        cases[f"input_{n}"] = volume.copy()
        for conn in (None, 1, 2):
            for k in (1, 2):
                for independent in (True, False):
                    t = KeepLargestConnectedComponent(independent=independent, connectivity=conn, num_components=k)
                    cases[f"keep_{n}_{conn}_{k}_{int(independent)}"] = run(t, volume)
            cases[f"keep_applied_{n}_{conn}"] = run(KeepLargestConnectedComponent(applied_labels=[1], connectivity=conn), volume)
            cases[f"fill_{n}_{conn}"] = run(FillHoles(connectivity=conn), volume)
        cases[f"fill_applied_{n}"] = run(FillHoles(applied_labels=[2]), volume)
        for conn in (1, 3):
            for size in (1, 5, 64):
                cases[f"small_{n}_{conn}_{size}"] = run(RemoveSmallObjects(min_size=size, connectivity=conn), volume)
    np.savez_compressed(path, **cases)
    print(f"{path}: {len(cases) - 2} arrays from MONAI {monai.__version__}, scikit-image {skimage.__version__}")


if __name__ == "__main__":
    main(sys.argv[1])
