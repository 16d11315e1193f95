"""Meshes for Surface Segmentations: a surface from a label map (marching cubes, through
scikit-image, which must be installed for ``from_labels``), and STL and OBJ files of a mesh."""

from __future__ import annotations

import struct
from collections.abc import Sequence
from os import PathLike
from typing import Any

import numpy as np
import numpy.typing as npt


def _affine(affine: npt.ArrayLike) -> npt.NDArray[np.float64]:
    a = np.asarray(affine, np.float64)
    if a.shape == (16,):  # the library's voxel-to-LPS affines are 16 numbers, column-major
        return a.reshape(4, 4, order="F")
    if a.shape != (4, 4):
        raise ValueError("affine is the 4 x 4 voxel-to-LPS matrix, or its 16 numbers column-major")
    return a


def signed_volume(vertices: npt.ArrayLike, faces: npt.ArrayLike) -> float:
    """The volume a closed mesh encloses, positive when its faces turn counter-clockwise seen
    from outside (normals outward)."""
    v = np.asarray(vertices, np.float64)[np.asarray(faces, np.int64)]
    return float(np.einsum("ij,ij->i", v[:, 0], np.cross(v[:, 1], v[:, 2])).sum() / 6.0)


def from_labels(labels: npt.ArrayLike, affine: npt.ArrayLike, label: int | None = None, *,
                step_size: int = 1) -> dict[str, Any]:
    """A closed triangle mesh of the voxels of ``label`` (all non-zero voxels when None) in a
    (slices, rows, columns) label map, in patient LPS mm by the map's voxel-to-LPS affine (as
    ``assemble_volume`` and ``read_seg`` give it), faces turned outward: a mesh ``write_surface``
    takes as it is ({"vertices", "faces", "normals"})."""
    try:
        from skimage.measure import marching_cubes
    except ImportError as exc:  # an optional peer, not a dependency of loam
        raise ImportError("from_labels needs scikit-image (pip install scikit-image)") from exc
    volume = np.asarray(labels)
    if volume.ndim != 3:
        raise ValueError("labels must be a (slices, rows, columns) array")
    mask = volume != 0 if label is None else volume == label
    if not mask.any():
        raise ValueError(f"no voxel has label {label}" if label is not None else "the label map is empty")
    # A border of background closes surfaces that touch the map's edge.
    padded = np.pad(mask.astype(np.float32), 1)
    verts, faces, normals, _ = marching_cubes(  # type: ignore[no-untyped-call]
        padded, 0.5, step_size=step_size, allow_degenerate=False)
    index = verts[:, ::-1] - 1.0  # (slice, row, column) to (column, row, slice), back from the border
    m = _affine(affine)
    vertices = index @ m[:3, :3].T + m[:3, 3]
    # Normals follow the gradient of the mask's index space; in patient space they take the inverse transpose.
    n = normals[:, ::-1] @ np.linalg.inv(m[:3, :3])
    n /= np.maximum(np.linalg.norm(n, axis=1, keepdims=True), 1e-12)
    faces = faces.astype(np.int64)
    if signed_volume(vertices, faces) < 0:
        faces = faces[:, ::-1].copy()
    if np.einsum("ij,ij->", n[faces[:, 0]], np.cross(vertices[faces[:, 1]] - vertices[faces[:, 0]],
                                                     vertices[faces[:, 2]] - vertices[faces[:, 0]])) < 0:
        n = -n  # the gradient points inward; normals point out
    return {"vertices": vertices.astype(np.float32), "faces": faces, "normals": n.astype(np.float32)}


def save_stl(path: str | PathLike[str], vertices: npt.ArrayLike, faces: npt.ArrayLike, name: str = "loam") -> None:
    """A binary STL file of a triangle mesh (units as the vertices are: mm for patient coordinates)."""
    v = np.asarray(vertices, np.float32)
    f = np.asarray(faces, np.int64)
    tri = v[f]
    normal = np.cross(tri[:, 1] - tri[:, 0], tri[:, 2] - tri[:, 0])
    normal /= np.maximum(np.linalg.norm(normal, axis=1, keepdims=True), 1e-30)
    records = np.zeros(len(f), dtype=[("n", "<f4", 3), ("v", "<f4", (3, 3)), ("attr", "<u2")])
    records["n"], records["v"] = normal, tri
    header = name.encode("ascii", "replace")[:80].ljust(80, b" ")
    if header.lower().startswith(b"solid"):  # readers would take it for an ASCII STL
        header = b"binary " + header[:73]
    with open(path, "wb") as out:
        out.write(header + struct.pack("<I", len(f)) + records.tobytes())


def save_obj(path: str | PathLike[str], vertices: npt.ArrayLike, faces: npt.ArrayLike,
             normals: npt.ArrayLike | None = None) -> None:
    """A Wavefront OBJ file of a triangle mesh (OBJ counts vertices from 1)."""
    v = np.asarray(vertices, np.float64)
    f = np.asarray(faces, np.int64) + 1
    lines = [f"v {x:.9g} {y:.9g} {z:.9g}" for x, y, z in v]
    if normals is not None:
        lines += [f"vn {x:.9g} {y:.9g} {z:.9g}" for x, y, z in np.asarray(normals, np.float64)]
        lines += [f"f {a}//{a} {b}//{b} {c}//{c}" for a, b, c in f]
    else:
        lines += [f"f {a} {b} {c}" for a, b, c in f]
    with open(path, "w", encoding="ascii") as out:
        out.write("\n".join(lines) + "\n")


def mesh_arrays(surface: dict[str, Any]) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int64]]:
    """(vertices, faces) of one mesh of ``read_surface``."""
    return np.asarray(surface["vertices"], np.float32), np.asarray(surface["faces"], np.int64)


__all__: Sequence[str] = ["from_labels", "mesh_arrays", "save_obj", "save_stl", "signed_volume"]
