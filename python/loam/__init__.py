"""loam: a DICOM toolkit whose reading, decoding and conversion run in a C++ core.

The functions here are the native core's; see each one's docstring.
"""

from ._core import (
    DVHCurve,
    WsiSlide,
    apply_palette_indices,
    assemble_4d,
    assemble_dwi,
    assemble_volume,
    bids_sidecar,
    build_dicomdir,
    build_seg_from_nifti,
    cheson_evaluate,
    clean_pixel_data,
    compute_dvh,
    dce_parker_aif,
    dce_population_aif,
    dce_signal_to_conc,
    dce_t1_map_vfa,
    decode,
    decode_bytes,
    decode_stored,
    decode_stored_bytes,
    deidentify,
    deidentify_series,
    describe_private,
    describe_tag,
    dose_at,
    dsc_cbv,
    dsc_cumtrapz,
    dsc_deconvolve_curve,
    dsc_first_pass_end,
    dsc_fit_map,
    dsc_fit_volume,
    dsc_leakage_correct,
    dsc_signal_to_conc,
    dwi_b0_threshold,
    edit_part10,
    encapsulate_pixel_value,
    encode_ivr,
    has_pixel_data,
    has_pixel_data_bytes,
    iod_validate,
    irecist_evaluate,
    mint_uid,
    mosaic_expand,
    mrecist_evaluate,
    n_frames,
    pcwg3_evaluate,
    pixel_data_vr,
    pixel_data_vr_bytes,
    rano_evaluate,
    read_diffusion,
    read_file_meta,
    read_json,
    read_ko,
    read_meta_json,
    read_nifti,
    read_pixel_data,
    read_pixel_data_bytes,
    read_rtdose,
    read_rtstruct,
    read_seg,
    recist_evaluate,
    recist_feret,
    recist_match_lesion,
    recist_nearest_slice,
    recist_pixel_to_world,
    recist_volume,
    scan_dicom_dir,
    siemens_diffusion,
    tag_for_keyword,
    transcode,
    transform_connected_components,
    transform_fill_holes,
    transform_keep_largest_cc,
    transform_remove_small_objects,
    transform_resample,
    transform_resample_cubic,
    transform_resample_grid_sample,
    transform_resample_nearest,
    uid_for_keyword,
    uid_lookup,
    uid_table,
    voi_apply,
    write_ko,
    write_metaimage_volume,
    write_nifti_volume,
    write_nrrd_volume,
    write_part10,
    write_seg,
    write_seg_fractional,
    write_seg_overlapping,
    wsi_open,
    wsi_open_paths,
    wsi_write_pyramid,
)

from ._core import _memory_limit, _set_memory_limit
from ._core import FileAccessDenied, FileIsDirectory, FileNotFound, FileUnreadable
from ._types import DecodeMeta, FileMeta, Identity, IodFinding, Segment, TagInfo, UidInfo
from .dataset import Dataset, Element, PersonName, from_pydicom, parse_date, parse_datetime, parse_time, read

__version__ = "0.1.0"


def memory_limit() -> int:
    """The memory limit (bytes) for one buffer whose size a file's header declares: a frame, a
    volume, inflated data, a histogram. A buffer may take what its input can produce (64 times
    its bytes) or up to this limit, whichever is more; beyond, the call raises ValueError naming
    the attributes that asked for it.

    Returns:
        The limit in bytes.

    Example:
        >>> loam.memory_limit()
        268435456
    """
    return _memory_limit()


def set_memory_limit(nbytes: int) -> None:
    """Raises (or lowers) the memory limit for the whole process; 0 restores the default, 256 MiB.

    Args:
        nbytes: the new limit in bytes; 0 for the default.

    Raises:
        ValueError: a negative limit.

    Example:
        >>> loam.set_memory_limit(8 << 30)   # for very large compressed images
    """
    _set_memory_limit(nbytes)

__all__ = [
    "read",
    "Dataset",
    "Element",
    "PersonName",
    "from_pydicom",
    "parse_date",
    "parse_time",
    "parse_datetime",
    "FileNotFound",
    "FileAccessDenied",
    "FileIsDirectory",
    "FileUnreadable",
    "DecodeMeta",
    "FileMeta",
    "Identity",
    "IodFinding",
    "Segment",
    "TagInfo",
    "UidInfo",
    "memory_limit",
    "set_memory_limit",
    "DVHCurve",
    "WsiSlide",
    "apply_palette_indices",
    "assemble_4d",
    "assemble_dwi",
    "assemble_volume",
    "bids_sidecar",
    "build_dicomdir",
    "build_seg_from_nifti",
    "cheson_evaluate",
    "clean_pixel_data",
    "compute_dvh",
    "dce_parker_aif",
    "dce_population_aif",
    "dce_signal_to_conc",
    "dce_t1_map_vfa",
    "decode",
    "decode_bytes",
    "decode_stored",
    "decode_stored_bytes",
    "deidentify",
    "deidentify_series",
    "describe_private",
    "describe_tag",
    "dose_at",
    "dsc_cbv",
    "dsc_cumtrapz",
    "dsc_deconvolve_curve",
    "dsc_first_pass_end",
    "dsc_fit_map",
    "dsc_fit_volume",
    "dsc_leakage_correct",
    "dsc_signal_to_conc",
    "dwi_b0_threshold",
    "edit_part10",
    "encapsulate_pixel_value",
    "encode_ivr",
    "has_pixel_data",
    "has_pixel_data_bytes",
    "iod_validate",
    "irecist_evaluate",
    "mint_uid",
    "mosaic_expand",
    "mrecist_evaluate",
    "n_frames",
    "pcwg3_evaluate",
    "pixel_data_vr",
    "pixel_data_vr_bytes",
    "rano_evaluate",
    "read_diffusion",
    "read_file_meta",
    "read_json",
    "read_ko",
    "read_meta_json",
    "read_nifti",
    "read_pixel_data",
    "read_pixel_data_bytes",
    "read_rtdose",
    "read_rtstruct",
    "read_seg",
    "recist_evaluate",
    "recist_feret",
    "recist_match_lesion",
    "recist_nearest_slice",
    "recist_pixel_to_world",
    "recist_volume",
    "scan_dicom_dir",
    "siemens_diffusion",
    "tag_for_keyword",
    "transcode",
    "transform_connected_components",
    "transform_fill_holes",
    "transform_keep_largest_cc",
    "transform_remove_small_objects",
    "transform_resample",
    "transform_resample_cubic",
    "transform_resample_grid_sample",
    "transform_resample_nearest",
    "uid_for_keyword",
    "uid_lookup",
    "uid_table",
    "voi_apply",
    "write_ko",
    "write_metaimage_volume",
    "write_nifti_volume",
    "write_nrrd_volume",
    "write_part10",
    "write_seg",
    "write_seg_fractional",
    "write_seg_overlapping",
    "wsi_open",
    "wsi_open_paths",
    "wsi_write_pyramid",
]

# Real signatures and array-like arguments for the native functions (see _api).
from . import _api

_api.wrap_all(globals(), __all__)
