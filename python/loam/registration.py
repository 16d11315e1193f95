"""Applying the transforms of ``registration_transform``: points mapped with numpy, and the same
transform as a SimpleITK transform for resampling (SimpleITK must be installed for ``to_sitk``).

``registration_transform(path, from_frame, to_frame)`` gives what takes points of ``from_frame``
into ``to_frame``: a 4 x 4 matrix, or for a deformable registration (whose direction is always
from the registered frame to a source frame) the pre-matrix, the displacement grid and the
post-matrix. A point R becomes ``post @ (pre @ R + D(R))``, D interpolated trilinearly on the
grid (which lies in the registered frame; each grid point stands for the cell of one step about
it, as for SimpleITK) and zero beyond it.

SimpleITK resamples by mapping each output point into the input image, so the transform that
resamples a moving image onto a fixed image's grid is ``to_sitk(registration_transform(path,
fixed_frame, moving_frame))``.
"""

from __future__ import annotations

import importlib
from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

Transform = npt.NDArray[np.float64] | Mapping[str, Any]


def _grid_axes(grid: Mapping[str, Any]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    o = np.asarray(grid["orientation"], np.float64)
    x, y = o[:3], o[3:]
    axes = np.stack([x, y, np.cross(x, y)])  # rows: the grid's x, y and z directions
    return np.asarray(grid["origin"], np.float64), axes, np.asarray(grid["spacing"], np.float64)


def _displacement(grid: Mapping[str, Any], points: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The grid's displacement at each point: trilinear between the grid points, each grid point
    standing for the cell of one step about it (as SimpleITK takes a displacement field), zero
    beyond."""
    origin, axes, spacing = _grid_axes(grid)
    vectors = np.asarray(grid["vectors"], np.float64)  # (z, y, x, 3)
    nz, ny, nx = vectors.shape[:3]
    last = np.array([nx - 1, ny - 1, nz - 1])
    index = ((points - origin) @ axes.T) / spacing  # continuous (x, y, z) grid indices
    out = np.zeros_like(points)
    inside = np.all((index >= -0.5) & (index < last + 0.5), axis=1)
    if not inside.any():
        return out
    idx = np.clip(index[inside], 0, last)
    base = np.minimum(np.floor(idx).astype(np.int64), np.maximum(np.array([nx, ny, nz]) - 2, 0))
    frac = idx - base
    acc = np.zeros((len(idx), 3))
    for corner in range(8):
        step = np.array([(corner >> 0) & 1, (corner >> 1) & 1, (corner >> 2) & 1])
        at = np.minimum(base + step, np.array([nx - 1, ny - 1, nz - 1]))
        weight = np.prod(np.where(step == 1, frac, 1 - frac), axis=1)
        acc += weight[:, None] * vectors[at[:, 2], at[:, 1], at[:, 0]]
    out[inside] = acc
    return out


def map_points(transform: Transform, points: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """Points (n, 3) in the transform's from-frame, in its to-frame."""
    p = np.atleast_2d(np.asarray(points, np.float64))
    if not isinstance(transform, Mapping):
        m = np.asarray(transform, np.float64)
        return p @ m[:3, :3].T + m[:3, 3]
    pre = np.asarray(transform["pre"], np.float64)
    post = np.asarray(transform["post"], np.float64)
    moved = p @ pre[:3, :3].T + pre[:3, 3] + _displacement(transform["grid"], p)
    return moved @ post[:3, :3].T + post[:3, 3]


def to_sitk(transform: Transform) -> Any:
    """The transform as a SimpleITK transform taking the same points to the same places: an
    AffineTransform, or for a deformation a CompositeTransform of the pre-matrix, a
    DisplacementFieldTransform on the grid carried through it, and the post-matrix."""
    try:
        sitk: Any = importlib.import_module("SimpleITK")
    except ImportError as exc:  # an optional peer, not a dependency of loam
        raise ImportError("to_sitk needs SimpleITK (pip install SimpleITK)") from exc

    def affine(m: npt.NDArray[np.float64]) -> Any:
        t = sitk.AffineTransform(3)
        t.SetMatrix(m[:3, :3].ravel().tolist())
        t.SetTranslation(m[:3, 3].tolist())
        return t

    if not isinstance(transform, Mapping):
        return affine(np.asarray(transform, np.float64))
    grid = transform["grid"]
    pre = np.asarray(transform["pre"], np.float64)
    origin, axes, spacing = _grid_axes(grid)
    # The standard looks the displacement up where R lies on the grid, before the pre-matrix;
    # carried through the pre-matrix, the grid becomes one on which it is looked up where
    # pre R lies: the same index, so the same vector, inside the grid and (zero) out of it.
    steps = pre[:3, :3] @ axes.T @ np.diag(spacing)  # columns: one grid step along x, y, z
    moved_spacing = np.linalg.norm(steps, axis=0)
    field = sitk.GetImageFromArray(np.asarray(grid["vectors"], np.float64), isVector=True)
    field.SetOrigin((pre[:3, :3] @ origin + pre[:3, 3]).tolist())
    field.SetSpacing(moved_spacing.tolist())
    field.SetDirection((steps / moved_spacing).ravel().tolist())
    composite = sitk.CompositeTransform(3)  # the transform added last is applied first
    composite.AddTransform(affine(np.asarray(transform["post"], np.float64)))
    composite.AddTransform(sitk.DisplacementFieldTransform(field))
    composite.AddTransform(affine(pre))
    return composite


__all__ = ["map_points", "to_sitk"]
