// Image processing before features: resampling on the aligned grid, the mask's partial volume
// threshold, re-segmentation by range and outliers, and discretisation.
#pragma once

#include <cstdint>
#include <vector>

#include "radiomics/radiomics.hpp"

namespace loamwerk::radiomics {

// image and mask (nonzero inside) of dims voxels; throws std::invalid_argument for an empty
// ROI, a non-finite intensity inside it, or settings that cannot hold.
Prepared prepare(const double* image, const std::uint8_t* mask, const Dims& dims, const Spacing& spacing,
                 const Settings& settings);

// An image that already holds grey levels (positive integers inside the mask): features are
// taken from it as it is.
Prepared prepare_levels(const double* image, const std::uint8_t* mask, const Dims& dims, const Spacing& spacing,
                        const Settings& settings);

// base (prepared without a filter) with its image replaced by the filter's response, and
// discretised again.
Prepared with_filter(const Prepared& base, const Settings& settings, const FilterSpec& filter);

// Grey levels 1..Ng of the roi voxels (0 elsewhere) and Ng.
std::vector<std::int32_t> discretise(const std::vector<double>& image, const std::vector<std::uint8_t>& roi,
                                     const Discretisation& d, int& grey_levels);

}  // namespace loamwerk::radiomics
