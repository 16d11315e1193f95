"""The module frame: import, signatures, error translation and the interpreter lock."""

import importlib
import subprocess
import sys
import threading

import pytest

import loam
import loam._core as core
from dicom_bytes import explicit, part10

PUBLIC = ["DVHCurve", "WsiSlide", "apply_palette_indices", "assemble_4d", "assemble_dwi",
          "assemble_volume", "bids_sidecar", "build_dicomdir", "build_seg_from_nifti",
          "cheson_evaluate", "clean_pixel_data", "compute_dvh", "content_json", "dce_fit_curve",
          "dce_fit_map", "dce_fit_volume", "dce_forward", "dce_parker_aif", "dce_population_aif",
          "dce_signal_to_conc", "dce_t1_map_vfa", "decode", "decode_bytes", "decode_stored",
          "decode_stored_bytes", "deidentify", "deidentify_series", "describe_private",
          "describe_tag", "dose_at", "dsc_cbv", "dsc_cumtrapz", "dsc_deconvolve_curve",
          "dsc_first_pass_end", "dsc_fit_map", "dsc_fit_volume", "dsc_leakage_correct",
          "dsc_signal_to_conc", "dti_eigen", "dti_fit_maps", "dti_head_mask", "dti_track",
          "dti_tracks_to_patient", "dwi_b0_threshold", "edit_part10", "encap_detect",
          "encapsulate", "encapsulate_pixel_value", "encode_ivr", "has_pixel_data",
          "has_pixel_data_bytes", "iod_validate", "irecist_evaluate", "mint_uid", "mosaic_expand",
          "mrecist_evaluate", "n_frames", "paramap_meta", "pcwg3_evaluate", "pixel_data_vr",
          "pixel_data_vr_bytes", "plane_basis", "radiomics_features",
          "radiomics_features_prepared", "radiomics_file", "rano_evaluate", "read_ann",
          "read_diffusion", "read_encapsulated", "read_file_meta", "read_json", "read_ko",
          "read_measurement_report", "read_meta_json", "read_nifti", "read_pixel_data",
          "read_pixel_data_bytes", "read_registration", "read_report", "read_rtdose",
          "read_rtplan", "read_rtstruct", "read_seg", "read_surface", "read_tract",
          "recist_evaluate", "recist_feret", "recist_match_lesion", "recist_nearest_slice",
          "recist_pixel_to_world", "recist_volume", "registration_transform", "render_overlay",
          "roi_mask", "scan_dicom_dir", "siemens_diffusion", "sr_cid_has", "sr_code_meaning",
          "sr_regions", "sr_to_html", "sr_validate", "sr_validate_code", "tag_for_keyword",
          "tic_metrics", "transcode", "transform_adjust_contrast", "transform_affine",
          "transform_argmax", "transform_as_discrete", "transform_bilinear_resize2d",
          "transform_center_crop", "transform_connected_components", "transform_crop",
          "transform_crop_foreground", "transform_divisible_pad", "transform_fill_holes",
          "transform_flip", "transform_gaussian_importance_map", "transform_gaussian_smooth",
          "transform_keep_largest_cc", "transform_normalize_ct", "transform_normalize_zscore",
          "transform_pad", "transform_pil_resize2d", "transform_remove_small_objects",
          "transform_reorient", "transform_resample", "transform_resample_cubic",
          "transform_resample_grid_sample", "transform_resample_nearest",
          "transform_resample_separate_z", "transform_resample_to_reference",
          "transform_resample_to_spacing", "transform_rescale_robust", "transform_resize",
          "transform_rotate90", "transform_scale_intensity_range",
          "transform_scale_intensity_range_percentiles", "transform_sliding_window_positions",
          "transform_spatial_pad", "transform_transpose", "uid_for_keyword", "uid_lookup",
          "uid_table", "validate", "voi_apply", "write_ann", "write_ko", "write_legacy_converted",
          "write_measurement_report", "write_metaimage_volume", "write_mkrtstruct",
          "write_mktract", "write_nifti_volume", "write_nrrd_volume", "write_paramap",
          "write_part10", "write_pr", "write_registration", "write_report", "write_rtdose",
          "write_seg", "write_seg_fractional", "write_seg_overlapping", "write_sr",
          "write_surface", "wsi_open", "wsi_open_paths", "wsi_write_pyramid"]


# The package's own, over the core: the limits, the Dataset view and the open-error classes.
PYTHON_LEVEL = {"memory_limit", "set_memory_limit", "read", "Dataset", "Element", "PersonName", "from_pydicom",
                "parse_date", "parse_time", "parse_datetime", "FileNotFound", "FileAccessDenied", "FileIsDirectory",
                "FileUnreadable", "DecodeMeta", "FileMeta", "Finding", "Identity", "IodFinding", "Segment", "TagInfo", "UidInfo"}


def test_module_docstring_and_names():
    assert core.__doc__ == "loam native core \u2014 zero-copy DICOM pixel decode via loamwerk::render (HU on rescale=True)"
    assert sorted(set(loam.__all__) - PYTHON_LEVEL) == PUBLIC
    for name in PUBLIC:
        fn = getattr(loam, name)
        assert getattr(fn, "__wrapped__", fn) is getattr(core, name)
        assert fn.__doc__ and len(fn.__doc__) > 20


def test_signatures_are_inspectable_and_arrays_take_lists():
    import inspect

    import numpy as np

    parameters = inspect.signature(loam.decode).parameters
    assert list(parameters) == ["path", "frame", "rescale", "lenient", "threads"]
    assert parameters["frame"].default == 0 and parameters["lenient"].kind is inspect.Parameter.KEYWORD_ONLY
    assert parameters["threads"].default is None and parameters["threads"].kind is inspect.Parameter.KEYWORD_ONLY
    assert inspect.signature(loam.dsc_deconvolve_curve).parameters["method"].default == "osvd"
    times = [0.0, 0.5, 1.0, 1.5]
    assert np.array_equal(loam.dce_parker_aif(times, 0.0), loam.dce_parker_aif(np.array(times), 0.0))
    assert np.array_equal(loam.dce_parker_aif(times_min=tuple(times), hct=0.0), loam.dce_parker_aif(np.array(times), 0.0))


def test_importing_twice_gives_the_same_module():
    assert importlib.import_module("loam._core") is core


def test_fresh_interpreter_import():
    out = subprocess.run([sys.executable, "-c", "import loam._core as c, loam; print(c.describe_tag(0x00100010)['keyword'])"],
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "PatientName"


def test_keyword_arguments():
    assert loam.describe_tag(tag=0x00100010)["keyword"] == "PatientName"
    assert loam.describe_private(creator="SIEMENS CSA HEADER", group=0x29, elem_low=0x10)["vr"] == "OB"
    assert loam.has_pixel_data_bytes(part10=part10(explicit(0x7FE0, 0x0010, "OW", b"\0\0")))


@pytest.mark.parametrize("call", [
    lambda: loam.has_pixel_data_bytes([1, 2, 3]),
    lambda: loam.read_pixel_data_bytes("not bytes"),
    lambda: loam.describe_tag("0x00100010"),
    lambda: loam.read_file_meta(b"/tmp/x"),
    lambda: loam.describe_tag(-1),
    lambda: loam.describe_tag(1 << 32),
])
def test_unmatched_signatures_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_engine_error_with_lock_released_leaves_interpreter_usable(tmp_path):
    for _ in range(100):
        with pytest.raises(RuntimeError):
            loam.read_pixel_data(str(tmp_path / "missing"))
    assert loam.describe_tag(0x00100010) is not None


def test_threads_read_concurrently(tmp_path):
    data = part10(explicit(0x0008, 0x0005, "CS", "ISO_IR 100") + explicit(0x7FE0, 0x0010, "OW", bytes(4096)))
    paths = []
    for i in range(8):
        p = tmp_path / f"{i}.dcm"
        p.write_bytes(data)
        paths.append(str(p))
    errors = []

    def work():
        try:
            for _ in range(50):
                for p in paths:
                    assert loam.read_pixel_data(p) == bytes(4096)
                    assert loam.has_pixel_data(p)
                assert loam.tag_for_keyword("PixelData") == 0x7FE00010
                assert loam.describe_private("siemens csa header", 0x29, 0x10)["vr"] == "OB"
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors


def test_stub_file_lists_every_function():
    from pathlib import Path
    stub = Path(loam.__file__).with_name("_core.pyi")
    assert stub.is_file()
    text = stub.read_text()
    for name in PUBLIC:
        assert f"def {name}(" in text or f"class {name}:" in text


def test_public_functions_document_their_use():
    import inspect

    for name in loam.__all__:
        fn = getattr(loam, name)
        if isinstance(fn, type) or not callable(fn):
            continue
        doc = inspect.getdoc(fn) or ""
        parameters = inspect.signature(fn).parameters
        if parameters:
            assert "Args:" in doc, name
        for parameter in parameters:
            assert f"    {parameter}:" in doc or f"    {parameter} " in doc, f"{name}: {parameter} undocumented"
        assert "Example:" in doc, name
