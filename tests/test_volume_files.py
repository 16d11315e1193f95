"""NIfTI, NRRD and MetaImage files, checked byte-wise and by nibabel and SimpleITK."""

from __future__ import annotations

import gzip
import struct

import numpy as np
import pytest

import loam

nib = pytest.importorskip("nibabel")
sitk = pytest.importorskip("SimpleITK")

RNG = np.random.default_rng(7)
OBLIQUE = [0.9, 0.1, 0.0, 0.0, -0.2, 1.4, 0.3, 0.0, 0.0, 0.0, 2.5, 0.0, -10.0, 20.5, 33.25, 1.0]
IDENTITY = [1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0]
LPS_TO_RAS = np.diag([-1.0, -1.0, 1.0, 1.0])


def affine4(flat) -> np.ndarray:
    return np.array(flat, float).reshape(4, 4).T


def header(path) -> bytes:
    data = open(path, "rb").read()
    return gzip.decompress(data) if data[:2] == b"\x1f\x8b" else data


@pytest.mark.parametrize("dtype", [np.float32, np.uint8, np.int16, np.uint16])
@pytest.mark.parametrize("name", ["v.nii", "v.nii.gz"])
def test_nifti_round_trip_and_nibabel(tmp_path, dtype, name):
    array = (RNG.random((3, 4, 5)) * 200).astype(dtype)
    path = str(tmp_path / name)
    loam.write_nifti_volume(array, OBLIQUE, path)
    img = nib.load(path)
    assert np.allclose(img.affine, LPS_TO_RAS @ affine4(OBLIQUE), atol=1e-5)
    # nibabel's array is (x, y, z) = (columns, rows, slices).
    assert np.array_equal(np.asarray(img.dataobj), array.transpose(2, 1, 0))
    back, meta = loam.read_nifti(path)
    assert back.dtype == dtype and np.array_equal(back, array)
    assert np.allclose(meta["affine"], np.array(OBLIQUE, np.float32), atol=1e-6)
    assert list(meta) == ["affine", "spacing", "time_points", "scl_slope", "scl_inter"]
    assert meta["time_points"] == 1 and meta["scl_slope"] == 1.0 and meta["scl_inter"] == 0.0


def test_nifti_header_fields(tmp_path):
    path = tmp_path / "id.nii"
    loam.write_nifti_volume(np.zeros((2, 3, 4), np.float32), IDENTITY, str(path))
    h = header(path)
    assert len(h) == 352 + 2 * 3 * 4 * 4 and struct.unpack_from("<i", h, 0)[0] == 348
    assert struct.unpack_from("<8h", h, 40) == (3, 4, 3, 2, 1, 0, 0, 0)
    assert h[348:352] == b"\0\0\0\0" and h[344:348] == b"n+1\0"
    assert struct.unpack_from("<f", h, 108)[0] == 352.0 and h[123] == 2
    assert struct.unpack_from("<2h", h, 252) == (1, 1)
    assert struct.unpack_from("<f", h, 76)[0] == 1.0
    assert struct.unpack_from("<3f", h, 256) == (0.0, 0.0, 1.0)  # RAS rotation: half-turn about z
    assert struct.unpack_from("<4f", h, 280) == (-1, 0, 0, 0) and struct.unpack_from("<4f", h, 296) == (0, -1, 0, 0)
    flat = list(IDENTITY)
    flat[4:7] = [0, 0, 0]  # a zero-length column: no quaternion, the matrix only
    loam.write_nifti_volume(np.zeros((2, 3, 4), np.uint8), flat, str(path))
    h = header(path)
    assert struct.unpack_from("<2h", h, 252) == (0, 1) and struct.unpack_from("<6f", h, 256) == (0,) * 6


def test_nifti_four_d_and_quaternion_only_files(tmp_path):
    array = RNG.random((2, 3, 4, 5)).astype(np.float32)
    path = str(tmp_path / "t.nii.gz")
    loam.write_nifti_volume(array, OBLIQUE, path)
    assert nib.load(path).shape == (5, 4, 3, 2)
    back, meta = loam.read_nifti(path)
    assert back.shape == (2, 3, 4, 5) and meta["time_points"] == 2
    # A file with the qform only (as some tools write): the affine comes from the quaternion.
    ras = LPS_TO_RAS @ affine4(OBLIQUE)
    ras[:3, :3] = np.diag([-1.5, 2.0, 3.0]) @ np.eye(3)
    img = nib.Nifti1Image(array.transpose(3, 2, 1, 0), None)
    img.set_qform(ras, code=1)
    img.set_sform(None, code=0)
    q = str(tmp_path / "q.nii")
    nib.save(img, q)
    assert np.allclose(affine4(loam.read_nifti(q)[1]["affine"]), LPS_TO_RAS @ img.get_qform(), atol=1e-5)


def test_nifti_refusals(tmp_path):
    pair = tmp_path / "pair.nii"
    loam.write_nifti_volume(np.zeros((1, 2, 2), np.uint8), IDENTITY, str(pair))
    data = bytearray(pair.read_bytes())
    data[344:348] = b"ni1\0"
    pair.write_bytes(bytes(data))
    with pytest.raises(RuntimeError, match=r"^dcm_nifti_read failed: rc=-2 \(not a single-file NIfTI-1 \(\.nii or \.nii\.gz\), or its voxels "
                                           r"are cut short\): .*pair\.nii$"):
        loam.read_nifti(str(pair))
    img = nib.Nifti1Image(np.zeros((2, 2, 2), np.float64), np.eye(4))
    nib.save(img, str(tmp_path / "f64.nii"))
    with pytest.raises(RuntimeError, match="^read_nifti: unsupported datatype$"):
        loam.read_nifti(str(tmp_path / "f64.nii"))
    with pytest.raises(ValueError, match=r"^write_nifti_volume: array must be 3D \[D,H,W\] or 4D \[V,D,H,W\]$"):
        loam.write_nifti_volume(np.zeros((2, 2), np.float32), IDENTITY, str(tmp_path / "x.nii"))
    with pytest.raises(ValueError, match="^write_nifti_volume: affine must have 16 elements$"):
        loam.write_nifti_volume(np.zeros((2, 2, 2), np.float32), IDENTITY[:12], str(tmp_path / "x.nii"))
    with pytest.raises(ValueError, match=r"^write_nrrd_volume: unsupported dtype \(float32/uint8/int16/uint16\)$"):
        loam.write_nrrd_volume(np.zeros((2, 2, 2), np.float64), IDENTITY, str(tmp_path / "x.nrrd"))
    with pytest.raises(ValueError, match="^write_metaimage_volume: affine must have 16 elements$"):
        loam.write_metaimage_volume(np.zeros((2, 2), np.float64), [], str(tmp_path / "x.mha"))
    with pytest.raises(RuntimeError, match=r"^dcm_nifti_write_nd failed: rc=-1 \(cannot write the file \(does its folder exist\?\)\): "):
        loam.write_nifti_volume(np.zeros((1, 1, 1), np.uint8), IDENTITY, str(tmp_path / "missing" / "x.nii"))
    assert not list(tmp_path.glob(".*tmp"))  # no temporary file left behind


def test_nrrd_header_text(tmp_path):
    path = tmp_path / "v.nrrd"
    third = [0.1 + 0.2, 0, 0.5, 0]
    flat = IDENTITY[:8] + third + [1, 2, 3, 1]
    loam.write_nrrd_volume(np.zeros((2, 3, 4), np.uint8), flat, str(path))
    text = path.read_bytes().split(b"\n\n", 1)[0].decode()
    assert text.split("\n") == [
        "NRRD0004", "# Exported by loamware dcm_volexport", "type: uchar", "dimension: 3",
        "space: left-posterior-superior", "sizes: 4 3 2",
        "space directions: (1,0,0) (0,1,0) (0.30000000000000004,0,0.5)", "kinds: domain domain domain",
        "encoding: raw", "space origin: (1,2,3)"]
    loam.write_nrrd_volume(np.zeros((5, 2, 3, 4), np.int16), flat, str(path), gzip=True)
    text = path.read_bytes().split(b"\n\n", 1)[0].decode()
    assert "sizes: 4 3 2 5" in text and text.count("none") == 1 and "kinds: domain domain domain list" in text
    assert "endian: little" in text and "encoding: gzip" in text


@pytest.mark.parametrize("writer, name, flag", [
    (loam.write_nrrd_volume, "v.nrrd", False), (loam.write_nrrd_volume, "v.nrrd", True),
    (loam.write_metaimage_volume, "v.mha", False), (loam.write_metaimage_volume, "v.mha", True),
])
def test_simpleitk_reads_our_nrrd_and_metaimage(tmp_path, writer, name, flag):
    array = RNG.integers(0, 4000, (3, 4, 5)).astype(np.int16)
    flat = [0.0, 0.8, 0.6, 0, -1.0, 0, 0, 0, 0, 1.5, -2.0, 0, -10.0, 20.5, 33.25, 1.0]
    path = str(tmp_path / name)
    writer(array, flat, path, flag)
    img = sitk.ReadImage(path)
    assert np.array_equal(sitk.GetArrayFromImage(img), array)
    a = affine4(flat)
    assert np.allclose(img.GetOrigin(), a[:3, 3])
    assert np.allclose(img.GetSpacing(), np.linalg.norm(a[:3, :3], axis=0))
    assert np.allclose(np.array(img.GetDirection()).reshape(3, 3), a[:3, :3] / np.linalg.norm(a[:3, :3], axis=0))


def test_metaimage_header(tmp_path):
    path = tmp_path / "v.mha"
    loam.write_metaimage_volume(np.zeros((2, 2, 3, 4), np.float32), IDENTITY, str(path), True)
    head = path.read_bytes().split(b"ElementDataFile = LOCAL\n")[0].decode().split("\n")
    assert head[:5] == ["ObjectType = Image", "NDims = 4", "BinaryData = True", "BinaryDataByteOrderMSB = False",
                        "CompressedData = True"]
    assert head[5].startswith("CompressedDataSize = ")
    assert head[6:11] == ["TransformMatrix = 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1", "Offset = 0 0 0 0",
                          "ElementSpacing = 1 1 1 1", "DimSize = 4 3 2 2", "ElementType = MET_FLOAT"]


def test_volume_from_series_to_every_format(tmp_path):
    from volume_series import write_series
    vol = RNG.integers(0, 1000, (4, 5, 6)).astype(np.int16)
    o = np.array([0.8660254, 0.5, 0, -0.5, 0.8660254, 0])
    normal = np.cross(o[:3], o[3:])
    paths = write_series(tmp_path / "s", vol, [np.array([1.0, 2, 3]) + 2 * k * normal for k in range(4)],
                         orientation=tuple(o))
    array, meta = loam.assemble_volume(paths)
    loam.write_nifti_volume(array, meta["affine"], str(tmp_path / "v.nii.gz"))
    assert np.allclose(nib.load(str(tmp_path / "v.nii.gz")).affine, LPS_TO_RAS @ affine4(meta["affine"]), atol=1e-4)
    loam.write_nrrd_volume(array, meta["affine"], str(tmp_path / "v.nrrd"))
    img = sitk.ReadImage(str(tmp_path / "v.nrrd"))
    assert np.allclose(img.GetOrigin(), affine4(meta["affine"])[:3, 3])


def test_nifti_scaling_repetition_time_and_rgb(tmp_path):
    stored = RNG.integers(-300, 3000, (3, 4, 5)).astype(np.int16)
    path = str(tmp_path / "s.nii")
    loam.write_nifti_volume(stored, IDENTITY, path, scl_slope=0.5, scl_inter=-1024.0, repetition_time=2.5)
    img = nib.load(path)
    assert np.array_equal(img.get_fdata(), (stored * 0.5 - 1024.0).transpose(2, 1, 0))
    h = header(path)
    assert struct.unpack_from("<f", h, 92)[0] == 2.5 and h[123] == 2 | 8  # millimetres and seconds
    assert loam.read_nifti(path)[1]["scl_slope"] == 0.5
    rgb = RNG.integers(0, 256, (2, 3, 4, 5, 3)).astype(np.uint8)
    loam.write_nifti_volume(rgb, IDENTITY, str(tmp_path / "c.nii.gz"), rgb=True)
    img = nib.load(str(tmp_path / "c.nii.gz"))
    assert img.shape == (5, 4, 3, 2) and img.get_data_dtype().names == ("R", "G", "B")
    data = np.asanyarray(img.dataobj)
    assert np.array_equal(np.stack([data[c] for c in "RGB"], -1), rgb.transpose(3, 2, 1, 0, 4))
    with pytest.raises(ValueError, match=r"RGB array must be \[D,H,W,3\] or \[V,D,H,W,3\]"):
        loam.write_nifti_volume(rgb[..., :2], IDENTITY, str(tmp_path / "x.nii"), rgb=True)
    with pytest.raises(ValueError, match="RGB array must be uint8"):
        loam.write_nifti_volume(rgb.astype(np.uint16), IDENTITY, str(tmp_path / "x.nii"), rgb=True)


def test_large_gzip_is_written_in_members_every_reader_joins(tmp_path):
    # Over 4 MiB: several gzip members, compressed in parallel.
    array = (np.arange(3 * 512 * 1024, dtype=np.float32) % 1000).reshape(3, 512, 1024)
    path = str(tmp_path / "big.nii.gz")
    loam.write_nifti_volume(array, IDENTITY, path)
    raw = open(path, "rb").read()
    assert raw.count(b"\x1f\x8b\x08") >= 3
    assert np.array_equal(np.asarray(nib.load(path).dataobj), array.transpose(2, 1, 0))
    assert np.array_equal(loam.read_nifti(path)[0], array)
    loam.write_nrrd_volume(array, IDENTITY, str(tmp_path / "big.nrrd"), True)
    assert np.array_equal(sitk.GetArrayFromImage(sitk.ReadImage(str(tmp_path / "big.nrrd"))), array)


@pytest.mark.parametrize("name", ["s.nii", "s.nii.gz", "s.nrrd"])
def test_series_written_as_stored_integers_or_values(tmp_path, name):
    from volume_series import write_series
    vol = RNG.integers(0, 3000, (4, 5, 6)).astype(np.int16)
    positions = [(0, 0, 2.0 * k) for k in range(4)]
    same = write_series(tmp_path / "a", vol, positions, slope=0.5, intercept=-100.0)
    expected, _ = loam.assemble_volume(same)
    out = str(tmp_path / name)
    written = loam._core._write_series(same, out)
    values = (sitk.GetArrayFromImage(sitk.ReadImage(out)) if name.endswith(".nrrd")
              else nib.load(out).get_fdata().transpose(2, 1, 0))
    assert np.allclose(values, expected, atol=1e-4)
    # NIfTI keeps the stored integers with their scaling; NRRD carries no scaling: the values.
    assert written["dtype"] == ("float32" if name.endswith(".nrrd") else "int16")
    assert written["shape"] == [6, 5, 4] and written["sidecar"]["ConversionSoftware"] == "loam"
    # Frames with different rescale values: float32, the decoded values themselves.
    mixed = write_series(tmp_path / "b", vol[:2], positions[:2], slope=0.5) + \
        write_series(tmp_path / "c", vol[2:], positions[2:], slope=0.25)
    out = str(tmp_path / ("m" + name[1:]))
    assert loam._core._write_series(mixed, out)["dtype"] == "float32"
    values = (sitk.GetArrayFromImage(sitk.ReadImage(out)) if name.endswith(".nrrd")
              else nib.load(out).get_fdata().transpose(2, 1, 0))
    assert np.array_equal(values, loam.assemble_volume(mixed)[0])
    # Below the volumes asked for, nothing is written.
    assert loam._core._write_series(same, str(tmp_path / "none.nii"), "volumes", 2) is None
    assert not (tmp_path / "none.nii").exists() and not list(tmp_path.glob(".*tmp"))
