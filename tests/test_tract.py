"""Tractography Results: DIPY's bundled streamlines (through nibabel) written and read back in LPS,
streamline spaces converted to patient coordinates, and dciodvfy's verdict."""

from __future__ import annotations

import warnings

import numpy as np
import pytest

import loam
from peer_tools import dciodvfy_errors
from volume_series import write_series

MR = "1.2.840.10008.5.1.4.1.1.4"
LPS = np.array([-1, -1, 1], np.float32)




@pytest.fixture
def series(tmp_path):
    return write_series(tmp_path / "mr", np.zeros((3, 4, 4), np.int16), [(0, 0, 2.0 * k) for k in range(3)],
                        sop_class=MR, intercept=0.0)


def dipy_trk():
    nib = pytest.importorskip("nibabel")
    data = pytest.importorskip("dipy.data")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return nib.streamlines.load(data.get_fnames(name="small_25_streamlines"))


def test_dipy_streamlines_round_trip_in_lps(series, tmp_path):
    trk = dipy_trk()
    lps = [np.asarray(s, np.float32) * LPS for s in trk.streamlines]  # nibabel gives RAS mm
    fa = [np.linspace(0, 1, len(s), dtype=np.float32) for s in lps]
    sets = [{"label": "EuDX", "description": "DIPY's small_25", "tracks": lps, "rgb": (255, 0, 0),
             "algorithm": {"family": ("113218", "DCM", "Euler"), "name": "EuDX", "version": "dipy",
                           "parameters": "step 0.5"},
             "measurements": [{"quantity": ("110808", "DCM", "Fractional Anisotropy"), "unit": ("1", "UCUM", "no units"),
                               "values": fa}]},
            {"label": "first ten", "tracks": lps[:10]}]
    out = tmp_path / "tracts.dcm"
    assert loam.write_mktract(series, sets, content_description="test", output=out) is None
    assert dciodvfy_errors(out) == []
    back = loam.read_tract(out)
    first, second = back["track_sets"]
    assert first["label"] == "EuDX" and first["description"] == "DIPY's small_25" and second["label"] == "first ten"
    assert len(first["tracks"]) == len(lps) and all(np.array_equal(a, b) for a, b in zip(first["tracks"], lps))
    assert first["tracks"][0].dtype == np.float32
    assert first["rgb"] == (255, 0, 0)  # through CIELab and back
    assert first["algorithm"] == {"family": ("113218", "DCM", "Euler"), "name": "EuDX", "version": "dipy",
                                  "parameters": "step 0.5"}
    assert first["model"] == ("113231", "DCM", "Single Tensor") and first["acquisition"] == ("113223", "DCM", "DTI")
    measurement = first["measurements"][0]
    assert measurement["quantity"][0] == "110808" and all(np.array_equal(a, b) for a, b in zip(measurement["values"], fa))
    assert back["content_description"] == "test" and back["frame_of_reference_uid"] == "1.2.3.9"
    assert loam.read_tract(out.read_bytes())["track_sets"][1]["tracks"][3].shape == lps[3].shape


def test_streamline_spaces_to_patient():
    trk = dipy_trk()
    rasmm = [np.asarray(s, np.float64) for s in trk.streamlines][:20]
    expected = [(s * LPS).astype(np.float32) for s in rasmm]
    # A voxel-to-RAS affine with anisotropic voxels and an offset, as a NIfTI would state it.
    affine = np.array([[2.0, 0, 0, -90], [0, 1.5, 0, -126], [0, 0, 3.0, -72], [0, 0, 0, 1]])
    vox = [(s - affine[:3, 3]) / np.diag(affine)[:3] for s in rasmm]          # NIfTI: voxel centres at integers
    voxmm = [(v + 0.5) * np.diag(affine)[:3] for v in vox]                   # TrackVis: corner origin, mm
    for given, space, origin in [(rasmm, "rasmm", "center"), (vox, "vox", "center"), (voxmm, "voxmm", "corner")]:
        got = loam.dti_tracks_to_patient(given, affine, space, origin)
        assert all(np.allclose(a, b, atol=1e-4) for a, b in zip(got, expected)), space
    shifted = loam.dti_tracks_to_patient([vox[0]], affine, "vox", "corner")[0]
    assert np.allclose(shifted - expected[0], -0.5 * np.diag(affine)[:3] * LPS, atol=1e-4)


@pytest.mark.parametrize("sets, message", [
    ([], "no track sets"),
    ([{"label": "", "tracks": [np.zeros((2, 3))]}], "needs a label"),
    ([{"label": "a", "tracks": []}], "has no tracks"),
    ([{"label": "a", "tracks": [np.full((2, 3), np.nan)]}], "not finite"),
    ([{"label": "a", "tracks": [np.zeros((2, 2))]}], r"\(points, 3\) array"),
    ([{"label": "a", "tracks": [np.zeros((2, 3))], "colour": 1}], "colour"),
    ([{"label": "a", "tracks": [np.zeros((2, 3))], "measurements": [
        {"quantity": ("110808", "DCM", "FA"), "unit": ("1", "UCUM", "1"), "values": [np.zeros(3)]}]}],
     "one value a point of track 1"),
])
def test_refused_in_words(series, sets, message):
    with pytest.raises(ValueError, match=message):
        loam.write_mktract(series, sets)


def test_reading_something_else(series):
    with pytest.raises(RuntimeError, match="not a Tractography Results object"):
        loam.read_tract(series[0])


@pytest.mark.parametrize("suffix", [".trk", ".tck"])
def test_trk_and_tck_round_trip_through_dicom(series, tmp_path, suffix):
    from loam.tracts import load_streamlines, save_streamlines

    nib = pytest.importorskip("nibabel")
    trk = dipy_trk()
    original = [np.asarray(s, np.float32) for s in trk.streamlines]
    lps = load_streamlines(dipy_path())
    assert all(np.array_equal(a, b * LPS) for a, b in zip(lps, original))
    dcm = tmp_path / "t.dcm"
    loam.write_mktract(series, [{"label": "all", "tracks": lps}], output=dcm)
    back = loam.read_tract(dcm)["track_sets"][0]["tracks"]
    out = tmp_path / f"t{suffix}"
    save_streamlines(back, str(out), affine=trk.affine, shape=(25, 25, 25))
    again = [np.asarray(s, np.float32) for s in nib.streamlines.load(str(out)).streamlines]
    assert len(again) == len(original) and all(np.allclose(a, b, atol=1e-4) for a, b in zip(again, original))


def dipy_path() -> str:
    data = pytest.importorskip("dipy.data")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return str(data.get_fnames(name="small_25_streamlines"))
