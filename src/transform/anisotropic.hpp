// nnU-Net v2's resampling of anisotropic volumes: when one axis is much coarser than the others,
// planes across it are resized in 2-D and the coarse axis separately, with a lower order; label
// maps are resized one label indicator at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "transform/warp.hpp"

namespace loamwerk::transform {

struct SeparateAxis {
    bool separate = false;
    int axis = -1;  // the coarse array axis (0 z, 1 y, 2 x) when separate
};

// nnU-Net's choice: with `force` set, separate along the coarsest current axis (or not at all);
// otherwise separate when max / min spacing exceeds `threshold`, judged on the current spacing,
// then on the target one, along that spacing's coarsest axis. Two or three equally coarse axes
// mean no separation.
SeparateAxis separate_axis(const double current[3], const double target[3], std::optional<bool> force,
                           double threshold);

// round(old / new * n) per axis, halves to even; 0 when the result is not a positive size.
std::size_t nnunet_size(double old_spacing, double new_spacing, std::size_t n);

// A [z, y, x] volume resized to `out` as skimage's resize (edge mode, no antialiasing, clipped to
// the input's range) with spline `order` 0, 1 or 3, over the whole volume (axis < 0) or plane by
// plane across `axis` followed by `order_z` (0 nearest, 1 linear) along it.
std::vector<float> resize_separate(std::span<const float> v, const Shape& in, const Shape& out, int axis, int order,
                                   int order_z);

// A label map resized the same way: each label's indicator resized with `order` (0 or 1) and,
// voxel by voxel, the label with the largest share kept (a tie goes to the nearest input voxel's
// label when it is among the tied, else to the smallest); along a separate axis the nearest plane.
std::vector<std::int64_t> resize_separate_labels(std::span<const std::int64_t> v, const Shape& in, const Shape& out,
                                                 int axis, int order);

}  // namespace loamwerk::transform
