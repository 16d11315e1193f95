"""Series volume assembly, checked against hand-computed geometry and SimpleITK."""

from __future__ import annotations

import struct
from pathlib import Path

import numpy as np
import pytest

import loam
from dicom_bytes import explicit, explicit_sq, item
from volume_series import enhanced_ct, slice_file, write_series

sitk = pytest.importorskip("SimpleITK")

RNG = np.random.default_rng(20261207)


def affine4(meta) -> np.ndarray:
    return np.array(meta["affine"], float).reshape(4, 4).T


def itk_affine(img) -> np.ndarray:
    m = np.eye(4)
    m[:3, :3] = np.array(img.GetDirection()).reshape(3, 3) * np.array(img.GetSpacing())
    m[:3, 3] = img.GetOrigin()
    return m


def assert_same_physical_volume(array, meta, img, tol=1e-4):
    """Our voxels and SimpleITK's describe the same points: the index map between the two grids is
    a signed permutation with an integer shift (within `tol` mm), and the voxels agree under it."""
    ours = affine4(meta)
    theirs = itk_affine(img)
    t = np.linalg.inv(theirs) @ ours
    assert np.allclose(t, np.round(t), atol=tol), t
    t = np.round(t).astype(int)
    other = sitk.GetArrayFromImage(img).astype(np.float32)  # (k, j, i)
    k, j, i = np.meshgrid(*[np.arange(n) for n in array.shape], indexing="ij")
    idx = t @ np.stack([i.ravel(), j.ravel(), k.ravel(), np.ones(i.size, int)])
    assert np.array_equal(other[idx[2], idx[1], idx[0]].reshape(array.shape), array)


def itk_series(paths):
    reader = sitk.ImageSeriesReader()
    reader.SetFileNames(paths)
    return reader.Execute()


def sorted_by_position(paths):
    import pydicom

    def key(p):
        d = pydicom.dcmread(p, stop_before_pixels=True)
        o = np.array(d.ImageOrientationPatient, float)
        return float(np.dot(np.cross(o[:3], o[3:]), np.array(d.ImagePositionPatient, float)))
    return sorted(paths, key=key)


def ct_volume(depth=6, rows=5, cols=7):
    return RNG.integers(-1000, 3000, size=(depth, rows, cols)).astype(np.int16)


@pytest.mark.parametrize("orientation, descending", [
    ((1, 0, 0, 0, 1, 0), False),
    ((1, 0, 0, 0, 1, 0), True),
    ((1, 0, 0, 0, 0, -1), False),                       # coronal
    ((0.8660254, 0.5, 0, -0.5, 0.8660254, 0), False),   # rotated in plane
])
def test_series_geometry_and_voxels(tmp_path, orientation, descending):
    vol = ct_volume()
    o = np.array(orientation, float)
    normal = np.cross(o[:3], o[3:])
    origin = np.array([-20.0, 10.5, 33.0])
    steps = np.arange(vol.shape[0])[::-1] if descending else np.arange(vol.shape[0])
    positions = [origin + 2.5 * s * normal for s in steps]
    order = list(RNG.permutation(vol.shape[0]))
    paths = write_series(tmp_path, vol, positions, order=order, orientation=orientation)
    array, meta = loam.assemble_volume(paths)
    # Hand truth: slices in ascending projected position, HU = stored - 1024.
    k_sorted = np.argsort([np.dot(p, normal) for p in positions])
    assert np.array_equal(array, vol[k_sorted].astype(np.float32) - 1024)
    a = affine4(meta)
    assert np.allclose(a[:3, 0], o[:3] * 0.75) and np.allclose(a[:3, 1], o[3:] * 0.5)
    assert np.allclose(a[:3, 2], 2.5 * normal) and np.allclose(a[:3, 3], positions[k_sorted[0]])
    assert meta["spacing"] == pytest.approx([2.5, 0.5, 0.75])
    assert list(meta.keys()) == ["depth", "rows", "columns", "dtype", "rescaled", "series_instance_uid", "spacing",
                                 "affine", "numpy_shape", "volumes_in_series", "grouping", "duplicates",
                                 "missing_slices", "stored", "philips_scale_slope", "undecoded"]
    assert meta["grouping"] is None and meta["volumes_in_series"] == 1
    assert meta["stored"] == {"dtype": "int16", "slope": 1.0, "intercept": -1024.0}
    assert meta["numpy_shape"] == [6, 5, 7] and meta["series_instance_uid"] == "1.2.3.1"
    assert_same_physical_volume(array, meta, itk_series(sorted_by_position(paths)))


def test_gantry_tilt_keeps_the_step_vector(tmp_path):
    vol = ct_volume(depth=4)
    positions = [np.array([0.0, 0.4 * k, 3.0 * k]) for k in range(4)]  # slices shifted along y: a tilted gantry
    _, meta = loam.assemble_volume(write_series(tmp_path, vol, positions))
    a = affine4(meta)
    assert np.allclose(a[:3, 2], [0, 0.4, 3.0])
    assert meta["spacing"][0] == pytest.approx(np.hypot(0.4, 3.0))
    # The inverse is the general one: voxel centres map back to their indices.
    world = a @ np.array([2, 3, 1, 1.0])
    assert np.allclose(np.linalg.solve(a, world), [2, 3, 1, 1])


def test_gaps_repeats_and_single_slices(tmp_path):
    vol = ct_volume(depth=5)
    positions = [np.array([0, 0, z]) for z in (0.0, 1.0, 2.0, 5.0, 2.00005)]  # a gap, and slice 2 again
    paths = write_series(tmp_path / "gap", vol, positions)
    array, meta = loam.assemble_volume(paths)
    assert array.shape[0] == 4
    assert np.allclose(affine4(meta)[:3, 2], [0, 0, 1.0])
    # The second image at slice 2 (a later Instance Number) is a second acquisition, not lost.
    assert np.array_equal(array[2], vol[2] - 1024.0)
    assert meta["volumes_in_series"] == 2 and meta["grouping"] == "acquisition time and Instance Number"
    stack, meta4 = loam.assemble_4d(paths)
    assert stack.shape == (2, 4, 5, 7) and np.array_equal(stack[1, 2], vol[4] - 1024.0)
    assert not stack[1, [0, 1, 3]].any() and meta4["missing_slices"] == 3
    single, meta1 = loam.assemble_volume(write_series(tmp_path / "one", vol[:1], positions[:1], thickness=3.5))
    assert single.shape == (1, 5, 7)
    assert np.allclose(affine4(meta1)[:3, 2], [0, 0, 3.5]) and meta1["spacing"][0] == pytest.approx(3.5)


def test_multi_phase_series(tmp_path):
    vol = ct_volume(depth=6)
    paths = []
    for k in range(6):
        phase, z = divmod(k, 3)
        p = tmp_path / f"F{k}.dcm"
        p.write_bytes(slice_file(vol[k], (0, 0, 2.0 * z), instance=k + 1,
                                 extra={0x00200100: ("IS", str(phase + 1))}))
        paths.append(str(p))
    array, _ = loam.assemble_volume(paths)
    assert np.array_equal(array, vol[:3] - 1024.0)  # the lowest temporal position
    stack, meta = loam.assemble_4d(paths)
    assert stack.shape == (2, 3, 5, 7)
    assert np.array_equal(stack[1], vol[3:] - 1024.0)
    assert meta["dimensions"] == [{"tag": 1, "name": "temporal", "spacing": 1.0, "values": [1.0, 2.0]}]
    assert meta["volume_path"] == [paths[0], paths[3]] and meta["volume_frame"] == [0, 0]


def test_mixed_series_localizer_and_colour(tmp_path):
    vol = ct_volume(depth=4)
    big = write_series(tmp_path / "a", vol, [(0, 0, 2.0 * k) for k in range(4)], series="1.2.3.20")
    small = write_series(tmp_path / "b", vol[:2], [(0, 0, 2.0 * k) for k in range(2)], series="1.2.3.10",
                         frame_of_reference="1.2.3.8")
    array, meta = loam.assemble_volume(small + big)
    assert meta["series_instance_uid"] == "1.2.3.20" and array.shape[0] == 4
    tie = write_series(tmp_path / "c", vol[2:], [(0, 0, 2.0 * k) for k in range(2)], series="1.2.3.30",
                       frame_of_reference="1.2.3.7")
    assert loam.assemble_volume(small + tie)[1]["series_instance_uid"] == "1.2.3.10"
    # A sagittal localizer listed first: the axial group, which has more frames, is assembled.
    loc = tmp_path / "loc.dcm"
    loc.write_bytes(slice_file(vol[0], (0, 0, 0), orientation=(0, 1, 0, 0, 0, -1), series="1.2.3.20", instance=99))
    array, meta = loam.assemble_volume([str(loc)] + big)
    assert array.shape == (4, 5, 7) and np.allclose(affine4(meta)[:3, 2], [0, 0, 2.0])


def test_colour_frame_leaves_a_zero_slice(tmp_path):
    vol = ct_volume(depth=3)
    paths = write_series(tmp_path, vol, [(0, 0, 2.0 * k) for k in range(3)])
    rgb = {0x00280002: ("US", struct.pack("<H", 3)), 0x00280004: ("CS", "RGB"),
           0x00280006: ("US", struct.pack("<H", 0)), 0x00280100: ("US", struct.pack("<H", 8)),
           0x00280101: ("US", struct.pack("<H", 8)), 0x00280102: ("US", struct.pack("<H", 7)),
           0x00280103: ("US", struct.pack("<H", 0)), 0x7FE00010: ("OB", bytes(5 * 7 * 3 + 1))}
    colour = tmp_path / "rgb.dcm"
    colour.write_bytes(slice_file(vol[0], (0, 0, 6.0), instance=4, extra=rgb))
    array, _ = loam.assemble_volume(paths + [str(colour)])
    assert array.shape[0] == 4 and not array[3].any()
    assert np.array_equal(array[:3], vol - 1024.0)


def test_multiframe_functional_groups(tmp_path):
    frames = ct_volume(depth=4)
    positions = [(10.0, -5.0, 100.0 - 4.0 * k) for k in range(4)]
    path = tmp_path / "enhanced.dcm"
    path.write_bytes(enhanced_ct(frames, positions, orientation=(-1, 0, 0, 0, 1, 0)))
    array, meta = loam.assemble_volume([str(path)])
    # normal = row x col = (0, 0, -1): ascending projection is ascending -z, i.e. file order.
    assert np.array_equal(array, frames.astype(np.float32))
    a = affine4(meta)
    assert np.allclose(a[:3, 2], [0, 0, -4.0]) and np.allclose(a[:3, 3], positions[0])
    assert np.allclose(a[:3, 0], [-0.75, 0, 0]) and np.allclose(a[:3, 1], [0, 0.5, 0])
    assert_same_physical_volume(array, meta, sitk.ReadImage(str(path)))


def test_errors(tmp_path):
    with pytest.raises(RuntimeError, match="^volume::decode_frames: no files$"):
        loam.assemble_volume([])
    junk = tmp_path / "junk.txt"
    junk.write_text("not an image")
    with pytest.raises(RuntimeError, match="^volume::decode_frames: no decodable image frames") as info:
        loam.assemble_volume([str(junk)])
    assert str(info.value).endswith(f"({junk}: not a DICOM image)")
    # Each file that gave nothing is named with its reason.
    broken = write_series(tmp_path / "broken", ct_volume(depth=2), [(0, 0, 0), (0, 0, 1)])
    Path(broken[0]).write_bytes(b"")
    data = Path(broken[1]).read_bytes()
    Path(broken[1]).write_bytes(data[:400])
    with pytest.raises(RuntimeError, match="no decodable image frames") as info:
        loam.assemble_volume(broken)
    assert f"{broken[0]}: the file is empty; {broken[1]}: " in str(info.value)
    # When the others make a volume, the files left out are listed with their reasons.
    partial = write_series(tmp_path / "partial", ct_volume(depth=3), [(0, 0, 0), (0, 0, 1), (0, 0, 2)])
    Path(partial[1]).write_bytes(b"")
    for assemble in (loam.assemble_volume, loam.assemble_4d):
        array, meta = assemble(partial)
        assert meta["undecoded"] == [f"{partial[1]}: the file is empty"] and array.shape[-3] == 2
    vol = ct_volume(depth=2)
    a = write_series(tmp_path / "a", vol, [(0, 0, 0), (0, 0, 1)])
    b = write_series(tmp_path / "b", vol, [(0, 0, 2), (0, 0, 3)], frame_of_reference="1.2.3.99")
    with pytest.raises(RuntimeError, match="^volume::decode_frames: one Series contains multiple Frames of Reference$"):
        loam.assemble_volume(a + b)
    c = write_series(tmp_path / "c", vol, [(0, 0, 0), (0, 0, 1)], series="1.2.3.77")
    with pytest.raises(RuntimeError, match="^volume::assemble_4d: input must contain exactly one Series$"):
        loam.assemble_4d(a + c)


def corpus_series(testdata):
    """Corpus series SimpleITK reads as uniform stacks, and the multi-frame objects."""
    return [sorted((testdata / "pydicom" / "test_files" / "dicomdirtests" / "98892001" / "CT5N").iterdir())]


def test_corpus_series_agree_with_simpleitk(testdata):
    for files in corpus_series(testdata):
        paths = [str(p) for p in files]
        array, meta = loam.assemble_volume(paths)
        reader = sitk.ImageSeriesReader()
        reader.SetFileNames(reader.GetGDCMSeriesFileNames(str(files[0].parent)))
        assert_same_physical_volume(array, meta, reader.Execute())
    path = testdata / "pydicom-data" / "eCT_Supplemental.dcm"
    array, meta = loam.assemble_volume([str(path)])
    assert_same_physical_volume(array, meta, sitk.ReadImage(str(path)))
