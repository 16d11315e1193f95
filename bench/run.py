"""Speed of the fast paths, text decoding and editing against pydicom on the same files.

Runs over ../shared/testdata when present, otherwise over files written here. Prints one line
per measurement with the ratio (pydicom time / loam time, higher is better).
"""

from __future__ import annotations

import io
import sys
import tempfile
import time
import warnings
from collections.abc import Callable
from pathlib import Path

import pydicom

import loam
import loam._core as core

ROOT = Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "testdata"
ROUNDS = 5


def corpus() -> list[str]:
    if CORPUS.is_dir():
        return sorted(str(p) for p in CORPUS.rglob("*") if p.is_file())
    sys.path.insert(0, str(ROOT / "examples"))
    from make_sample import sample

    out = Path(tempfile.mkdtemp(prefix="loam-bench-"))
    for i in range(200):
        (out / f"{i}.dcm").write_bytes(sample())
    return sorted(str(p) for p in out.iterdir())


def best_of(fn: Callable[[str], object], files: list[str]) -> float:
    best = float("inf")
    for _ in range(ROUNDS):
        start = time.perf_counter()
        for f in files:
            fn(f)
        best = min(best, time.perf_counter() - start)
    return best


def pydicom_meta(path: str) -> object:
    try:
        return pydicom.dcmread(path, stop_before_pixels=True, force=True)
    except Exception:
        return None


def pydicom_has_pixels(path: str) -> bool:
    try:
        ds = pydicom.dcmread(path, force=True)
        return "PixelData" in ds or "FloatPixelData" in ds or "DoubleFloatPixelData" in ds
    except Exception:
        return False


TEXT_VRS = {"AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "LT", "PN", "SH", "ST", "TM", "UC", "UI", "UR", "UT"}


def loam_texts(data: bytes) -> object:
    try:
        return core._decode_text(data)
    except ValueError:
        return None


def pydicom_texts(data: bytes) -> object:
    try:
        ds = pydicom.dcmread(io.BytesIO(data), force=True)
        return [str(e.value) for e in ds if e.VR in TEXT_VRS]
    except Exception:
        return None


def loam_edit(data: bytes) -> object:
    return loam.edit_part10(data, [(0x00100010, "insert", "Edited^Name", 0)])


def pydicom_edit(data: bytes) -> object:
    ds = pydicom.dcmread(io.BytesIO(data))
    ds.PatientName = "Edited^Name"
    out = io.BytesIO()
    ds.save_as(out)
    return out.getvalue()


def editable(files: list[str]) -> list[bytes]:
    """The native files both tools can edit."""
    found = []
    for f in files:
        data = Path(f).read_bytes()
        try:
            loam_edit(data)
            pydicom_edit(data)
        except Exception:
            continue
        found.append(data)
    return found


def report(name: str, ours: float, theirs: float, n: int, target: float | None = None) -> None:
    ratio = theirs / ours
    goal = "" if target is None else f" (target {target:.0f}x, {'ok' if ratio >= target else 'BELOW TARGET'})"
    print(f"{name:<44} loam {ours * 1e6 / n:8.1f} us/file   pydicom {theirs * 1e6 / n:8.1f} us/file   "
          f"ratio {ratio:6.1f}x{goal}")


def main() -> int:
    warnings.simplefilter("ignore")
    files = corpus()
    print(f"{len(files)} files from {CORPUS if CORPUS.is_dir() else 'generated samples'}, best of {ROUNDS} rounds")
    for f in files:  # warm the page cache and the lazy indexes
        Path(f).read_bytes()
    loam.tag_for_keyword("PatientName")
    report("read_file_meta vs dcmread(stop_before_pixels)", best_of(loam.read_file_meta, files),
           best_of(pydicom_meta, files), len(files), 20)
    report("has_pixel_data vs dcmread + 'PixelData' in ds", best_of(loam.has_pixel_data, files),
           best_of(pydicom_has_pixels, files), len(files), 10)
    buffers = [Path(f).read_bytes() for f in files]
    report("text elements to str vs dcmread + str(value)", best_of(loam_texts, buffers),
           best_of(pydicom_texts, buffers), len(buffers))
    native = editable(files)
    report(f"edit_part10 vs dcmread + set + save_as ({len(native)})", best_of(loam_edit, native),
           best_of(pydicom_edit, native), len(native))
    return 0


if __name__ == "__main__":
    sys.exit(main())
