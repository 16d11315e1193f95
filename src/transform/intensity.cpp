#include "transform/intensity.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "core/parallel.hpp"

namespace loamwerk::transform {

namespace {

// Sums of `term(x)` over the values `keep(x)` accepts, and their count, in fixed chunks added in
// order: threads share the work without changing a bit of the result.
template <class Keep, class Term>
std::pair<double, double> chunked_sum(std::span<const float> v, Keep keep, Term term) {
    constexpr std::size_t kChunk = std::size_t(1) << 16;
    const std::size_t chunks = (v.size() + kChunk - 1) / kChunk;
    std::vector<double> sums(chunks), counts(chunks);
    parallel_for(chunks, [&](std::size_t c) {
        double sum = 0, n = 0;
        for (std::size_t i = c * kChunk; i < std::min(v.size(), (c + 1) * kChunk); ++i)
            if (keep(v[i])) sum += term(v[i]), n += 1;
        sums[c] = sum, counts[c] = n;
    });
    double sum = 0, n = 0;
    for (std::size_t c = 0; c < chunks; ++c) sum += sums[c], n += counts[c];
    return {sum, n};
}

}  // namespace

void normalize_zscore(std::span<float> v, bool nonzero, std::optional<double> sub, std::optional<double> div) {
    const auto keep = [nonzero](float x) { return !nonzero || x != 0.0f; };
    const auto [sum, n] = chunked_sum(v, keep, [](float x) { return double(x); });
    if (n == 0) return;  // nothing to normalise (an all-zero volume with nonzero)
    const double mean = sum / n;
    const double squares = chunked_sum(v, keep, [mean](float x) { return (x - mean) * (x - mean); }).first;
    const double s = sub.value_or(mean);
    double d = div.value_or(std::sqrt(squares / n));
    if (d == 0.0) d = 1.0;
    constexpr std::size_t kChunk = std::size_t(1) << 16;
    parallel_for((v.size() + kChunk - 1) / kChunk, [&](std::size_t c) {
        for (std::size_t i = c * kChunk; i < std::min(v.size(), (c + 1) * kChunk); ++i)
            if (keep(v[i])) v[i] = float((v[i] - s) / d);
    });
}

void scale_intensity_range(std::span<float> v, double a_min, double a_max, std::optional<double> b_min,
                           std::optional<double> b_max, bool clip) {
    if (a_max - a_min == 0.0) {
        for (float& x : v) x = float(x - a_min + b_min.value_or(0.0));
        return;
    }
    const bool to_range = b_min && b_max;
    for (float& x : v) {
        double y = (x - a_min) / (a_max - a_min);
        if (to_range) y = y * (*b_max - *b_min) + *b_min;
        if (clip) {
            if (b_min) y = std::max(y, *b_min);
            if (b_max) y = std::min(y, *b_max);
        }
        x = float(y);
    }
}

double percentile(std::span<float> scratch, double q) {
    if (scratch.empty()) return 0.0;
    const double position = q / 100.0 * double(scratch.size() - 1);
    const std::size_t lo = std::size_t(std::floor(position));
    const std::size_t hi = std::min(lo + 1, scratch.size() - 1);
    std::nth_element(scratch.begin(), scratch.begin() + std::ptrdiff_t(lo), scratch.end());
    const double a = scratch[lo];
    const double b = hi == lo ? a : *std::min_element(scratch.begin() + std::ptrdiff_t(lo) + 1, scratch.end());
    return a + (b - a) * (position - double(lo));
}

void adjust_contrast(std::span<float> v, double gamma) {
    if (v.empty()) return;
    // In float32 step by step, as MONAI's tensors compute it: results near the minimum keep
    // MONAI's rounding rather than a more precise one.
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    const float min = *lo, range = *hi - min;
    const float denominator = float(double(range) + 1e-7);
    const float g = float(gamma);
    for (float& x : v) x = std::pow((x - min) / denominator, g) * range + min;
}

namespace {

std::vector<float> erf_kernel(double sigma) {
    const int tail = int(std::max(sigma * 4.0, 0.5) + 0.5);
    const float t = float(0.70710678 / std::fabs(sigma));
    std::vector<float> k;
    for (int x = -tail; x <= tail; ++x)
        k.push_back(std::max(0.0f, 0.5f * (std::erf(t * (float(x) + 0.5f)) - std::erf(t * (float(x) - 0.5f)))));
    return k;
}

}  // namespace

void gaussian_smooth(std::span<float> v, std::size_t nz, std::size_t ny, std::size_t nx, const double sigma[3]) {
    const std::size_t n[3] = {nz, ny, nx};
    const std::size_t stride[3] = {ny * nx, nx, 1};
    for (int axis = 0; axis < 3; ++axis) {
        if (sigma[axis] == 0.0 || n[axis] == 0) continue;
        const std::vector<float> k = erf_kernel(sigma[axis]);
        const std::ptrdiff_t tail = std::ptrdiff_t(k.size() / 2), length = std::ptrdiff_t(n[axis]);
        // The lines along this axis, in chunks: each line is filtered on its own, so threads
        // give the same bits as one.
        const std::size_t lines = v.size() / n[axis];
        constexpr std::size_t kChunk = 256;
        parallel_for_workers((lines + kChunk - 1) / kChunk, worker_count(lines / kChunk + 1), [&](std::size_t c) {
            std::vector<float> line(static_cast<std::size_t>(length)), out(static_cast<std::size_t>(length));
            for (std::size_t l = c * kChunk; l < std::min(lines, (c + 1) * kChunk); ++l) {
                const std::size_t base = axis == 0 ? l : axis == 1 ? (l / nx) * ny * nx + l % nx : l * nx;
                for (std::ptrdiff_t p = 0; p < length; ++p) line[std::size_t(p)] = v[base + std::size_t(p) * stride[axis]];
                for (std::ptrdiff_t p = 0; p < length; ++p) {
                    double sum = 0;  // zero padding: taps outside the line add nothing
                    const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, p - tail), hi = std::min(length - 1, p + tail);
                    for (std::ptrdiff_t q = lo; q <= hi; ++q) sum += double(k[std::size_t(q - p + tail)]) * line[std::size_t(q)];
                    out[std::size_t(p)] = float(sum);
                }
                for (std::ptrdiff_t p = 0; p < length; ++p) v[base + std::size_t(p) * stride[axis]] = out[std::size_t(p)];
            }
        });
    }
}

std::vector<float> area_resize(std::span<const float> v, const std::size_t in[3], const std::size_t out[3]) {
    // One axis at a time (the box average is separable), z, then y, then x.
    std::vector<double> cur(v.begin(), v.end());
    std::size_t shape[3] = {in[0], in[1], in[2]};
    for (int axis = 0; axis < 3; ++axis) {
        const std::size_t n = shape[axis], m = out[axis];
        const std::size_t before = axis == 0 ? 1 : axis == 1 ? shape[0] : shape[0] * shape[1];
        const std::size_t after = axis == 0 ? shape[1] * shape[2] : axis == 1 ? shape[2] : 1;
        std::vector<double> next(before * m * after);
        for (std::size_t o = 0; o < m; ++o) {
            const std::size_t lo = o * n / m, hi = ((o + 1) * n + m - 1) / m;
            for (std::size_t b = 0; b < before; ++b)
                for (std::size_t a = 0; a < after; ++a) {
                    double sum = 0;
                    for (std::size_t i = lo; i < hi; ++i) sum += cur[(b * n + i) * after + a];
                    next[(b * m + o) * after + a] = sum / double(hi - lo);
                }
        }
        cur = std::move(next);
        shape[axis] = m;
    }
    return std::vector<float>(cur.begin(), cur.end());
}

std::vector<float> sample_scaled(std::span<const float> v, const std::size_t in[3], const std::size_t out[3],
                                 const double ratio[3], bool nearest) {
    struct Tap {
        std::size_t i0, i1;
        double w1;
    };
    std::array<std::vector<Tap>, 3> taps;
    for (int d = 0; d < 3; ++d)
        for (std::size_t o = 0; o < out[d]; ++o) {
            const double c = std::clamp(double(o) * ratio[d], 0.0, double(in[d] - 1));
            if (nearest) {
                const auto i = std::size_t(std::nearbyint(c));
                taps[d].push_back({i, i, 0.0});
            } else {
                const auto i0 = std::size_t(std::floor(c));
                taps[d].push_back({i0, std::min(i0 + 1, in[d] - 1), c - double(i0)});
            }
        }
    std::vector<float> result(out[0] * out[1] * out[2]);
    const std::size_t plane = in[1] * in[2];
    parallel_for_workers(out[0], worker_count(out[0]), [&](std::size_t z) {
        const Tap& tz = taps[0][z];
        for (std::size_t y = 0; y < out[1]; ++y) {
            const Tap& ty = taps[1][y];
            for (std::size_t x = 0; x < out[2]; ++x) {
                const Tap& tx = taps[2][x];
                const auto at = [&](std::size_t k, std::size_t j, std::size_t i) { return double(v[k * plane + j * in[2] + i]); };
                const double c00 = at(tz.i0, ty.i0, tx.i0) * (1 - tx.w1) + at(tz.i0, ty.i0, tx.i1) * tx.w1;
                const double c01 = at(tz.i0, ty.i1, tx.i0) * (1 - tx.w1) + at(tz.i0, ty.i1, tx.i1) * tx.w1;
                const double c10 = at(tz.i1, ty.i0, tx.i0) * (1 - tx.w1) + at(tz.i1, ty.i0, tx.i1) * tx.w1;
                const double c11 = at(tz.i1, ty.i1, tx.i0) * (1 - tx.w1) + at(tz.i1, ty.i1, tx.i1) * tx.w1;
                const double c0 = c00 * (1 - ty.w1) + c01 * ty.w1, c1 = c10 * (1 - ty.w1) + c11 * ty.w1;
                result[(z * out[1] + y) * out[2] + x] = float(c0 * (1 - tz.w1) + c1 * tz.w1);
            }
        }
    });
    return result;
}

}  // namespace loamwerk::transform
