#include "transform/resample.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

#include "core/limits.hpp"
#include "core/parallel.hpp"

namespace loamwerk::transform {

namespace {

constexpr int kPad = 12;
constexpr double kGain = 6.000000000000001;
constexpr double kPole = -0.2679491924311227;
constexpr double kAnticausal = 0.21132486540518708;

std::int64_t clamp_index(std::int64_t i, std::int64_t n) { return i < 0 ? 0 : i >= n ? n - 1 : i; }

// Output slices are independent, so spreading them over threads keeps every value bit-identical.
template <class F>
void each_output_slice(std::uint32_t oz, F&& slice) {
    parallel_for(oz, [&](std::size_t z) { slice(std::uint32_t(z)); });
}

void prefilter_line(double* c, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) c[k] *= kGain;
    const double zn = std::pow(kPole, double(n));
    double zk = 1, sum = 0;
    for (std::size_t k = 0; k < n; ++k) {
        sum += zk * (c[k] + zn * c[n - 1 - k]);
        zk *= kPole;
    }
    c[0] = c[0] + (kPole / (1 - zn * zn)) * sum;
    for (std::size_t k = 1; k < n; ++k) c[k] = c[k] + kPole * c[k - 1];
    c[n - 1] = c[n - 1] * kAnticausal;
    for (std::size_t k = n - 1; k-- > 0;) c[k] = kPole * (c[k + 1] - c[k]);
}

// Lines along x (contiguous), one at a time.
void prefilter_x(double* v, std::size_t lines, std::size_t n) {
    parallel_for(lines, [&](std::size_t line) { prefilter_line(v + line * n, n); });
}

// Lines across `width` contiguous positions, `n` samples `stride` apart: every line is filtered
// with exactly the arithmetic of prefilter_line, the positions side by side so the passes run
// along memory.
void prefilter_across(double* v, std::size_t n, std::size_t stride, std::size_t width) {
    auto at = [&](std::size_t k) { return v + k * stride; };
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t p = 0; p < width; ++p) at(k)[p] *= kGain;
    const double zn = std::pow(kPole, double(n));
    thread_local std::vector<double> sum;
    sum.assign(width, 0.0);
    double zk = 1;
    for (std::size_t k = 0; k < n; ++k) {
        const double* a = at(k);
        const double* b = at(n - 1 - k);
        for (std::size_t p = 0; p < width; ++p) sum[p] += zk * (a[p] + zn * b[p]);
        zk *= kPole;
    }
    const double first = kPole / (1 - zn * zn);
    for (std::size_t p = 0; p < width; ++p) at(0)[p] = at(0)[p] + first * sum[p];
    for (std::size_t k = 1; k < n; ++k) {
        double* c = at(k);
        const double* prev = at(k - 1);
        for (std::size_t p = 0; p < width; ++p) c[p] = c[p] + kPole * prev[p];
    }
    for (std::size_t p = 0; p < width; ++p) at(n - 1)[p] = at(n - 1)[p] * kAnticausal;
    for (std::size_t k = n - 1; k-- > 0;) {
        double* c = at(k);
        const double* next = at(k + 1);
        for (std::size_t p = 0; p < width; ++p) c[p] = kPole * (next[p] - c[p]);
    }
}

struct Taps {
    std::int64_t index[4];
    double weight[4];
};

Taps cubic_taps(std::uint32_t o, std::uint32_t n_in, std::uint32_t n_out, std::int64_t padded) {
    const double c = (double(o) + 0.5) * (double(n_in) / double(n_out)) + (-0.5) + kPad;
    const double fi = std::floor(c);
    const double t = c - fi;
    const std::int64_t i = std::int64_t(fi);
    Taps taps;
    for (int k = 0; k < 4; ++k) taps.index[k] = clamp_index(i - 1 + k, padded);
    const double u = 1 - t;
    taps.weight[0] = u * u * u / 6;
    taps.weight[1] = (3 * t * t * t - 6 * t * t + 4) / 6;
    taps.weight[2] = (3 * u * u * u - 6 * u * u + 4) / 6;
    taps.weight[3] = 1 - taps.weight[0] - taps.weight[1] - taps.weight[2];
    return taps;
}

struct Linear {
    std::int64_t i0, i1;
    double w0, w1;
};

Linear linear_taps(std::uint32_t o, std::uint32_t n_in, std::uint32_t n_out) {
    const double c = ((double(o + o + 1) / double(n_out)) + (-1.0) + 1.0) * (double(n_in) * 0.5) + (-0.5);
    const double f = std::floor(c);
    const std::int64_t i0 = std::int64_t(f), i1 = i0 + 1;
    Linear l{clamp_index(i0, n_in), clamp_index(i1, n_in), double(i1) - c, c - double(i0)};
    return l;
}

std::int64_t nearest_index(std::uint32_t o, double s, std::uint32_t n_in) {
    return clamp_index(std::int64_t(std::floor((double(o) + 0.5) * s + (-0.5) + 0.5)), n_in);
}

float to_float(const std::uint8_t* p, DType t) {
    switch (t) {
    case kUint8: return float(*p);
    case kUint16: { std::uint16_t v; std::memcpy(&v, p, 2); return float(v); }
    case kInt16: { std::int16_t v; std::memcpy(&v, p, 2); return float(v); }
    default: { float v; std::memcpy(&v, p, 4); return v; }
    }
}

std::size_t dtype_bytes(DType t) { return t == kUint8 ? 1 : t == kFloat32 ? 4 : 2; }

}  // namespace

int resample_nearest(const float* src, std::uint32_t nx, std::uint32_t ny, std::uint32_t nz, float* dst,
                     std::uint32_t ox, std::uint32_t oy, std::uint32_t oz) {
    if (!src || !dst || !nx || !ny || !nz || !ox || !oy || !oz) return 1;
    const double sx = double(nx) / ox, sy = double(ny) / oy, sz = double(nz) / oz;
    std::vector<std::int64_t> xs(ox);
    for (std::uint32_t x = 0; x < ox; ++x) xs[x] = nearest_index(x, sx, nx);
    each_output_slice(oz, [&](std::uint32_t z) {
        const std::int64_t iz = nearest_index(z, sz, nz);
        for (std::uint32_t y = 0; y < oy; ++y) {
            const float* row = src + (std::size_t(iz) * ny + std::size_t(nearest_index(y, sy, ny))) * nx;
            float* out = dst + (std::size_t(z) * oy + y) * ox;
            for (std::uint32_t x = 0; x < ox; ++x) out[x] = row[xs[x]];
        }
    });
    return 0;
}

namespace {

// One output row of the trilinear kernel: eight fused multiply-adds per voxel in corner order.
[[gnu::always_inline]] inline void trilinear_row(const float* r00, const float* r01, const float* r10, const float* r11,
                                                 double w00, double w01, double w10, double w11,
                                                 const Linear* xs, std::uint32_t ox, float* out) {
    for (std::uint32_t x = 0; x < ox; ++x) {
        const Linear& lx = xs[x];
        double acc = 0;
        acc = std::fma(w00 * lx.w0, double(r00[lx.i0]), acc);
        acc = std::fma(w00 * lx.w1, double(r00[lx.i1]), acc);
        acc = std::fma(w01 * lx.w0, double(r01[lx.i0]), acc);
        acc = std::fma(w01 * lx.w1, double(r01[lx.i1]), acc);
        acc = std::fma(w10 * lx.w0, double(r10[lx.i0]), acc);
        acc = std::fma(w10 * lx.w1, double(r10[lx.i1]), acc);
        acc = std::fma(w11 * lx.w0, double(r11[lx.i0]), acc);
        acc = std::fma(w11 * lx.w1, double(r11[lx.i1]), acc);
        out[x] = float(acc);
    }
}

// The same row with the processor's FMA instructions where it has them: a fused multiply-add is
// exactly rounded either way, so both give the same bits.
[[gnu::target("fma")]] void trilinear_row_fma(const float* r00, const float* r01, const float* r10, const float* r11,
                                               double w00, double w01, double w10, double w11, const Linear* xs,
                                               std::uint32_t ox, float* out) {
    trilinear_row(r00, r01, r10, r11, w00, w01, w10, w11, xs, ox, out);
}

void trilinear_row_plain(const float* r00, const float* r01, const float* r10, const float* r11, double w00,
                         double w01, double w10, double w11, const Linear* xs, std::uint32_t ox, float* out) {
    trilinear_row(r00, r01, r10, r11, w00, w01, w10, w11, xs, ox, out);
}

}  // namespace

int resample_trilinear(const float* src, std::uint32_t nx, std::uint32_t ny, std::uint32_t nz, float* dst,
                       std::uint32_t ox, std::uint32_t oy, std::uint32_t oz) {
    if (!src || !dst || !nx || !ny || !nz || !ox || !oy || !oz) return 1;
    std::vector<Linear> xs(ox);
    for (std::uint32_t x = 0; x < ox; ++x) xs[x] = linear_taps(x, nx, ox);
    const std::size_t plane = std::size_t(nx) * ny;
    const auto row_kernel = __builtin_cpu_supports("fma") ? trilinear_row_fma : trilinear_row_plain;
    each_output_slice(oz, [&](std::uint32_t z) {
        const Linear lz = linear_taps(z, nz, oz);
        const float* z0 = src + std::size_t(lz.i0) * plane;
        const float* z1 = src + std::size_t(lz.i1) * plane;
        for (std::uint32_t y = 0; y < oy; ++y) {
            const Linear ly = linear_taps(y, ny, oy);
            row_kernel(z0 + std::size_t(ly.i0) * nx, z0 + std::size_t(ly.i1) * nx, z1 + std::size_t(ly.i0) * nx,
                       z1 + std::size_t(ly.i1) * nx, lz.w0 * ly.w0, lz.w0 * ly.w1, lz.w1 * ly.w0, lz.w1 * ly.w1,
                       xs.data(), ox, dst + (std::size_t(z) * oy + y) * ox);
        }
    });
    return 0;
}

int resample_cubic(const float* src, std::uint32_t nx, std::uint32_t ny, std::uint32_t nz, float* dst,
                   std::uint32_t ox, std::uint32_t oy, std::uint32_t oz) {
    if (nx < 2 || ny < 2 || nz < 2) return 1;
    return resize_cubic(src, nx, ny, nz, dst, ox, oy, oz);
}

int resize_cubic(const float* src, std::uint32_t nx, std::uint32_t ny, std::uint32_t nz, float* dst, std::uint32_t ox,
                 std::uint32_t oy, std::uint32_t oz) {
    if (!src || !dst || !nx || !ny || !nz || !ox || !oy || !oz) return 1;
    const std::size_t count = std::size_t(nx) * ny * nz;
    const auto [lo_it, hi_it] = std::minmax_element(src, src + count);
    const double lo = *lo_it, hi = *hi_it;
    // One plane kept as one plane is a 2-D resize: no padding, no filtering and one tap along z.
    const bool planar = nz == 1 && oz == 1;
    const std::size_t z_pad = planar ? 0 : kPad;
    const std::size_t px = nx + 2 * kPad, py = ny + 2 * kPad, pz = nz + 2 * z_pad;
    std::vector<double> v;
    try {
        v.resize(px * py * pz);
    } catch (const std::bad_alloc&) {
        return 2;
    }
    parallel_for(pz, [&](std::size_t z) {
        const std::size_t sz = std::size_t(clamp_index(std::int64_t(z) - std::int64_t(z_pad), nz));
        for (std::size_t y = 0; y < py; ++y) {
            const std::size_t sy = std::size_t(clamp_index(std::int64_t(y) - kPad, ny));
            const float* row = src + (sz * ny + sy) * nx;
            double* out = v.data() + (z * py + y) * px;
            for (std::size_t x = 0; x < px; ++x) out[x] = row[clamp_index(std::int64_t(x) - kPad, nx)];
        }
    });
    // z, then y, then x. Along z the lines of one row of the plane are filtered together (rows on
    // threads); along y the lines of one slice.
    if (!planar) parallel_for(py, [&](std::size_t y) { prefilter_across(v.data() + y * px, pz, py * px, px); });
    parallel_for(pz, [&](std::size_t z) { prefilter_across(v.data() + z * py * px, py, px, px); });
    prefilter_x(v.data(), pz * py, px);
    std::vector<Taps> xs(ox);
    for (std::uint32_t x = 0; x < ox; ++x) xs[x] = cubic_taps(x, nx, ox, std::int64_t(px));
    const int z_taps = planar ? 1 : 4;
    each_output_slice(oz, [&](std::uint32_t z) {
        Taps tz = cubic_taps(z, nz, oz, std::int64_t(pz));
        if (planar) tz.index[0] = 0, tz.weight[0] = 1;
        for (std::uint32_t y = 0; y < oy; ++y) {
            const Taps ty = cubic_taps(y, ny, oy, std::int64_t(py));
            float* out = dst + (std::size_t(z) * oy + y) * ox;
            const double* rows[16];
            double wzy[16];
            const int row_count = 4 * z_taps;
            for (int a = 0; a < z_taps; ++a)
                for (int b = 0; b < 4; ++b) {
                    rows[4 * a + b] = v.data() + (std::size_t(tz.index[a]) * py + std::size_t(ty.index[b])) * px;
                    wzy[4 * a + b] = planar ? ty.weight[b] : tz.weight[a] * ty.weight[b];
                }
            // Several output voxels at once, each summed in the same order (z, y, x taps), so the
            // independent sums overlap instead of waiting on one another.
            constexpr std::uint32_t kLanes = 4;
            std::uint32_t x = 0;
            auto finish = [&](double sum) { return float(!(sum >= lo) ? lo : sum > hi ? hi : sum); };
            for (; x + kLanes <= ox; x += kLanes) {
                double sum[kLanes] = {0, 0, 0, 0};
                for (int ab = 0; ab < row_count; ++ab) {
                    const double* row = rows[ab];
                    for (int c = 0; c < 4; ++c)
                        for (std::uint32_t j = 0; j < kLanes; ++j)
                            sum[j] += row[xs[x + j].index[c]] * wzy[ab] * xs[x + j].weight[c];
                }
                for (std::uint32_t j = 0; j < kLanes; ++j) out[x + j] = finish(sum[j]);
            }
            for (; x < ox; ++x) {
                double sum = 0;
                for (int ab = 0; ab < row_count; ++ab)
                    for (int c = 0; c < 4; ++c) sum += rows[ab][xs[x].index[c]] * wzy[ab] * xs[x].weight[c];
                out[x] = finish(sum);  // NaN compares false against the minimum and yields it
            }
        }
    });
    return 0;
}

Kernel kernel_for_convention(std::string_view name) {
    if (name == "skimage") return Kernel::kCubic;
    if (name == "torch" || name == "itk") return Kernel::kTrilinear;
    throw std::runtime_error("transform::resample: unknown convention");
}

TransformArray resample(const TransformArray& src, std::uint32_t ox, std::uint32_t oy, std::uint32_t oz, Kernel kernel) {
    if (!src.nx || !src.ny || !src.nz || (!src.external && src.voxels.empty()))
        throw std::runtime_error("transform::resample: empty src");
    if (src.channels != 1) throw std::runtime_error("transform::resample: single-channel only");
    if (!ox || !oy || !oz) throw std::runtime_error("transform::resample: out_dims must be > 0");
    const std::size_t n = src.count();
    std::vector<float> converted;
    const float* in = reinterpret_cast<const float*>(src.data());
    if (src.dtype != kFloat32) {
        converted.resize(n);
        const std::size_t w = dtype_bytes(src.dtype);
        for (std::size_t i = 0; i < n; ++i) converted[i] = to_float(src.data() + i * w, src.dtype);
        in = converted.data();
    }
    // Three sizes below 2^32 can multiply past what memory (or size_t) holds: refused before
    // anything is allocated, by the same policy as buffers a file asks for.
    if (const std::string refusal = limits::output_refusal((long double)ox * oy * oz * 4, n * dtype_bytes(src.dtype));
        !refusal.empty())
        throw std::runtime_error("transform::resample: " + refusal);
    TransformArray out;
    out.nx = ox, out.ny = oy, out.nz = oz, out.channels = 1, out.dtype = kFloat32, out.label = src.label;
    out.voxels.resize(std::size_t(ox) * oy * oz * 4);  // every voxel is written by the kernel
    float* dst = reinterpret_cast<float*>(out.voxels.data());
    int rc = 1;
    switch (kernel) {
    case Kernel::kCubic: rc = resample_cubic(in, src.nx, src.ny, src.nz, dst, ox, oy, oz); break;
    case Kernel::kTrilinear: rc = resample_trilinear(in, src.nx, src.ny, src.nz, dst, ox, oy, oz); break;
    case Kernel::kNearest: rc = resample_nearest(in, src.nx, src.ny, src.nz, dst, ox, oy, oz); break;
    }
    if (rc != 0) throw std::runtime_error("transform::resample: backend failed");
    const double s[3] = {double(src.nx) / ox, double(src.ny) / oy, double(src.nz) / oz};
    std::copy(src.affine, src.affine + 16, out.affine);
    for (int axis = 0; axis < 3; ++axis)
        for (int r = 0; r < 4; ++r) {
            out.affine[4 * axis + r] = src.affine[4 * axis + r] * s[axis];
            out.affine[12 + r] += src.affine[4 * axis + r] * (0.5 * s[axis] - 0.5);
        }
    return out;
}

namespace {

double triangle(double x) {
    x = std::fabs(x);
    return x < 1.0 ? 1.0 - x : 0.0;
}

double cubic(double x) {
    constexpr double a = -0.5;
    x = std::fabs(x);
    if (x < 1.0) return ((a + 2.0) * x - (a + 3.0)) * x * x + 1.0;
    if (x < 2.0) return (((x - 5.0) * x + 8.0) * x - 4.0) * a;
    return 0.0;
}

struct PilTaps {
    std::uint32_t first = 0;
    std::vector<double> weights;
};

// Pillow's coefficients for one axis: centre (o + 0.5) * scale, support widened by the scale when
// shrinking, weights normalised to sum 1.
std::vector<PilTaps> pil_taps(std::uint32_t in, std::uint32_t out, bool bicubic) {
    const double scale = double(in) / double(out);
    const double filterscale = std::max(scale, 1.0);
    const double support = (bicubic ? 2.0 : 1.0) * filterscale;
    std::vector<PilTaps> taps(out);
    for (std::uint32_t o = 0; o < out; ++o) {
        const double center = (double(o) + 0.5) * scale;
        const auto lo = std::int64_t(std::max(center - support + 0.5, 0.0));
        const auto hi = std::min<std::int64_t>(std::int64_t(center + support + 0.5), in);
        PilTaps& t = taps[o];
        t.first = std::uint32_t(lo);
        double total = 0;
        for (std::int64_t x = lo; x < hi; ++x) {
            const double w = (bicubic ? cubic : triangle)((double(x) - center + 0.5) / filterscale);
            t.weights.push_back(w);
            total += w;
        }
        if (total != 0.0)
            for (double& w : t.weights) w /= total;
    }
    return taps;
}

}  // namespace

void pil_resize(const float* src, std::uint32_t width, std::uint32_t height, float* dst, std::uint32_t out_width,
                std::uint32_t out_height, bool bicubic) {
    const auto xs = pil_taps(width, out_width, bicubic);
    const auto ys = pil_taps(height, out_height, bicubic);
    // Horizontal first, into float32 rows, as Pillow does.
    std::vector<float> rows(std::size_t(out_width) * height);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < out_width; ++x) {
            double sum = 0;
            for (std::size_t k = 0; k < xs[x].weights.size(); ++k)
                sum += src[std::size_t(y) * width + xs[x].first + k] * xs[x].weights[k];
            rows[std::size_t(y) * out_width + x] = float(sum);
        }
    for (std::uint32_t y = 0; y < out_height; ++y)
        for (std::uint32_t x = 0; x < out_width; ++x) {
            double sum = 0;
            for (std::size_t k = 0; k < ys[y].weights.size(); ++k)
                sum += rows[(std::size_t(ys[y].first) + k) * out_width + x] * ys[y].weights[k];
            dst[std::size_t(y) * out_width + x] = float(sum);
        }
}

}  // namespace loamwerk::transform
