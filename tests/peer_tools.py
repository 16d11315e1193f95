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
