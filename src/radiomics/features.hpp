// All feature families of a prepared ROI, in the order of the IBSI tables, with IBSI's tags.
#pragma once

#include "radiomics/radiomics.hpp"

namespace loamwerk::radiomics {

struct Families {
    bool morphology = true, local_intensity = true, statistics = true, histogram = true, volume_histogram = true,
         texture = true;
};

Features compute_features(const Prepared& p, const Settings& s, const Families& families);

}  // namespace loamwerk::radiomics
