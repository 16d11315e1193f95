"""
loam native core — zero-copy DICOM pixel decode via loamwerk::render (HU on rescale=True)
"""

from collections.abc import Sequence
from typing import Annotated

import numpy
import numpy.typing
from numpy.typing import NDArray


def wsi_write_pyramid(image: Annotated[NDArray[numpy.uint8], dict(shape=(None, None, None), order='C', device='cpu', writable=False)], tile_width: int = 256, tile_height: int = 256, levels: int = 0, transfer_syntax: str = '1.2.840.10008.1.2.4.50', quality: int = 90, sparse: bool = False, skip_blank: bool = False, icc_profile: bytes | None = None, pixel_spacing_mm: float = 0.00025, label: Annotated[NDArray[numpy.uint8], dict(shape=(None, None, None), order='C', device='cpu', writable=False)] | None = None, overview: Annotated[NDArray[numpy.uint8], dict(shape=(None, None, None), order='C', device='cpu', writable=False)] | None = None, study_uid: str = '', series_uid: str = '', content_date: str = '') -> list:
    """
    Writes a VL Whole Slide Microscopy pyramid of an RGB uint8 image [rows, columns, 3]: one tiled
    instance per level (each half the size of the one before; levels=0 halves until one tile holds
    the level), then the label and overview images. sparse=True writes TILED_SPARSE with per-frame
    positions; skip_blank then omits uniform white or black tiles. Returns the instances as bytes.
    """

class WsiSlide:
    """
    A whole-slide image pyramid (from wsi_open or wsi_open_paths). Levels run from full
    resolution (0) down; pixels are uint8 RGB, or RGBA with rgba=True.
    """

    def open_error(self) -> str:
        """Why the slide could not be assembled; empty when it opened."""

    def level_count(self) -> int: ...

    def level_dimensions(self, level: int) -> tuple[int, int]:
        """(width, height) of the level in pixels."""

    def level_tile_dimensions(self, level: int) -> tuple[int, int]: ...

    def level_tile_counts(self, level: int) -> tuple[int, int]:
        """(tiles across, tiles down)."""

    def level_descriptor(self, level: int) -> dict:
        """
        The level's geometry and encoding. image_type_flags: 1 ORIGINAL, 2 DERIVED, 4 PRIMARY,
        8 SECONDARY, 16 VOLUME, 32 RESAMPLED.
        """

    def tile_exists(self, level: int, tile_x: int, tile_y: int) -> bool: ...

    def icc_transform_available(self) -> bool: ...

    def level_frame_count(self, level: int) -> int: ...

    def level_frame_tile(self, level: int, frame_index: int) -> object:
        """(tile column, tile row) of a frame, or None."""

    def level_source_paths(self, level: int) -> list[str]:
        """The files behind the level (none for slides opened from bytes)."""

    def level_tile_range(self, level: int, tile_x: int, tile_y: int) -> object:
        """
        (frame_index, tile_x, tile_y, offset, length) of the tile's encoded bytes in its source, or
        None; offset is -1 for a frame split over several fragments.
        """

    def level_frame_range(self, level: int, frame_index: int) -> object:
        """The level_tile_range record of a frame, or None."""

    def level_tile_range_grid(self, level: int) -> NDArray:
        """
        int64 [tiles down, tiles across, 3]: frame_index, offset, length per tile (-1 where missing).
        """

    def level_tile_ranges(self, level: int) -> NDArray:
        """
        int64 [frames, 5]: frame_index, tile_x, tile_y, offset, length per frame.
        """

    def level_concatenation(self, level: int) -> object: ...

    def level_downsample(self, level: int) -> float: ...

    def best_level_for_downsample(self, downsample: float) -> int: ...

    def tile_cache_capacity(self) -> int:
        """The per-level tile cache capacity in bytes."""

    def set_tile_cache_capacity(self, bytes: int) -> None: ...

    def associated_image_names(self) -> list[str]: ...

    def associated_image_dimensions(self, name: str) -> tuple[int, int]: ...

    def read_associated_image(self, name: str, rgba: bool = False) -> NDArray: ...

    def read_associated_image_srgb(self, name: str, rgba: bool = False) -> NDArray: ...

    def color_profile(self) -> object:
        """The ICC profile of level 0, or None."""

    def level_color_profile(self, level: int) -> object: ...

    def associated_image_color_profile(self, name: str) -> object: ...

    def properties(self) -> dict:
        """
        Slide properties: "wsi." and "openslide." keys, and DICOM attributes under "dicom.".
        """

    def read_region(self, x: int, y: int, level: int, width: int, height: int, rgba: bool = False) -> NDArray:
        """
        width × height pixels of the level at level-0 coordinates (x, y); zeros outside the level.
        """

    def read_region_srgb(self, x: int, y: int, level: int, width: int, height: int, rgba: bool = False) -> NDArray: ...

    def read_tile(self, level: int, tile_x: int, tile_y: int, rgba: bool = False, fill_missing: bool = False) -> NDArray:
        """
        The decoded tile [tile height, tile width, 3 or 4]; empty when it cannot be delivered (a
        missing sparse tile with fill_missing=True gives zeros).
        """

    def read_tile_srgb(self, level: int, tile_x: int, tile_y: int, rgba: bool = False, fill_missing: bool = False) -> NDArray: ...

    def read_tiles(self, level: int, tiles: Sequence, rgba: bool = False, fill_missing: bool = False) -> list:
        """read_tile for each (tile_x, tile_y), decoded on worker threads."""

    def read_tile_stack(self, level: int, tiles: Sequence, rgba: bool = False, fill_missing: bool = False) -> NDArray:
        """The tiles as one array [n, tile height, tile width, 3 or 4]."""

def wsi_open(instances: Sequence[bytes]) -> WsiSlide:
    """Opens the instances (bytes) of one slide as a WsiSlide."""

def wsi_open_paths(paths: Sequence[str]) -> WsiSlide:
    """Opens the instance files of one slide (memory-mapped) as a WsiSlide."""

def tag_for_keyword(keyword: str) -> int | None:
    """
    Packed tag (group<<16|element) of a standard keyword (case-sensitive), or None.
    """

def describe_tag(tag: int) -> dict[str, str | bool] | None:
    """
    Keyword, name, VR, VM and retired flag of a standard tag (packed int), or None.
    Group lengths (gggg,0000) and repeating groups (50xx, 60xx, ...) are answered; private tags are not.
    """

def describe_private(creator: str, group: int, elem_low: int) -> dict[str, str | bool] | None:
    """
    Describe a private tag by its creator, group and element (only the low byte counts), or None.
    Creators match exactly first, then ignoring case, leading/trailing and doubled spaces.
    """

def uid_lookup(uid: str) -> dict[str, str | bool | int] | None:
    """
    Name, type, keyword, info, retired flag and context group number of a registered UID, or None.
    """

def uid_for_keyword(keyword: str) -> str:
    """
    UID of a registry keyword such as 'CTImageStorage', or '' when unknown.
    """

def uid_table() -> list[tuple[str, str, str, str, str, bool, int]]:
    """
    The whole UID registry as (uid, name, type, keyword, info, retired, cid) tuples in UID order.
    """

def read_file_meta(path: str) -> dict[str, str | bool]:
    """
    File meta of a Part-10 file: {has_meta: True, sop_class, sop_instance, transfer_syntax}; for a
    dataset without file meta {has_meta: False, transfer_syntax} with the sniffed syntax or ''.
    """

def read_pixel_data(path: str) -> bytes | None:
    """
    Raw value of the top-level (Float/Double Float) Pixel Data element as bytes (fragments included
    for encapsulated data), or None when absent or the file is big endian or deflated.
    """

def read_pixel_data_bytes(part10: bytes) -> bytes | None:
    """read_pixel_data over an in-memory Part-10 file or dataset."""

def has_pixel_data(path: str) -> bool:
    """
    Whether the file has a top-level Pixel Data, Float Pixel Data or Double Float Pixel Data element.
    """

def has_pixel_data_bytes(part10: bytes) -> bool:
    """has_pixel_data over an in-memory Part-10 file or dataset."""

def pixel_data_vr(path: str) -> str | None:
    """
    VR of the located pixel-data element ('OB', 'OW', 'OF', 'OD'), or None.
    """

def pixel_data_vr_bytes(part10: bytes) -> str | None:
    """pixel_data_vr over an in-memory Part-10 file or dataset."""

def encapsulate_pixel_value(fragments: Sequence[bytes], frame_starts: Sequence[int]) -> bytes:
    """
    Build an encapsulated Pixel Data value: the Basic Offset Table item (filled when frame_starts is strictly increasing and within the fragments) and one even-length item per fragment.
    """

def edit_part10(data: bytes, ops: list[tuple[int, str, bytes | str, int]]) -> bytes:
    """
    Edit top-level elements of a Part-10 buffer, keeping every other byte. Each op is (tag, kind, value, vr): kind "modify", "erase" or anything else for insert; vr the two VR characters as an int (first in the low byte) or 0 to infer it.
    """

def mint_uid(seed: str, root: str = '') -> str:
    """
    A deterministic UID: root ("2.25" when empty), a dot and the decimal FNV-1a-128 hash of seed.
    """

def read_json(path: str, charset_override: str = '', inline_binary: bool = True) -> str:
    """
    The data set of a DICOM file as one line of DICOM JSON Model text. Text is decoded to UTF-8 (charset_override replaces the file's Specific Character Set); DS and IS values are strings; binary values are base64 (left out with inline_binary=False); pixel data appears only as a member holding its VR, first in the object.
    """

def read_meta_json(path: str) -> str:
    """
    The file meta information (group 0002) as DICOM JSON text, or "" for a bare dataset.
    """

def encode_ivr(json: str) -> bytes:
    """
    DICOM JSON Model text to a bare dataset in Implicit VR Little Endian (no file meta).
    """

def write_part10(json: str, transfer_syntax: str = '') -> bytes:
    """
    DICOM JSON Model text to a Part-10 file under transfer_syntax (Implicit VR Little Endian when empty; encapsulated syntaxes need encapsulated Pixel Data in InlineBinary). Text is written as UTF-8 with Specific Character Set ISO_IR 192; the file meta is generated.
    """

def decode(path: str, frame: int = 0, rescale: bool = False, *, lenient: bool = False) -> tuple[numpy.typing.NDArray, dict[str, object]]:
    """
    Decode the frames of a DICOM file (frame 0 = all, n = the n-th) to (array, meta). The array is [frames, rows, columns(, samples)], little-endian, samples interleaved. With rescale, one-sample images give the modality output as float32 (Hounsfield units for CT, Gy for RT Dose) and colour images RGB; without it, stored values, with palettes expanded and YBR converted to RGB. lenient accepts short pixel data (missing samples are zero).
    """

def decode_bytes(data: bytes, frame: int = 0, rescale: bool = False, *, lenient: bool = False) -> tuple[numpy.typing.NDArray, dict[str, object]]:
    """
    decode() over a Part-10 buffer or bare dataset held in bytes (read in place).
    """

def decode_stored(path: str, frame: int = 0, *, lenient: bool = False) -> tuple[numpy.typing.NDArray, dict[str, object]]:
    """
    The stored values exactly: sign-extended, palette indices kept, colour in its stored space.
    """

def decode_stored_bytes(data: bytes, frame: int = 0, *, lenient: bool = False) -> tuple[numpy.typing.NDArray, dict[str, object]]:
    """decode_stored() over a buffer."""

def transcode(data: bytes, target_ts: str, quality: int = 97) -> bytes:
    """
    Re-encode a Part-10 buffer into target_ts (explicit VR little endian, RLE, JPEG .50/.51/.57/.70, JPEG-LS .80/.81, JPEG 2000 .90/.91, JPEG XL .110/.112, HTJ2K .201/.203). Lossless targets ignore quality; .81 and .112 are lossless at 100 and above. The default 97 keeps 8-bit images above 40 dB PSNR on every lossy target; 0 means the engine's 85. Lossy output gets a new, deterministic SOP Instance UID and the Lossy Image Compression attributes.
    """

def n_frames(path: str) -> int:
    """The number of frames that can be decoded (0 when none can be formed)."""

def voi_apply(values: numpy.typing.NDArray[numpy.float32], function: int = 0, lut_bytes: bytes | None = None, lut_first: int = 0, lut_depth: int = 16, window_center: float = 0.0, window_width: float = 1.0) -> numpy.typing.NDArray[numpy.float32]:
    """
    The VOI transform to [0, 1]: a VOI LUT when lut_bytes is given, else the window with function 0 LINEAR, 1 LINEAR_EXACT or 2 SIGMOID.
    """

def apply_palette_indices(dataset: bytes, indices: numpy.typing.NDArray, bits_allocated: int, is_signed: bool = False) -> numpy.typing.NDArray:
    """
    Expand palette indices through the dataset's Palette Color LUT: shape + (3,), uint8, or uint16 for 16-bit palette entries.
    """

def clean_pixel_data(data: bytes, regions: list[tuple[float, ...]] | None = None, use_ctp: bool = True, require_match: bool = False) -> bytes:
    """
    Black out burned-in annotation: the given regions (x, y, w, h[, frame]) and, with use_ctp, those of every matching built-in device signature. The result is uncompressed Explicit VR Little Endian with Burned In Annotation NO; with no region at all the input comes back unchanged.
    """

def deidentify(data: bytes, options: dict[str, object] = {}, lookup: list[tuple[str, str, str]] | None = None, notes: list[str] | None = None, identifiers: dict[str, str] | None = None) -> bytes:
    """
    De-identify one Part-10 buffer after the Basic Application Level Confidentiality Profile.

    Replacement UIDs and pseudonyms (Patient ID and Name per patient, Accession Number, Study ID) are keyed: options['key'] (bytes or str) gives the same replacements in any process or machine, and nobody without it can compute them. Without a key every call draws a fresh random one, so two calls do not agree; deidentify_series or a key makes them agree. options['unkeyed'] = True instead replaces UIDs by a public hash of the original and every patient by the same dummies: LINKABLE by anyone who holds the original UIDs.

    Other options: patient_name and patient_id (fixed dummies for everyone), uid_root, retain_dates, shift_dates_days, shift_dates_per_patient (each patient's dates move back by a keyed 1..N days), retain_uids, retain_device_id, retain_institution_id, retain_patient_chars, retain_safe_private, clean_descriptors, clean_graphics, clean_struct_content, clean_pixel, profile ("none"), replace {tag: value}, remove [tag].

    lookup, a list, receives (kind, original, replacement) rows for the data holder to keep; notes, a list, receives a warning when the pixels likely hold burned-in text that was not cleaned; identifiers, a dict, receives the PatientID, StudyInstanceUID, SeriesInstanceUID and SOPInstanceUID the result is filed under (empty when absent).
    """

def deidentify_series(files: list[bytes], options: dict[str, object] = {}, lookup: list[tuple[str, str, str]] | None = None, notes: list[str] | None = None) -> list[bytes]:
    """
    deidentify() over a list of buffers through one session (one key), so that replaced UIDs and pseudonyms agree across the list; notes name the file by its index.
    """

def scan_dicom_dir(root: str, recursive: bool = True) -> list[str]:
    """
    Paths of the DICOM files under `root` (by extension .dcm/.ima/.dicom, or 'DICM' at byte 128),
    sorted in byte order. A root that is a file is returned as is; file-system problems never raise.
    Symbolic links to directories are not followed.
    """

def build_dicomdir(inputs: Sequence[tuple[bytes, str]], file_set_id: str = '') -> bytes:
    """
    DICOMDIR bytes (Explicit VR Little Endian) for (Part-10 bytes, media-relative file ID) pairs:
    PATIENT / STUDY / SERIES / instance records in input order. Inputs without readable file meta,
    or in a big-endian or deflated syntax, are skipped.
    """

def iod_validate(path: str) -> list[dict[str, str | int]]:
    """
    Checks a file against the IOD of its SOP Class: the Type 1 and 2 attributes of every
    mandatory module (inside the sequences present, too) and the conditional requirements.
    Returns findings {severity, tag, module, message} in the order found; empty when conformant.
    """

def assemble_volume(paths: list[str]) -> tuple[numpy.typing.NDArray[numpy.float32], dict]:
    """
    A series' volume: float32 (depth, rows, columns) in modality units, with spacing [z, y, x] and the
    column-major voxel-to-patient affine in patient LPS (nibabel's RAS flips the first two rows).
    Several series: the one with most decodable frames; several orientations: the orientation group
    with most decodable frames; several phases, echoes, acquisitions and the like: the first volume
    (meta['volumes_in_series'] says how many there are). meta['grouping'] names what told frames at
    one position apart when no named axis did; meta['stored'] gives the stored-integer map when all
    frames share one.
    """

def assemble_4d(paths: list[str]) -> tuple[numpy.typing.NDArray[numpy.float32], dict]:
    """
    One series as float32 (volumes, depth, rows, columns): volumes enumerate the non-spatial axes
    (time, b-value, echo, cardiac phase, ...) that hold frames, the last listed varying fastest;
    meta['dimensions'] describes them. Frames at one position that no named axis tells apart are told
    apart by what their files say (Temporal Position Index, Acquisition Number, Stack ID, diffusion
    encoding, echo, image type, else acquisition time and Instance Number: the 'acquisition' axis,
    in acquisition order), as dcm2niix does; frames that nothing tells apart raise an error naming
    their files. The affine is in patient LPS.
    """

def assemble_dwi(paths: list[str], order: str = 'gradient') -> tuple[numpy.typing.NDArray[numpy.float32], dict]:
    """
    Diffusion-weighted volumes (b-value and gradient from the standard attributes or the Siemens, GE,
    Philips or United Imaging private ones): gradient order (b = 0 first) or, with
    order='acquisition', by Instance Number; repeated encodings stay separate volumes and the
    scanner's derived isotropic (trace) volumes are left out (meta['derived_excluded']). meta has
    bvals, bvecs (unit vectors on the voxel axes) and stored_bvecs (as the files state them).
    """

def write_nifti_volume(array: numpy.typing.NDArray, affine: list[float], path: str, scl_slope: float = 1.0, scl_inter: float = 0.0, repetition_time: float = 0.0, rgb: bool = False) -> None:
    """
    Writes a NIfTI-1 file (gzip-compressed when path ends with .gz) from a (D, H, W) or (V, D, H, W)
    uint8/uint16/int16/float32 array and an affine in our LPS convention (stored as RAS, as nibabel
    reads it). scl_slope/scl_inter: the map from stored to real values; repetition_time (s): pixdim[4]
    with seconds as the time unit; rgb: a uint8 (..., 3) array written as RGB24.
    """

def read_nifti(path: str) -> tuple[numpy.typing.NDArray, dict]:
    """
    Reads a single-file NIfTI-1 (.nii or .nii.gz): the voxels in the file's type, shaped (D, H, W) or
    (T, D, H, W), and meta with the LPS affine, spacing [z, y, x], time_points, scl_slope, scl_inter.
    """

def write_nrrd_volume(array: numpy.typing.NDArray, affine: list[float], path: str, gzip: bool = False) -> None:
    """Writes an NRRD file with an attached header (LPS space)."""

def write_metaimage_volume(array: numpy.typing.NDArray, affine: list[float], path: str, compress: bool = False) -> None:
    """Writes a MetaImage (.mha) file with the data in the same file."""

def transform_resample_cubic(arr: numpy.typing.NDArray, affine: list[float], out_shape: list[int]) -> tuple[numpy.typing.NDArray[numpy.float32], dict]:
    """
    Cubic B-spline resampling of a [D,H,W] array to out_shape (half-pixel centres, edge padding,
    double-precision prefilter, values clamped to the input range). Returns (float32 array, {affine}).
    """

def transform_resample_grid_sample(arr: numpy.typing.NDArray, affine: list[float], out_shape: list[int]) -> tuple[numpy.typing.NDArray[numpy.float32], dict]:
    """
    Trilinear resampling with align_corners=False and border clamping (PyTorch's trilinear
    interpolate convention). Returns (float32 array, {affine}).
    """

def transform_resample_nearest(arr: numpy.typing.NDArray, affine: list[float], out_shape: list[int]) -> tuple[numpy.typing.NDArray[numpy.float32], dict]:
    """
    Nearest-neighbour resampling with half-pixel centres (for label maps). Returns (float32 array,
    {affine}).
    """

def transform_resample(arr: numpy.typing.NDArray, affine: list[float], out_shape: list[int], backend: str = 'torch') -> tuple[numpy.typing.NDArray[numpy.float32], dict]:
    """
    Resampling by convention: 'skimage' (cubic B-spline), 'torch' or 'itk' (trilinear).
    """

def mosaic_expand(source: str | bytes) -> tuple[numpy.typing.NDArray[numpy.float32], dict]:
    """
    A mosaic image (Siemens MOSAIC with the CSA image header, or United Imaging VFRAME) cut into its
    slices: float32 (tiles, rows, columns) in modality units, and meta with tiles, grid, positions
    (each tile's Image Position (Patient), LPS mm, in acquisition order), orientation,
    pixel_spacing, slice_spacing and slice_times (seconds, from MosaicRefAcqTimes; None when absent).
    Tile positions follow dcm2niix: the mosaic's corner moved by half the untiled part.
    """

def siemens_diffusion(source: str | bytes) -> dict | None:
    """
    The diffusion and timing values of a Siemens CSA image header: b_value (s/mm^2), gradient (unit
    vector in patient LPS), b_matrix (bxx, bxy, bxz, byy, byz, bzz), slice_normal,
    phase_encoding_positive, bandwidth_per_pixel_phase_encode (Hz), mosaic_tiles and slice_times
    (seconds per mosaic tile). Values the header lacks are None; None when there is no CSA header.
    """

def read_diffusion(path: str) -> list[dict] | None:
    """
    Every frame's diffusion encoding, whichever vendor wrote it: a dict per frame with frame, bvalue,
    gradient, gradient_frame ('patient' for LPS, 'logical' for GE's phase/frequency/slice axes),
    source ('standard', 'Siemens CSA', 'GE', 'Philips', 'UIH'), isotropic (the vendor's derived
    trace image) and b_matrix (Siemens). None when the file states no diffusion encoding.
    """

def dwi_b0_threshold(bvals: list[float], bvecs: list[list[float]] | None = None, threshold: float = 50.0, isotropic: list[bool] | None = None) -> dict:
    """
    Which volumes of a diffusion series are b = 0 references, by dcm2niix's rules: b at or below
    threshold (s/mm^2), or a weighted volume reported without a direction in a series that has no
    directions. A weighted volume without a direction in a series with directions (or marked in
    isotropic) is the scanner's derived trace image. Returns b0 (a bool per volume), weighted and
    derived (volume indices) and the threshold.
    """

def bids_sidecar(paths: list[str]) -> dict:
    """
    The BIDS sidecar of one series, with dcm2niix's key names and units (seconds, degrees): Modality,
    Manufacturer, ProtocolName, SeriesDescription, SeriesNumber, ImageType, AcquisitionTime,
    EchoTime, RepetitionTime, FlipAngle, EffectiveEchoSpacing and TotalReadoutTime (Siemens),
    PhaseEncodingDirection (or PhaseEncodingAxis when the polarity is unknown) and SliceTiming, both
    on the voxel axes of the volume assemble_4d makes (i columns, j rows, k ascending slices), and
    more. Names, IDs and dates of the patient are never included.
    """

def dsc_deconvolve_curve(ct: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], aif: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], dt_s: float, method: str = 'osvd', reg: float = 0.0) -> dict:
    """
    Truncated-SVD deconvolution of a tissue concentration curve by the AIF: 'ssvd', 'csvd' or 'osvd'
    (reg <= 0: the default threshold 0.2, 0.1, or the oscillation target 0.035). Returns cbf, cbv,
    mtt, tmax, oi, frac, cut, tail, quality (flags), ok and the residue.
    """

def dsc_signal_to_conc(signal: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], n_baseline: int, te_s: float) -> NDArray:
    """
    DSC concentration: -ln(S / S0) / TE with S0 the mean of the first n_baseline samples.
    """

def dsc_cbv(ct: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], ref: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> float:
    """Trapezoidal area of the tissue curve over that of the reference (AIF)."""

def dsc_cumtrapz(x: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], dt_s: float) -> NDArray:
    """Running trapezoidal integral, starting at 0."""

def dsc_first_pass_end(conc: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], n_baseline: int, k_sigma: float = 0.0) -> int:
    """
    End of the first pass: the sample after the post-peak minimum once the curve rises k_sigma
    baseline standard deviations (default 4) above it; len(conc) when it never does; -1 on refusal.
    """

def dsc_leakage_correct(ct: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], ref: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], dt_s: float) -> dict:
    """
    Boxerman-Schmainda-Weisskoff leakage correction against the reference curve: {corrected, k2}.
    """

def dsc_fit_volume(signal: Annotated[NDArray[numpy.float32], dict(shape=(None, None, None, None), order='C', device='cpu', writable=False)], aif: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], dt_s: float, te_s: float, n_baseline: int, mask: Annotated[NDArray[numpy.uint8], dict(order='C', device='cpu', writable=False)] | None = None, method: str = 'osvd', reg: float = 0.0, leakage: bool = False) -> dict:
    """
    Per-voxel DSC maps: each voxel's signal becomes a concentration curve (baseline mean S0, te_s),
    optionally leakage-corrected against the AIF, and is deconvolved against the AIF concentration
    curve, which is decomposed once; slices run on worker threads. Returns float32 maps cbf, cbv
    (area ratio), mtt and tmax (seconds), ttp (seconds to the concentration peak), the quality flags
    (uint32) and the number of voxels fitted. Voxels outside the mask (nonzero = inside) are 0.
    """

def dsc_fit_map(signal: Annotated[NDArray[numpy.float32], dict(shape=(None, None, None), order='C', device='cpu', writable=False)], aif: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], dt_s: float, te_s: float, n_baseline: int, mask: Annotated[NDArray[numpy.uint8], dict(order='C', device='cpu', writable=False)] | None = None, method: str = 'osvd', reg: float = 0.0, leakage: bool = False) -> dict:
    """dsc_fit_volume for one slice: signal [T, H, W], maps [H, W]."""

def dce_parker_aif(times_min: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], hct: float = 0.0) -> NDArray:
    """
    Parker's population AIF (mM) at the times in minutes; hct scales plasma to blood as 1 / (1 - hct).
    """

def dce_population_aif(model: str, times_min: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], hct: float = 0.0) -> NDArray:
    """
    A population AIF: 'parker', 'georgiou', 'fritz_hansen', 'weinmann' or 'mcgrath' (others: Parker).
    """

def dce_signal_to_conc(signal: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], n_baseline: int, t1_0_s: float, tr_s: float, fa_deg: float, r1: float) -> NDArray:
    """
    SPGR signal to concentration (mM) from the baseline T1 (s), TR (s), flip angle (degrees) and
    relaxivity r1 (per mM per second).
    """

def dce_t1_map_vfa(volumes: Annotated[NDArray, dict(order='C', device='cpu')], fa_deg: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], tr_s: float, mask: Annotated[NDArray[numpy.uint8], dict(order='C', device='cpu', writable=False)] | None = None) -> dict:
    """
    Variable-flip-angle T1 (s) and M0 per voxel of [F, H, W] signals; 'fitted' marks fitted voxels (uint8).
    """

class DVHCurve:
    """
    A computed dose-volume histogram: differential counts (cm3 per 1-cGy bin), the cumulative
    curve, volumes, dose statistics and the queries.
    """

    @property
    def counts(self) -> NDArray:
        """cm3 per 1-cGy bin (bin b: b to b + 1 cGy), trailing empty bins removed"""

    @property
    def cumulative(self) -> NDArray:
        """cm3 receiving at least b cGy; [0] is the covered volume"""

    @property
    def volume_cm3(self) -> float: ...

    @property
    def total_volume_cm3(self) -> float: ...

    @property
    def covered_volume_cm3(self) -> float: ...

    @property
    def uncovered_volume_cm3(self) -> float: ...

    @property
    def min_gy(self) -> float: ...

    @property
    def max_gy(self) -> float: ...

    @property
    def mean_gy(self) -> float: ...

    @property
    def roi_name(self) -> str: ...

    @property
    def notes(self) -> str: ...

    def volume_at_dose(self, gy: float) -> float:
        """V(D): cm3 receiving at least gy."""

    def dose_at_volume_cm3(self, volume_cm3: float) -> float:
        """
        D(V): the dose (Gy) received by at least volume_cm3; NaN beyond the covered volume.
        """

    def dose_at_volume_fraction(self, fraction: float) -> float:
        """
        D(V%): the dose (Gy) received by at least fraction x the covered volume.
        """

    def statistic(self, name: str, rx_dose_gy: float = 0.0) -> float:
        """
        A constraint read by name: D95, D95%, D2cc, D0.5cm3, V20Gy, V2000cGy, V100% (with rx_dose_gy), Dmax,
        Dmin or Dmean.
        """

def read_rtstruct(path: str) -> list:
    """
    The ROIs of an RT Structure Set: [{number, name, contours: [(N, 3) float64 patient mm]}], closed
    planar contours only.
    """

def read_rtdose(path: str) -> tuple:
    """
    An RT Dose grid in Gy (Dose Grid Scaling applied), shaped (frames, rows, columns), with its geometry:
    origin, row/column cosines, pixel spacing and the frame offsets along the normal (from the first frame).
    """

def compute_dvh(rtstruct: str, rtdose: str, roi: int | str, samples_per_axis: int = 3, full_volume: bool = False) -> DVHCurve:
    """
    The DVH of one ROI (by name or number): its contours rasterised on the dose grid's in-plane lattice
    with samples_per_axis^2 samples per pixel (even-odd rule per plane; plane thickness from the contour
    spacing), doses interpolated trilinearly and binned per cGy. volume_cm3 is the covered volume, or the
    whole ROI with full_volume; notes say how much of the ROI lies outside the grid.
    """

def dose_at(rtdose: str, points: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)]) -> NDArray:
    """
    Dose (Gy) at patient points (N, 3), interpolated trilinearly in the grid; NaN outside it.
    """

def write_ko(document: dict, output: str = '') -> bytes | None:
    """
    A Key Object Selection document flagging the referenced instances under a title (default
    113000 'Of Interest', DCM). document: references [{study_uid, series_uid, sop_class_uid,
    sop_instance_uid, frame? (or frames, as read_ko gives)}], title {value, scheme, meaning}, retrieve
    {ae_title, location_uid}, sop_instance_uid / series_instance_uid (derived from the content when absent), patient_name,
    patient_id, study_uid, study_date, study_time, study_id, accession_number; other keys are refused.
    Returns the bytes, or writes them to output.
    """

def read_ko(source: bytes | str) -> dict:
    """
    Reads a Key Object Selection document (bytes or a path): patient and study, title code, own UIDs,
    retrieve information and the references in content order with their frames.
    """

def recist_evaluate(baseline: list, current: list, nadir_sld: float = 0.0, new_lesion: bool = False, nt_progression: bool = False) -> dict:
    """
    RECIST 1.1 from target lesions {longest_mm, short_axis_mm, status, is_lymph_node}: CR/PR/SD/PD with
    the sums of diameters (nodes by short axis).
    """

def irecist_evaluate(baseline: list, current: list, nadir_sld: float = 0.0, new_lesion: bool = False, nt_progression: bool = False, prev_response: str = 'NE', prev_was_iupd: bool = False) -> dict:
    """
    iRECIST: the RECIST 1.1 result as iCR/iPR/iSD, a progression as iUPD (iCPD when the previous
    timepoint was iUPD).
    """

def mrecist_evaluate(baseline: list, current: list, nadir_sum: float = 0.0, new_lesion: bool = False) -> dict:
    """
    mRECIST from the viable (arterially enhancing) diameters {viable_diam_mm, status}.
    """

def cheson_evaluate(baseline: list, current: list, nadir_spd: float = 0.0, new_lesion: bool = False) -> dict:
    """
    Cheson/Lugano from the sums of products of diameters {longest_mm, perpendicular_mm, is_lymph_node,
    status}.
    """

def rano_evaluate(baseline: list, current: list, nadir_spd: float = 0.0, new_lesion: bool = False, non_enhancing: str = 'unknown', on_steroids: bool = False) -> dict:
    """
    RANO from the sums of products {longest_mm, perpendicular_mm, status}, the non-enhancing component
    and steroid use.
    """

def pcwg3_evaluate(new_lesions_scan1: int = 0, new_lesions_scan2: int = -1, prev_was_pending: bool = False, psa_current: float = 0.0, psa_nadir: float = 0.0, psa_given: bool = False) -> dict:
    """
    PCWG3: the bone-scan 2+2 rule (scan2 = -1: no confirmation scan yet) and, with psa_given, PSA
    progression (a rise of at least 2.0 and 25 % over the nadir).
    """

def recist_feret(mask: Annotated[NDArray[numpy.uint8], dict(order='C', device='cpu', writable=False)], spacing_x: float, spacing_y: float) -> object:
    """
    Maximum Feret diameter of a 2-D lesion mask and the caliper width perpendicular to it (mm), with
    their endpoints (x0, y0, x1, y1 in pixels); None for an empty mask.
    """

def recist_volume(slice_pixel_counts: Annotated[NDArray[numpy.uint32], dict(order='C', device='cpu', writable=False)], pixel_area_mm2: float, slice_spacing_mm: float) -> float:
    """Lesion volume (mm3) from per-slice pixel counts."""

def recist_pixel_to_world(origin: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], orientation: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], spacing: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], px: float, py: float) -> tuple:
    """
    Patient position of pixel (column px, row py) from Image Position, Image Orientation and Pixel Spacing.
    """

def recist_match_lesion(query: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], candidates: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], max_distance_mm: float) -> tuple:
    """
    The nearest candidate within max_distance_mm (the later on equal distances): (index, distance) or
    (None, None).
    """

def recist_nearest_slice(world: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], slice_origins: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], normal: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)]) -> tuple:
    """
    The slice whose plane lies nearest a patient point: (index, signed distance along normal).
    """

def write_seg(reference_paths: list[str], labelmap: numpy.typing.NDArray, segments: list[dict], output: str = '', sop_instance_uid: str = '', series_instance_uid: str = '', dimension_organization_uid: str = '', content_date: str = '', content_time: str = '') -> bytes | None:
    """
    A binary Segmentation from a uint16 label map of shape (rows, columns) or (slices, rows, columns)
    over the reference series (slice k = the k-th reference slice along the normal). segments: dicts
    with label, rgb, category / type / anatomic (value, scheme, meaning), algorithm_type,
    algorithm_name, labelID. UIDs not given are derived from the content. Returns the Part-10 bytes,
    or writes them to output and returns None.
    """

def write_seg_fractional(reference_paths: list[str], maps: numpy.typing.NDArray, segments: list[dict], fractional_type: int = 0, max_value: int = 255, output: str = '', sop_instance_uid: str = '', series_instance_uid: str = '', dimension_organization_uid: str = '', content_date: str = '', content_time: str = '') -> bytes | None:
    """
    A fractional Segmentation from uint8 maps of shape (segments, rows, columns) or (segments, slices,
    rows, columns); fractional_type non-zero = OCCUPANCY, else PROBABILITY; max_value 0 means 255.
    """

def write_seg_overlapping(reference_paths: list[str], masks: numpy.typing.NDArray, segments: list[dict], output: str = '', sop_instance_uid: str = '', series_instance_uid: str = '', dimension_organization_uid: str = '', content_date: str = '', content_time: str = '') -> bytes | None:
    """
    A binary Segmentation from one uint8 0/1 mask per segment, shaped (segments, rows, columns) or
    (segments, slices, rows, columns); masks may overlap.
    """

def build_seg_from_nifti(ref_paths: list[str], mask_nii: str, segments: list[dict]) -> bytes:
    """
    A binary Segmentation from a NIfTI-1 label volume co-framed with the reference series (its
    slice axis may run either way along the series normal).
    """

def read_seg(path: str, masks: bool = False) -> tuple[numpy.typing.NDArray, dict] | None:
    """
    Reads a Segmentation onto the slice grid its functional groups describe: (label map uint16
    (slices, rows, columns), meta), or with masks=True (occupancy float32 (segments, slices, rows,
    columns), meta). None for a DICOM object without segments.
    """
