"""Streamline files (TrackVis .trk, MRtrix .tck) to and from the patient coordinates of DICOM
Tractography Results, through nibabel (which must be installed for these helpers)."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _core

_LPS = np.array([-1.0, -1.0, 1.0], np.float32)


def _nibabel() -> Any:
    try:
        import nibabel
    except ImportError as exc:  # an optional peer, not a dependency of loam
        raise ImportError("reading and writing .trk and .tck files needs nibabel (pip install nibabel)") from exc
    return nibabel


def load_streamlines(path: str) -> list[npt.NDArray[np.float32]]:
    """The streamlines of a .trk or .tck file as float32 (points, 3) arrays in patient LPS mm, ready
    for ``write_mktract`` (nibabel gives them in RAS mm; x and y are negated)."""
    nib = _nibabel()
    tractogram = nib.streamlines.load(path)
    return _core.dti_tracks_to_patient([np.asarray(s) for s in tractogram.streamlines], np.eye(4), "rasmm")


def save_streamlines(tracks: Sequence[npt.ArrayLike], path: str, affine: npt.ArrayLike | None = None,
                     shape: Sequence[int] | None = None) -> None:
    """Writes tracks in patient LPS mm (``read_tract``'s) as a .trk or .tck file by its suffix.

    affine and shape describe the image the tracks lie on (its voxel-to-RAS matrix and its voxel
    counts): TrackVis files record them; without them the identity and a 1 x 1 x 1 grid are written.
    """
    nib = _nibabel()
    ras = [np.asarray(t, np.float32) * _LPS for t in tracks]
    tractogram = nib.streamlines.Tractogram(ras, affine_to_rasmm=np.eye(4))
    if str(path).lower().endswith(".trk"):
        header: dict[str, Any] = {}
        matrix = np.eye(4) if affine is None else np.asarray(affine, float).reshape(4, 4)
        header[nib.streamlines.Field.VOXEL_TO_RASMM] = matrix
        header[nib.streamlines.Field.VOXEL_SIZES] = np.linalg.norm(matrix[:3, :3], axis=0).astype(np.float32)
        header[nib.streamlines.Field.DIMENSIONS] = np.array(shape if shape is not None else (1, 1, 1), np.int16)
        header[nib.streamlines.Field.VOXEL_ORDER] = "".join(nib.aff2axcodes(matrix))
        nib.streamlines.save(tractogram, str(path), header=header)
    else:
        nib.streamlines.save(tractogram, str(path))
