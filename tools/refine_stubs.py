"""Makes the generated stub of loam._core precise enough for `mypy --strict`.

nanobind writes bare generics (dict, list, NDArray) where a binding returns a Python object; this
gives them their type arguments, names the TypedDicts of python/loam/_types.py where a function
gives or takes one of them, and drops the exception classes' redundant __str__ entries.

Usage: python tools/refine_stubs.py python/loam/_core.pyi   (run by `make stubs`)
"""

from __future__ import annotations

import importlib.util
import re
import sys
from pathlib import Path

# The parameter, return, error and example sections kept with the package.
_spec = importlib.util.spec_from_file_location(
    "loam_docs", Path(__file__).resolve().parent.parent / "python" / "loam" / "_docs.py")
assert _spec and _spec.loader
_docs = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_docs)

# function -> (text in its signature, replacement)
PRECISE = {
    "read_file_meta": [("-> dict[str, str | bool]", "-> FileMeta")],
    "decode": [("dict[str, object]]", "DecodeMeta]")],
    "decode_bytes": [("dict[str, object]]", "DecodeMeta]")],
    "decode_stored": [("dict[str, object]]", "DecodeMeta]")],
    "decode_stored_bytes": [("dict[str, object]]", "DecodeMeta]")],
    "describe_tag": [("-> dict[str, str | bool] | None", "-> TagInfo | None")],
    "describe_private": [("-> dict[str, str | bool] | None", "-> TagInfo | None")],
    "uid_lookup": [("-> dict[str, str | bool | int] | None", "-> UidInfo | None")],
    "iod_validate": [("-> list[dict[str, str | int]]", "-> list[IodFinding]")],
    "validate": [("-> list[dict[str, str | int]]", "-> list[Finding]")],
    "write_seg": [("segments: list[dict]", "segments: Sequence[Segment]"),
                  ("identity: dict[str, str | int] | None", "identity: Identity | None")],
    "write_seg_fractional": [("segments: list[dict]", "segments: Sequence[Segment]"),
                             ("identity: dict[str, str | int] | None", "identity: Identity | None")],
    "write_seg_overlapping": [("segments: list[dict]", "segments: Sequence[Segment]"),
                              ("identity: dict[str, str | int] | None", "identity: Identity | None")],
    "build_seg_from_nifti": [("segments: list[dict]", "segments: Sequence[Segment]")],
    "write_ko": [("identity: dict[str, str | int] | None", "identity: Identity | None")],
    "wsi_write_pyramid": [("identity: dict | None", "identity: Identity | None")],
}

TYPES = "DecodeMeta, FileMeta, Finding, Identity, IodFinding, Segment, TagInfo, UidInfo"

BARE = [
    (re.compile(r"\b(numpy\.typing\.NDArray|NDArray)\b(?!\[)"), r"\1[Any]"),
    (re.compile(r"(?<![\w.])dict\b(?![\[(])"), "dict[str, Any]"),
    (re.compile(r"(?<![\w.])list\b(?![\[(])"), "list[Any]"),
    (re.compile(r"(?<![\w.])tuple\b(?![\[(])"), "tuple[Any, ...]"),
    (re.compile(r"\bSequence\b(?!\[)(?= |,|\)|$)"), "Sequence[Any]"),
    (re.compile(r"\bnumpy\.ndarray\[\]"), "NDArray[Any]"),
]


# An array parameter of a module function: the package converts any array-like (a list, a tuple)
# before the call, so that is what the stub accepts.
ARRAY_PARAMETER = re.compile(r"(\w+: )(?:Annotated\[(?:numpy\.typing\.)?NDArray(?:\[[\w.]+\])?, "
                             r"dict\((?:[^()]|\([^()]*\))*\)\]|(?:numpy\.typing\.)?NDArray(?:\[[\w.]+\])?)")
# A list parameter takes any sequence (the binding converts it), except the lists a function
# appends its findings to.
LIST_PARAMETER = re.compile(r"(\b(?!lookup\b|notes\b)\w+: )list\[")


def arrays_as_array_likes(line: str) -> str:
    head, arrow, tail = line.partition(") ->")
    head = LIST_PARAMETER.sub(r"\1Sequence[", ARRAY_PARAMETER.sub(r"\1ArrayLike", head))
    return head + arrow + tail


def with_sections(text: str) -> str:
    """Each module function's docstring with its sections from _docs appended."""
    lines = text.split("\n")
    out: list[str] = []
    i = 0
    while i < len(lines):
        line = lines[i]
        out.append(line)
        m = re.match(r"def (\w+)\(", line)
        extra = _docs.sections(m.group(1)) if m else ""
        if not extra or i + 1 >= len(lines) or not lines[i + 1].startswith('    """'):
            i += 1
            continue
        body = [lines[i + 1]]
        j = i + 1
        if not (body[0].endswith('"""') and len(body[0].strip()) > 3):
            while not lines[j + 1].strip() == '"""':
                j += 1
                body.append(lines[j])
            j += 1
            body.append(lines[j])
            summary = [b[4:] for b in body[1:-1]]
        else:
            summary = [body[0].strip()[3:-3]]
        out.append('    """')
        out.extend(("    " + s).rstrip() for s in summary + [""] + extra.split("\n"))
        out.append('    """')
        i = j + 1
    return "\n".join(out)


def refine(text: str) -> str:
    out = []
    for line in text.split("\n"):
        m = re.match(r"\s*def (\w+)\(", line)
        if m and ("->" in line or ":" in line):
            for old, new in PRECISE.get(m.group(1), []):
                if old not in line:
                    raise SystemExit(f"refine_stubs: {m.group(1)} no longer has {old!r}; update the table")
                line = line.replace(old, new)
            if line.startswith("def ") and not m.group(1).startswith("_"):
                line = arrays_as_array_likes(line)
            for pattern, replacement in BARE:
                line = pattern.sub(replacement, line)
        out.append(line)
    text = with_sections("\n".join(out))
    # OSError's subclasses keep BaseException's __str__ (the message as given): nothing to declare.
    text = re.sub(r"\n    def __str__\(self, /\):\n        \"\"\"Return str\(self\)\.\"\"\"\n", "", text)
    header = f"from typing import Any\n\nfrom numpy.typing import ArrayLike\n\nfrom ._types import {TYPES}\n"
    first_import = re.search(r"^(from|import) ", text, re.M)
    assert first_import
    return text[: first_import.start()] + header + text[first_import.start():]


if __name__ == "__main__":
    path = sys.argv[1]
    with open(path, encoding="utf-8") as f:
        refined = refine(f.read())
    with open(path, "w", encoding="utf-8") as f:
        f.write(refined)
