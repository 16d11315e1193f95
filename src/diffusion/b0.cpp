#include "diffusion/b0.hpp"

#include <cmath>

namespace loamwerk::diffusion {

namespace {
bool has_direction(const std::array<double, 3>& g) { return std::fabs(g[0]) + std::fabs(g[1]) + std::fabs(g[2]) > 1e-6; }
}  // namespace

std::vector<VolumeKind> classify_volumes(const std::vector<double>& bvals,
                                         const std::vector<std::array<double, 3>>* bvecs, double threshold,
                                         const std::vector<bool>* vendor_isotropic) {
    const std::size_t n = bvals.size();
    const bool vectors = bvecs && bvecs->size() == n;
    bool directions = false;
    for (std::size_t i = 0; vectors && i < n; ++i) directions = directions || (bvals[i] > threshold && has_direction((*bvecs)[i]));
    std::vector<VolumeKind> out(n, VolumeKind::kWeighted);
    for (std::size_t i = 0; i < n; ++i) {
        const bool flagged = vendor_isotropic && i < vendor_isotropic->size() && (*vendor_isotropic)[i];
        if (!(bvals[i] > threshold)) out[i] = VolumeKind::kB0;  // NaN too: no weighting stated
        else if (flagged) out[i] = VolumeKind::kDerived;
        else if (vectors && !has_direction((*bvecs)[i])) out[i] = directions ? VolumeKind::kDerived : VolumeKind::kB0;
    }
    return out;
}

}  // namespace loamwerk::diffusion
