"""What the README's examples take as given, with its type: a user's script would have these."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

import loam

paths: list[str]
ref_paths: list[str]
data: bytes
frame0: bytes
frame1: bytes
a: bytes
b: bytes
c: bytes
bvals: list[float]
bvecs: list[list[float]]
vol: NDArray[np.float32]
affine: list[float]
mask: NDArray[np.uint8]
tissue_conc: NDArray[np.float64]
aif_conc: NDArray[np.float64]
signal_tzyx: NDArray[np.float32]
times_min: NDArray[np.float64]
vfa_volumes: NDArray[np.float32]
labelmap_uint16: NDArray[np.uint16]
maps_uint8: NDArray[np.uint8]
masks_uint8: NDArray[np.uint8]
rgb: NDArray[np.uint8]
label_rgb: NDArray[np.uint8]
x: int
y: int
baseline: list[dict[str, object]]
current: list[dict[str, object]]
s: str
se: str
i: str
