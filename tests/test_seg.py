"""Segmentation objects: our writer against highdicom and pydicom-seg, read_seg against highdicom
on other producers' objects, and round trips on odd grids."""

from __future__ import annotations

import io
import sys
from pathlib import Path

import numpy as np
import pydicom
import pydicom.uid
import pytest

import loam
from dicom_bytes import explicit, explicit_sq, item, part10, us
from volume_series import write_series

hd = pytest.importorskip("highdicom")

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "testdata" / "highdicom"
STUDY_DATE = {0x00080020: ("DA", "20240301")}
SEGMENTS = [
    {"label": "liver", "rgb": (255, 0, 0), "category": ("123037004", "SCT", "Anatomical Structure"),
     "type": ("10200004", "SCT", "Liver"), "anatomic": ("818981001", "SCT", "Abdomen")},
    {"label": "spleen", "rgb": (0, 255, 0), "labelID": 7, "algorithm_type": "AUTOMATIC",
     "algorithm_name": "net"},
]


def reference(tmp_path, slices=4, rows=3, cols=3, positions=None, order=None, name="ref"):
    positions = positions or [(0.0, 0.0, 2.0 * k) for k in range(slices)]
    vol = np.zeros((len(positions), rows, cols), np.int16)
    return write_series(tmp_path / name, vol, positions, order=order, extra=STUDY_DATE)


def sop_uids(paths):
    """SOP Instance UIDs in slice order (ascending z)."""
    ds = sorted((pydicom.dcmread(p) for p in paths), key=lambda d: float(d.ImagePositionPatient[2]))
    return [d.SOPInstanceUID for d in ds]


def random_labels(shape, ids, seed=0, empty_slice_ok=False):
    rng = np.random.default_rng(seed)
    lm = rng.choice(np.array([0, *ids], np.uint16), size=shape).astype(np.uint16)
    for k in range(shape[0]):  # every slice holds a voxel of every label
        for j, v in enumerate(ids):
            lm[k, j // shape[2], j % shape[2]] = v
    return lm


def write_read(tmp_path, data: bytes):
    path = tmp_path / "seg.dcm"
    path.write_bytes(data)
    return path


# ---- authoring ----

@pytest.mark.parametrize("rows,cols,order", [(3, 3, None), (5, 7, [3, 1, 0, 2]), (1, 1, [3, 2, 1, 0])])
def test_round_trip_label_map(tmp_path, rows, cols, order):
    # Gaps between slices (0, 2, 6, 7 mm) and files named in a shuffled or descending order.
    positions = [(0.0, 0.0, z) for z in (0.0, 2.0, 6.0, 7.0)]
    paths = reference(tmp_path, rows=rows, cols=cols, positions=positions, order=order)
    lm = random_labels((4, rows, cols), [1] if rows * cols == 1 else [1, 7])
    segs = SEGMENTS if rows * cols > 1 else SEGMENTS[:1]
    path = write_read(tmp_path, loam.write_seg(paths, lm, segs))
    out, meta = loam.read_seg(str(path))
    np.testing.assert_array_equal(out, np.where(lm == 7, 2, lm))  # voxels hold segment numbers
    assert meta["slices"] == 4 and meta["rows"] == rows and meta["columns"] == cols
    assert [o[2] for o in meta["slice_origins"]] == [0.0, 2.0, 6.0, 7.0]
    assert meta["pixel_spacing"] == [0.5, 0.75] and meta["overlapping"] is False
    assert meta["affine"] == [0.75, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 2.0, 0, 0, 0, 0, 1]
    assert meta["segmentation_type"] == "BINARY"
    assert not [f for f in loam.iod_validate(str(path)) if f["severity"] == "error"]


def test_bit_stream_packs_frames_without_padding(tmp_path):
    # Three frames of 3 x 3 take 27 bits: 4 bytes, no padding between frames.
    paths = reference(tmp_path, slices=3)
    lm = np.zeros((3, 3, 3), np.uint16)
    lm[0, 0, 0] = 1          # frame 0, bit 0
    lm[1, 2, 2] = 1          # frame 1, pixel 8 -> bit 17
    lm[2, 0, 1] = 1          # frame 2, pixel 1 -> bit 19
    ds = pydicom.dcmread(io.BytesIO(loam.write_seg(paths, lm, SEGMENTS[:1])))
    assert ds.NumberOfFrames == 3 and len(ds.PixelData) == 4
    bits = (1 << 0) | (1 << 17) | (1 << 19)
    assert ds.PixelData == bits.to_bytes(4, "little")
    assert ds.file_meta.TransferSyntaxUID == pydicom.uid.ExplicitVRLittleEndian
    assert ds.SegmentsOverlap == "NO" and ds.SegmentationType == "BINARY"


def test_serialised_object(tmp_path):
    paths = reference(tmp_path, slices=2)
    lm = np.zeros((2, 3, 3), np.uint16)
    lm[:, 0, 0] = 1
    lm[1, 1, 1] = 7
    ds = pydicom.dcmread(io.BytesIO(loam.write_seg(paths, lm, SEGMENTS, content_time="101500")))
    tags = [e.tag for e in ds]
    assert tags == sorted(tags)
    assert ds.Modality == "SEG" and ds.ImageType == ["DERIVED", "PRIMARY"]
    assert ds.ContentDate == ds.StudyDate == "20240301" and ds.ContentTime == "101500"
    assert ds.PatientName == "Test^Volume" and ds.PatientID == "VOL1" and ds.StudyInstanceUID == "1.2.3"
    assert ds.FrameOfReferenceUID == "1.2.3.9"
    s1, s2 = ds.SegmentSequence
    assert (s1.SegmentNumber, s1.SegmentLabel, s2.SegmentNumber, s2.SegmentLabel) == (1, "liver", 2, "spleen")
    assert s1.AnatomicRegionSequence[0].CodeMeaning == "Abdomen" and "AnatomicRegionSequence" not in s2
    assert s2.SegmentAlgorithmType == "AUTOMATIC" and s2.SegmentAlgorithmName == "net"
    assert s1.SegmentedPropertyTypeCodeSequence[0].CodeValue == "10200004"
    # Frames in segment order, then along the normal; per-frame dimension indices.
    per = ds.PerFrameFunctionalGroupsSequence
    assert [list(f.FrameContentSequence[0].DimensionIndexValues) for f in per] == [[1, 1], [1, 2], [2, 2]]
    assert [f.SegmentIdentificationSequence[0].ReferencedSegmentNumber for f in per] == [1, 1, 2]
    uids = sop_uids(paths)
    assert [f.DerivationImageSequence[0].SourceImageSequence[0].ReferencedSOPInstanceUID for f in per] == \
        [uids[0], uids[1], uids[1]]
    refs = ds.ReferencedSeriesSequence[0]
    assert refs.SeriesInstanceUID == "1.2.3.1"
    assert [r.ReferencedSOPInstanceUID for r in refs.ReferencedInstanceSequence] == uids
    shared = ds.SharedFunctionalGroupsSequence[0]
    assert shared.PixelMeasuresSequence[0].PixelSpacing == [0.5, 0.75]
    assert shared.PixelMeasuresSequence[0].SliceThickness == 2.0


def test_uids_follow_the_content(tmp_path):
    paths = reference(tmp_path, slices=2)
    lm = random_labels((2, 3, 3), [1])
    a, b = loam.write_seg(paths, lm, SEGMENTS[:1]), loam.write_seg(paths, lm, SEGMENTS[:1])
    assert a == b  # one input, one byte stream
    other = lm.copy()
    other[0, 2, 2] = 1 - min(other[0, 2, 2], 1)
    da, dc = pydicom.dcmread(io.BytesIO(a)), pydicom.dcmread(io.BytesIO(loam.write_seg(paths, other, SEGMENTS[:1])))
    assert da.SOPInstanceUID != dc.SOPInstanceUID and da.SeriesInstanceUID != dc.SeriesInstanceUID
    for d in (da, dc):
        assert pydicom.uid.UID(d.SOPInstanceUID).is_valid and not d.SOPInstanceUID.startswith("1.2.3.9998")
    given = pydicom.dcmread(io.BytesIO(loam.write_seg(
        paths, lm, SEGMENTS[:1], sop_instance_uid="1.2.9.1", series_instance_uid="1.2.9",
        dimension_organization_uid="1.2.9.2", content_date="20250101")))
    assert (given.SOPInstanceUID, given.SeriesInstanceUID, given.ContentDate) == ("1.2.9.1", "1.2.9", "20250101")
    assert given.DimensionOrganizationSequence[0].DimensionOrganizationUID == "1.2.9.2"
    assert given.file_meta.MediaStorageSOPInstanceUID == "1.2.9.1"
    with pytest.raises(ValueError, match="sop_instance_uid is not a valid UID"):
        loam.write_seg(paths, lm, SEGMENTS[:1], sop_instance_uid="1.2.x")


def test_equal_frames_keep_their_order(tmp_path):
    # Two reference slices at one position: their frames compare equal and keep slice order.
    paths = reference(tmp_path, positions=[(0.0, 0.0, 0.0), (0.0, 0.0, 0.0)])
    lm = np.zeros((2, 3, 3), np.uint16)
    lm[0, 0, 0] = 1
    lm[1, 0, 0] = 1
    data = loam.write_seg(paths, lm, SEGMENTS[:1])
    assert data == loam.write_seg(paths, lm, SEGMENTS[:1])
    ds = pydicom.dcmread(io.BytesIO(data))
    assert ds.SegmentsOverlap == "YES"  # one segment twice on one position
    lm[1, 0, 0], lm[1, 1, 1] = 0, 1
    assert pydicom.dcmread(io.BytesIO(loam.write_seg(paths, lm, SEGMENTS[:1]))).SegmentsOverlap == "NO"


@pytest.mark.parametrize("call,message", [
    (lambda p: loam.write_seg(p, np.full((3, 3, 3), 5, np.uint16), SEGMENTS),
     "labelmap had no voxels matching any segment labelID"),
    (lambda p: loam.write_seg(p, np.zeros((2, 3, 3), np.uint16), SEGMENTS),
     "labelmap shape does not match the reference series"),
    (lambda p: loam.write_seg(p, np.zeros((3, 3, 4), np.uint16), SEGMENTS),
     "labelmap shape does not match the reference series"),
    (lambda p: loam.write_seg(p, np.ones((3, 3, 3), np.uint16), []), "segments list is empty"),
    (lambda p: loam.write_seg(p, np.ones((3, 3, 3), np.uint16), [{"label": "a", "colour": (1, 2, 3)}]),
     r"^segment: unknown option colour \(options: label, rgb, "),
    (lambda p: loam.write_seg([p[0] + ".missing"], np.ones((3, 3), np.uint16), SEGMENTS),
     "no decodable single-frame reference slices"),
    (lambda p: loam.write_seg_fractional(p, np.zeros((1, 3, 3, 3), np.uint8), SEGMENTS),
     r"maps shape must be \[nseg, \(slices,\) H, W\] matching segments × series"),
    (lambda p: loam.write_seg_fractional(p, np.zeros((2, 3, 3, 3), np.uint8), SEGMENTS),
     "no non-empty fractional frames"),
    (lambda p: loam.write_seg_overlapping(p, np.zeros((2, 3, 3), np.uint8), SEGMENTS),
     r"masks shape must be \[nseg, \(slices,\) H, W\] matching segments × series"),
    (lambda p: loam.write_seg_overlapping(p, np.zeros((2, 3, 3, 3), np.uint8), SEGMENTS),
     "no non-empty segment frames"),
])
def test_errors(tmp_path, call, message):
    with pytest.raises((ValueError, RuntimeError), match=message):
        call(reference(tmp_path, slices=3))


def test_duplicate_label_ids_go_to_the_first_segment(tmp_path):
    paths = reference(tmp_path, slices=1)
    segs = [{"label": "a", "labelID": 3}, {"label": "b", "labelID": 3}]
    ds = pydicom.dcmread(io.BytesIO(loam.write_seg(paths, np.full((3, 3), 3, np.uint16), segs)))
    assert ds.NumberOfFrames == 1 and len(ds.SegmentSequence) == 2
    assert ds.PerFrameFunctionalGroupsSequence[0].SegmentIdentificationSequence[0].ReferencedSegmentNumber == 1


def test_multi_frame_references_are_not_usable(tmp_path):
    from volume_series import enhanced_ct
    path = tmp_path / "enhanced.dcm"
    path.write_bytes(enhanced_ct(np.zeros((2, 3, 3), np.int16), [(0, 0, 0), (0, 0, 1)]))
    with pytest.raises(ValueError, match="no decodable single-frame reference slices"):
        loam.write_seg([str(path)], np.ones((3, 3), np.uint16), SEGMENTS)


@pytest.mark.parametrize("rgb,lab", [
    ((255, 255, 255), (65535, 32896, 32896)),
    ((0, 0, 0), (0, 32896, 32896)),
    # sRGB primaries in CIELab under D65 (no chromatic adaptation): red 53.24/80.09/67.20,
    # blue 32.30/79.19/-107.86.
    ((255, 0, 0), (round(53.24 * 655.35), round((80.09 + 128) * 257), round((67.20 + 128) * 257))),
    ((0, 0, 255), (round(32.30 * 655.35), round((79.19 + 128) * 257), round((-107.86 + 128) * 257))),
])
def test_display_colour(tmp_path, rgb, lab):
    paths = reference(tmp_path, slices=1)
    data = loam.write_seg(paths, np.ones((3, 3), np.uint16), [{"rgb": rgb}])
    stored = pydicom.dcmread(io.BytesIO(data)).SegmentSequence[0].RecommendedDisplayCIELabValue
    assert np.allclose(stored, lab, atol=60)
    _, meta = loam.read_seg(str(write_read(tmp_path, data)))
    assert np.allclose(meta["segments"][0]["rgb"], rgb, atol=1)


GRID = [(r, g, b) for r in (0, 64, 128, 192, 255) for g in (0, 64, 128, 192, 255) for b in (0, 64, 128, 192, 255)]


def test_display_colours_agree_with_highdicom_both_ways(tmp_path):
    paths = reference(tmp_path, slices=1)
    labels = np.arange(1, 10, dtype=np.uint16).reshape(3, 3)
    for start in range(0, len(GRID), 9):
        colours = GRID[start:start + 9]
        segments = [{"label": f"s{k}", "rgb": rgb} for k, rgb in enumerate(colours)]
        data = loam.write_seg(paths, labels, segments)
        ds = pydicom.dcmread(io.BytesIO(data))
        for rgb, item in zip(colours, ds.SegmentSequence):
            theirs = hd.color.CIELabColor.from_dicom_value(tuple(item.RecommendedDisplayCIELabValue)).to_rgb()
            assert np.abs(np.subtract(theirs, rgb)).max() <= 1, (rgb, theirs)
            item.RecommendedDisplayCIELabValue = list(hd.color.CIELabColor.from_rgb(*rgb).value)
        path = tmp_path / "recoloured.dcm"
        ds.save_as(path)
        _, meta = loam.read_seg(str(path))
        for rgb, segment in zip(colours, meta["segments"]):
            assert np.abs(np.subtract(segment["rgb"], rgb)).max() <= 1, (rgb, segment["rgb"])


def test_fractional(tmp_path):
    paths = reference(tmp_path, slices=2)
    maps = np.zeros((2, 2, 3, 3), np.uint8)
    maps[0, 0, 0, 0] = 128
    maps[0, 1, 1, 1] = 127
    maps[1, 1, 1, 1] = 255
    data = loam.write_seg_fractional(paths, maps, SEGMENTS, fractional_type=1, max_value=0)
    ds = pydicom.dcmread(io.BytesIO(data))
    assert ds.SegmentationType == "FRACTIONAL" and ds.SegmentationFractionalType == "OCCUPANCY"
    assert ds.MaximumFractionalValue == 255 and ds.BitsAllocated == 8 and ds.NumberOfFrames == 3
    assert ds.SegmentsOverlap == "NO"  # 127 does not exceed the threshold
    path = write_read(tmp_path, data)
    lm, _ = loam.read_seg(str(path))
    assert lm[0, 0, 0] == 1 and lm[1, 1, 1] == 2 and lm.sum() == 3
    occ, meta = loam.read_seg(str(path), masks=True)
    assert occ.dtype == np.float32 and occ.shape == (2, 2, 3, 3) and meta["segment_numbers"] == [1, 2]
    assert occ[0, 0, 0, 0] == pytest.approx(128 / 255) and occ[0, 1, 1, 1] == pytest.approx(127 / 255)
    probability = pydicom.dcmread(io.BytesIO(loam.write_seg_fractional(paths, maps, SEGMENTS, max_value=200)))
    assert probability.SegmentationFractionalType == "PROBABILITY" and probability.MaximumFractionalValue == 200
    maps[1, 0, 0, 0] = 200
    assert pydicom.dcmread(io.BytesIO(loam.write_seg_fractional(paths, maps, SEGMENTS))).SegmentsOverlap == "YES"


def test_overlapping_masks(tmp_path):
    paths = reference(tmp_path, slices=2)
    masks = np.zeros((2, 2, 3, 3), np.uint8)
    masks[0, :, 0, :] = 1
    masks[1, 1, :, 0] = 1
    path = write_read(tmp_path, loam.write_seg_overlapping(paths, masks, SEGMENTS))
    assert pydicom.dcmread(path).SegmentsOverlap == "YES"
    occ, _ = loam.read_seg(str(path), masks=True)
    np.testing.assert_array_equal(occ, masks.astype(np.float32))
    lm, meta = loam.read_seg(str(path))
    assert meta["overlapping"] is True and lm[1, 0, 0] == 2  # the larger number wins
    masks[1, 1, 0, 0] = 0
    assert pydicom.dcmread(io.BytesIO(loam.write_seg_overlapping(paths, masks, SEGMENTS))).SegmentsOverlap == "NO"


# ---- NIfTI label volumes ----

def reference_affine(slices, flip=False):
    a = np.zeros((4, 4))
    a[:3, 0], a[:3, 1], a[:3, 2], a[3, 3] = (0.75, 0, 0), (0, 0.5, 0), (0, 0, 2.0), 1
    if flip:
        a[:3, 2] = (0, 0, -2.0)
        a[:3, 3] = (0, 0, 2.0 * (slices - 1))
    return a.T.reshape(-1).tolist()


@pytest.mark.parametrize("dtype", [np.uint8, np.int16, np.uint16, np.float32])
@pytest.mark.parametrize("flip", [False, True])
def test_seg_from_nifti(tmp_path, dtype, flip):
    paths = reference(tmp_path, slices=3)
    lm = random_labels((3, 3, 3), [1, 7])
    stored = lm[::-1] if flip else lm
    nii = tmp_path / "mask.nii.gz"
    loam.write_nifti_volume(np.ascontiguousarray(stored).astype(dtype), reference_affine(3, flip), str(nii))
    data = loam.build_seg_from_nifti(paths, str(nii), SEGMENTS)
    out, _ = loam.read_seg(str(write_read(tmp_path, data)))
    np.testing.assert_array_equal(out, np.where(lm == 7, 2, lm))


def test_seg_from_nifti_refuses(tmp_path):
    paths = reference(tmp_path, slices=3)
    nii = tmp_path / "mask.nii"
    swapped = reference_affine(3)
    swapped[0:3], swapped[4:7] = [0, 0.5, 0], [0.75, 0, 0]
    loam.write_nifti_volume(np.ones((3, 3, 3), np.uint8), swapped, str(nii))
    coframed = "seg_from_nifti: NIfTI mask is not co-framed with the reference series"
    with pytest.raises(RuntimeError, match=coframed):
        loam.build_seg_from_nifti(paths, str(nii), SEGMENTS)
    loam.write_nifti_volume(np.ones((2, 3, 3), np.uint8), reference_affine(2), str(nii))
    with pytest.raises(RuntimeError, match=coframed):
        loam.build_seg_from_nifti(paths, str(nii), SEGMENTS)
    with pytest.raises(RuntimeError, match="seg_from_nifti: no segments supplied"):
        loam.build_seg_from_nifti(paths, str(nii), [])
    with pytest.raises(RuntimeError, match="seg_from_nifti: no decodable reference-series slices"):
        loam.build_seg_from_nifti([str(nii)], str(nii), SEGMENTS)
    loam.write_nifti_volume(np.zeros((3, 3, 3), np.uint8), reference_affine(3), str(nii))
    with pytest.raises(RuntimeError, match="seg::build produced no output"):
        loam.build_seg_from_nifti(paths, str(nii), SEGMENTS)


# ---- peers read what we write ----

def written(tmp_path, kind, slices):
    paths = reference(tmp_path, slices=slices, rows=5, cols=6)
    rng = np.random.default_rng(slices)
    if kind == "binary":
        lm = random_labels((slices, 5, 6), [1, 7], seed=slices)
        expect = np.stack([(lm == 1), (lm == 7)]).astype(np.float32)
        data = loam.write_seg(paths, lm, SEGMENTS)
    elif kind == "fractional":
        maps = rng.integers(0, 256, size=(2, slices, 5, 6), dtype=np.uint8)
        expect = maps.astype(np.float32) / 255
        data = loam.write_seg_fractional(paths, maps, SEGMENTS)
    else:
        masks = (rng.random((2, slices, 5, 6)) > 0.5).astype(np.uint8)
        masks[:, :, 0, 0] = 1
        expect = masks.astype(np.float32)
        data = loam.write_seg_overlapping(paths, masks, SEGMENTS)
    return paths, write_read(tmp_path, data), expect


@pytest.mark.parametrize("kind", ["binary", "fractional", "overlapping"])
@pytest.mark.parametrize("slices", [1, 4])
def test_highdicom_reads_our_segmentations(tmp_path, kind, slices):
    paths, path, expect = written(tmp_path, kind, slices)
    seg = hd.seg.segread(str(path))
    assert seg.number_of_segments == 2 and seg.segmentation_type.value == (
        "FRACTIONAL" if kind == "fractional" else "BINARY")
    for n, segment in enumerate(SEGMENTS, start=1):
        desc = seg.get_segment_description(n)
        assert desc.segment_label == segment["label"]
        assert desc.segmented_property_type.value == segment.get("type", ("85756007",))[0]
    got = seg.get_pixels_by_source_instance(sop_uids(paths), segment_numbers=[1, 2], combine_segments=False)
    np.testing.assert_allclose(np.moveaxis(got, 3, 0), expect, atol=1e-6)
    ours, meta = loam.read_seg(str(path), masks=True)
    np.testing.assert_allclose(ours, expect, atol=1e-6)
    assert [s["label"] for s in meta["segments"]] == ["liver", "spleen"]
    assert meta["segments"][0]["type"] == {"value": "10200004", "scheme": "SCT", "meaning": "Liver"}
    assert not [f for f in loam.iod_validate(str(path)) if f["severity"] == "error"]


@pytest.fixture
def pydicom_seg():
    # pydicom-seg still imports the SOP class module pydicom 3 folded into pydicom.uid.
    sys.modules.setdefault("pydicom._storage_sopclass_uids", pydicom.uid)
    return pytest.importorskip("pydicom_seg")


@pytest.mark.parametrize("kind", ["binary", "fractional"])
def test_pydicom_seg_reads_our_segmentations(tmp_path, pydicom_seg, kind):
    _, path, expect = written(tmp_path, kind, 3)
    reader = pydicom_seg.SegmentReader().read(pydicom.dcmread(path))
    assert reader.available_segments == {1, 2}
    for s in (1, 2):
        np.testing.assert_allclose(reader.segment_data(s), expect[s - 1], atol=1e-6)
    assert reader.spacing == (0.75, 0.5, 2.0)


# ---- other producers' objects ----

def corpus_files():
    if not CORPUS.is_dir():
        return [pytest.param(None, marks=pytest.mark.skip(reason=f"{CORPUS} is absent"))]
    return sorted(CORPUS.glob("seg_*.dcm"), key=lambda p: p.name)


def expected_from_highdicom(path, meta):
    """Occupancy per segment from highdicom's stored frames, each frame placed on the slice of its
    position (or on a slice of its own when frames carry no position)."""
    seg = hd.seg.segread(str(path))
    numbers = [s["number"] for s in meta["segments"]]
    per = seg.get("PerFrameFunctionalGroupsSequence")
    labelmap = seg.SegmentationType == "LABELMAP"
    origins = np.array(meta["slice_origins"])
    occ = np.zeros((len(numbers), meta["slices"], meta["rows"], meta["columns"]), np.float32)
    maximum = float(seg.get("MaximumFractionalValue", 255) or 255)
    for f in range(seg.NumberOfFrames):
        frame = seg.get_stored_frame(f + 1).astype(np.float32)
        item = per[f] if per else None
        if item is not None and "PlanePositionSequence" in item:
            pos = np.array(item.PlanePositionSequence[0].ImagePositionPatient, float)
            k = int(np.argmin(np.abs(origins - pos).sum(axis=1)))
        else:
            k = f
        if labelmap:
            for v in np.unique(frame[frame > 0]):
                occ[numbers.index(int(v)), k][frame == v] = 1
            continue
        if item is not None and "SegmentIdentificationSequence" in item:
            number = item.SegmentIdentificationSequence[0].ReferencedSegmentNumber
        else:  # tiled-full: frames segment after segment
            number = numbers[f // (seg.NumberOfFrames // len(numbers))]
        plane = occ[numbers.index(number), k]
        nonzero = frame > 0
        plane[nonzero] = np.minimum(1, frame[nonzero] / maximum) if seg.SegmentationType == "FRACTIONAL" else 1
    return occ


@pytest.mark.parametrize("path", corpus_files(), ids=lambda p: getattr(p, "name", "absent"))
def test_read_seg_matches_highdicom_on_corpus(path):
    occ, meta = loam.read_seg(str(path), masks=True)
    seg = hd.seg.segread(str(path))
    assert meta["segmentation_type"] == seg.SegmentationType
    assert [s["number"] for s in meta["segments"]] == [s.SegmentNumber for s in seg.SegmentSequence]
    assert [s["label"] for s in meta["segments"]] == [s.SegmentLabel for s in seg.SegmentSequence]
    first = seg.SegmentSequence[0].SegmentedPropertyTypeCodeSequence[0]
    assert meta["segments"][0]["type"] == {"value": first.CodeValue, "scheme": first.CodingSchemeDesignator,
                                           "meaning": first.CodeMeaning}
    assert meta["series_instance_uid"] == seg.SeriesInstanceUID
    np.testing.assert_allclose(occ, expected_from_highdicom(path, meta), atol=1e-6)
    lm, lmeta = loam.read_seg(str(path))
    # The label map holds, per voxel, the largest segment number that covers it.
    numbers = np.array(meta["segment_numbers"], np.uint16)
    covered = occ > (0.5 if meta["segmentation_type"] == "FRACTIONAL" else 0)
    expect = (covered * numbers[:, None, None, None]).max(axis=0) if len(numbers) else None
    np.testing.assert_array_equal(lm, expect)
    assert lmeta["overlapping"] == bool((covered.sum(axis=0) > 1).any())


def test_frames_without_positions_stack_along_the_normal(tmp_path):
    # A single-segment object without per-frame positions or segment numbers: one slice a frame,
    # at slice-thickness steps, all frames belonging to the one segment.
    rows = cols = 2
    shared = item(explicit_sq(0x0020, 0x9116, [item(explicit(0x0020, 0x0037, "DS", "1\\0\\0\\0\\1\\0"))])
                  + explicit_sq(0x0028, 0x9110, [item(explicit(0x0018, 0x0050, "DS", "3")
                                                      + explicit(0x0028, 0x0030, "DS", "1\\1"))])
                  + explicit_sq(0x0020, 0x9113, [item(explicit(0x0020, 0x0032, "DS", "10\\20\\30"))]))
    segment = item(us(0x0062, 0x0004, 4) + explicit(0x0062, 0x0005, "LO", "only"))
    body = (explicit(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.66.4")
            + explicit(0x0028, 0x0008, "IS", "3") + us(0x0028, 0x0010, rows) + us(0x0028, 0x0011, cols)
            + us(0x0028, 0x0100, 1) + explicit(0x0062, 0x0001, "CS", "BINARY")
            + explicit_sq(0x0062, 0x0002, [segment]) + explicit_sq(0x5200, 0x9229, [shared])
            + explicit(0x7FE0, 0x0010, "OB", bytes([0b1000_0001, 0b0100, 0])))
    path = write_read(tmp_path, part10(body))
    lm, meta = loam.read_seg(str(path))
    assert meta["slices"] == 3 and meta["slice_origins"] == [[10, 20, 30], [10, 20, 33], [10, 20, 36]]
    np.testing.assert_array_equal(lm.reshape(3, 4), [[4, 0, 0, 0], [0, 0, 0, 4], [0, 0, 4, 0]])


def test_read_seg_on_other_objects(tmp_path):
    plain = tmp_path / "plain.dcm"
    plain.write_bytes(part10(explicit(0x0008, 0x0060, "CS", "CT")))
    assert loam.read_seg(str(plain)) is None
    junk = tmp_path / "junk.dcm"
    junk.write_bytes(b"not dicom at all")
    with pytest.raises(RuntimeError, match="decode failed \\(not a decodable DICOM\\): "):
        loam.read_seg(str(junk))
    empty = tmp_path / "empty.dcm"
    empty.write_bytes(part10(explicit_sq(0x0062, 0x0002, [item(us(0x0062, 0x0004, 1))])))
    with pytest.raises(RuntimeError, match="SEG mask decode failed: "):
        loam.read_seg(str(empty), masks=True)


# ---- command line ----

def test_cli_nifti_round_trip(tmp_path, capsys):
    import json

    import loam.cli as cli
    reference(tmp_path, slices=3)
    lm = random_labels((3, 3, 3), [2, 5])
    nii = tmp_path / "mask.nii.gz"
    loam.write_nifti_volume(lm, reference_affine(3), str(nii))
    labels = tmp_path / "labels.json"
    labels.write_text(json.dumps({"5": {"label": "tumour", "rgb": [255, 255, 0]}, "2": "oedema"}))
    seg = tmp_path / "out" / "seg.dcm"
    seg.parent.mkdir()
    assert cli.main(["seg-from-nifti", str(tmp_path / "ref"), str(nii), "-o", str(seg), "--labels", str(labels)]) == 0
    ds = pydicom.dcmread(seg)
    assert [s.SegmentLabel for s in ds.SegmentSequence] == ["tumour", "oedema"]
    back = tmp_path / "back.nii.gz"
    assert cli.main(["seg-to-nifti", str(seg), "-o", str(back)]) == 0
    assert "tumour" in capsys.readouterr().out
    values, meta = loam.read_nifti(str(back))
    np.testing.assert_array_equal(values, np.select([lm == 5, lm == 2], [1, 2], 0))
    assert np.allclose(meta["affine"], reference_affine(3))
    # Without a labels file: one segment per label value of the mask.
    assert cli.main(["seg-from-nifti", str(tmp_path / "ref"), str(nii), "-o", str(seg)]) == 0
    assert [s.SegmentLabel for s in pydicom.dcmread(seg).SegmentSequence] == ["Segment 2", "Segment 5"]


def test_cli_refuses_several_series(tmp_path, capsys):
    import loam.cli as cli
    reference(tmp_path, slices=2, name="ref/a")
    write_series(tmp_path / "ref" / "b", np.zeros((2, 3, 3), np.int16), [(0, 0, 0), (0, 0, 2)], series="1.2.3.77")
    nii = tmp_path / "mask.nii"
    loam.write_nifti_volume(np.ones((2, 3, 3), np.uint8), reference_affine(2), str(nii))
    out = tmp_path / "seg.dcm"
    assert cli.main(["seg-from-nifti", str(tmp_path / "ref"), str(nii), "-o", str(out)]) == 2
    assert "exactly one image series" in capsys.readouterr().err and not out.exists()
    assert cli.main(["seg-from-nifti", str(tmp_path / "ref"), str(nii), "-o", str(out), "--series", "1.2.3.77"]) == 0
    assert cli.main(["seg-to-nifti", str(out), "-o", str(tmp_path / "x.nrrd")]) == 2


@pytest.mark.parametrize("syntax", ["1.2.840.10008.1.2.5", "1.2.840.10008.1.2.4.80", "1.2.840.10008.1.2.4.90",
                                    "1.2.840.10008.1.2.1.99"])
def test_read_seg_of_compressed_and_deflated_objects(tmp_path, syntax):
    paths = reference(tmp_path, slices=3, rows=5, cols=6)
    maps = np.random.default_rng(1).integers(0, 256, size=(2, 3, 5, 6), dtype=np.uint8)
    data = loam.write_seg_fractional(paths, maps, SEGMENTS)
    if syntax == pydicom.uid.DeflatedExplicitVRLittleEndian:  # not a transcoder target: pydicom deflates
        ds = pydicom.dcmread(io.BytesIO(data))
        ds.file_meta.TransferSyntaxUID = syntax
        out = io.BytesIO()
        ds.save_as(out, enforce_file_format=True)
        data = out.getvalue()
    else:
        data = loam.transcode(data, syntax)
    path = write_read(tmp_path, data)
    assert pydicom.dcmread(path).file_meta.TransferSyntaxUID == syntax
    occ, meta = loam.read_seg(str(path), masks=True)
    np.testing.assert_allclose(occ, maps / 255, atol=1e-6)
    lm, _ = loam.read_seg(str(path))
    np.testing.assert_array_equal(lm, np.where(maps[1] > 127, 2, np.where(maps[0] > 127, 1, 0)))


IDENTITY = {"manufacturer": "Acme Imaging", "manufacturer_model_name": "Segmenter", "software_versions": "2.1",
            "device_serial_number": "SN-7", "series_number": 42, "series_description": "Liver contours",
            "content_creator": "Doe^Rita"}


@pytest.mark.parametrize("kind", ["binary", "fractional", "overlapping"])
def test_identity_replaces_the_defaults(tmp_path, kind):
    paths = reference(tmp_path, slices=2, rows=5, cols=6)
    lm = random_labels((2, 5, 6), [1, 7], seed=3)
    masks = np.stack([(lm == 1), (lm == 7)]).astype(np.uint8)
    write = {"binary": lambda **k: loam.write_seg(paths, lm, SEGMENTS, **k),
             "fractional": lambda **k: loam.write_seg_fractional(paths, masks * 255, SEGMENTS, **k),
             "overlapping": lambda **k: loam.write_seg_overlapping(paths, masks, SEGMENTS, **k)}[kind]
    ds = pydicom.dcmread(io.BytesIO(write(identity=IDENTITY)))
    assert (ds.Manufacturer, ds.ManufacturerModelName, ds.SoftwareVersions, ds.DeviceSerialNumber) == (
        "Acme Imaging", "Segmenter", "2.1", "SN-7")
    assert (ds.SeriesNumber, ds.SeriesDescription, str(ds.ContentCreatorName)) == (42, "Liver contours", "Doe^Rita")
    defaults = pydicom.dcmread(io.BytesIO(write()))
    assert (defaults.Manufacturer, defaults.SeriesNumber, "SeriesDescription" in defaults) == ("Tessera", 1, False)
    # The default category and type are current SNOMED CT codes, not retired SNOMED RT ones.
    item = defaults.SegmentSequence[1]  # the spleen states no category
    category = item.SegmentedPropertyCategoryCodeSequence[0]
    assert (category.CodeValue, category.CodingSchemeDesignator, category.CodeMeaning) == ("85756007", "SCT", "Tissue")
    with pytest.raises(ValueError, match="unknown option manufacturer_name"):
        write(identity={"manufacturer_name": "x"})
    with pytest.raises(ValueError, match="series_number must be an integer"):
        write(identity={"series_number": "one"})
    with pytest.raises(TypeError, match="software_versions must be a str"):
        write(identity={"software_versions": 2})


def test_highdicom_segment_colours_read_back(tmp_path):
    from highdicom.sr.coding import CodedConcept
    paths = reference(tmp_path, slices=2)
    sources = [pydicom.dcmread(p) for p in paths]
    for source in sources:  # the patient and study attributes highdicom copies
        source.PatientBirthDate, source.PatientSex, source.StudyID = "", "", ""
        source.AccessionNumber, source.ReferringPhysicianName, source.StudyTime = "", "", "120000"
    tissue = CodedConcept("85756007", "SCT", "Tissue")
    colours = [(255, 0, 0), (40, 90, 230), (0, 255, 0)]
    descriptions = [
        hd.seg.SegmentDescription(
            segment_number=k + 1, segment_label=f"part {k + 1}", segmented_property_category=tissue,
            segmented_property_type=tissue, algorithm_type=hd.seg.SegmentAlgorithmTypeValues.MANUAL,
            display_color=hd.color.CIELabColor.from_rgb(*rgb))
        for k, rgb in enumerate(colours)]
    mask = np.zeros((2, 3, 3, 3), np.uint8)
    for k in range(3):
        mask[:, k, :, k] = 1
    seg = hd.seg.Segmentation(
        source_images=sources, pixel_array=mask, segmentation_type=hd.seg.SegmentationTypeValues.BINARY,
        segment_descriptions=descriptions, series_instance_uid=hd.UID(), series_number=5,
        sop_instance_uid=hd.UID(), instance_number=1, manufacturer="test", manufacturer_model_name="test",
        software_versions="1", device_serial_number="1")
    path = tmp_path / "hd_seg.dcm"
    seg.save_as(path)
    _, meta = loam.read_seg(str(path))
    assert [tuple(s["rgb"]) for s in meta["segments"]] == colours
