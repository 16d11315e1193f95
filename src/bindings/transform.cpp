// Shape resampling of 3-D arrays that carry a voxel-to-patient affine.
#include <cstring>
#include <stdexcept>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "transform/labels.hpp"
#include "transform/resample.hpp"

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

nb::tuple to_python(TransformArray&& t) {
    nb::dict meta;
    nb::list affine;
    for (double v : t.affine) affine.append(v);
    meta["affine"] = affine;
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

constexpr const char* kSig = "(arr: numpy.typing.NDArray, affine: list[float], out_shape: list[int]) -> "
                             "tuple[numpy.typing.NDArray[numpy.float32], dict]";
}  // namespace

void register_transform(nb::module_& m) {
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
