#include "transform/labels.hpp"

#include <algorithm>
#include <array>
#include <numeric>

namespace loamwerk::transform {

namespace {

struct Offset {
    int dz, dy, dx;
};

// The neighbours within `connectivity` orthogonal hops; `backward` keeps those that come before
// the voxel in C order (enough for a raster scan).
std::vector<Offset> neighbours(int connectivity, bool backward) {
    std::vector<Offset> out;
    for (int dz = -1; dz <= 1; ++dz)
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int hops = std::abs(dz) + std::abs(dy) + std::abs(dx);
                if (hops == 0 || hops > connectivity) continue;
                if (backward && !(dz < 0 || (dz == 0 && dy < 0) || (dz == 0 && dy == 0 && dx < 0))) continue;
                out.push_back({dz, dy, dx});
            }
    return out;
}

class UnionFind {
public:
    std::int32_t make() {
        parent_.push_back(std::int32_t(parent_.size()));
        return parent_.back();
    }
    std::int32_t find(std::int32_t a) {
        while (parent_[a] != a) a = parent_[a] = parent_[parent_[a]];
        return a;
    }
    // The smaller root wins, so a component's root is its first label in scan order.
    std::int32_t join(std::int32_t a, std::int32_t b) {
        a = find(a), b = find(b);
        if (a == b) return a;
        if (b < a) std::swap(a, b);
        parent_[b] = a;
        return a;
    }

private:
    std::vector<std::int32_t> parent_;
};

// Components of voxels for which `same(a, b)` joins neighbours and `inside(a)` holds. Labels from
// 1 in C order of first voxels; returns the count.
template <class Inside, class Same>
std::int32_t label_components(Shape3 s, int connectivity, std::span<std::int32_t> labels, Inside inside, Same same) {
    const std::vector<Offset> back = neighbours(connectivity, true);
    std::vector<std::ptrdiff_t> step;  // the same neighbours as distances in memory
    for (const Offset& o : back) step.push_back((std::ptrdiff_t(o.dz) * std::ptrdiff_t(s.ny) + o.dy) * std::ptrdiff_t(s.nx) + o.dx);
    UnionFind sets;
    sets.make();  // 0: background
    std::size_t i = 0;
    for (std::size_t z = 0; z < s.nz; ++z)
        for (std::size_t y = 0; y < s.ny; ++y)
            for (std::size_t x = 0; x < s.nx; ++x, ++i) {
                if (!inside(i)) {
                    labels[i] = 0;
                    continue;
                }
                std::int32_t label = 0;
                const auto visit = [&](std::size_t j) {
                    const std::int32_t other = labels[j];
                    // Inside one region most neighbours already carry the label in hand: no look-up.
                    if (other == 0 || other == label || !same(i, j)) return;
                    label = label == 0 ? sets.find(other) : sets.join(label, other);
                };
                if (z > 0 && y > 0 && y + 1 < s.ny && x > 0 && x + 1 < s.nx) {
                    // Away from the faces every backward neighbour exists.
                    for (const std::ptrdiff_t d : step) visit(std::size_t(std::ptrdiff_t(i) + d));
                } else {
                    for (const Offset& o : back) {
                        const std::ptrdiff_t zz = std::ptrdiff_t(z) + o.dz, yy = std::ptrdiff_t(y) + o.dy,
                                             xx = std::ptrdiff_t(x) + o.dx;
                        if (zz < 0 || yy < 0 || xx < 0 || yy >= std::ptrdiff_t(s.ny) || xx >= std::ptrdiff_t(s.nx)) continue;
                        visit((std::size_t(zz) * s.ny + std::size_t(yy)) * s.nx + std::size_t(xx));
                    }
                }
                labels[i] = label == 0 ? sets.make() : label;
            }
    // Final numbers in order of first voxels: a root is its component's first provisional label.
    std::vector<std::int32_t> final_label;
    std::int32_t count = 0;
    for (std::size_t k = 0; k < s.count(); ++k) {
        if (labels[k] == 0) continue;
        const std::int32_t root = sets.find(labels[k]);
        if (std::size_t(root) >= final_label.size()) final_label.resize(std::size_t(root) + 1, 0);
        if (final_label[root] == 0) final_label[root] = ++count;
        labels[k] = final_label[root];
    }
    return count;
}

// The `keep` largest of components counted in `sizes` (index = label). Among equal sizes the
// later label wins, as MONAI's reversed ascending argsort ranks them.
std::vector<std::uint8_t> largest(const std::vector<std::size_t>& sizes, const std::vector<std::int32_t>& candidates,
                                  std::size_t keep) {
    std::vector<std::int32_t> order = candidates;
    std::stable_sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) {
        return sizes[a] != sizes[b] ? sizes[a] > sizes[b] : a > b;
    });
    std::vector<std::uint8_t> kept(sizes.size(), 0);
    for (std::size_t k = 0; k < order.size() && k < keep; ++k) kept[order[k]] = 1;
    return kept;
}

bool applies(std::span<const std::int64_t> applied, std::int64_t v) {
    return v != 0 && (applied.empty() || std::find(applied.begin(), applied.end(), v) != applied.end());
}

}  // namespace

template <class T>
std::int32_t connected_components(std::span<const T> values, Shape3 shape, int connectivity,
                                  std::span<std::int32_t> labels) {
    return label_components(
        shape, connectivity, labels, [&](std::size_t i) { return values[i] != T(0); },
        [&](std::size_t i, std::size_t j) { return values[i] == values[j]; });
}

template <class T>
void keep_largest_components(std::span<T> values, Shape3 shape, std::span<const std::int64_t> applied, bool independent,
                             int connectivity, std::size_t keep) {
    std::vector<std::int32_t> labels(shape.count());
    const auto in = [&](std::size_t i) { return applies(applied, std::int64_t(values[i])); };
    // Independent: each value's components are components of equal value.
    const std::int32_t count = independent
        ? label_components(shape, connectivity, labels, in, [&](std::size_t i, std::size_t j) { return values[i] == values[j]; })
        : label_components(shape, connectivity, labels, in, [](std::size_t, std::size_t) { return true; });
    std::vector<std::size_t> sizes(std::size_t(count) + 1, 0);
    std::vector<std::int64_t> value_of(std::size_t(count) + 1, 0);
    for (std::size_t i = 0; i < labels.size(); ++i)
        if (labels[i]) ++sizes[labels[i]], value_of[labels[i]] = std::int64_t(values[i]);
    std::vector<std::uint8_t> kept(sizes.size(), 0);
    if (independent) {
        std::vector<std::int64_t> seen(value_of.begin() + 1, value_of.end());
        std::sort(seen.begin(), seen.end());
        seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
        for (const std::int64_t v : seen) {
            std::vector<std::int32_t> candidates;
            for (std::int32_t c = 1; c <= count; ++c)
                if (value_of[c] == v) candidates.push_back(c);
            const auto k = largest(sizes, candidates, keep);
            for (std::int32_t c : candidates) kept[c] = k[c];
        }
    } else {
        std::vector<std::int32_t> all(static_cast<std::size_t>(count));
        std::iota(all.begin(), all.end(), 1);
        kept = largest(sizes, all, keep);
    }
    for (std::size_t i = 0; i < labels.size(); ++i)
        if (labels[i] && !kept[labels[i]]) values[i] = T(0);
}

template <class T>
void fill_holes(std::span<T> values, Shape3 s, std::span<const std::int64_t> applied, int connectivity) {
    std::vector<std::int64_t> order;
    if (applied.empty()) {
        for (const T v : values)
            if (v != T(0)) order.push_back(std::int64_t(v));
    } else {
        for (const std::int64_t v : applied)
            if (v != 0) order.push_back(v);
    }
    std::sort(order.begin(), order.end());
    order.erase(std::unique(order.begin(), order.end()), order.end());
    if (s.count() == 0) return;
    std::vector<std::int32_t> labels(s.count());
    std::vector<std::uint8_t> open;
    for (const std::int64_t label : order) {
        // The components of voxels that are not `label`: those that touch the volume's faces are
        // reached from outside, the others are holes. One raster pass instead of a flood.
        const std::int32_t count = label_components(
            s, connectivity, labels, [&](std::size_t i) { return std::int64_t(values[i]) != label; },
            [](std::size_t, std::size_t) { return true; });
        if (count == 0) continue;
        open.assign(std::size_t(count) + 1, 0);
        const auto face = [&](std::size_t z, std::size_t y, std::size_t x) {
            open[std::size_t(labels[(z * s.ny + y) * s.nx + x])] = 1;
        };
        for (std::size_t z = 0; z < s.nz; ++z)
            for (std::size_t y = 0; y < s.ny; ++y) {
                if (z == 0 || y == 0 || z + 1 == s.nz || y + 1 == s.ny) {
                    for (std::size_t x = 0; x < s.nx; ++x) face(z, y, x);
                } else {
                    face(z, y, 0), face(z, y, s.nx - 1);
                }
            }
        for (std::size_t k = 0; k < s.count(); ++k)
            if (labels[k] && !open[std::size_t(labels[k])]) values[k] = T(label);
    }
}

template <class T>
void remove_small_objects(std::span<T> values, Shape3 shape, std::size_t min_size, int connectivity) {
    // A binary mask's objects are its components; a label map's are its labels, each whole
    // (scikit-image's rule for integer input, which MONAI passes on).
    bool binary = true;
    for (const T v : values)
        if (v != T(0) && v != T(1)) binary = false;
    std::vector<std::int32_t> labels(shape.count());
    std::vector<std::size_t> sizes;
    if (binary) {
        const std::int32_t count = label_components(
            shape, connectivity, labels, [&](std::size_t i) { return values[i] != T(0); },
            [](std::size_t, std::size_t) { return true; });
        sizes.assign(std::size_t(count) + 1, 0);
        for (const std::int32_t l : labels) ++sizes[l];
        for (std::size_t i = 0; i < labels.size(); ++i)
            if (labels[i] && sizes[labels[i]] < min_size) values[i] = T(0);
        return;
    }
    std::vector<std::int64_t> seen;
    for (const T v : values)
        if (v != T(0)) seen.push_back(std::int64_t(v));
    std::sort(seen.begin(), seen.end());
    std::vector<std::pair<std::int64_t, std::size_t>> counts;
    for (const std::int64_t v : seen)
        if (counts.empty() || counts.back().first != v) counts.emplace_back(v, 1);
        else ++counts.back().second;
    for (T& v : values) {
        if (v == T(0)) continue;
        const auto it = std::lower_bound(counts.begin(), counts.end(), std::int64_t(v),
                                         [](const auto& c, std::int64_t x) { return c.first < x; });
        if (it->second < min_size) v = T(0);
    }
}

#define LOAM_LABEL_TYPES(X) X(std::uint8_t) X(std::int8_t) X(std::uint16_t) X(std::int16_t) \
    X(std::uint32_t) X(std::int32_t) X(std::uint64_t) X(std::int64_t)
#define LOAM_INSTANTIATE(T)                                                                                        \
    template std::int32_t connected_components<T>(std::span<const T>, Shape3, int, std::span<std::int32_t>);      \
    template void keep_largest_components<T>(std::span<T>, Shape3, std::span<const std::int64_t>, bool, int,      \
                                             std::size_t);                                                         \
    template void fill_holes<T>(std::span<T>, Shape3, std::span<const std::int64_t>, int);                        \
    template void remove_small_objects<T>(std::span<T>, Shape3, std::size_t, int);
LOAM_LABEL_TYPES(LOAM_INSTANTIATE)
#undef LOAM_INSTANTIATE
#undef LOAM_LABEL_TYPES

}  // namespace loamwerk::transform
