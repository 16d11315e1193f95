"""The shapes of the dicts the package takes and gives, for type checkers and readers.

Each is a TypedDict: at run time a plain dict.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TypedDict


class FileMeta(TypedDict):
    """What `read_file_meta` gives."""

    has_meta: bool
    transfer_syntax: str
    sop_class: str
    sop_instance: str


class DecodeMeta(TypedDict):
    """The image attributes `decode` and `decode_bytes` give with the array."""

    frames: int
    rows: int
    columns: int
    samples_per_pixel: int
    bits_allocated: int
    bits_stored: int
    pixel_representation: int
    planar_configuration: int
    dtype: str
    rescaled: bool
    byte_order: str
    bytes: int
    numpy_shape: list[int]
    modality: str
    photometric: str
    series_instance_uid: str
    sop_instance_uid: str
    study_instance_uid: str
    frame_of_reference_uid: str
    instance_number: int | None
    rescale_slope: float
    rescale_intercept: float
    window_center: float | None
    window_width: float | None
    slice_thickness: float | None
    pixel_spacing: list[float] | None
    image_position_patient: list[float] | None
    image_orientation_patient: list[float] | None


class TagInfo(TypedDict):
    """A data dictionary entry (`describe_tag`, `describe_private`)."""

    keyword: str
    name: str
    vr: str
    vm: str
    retired: bool


class UidInfo(TypedDict):
    """A UID dictionary entry (`uid_lookup`)."""

    name: str
    type: str
    keyword: str
    info: str
    retired: bool
    cid: int


class IodFinding(TypedDict):
    """One finding of `iod_validate`."""

    severity: str
    tag: int
    module: str
    message: str


class Finding(IodFinding):
    """One finding of `validate`: an IOD finding with the path of the element it is about."""

    path: str


class Identity(TypedDict, total=False):
    """Who wrote an authored object (the `identity` of the Segmentation, Key Object and slide
    writers); any key left out keeps the writer's default."""

    manufacturer: str
    manufacturer_model_name: str
    software_versions: str
    device_serial_number: str
    series_number: int | str
    series_description: str
    content_creator: str  # Segmentations only


class Segment(TypedDict, total=False):
    """One segment of a Segmentation writer; codes are (value, scheme, meaning)."""

    label: str
    labelID: int
    rgb: Sequence[int]
    category: Sequence[str]
    type: Sequence[str]
    anatomic: Sequence[str]
    algorithm_type: str
    algorithm_name: str
