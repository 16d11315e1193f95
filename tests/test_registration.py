"""Spatial and deformable registrations: round trips, the direction and composition of their
transforms, SimpleITK resampling through them, and pydicomrt's reading of the same objects."""

from __future__ import annotations

import json
from pathlib import Path

import numpy as np
import pydicom
import pytest

import loam
from loam.registration import map_points, to_sitk
from peer_tools import dciodvfy_errors
from volume_series import write_series

sitk = pytest.importorskip("SimpleITK")

DATA = Path(__file__).parent / "data"
FIXED_FRAME, MOVING_FRAME = "1.2.3.9", "1.2.3.77"


def rotation_z(degrees: float, shift=(0.0, 0.0, 0.0)) -> np.ndarray:
    t = np.radians(degrees)
    m = np.eye(4)
    m[:2, :2] = [[np.cos(t), -np.sin(t)], [np.sin(t), np.cos(t)]]
    m[:3, 3] = shift
    return m


@pytest.fixture(scope="module")
def series(tmp_path_factory):
    root = tmp_path_factory.mktemp("reg")
    # 16 slices of 32 x 32, 0.5 x 0.75 mm pixels, 2 mm apart; a bright block in the moving one.
    moving_volume = np.zeros((16, 32, 32), np.int16)
    moving_volume[6:10, 10:16, 12:20] = 1000
    positions = [(-8.0, -12.0, 2.0 * k) for k in range(16)]
    fixed = write_series(root / "fixed", np.zeros((16, 32, 32), np.int16), positions, frame_of_reference=FIXED_FRAME)
    moving = write_series(root / "moving", moving_volume, positions, series="1.2.3.2", frame_of_reference=MOVING_FRAME)
    return fixed, moving


def test_rigid_round_trip_direction_and_composition(series, tmp_path):
    fixed, moving = series
    m1, m2 = rotation_z(10, (5.0, -3.0, 2.0)), rotation_z(-4, (0.0, 1.5, 0.0))
    path = tmp_path / "rigid.dcm"
    loam.write_registration(fixed, [{"images": moving, "matrices": [m1, m2], "comment": "two steps"}], output=path)
    assert dciodvfy_errors(path) == []
    found = loam.read_registration(str(path))
    assert not found["deformable"] and found["registered_frame"] == FIXED_FRAME
    # An identity item for the fixed frame comes first, as readers expect.
    assert [r["frame_of_reference_uid"] for r in found["registrations"]] == [FIXED_FRAME, MOVING_FRAME]
    np.testing.assert_allclose(found["registrations"][0]["matrix"], np.eye(4))
    item = found["registrations"][1]
    assert [s["type"] for s in item["matrices"]] == ["RIGID", "RIGID"] and item["comment"] == "two steps"
    assert len(item["images"]) == 16
    # Source to registered, the first matrix applied first.
    np.testing.assert_allclose(item["matrix"], m2 @ m1, atol=1e-12)
    np.testing.assert_allclose(loam.registration_transform(str(path), MOVING_FRAME, FIXED_FRAME), m2 @ m1, atol=1e-12)
    np.testing.assert_allclose(loam.registration_transform(str(path), FIXED_FRAME, MOVING_FRAME),
                               np.linalg.inv(m2 @ m1), atol=1e-12)
    np.testing.assert_allclose(loam.registration_transform(str(path), MOVING_FRAME, MOVING_FRAME), np.eye(4))
    with pytest.raises(ValueError, match="no registration of this object relates frame 1.2.3.77 to frame 9.9"):
        loam.registration_transform(str(path), MOVING_FRAME, "9.9")


def test_two_sources_relate_through_the_registered_frame(series):
    fixed, _ = series
    a, b = rotation_z(30, (1.0, 2.0, 3.0)), np.diag([2.0, 2.0, 2.0, 1.0])
    data = loam.write_registration(fixed, [{"frame_of_reference_uid": "1.2.3.80", "matrix": a},
                                           {"frame_of_reference_uid": "1.2.3.81", "matrix": b}])
    found = loam.read_registration(data)
    assert [s["type"] for r in found["registrations"][1:] for s in r["matrices"]] == ["RIGID", "RIGID_SCALE"]
    # Points of 1.2.3.80 into 1.2.3.81: into the registered frame by a, out of it by b's inverse.
    np.testing.assert_allclose(loam.registration_transform(data, "1.2.3.80", "1.2.3.81"), np.linalg.inv(b) @ a,
                               atol=1e-12)


def block_centre(image) -> np.ndarray:
    """The patient coordinates of the centroid of a SimpleITK image's bright voxels."""
    array = sitk.GetArrayFromImage(image)
    k, j, i = np.nonzero(array > 500)
    index = np.c_[i, j, k].mean(axis=0)
    return np.array(image.TransformContinuousIndexToPhysicalPoint(index.tolist()))


def read_image(paths):
    reader = sitk.ImageSeriesReader()
    reader.SetFileNames(list(paths))
    return reader.Execute()


def test_simpleitk_resamples_where_the_transform_maps(series, tmp_path):
    fixed, moving = series
    m = rotation_z(6, (1.5, -2.0, 2.0))
    path = tmp_path / "rigid.dcm"
    loam.write_registration(fixed, [{"images": moving, "matrix": m}], output=path)
    moving_image, fixed_image = read_image(moving), read_image(fixed)
    to_moving = loam.registration_transform(str(path), FIXED_FRAME, MOVING_FRAME)
    resampled = sitk.Resample(moving_image, fixed_image, to_sitk(to_moving), sitk.sitkLinear, 0.0)
    to_fixed = loam.registration_transform(str(path), MOVING_FRAME, FIXED_FRAME)
    expected = map_points(to_fixed, block_centre(moving_image))[0]
    np.testing.assert_allclose(block_centre(resampled), expected, atol=0.3)


def deformation(series_paths) -> dict:
    rng = np.random.default_rng(3)
    vectors = rng.normal(0, 0.8, (5, 6, 7, 3)).astype(np.float32)
    vectors[..., 0] += 1.0  # a drift along x on top of the noise
    c, s = np.cos(0.2), np.sin(0.2)
    return {"images": series_paths, "pre": rotation_z(3, (0.5, 0.0, 0.0)), "post": rotation_z(-2, (0.0, -1.0, 0.5)),
            "grid": {"origin": (-10.0, -14.0, -2.0), "orientation": (c, s, 0.0, -s, c, 0.0), "spacing": (4.0, 5.0, 7.0),
                     "vectors": vectors}}


def test_deformable_round_trip_and_points_as_simpleitk_maps_them(series, tmp_path):
    fixed, moving = series
    given = deformation(moving)
    path = tmp_path / "deformable.dcm"
    loam.write_registration(fixed, [given], deformable=True, output=path)
    assert dciodvfy_errors(path) == []
    found = loam.read_registration(str(path))
    assert found["deformable"] and found["registered_frame"] == FIXED_FRAME
    item = found["registrations"][0]
    assert item["frame_of_reference_uid"] == MOVING_FRAME and item["matrix"] is None
    np.testing.assert_array_equal(item["grid"]["vectors"], given["grid"]["vectors"])
    np.testing.assert_allclose(item["pre"], given["pre"], atol=1e-12)
    transform = loam.registration_transform(str(path), FIXED_FRAME, MOVING_FRAME)
    np.testing.assert_allclose(transform["post"], given["post"], atol=1e-12)
    with pytest.raises(ValueError, match="does not hold its inverse"):
        loam.registration_transform(str(path), MOVING_FRAME, FIXED_FRAME)
    # A grid node: post(pre R + D), by the standard's equation, worked here by hand.
    c, s = np.cos(0.2), np.sin(0.2)
    node = np.array([-10.0, -14.0, -2.0]) + 2 * 4.0 * np.array([c, s, 0]) + 3 * 5.0 * np.array([-s, c, 0]) + 7.0 * np.array([0, 0, 1])
    d = given["grid"]["vectors"][1, 3, 2].astype(float)
    by_hand = given["post"] @ np.r_[(given["pre"] @ np.r_[node, 1])[:3] + d, 1]
    np.testing.assert_allclose(map_points(transform, node)[0], by_hand[:3], atol=1e-5)
    # SimpleITK's transform maps points, inside the grid and out of it, where ours does.
    rng = np.random.default_rng(4)
    points = rng.uniform([-12, -16, -4], [30, 30, 40], (200, 3))
    theirs = np.array([to_sitk(transform).TransformPoint(p.tolist()) for p in points])
    np.testing.assert_allclose(map_points(transform, points), theirs, atol=1e-6)


@pytest.mark.parametrize("registration, message", [
    ({"frame_of_reference_uid": "1.2", "matrix": np.zeros((4, 4)) + np.diag([0, 1, 1, 1])}, "singular"),
    ({"frame_of_reference_uid": "1.2", "matrix": {"matrix": np.diag([2.0, 1, 1, 1]), "type": "RIGID"}},
     "not a rotation as its type RIGID says; it is RIGID_SCALE"),
    ({"frame_of_reference_uid": "1.2", "matrix": np.ones(15)}, "needs 16 numbers"),
    ({"frame_of_reference_uid": "1.2", "matrix": np.r_[np.eye(4)[:3], [[0, 0, 1, 1]]]}, "last row must be 0 0 0 1"),
    ({"matrix": np.eye(4)}, "needs its source frame of reference"),
    ({"frame_of_reference_uid": "1.2"}, "has no matrix"),
    ({"frame_of_reference_uid": "1.2", "matrix": np.eye(4), "shear": 1}, "shear"),
])
def test_what_cannot_be_written_is_refused(series, registration, message):
    with pytest.raises(ValueError, match=message):
        loam.write_registration(series[0], [registration])


def test_deformable_grid_must_match_its_vectors(series):
    grid = {"origin": (0, 0, 0), "spacing": (1, 1, 0), "vectors": np.zeros((2, 2, 2, 3), np.float32)}
    with pytest.raises(ValueError, match="grid spacing must be > 0"):
        loam.write_registration(series[0], [{"frame_of_reference_uid": "1.2", "grid": grid}], deformable=True)
    with pytest.raises(ValueError, match=r"a \(z, y, x, 3\) array"):
        loam.write_registration(series[0], [{"frame_of_reference_uid": "1.2",
                                             "grid": {**grid, "spacing": (1, 1, 1), "vectors": np.zeros((2, 2, 3))}}],
                                deformable=True)


# ---- pydicomrt's reading of the same objects -------------------------------------------------
# tools/registration_goldens.py wrote these objects with loam and read them with pydicomrt, in a
# scratch environment (pydicomrt needs OpenCV); its answers are in registration_pydicomrt.json.

def test_pydicomrt_reads_our_objects_as_we_do():
    goldens = json.loads((DATA / "registration_pydicomrt.json").read_text())
    rigid = DATA / "registration_rigid.dcm"
    theirs = goldens["rigid"]  # {fixed: {moving: 16 numbers, moving to fixed}}
    registered = loam.read_registration(str(rigid))["registered_frame"]
    for moving, matrix in theirs[registered].items():
        np.testing.assert_allclose(loam.registration_transform(str(rigid), moving, registered),
                                   np.reshape(matrix, (4, 4)), atol=1e-9)
    deformable = DATA / "registration_deformable.dcm"
    found = loam.read_registration(str(deformable))
    for mine, their in zip(found["registrations"], goldens["deformable"], strict=True):
        assert mine["frame_of_reference_uid"] == their["SourceFrameOfReferenceUID"]
        np.testing.assert_allclose(mine["pre"], np.reshape(their["PreDeformationMatrixRegistration"], (4, 4)))
        np.testing.assert_allclose(mine["post"], np.reshape(their["PostDeformationMatrixRegistration"], (4, 4)))
        grid = their["DeformableRegistrationGrid"]
        assert list(mine["grid"]["vectors"].shape[2::-1]) == grid["GridDimensions"]
        np.testing.assert_allclose(mine["grid"]["spacing"], grid["GridResolution"])
        np.testing.assert_allclose(mine["grid"]["vectors"], np.asarray(grid["VectorGridData"]), atol=0)
    assert pydicom.dcmread(rigid).Modality == "REG"
