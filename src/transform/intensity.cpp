#include "transform/intensity.hpp"

#include <algorithm>
#include <cmath>

namespace loamwerk::transform {

void normalize_zscore(std::span<float> v, bool nonzero, std::optional<double> sub, std::optional<double> div) {
    double sum = 0, n = 0;
    for (const float x : v)
        if (!nonzero || x != 0.0f) sum += x, n += 1;
    if (n == 0) return;  // nothing to normalise (an all-zero volume with nonzero)
    const double mean = sum / n;
    double squares = 0;
    for (const float x : v)
        if (!nonzero || x != 0.0f) squares += (x - mean) * (x - mean);
    const double s = sub.value_or(mean);
    double d = div.value_or(std::sqrt(squares / n));
    if (d == 0.0) d = 1.0;
    for (float& x : v)
        if (!nonzero || x != 0.0f) x = float((x - s) / d);
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

}  // namespace loamwerk::transform
