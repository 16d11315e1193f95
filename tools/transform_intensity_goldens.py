"""Golden answers of MONAI's intensity transforms for tests/test_transform_intensity.py.

Run in a scratch environment with MONAI and torch (never in the project's .venv):

    /tmp/peers/bin/python tools/transform_intensity_goldens.py tests/data/transform_intensity_monai.npz
"""

from __future__ import annotations

import sys

import monai
import numpy as np
import torch
from monai.transforms import (AdjustContrast, AsDiscrete, GaussianSmooth, NormalizeIntensity, ScaleIntensityRange,
                              ScaleIntensityRangePercentiles)


def main(path: str) -> None:
    rng = np.random.default_rng(31)
    volume = (rng.normal(40, 300, (2, 6, 7, 8)) * (rng.random((2, 6, 7, 8)) < 0.7)).astype(np.float32)
    volume[1, 0, 0, :3] = 0
    ints = rng.integers(-1024, 3000, (1, 5, 6, 7)).astype(np.int16)
    flat = np.full((1, 3, 3, 3), 5.0, np.float32)

    def run(transform, array):
        return np.asarray(transform(torch.as_tensor(array.copy())).numpy()).astype(np.float32)

    cases: dict[str, np.ndarray] = {"monai_version": np.array(monai.__version__), "volume": volume, "ints": ints,
                                    "flat": flat}
    for name, array in (("volume", volume), ("ints", ints), ("flat", flat)):
        for nonzero in (False, True):
            for channel_wise in (False, True):
                cases[f"zscore_{name}_{int(nonzero)}_{int(channel_wise)}"] = run(
                    NormalizeIntensity(nonzero=nonzero, channel_wise=channel_wise), array)
        cases[f"zscore_given_{name}"] = run(NormalizeIntensity(subtrahend=10.0, divisor=4.0), array)
        cases[f"range_{name}"] = run(ScaleIntensityRange(-200, 400, 0.0, 1.0, clip=False), array)
        cases[f"range_clip_{name}"] = run(ScaleIntensityRange(-200, 400, -1.0, 1.0, clip=True), array)
        cases[f"range_open_{name}"] = run(ScaleIntensityRange(-200, 400, None, None), array)
        for lower, upper in ((0.5, 99.5), (5, 95), (0, 100), (25, 25.5)):
            for relative in (False, True):
                for channel_wise in (False, True):
                    # torch.quantile takes floats only: integers go in as float32, as ours are read.
                    cases[f"pct_{name}_{lower}_{upper}_{int(relative)}_{int(channel_wise)}"] = run(
                        ScaleIntensityRangePercentiles(lower, upper, 0.0, 1.0, clip=True, relative=relative,
                                                       channel_wise=channel_wise), array.astype(np.float32))
        for gamma in (0.5, 1.0, 2.5):
            cases[f"contrast_{name}_{gamma}"] = run(AdjustContrast(gamma), array.astype(np.float32))
        cases[f"threshold_{name}"] = run(AsDiscrete(threshold=40.0), array)
    cases["argmax"] = run(AsDiscrete(argmax=True), volume)
    for sigma in (0.4, 1.0, 2.5, (0.0, 1.5, 0.7)):
        key = "_".join(map(str, sigma)) if isinstance(sigma, tuple) else str(sigma)
        cases[f"smooth_{key}"] = run(GaussianSmooth(sigma), volume)
    # TorchIO's RescaleIntensity, the robust rescaling we follow (its masking too).
    import torchio

    mask = (volume[0] != 0).astype(np.uint8)
    cases["mask"] = mask
    for name, array in (("volume", volume), ("ints", ints), ("flat", flat)):
        for p, percentiles in enumerate(((0, 100), (0.5, 99.5), (5, 95))):
            for masked in (False, True):
                if masked and name != "volume":
                    continue
                kwargs = {"masking_method": lambda x: torch.as_tensor(mask[None] > 0).expand_as(x)} if masked else {}
                t = torchio.RescaleIntensity(out_min_max=(-1, 1), percentiles=percentiles, **kwargs)
                out = t(torchio.ScalarImage(tensor=torch.as_tensor(array.astype(np.float32))))
                cases[f"robust_{name}_{p}_{int(masked)}"] = out.data.numpy().astype(np.float32)
    cases["torchio_version"] = np.array(torchio.__version__)
    np.savez_compressed(path, **cases)
    print(f"{path}: {len(cases) - 4} arrays from MONAI {monai.__version__}")


if __name__ == "__main__":
    main(sys.argv[1])
