// Spatial autocorrelation of ROI intensities: Moran's I and Geary's C with inverse-distance
// weights over every pair of voxels. Small ROIs sum the pairs directly (built to vectorise:
// the sums' order may change, not their terms); larger ones sum them as convolutions of the
// mask and the deviations with the weights, through fast Fourier transforms of the ROI's box.
#pragma once

#include <cstdint>
#include <vector>

#include "radiomics/radiomics.hpp"

namespace loamwerk::radiomics {

struct Autocorrelation {
    double moran = 0, geary = 0;
};

// Over the voxels of roi (0/1) of image; NaN for fewer than two voxels, equal intensities, or a
// box whose transforms would pass the memory limit.
Autocorrelation autocorrelation(const std::vector<double>& image, const std::vector<std::uint8_t>& roi,
                                const Dims& dims, const Spacing& spacing);

}  // namespace loamwerk::radiomics
