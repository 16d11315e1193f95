// Intensity transforms over float32 volumes, in MONAI's conventions: z-score normalisation,
// linear range scaling (with percentile bounds), gamma contrast, thresholding and argmax.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

namespace loamwerk::transform {

// (x - mean) / std over all values, or over the nonzero ones only (others unchanged); the
// population std, and 1 where it is 0. `sub` and `div` replace the mean and the std.
void normalize_zscore(std::span<float> v, bool nonzero, std::optional<double> sub, std::optional<double> div);

// (x - a_min) / (a_max - a_min) * (b_max - b_min) + b_min, clipped to [b_min, b_max] with `clip`;
// without b_min and b_max only the first step; a_min == a_max gives x - a_min (+ b_min).
void scale_intensity_range(std::span<float> v, double a_min, double a_max, std::optional<double> b_min,
                           std::optional<double> b_max, bool clip);

// The q-th percentile (0..100) with linear interpolation between order statistics (numpy's
// default); the span is reordered.
double percentile(std::span<float> scratch, double q);

// ((x - min) / (range + 1e-7)) ** gamma * range + min.
void adjust_contrast(std::span<float> v, double gamma);

}  // namespace loamwerk::transform
