"""Microscopy Bulk Simple Annotations to and from GeoJSON FeatureCollections, in the layout QuPath
exports and imports: one Feature an annotation, its class in ``properties.classification`` and its
measurements in ``properties.measurements``.

``to_geojson`` also stores what GeoJSON has no place for (each group's codes, algorithm, precision
and UID, an ellipse's axis end points) as extra members that other readers ignore, so that
``from_geojson(to_geojson(a))`` gives back the groups exactly.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from os import PathLike
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _core

Code = tuple[str, str, str]
# A measurement named only by text (QuPath's "Area µm^2", say) and its unknown unit.
_LOCAL_SCHEME = "99LOAM"
_NO_UNIT: Code = ("1", "UCUM", "no units")
_GROUP_KEYS = ("label", "graphic_type", "uid", "number", "description", "category", "type", "generation",
               "algorithm", "rgb", "optical_path", "all_z_planes", "common_z", "double")
_ELLIPSE_VERTICES = 64


def annotation_list(group: Mapping[str, Any]) -> list[npt.NDArray[Any]]:
    """A group of ``read_ann`` as one (points, 2 or 3) array an annotation."""
    coordinates = np.asarray(group["coordinates"])
    starts = [int(s) for s in group["starts"]]
    return [coordinates[a:b] for a, b in zip(starts, starts[1:] + [len(coordinates)])]


def _measurement_key(name: Code) -> str:
    return name[2] or name[0]


def _ellipse_outline(points: npt.NDArray[Any]) -> list[list[float]]:
    # The ellipse's major axis runs from point 0 to 1 and its minor axis from 2 to 3.
    p = np.asarray(points, float)
    centre = (p[0] + p[1]) / 2
    major, minor = (p[1] - p[0]) / 2, (p[3] - p[2]) / 2
    ring = [(centre + major * math.cos(t) + minor * math.sin(t)).tolist()
            for t in np.linspace(0, 2 * math.pi, _ELLIPSE_VERTICES, endpoint=False)]
    return ring + [ring[0]]


def _geometry(graphic_type: str, points: npt.NDArray[Any]) -> dict[str, Any]:
    coords = points.tolist()
    if graphic_type == "POINT":
        return {"type": "Point", "coordinates": coords[0]}
    if graphic_type == "POLYLINE":
        return {"type": "LineString", "coordinates": coords}
    if graphic_type == "ELLIPSE":
        return {"type": "Polygon", "coordinates": [_ellipse_outline(points)]}
    return {"type": "Polygon", "coordinates": [coords + [coords[0]]]}  # POLYGON, RECTANGLE: closed rings


def to_geojson(source: Mapping[str, Any] | str | PathLike[str] | bytes) -> dict[str, Any]:
    """A GeoJSON FeatureCollection of the annotations of a file (or of ``read_ann``'s result).

    Image (2D) coordinates stay (column, row) of the Total Pixel Matrix, as QuPath's pixel
    coordinates are; slide (3D) coordinates stay (x, y, z) in mm. Polygons and rectangles become
    closed Polygon rings, polylines LineStrings, points Points, ellipses 64-vertex Polygons (their
    axis end points kept in ``properties.dicom_points``).
    """
    ann = source if isinstance(source, Mapping) else _core.read_ann(source)
    features: list[dict[str, Any]] = []
    groups: list[dict[str, Any]] = []
    for index, group in enumerate(ann["groups"]):
        meta = {key: group.get(key) for key in _GROUP_KEYS}
        meta["measurements"] = [{"name": m["name"], "unit": m["unit"]} for m in group["measurements"]]
        groups.append(meta)
        values = [(_measurement_key(m["name"]), np.asarray(m["values"])) for m in group["measurements"]]
        for k, points in enumerate(annotation_list(group)):
            properties: dict[str, Any] = {"objectType": "annotation", "classification": {"name": group["label"]},
                                          "dicom_group": index}
            if group.get("rgb") is not None:
                properties["classification"]["color"] = list(group["rgb"])
            measured = {key: float(v[k]) for key, v in values if not math.isnan(v[k])}
            if measured:
                properties["measurements"] = measured
            if group["graphic_type"] == "ELLIPSE":
                properties["dicom_points"] = points.tolist()
            features.append({"type": "Feature", "geometry": _geometry(group["graphic_type"], points),
                             "properties": properties})
    return {"type": "FeatureCollection", "features": features, "dicom_coordinate_type": ann["coordinate_type"],
            "dicom_groups": groups}


def _annotations_of(geometry: Mapping[str, Any]) -> list[tuple[str, list[list[float]]]]:
    """(graphic type, points) of each annotation a geometry holds; rings lose their closing point
    and polygons their holes, which these annotations cannot hold."""
    kind = geometry["type"]
    coords: Any = geometry.get("coordinates")
    if kind == "Point":
        return [("POINT", [coords])]
    if kind == "MultiPoint":
        return [("POINT", [p]) for p in coords]
    if kind == "LineString":
        return [("POLYLINE", coords)]
    if kind == "MultiLineString":
        return [("POLYLINE", line) for line in coords]
    if kind == "Polygon":
        ring = coords[0]
        return [("POLYGON", ring[:-1] if len(ring) > 1 and ring[0] == ring[-1] else ring)]
    if kind == "MultiPolygon":
        return [item for polygon in coords for item in _annotations_of({"type": "Polygon", "coordinates": polygon})]
    if kind == "GeometryCollection":
        return [item for g in geometry["geometries"] for item in _annotations_of(g)]
    raise ValueError(f"from_geojson: geometry type {kind!r} is not a point, line or polygon")


def from_geojson(collection: Mapping[str, Any], *, category: Code = ("91723000", "SCT", "Anatomical Structure"),
                 property_type: Code = ("85756007", "SCT", "Tissue")) -> tuple[list[dict[str, Any]], str]:
    """(groups for ``write_ann``, coordinate type) from a GeoJSON FeatureCollection.

    A collection ``to_geojson`` made gives its groups back exactly. Any other (QuPath's export,
    say) gives a group for each class name and graphic type, in order of first appearance, with
    ``category`` and ``property_type`` as its codes; measurements named by text get a local code
    and no unit, and an annotation without a value gets NaN. Image coordinates keep their first
    two values.
    """
    if collection.get("type") != "FeatureCollection":
        raise ValueError("from_geojson: not a GeoJSON FeatureCollection")
    coordinate_type = str(collection.get("dicom_coordinate_type", "2D"))
    dims = 3 if coordinate_type == "3D" else 2
    known = collection.get("dicom_groups") or []
    groups: dict[Any, dict[str, Any]] = {}
    for number, feature in enumerate(collection.get("features", []), 1):
        properties = feature.get("properties") or {}
        classification = properties.get("classification") or {}
        name = str(classification.get("name") or properties.get("name") or "unclassified")
        measured = properties.get("measurements") or {}
        if isinstance(measured, list):  # older QuPath: [{"name": ..., "value": ...}]
            measured = {m["name"]: m["value"] for m in measured}
        index = properties.get("dicom_group")
        if feature.get("geometry") is None:
            raise ValueError(f"from_geojson: feature {number} has no geometry")
        if index is not None and 0 <= int(index) < len(known):
            meta = known[int(index)]
            kind = meta["graphic_type"]
            shapes = [(kind, properties["dicom_points"])] if kind == "ELLIPSE" else _annotations_of(feature["geometry"])
            shapes = [(kind, points) for _, points in shapes]
            key: Any = ("dicom", int(index))
        else:
            meta, shapes = None, _annotations_of(feature["geometry"])
            key = None
        for kind, points in shapes:
            group_key = key if key is not None else (name, kind)
            group = groups.get(group_key)
            if group is None:
                group = groups[group_key] = _new_group(meta, name, kind, classification, category, property_type)
            group["annotations"].append([list(map(float, p[:dims])) for p in points])
            group["_values"].append({str(k): float(v) for k, v in measured.items() if v is not None})
    return [_finish(group) for group in groups.values()], coordinate_type


def _new_group(meta: Mapping[str, Any] | None, name: str, kind: str, classification: Mapping[str, Any],
               category: Code, property_type: Code) -> dict[str, Any]:
    if meta is not None:
        group = {key: meta[key] for key in _GROUP_KEYS if meta.get(key) is not None}
        group["_codes"] = [(m["name"], m["unit"]) for m in meta.get("measurements", [])]
    else:
        group = {"label": name, "graphic_type": kind, "category": category, "type": property_type, "_codes": []}
        color = classification.get("color")
        if isinstance(color, (list, tuple)) and len(color) == 3:
            group["rgb"] = tuple(int(c) for c in color)
    group["annotations"], group["_values"] = [], []
    return group


def _code(given: Any) -> Code:
    value, scheme, meaning = given
    return str(value), str(scheme), str(meaning)


def _finish(group: dict[str, Any]) -> dict[str, Any]:
    codes: list[tuple[Code, Code]] = [(_code(n), _code(u)) for n, u in group.pop("_codes")]
    values: list[dict[str, float]] = group.pop("_values")
    named = {_measurement_key(n) for n, _ in codes}
    for row in values:
        for key in row:
            if key not in named:
                named.add(key)
                codes.append(((key, _LOCAL_SCHEME, key), _NO_UNIT))
    dtype = np.float64 if group.get("double", True) else np.float32
    group["annotations"] = [np.asarray(a, dtype) for a in group["annotations"]]
    if codes:
        group["measurements"] = [
            {"name": name, "unit": unit,
             "values": np.array([row.get(_measurement_key(name), math.nan) for row in values], np.float32)}
            for name, unit in codes]
    return group
