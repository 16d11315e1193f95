#include "transform/geometry.hpp"

#include <cstring>
#include <stdexcept>

namespace loamwerk::transform {

void gather(std::span<const std::uint8_t> in, std::array<std::size_t, 3> in_shape, std::size_t itemsize,
            const std::array<AxisMap, 3>& maps, std::span<const std::uint8_t> fill, std::span<std::uint8_t> out) {
    std::array<std::size_t, 3> stride{in_shape[1] * in_shape[2], in_shape[2], 1};
    const std::size_t oz = maps[0].index.size(), oy = maps[1].index.size(), ox = maps[2].index.size();
    // Each output axis's contribution to the input offset, in voxels (or -1 to fill).
    std::array<std::vector<std::int64_t>, 3> step;
    for (int d = 0; d < 3; ++d)
        for (const std::int64_t i : maps[d].index)
            step[d].push_back(i < 0 ? -1 : i * std::int64_t(stride[maps[d].source]));
    std::uint8_t* o = out.data();
    for (std::size_t z = 0; z < oz; ++z)
        for (std::size_t y = 0; y < oy; ++y) {
            const std::int64_t zy = step[0][z] < 0 || step[1][y] < 0 ? -1 : step[0][z] + step[1][y];
            for (std::size_t x = 0; x < ox; ++x, o += itemsize) {
                if (zy < 0 || step[2][x] < 0) std::memcpy(o, fill.data(), itemsize);
                else std::memcpy(o, in.data() + std::size_t(zy + step[2][x]) * itemsize, itemsize);
            }
        }
}

std::array<double, 16> gathered_affine(const double* affine, const std::array<AxisMap, 3>& maps) {
    // Array axis a (0 z, 1 y, 2 x) is the affine's column 2 - a.
    std::array<double, 16> out{};
    for (int k = 0; k < 4; ++k) out[12 + k] = affine[12 + k];
    for (int d = 0; d < 3; ++d) {
        const double* column = affine + 4 * (2 - maps[d].source);
        for (int k = 0; k < 4; ++k) {
            out[4 * (2 - d) + k] = maps[d].sign * column[k];
            out[12 + k] += maps[d].offset * column[k];
        }
    }
    return out;
}

std::int64_t pad_index(std::int64_t p, std::int64_t n, std::string_view mode) {
    if (p >= 0 && p < n) return p;
    if (mode == "constant") return -1;
    if (mode == "edge") return p < 0 ? 0 : n - 1;
    if (mode == "wrap") return ((p % n) + n) % n;
    if (mode == "reflect") {  // about the edge samples: period 2n - 2
        if (n == 1) return 0;
        const std::int64_t period = 2 * n - 2;
        std::int64_t q = ((p % period) + period) % period;
        return q < n ? q : period - q;
    }
    if (mode == "symmetric") {  // about the edges: period 2n
        const std::int64_t period = 2 * n;
        std::int64_t q = ((p % period) + period) % period;
        return q < n ? q : period - 1 - q;
    }
    throw std::invalid_argument("mode");
}

}  // namespace loamwerk::transform
