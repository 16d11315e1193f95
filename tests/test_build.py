"""The source build: a machine without the libraries is told all it lacks at once."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def test_missing_libraries_are_named_at_once_with_their_packages(tmp_path: Path) -> None:
    cmake = shutil.which("cmake", path=str(Path(sys.executable).parent)) or shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not installed")
    # No pkg-config modules and no zlib: seven libraries missing at once.
    env = dict(os.environ, PKG_CONFIG_LIBDIR=str(tmp_path / "none"))
    run = subprocess.run([cmake, "-S", str(ROOT), "-B", str(tmp_path / "build"), "-DLOAM_PYTHON_MODULE=OFF",
                          "-DCMAKE_DISABLE_FIND_PACKAGE_ZLIB=TRUE"], capture_output=True, text=True, env=env,
                         timeout=120)
    assert run.returncode != 0
    message = run.stderr
    for what in ("zlib", "libjpeg-turbo", "CharLS", "OpenJPEG", "OpenJPH", "libjxl", "Little CMS"):
        assert what in message, what
    assert "sudo apt-get install zlib1g-dev libjpeg-dev libcharls-dev libopenjp2-7-dev" in message
    assert "sudo dnf install zlib-devel libjpeg-turbo-devel charls-devel" in message


def test_a_wheel_carries_the_licences_of_the_libraries_it_bundles() -> None:
    import re

    import loam

    package = Path(loam.__file__).parent
    bundled = [p.name for d in package.parent.glob("loam*.libs") for p in d.iterdir()]
    if not bundled:
        pytest.skip("loam is installed from source, not from a repaired wheel")
    notices = (package / "THIRD_PARTY_NOTICES").read_text(encoding="utf-8")
    for name in bundled:
        original = re.sub(r"-[0-9a-f]{8}(?=\.so)", "", name)
        assert original in notices, f"{original} is bundled without its licence"
