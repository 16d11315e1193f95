// Voxel-wise feature maps: for every ROI voxel, the features of the cube of a given radius about
// it (the cube's voxels inside the ROI), from the whole ROI's discretisation; voxels spread over
// threads.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "radiomics/features.hpp"
#include "radiomics/radiomics.hpp"

namespace loamwerk::radiomics {

struct FeatureMap {
    std::string name;
    std::vector<float> values;  // p.dims voxels; NaN outside the ROI
};

// Statistics, intensity histogram and texture families of `families` (morphology, local
// intensity and the intensity-volume histogram have no voxel-wise meaning here). `rename` turns
// one voxel's features into the names and values the caller wants.
std::vector<FeatureMap> voxel_maps(const Prepared& p, const Settings& s, const Families& families, int radius,
                                   const std::function<Features(const Prepared&, Features&&)>& rename);

}  // namespace loamwerk::radiomics
