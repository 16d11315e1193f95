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

}  // namespace loamwerk::diffusion
