"""Seeds and runs the libFuzzer harnesses built in build/fuzz.

    run.py --seconds N [harness ...]   fuzz each harness for N seconds (corpus in build/fuzz/corpus)
    run.py --smoke                     every harness once over its seeds (no mutation: deterministic)

Seeds come from ../shared/testdata and ../shared/fuzz-regressions (when present), the inputs under
tests/fuzz-cases/ that once broke a build (under raw/<harness>/ in that harness's own input format),
and small files made here for what the corpus lacks
(codec frames cut out of real files, JSON, NIfTI, series of several slices). New crashes are kept
under build/fuzz/crashes/; the exit status is 1 when any harness found one.
"""

from __future__ import annotations

import argparse
import warnings
import io
import os
import re
import shutil
import struct
import subprocess
import sys
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / "fuzz"
SHARED = ROOT.parent / "shared"
CASES = ROOT / "tests" / "fuzz-cases"
RAW = CASES / "raw"  # inputs in one harness's own format, under its name, that once broke it
DICTS = Path(__file__).resolve().parent / "dict"
CUT = b"\n--\n"
MAX_SEED = 160 * 1024

CODECS = {  # harness -> transfer syntaxes whose frames seed it
    "rle": ["1.2.840.10008.1.2.5"],
    "jpeg": ["1.2.840.10008.1.2.4.50", "1.2.840.10008.1.2.4.51", "1.2.840.10008.1.2.4.57", "1.2.840.10008.1.2.4.70"],
    "jpegls": ["1.2.840.10008.1.2.4.80", "1.2.840.10008.1.2.4.81"],
    "j2k": ["1.2.840.10008.1.2.4.90", "1.2.840.10008.1.2.4.91"],
    "htj2k": ["1.2.840.10008.1.2.4.201", "1.2.840.10008.1.2.4.202", "1.2.840.10008.1.2.4.203"],
    "jxl": ["1.2.840.10008.1.2.4.110", "1.2.840.10008.1.2.4.111", "1.2.840.10008.1.2.4.112"],
    "deflate_frame": ["1.2.840.10008.1.2.8.1"],
    "lzw": [],
}
# Longest input each harness is given (inputs longer are cut): whole-file harnesses keep their
# default, the parser, the JSON reader and the frame decoders run far faster on short inputs.
MAX_LEN = {"parse": 16384, "index": 16384, "json_read": 32768, **{"codec_" + name: 16384 for name in CODECS}}
DICTIONARY = {"codec_rle": None, "codec_lzw": None, "codec_deflate_frame": None, "charset": None,
              "nifti": None, "json_read": "json.dict"}


def harnesses() -> list[str]:
    return sorted(p.name[len("fuzz_"):] for p in BUILD.glob("fuzz_*") if p.is_file() and p.stat().st_mode & 0o111)


def dictionary(name: str) -> Path | None:
    if name in DICTIONARY:
        return DICTS / DICTIONARY[name] if DICTIONARY[name] else None
    return DICTS / ("codec.dict" if name.startswith("codec_") else "dicom.dict")


# ---- seeds ----

def small_files() -> list[Path]:
    found = []
    for top in (SHARED / "testdata", SHARED / "fuzz-regressions", CASES):
        if top.is_dir():
            found += [p for p in sorted(top.rglob("*")) if p.is_file() and 0 < p.stat().st_size <= MAX_SEED
                      and p.suffix not in (".json", ".md", ".txt", ".dump", ".py") and RAW not in p.parents]
    return found


def dicom_files(files: list[Path]) -> list[Path]:
    out = []
    for p in files:
        head = p.read_bytes()[:132]
        if head[128:132] == b"DICM" or (len(head) > 8 and head[0] in (2, 8) and head[1] == 0):
            out.append(p)
    return out


def codec_header(ds, frame: bytes) -> bytes:
    bits = int(getattr(ds, "BitsAllocated", 8))
    return struct.pack("<HHBB", int(ds.Columns), int(ds.Rows), int(getattr(ds, "SamplesPerPixel", 1)) - 1,
                       1 if bits > 8 else 0) + frame


def codec_seeds(dicoms: list[Path]) -> dict[str, list[bytes]]:
    import numpy as np
    import pydicom
    from pydicom.encaps import generate_frames

    import loam

    seeds: dict[str, list[bytes]] = {name: [] for name in CODECS}
    by_syntax = {ts: name for name, syntaxes in CODECS.items() for ts in syntaxes}
    for p in dicoms:
        try:
            ds = pydicom.dcmread(p)
            name = by_syntax.get(str(ds.file_meta.TransferSyntaxUID))
            if name is None or "PixelData" not in ds or len(seeds[name]) >= 24:
                continue
            frames = int(getattr(ds, "NumberOfFrames", 1) or 1)
            frame = next(generate_frames(ds.PixelData, number_of_frames=frames))
            if len(frame) <= 64 * 1024:
                seeds[name].append(codec_header(ds, frame))
        except Exception:  # an unreadable corpus file seeds nothing here
            continue
    # Every family also gets frames of small gradient images (8 and 16 bits, grey and colour), encoded
    # here: small frames decode fast, so the fuzzer tries many more mutations a second.
    for base in (sample_image(np, pydicom, bits, samples) for bits in (8, 16) for samples in (1, 3)):
        for name, syntaxes in CODECS.items():
            for syntax in syntaxes:
                try:
                    encoded = pydicom.dcmread(io.BytesIO(loam.transcode(base, syntax)))
                except Exception:  # a syntax that cannot hold this image (JPEG baseline at 16 bits)
                    continue
                frame = next(generate_frames(encoded.PixelData, number_of_frames=1))
                seeds[name].append(codec_header(encoded, frame))
    raw = np.arange(16 * 16, dtype=np.uint16).tobytes()
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    seeds["deflate_frame"].append(struct.pack("<HHBB", 16, 16, 0, 1) + compressor.compress(raw) + compressor.flush())
    # LZW words: literals below 32768, dictionary codes from 32768, 65535 at the end.
    words = [1, 2, 3, 0x8000, 0x8001, 4, 0x8003, 5, 5, 5, 0x8006, 0xFFFF]
    seeds["lzw"].append(struct.pack("<HHBB", 4, 4, 0, 1) + struct.pack(f"<{len(words)}H", *words))
    return seeds


def sample_image(np, pydicom, bits: int = 8, samples: int = 1) -> bytes:
    from pydicom.dataset import FileMetaDataset
    from pydicom.uid import ExplicitVRLittleEndian, generate_uid

    ds = pydicom.Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.file_meta.MediaStorageSOPClassUID = ds.SOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
    ds.file_meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID = generate_uid()
    ds.Rows, ds.Columns, ds.SamplesPerPixel = 24, 20, samples
    ds.PhotometricInterpretation = "MONOCHROME2" if samples == 1 else "RGB"
    if samples > 1:
        ds.PlanarConfiguration = 0
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = bits, bits, bits - 1, 0
    ramp = np.add.outer(np.arange(24), np.arange(20)) * (5 if bits == 8 else 1277) % (1 << bits)
    image = np.repeat(ramp[..., None], samples, axis=2) if samples > 1 else ramp
    ds.PixelData = image.astype(np.uint8 if bits == 8 else np.uint16).tobytes()
    out = io.BytesIO()
    ds.save_as(out, enforce_file_format=True)
    return out.getvalue()


def series_seeds(np, pydicom) -> list[bytes]:
    """Three 8 x 8 CT slices, and three DWI slices at b = 0, 500, 1000, each joined into one input."""
    from pydicom.dataset import FileMetaDataset
    from pydicom.uid import ExplicitVRLittleEndian, generate_uid

    out = []
    for modality, bvals in (("CT", [None] * 3), ("MR", [0, 500, 1000])):
        series, parts = generate_uid(), []
        for z, b in enumerate(bvals):
            ds = pydicom.Dataset()
            ds.file_meta = FileMetaDataset()
            ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
            sop = "1.2.840.10008.5.1.4.1.1.2" if modality == "CT" else "1.2.840.10008.5.1.4.1.1.4"
            ds.file_meta.MediaStorageSOPClassUID = ds.SOPClassUID = sop
            ds.file_meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID = generate_uid()
            ds.Modality, ds.SeriesInstanceUID, ds.StudyInstanceUID = modality, series, series + ".1"
            ds.Manufacturer = "SIEMENS" if b is not None else "GE"
            ds.InstanceNumber = z + 1
            ds.ImagePositionPatient = [0, 0, 0 if b is not None else z * 2.5]
            ds.ImageOrientationPatient = [1, 0, 0, 0, 1, 0]
            ds.PixelSpacing, ds.SliceThickness = [0.5, 0.5], 2.5
            ds.Rows = ds.Columns = 8
            ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
            ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 12, 11, 0
            ds.RescaleSlope, ds.RescaleIntercept = 1, -1024
            if b is not None:
                ds.DiffusionBValue = b
                ds.DiffusionGradientOrientation = [1, 0, 0] if b else [0, 0, 0]
            ds.PixelData = (np.arange(64, dtype=np.uint16) * (z + 1)).tobytes()
            buf = io.BytesIO()
            ds.save_as(buf, enforce_file_format=True)
            parts.append(buf.getvalue())
        out.append(CUT.join(parts))
    return out


def nifti_seeds(np) -> list[bytes]:
    import nibabel

    out = []
    for dtype, shape in ((np.int16, (4, 3, 2)), (np.float32, (2, 2, 2, 3)), (np.uint8, (5, 1, 1))):
        img = nibabel.Nifti1Image(np.arange(np.prod(shape)).reshape(shape).astype(dtype), np.diag([2, 2, 3, 1]))
        img.header.set_slope_inter(2, -1)
        raw = img.to_bytes()
        out += [b"\0" + raw, b"\1" + zlib_gzip(raw)]
    return out


def zlib_gzip(raw: bytes) -> bytes:
    import gzip
    return gzip.compress(raw, mtime=0)


def charset_seeds(pydicom, dicoms: list[Path]) -> list[bytes]:
    names = re.findall(r'"([^"]*)"', (Path(__file__).parent / "charset.cpp").read_text().split("kCharsets[]")[1]
                       .split("};")[0])
    out = []
    for p in dicoms:
        try:
            ds = pydicom.dcmread(p, stop_before_pixels=True)
            charset = ds.get("SpecificCharacterSet")
            if charset is None:
                continue
            term = "\\".join(charset) if isinstance(charset, (list, pydicom.multival.MultiValue)) else str(charset)
            raw = ds.get_item(0x00100010)
            value = raw.value if isinstance(raw.value, bytes) else None
            if value and term in names:
                out.append(bytes([names.index(term)]) + value)
        except Exception:
            continue
    out += [bytes([i]) + b"Yamada^Tarou=\x1b$B;3ED\x1b(B^\x1b$BB@O:\x1b(B" for i in range(len(names))]
    return out


def json_seeds(dicoms: list[Path]) -> list[bytes]:
    import loam

    out = []
    for p in dicoms[:120]:
        try:
            out.append(loam.read_json(str(p)).encode())
        except Exception:
            continue
    return [s for s in out if len(s) <= MAX_SEED]


def display_seeds(dicoms: list[Path]) -> list[bytes]:
    """Images followed by a presentation state of them (annotations, VOI, area, rotation), and
    pairs of classic images for the legacy converter."""
    import loam

    out = []
    grey = [p for p in dicoms if b"MONOCHROME" in p.read_bytes()[:8192]][:6]
    for p in grey:
        try:
            state = loam.write_pr([str(p)], [{"layer": "A", "graphics": [
                {"type": "POLYLINE", "points": [[1, 1], [9, 1], [9, 9], [1, 1]], "filled": True},
                {"type": "ELLIPSE", "points": [[2, 5], [8, 5], [5, 3], [5, 7]]}], "texts": [{"text": "t", "anchor": [3, 3]}]}],
                voi={"center": 100, "width": 400}, rotation=90, flip=True,
                displayed_area={"top_left": [-2, 1], "bottom_right": [20, 16]})
        except (RuntimeError, ValueError):
            continue
        out.append(p.read_bytes() + CUT + state)
        out.append(p.read_bytes() + CUT + p.read_bytes())
    return [s for s in out if len(s) <= MAX_SEED]


def write_seeds() -> Path:
    import numpy as np
    import pydicom

    seeds = BUILD / "seeds"
    shutil.rmtree(seeds, ignore_errors=True)
    files = small_files()
    dicoms = dicom_files(files)
    dicom_bytes = [p.read_bytes() for p in dicoms]
    regressions = SHARED / "fuzz-regressions"
    rtstruct = [p for p in dicoms if b"RTSTRUCT" in p.read_bytes()[:4096]]
    rtdose = [p for p in dicoms if b"RTDOSE" in p.read_bytes()[:4096]]
    slide = sorted((ROOT / "build" / "demo" / "slide").glob("*.dcm"))
    sets: dict[str, list[bytes]] = {
        "parse": dicom_bytes, "render": dicom_bytes, "json_write": dicom_bytes, "seg": dicom_bytes, "sr": dicom_bytes,
        "vendor": dicom_bytes, "wsi": dicom_bytes, "dicomdir": dicom_bytes, "volume": dicom_bytes, "index": dicom_bytes,
        "rt": dicom_bytes + [s.read_bytes() + CUT + d.read_bytes() for s in rtstruct[:4] for d in rtdose[:4]],
        "deident": [bytes([i * 37 % 64]) + b for i, b in enumerate(dicom_bytes)],
        "transcode": [bytes([i % 10]) + b for i, b in enumerate(dicom_bytes)],
        "nifti": nifti_seeds(np) + [b"\1" + p.read_bytes() for p in regressions.glob("*.nii.gz")],
        "charset": charset_seeds(pydicom, dicoms),
        "json_read": json_seeds(dicoms),
    }
    sets["volume"] += series_seeds(np, pydicom)
    sets["display"] = dicom_bytes + display_seeds(dicoms)
    if slide:
        sets["wsi"].append(CUT.join(p.read_bytes() for p in slide[1:]))
    for name, frames in codec_seeds(dicoms).items():
        sets["codec_" + name] = frames
    for folder in sorted(RAW.iterdir()) if RAW.is_dir() else []:
        sets.setdefault(folder.name, []).extend(p.read_bytes() for p in sorted(folder.iterdir()))
    for name, blobs in sets.items():
        folder = seeds / name
        folder.mkdir(parents=True, exist_ok=True)
        for i, blob in enumerate(blobs):
            (folder / f"{i:04d}").write_bytes(blob)
    return seeds


# ---- running ----

def run(name: str, seconds: int, corpus: Path | None, seeds: Path, extra: list[str]) -> tuple[int, bool]:
    crashes = BUILD / "crashes"
    crashes.mkdir(parents=True, exist_ok=True)
    args = [str(BUILD / f"fuzz_{name}"), f"-max_total_time={seconds}", "-timeout=10", "-rss_limit_mb=2048",
            "-print_final_stats=1", f"-artifact_prefix={crashes}/{name}-"]
    if name in MAX_LEN:
        args.append(f"-max_len={MAX_LEN[name]}")
    if (d := dictionary(name)) is not None:
        args.append(f"-dict={d}")
    dirs = [seeds / name]
    if corpus is not None:
        (corpus / name).mkdir(parents=True, exist_ok=True)
        dirs.insert(0, corpus / name)
    # A contained assertion inside OpenJPEG leaves the library's scratch of that code-block behind.
    env = dict(os.environ, LSAN_OPTIONS=f"suppressions={Path(__file__).parent / 'lsan.supp'}:print_suppressions=0")
    # The log is written as the run goes, so a long run can be watched.
    (BUILD / "logs").mkdir(exist_ok=True)
    log_path = BUILD / "logs" / f"{name}.log"
    with log_path.open("wb") as log_file:
        proc = subprocess.run(args + extra + [str(d) for d in dirs if d.is_dir()], stdout=subprocess.DEVNULL,
                              stderr=log_file, env=env)
    log = log_path.read_text(errors="replace")
    runs = re.search(r"stat::number_of_executed_units:\s*(\d+)", log)
    return int(runs.group(1)) if runs else 0, proc.returncode == 0


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=int, default=60)
    ap.add_argument("--smoke", action="store_true")
    ap.add_argument("harness", nargs="*")
    a = ap.parse_args()
    names = a.harness or harnesses()
    if not names:
        print("no harnesses under build/fuzz: build them with make fuzz", file=sys.stderr)
        return 2
    warnings.simplefilter("ignore")  # pydicom's complaints about the corpus's odd files
    seeds = write_seeds()
    failed = []
    for name in names:
        if a.smoke:
            runs, ok = run(name, 60, None, seeds, ["-runs=0"])
        else:
            runs, ok = run(name, a.seconds, BUILD / "corpus", seeds, [])
        print(f"{name:22s} {runs:>12,d} executions  {'ok' if ok else 'FAILED, see build/fuzz/logs/' + name + '.log'}",
              flush=True)
        if not ok:
            failed.append(name)
    if failed:
        print("crashing inputs are under build/fuzz/crashes/", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
