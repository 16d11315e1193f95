"""Archive-scale jobs: index, de-identify, transcode and convert whole folder trees.

Each job streams over the files it discovers in bounded batches (the archive is never held in
memory), runs the batches on an executor (threads by default, a process pool, or a Dask cluster),
and keeps a record of every finished batch so that running the same job again, after an
interruption or to pick up new files, skips the work already done. Each returns a summary
(done, skipped, failed with reasons) that is also written beside its outputs.

Executors:

- ``"thread"`` (default): a thread pool of ``workers`` threads (the CPU count) in this process; the
  native core releases the interpreter lock, so threads scale with cores.
- ``"process"``: a pool of ``workers`` processes.
- a ``dask.distributed.Client``, or a scheduler address such as ``"tcp://10.0.0.5:8786"``: the
  batches run as Dask tasks on that cluster's workers, which must see the same paths.

Parquet (``pyarrow``) is needed by `index` and Dask (``distributed``) by a cluster executor; both
come with ``pip install "loam-dicom[batch]"`` and are imported only when used.
"""

from __future__ import annotations

import concurrent.futures
import csv
import hashlib
import json
import multiprocessing
import os
import re
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any

import numpy as np

from . import _core

__all__ = ["INDEX_COLUMNS", "SERIES_COLUMNS", "discover", "index", "deidentify", "transcode", "convert",
           "MissingDependency"]

#: The header attributes of an index, by keyword (the column names of the BigQuery DICOM export and
#: IDC's ``dicom_all``). Values are typed by VR: IS and the binary integers int64, DS/FL/FD
#: float64, DA date32, TM time64[us], the rest text; attributes that may hold several values
#: are lists.
INDEX_COLUMNS: tuple[str, ...] = (
    "TransferSyntaxUID", "MediaStorageSOPClassUID", "MediaStorageSOPInstanceUID", "ImplementationClassUID",
    "ImplementationVersionName", "SourceApplicationEntityTitle",
    "SpecificCharacterSet", "SOPClassUID", "SOPInstanceUID", "StudyInstanceUID", "SeriesInstanceUID",
    "FrameOfReferenceUID", "PatientID", "PatientName", "PatientBirthDate", "PatientSex", "PatientAge",
    "PatientWeight", "AccessionNumber", "StudyID", "StudyDate", "StudyTime", "StudyDescription", "SeriesDate",
    "SeriesTime", "SeriesDescription", "SeriesNumber", "AcquisitionDate", "AcquisitionTime", "AcquisitionNumber",
    "ContentDate", "ContentTime", "InstanceNumber", "Modality", "BodyPartExamined", "Laterality",
    "ProtocolName", "Manufacturer", "ManufacturerModelName", "DeviceSerialNumber", "SoftwareVersions",
    "InstitutionName", "StationName", "ImageType", "Rows", "Columns", "NumberOfFrames", "SamplesPerPixel",
    "BitsAllocated", "BitsStored", "HighBit", "PixelRepresentation", "PhotometricInterpretation",
    "PlanarConfiguration", "PixelSpacing", "SliceThickness", "SpacingBetweenSlices", "SliceLocation",
    "ImagePositionPatient", "ImageOrientationPatient", "RescaleIntercept", "RescaleSlope", "RescaleType",
    "WindowCenter", "WindowWidth", "KVP", "ExposureTime", "XRayTubeCurrent", "ConvolutionKernel",
    "MagneticFieldStrength", "RepetitionTime", "EchoTime", "InversionTime", "FlipAngle", "EchoNumbers",
    "ScanningSequence", "SequenceName", "ContrastBolusAgent", "BurnedInAnnotation", "LossyImageCompression",
)

#: The series table: one row per Series Instance UID with these values of its first instance (in
#: path order), and its instance count, total size and Instance Number range.
SERIES_COLUMNS: tuple[str, ...] = (
    "SeriesInstanceUID", "StudyInstanceUID", "PatientID", "Modality", "SeriesNumber", "SeriesDescription",
    "SeriesDate", "BodyPartExamined", "Manufacturer", "ManufacturerModelName", "SOPClassUID",
    "FrameOfReferenceUID", "Rows", "Columns", "PixelSpacing", "SliceThickness", "ImageOrientationPatient",
    "TransferSyntaxUID",
)

Executor = Any  # "thread", "process", a dask.distributed.Client, a scheduler address or a concurrent Executor
Progress = Callable[[int, "int | None"], None]

_INSTALL = 'pip install "loam-dicom[batch]"'


class MissingDependency(ImportError):
    """An optional library that a job needs is not installed; the message says what to install."""


def _require(module: str, what: str) -> Any:
    import importlib

    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise MissingDependency(f"{what} needs the {module.split('.')[0]} package: {_INSTALL}") from exc


# -- discovery -------------------------------------------------------------------------------------

def discover(paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> Iterator[tuple[str, str]]:
    """Yields (path, relative path) for the DICOM files under each folder (by extension or the DICM
    mark) and for each file named, one folder at a time, in byte order of paths: the same archive
    always gives the same order, and no list of the whole archive is built."""
    roots = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    for root in (os.fspath(r) for r in roots):
        if not os.path.isdir(root):
            yield os.path.abspath(root), os.path.basename(root)
            continue
        top = os.path.abspath(root)
        cut = len(os.path.join(top, ""))
        for folder, dirs, _ in os.walk(top):
            dirs.sort(key=os.fsencode)
            for path in _core.scan_dicom_dir(folder, False):
                yield path, path[cut:]  # found under `top`: its relative path is what follows it


def _batches(files: Iterator[tuple[str, str]], size: int) -> Iterator[list[tuple[str, str]]]:
    batch: list[tuple[str, str]] = []
    for item in files:
        batch.append(item)
        if len(batch) == size:
            yield batch
            batch = []
    if batch:
        yield batch


def _batch_name(number: int, paths: Sequence[str]) -> str:
    """A batch's name: its number and a digest of its paths, so a changed archive never reuses a
    finished batch's record."""
    digest = hashlib.sha1("\n".join(paths).encode("utf-8", "surrogateescape")).hexdigest()[:12]
    return f"part-{number:05d}-{digest}"


def _temporary(path: str, folder: str | None = None) -> str:
    """A temporary name for `path`: hidden (Parquet readers of a folder skip it), in `folder` when
    given (a job's own folder, so that a killed job leaves nothing in a release)."""
    return os.path.join(folder or os.path.dirname(path),
                        f".{os.path.basename(path)}.{os.getpid()}.{threading.get_ident()}.tmp")


def _write_atomic(path: str, data: bytes, tmp_folder: str | None = None) -> None:
    """Writes through a temporary name, so a killed job never leaves a half-written file under the
    final name."""
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    tmp = _temporary(path, tmp_folder)
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def _sweep_temporaries(folder: str) -> None:
    """Removes what killed runs left half-written in a folder of the job's."""
    for name in os.listdir(folder):
        if name.startswith(".") and name.endswith(".tmp"):
            try:
                os.remove(os.path.join(folder, name))
            except FileNotFoundError:
                pass


def _read_record(path: str) -> dict[str, Any] | None:
    try:
        with open(path, encoding="utf-8") as f:
            return dict(json.load(f))
    except (OSError, ValueError):
        return None


# -- executors -------------------------------------------------------------------------------------

class _Runner:
    """Runs work functions on the chosen executor, with a bounded number of batches in flight."""

    def __init__(self, executor: Executor, workers: int | None) -> None:
        self.workers = max(1, workers or os.cpu_count() or 1)
        self._own: Any = None
        self._client: Any = None
        self._pool: concurrent.futures.Executor | None = None
        if executor is None or executor == "thread":
            self._pool = self._own = concurrent.futures.ThreadPoolExecutor(self.workers)
        elif executor == "process":
            # Not forked: the parent's threads (and their locks) must not be copied mid-flight.
            self._pool = self._own = concurrent.futures.ProcessPoolExecutor(
                self.workers, mp_context=multiprocessing.get_context("forkserver"))
        elif isinstance(executor, concurrent.futures.Executor):
            self._pool = executor
        elif isinstance(executor, str):
            distributed = _require("distributed", "running on a Dask cluster")
            self._client = self._own = distributed.Client(executor)
        elif hasattr(executor, "submit") and hasattr(executor, "scheduler"):
            self._client = executor
        else:
            raise ValueError(f"executor must be 'thread', 'process', a Dask Client or a scheduler address, "
                             f"not {executor!r}")
        if self._client is not None:
            self.workers = max(1, sum(w.get("nthreads", 1) for w in
                                      self._client.scheduler_info().get("workers", {}).values()))

    def run(self, fn: Callable[..., Any], tasks: Iterable[tuple[Any, ...]],
            on_result: Callable[[Any], None]) -> None:
        limit = 2 * self.workers
        pending: set[Any] = set()
        if self._client is not None:
            distributed = _require("distributed", "running on a Dask cluster")

            def submit(args: tuple[Any, ...]) -> Any:
                return self._client.submit(fn, *args, pure=False)

            def wait(fs: set[Any]) -> tuple[set[Any], set[Any]]:
                done, rest = distributed.wait(fs, return_when="FIRST_COMPLETED")
                return set(done), set(rest)
        else:
            assert self._pool is not None
            pool = self._pool

            def submit(args: tuple[Any, ...]) -> Any:
                return pool.submit(fn, *args)

            def wait(fs: set[Any]) -> tuple[set[Any], set[Any]]:
                done, rest = concurrent.futures.wait(fs, return_when=concurrent.futures.FIRST_COMPLETED)
                return set(done), set(rest)
        try:
            for args in tasks:
                pending.add(submit(args))
                while len(pending) >= limit:
                    done, pending = wait(pending)
                    for f in done:
                        on_result(f.result())
            while pending:
                done, pending = wait(pending)
                for f in done:
                    on_result(f.result())
        finally:
            for f in pending:
                f.cancel()

    def close(self) -> None:
        if self._own is not None:
            if self._client is not None:
                self._client.close()
            else:
                self._own.shutdown(wait=True, cancel_futures=True)


class _Tally:
    """What a job did, gathered from its batches' records."""

    def __init__(self, job: str, outputs: str, progress: Progress | None) -> None:
        self.job, self.outputs, self.progress = job, outputs, progress
        self.done = self.skipped = 0
        self.failed: list[dict[str, str]] = []
        self.total: int | None = None
        self.names: set[str] = set()  # the batches of this run, finished now or before
        self.start = time.monotonic()

    def add(self, record: dict[str, Any], skipped: bool) -> None:
        if skipped:
            self.skipped += int(record.get("done", 0))
        else:
            self.done += int(record.get("done", 0))
        self.failed += record.get("failed", [])
        if self.progress is not None:
            self.progress(self.done + self.skipped + len(self.failed), self.total)

    def summary(self, **extra: Any) -> dict[str, Any]:
        seconds = time.monotonic() - self.start
        return {"job": self.job, "outputs": self.outputs, "done": self.done, "skipped": self.skipped,
                "failed": sorted(self.failed, key=lambda f: f["path"]), "seconds": round(seconds, 3),
                "files_per_second": round(self.done / seconds, 1) if seconds > 0 else None, **extra}


def _run_batches(job: str, src: Any, outputs: str, records: str, batch_size: int, work: Callable[..., Any],
                 args: tuple[Any, ...], executor: Executor, workers: int | None,
                 progress: Progress | None) -> _Tally:
    """Discovers files, skips batches with a record of being finished, runs the others."""
    tally = _Tally(job, outputs, progress)
    runner = _Runner(executor, workers)
    counted = 0

    def tasks() -> Iterator[tuple[Any, ...]]:
        nonlocal counted
        for number, batch in enumerate(_batches(discover(src), batch_size)):
            counted += len(batch)
            name = _batch_name(number, [p for p, _ in batch])
            tally.names.add(name)
            record = _read_record(os.path.join(records, name + ".json"))
            if record is not None:
                tally.add(record, skipped=True)
                continue
            yield (name, batch, records, *args)
        tally.total = counted

    try:
        runner.run(work, tasks(), lambda record: tally.add(record, skipped=False))
    finally:
        runner.close()
    return tally


def _finish(record: dict[str, Any], records: str, name: str) -> dict[str, Any]:
    _write_atomic(os.path.join(records, name + ".json"), json.dumps(record, sort_keys=True).encode())
    return record


def _write_summary(summary: dict[str, Any], path: str) -> dict[str, Any]:
    _write_atomic(path, (json.dumps(summary, indent=2, sort_keys=True) + "\n").encode())
    return summary


def _tmp_folder(records: str) -> str:
    """The folder for a job's temporary files, beside its records (on the file system of its outputs)."""
    return os.path.join(os.path.dirname(records), "tmp")


def _job_folders(dst: str) -> tuple[str, str]:
    """Where a job that writes into `dst` keeps its records, temporary files and summary: beside
    `dst`, not in it, since they name the input files (a de-identified release must not). Returns
    the job's folder and its records' folder; what a killed run left half-written is removed."""
    jobs = os.path.abspath(dst).rstrip(os.sep) + ".job"
    records = os.path.join(jobs, "done")
    os.makedirs(records, exist_ok=True)
    os.makedirs(_tmp_folder(records), exist_ok=True)
    _sweep_temporaries(_tmp_folder(records))
    return jobs, records


# -- index -----------------------------------------------------------------------------------------

# Each batch's rows per series, merged into _series.parquet at the end.
_SERIES_PARTS = "_series_parts"


def _strings(pa: Any, buffers: tuple[Any, Any], large: bool = False) -> Any:
    """An Arrow string array over the core's (UTF-8 bytes, int64 offsets), without a str per value."""
    data, offsets = buffers
    if large:
        return pa.LargeStringArray.from_buffers(len(offsets) - 1, pa.py_buffer(offsets), pa.py_buffer(data))
    return pa.StringArray.from_buffers(len(offsets) - 1, pa.py_buffer(offsets.astype(np.int32)), pa.py_buffer(data))


def _arrow_column(pa: Any, kind: str, multi: bool, data: tuple[Any, ...]) -> Any:
    present, offsets, values, item_valid = data
    if kind == "text":
        items = _strings(pa, values)
    else:
        missing = item_valid == 0
        if kind == "date":
            items = pa.array(values.astype(np.int32), pa.date32(), mask=missing)
        elif kind == "time":
            items = pa.array(values, pa.time64("us"), mask=missing)
        else:
            items = pa.array(values, pa.int64() if kind == "integer" else pa.float64(), mask=missing)
    absent = present == 0
    if multi:
        return pa.ListArray.from_arrays(pa.array(offsets.astype(np.int32)), items, mask=pa.array(absent))
    # A scalar row holds its one value at offsets[r], or is null.
    return items.take(pa.array(np.minimum(offsets[:-1], max(len(items) - 1, 0)), mask=absent))


def index_schema(columns: Sequence[str] = INDEX_COLUMNS) -> Any:
    """The Arrow schema of an index with these columns: path, size, the columns, json."""
    pa = _require("pyarrow", "the index")
    kinds = {"text": pa.string(), "integer": pa.int64(), "real": pa.float64(), "date": pa.date32(),
             "time": pa.time64("us")}
    raw = _core._index_files([], list(columns), False)
    fields = [pa.field("path", pa.string()), pa.field("size", pa.int64())]
    for name, (kind, multi, _) in zip(columns, raw["columns"]):
        fields.append(pa.field(name, pa.list_(kinds[kind]) if multi else kinds[kind]))
    fields.append(pa.field("json", pa.large_string()))
    return pa.schema(fields)


def _index_table(paths: Sequence[str], columns: Sequence[str], with_json: bool) -> tuple[Any, list[dict[str, str]]]:
    """The rows of the readable files among `paths`, and the others with their reasons."""
    pa = _require("pyarrow", "the index")
    raw = _core._index_files(list(paths), list(columns), with_json)
    arrays = [pa.array(list(paths), pa.string()), pa.array(raw["size"], pa.int64())]
    arrays += [_arrow_column(pa, kind, multi, data) for kind, multi, data in raw["columns"]]
    # A batch's headers may pass 2 GB of text: 64-bit offsets.
    arrays.append(_strings(pa, raw["json"], large=True))
    names = ["path", "size", *columns, "json"]
    table = pa.Table.from_arrays(arrays, names=names)
    ok = np.array([e is None for e in raw["error"]], dtype=bool)
    failed = [{"path": p, "reason": e} for p, e in zip(paths, raw["error"]) if e is not None]
    if not ok.all():
        table = table.filter(pa.array(ok))
    if not with_json:
        table = table.drop(["json"])
    return table, failed


def _index_batch(name: str, batch: list[tuple[str, str]], records: str, out: str, columns: Sequence[str],
                 with_json: bool) -> dict[str, Any]:
    pq = _require("pyarrow.parquet", "the index")
    table, failed = _index_table([p for p, _ in batch], columns, with_json)
    target = os.path.join(out, name + ".parquet")
    tmp = _temporary(target)
    pq.write_table(table, tmp, compression="zstd")
    os.replace(tmp, target)
    if all(c in columns for c in SERIES_COLUMNS):
        # The batch's share of the series table, made here in parallel; merged at the end.
        part = os.path.join(out, _SERIES_PARTS, name + ".parquet")
        tmp = _temporary(part)
        pq.write_table(_series_part(table, int(name.split("-")[1])), tmp, compression="zstd")
        os.replace(tmp, part)
    return _finish({"done": table.num_rows, "failed": failed, "output": os.path.basename(target)}, records, name)


def index(paths_or_dirs: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], out: str = "index.parquet", *,
          columns: Sequence[str] = INDEX_COLUMNS, with_json: bool = True, executor: Executor = "thread",
          workers: int | None = None, batch_size: int = 2048, progress: Progress | None = None) -> dict[str, Any]:
    """Indexes DICOM files into a Parquet data set: one row per instance, read from each file's
    header alone.

    Args:
        paths_or_dirs: files and folders to index (folders are searched recursively).
        out: the folder of the data set. It holds one ``part-NNNNN-<digest>.parquet`` shard per
            batch, which DuckDB (``read_parquet('out/*.parquet')``), pandas, Spark and BigQuery read
            as one table; ``_series.parquet`` (one row per series, `SERIES_COLUMNS`) and
            ``_summary.json``, which Parquet readers of the folder skip; and ``_done/``, the record
            of finished batches that lets a second run skip them.
        columns: header keywords to index (default `INDEX_COLUMNS`); besides them every row has
            ``path``, ``size`` and, with `with_json`, ``json``: the data set as DICOM JSON without
            bulk data.
        with_json: whether to keep the whole header as JSON.
        executor: ``"thread"``, ``"process"``, a Dask ``Client`` or a scheduler address.
        workers: threads or processes of a local executor (default: the CPU count).
        batch_size: files per batch (and per shard).
        progress: called as ``progress(files_handled, total_or_None)`` after each batch; the total is
            known once discovery has finished.

    Returns:
        The summary: ``done`` (rows written), ``skipped`` (rows of batches finished by an earlier
        run), ``failed`` (``{"path", "reason"}`` for files that are not readable DICOM), ``series``,
        ``seconds`` and ``files_per_second``; also written to ``out/_summary.json``.

    Raises:
        MissingDependency: pyarrow (or, for a cluster, distributed) is not installed.
        ValueError: a column is not a DICOM keyword of a value that fits a column.
    """
    _require("pyarrow.parquet", "the index")
    columns = list(columns)
    index_schema(columns)  # unknown keywords are refused before any file is read
    out = os.path.abspath(os.fspath(out))
    records = os.path.join(out, "_done")
    os.makedirs(records, exist_ok=True)
    os.makedirs(os.path.join(out, _SERIES_PARTS), exist_ok=True)
    tally = _run_batches("index", paths_or_dirs, out, records, batch_size, _index_batch, (out, columns, with_json),
                         executor, workers, progress)
    _sweep_temporaries(out)
    _sweep_temporaries(os.path.join(out, _SERIES_PARTS))
    # Shards of an earlier run over other files (or other batch sizes) would repeat or keep rows.
    for folder, suffix in ((out, ".parquet"), (records, ".json"), (os.path.join(out, _SERIES_PARTS), ".parquet")):
        for f in os.listdir(folder):
            if f.startswith("part-") and f.endswith(suffix) and f[: -len(suffix)] not in tally.names:
                os.remove(os.path.join(folder, f))
    series = _write_series_table(out, tally.names) if all(c in columns for c in SERIES_COLUMNS) else 0
    return _write_summary(tally.summary(series=series), os.path.join(out, "_summary.json"))


def _series_of(table: Any) -> Any:
    """Per series of `table`: the values of its row of least "order", the instance count, the total
    size and the Instance Number range."""
    pc = _require("pyarrow.compute", "the index")
    table = table.filter(pc.is_valid(table["SeriesInstanceUID"]))
    groups = table.group_by("SeriesInstanceUID", use_threads=False).aggregate(
        [("order", "min"), ("instances", "sum"), ("size", "sum"), ("FirstInstanceNumber", "min"),
         ("LastInstanceNumber", "max")])
    first = pc.index_in(groups["order_min"], table["order"])
    out = table.take(first).select([c for c in table.column_names
                                    if c not in ("instances", "size", "FirstInstanceNumber", "LastInstanceNumber")])
    for name in ("instances", "size", "FirstInstanceNumber", "LastInstanceNumber"):
        agg = {"instances": "instances_sum", "size": "size_sum", "FirstInstanceNumber": "FirstInstanceNumber_min",
               "LastInstanceNumber": "LastInstanceNumber_max"}[name]
        out = out.append_column(name, groups[agg])
    return out


def _series_part(table: Any, number: int) -> Any:
    """A shard's rows per series, with the order of each first row among all rows (shard by
    shard, then row by row: the order files were found)."""
    pa = _require("pyarrow", "the index")
    part = table.select(["path", "size", "InstanceNumber", *SERIES_COLUMNS])
    part = part.append_column("instances", pa.array(np.ones(part.num_rows, dtype=np.int64)))
    part = part.append_column("FirstInstanceNumber", part["InstanceNumber"])
    part = part.append_column("LastInstanceNumber", part["InstanceNumber"]).drop(["InstanceNumber"])
    part = part.append_column("order", pa.array(np.arange(part.num_rows, dtype=np.int64) + (number << 32)))
    return _series_of(part)


def _write_series_table(out: str, names: set[str]) -> int:
    """One row per series, merged from the batches' shares (memory grows with the number of series,
    not of instances): the first instance's values in the order files were found, the number of
    instances, their total size and Instance Number range."""
    pa = _require("pyarrow", "the index")
    pq = _require("pyarrow.parquet", "the index")
    folder = os.path.join(out, _SERIES_PARTS)
    parts = [pq.read_table(os.path.join(folder, n + ".parquet")) for n in sorted(names)
             if os.path.exists(os.path.join(folder, n + ".parquet"))]
    target = os.path.join(out, "_series.parquet")
    if not parts:
        if os.path.exists(target):
            os.remove(target)
        return 0
    series = _series_of(pa.concat_tables(parts)).drop(["order"])
    series = series.rename_columns(["first_path" if n == "path" else n for n in series.column_names])
    order = [*SERIES_COLUMNS, "instances", "size", "FirstInstanceNumber", "LastInstanceNumber", "first_path"]
    series = series.select(order).sort_by([("StudyInstanceUID", "ascending"), ("SeriesInstanceUID", "ascending")])
    tmp = _temporary(target)
    pq.write_table(series, tmp, compression="zstd")
    os.replace(tmp, target)
    return int(series.num_rows)


# -- de-identification -----------------------------------------------------------------------------

# Characters a replaced identifier may not bring into a path.
_UNSAFE_PATH = re.compile(r"[^A-Za-z0-9._^-]")


def deidentified_path(dst: str, filed: dict[str, str]) -> str:
    """Where a de-identified file goes: folders of its replaced Patient ID, Study and Series Instance
    UIDs, named by its replaced SOP Instance UID; nothing of the input's own paths, which often
    hold names."""
    def part(key: str, fallback: str) -> str:
        return _UNSAFE_PATH.sub("_", filed.get(key, "").strip()) or fallback

    return os.path.join(dst, part("PatientID", "NO_ID"), part("StudyInstanceUID", "NO_STUDY"),
                        part("SeriesInstanceUID", "NO_SERIES"), part("SOPInstanceUID", "NO_INSTANCE") + ".dcm")


def write_unique(path: str, data: bytes, tmp_folder: str | None = None) -> str:
    """Writes `data` at `path`, or at path_2, path_3... when another file is there already; a file
    with the same bytes is the same output (a copy, or a batch done again) and is kept. Each name
    is taken by a hard link of a finished temporary file, which fails when the name exists: safe
    across threads and processes, and a killed job never leaves a half-written file there."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    stem = path[: -len(".dcm")] if path.endswith(".dcm") else path
    tmp = _temporary(path, tmp_folder)
    with open(tmp, "wb") as f:
        f.write(data)
    try:
        candidate, n = path, 1
        while True:
            try:
                os.link(tmp, candidate)
                return candidate
            except FileExistsError:
                if _same_bytes(candidate, data):
                    return candidate
            n += 1
            candidate = f"{stem}_{n}.dcm"
    finally:
        os.remove(tmp)


def _same_bytes(path: str, data: bytes) -> bool:
    try:
        if os.path.getsize(path) != len(data):
            return False
        with open(path, "rb") as f:
            return f.read() == data
    except OSError:
        return False


def _deid_batch(name: str, batch: list[tuple[str, str]], records: str, dst: str,
                options: dict[str, Any]) -> dict[str, Any]:
    done, failed, lookup, notes_out = 0, [], set(), []
    outputs: list[str] = []
    for path, _ in batch:
        if os.path.basename(path).upper().startswith("DICOMDIR"):
            failed.append({"path": path, "reason": "a DICOMDIR indexes the input's paths: make one anew over the output"})
            continue
        try:
            with open(path, "rb") as f:
                data = f.read()
            rows: list[tuple[str, str, str]] = []
            notes: list[str] = []
            filed: dict[str, str] = {}
            result = _core.deidentify(data, options, rows, notes, filed)
            target = write_unique(deidentified_path(dst, filed), result, _tmp_folder(records))
            outputs.append(os.path.relpath(target, dst))
            lookup.update(rows)
            notes_out += [{"path": path, "note": n} for n in notes]
            done += 1
        except (RuntimeError, ValueError, OSError) as exc:
            failed.append({"path": path, "reason": str(exc).removeprefix("deidentify: ")})
    return _finish({"done": done, "failed": failed, "outputs": outputs, "lookup": sorted(lookup),
                    "notes": notes_out}, records, name)


def deidentify(src: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], dst: str | os.PathLike[str],
               options: dict[str, Any] | None = None, key: bytes | str | None = None, *,
               lookup_table: str | os.PathLike[str] | None = None, executor: Executor = "thread",
               workers: int | None = None, batch_size: int = 64, progress: Progress | None = None) -> dict[str, Any]:
    """De-identifies every DICOM file under `src` into `dst` (the options of `loam.deidentify`).

    Outputs go to ``dst/<patient>/<study>/<series>/<SOP Instance UID>.dcm`` by their replaced
    identifiers. With the same `key`, every worker and every run replaces the same identifier by the
    same value, so files of one study processed anywhere stay one study.

    Args:
        src: files and folders to de-identify.
        dst: the release folder.
        options: de-identification options; ``key`` there is overridden by `key`.
        key: the secret that keys replaced UIDs and pseudonyms. Required unless options say
            ``unkeyed``: a job that is resumed or spread over workers must use one key.
        lookup_table: a CSV (kind, original, replacement) of every replacement, written at the end;
            keep it apart from the release.
        executor, workers, batch_size, progress: as for `index`.

    Returns:
        The summary (``done``, ``skipped``, ``failed``, ``uids_replaced``, ``notes``), also written to
        ``<dst>.job/summary.json``, beside the release and not in it.

    Raises:
        ValueError: no key, or a lookup table inside `dst`.
    """
    options = dict(options or {})
    dst = os.path.abspath(os.fspath(dst))
    if key is not None:
        options["key"] = key.encode() if isinstance(key, str) else bytes(key)
    elif not options.get("unkeyed") and "key" not in options:
        raise ValueError("deidentify needs a key: every worker and every run must replace identifiers alike")
    if lookup_table is not None and _inside(os.fspath(lookup_table), dst):
        raise ValueError(f"the lookup table {lookup_table} is inside the release {dst}: keep it apart")
    try:
        _core.deidentify(b"", options)  # options are checked once, before any file is read
    except RuntimeError:
        pass
    jobs, records = _job_folders(dst)
    tally = _run_batches("deidentify", src, dst, records, batch_size, _deid_batch, (dst, options), executor,
                         workers, progress)
    lookup: set[tuple[str, str, str]] = set()
    notes: list[dict[str, str]] = []
    for name in sorted(os.listdir(records)):
        record = _read_record(os.path.join(records, name)) or {}
        lookup.update(tuple(r) for r in record.get("lookup", []))
        notes += record.get("notes", [])
    if lookup_table is not None:
        fd = os.open(os.fspath(lookup_table), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            table = csv.writer(f)
            table.writerow(["kind", "original", "replacement"])
            table.writerows(sorted(lookup))
    summary = tally.summary(uids_replaced=sum(1 for kind, _, _ in lookup if kind == "uid"), notes=notes)
    return _write_summary(summary, os.path.join(jobs, "summary.json"))


def _inside(path: str, folder: str) -> bool:
    a, b = os.path.abspath(path), os.path.abspath(folder)
    return os.path.commonpath([a, b]) == b


# -- transcoding -----------------------------------------------------------------------------------

def _transcode_batch(name: str, batch: list[tuple[str, str]], records: str, dst: str, syntax: str,
                     quality: int) -> dict[str, Any]:
    done, failed = 0, []
    for path, rel in batch:
        try:
            with open(path, "rb") as f:
                data = _core.transcode(f.read(), syntax, quality)
            _write_atomic(os.path.join(dst, rel), data, _tmp_folder(records))
            done += 1
        except (RuntimeError, ValueError, OSError) as exc:
            failed.append({"path": path, "reason": str(exc)})
    return _finish({"done": done, "failed": failed}, records, name)


def transcode(src: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], dst: str | os.PathLike[str],
              transfer_syntax: str, *, quality: int = 97, executor: Executor = "thread", workers: int | None = None,
              batch_size: int = 64, progress: Progress | None = None) -> dict[str, Any]:
    """Re-encodes every DICOM file under `src` into `transfer_syntax` (a UID), written under `dst` at
    the same relative path as under its source folder.

    Args:
        src: files and folders.
        dst: the output folder.
        transfer_syntax: the target transfer syntax UID.
        quality: the quality of lossy targets (as for `loam.transcode`).
        executor, workers, batch_size, progress: as for `index`.

    Returns:
        The summary, also written to ``<dst>.job/summary.json``.
    """
    dst = os.path.abspath(os.fspath(dst))
    jobs, records = _job_folders(dst)
    tally = _run_batches("transcode", src, dst, records, batch_size, _transcode_batch,
                         (dst, transfer_syntax, quality), executor, workers, progress)
    return _write_summary(tally.summary(transfer_syntax=transfer_syntax), os.path.join(jobs, "summary.json"))


# -- conversion ------------------------------------------------------------------------------------

def _convert_series(name: str, output: Any, records: str, dst: str, pattern: str, suffix: str,
                    sidecar: bool) -> dict[str, Any]:
    from . import convert as conv

    stem = os.path.join(dst, conv.base_name(output, pattern, "series"))
    try:
        result = conv.convert_output(output, stem, suffix, sidecar, set(), True)
        error = result.error
    except (RuntimeError, ValueError, OSError) as exc:
        result, error = None, str(exc)
    if error:
        record = {"done": 0, "failed": [{"path": output.files[0], "reason": f"series {output.series_uid}: {error}"}]}
    else:
        assert result is not None
        record = {"done": len(output.files), "failed": [], "outputs": [os.path.relpath(w, dst) for w in result.written],
                  "notes": result.notes}
    return _finish(record, records, name)


def convert(src: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], dst: str | os.PathLike[str], *,
            format: str = "nii.gz", filename: str = "%s_%d_%j", sidecar: bool = True,
            executor: Executor = "thread", workers: int | None = None,
            progress: Progress | None = None) -> dict[str, Any]:
    """Converts every image series under `src` into volume files in `dst`, with BIDS sidecars (and
    bval/bvec for diffusion), one series per task.

    Args:
        src: files and folders.
        dst: the output folder.
        format: ``"nii.gz"`` (default), ``"nii"``, ``"nrrd"`` or another format of ``loam convert``.
        filename: the dcm2niix-style name pattern; ``_%j`` (the Series Instance UID) is added when it
            lacks ``%j``, so that every series has a name of its own that a second run finds again.
        sidecar: write the JSON sidecars.
        executor, workers, progress: as for `index`.

    Returns:
        The summary (``done`` counts files of converted series), also written to
        ``<dst>.job/summary.json``.
    """
    from . import convert as conv

    if format not in conv.FORMATS:
        raise ValueError(f"unknown format {format!r} (formats: {', '.join(sorted(conv.FORMATS))})")
    if "%j" not in filename:
        filename += "_%j"
    dst = os.path.abspath(os.fspath(dst))
    os.makedirs(dst, exist_ok=True)
    jobs, records = _job_folders(dst)
    # Series span folders: their files are grouped before any is converted.
    files = [p for p, _ in discover(src)]
    keys: list[dict[str, Any]] = []
    for start in range(0, len(files), 4096):
        keys += _core._series_keys(files[start:start + 4096])
    outputs = conv.plan(files, keys)
    tally = _Tally("convert", dst, progress)
    tally.total = sum(len(o.files) for o in outputs)

    def tasks() -> Iterator[tuple[Any, ...]]:
        for output in outputs:
            name = _batch_name(0, [output.series_uid, str(output.echo), output.part, *output.files])
            record = _read_record(os.path.join(records, name + ".json"))
            if record is not None:
                tally.add(record, skipped=True)
                continue
            yield (name, output, records, dst, filename, conv.FORMATS[format], sidecar)

    runner = _Runner(executor, workers)
    try:
        runner.run(_convert_series, tasks(), lambda record: tally.add(record, skipped=False))
    finally:
        runner.close()
    return _write_summary(tally.summary(series=len(outputs)), os.path.join(jobs, "summary.json"))
