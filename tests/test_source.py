"""Rules of the C++ sources that a reader relies on."""

import re
from pathlib import Path

SRC = Path(__file__).resolve().parent.parent / "src"


def test_tags_are_named_not_hexadecimal():
    """Hand-written code says tags::kPatientName, not 0x00100010 (generated tables excepted)."""
    generated = (SRC / "core" / "generated" / "tag_names.hpp").read_text()
    names = {int(v, 16): k for k, v in re.findall(r"inline constexpr Tag (k\w+) = 0x([0-9A-F]{8})u;", generated)}
    assert names[0x00100010] == "kPatientName"
    bare = []
    for path in sorted(p for p in SRC.rglob("*") if p.suffix in (".cpp", ".hpp") and "generated" not in p.parts):
        for number, line in enumerate(path.read_text().splitlines(), 1):
            code = re.sub(r'"(?:\\.|[^"\\])*"', '""', line.split("//")[0])  # strings and comments may say hex
            for literal in re.findall(r"(?<![\w.])0x([0-9A-Fa-f]{8})", code):
                value = int(literal, 16)
                # Command-group tags (0000,xxxx) look like plain numbers and are never meant.
                if value >= 0x00020000 and value in names:
                    bare.append(f"{path.relative_to(SRC)}:{number}: 0x{literal} is tags::{names[value]}")
    assert not bare, "\n".join(bare)


def test_layers_point_down():
    """Only the JSON engine and the bindings include json/; engines never include the bindings."""
    wrong = []
    for path in sorted(p for p in SRC.rglob("*") if p.suffix in (".cpp", ".hpp")):
        folder = path.relative_to(SRC).parts[0]
        for number, line in enumerate(path.read_text().splitlines(), 1):
            m = re.match(r'\s*#include "(\w+)/', line)
            if not m:
                continue
            if (m.group(1) == "json" and folder not in ("json", "bindings")) or (
                    m.group(1) == "bindings" and folder != "bindings") or (
                    folder == "core" and m.group(1) != "core"):
                wrong.append(f"{path.relative_to(SRC)}:{number}: {line.strip()}")
    assert not wrong, "\n".join(wrong)


def test_headers_are_named_after_their_sources():
    """A source's declarations are in the header of its name (codec sources excepted: they fill
    the decoder table of pixel/syntax.hpp)."""
    codecs = {"jpeg", "jpegls", "j2k", "jxl", "lzw", "rle", "encode_jpeg", "encode_j2k"}
    lonely = [str(p.relative_to(SRC)) for p in SRC.rglob("*.cpp")
              if "generated" not in p.parts and p.parent.name != "bindings"
              and not p.with_suffix(".hpp").exists() and not (p.parent.name == "pixel" and p.stem in codecs)]
    assert not lonely, lonely
