// Resampling through an affine map of voxel coordinates, in the conventions of torch's
// grid_sample with align_corners False (what MONAI's Affine and ResampleToMatch run on), and the
// matrices those two transforms build.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace loamwerk::transform {

enum class Padding { kZeros, kBorder, kReflection };

using Shape = std::array<std::size_t, 3>;  // z, y, x
using VoxelMap = std::array<double, 12>;   // row-major 3x4: output voxel (x, y, z, 1) to input voxel (x, y, z)

// The [z, y, x] volume `v` of shape `in` sampled at m · o for every output voxel o of shape `out`:
// trilinear (each corner outside the volume counting as 0 with kZeros) or the nearest voxel
// (halves to even). kBorder clamps coordinates into [0, n - 1]; kReflection mirrors them about
// -0.5 and n - 0.5, then clamps. Output planes run on threads; each voxel is computed alone, so
// the bits do not depend on the thread count. `result` holds the output's voxels.
void warp(std::span<const float> v, const Shape& in, const Shape& out, const VoxelMap& m, bool nearest, Padding padding,
          std::span<float> result);

// MONAI's Affine matrix over array axes (0, 1, 2), row-major 4x4: R · Sh · T · S with R the
// intrinsic rotations about axes 0, 1, 2 in turn (radians; fewer angles rotate about fewer axes),
// Sh the six shear coefficients composed one elementary shear at a time in their order (a
// volume-preserving shear), T the translation and S the scale. Empty spans leave their factor out.
std::array<double, 16> centred_affine(std::span<const double> rotate, std::span<const double> shear,
                                      std::span<const double> translate, std::span<const double> scale);

// The voxel map of a centred array-axis matrix (MONAI's Affine): input = M (o - c_out) + c_in with
// c = (n - 1) / 2, and grid_sample's normalisation by max(n, 2) on axes of one voxel.
VoxelMap centred_voxel_map(const std::array<double, 16>& centred, const Shape& in, const Shape& out);

// The voxel map that samples a volume with voxel-to-patient `affine` on the grid of `reference`
// (both column-major): inverse(affine) · reference. Throws std::invalid_argument when `affine`
// cannot be inverted.
VoxelMap reference_voxel_map(const double affine[16], const double reference[16]);

// The same map over array axes (z, y, x), row-major 4x4: MONAI's index-space transform.
std::array<double, 16> array_matrix(const VoxelMap& m);

// The voxel-to-patient affine of the warped volume: affine · m (column-major in and out).
std::array<double, 16> warped_affine(const double affine[16], const VoxelMap& m);

}  // namespace loamwerk::transform
