// Shape resampling of 3-D arrays that carry a voxel-to-patient affine.
#include <cstring>
#include <stdexcept>

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
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

constexpr const char* kSig = "(arr: numpy.typing.NDArray, affine: list[float], out_shape: list[int]) -> "
                             "tuple[numpy.typing.NDArray[numpy.float32], dict]";
}  // namespace

void register_transform(nb::module_& m) {
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
