"""The ``loam`` command line."""

from __future__ import annotations

import argparse
import csv
import json
import os
import re
import struct
import sys
import threading
import time
import zlib
from collections import Counter
from collections.abc import Callable, Iterator, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, TextIO, cast

from . import _core
from ._types import IodFinding, Segment

# Runs with fewer files than this finish before a progress bar is worth drawing.
PROGRESS_MIN_FILES = 200


def iter_files(paths: Sequence[str]) -> Iterator[str]:
    """Yields the given files, and every file below the given directories in byte order of their paths."""
    for path in paths:
        if os.path.isdir(path):
            found = [os.path.join(root, name) for root, _, files in os.walk(path) for name in files]
            yield from sorted(found, key=os.fsencode)
        else:
            yield path


def read_file(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def write_file(path: str, data: bytes) -> None:
    """Writes `data`, creating the folders above `path`."""
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def uid_name(uid: str) -> str:
    entry = _core.uid_lookup(uid) if uid else None
    return entry["name"] if entry else ""


class Progress:
    """A one-line progress bar on a terminal's stderr; silent elsewhere."""

    def __init__(self, total: int, stream: TextIO, enabled: bool, unit: str = "files",
                 min_total: int = PROGRESS_MIN_FILES) -> None:
        self.total, self.stream, self.done, self.unit = total, stream, 0, unit
        self.enabled = enabled and total >= min_total
        self.start = time.monotonic()
        self.last_draw = 0.0

    def clear(self) -> None:
        if self.enabled:
            self.stream.write("\r\033[K")

    def step(self) -> None:
        self.done += 1
        now = time.monotonic()
        if not self.enabled or (now - self.last_draw < 0.1 and self.done < self.total):
            return
        self.last_draw = now
        width = 30
        filled = width * self.done // self.total
        rate = self.done / max(now - self.start, 1e-9)
        self.stream.write(f"\r[{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total} {self.unit}, {rate:.1f}/s")
        self.stream.flush()

    def finish(self) -> None:
        self.clear()
        if self.enabled:
            self.stream.flush()


PATIENT_NAME = 0x00100010


def describe_file(path: str, with_text: bool = False) -> dict[str, object]:
    meta = _core.read_file_meta(path)
    info: dict[str, object] = {"path": path, **meta}
    info["pixel_data"] = _core.has_pixel_data(path)
    info["pixel_data_vr"] = _core.pixel_data_vr(path) if info["pixel_data"] else None
    if with_text and (meta["has_meta"] or meta["transfer_syntax"]):
        texts, _ = _core._decode_text(read_file(path))
        info["patient_name"] = texts.get(PATIENT_NAME)
    return info


def format_long(info: dict[str, object]) -> str:
    ts = str(info["transfer_syntax"])
    lines = [str(info["path"])]
    if not info["has_meta"] and not ts:
        lines.append("  not a DICOM file (no file meta and no recognisable dataset)")
        return "\n".join(lines)
    lines.append(f"  file meta        {'yes' if info['has_meta'] else 'no (bare dataset, syntax sniffed)'}")
    lines.append(f"  transfer syntax  {ts}  {uid_name(ts)}".rstrip())
    if info["has_meta"]:
        sop_class = str(info["sop_class"])
        lines.append(f"  SOP class        {sop_class}  {uid_name(sop_class)}".rstrip())
        lines.append(f"  SOP instance     {info['sop_instance']}")
    if info.get("patient_name") is not None:
        lines.append(f"  patient name     {str(info['patient_name']).rstrip(' ')}")
    vr = f" ({info['pixel_data_vr']})" if info["pixel_data_vr"] else ""
    lines.append(f"  pixel data       {'yes' + vr if info['pixel_data'] else 'no'}")
    return "\n".join(lines)


def format_brief(info: dict[str, object]) -> str:
    ts = str(info["transfer_syntax"])
    if not info["has_meta"] and not ts:
        return f"{info['path']}\tnot DICOM"
    sop = uid_name(str(info.get("sop_class", ""))) or str(info.get("sop_class", "")) or "-"
    pixels = str(info["pixel_data_vr"] or "yes") if info["pixel_data"] else "-"
    kind = "" if info["has_meta"] else " (no meta)"
    return f"{info['path']}\t{uid_name(ts) or ts}{kind}\t{sop}\t{pixels}"


def json_info(info: dict[str, object]) -> dict[str, object]:
    """One file's `loam info --json` record: the fields, with the UIDs' names."""
    out = dict(info)
    out["transfer_syntax_name"] = uid_name(str(info.get("transfer_syntax") or ""))
    if "sop_class" in info:
        out["sop_class_name"] = uid_name(str(info.get("sop_class") or ""))
    if out.get("patient_name") is not None:
        out["patient_name"] = str(out["patient_name"]).rstrip(" ")
    out["dicom"] = bool(info["has_meta"] or info["transfer_syntax"])
    return out


def print_json(document: object) -> None:
    json.dump(document, sys.stdout, indent=2, ensure_ascii=False)
    sys.stdout.write("\n")


def cmd_info(args: argparse.Namespace) -> int:
    files = list(iter_files(args.paths))
    progress = Progress(len(files), sys.stderr, enabled=not args.no_progress and sys.stderr.isatty())
    counts = {"part10": 0, "bare": 0, "other": 0, "pixels": 0, "errors": 0}
    records: list[dict[str, object]] = []
    for path in files:
        try:
            info = describe_file(path, with_text=not args.brief)
        except (RuntimeError, OSError) as exc:
            progress.clear()
            print(f"loam info: {exc}", file=sys.stderr)
            if args.json:
                records.append({"path": path, "error": str(exc)})
            counts["errors"] += 1
            progress.step()
            continue
        progress.clear()
        if args.json:
            records.append(json_info(info))
        else:
            print(format_brief(info) if args.brief else format_long(info))
        if info["has_meta"]:
            counts["part10"] += 1
        elif info["transfer_syntax"]:
            counts["bare"] += 1
        else:
            counts["other"] += 1
        counts["pixels"] += bool(info["pixel_data"])
        progress.step()
    progress.finish()
    if args.json:
        print_json(records)
    elif len(files) > 1:
        print(
            f"{len(files)} files: {counts['part10']} Part-10, {counts['bare']} bare datasets, "
            f"{counts['other']} not DICOM, {counts['pixels']} with pixel data, {counts['errors']} unreadable"
        )
    return 1 if counts["errors"] or not files else 0


def parse_tag(text: str) -> int:
    """A tag by keyword ("PatientName") or in hexadecimal ("00100010", "0010,0010", "(0010,0010)")."""
    t = text.strip()
    if t.startswith("(") and t.endswith(")"):
        t = t[1:-1]
    digits = t.replace(",", "")
    if len(digits) == 8 and all(c in "0123456789abcdefABCDEF" for c in digits) and ("," not in t or t.index(",") == 4):
        return int(digits, 16)
    tag = _core.tag_for_keyword(t)
    if tag is None:
        raise ValueError(f"unknown tag {text!r}")
    return tag


def cmd_edit(args: argparse.Namespace) -> int:
    ops: list[tuple[int, str, bytes | str, int]] = []
    try:
        for item in args.set:
            tag, sep, value = item.partition("=")
            if not sep:
                raise ValueError(f"--set needs TAG=VALUE, got {item!r}")
            ops.append((parse_tag(tag), "insert", value, 0))
        ops.extend((parse_tag(tag), "erase", b"", 0) for tag in args.erase)
        write_file(args.output, _core.edit_part10(read_file(args.path), ops))
    except (ValueError, RuntimeError, OSError) as exc:
        print(f"loam edit: {exc}", file=sys.stderr)
        return 1
    return 0


def cmd_dump(args: argparse.Namespace) -> int:
    from .dataset import read

    failures = 0
    for index, path in enumerate(args.paths):
        try:
            ds = read(path, stop_before_pixels=args.stop_before_pixels)
        except (RuntimeError, ValueError, OSError) as exc:
            print(f"loam dump: {exc}" if str(path) in str(exc) else f"loam dump: {path}: {exc}", file=sys.stderr)
            failures += 1
            continue
        if len(args.paths) > 1:
            print(("\n" if index else "") + f"# {path}")
        print(ds.dump(width=args.width))
        if not ds.is_complete:
            print(f"loam dump: {path}: damaged; what could be read is shown", file=sys.stderr)
    return 1 if failures else 0


# Transfer syntaxes whose pixel data a JSON document carries as it is (native, little endian).
NATIVE_SYNTAXES = ("1.2.840.10008.1.2", "1.2.840.10008.1.2.1", "1.2.840.10008.1.2.2", "1.2.840.10008.1.2.1.99")
TRANSFER_SYNTAX_TAG = "00020010"


def with_pixel_data(text: str, path: str, mode: str, output: str | None) -> str:
    """The JSON of `path` carrying its pixel data: inline (base64) or in a bulk-data file beside
    `output`. Encapsulated pixel data keeps its fragments, and the document records the transfer
    syntax (00020010) they need."""
    import base64

    from .dataset import PIXEL_TAGS, read

    ds = read(path)
    element = next((ds[t] for t in PIXEL_TAGS if t in ds), None)
    top = json.loads(text)
    if element is None or not isinstance(element.raw, bytes):
        return text
    key = f"{element.tag:08X}"
    if mode == "inline":
        top[key] = {"vr": element.vr, "InlineBinary": base64.b64encode(element.raw).decode("ascii")}
    else:
        assert output is not None
        bulk = os.path.splitext(output)[0] + ".pixeldata.bin"
        write_file(bulk, element.raw)
        top[key] = {"vr": element.vr, "BulkDataURI": os.path.basename(bulk)}
    if ds.transfer_syntax not in NATIVE_SYNTAXES:
        top = {TRANSFER_SYNTAX_TAG: {"vr": "UI", "Value": [ds.transfer_syntax]}, **top}
    return json.dumps(top, ensure_ascii=False, separators=(",", ":"))


def cmd_json(args: argparse.Namespace) -> int:
    if args.pixel_data == "bulk" and not args.output:
        print("loam json: --pixel-data bulk needs -o OUT.json (the pixel data goes in a file beside it)",
              file=sys.stderr)
        return 2
    try:
        text = _core.read_meta_json(args.path) if args.meta else _core.read_json(args.path)
        if args.pixel_data != "omit" and not args.meta:
            text = with_pixel_data(text, args.path, args.pixel_data, args.output)
    except (RuntimeError, ValueError, OSError) as exc:
        print(f"loam json: {exc}", file=sys.stderr)
        return 1
    if args.meta and not text:
        print(f"loam json: {args.path}: no file meta (a bare dataset, or not DICOM)", file=sys.stderr)
        return 1
    if args.output:
        try:
            write_file(args.output, (text + "\n").encode("utf-8"))
        except OSError as exc:
            print(f"loam json: {exc}", file=sys.stderr)
            return 1
    else:
        print(text)
    return 0


PIXEL_TAGS = ("7FE00008", "7FE00009", "7FE00010")  # Float, Double Float and plain Pixel Data


def announced_pixels(top: object) -> str | None:
    """The pixel data tag the JSON names without carrying its value (what `loam json` gives, which
    states the pixel data's VR only); None when it carries it or names none."""
    if not isinstance(top, dict):
        return None
    for tag in PIXEL_TAGS:
        member = top.get(tag)
        if isinstance(member, dict) and not any(k in member for k in ("Value", "InlineBinary", "BulkDataURI")):
            return tag
    return None


def resolve_bulk_data(top: dict[str, object], folder: str) -> None:
    """Reads the pixel data a document keeps in bulk-data files beside it into InlineBinary: a
    relative path or a file: URI; other URIs are refused (nothing is fetched)."""
    import base64
    from urllib.parse import unquote, urlparse

    for tag in PIXEL_TAGS:
        member = top.get(tag)
        if not isinstance(member, dict) or "BulkDataURI" not in member:
            continue
        uri = str(member["BulkDataURI"])
        parsed = urlparse(uri)
        if parsed.scheme not in ("", "file"):
            raise ValueError(f"bulk data at {uri!r} is not a local file (only paths and file: URIs are read)")
        location = unquote(parsed.path) if parsed.scheme == "file" else uri
        with open(os.path.join(folder, location), "rb") as f:
            member.pop("BulkDataURI")
            member["InlineBinary"] = base64.b64encode(f.read()).decode("ascii")


def cmd_from_json(args: argparse.Namespace) -> int:
    try:
        with open(args.path, encoding="utf-8") as f:
            text = f.read()
        try:
            top = json.loads(text)
        except ValueError:
            top = None  # the writer reports what is wrong with it
        syntax = args.transfer_syntax
        if isinstance(top, dict):
            if tag := announced_pixels(top):
                print(f"loam from-json: {args.path} names the pixel data ({tag[:4]},{tag[4:]}) but does not carry "
                      "it: the written file would have no image (write the JSON with loam json --pixel-data "
                      "inline or bulk)", file=sys.stderr)
                return 1
            recorded = top.pop(TRANSFER_SYNTAX_TAG, None)
            if isinstance(recorded, dict) and not syntax:
                syntax = str((recorded.get("Value") or [""])[0])
            resolve_bulk_data(top, os.path.dirname(os.path.abspath(args.path)))
            text = json.dumps(top, ensure_ascii=False)
        write_file(args.output, _core.write_part10(text, syntax))
    except (RuntimeError, ValueError, OSError, UnicodeDecodeError) as exc:
        print(f"loam from-json: {exc}", file=sys.stderr)
        return 1
    return 0


def cmd_decode(args: argparse.Namespace) -> int:
    import numpy as np

    try:
        array, meta = _core.decode(args.path, args.frame, args.rescale)
        np.save(args.output, array)
    except (RuntimeError, ValueError, OSError) as exc:
        print(f"loam decode: {exc}", file=sys.stderr)
        return 2 if str(exc).startswith("frame out of range") else 1
    print(f"{args.output}: {meta['dtype']} {'x'.join(str(d) for d in array.shape)} ({meta['photometric'] or 'other'})")
    return 0


def png_bytes(pixels: "object") -> bytes:
    """An 8-bit grey or RGB PNG; rows are stored unfiltered and compressed with zlib."""
    import numpy as np

    a = np.ascontiguousarray(pixels, dtype=np.uint8)
    height, width = a.shape[:2]
    colour = 2 if a.ndim == 3 else 0
    raw = b"".join(b"\0" + a[y].tobytes() for y in range(height))

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, 8, colour, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b"")


def cmd_encapsulate(args: argparse.Namespace) -> int:
    try:
        data = _core.encapsulate(read_file(args.path), args.kind, args.reference, args.title or "")
        assert data is not None
        write_file(args.output, data)
        payload, meta = _core.read_encapsulated(data)
    except (RuntimeError, ValueError, OSError) as exc:
        print(f"loam encapsulate: {str(exc).removeprefix('encapsulate: ')}", file=sys.stderr)
        return 1
    print(f"{args.output}: {meta['mime']} ({len(payload)} bytes) as {uid_name(str(meta['sop_class_uid']))}")
    return 0


def cmd_extract(args: argparse.Namespace) -> int:
    try:
        payload, meta = _core.read_encapsulated(args.path)
        write_file(args.output, payload)
    except (RuntimeError, ValueError, OSError) as exc:
        print(f"loam extract: {exc}", file=sys.stderr)
        return 1
    title = f" \"{meta['title']}\"" if meta["title"] else ""
    print(f"{args.output}: {meta['mime']}{title}, {len(payload)} bytes")
    return 0


def cmd_png(args: argparse.Namespace) -> int:
    if args.frame < 1:
        print("loam png: --frame counts from 1", file=sys.stderr)
        return 2
    if args.window is not None and args.window[1] <= 0:
        print("loam png: --window needs a positive WIDTH", file=sys.stderr)
        return 2
    try:
        window = tuple(args.window) if args.window is not None else None
        pixels = _core.render_overlay(args.path, args.frame, window, args.voi, not args.no_overlays,
                                      args.presentation_state)
        write_file(args.output, png_bytes(pixels))
    except (RuntimeError, ValueError, OSError) as exc:
        print(f"loam png: {exc}", file=sys.stderr)
        return 2 if str(exc).startswith("frame out of range") else 1  # asking for a frame it lacks: usage
    return 0


def slide_paths(paths: Sequence[str]) -> list[str]:
    """Files as given; directories expanded to the Part-10 files beneath them."""
    out: list[str] = []
    for p in paths:
        if not os.path.isdir(p):
            out.append(p)
            continue
        for root, _dirs, files in sorted(os.walk(p)):
            for name in sorted(files):
                path = os.path.join(root, name)
                try:
                    with open(path, "rb") as f:
                        if f.read(132)[128:] == b"DICM":
                            out.append(path)
                except OSError:
                    continue
    return out


def open_slide(paths: Sequence[str], command: str) -> "_core.WsiSlide | None":
    try:
        slide = _core.wsi_open_paths(slide_paths(paths))
    except (RuntimeError, ValueError, OSError) as exc:
        print(f"loam {command}: {exc}", file=sys.stderr)
        return None
    if slide.open_error():
        print(f"loam {command}: {slide.open_error()}", file=sys.stderr)
        return None
    if slide.level_count() == 0:
        print(f"loam {command}: no pyramid levels among the given instances", file=sys.stderr)
        return None
    return slide


def cmd_wsi_info(args: argparse.Namespace) -> int:
    slide = open_slide(args.paths, "wsi-info")
    if slide is None:
        return 1
    p = slide.properties()
    if args.json:
        levels = []
        for level in range(slide.level_count()):
            d = slide.level_descriptor(level)
            levels.append({"level": level, "dimensions": list(slide.level_dimensions(level)),
                           "tile_size": list(slide.level_tile_dimensions(level)),
                           "tile_counts": list(slide.level_tile_counts(level)),
                           "frames": slide.level_frame_count(level), "downsample": slide.level_downsample(level),
                           "mpp": float(p["wsi.mpp-x"]) * slide.level_downsample(level),
                           "dimension_organization": d["dimension_organization"],
                           "transfer_syntax": d["transfer_syntax_uid"]})
        print_json({"levels": levels,
                    "associated_images": {name: list(slide.associated_image_dimensions(name))
                                          for name in slide.associated_image_names()},
                    "icc_profile": bool(slide.color_profile()), "properties": dict(p)})
        return 0
    print(f"slide: {slide.level_count()} level(s), {len(slide.associated_image_names())} associated image(s), "
          f"mpp {float(p['wsi.mpp-x']):.4g} x {float(p['wsi.mpp-y']):.4g}, bounds {p['wsi.bounds-x']},{p['wsi.bounds-y']} "
          f"{p['wsi.bounds-width']} x {p['wsi.bounds-height']}, ICC profile {'yes' if slide.color_profile() else 'no'}")
    for level in range(slide.level_count()):
        w, h = slide.level_dimensions(level)
        tw, th = slide.level_tile_dimensions(level)
        across, down = slide.level_tile_counts(level)
        d = slide.level_descriptor(level)
        print(f"level {level}: {w} x {h} px, tiles {tw} x {th} ({across} x {down}, {slide.level_frame_count(level)} frames), "
              f"downsample {slide.level_downsample(level):g}, mpp {float(p['wsi.mpp-x']) * slide.level_downsample(level):.4g}, "
              f"{d['dimension_organization']}, {d['transfer_syntax_uid']}")
    for name in slide.associated_image_names():
        w, h = slide.associated_image_dimensions(name)
        print(f"associated {name}: {w} x {h} px")
    return 0


def cmd_wsi_region(args: argparse.Namespace) -> int:
    slide = open_slide(args.paths, "wsi-region")
    if slide is None:
        return 1
    width, height = args.size
    if not 0 <= args.level < slide.level_count():
        print(f"loam wsi-region: level {args.level} is out of range (the slide has {slide.level_count()})", file=sys.stderr)
        return 2
    if width <= 0 or height <= 0:
        print("loam wsi-region: --size needs a positive width and height", file=sys.stderr)
        return 2
    read = slide.read_region_srgb if args.srgb else slide.read_region
    pixels = read(args.x, args.y, args.level, width, height)
    if pixels.size == 0:
        print("loam wsi-region: the region cannot be read (too large or out of range)", file=sys.stderr)
        return 1
    try:
        write_file(args.output, png_bytes(pixels))
    except OSError as exc:
        print(f"loam wsi-region: {exc}", file=sys.stderr)
        return 1
    print(f"{args.output}: {width} x {height} px of level {args.level} at ({args.x}, {args.y})")
    return 0


TRANSCODE_TARGETS = {
    "explicit": "1.2.840.10008.1.2.1",
    "rle": "1.2.840.10008.1.2.5",
    "jpeg": "1.2.840.10008.1.2.4.50",
    "jpeg-lossless": "1.2.840.10008.1.2.4.70",
    "jpeg-ls": "1.2.840.10008.1.2.4.80",
    "j2k": "1.2.840.10008.1.2.4.90",
    "htj2k": "1.2.840.10008.1.2.4.201",
    "jxl": "1.2.840.10008.1.2.4.110",
}


def cmd_transcode(args: argparse.Namespace) -> int:
    target = TRANSCODE_TARGETS.get(args.to, args.to)
    if os.path.isdir(args.input) and (args.scheduler or args.workers):
        from . import batch

        summary = run_batch("transcode", lambda: batch.transcode(
            args.input, args.output, target, quality=args.quality, executor=executor_of(args), workers=args.workers,
            progress=batch_progress(not args.no_progress and sys.stderr.isatty())))
        if summary is None:
            return 2
        print_batch_summary("transcode", summary, f"written to {args.output}")
        return 1 if summary["failed"] else 0
    if os.path.isdir(args.input):
        pairs = [(f, os.path.join(args.output, os.path.relpath(f, args.input))) for f in iter_files([args.input])]
    else:
        pairs = [(args.input, args.output)]
    progress = Progress(len(pairs), sys.stderr, enabled=not args.no_progress and sys.stderr.isatty())
    failures = 0
    for src, dst in pairs:
        try:
            write_file(dst, _core.transcode(read_file(src), target, args.quality))
        except (RuntimeError, OSError) as exc:
            progress.clear()
            print(f"loam transcode: {src}: {exc}", file=sys.stderr)
            failures += 1
        progress.step()
    progress.finish()
    if len(pairs) > 1:
        print(f"{len(pairs) - failures} of {len(pairs)} files written to {args.output}")
    return 1 if failures else 0


def write_deidentified(output: str, data: bytes, filed: dict[str, str], taken: set[str], lock: threading.Lock) -> str:
    """Writes a de-identified file where `loam.batch.deidentified_path` puts it: folders of its
    replaced identifiers, nothing of the input's own paths. Files of one run that share
    identifiers (copies, or no SOP Instance UID) get "_2", "_3"... Returns the path written."""
    from .batch import deidentified_path

    stem = deidentified_path(output, filed)[: -len(".dcm")]
    with lock:
        path, n = stem + ".dcm", 1
        while path in taken:
            n += 1
            path = f"{stem}_{n}.dcm"
        taken.add(path)
    write_file(path, data)
    return path


def deid_key(path: str | None) -> bytes:
    """The run's secret: the bytes of the key file (one trailing newline dropped), made there with 32
    random bytes, readable by its owner only, when it does not exist yet; without a file, a fresh
    random key that no later run shares."""
    if path is None:
        return os.urandom(32)
    if not os.path.exists(path):
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "wb") as f:
            f.write(os.urandom(32).hex().encode() + b"\n")
    key = read_file(path)
    key = key[:-2] if key.endswith(b"\r\n") else key[:-1] if key.endswith(b"\n") else key
    if not key:
        raise ValueError(f"the key file {path} is empty")
    return key


def inside(path: str, folder: str) -> bool:
    return os.path.commonpath([os.path.abspath(path), os.path.abspath(folder)]) == os.path.abspath(folder)


def cmd_deid(args: argparse.Namespace) -> int:
    output = args.output_dir or args.output
    if not output or (args.output_dir and args.output and args.output_dir != args.output):
        print("loam deid: give one output folder (OUT or -o OUT)", file=sys.stderr)
        return 2
    options: dict[str, object] = {}
    if args.options:
        with open(args.options, encoding="utf-8") as f:
            raw = json.load(f)
        # JSON keys are text: tags in "replace" and "remove" may be given in hexadecimal or as keywords.
        for key, value in raw.items():
            if key == "replace":
                value = {parse_tag(str(t)): str(v) for t, v in value.items()}
            elif key == "remove":
                value = [parse_tag(str(t)) for t in value]
            options[key] = value
    if args.clean_pixel:
        options["clean_pixel"] = True
    if args.shift_dates_per_patient:
        options["shift_dates_per_patient"] = args.shift_dates_per_patient

    if not os.path.exists(args.input):
        print(f"loam deid: no such file or folder: {args.input}", file=sys.stderr)
        return 2
    # What links the release back to its patients never goes into the release.
    for kept_apart, what in ((args.key_file, "key file"), (args.lookup_table, "lookup table")):
        if kept_apart and inside(kept_apart, output):
            print(f"loam deid: the {what} {kept_apart} is inside the output folder: keep it apart from the release",
                  file=sys.stderr)
            return 2
    try:
        if not options.get("unkeyed"):
            options.setdefault("key", deid_key(args.key_file))
    except (OSError, ValueError) as exc:
        print(f"loam deid: {exc}", file=sys.stderr)
        return 2
    # The DICOM files of a folder (by extension or the DICM mark); a file named is always tried.
    files = dicom_files([args.input])
    per_file = not args.quiet and not sys.stderr.isatty()
    progress = Progress(len(files), sys.stderr, enabled=not args.no_progress and not args.quiet and sys.stderr.isatty())
    # Burned-in cleaning writes this element.
    burned_in_no = b"\x28\x00\x01\x03CS\x02\x00NO"
    cleaning = bool(options.get("clean_pixel"))
    taken: set[str] = set()
    lock = threading.Lock()

    def one(path: str) -> tuple[str, str, object]:
        """(path, outcome, detail): written (cleaned, lookup rows, notes, target), skipped or refused (reason)."""
        if os.path.basename(path).upper().startswith("DICOMDIR"):
            return path, "skipped", "a DICOMDIR indexes the input's paths: make one anew over the output (loam dicomdir)"
        try:
            data = read_file(path)
            rows: list[tuple[str, str, str]] = []
            notes: list[str] = []
            filed: dict[str, str] = {}
            out = _core.deidentify(data, options, rows, notes, filed)
            target = write_deidentified(output, out, filed, taken, lock)
            return path, "written", (cleaning and burned_in_no in out and burned_in_no not in data, rows, notes, target)
        except (RuntimeError, OSError) as exc:
            return path, "refused", str(exc).removeprefix("deidentify: ")

    # Sessions share nothing but the key: files go to workers in any order and agree anyway.
    try:
        _core.deidentify(b"", options)  # options are checked once, before any file is read
    except RuntimeError:
        pass
    except (ValueError, TypeError) as exc:
        print(f"loam deid: {exc}", file=sys.stderr)
        return 2
    if args.scheduler:
        from . import batch

        summary = run_batch("deid", lambda: batch.deidentify(
            args.input, output, options, lookup_table=args.lookup_table, executor=args.scheduler,
            progress=batch_progress(not args.no_progress and not args.quiet and sys.stderr.isatty())))
        if summary is None:
            return 2
        print_batch_summary("deid", summary, f"de-identified into {output}, {summary['uids_replaced']} UIDs replaced")
        return 1 if summary["failed"] and not args.allow_refused else 0
    lookup: set[tuple[str, str, str]] = set()
    written, cleaned = 0, 0
    refused: list[tuple[str, str]] = []
    skipped: list[tuple[str, str]] = []
    burned: list[tuple[str, str]] = []
    with ThreadPoolExecutor(max_workers=max(1, args.jobs or os.cpu_count() or 1)) as pool:
        for path, outcome, detail in pool.map(one, files):
            if outcome == "written":
                assert isinstance(detail, tuple)
                was_cleaned, rows, notes, target = detail
                written += 1
                cleaned += was_cleaned
                lookup.update(rows)
                burned += [(path, n.split(": ", 1)[-1]) for n in notes]
                if per_file:
                    print(f"{path} -> {target}", file=sys.stderr)
            elif outcome == "skipped":
                skipped.append((path, str(detail)))
            else:
                refused.append((path, str(detail)))
                if per_file:
                    print(f"{path}: refused: {detail}", file=sys.stderr)
            progress.step()
    progress.finish()
    if args.lookup_table is not None:
        fd = os.open(args.lookup_table, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            table = csv.writer(f)
            table.writerow(["kind", "original", "replacement"])
            table.writerows(sorted(lookup))
    uids = sum(1 for kind, _, _ in lookup if kind == "uid")
    print(f"{len(files)} files: {written} de-identified into {output}, {uids} UIDs replaced, "
          f"{cleaned} with burned-in annotation cleaned, {len(refused)} refused")
    for path, reason in refused:
        print(f"  refused {path}: {reason}")
    for path, reason in skipped:
        print(f"  skipped {path}: {reason}")
    for path, reason in burned:
        print(f"  burned-in text likely in {path}: {reason}; not cleaned (--clean-pixel blacks it out)")
    if not args.key_file and not options.get("unkeyed"):
        print("  a fresh random key was used: a later run gives other UIDs and pseudonyms (--key-file keeps one)")
    # A release that silently lacks files is a failure unless the caller allows it.
    return 1 if (refused and not args.allow_refused) or (files and not written and not skipped) else 0


def dicom_files(paths: Sequence[str]) -> list[str]:
    """The given files, and the DICOM files found below the given directories."""
    out: list[str] = []
    for path in paths:
        out.extend(_core.scan_dicom_dir(path, True) if os.path.isdir(path) else [path])
    return out


def cmd_scan(args: argparse.Namespace) -> int:
    if not os.path.isdir(args.dir):
        print(f"loam scan: not a directory: {args.dir}", file=sys.stderr)
        return 2
    found = _core.scan_dicom_dir(args.dir, not args.flat)
    if args.json:
        print_json({"root": args.dir, "recursive": not args.flat, "files": found})
        return 0
    for path in found:
        print(path)
    print(f"{len(found)} DICOM files under {args.dir}", file=sys.stderr)
    return 0


# Media file IDs: at most 8 components of 1 to 8 upper-case letters, digits or underscores.
MEDIA_COMPONENT = re.compile(r"[A-Z0-9_]{1,8}")
FILE_SET_ID = re.compile(r"[A-Z0-9_ ]{0,16}")
MEDIA_DIRECTORY = "1.2.840.10008.1.3.10"


def media_file_id_problem(file_id: str) -> str | None:
    parts = file_id.split("/")
    if len(parts) > 8:
        return f"{len(parts)} components (at most 8)"
    for part in parts:
        if not MEDIA_COMPONENT.fullmatch(part):
            return f"component {part!r} is not 1 to 8 upper-case letters, digits or underscores"
    return None


def record_counts(dicomdir: bytes) -> Counter[str]:
    """Directory record types in a DICOMDIR this package wrote (each (0004,1430) CS value)."""
    counts: Counter[str] = Counter()
    at = dicomdir.find(b"\x04\x00\x30\x14CS")
    while at >= 0:
        n = int.from_bytes(dicomdir[at + 6:at + 8], "little")
        counts[dicomdir[at + 8:at + 8 + n].decode("ascii", "replace").strip()] += 1
        at = dicomdir.find(b"\x04\x00\x30\x14CS", at + 8 + n)
    return counts


def cmd_dicomdir(args: argparse.Namespace) -> int:
    if not os.path.isdir(args.dir):
        print(f"loam dicomdir: not a directory: {args.dir}", file=sys.stderr)
        return 2
    if not FILE_SET_ID.fullmatch(args.fileset_id):
        print(f"loam dicomdir: file-set ID {args.fileset_id!r} is not up to 16 upper-case letters, digits, "
              "spaces or underscores", file=sys.stderr)
        return 2
    output = os.path.abspath(args.output)
    inputs, bad = [], []
    for path in _core.scan_dicom_dir(args.dir, True):
        # The output and other DICOMDIRs describe file sets; they are not members of this one.
        if os.path.abspath(path) == output or _core.read_file_meta(path).get("sop_class") == MEDIA_DIRECTORY:
            continue
        file_id = os.path.relpath(path, args.dir).replace(os.sep, "/")
        problem = media_file_id_problem(file_id)
        if problem:
            bad.append(f"{file_id}: {problem}")
        else:
            inputs.append((path, file_id))
    if bad:
        print(f"loam dicomdir: {len(bad)} file(s) cannot be named on DICOM media (rename them first):",
              file=sys.stderr)
        for line in bad[:20]:
            print(f"  {line}", file=sys.stderr)
        if len(bad) > 20:
            print(f"  ... and {len(bad) - 20} more", file=sys.stderr)
        return 2
    try:
        built = _core.build_dicomdir([(read_file(p), fid) for p, fid in inputs], args.fileset_id, report=True)
    except RuntimeError as exc:
        print(f"loam dicomdir: {exc}", file=sys.stderr)
        return 1
    assert isinstance(built, tuple)
    data, summary = built
    write_file(args.output, data)
    counts = record_counts(data)
    instances = sum(n for kind, n in counts.items() if kind not in ("PATIENT", "STUDY", "SERIES"))
    print(f"{args.output}: {instances} instances in {counts['PATIENT']} patients, {counts['STUDY']} studies, "
          f"{counts['SERIES']} series ({len(inputs) - instances} files skipped or duplicates)")
    invented = summary["invented"]
    if invented:
        print(f"invented {len(invented)} required key value(s) the files lacked:")
        for row in invented[:20]:
            print(f"  {row['record']} {row['keyword']} = {row['value']!r} (from {row['file_id']})")
        if len(invented) > 20:
            print(f"  ... and {len(invented) - 20} more")
    return 0


def cmd_validate(args: argparse.Namespace) -> int:
    files = dicom_files(args.paths)
    rows: list[tuple[str, str, str, str, str]] = []
    summary: Counter[str] = Counter()
    records: list[dict[str, object]] = []
    for path in files:
        try:
            found: Sequence[IodFinding] = _core.iod_validate(path) if args.iod_only else _core.validate(path)
        except RuntimeError as exc:
            rows.append((path, "error", "-", "file", str(exc)))
            summary["unreadable"] += 1
            records.append({"path": path, "status": "unreadable", "error": str(exc), "findings": []})
            continue
        findings = []
        for f in found:
            tag = f"({f['tag'] >> 16:04X},{f['tag'] & 0xFFFF:04X})" if f["tag"] else "-"
            located = cast(dict[str, str], f).get("path")
            where = located or tag
            rows.append((path, str(f["severity"]), where, str(f["module"]) or "-", str(f["message"])))
            finding: dict[str, str | None] = {"severity": f["severity"], "tag": tag if f["tag"] else None,
                       "module": f["module"] or None, "message": f["message"]}
            if located is not None:
                finding["path"] = located or None
            findings.append(finding)
        errors = sum(f["severity"] == "error" for f in found)
        warnings = sum(f["severity"] == "warning" for f in found)
        profiled = not any(f["severity"] == "info" and f["module"] == "" for f in found)
        status = ("with errors" if errors else "with warnings" if warnings
                  else "conformant" if profiled else "not checked")
        summary[status] += 1
        records.append({"path": path, "status": status.replace(" ", "_"), "findings": findings})
    if args.json:
        print_json(records)
        return 1 if any(r[1] == "error" for r in rows) else 0
    if rows:
        head = ("FILE", "SEVERITY", "WHERE", "MODULE", "MESSAGE")
        widths = [max(len(r[i]) for r in [head, *rows]) for i in range(4)]
        for r in [head, *rows]:
            print("  ".join(c.ljust(w) for c, w in zip(r, widths)) + "  " + r[4])
    print(f"{len(files)} files: {summary['conformant']} conformant, {summary['with errors']} with errors, "
          f"{summary['with warnings']} with warnings only, {summary['not checked']} without an IOD profile, "
          f"{summary['unreadable']} unreadable")
    return 1 if any(r[1] == "error" for r in rows) else 0


def cmd_convert(args: argparse.Namespace) -> int:
    from . import convert

    if not os.path.exists(args.dir):
        print(f"loam convert: {args.dir}: no such file or folder", file=sys.stderr)
        return 2
    # -o names a folder; a name ending in a volume suffix (and not an existing folder) names the file
    # itself, with _<series number> added when there are several series.
    single = convert.volume_suffix(args.output) and not os.path.isdir(args.output)
    suffix = (convert.volume_suffix(args.output) if single else None) or convert.FORMATS[args.format]
    if args.scheduler:
        if single:
            print("loam convert: with --scheduler, -o names the output folder", file=sys.stderr)
            return 2
        from . import batch

        summary = run_batch("convert", lambda: batch.convert(
            args.dir, args.output, format=args.format, filename=args.filename, sidecar=not args.no_sidecar,
            executor=args.scheduler, workers=args.workers,
            progress=batch_progress(not args.no_progress and sys.stderr.isatty())))
        if summary is None:
            return 2
        print_batch_summary("convert", summary, f"converted into {args.output} ({summary['series']} outputs)")
        return 1 if summary["failed"] else 0
    files = dicom_files([args.dir])
    if not files:
        print(f"loam convert: no DICOM files under {args.dir}", file=sys.stderr)
        return 1
    keys = _core._series_keys(files)
    outputs = convert.plan(files, keys)
    if not outputs:
        print(f"loam convert: {len(files)} DICOM files under {args.dir}, but none is an image of a series",
              file=sys.stderr)
        return 1
    folder = os.path.dirname(args.output) if single else args.output
    os.makedirs(folder or ".", exist_ok=True)
    folder_name = os.path.basename(os.path.normpath(args.dir))
    interactive = sys.stderr.isatty()
    progress = Progress(len(outputs), sys.stderr, enabled=not args.no_progress and interactive, unit="series",
                        min_total=1)
    taken: set[str] = set()
    results = []
    for n, output in enumerate(outputs, 1):
        if single:
            stem = args.output[: -len(suffix)]
            if len(outputs) > 1:
                stem += f"_{output.first['series_number'] or n}"
            stem += convert.name_suffix(output)
        else:
            stem = os.path.join(folder, convert.base_name(output, args.filename, folder_name))
        try:
            result = convert.convert_output(output, stem, suffix, not args.no_sidecar, taken, args.force)
        except (RuntimeError, ValueError, OSError) as exc:
            result = convert.Result(output, error=str(exc))
        results.append(result)
        progress.step()
        if not args.no_progress and not interactive:  # piped: a line per series as it is done
            done = result.written[0] if result.written else "skipped: " + result.error
            print(f"[{n}/{len(outputs)}] series {output.first['series_number'] or '-'}: {done}", file=sys.stderr,
                  flush=True)
    progress.finish()
    head = ("SERIES", "DESCRIPTION", "FILES", "VOLUMES", "SHAPE", "OUTPUT")
    rows = []
    for r in results:
        k = r.output.first
        desc = k["description"] or k["protocol"] or "-"
        if r.error:
            rows.append((k["series_number"] or "-", desc, str(len(r.output.files)), "-", "-", "skipped: " + r.error))
        else:
            shape = "x".join(map(str, r.shape)) + (f" ({r.kind})" if r.kind else "")
            rows.append((k["series_number"] or "-", desc, str(len(r.output.files)), str(r.volumes), shape,
                         r.written[0]))
    widths = [max(len(row[i]) for row in [head, *rows]) for i in range(5)]
    for row in [head, *rows]:
        print("  ".join(c.ljust(w) for c, w in zip(row, widths)) + "  " + row[5])
    for r in results:
        for note in r.notes:
            print(f"note: {r.written[0] if r.written else '-'}: {note}")
    converted = sum(1 for r in results if not r.error)
    no_series = sum(1 for k in keys if not (k["image"] and k["series_uid"]))
    print(f"{len(results)} outputs: {converted} written, {len(results) - converted} skipped"
          + (f"; {no_series} files without pixel data or Series Instance UID" if no_series else ""))
    return 0 if converted else 1


def cmd_dvh(args: argparse.Namespace) -> int:
    roi: int | str = int(args.roi) if args.roi.isdigit() else args.roi
    try:
        curve = _core.compute_dvh(args.rtstruct, args.rtdose, roi, args.samples, False)
    except (RuntimeError, ValueError, OSError) as exc:
        print(f"loam dvh: {exc}", file=sys.stderr)
        return 1
    statistics: dict[str, float] = {}
    status = 0
    for name in args.stat:
        try:
            statistics[name] = curve.statistic(name, args.rx)
        except RuntimeError as exc:
            print(f"loam dvh: {exc}", file=sys.stderr)
            status = 2
    if args.json:
        print_json({"roi": curve.roi_name, "covered_volume_cm3": curve.covered_volume_cm3,
                    "total_volume_cm3": curve.total_volume_cm3, "min_gy": curve.min_gy, "mean_gy": curve.mean_gy,
                    "max_gy": curve.max_gy, "notes": curve.notes or None,
                    "statistics": {k: {"value": v, "unit": "cm3" if k.startswith("V") else "Gy"}
                                   for k, v in statistics.items()}})
        return status
    print(f"ROI {curve.roi_name}: {curve.covered_volume_cm3:.3f} cm3 covered of {curve.total_volume_cm3:.3f} cm3; "
          f"Dmin {curve.min_gy:.3f} Gy, Dmean {curve.mean_gy:.3f} Gy, Dmax {curve.max_gy:.3f} Gy")
    if curve.notes:
        print(f"note: {curve.notes}")
    for name, value in statistics.items():
        unit = "cm3" if name.startswith("V") else "Gy"
        print(f"{name:<10} {value:10.3f} {unit}")
    return status


def _features_csv(rows: list[dict[str, Any]]) -> str:
    """Feature rows as CSV text: a column a key, in the order keys first appear; floats as repr
    gives them, so that they read back exactly."""
    import csv
    import io

    columns: dict[str, None] = {}
    for row in rows:
        columns.update(dict.fromkeys(row))
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=list(columns), lineterminator="\n")
    writer.writeheader()
    for row in rows:
        writer.writerow({k: (repr(v) if isinstance(v, float) else v) for k, v in row.items()})
    return out.getvalue()


def cmd_radiomics(args: argparse.Namespace) -> int:
    settings: dict[str, Any] = {}
    rows: list[dict[str, Any]] = []
    try:
        if args.settings:
            with open(args.settings, encoding="utf-8") as f:
                settings = json.load(f)
            if not isinstance(settings, dict):
                raise ValueError(f"{args.settings}: the settings file holds a JSON object of settings")
        for text in args.label or ["1"]:
            label: int | str = int(text) if text.lstrip("-").isdigit() else text
            features = _core.radiomics_file(args.image, args.mask, settings, label=label, convention=args.convention)
            rows.append({"image": args.image, "mask": args.mask, "label": label, **features})
    except (RuntimeError, ValueError, TypeError, OSError, json.JSONDecodeError) as exc:
        print(f"loam radiomics: {exc}", file=sys.stderr)
        return 1
    text = _features_csv(rows)
    if args.csv:
        with open(args.csv, "w", encoding="utf-8", newline="") as f:
            f.write(text)
        print(f"{len(rows[0]) - 3} features of {len(rows)} region(s) written to {args.csv}")
    else:
        sys.stdout.write(text)
    return 0


def _segments_from_labels(path: str | None, nifti: str) -> list[Segment]:
    """Segment dicts from a labels file: a list of segment dicts, or an object mapping label values
    to a name or a segment dict. Without a file, one segment per label value in the mask."""
    if path is None:
        import numpy as np

        values, _ = _core.read_nifti(nifti)
        labels = sorted(int(v) for v in np.unique(values) if v > 0)
        return [{"label": f"Segment {v}", "labelID": v} for v in labels]
    with open(path, encoding="utf-8") as f:
        spec = json.load(f)
    if isinstance(spec, dict):
        segments: list[Segment] = []
        for key, value in spec.items():
            if not str(key).isdigit():
                raise ValueError(f"label value {key!r} is not a non-negative integer")
            seg = cast(Segment, dict(value) if isinstance(value, dict) else {"label": str(value)})
            seg.setdefault("labelID", int(key))
            segments.append(seg)
        return segments
    if isinstance(spec, list) and all(isinstance(s, dict) for s in spec):
        return spec
    raise ValueError("labels must be a list of segment objects or an object of label value -> name")


def cmd_seg_from_nifti(args: argparse.Namespace) -> int:
    try:
        segments = _segments_from_labels(args.labels, args.mask)
    except (OSError, ValueError, RuntimeError) as exc:
        print(f"loam seg-from-nifti: {exc}", file=sys.stderr)
        return 2
    files = dicom_files([args.ref_dir])
    keys = _core._series_keys(files)
    series: dict[str, list[str]] = {}
    for path, k in zip(files, keys):
        if k["image"] and k["series_uid"]:
            series.setdefault(k["series_uid"], []).append(path)
    if args.series:
        series = {uid: p for uid, p in series.items() if uid == args.series}
    if len(series) != 1:
        found = ", ".join(f"{uid} ({len(p)} files)" for uid, p in series.items()) or "none"
        print(f"loam seg-from-nifti: {args.ref_dir} must hold exactly one image series (pick one with "
              f"--series); found: {found}", file=sys.stderr)
        return 2
    (paths,) = series.values()
    try:
        data = _core.build_seg_from_nifti(paths, args.mask, segments)
        with open(args.output, "wb") as f:
            f.write(data)
    except (OSError, ValueError, RuntimeError) as exc:
        print(f"loam seg-from-nifti: {exc}", file=sys.stderr)
        return 1
    print(f"{args.output}: {len(segments)} segments over {len(paths)} reference files")
    return 0


def cmd_seg_to_nifti(args: argparse.Namespace) -> int:
    if not args.output.endswith((".nii", ".nii.gz")):
        print("loam seg-to-nifti: output must end with .nii or .nii.gz", file=sys.stderr)
        return 2
    try:
        result = _core.read_seg(args.seg)
        if result is None:
            print(f"loam seg-to-nifti: {args.seg} holds no segments", file=sys.stderr)
            return 1
        labels, meta = result
        _core.write_nifti_volume(labels, meta["affine"], args.output)
    except (OSError, ValueError, RuntimeError) as exc:
        print(f"loam seg-to-nifti: {exc}", file=sys.stderr)
        return 1
    print(f"{args.output}: {meta['segmentation_type']} {meta['slices']} x {meta['rows']} x {meta['columns']}")
    for s in meta["segments"]:
        print(f"  {s['number']:>4}  {s['label']}")
    if meta["overlapping"]:
        print("note: segments overlap; each voxel holds the largest segment number covering it")
    return 0


def convert_formats() -> list[str]:
    from .convert import FORMATS
    return list(FORMATS)


def batch_progress(enabled: bool) -> Callable[[int, int | None], None] | None:
    """A progress line for archive jobs: files handled, files/s and, once discovery has finished, the ETA."""
    if not enabled:
        return None
    start = time.monotonic()

    def show(done: int, total: int | None) -> None:
        elapsed = max(time.monotonic() - start, 1e-9)
        rate = done / elapsed
        line = f"\r\033[K{done}" + (f"/{total}" if total else "") + f" files, {rate:.0f} files/s"
        if total and rate > 0:
            line += f", ETA {max(total - done, 0) / rate:.0f} s"
        sys.stderr.write(line)
        sys.stderr.flush()

    return show


def executor_of(args: argparse.Namespace) -> str:
    """The executor a command's options name: a Dask scheduler, a process pool or threads."""
    return args.scheduler or ("process" if getattr(args, "processes", False) else "thread")


def print_batch_summary(command: str, summary: dict[str, Any], what: str) -> None:
    failed = summary["failed"]
    rate = summary.get("files_per_second")
    print(f"{summary['done']} files {what}" + (f" ({rate:.0f} files/s)" if rate else "")
          + f", {summary['skipped']} done by an earlier run, {len(failed)} failed")
    for f in failed[:20]:
        print(f"  failed {f['path']}: {f['reason']}")
    if len(failed) > 20:
        print(f"  ... and {len(failed) - 20} more: see the summary file")


def run_batch(command: str, job: Callable[[], dict[str, Any]]) -> dict[str, Any] | None:
    """Runs an archive job; a missing optional package or a bad option is a message, not a traceback."""
    from .batch import MissingDependency

    try:
        return job()
    except MissingDependency as exc:
        print(f"loam {command}: {exc}", file=sys.stderr)
    except (ValueError, OSError) as exc:
        print(f"loam {command}: {exc}", file=sys.stderr)
    finally:
        if sys.stderr.isatty():
            sys.stderr.write("\r\033[K")
    return None


def _sr_value(item: dict[str, Any]) -> str:
    """One content item's value, as the dump shows it."""
    code = item.get("code")
    if code:
        return f"{code['meaning']} ({code['value']}, {code['scheme']})"
    if item.get("value_type") == "NUM":
        unit = item.get("unit", {}).get("value", "")
        value = item.get("value")
        shown = "no value" if value is None else f"{value:g} {unit}".strip()
        qualifier = item.get("qualifier")
        return shown + (f" [{qualifier['meaning']}]" if qualifier else "")
    for key in ("text", "datetime", "date", "time", "uid", "person_name"):
        if key in item:
            return repr(item[key])
    if "reference" in item:
        ref = item["reference"]
        frames = f" frames {','.join(map(str, ref['frames']))}" if ref.get("frames") else ""
        segments = f" segments {','.join(map(str, ref['segments']))}" if ref.get("segments") else ""
        return f"{ref['sop_instance_uid']}{frames}{segments}"
    if "graphic_type" in item:
        return f"{item['graphic_type']} {len(item['graphic_data'])} values"
    if "temporal_range_type" in item:
        return str(item["temporal_range_type"])
    if "referenced_content" in item:
        return "-> item " + ".".join(map(str, item["referenced_content"]))
    return ""


def _sr_dump(item: dict[str, Any], at: str, depth: int, out: list[str]) -> None:
    concept = item.get("concept", {}).get("meaning", "")
    relationship = item.get("relationship", "")
    value = _sr_value(item)
    line = f"{'  ' * depth}{at} {relationship + ' ' if relationship else ''}{item.get('value_type', 'BY REFERENCE')}"
    line += f" {concept}" if concept else ""
    line += f" = {value}" if value else ""
    out.append(line)
    for k, child in enumerate(item.get("children", []), 1):
        _sr_dump(child, f"{at}.{k}", depth + 1, out)


def cmd_sr(args: argparse.Namespace) -> int:
    try:
        if args.action == "json":
            print(_core.content_json(args.path))
        elif args.action == "html":
            page = _core.sr_to_html(args.path)
            if args.output:
                with open(args.output, "w", encoding="utf-8") as f:
                    f.write(page)
            else:
                sys.stdout.write(page)
        elif args.action == "rows":
            rows = _core.read_measurement_report(args.path, rows=True)
            assert isinstance(rows, list)  # rows=True gives the list
            if args.json:
                print(json.dumps(rows, indent=1))
            else:
                import csv
                names = list(rows[0]) if rows else ["group", "tracking_id", "quantity", "value", "unit"]
                writer = csv.DictWriter(sys.stdout, fieldnames=names)
                writer.writeheader()
                writer.writerows(rows)
        else:
            document = json.loads(_core.content_json(args.path))
            lines = [f"{document['patient']['name']} ({document['patient']['id']}), "
                     f"{document['completion_flag']} {document['verification_flag']}"]
            _sr_dump(document["content"], "1", 0, lines)
            print("\n".join(lines))
    except (OSError, ValueError, RuntimeError) as exc:
        print(f"loam sr {args.action}: {exc}", file=sys.stderr)
        return 1
    return 0


def cmd_index(args: argparse.Namespace) -> int:
    from . import batch

    for path in args.paths:
        if not os.path.exists(path):
            print(f"loam index: no such file or folder: {path}", file=sys.stderr)
            return 2
    progress = batch_progress(not args.no_progress and sys.stderr.isatty())
    summary = run_batch("index", lambda: batch.index(
        args.paths, args.output, with_json=not args.no_json, executor=executor_of(args), workers=args.workers,
        batch_size=args.batch_size, progress=progress))
    if summary is None:
        return 2
    print_batch_summary("index", summary, f"indexed into {args.output} ({summary['series']} series)")
    return 1 if summary["failed"] and not summary["done"] and not summary["skipped"] else 0


def add_batch_options(parser: argparse.ArgumentParser, workers: bool = True) -> None:
    if workers:
        parser.add_argument("--workers", type=int, metavar="N", help="threads (or processes) to use (default: all cores)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="run on this Dask cluster (tcp://host:8786); its workers must see the same paths")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="loam", description="DICOM toolkit command line", formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="exit status, for every command:\n"
               "  0  everything asked was done\n"
               "  1  some inputs failed (unreadable, refused, not conformant, not written); the others were done\n"
               "  2  usage error: bad arguments, a missing folder, an option out of range; nothing was done")
    from loam import __version__

    parser.add_argument("--version", action="version", version=f"loam {__version__}")
    sub = parser.add_subparsers(dest="command", required=True)
    info = sub.add_parser("info", help="file meta, transfer syntax and pixel-data presence of files or directories")
    info.add_argument("paths", nargs="+", metavar="PATH", help="files, or directories to walk")
    info.add_argument("-1", "--brief", action="store_true", help="one tab-separated line per file")
    info.add_argument("--no-progress", action="store_true", help="never draw the progress bar")
    info.add_argument("--json", action="store_true", help="one JSON array of per-file objects")
    info.set_defaults(run=cmd_info)
    edit = sub.add_parser("edit", help="set or erase top-level elements, keeping every other byte")
    edit.add_argument("path", metavar="PATH", help="the Part-10 file to edit")
    edit.add_argument("--set", action="append", default=[], metavar="TAG=VALUE",
                      help="set (or insert) an element; TAG is a keyword or hexadecimal")
    edit.add_argument("--erase", action="append", default=[], metavar="TAG", help="erase an element")
    edit.add_argument("-o", "--output", required=True, metavar="OUT", help="where to write the edited file")
    edit.set_defaults(run=cmd_edit)
    js = sub.add_parser("json", help="print a file's data set (or file meta) as DICOM JSON")
    js.add_argument("path", metavar="PATH")
    js.add_argument("--meta", action="store_true", help="the file meta information instead of the data set")
    js.add_argument("--pixel-data", choices=("omit", "inline", "bulk"), default="omit",
                    help="omit the pixel data (default: only its VR is named), carry it inline (base64), or "
                         "write it to OUT.pixeldata.bin beside -o OUT.json")
    js.add_argument("-o", "--output", metavar="OUT.json", help="write the JSON here instead of printing it")
    js.set_defaults(run=cmd_json)
    du = sub.add_parser("dump", help="every element of a file as a tree: tag, VR, name and value, sequences "
                                     "nested, private tags named by their creator, long values cut")
    du.add_argument("paths", nargs="+", metavar="PATH")
    du.add_argument("--width", type=int, default=64, metavar="N", help="cut values longer than N characters (default 64)")
    du.add_argument("--stop-before-pixels", action="store_true", help="read only up to the pixel data")
    du.set_defaults(run=cmd_dump)
    fj = sub.add_parser("from-json", help="write a Part-10 file from DICOM JSON")
    fj.add_argument("path", metavar="FILE.json")
    fj.add_argument("-o", "--output", required=True, metavar="OUT.dcm")
    fj.add_argument("--transfer-syntax", default="", metavar="UID",
                    help="transfer syntax UID (default Implicit VR Little Endian)")
    fj.set_defaults(run=cmd_from_json)
    dec = sub.add_parser("decode", help="decode pixel data to a NumPy .npy file")
    dec.add_argument("path", metavar="PATH")
    dec.add_argument("--frame", type=int, default=0, metavar="N", help="frame number from 1 (default: all)")
    dec.add_argument("--rescale", action="store_true", help="modality values (e.g. HU) as float32")
    dec.add_argument("-o", "--output", required=True, metavar="OUT.npy")
    dec.set_defaults(run=cmd_decode)
    en = sub.add_parser("encapsulate", help="a PDF, CDA, STL (binary), OBJ or MTL file as its Encapsulated "
                                            "Document object")
    en.add_argument("path", metavar="FILE")
    en.add_argument("-o", "--output", required=True, metavar="OUT.dcm")
    en.add_argument("--kind", default="", metavar="KIND",
                    help="pdf, cda, stl, obj or mtl, or a MIME type (default: from the file's content)")
    en.add_argument("--reference", metavar="DICOM", help="a DICOM file whose patient and study the object joins")
    en.add_argument("--title", metavar="TEXT", help="Document Title")
    en.set_defaults(run=cmd_encapsulate)
    ex = sub.add_parser("extract", help="the document an Encapsulated Document object holds, byte for byte")
    ex.add_argument("path", metavar="PATH")
    ex.add_argument("-o", "--output", required=True, metavar="OUT")
    ex.set_defaults(run=cmd_extract)
    png = sub.add_parser("png", help="one frame as an 8-bit PNG as viewers show it: through the file's VOI LUT or "
                                     "window (MONOCHROME1 inverted), overlays burned in, optionally through a "
                                     "presentation state")
    png.add_argument("path", metavar="PATH")
    png.add_argument("-o", "--output", required=True, metavar="OUT.png")
    png.add_argument("--frame", type=int, default=1, metavar="N", help="frame number from 1 (default 1)")
    png.add_argument("--window", type=float, nargs=2, metavar=("CENTER", "WIDTH"),
                     help="this window instead of the file's VOI LUT or window")
    png.add_argument("--voi", choices=("auto", "window", "lut", "minmax"), default="auto",
                     help="which of the file's VOI transforms: auto (its VOI LUT, else its window, else the frame's "
                          "range), window, lut or minmax")
    png.add_argument("--no-overlays", action="store_true", help="leave the overlay planes out")
    png.add_argument("--presentation-state", metavar="PR.dcm",
                     help="show the frame as this Grayscale Softcopy Presentation State does")
    png.set_defaults(run=cmd_png)
    tc = sub.add_parser("transcode", help="re-encode files (or a directory tree) into another transfer syntax")
    tc.add_argument("input", metavar="IN", help="a file, or a directory to walk")
    tc.add_argument("-o", "--output", required=True, metavar="OUT", help="the output file, or directory")
    tc.add_argument("--to", required=True, metavar="SYNTAX",
                    help="|".join(TRANSCODE_TARGETS) + ", or a transfer syntax UID")
    tc.add_argument("--quality", type=int, default=97, help="for lossy targets (default 97)")
    tc.add_argument("--no-progress", action="store_true", help="never draw the progress bar")
    add_batch_options(tc)
    tc.set_defaults(run=cmd_transcode)
    de = sub.add_parser("deid", help="de-identify a file or a directory tree (Basic Application Level "
                                     "Confidentiality Profile) into OUT/patient/study/series/instance.dcm")
    de.add_argument("input", metavar="IN", help="a file, or a folder to walk")
    de.add_argument("output_dir", nargs="?", metavar="OUT", help="the output folder")
    de.add_argument("-o", "--output", metavar="OUT", help="the output folder (instead of OUT)")
    de.add_argument("--options", metavar="options.json", help="de-identification options as a JSON object")
    de.add_argument("--key-file", metavar="FILE",
                    help="the secret every replacement UID and pseudonym is derived from: runs with the same "
                         "key agree; made (random) when FILE does not exist. Without it a fresh key is drawn")
    de.add_argument("--lookup-table", metavar="FILE.csv",
                    help="write original -> replacement for patients, UIDs and IDs (kept by the data holder, "
                         "never released)")
    de.add_argument("--shift-dates-per-patient", type=int, metavar="DAYS", default=0,
                    help="move each patient's dates back by a keyed 1..DAYS days")
    de.add_argument("--clean-pixel", action="store_true",
                    help="black out burned-in text of devices known to burn it in (output uncompressed)")
    de.add_argument("-j", "--jobs", type=int, default=0, help="files de-identified at once (default: all cores)")
    de.add_argument("--allow-refused", action="store_true",
                    help="exit 0 even when some files were refused (they are still listed)")
    de.add_argument("-q", "--quiet", action="store_true", help="no progress and no line per file")
    de.add_argument("--no-progress", action="store_true", help="never draw the progress bar")
    add_batch_options(de, workers=False)
    de.set_defaults(run=cmd_deid)
    ix = sub.add_parser("index", help="index the DICOM files under folders into a Parquet data set, one row per "
                                      "instance (resumable; on threads, processes or a Dask cluster)")
    ix.add_argument("paths", nargs="+", metavar="PATH", help="files, or folders to walk")
    ix.add_argument("-o", "--output", default="index.parquet", metavar="OUT",
                    help="the data set's folder (default index.parquet); OUT/_series.parquet holds one row per "
                         "series and OUT/_summary.json what was done")
    add_batch_options(ix)
    ix.add_argument("--processes", action="store_true", help="a pool of processes instead of threads")
    ix.add_argument("--batch-size", type=int, default=2048, metavar="N", help="files per shard (default 2048)")
    ix.add_argument("--no-json", action="store_true", help="leave out the json column (the whole header)")
    ix.add_argument("--no-progress", action="store_true", help="never draw the progress line")
    ix.set_defaults(run=cmd_index)
    sr = sub.add_parser("sr", help="a structured report: its content tree (dump), JSON, HTML page or measurement rows")
    sr.add_argument("action", choices=["dump", "json", "html", "rows"],
                    help="dump: the tree as text; json: content_json; html: an HTML page; rows: one CSV row per "
                         "TID 1500 measurement")
    sr.add_argument("path", metavar="PATH")
    sr.add_argument("-o", "--output", metavar="FILE", help="html: write the page here instead of to standard output")
    sr.add_argument("--json", action="store_true", help="rows: a JSON array instead of CSV")
    sr.set_defaults(run=cmd_sr)
    sc = sub.add_parser("scan", help="list the DICOM files under a directory")
    sc.add_argument("dir", metavar="DIR")
    sc.add_argument("--flat", action="store_true", help="only the directory itself, not its subdirectories")
    sc.add_argument("--json", action="store_true", help="a JSON object with the file list")
    sc.set_defaults(run=cmd_scan)
    dd = sub.add_parser("dicomdir", help="write a DICOMDIR for the DICOM files under a directory")
    dd.add_argument("dir", metavar="DIR", help="the file set's root; file IDs are paths relative to it")
    dd.add_argument("-o", "--output", required=True, metavar="DICOMDIR")
    dd.add_argument("--fileset-id", default="", metavar="ID", help="File-set ID (up to 16 characters)")
    dd.set_defaults(run=cmd_dicomdir)
    va = sub.add_parser("validate", help="check files against their IOD and each element against its VR, "
                        "VM and the module definitions; exit status 1 when any error")
    va.add_argument("paths", nargs="+", metavar="PATH", help="files, or directories to scan")
    va.add_argument("--iod-only", action="store_true",
                    help="only the IOD layer: required attributes of the mandatory modules and the conditions")
    va.add_argument("--json", action="store_true", help="one JSON array of per-file objects with their findings")
    va.set_defaults(run=cmd_validate)
    cv = sub.add_parser("convert", help="assemble each series under a directory into volume files, as dcm2niix does")
    cv.add_argument("dir", metavar="DIR")
    cv.add_argument("-o", "--output", required=True, metavar="OUT_DIR",
                    help="the output folder (created if missing); a name ending in .nii, .nii.gz, .nrrd or .mha "
                         "names the volume file instead, with _<series number> added for several series")
    cv.add_argument("-f", "--filename", default="%s_%p", metavar="PATTERN",
                    help="output names: %%s series number, %%p protocol, %%d series description, %%e echo, "
                         "%%f input folder, %%m manufacturer, %%u acquisition number, %%z sequence name, "
                         "%%j series UID (default %%s_%%p); _e<N>, _ph, _real and _imaginary are added "
                         "for echoes and complex components, as dcm2niix does")
    cv.add_argument("--format", choices=sorted(convert_formats()), default="nii", help="volume format (default nii)")
    cv.add_argument("-z", dest="format", action="store_const", const="nii.gz", help="gzip: the same as --format nii.gz")
    cv.add_argument("--no-sidecar", action="store_true", help="write no BIDS .json sidecar")
    cv.add_argument("--force", action="store_true",
                    help="overwrite existing files (otherwise a, b, c, ... is added to the name)")
    cv.add_argument("--no-progress", action="store_true", help="show no progress")
    add_batch_options(cv)
    cv.set_defaults(run=cmd_convert)
    dv = sub.add_parser("dvh", help="dose-volume histogram statistics of one ROI")
    dv.add_argument("rtstruct", metavar="RTSTRUCT")
    dv.add_argument("rtdose", metavar="RTDOSE")
    dv.add_argument("--roi", required=True, metavar="NAME", help="ROI name, or number")
    dv.add_argument("--stat", action="append", default=[], metavar="NAME",
                    help="D95, D2cc, V20Gy, V100%% (with --rx), Dmax, ... (repeatable)")
    dv.add_argument("--rx", type=float, default=0.0, metavar="GY", help="prescription dose for V...%% statistics")
    dv.add_argument("--samples", type=int, default=3, help="samples per pixel and axis (default 3)")
    dv.add_argument("--json", action="store_true", help="a JSON object of the volumes, doses and statistics")
    dv.set_defaults(run=cmd_dvh)
    ra = sub.add_parser("radiomics", help="IBSI radiomics features of an image over a mask: one CSV row per label")
    ra.add_argument("image", metavar="IMAGE", help="a NIfTI file, or a folder of one DICOM series")
    ra.add_argument("mask", metavar="MASK", help="a NIfTI mask, a DICOM Segmentation or an RT Structure Set")
    ra.add_argument("--settings", metavar="SETTINGS.json", help="a JSON object of settings (binWidth, "
                    "resampledPixelSpacing, resegmentRange, ...)")
    ra.add_argument("--label", action="append", metavar="N", help="mask value, segment number or label, or ROI "
                    "name or number (repeatable; default 1)")
    ra.add_argument("--convention", choices=("ibsi", "pyradiomics"), default="ibsi", help="feature names "
                    "and defaults (default ibsi)")
    ra.add_argument("--csv", metavar="OUT.csv", help="write the rows here instead of printing them")
    ra.set_defaults(run=cmd_radiomics)
    sf = sub.add_parser("seg-from-nifti", help="a DICOM Segmentation from a NIfTI label volume over a reference series")
    sf.add_argument("ref_dir", metavar="REF_DIR", help="folder of the reference series' single-frame images")
    sf.add_argument("mask", metavar="MASK", help="NIfTI-1 label volume co-framed with the series")
    sf.add_argument("-o", "--output", required=True, help="the Segmentation file to write")
    sf.add_argument("--labels", help="JSON: a list of segment objects, or {label value: name or segment object}")
    sf.add_argument("--series", help="the reference Series Instance UID when REF_DIR holds several series")
    sf.set_defaults(run=cmd_seg_from_nifti)
    st = sub.add_parser("seg-to-nifti", help="a Segmentation's label map as a NIfTI-1 volume")
    st.add_argument("seg", metavar="SEG", help="the Segmentation file")
    st.add_argument("-o", "--output", required=True, help="NIfTI file to write (.nii or .nii.gz)")
    st.set_defaults(run=cmd_seg_to_nifti)
    wi = sub.add_parser("wsi-info", help="levels, tile grid, resolution and associated images of a slide")
    wi.add_argument("paths", nargs="+", metavar="PATHS", help="the slide's instance files, or folders holding them")
    wi.add_argument("--json", action="store_true", help="a JSON object of the levels, images and properties")
    wi.set_defaults(run=cmd_wsi_info)
    wr = sub.add_parser("wsi-region", help="a region of one slide level as a PNG")
    wr.add_argument("paths", nargs="+", metavar="PATHS", help="the slide's instance files, or folders holding them")
    wr.add_argument("--level", type=int, default=0, help="pyramid level (0 = full resolution)")
    wr.add_argument("--x", type=int, default=0, help="left edge in level-0 pixels")
    wr.add_argument("--y", type=int, default=0, help="top edge in level-0 pixels")
    wr.add_argument("--size", type=int, nargs=2, required=True, metavar=("W", "H"), help="region size in level pixels")
    wr.add_argument("--srgb", action="store_true", help="convert through the slide's ICC profile to sRGB")
    wr.add_argument("-o", "--output", required=True, metavar="OUT.png")
    wr.set_defaults(run=cmd_wsi_region)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status: int = args.run(args)
        return status
    except BrokenPipeError:  # `loam info dir | head`
        sys.stderr.close()
        return 0


if __name__ == "__main__":
    sys.exit(main())
