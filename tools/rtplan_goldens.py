#!/usr/bin/env python3
"""dicompyler-core's reading of the RT Plans the tests use, saved as tests/data/rtplan_dicompyler.json.

dicompyler-core 0.5 imports pydicom 2's `read_file`, so it runs in a scratch environment of its own:

    python3.11 -m venv /tmp/peers-rt && /tmp/peers-rt/bin/pip install "pydicom<3" dicompyler-core
    /tmp/peers-rt/bin/python tools/rtplan_goldens.py
"""
import json
from pathlib import Path

from dicompylercore import dicomparser

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared"
PLANS = ["realdata/dicompyler-core/tests/testdata/example_data/rtplan.dcm", "testdata/pydicom/test_files/rtplan.dcm"]


def main() -> None:
    out = {}
    for name in PLANS:
        parser = dicomparser.DicomParser(str(SHARED / name))
        beams = parser.GetReferencedBeamsInFraction()
        out[name] = {"plan": parser.GetPlan(),
                     "beams": {str(k): {"name": v["name"], "dose": v.get("dose")} for k, v in beams.items()}}
    target = ROOT / "tests" / "data" / "rtplan_dicompyler.json"
    target.write_text(json.dumps(out, indent=1, sort_keys=True, default=float) + "\n")
    print(f"wrote {target}")


if __name__ == "__main__":
    main()
