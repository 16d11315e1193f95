"""The documentation's task pages: every Python block runs, in order, on files made here."""

from __future__ import annotations

import contextlib
import io
import os
import re
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent
TASKS = sorted((ROOT / "docs" / "tasks").glob("*.md"))
BLOCK = re.compile(r"^```python\n(.*?)^```", re.M | re.S)


@pytest.fixture(scope="module")
def workspace(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """ct.dcm, a CT series (series/), a study folder holding both (study/), a slide (slide/) and a
    diffusion series of Siemens mosaics (dwi/: b = 0 and six directions)."""
    sys.path.insert(0, str(ROOT / "examples"))
    try:
        from make_sample import sample
        from make_slide import main as make_slide
    finally:
        sys.path.pop(0)
    from volume_series import mosaic_file, write_series

    root = tmp_path_factory.mktemp("docs")
    (root / "ct.dcm").write_bytes(sample())
    rng = np.random.default_rng(7)
    volume = rng.integers(0, 2000, size=(6, 48, 64)).astype(np.int16)
    write_series(root / "series", volume, [(0.0, 0.0, 2.0 * k) for k in range(6)])
    write_series(root / "study" / "ct", volume, [(0.0, 0.0, 2.0 * k) for k in range(6)])
    (root / "study" / "single.dcm").write_bytes(sample())
    with contextlib.redirect_stdout(io.StringIO()):
        make_slide(str(root / "slide"))
    (root / "dwi").mkdir()
    directions = [None, (1, 0, 0), (0, 1, 0), (0, 0, 1), (0.7071, 0.7071, 0), (0.7071, 0, 0.7071), (0, 0.7071, 0.7071)]
    for i, g in enumerate(directions):
        b = 0 if g is None else 1000
        # One tensor along x everywhere (1.7, 0.3, 0.3 um2/ms) with a little noise.
        adc = 0.0 if g is None else 1.7e-3 * g[0] ** 2 + 0.3e-3 * (g[1] ** 2 + g[2] ** 2)
        tiles = (1000 * np.exp(-b * adc) + rng.normal(0, 5, (4, 12, 16))).astype(np.int16)
        (root / "dwi" / f"M{i}.dcm").write_bytes(mosaic_file(tiles, (-30.0, -40.0, 10.0), bvalue=b, gradient=g,
                                                             instance=i + 1))
    return root


@pytest.mark.parametrize("page", TASKS, ids=lambda p: p.stem)
def test_task_page_runs(workspace: Path, page: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    blocks = BLOCK.findall(page.read_text(encoding="utf-8"))
    assert blocks, f"{page.name} has no Python example"
    monkeypatch.chdir(workspace)
    namespace: dict[str, object] = {"__name__": f"docs_{page.stem}"}
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        for n, block in enumerate(blocks, 1):
            try:
                exec(compile(block, f"{page.name} block {n}", "exec"), namespace)
            except Exception as error:
                raise AssertionError(f"{page.name}, block {n} failed: {error!r}\n{block}") from error
    assert out.getvalue().strip(), f"{page.name} printed nothing"


def test_every_task_page_is_in_the_site_navigation() -> None:
    nav = (ROOT / "mkdocs.yml").read_text(encoding="utf-8")
    for page in TASKS:
        assert f"tasks/{page.name}" in nav
    assert os.path.isfile(ROOT / "docs" / "api.md")
