"""loam: a DICOM toolkit whose reading, decoding and conversion run in a C++ core.

The functions here are the native core's; see each one's docstring.
"""

from ._core import (
    describe_private,
    describe_tag,
    edit_part10,
    encapsulate_pixel_value,
    encode_ivr,
    has_pixel_data,
    has_pixel_data_bytes,
    mint_uid,
    pixel_data_vr,
    pixel_data_vr_bytes,
    read_file_meta,
    read_json,
    read_meta_json,
    read_pixel_data,
    read_pixel_data_bytes,
    tag_for_keyword,
    uid_for_keyword,
    uid_lookup,
    uid_table,
    write_part10,
)

__version__ = "0.1.0"

__all__ = [
    "describe_private",
    "describe_tag",
    "edit_part10",
    "encapsulate_pixel_value",
    "encode_ivr",
    "has_pixel_data",
    "has_pixel_data_bytes",
    "mint_uid",
    "pixel_data_vr",
    "pixel_data_vr_bytes",
    "read_file_meta",
    "read_json",
    "read_meta_json",
    "read_pixel_data",
    "read_pixel_data_bytes",
    "tag_for_keyword",
    "uid_for_keyword",
    "uid_lookup",
    "uid_table",
    "write_part10",
]
