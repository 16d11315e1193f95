"""Inputs that once crashed, hung or exhausted memory: each call in a child process under a 10 s
CPU and 1 GB address-space limit, which must end in a result or an ordinary exception."""

from __future__ import annotations

import json
import os
import resource
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent.parent / "shared" / "fuzz-regressions"
CASES = json.loads((ROOT / "cases.json").read_text())["cases"] if (ROOT / "cases.json").is_file() else []
LOCAL = Path(__file__).resolve().parent / "fuzz-cases"  # inputs found by our own fuzzers

# A child's verdict: 0 handled, 3 an exception the case does not allow, 4 a failed check.
RUNNER = """
import json, sys
case = json.loads(sys.argv[1])
import loam, numpy as np
PATHS = case["paths"]
PATH = PATHS[0] if PATHS else None
allowed = (Exception,) if case["expect"] == "return_or_raise" else ()
forbid = tuple(getattr(__builtins__, n, None) or type(n, (Exception,), {}) for n in case.get("forbid", []))
try:
    exec(case["call"])
except allowed as exc:
    text = f"{type(exc).__name__}: {exc}"
    if isinstance(exc, forbid) or isinstance(exc, (MemoryError, UnicodeError)) or "std::" in text or "bad_cast" in text:
        print("not an ordinary exception:", text)
        sys.exit(3)
    print("raised", text)
    sys.exit(0)
if case.get("check"):
    try:
        exec(case["check"])
    except AssertionError as exc:
        print("check failed:", exc)
        sys.exit(4)
print("returned")
"""


# Under AddressSanitizer (make asan-test) the address space holds the shadow memory: the
# sanitizer's own resident-memory limit stands in for the address-space one.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def limits() -> None:
    if not SANITIZED:
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
    resource.setrlimit(resource.RLIMIT_CPU, (10, 11))


def run_case(case: dict, folder: Path) -> subprocess.CompletedProcess:
    payload = dict(case, paths=[str(folder / f) for f in case.get("files", [])])
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1")  # BLAS threads would count against the address space
    if SANITIZED:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":hard_rss_limit_mb=1024:quarantine_size_mb=8"
    return subprocess.run([sys.executable, "-c", RUNNER, json.dumps(payload)], preexec_fn=limits, timeout=20,
                          capture_output=True, text=True, env=env, cwd=str(folder))


@pytest.mark.skipif(not CASES, reason=f"fuzz regressions not present at {ROOT}")
@pytest.mark.parametrize("case", CASES, ids=[c["name"] for c in CASES])
def test_regression_case(case):
    if SANITIZED and "ru_maxrss" in case.get("check", "") + case.get("call", ""):
        pytest.skip("resident-memory figures under AddressSanitizer count its shadow and quarantine; make test checks them")
    r = run_case(case, ROOT)
    assert r.returncode == 0, f"exit {r.returncode}: {r.stdout[-2000:]}{r.stderr[-2000:]}"


LOCAL_CASES = json.loads((LOCAL / "cases.json").read_text())["cases"]


@pytest.mark.parametrize("case", LOCAL_CASES, ids=[c["name"] for c in LOCAL_CASES])
def test_found_by_our_fuzzers(case):
    r = run_case(case, LOCAL)
    assert r.returncode == 0, f"exit {r.returncode}: {r.stdout[-2000:]}{r.stderr[-2000:]}"
