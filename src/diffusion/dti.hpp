// Diffusion tensor imaging: the tensor fitted per voxel (ordinary, weighted or non-linear least
// squares on the log signal, in DIPY's conventions), its eigen-decomposition and scalar maps, a
// brain mask by median filtering and Otsu's threshold.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace loamwerk::diffusion {

enum class TensorFitMethod { kOls, kWls, kNlls };

// Tensor elements in DIPY's lower-triangular order: Dxx, Dxy, Dyy, Dxz, Dyz, Dzz.
using Tensor6 = std::array<double, 6>;

struct Eigen3 {
    std::array<double, 3> values{};                 // descending
    std::array<std::array<double, 3>, 3> vectors{};  // vectors[k] belongs to values[k]
};

// Eigen-decomposition of a symmetric tensor (Jacobi rotations); eigenvalues sorted descending
// and clipped below at min_value.
Eigen3 tensor_eigen(const Tensor6& d, double min_value);

struct TensorScalars {
    double fa, md, ad, rd, mode;
};
TensorScalars tensor_scalars(const std::array<double, 3>& values);

struct DtiMaps {
    std::vector<float> fa, md, ad, rd, mode, s0;  // one value a voxel
    std::vector<float> rgb;                       // 3 a voxel: |principal eigenvector| * FA
    std::vector<float> tensor;                    // 6 a voxel, DIPY's order, from the clipped eigenvalues
    std::vector<float> evals, evecs;              // 3 and 9 a voxel; evecs[3 r + k]: row r of vector k
    std::size_t fitted = 0;
};

// dwi [volumes, voxels]; b-values in s/mm2 and unit b-vectors (3 a volume); signals below
// min_signal are raised to it; mask (nonzero = fit) optional. Throws std::invalid_argument for a
// gradient table that cannot determine a tensor.
DtiMaps fit_tensors(const float* dwi, std::size_t volumes, std::size_t voxels, const double* bvals,
                    const double* bvecs, const std::uint8_t* mask, TensorFitMethod method, double min_signal);

// DIPY's median_otsu: `passes` median filters of radius `radius` (boundaries reflected), then
// Otsu's threshold on a 256-bin histogram; the filtered volume is returned in `filtered`.
std::vector<std::uint8_t> median_otsu(const double* volume, std::size_t nz, std::size_t ny, std::size_t nx,
                                      int radius, int passes, std::vector<double>* filtered = nullptr);

struct TrackOptions {
    std::array<double, 3> step_vox{0.5, 0.5, 0.5};  // the step along x, y, z in voxels (the step in mm
                                                   // over each voxel size, as DIPY scales it)
    double max_angle_deg = 60;                      // a neighbour's direction further off is not used
    double fa_threshold = 0.1;                      // stop where the interpolated FA is not above it
    std::size_t max_steps = 500;                    // each way from the seed
};

// Deterministic (EuDX) tracking along one direction a voxel, as DIPY's LocalTracking with a peaks
// direction getter: from each seed (voxel coordinates x, y, z) along the seed voxel's direction and
// its opposite; at each point the directions of the 8 surrounding voxels within max_angle of the
// last step are averaged with trilinear weights, signs aligned, and tracking stops when those
// weights sum below 0.5, where FA falls to the threshold (that point kept), or outside the volume.
// directions: [Z, Y, X, 3] unit vectors (x, y, z); fa: [Z, Y, X]; stop_mask, when given, replaces
// the FA test (nonzero = go on, nearest voxel). Voxels with FA 0 give no direction. One streamline a
// seed: empty when the seed voxel has no direction, the seed alone where tracking stops at once.
std::vector<std::vector<std::array<double, 3>>> track(const float* directions, const float* fa,
                                                       const std::uint8_t* stop_mask, std::size_t nz, std::size_t ny,
                                                       std::size_t nx, const std::vector<std::array<double, 3>>& seeds,
                                                       const TrackOptions& options);

}  // namespace loamwerk::diffusion
