// Convolutional filters of images before features, as IBSI defines them: mean, Laplacian of
// Gaussian, Laws kernels (with rotation invariance and energy maps), Gabor, and undecimated
// separable wavelets; each in 3D or slice by slice (2D), with the image's borders padded.
#pragma once

#include <string>
#include <vector>

#include "radiomics/radiomics.hpp"

namespace loamwerk::radiomics {

// How far (mm) along an axis of the given spacing the response at a voxel looks; voxels beyond
// that from the ROI need not be computed.
double filter_reach_mm(const FilterSpec& filter, const Spacing& spacing);

// The response map of image (dims, spacing) to the filter; std::invalid_argument for a spec
// that cannot hold.
std::vector<double> apply_filter(const std::vector<double>& image, const Dims& dims, const Spacing& spacing,
                                 const FilterSpec& filter);

}  // namespace loamwerk::radiomics
