#!/usr/bin/env python3
"""pydicomrt's reading of a rigid and a deformable registration written by loam, saved as
tests/data/registration_pydicomrt.json beside the objects themselves (registration_rigid.dcm,
registration_deformable.dcm).

pydicomrt needs OpenCV, which the project does not install, so this runs in a scratch
environment of its own, with the project's built package put on the path to write the objects:

    python3.12 -m venv /tmp/rtreg && /tmp/rtreg/bin/pip install pydicomrt
    /tmp/rtreg/bin/python tools/registration_goldens.py .venv/lib/python3.12/site-packages
"""
import json
import sys
import tempfile
from pathlib import Path

import numpy as np
import pydicom
from pydicomrt.reg import get_deformable_registrations, get_spatial_registrations

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "tests" / "data"


def rotation_z(degrees, shift):
    t = np.radians(degrees)
    m = np.eye(4)
    m[:2, :2] = [[np.cos(t), -np.sin(t)], [np.sin(t), np.cos(t)]]
    m[:3, 3] = shift
    return m


def write_objects(site_packages: str) -> None:
    sys.path.insert(0, site_packages)
    sys.path.insert(0, str(ROOT / "tests"))
    import loam
    from volume_series import write_series

    with tempfile.TemporaryDirectory() as tmp:
        positions = [(-8.0, -12.0, 2.0 * k) for k in range(4)]
        fixed = write_series(Path(tmp) / "fixed", np.zeros((4, 8, 8), np.int16), positions, frame_of_reference="1.2.3.9")
        moving = write_series(Path(tmp) / "moving", np.zeros((4, 8, 8), np.int16), positions, series="1.2.3.2",
                              frame_of_reference="1.2.3.77")
        uids = {"sop_instance_uid": "1.2.826.0.1.3680043.9.5296.77.1", "series_instance_uid": "1.2.826.0.1.3680043.9.5296.77.2"}
        loam.write_registration(fixed, [{"images": moving, "matrices": [rotation_z(10, (5, -3, 2)), rotation_z(-4, (0, 1.5, 0))]},
                                        {"frame_of_reference_uid": "1.2.3.80", "matrix": np.diag([2.0, 2.0, 2.0, 1.0])}],
                                output=DATA / "registration_rigid.dcm", **uids)
        vectors = np.random.default_rng(3).normal(0, 0.8, (3, 4, 5, 3)).astype(np.float32)
        grid = {"origin": (-10.0, -14.0, -2.0), "spacing": (4.0, 5.0, 7.0), "vectors": vectors}
        loam.write_registration(fixed, [{"images": moving, "pre": rotation_z(3, (0.5, 0, 0)), "post": rotation_z(-2, (0, -1, 0.5)),
                                         "grid": grid}], deformable=True, output=DATA / "registration_deformable.dcm", **uids)


def main() -> int:
    write_objects(sys.argv[1])
    rigid = get_spatial_registrations(pydicom.dcmread(DATA / "registration_rigid.dcm"))
    deformable = get_deformable_registrations(pydicom.dcmread(DATA / "registration_deformable.dcm"))
    for entry in deformable:
        grid = entry["DeformableRegistrationGrid"]
        grid["VectorGridData"] = np.asarray(grid["VectorGridData"]).tolist()
    out = {"rigid": {f: {m: [float(v) for v in matrix] for m, matrix in inner.items()} for f, inner in rigid.items()},
           "deformable": json.loads(json.dumps(deformable, default=lambda o: np.asarray(o).tolist()))}
    (DATA / "registration_pydicomrt.json").write_text(json.dumps(out) + "\n")
    print(f"wrote {DATA / 'registration_pydicomrt.json'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
