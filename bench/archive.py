"""Indexing an archive: `loam.batch.index` against pydicom with concurrent.futures, same columns.

The archive is the corpus's small files replicated to ARCHIVE_FILES files with rewritten UIDs,
made once under build/bench-archive. Each run is a child process, so its peak RSS is its own.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from pathlib import Path

import loam._core as core
from loam import batch

ROOT = Path(__file__).resolve().parent.parent
CORPUS = ROOT.parent / "shared" / "testdata"
ARCHIVE_FILES = int(os.environ.get("ARCHIVE_FILES", "100000"))
PYDICOM_SAMPLE = 4000  # pydicom's rate is measured on the first files of the archive
UIDS = (0x0020000D, 0x0020000E, 0x00080018)


def templates() -> list[tuple[bytes, list[str]]]:
    """Corpus files of at most 64 kB that carry the three UIDs and can be edited, with those UIDs."""
    out = []
    for path in core.scan_dicom_dir(str(CORPUS)) if CORPUS.is_dir() else []:
        if os.path.getsize(path) > 64 * 1024:
            continue
        data = Path(path).read_bytes()
        try:
            ds = core._read_dataset(data, True)[2]
            if all(t in ds for t in UIDS):
                core.edit_part10(data, [(UIDS[2], "modify", "1.2.3", "UI")])
                out.append((data, [str(ds[t][1]) for t in UIDS]))
        except (RuntimeError, ValueError):
            continue
    if not out:
        sys.path.insert(0, str(ROOT / "examples"))
        from make_sample import sample

        out = [(sample(), ["1.2.3", "1.2.3.1", "1.2.3.1.1"])]
    return out


def archive(count: int = ARCHIVE_FILES) -> Path:
    root = ROOT / "build" / "bench-archive"
    done = root / f".complete-{count}-v2"
    if done.exists():
        return root
    if root.exists():
        import shutil

        shutil.rmtree(root)
    bodies = templates()
    start = time.perf_counter()
    for i in range(count):
        copy, which = divmod(i, len(bodies))
        data, uids = bodies[which]
        # Each copy of the corpus is new studies and series: a copy's files of one series stay one.
        edits = [(tag, "modify", core.mint_uid(f"{copy}-{uid}-{which if tag == UIDS[2] else ''}"), "UI")
                 for tag, uid in zip(UIDS, uids)]
        folder = root / f"{i // 1000:04d}"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / f"{i:07d}.dcm").write_bytes(core.edit_part10(data, edits))
    done.touch()
    size = sum(f.stat().st_size for f in root.rglob("*.dcm"))
    print(f"archive: {count} files ({size / 1e9:.2f} GB, {len(bodies)} corpus files replicated) "
          f"made in {time.perf_counter() - start:.0f} s")
    return root


def pydicom_rows(paths: list[str]) -> list[dict]:
    """The index's columns and JSON header, by pydicom."""
    import warnings

    import pydicom
    from pydicom.multival import MultiValue

    warnings.simplefilter("ignore")
    listed = {f.name for f in batch.index_schema() if str(f.type).startswith("list")}
    rows = []
    for path in paths:
        try:
            ds = pydicom.dcmread(path, stop_before_pixels=True)
        except Exception:
            continue
        row: dict = {"path": path, "size": os.path.getsize(path)}
        for keyword in batch.INDEX_COLUMNS:
            source = ds.file_meta if keyword in ds.file_meta else ds
            try:
                v = source.get(keyword)
                values = None if v is None else [str(x) for x in v] if isinstance(v, MultiValue) else [str(v)]
                row[keyword] = values if keyword in listed or values is None else "\\".join(values)
            except Exception:
                row[keyword] = None
        try:
            row["json"] = ds.to_json(bulk_data_threshold=1024, bulk_data_element_handler=lambda e: "")
        except Exception:
            row["json"] = None
        rows.append(row)
    return rows


def run_pydicom(root: Path, out: Path, workers: int) -> dict:
    import concurrent.futures

    import pyarrow as pa
    import pyarrow.parquet as pq

    paths = [p for p, _ in batch.discover(str(root))][:PYDICOM_SAMPLE]
    chunks = [paths[i:i + 100] for i in range(0, len(paths), 100)]
    out.mkdir(parents=True, exist_ok=True)
    start = time.perf_counter()
    with concurrent.futures.ProcessPoolExecutor(workers) as pool:
        for n, rows in enumerate(pool.map(pydicom_rows, chunks)):
            pq.write_table(pa.Table.from_pylist(rows), out / f"part-{n:05d}.parquet")
    return {"files": len(paths), "seconds": time.perf_counter() - start}


def child(kind: str, root: str, out: str, workers: int) -> None:
    import resource
    import shutil

    shutil.rmtree(out, ignore_errors=True)
    if kind == "loam":
        start = time.perf_counter()
        summary = batch.index(root, out, workers=workers)
        result = {"files": summary["done"], "seconds": time.perf_counter() - start}
    else:
        result = run_pydicom(Path(root), Path(out), workers)
    result["peak_rss_mb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps(result))


def measure(kind: str, root: Path, workers: int, one_core: bool = False) -> dict:
    """A run in a child process; `one_core` pins it to one CPU, so that discovery, the batches and
    the Parquet writes all share it: the single-thread rate that scaling is measured against."""
    out = ROOT / "build" / f"bench-index-{kind}-{workers}"
    pin = ["taskset", "-c", "0"] if one_core else []
    text = subprocess.run([*pin, sys.executable, __file__, "child", kind, str(root), str(out), str(workers)],
                          check=True, capture_output=True, text=True).stdout
    result = json.loads(text.strip().splitlines()[-1])
    result["rate"] = result["files"] / result["seconds"]
    return result


def main() -> None:
    root = archive()
    cores = os.cpu_count() or 1
    one = measure("loam", root, 1, one_core=True)
    many = measure("loam", root, cores)
    peer = measure("pydicom", root, cores)
    print(f"index {many['files']} files, {cores} threads: {many['rate']:.0f} files/s "
          f"({1e6 / many['rate'] * cores:.0f} us per file per core), peak RSS {many['peak_rss_mb']:.0f} MB")
    print(f"index, 1 thread on 1 core: {one['rate']:.0f} files/s, peak RSS {one['peak_rss_mb']:.0f} MB; "
          f"scaling {many['rate'] / (one['rate'] * cores):.2f} of {cores} x 1 thread (target >= 0.90)")
    print(f"pydicom + ProcessPoolExecutor({cores}), same columns and JSON header, {peer['files']} files: "
          f"{peer['rate']:.0f} files/s, peak RSS {peer['peak_rss_mb']:.0f} MB (parent)")
    print(f"index throughput ratio: {many['rate'] / peer['rate']:.1f}x pydicom (target >= 20x)")


if __name__ == "__main__":
    if len(sys.argv) == 6 and sys.argv[1] == "child":
        child(sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]))
    else:
        main()
