"""Whole-slide pyramids: our writer's slides read back tile by tile against the decoded frames,
wsidicom and pydicom as oracles, sparse gaps, regions, the cache, sRGB through a hand-built ICC
profile, and real single-level slides of the corpus."""

from __future__ import annotations

import io
import json
import math
import random
import struct
import threading
from pathlib import Path

import numpy as np
import pydicom
import pytest
from pydicom.encaps import generate_frames

import loam

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "testdata" / "highdicom"
JPEG, J2K, NATIVE = "1.2.840.10008.1.2.4.50", "1.2.840.10008.1.2.4.90", "1.2.840.10008.1.2.1"
TILE = 64


def slide_image(rows=300, cols=420, seed=0):
    """A smooth colour field with noise (so lossy codecs behave as on tissue)."""
    y, x = np.mgrid[0:rows, 0:cols]
    rng = np.random.default_rng(seed)
    img = np.stack([(x * 255 // cols), (y * 255 // rows), ((x + y) % 256)], axis=-1).astype(np.int16)
    img += rng.integers(-12, 13, img.shape, dtype=np.int16)
    return np.clip(img, 0, 255).astype(np.uint8)


def with_gap(img):
    """White (empty glass) over the level-0 tile (1, 2) and the block that halves onto level-1 tile (0, 1)."""
    img = img.copy()
    img[2 * TILE:3 * TILE, TILE:2 * TILE] = 255
    img[2 * TILE:4 * TILE, 0:2 * TILE] = 255
    return img


def adobe_rgb_profile() -> bytes:
    """A version-2 matrix/TRC display profile: Adobe RGB (1998) primaries (D50-adapted), gamma 563/256."""
    def s15(v):
        return struct.pack(">i", round(v * 65536))

    def xyz(x, y, z):
        return b"XYZ " + bytes(4) + s15(x) + s15(y) + s15(z)

    desc_text = b"loam test Adobe RGB\0"
    desc = b"desc" + bytes(4) + struct.pack(">I", len(desc_text)) + desc_text + bytes(4) + bytes(4) + bytes(2) + bytes(1) + bytes(67)
    curve = b"curv" + bytes(4) + struct.pack(">I", 1) + struct.pack(">H", 563) + bytes(2)
    tags = [(b"desc", desc), (b"wtpt", xyz(0.9642, 1.0, 0.8249)), (b"rXYZ", xyz(0.6097, 0.3111, 0.0195)),
            (b"gXYZ", xyz(0.2053, 0.6257, 0.0609)), (b"bXYZ", xyz(0.1492, 0.0632, 0.7446)),
            (b"rTRC", curve), (b"gTRC", curve), (b"bTRC", curve), (b"cprt", b"text" + bytes(4) + b"none\0\0\0\0")]
    table, data = b"", b""
    offset = 128 + 4 + 12 * len(tags)
    for sig, body in tags:
        table += sig + struct.pack(">II", offset + len(data), len(body))
        data += body + bytes((-len(body)) % 4)
    size = offset + len(data)
    header = (struct.pack(">I", size) + b"lcms" + struct.pack(">I", 0x02100000) + b"mntrRGB XYZ " + bytes(12) + b"acsp"
              + bytes(4) + bytes(4) + bytes(8) + bytes(8) + struct.pack(">I", 0) + s15(0.9642) + s15(1.0) + s15(0.8249)
              + bytes(4) + bytes(16) + bytes(28))
    assert len(header) == 128
    return header + struct.pack(">I", len(tags)) + table + data


def pyramid(syntax=JPEG, sparse=False, icc=None, associated=True, levels=3, image=None):
    img = slide_image() if image is None else image
    kw = {}
    if associated:
        kw["label"] = np.full((40, 90, 3), (200, 30, 30), np.uint8)
        kw["overview"] = np.ascontiguousarray(img[::6, ::6])
    return loam.wsi_write_pyramid(img, TILE, TILE, levels=levels, transfer_syntax=syntax, sparse=sparse,
                                  skip_blank=sparse, icc_profile=icc, content_date="20261207", **kw)


def expected_tiles(instance: bytes):
    """{(tile_x, tile_y): RGB frame} from decode() and the tile positions pydicom reads."""
    ds = pydicom.dcmread(io.BytesIO(instance))
    frames = loam.decode_bytes(instance)[0]
    across = -(-int(ds.TotalPixelMatrixColumns) // int(ds.Columns))
    out = {}
    for i in range(len(frames)):
        if ds.DimensionOrganizationType == "TILED_SPARSE":
            pos = ds.PerFrameFunctionalGroupsSequence[i].PlanePositionSlideSequence[0]
            key = ((pos.ColumnPositionInTotalImagePixelMatrix - 1) // ds.Columns,
                   (pos.RowPositionInTotalImagePixelMatrix - 1) // ds.Rows)
        else:
            key = (i % across, i // across)
        out[key] = frames[i]
    return ds, out


def mosaic(instance: bytes):
    """The level's pixels from its decoded frames, zero where tiles are missing."""
    ds, tiles = expected_tiles(instance)
    w, h = int(ds.TotalPixelMatrixColumns), int(ds.TotalPixelMatrixRows)
    full = np.zeros((h + TILE, w + TILE, 3), np.uint8)
    for (tx, ty), frame in tiles.items():
        full[ty * TILE:(ty + 1) * TILE, tx * TILE:(tx + 1) * TILE] = frame
    return full[:h, :w]


@pytest.fixture(scope="module")
def jpeg_full():
    return pyramid()


@pytest.fixture(scope="module")
def sparse_slide():
    return pyramid(syntax=J2K, sparse=True, image=with_gap(slide_image()))


def test_levels_sorted_largest_first_whatever_the_order(jpeg_full):
    shuffled = list(jpeg_full)
    random.Random(3).shuffle(shuffled)
    s = loam.wsi_open(shuffled)
    assert s.open_error() == ""
    assert s.level_count() == 3
    assert [s.level_dimensions(i) for i in range(3)] == [(420, 300), (210, 150), (105, 75)]
    assert [s.level_tile_counts(i) for i in range(3)] == [(7, 5), (4, 3), (2, 2)]
    assert s.level_tile_dimensions(1) == (TILE, TILE)
    assert [s.level_downsample(i) for i in range(3)] == [1.0, 2.0, 4.0]
    assert sorted(s.associated_image_names()) == ["label", "overview"]
    assert s.associated_image_dimensions("label") == (90, 40)
    assert s.associated_image_dimensions("overview") == (70, 50)
    assert s.associated_image_dimensions("macro") == (0, 0)


@pytest.mark.parametrize("syntax", [NATIVE, JPEG, J2K])
@pytest.mark.parametrize("sparse", [False, True])
def test_tiles_equal_the_decoded_frames(syntax, sparse):
    image = with_gap(slide_image()) if sparse else None
    files = pyramid(syntax=syntax, sparse=sparse, associated=False, levels=2, image=image)
    s = loam.wsi_open(files)
    for level, instance in enumerate(files):
        _, tiles = expected_tiles(instance)
        across, down = s.level_tile_counts(level)
        assert s.level_frame_count(level) == len(tiles)
        for ty in range(down):
            for tx in range(across):
                assert s.tile_exists(level, tx, ty) == ((tx, ty) in tiles)
                if (tx, ty) not in tiles:
                    continue
                np.testing.assert_array_equal(s.read_tile(level, tx, ty), tiles[(tx, ty)])
                rgba = s.read_tile(level, tx, ty, rgba=True)
                np.testing.assert_array_equal(rgba[..., :3], tiles[(tx, ty)])
                assert (rgba[..., 3] == 255).all()
    if sparse:
        assert not s.tile_exists(0, 1, 2) and not s.tile_exists(1, 0, 1)


def test_frame_byte_ranges_are_the_encoded_frames(jpeg_full):
    s = loam.wsi_open(jpeg_full)
    for level, instance in enumerate(jpeg_full[:3]):
        ds = pydicom.dcmread(io.BytesIO(instance))
        encoded = list(generate_frames(ds.PixelData, number_of_frames=int(ds.NumberOfFrames)))
        ranges = s.level_tile_ranges(level)
        assert ranges.shape == (len(encoded), 5) and ranges.dtype == np.int64
        for frame, tx, ty, offset, length in ranges:
            # Frames are padded to even length; the range holds the stored (padded) fragment.
            assert instance[offset:offset + length].rstrip(b"\0") == encoded[frame].rstrip(b"\0")
            assert s.level_tile_range(level, int(tx), int(ty)) == (frame, tx, ty, offset, length)
            assert s.level_frame_range(level, int(frame)) == (frame, tx, ty, offset, length)
            assert s.level_frame_tile(level, int(frame)) == (tx, ty)
        grid = s.level_tile_range_grid(level)
        across, down = s.level_tile_counts(level)
        assert grid.shape == (down, across, 3)
        for frame, tx, ty, offset, length in ranges:
            assert list(grid[ty, tx]) == [frame, offset, length]
    assert s.level_tile_range(0, 7, 0) is None and s.level_frame_range(0, 35) is None
    assert s.level_frame_tile(9, 0) is None and s.level_source_paths(0) == []


def test_sparse_gap_and_fill_missing(sparse_slide):
    s = loam.wsi_open(sparse_slide)
    assert s.level_descriptor(0)["sparse"] and s.level_descriptor(0)["dimension_organization"] == "TILED_SPARSE"
    assert not s.tile_exists(0, 1, 2)
    assert s.read_tile(0, 1, 2).shape == (0, 0, 3)
    assert s.read_tile(0, 1, 2, rgba=True).shape == (0, 0, 4)
    zeros = s.read_tile(0, 1, 2, rgba=True, fill_missing=True)
    assert zeros.shape == (TILE, TILE, 4) and not zeros.any()
    # Out of the grid is an error, even with fill_missing: an empty tile means "exists, not deliverable".
    for args in ((0, 7, 0), (0, -1, 0), (0, 0, 5), (3, 0, 0)):
        with pytest.raises(IndexError):
            s.read_tile(*args, fill_missing=True)
    with pytest.raises(IndexError, match=r"tile \(7, 0\) is outside level 0's 7 x 5 tiles"):
        s.read_tiles(0, [(0, 0), (7, 0)])
    assert not s.tile_exists(0, 2**40, 0)
    assert s.level_tile_range(0, 1, 2) is None
    grid = s.level_tile_range_grid(0)
    assert list(grid[2, 1]) == [-1, -1, -1]
    stack = s.read_tile_stack(0, [(0, 0), (1, 2)], fill_missing=True)
    assert stack.shape == (2, TILE, TILE, 3) and not stack[1].any()
    with pytest.raises(ValueError, match="read_tile_stack: tile is missing, out of grid, or failed to decode"):
        s.read_tile_stack(0, [(0, 0), (1, 2)])
    tiles = s.read_tiles(0, [(0, 0), (1, 2)], fill_missing=True)
    assert [t.shape for t in tiles] == [(TILE, TILE, 3), (TILE, TILE, 3)]


def test_sparse_bounds_cover_the_tiles_present():
    img = slide_image()
    img[:, :2 * TILE] = 255  # the two left tile columns are glass
    img[4 * TILE:] = 255     # so is the last tile row
    s = loam.wsi_open(pyramid(syntax=JPEG, sparse=True, associated=False, levels=1, image=img))
    p = s.properties()
    assert (p["wsi.bounds-x"], p["wsi.bounds-y"], p["wsi.bounds-width"], p["wsi.bounds-height"]) == \
        (str(2 * TILE), "0", str(420 - 2 * TILE), str(4 * TILE))
    assert p["openslide.bounds-width"] == p["wsi.bounds-width"]


def round_half_away(v):
    return int(math.copysign(math.floor(abs(v) + 0.5), v))


@pytest.mark.parametrize("x, y, level, w, h", [
    (50, 40, 0, 100, 90),        # across tile borders
    (-30, -20, 0, 80, 70),       # partly before the level
    (380, 260, 0, 100, 100),     # partly beyond its end
    (0, 0, 0, 420, 300),         # the whole level
    (101, 61, 1, 64, 64),        # level-0 coordinates halved and rounded
    (90, 250, 0, 120, 40),       # over the sparse gap
])
@pytest.mark.parametrize("sparse", [False, True])
def test_regions_equal_the_frames_placed_on_the_grid(jpeg_full, sparse_slide, x, y, level, w, h, sparse):
    files = sparse_slide if sparse else jpeg_full
    s = loam.wsi_open(files)
    level_pixels = mosaic(files[level])
    ds = s.level_downsample(level)
    lx, ly = round_half_away(x / ds), round_half_away(y / ds)
    want = np.zeros((h, w, 3), np.uint8)
    H, W = level_pixels.shape[:2]
    x0, y0, x1, y1 = max(lx, 0), max(ly, 0), min(lx + w, W), min(ly + h, H)
    if x0 < x1 and y0 < y1:
        want[y0 - ly:y1 - ly, x0 - lx:x1 - lx] = level_pixels[y0:y1, x0:x1]
    got = s.read_region(x, y, level, w, h)
    np.testing.assert_array_equal(got, want)
    got4 = s.read_region(x, y, level, w, h, rgba=True)
    np.testing.assert_array_equal(got4[..., :3], want)


def test_degenerate_regions(jpeg_full):
    s = loam.wsi_open(jpeg_full)
    assert s.read_region(0, 0, 0, 0, 10).shape == (0, 0, 3)
    with pytest.raises(IndexError, match="level 5 is out of range"):
        s.read_region(0, 0, 5, 10, 10)
    assert s.read_region(0, 0, 0, -1, 10).size == 0
    assert s.read_region(2**63 - 10, 0, 0, 16, 2).size == 0  # the end overflows
    outside = s.read_region(5000, 5000, 0, 16, 8, rgba=True)
    assert outside.shape == (8, 16, 4) and not outside.any()


def test_downsample_choices(jpeg_full):
    s = loam.wsi_open(jpeg_full)
    assert s.best_level_for_downsample(1.0) == 0
    assert s.best_level_for_downsample(0.5) == 0
    assert s.best_level_for_downsample(float("nan")) == 0
    assert s.best_level_for_downsample(1.5) == 0
    assert s.best_level_for_downsample(3.0) == 1
    assert s.best_level_for_downsample(4.0) == 2
    assert s.best_level_for_downsample(1e9) == 2
    assert s.level_downsample(7) == 1.0
    empty = loam.wsi_open([])
    assert empty.level_count() == 0 and empty.best_level_for_downsample(2.0) == -1
    assert empty.level_downsample(0) == 1.0 and empty.read_region(0, 0, 0, 4, 4).size == 0


def test_cache_capacity_zero_keeps_reads_working(jpeg_full):
    s = loam.wsi_open(jpeg_full)
    assert s.tile_cache_capacity() > 0
    first = s.read_tile(0, 3, 2)
    s.set_tile_cache_capacity(0)
    assert s.tile_cache_capacity() == 0
    np.testing.assert_array_equal(s.read_tile(0, 3, 2), first)
    np.testing.assert_array_equal(s.read_tile(0, 3, 2), first)
    s.set_tile_cache_capacity(TILE * TILE * 4 * 2)  # two tiles
    for tx in range(7):
        s.read_tile(0, tx, 0)
    np.testing.assert_array_equal(s.read_tile(0, 3, 2), first)


def test_concatenation_is_reported():
    files = pyramid(associated=False, levels=2)
    ds = pydicom.dcmread(io.BytesIO(files[1]))

    def with_level1(in_number, total):
        ds.ConcatenationUID = "1.2.3.4"
        ds.InConcatenationNumber = in_number
        ds.InConcatenationTotalNumber = total
        ds.ConcatenationFrameOffsetNumber = 0
        out = io.BytesIO()
        ds.save_as(out, enforce_file_format=True)
        return loam.wsi_open([files[0], out.getvalue()])

    s = with_level1(2, 2)
    assert s.open_error() == "WSI Concatenation assembly is not implemented for 1 volume instance(s)"
    assert s.level_count() == 0 and s.properties() == {} and s.associated_image_names() == []
    assert s.read_tile(0, 0, 0).size == 0
    # A single-part concatenation is assembled and its attributes reported.
    s = with_level1(1, 1)
    assert s.open_error() == ""
    assert s.level_concatenation(1) == {"uid": "1.2.3.4", "in_number": 1, "total_number": 1,
                                        "frame_offset_number": 0, "source_sop_instance_uid": ""}
    assert s.level_concatenation(0) is None
    assert s.properties()["dicom.level[1].ConcatenationUID"] == "1.2.3.4"


def test_unreadable_instances():
    with pytest.raises(TypeError):
        loam.WsiSlide()  # slides come only from wsi_open and wsi_open_paths
    s = loam.wsi_open([b"not a dicom file at all"])
    assert s.open_error() == "WSI instance 0 is not a readable DICOM image"
    assert s.level_count() == 0
    with pytest.raises(Exception, match="cannot open /nonexistent/slide.dcm"):
        loam.wsi_open_paths(["/nonexistent/slide.dcm"])


@pytest.mark.parametrize("bad, message", [
    ([(1, 2, 3)], "tile must be a \\(tile_x, tile_y\\) pair"),
    (["ab"], "tile must be a \\(tile_x, tile_y\\) pair"),
    ([(1.0, 2)], "tile must be a \\(tile_x, tile_y\\) pair"),
    ([(-1, 0)], "tile coordinates must fit uint32"),
    ([(0, 2**32)], "tile coordinates must fit uint32"),
    ([(0, 2**70)], "tile coordinates must fit uint32"),
])
def test_tile_stack_argument_errors(jpeg_full, bad, message):
    s = loam.wsi_open(jpeg_full)
    with pytest.raises(ValueError, match=message):
        s.read_tile_stack(0, bad)


def test_tile_stack_level_errors(jpeg_full):
    s = loam.wsi_open(jpeg_full)
    with pytest.raises(ValueError, match="invalid WSI level or zero tile dimensions"):
        s.read_tile_stack(3, [(0, 0)])
    stack = s.read_tile_stack(1, [(0, 0), (3, 2)], rgba=True)
    assert stack.shape == (2, TILE, TILE, 4)
    np.testing.assert_array_equal(stack[1], s.read_tile(1, 3, 2, rgba=True))
    assert s.read_tile_stack(0, []).shape == (0, TILE, TILE, 3)


def test_properties(jpeg_full):
    s = loam.wsi_open(jpeg_full)
    p = s.properties()
    for family in ("wsi.", "openslide."):
        assert p[family + "vendor"] == "dicom"
        assert p[family + "level-count"] == "3"
        assert p[family + "associated-image-count"] == "2"
        assert p[family + "level[1].width"] == "210" and p[family + "level[1].height"] == "150"
        assert p[family + "level[2].downsample"] == "4"
        assert p[family + "level[0].tile-width"] == str(TILE)
        assert float(p[family + "mpp-x"]) == pytest.approx(0.25, rel=1e-6)
        assert float(p[family + "mpp-y"]) == pytest.approx(0.25, rel=1e-6)
        assert (p[family + "bounds-x"], p[family + "bounds-width"], p[family + "bounds-height"]) == ("0", "420", "300")
        names = {p[family + f"associated[{i}].name"] for i in range(2)}
        assert names == {"label", "overview"}
    ds = pydicom.dcmread(io.BytesIO(jpeg_full[0]))
    assert p["dicom.SOPInstanceUID"] == ds.SOPInstanceUID
    assert p["dicom.SOPClassUID"] == "1.2.840.10008.5.1.4.1.1.77.1.6"
    assert p["dicom.TransferSyntaxUID"] == JPEG
    assert p["dicom.DimensionOrganizationType"] == "TILED_FULL"
    assert p["dicom.NumberOfFrames"] == "35" and p["dicom.TotalPixelMatrixColumns"] == "420"
    assert p["dicom.ImageType"] == "ORIGINAL\\PRIMARY\\VOLUME\\NONE"
    assert "dicom.ICCProfileSize" not in p
    d = s.level_descriptor(0)
    assert (d["tile_count_x"], d["tile_count_y"], d["samples_per_pixel"], d["bits_stored"]) == (7, 5, 3, 8)
    assert d["image_type_flags"] == 1 | 4 | 16 and not d["has_icc_profile"] and not d["sparse"]
    assert d["imaged_volume_width"] == pytest.approx(0.105)
    assert s.level_descriptor(9) == {}


def test_srgb_through_the_instance_profile():
    from PIL import Image, ImageCms

    icc = adobe_rgb_profile()
    files = pyramid(syntax=JPEG, icc=icc, levels=2)
    s = loam.wsi_open(files)
    assert s.color_profile() == icc and s.level_color_profile(1) == icc
    assert s.level_descriptor(0)["has_icc_profile"]
    assert s.icc_transform_available()
    assert s.properties()["dicom.ICCProfileSize"] == str(len(icc))
    transform = ImageCms.buildTransform(ImageCms.ImageCmsProfile(io.BytesIO(icc)), ImageCms.createProfile("sRGB"),
                                        "RGB", "RGB", renderingIntent=0)
    plain = s.read_tile(0, 2, 1)
    want = np.asarray(ImageCms.applyTransform(Image.fromarray(plain), transform))
    srgb = s.read_tile_srgb(0, 2, 1)
    assert np.abs(srgb.astype(int) - want).max() <= 1
    assert np.abs(srgb.astype(int) - plain).max() > 10  # the profile really changes colours
    srgb4 = s.read_tile_srgb(0, 2, 1, rgba=True)
    np.testing.assert_array_equal(srgb4[..., :3], srgb)
    assert (srgb4[..., 3] == 255).all()
    region = s.read_region_srgb(70, 30, 0, 64, 64)
    want = np.asarray(ImageCms.applyTransform(Image.fromarray(s.read_region(70, 30, 0, 64, 64)), transform))
    assert np.abs(region.astype(int) - want).max() <= 1
    label = s.read_associated_image_srgb("label")
    assert label.shape == (40, 90, 3) and s.associated_image_color_profile("label") == icc
    want = np.asarray(ImageCms.applyTransform(Image.fromarray(s.read_associated_image("label")), transform))
    assert np.abs(label.astype(int) - want).max() <= 1


def test_without_a_profile_srgb_is_unchanged(jpeg_full):
    s = loam.wsi_open(jpeg_full)
    assert not s.icc_transform_available() and s.color_profile() is None
    np.testing.assert_array_equal(s.read_tile_srgb(0, 1, 1), s.read_tile(0, 1, 1))
    np.testing.assert_array_equal(s.read_region_srgb(10, 10, 0, 90, 80), s.read_region(10, 10, 0, 90, 80))
    label = s.read_associated_image("label")
    assert label.shape == (40, 90, 3)
    assert np.abs(label.astype(int) - (200, 30, 30)).max() <= 3
    assert s.read_associated_image("nothing").shape == (0, 0, 3)
    assert s.read_associated_image("overview", rgba=True).shape == (50, 70, 4)


def test_paths_are_memory_mapped_sources(tmp_path, jpeg_full):
    paths = []
    for i, f in enumerate(jpeg_full):
        paths.append(str(tmp_path / f"{i}.dcm"))
        Path(paths[-1]).write_bytes(f)
    s = loam.wsi_open_paths(paths)
    assert s.level_source_paths(0) == [paths[0]] and s.level_source_paths(2) == [paths[2]]
    np.testing.assert_array_equal(s.read_region(0, 0, 0, 420, 300), loam.wsi_open(jpeg_full).read_region(0, 0, 0, 420, 300))


def test_eight_threads_read_the_same_bytes_as_one_thread(jpeg_full):
    """Tiles, tile lists, tile stacks and regions from 8 threads at once, through a cache of three
    tiles (so tiles are decoded, evicted and decoded twice concurrently): the bytes one thread reads."""
    reference = loam.wsi_open(jpeg_full)
    reference.set_tile_cache_capacity(0)
    keys = [(lv, tx, ty) for lv in range(3) for tx in range(reference.level_tile_counts(lv)[0])
            for ty in range(reference.level_tile_counts(lv)[1])]
    truth = {k: reference.read_tile(*k, rgba=True).tobytes() for k in keys}
    spots = [(x, y, w, h) for x, y, w, h in [(0, 0, 420, 300), (37, 11, 170, 130), (250, 190, 70, 50), (300, 200, 400, 400)]]
    regions = {spot: reference.read_region(spot[0], spot[1], 0, spot[2], spot[3]).tobytes() for spot in spots}
    shared = loam.wsi_open(jpeg_full)
    shared.set_tile_cache_capacity(TILE * TILE * 4 * 3)
    failures = []

    def worker(seed):
        rng = random.Random(seed)
        for _ in range(200):
            k = rng.choice(keys)
            if shared.read_tile(*k, rgba=True).tobytes() != truth[k]:
                failures.append(k)
            roll = rng.random()
            if roll < 0.1:
                spot = rng.choice(spots)
                if shared.read_region(spot[0], spot[1], 0, spot[2], spot[3]).tobytes() != regions[spot]:
                    failures.append(("region", spot))
            elif roll < 0.2:
                level = k[0]
                some = [kk[1:] for kk in rng.sample(keys, 6) if kk[0] == level] or [k[1:]]
                listed = shared.read_tiles(level, some, rgba=True)
                stacked = shared.read_tile_stack(level, some, rgba=True)
                for i, (tx, ty) in enumerate(some):
                    if listed[i].tobytes() != truth[(level, tx, ty)] or stacked[i].tobytes() != truth[(level, tx, ty)]:
                        failures.append(("list", level, tx, ty))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


@pytest.mark.parametrize("syntax, sparse", [(JPEG, False), (J2K, True)])
def test_wsidicom_reads_our_slides_alike(tmp_path, syntax, sparse):
    wsidicom = pytest.importorskip("wsidicom")
    files = pyramid(syntax=syntax, sparse=sparse, image=with_gap(slide_image()) if sparse else None)
    for i, f in enumerate(files):
        (tmp_path / f"{i}.dcm").write_bytes(f)
    ours = loam.wsi_open(files)
    with wsidicom.WsiDicom.open(tmp_path) as theirs:
        assert [(lv.size.width, lv.size.height) for lv in theirs.levels] == \
            [ours.level_dimensions(i) for i in range(ours.level_count())]
        assert theirs.mpp.width == pytest.approx(0.25, rel=1e-6)
        for level in range(ours.level_count()):
            across, down = ours.level_tile_counts(level)
            for ty in range(down):
                for tx in range(across):
                    if not ours.tile_exists(level, tx, ty):
                        continue
                    t = np.asarray(theirs.read_tile(level, (tx, ty)))
                    np.testing.assert_array_equal(ours.read_tile(level, tx, ty)[:t.shape[0], :t.shape[1]], t)
        np.testing.assert_array_equal(np.asarray(theirs.read_label()), ours.read_associated_image("label"))
        # Away from the gap, which wsidicom paints white and we leave zero.
        np.testing.assert_array_equal(np.asarray(theirs.read_region((70, 5), 1, (100, 50))),
                                      ours.read_region(140, 10, 1, 100, 50))


def corpus_slides():
    return sorted(CORPUS.glob("sm_image*.dcm")) if CORPUS.is_dir() else []


@pytest.mark.skipif(not corpus_slides(), reason=f"slide-microscopy corpus not present at {CORPUS}")
@pytest.mark.parametrize("path", corpus_slides(), ids=lambda p: p.name)
def test_corpus_single_level_slides(path):
    ds = pydicom.dcmread(path)
    s = loam.wsi_open_paths([str(path)])
    assert s.open_error() == "" and s.level_count() == 1
    assert s.level_dimensions(0) == (ds.TotalPixelMatrixColumns, ds.TotalPixelMatrixRows)
    frames = ds.pixel_array.reshape(int(ds.NumberOfFrames), ds.Rows, ds.Columns, -1)
    across = s.level_tile_counts(0)[0]
    for i, frame in enumerate(frames):
        tile = s.read_tile(0, i % across, i // across)
        if ds.BitsStored > 8:  # tiles are 8-bit: the top eight stored bits
            frame = (frame >> (ds.BitsStored - 8)).astype(np.uint8)
        want = np.repeat(frame, 3, axis=-1) if frame.shape[-1] == 1 else frame
        np.testing.assert_array_equal(tile, want)
    has_icc = "OpticalPathSequence" in ds and "ICCProfile" in ds.OpticalPathSequence[0]
    assert s.level_descriptor(0)["has_icc_profile"] == has_icc
    if has_icc:
        assert s.color_profile() == bytes(ds.OpticalPathSequence[0].ICCProfile)
        assert s.read_tile_srgb(0, 0, 0).shape == (ds.Rows, ds.Columns, 3)
    p = s.properties()
    assert p["dicom.SOPInstanceUID"] == ds.SOPInstanceUID
    assert float(p["wsi.mpp-x"]) == pytest.approx(float(ds.ImagedVolumeWidth) * 1000 / ds.TotalPixelMatrixColumns)


@pytest.mark.skipif(not (CORPUS / "sm_image_grayscale.dcm").is_file(), reason=f"corpus not present at {CORPUS}")
def test_monochrome1_tiles_show_low_values_white():
    ds = pydicom.dcmread(CORPUS / "sm_image_grayscale.dcm")
    frames = (ds.pixel_array >> (ds.BitsStored - 8)).astype(np.uint8)
    ds.PhotometricInterpretation = "MONOCHROME1"
    out = io.BytesIO()
    ds.save_as(out)
    s = loam.wsi_open([out.getvalue()])
    np.testing.assert_array_equal(s.read_tile(0, 1, 0)[..., 0], 255 - frames[1])


def test_writer_argument_errors(tmp_path):
    img = slide_image(64, 64)
    with pytest.raises(ValueError, match="image must be a \\(rows, columns, 3\\) uint8 array"):
        loam.wsi_write_pyramid(np.zeros((8, 8, 4), np.uint8))
    with pytest.raises(ValueError, match="unsupported transfer syntax 1.2.3"):
        loam.wsi_write_pyramid(img, transfer_syntax="1.2.3")
    with pytest.raises(ValueError, match="tile size must be 1 to 65535 pixels"):
        loam.wsi_write_pyramid(img, tile_width=0)
    a = loam.wsi_write_pyramid(img, 32, 32, content_date="20260101")
    assert a == loam.wsi_write_pyramid(img, 32, 32, content_date="20260101")  # deterministic
    assert len(a) == 2
    (tmp_path / "level0.dcm").write_bytes(a[0])
    assert [f for f in loam.iod_validate(tmp_path / "level0.dcm") if f["severity"] == "error"] == []


def test_writer_identity():
    img = slide_image(64, 64)
    named = loam.wsi_write_pyramid(img, 32, 32, identity={"manufacturer": "Acme", "series_number": 5,
                                                           "series_description": "H&E", "software_versions": "9"})
    for data in named:
        ds = pydicom.dcmread(io.BytesIO(data))
        assert (ds.Manufacturer, ds.SeriesNumber, ds.SeriesDescription, ds.SoftwareVersions) == ("Acme", 5, "H&E", "9")
        assert ds.ManufacturerModelName == "loam"  # the defaults not replaced stay
    plain = pydicom.dcmread(io.BytesIO(loam.wsi_write_pyramid(img, 32, 32)[0]))
    assert (plain.Manufacturer, plain.SeriesNumber, "SeriesDescription" in plain) == ("loam", 1, False)


def test_cli_wsi_info_and_region(tmp_path, capsys, jpeg_full):
    import loam.cli as cli
    from PIL import Image

    folder = tmp_path / "slide"
    folder.mkdir()
    for i, f in enumerate(jpeg_full):
        (folder / f"{i}.dcm").write_bytes(f)
    (folder / "notes.txt").write_text("not an instance")
    assert cli.main(["wsi-info", str(folder)]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0].startswith("slide: 3 level(s), 2 associated image(s), mpp 0.25 x 0.25, bounds 0,0 420 x 300")
    assert out[1].startswith("level 0: 420 x 300 px, tiles 64 x 64 (7 x 5, 35 frames), downsample 1")
    assert out[3].startswith("level 2: 105 x 75 px") and "TILED_FULL" in out[3]
    assert out[4:] == ["associated label: 90 x 40 px", "associated overview: 70 x 50 px"]

    png = tmp_path / "region.png"
    args = ["wsi-region", *sorted(str(p) for p in folder.glob("*.dcm")), "--level", "1", "--x", "100", "--y", "60",
            "--size", "80", "50", "-o", str(png)]
    assert cli.main(args) == 0
    np.testing.assert_array_equal(np.asarray(Image.open(png)), loam.wsi_open(jpeg_full).read_region(100, 60, 1, 80, 50))
    assert cli.main(["wsi-region", str(folder), "--level", "5", "--size", "8", "8", "-o", str(png)]) == 2  # usage
    assert "level 5 is out of range" in capsys.readouterr().err
    assert cli.main(["wsi-info", "--json", str(folder)]) == 0
    described = json.loads(capsys.readouterr().out)
    assert [level["dimensions"] for level in described["levels"]] == [[420, 300], [210, 150], [105, 75]]
    assert described["levels"][0]["tile_counts"] == [7, 5] and described["associated_images"]["label"] == [90, 40]
    assert cli.main(["wsi-info", str(tmp_path / "missing.dcm")]) == 1
    assert "cannot open" in capsys.readouterr().err


def test_mutated_slides_never_crash():
    from test_malformed import mutate

    rng = random.Random(20261207)
    samples = [pyramid(syntax=syntax, sparse=sparse, associated=True, levels=2,
                       image=with_gap(slide_image(130, 150)))
               for syntax, sparse in ((JPEG, False), (J2K, True), (NATIVE, True))]
    patches = (b"\xff\xff\xff\xff", b"\xfe\xff\x00\xe0", b"\x00\x00", b"9999", b"\xff\xd8", b"\xff\x4f")
    for i in range(150):
        files = [mutate(f, rng, patches, 6, 0.2) if rng.random() < 0.7 else f for f in samples[i % 3]]
        s = loam.wsi_open(files)
        for level in range(s.level_count()):
            across, down = s.level_tile_counts(level)
            for _ in range(4):
                try:
                    s.read_tile(level, rng.randrange(across + 1), rng.randrange(down + 1), rgba=rng.random() < 0.5,
                                fill_missing=True)
                except IndexError:
                    pass  # one past the grid
            s.read_region(rng.randrange(-50, 200), rng.randrange(-50, 200), level, 90, 70)
            s.level_tile_range_grid(level)
        for name in s.associated_image_names():
            s.read_associated_image_srgb(name)
        s.properties()
