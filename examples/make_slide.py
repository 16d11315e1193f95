"""Writes a small three-level JPEG slide pyramid (with a label) for the demo, one file per instance."""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

import loam


def main(folder: str) -> int:
    out = Path(folder)
    out.mkdir(parents=True, exist_ok=True)
    y, x = np.mgrid[0:1500, 0:2000]
    tissue = ((x - 1000) / 800.0) ** 2 + ((y - 750) / 500.0) ** 2 < 1
    rgb = np.full((1500, 2000, 3), 245, np.uint8)
    rgb[tissue] = np.stack([200 + (x[tissue] % 40), 90 + (y[tissue] % 60), 160 + ((x + y)[tissue] % 50)], axis=-1)
    label = np.full((120, 300, 3), 255, np.uint8)
    label[40:80, 30:270] = 0
    files = loam.wsi_write_pyramid(rgb, 256, 256, levels=3, label=label)
    for i, data in enumerate(files):
        (out / f"instance{i}.dcm").write_bytes(data)
    print(f"wrote {len(files)} instances to {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "slide"))
