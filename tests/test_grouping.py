"""Frames that share a slice position: told apart by what their files say, never dropped."""

from __future__ import annotations

import struct

import numpy as np
import pytest

import loam
from dicom_bytes import explicit, explicit_sq, item
from volume_series import MR, enhanced_ct, slice_file

RNG = np.random.default_rng(2212)
SLICES = 3


def affine4(meta) -> np.ndarray:
    return np.array(meta["affine"], float).reshape(4, 4).T


def ge_diffusion(b: float, g) -> dict:
    return {0x00190010: ("LO", "GEMS_ACQU_01"), 0x001910BB: ("DS", repr(g[0])), 0x001910BC: ("DS", repr(g[1])),
            0x001910BD: ("DS", repr(g[2])), 0x00430010: ("LO", "GEMS_PARM_01"),
            0x00431039: ("IS", f"{int(b)}\\8\\0\\0"), 0x00181312: ("CS", "COL")}


# Per volume: the attributes that differ, and the name grouping reports. Volume 0 is acquired
# second where the attribute has an order of its own, so the test sees that order win.
CASES = {
    "Acquisition Number": [{0x00200012: ("IS", "2")}, {0x00200012: ("IS", "1")}],
    "Stack ID": [{0x00209056: ("SH", "1")}, {0x00209056: ("SH", "2")}],
    "diffusion b-value and gradient": [ge_diffusion(0, (0, 0, 0)), ge_diffusion(1000, (1.0, 0, 0))],
    "Echo Numbers": [{0x00180086: ("IS", "1")}, {0x00180086: ("IS", "2")}],
    "image type": [{0x00080008: ("CS", "ORIGINAL\\PRIMARY\\M")}, {0x00080008: ("CS", "ORIGINAL\\PRIMARY\\P")}],
    "acquisition time and Instance Number": [{0x00080032: ("TM", "101500.25")}, {0x00080032: ("TM", "101503.5")}],
}


def volumes_of(folder, extras, same_instance=False):
    """Two volumes of SLICES slices each, files written slice by slice with the volumes interleaved."""
    folder.mkdir(parents=True)
    data = RNG.integers(0, 4000, (2, SLICES, 4, 6)).astype(np.int16)
    paths = []
    for z in range(SLICES):
        for v in range(2):
            p = folder / f"z{z}v{v}.dcm"
            instance = 1 + z if same_instance else 1 + z + SLICES * v
            p.write_bytes(slice_file(data[v, z], (0, 0, 4.0 * z), instance=instance, sop=f"1.2.3.1.{v}.{z}",
                                     sop_class=MR, manufacturer="GE MEDICAL SYSTEMS", intercept=0, extra=extras[v]))
            paths.append(str(p))
    return paths, data.astype(np.float32)


@pytest.mark.parametrize("name", list(CASES))
def test_frames_at_one_position_are_told_apart(tmp_path, name):
    paths, data = volumes_of(tmp_path / "s", CASES[name])
    stack, meta = loam.assemble_4d(paths)
    assert stack.shape == (2, SLICES, 4, 6)
    assert meta["grouping"] == name
    assert meta["dimensions"] == [{"tag": 12, "name": "acquisition", "spacing": 1.0, "values": [1.0, 2.0]}]
    # Acquisition Number orders by its value (volume 1 first); the others by acquisition.
    order = [1, 0] if name == "Acquisition Number" else [0, 1]
    assert np.array_equal(stack, data[order])
    first, meta3 = loam.assemble_volume(paths)
    assert np.array_equal(first, data[order[0]]) and meta3["volumes_in_series"] == 2


def test_instance_numbers_alone_give_acquisition_order(tmp_path):
    paths, data = volumes_of(tmp_path / "s", [{}, {}])
    stack, meta = loam.assemble_4d(list(reversed(paths)))  # the list's order does not matter
    assert meta["grouping"] == "acquisition time and Instance Number"
    assert np.array_equal(stack, data)


def test_frames_nothing_tells_apart_are_refused(tmp_path):
    paths, _ = volumes_of(tmp_path / "s", [{}, {}], same_instance=True)
    with pytest.raises(RuntimeError, match=r"^volume::discover_group: frames at one slice position cannot be told "
                                           r"apart .*z0v0\.dcm and .*z0v1\.dcm$"):
        loam.assemble_4d(paths)
    with pytest.raises(RuntimeError, match="cannot be told apart"):
        loam.assemble_volume(paths)


def test_exact_duplicates_are_set_aside(tmp_path):
    data = RNG.integers(0, 4000, (SLICES, 4, 6)).astype(np.int16)
    paths = []
    for z in range(SLICES):
        p = tmp_path / f"z{z}.dcm"
        p.write_bytes(slice_file(data[z], (0, 0, 4.0 * z), instance=z + 1, sop_class=MR))
        paths.append(str(p))
    copy = tmp_path / "copy.dcm"
    copy.write_bytes((tmp_path / "z1.dcm").read_bytes())
    stack, meta = loam.assemble_4d(paths + [str(copy), paths[2]])
    assert stack.shape == (1, SLICES, 4, 6) and meta["duplicates"] == 2 and meta["grouping"] is None
    assert np.array_equal(stack[0], data - 1024.0)


def test_enhanced_temporal_position_index(tmp_path):
    frames = RNG.integers(0, 3000, (6, 4, 5)).astype(np.int16)
    positions = [(0.0, 0.0, 2.0 * (k % 3)) for k in range(6)]

    def content(k):  # Frame Content: volumes 2, 1 (so the index, not the frame order, decides)
        tpi = 2 if k < 3 else 1
        return explicit_sq(0x0020, 0x9111, [item(explicit(0x0020, 0x9128, "UL", struct.pack("<I", tpi)))])
    path = tmp_path / "e.dcm"
    path.write_bytes(enhanced_ct(frames, positions, per_frame_extra=content))
    stack, meta = loam.assemble_4d([str(path)])
    assert meta["grouping"] == "Temporal Position Index"
    assert np.array_equal(stack, frames.reshape(2, 3, 4, 5)[[1, 0]].astype(np.float32))


def test_sparse_axes_give_only_occupied_volumes(tmp_path):
    # b = 0 has no direction: b-value x direction would be 2 x 3 combinations, 3 of them real.
    encodings = [(0.0, None), (1000.0, (1.0, 0.0, 0.0)), (1000.0, (0.0, 1.0, 0.0))]
    frames = RNG.integers(0, 3000, (6, 4, 5)).astype(np.int16)
    positions = [(0.0, 0.0, 2.0 * (k % 2)) for k in range(6)]

    def diffusion(k):
        b, g = encodings[k // 2]
        body = explicit(0x0018, 0x9087, "FD", struct.pack("<d", b))
        if g:
            body += explicit(0x0018, 0x9089, "FD", struct.pack("<3d", *g))
        return explicit_sq(0x0018, 0x9117, [item(body)])
    path = tmp_path / "dwi.dcm"
    path.write_bytes(enhanced_ct(frames, positions, per_frame_extra=diffusion))
    stack, meta = loam.assemble_4d([str(path)])
    assert stack.shape[0] == 3 and meta["missing_slices"] == 0
    dwi, dmeta = loam.assemble_dwi([str(path)], "acquisition")
    assert dmeta["bvals"] == [0, 1000, 1000] and np.array_equal(dwi, frames.reshape(3, 2, 4, 5).astype(np.float32))


def test_standard_position_wins_over_a_vendor_private_one(tmp_path):
    frames = RNG.integers(0, 3000, (3, 4, 5)).astype(np.int16)
    positions = [(10.0, 20.0, 3.0 * k) for k in range(3)]

    def private(k):  # Philips repeats the position, half a pixel off, in a private per-frame sequence
        shifted = (10.25, 20.375, 3.0 * k)
        return (explicit(0x2005, 0x0010, "LO", "Philips MR Imaging DD 005")
                + explicit_sq(0x2005, 0x140F, [item(explicit(0x0020, 0x0032, "DS", "\\".join(map(str, shifted))))]))
    path = tmp_path / "e.dcm"
    path.write_bytes(enhanced_ct(frames, positions, per_frame_extra=private))
    _, meta = loam.assemble_volume([str(path)])
    assert np.allclose(affine4(meta)[:3, 3], positions[0])


def test_slice_step_averages_rounded_positions(tmp_path):
    # Positions rounded to 4 decimals: the first step alone would be off by 1e-5 mm a slice.
    step = 3.3936849
    data = RNG.integers(0, 4000, (30, 4, 6)).astype(np.int16)
    paths = []
    for z in range(30):
        p = tmp_path / f"z{z}.dcm"
        p.write_bytes(slice_file(data[z], (0, 0.2 * z, round(z * step, 4)), instance=z + 1))
        paths.append(str(p))
    _, meta = loam.assemble_volume(paths)
    a = affine4(meta)
    assert np.allclose(a[:3, 2], [0, 0.2, round(29 * step, 4) / 29], atol=1e-9)
    last = a @ np.array([0, 0, 29, 1.0])
    assert np.allclose(last[:3], [0, 0.2 * 29, round(29 * step, 4)], atol=1e-6)
