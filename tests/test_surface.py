"""Surface Segmentations: meshes written and read back measured by trimesh, dciodvfy on ours,
label maps to meshes, and STL and OBJ files."""

from __future__ import annotations

import io
import random

import numpy as np
import pydicom
import pytest

import loam
from loam.surfaces import from_labels, save_obj, save_stl, signed_volume
from peer_tools import dciodvfy_errors
from test_malformed import PATCHES, mutate
from volume_series import write_series

trimesh = pytest.importorskip("trimesh")

# A unit tetrahedron, faces turned outward.
TETRA_V = np.array([[0, 0, 0], [10, 0, 0], [0, 10, 0], [0, 0, 10]], np.float32)
TETRA_F = np.array([[0, 2, 1], [0, 1, 3], [0, 3, 2], [1, 2, 3]])


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    folder = tmp_path_factory.mktemp("ref")
    # 24 slices of 40 x 40, 0.5 x 0.75 mm pixels, 2 mm apart, rotated about z so that the
    # voxel-to-patient mapping is not a plain scaling.
    c, s = np.cos(0.3), np.sin(0.3)
    orientation = (c, s, 0, -s, c, 0)
    positions = [(5.0, -3.0, 2.0 * k) for k in range(24)]
    paths = write_series(folder, np.zeros((24, 40, 40), np.int16), positions, orientation=orientation)
    volume, meta = loam.assemble_volume(paths)
    return paths, meta


def ball(meta) -> np.ndarray:
    k, j, i = np.mgrid[0:24, 0:40, 0:40]
    # An ellipsoid of semi-axes 12 x 12 x 16 mm in a 0.5 x 0.75 x 2 mm grid.
    return ((((i - 20) * 0.5) / 8) ** 2 + (((j - 20) * 0.75) / 8) ** 2 + (((k - 12) * 2.0) / 16) ** 2 < 1).astype(np.uint8)


def measured(vertices, faces):
    m = trimesh.Trimesh(np.asarray(vertices, np.float64), np.asarray(faces), process=False)
    return m.area, m.volume, m.is_watertight


def test_mesh_round_trip_keeps_what_trimesh_measures(reference, tmp_path):
    paths, meta = reference
    mesh = from_labels(ball(meta), meta["affine"])
    segments = [{"label": "tumour", "rgb": (200, 40, 40), "opacity": 0.5, "anatomic": ("39607008", "SCT", "Lung"),
                 "algorithm_type": "AUTOMATIC", "algorithm_name": "thresholding", **mesh},
                {"label": "markers", "surfaces": [{"vertices": TETRA_V, "faces": TETRA_F, "presentation": "WIREFRAME"},
                                                 {"vertices": TETRA_V + 50, "faces": TETRA_F,
                                                  "algorithm": {"family": ("123109", "DCM", "Manual Processing"),
                                                                "name": "hand", "version": "0"}}]}]
    path = tmp_path / "surfaces.dcm"
    loam.write_surface(paths, segments, output=path, content_description="test")
    assert dciodvfy_errors(path) == []
    back = loam.read_surface(str(path))
    assert [s["label"] for s in back["segments"]] == ["tumour", "markers"]
    tumour = back["segments"][0]
    assert tumour["anatomic"] == ("39607008", "SCT", "Lung") and tumour["algorithm_type"] == "AUTOMATIC"
    surface = tumour["surfaces"][0]
    assert surface["rgb"] == (200, 40, 40) and surface["opacity"] == pytest.approx(0.5)
    assert (surface["finite_volume"], surface["manifold"]) == ("YES", "YES")
    np.testing.assert_array_equal(surface["vertices"], mesh["vertices"])
    np.testing.assert_array_equal(surface["faces"], mesh["faces"])
    np.testing.assert_array_equal(surface["normals"], mesh["normals"])
    area, volume, closed = measured(mesh["vertices"], mesh["faces"])
    assert measured(surface["vertices"], surface["faces"]) == (area, volume, closed) and closed
    # The ellipsoid's volume, 4/3 pi 8 8 16 mm3, within the staircase of its voxels.
    assert volume == pytest.approx(4 / 3 * np.pi * 8 * 8 * 16, rel=0.06)
    markers = back["segments"][1]["surfaces"]
    assert [m["presentation"] for m in markers] == ["WIREFRAME", "SURFACE"]
    assert markers[1]["algorithm"]["name"] == "hand" and markers[1]["normals"] is None
    assert measured(markers[1]["vertices"], markers[1]["faces"])[1] == pytest.approx(1000 / 6)
    ds = pydicom.dcmread(path)
    assert ds.NumberOfSurfaces == 3 and ds.Modality == "SEG"
    triangles = np.frombuffer(ds.SurfaceSequence[1].SurfaceMeshPrimitivesSequence[0].LongTrianglePointIndexList, "<u4")
    assert triangles.min() == 1 and triangles.max() == 4  # stored from 1
    assert [s.ReferencedSurfaceSequence[-1].ReferencedSurfaceNumber for s in ds.SegmentSequence] == [1, 3]


def test_labels_become_a_surface_in_patient_coordinates(reference):
    _, meta = reference
    labels = ball(meta) * 3
    mesh = from_labels(labels, meta["affine"], label=3)
    a = np.asarray(meta["affine"], float).reshape(4, 4, order="F")
    k, j, i = np.nonzero(labels)
    centre = (a @ np.c_[i, j, k, np.ones_like(i)].T)[:3].mean(axis=1)
    np.testing.assert_allclose(mesh["vertices"].mean(axis=0), centre, atol=0.3)
    assert signed_volume(mesh["vertices"], mesh["faces"]) > 0  # faces turned outward
    # Normals point away from the centre.
    assert (np.einsum("ij,ij->i", mesh["normals"], mesh["vertices"] - centre) > 0).mean() > 0.95
    with pytest.raises(ValueError, match="no voxel has label 9"):
        from_labels(labels, meta["affine"], label=9)


def test_stl_and_obj_files_hold_the_mesh(tmp_path):
    stl, obj = tmp_path / "m.stl", tmp_path / "m.obj"
    save_stl(stl, TETRA_V, TETRA_F)
    save_obj(obj, TETRA_V, TETRA_F)
    assert stl.read_bytes()[:5].lower() != b"solid" and len(stl.read_bytes()) == 84 + 50 * 4
    for path in (stl, obj):
        m = trimesh.load(path, process=True)
        assert m.is_watertight and m.volume == pytest.approx(1000 / 6) and m.area == pytest.approx(150 + 50 * 3 ** 0.5)
    assert loam.encap_detect(stl.read_bytes()) == "stl"


@pytest.mark.parametrize("faces, finite, manifold", [
    (TETRA_F[:3], "NO", "YES"),  # one face missing: open
    (np.r_[TETRA_F, [[0, 1, 2]]], "NO", "NO"),  # an edge shared by three faces
    (TETRA_F, "YES", "YES"),
])
def test_topology_flags_come_from_the_faces(reference, faces, finite, manifold):
    paths, _ = reference
    data = loam.write_surface(paths, [{"label": "t", "vertices": TETRA_V, "faces": faces}])
    surface = loam.read_surface(data)["segments"][0]["surfaces"][0]
    assert (surface["finite_volume"], surface["manifold"]) == (finite, manifold)


@pytest.mark.parametrize("change, message", [
    ({"faces": np.array([[0, 1, 4]])}, "a face names vertex 4 of 4"),
    ({"faces": np.array([[0, -1, 2]])}, "vertex indices from 0"),
    ({"vertices": np.array([[0, 0, np.inf]] * 4, np.float32)}, "not finite"),
    ({"vertices": np.zeros((4, 2))}, r"must be a \(rows, 3\) array"),
    ({"presentation": "SOLID"}, "is not SURFACE, WIREFRAME or POINTS"),
    ({"opacity": 2.0}, "opacity is 0 to 1"),
    ({"label": ""}, "needs a label"),
    ({"algorithm_type": "AUTOMATIC"}, "needs its algorithm name"),
    ({"colour": (1, 2, 3)}, "colour"),
])
def test_what_cannot_be_written_is_refused(reference, change, message):
    paths, _ = reference
    segment = {"label": "t", "vertices": TETRA_V, "faces": TETRA_F, **change}
    with pytest.raises(ValueError, match=message):
        loam.write_surface(paths, [segment])


def test_not_surfaces_and_damaged_files(reference):
    paths, _ = reference
    with pytest.raises(RuntimeError, match="not a Surface Segmentation object"):
        loam.read_surface(paths[0])
    data = loam.write_surface(paths, [{"label": "t", "vertices": TETRA_V, "faces": TETRA_F}])
    rng = random.Random(11)
    for _ in range(300):
        try:
            result = loam.read_surface(mutate(data, rng, PATCHES, 9, 0.5))
        except (RuntimeError, ValueError):
            continue
        for segment in result["segments"]:
            for s in segment["surfaces"]:
                assert s["faces"].size == 0 or s["faces"].max() < len(s["vertices"])
    assert pydicom.dcmread(io.BytesIO(data)).SegmentSequence[0].SurfaceCount == 1
