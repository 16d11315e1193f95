"""The package surface: paths of any kind, open errors Python code can catch, checked names."""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np
import pytest

import loam
from dicom_bytes import image

READERS = {
    "read_file_meta": lambda p: loam.read_file_meta(p),
    "read_pixel_data": lambda p: loam.read_pixel_data(p),
    "has_pixel_data": lambda p: loam.has_pixel_data(p),
    "pixel_data_vr": lambda p: loam.pixel_data_vr(p),
    "read_json": lambda p: loam.read_json(p),
    "read_meta_json": lambda p: loam.read_meta_json(p),
    "decode": lambda p: loam.decode(p),
    "decode_stored": lambda p: loam.decode_stored(p),
    "n_frames": lambda p: loam.n_frames(p),
    "iod_validate": lambda p: loam.iod_validate(p),
    "read_diffusion": lambda p: loam.read_diffusion(p),
    "read_rtstruct": lambda p: loam.read_rtstruct(p),
    "read_rtdose": lambda p: loam.read_rtdose(p),
    "read_seg": lambda p: loam.read_seg(p),
    "read_ko": lambda p: loam.read_ko(p),
    "read_nifti": lambda p: loam.read_nifti(p),
    "siemens_diffusion": lambda p: loam.siemens_diffusion(p),
    "wsi_open_paths": lambda p: loam.wsi_open_paths([p]),
    "read": lambda p: loam.read(p),
}


@pytest.mark.parametrize("name", READERS)
def test_a_missing_file_is_both_file_not_found_and_runtime_error(tmp_path: Path, name: str) -> None:
    missing = tmp_path / "missing.dcm"
    with pytest.raises(FileNotFoundError) as caught:
        READERS[name](missing)
    assert isinstance(caught.value, RuntimeError) and caught.value.filename == str(missing)
    wording = "cannot read: " if name == "iod_validate" else "cannot open "  # the validator's own words
    assert str(caught.value) == f"{wording}{missing}"


@pytest.mark.parametrize("name", ["read_file_meta", "decode", "iod_validate", "read_seg", "read"])
def test_a_folder_and_a_forbidden_file(tmp_path: Path, name: str) -> None:
    with pytest.raises(IsADirectoryError):
        READERS[name](tmp_path)
    if os.geteuid() == 0:
        return  # root reads anything
    forbidden = tmp_path / "forbidden.dcm"
    forbidden.write_bytes(image(b"\0\0", 1, 1))
    forbidden.chmod(0)
    with pytest.raises(PermissionError) as caught:
        READERS[name](forbidden)
    assert isinstance(caught.value, RuntimeError)


def test_paths_of_any_kind(tmp_path: Path) -> None:
    path = tmp_path / "img.dcm"
    path.write_bytes(image(np.arange(4, dtype=np.uint16).tobytes(), 2, 2))

    class Custom(os.PathLike[str]):
        def __fspath__(self) -> str:
            return str(path)

    for given in (path, str(path), Custom()):
        assert loam.n_frames(given) == 1 and loam.read_file_meta(given)["has_meta"]
        assert loam.read(given).Rows == 2
    with pytest.raises(TypeError):
        loam.n_frames(str(path).encode())  # bytes are a file's content here, never its path
    volume, _ = loam.assemble_volume([path])
    assert volume.shape[-2:] == (2, 2)


@pytest.mark.parametrize("call, accepted", [
    (lambda: loam.dce_population_aif("parkr", np.array([0.0, 1.0]), 0.0), "'parker', 'georgiou'"),
    (lambda: loam.dsc_deconvolve_curve(np.ones(8), np.ones(8), 1.0, "tsvd"), "'osvd', 'ssvd', 'csvd'"),
    (lambda: loam.assemble_dwi(["x.dcm"], order="time"), "'gradient', 'acquisition'"),
])
def test_misspelt_names_are_refused_with_the_accepted_ones(call, accepted: str) -> None:
    with pytest.raises(ValueError, match=accepted):
        call()


def test_population_models_in_any_case() -> None:
    t = np.linspace(0, 5, 11)
    assert np.array_equal(loam.dce_population_aif("Georgiou", t, 0.0), loam.dce_population_aif("georgiou", t, 0.0))
