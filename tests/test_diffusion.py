"""Vendor diffusion headers, mosaics, b = 0 classification and BIDS sidecars, on built files."""

from __future__ import annotations

import struct

import numpy as np
import pytest

import loam
from dicom_bytes import explicit, explicit_sq, item
from volume_series import MR, csa_header, mosaic_file, slice_file

RNG = np.random.default_rng(4242)


def fl(v: float) -> bytes:
    return struct.pack("<f", v)


def ge_file(path, pixels, z, instance, b, g, *, offset_b=0):
    extra = {0x00190010: ("LO", "GEMS_ACQU_01"), 0x001910BB: ("DS", repr(g[0])), 0x001910BC: ("DS", repr(g[1])),
             0x001910BD: ("DS", repr(g[2])), 0x00430010: ("LO", "GEMS_PARM_01"),
             0x00431039: ("IS", f"{int(b + offset_b)}\\8\\0\\0"), 0x00181312: ("CS", "COL")}
    path.write_bytes(slice_file(pixels, (0, 0, 3.0 * z), instance=instance, sop_class=MR, intercept=0,
                                manufacturer="GE MEDICAL SYSTEMS", extra=extra))
    return str(path)


def philips_file(path, pixels, z, instance, b, g, label):
    extra = {0x20010010: ("LO", "Philips Imaging DD 001"), 0x20011003: ("FL", fl(b)), 0x20011004: ("CS", label),
             0x20050010: ("LO", "Philips MR Imaging DD 001"), 0x200510B0: ("FL", fl(g[0])),
             0x200510B1: ("FL", fl(g[1])), 0x200510B2: ("FL", fl(g[2])), 0x20051000 + 0x0E: ("FL", fl(0.25))}
    path.write_bytes(slice_file(pixels, (0, 0, 3.0 * z), instance=instance, sop_class=MR, intercept=0,
                                manufacturer="Philips Medical Systems", extra=extra))
    return str(path)


GE_SCHEME = [(0, (0, 0, 0)), (1000, (0.6, 0.8, 0.0)), (1000, (0.0, 0.6, -0.8))]


def test_ge_private_diffusion(tmp_path):
    data = RNG.integers(0, 2000, (3, 2, 4, 6)).astype(np.int16)
    paths = [ge_file(tmp_path / f"i{v}_{z}.dcm", data[v, z], z, 1 + 2 * v + z, b, g, offset_b=10**9 if v == 2 else 0)
             for v, (b, g) in enumerate(GE_SCHEME) for z in range(2)]
    frames = loam.read_diffusion(paths[2])
    assert frames == [{"frame": 0, "bvalue": 1000.0, "gradient": [0.6, 0.8, 0.0], "gradient_frame": "logical",
                       "source": "GE", "isotropic": False, "b_matrix": None}]
    assert loam.read_diffusion(paths[4])[0]["bvalue"] == 1000.0  # the 10^9 offset some versions add
    stack, meta = loam.assemble_dwi(paths, "acquisition")
    assert meta["bvals"] == [0, 1000, 1000] and np.array_equal(stack, data.astype(np.float32))
    # Axial slices, phase along columns: GE's logical x and y are the voxel axes negated.
    assert meta["bvecs"] == [[0, 0, 0], pytest.approx([-0.6, -0.8, 0.0]), pytest.approx([0.0, -0.6, -0.8])]
    assert meta["grouping"] == "diffusion b-value and gradient"


def test_philips_isotropic_volume_left_out(tmp_path):
    scheme = [(0, (0, 0, 0), "I"), (1000, (1, 0, 0), "M"), (1000, (0, 1, 0), "P"), (1000, (0, 0, 0), "I")]
    data = RNG.integers(0, 2000, (4, 2, 4, 6)).astype(np.int16)
    paths = [philips_file(tmp_path / f"p{v}_{z}.dcm", data[v, z], z, 1 + 4 * z + v, b, g, label)
             for v, (b, g, label) in enumerate(scheme) for z in range(2)]
    frames = loam.read_diffusion(paths[6])
    assert frames[0]["isotropic"] and frames[0]["source"] == "Philips"
    stack, meta = loam.assemble_dwi(paths, "acquisition")
    assert meta["bvals"] == [0, 1000, 1000] and meta["derived_excluded"] == 1
    assert np.array_equal(stack, data[:3].astype(np.float32))
    assert meta["philips_scale_slope"] == 0.25
    assert meta["stored"] == {"dtype": "int16", "slope": 1.0, "intercept": 0.0}


def test_repeated_b0_volumes_stay_separate(tmp_path):
    scheme = [(0, None), (1000, (1.0, 0.0, 0.0)), (0, None), (1000, (0.0, 1.0, 0.0))]
    paths, tiles = [], []
    for i, (b, g) in enumerate(scheme):
        t = RNG.integers(0, 1000, (4, 6, 8)).astype(np.int16)
        p = tmp_path / f"m{i}.dcm"
        p.write_bytes(mosaic_file(t, (0.0, 0.0, 0.0), bvalue=b, gradient=g, instance=i + 1))
        paths.append(str(p)), tiles.append(t.astype(np.float32))
    acq, meta = loam.assemble_dwi(paths, "acquisition")
    assert meta["bvals"] == [0, 1000, 0, 1000] and np.array_equal(acq, np.stack(tiles))
    by_gradient, meta2 = loam.assemble_dwi(paths)
    assert meta2["bvals"] == [0, 0, 1000, 1000]
    assert np.array_equal(by_gradient[:2], np.stack([tiles[0], tiles[2]]))


def test_mosaic_expand_and_siemens_header(tmp_path):
    tiles = RNG.integers(0, 1000, (5, 6, 8)).astype(np.int16)
    data = mosaic_file(tiles, (-30.0, -40.0, 10.0), bvalue=1000, gradient=(0.0, 0.6, 0.8))
    array, meta = loam.mosaic_expand(data)
    assert np.array_equal(array, tiles.astype(np.float32))
    assert meta["tiles"] == 5 and meta["grid"] == 3 and meta["slice_spacing"] == 3.0
    assert np.allclose(meta["positions"], [[-30 + 16.0, -40 + 12.0, 10.0 + 3.0 * k] for k in range(5)])
    path = tmp_path / "m.dcm"
    path.write_bytes(data)
    assert np.array_equal(loam.mosaic_expand(str(path))[0], array)
    info = loam.siemens_diffusion(str(path))
    assert info["b_value"] == 1000 and info["gradient"] == [0.0, 0.6, 0.8] and info["mosaic_tiles"] == 5
    assert info["slice_normal"] == [0.0, 0.0, 1.0] and info["b_matrix"] is None
    plain = slice_file(tiles[0], (0, 0, 0))
    assert loam.siemens_diffusion(plain) is None
    with pytest.raises(ValueError, match="^mosaic_expand: not a mosaic"):
        loam.mosaic_expand(plain)
    with pytest.raises(ValueError, match="^siemens_diffusion: not a DICOM data set$"):
        loam.siemens_diffusion(b"not dicom")


@pytest.mark.parametrize("bvals, bvecs, isotropic, b0, derived", [
    ([0, 5, 1000, 1000], [[0, 0, 0], [0, 0, 0], [1, 0, 0], [0, 1, 0]], None, [True, True, False, False], []),
    # A weighted volume without a direction, among directions: the scanner's trace image.
    ([0, 1000, 1000, 1000], [[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 0]], None, [True, False, False, False], [3]),
    # Weighted volumes without any direction at all: b = 0 volumes reported with a b-value.
    ([0, 700, 700], [[0, 0, 0]] * 3, None, [True, True, True], []),
    ([0, 1000], None, None, [True, False], []),
    ([0, 1000, 1000], [[0, 0, 0], [1, 0, 0], [0, 1, 0]], [False, False, True], [True, False, False], [2]),
])
def test_b0_threshold(bvals, bvecs, isotropic, b0, derived):
    out = loam.dwi_b0_threshold(bvals, bvecs, isotropic=isotropic)
    assert out["b0"] == b0 and out["derived"] == derived and out["threshold"] == 50.0
    assert loam.dwi_b0_threshold([0, 49, 51], threshold=50)["b0"] == [True, True, False]
    with pytest.raises(ValueError, match="one \\[x, y, z\\] per b-value"):
        loam.dwi_b0_threshold([0, 1000], [[0, 0, 0]])


def siemens_epi(path, tiles, instance, acquisition, time, positive):
    csa = csa_header({"NumberOfImagesInMosaic": [str(len(tiles))], "SliceNormalVector": ["0", "0", "1"],
                      "MosaicRefAcqTimes": ["0", "1000", "500", "1500"][: len(tiles)],
                      "PhaseEncodingDirectionPositive": [str(positive)], "BandwidthPerPixelPhaseEncode": ["25.0"]})
    n, rows, cols = tiles.shape
    mosaic = np.zeros((rows * 2, cols * 2), np.int16)
    for k in range(n):
        r, c = divmod(k, 2)
        mosaic[r * rows:(r + 1) * rows, c * cols:(c + 1) * cols] = tiles[k]
    extra = {0x00180088: ("DS", "3"), 0x00181312: ("CS", "COL"), 0x00290010: ("LO", "SIEMENS CSA HEADER"),
             0x00291010: ("OB", csa), 0x00180080: ("DS", "2000"), 0x00180081: ("DS", "30"),
             0x00181314: ("DS", "75"), 0x00200012: ("IS", str(acquisition)), 0x00080032: ("TM", time),
             0x00181030: ("LO", "bold run"), 0x0008103E: ("LO", "bold"), 0x00200011: ("IS", "7"),
             0x00100010: ("PN", "Secret^Patient"), 0x00100020: ("LO", "PID-123"), 0x00100030: ("DA", "19700101"),
             0x00180023: ("CS", "2D")}
    path.write_bytes(slice_file(mosaic, (0.0, 0.0, 0.0), spacing=(2.0, 2.0), thickness=3.0, sop_class=MR,
                                instance=instance, manufacturer="SIEMENS", intercept=0,
                                image_type="ORIGINAL\\PRIMARY\\M\\ND\\MOSAIC", extra=extra, series="1.2.3.77"))
    return str(path)


@pytest.mark.parametrize("positive, direction", [(1, "j"), (0, "j-")])
def test_bids_sidecar(tmp_path, positive, direction):
    paths = [siemens_epi(tmp_path / f"v{v}.dcm", RNG.integers(0, 900, (4, 6, 8)).astype(np.int16), v + 1, v + 1,
                         f"1030{v}{v}.5", positive) for v in range(2)]
    side = loam.bids_sidecar(paths)
    assert side["Manufacturer"] == "Siemens" and side["ProtocolName"] == "bold run"
    assert side["SeriesNumber"] == 7 and side["AcquisitionNumber"] == 1 and side["AcquisitionTime"] == "10:30:00.500000"
    assert side["RepetitionTime"] == 2.0 and side["EchoTime"] == 0.03 and side["FlipAngle"] == 75
    assert side["ImageType"] == ["ORIGINAL", "PRIMARY", "M", "ND", "MOSAIC", "MAGNITUDE"]
    assert side["SliceTiming"] == [0.0, 1.0, 0.5, 1.5]
    assert side["PhaseEncodingDirection"] == direction
    # 1 / (bandwidth x reconstructed phase lines): 1 / (25 x 6)
    assert side["EffectiveEchoSpacing"] == pytest.approx(1 / 150) and side["TotalReadoutTime"] == pytest.approx(5 / 150)
    text = repr(side)
    assert "Secret" not in text and "PID-123" not in text and "1970" not in text
    assert side["ConversionSoftware"] == "loam"


def test_sidecar_without_polarity_gives_the_axis(tmp_path):
    data = RNG.integers(0, 900, (2, 4, 6)).astype(np.int16)
    paths = []
    for z in range(2):
        p = tmp_path / f"z{z}.dcm"
        p.write_bytes(slice_file(data[z], (0, 0, 3.0 * z), instance=z + 1, sop_class=MR,
                                 manufacturer="Philips Medical Systems",
                                 extra={0x00181312: ("CS", "ROW"), 0x00080032: ("TM", f"0900{z}0")}))
        paths.append(str(p))
    side = loam.bids_sidecar(paths)
    assert side["PhaseEncodingAxis"] == "i" and "PhaseEncodingDirection" not in side
    assert "SliceTiming" not in side  # Philips times are per volume
    with pytest.raises(RuntimeError, match="no decodable image frames"):
        loam.bids_sidecar([str(tmp_path / "missing.dcm")])
