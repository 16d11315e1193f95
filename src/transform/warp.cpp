#include "transform/warp.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/parallel.hpp"
#include "volume/grid.hpp"

namespace loamwerk::transform {

namespace {

using Matrix4 = std::array<double, 16>;  // row-major

Matrix4 identity4() { return {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}; }

Matrix4 multiply(const Matrix4& a, const Matrix4& b) {
    Matrix4 c{};
    for (int r = 0; r < 4; ++r)
        for (int k = 0; k < 4; ++k)
            for (int j = 0; j < 4; ++j) c[4 * r + j] += a[4 * r + k] * b[4 * k + j];
    return c;
}

// Far-away coordinates stay far away without overflowing the integer conversion.
constexpr double kFar = 1e15;

// floor() without a library call (the portable build has no rounding instruction): exact for
// every double within kFar.
inline std::int64_t floor_index(double c) {
    if (!(c >= -kFar && c <= kFar)) return c > 0 ? std::int64_t(kFar) : -2;  // NaN counts as outside
    const auto i = std::int64_t(c);
    return double(i) > c ? i - 1 : i;
}

// Halves to even, as nearbyint in the default rounding mode.
inline std::int64_t round_index(double c) {
    const std::int64_t i = floor_index(c);
    const double rest = c - double(i);
    return rest > 0.5 || (rest == 0.5 && (i & 1)) ? i + 1 : i;
}

// One axis of the input: its length, and what grid_sample does to a coordinate on it before
// interpolating.
struct Axis {
    std::int64_t n;
    double size, last;
    explicit Axis(std::size_t length) : n(std::int64_t(length)), size(double(length)), last(double(length) - 1) {}

    template <Padding P>
    [[gnu::always_inline]] double pad(double c) const {
        if constexpr (P == Padding::kReflection) {
            if (!(c >= -0.5 && c <= size - 0.5)) {
                // Mirror about -0.5 and n - 0.5, the volume's outer faces.
                const double folded = std::fabs(c + 0.5);
                const double extra = std::fmod(folded, size);
                c = std::fmod(std::floor(folded / size), 2.0) == 0 ? extra - 0.5 : size - extra - 0.5;
            }
        }
        if constexpr (P != Padding::kZeros) c = c < 0 ? 0.0 : c > last ? last : c;
        return c;
    }
};

// The output columns [first, last) of a row whose sample points lie in [0, n - 1) on an axis
// where the point is step * o + base: there no padding applies and both corners are inside.
// Rounded arithmetic is monotonic in o, so checking the ends of a slightly narrowed interval
// with the loop's own arithmetic settles every column between.
std::pair<std::size_t, std::size_t> inside_columns(double step, double base, double last, std::size_t count) {
    const auto inside = [&](std::size_t o) {
        const double c = step * double(o) + base;
        return c >= 0 && c < last;
    };
    double lo = 0, hi = double(count);
    if (step > 0) lo = std::max(lo, std::ceil(-base / step) + 1), hi = std::min(hi, std::floor((last - base) / step) - 1);
    else if (step < 0) lo = std::max(lo, std::ceil((last - base) / step) + 1), hi = std::min(hi, std::floor(-base / step) - 1);
    else if (!inside(0)) return {0, 0};
    if (!(lo < hi)) return {0, 0};
    const auto first = std::size_t(lo), end = std::size_t(hi);
    if (!inside(first) || !inside(end - 1)) return {0, 0};
    return {first, end};
}

template <Padding P, bool Nearest>
void warp_rows(const float* v, const Axis (&axes)[3], const Shape& out, const VoxelMap& m, float* result) {
    const Axis& ax = axes[0];  // x, y, z
    const Axis& ay = axes[1];
    const Axis& az = axes[2];
    const std::int64_t nx = ax.n, ny = ay.n, nz = az.n;
    const std::size_t sy = std::size_t(nx), sz = std::size_t(nx * ny);
    const auto at = [=](std::int64_t z, std::int64_t y, std::int64_t x) {
        const bool inside = z >= 0 && z < nz && y >= 0 && y < ny && x >= 0 && x < nx;
        return inside ? double(v[std::size_t(z) * sz + std::size_t(y) * sy + std::size_t(x)]) : 0.0;
    };
    // Corner order and weight products as grid_sample's trilinear kernel.
    const auto trilinear = [=](const float* p, double wx1, double wy1, double wz1) {
        const double wx0 = 1 - wx1, wy0 = 1 - wy1, wz0 = 1 - wz1;
        double sum = double(p[0]) * (wx0 * wy0 * wz0);
        sum += double(p[1]) * (wx1 * wy0 * wz0);
        sum += double(p[sy]) * (wx0 * wy1 * wz0);
        sum += double(p[sy + 1]) * (wx1 * wy1 * wz0);
        sum += double(p[sz]) * (wx0 * wy0 * wz1);
        sum += double(p[sz + 1]) * (wx1 * wy0 * wz1);
        sum += double(p[sz + sy]) * (wx0 * wy1 * wz1);
        sum += double(p[sz + sy + 1]) * (wx1 * wy1 * wz1);
        return float(sum);
    };
    const std::size_t ox_count = out[2], oy_count = out[1];
    const double step[3] = {m[0], m[4], m[8]};
    parallel_for_workers(out[0], worker_count(out[0]), [&](std::size_t oz) {
        for (std::size_t oy = 0; oy < oy_count; ++oy) {
            float* row = result + (oz * oy_count + oy) * ox_count;
            double base[3];  // where the row starts: x, y, z
            for (int r = 0; r < 3; ++r) base[r] = m[4 * r + 1] * double(oy) + m[4 * r + 2] * double(oz) + m[4 * r + 3];
            const auto general = [&](std::size_t ox) {
                const double x = ax.pad<P>(step[0] * double(ox) + base[0]);
                const double y = ay.pad<P>(step[1] * double(ox) + base[1]);
                const double z = az.pad<P>(step[2] * double(ox) + base[2]);
                if constexpr (P == Padding::kZeros) {
                    if (!(x > -1 && x < ax.size && y > -1 && y < ay.size && z > -1 && z < az.size)) {
                        row[ox] = 0;  // every corner outside
                        return;
                    }
                }
                if constexpr (Nearest) {
                    row[ox] = float(at(round_index(z), round_index(y), round_index(x)));
                    return;
                }
                const std::int64_t x0 = floor_index(x), y0 = floor_index(y), z0 = floor_index(z);
                const double wx1 = x - double(x0), wy1 = y - double(y0), wz1 = z - double(z0);
                if (x0 >= 0 && x0 + 1 < nx && y0 >= 0 && y0 + 1 < ny && z0 >= 0 && z0 + 1 < nz) {
                    row[ox] = trilinear(v + std::size_t(z0) * sz + std::size_t(y0) * sy + std::size_t(x0), wx1, wy1, wz1);
                    return;
                }
                const double wx0 = 1 - wx1, wy0 = 1 - wy1, wz0 = 1 - wz1;  // corners outside count as 0
                double sum = at(z0, y0, x0) * (wx0 * wy0 * wz0);
                sum += at(z0, y0, x0 + 1) * (wx1 * wy0 * wz0);
                sum += at(z0, y0 + 1, x0) * (wx0 * wy1 * wz0);
                sum += at(z0, y0 + 1, x0 + 1) * (wx1 * wy1 * wz0);
                sum += at(z0 + 1, y0, x0) * (wx0 * wy0 * wz1);
                sum += at(z0 + 1, y0, x0 + 1) * (wx1 * wy0 * wz1);
                sum += at(z0 + 1, y0 + 1, x0) * (wx0 * wy1 * wz1);
                sum += at(z0 + 1, y0 + 1, x0 + 1) * (wx1 * wy1 * wz1);
                row[ox] = float(sum);
            };
            std::size_t first = 0, end = 0;
            if constexpr (!Nearest) {
                // Where every axis is inside, the same arithmetic without padding or checks.
                const auto [x_first, x_end] = inside_columns(step[0], base[0], ax.last, ox_count);
                const auto [y_first, y_end] = inside_columns(step[1], base[1], ay.last, ox_count);
                const auto [z_first, z_end] = inside_columns(step[2], base[2], az.last, ox_count);
                first = std::max({x_first, y_first, z_first}), end = std::min({x_end, y_end, z_end});
                if (end < first) end = first;
            }
            for (std::size_t ox = 0; ox < first; ++ox) general(ox);
            for (std::size_t ox = first; ox < end; ++ox) {
                const double x = step[0] * double(ox) + base[0], y = step[1] * double(ox) + base[1],
                             z = step[2] * double(ox) + base[2];
                const auto x0 = std::size_t(x), y0 = std::size_t(y), z0 = std::size_t(z);  // non-negative: floor
                row[ox] = trilinear(v + z0 * sz + y0 * sy + x0, x - double(x0), y - double(y0), z - double(z0));
            }
            for (std::size_t ox = end; ox < ox_count; ++ox) general(ox);
        }
    });
}

template <Padding P>
void warp_padded(const float* v, const Axis (&axes)[3], const Shape& out, const VoxelMap& m, bool nearest, float* result) {
    if (nearest) warp_rows<P, true>(v, axes, out, m, result);
    else warp_rows<P, false>(v, axes, out, m, result);
}

}  // namespace

void warp(std::span<const float> v, const Shape& in, const Shape& out, const VoxelMap& m, bool nearest, Padding padding,
          std::span<float> result) {
    const Axis axes[3] = {Axis(in[2]), Axis(in[1]), Axis(in[0])};
    switch (padding) {
    case Padding::kZeros: return warp_padded<Padding::kZeros>(v.data(), axes, out, m, nearest, result.data());
    case Padding::kBorder: return warp_padded<Padding::kBorder>(v.data(), axes, out, m, nearest, result.data());
    case Padding::kReflection: return warp_padded<Padding::kReflection>(v.data(), axes, out, m, nearest, result.data());
    }
}

std::array<double, 16> centred_affine(std::span<const double> rotate, std::span<const double> shear,
                                      std::span<const double> translate, std::span<const double> scale) {
    Matrix4 a = identity4();
    for (std::size_t axis = 0; axis < rotate.size() && axis < 3; ++axis) {
        // A quarter turn in the plane of the two other axes, from the first towards the second.
        const int p = axis == 0 ? 1 : 0, q = axis == 2 ? 1 : 2;
        const double s = std::sin(rotate[axis]), c = std::cos(rotate[axis]);
        Matrix4 r = identity4();
        const double sign = axis == 1 ? -1.0 : 1.0;  // about axis 1 the plane (0, 2) turns the other way
        r[4 * p + p] = c, r[4 * p + q] = -sign * s, r[4 * q + p] = sign * s, r[4 * q + q] = c;
        a = multiply(a, r);
    }
    if (!shear.empty()) {
        static constexpr int kPairs[6][2] = {{0, 1}, {0, 2}, {1, 0}, {1, 2}, {2, 0}, {2, 1}};
        Matrix4 sh = identity4();
        for (std::size_t k = 0; k < shear.size() && k < 6; ++k) {
            Matrix4 e = identity4();
            e[4 * kPairs[k][0] + kPairs[k][1]] = shear[k];
            sh = multiply(e, sh);
        }
        a = multiply(a, sh);
    }
    if (!translate.empty()) {
        Matrix4 t = identity4();
        for (std::size_t d = 0; d < translate.size() && d < 3; ++d) t[4 * d + 3] = translate[d];
        a = multiply(a, t);
    }
    if (!scale.empty()) {
        Matrix4 s = identity4();
        for (std::size_t d = 0; d < scale.size() && d < 3; ++d) s[5 * d] = scale[d];
        a = multiply(a, s);
    }
    return a;
}

VoxelMap centred_voxel_map(const std::array<double, 16>& centred, const Shape& in, const Shape& out) {
    VoxelMap m{};
    for (int r = 0; r < 3; ++r) {
        const int ar = 2 - r;  // voxel axis r is array axis 2 - r
        const double squeeze = double(in[ar]) / double(std::max<std::size_t>(in[ar], 2));
        double shift = (double(in[ar]) - 1) / 2;
        for (int c = 0; c < 3; ++c) {
            const int ac = 2 - c;
            m[4 * r + c] = squeeze * centred[4 * ar + ac];
            shift -= m[4 * r + c] * (double(out[ac]) - 1) / 2;
        }
        m[4 * r + 3] = squeeze * centred[4 * ar + 3] + shift;
    }
    return m;
}

VoxelMap reference_voxel_map(const double affine[16], const double reference[16]) {
    double det = 0;
    for (int c = 0; c < 3; ++c) {
        const double* a = affine;
        det += a[4 * 0 + c] * (a[4 * 1 + (c + 1) % 3] * a[4 * 2 + (c + 2) % 3] - a[4 * 1 + (c + 2) % 3] * a[4 * 2 + (c + 1) % 3]);
    }
    if (!std::isfinite(det) || det == 0) throw std::invalid_argument("the affine cannot be inverted");
    double inverse[16];
    volume::invert_affine(affine, inverse);
    VoxelMap m{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) {
            double sum = 0;
            for (int k = 0; k < 4; ++k) sum += inverse[4 * k + r] * reference[4 * c + k];
            m[4 * r + c] = sum;
        }
    return m;
}

std::array<double, 16> array_matrix(const VoxelMap& m) {
    std::array<double, 16> a{};
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) a[4 * r + c] = m[4 * (2 - r) + (2 - c)];
        a[4 * r + 3] = m[4 * (2 - r) + 3];
    }
    a[15] = 1;
    return a;
}

std::array<double, 16> warped_affine(const double affine[16], const VoxelMap& m) {
    std::array<double, 16> out{};
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 4; ++r) {
            double sum = c == 3 ? affine[12 + r] : 0.0;
            for (int k = 0; k < 3; ++k) sum += affine[4 * k + r] * m[4 * k + c];
            out[4 * c + r] = sum;
        }
    return out;
}

}  // namespace loamwerk::transform
