"""
loam native core — zero-copy DICOM pixel decode via loamwerk::render (HU on rescale=True)
"""

from collections.abc import Sequence

import numpy
import numpy.typing


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

def deidentify(data: bytes, options: dict[str, object] = {}) -> bytes:
    """
    De-identify one Part-10 buffer after the Basic Application Level Confidentiality Profile. options: patient_name, patient_id, uid_root, retain_dates, shift_dates_days, retain_uids, retain_device_id, retain_institution_id, retain_patient_chars, retain_safe_private, clean_descriptors, clean_graphics, clean_struct_content, profile ("none"), replace {tag: value}, remove [tag].
    """

def deidentify_series(files: list[bytes], options: dict[str, object] = {}) -> list[bytes]:
    """
    deidentify() over a list of buffers through one session, so that replaced UIDs agree.
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
    column-major voxel-to-patient (LPS) affine. Several series: the one with most decodable frames;
    several orientations: the orientation group with most decodable frames; several phases, echoes
    and the like: the lowest value of each.
    """

def assemble_4d(paths: list[str]) -> tuple[numpy.typing.NDArray[numpy.float32], dict]:
    """
    One series as float32 (volumes, depth, rows, columns): volumes enumerate the non-spatial axes
    (time, b-value, echo, cardiac phase, ...), the last listed varying fastest; meta['dimensions']
    describes them.
    """

def assemble_dwi(paths: list[str], order: str = 'gradient') -> tuple[numpy.typing.NDArray[numpy.float32], dict]:
    """
    Diffusion-weighted volumes grouped by (b-value, gradient): gradient order (b = 0 first) or, with
    order='acquisition', by Instance Number. meta has bvals, bvecs (voxel frame) and stored_bvecs.
    """

def write_nifti_volume(array: numpy.typing.NDArray, affine: list[float], path: str) -> None:
    """
    Writes a NIfTI-1 file (gzip-compressed when path ends with .gz) from a (D, H, W) or (V, D, H, W)
    uint8/uint16/int16/float32 array and an LPS affine.
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
