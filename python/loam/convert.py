"""Series to volume files, as dcm2niix writes them: one file per series (and per echo and complex
component), integers kept as integers with their scaling, a BIDS sidecar, and bval/bvec files for
diffusion series.

Conventions: NIfTI stores RAS (nibabel's), our affines are LPS; bvecs follow FSL (unit vectors on the
voxel axes, x negated when the stored affine has a positive determinant); Philips images are written
with Philips' floating-point scaling (stored / scale slope), as dcm2niix does by default, because
that value is the one the scanner computed and the display scaling is not comparable across series.
"""

from __future__ import annotations

import json
import os
import re
from dataclasses import dataclass, field

from . import _core

VOLUME_SUFFIXES = (".nii.gz", ".nii", ".nrrd", ".mha")
FORMATS = {"nii": ".nii", "nii.gz": ".nii.gz", "nrrd": ".nrrd", "mha": ".mha"}
DEFAULT_PATTERN = "%s_%p"
# Characters file systems or shells trip over, replaced in names taken from headers.
UNSAFE = re.compile(r"[\s<>:\"/\\|?*\x00-\x1f]+")
PART_SUFFIX = {"PHASE": "_ph", "REAL": "_real", "IMAGINARY": "_imaginary"}


@dataclass
class Output:
    """One volume file to write: the files of one series with one echo and complex component."""
    series_uid: str
    files: list[str]
    keys: list[dict]
    echo: int | None = None
    part: str = "MAGNITUDE"
    echoes_in_series: int = 1

    @property
    def first(self) -> dict:
        return self.keys[0]


@dataclass
class Result:
    output: Output
    written: list[str] = field(default_factory=list)
    volumes: int = 0
    shape: tuple[int, ...] = ()
    kind: str = ""
    notes: list[str] = field(default_factory=list)
    error: str = ""


def volume_suffix(path: str) -> str | None:
    return next((s for s in VOLUME_SUFFIXES if path.endswith(s)), None)


def plan(files: list[str], keys: list[dict]) -> list[Output]:
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


def encoded(array, meta: dict) -> tuple[object, float, float, list[str]]:
    """The array to write with its scl_slope/scl_inter: stored integers when the decoded values are
    an exact linear image of them (float32 otherwise), Philips' floating-point scaling applied."""
    notes = []
    stored, philips = meta.get("stored"), meta.get("philips_scale_slope")
    if stored:
        dtype = {"int8": "int16"}.get(stored["dtype"], stored["dtype"])
        ints = _core._stored_volume(array, stored["slope"], stored["intercept"], dtype)
        if ints is not None:
            slope, inter = stored["slope"], stored["intercept"]
            if philips:
                slope, inter = 1.0 / philips, inter / (slope * philips)
            return ints, slope, inter, notes
    if philips and stored:
        return (array / (stored["slope"] * philips)).astype("float32"), 1.0, 0.0, notes
    if philips:
        notes.append("Philips display scaling kept: the frames' rescale values differ")
    return array, 1.0, 0.0, notes


def write_array(path: str, array, affine: list[float], meta: dict, repetition_time: float, rgb: bool = False,
                ) -> list[str]:
    suffix = volume_suffix(path)
    notes: list[str] = []
    if rgb:
        if suffix not in (".nii", ".nii.gz"):
            raise ValueError("colour series can only be written as NIfTI (RGB24)")
        _core.write_nifti_volume(array, affine, path, rgb=True, repetition_time=repetition_time)
        return notes
    values, slope, inter, notes = encoded(array, meta)
    if suffix in (".nii", ".nii.gz"):
        _core.write_nifti_volume(values, affine, path, scl_slope=slope, scl_inter=inter,
                                 repetition_time=repetition_time)
    else:
        if slope != 1.0 or inter != 0.0:  # these formats carry no scaling: write the values themselves
            values = array
        writer = _core.write_nrrd_volume if suffix == ".nrrd" else _core.write_metaimage_volume
        writer(values, affine, path, True)
    return notes


def fsl_bvecs(bvecs: list[list[float]], affine: list[float]) -> list[list[float]]:
    """Voxel-frame gradients in FSL's convention: x negated when the stored (RAS) axes keep handedness."""
    import numpy as np
    lps = np.array(affine, float).reshape(4, 4).T[:3, :3]
    ras = np.diag([-1.0, -1.0, 1.0]) @ lps
    flip = -1.0 if np.linalg.det(ras) > 0 else 1.0
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
    # The sidecar also gives the repetition time the NIfTI header carries.
    meta_sidecar = _core.bids_sidecar(paths)
    tr = float(meta_sidecar.get("RepetitionTime") or 0.0)
    bvals = bvecs = None
    rgb = any(k["colour"] for k in output.keys)
    if rgb:
        array, meta = _core._assemble_rgb(paths)
        if array.shape[0] == 1:
            array = array[0]
        result.kind = "RGB"
    else:
        array = None
        if any(k["diffusion"] for k in output.keys):
            array, meta = _core.assemble_dwi(paths, "acquisition")
            if meta["volumes"] < 2:  # a single weighted (or derived trace) volume has no gradient table
                array = None
            else:
                bvals, bvecs = meta["bvals"], meta["bvecs"]
                result.kind = "diffusion"
                if meta["derived_excluded"]:
                    result.notes.append(f"{meta['derived_excluded']} derived isotropic (trace) volume(s) left out, "
                                        "as dcm2niix does")
    if array is None:
        array, meta = _core.assemble_4d(paths)
        axes = [d["name"] for d in meta["dimensions"]]
        result.kind = ", ".join(axes)
    if not rgb and array.shape[0] == 1:
        array = array[0]
    if meta.get("grouping"):
        result.notes.append(f"volumes told apart by {meta['grouping']}")
    if meta.get("duplicates"):
        result.notes.append(f"{meta['duplicates']} duplicate frame(s) (same SOP instance) ignored")
    if meta.get("missing_slices"):
        result.notes.append(f"{meta['missing_slices']} slice(s) missing, written as zeros")
    result.volumes = 1 if array.ndim == (4 if rgb else 3) else array.shape[0]
    # In the file's order, as dcm2niix reports it: columns, rows, slices, volumes.
    spatial = array.shape[:-1] if rgb else array.shape
    result.shape = tuple(reversed(spatial[-3:])) + ((array.shape[0],) if result.volumes > 1 else ())
    path = unique_path(stem, suffix, taken, force)
    base = path[: -len(suffix)]
    result.notes += write_array(path, array, meta["affine"], meta, tr, rgb)
    result.written.append(path)
    if sidecar:
        write_text(base + ".json", json.dumps(meta_sidecar, indent="\t", ensure_ascii=False) + "\n")
        result.written.append(base + ".json")
    if bvals is not None:
        write_text(base + ".bval", " ".join(number_text(b) for b in bvals) + "\n")
        rows = list(zip(*fsl_bvecs(bvecs, meta["affine"])))
        write_text(base + ".bvec", "".join(" ".join(number_text(c) for c in r) + "\n" for r in rows))
        result.written += [base + ".bval", base + ".bvec"]
    return result

