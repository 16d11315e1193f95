"""Golden answers of MONAI's sliding-window positions, gaussian importance map and CropForeground
for tests/test_transform_window.py.

Run in a scratch environment with MONAI and torch (never in the project's .venv):

    /tmp/peers/bin/python tools/transform_window_goldens.py tests/data/transform_window_monai.npz
"""

from __future__ import annotations

import sys

import monai
import numpy as np
import torch
from monai.data.utils import compute_importance_map, dense_patch_slices
from monai.inferers.utils import _get_scan_interval
from monai.transforms import CropForeground

IMAGES = [(96, 96, 96), (100, 37, 5), (64, 200, 130), (7, 7, 7)]
ROIS = [(96, 96, 96), (64, 64, 64), (32, 48, 16), (128, 16, 8)]
OVERLAPS = [0.0, 0.25, 0.5, 0.625, 0.9]
PATCHES = [(24, 32, 20), (64, 48, 16), (7, 8, 9), (1, 2, 3)]
FOREGROUND = [((0,), False, (1,)), ((2,), False, (1,)), ((2,), True, (1,)), ((1,), False, (16,)),
              ((3,), True, (5,)), ((0, 4, 1), False, (3, 1, 4))]


def main(path: str) -> None:
    cases: dict[str, np.ndarray] = {"monai_version": np.array(monai.__version__)}
    for i, image in enumerate(IMAGES):
        for r, roi in enumerate(ROIS):
            for o, overlap in enumerate(OVERLAPS):
                padded = tuple(max(a, b) for a, b in zip(image, roi))  # sliding_window_inference pads first
                interval = _get_scan_interval(padded, roi, 3, (overlap,) * 3)
                slices = dense_patch_slices(padded, roi, interval, return_slice=False)
                cases[f"windows_{i}_{r}_{o}"] = np.array([[s[0] for s in w] for w in slices], np.int64)
    for p, patch in enumerate(PATCHES):
        for scale in (0.125, 0.25):
            cases[f"importance_{p}_{scale}"] = compute_importance_map(patch, "gaussian", scale).numpy()
    rng = np.random.default_rng(3)
    volume = np.zeros((2, 12, 14, 16), np.float32)
    volume[0, 3:7, 5:9, 2:4] = rng.random((4, 4, 2)) + 0.5
    volume[1, 8, 1, 13] = 2.0
    cases["volume"] = volume
    for f, (margin, allow, k) in enumerate(FOREGROUND):
        t = CropForeground(margin=margin if len(margin) > 1 else margin[0], allow_smaller=allow,
                           k_divisible=k if len(k) > 1 else k[0])
        cases[f"foreground_{f}"] = np.asarray(t(torch.as_tensor(volume.copy())).numpy())
    cases["foreground_empty"] = np.asarray(CropForeground()(torch.zeros((1, 4, 4, 4))).numpy())
    np.savez_compressed(path, **cases)
    print(f"{path}: {len(cases) - 1} arrays from MONAI {monai.__version__}")


if __name__ == "__main__":
    main(sys.argv[1])
