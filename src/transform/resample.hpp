// The transform array model and shape resampling: cubic B-spline (double prefilter), trilinear
// with half-pixel centres and border clamping, and nearest, to match the reference conventions
// to the bit.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"

namespace loamwerk::transform {

enum DType : std::uint8_t { kUint8 = 0, kUint16 = 1, kInt16 = 2, kFloat32 = 3 };

struct TransformArray {
    ByteVector voxels;  // x fastest: columns, then rows, then slices
    const std::uint8_t* external = nullptr;  // the caller's voxels, used instead of `voxels` when set
    std::uint32_t nx = 0, ny = 0, nz = 0, channels = 1;
    DType dtype = kFloat32;
    double affine[16] = {};  // column-major voxel-to-patient
    bool label = false;
    std::size_t count() const { return std::size_t(nx) * ny * nz; }
    const std::uint8_t* data() const { return external ? external : voxels.data(); }
};

enum class Kernel { kCubic, kTrilinear, kNearest };

// Kernels over float32 x-fastest volumes; 0 on success, nonzero for invalid sizes or memory.
int resample_cubic(const float* src, std::uint32_t nx, std::uint32_t ny, std::uint32_t nz, float* dst,
                   std::uint32_t ox, std::uint32_t oy, std::uint32_t oz);
// The cubic kernel without resample_cubic's two-voxel minimum: axes of one voxel are extended
// like the others, and one plane resized to one plane is a 2-D resize (skimage's on a 2-D image).
int resize_cubic(const float* src, std::uint32_t nx, std::uint32_t ny, std::uint32_t nz, float* dst, std::uint32_t ox,
                 std::uint32_t oy, std::uint32_t oz);
int resample_trilinear(const float* src, std::uint32_t nx, std::uint32_t ny, std::uint32_t nz, float* dst,
                       std::uint32_t ox, std::uint32_t oy, std::uint32_t oz);
int resample_nearest(const float* src, std::uint32_t nx, std::uint32_t ny, std::uint32_t nz, float* dst,
                     std::uint32_t ox, std::uint32_t oy, std::uint32_t oz);

// PIL's Image.resize of a float ("F") image: separable, horizontal pass first, each output
// sample a normalised weighted sum over a support widened by the downscale factor (so
// downscaling is antialiased); `bicubic` picks the cubic filter (a = -0.5), else the triangle.
// Sums in double, stored as float32, as Pillow's resampler does for float images.
void pil_resize(const float* src, std::uint32_t width, std::uint32_t height, float* dst, std::uint32_t out_width,
                std::uint32_t out_height, bool bicubic);

// The driver: checks, float32 conversion, the kernel, the half-pixel affine update. Throws
// std::runtime_error with the "transform::resample: ..." messages.
TransformArray resample(const TransformArray& src, std::uint32_t ox, std::uint32_t oy, std::uint32_t oz, Kernel kernel);
// "skimage" (cubic), "torch" and "itk" (trilinear); throws "transform::resample: unknown convention".
Kernel kernel_for_convention(std::string_view name);

}  // namespace loamwerk::transform
