"""Eight threads calling the engines at once, on the same and on different files, for 200 rounds:
every result must equal the one the same call gave alone."""

from __future__ import annotations

import concurrent.futures
import itertools

import numpy as np
import pytest

import loam
from volume_series import write_series

SYNTAXES = ["1.2.840.10008.1.2.5", "1.2.840.10008.1.2.4.80", "1.2.840.10008.1.2.4.90", "1.2.840.10008.1.2.4.201",
            "1.2.840.10008.1.2.4.70"]
ROUNDS = 200


def same(a, b) -> bool:
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.dtype == b.dtype and np.array_equal(a, b)
    if isinstance(a, (tuple, list)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


@pytest.fixture(scope="module")
def jobs(tmp_path_factory):
    root = tmp_path_factory.mktemp("stress")
    rng = np.random.default_rng(7)
    series = []
    for n in range(2):
        volume = rng.integers(-1000, 2000, (6, 24, 20), dtype=np.int16)
        series.append(write_series(root / f"s{n}", volume, [(0, 0, z * 2.0) for z in range(6)], series=f"1.2.3.{n}"))
    plain = open(series[0][0], "rb").read()
    encoded = []
    for k, syntax in enumerate(SYNTAXES):
        path = root / f"c{k}.dcm"
        path.write_bytes(loam.transcode(plain, syntax))
        encoded.append(str(path))
    img = rng.integers(0, 255, (150, 200, 3), dtype=np.uint8)
    slide = loam.wsi_open(loam.wsi_write_pyramid(img, 64, 64, levels=2, content_date="20261207"))

    def tiles():
        return [slide.read_tile(level, x, y) for level in range(slide.level_count()) for x, y in ((0, 0), (1, 1))]

    out = [("decode " + p, lambda p=p: loam.decode(p)) for p in encoded + series[1][:2]]
    out += [("decode_bytes " + p, lambda b=open(p, "rb").read(): loam.decode_bytes(b, 0)) for p in encoded[:3]]
    out += [(f"assemble {n}", lambda s=s: loam.assemble_volume(s)) for n, s in enumerate(series)]
    out += [("deidentify", lambda: loam.deidentify(plain, {"retain_uids": True, "key": b"stress"})),
            ("read_json", lambda: loam.read_json(series[1][3])),
            ("wsi tiles", tiles)]
    return out


def test_eight_threads_equal_serial(jobs):
    expected = {name: fn() for name, fn in jobs}
    # Rounds interleave every job, so a thread meets the same file as its neighbours and others.
    calls = list(itertools.chain.from_iterable(jobs for _ in range(ROUNDS)))
    with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
        results = list(pool.map(lambda job: (job[0], job[1]()), calls))
    wrong = sorted({name for name, got in results if not same(got, expected[name])})
    assert not wrong, f"results differ from the serial run: {wrong}"
