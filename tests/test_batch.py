"""Archive jobs: the index against pydicom, executors that agree, resuming after a kill, keyed
de-identification across workers."""

from __future__ import annotations

import datetime
import os
import shutil
import signal
import subprocess
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow", reason="the batch extra (pyarrow) is not installed")
pq = pytest.importorskip("pyarrow.parquet")

import loam  # noqa: E402
from loam import batch  # noqa: E402
from volume_series import write_series  # noqa: E402

SHARED = Path(__file__).resolve().parent.parent.parent / "shared"


def rows_of(out) -> list[dict]:
    return sorted(pq.read_table(out).to_pylist(), key=lambda r: r["path"])


def synthetic_archive(root: Path, studies: int = 3, series_per_study: int = 2, slices: int = 6) -> Path:
    """Small CT series, each study in a folder of its own."""
    volume = np.arange(slices * 4 * 4, dtype=np.int16).reshape(slices, 4, 4)
    for s in range(studies):
        for k in range(series_per_study):
            extra = {0x0020000D: ("UI", f"1.2.826.0.1.9.{s}"), 0x00100020: ("LO", f"PAT{s}"),
                     0x00200011: ("IS", str(k + 1)), 0x0008103E: ("LO", f"series {k + 1}")}
            write_series(root / f"study{s}" / f"series{k}", volume, [(0, 0, 2.0 * z) for z in range(slices)],
                         series=f"1.2.826.0.1.9.{s}.{k}", extra=extra)
    return root


# -- values --------------------------------------------------------------------------------------

def test_index_columns_are_typed_by_vr(tmp_path):
    archive = synthetic_archive(tmp_path / "in", studies=1, series_per_study=1, slices=2)
    summary = batch.index(archive, tmp_path / "ix")
    assert (summary["done"], summary["skipped"], summary["failed"], summary["series"]) == (2, 0, [], 1)
    table = pq.read_table(tmp_path / "ix")
    types = {f.name: f.type for f in table.schema}
    assert types["Rows"] == pa.int64() and types["SliceThickness"] == pa.float64()
    assert types["PixelSpacing"] == pa.list_(pa.float64()) and types["ImageType"] == pa.list_(pa.string())
    assert types["StudyDate"] == pa.date32() and types["StudyTime"] == pa.time64("us")
    row = rows_of(tmp_path / "ix")[1]
    assert row["PixelSpacing"] == [0.5, 0.75] and row["ImagePositionPatient"] == [0.0, 0.0, 2.0]
    assert row["ImageType"] == ["ORIGINAL", "PRIMARY", "AXIAL"] and row["Rows"] == 4
    assert row["TransferSyntaxUID"] == "1.2.840.10008.1.2.1" and row["StudyDate"] is None
    assert row["size"] == os.path.getsize(row["path"])
    assert loam.read(row["path"]).to_json() != "" and '"00280010"' in row["json"]
    series = pq.read_table(tmp_path / "ix" / "_series.parquet").to_pylist()
    assert [(s["SeriesInstanceUID"], s["instances"], s["FirstInstanceNumber"], s["LastInstanceNumber"])
            for s in series] == [("1.2.826.0.1.9.0.0", 2, 1, 2)]


@pytest.mark.parametrize("text, kind, expected", [
    ("20240229", "StudyDate", datetime.date(2024, 2, 29)),
    ("2024.02.29", "StudyDate", datetime.date(2024, 2, 29)),
    ("20230229", "StudyDate", None),  # no such day: null, the JSON keeps the text
    ("1402", "StudyTime", datetime.time(14, 2)),
    ("140233.5", "StudyTime", datetime.time(14, 2, 33, 500000)),
    ("14:02:33", "StudyTime", datetime.time(14, 2, 33)),
    ("25", "StudyTime", None),
    (" 12 ", "SeriesNumber", 12),
    ("12.0", "SeriesNumber", 12),
    ("1.5", "SeriesNumber", None),
    ("1e1", "SliceThickness", 10.0),
    ("abc", "SliceThickness", None),
])
def test_index_reads_text_numbers_dates_and_times(tmp_path, text, kind, expected):
    vr = {"StudyDate": "DA", "StudyTime": "TM", "SeriesNumber": "IS", "SliceThickness": "DS"}[kind]
    tag = int(loam.tag_for_keyword(kind))
    volume = np.zeros((1, 2, 2), dtype=np.int16)
    write_series(tmp_path / "in", volume, [(0, 0, 0)], extra={tag: (vr, text)})
    batch.index(tmp_path / "in", tmp_path / "ix", columns=[kind])
    (row,) = rows_of(tmp_path / "ix")
    assert row[kind] == expected
    assert text.strip() in row["json"]


def test_unreadable_files_are_reported_not_indexed(tmp_path):
    archive = synthetic_archive(tmp_path / "in", studies=1, series_per_study=1, slices=2)
    (archive / "broken.dcm").write_bytes(b"\0" * 128 + b"DICM" + b"\x02\x00")
    summary = batch.index([archive, tmp_path / "none.dcm"], tmp_path / "ix")
    assert summary["done"] == 2
    reasons = {Path(f["path"]).name: f["reason"] for f in summary["failed"]}
    assert set(reasons) == {"broken.dcm", "none.dcm"}
    assert reasons["none.dcm"].startswith("cannot open")


def test_unknown_column_is_refused_before_any_file_is_read(tmp_path):
    with pytest.raises(ValueError, match="PixelDataX"):
        batch.index(tmp_path, tmp_path / "ix", columns=["Rows", "PixelDataX"])
    with pytest.raises(ValueError, match="ReferencedSeriesSequence"):
        batch.index(tmp_path, tmp_path / "ix", columns=["ReferencedSeriesSequence"])


def pydicom_value(ds, keyword: str, field):
    """What the index should hold for this attribute, from pydicom's reading."""
    from pydicom.multival import MultiValue

    multi = pa.types.is_list(field.type)
    typ = field.type.value_type if multi else field.type
    source = ds.file_meta if keyword in ds.file_meta else ds
    value = source.get(keyword)
    if value is None or value == "" or (isinstance(value, (list, MultiValue)) and len(value) == 0):
        return None
    values = list(value) if isinstance(value, (list, MultiValue)) else [value]
    vr = source[keyword].VR

    def one(v):
        if pa.types.is_string(typ):
            text = str(v)
            return text if vr in ("PN", "UC", "LT", "ST", "UT") else text.strip()
        if v is None or v == "":
            return None
        if pa.types.is_int64(typ):
            return int(v)
        if pa.types.is_float64(typ):
            return float(v)
        text = str(v)
        if pa.types.is_date32(typ):
            text = text.replace(".", "")
            return datetime.date(int(text[:4]), int(text[4:6]), int(text[6:8]))
        main, _, fraction = text.replace(":", "").partition(".")
        return datetime.time(int(main[:2]), int(main[2:4] or 0), int(main[4:6] or 0),
                             int((fraction + "000000")[:6]) if fraction else 0)

    converted = [one(v) for v in values]
    return converted if multi else converted[0]


@pytest.mark.skipif(not (SHARED / "testdata").is_dir(), reason=f"corpus not present at {SHARED / 'testdata'}")
def test_index_agrees_with_pydicom_on_the_corpus(tmp_path):
    pydicom = pytest.importorskip("pydicom")
    summary = batch.index([SHARED / "testdata", SHARED / "realdata"], tmp_path / "ix")
    assert summary["done"] > 1000
    table = pq.read_table(tmp_path / "ix")
    fields = [f for f in table.schema if f.name not in ("path", "size", "json")]
    compared, mismatches = 0, []
    for row in table.to_pylist():
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                ds = pydicom.dcmread(row["path"], stop_before_pixels=True)
        except Exception:  # only files pydicom reads are compared
            continue
        for field in fields:
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    expected = pydicom_value(ds, field.name, field)
            except (ValueError, TypeError, IndexError):  # a value pydicom cannot type either
                continue
            got = row[field.name]
            if isinstance(expected, float) and isinstance(got, float):
                same = abs(expected - got) <= 1e-9 * max(1.0, abs(expected))
            else:
                same = got == expected
            compared += 1
            if not same:
                mismatches.append((row["path"], field.name, expected, got))
    assert compared > 20000
    assert mismatches == []


# -- executors -----------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def corpus_sample(tmp_path_factory) -> Path:
    """A few hundred real files of many makers (or synthetic ones without the corpus)."""
    root = tmp_path_factory.mktemp("sample")
    if (SHARED / "testdata" / "pydicom").is_dir():
        shutil.copytree(SHARED / "testdata" / "pydicom", root / "pydicom")
    synthetic_archive(root / "synthetic")
    return root


def test_thread_process_and_dask_indexes_are_equal(tmp_path, corpus_sample):
    distributed = pytest.importorskip("distributed", reason="the batch extra (dask) is not installed")
    runs = {"thread": batch.index(corpus_sample, tmp_path / "thread", batch_size=32)}
    runs["process"] = batch.index(corpus_sample, tmp_path / "process", executor="process", workers=2, batch_size=32)
    with distributed.LocalCluster(processes=False, n_workers=1, threads_per_worker=2, dashboard_address=None) as c, \
            distributed.Client(c) as client:
        runs["dask-threads"] = batch.index(corpus_sample, tmp_path / "dask-threads", executor=client, batch_size=32)
    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1, dashboard_address=None) as c:
        runs["dask-processes"] = batch.index(corpus_sample, tmp_path / "dask-processes", executor=c.scheduler_address,
                                             batch_size=32)
    reference = rows_of(tmp_path / "thread")
    assert len(reference) == runs["thread"]["done"] > 40
    for name in runs:
        assert rows_of(tmp_path / name) == reference, name
        assert runs[name]["failed"] == runs["thread"]["failed"]
        assert pq.read_table(tmp_path / name / "_series.parquet").equals(
            pq.read_table(tmp_path / "thread" / "_series.parquet"))


def test_a_second_run_skips_finished_work_and_drops_stale_shards(tmp_path):
    archive = synthetic_archive(tmp_path / "in")
    first = batch.index(archive, tmp_path / "ix", batch_size=8)
    shards = {p.name: p.stat().st_mtime_ns for p in (tmp_path / "ix").glob("part-*.parquet")}
    again = batch.index(archive, tmp_path / "ix", batch_size=8)
    assert (again["done"], again["skipped"]) == (0, first["done"])
    assert {p.name: p.stat().st_mtime_ns for p in (tmp_path / "ix").glob("part-*.parquet")} == shards
    # Another batching re-indexes, and the old shards go: no row twice.
    batch.index(archive, tmp_path / "ix", batch_size=5)
    assert len(rows_of(tmp_path / "ix")) == first["done"]


def run_cli_until_killed(args: list[str], done_dir: Path, batches: int) -> None:
    """Starts `loam` and kills it (SIGKILL) once `batches` batches have been recorded."""
    proc = subprocess.Popen([sys.executable, "-m", "loam", *args], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env={**os.environ, "PYTHONUNBUFFERED": "1"})
    deadline = time.monotonic() + 60
    try:
        while time.monotonic() < deadline and proc.poll() is None:
            if done_dir.is_dir() and len(list(done_dir.glob("part-*.json"))) >= batches:
                proc.send_signal(signal.SIGKILL)
                break
            time.sleep(0.005)
    finally:
        proc.wait(30)


@pytest.mark.parametrize("job", ["index", "deid"])
def test_a_killed_job_resumes_to_the_same_outputs(tmp_path, job):
    archive = synthetic_archive(tmp_path / "in", studies=6, series_per_study=2, slices=10)

    def args(out: Path) -> list[str]:
        return ["index", str(archive), "-o", str(out), "--batch-size", "4", "--workers", "1", "--no-json"]

    def done_dir(out: Path) -> Path:
        return out / "_done" if job == "index" else Path(f"{out}.job") / "done"

    whole = tmp_path / "whole"
    if job == "deid":
        summary = batch.deidentify(archive, whole, key=b"a fixed secret", batch_size=4, workers=1)
    else:
        summary = batch.index(archive, whole, batch_size=4, workers=1, with_json=False)
    assert summary["done"] == 120
    part = tmp_path / "part"
    if job == "deid":
        # Killed in a child process that runs the library itself.
        code = (f"import loam.batch as b; b.deidentify({str(archive)!r}, {str(part)!r}, key=b'a fixed secret', "
                f"batch_size=4, workers=1)")
        proc = subprocess.Popen([sys.executable, "-c", code])
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and proc.poll() is None:
            if len(list(done_dir(part).glob("part-*.json"))) >= 5:
                proc.send_signal(signal.SIGKILL)
                break
            time.sleep(0.005)
        proc.wait(30)
    else:
        run_cli_until_killed(args(part), done_dir(part), 5)
    finished = {p.name: p.stat().st_mtime_ns for p in done_dir(part).glob("part-*.json")}
    assert 5 <= len(finished) < 30, "the job was not stopped half way"
    if job == "deid":
        resumed = batch.deidentify(archive, part, key=b"a fixed secret", batch_size=4, workers=1)
    else:
        resumed = batch.index(archive, part, batch_size=4, workers=1, with_json=False)
    assert resumed["skipped"] == 4 * len(finished) and resumed["done"] + resumed["skipped"] == 120
    # Finished batches were not redone.
    assert all(done_dir(part).joinpath(n).stat().st_mtime_ns == t for n, t in finished.items())
    if job == "index":
        assert rows_of(part) == rows_of(whole)
    else:
        files = sorted(p.relative_to(whole) for p in whole.rglob("*.dcm"))
        assert sorted(p.relative_to(part) for p in part.rglob("*.dcm")) == files
        assert all((whole / f).read_bytes() == (part / f).read_bytes() for f in files)
        assert not list(part.rglob("*.tmp"))


def test_deidentification_on_two_workers_agrees_with_one(tmp_path):
    distributed = pytest.importorskip("distributed", reason="the batch extra (dask) is not installed")
    archive = synthetic_archive(tmp_path / "in", studies=2, series_per_study=2, slices=8)
    key = b"one key for every worker"
    local = batch.deidentify(archive, tmp_path / "local", key=key, batch_size=3)
    with distributed.LocalCluster(processes=True, n_workers=2, threads_per_worker=1, dashboard_address=None) as c, \
            distributed.Client(c) as client:
        spread = batch.deidentify(archive, tmp_path / "spread", key=key, batch_size=3, executor=client)
        workers = len(client.scheduler_info()["workers"])
    assert workers == 2 and local["done"] == spread["done"] == 32 and local["uids_replaced"] == spread["uids_replaced"]
    files = sorted(p.relative_to(tmp_path / "local") for p in (tmp_path / "local").rglob("*.dcm"))
    assert sorted(p.relative_to(tmp_path / "spread") for p in (tmp_path / "spread").rglob("*.dcm")) == files
    assert all((tmp_path / "local" / f).read_bytes() == (tmp_path / "spread" / f).read_bytes() for f in files)
    # One replaced study UID per original study, whichever worker read its files.
    studies = {}
    for f in (tmp_path / "spread").rglob("*.dcm"):
        ds = loam.read(f)
        studies.setdefault(ds.PatientID, set()).add(ds.StudyInstanceUID)
    assert len(studies) == 2 and all(len(uids) == 1 for uids in studies.values())
    # The release holds no record of the input paths; the job's records sit beside it.
    assert not [p for p in (tmp_path / "spread").rglob("*") if p.suffix != ".dcm" and p.is_file()]
    assert (tmp_path / "spread.job" / "summary.json").is_file()


def test_deidentify_needs_one_key(tmp_path):
    with pytest.raises(ValueError, match="needs a key"):
        batch.deidentify(tmp_path, tmp_path / "out")
    with pytest.raises(ValueError, match="inside the release"):
        batch.deidentify(tmp_path, tmp_path / "out", key="k", lookup_table=tmp_path / "out" / "lookup.csv")


def test_transcode_and_convert_jobs(tmp_path):
    archive = synthetic_archive(tmp_path / "in", studies=1, series_per_study=2, slices=4)
    summary = batch.transcode(archive, tmp_path / "tc", "1.2.840.10008.1.2.5", batch_size=3)
    assert summary["done"] == 8 and not summary["failed"]
    src = sorted(p.relative_to(archive) for p in archive.rglob("*.dcm"))
    assert sorted(p.relative_to(tmp_path / "tc") for p in (tmp_path / "tc").rglob("*.dcm")) == src
    for rel in src:
        a, b = loam.read(archive / rel), loam.read(tmp_path / "tc" / rel)
        assert b.transfer_syntax == "1.2.840.10008.1.2.5"
        assert np.array_equal(a.pixels(), b.pixels())
    converted = batch.convert(archive, tmp_path / "nii")
    assert (converted["done"], converted["series"]) == (8, 2)
    names = sorted(p.name for p in (tmp_path / "nii").glob("*.nii.gz"))
    assert len(names) == 2 and all("1.2.826.0.1.9.0." in n for n in names)
    data, _ = loam.read_nifti(str(tmp_path / "nii" / names[0]))
    assert data.shape[:3] == (4, 4, 4)
    assert batch.convert(archive, tmp_path / "nii")["skipped"] == 8


def test_cli_index_and_missing_extras(tmp_path, monkeypatch, capsys):
    from loam import cli

    archive = synthetic_archive(tmp_path / "in", studies=1, series_per_study=1, slices=3)
    assert cli.main(["index", str(archive), "-o", str(tmp_path / "ix"), "--no-progress"]) == 0
    out = capsys.readouterr().out
    assert "3 files indexed into" in out and "(1 series)" in out and "0 failed" in out
    assert cli.main(["index", str(tmp_path / "nothing"), "-o", str(tmp_path / "ix")]) == 2
    assert "no such file or folder" in capsys.readouterr().err

    real_import = __import__("importlib").import_module

    def without_pyarrow(name, *a, **k):
        if name.startswith("pyarrow"):
            raise ImportError(f"No module named {name!r}")
        return real_import(name, *a, **k)

    monkeypatch.setattr("importlib.import_module", without_pyarrow)
    assert cli.main(["index", str(archive), "-o", str(tmp_path / "ix2")]) == 2
    assert 'needs the pyarrow package: pip install "loam-dicom[batch]"' in capsys.readouterr().err
