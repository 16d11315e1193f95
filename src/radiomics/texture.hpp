// Texture matrices of the discretised ROI and their features: grey level co-occurrence (GLCM),
// run length (GLRLM), size zone (GLSZM), distance zone (GLDZM), neighbourhood grey tone
// difference (NGTDM) and neighbouring grey level dependence (NGLDM), each aggregated per slice
// (2D), over slices (2.5D) and over the volume (3D).
#pragma once

#include "radiomics/radiomics.hpp"

namespace loamwerk::radiomics {

void texture_features(const Prepared& p, const Settings& s, Features& out);

}  // namespace loamwerk::radiomics
