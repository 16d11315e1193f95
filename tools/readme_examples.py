"""Collects the Python examples of a Markdown file into one module a type checker can read.

Each ```python block becomes the body of its own function (so that names may be reused with other
types from block to block); the names the examples take as given (paths, arrays, bytes) are
declared once at the top, with their types, by the prelude file.

Usage: python tools/readme_examples.py README.md PRELUDE.py OUT.py
"""

from __future__ import annotations

import re
import sys
import textwrap

BLOCK = re.compile(r"^```python\n(.*?)^```", re.M | re.S)


def examples(markdown: str) -> list[str]:
    return [m.group(1) for m in BLOCK.finditer(markdown)]


def module(markdown: str, prelude: str) -> str:
    parts = [prelude.rstrip() + "\n"]
    for n, block in enumerate(examples(markdown), 1):
        body = textwrap.indent(block.rstrip() or "pass", "    ")
        parts.append(f"\n\ndef example_{n}() -> None:\n{body}\n")
    return "".join(parts)


if __name__ == "__main__":
    source, prelude, out = sys.argv[1:4]
    with open(source, encoding="utf-8") as f, open(prelude, encoding="utf-8") as p:
        text = module(f.read(), p.read())
    with open(out, "w", encoding="utf-8") as f:
        f.write(text)
