"""Series to volume files, as dcm2niix writes them: one file per series (and per echo and complex
component), integers kept as integers with their scaling, a BIDS sidecar, and bval/bvec files for
diffusion series.

Conventions: NIfTI stores RAS (nibabel's), our affines are LPS; bvecs follow FSL (unit vectors on the
voxel axes, x negated when the stored affine has a positive determinant); Philips images are written
with Philips' floating-point scaling (stored / scale slope), as dcm2niix does by default, because
that value is the one the scanner computed and the display scaling is not comparable across series.
"""

from __future__ import annotations

from typing import Any

import json
import os
import re
from . import _core

VOLUME_SUFFIXES = (".nii.gz", ".nii", ".nrrd", ".mha")
FORMATS = {"nii": ".nii", "nii.gz": ".nii.gz", "nrrd": ".nrrd", "mha": ".mha"}
DEFAULT_PATTERN = "%s_%p"
# Characters file systems or shells trip over, replaced in names taken from headers.
UNSAFE = re.compile(r"[\s<>:\"/\\|?*\x00-\x1f]+")
PART_SUFFIX = {"PHASE": "_ph", "REAL": "_real", "IMAGINARY": "_imaginary"}


# Plain classes: dataclasses would add a fifth to the command's start-up time.
class Output:
    """One volume file to write: the files of one series with one echo and complex component."""

    def __init__(self, series_uid: str, files: list[str], keys: list[dict[str, Any]], echo: int | None = None,
                 part: str = "MAGNITUDE", echoes_in_series: int = 1) -> None:
        self.series_uid, self.files, self.keys = series_uid, files, keys
        self.echo, self.part, self.echoes_in_series = echo, part, echoes_in_series

    @property
    def first(self) -> dict[str, Any]:
        return self.keys[0]


class Result:
    """What converting one output gave: the files written, or the error."""

    def __init__(self, output: Output, error: str = "") -> None:
        self.output, self.error = output, error
        self.written: list[str] = []
        self.volumes = 0
        self.shape: tuple[int, ...] = ()  # the file's axes: columns, rows, slices (, volumes)
        self.kind = ""
        self.notes: list[str] = []


def volume_suffix(path: str) -> str | None:
    return next((s for s in VOLUME_SUFFIXES if path.endswith(s)), None)


def plan(files: list[str], keys: list[dict[str, Any]]) -> list[Output]:
    """Files grouped by series, then by echo and complex component, in series-number order."""
    series: dict[str, list[int]] = {}
    for i, k in enumerate(keys):
        if k["image"] and k["series_uid"]:
            series.setdefault(k["series_uid"], []).append(i)

    def number(uid: str) -> tuple[int, str]:
        text = keys[series[uid][0]]["series_number"]
        return (int(text) if text.lstrip("-").isdigit() else 0, uid)

    outputs = []
    for uid in sorted(series, key=number):
        members = series[uid]
        echoes = sorted({keys[i]["echo_number"] for i in members if keys[i]["echo_number"] is not None})
        parts: dict[tuple[int | None, str], list[int]] = {}
        for i in members:
            echo = keys[i]["echo_number"] if len(echoes) > 1 or (echoes and echoes[0] > 1) else None
            parts.setdefault((echo, keys[i]["complex_part"]), []).append(i)
        for (echo, part), idx in sorted(parts.items(), key=lambda kv: (kv[0][0] or 0, kv[0][1] != "MAGNITUDE")):
            outputs.append(Output(uid, [files[i] for i in idx], [keys[i] for i in idx], echo, part, len(echoes)))
    return outputs


def safe(text: str) -> str:
    return UNSAFE.sub("_", text.strip()).strip("_")


def base_name(output: Output, pattern: str, folder_name: str) -> str:
    """The name from a dcm2niix-style pattern, with dcm2niix's suffixes for echoes and phase."""
    k = output.first
    fields = {"p": k["protocol"], "s": k["series_number"], "d": k["description"], "f": folder_name,
              "m": k["manufacturer"], "u": k["acquisition_number"], "z": k["sequence_name"], "j": k["series_uid"],
              "e": str(output.echo or 1)}
    name = re.sub(r"%([a-z])", lambda m: safe(fields.get(m.group(1), m.group(0))), pattern)
    # Headers without the pattern's fields: the name of the folder the series' files are in.
    fallback = safe(os.path.basename(os.path.dirname(os.path.abspath(output.files[0])))) or "series"
    return (safe(name) or fallback) + name_suffix(output, pattern)


def name_suffix(output: Output, pattern: str = "") -> str:
    """dcm2niix's additions: _e<N> for an echo of a multi-echo series (unless the pattern has %e),
    _ph, _real, _imaginary for complex components."""
    echo = f"_e{output.echo}" if output.echo is not None and "%e" not in pattern else ""
    return echo + PART_SUFFIX.get(output.part, "")


def unique_path(stem: str, suffix: str, taken: set[str], force: bool) -> str:
    """stem + suffix, or with a, b, c ... added when that name is taken in this run or, without
    force, exists already (dcm2niix's rule)."""
    for extra in [""] + [chr(c) for c in range(ord("a"), ord("z") + 1)]:
        path = stem + extra + suffix
        if path in taken or (not force and os.path.exists(path)):
            continue
        taken.add(path)
        return path
    raise OSError(f"too many files named {stem}*{suffix} already")


def fsl_bvecs(bvecs: list[list[float]], affine: list[float]) -> list[list[float]]:
    """Voxel-axis gradients in FSL's convention: x negated when the stored (RAS) axes keep handedness
    (RAS and our LPS matrices have the same determinant)."""
    a = [affine[0:3], affine[4:7], affine[8:11]]  # columns
    det = (a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) - a[1][0] * (a[0][1] * a[2][2] - a[0][2] * a[2][1])
           + a[2][0] * (a[0][1] * a[1][2] - a[0][2] * a[1][1]))
    flip = -1.0 if det > 0 else 1.0
    return [[flip * v[0] + 0.0, v[1] + 0.0, v[2] + 0.0] for v in bvecs]


def number_text(v: float) -> str:
    return f"{v:.6g}" if v != 0 else "0"


def write_text(path: str, text: str) -> None:
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def convert_output(output: Output, stem: str, suffix: str, sidecar: bool, taken: set[str], force: bool) -> Result:
    """Assembles one output and writes its volume, sidecar and diffusion tables."""
    result = Result(output)
    paths = output.files
    path = unique_path(stem, suffix, taken, force)
    written = None
    if any(k["colour"] for k in output.keys):
        written, result.kind = _core._write_series(paths, path, "colour"), "RGB"
    elif any(k["diffusion"] for k in output.keys):
        # A single weighted (or derived trace) volume has no gradient table: a plain volume then.
        written = _core._write_series(paths, path, "diffusion", 2)
        result.kind = "diffusion"
    if written is None:
        written = _core._write_series(paths, path, "volumes")
        if written is None:  # min_volumes 1: only a series with no volume at all
            raise RuntimeError("no volume could be assembled")
        result.kind = ", ".join(written["axes"])
    side = written["sidecar"]
    result.volumes, result.shape = written["volumes"], tuple(written["shape"])
    result.written.append(path)
    if written["grouping"]:
        result.notes.append(f"volumes told apart by {written['grouping']}")
    if written["duplicates"]:
        result.notes.append(f"{written['duplicates']} duplicate frame(s) (same SOP instance) ignored")
    if written["missing_slices"]:
        result.notes.append(f"{written['missing_slices']} slice(s) missing, written as zeros")
    for why in written["undecoded"]:
        result.notes.append(f"left out, no frame decoded: {why}")
    if written["derived_excluded"]:
        result.notes.append(f"{written['derived_excluded']} derived isotropic (trace) volume(s) left out, "
                            "as dcm2niix does")
    base = path[: -len(suffix)]
    if sidecar:
        write_text(base + ".json", json.dumps(side, indent="\t", ensure_ascii=False) + "\n")
        result.written.append(base + ".json")
    if result.kind == "diffusion":
        write_text(base + ".bval", " ".join(number_text(b) for b in written["bvals"]) + "\n")
        rows = list(zip(*fsl_bvecs(written["bvecs"], written["affine"])))
        write_text(base + ".bvec", "".join(" ".join(number_text(c) for c in r) + "\n" for r in rows))
        result.written += [base + ".bval", base + ".bvec"]
    return result
