#!/usr/bin/env python3
"""rt-utils' rasterisation of the structure sets the tests use, saved as tests/data/rtutils_masks.npz.

rt-utils needs OpenCV, which the project does not install, so this runs in a scratch environment
of its own, with the project's built package put on the path for the structure sets we write:

    python3.12 -m venv /tmp/rtu && /tmp/rtu/bin/pip install rt-utils opencv-python-headless
    /tmp/rtu/bin/python tools/rtutils_goldens.py .venv/lib/python3.12/site-packages

Each mask is kept as packed bits with its shape, (slices, rows, columns) in rt-utils' slice order,
with the SOP Instance UIDs of those slices so a test can line them up with ours.
"""
import shutil
import sys
import tempfile
import warnings
from pathlib import Path

import numpy as np
import pydicom
import rt_utils.rtstruct_builder
from rt_utils import RTStructBuilder

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared"
DICOMPYLER = SHARED / "realdata/dicompyler-core/tests/testdata/example_data"
IBSI = SHARED / "reference/radiomics/ibsi/ibsi_1_ct_radiomics_phantom/dicom"

# rt-utils 1.2.7 warns through a module it never imports (its warn_only path).
rt_utils.rtstruct_builder.warnings = warnings


def masks_of(series: Path, rtstruct: Path, names: list[str] | None = None) -> tuple[dict, list[str]]:
    rt = RTStructBuilder.create_from(dicom_series_path=str(series), rt_struct_path=str(rtstruct), warn_only=True)
    uids = [s.SOPInstanceUID for s in rt.series_data]
    out = {}
    for name in names or rt.get_roi_names():
        try:
            out[name] = np.transpose(rt.get_roi_mask_by_name(name), (2, 0, 1))
        except AttributeError as why:  # rt-utils needs each contour's image reference, and contours
            print(f"rt-utils cannot rasterise {name} of {rtstruct.name}: {why}")
            continue
    return out, uids


def ring(shape: tuple[int, int, int]) -> np.ndarray:
    """A ring (an annulus with a hole) on a few slices and a separate disc beside it."""
    z, y, x = np.ogrid[: shape[0], : shape[1], : shape[2]]
    r = np.hypot(y - shape[1] / 2, x - shape[2] / 2)
    mask = (r <= 60) & (r >= 25) & (z >= shape[0] // 2 - 3) & (z <= shape[0] // 2 + 3)
    mask |= (np.hypot(y - shape[1] / 2, x - shape[2] / 2 - 80) <= 12) & (z == shape[0] // 2)
    return mask.astype(np.uint8)


def main(site: str) -> None:
    # Only the package itself: the rest of the project's environment stays out of the way.
    only = Path(tempfile.mkdtemp())
    (only / "loam").symlink_to(Path(site).resolve() / "loam")
    sys.path.insert(0, str(only))
    import loam  # the project's built package

    arrays = {}

    def keep(key: str, mask: np.ndarray, uids: list[str]) -> None:
        arrays[key + "/bits"] = np.packbits(mask.astype(bool).reshape(-1))
        arrays[key + "/shape"] = np.array(mask.shape)
        arrays[key + "/uids"] = np.array(uids)

    scratch = Path(tempfile.mkdtemp())
    try:
        (scratch / "ct").mkdir()
        shutil.copy(DICOMPYLER / "ct.0.dcm", scratch / "ct")
        masks, uids = masks_of(scratch / "ct", DICOMPYLER / "rtss.dcm")
        for name, mask in masks.items():
            keep(f"dicompyler/{name}", mask, uids)
        images = sorted((IBSI / "image").glob("*.dcm"))
        # The phantom's own structure set has no Contour Image Sequence, without which rt-utils
        # cannot place a contour: it is compared with its NIfTI mask instead.
        masks_of(IBSI / "image", next((IBSI / "mask").glob("*.dcm")), ["GTV-1"])
        # What our writer makes, read back by rt-utils: the phantom's ROI and a ring, on its grid.
        gtv, _ = loam.roi_mask(next((IBSI / "mask").glob("*.dcm")), images, "GTV-1")
        written = scratch / "rs.dcm"
        loam.write_mkrtstruct(images, [gtv, ring(gtv.shape)], [{"name": "GTV"}, {"name": "RING"}], output=written)
        masks, uids = masks_of(IBSI / "image", written)
        for name, mask in masks.items():
            keep(f"written/{name}", mask, uids)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    target = ROOT / "tests" / "data" / "rtutils_masks.npz"
    np.savez_compressed(target, **arrays)
    print(f"wrote {target} ({target.stat().st_size} bytes): {sorted({k.rsplit('/', 1)[0] for k in arrays})}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else str(ROOT / ".venv/lib/python3.12/site-packages"))
