"""render_overlay: the 8-bit display image against DCMTK's dcm2pnm on the corpus, overlay planes
against pydicom's overlay_array, and hand-built images for the cases the corpus lacks (overlay
origins, multi-frame overlays, overlays in the pixel data's high bits, MONOCHROME1, VOI LUTs,
per-frame windows)."""

from __future__ import annotations

import re
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pydicom
import pytest
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid

import loam
from peer_tools import run_peer

TESTDATA = Path(__file__).resolve().parents[2] / "shared" / "testdata"
DCM2PNM = shutil.which("dcm2pnm")
OVERLAY_FILES = ["pydicom/test_files/examples_overlay.dcm", "pydicom-data/MR-SIEMENS-DICOM-WithOverlays.dcm"]


def corpus(name: str) -> Path:
    path = TESTDATA / name
    if not TESTDATA.is_dir():
        pytest.skip(f"corpus not present at {TESTDATA}")
    return path


def read_pgm(path: Path) -> np.ndarray:
    raw = path.read_bytes()
    m = re.match(rb"P5\s+(?:#.*\n\s*)*(\d+)\s+(\d+)\s+(\d+)\s", raw)
    width, height = int(m.group(1)), int(m.group(2))
    return np.frombuffer(raw[m.end():m.end() + width * height], np.uint8).reshape(height, width)


def dcm2pnm(path: Path, options: list[str], tmp_path: Path) -> np.ndarray:
    if not DCM2PNM:
        pytest.skip("dcm2pnm (Debian dcmtk) is not installed")
    out = tmp_path / "out.pgm"
    run_peer([DCM2PNM, *options, "+op", str(path), str(out)], check=True, capture_output=True, timeout=120)
    return read_pgm(out)


@pytest.mark.parametrize("name, voi", [
    ("pydicom/test_files/MR_small.dcm", "window"),
    ("pydicom/test_files/MR_small_bigendian.dcm", "window"),
    ("pydicom/test_files/CT_small.dcm", "minmax"),
    ("pydicom/test_files/dicomdirtests/77654033/CR1/6154", "window"),  # MONOCHROME1
    ("highdicom/dx_image.dcm", "window"),  # MONOCHROME1
    ("pydicom-data/vlut_04.dcm", "lut"),
    ("pydicom-data/liver.dcm", "minmax"),
    ("pydicom-data/eCT_Supplemental.dcm", "minmax"),
    *[(name, "window") for name in OVERLAY_FILES],
])
def test_matches_dcm2pnm(name, voi, tmp_path):
    path = corpus(name)
    theirs = dcm2pnm(path, {"window": ["+Wi", "1"], "lut": ["+Wl", "1"], "minmax": ["+Wm"]}[voi], tmp_path)
    ours = loam.render_overlay(path, voi=voi)
    assert ours.shape == theirs.shape
    assert np.abs(ours.astype(int) - theirs).max() <= 1


@pytest.mark.parametrize("name", OVERLAY_FILES)
def test_overlay_planes_where_pydicom_places_them(name):
    path = corpus(name)
    plane = pydicom.dcmread(path).overlay_array(0x6000).astype(bool)
    with_planes, without = loam.render_overlay(path), loam.render_overlay(path, overlays=False)
    assert plane.any()
    assert (with_planes[plane] == 255).all()
    assert (with_planes[~plane] == without[~plane]).all()


def image(pixels: np.ndarray, **attributes) -> bytes:
    """A Part-10 MR image of `pixels` (frames, rows, columns) or (rows, columns), unsigned 16-bit."""
    pixels = np.asarray(pixels, dtype=np.uint16)
    frames = pixels.shape[0] if pixels.ndim == 3 else 1
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.file_meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.4"
    ds.file_meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID = "1.2.3.4.5.6"
    ds.SOPClassUID = ds.file_meta.MediaStorageSOPClassUID
    ds.StudyInstanceUID, ds.SeriesInstanceUID = "1.2.3.4", "1.2.3.4.5"
    ds.Modality, ds.PatientName, ds.PatientID = "MR", "Test^Patient", "P1"
    ds.Rows, ds.Columns = pixels.shape[-2:]
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 16, 15, 0
    if frames > 1:
        ds.NumberOfFrames = frames
    for key, value in attributes.items():
        setattr(ds, key, value)
    ds.PixelData = pixels.tobytes()
    import io
    out = io.BytesIO()
    ds.save_as(out, enforce_file_format=True)
    return out.getvalue()


def add_overlay(ds: Dataset, group: int, bits: np.ndarray, origin=(1, 1), frame_origin=None) -> None:
    bits = np.asarray(bits, dtype=np.uint8)
    frames = bits.shape[0] if bits.ndim == 3 else 1
    ds.add_new((group, 0x0010), "US", bits.shape[-2])
    ds.add_new((group, 0x0011), "US", bits.shape[-1])
    ds.add_new((group, 0x0040), "CS", "G")
    ds.add_new((group, 0x0050), "SS", list(origin))
    ds.add_new((group, 0x0100), "US", 1)
    ds.add_new((group, 0x0102), "US", 0)
    if frames > 1 or frame_origin:
        ds.add_new((group, 0x0015), "IS", frames)
        ds.add_new((group, 0x0051), "US", frame_origin or 1)
    packed = np.packbits(bits.reshape(-1), bitorder="little").tobytes()
    ds.add_new((group, 0x3000), "OW", packed + b"\0" * (len(packed) % 2))


def with_dataset(data: bytes, edit) -> bytes:
    import io
    ds = pydicom.dcmread(io.BytesIO(data))
    edit(ds)
    out = io.BytesIO()
    ds.save_as(out, enforce_file_format=True)
    return out.getvalue()


def test_window_values_by_hand():
    # LINEAR, c = 40, w = 400: ((x - 39.5) / 399 + 0.5) clipped, times 255, rounded.
    values = np.array([[0, 1024 - 160, 1064, 1264, 2000]], dtype=np.uint16)
    data = image(values, RescaleSlope=1, RescaleIntercept=-1024, WindowCenter=40, WindowWidth=400)
    x = values.astype(float) - 1024
    expected = np.round(np.clip((x - 39.5) / 399 + 0.5, 0, 1) * 255)
    assert loam.render_overlay(data).tolist() == expected.astype(np.uint8).tolist()


def linear(x, center, width):
    return np.round(np.clip((np.asarray(x, float) - (center - 0.5)) / (width - 1) + 0.5, 0, 1) * 255).astype(np.uint8)


def test_monochrome1_shows_low_values_bright():
    values = np.array([[0, 100, 200, 300]], dtype=np.uint16)
    grey = loam.render_overlay(image(values))
    inverted = loam.render_overlay(image(values, PhotometricInterpretation="MONOCHROME1"))
    # No window: the frame's range, center 150 and width 300.
    assert grey.tolist() == linear(values, 150, 300).tolist()
    assert inverted.tolist() == [[255, 170, 84, 0]]


def test_voi_lut_and_the_choice_between_lut_and_window():
    values = np.arange(8, dtype=np.uint16).reshape(2, 4)
    lut = Dataset()
    lut.LUTDescriptor = [4, 2, 8]  # four entries from stored value 2, one a word
    lut.add_new(0x00283006, "US", [0, 51, 204, 255])
    data = image(values, WindowCenter=3.5, WindowWidth=8, VOILUTSequence=[lut])
    by_lut = loam.render_overlay(data)
    assert by_lut.tolist() == [[0, 0, 0, 51], [204, 255, 255, 255]]
    assert (loam.render_overlay(data, voi="lut") == by_lut).all()
    by_window = loam.render_overlay(data, voi="window")
    assert by_window.tolist() == loam.render_overlay(data, window=(3.5, 8)).tolist()
    assert by_window[0, 0] < by_window[1, 3]


def test_per_frame_windows():
    values = np.tile(np.arange(4, dtype=np.uint16) * 100, (2, 1, 1))

    def frame_voi(center, width):
        item, voi = Dataset(), Dataset()
        voi.WindowCenter, voi.WindowWidth = center, width
        item.FrameVOILUTSequence = [voi]
        return item

    data = image(values, PerFrameFunctionalGroupsSequence=[frame_voi(150, 301), frame_voi(0, 2)])
    first, second = loam.render_overlay(data, frame=1), loam.render_overlay(data, frame=2)
    assert first.tolist() == linear(values[0], 150, 301).tolist()
    assert second.tolist() == linear(values[1], 0, 2).tolist()


def burned(data: bytes, frame: int) -> np.ndarray:
    """Where the overlays were burned in (white on the flat grey the image shows)."""
    shown, plain = loam.render_overlay(data, frame=frame), loam.render_overlay(data, frame=frame, overlays=False)
    assert (shown[shown != plain] == 255).all()
    return shown != plain


def test_overlay_origin_and_frames():
    values = np.zeros((3, 6, 8), dtype=np.uint16)
    plane = np.zeros((2, 3, 3), dtype=np.uint8)
    plane[0, 0, 0] = 1  # overlay frame 1, pixel (1, 1)
    plane[1, 2, 2] = 1  # overlay frame 2, pixel (3, 3)

    data = with_dataset(image(values), lambda ds: add_overlay(ds, 0x6002, plane, origin=(2, 4), frame_origin=2))
    frames = [burned(data, f) for f in (1, 2, 3)]
    assert not frames[0].any()
    assert np.argwhere(frames[1]).tolist() == [[1, 3]]  # row 2, column 4, from 1
    assert np.argwhere(frames[2]).tolist() == [[3, 5]]


def test_one_frame_overlay_shows_on_every_frame_and_clips_at_the_edge():
    values = np.zeros((2, 4, 4), dtype=np.uint16)
    plane = np.ones((3, 3), dtype=np.uint8)
    data = with_dataset(image(values), lambda ds: add_overlay(ds, 0x6000, plane, origin=(3, 3)))
    for f in (1, 2):
        assert np.argwhere(burned(data, f)).tolist() == [[2, 2], [2, 3], [3, 2], [3, 3]]


def test_overlay_in_the_high_bits_of_pixel_data():
    values = np.full((4, 4), 1000, dtype=np.uint16)
    values[1, 2] |= 1 << 12  # the overlay bit, above the 12 stored bits
    values[0, 0] = 0

    def embed(ds):
        ds.BitsStored, ds.HighBit = 12, 11
        ds.add_new(0x60000010, "US", 4)
        ds.add_new(0x60000011, "US", 4)
        ds.add_new(0x60000040, "CS", "G")
        ds.add_new(0x60000050, "SS", [1, 1])
        ds.add_new(0x60000100, "US", 16)
        ds.add_new(0x60000102, "US", 12)

    data = with_dataset(image(values), embed)
    shown = loam.render_overlay(data, voi="minmax")
    assert shown[1, 2] == 255 and shown[0, 0] == 0
    assert (np.delete(shown.reshape(-1), [0, 6]) == 255).all()  # the masked value 1000 is the range's top
    plain = loam.render_overlay(data, voi="minmax", overlays=False)
    assert plain[1, 2] == 255  # the pixel itself is 1000 once the overlay bit is masked off


@pytest.mark.parametrize("kwargs, error, text", [
    ({"frame": 0}, ValueError, "frame counts from 1"),
    ({"frame": 2}, RuntimeError, "frame out of range"),
    ({"voi": "bright"}, ValueError, "voi must be one of"),
    ({"voi": "window"}, RuntimeError, "states no window"),
    ({"voi": "lut"}, RuntimeError, "no usable VOI LUT"),
    ({"window": (10, 0)}, ValueError, "width must be positive"),
])
def test_clear_errors(kwargs, error, text):
    data = image(np.zeros((2, 2)))
    with pytest.raises(error, match=text):
        loam.render_overlay(data, **kwargs)


def test_not_an_image():
    with pytest.raises(RuntimeError, match="not a decodable DICOM"):
        loam.render_overlay(b"not dicom at all, nothing to see here")


def test_colour_images_pass_through():
    path = corpus("pydicom/test_files/SC_rgb_dcmtk_+eb+cr.dcm")
    shown = loam.render_overlay(path)
    array, _ = loam.decode(path, 1)
    assert shown.shape == array.shape[1:] and (shown == array[0]).all()


def test_overlay_frames_beyond_its_data_are_skipped():
    values = np.zeros((2, 4, 4), dtype=np.uint16)
    plane = np.ones((4, 4), dtype=np.uint8)

    def many_frames(ds):
        add_overlay(ds, 0x6000, plane)
        ds.add_new(0x60000015, "IS", 4000000000)  # far more frames than its data hold
        ds.add_new(0x60000051, "US", 1)

    data = with_dataset(image(values), many_frames)
    assert burned(data, 1).all() and not burned(data, 2).any()
