// Intensity transforms over float32 volumes, in MONAI's conventions: z-score normalisation,
// linear range scaling (with percentile bounds), gamma contrast, thresholding and argmax.
#pragma once

#include <cstddef>
#include <vector>
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

// MONAI's GaussianSmooth (approx "erf"): separable convolution of a [z, y, x] volume with the
// kernels 0.5 * (erf(t (x + 0.5)) - erf(t (x - 0.5))), t = 0.70710678 / sigma, over
// x = -tail..tail with tail = int(max(4 sigma, 0.5) + 0.5), not normalised, zero padding.
// `sigma` in voxels for each axis (z, y, x); 0 leaves the axis alone. Lines run on threads.
void gaussian_smooth(std::span<float> v, std::size_t nz, std::size_t ny, std::size_t nx, const double sigma[3]);

// torch's "area" interpolation (adaptive average pooling) of a [z, y, x] volume to (oz, oy, ox):
// output o of an axis of n averages input [floor(o n / out), ceil((o + 1) n / out)), axis by axis.
std::vector<float> area_resize(std::span<const float> v, const std::size_t in[3], const std::size_t out[3]);

// Samples a [z, y, x] volume at input coordinates c_d(o) = o * ratio[d] on each axis (the first
// voxel centres coincide), clamped into the volume (MONAI's "border" padding): trilinear, or the
// nearest voxel with halves to even (torch's grid_sample "nearest"). Output planes on threads.
std::vector<float> sample_scaled(std::span<const float> v, const std::size_t in[3], const std::size_t out[3],
                                 const double ratio[3], bool nearest);

}  // namespace loamwerk::transform
