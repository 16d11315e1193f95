// Which volumes of a diffusion series are b = 0 references, which are diffusion-weighted, and
// which are the scanner's derived isotropic (trace) images.
#pragma once

#include <array>
#include <vector>

namespace loamwerk::diffusion {

// Volumes at or below this b-value (s/mm^2) count as b = 0: "b = 0" volumes are acquired with a
// small b-value (the crusher gradients), which scanners report as 5 to 10 or so.
constexpr double kDefaultB0Threshold = 50;

enum class VolumeKind : unsigned char { kB0, kWeighted, kDerived };

// By dcm2niix's rules: a volume with b at or below the threshold is a b = 0 volume; a weighted
// volume without a gradient direction is the scanner's isotropic image when the series has
// weighted volumes with directions (or the vendor marks it isotropic), and otherwise a b = 0
// volume whose b-value was reported without its direction. Without `bvecs` only the b-values count.
std::vector<VolumeKind> classify_volumes(const std::vector<double>& bvals,
                                         const std::vector<std::array<double, 3>>* bvecs, double threshold,
                                         const std::vector<bool>* vendor_isotropic = nullptr);

}  // namespace loamwerk::diffusion
