"""roi_mask and plane_basis: the IBSI CT phantom's structure set against its NIfTI mask, and
structure sets built here (rings with holes, several contours on a slice, oblique and feet-first
series, contours that cannot be placed)."""

from __future__ import annotations

import io
from pathlib import Path

import numpy as np
import pydicom
import pytest
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian

import loam
from volume_series import write_series

IBSI = Path(__file__).resolve().parents[2] / "shared" / "reference" / "radiomics" / "ibsi" / "ibsi_1_ct_radiomics_phantom"


def ibsi(*parts: str) -> Path:
    if not IBSI.is_dir():
        pytest.skip(f"IBSI phantom not present at {IBSI}")
    return IBSI.joinpath(*parts)


def test_ibsi_phantom_equals_its_nifti_mask():
    nib = pytest.importorskip("nibabel")
    images = sorted(ibsi("dicom", "image").glob("*.dcm"))
    rtstruct = next(ibsi("dicom", "mask").glob("*.dcm"))
    mask, notes = loam.roi_mask(rtstruct, images, "GTV-1")
    truth = np.transpose(nib.load(ibsi("nifti", "mask", "mask.nii.gz")).get_fdata() > 0.5, (2, 1, 0))
    assert notes == [] and mask.dtype == np.uint8 and mask.shape == truth.shape
    dice = 2 * (mask.astype(bool) & truth).sum() / (mask.sum() + truth.sum())
    assert dice >= 0.99
    assert (mask.astype(bool) == truth).all()  # in fact every voxel agrees
    # The same on the grid assemble_volume gives, and by ROI number.
    _, meta = loam.assemble_volume(images)
    by_grid, _ = loam.roi_mask(rtstruct, {"shape": mask.shape, "affine": meta["affine"]}, 1)
    assert (by_grid == mask).all()


def rtstruct(contours: list[np.ndarray], name: str = "RING") -> bytes:
    """An RT Structure Set of one ROI whose contours are (N, 3) patient points."""
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.file_meta.MediaStorageSOPClassUID = ds.SOPClassUID = "1.2.840.10008.5.1.4.1.1.481.3"
    ds.file_meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID = "1.2.3.77"
    ds.Modality, ds.StudyInstanceUID, ds.SeriesInstanceUID = "RTSTRUCT", "1.2.3", "1.2.3.78"
    roi = Dataset()
    roi.ROINumber, roi.ROIName, roi.ReferencedFrameOfReferenceUID = 1, name, "1.2.3.9"
    ds.StructureSetROISequence = [roi]
    items = []
    for points in contours:
        c = Dataset()
        c.ContourGeometricType = "CLOSED_PLANAR"
        c.NumberOfContourPoints = len(points)
        c.ContourData = [float(v) for v in np.asarray(points, float).reshape(-1)]
        items.append(c)
    roi_contour = Dataset()
    roi_contour.ReferencedROINumber = 1
    roi_contour.ContourSequence = items
    ds.ROIContourSequence = [roi_contour]
    out = io.BytesIO()
    ds.save_as(out, enforce_file_format=True)
    return out.getvalue()


def square(c0, r0, c1, r1):
    """A square's corners in (column, row) pixel coordinates, as a closed outline."""
    return np.array([[c0, r0], [c1, r0], [c1, r1], [c0, r1]], float)


def to_patient(pixels, origin, row, column, spacing):
    """(column, row) pixel coordinates on a slice to patient points."""
    pixels = np.asarray(pixels, float)
    return origin + np.outer(pixels[:, 0] * spacing[1], row) + np.outer(pixels[:, 1] * spacing[0], column)


@pytest.mark.parametrize("orientation, step", [
    ((1, 0, 0, 0, 1, 0), 2.0),                      # head first, axial
    ((1, 0, 0, 0, 1, 0), -2.0),                     # slices stored feet first
    ((0.866025, 0.5, 0, -0.5, 0.866025, 0), 2.0),   # rotated in plane
    ((1, 0, 0, 0, 0.8, -0.6), 3.0),                 # oblique
], ids=["axial", "feet-first", "rotated", "oblique"])
def test_rings_keep_their_holes_on_any_grid(orientation, step, tmp_path):
    row, column = np.array(orientation[:3], float), np.array(orientation[3:], float)
    normal = np.cross(row, column)
    spacing = (0.75, 0.5)  # between rows, between columns
    origin0 = np.array([-10.0, 20.0, 5.0])
    positions = [origin0 + k * step * normal for k in range(4)]
    paths = write_series(tmp_path / "ct", np.zeros((4, 24, 20), np.int16), [tuple(p) for p in positions],
                         orientation=orientation, spacing=spacing)
    # Slice 2: a ring (outer square with a hole) and a separate small square; slice 1: a square.
    # Edges lie between pixel centres: the stored positions' decimal rounding cannot move a centre.
    k = 2
    contours = [to_patient(square(1.5, 1.5, 12.5, 14.5), positions[k], row, column, spacing),
                to_patient(square(4.5, 4.5, 9.5, 10.5), positions[k], row, column, spacing),
                to_patient(square(14.5, 17.5, 18.5, 21.5), positions[k], row, column, spacing),
                to_patient(square(2.5, 2.5, 6.5, 6.5), positions[1], row, column, spacing)]
    (tmp_path / "rs.dcm").write_bytes(rtstruct(contours))
    mask, notes = loam.roi_mask(tmp_path / "rs.dcm", paths, "RING")
    order = np.argsort([float(np.dot(p, normal)) for p in positions])  # the mask's slice order
    at = {int(order[i]): i for i in range(4)}
    expected = np.zeros((24, 20), np.uint8)
    expected[2:15, 2:13] = 1
    expected[5:11, 5:10] = 0  # the hole
    expected[18:22, 15:19] = 1
    assert notes == []
    assert (mask[at[2]] == expected).all()
    assert mask[at[1]].sum() == 16 and not mask[at[0]].any() and not mask[at[3]].any()


def test_pixel_centres_on_the_outline_count_in(tmp_path):
    paths = write_series(tmp_path / "ct", np.zeros((1, 10, 10), np.int16), [(0, 0, 0)], spacing=(1.0, 1.0))
    outer, hole = square(1, 1, 8, 8), square(3, 3, 6, 6)
    (tmp_path / "rs.dcm").write_bytes(rtstruct([np.c_[outer, np.zeros(4)], np.c_[hole, np.zeros(4)]]))
    mask, _ = loam.roi_mask(tmp_path / "rs.dcm", paths, "RING")
    expected = np.zeros((10, 10), np.uint8)
    expected[1:9, 1:9] = 1
    expected[4:6, 4:6] = 0  # inside the hole; its outline's own centres stay in
    assert (mask[0] == expected).all()


def test_contours_that_cannot_be_placed_are_left_out_with_a_note(tmp_path):
    paths = write_series(tmp_path / "ct", np.zeros((2, 8, 8), np.int16), [(0, 0, 0), (0, 0, 2)])
    contours = [np.array([[0, 0, 0], [1, 1, 0]], float),                  # two points
                np.array([[0, 0, 50], [2, 0, 50], [2, 2, 50]], float),    # far from both slices (not read past
                np.array([[0, 0, 3.25], [2, 0, 3.25], [2, 2, 3.25]], float),  # its first point); just beyond
                np.array([[0, 0, 2], [3, 0, 2], [3, 3, 2], [0, 3, 2]], float)]
    (tmp_path / "rs.dcm").write_bytes(rtstruct(contours, "A"))
    mask, notes = loam.roi_mask(tmp_path / "rs.dcm", paths, "A")
    assert notes == ["1 contour of ROI 'A' has fewer than three points; left out",
                     "contour 1 of ROI 'A' lies 50.00 mm along the normal, on no slice of the grid; left out",
                     "contour 2 of ROI 'A' lies 3.25 mm along the normal, on no slice of the grid; left out"]
    assert mask[1].sum() > 0 and not mask[0].any()
    with pytest.raises(RuntimeError, match="no ROI 'B'.*ROIs: 'A'"):
        loam.roi_mask(tmp_path / "rs.dcm", paths, "B")


def test_plane_basis():
    b = loam.plane_basis([2, 0, 0, 0, 0, -3], [1, 2, 3])
    assert b["row"] == [1, 0, 0] and b["column"] == [0, 0, -1]
    assert np.allclose(b["normal"], [0, 1, 0]) and b["slice_position"] == pytest.approx(2)
    for bad, text in (([0, 0, 0, 0, 1, 0], "non-zero"), ([1, 0, 0, 1, 0.1, 0], "not perpendicular"), ([1, 0, 0], "six numbers")):
        with pytest.raises(ValueError, match=text):
            loam.plane_basis(bad)


# rt-utils' masks (tools/rtutils_goldens.py): (slices, rows, columns) in its slice order.
RTUTILS = Path(__file__).resolve().parent / "data" / "rtutils_masks.npz"
DICOMPYLER = Path(__file__).resolve().parents[2] / "shared" / "realdata" / "dicompyler-core" / "tests" / "testdata" / "example_data"


def rtutils_mask(key: str) -> np.ndarray:
    saved = np.load(RTUTILS)
    shape = tuple(saved[key + "/shape"])
    return np.unpackbits(saved[key + "/bits"])[: int(np.prod(shape))].reshape(shape).astype(bool)


def rtutils_names(prefix: str) -> list[str]:
    return sorted({k.split("/")[1] for k in np.load(RTUTILS).files if k.startswith(prefix + "/")})


@pytest.mark.parametrize("name", rtutils_names("dicompyler"))
def test_dicompyler_masks_agree_with_rt_utils(name):
    """rt-utils rounds the outline's vertices to whole pixels and fills with OpenCV's fillPoly,
    which takes in every pixel the outline touches; we take pixels whose centre is inside. So
    every voxel where the two differ lies on our mask's edge or within two pixels outside it, or
    is one of the few pixels rt-utils fills for BODY's two sliver contours (4 points, a third of a
    pixel wide), which hold no pixel centre."""
    if not DICOMPYLER.is_dir():
        pytest.skip(f"dicompyler-core's example data not present at {DICOMPYLER}")
    ndimage = pytest.importorskip("scipy.ndimage")
    ours, _ = loam.roi_mask(DICOMPYLER / "rtss.dcm", [DICOMPYLER / "ct.0.dcm"], name)
    ours = ours.astype(bool)
    theirs = rtutils_mask(f"dicompyler/{name}")
    assert theirs.shape == ours.shape
    if not theirs.any():
        assert not ours.any()  # this ROI has no contour on the one slice there is
        return
    dice = 2 * (ours & theirs).sum() / (ours.sum() + theirs.sum())
    assert dice >= 0.99
    differ = ours ^ theirs
    just_outside = ndimage.binary_dilation(ours, np.ones((1, 3, 3), bool), iterations=2) & ~ours
    edge = ours & ~ndimage.binary_erosion(ours, np.ones((1, 3, 3), bool))
    elsewhere, count = ndimage.label(differ & ~(just_outside | edge))
    assert count <= 2 and all((elsewhere == k).sum() <= 4 for k in range(1, count + 1))
    assert (theirs & ~ours).sum() >= 50 * (ours & ~theirs).sum()  # nearly all of it theirs, outside
