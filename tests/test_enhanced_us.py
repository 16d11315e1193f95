"""Enhanced US Volume objects: strict metadata checks, and the Patient-LPS refusal of assembly."""

from __future__ import annotations

import struct

import numpy as np
import pytest

import loam
from dicom_bytes import explicit, explicit_sq, item
from volume_series import at, eus_coords, enhanced_us, fd, write_series

FRAMES = np.random.default_rng(5).integers(0, 255, (6, 4, 5))
MALFORMED = "volume::decode_one_file: malformed Enhanced US Volume metadata in {}: {}"
UNSUPPORTED = "volume::decode_one_file: unsupported Enhanced US Volume metadata in {}: {}"


def write(tmp_path, data, name="eus.dcm"):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def test_valid_object_is_refused_by_patient_space_assembly(tmp_path):
    path = write(tmp_path, enhanced_us(FRAMES, eus_coords()))
    with pytest.raises(RuntimeError, match="^volume::assemble: source geometry is not in Patient LPS; an explicit "
                                           "Volume-to-Patient registration is required$"):
        loam.assemble_volume([path])
    with pytest.raises(RuntimeError, match="^volume::assemble_4d: source geometry is not in Patient LPS"):
        loam.assemble_4d([path])


def test_with_other_series_the_patient_space_series_is_chosen(tmp_path):
    eus = write(tmp_path, enhanced_us(FRAMES, eus_coords()))
    ct = write_series(tmp_path / "ct", FRAMES[:2].astype(np.int16), [(0, 0, 0), (0, 0, 1)])
    _, meta = loam.assemble_volume([eus] + ct)
    assert meta["series_instance_uid"] == "1.2.3.1"


def dims_without_third():
    pointers = [(0x00209128, 0x00209111), (0x00209301, 0x0020930E)]
    return [item(explicit(0x0020, 0x9164, "UI", "1.2.3.4.99") + explicit(0x0020, 0x9165, "AT", at(p))
                 + explicit(0x0020, 0x9167, "AT", at(g))) for p, g in pointers]


def swapped_order():
    pointers = [(0x00209301, 0x0020930E), (0x00209128, 0x00209111), (0x00189808, 0x00189807)]
    return [item(explicit(0x0020, 0x9164, "UI", "1.2.3.4.99") + explicit(0x0020, 0x9165, "AT", at(p))
                 + explicit(0x0020, 0x9167, "AT", at(g))) for p, g in pointers]


uneven = [(t + 1, z + 1, (0.0, 0.5, 1.5)[z], 1) for t in range(2) for z in range(3)]
duplicate = eus_coords()[:5] + [eus_coords()[4]]


@pytest.mark.parametrize("kwargs, kind, message", [
    (dict(number_of_frames="x"), MALFORMED, "Number of Frames has invalid IS value"),
    (dict(number_of_frames="5"), MALFORMED, "Per-frame Functional Groups Item count differs from Number of Frames"),
    (dict(org_type="2D"), UNSUPPORTED, "Dimension Organization Type must be 3D or 3D_TEMPORAL"),
    (dict(org_type="3D"), MALFORMED, "Dimension Organization Type 3D must have one temporal index"),
    (dict(index_items=dims_without_third()), MALFORMED, "Dimension Index Sequence must contain exactly three Items"),
    (dict(index_items=swapped_order()), MALFORMED,
     "Dimension Index Sequence does not use temporal, Volume position, Data Type order"),
    (dict(orientation=(0, 1, 0, 1, 0, 0)), MALFORMED, "Image Orientation (Volume) must be 1,0,0,0,1,0"),
    (dict(coords=uneven), MALFORMED, "adjacent Volume planes are not equally spaced"),
    (dict(coords=duplicate), MALFORMED, "duplicate temporal, plane, Data Type frame coordinate"),
    (dict(shared_extra=explicit_sq(0x0020, 0x930E, [item(explicit(0x0020, 0x9301, "FD", fd(0, 0, 0)))])),
     MALFORMED, "Plane Position (Volume) may not be shared"),
    (dict(frame_extra=lambda k: explicit_sq(0x0028, 0x9110, [item(explicit(0x0028, 0x0030, "DS", "1\\1"))])),
     MALFORMED, "Pixel Measures Sequence occurs in shared and per-frame groups"),
])
def test_metadata_rules(tmp_path, kwargs, kind, message):
    coords = kwargs.pop("coords", eus_coords())
    path = write(tmp_path, enhanced_us(FRAMES, coords, **kwargs))
    with pytest.raises(RuntimeError) as err:
        loam.assemble_volume([path])
    assert str(err.value) == kind.format(path, message)


def test_sparse_grid_is_unsupported(tmp_path):
    path = write(tmp_path, enhanced_us(FRAMES[:5], eus_coords()[:5]))
    with pytest.raises(RuntimeError) as err:
        loam.assemble_4d([path])
    assert str(err.value) == UNSUPPORTED.format(path, "frame dimensions are sparse, not a dense Cartesian product")


def test_a_worker_failure_reaches_the_caller_after_the_others_finish(tmp_path):
    ct = write_series(tmp_path / "ct", np.zeros((12, 4, 5), np.int16), [(0, 0, float(k)) for k in range(12)])
    bad = write(tmp_path, enhanced_us(FRAMES, eus_coords(), org_type="2D"))
    for paths in (ct[:6] + [bad] + ct[6:], [bad] + ct, ct + [bad]):
        with pytest.raises(RuntimeError, match="Dimension Organization Type must be 3D or 3D_TEMPORAL"):
            loam.assemble_volume(paths)
    # The next call starts clean: nothing is left over from the failed one.
    assert loam.assemble_volume(ct)[0].shape == (12, 4, 5)
