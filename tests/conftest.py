import os
from pathlib import Path

import pytest

import loam

SHARED = Path(__file__).resolve().parent.parent.parent / "shared"
TESTDATA = SHARED / "testdata"


def pytest_sessionstart(session):
    # Under `make asan-test` the sanitized build must be the one imported.
    expected = os.environ.get("LOAM_EXPECT_PATH")
    if expected and not Path(loam.__file__).resolve().is_relative_to(Path(expected).resolve()):
        raise pytest.UsageError(f"loam imported from {loam.__file__}, expected under {expected}")


@pytest.fixture(scope="session")
def testdata() -> Path:
    if not TESTDATA.is_dir():
        pytest.skip(f"corpus not present at {TESTDATA}")
    return TESTDATA


def corpus_files() -> list[Path]:
    if not TESTDATA.is_dir():
        return []
    return sorted(p for p in TESTDATA.rglob("*") if p.is_file())
