#include "transform/anisotropic.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <type_traits>

#include "core/parallel.hpp"
#include "transform/resample.hpp"

namespace loamwerk::transform {

namespace {

// The coarsest axis of a spacing, or -1 when two or three axes share the largest value.
int coarsest_axis(const double s[3]) {
    const double top = std::max({s[0], s[1], s[2]});
    int axis = -1, count = 0;
    for (int d = 0; d < 3; ++d)
        if (top / s[d] == 1) axis = d, ++count;
    return count == 1 ? axis : -1;
}

bool anisotropic(const double s[3], double threshold) {
    return std::max({s[0], s[1], s[2]}) / std::min({s[0], s[1], s[2]}) > threshold;
}

// Where output sample o of an axis of n inputs resized to m lies in the input, as scipy's zoom
// with grid_mode puts it, clamped into the axis (its "nearest" mode).
double source_coordinate(std::size_t o, std::size_t n, std::size_t m) {
    const double zoom = double(n) / double(m);
    const double c = (double(o) + 0.5) * zoom - 0.5;
    return std::clamp(c, 0.0, double(n) - 1);
}

std::size_t nearest_source(std::size_t o, std::size_t n, std::size_t m) {
    return std::min(std::size_t(std::floor(source_coordinate(o, n, m) + 0.5)), n - 1);
}

// A 2-D or 3-D resize with one of the float kernels: [nz, ny, nx] to [oz, oy, ox].
void resize_block(const float* src, const Shape& in, float* dst, const Shape& out, int order) {
    const auto u = [](std::size_t v) { return std::uint32_t(v); };
    int rc = 0;
    if (order == 3) rc = resize_cubic(src, u(in[2]), u(in[1]), u(in[0]), dst, u(out[2]), u(out[1]), u(out[0]));
    else if (order == 1) rc = resample_trilinear(src, u(in[2]), u(in[1]), u(in[0]), dst, u(out[2]), u(out[1]), u(out[0]));
    else rc = resample_nearest(src, u(in[2]), u(in[1]), u(in[0]), dst, u(out[2]), u(out[1]), u(out[0]));
    if (rc != 0) throw std::runtime_error("the volume is too large to resize");
}

// Strides of a [z, y, x] shape.
std::array<std::size_t, 3> strides_of(const Shape& s) { return {s[1] * s[2], s[2], 1}; }

// The two axes of a plane across `axis`, in array order.
std::array<int, 2> plane_axes(int axis) {
    return axis == 0 ? std::array<int, 2>{1, 2} : axis == 1 ? std::array<int, 2>{0, 2} : std::array<int, 2>{0, 1};
}

// Plane by plane across `axis`: copies each plane out of `in_volume`, lets `resize` turn it into
// the output plane, and writes that into the volume of shape `mid` (the output shape with
// `axis` kept). Planes run on threads.
template <class T, class Resize>
std::vector<T> planes_across(const T* volume, const Shape& in, const Shape& mid, int axis, Resize&& resize) {
    const std::array<int, 2> across = plane_axes(axis);
    const int a = across[0], b = across[1];  // named, not bound: lambdas capture them
    const auto is = strides_of(in), ms = strides_of(mid);
    std::vector<T> result(mid[0] * mid[1] * mid[2]);
    parallel_for(in[axis], [&](std::size_t k) {
        std::vector<T> plane(in[a] * in[b]);
        for (std::size_t i = 0; i < in[a]; ++i)
            for (std::size_t j = 0; j < in[b]; ++j) plane[i * in[b] + j] = volume[k * is[axis] + i * is[a] + j * is[b]];
        const std::vector<T> resized = resize(plane, Shape{1, in[a], in[b]}, Shape{1, mid[a], mid[b]});
        for (std::size_t i = 0; i < mid[a]; ++i)
            for (std::size_t j = 0; j < mid[b]; ++j) result[k * ms[axis] + i * ms[a] + j * ms[b]] = resized[i * mid[b] + j];
    });
    return result;
}

// Along `axis` from `mid` (the axis at its input length) to `out`: the nearest plane, or with
// `linear` the two planes about the sample weighted (scipy's order 1, nearest mode).
template <class T>
std::vector<T> along_axis(const std::vector<T>& mid, const Shape& mid_shape, const Shape& out, int axis, bool linear) {
    if (mid_shape[axis] == out[axis]) return mid;
    const std::size_t n = mid_shape[axis], m = out[axis];
    const auto ms = strides_of(mid_shape), os = strides_of(out);
    std::vector<T> result(out[0] * out[1] * out[2]);
    parallel_for(m, [&](std::size_t k) {
        std::size_t i0, i1;
        double t = 0;
        if (linear) {
            const double c = source_coordinate(k, n, m);
            i0 = std::size_t(std::floor(c)), i1 = std::min(i0 + 1, n - 1), t = c - double(i0);
        } else {
            i0 = i1 = nearest_source(k, n, m);
        }
        const auto [a, b] = plane_axes(axis);
        for (std::size_t i = 0; i < out[a]; ++i)
            for (std::size_t j = 0; j < out[b]; ++j) {
                const std::size_t at = i * ms[a] + j * ms[b];
                T value = mid[at + i0 * ms[axis]];
                if constexpr (std::is_floating_point_v<T>)
                    if (linear) value = T(double(value) * (1 - t) + double(mid[at + i1 * ms[axis]]) * t);
                result[k * os[axis] + i * os[a] + j * os[b]] = value;
            }
    });
    return result;
}

// The label map resized over all three axes of `in` to `out` (a plane is a block of one slice):
// scores are the indicator's linear interpolation, summed corner by corner as scipy does so that
// exact ties come out exact.
std::vector<std::int64_t> resize_labels_block(std::span<const std::int64_t> v, const Shape& in, const Shape& out,
                                              int order) {
    struct Tap {
        std::size_t index[2];
        double weight[2];
        std::size_t nearest;
    };
    std::array<std::vector<Tap>, 3> taps;
    for (int d = 0; d < 3; ++d)
        for (std::size_t o = 0; o < out[d]; ++o) {
            const double c = source_coordinate(o, in[d], out[d]);
            const auto i0 = std::size_t(std::floor(c));
            const double t = c - double(i0);
            taps[d].push_back({{i0, std::min(i0 + 1, in[d] - 1)}, {1.0 - t, t}, nearest_source(o, in[d], out[d])});
        }
    const auto is = strides_of(in);
    std::vector<std::int64_t> result(out[0] * out[1] * out[2]);
    const auto one_slice = [&](std::size_t z) {
        for (std::size_t y = 0; y < out[1]; ++y)
            for (std::size_t x = 0; x < out[2]; ++x) {
                const Tap& tz = taps[0][z];
                const Tap& ty = taps[1][y];
                const Tap& tx = taps[2][x];
                const std::int64_t nearest = v[tz.nearest * is[0] + ty.nearest * is[1] + tx.nearest];
                std::int64_t& target = result[(z * out[1] + y) * out[2] + x];
                if (order == 0) {
                    target = nearest;
                    continue;
                }
                std::int64_t label[8];
                double score[8];
                int count = 0;
                for (int a = 0; a < 2; ++a)
                    for (int b = 0; b < 2; ++b)
                        for (int c = 0; c < 2; ++c) {
                            const double w = tz.weight[a] * ty.weight[b] * tx.weight[c];
                            if (w == 0) continue;
                            const std::int64_t l = v[tz.index[a] * is[0] + ty.index[b] * is[1] + tx.index[c]];
                            int k = 0;
                            while (k < count && label[k] != l) ++k;
                            if (k == count) label[count] = l, score[count++] = 0;
                            score[k] += w;
                        }
                double top = 0;
                std::int64_t winner = nearest;
                bool nearest_top = false;
                for (int k = 0; k < count; ++k)
                    if (score[k] > top || (score[k] == top && label[k] < winner)) top = score[k], winner = label[k];
                for (int k = 0; k < count; ++k)
                    if (label[k] == nearest && score[k] == top) nearest_top = true;
                target = nearest_top ? nearest : winner;
            }
    };
    if (out[0] == 1) one_slice(0);
    else parallel_for(out[0], one_slice);
    return result;
}

}  // namespace

SeparateAxis separate_axis(const double current[3], const double target[3], std::optional<bool> force,
                           double threshold) {
    int axis = -1;
    if (force) axis = *force ? coarsest_axis(current) : -1;
    else if (anisotropic(current, threshold)) axis = coarsest_axis(current);
    else if (anisotropic(target, threshold)) axis = coarsest_axis(target);
    return {axis >= 0, axis};
}

std::size_t nnunet_size(double old_spacing, double new_spacing, std::size_t n) {
    const double size = std::nearbyint(old_spacing / new_spacing * double(n));
    return size >= 1 && size <= double(0x7FFFFFFF) ? std::size_t(size) : 0;
}

std::vector<float> resize_separate(std::span<const float> v, const Shape& in, const Shape& out, int axis, int order,
                                   int order_z) {
    if (axis < 0) {
        std::vector<float> result(out[0] * out[1] * out[2]);
        resize_block(v.data(), in, result.data(), out, order);
        return result;
    }
    Shape mid = out;
    mid[axis] = in[axis];
    const auto planes = planes_across<float>(v.data(), in, mid, axis, [&](const std::vector<float>& p, const Shape& pi, const Shape& po) {
        std::vector<float> r(po[1] * po[2]);
        resize_block(p.data(), pi, r.data(), po, order);
        return r;
    });
    return along_axis(planes, mid, out, axis, order_z == 1);
}

std::vector<std::int64_t> resize_separate_labels(std::span<const std::int64_t> v, const Shape& in, const Shape& out,
                                                 int axis, int order) {
    if (axis < 0) return resize_labels_block(v, in, out, order);
    Shape mid = out;
    mid[axis] = in[axis];
    const auto planes = planes_across<std::int64_t>(v.data(), in, mid, axis,
                                                    [&](const std::vector<std::int64_t>& p, const Shape& pi, const Shape& po) {
                                                        return resize_labels_block(p, pi, po, order);
                                                    });
    return along_axis(planes, mid, out, axis, false);
}

}  // namespace loamwerk::transform
