#include "transform/geometry.hpp"

#include <cstring>
#include <stdexcept>

#include "core/parallel.hpp"

namespace loamwerk::transform {

namespace {

// One voxel of `itemsize` bytes; the common sizes as plain loads and stores.
inline void copy_voxel(std::uint8_t* to, const std::uint8_t* from, std::size_t itemsize) {
    switch (itemsize) {
    case 1: *to = *from; break;
    case 2: std::memcpy(to, from, 2); break;
    case 4: std::memcpy(to, from, 4); break;
    case 8: std::memcpy(to, from, 8); break;
    default: std::memcpy(to, from, itemsize);
    }
}

// A stretch of an output row: `length` voxels that are all fill (first < 0), or that read the
// input from `first` on, one voxel apart in memory (contiguous) or not.
struct Run {
    std::size_t start, length;
    std::int64_t first;
    bool contiguous;
};

}  // namespace

void gather(std::span<const std::uint8_t> in, std::array<std::size_t, 3> in_shape, std::size_t itemsize,
            const std::array<AxisMap, 3>& maps, std::span<const std::uint8_t> fill, std::span<std::uint8_t> out) {
    std::array<std::size_t, 3> stride{in_shape[1] * in_shape[2], in_shape[2], 1};
    const std::size_t oz = maps[0].index.size(), oy = maps[1].index.size(), ox = maps[2].index.size();
    // Each output axis's contribution to the input offset, in voxels (or -1 to fill).
    std::array<std::vector<std::int64_t>, 3> step;
    for (int d = 0; d < 3; ++d)
        for (const std::int64_t i : maps[d].index)
            step[d].push_back(i < 0 ? -1 : i * std::int64_t(stride[maps[d].source]));
    // The x axis in runs, so that a row of kept voxels is one copy.
    std::vector<Run> runs;
    for (std::size_t x = 0; x < ox;) {
        std::size_t end = x + 1;
        const bool filled = step[2][x] < 0;
        bool contiguous = false;
        if (filled) {
            while (end < ox && step[2][end] < 0) ++end;
        } else if (end < ox && step[2][end] == step[2][x] + 1) {
            contiguous = true;
            while (end < ox && step[2][end] == step[2][end - 1] + 1) ++end;
        }
        runs.push_back({x, end - x, filled ? -1 : step[2][x], contiguous});
        x = end;
    }
    const auto fill_voxels = [&](std::uint8_t* o, std::size_t count) {
        for (std::size_t k = 0; k < count; ++k) copy_voxel(o + k * itemsize, fill.data(), itemsize);
    };
    // Output slices are independent: threads give the same bytes.
    parallel_for(oz, [&](std::size_t z) {
        for (std::size_t y = 0; y < oy; ++y) {
            std::uint8_t* row = out.data() + (z * oy + y) * ox * itemsize;
            const std::int64_t zy = step[0][z] < 0 || step[1][y] < 0 ? -1 : step[0][z] + step[1][y];
            if (zy < 0) {
                fill_voxels(row, ox);
                continue;
            }
            for (const Run& r : runs) {
                std::uint8_t* o = row + r.start * itemsize;
                if (r.first < 0) {
                    fill_voxels(o, r.length);
                } else if (r.contiguous) {
                    std::memcpy(o, in.data() + std::size_t(zy + r.first) * itemsize, r.length * itemsize);
                } else {
                    for (std::size_t k = 0; k < r.length; ++k)
                        copy_voxel(o + k * itemsize, in.data() + std::size_t(zy + step[2][r.start + k]) * itemsize, itemsize);
                }
            }
        }
    });
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
