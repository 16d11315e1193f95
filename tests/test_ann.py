"""Microscopy Bulk Simple Annotations: ours read by highdicom, highdicom's and the corpus's read by
us, dciodvfy on ours, and GeoJSON both ways."""

from __future__ import annotations

import io
import json
import random
from pathlib import Path

import numpy as np
import pydicom
import pytest

import loam
from conftest import TESTDATA
from loam.annotations import annotation_list, from_geojson, to_geojson
from peer_tools import dciodvfy_errors
from test_malformed import PATCHES, mutate

hd = pytest.importorskip("highdicom")

AREA = ("42798000", "SCT", "Area")
UM2 = ("um2", "UCUM", "square micrometer")
NUCLEUS = ("84640000", "SCT", "Nucleus")
STRUCTURE = ("91723000", "SCT", "Anatomical Structure")


@pytest.fixture(scope="module")
def slide(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("slide") / "slide.dcm"
    rgb = np.full((300, 400, 3), 220, np.uint8)
    path.write_bytes(loam.wsi_write_pyramid(rgb, 256, 256, levels=1)[0])
    return path


def shapes(graphic_type: str, dims: int, rng: np.random.Generator) -> list[np.ndarray]:
    counts = {"POINT": [1] * 5, "ELLIPSE": [4] * 3, "RECTANGLE": [4] * 3, "POLYLINE": [2, 5, 3], "POLYGON": [3, 7, 4]}
    return [rng.uniform(0, 300, (n, dims)).round(3) for n in counts[graphic_type]]


def group(graphic_type: str, dims: int, double: bool, seed: int = 0, **extra) -> dict:
    rng = np.random.default_rng(seed)
    annotations = [a.astype(np.float64 if double else np.float32) for a in shapes(graphic_type, dims, rng)]
    values = rng.uniform(1, 50, len(annotations)).astype(np.float32)
    values[1] = np.nan  # one annotation without a value
    return {"label": f"{graphic_type.lower()}s", "graphic_type": graphic_type, "annotations": annotations,
            "category": STRUCTURE, "type": NUCLEUS, "rgb": (40, 90, 230),
            "measurements": [{"name": AREA, "unit": UM2, "values": values}], **extra}


KINDS = ["POINT", "POLYLINE", "POLYGON", "ELLIPSE", "RECTANGLE"]


@pytest.mark.parametrize("coordinate_type", ["2D", "3D"])
@pytest.mark.parametrize("double", [True, False], ids=["float64", "float32"])
def test_highdicom_reads_ours(slide, tmp_path, coordinate_type, double):
    dims = 3 if coordinate_type == "3D" else 2
    extra = {"all_z_planes": False} if dims == 3 else {}
    groups = [group(kind, dims, double, seed=i, **extra) for i, kind in enumerate(KINDS)]
    if dims == 3:  # points on one plane are stored as (x, y) with the plane's z once
        for a in groups[1]["annotations"]:
            a[:, 2] = 0.25
        groups[1]["common_z"] = 0.25
    groups[2].update(generation="AUTOMATIC", algorithm={"name": "nuclei-net", "version": "2.1",
                                                        "family": ("123110", "DCM", "Artificial Intelligence")})
    path = tmp_path / "ann.dcm"
    loam.write_ann(slide, groups, coordinate_type=coordinate_type, output=path, content_description="test")
    assert dciodvfy_errors(path) == []
    theirs = hd.ann.annread(str(path))
    assert theirs.AnnotationCoordinateType == coordinate_type
    assert theirs.ReferencedImageSequence[0].ReferencedSOPInstanceUID == pydicom.dcmread(slide).SOPInstanceUID \
        if dims == 2 else theirs.FrameOfReferenceUID == pydicom.dcmread(slide).FrameOfReferenceUID
    for given, got in zip(groups, theirs.get_annotation_groups(), strict=True):
        assert got.label == given["label"] and got.graphic_type.value == given["graphic_type"]
        assert got.annotated_property_type == hd.sr.CodedConcept(*NUCLEUS)
        data = got.get_graphic_data(coordinate_type=coordinate_type)
        assert len(data) == len(given["annotations"])
        for a, b in zip(data, given["annotations"]):
            assert a.dtype == (np.float64 if double else np.float32)
            np.testing.assert_array_equal(a, b)
        names, values, units = got.get_measurements()
        assert names[0] == hd.sr.CodedConcept(*AREA) and units[0] == hd.sr.CodedConcept(*UM2)
        np.testing.assert_array_equal(values[:, 0], given["measurements"][0]["values"])
        assert got.algorithm_type.value == given.get("generation", "MANUAL")
    algorithm = theirs.get_annotation_groups()[2].algorithm_identification[0]
    assert (algorithm.AlgorithmName, algorithm.AlgorithmVersion) == ("nuclei-net", "2.1")


def highdicom_groups(theirs) -> list[dict]:
    out = []
    for g in theirs.get_annotation_groups():
        names, values, units = g.get_measurements()
        out.append({"label": g.label, "graphic_type": g.graphic_type.value,
                    "annotations": g.get_graphic_data(coordinate_type=theirs.annotation_coordinate_type),
                    "measurements": [(n.value, u.value, values[:, k]) for k, (n, u) in enumerate(zip(names, units))]})
    return out


def assert_read_as_highdicom(path):
    ours = loam.read_ann(str(path))
    theirs = hd.ann.annread(str(path))
    assert ours["coordinate_type"] == theirs.AnnotationCoordinateType
    expected = highdicom_groups(theirs)
    assert len(ours["groups"]) == len(expected)
    for mine, want in zip(ours["groups"], expected):
        assert (mine["label"], mine["graphic_type"]) == (want["label"], want["graphic_type"])
        for a, b in zip(annotation_list(mine), want["annotations"], strict=True):
            np.testing.assert_array_equal(a, b)
        got = [(m["name"][0], m["unit"][0], m["values"]) for m in mine["measurements"]]
        assert [g[:2] for g in got] == [w[:2] for w in want["measurements"]]
        for g, w in zip(got, want["measurements"]):
            np.testing.assert_array_equal(g[2], w[2])


def test_corpus_annotations_read_as_highdicom_reads_them():
    path = TESTDATA / "highdicom" / "sm_annotations.dcm"
    if not path.is_file():
        pytest.skip(f"corpus not present at {TESTDATA}")
    assert_read_as_highdicom(path)
    nuclei = loam.read_ann(str(path))["groups"][0]
    assert nuclei["type"] == NUCLEUS and nuclei["coordinates"].tolist() == [[34.6, 18.4], [28.7, 34.9]]


def test_highdicom_written_annotations_read_back(slide, tmp_path):
    source = pydicom.dcmread(slide)
    ellipses = [np.array([[10, 20, 0], [30, 20, 0], [20, 15, 0], [20, 25, 0]], float)]
    polygons = [np.array([[1, 1, 0], [5, 1, 0], [5, 4, 0]], float), np.array([[9, 9, 0], [12, 9, 0], [12, 12, 0],
                                                                            [9, 12, 0]], float)]
    groups = [hd.ann.AnnotationGroup(
        number=k + 1, uid=hd.UID(), label=label, annotated_property_category=hd.sr.CodedConcept(*STRUCTURE),
        annotated_property_type=hd.sr.CodedConcept(*NUCLEUS), graphic_type=kind, graphic_data=data,
        algorithm_type="MANUAL", display_color=hd.color.CIELabColor.from_rgb(255, 0, 0),
        measurements=[hd.ann.Measurements(name=hd.sr.CodedConcept(*AREA), values=np.arange(1, len(data) + 1.0),
                                          unit=hd.sr.CodedConcept(*UM2))])
        for k, (label, kind, data) in enumerate([("cells", "ELLIPSE", ellipses), ("regions", "POLYGON", polygons)])]
    theirs = hd.ann.MicroscopyBulkSimpleAnnotations(
        source_images=[source], annotation_coordinate_type="3D", annotation_groups=groups,
        series_instance_uid=hd.UID(), series_number=3, sop_instance_uid=hd.UID(), instance_number=1,
        manufacturer="m", manufacturer_model_name="n", software_versions="1", device_serial_number="1")
    path = tmp_path / "theirs.dcm"
    theirs.save_as(path)
    assert_read_as_highdicom(path)
    ours = loam.read_ann(str(path))
    assert [g["rgb"] for g in ours["groups"]] == [(255, 0, 0)] * 2
    assert ours["frame_of_reference_uid"] == source.FrameOfReferenceUID


def test_geojson_round_trip_is_exact(slide, tmp_path):
    groups = [group(kind, 2, double=kind != "POLYGON", seed=i) for i, kind in enumerate(KINDS)]
    groups[0]["description"] = "all nuclei"
    first = tmp_path / "first.dcm"
    loam.write_ann(slide, groups, output=first)
    original = loam.read_ann(str(first))
    collection = json.loads(json.dumps(to_geojson(str(first))))  # through text, as a file would
    assert sum(len(g["starts"]) for g in original["groups"]) == len(collection["features"])
    ellipse = next(f for f in collection["features"] if f["properties"]["classification"]["name"] == "ellipses")
    assert ellipse["geometry"]["type"] == "Polygon" and len(ellipse["geometry"]["coordinates"][0]) == 65
    back, coordinate_type = from_geojson(collection)
    second = tmp_path / "second.dcm"
    loam.write_ann(slide, back, coordinate_type=coordinate_type, output=second)
    again = loam.read_ann(str(second))
    for a, b in zip(original["groups"], again["groups"], strict=True):
        for key, value in a.items():
            if key == "measurements":
                assert [(m["name"], m["unit"]) for m in value] == [(m["name"], m["unit"]) for m in b[key]]
                for m, n in zip(value, b[key]):
                    np.testing.assert_array_equal(m["values"], n["values"])
            elif isinstance(value, np.ndarray):
                assert value.dtype == b[key].dtype
                np.testing.assert_array_equal(value, b[key])
            else:
                assert value == b[key], key


def test_qupath_geojson_becomes_groups_by_class_and_shape(slide, tmp_path):
    square = [[0, 0], [10, 0], [10, 10], [0, 10], [0, 0]]
    hole = [[2, 2], [3, 2], [3, 3], [2, 2]]
    features = [
        {"type": "Feature", "geometry": {"type": "Polygon", "coordinates": [square, hole]},
         "properties": {"objectType": "annotation", "classification": {"name": "Tumor", "color": [200, 0, 0]},
                        "measurements": {"Area µm^2": 100.0}}},
        {"type": "Feature", "geometry": {"type": "MultiPoint", "coordinates": [[1, 2], [3, 4]]},
         "properties": {"classification": {"name": "Lymphocyte"}}},
        {"type": "Feature", "geometry": {"type": "Polygon", "coordinates": [[[5, 5], [6, 5], [6, 7], [5, 5]]]},
         "properties": {"classification": {"name": "Tumor"}, "measurements": [{"name": "Perimeter", "value": 5}]}},
    ]
    groups, coordinate_type = from_geojson({"type": "FeatureCollection", "features": features})
    assert coordinate_type == "2D"
    assert [(g["label"], g["graphic_type"], len(g["annotations"])) for g in groups] == [
        ("Tumor", "POLYGON", 2), ("Lymphocyte", "POINT", 2)]
    tumour = groups[0]
    assert tumour["annotations"][0].tolist() == square[:-1] and tumour["rgb"] == (200, 0, 0)  # holes are dropped
    values = {m["name"][0]: m["values"].tolist() for m in tumour["measurements"]}
    assert values["Area µm^2"][0] == 100.0 and np.isnan(values["Area µm^2"][1]) and values["Perimeter"][1] == 5.0
    path = tmp_path / "qupath.dcm"
    loam.write_ann(slide, groups, output=path)
    assert_read_as_highdicom(path)


@pytest.mark.parametrize("change, message", [
    ({"graphic_type": "CIRCLE"}, "graphic type 'CIRCLE' is not POINT"),
    ({"annotations": [np.zeros((3, 2))], "graphic_type": "ELLIPSE"}, "has exactly 4 points; annotation 1 has 3"),
    ({"annotations": [np.zeros((2, 2))], "graphic_type": "POLYGON"}, "has at least 3 points"),
    ({"annotations": [np.zeros((1, 3))]}, r"must be a \(points, 2\) array"),
    ({"annotations": [np.array([[np.nan, 1.0]])]}, "not a finite number"),
    ({"generation": "AUTOMATIC"}, "needs its algorithm's name and version"),
    ({"generation": "GUESSED"}, "is not MANUAL, SEMIAUTOMATIC or AUTOMATIC"),
    ({"common_z": 1.0}, r"slide \(3D\) coordinates only"),
    ({"measurements": [{"name": AREA, "unit": UM2, "values": np.ones(2)}]}, "needs one value an annotation"),
    ({"colour": (1, 2, 3)}, "colour"),
])
def test_what_cannot_be_written_is_refused(slide, change, message):
    given = {"label": "x", "graphic_type": "POINT", "annotations": [np.zeros((1, 2))], **change}
    with pytest.raises(ValueError, match=message):
        loam.write_ann(slide, [given])


def test_not_annotations_and_damaged_files(slide, tmp_path):
    with pytest.raises(RuntimeError, match="not a Microscopy Bulk Simple Annotations object"):
        loam.read_ann(str(slide))
    data = loam.write_ann(slide, [group(k, 2, True, seed=i) for i, k in enumerate(KINDS)])
    assert loam.read_ann(data)["groups"][3]["graphic_type"] == "ELLIPSE"
    rng = random.Random(7)
    for _ in range(300):
        try:
            result = loam.read_ann(mutate(data, rng, PATCHES, 9, 0.5))
        except (RuntimeError, ValueError):
            continue
        for g in result["groups"]:
            assert len(g["starts"]) == 0 or g["starts"][-1] < len(g["coordinates"])
