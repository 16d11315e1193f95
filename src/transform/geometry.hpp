// Geometric rearrangements of [z, y, x] volumes (flips, axis orders, quarter turns, crops and pads)
// as one gather: each output axis reads one input axis through a table of source indices, -1
// meaning "the fill value". The voxel-to-patient affine follows the same per-axis maps.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace loamwerk::transform {

struct AxisMap {
    int source = 0;                   // the input axis this output axis reads (0 z, 1 y, 2 x)
    std::vector<std::int64_t> index;  // per output position: the input index, or -1 to fill
    // The output position o lies at input coordinate sign * o + offset (also in padded areas).
    int sign = 1;
    double offset = 0;
};

// Fills `out` (the product of the maps' sizes times `itemsize` bytes) from `in` (shape `in_shape`,
// C order, `itemsize` bytes a voxel); positions whose any index is -1 take `fill` (itemsize bytes).
void gather(std::span<const std::uint8_t> in, std::array<std::size_t, 3> in_shape, std::size_t itemsize,
            const std::array<AxisMap, 3>& maps, std::span<const std::uint8_t> fill, std::span<std::uint8_t> out);

// The affine (16 doubles, column-major voxel (x, y, z) to patient) of the gathered volume.
std::array<double, 16> gathered_affine(const double* affine, const std::array<AxisMap, 3>& maps);

// numpy.pad's index for position p (which may lie before 0 or past n - 1) of an axis of n
// samples: "constant" (-1 outside), "edge", "reflect", "symmetric" or "wrap". Throws
// std::invalid_argument for another mode.
std::int64_t pad_index(std::int64_t p, std::int64_t n, std::string_view mode);

}  // namespace loamwerk::transform
