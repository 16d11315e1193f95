"""Shape resampling against independent references: NumPy index arithmetic, a NumPy trilinear
reference of PyTorch's align_corners=False convention, and scikit-image's cubic resize."""

from __future__ import annotations

import math

import numpy as np
import pytest

import loam

RNG = np.random.default_rng(13)
IDENTITY = [1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0, 0, 0, 0, 0, 1.0]
OBLIQUE = [0.5, 0.1, 0.0, 0, -0.1, 0.8, 0.2, 0, 0.0, 0.0, 2.5, 0, -30.0, 12.0, 7.5, 1.0]


def linear_axis(n_in: int, n_out: int):
    """Indices and weights of the half-pixel, border-clamped linear convention, in double."""
    o = np.arange(n_out, dtype=np.float64)
    c = (((o + o + 1) / n_out) + (-1.0) + 1.0) * (n_in * 0.5) + (-0.5)
    i0 = np.floor(c)
    i1 = i0 + 1
    w0, w1 = i1 - c, c - i0
    return np.clip(i0, 0, n_in - 1).astype(int), np.clip(i1, 0, n_in - 1).astype(int), w0, w1


def fma(a, b, c):
    """a * b + c with one rounding (error-free product and sum, then one final addition): the
    kernel accumulates with fused multiply-adds."""
    def split(x):
        t = 134217729.0 * x
        hi = t - (t - x)
        return hi, x - hi
    p = a * b
    (ah, al), (bh, bl) = split(a), split(b)
    e = ((ah * bh - p) + ah * bl + al * bh) + al * bl
    s = p + c
    v = s - p
    t = (p - (s - v)) + (c - v)
    return s + (t + e)


def trilinear_reference(src: np.ndarray, shape) -> np.ndarray:
    (z0, z1, wz0, wz1), (y0, y1, wy0, wy1), (x0, x1, wx0, wx1) = (
        linear_axis(n, m) for n, m in zip(src.shape, shape))
    s = src.astype(np.float64)
    Z = lambda a: a[:, None, None]
    Y = lambda a: a[None, :, None]
    X = lambda a: a[None, None, :]
    acc = np.zeros(shape)
    for zi, wz in ((z0, wz0), (z1, wz1)):
        for yi, wy in ((y0, wy0), (y1, wy1)):
            for xi, wx in ((x0, wx0), (x1, wx1)):
                acc = fma((Z(wz) * Y(wy)) * X(wx), s[np.ix_(zi, yi, xi)], acc)
    return acc.astype(np.float32)


def nearest_reference(src: np.ndarray, shape) -> np.ndarray:
    idx = [np.clip(np.floor((np.arange(m) + 0.5) * (n / m) - 0.5 + 0.5).astype(int), 0, n - 1)
           for n, m in zip(src.shape, shape)]
    return src[np.ix_(*idx)].astype(np.float32)


SHAPES = [((8, 9, 10), (5, 6, 7)), ((4, 5, 6), (9, 11, 13)), ((3, 16, 2), (7, 5, 4)), ((7, 7, 7), (7, 7, 7))]


@pytest.mark.parametrize("shape_in, shape_out", SHAPES)
def test_trilinear_matches_the_reference_bit_for_bit(shape_in, shape_out):
    src = (RNG.random(shape_in) * 2000 - 1000).astype(np.float32)
    ours, _ = loam.transform_resample_grid_sample(src, IDENTITY, list(shape_out))
    ref = trilinear_reference(src, shape_out)
    assert ours.dtype == np.float32 and ours.shape == shape_out
    mismatched = np.count_nonzero(ours.view(np.uint32) != ref.view(np.uint32))
    assert mismatched == 0, f"{mismatched} voxels differ"


@pytest.mark.parametrize("shape_in, shape_out", SHAPES + [((3, 4, 5), (2, 2, 2))])
def test_nearest_matches_index_arithmetic(shape_in, shape_out):
    src = RNG.integers(0, 6, shape_in).astype(np.uint8)
    ours, _ = loam.transform_resample_nearest(src, IDENTITY, list(shape_out))
    assert np.array_equal(ours, nearest_reference(src, shape_out))


def test_edge_cases_of_the_conventions():
    a = np.array([2.0, 10.0], np.float32).reshape(1, 1, 2)
    up, _ = loam.transform_resample_grid_sample(a, IDENTITY, [1, 1, 4])
    assert up.ravel().tolist() == [2.0, 0.75 * 2 + 0.25 * 10, 0.25 * 2 + 0.75 * 10, 10.0]
    three = np.array([5, 6, 7], np.uint8).reshape(1, 1, 3)
    assert loam.transform_resample_nearest(three, IDENTITY, [1, 1, 2])[0].ravel().tolist() == [5.0, 7.0]
    src = RNG.random((6, 7, 8)).astype(np.float32)
    assert np.array_equal(loam.transform_resample(src, IDENTITY, [3, 5, 9], "itk")[0],
                          loam.transform_resample(src, IDENTITY, [3, 5, 9], "torch")[0])
    assert np.array_equal(loam.transform_resample(src, IDENTITY, [3, 5, 9], "skimage")[0],
                          loam.transform_resample_cubic(src, IDENTITY, [3, 5, 9])[0])
    # float64 is accepted as float32; int32 is refused.
    assert np.array_equal(loam.transform_resample_grid_sample(src.astype(np.float64), IDENTITY, [3, 5, 9])[0],
                          loam.transform_resample_grid_sample(src, IDENTITY, [3, 5, 9])[0])
    with pytest.raises(RuntimeError, match=r"^transform: unsupported dtype \(float32/uint8/int16/uint16\)$"):
        loam.transform_resample_nearest(src.astype(np.int32), IDENTITY, [3, 5, 9])


@pytest.mark.parametrize("call, message", [
    (lambda: loam.transform_resample_cubic(np.zeros((2, 2, 2), np.float32), IDENTITY, [2, 2]),
     "resample_cubic: out_shape must be [D,H,W]"),
    (lambda: loam.transform_resample_grid_sample(np.zeros((2, 2, 2), np.float32), IDENTITY, [1, 2, 3, 4]),
     "resample_grid_sample: out_shape must be [D,H,W]"),
    (lambda: loam.transform_resample_nearest(np.zeros((2, 2), np.float32), IDENTITY, [1, 2, 3]),
     "transform: array must be 3D [D,H,W]"),
    (lambda: loam.transform_resample(np.zeros((2, 2, 2), np.float32), IDENTITY, [2, 2], "torch"),
     "resample: out_shape must be [D,H,W]"),
    (lambda: loam.transform_resample(np.zeros((2, 2, 2), np.float32), IDENTITY, [2, 2, 2], "scipy"),
     "resample: backend must be 'skimage', 'torch', or 'itk'"),
    (lambda: loam.transform_resample_nearest(np.zeros((2, 2, 2), np.float32), IDENTITY[:15], [2, 2, 2]),
     "transform: affine must have 16 elements"),
    (lambda: loam.transform_resample_nearest(np.zeros((0, 2, 2), np.float32), IDENTITY, [2, 2, 2]),
     "transform::resample: empty src"),
    (lambda: loam.transform_resample_nearest(np.zeros((2, 2, 2), np.float32), IDENTITY, [2, 0, 2]),
     "transform::resample: out_dims must be > 0"),
    (lambda: loam.transform_resample_cubic(np.zeros((1, 4, 4), np.float32), IDENTITY, [2, 2, 2]),
     "transform::resample: backend failed"),
])
def test_refusals(call, message):
    with pytest.raises(RuntimeError) as err:
        call()
    assert str(err.value) == message


@pytest.mark.parametrize("fn", [loam.transform_resample_cubic, loam.transform_resample_grid_sample,
                                loam.transform_resample_nearest])
def test_affine_keeps_the_physical_centre(fn):
    src = RNG.random((6, 10, 4)).astype(np.float32)
    out, meta = fn(src, OBLIQUE, [4, 5, 8])
    a, b = np.array(OBLIQUE).reshape(4, 4).T, np.array(meta["affine"]).reshape(4, 4).T
    centre = lambda m, shape: m @ np.array([(shape[2] - 1) / 2, (shape[1] - 1) / 2, (shape[0] - 1) / 2, 1.0])
    assert np.allclose(centre(a, src.shape), centre(b, out.shape))
    assert np.allclose(b[:3, 0], a[:3, 0] * 4 / 8) and np.allclose(b[:3, 2], a[:3, 2] * 6 / 4)
    # Halving a 4-voxel axis doubles its column and shifts by half a source voxel along it.
    _, half = fn(RNG.random((4, 4, 4)).astype(np.float32), IDENTITY, [4, 4, 2])
    assert half["affine"][0] == 2.0 and half["affine"][12] == 0.5


def skimage_cubic(src: np.ndarray, shape) -> np.ndarray:
    """scikit-image's cubic resize in the same convention: half-pixel grid (its resize uses
    grid_mode), edge extension ('edge' becomes ndimage's 'nearest', whose spline prefilter pads by
    12 samples like ours), no anti-aliasing, values kept and clipped to the input range."""
    transform = pytest.importorskip("skimage.transform")
    return transform.resize(src.astype(np.float64), shape, order=3, mode="edge", anti_aliasing=False,
                            preserve_range=True, clip=True)


@pytest.mark.parametrize("shape_in, shape_out", [((8, 9, 10), (5, 6, 7)), ((6, 7, 8), (12, 15, 9)),
                                                 ((16, 16, 16), (16, 8, 24))])
def test_cubic_agrees_with_scikit_image(shape_in, shape_out):
    src = (RNG.random(shape_in) * 1000).astype(np.float32)
    src[:, :, shape_in[2] // 2:] += 2000  # a sharp edge, where the spline overshoots
    ours, _ = loam.transform_resample_cubic(src, IDENTITY, list(shape_out))
    assert ours.min() >= src.min() and ours.max() <= src.max()
    ref = skimage_cubic(src, shape_out)
    assert np.abs(ours - ref).max() <= 1e-4 * (src.max() - src.min())


def test_corpus_ct_volume(testdata):
    path = testdata / "pydicom-data" / "eCT_Supplemental.dcm"
    if not path.exists():
        pytest.skip(f"corpus file not present: {path}")
    vol, meta = loam.assemble_volume([str(path)])
    shape = (3, 200, 300)
    lin, _ = loam.transform_resample_grid_sample(vol, meta["affine"], list(shape))
    assert np.array_equal(lin.view(np.uint32), trilinear_reference(vol, shape).view(np.uint32))
    cub, _ = loam.transform_resample_cubic(vol, meta["affine"], list(shape))
    assert np.abs(cub - skimage_cubic(vol, shape)).max() <= 1e-4 * (vol.max() - vol.min())


def cubic_reference(src: np.ndarray, shape) -> np.ndarray:
    """The cubic kernel step by step in plain Python floats (IEEE doubles, in the kernel's order)."""
    pad, gain, pole, anti = 12, 6.000000000000001, -0.2679491924311227, 0.21132486540518708
    nz, ny, nx = src.shape
    lo, hi = float(src.min()), float(src.max())
    clamp = lambda i, n: min(max(i, 0), n - 1)
    dims = (nz + 2 * pad, ny + 2 * pad, nx + 2 * pad)
    v = np.array([[[float(src[clamp(z - pad, nz), clamp(y - pad, ny), clamp(x - pad, nx)])
                    for x in range(dims[2])] for y in range(dims[1])] for z in range(dims[0])])

    def line(c):
        n = len(c)
        c = [x * gain for x in c]
        zn = math.pow(pole, n)
        zk, s = 1.0, 0.0
        for k in range(n):
            s += zk * (c[k] + zn * c[n - 1 - k])
            zk *= pole
        c[0] = c[0] + (pole / (1 - zn * zn)) * s
        for k in range(1, n):
            c[k] = c[k] + pole * c[k - 1]
        c[n - 1] = c[n - 1] * anti
        for k in range(n - 2, -1, -1):
            c[k] = pole * (c[k + 1] - c[k])
        return c

    for axis in range(3):
        v = np.apply_along_axis(lambda l: np.array(line(list(l))), axis, v)

    def taps(o, n_in, n_out, padded):
        c = (o + 0.5) * (n_in / n_out) + (-0.5) + pad
        i = math.floor(c)
        t = c - i
        u = 1 - t
        w0, w1, w2 = u * u * u / 6, (3 * t * t * t - 6 * t * t + 4) / 6, (3 * u * u * u - 6 * u * u + 4) / 6
        return [clamp(i - 1 + k, padded) for k in range(4)], [w0, w1, w2, 1 - w0 - w1 - w2]

    out = np.empty(shape, np.float32)
    for z in range(shape[0]):
        iz, wz = taps(z, nz, shape[0], dims[0])
        for y in range(shape[1]):
            iy, wy = taps(y, ny, shape[1], dims[1])
            for x in range(shape[2]):
                ix, wx = taps(x, nx, shape[2], dims[2])
                s = 0.0
                for a in range(4):
                    for b in range(4):
                        wzy = wz[a] * wy[b]
                        for c in range(4):
                            s += float(v[iz[a], iy[b], ix[c]]) * wzy * wx[c]
                out[z, y, x] = lo if not s >= lo else hi if s > hi else s
    return out


def test_cubic_follows_the_specified_arithmetic_exactly():
    src = (RNG.random((3, 4, 5)) * 100).astype(np.float32)
    for shape in ((2, 3, 9), (5, 4, 3)):
        ours, _ = loam.transform_resample_cubic(src, IDENTITY, list(shape))
        assert np.array_equal(ours.view(np.uint32), cubic_reference(src, shape).view(np.uint32))
