"""Adds THIRD_PARTY_NOTICES to a repaired wheel: the licence text of every library auditwheel
bundled into it, taken from the Debian package the library came from.

Usage: python tools/third_party_notices.py WHEEL   (run by `make wheel`; rewrites WHEEL in place)
"""

from __future__ import annotations

import base64
import hashlib
import re
import subprocess
import sys
import zipfile
from pathlib import Path

LIBRARY_DIRS = ("/usr/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu", "/usr/lib", "/lib")
NOTICES = "loam/THIRD_PARTY_NOTICES"
HEADER = """loam bundles the shared libraries below, as Debian builds them. Each section is the
copyright and licence file of the Debian package the library comes from.
"""


def original_name(bundled: str) -> str:
    """libjpeg-dad87949.so.62.3.0 -> libjpeg.so.62.3.0 (auditwheel adds a hash to each name)."""
    return re.sub(r"-[0-9a-f]{8}(?=\.so)", "", bundled)


def package_of(library: str) -> str:
    # With merged /usr, dpkg knows a library under whichever folder its package named.
    for folder in LIBRARY_DIRS:
        path = Path(folder) / library
        if path.exists():
            out = subprocess.run(["dpkg", "-S", str(path)], capture_output=True, text=True)
            if out.returncode == 0:
                return out.stdout.split(":", 1)[0]
    raise SystemExit(f"third_party_notices: no Debian package provides {library}")


def notices(libraries: list[str]) -> str:
    by_package: dict[str, list[str]] = {}
    for library in libraries:
        by_package.setdefault(package_of(library), []).append(library)
    parts = [HEADER]
    for package in sorted(by_package):
        text = Path(f"/usr/share/doc/{package}/copyright").read_text(encoding="utf-8", errors="replace")
        names = ", ".join(sorted(by_package[package]))
        parts.append(f"\n{'=' * 78}\n{names} (Debian package {package})\n{'=' * 78}\n\n{text}")
    return "".join(parts)


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def add_notices(wheel: Path) -> list[str]:
    with zipfile.ZipFile(wheel) as z:
        entries = [(info, z.read(info)) for info in z.infolist()]
    bundled = sorted(original_name(Path(i.filename).name) for i, _ in entries
                     if ".libs/" in i.filename and not i.filename.endswith("/"))
    text = notices(bundled).encode()
    out = wheel.with_suffix(".tmp")
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for info, data in entries:
            if info.filename == NOTICES:
                continue
            if info.filename.endswith(".dist-info/RECORD"):
                lines = [l for l in data.decode().splitlines() if not l.startswith(NOTICES + ",")]
                lines.insert(len(lines) - 1, record_line(NOTICES, text))
                data = ("\n".join(lines) + "\n").encode()
                z.writestr(NOTICES, text)
            z.writestr(info, data)
    out.replace(wheel)
    return bundled


if __name__ == "__main__":
    for path in sys.argv[1:]:
        libraries = add_notices(Path(path))
        print(f"{path}: THIRD_PARTY_NOTICES for {len(libraries)} bundled libraries")
