// Shape resampling of 3-D arrays that carry a voxel-to-patient affine.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "core/limits.hpp"
#include "core/parallel.hpp"
#include "transform/anisotropic.hpp"
#include "transform/geometry.hpp"
#include "transform/intensity.hpp"
#include "transform/labels.hpp"
#include "transform/resample.hpp"
#include "transform/warp.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk::transform;
using AnyArray = nb::ndarray<nb::c_contig, nb::device::cpu>;

TransformArray from_python(const AnyArray& arr, const std::vector<double>& affine) {
    if (arr.ndim() != 3) throw std::runtime_error("transform: array must be 3D [D,H,W]");
    if (affine.size() != 16) throw std::runtime_error("transform: affine must have 16 elements");
    TransformArray t;
    t.nz = std::uint32_t(arr.shape(0)), t.ny = std::uint32_t(arr.shape(1)), t.nx = std::uint32_t(arr.shape(2));
    std::copy(affine.begin(), affine.end(), t.affine);
    const auto dt = arr.dtype();
    const std::size_t n = arr.size();
    if (dt == nb::dtype<double>()) {
        t.dtype = kFloat32;
        t.voxels.resize(n * 4);
        const double* in = static_cast<const double*>(arr.data());
        float* out = reinterpret_cast<float*>(t.voxels.data());
        for (std::size_t i = 0; i < n; ++i) out[i] = float(in[i]);
        return t;
    }
    std::size_t width;
    if (dt == nb::dtype<float>()) t.dtype = kFloat32, width = 4;
    else if (dt == nb::dtype<std::uint8_t>()) t.dtype = kUint8, width = 1;
    else if (dt == nb::dtype<std::uint16_t>()) t.dtype = kUint16, width = 2;
    else if (dt == nb::dtype<std::int16_t>()) t.dtype = kInt16, width = 2;
    else throw std::runtime_error("transform: unsupported dtype (float32/uint8/int16/uint16)");
    (void)width;
    t.external = static_cast<const std::uint8_t*>(arr.data());  // read in place: the array outlives the call
    return t;
}

nb::list affine_list(const double* affine) {
    nb::list out;
    for (int i = 0; i < 16; ++i) out.append(affine[i]);
    return out;
}

// Refuses an output of `shape` (any channels, `itemsize` bytes a voxel) larger than the memory
// policy allows for an input of `input_bytes`, before anything is allocated; the sizes are
// multiplied without overflow.
void check_output(std::initializer_list<std::size_t> shape, std::size_t itemsize, std::size_t input_bytes, const char* fn) {
    long double bytes = itemsize;
    for (const std::size_t n : shape) bytes *= (long double)n;
    if (const std::string refusal = loamwerk::limits::output_refusal(bytes, input_bytes); !refusal.empty())
        throw nb::value_error((std::string(fn) + ": " + refusal).c_str());
}

nb::tuple to_python(TransformArray&& t) {
    nb::dict meta;
    meta["affine"] = affine_list(t.affine);
    const std::vector<std::size_t> shape{t.nz, t.ny, t.nx};
    return nb::make_tuple(to_array(std::move(t.voxels), shape, nb::dtype<float>()), meta);
}

std::array<std::uint32_t, 3> out_dims(const std::vector<long long>& out_shape, const char* fn) {
    if (out_shape.size() != 3) throw std::runtime_error(std::string(fn) + ": out_shape must be [D,H,W]");
    std::array<std::uint32_t, 3> d{};
    for (int i = 0; i < 3; ++i)
        d[i] = out_shape[i] > 0 && out_shape[i] <= 0x7FFFFFFF ? std::uint32_t(out_shape[i]) : 0;
    return d;  // D, H, W; zero sizes are refused by the driver
}

nb::tuple run(const AnyArray& arr, const std::vector<double>& affine, const std::vector<long long>& out_shape,
              Kernel kernel, const char* fn, bool label) {
    const auto d = out_dims(out_shape, fn);
    TransformArray src = from_python(arr, affine);
    src.label = label;
    // Output slices are computed independently, so threads give the same bits as one.
    TransformArray out = without_gil([&] { return resample(src, d[2], d[1], d[0], kernel); });
    return to_python(std::move(out));
}

// -- label maps ------------------------------------------------------------------------------

// A label array's volumes: [z, y, x], or [c, z, y, x] whose channels are treated one by one.
struct LabelVolumes {
    Shape3 shape;
    std::size_t channels = 1;
};

LabelVolumes label_volumes(const AnyArray& arr, const char* fn) {
    if (arr.ndim() != 3 && arr.ndim() != 4)
        throw nb::value_error((std::string(fn) + ": array must be [z, y, x] or [c, z, y, x], not " +
                               std::to_string(arr.ndim()) + "-D").c_str());
    const std::size_t first = arr.ndim() - 3;
    LabelVolumes v;
    v.channels = first ? arr.shape(0) : 1;
    v.shape = {arr.shape(first), arr.shape(first + 1), arr.shape(first + 2)};
    return v;
}

int connectivity_of(int connectivity, const char* fn) {
    if (connectivity < 1 || connectivity > 3)
        throw nb::value_error((std::string(fn) + ": connectivity must be 1, 2 or 3, not " +
                               std::to_string(connectivity)).c_str());
    return connectivity;
}

// Calls `work.template operator()<T>()` with T the array's integer type (bool as uint8);
// ValueError for other dtypes.
template <class Work>
auto by_label_dtype(const AnyArray& arr, const char* fn, Work&& work) {
    const auto dt = arr.dtype();
    if (dt == nb::dtype<bool>() || dt == nb::dtype<std::uint8_t>()) return work.template operator()<std::uint8_t>();
    if (dt == nb::dtype<std::int8_t>()) return work.template operator()<std::int8_t>();
    if (dt == nb::dtype<std::uint16_t>()) return work.template operator()<std::uint16_t>();
    if (dt == nb::dtype<std::int16_t>()) return work.template operator()<std::int16_t>();
    if (dt == nb::dtype<std::uint32_t>()) return work.template operator()<std::uint32_t>();
    if (dt == nb::dtype<std::int32_t>()) return work.template operator()<std::int32_t>();
    if (dt == nb::dtype<std::uint64_t>()) return work.template operator()<std::uint64_t>();
    if (dt == nb::dtype<std::int64_t>()) return work.template operator()<std::int64_t>();
    throw nb::value_error((std::string(fn) + ": a label array must have an integer or bool dtype").c_str());
}

// Calls `work.template operator()<T>()` with T the array's element type: bool (as uint8), the
// integers, float32 or float64; ValueError "<fn>: unsupported dtype (...)" for others.
template <class Work>
void by_numeric_dtype(const AnyArray& arr, const char* fn, Work&& work) {
    const auto dt = arr.dtype();
    if (dt == nb::dtype<float>()) work.template operator()<float>();
    else if (dt == nb::dtype<double>()) work.template operator()<double>();
    else if (dt == nb::dtype<bool>() || dt == nb::dtype<std::uint8_t>()) work.template operator()<std::uint8_t>();
    else if (dt == nb::dtype<std::int8_t>()) work.template operator()<std::int8_t>();
    else if (dt == nb::dtype<std::uint16_t>()) work.template operator()<std::uint16_t>();
    else if (dt == nb::dtype<std::int16_t>()) work.template operator()<std::int16_t>();
    else if (dt == nb::dtype<std::uint32_t>()) work.template operator()<std::uint32_t>();
    else if (dt == nb::dtype<std::int32_t>()) work.template operator()<std::int32_t>();
    else if (dt == nb::dtype<std::uint64_t>()) work.template operator()<std::uint64_t>();
    else if (dt == nb::dtype<std::int64_t>()) work.template operator()<std::int64_t>();
    else throw nb::value_error((std::string(fn) + ": unsupported dtype (bool, integers, float32, float64)").c_str());
}

std::vector<std::size_t> shape_of(const AnyArray& arr) {
    std::vector<std::size_t> shape;
    for (std::size_t d = 0; d < arr.ndim(); ++d) shape.push_back(arr.shape(d));
    return shape;
}

// A copy of the label array, changed channel by channel by `change(span, shape)` without the
// interpreter lock, returned with the input's dtype.
template <class Change>
nb::tuple change_labels(const AnyArray& arr, const char* fn, Change change) {
    const LabelVolumes v = label_volumes(arr, fn);
    const bool is_bool = arr.dtype() == nb::dtype<bool>();
    return by_label_dtype(arr, fn, [&]<class T>() {
        const T* in = static_cast<const T*>(arr.data());
        std::vector<T> out(in, in + arr.size());
        without_gil([&] {
            for (std::size_t c = 0; c < v.channels; ++c)
                change(std::span<T>(out.data() + c * v.shape.count(), v.shape.count()), v.shape);
        });
        nb::object array = is_bool ? nb::cast(to_array(std::move(out), shape_of(arr), nb::dtype<bool>()))
                                   : nb::cast(to_array(std::move(out), shape_of(arr), nb::dtype<T>()));
        return nb::make_tuple(array, nb::dict());
    });
}

std::vector<std::int64_t> applied_of(const std::optional<std::vector<std::int64_t>>& labels) {
    return labels ? *labels : std::vector<std::int64_t>{};
}

nb::tuple connected_components(const AnyArray& arr, int connectivity) {
    const char* fn = "transform_connected_components";
    connectivity_of(connectivity, fn);
    const LabelVolumes v = label_volumes(arr, fn);
    return by_label_dtype(arr, fn, [&]<class T>() {
        std::vector<std::int32_t> labels(arr.size());
        std::vector<std::int64_t> counts(v.channels);
        const T* in = static_cast<const T*>(arr.data());
        without_gil([&] {
            for (std::size_t c = 0; c < v.channels; ++c) {
                const std::size_t n = v.shape.count();
                counts[c] = loamwerk::transform::connected_components<T>(
                    std::span<const T>(in + c * n, n), v.shape, connectivity, std::span<std::int32_t>(labels.data() + c * n, n));
            }
        });
        nb::dict meta;
        if (arr.ndim() == 3) meta["count"] = counts[0];
        else meta["count"] = nb::cast(counts);
        return nb::make_tuple(to_array(std::move(labels), shape_of(arr), nb::dtype<std::int32_t>()), meta);
    });
}

// -- rearrangements: flips, axis orders, quarter turns, crops and pads ------------------------

// The volume being rearranged: its spatial shape and the per-axis maps built so far.
class Rearrangement {
public:
    Rearrangement(const AnyArray& arr, const std::optional<std::vector<double>>& affine, const char* fn) : fn_(fn) {
        if (arr.ndim() != 3 && arr.ndim() != 4)
            fail("array must be [z, y, x] or [c, z, y, x], not " + std::to_string(arr.ndim()) + "-D");
        if (affine && affine->size() != 16) fail("affine must have 16 elements");
        first_ = arr.ndim() - 3;
        for (int d = 0; d < 3; ++d) {
            in_[d] = arr.shape(first_ + d);
            maps_[d].source = d;
            for (std::size_t i = 0; i < in_[d]; ++i) maps_[d].index.push_back(std::int64_t(i));
        }
        if (affine) std::copy(affine->begin(), affine->end(), affine_.begin());
        else affine_ = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    }

    [[noreturn]] void fail(const std::string& what) const { throw nb::value_error((std::string(fn_) + ": " + what).c_str()); }

    int axis(long long a) const {
        if (a < -3 || a > 2) fail("axis " + std::to_string(a) + " is not a spatial axis (0 z, 1 y, 2 x)");
        return int(a < 0 ? a + 3 : a);
    }
    std::int64_t size(int d) const { return std::int64_t(maps_[d].index.size()); }

    void flip(int d) {
        AxisMap& m = maps_[d];
        std::reverse(m.index.begin(), m.index.end());
        m.offset += m.sign * double(m.index.size() - 1);
        m.sign = -m.sign;
    }
    void transpose(const std::array<int, 3>& order) {
        const auto old = maps_;
        for (int d = 0; d < 3; ++d) maps_[d] = old[order[d]];
    }
    // Keeps positions [start, end) of axis d, clipped to it.
    void crop(int d, std::int64_t start, std::int64_t end) {
        start = std::clamp<std::int64_t>(start, 0, size(d));
        end = std::clamp<std::int64_t>(end, start, size(d));
        AxisMap& m = maps_[d];
        m.index = std::vector<std::int64_t>(m.index.begin() + start, m.index.begin() + end);
        m.offset += m.sign * double(start);
    }
    void pad(int d, std::int64_t before, std::int64_t after, std::string_view mode) {
        if (before < 0 || after < 0) fail("pad widths must not be negative");
        AxisMap& m = maps_[d];
        const std::int64_t n = size(d);
        if ((before || after) && n == 0 && mode != "constant") fail("cannot pad an empty axis with mode " + std::string(mode));
        std::vector<std::int64_t> index;
        for (std::int64_t p = -before; p < n + after; ++p) {
            const std::int64_t i = loamwerk::transform::pad_index(p, n, mode);
            index.push_back(i < 0 ? -1 : m.index[std::size_t(i)]);
        }
        m.index = std::move(index);
        m.offset -= m.sign * double(before);
    }

    // The gathered array (the input's dtype; `fill` for padded voxels) and {"affine"}.
    nb::tuple result(const AnyArray& arr, double fill) const {
        const std::size_t itemsize = arr.itemsize();
        const auto fill_bytes = fill_value(arr, fill);
        const std::size_t channels = first_ ? arr.shape(0) : 1;
        std::size_t per_in = 1, per_out = 1;
        check_output({channels, maps_[0].index.size(), maps_[1].index.size(), maps_[2].index.size()}, itemsize,
                     arr.nbytes(), fn_);
        for (int d = 0; d < 3; ++d) per_in *= in_[d], per_out *= maps_[d].index.size();
        std::vector<std::uint8_t> out(channels * per_out * itemsize);
        const auto* in = static_cast<const std::uint8_t*>(arr.data());
        without_gil([&] {
            for (std::size_t c = 0; c < channels; ++c)
                loamwerk::transform::gather({in + c * per_in * itemsize, per_in * itemsize}, in_, itemsize, maps_,
                                            fill_bytes, {out.data() + c * per_out * itemsize, per_out * itemsize});
        });
        std::vector<std::size_t> shape;
        if (first_) shape.push_back(channels);
        for (int d = 0; d < 3; ++d) shape.push_back(maps_[d].index.size());
        nb::object array = nb::cast(to_array(std::move(out), shape, arr.dtype()));
        nb::dict meta;
        meta["affine"] = affine_list(loamwerk::transform::gathered_affine(affine_.data(), maps_).data());
        return nb::make_tuple(array, meta);
    }

private:
    // `value` as one voxel of the array's dtype.
    std::vector<std::uint8_t> fill_value(const AnyArray& arr, double value) const {
        std::vector<std::uint8_t> out(arr.itemsize());
        const auto put = [&]<class T>() {
            const T v = T(value);
            std::memcpy(out.data(), &v, sizeof v);
        };
        by_numeric_dtype(arr, fn_, put);
        if (arr.dtype() == nb::dtype<bool>()) out[0] = value != 0;
        return out;
    }

    const char* fn_;
    std::size_t first_ = 0;
    std::array<std::size_t, 3> in_{};
    std::array<AxisMap, 3> maps_;
    std::array<double, 16> affine_{};
};

using OptAffine = std::optional<std::vector<double>>;

// The foreground's box on each spatial axis, [first, last + 1), over every channel: voxels above
// `threshold`; nothing when there is no foreground. Each row is searched from both ends, and
// slices on threads (a box does not depend on the order its parts are merged).
template <class T>
std::optional<std::array<std::array<std::int64_t, 2>, 3>> foreground_box(const T* v, std::size_t channels,
                                                                        const std::array<std::size_t, 3>& n,
                                                                        double threshold) {
    using Box = std::array<std::array<std::int64_t, 2>, 3>;
    const auto empty = [&] {
        Box b{};
        for (int d = 0; d < 3; ++d) b[d] = {std::int64_t(n[d]), -1};
        return b;
    };
    std::vector<Box> boxes(channels * n[0], empty());
    loamwerk::parallel_for(channels * n[0], [&](std::size_t slice) {
        Box& b = boxes[slice];
        const std::int64_t z = std::int64_t(slice % std::max<std::size_t>(n[0], 1));
        for (std::size_t y = 0; y < n[1]; ++y) {
            const T* row = v + (slice * n[1] + y) * n[2];
            std::size_t first = 0;
            while (first < n[2] && !(double(row[first]) > threshold)) ++first;
            if (first == n[2]) continue;
            std::size_t last = n[2] - 1;
            while (!(double(row[last]) > threshold)) --last;
            const std::int64_t at[3] = {z, std::int64_t(y), std::int64_t(first)};
            for (int d = 0; d < 2; ++d) b[d] = {std::min(b[d][0], at[d]), std::max(b[d][1], at[d])};
            b[2] = {std::min(b[2][0], std::int64_t(first)), std::max(b[2][1], std::int64_t(last))};
        }
    });
    Box box = empty();
    for (const Box& b : boxes)
        for (int d = 0; d < 3; ++d) box[d] = {std::min(box[d][0], b[d][0]), std::max(box[d][1], b[d][1])};
    if (box[0][1] < 0) return std::nullopt;
    for (int d = 0; d < 3; ++d) box[d][1] += 1;
    return box;
}

std::string pad_mode(const std::string& mode, const Rearrangement& r) {
    static constexpr const char* kModes[] = {"constant", "edge", "reflect", "symmetric", "wrap"};
    for (const char* m : kModes)
        if (mode == m) return mode;
    r.fail("mode must be one of constant, edge, reflect, symmetric, wrap, not '" + mode + "'");
}

std::array<long long, 3> three(const std::vector<long long>& v, const char* what, const Rearrangement& r) {
    if (v.size() != 3) r.fail(std::string(what) + " must have 3 values (z, y, x)");
    return {v[0], v[1], v[2]};
}

// Symmetric (or "end") padding of each axis up to `target` (a target not above the size pads nothing).
void pad_to(Rearrangement& r, const std::array<std::int64_t, 3>& target, const std::string& method, const std::string& mode) {
    if (method != "symmetric" && method != "end") r.fail("method must be 'symmetric' or 'end', not '" + method + "'");
    for (int d = 0; d < 3; ++d) {
        const std::int64_t width = std::max<std::int64_t>(target[d] - r.size(d), 0);
        const std::int64_t before = method == "symmetric" ? width / 2 : 0;
        r.pad(d, before, width - before, mode);
    }
}

// For each voxel axis (x, y, z) of an affine: the world axis (0 R-L, 1 A-P, 2 S-I) it runs
// along most and whether it runs towards R, A, S, as nibabel's io_orientation reads the RAS
// affine: the largest remaining component first, each world axis taken once.
std::array<std::pair<int, bool>, 3> orientation(const std::array<double, 16>& lps) {
    double ras[3][3];  // [world row][voxel column]
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 3; ++r) ras[r][c] = (r < 2 ? -1.0 : 1.0) * lps[4 * c + r];
    std::array<std::pair<int, bool>, 3> out{};
    bool row_used[3] = {}, col_used[3] = {};
    for (int step = 0; step < 3; ++step) {
        int br = -1, bc = -1;
        for (int c = 0; c < 3; ++c)
            for (int r = 0; r < 3; ++r)
                if (!row_used[r] && !col_used[c] && (br < 0 || std::fabs(ras[r][c]) > std::fabs(ras[br][bc]))) br = r, bc = c;
        row_used[br] = col_used[bc] = true;
        out[bc] = {br, ras[br][bc] >= 0};
    }
    return out;
}

void register_rearrangements(nb::module_& m) {
    m.def(
        "transform_reorient",
        [](const AnyArray& arr, std::vector<double> affine, const std::string& axcodes) {
            Rearrangement r(arr, affine, "transform_reorient");
            if (axcodes.size() != 3) r.fail("axcodes must be three letters, one of R/L, A/P, S/I each, as 'RAS'");
            std::array<std::pair<int, bool>, 3> want{};  // per output voxel axis (x, y, z)
            bool seen[3] = {};
            for (int j = 0; j < 3; ++j) {
                const char c = char(std::toupper(static_cast<unsigned char>(axcodes[j])));
                const int w = (c == 'R' || c == 'L') ? 0 : (c == 'A' || c == 'P') ? 1 : (c == 'S' || c == 'I') ? 2 : -1;
                if (w < 0 || seen[w]) r.fail("axcodes must be three letters, one of R/L, A/P, S/I each, not '" + axcodes + "'");
                seen[w] = true;
                want[j] = {w, c == 'R' || c == 'A' || c == 'S'};
            }
            std::array<double, 16> a{};
            std::copy(affine.begin(), affine.end(), a.begin());
            const auto have = orientation(a);
            std::array<int, 3> order{};  // output array axis d reads input array axis order[d]
            std::array<bool, 3> flip{};
            for (int j = 0; j < 3; ++j)
                for (int i = 0; i < 3; ++i)
                    if (have[i].first == want[j].first) {
                        order[2 - j] = 2 - i;
                        flip[2 - j] = have[i].second != want[j].second;
                    }
            r.transpose(order);
            for (int d = 0; d < 3; ++d)
                if (flip[d]) r.flip(d);
            return r.result(arr, 0);
        },
        nb::arg("arr"), nb::arg("affine"), nb::arg("axcodes") = "RAS",
        nb::sig("def transform_reorient(arr: numpy.typing.NDArray, affine: Sequence[float], axcodes: str = 'RAS') -> "
                "tuple[numpy.typing.NDArray, dict]"),
        "MONAI's Orientation: axes permuted and flipped so that the voxel axes x, y, z (array axes 2, 1, 0 of "
        "[z, y, x]) increase towards the letters of `axcodes` in nibabel's convention ('RAS': x towards the "
        "patient's right, y anterior, z superior), whatever the LPS affine says now; oblique axes go to the "
        "world axis they run along most. The affine follows. Returns (array, {affine}).");
    m.def(
        "transform_crop_foreground",
        [](const AnyArray& arr, OptAffine affine, double threshold, std::vector<long long> margin, bool allow_smaller,
           std::vector<long long> k_divisible) {
            Rearrangement r(arr, affine, "transform_crop_foreground");
            if (margin.size() == 1) margin = {margin[0], margin[0], margin[0]};
            if (k_divisible.size() == 1) k_divisible = {k_divisible[0], k_divisible[0], k_divisible[0]};
            const auto mg = three(margin, "margin", r), kd = three(k_divisible, "k_divisible", r);
            for (const long long v : mg)
                if (v < 0) r.fail("margin must not be negative");
            const std::size_t channels = arr.ndim() == 4 ? arr.shape(0) : 1;
            const std::array<std::size_t, 3> n{std::size_t(r.size(0)), std::size_t(r.size(1)), std::size_t(r.size(2))};
            std::optional<std::array<std::array<std::int64_t, 2>, 3>> box;
            const auto scan = [&]<class T>() {
                box = without_gil([&] { return foreground_box(static_cast<const T*>(arr.data()), channels, n, threshold); });
            };
            by_numeric_dtype(arr, "transform_crop_foreground", scan);
            for (int d = 0; d < 3; ++d) {
                // MONAI: no foreground gives an empty box; the margin, then clipping when allowed,
                // then growth to a multiple of k about the box's centre; what lies outside is padded.
                std::int64_t start = 0, end = 0;
                if (box) {
                    start = (*box)[d][0] - mg[d], end = (*box)[d][1] + mg[d];
                    if (allow_smaller) start = std::max<std::int64_t>(start, 0), end = std::min(end, r.size(d));
                }
                const std::int64_t size = end - start;
                const std::int64_t grown = kd[d] > 0 ? (size + kd[d] - 1) / kd[d] * kd[d] : size;
                start -= (grown - size) / 2;
                end = start + grown;
                const std::int64_t before = std::max<std::int64_t>(-start, 0), after = std::max<std::int64_t>(end - r.size(d), 0);
                r.crop(d, start, end);
                r.pad(d, before, after, "constant");
            }
            return r.result(arr, 0);
        },
        nb::arg("arr"), nb::arg("affine") = nb::none(), nb::arg("threshold") = 0.0,
        nb::arg("margin") = std::vector<long long>{0}, nb::arg("allow_smaller") = false,
        nb::arg("k_divisible") = std::vector<long long>{1},
        nb::sig("def transform_crop_foreground(arr: numpy.typing.NDArray, affine: Sequence[float] | None = None, "
                "threshold: float = 0.0, margin: Sequence[int] = [0], allow_smaller: bool = False, "
                "k_divisible: Sequence[int] = [1]) -> tuple[numpy.typing.NDArray, dict]"),
        "MONAI's CropForeground: the box of voxels above `threshold` in any channel, widened by `margin`, "
        "clipped to the array only with allow_smaller, grown about its centre to a multiple of k_divisible; "
        "parts outside the array are zero-padded, and an array without foreground gives an empty one. "
        "Returns (array, {affine}).");
    m.def(
        "transform_flip",
        [](const AnyArray& arr, OptAffine affine, std::vector<long long> axes) {
            Rearrangement r(arr, affine, "transform_flip");
            for (const long long a : axes) r.flip(r.axis(a));
            return r.result(arr, 0);
        },
        nb::arg("arr"), nb::arg("affine") = nb::none(), nb::arg("axes") = std::vector<long long>{0, 1, 2},
        nb::sig("def transform_flip(arr: numpy.typing.NDArray, affine: Sequence[float] | None = None, "
                "axes: Sequence[int] = [0, 1, 2]) -> tuple[numpy.typing.NDArray, dict]"),
        "numpy.flip along spatial axes (0 z, 1 y, 2 x of [z, y, x]; [c, z, y, x] keeps its channels), as MONAI's "
        "Flip; the affine follows, so every voxel keeps its patient position. Returns (array, {affine}).");
    m.def(
        "transform_transpose",
        [](const AnyArray& arr, OptAffine affine, std::vector<long long> order) {
            Rearrangement r(arr, affine, "transform_transpose");
            const auto o = three(order, "order", r);
            std::array<int, 3> perm{r.axis(o[0]), r.axis(o[1]), r.axis(o[2])};
            if (perm[0] == perm[1] || perm[0] == perm[2] || perm[1] == perm[2]) r.fail("order must name each axis once");
            r.transpose(perm);
            return r.result(arr, 0);
        },
        nb::arg("arr"), nb::arg("affine") = nb::none(), nb::arg("order") = std::vector<long long>{2, 1, 0},
        nb::sig("def transform_transpose(arr: numpy.typing.NDArray, affine: Sequence[float] | None = None, "
                "order: Sequence[int] = [2, 1, 0]) -> tuple[numpy.typing.NDArray, dict]"),
        "numpy.transpose of the spatial axes (output axis d is input axis order[d]), as MONAI's Transpose on "
        "the spatial dimensions; the affine follows. Returns (array, {affine}).");
    m.def(
        "transform_rotate90",
        [](const AnyArray& arr, OptAffine affine, long long k, std::vector<long long> axes) {
            Rearrangement r(arr, affine, "transform_rotate90");
            if (axes.size() != 2) r.fail("axes must name two spatial axes");
            const int a = r.axis(axes[0]), b = r.axis(axes[1]);
            if (a == b) r.fail("axes must be two different axes");
            std::array<int, 3> swap{0, 1, 2};
            std::swap(swap[a], swap[b]);
            // numpy.rot90: k = 1 flips b then swaps; 2 flips both; 3 swaps then flips b.
            switch (((k % 4) + 4) % 4) {
                case 1: r.flip(b), r.transpose(swap); break;
                case 2: r.flip(a), r.flip(b); break;
                case 3: r.transpose(swap), r.flip(b); break;
                default: break;
            }
            return r.result(arr, 0);
        },
        nb::arg("arr"), nb::arg("affine") = nb::none(), nb::arg("k") = 1, nb::arg("axes") = std::vector<long long>{0, 1},
        nb::sig("def transform_rotate90(arr: numpy.typing.NDArray, affine: Sequence[float] | None = None, k: int = 1, "
                "axes: Sequence[int] = [0, 1]) -> tuple[numpy.typing.NDArray, dict]"),
        "numpy.rot90(arr, k, axes) over spatial axes, as MONAI's Rotate90 (k quarter turns from the first axis "
        "towards the second); the affine follows. Returns (array, {affine}).");
    m.def(
        "transform_crop",
        [](const AnyArray& arr, OptAffine affine, std::vector<long long> start, std::vector<long long> end) {
            Rearrangement r(arr, affine, "transform_crop");
            const auto s = three(start, "start", r), e = three(end, "end", r);
            for (int d = 0; d < 3; ++d) r.crop(d, s[d], e[d]);
            return r.result(arr, 0);
        },
        nb::arg("arr"), nb::arg("affine") = nb::none(), nb::arg("start"), nb::arg("end"),
        nb::sig("def transform_crop(arr: numpy.typing.NDArray, affine: Sequence[float] | None = None, *, "
                "start: Sequence[int], end: Sequence[int]) -> tuple[numpy.typing.NDArray, dict]"),
        "The box [start, end) of each spatial axis, clipped to the array, as MONAI's SpatialCrop(roi_start, "
        "roi_end); the affine's origin moves to the box's first voxel. Returns (array, {affine}).");
    m.def(
        "transform_pad",
        [](const AnyArray& arr, OptAffine affine, std::vector<std::vector<long long>> pad_width, const std::string& mode,
           double value) {
            Rearrangement r(arr, affine, "transform_pad");
            if (pad_width.size() != 3) r.fail("pad_width must have 3 (before, after) pairs (z, y, x)");
            const std::string m = pad_mode(mode, r);
            for (int d = 0; d < 3; ++d) {
                if (pad_width[d].size() != 2) r.fail("pad_width must have 3 (before, after) pairs (z, y, x)");
                r.pad(d, pad_width[d][0], pad_width[d][1], m);
            }
            return r.result(arr, value);
        },
        nb::arg("arr"), nb::arg("affine") = nb::none(), nb::arg("pad_width"), nb::arg("mode") = "constant",
        nb::arg("value") = 0.0,
        nb::sig("def transform_pad(arr: numpy.typing.NDArray, affine: Sequence[float] | None = None, *, "
                "pad_width: Sequence[Sequence[int]], mode: str = 'constant', value: float = 0.0) -> "
                "tuple[numpy.typing.NDArray, dict]"),
        "numpy.pad of the spatial axes by (before, after) pairs, mode 'constant' (with `value`), 'edge', "
        "'reflect', 'symmetric' or 'wrap' as numpy defines them; the affine's origin moves back by the "
        "'before' widths. Returns (array, {affine}).");
    m.def(
        "transform_center_crop",
        [](const AnyArray& arr, OptAffine affine, std::vector<long long> roi_size) {
            Rearrangement r(arr, affine, "transform_center_crop");
            const auto roi = three(roi_size, "roi_size", r);
            for (int d = 0; d < 3; ++d) {
                // MONAI: a size below 1 keeps the axis; the box starts at n // 2 - roi // 2.
                const std::int64_t size = roi[d] < 1 ? r.size(d) : roi[d];
                const std::int64_t start = std::max<std::int64_t>(r.size(d) / 2 - size / 2, 0);
                r.crop(d, start, start + size);
            }
            return r.result(arr, 0);
        },
        nb::arg("arr"), nb::arg("affine") = nb::none(), nb::arg("roi_size"),
        nb::sig("def transform_center_crop(arr: numpy.typing.NDArray, affine: Sequence[float] | None = None, *, "
                "roi_size: Sequence[int]) -> tuple[numpy.typing.NDArray, dict]"),
        "MONAI's CenterSpatialCrop: on each axis the box of roi_size starting at n // 2 - roi // 2 (a size "
        "below 1 keeps the axis; a box larger than the axis keeps it whole). Returns (array, {affine}).");
    m.def(
        "transform_spatial_pad",
        [](const AnyArray& arr, OptAffine affine, std::vector<long long> spatial_size, const std::string& method,
           const std::string& mode, double value) {
            Rearrangement r(arr, affine, "transform_spatial_pad");
            const auto size = three(spatial_size, "spatial_size", r);
            pad_to(r, {size[0], size[1], size[2]}, method, pad_mode(mode, r));
            return r.result(arr, value);
        },
        nb::arg("arr"), nb::arg("affine") = nb::none(), nb::arg("spatial_size"), nb::arg("method") = "symmetric",
        nb::arg("mode") = "constant", nb::arg("value") = 0.0,
        nb::sig("def transform_spatial_pad(arr: numpy.typing.NDArray, affine: Sequence[float] | None = None, *, "
                "spatial_size: Sequence[int], method: str = 'symmetric', mode: str = 'constant', value: float = 0.0) "
                "-> tuple[numpy.typing.NDArray, dict]"),
        "MONAI's SpatialPad: each axis padded up to spatial_size (never cropped), 'symmetric' (the smaller half "
        "before) or 'end'; numpy pad modes. Returns (array, {affine}).");
    m.def(
        "transform_divisible_pad",
        [](const AnyArray& arr, OptAffine affine, std::vector<long long> k, const std::string& method,
           const std::string& mode, double value) {
            Rearrangement r(arr, affine, "transform_divisible_pad");
            if (k.size() == 1) k = {k[0], k[0], k[0]};
            const auto div = three(k, "k", r);
            std::array<std::int64_t, 3> target{};
            for (int d = 0; d < 3; ++d)
                target[d] = div[d] < 1 ? r.size(d) : (r.size(d) + div[d] - 1) / div[d] * div[d];
            pad_to(r, target, method, pad_mode(mode, r));
            return r.result(arr, value);
        },
        nb::arg("arr"), nb::arg("affine") = nb::none(), nb::arg("k"), nb::arg("method") = "symmetric",
        nb::arg("mode") = "constant", nb::arg("value") = 0.0,
        nb::sig("def transform_divisible_pad(arr: numpy.typing.NDArray, affine: Sequence[float] | None = None, *, "
                "k: Sequence[int], method: str = 'symmetric', mode: str = 'constant', value: float = 0.0) -> "
                "tuple[numpy.typing.NDArray, dict]"),
        "MONAI's DivisiblePad: each axis padded up to the next multiple of k (one value for all axes, or three; "
        "k below 1 leaves the axis), as transform_spatial_pad. Returns (array, {affine}).");
}

// -- intensities --------------------------------------------------------------------------------

// A volume as float32 values (MONAI's default output type), with its shape and channel count.
struct Floats {
    std::vector<float> values;
    const float* source = nullptr;  // the caller's float32 voxels, read in place, instead of `values`
    std::vector<std::size_t> shape;
    std::size_t channels = 1, per_channel = 0;
    const float* data() const { return source ? source : values.data(); }
    std::span<const float> channel(std::size_t c) const { return {data() + c * per_channel, per_channel}; }
};

std::size_t arr_bytes(const Floats& f) { return f.channels * f.per_channel * sizeof(float); }

// For reading only: a float32 array is used where it lies, other dtypes are converted.
Floats floats_view(const AnyArray& arr, const char* fn);

Floats floats_of(const AnyArray& arr, const char* fn) {
    if (arr.ndim() != 3 && arr.ndim() != 4)
        throw nb::value_error((std::string(fn) + ": array must be [z, y, x] or [c, z, y, x], not " +
                               std::to_string(arr.ndim()) + "-D").c_str());
    Floats f;
    f.shape = shape_of(arr);
    f.channels = arr.ndim() == 4 ? arr.shape(0) : 1;
    f.per_channel = f.channels ? arr.size() / std::max<std::size_t>(f.channels, 1) : 0;
    f.values.resize(arr.size());
    const auto copy = [&]<class T>() {
        const T* in = static_cast<const T*>(arr.data());
        constexpr std::size_t kChunk = std::size_t(1) << 18;
        without_gil([&] {
            loamwerk::parallel_for((f.values.size() + kChunk - 1) / kChunk, [&](std::size_t c) {
                for (std::size_t i = c * kChunk; i < std::min(f.values.size(), (c + 1) * kChunk); ++i) f.values[i] = float(in[i]);
            });
        });
    };
    by_numeric_dtype(arr, fn, copy);
    return f;
}

Floats floats_view(const AnyArray& arr, const char* fn) {
    if (arr.dtype() != nb::dtype<float>() || (arr.ndim() != 3 && arr.ndim() != 4)) return floats_of(arr, fn);
    Floats f;
    f.shape = shape_of(arr);
    f.channels = arr.ndim() == 4 ? arr.shape(0) : 1;
    f.per_channel = f.channels ? arr.size() / f.channels : 0;
    f.source = static_cast<const float*>(arr.data());
    return f;
}

nb::tuple float_result(Floats&& f) {
    return nb::make_tuple(to_array(std::move(f.values), f.shape, nb::dtype<float>()), nb::dict());
}

// The length of voxel axis `column` (0 x, 1 y, 2 z) of a column-major affine: its spacing.
double axis_spacing(std::span<const double> affine, int column) {
    return std::sqrt(affine[4 * column] * affine[4 * column] + affine[4 * column + 1] * affine[4 * column + 1] +
                     affine[4 * column + 2] * affine[4 * column + 2]);
}

// A resampled volume: `values` of `out` per channel, [c, ...] when the input had channels, with
// meta {"affine"}.
template <class T>
nb::tuple spatial_result(std::vector<T>&& values, const Floats& f, const std::array<std::size_t, 3>& out,
                         const double* affine, nb::dlpack::dtype dtype = nb::dtype<float>()) {
    std::vector<std::size_t> shape;
    if (f.shape.size() == 4) shape.push_back(f.channels);
    shape.insert(shape.end(), out.begin(), out.end());
    nb::dict meta;
    meta["affine"] = affine_list(affine);
    return nb::make_tuple(to_array(std::move(values), shape, dtype), meta);
}

// The spatial shape of a [z, y, x] or [c, z, y, x] volume.
std::array<std::size_t, 3> spatial_shape(const Floats& f) {
    const std::size_t first = f.shape.size() - 3;
    return {f.shape[first], f.shape[first + 1], f.shape[first + 2]};
}

// Runs `each(span)` on each channel (channel_wise) or on the whole array, without the lock.
template <class Each>
void over_channels(Floats& f, bool channel_wise, Each each) {
    without_gil([&] {
        if (!channel_wise) return each(std::span<float>(f.values));
        for (std::size_t c = 0; c < f.channels; ++c)
            each(std::span<float>(f.values.data() + c * f.per_channel, f.per_channel));
    });
}

// A 2-D image [h, w] or a stack [c, h, w] resized plane by plane with `resize(src, w, h, dst, ow, oh)`.
template <class Resize>
nb::tuple resize_planes(const AnyArray& arr, const std::vector<long long>& size, const char* fn, Resize resize) {
    if (arr.ndim() != 2 && arr.ndim() != 3)
        throw nb::value_error((std::string(fn) + ": array must be [h, w] or [c, h, w]").c_str());
    if (size.size() != 2 || size[0] < 1 || size[1] < 1 || size[0] > 0x7FFFFFFF || size[1] > 0x7FFFFFFF)
        throw nb::value_error((std::string(fn) + ": size must be two positive numbers (h, w)").c_str());
    const std::size_t first = arr.ndim() - 2;
    const std::size_t planes = first ? arr.shape(0) : 1, h = arr.shape(first), w = arr.shape(first + 1);
    if (h == 0 || w == 0) throw nb::value_error((std::string(fn) + ": the image is empty").c_str());
    std::vector<float> in(arr.size());
    by_numeric_dtype(arr, fn, [&]<class T>() {
        const T* p = static_cast<const T*>(arr.data());
        for (std::size_t i = 0; i < in.size(); ++i) in[i] = float(p[i]);
    });
    const auto oh = std::uint32_t(size[0]), ow = std::uint32_t(size[1]);
    check_output({planes, oh, ow}, sizeof(float), arr.nbytes(), fn);
    std::vector<float> out(planes * std::size_t(oh) * ow);
    without_gil([&] {
        for (std::size_t p = 0; p < planes; ++p)
            resize(in.data() + p * h * w, std::uint32_t(w), std::uint32_t(h), out.data() + p * std::size_t(oh) * ow, ow, oh);
    });
    std::vector<std::size_t> shape;
    if (first) shape.push_back(planes);
    shape.push_back(oh), shape.push_back(ow);
    return nb::make_tuple(to_array(std::move(out), shape, nb::dtype<float>()), nb::dict());
}

void register_intensities(nb::module_& m) {
    m.def(
        "transform_resample_to_spacing",
        [](const AnyArray& arr, std::vector<double> affine, std::vector<double> spacing, const std::string& mode) {
            const char* fn = "transform_resample_to_spacing";
            if (affine.size() != 16) throw nb::value_error("transform_resample_to_spacing: affine must have 16 elements");
            if (spacing.size() == 1) spacing = {spacing[0], spacing[0], spacing[0]};
            if (spacing.size() != 3) throw nb::value_error("transform_resample_to_spacing: spacing must be one value or three (z, y, x)");
            if (mode != "bilinear" && mode != "nearest")
                throw nb::value_error(("transform_resample_to_spacing: mode must be 'bilinear' or 'nearest', not '" + mode + "'").c_str());
            Floats f = floats_view(arr, fn);
            const auto in = spatial_shape(f);
            std::array<std::size_t, 3> out;
            double ratio[3];
            std::vector<double> b = affine;
            for (int d = 0; d < 3; ++d) {
                const int column = 2 - d;  // array axis d is voxel axis 2 - d
                const double current = axis_spacing(affine, column);
                if (!(spacing[d] > 0) || !(current > 0) || in[d] == 0)
                    throw nb::value_error("transform_resample_to_spacing: spacings and sizes must be positive");
                ratio[d] = spacing[d] / current;
                // MONAI's Spacing: the extent between the first and last voxel centres, in new voxels,
                // plus one, rounded half to even (nnU-Net rounds n * old / new instead).
                const double size = std::nearbyint(double(in[d] - 1) / ratio[d] + 1.0);
                if (!(size >= 1) || size > 0x7FFFFFFF) throw nb::value_error("transform_resample_to_spacing: the output would be too large");
                out[d] = std::size_t(size);
                for (int k = 0; k < 3; ++k) b[4 * column + k] = affine[4 * column + k] * ratio[d];
            }
            check_output({f.channels, out[0], out[1], out[2]}, sizeof(float), arr_bytes(f), fn);
            const std::size_t per_out = out[0] * out[1] * out[2];
            std::vector<float> result(f.channels * per_out);
            without_gil([&] {
                for (std::size_t c = 0; c < f.channels; ++c) {
                    const auto r = loamwerk::transform::sample_scaled(f.channel(c),
                                                                      in.data(), out.data(), ratio, mode == "nearest");
                    std::copy(r.begin(), r.end(), result.begin() + std::ptrdiff_t(c * per_out));
                }
            });
            return spatial_result(std::move(result), f, out, b.data());
        },
        nb::arg("arr"), nb::arg("affine"), nb::arg("spacing"), nb::arg("mode") = "bilinear",
        nb::sig("def transform_resample_to_spacing(arr: numpy.typing.NDArray, affine: Sequence[float], "
                "spacing: Sequence[float], mode: str = 'bilinear') -> tuple[numpy.typing.NDArray[numpy.float32], dict]"),
        "MONAI's Spacing(pixdim): the volume resampled to `spacing` (mm, one value or z, y, x) with its axes' "
        "directions and first voxel centre kept; out shape round((n - 1) * old / new + 1) per axis, where "
        "nnU-Net uses round(n * old / new); trilinear ('bilinear') or nearest, border padding. Returns "
        "(float32 array, {affine}).");
    m.def(
        "transform_resize",
        [](const AnyArray& arr, OptAffine affine, std::vector<long long> spatial_size, const std::string& size_mode,
           const std::string& mode) {
            const char* fn = "transform_resize";
            if (affine && affine->size() != 16) throw nb::value_error("transform_resize: affine must have 16 elements");
            if (mode != "area" && mode != "trilinear")
                throw nb::value_error(("transform_resize: mode must be 'area' or 'trilinear', not '" + mode + "'").c_str());
            Floats f = floats_view(arr, fn);
            const auto in = spatial_shape(f);
            std::array<std::size_t, 3> out;
            if (size_mode == "all") {
                if (spatial_size.size() != 3) throw nb::value_error("transform_resize: spatial_size must have 3 values (z, y, x)");
                for (int d = 0; d < 3; ++d) out[d] = spatial_size[d] > 0 ? std::size_t(spatial_size[d]) : in[d];
            } else if (size_mode == "longest") {
                if (spatial_size.size() != 1 || spatial_size[0] < 1)
                    throw nb::value_error("transform_resize: size_mode 'longest' takes one positive spatial_size");
                const double scale = double(spatial_size[0]) / double(std::max({in[0], in[1], in[2]}));
                // Python's round: halves to even.
                for (int d = 0; d < 3; ++d) out[d] = std::size_t(std::nearbyint(double(in[d]) * scale));
            } else {
                throw nb::value_error(("transform_resize: size_mode must be 'all' or 'longest', not '" + size_mode + "'").c_str());
            }
            for (int d = 0; d < 3; ++d)
                if (in[d] == 0 || out[d] == 0 || out[d] > 0x7FFFFFFF) throw nb::value_error("transform_resize: sizes must be positive");
            check_output({f.channels, out[0], out[1], out[2]}, sizeof(float), arr_bytes(f), fn);
            const std::size_t per_out = out[0] * out[1] * out[2];
            std::vector<float> result(f.channels * per_out);
            without_gil([&] {
                for (std::size_t c = 0; c < f.channels; ++c) {
                    const std::span<const float> src = f.channel(c);
                    if (mode == "area") {
                        const auto r = loamwerk::transform::area_resize(src, in.data(), out.data());
                        std::copy(r.begin(), r.end(), result.begin() + std::ptrdiff_t(c * per_out));
                    } else if (loamwerk::transform::resample_trilinear(src.data(), std::uint32_t(in[2]), std::uint32_t(in[1]),
                                                                      std::uint32_t(in[0]), result.data() + c * per_out,
                                                                      std::uint32_t(out[2]), std::uint32_t(out[1]),
                                                                      std::uint32_t(out[0])) != 0) {
                        throw std::runtime_error("transform_resize: resampling failed");
                    }
                }
            });
            // Half-pixel alignment, as MONAI's scale_affine with align_corners False.
            std::array<double, 16> a{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
            if (affine) std::copy(affine->begin(), affine->end(), a.begin());
            std::array<double, 16> b = a;
            for (int d = 0; d < 3; ++d) {
                const double s = double(in[d]) / double(out[d]);
                const int column = 2 - d;  // array axis d is voxel axis 2 - d
                for (int k = 0; k < 4; ++k) {
                    b[4 * column + k] = a[4 * column + k] * s;
                    b[12 + k] += a[4 * column + k] * (0.5 * s - 0.5);
                }
            }
            return spatial_result(std::move(result), f, out, b.data());
        },
        nb::arg("arr"), nb::arg("affine") = nb::none(), nb::arg("spatial_size"), nb::arg("size_mode") = "all",
        nb::arg("mode") = "area",
        nb::sig("def transform_resize(arr: numpy.typing.NDArray, affine: Sequence[float] | None = None, *, "
                "spatial_size: Sequence[int], size_mode: str = 'all', mode: str = 'area') -> "
                "tuple[numpy.typing.NDArray[numpy.float32], dict]"),
        "MONAI's Resize: to spatial_size (z, y, x; a size below 1 keeps the axis) or, with size_mode "
        "'longest', the longest axis to the one value given and the others in proportion (Python's round); "
        "mode 'area' (MONAI's default: torch's adaptive average) or 'trilinear' (align_corners False). The "
        "affine gets MONAI's half-pixel scaling. Returns (float32 array, {affine}).");
    m.def(
        "transform_bilinear_resize2d",
        [](const AnyArray& arr, std::vector<long long> size) {
            return resize_planes(arr, size, "transform_bilinear_resize2d",
                                 [](const float* s, std::uint32_t w, std::uint32_t h, float* d, std::uint32_t ow, std::uint32_t oh) {
                                     loamwerk::transform::resample_trilinear(s, w, h, 1, d, ow, oh, 1);
                                 });
        },
        nb::arg("arr"), nb::arg("size"),
        nb::sig("def transform_bilinear_resize2d(arr: numpy.typing.NDArray, size: Sequence[int]) -> "
                "tuple[numpy.typing.NDArray[numpy.float32], dict]"),
        "torch.nn.functional.interpolate(mode='bilinear', align_corners=False, antialias=False) of an [h, w] "
        "image or each plane of [c, h, w]: half-pixel centres, edge samples repeated, no antialiasing. "
        "Returns (float32 array, {}).");
    m.def(
        "transform_pil_resize2d",
        [](const AnyArray& arr, std::vector<long long> size, const std::string& resample) {
            if (resample != "bilinear" && resample != "bicubic")
                throw nb::value_error(("transform_pil_resize2d: resample must be 'bilinear' or 'bicubic', not '" + resample + "'").c_str());
            const bool bicubic = resample == "bicubic";
            return resize_planes(arr, size, "transform_pil_resize2d",
                                 [&](const float* s, std::uint32_t w, std::uint32_t h, float* d, std::uint32_t ow, std::uint32_t oh) {
                                     loamwerk::transform::pil_resize(s, w, h, d, ow, oh, bicubic);
                                 });
        },
        nb::arg("arr"), nb::arg("size"), nb::arg("resample") = "bilinear",
        nb::sig("def transform_pil_resize2d(arr: numpy.typing.NDArray, size: Sequence[int], resample: str = 'bilinear') "
                "-> tuple[numpy.typing.NDArray[numpy.float32], dict]"),
        "PIL's Image.resize of a float image with Image.BILINEAR or Image.BICUBIC: the filter widened by the "
        "scale when shrinking (antialiasing), weights normalised, the horizontal pass first. `size` is "
        "(h, w). Returns (float32 array, {}).");
    m.def(
        "transform_normalize_ct",
        [](const AnyArray& arr, double mean, double std, double lower, double upper) {
            const char* fn = "transform_normalize_ct";
            if (!(lower <= upper)) throw nb::value_error((std::string(fn) + ": lower must not be above upper").c_str());
            Floats f = floats_of(arr, fn);
            // In float32 as nnU-Net's numpy code: clip, subtract, divide.
            const float lo = float(lower), hi = float(upper), m = float(mean), d = float(std::max(std, 1e-8));
            over_channels(f, false, [&](std::span<float> v) {
                for (float& x : v) x = (std::clamp(x, lo, hi) - m) / d;
            });
            return float_result(std::move(f));
        },
        nb::arg("arr"), nb::arg("mean"), nb::arg("std"), nb::arg("lower"), nb::arg("upper"),
        nb::sig("def transform_normalize_ct(arr: numpy.typing.NDArray, mean: float, std: float, lower: float, "
                "upper: float) -> tuple[numpy.typing.NDArray[numpy.float32], dict]"),
        "nnU-Net v2's CTNormalization: clipped to [lower, upper] (the dataset's foreground 0.5 and 99.5 "
        "percentiles), then (x - mean) / max(std, 1e-8) with the dataset's foreground mean and std, all "
        "given. Returns (float32 array, {}).");
    m.def(
        "transform_rescale_robust",
        [](const AnyArray& arr, double out_min, double out_max, std::vector<double> percentiles,
           std::optional<AnyArray> mask) {
            const char* fn = "transform_rescale_robust";
            if (percentiles.size() != 2 || !(percentiles[0] >= 0 && percentiles[0] <= percentiles[1] && percentiles[1] <= 100))
                throw nb::value_error((std::string(fn) + ": percentiles must be (lower, upper) with 0 <= lower <= upper <= 100").c_str());
            Floats f = floats_of(arr, fn);
            const std::size_t spatial = f.per_channel;
            std::vector<std::uint8_t> inside(spatial, 1);
            if (mask) {
                if (mask->size() != spatial)
                    throw nb::value_error((std::string(fn) + ": mask must have the array's spatial shape").c_str());
                Floats m = floats_of(*mask, fn);
                for (std::size_t i = 0; i < spatial; ++i) inside[i] = m.values[i] != 0.0f;
            }
            without_gil([&] {
                std::vector<float> values;
                for (std::size_t i = 0; i < f.values.size(); ++i)
                    if (inside[i % spatial]) values.push_back(f.values[i]);
                if (values.empty()) return;  // TorchIO leaves the image as it is
                std::vector<float> scratch = values;
                const float lo = float(loamwerk::transform::percentile(scratch, percentiles[0]));
                const float hi = float(loamwerk::transform::percentile(scratch, percentiles[1]));
                for (float& x : f.values) x = std::clamp(x, lo, hi);
                const auto [mn, mx] = std::minmax_element(f.values.begin(), f.values.end());
                const float in_min = *mn, range = *mx - *mn;
                if (range == 0.0f) return;
                const float out_range = float(out_max - out_min), offset = float(out_min);
                for (float& x : f.values) x = (x - in_min) / range * out_range + offset;
            });
            return float_result(std::move(f));
        },
        nb::arg("arr"), nb::arg("out_min") = 0.0, nb::arg("out_max") = 1.0,
        nb::arg("percentiles") = std::vector<double>{0.0, 100.0}, nb::arg("mask") = nb::none(),
        nb::sig("def transform_rescale_robust(arr: numpy.typing.NDArray, out_min: float = 0.0, out_max: float = 1.0, "
                "percentiles: Sequence[float] = [0.0, 100.0], mask: numpy.typing.NDArray | None = None) -> "
                "tuple[numpy.typing.NDArray[numpy.float32], dict]"),
        "TorchIO's RescaleIntensity: the values inside `mask` (every voxel without one; each channel through "
        "the [z, y, x] mask) give the percentiles (numpy's linear ones) that clip the whole image, whose new "
        "minimum and maximum are then mapped onto [out_min, out_max]; an empty mask or a flat image is left "
        "as it is (as float32). Returns (float32 array, {}).");
    m.def(
        "transform_gaussian_smooth",
        [](const AnyArray& arr, std::vector<double> sigma) {
            const char* fn = "transform_gaussian_smooth";
            if (sigma.size() == 1) sigma = {sigma[0], sigma[0], sigma[0]};
            if (sigma.size() != 3) throw nb::value_error((std::string(fn) + ": sigma must be one value or three (z, y, x)").c_str());
            for (const double s : sigma)
                if (!(s >= 0) || !std::isfinite(s)) throw nb::value_error((std::string(fn) + ": sigma must not be negative").c_str());
            Floats f = floats_of(arr, fn);
            const std::size_t first = f.shape.size() - 3;
            over_channels(f, true, [&](std::span<float> v) {
                loamwerk::transform::gaussian_smooth(v, f.shape[first], f.shape[first + 1], f.shape[first + 2], sigma.data());
            });
            return float_result(std::move(f));
        },
        nb::arg("arr"), nb::arg("sigma") = std::vector<double>{1.0},
        nb::sig("def transform_gaussian_smooth(arr: numpy.typing.NDArray, sigma: Sequence[float] = [1.0]) -> "
                "tuple[numpy.typing.NDArray[numpy.float32], dict]"),
        "MONAI's GaussianSmooth (approx 'erf'): separable filtering with the erf-integrated kernel, sigma in "
        "voxels (one value or z, y, x), truncated at 4 sigma, not normalised, zero padding; each channel of "
        "[c, z, y, x] on its own, lines on threads. Returns (float32 array, {}).");
    m.def(
        "transform_sliding_window_positions",
        [](std::vector<long long> image_size, std::vector<long long> roi_size, double overlap) {
            const char* fn = "transform_sliding_window_positions";
            if (image_size.size() != 3 || roi_size.size() != 3)
                throw nb::value_error((std::string(fn) + ": image_size and roi_size must have 3 values (z, y, x)").c_str());
            if (!(overlap >= 0 && overlap < 1)) throw nb::value_error((std::string(fn) + ": overlap must be in [0, 1)").c_str());
            std::array<std::int64_t, 3> size{}, interval{};
            std::array<std::size_t, 3> counts{};
            for (int d = 0; d < 3; ++d) {
                if (image_size[d] < 1 || roi_size[d] < 1)
                    throw nb::value_error((std::string(fn) + ": sizes must be positive").c_str());
                // MONAI pads an image smaller than the window up to it first.
                size[d] = std::max(image_size[d], roi_size[d]);
                const std::int64_t roi = roi_size[d];
                interval[d] = roi == size[d] ? roi : std::int64_t(double(roi) * (1 - overlap));
                if (interval[d] <= 0) interval[d] = 1;
                // The fewest windows whose last one reaches the end: (count - 1) * interval + roi >= n.
                counts[d] = std::size_t(1 + (size[d] - roi + interval[d] - 1) / interval[d]);
            }
            check_output({counts[0], counts[1], counts[2], 3}, sizeof(std::int64_t), 0, fn);
            std::array<std::vector<std::int64_t>, 3> starts;
            for (int d = 0; d < 3; ++d)
                for (std::size_t k = 0; k < counts[d]; ++k) {
                    const std::int64_t start = std::int64_t(k) * interval[d];  // the last start clamped into the image
                    starts[d].push_back(start - std::max<std::int64_t>(start + roi_size[d] - size[d], 0));
                }
            std::vector<std::int64_t> out;
            for (const std::int64_t z : starts[0])
                for (const std::int64_t y : starts[1])
                    for (const std::int64_t x : starts[2]) out.insert(out.end(), {z, y, x});
            const std::vector<std::size_t> shape{out.size() / 3, 3};
            return to_array(std::move(out), shape, nb::dtype<std::int64_t>());
        },
        nb::arg("image_size"), nb::arg("roi_size"), nb::arg("overlap") = 0.25,
        nb::sig("def transform_sliding_window_positions(image_size: Sequence[int], roi_size: Sequence[int], "
                "overlap: float = 0.25) -> numpy.typing.NDArray[numpy.int64]"),
        "The window starts (z, y, x) MONAI's sliding_window_inference visits, one row each in its order: on each "
        "axis every int(roi * (1 - overlap)) voxels (the whole axis when the window covers it), the last start "
        "moved back to fit; an image smaller than the window counts as padded up to it.");
    m.def(
        "transform_gaussian_importance_map",
        [](std::vector<long long> patch_size, double sigma_scale) {
            const char* fn = "transform_gaussian_importance_map";
            if (patch_size.size() != 3) throw nb::value_error((std::string(fn) + ": patch_size must have 3 values").c_str());
            for (const long long n : patch_size)
                if (n < 1) throw nb::value_error((std::string(fn) + ": sizes must be positive").c_str());
            check_output({std::size_t(patch_size[0]), std::size_t(patch_size[1]), std::size_t(patch_size[2])}, sizeof(float), 0, fn);
            if (!(sigma_scale > 0)) throw nb::value_error((std::string(fn) + ": sigma_scale must be positive").c_str());
            std::array<std::vector<float>, 3> axis;
            for (int d = 0; d < 3; ++d) {
                if (patch_size[d] < 1) throw nb::value_error((std::string(fn) + ": sizes must be positive").c_str());
                const double sigma = double(patch_size[d]) * sigma_scale;
                // In float32, as MONAI's torch code: exp(x^2 / (-2 sigma^2)) about the centre.
                const float denominator = float(-2.0 * sigma * sigma);
                for (long long i = 0; i < patch_size[d]; ++i) {
                    const float x = float(-(double(patch_size[d]) - 1) / 2.0 + double(i));
                    axis[d].push_back(std::exp(x * x / denominator));
                }
            }
            std::vector<float> map;
            map.reserve(axis[0].size() * axis[1].size() * axis[2].size());
            for (const float a : axis[0])
                for (const float b : axis[1])
                    for (const float c : axis[2]) map.push_back(a * b * c);
            const float least = std::max(*std::min_element(map.begin(), map.end()), 1e-3f);
            for (float& v : map) v = std::max(v, least);
            const std::vector<std::size_t> shape{axis[0].size(), axis[1].size(), axis[2].size()};
            return to_array(std::move(map), shape, nb::dtype<float>());
        },
        nb::arg("patch_size"), nb::arg("sigma_scale") = 0.125,
        nb::sig("def transform_gaussian_importance_map(patch_size: Sequence[int], sigma_scale: float = 0.125) -> "
                "numpy.typing.NDArray[numpy.float32]"),
        "MONAI's gaussian importance map of sliding-window inference: the product of per-axis "
        "exp(-x^2 / (2 sigma^2)) with sigma = sigma_scale * size, about the patch centre, not normalised, "
        "raised to at least 1e-3.");
    m.def(
        "transform_normalize_zscore",
        [](const AnyArray& arr, bool nonzero, bool channel_wise, std::optional<double> subtrahend,
           std::optional<double> divisor) {
            Floats f = floats_of(arr, "transform_normalize_zscore");
            over_channels(f, channel_wise, [&](std::span<float> v) {
                loamwerk::transform::normalize_zscore(v, nonzero, subtrahend, divisor);
            });
            return float_result(std::move(f));
        },
        nb::arg("arr"), nb::arg("nonzero") = false, nb::arg("channel_wise") = false, nb::arg("subtrahend") = nb::none(),
        nb::arg("divisor") = nb::none(),
        nb::sig("def transform_normalize_zscore(arr: numpy.typing.NDArray, nonzero: bool = False, channel_wise: bool = "
                "False, subtrahend: float | None = None, divisor: float | None = None) -> "
                "tuple[numpy.typing.NDArray[numpy.float32], dict]"),
        "MONAI's NormalizeIntensity: (x - mean) / std with the population std (1 where it is 0), over every "
        "value or, with nonzero, over the nonzero ones only (zeros stay); channel_wise normalises each channel "
        "of a [c, z, y, x] array on its own. Returns (float32 array, {}).");
    m.def(
        "transform_scale_intensity_range",
        [](const AnyArray& arr, double a_min, double a_max, std::optional<double> b_min, std::optional<double> b_max,
           bool clip) {
            Floats f = floats_of(arr, "transform_scale_intensity_range");
            over_channels(f, false, [&](std::span<float> v) {
                loamwerk::transform::scale_intensity_range(v, a_min, a_max, b_min, b_max, clip);
            });
            return float_result(std::move(f));
        },
        nb::arg("arr"), nb::arg("a_min"), nb::arg("a_max"), nb::arg("b_min") = nb::none(), nb::arg("b_max") = nb::none(),
        nb::arg("clip") = false,
        nb::sig("def transform_scale_intensity_range(arr: numpy.typing.NDArray, a_min: float, a_max: float, "
                "b_min: float | None = None, b_max: float | None = None, clip: bool = False) -> "
                "tuple[numpy.typing.NDArray[numpy.float32], dict]"),
        "MONAI's ScaleIntensityRange: [a_min, a_max] mapped linearly onto [b_min, b_max] (onto [0, 1] "
        "without them), clipped to it with clip; a_min == a_max gives x - a_min (+ b_min). Returns (float32 "
        "array, {}).");
    m.def(
        "transform_scale_intensity_range_percentiles",
        [](const AnyArray& arr, double lower, double upper, std::optional<double> b_min, std::optional<double> b_max,
           bool clip, bool relative, bool channel_wise) {
            const char* fn = "transform_scale_intensity_range_percentiles";
            if (!(lower >= 0 && lower <= 100 && upper >= 0 && upper <= 100 && lower <= upper))
                throw nb::value_error((std::string(fn) + ": percentiles must satisfy 0 <= lower <= upper <= 100").c_str());
            if (relative && (!b_min || !b_max))
                throw nb::value_error((std::string(fn) + ": relative needs b_min and b_max").c_str());
            Floats f = floats_of(arr, fn);
            over_channels(f, channel_wise, [&](std::span<float> v) {
                std::vector<float> scratch(v.begin(), v.end());
                const double a_min = loamwerk::transform::percentile(scratch, lower);
                const double a_max = loamwerk::transform::percentile(scratch, upper);
                std::optional<double> lo = b_min, hi = b_max;
                if (relative) lo = (*b_max - *b_min) * (lower / 100.0) + *b_min, hi = (*b_max - *b_min) * (upper / 100.0) + *b_min;
                loamwerk::transform::scale_intensity_range(v, a_min, a_max, lo, hi, clip);
            });
            return float_result(std::move(f));
        },
        nb::arg("arr"), nb::arg("lower"), nb::arg("upper"), nb::arg("b_min") = nb::none(), nb::arg("b_max") = nb::none(),
        nb::arg("clip") = false, nb::arg("relative") = false, nb::arg("channel_wise") = false,
        nb::sig("def transform_scale_intensity_range_percentiles(arr: numpy.typing.NDArray, lower: float, upper: float, "
                "b_min: float | None = None, b_max: float | None = None, clip: bool = False, relative: bool = False, "
                "channel_wise: bool = False) -> tuple[numpy.typing.NDArray[numpy.float32], dict]"),
        "MONAI's ScaleIntensityRangePercentiles: the lower and upper percentiles (numpy's linear interpolation) "
        "mapped onto [b_min, b_max], or with relative onto the same fractions of it. Returns (float32 array, {}).");
    m.def(
        "transform_adjust_contrast",
        [](const AnyArray& arr, double gamma) {
            if (!(gamma > 0)) throw nb::value_error("transform_adjust_contrast: gamma must be positive");
            Floats f = floats_of(arr, "transform_adjust_contrast");
            over_channels(f, false, [&](std::span<float> v) { loamwerk::transform::adjust_contrast(v, gamma); });
            return float_result(std::move(f));
        },
        nb::arg("arr"), nb::arg("gamma"),
        nb::sig("def transform_adjust_contrast(arr: numpy.typing.NDArray, gamma: float) -> "
                "tuple[numpy.typing.NDArray[numpy.float32], dict]"),
        "MONAI's AdjustContrast: ((x - min) / (range + 1e-7)) ** gamma * range + min over the whole array. "
        "Returns (float32 array, {}).");
    m.def(
        "transform_as_discrete",
        [](const AnyArray& arr, double threshold) {
            Floats f = floats_of(arr, "transform_as_discrete");
            over_channels(f, false, [&](std::span<float> v) {
                for (float& x : v) x = x >= threshold ? 1.0f : 0.0f;
            });
            return float_result(std::move(f));
        },
        nb::arg("arr"), nb::arg("threshold") = 0.5,
        nb::sig("def transform_as_discrete(arr: numpy.typing.NDArray, threshold: float = 0.5) -> "
                "tuple[numpy.typing.NDArray[numpy.float32], dict]"),
        "MONAI's AsDiscrete(threshold=t): 1 where x >= t, else 0, as float32. Returns (float32 array, {}).");
    m.def(
        "transform_argmax",
        [](const AnyArray& arr) {
            if (arr.ndim() != 4) throw nb::value_error("transform_argmax: array must be [c, z, y, x]");
            Floats f = floats_of(arr, "transform_argmax");
            std::vector<float> out(f.per_channel, 0.0f);
            without_gil([&] {
                std::vector<float> best(f.values.begin(), f.values.begin() + std::ptrdiff_t(f.per_channel));
                for (std::size_t c = 1; c < f.channels; ++c)
                    for (std::size_t i = 0; i < f.per_channel; ++i) {
                        const float x = f.values[c * f.per_channel + i];
                        // The first of equal maxima wins; NaN counts as the largest, as torch.argmax.
                        if (x > best[i] || (std::isnan(x) && !std::isnan(best[i])))
                            best[i] = x, out[i] = float(c);
                    }
            });
            const std::vector<std::size_t> shape{1, f.shape[1], f.shape[2], f.shape[3]};
            return nb::make_tuple(to_array(std::move(out), shape, nb::dtype<float>()), nb::dict());
        },
        nb::arg("arr"),
        nb::sig("def transform_argmax(arr: numpy.typing.NDArray) -> tuple[numpy.typing.NDArray[numpy.float32], dict]"),
        "MONAI's AsDiscrete(argmax=True): the index of the largest channel of a [c, z, y, x] array (the first of "
        "equal ones), as float32 of shape [1, z, y, x]. Returns (array, {}).");
}

constexpr const char* kSig = "(arr: numpy.typing.NDArray, affine: list[float], out_shape: list[int]) -> "
                             "tuple[numpy.typing.NDArray[numpy.float32], dict]";
}  // namespace

// -- warps: resampling through affine maps ------------------------------------------------------

loamwerk::transform::Padding padding_of(const std::string& name, const char* fn) {
    using loamwerk::transform::Padding;
    if (name == "zeros") return Padding::kZeros;
    if (name == "border") return Padding::kBorder;
    if (name == "reflection") return Padding::kReflection;
    throw nb::value_error((std::string(fn) + ": padding_mode must be 'zeros', 'border' or 'reflection', not '" + name + "'").c_str());
}

bool nearest_mode(const std::string& mode, const char* fn) {
    if (mode != "bilinear" && mode != "nearest")
        throw nb::value_error((std::string(fn) + ": mode must be 'bilinear' or 'nearest', not '" + mode + "'").c_str());
    return mode == "nearest";
}

std::vector<double> finite_values(const std::optional<std::vector<double>>& values, std::size_t most, const char* what,
                                  const char* fn) {
    if (!values) return {};
    if (values->size() > most)
        throw nb::value_error((std::string(fn) + ": " + what + " takes at most " + std::to_string(most) + " values").c_str());
    for (const double v : *values)
        if (!std::isfinite(v)) throw nb::value_error((std::string(fn) + ": " + what + " must be finite").c_str());
    return *values;
}

std::array<double, 16> affine_or_identity(const OptAffine& affine, const char* fn) {
    std::array<double, 16> a{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    if (!affine) return a;
    if (affine->size() != 16) throw nb::value_error((std::string(fn) + ": affine must have 16 elements").c_str());
    for (const double v : *affine)
        if (!std::isfinite(v)) throw nb::value_error((std::string(fn) + ": affine must be finite").c_str());
    std::copy(affine->begin(), affine->end(), a.begin());
    return a;
}

// Every channel of `f` warped through `m` to `out`.
std::vector<float> warp_channels(const Floats& f, const std::array<std::size_t, 3>& in, const std::array<std::size_t, 3>& out,
                                 const loamwerk::transform::VoxelMap& m, bool nearest, loamwerk::transform::Padding padding,
                                 const char* fn) {
    for (const double v : m)
        if (!(std::fabs(v) < 1e12)) throw nb::value_error((std::string(fn) + ": the transform maps voxels out of all proportion (a scale or matrix entry too large)").c_str());
    check_output({f.channels, out[0], out[1], out[2]}, sizeof(float), arr_bytes(f), fn);
    const std::size_t per_out = out[0] * out[1] * out[2];
    std::vector<float> result(f.channels * per_out);
    without_gil([&] {
        for (std::size_t c = 0; c < f.channels; ++c) {
            loamwerk::transform::warp(f.channel(c), in, out, m, nearest, padding, {result.data() + c * per_out, per_out});
        }
    });
    return result;
}

std::array<std::size_t, 3> output_shape(const std::optional<std::vector<long long>>& size, const std::array<std::size_t, 3>& in,
                                        const char* what, const char* fn) {
    if (!size) return in;
    if (size->size() != 3) throw nb::value_error((std::string(fn) + ": " + what + " must have 3 values (z, y, x)").c_str());
    std::array<std::size_t, 3> out{};
    for (int d = 0; d < 3; ++d) {
        if ((*size)[d] > 0x7FFFFFFF) throw nb::value_error((std::string(fn) + ": " + what + " is too large").c_str());
        out[d] = (*size)[d] < 1 ? in[d] : std::size_t((*size)[d]);  // below 1 keeps the axis, as MONAI
    }
    return out;
}

void register_warps(nb::module_& m) {
    m.def(
        "transform_affine",
        [](const AnyArray& arr, OptAffine affine, std::optional<std::vector<double>> rotate,
           std::optional<std::vector<double>> shear, std::optional<std::vector<double>> translate,
           std::optional<std::vector<double>> scale, std::optional<std::vector<double>> matrix,
           std::optional<std::vector<long long>> spatial_size, const std::string& mode, const std::string& padding_mode) {
            const char* fn = "transform_affine";
            const auto a = affine_or_identity(affine, fn);
            const bool nearest = nearest_mode(mode, fn);
            const auto padding = padding_of(padding_mode, fn);
            std::array<double, 16> centred;
            if (matrix) {
                if (rotate || shear || translate || scale)
                    throw nb::value_error("transform_affine: give either matrix or rotate/shear/translate/scale, not both");
                const auto mv = finite_values(matrix, 16, "matrix", fn);
                if (mv.size() != 16) throw nb::value_error("transform_affine: matrix must have 16 values (4x4, row by row)");
                std::copy(mv.begin(), mv.end(), centred.begin());
            } else {
                centred = loamwerk::transform::centred_affine(finite_values(rotate, 3, "rotate", fn), finite_values(shear, 6, "shear", fn),
                                                              finite_values(translate, 3, "translate", fn),
                                                              finite_values(scale, 3, "scale", fn));
            }
            Floats f = floats_view(arr, fn);
            const auto in = spatial_shape(f);
            for (const std::size_t n : in)
                if (n == 0) throw nb::value_error("transform_affine: the array is empty");
            const auto out = output_shape(spatial_size, in, "spatial_size", fn);
            const auto map = loamwerk::transform::centred_voxel_map(centred, in, out);
            auto result = warp_channels(f, in, out, map, nearest, padding, fn);
            nb::tuple t = spatial_result(std::move(result), f, out, loamwerk::transform::warped_affine(a.data(), map).data());
            nb::dict meta = nb::cast<nb::dict>(t[1]);
            nb::list matrix_list;
            for (const double v : loamwerk::transform::array_matrix(map)) matrix_list.append(v);
            meta["matrix"] = matrix_list;
            return t;
        },
        nb::arg("arr"), nb::arg("affine") = nb::none(), nb::kw_only(), nb::arg("rotate") = nb::none(),
        nb::arg("shear") = nb::none(), nb::arg("translate") = nb::none(), nb::arg("scale") = nb::none(),
        nb::arg("matrix") = nb::none(), nb::arg("spatial_size") = nb::none(), nb::arg("mode") = "bilinear",
        nb::arg("padding_mode") = "reflection",
        nb::sig("def transform_affine(arr: numpy.typing.NDArray, affine: Sequence[float] | None = None, *, "
                "rotate: Sequence[float] | None = None, shear: Sequence[float] | None = None, "
                "translate: Sequence[float] | None = None, scale: Sequence[float] | None = None, "
                "matrix: Sequence[float] | None = None, spatial_size: Sequence[int] | None = None, "
                "mode: str = 'bilinear', padding_mode: str = 'reflection') -> "
                "tuple[numpy.typing.NDArray[numpy.float32], dict]"),
        "MONAI's Affine on the same array: R . Sh . T . S about the volume's centre, each output voxel "
        "sampled backwards, trilinear ('bilinear') or nearest, reflection padding by default. Returns "
        "(float32 array, {affine, matrix}).");
    m.def(
        "transform_resample_to_reference",
        [](const AnyArray& arr, std::vector<double> affine, std::vector<long long> reference_shape,
           std::vector<double> reference_affine, const std::string& mode, const std::string& padding_mode) {
            const char* fn = "transform_resample_to_reference";
            const auto a = affine_or_identity(affine, fn);
            if (reference_affine.size() != 16) throw nb::value_error("transform_resample_to_reference: reference_affine must have 16 elements");
            const auto r = affine_or_identity(reference_affine, fn);
            const bool nearest = nearest_mode(mode, fn);
            const auto padding = padding_of(padding_mode, fn);
            if (reference_shape.size() != 3) throw nb::value_error("transform_resample_to_reference: reference_shape must have 3 values (z, y, x)");
            std::array<std::size_t, 3> out{};
            for (int d = 0; d < 3; ++d) {
                if (reference_shape[d] < 1 || reference_shape[d] > 0x7FFFFFFF)
                    throw nb::value_error("transform_resample_to_reference: reference_shape must be three positive sizes");
                out[d] = std::size_t(reference_shape[d]);
            }
            Floats f = floats_view(arr, fn);
            const auto in = spatial_shape(f);
            for (const std::size_t n : in)
                if (n == 0) throw nb::value_error("transform_resample_to_reference: the array is empty");
            loamwerk::transform::VoxelMap map;
            try {
                map = loamwerk::transform::reference_voxel_map(a.data(), r.data());
            } catch (const std::invalid_argument&) {
                throw nb::value_error("transform_resample_to_reference: the array's affine cannot be inverted");
            }
            return spatial_result(warp_channels(f, in, out, map, nearest, padding, fn), f, out, r.data());
        },
        nb::arg("arr"), nb::arg("affine"), nb::arg("reference_shape"), nb::arg("reference_affine"),
        nb::arg("mode") = "bilinear", nb::arg("padding_mode") = "border",
        nb::sig("def transform_resample_to_reference(arr: numpy.typing.NDArray, affine: Sequence[float], "
                "reference_shape: Sequence[int], reference_affine: Sequence[float], mode: str = 'bilinear', "
                "padding_mode: str = 'border') -> tuple[numpy.typing.NDArray[numpy.float32], dict]"),
        "MONAI's ResampleToMatch: the volume resampled onto a reference grid (its shape and affine), each "
        "reference voxel centre sampled where it lies in the volume. Returns (float32 array, {affine}).");
    m.def(
        "transform_resample_separate_z",
        [](const AnyArray& arr, std::vector<double> affine, std::vector<double> spacing, bool is_seg,
           std::optional<int> order, int order_z, std::optional<bool> force_separate_z, double anisotropy_threshold) {
            const char* fn = "transform_resample_separate_z";
            const auto a = affine_or_identity(affine, fn);
            if (spacing.size() == 1) spacing = {spacing[0], spacing[0], spacing[0]};
            if (spacing.size() != 3) throw nb::value_error("transform_resample_separate_z: spacing must be one value or three (z, y, x)");
            const int ord = order.value_or(is_seg ? 1 : 3);
            if (is_seg ? (ord != 0 && ord != 1) : (ord != 0 && ord != 1 && ord != 3))
                throw nb::value_error(is_seg ? "transform_resample_separate_z: order must be 0 or 1 for a label map"
                                             : "transform_resample_separate_z: order must be 0, 1 or 3");
            if (order_z != 0 && (is_seg || order_z != 1))
                throw nb::value_error(is_seg ? "transform_resample_separate_z: order_z must be 0 for a label map"
                                             : "transform_resample_separate_z: order_z must be 0 or 1");
            if (!(anisotropy_threshold > 0)) throw nb::value_error("transform_resample_separate_z: anisotropy_threshold must be positive");
            const LabelVolumes v = label_volumes(arr, fn);
            const std::array<std::size_t, 3> in{v.shape.nz, v.shape.ny, v.shape.nx};
            double current[3], target[3];
            std::array<std::size_t, 3> out{};
            for (int d = 0; d < 3; ++d) {
                current[d] = axis_spacing(a, 2 - d);
                target[d] = spacing[d];
                if (!(current[d] > 0) || !(target[d] > 0) || !std::isfinite(target[d]) || in[d] == 0)
                    throw nb::value_error("transform_resample_separate_z: spacings and sizes must be positive");
                out[d] = loamwerk::transform::nnunet_size(current[d], target[d], in[d]);
                if (out[d] == 0) throw nb::value_error("transform_resample_separate_z: the output would be empty or too large");
            }
            const auto sep = loamwerk::transform::separate_axis(current, target, force_separate_z, anisotropy_threshold);
            const int axis = sep.separate ? sep.axis : -1;
            // nnU-Net's geometry is the half-pixel one: output voxel o sits at input (o + 0.5) n / m - 0.5.
            std::array<double, 16> b = a;
            for (int d = 0; d < 3; ++d) {
                const double s = double(in[d]) / double(out[d]);
                const int column = 2 - d;
                for (int k = 0; k < 4; ++k) {
                    b[4 * column + k] = a[4 * column + k] * s;
                    b[12 + k] += a[4 * column + k] * (0.5 * s - 0.5);
                }
            }
            check_output({v.channels, out[0], out[1], out[2]}, is_seg ? arr.itemsize() : sizeof(float), arr.nbytes(), fn);
            const std::size_t per_in = in[0] * in[1] * in[2], per_out = out[0] * out[1] * out[2];
            nb::dict meta;
            meta["affine"] = affine_list(b.data());
            meta["separate_axis"] = axis >= 0 ? nb::object(nb::int_(axis)) : nb::none();
            std::vector<std::size_t> shape;
            if (arr.ndim() == 4) shape.push_back(v.channels);
            shape.insert(shape.end(), out.begin(), out.end());
            if (!is_seg) {
                Floats f = floats_view(arr, fn);
                std::vector<float> result(v.channels * per_out);
                without_gil([&] {
                    for (std::size_t c = 0; c < v.channels; ++c) {
                        const auto r = loamwerk::transform::resize_separate(f.channel(c), in, out, axis, ord, order_z);
                        std::copy(r.begin(), r.end(), result.begin() + std::ptrdiff_t(c * per_out));
                    }
                });
                return nb::make_tuple(to_array(std::move(result), shape, nb::dtype<float>()), meta);
            }
            const bool is_bool = arr.dtype() == nb::dtype<bool>();
            return by_label_dtype(arr, fn, [&]<class T>() {
                const T* p = static_cast<const T*>(arr.data());
                std::vector<T> result(v.channels * per_out);
                without_gil([&] {
                    for (std::size_t c = 0; c < v.channels; ++c) {
                        const std::vector<std::int64_t> labels(p + c * per_in, p + (c + 1) * per_in);
                        const auto r = loamwerk::transform::resize_separate_labels(labels, in, out, axis, ord);
                        for (std::size_t i = 0; i < per_out; ++i) result[c * per_out + i] = T(r[i]);
                    }
                });
                nb::object array = is_bool ? nb::cast(to_array(std::move(result), shape, nb::dtype<bool>()))
                                           : nb::cast(to_array(std::move(result), shape, nb::dtype<T>()));
                return nb::make_tuple(array, meta);
            });
        },
        nb::arg("arr"), nb::arg("affine"), nb::arg("spacing"), nb::arg("is_seg") = false, nb::arg("order") = nb::none(),
        nb::arg("order_z") = 0, nb::arg("force_separate_z") = nb::none(), nb::arg("anisotropy_threshold") = 3.0,
        nb::sig("def transform_resample_separate_z(arr: numpy.typing.NDArray, affine: Sequence[float], "
                "spacing: Sequence[float], is_seg: bool = False, order: int | None = None, order_z: int = 0, "
                "force_separate_z: bool | None = None, anisotropy_threshold: float = 3.0) -> "
                "tuple[numpy.typing.NDArray, dict]"),
        "nnU-Net v2's resampling to `spacing`: round(n * old / new) voxels per axis; when the coarsest axis "
        "is more than anisotropy_threshold times the finest, planes across it are resized in 2-D (cubic) "
        "and it on its own (nearest); label maps label by label (linear indicators). Returns (array, "
        "{affine, separate_axis}).");
}

void register_transform(nb::module_& m) {
    register_rearrangements(m);
    register_intensities(m);
    register_warps(m);
    m.def("transform_connected_components", &connected_components, nb::arg("arr"), nb::arg("connectivity") = 3,
          nb::sig("def transform_connected_components(arr: numpy.typing.NDArray, connectivity: int = 3) -> "
                  "tuple[numpy.typing.NDArray[numpy.int32], dict]"),
          "Connected components of a label map, as scikit-image's measure.label(background=0): voxels of the "
          "same nonzero value joined within `connectivity` orthogonal hops (1 faces, 2 edges, 3 corners: the "
          "default, full connectivity), numbered from 1 in C order of their first voxel. [c, z, y, x] arrays "
          "are labelled channel by channel. Returns (int32 labels, {count}).");
    m.def(
        "transform_keep_largest_cc",
        [](const AnyArray& arr, std::optional<std::vector<std::int64_t>> applied_labels, bool independent,
           int connectivity, long long num_components) {
            const char* fn = "transform_keep_largest_cc";
            connectivity_of(connectivity, fn);
            if (num_components < 1) throw nb::value_error("transform_keep_largest_cc: num_components must be at least 1");
            const auto applied = applied_of(applied_labels);
            return change_labels(arr, fn, [&]<class T>(std::span<T> values, Shape3 shape) {
                loamwerk::transform::keep_largest_components<T>(values, shape, applied, independent, connectivity,
                                                                std::size_t(num_components));
            });
        },
        nb::arg("arr"), nb::arg("applied_labels") = nb::none(), nb::arg("independent") = true,
        nb::arg("connectivity") = 3, nb::arg("num_components") = 1,
        nb::sig("def transform_keep_largest_cc(arr: numpy.typing.NDArray, applied_labels: Sequence[int] | None = None, "
                "independent: bool = True, connectivity: int = 3, num_components: int = 1) -> "
                "tuple[numpy.typing.NDArray, dict]"),
        "MONAI's KeepLargestConnectedComponent on a label map: for each applied label (every nonzero one by "
        "default) its `num_components` largest components stay and its other voxels become 0; with "
        "independent=False the applied labels are one foreground. Components use full connectivity by "
        "default (MONAI's connectivity=None). Ties go to the component met first in C order. Returns "
        "(array of the input's dtype, {}).");
    m.def(
        "transform_fill_holes",
        [](const AnyArray& arr, std::optional<std::vector<std::int64_t>> applied_labels, int connectivity) {
            const char* fn = "transform_fill_holes";
            connectivity_of(connectivity, fn);
            const auto applied = applied_of(applied_labels);
            return change_labels(arr, fn, [&]<class T>(std::span<T> values, Shape3 shape) {
                loamwerk::transform::fill_holes<T>(values, shape, applied, connectivity);
            });
        },
        nb::arg("arr"), nb::arg("applied_labels") = nb::none(), nb::arg("connectivity") = 3,
        nb::sig("def transform_fill_holes(arr: numpy.typing.NDArray, applied_labels: Sequence[int] | None = None, "
                "connectivity: int = 3) -> tuple[numpy.typing.NDArray, dict]"),
        "MONAI's FillHoles on a label map: for each applied label in ascending order (every nonzero one by "
        "default), voxels that cannot reach the volume's border through voxels of other values within "
        "`connectivity` hops (full by default, as MONAI's connectivity=None) take that label. Returns (array "
        "of the input's dtype, {}).");
    m.def(
        "transform_remove_small_objects",
        [](const AnyArray& arr, long long min_size, int connectivity) {
            const char* fn = "transform_remove_small_objects";
            connectivity_of(connectivity, fn);
            if (min_size < 0) throw nb::value_error("transform_remove_small_objects: min_size must not be negative");
            return change_labels(arr, fn, [&]<class T>(std::span<T> values, Shape3 shape) {
                loamwerk::transform::remove_small_objects<T>(values, shape, std::size_t(min_size), connectivity);
            });
        },
        nb::arg("arr"), nb::arg("min_size") = 64, nb::arg("connectivity") = 1,
        nb::sig("def transform_remove_small_objects(arr: numpy.typing.NDArray, min_size: int = 64, "
                "connectivity: int = 1) -> tuple[numpy.typing.NDArray, dict]"),
        "MONAI's RemoveSmallObjects: components of nonzero voxels (any labels together, `connectivity` 1 = "
        "6-connected by default) smaller than `min_size` voxels become 0. Returns (array of the input's "
        "dtype, {}).");
    m.def(
        "transform_resample_cubic",
        [](AnyArray arr, std::vector<double> affine, std::vector<long long> out_shape) {
            return run(arr, affine, out_shape, Kernel::kCubic, "resample_cubic", false);
        },
        nb::arg("arr"), nb::arg("affine"), nb::arg("out_shape"),
        nb::sig((std::string("def transform_resample_cubic") + kSig).c_str()),
        "Cubic B-spline resampling of a [D,H,W] array to out_shape (half-pixel centres, edge padding,\n"
        "double-precision prefilter, values clamped to the input range). Returns (float32 array, {affine}).");
    m.def(
        "transform_resample_grid_sample",
        [](AnyArray arr, std::vector<double> affine, std::vector<long long> out_shape) {
            return run(arr, affine, out_shape, Kernel::kTrilinear, "resample_grid_sample", false);
        },
        nb::arg("arr"), nb::arg("affine"), nb::arg("out_shape"),
        nb::sig((std::string("def transform_resample_grid_sample") + kSig).c_str()),
        "Trilinear resampling with align_corners=False and border clamping (PyTorch's trilinear\n"
        "interpolate convention). Returns (float32 array, {affine}).");
    m.def(
        "transform_resample_nearest",
        [](AnyArray arr, std::vector<double> affine, std::vector<long long> out_shape) {
            return run(arr, affine, out_shape, Kernel::kNearest, "resample_nearest", true);
        },
        nb::arg("arr"), nb::arg("affine"), nb::arg("out_shape"),
        nb::sig((std::string("def transform_resample_nearest") + kSig).c_str()),
        "Nearest-neighbour resampling with half-pixel centres (for label maps). Returns (float32 array,\n"
        "{affine}).");
    m.def(
        "transform_resample",
        [](AnyArray arr, std::vector<double> affine, std::vector<long long> out_shape, const std::string& backend) {
            out_dims(out_shape, "resample");
            if (backend != "skimage" && backend != "torch" && backend != "itk")
                throw std::runtime_error("resample: backend must be 'skimage', 'torch', or 'itk'");
            return run(arr, affine, out_shape, kernel_for_convention(backend), "resample", false);
        },
        nb::arg("arr"), nb::arg("affine"), nb::arg("out_shape"), nb::arg("backend") = "torch",
        nb::sig("def transform_resample(arr: numpy.typing.NDArray, affine: list[float], out_shape: list[int], "
                "backend: str = 'torch') -> tuple[numpy.typing.NDArray[numpy.float32], dict]"),
        "Resampling by convention: 'skimage' (cubic B-spline), 'torch' or 'itk' (trilinear).");
}

}  // namespace loam::bind
