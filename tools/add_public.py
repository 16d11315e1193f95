#!/usr/bin/env python3
"""Add native functions to the package's public names and the module test's list.

Usage: tools/add_public.py NAME...
"""
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def main(names):
    init = ROOT / "python/loam/__init__.py"
    text = init.read_text()
    imports = re.search(r"from \._core import \((.*?)\)", text, re.S)
    current = re.findall(r"\w+", imports.group(1))
    merged = sorted(set(current) | set(names))
    text = text.replace(imports.group(0), "from ._core import (\n" + "".join(f"    {n},\n" for n in merged) + ")")
    alls = re.search(r"__all__ = \[(.*?)\]", text, re.S)
    # Names defined in Python come first, as they stand; the native ones follow, sorted.
    python_names = [n for n in re.findall(r'"(\w+)"', alls.group(1)) if n not in current]
    listed = python_names + merged
    text = text.replace(alls.group(0), "__all__ = [\n" + "".join(f'    "{n}",\n' for n in listed) + "]")
    init.write_text(text)
    test = ROOT / "tests/test_module.py"
    t = test.read_text()
    pub = re.search(r"PUBLIC = \[(.*?)\]", t, re.S)
    words = ", ".join(f'"{n}"' for n in merged)
    lines, line = [], "PUBLIC = ["
    for w in words.split(", "):
        piece = w + ", "
        if len(line) + len(piece) > 100:
            lines.append(line.rstrip())
            line = "          "
        line += piece
    lines.append(line.rstrip(", ") + "]")
    test.write_text(t.replace(pub.group(0), "\n".join(lines)))


if __name__ == "__main__":
    main(sys.argv[1:])
