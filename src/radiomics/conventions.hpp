// Feature names and defaults of the two conventions: IBSI's tags, and pyradiomics' keys
// ("original_glcm_Idmn") with its defaults and its documented departures from IBSI.
#pragma once

#include <string>
#include <vector>

#include "radiomics/features.hpp"
#include "radiomics/radiomics.hpp"

namespace loamwerk::radiomics {

enum class Convention { kIbsi, kPyradiomics };

// pyradiomics' defaults: bin width 25 with edges at multiples of it, no resampling, 3D texture
// with features averaged over the 13 directions, no re-segmentation.
Settings pyradiomics_settings();
Families pyradiomics_families();

// The features of one image type ("original", "log-sigma-1-0-mm-3D", "wavelet-LLH", ...) under
// pyradiomics' names: kurtosis not in excess, total energy scaled by the voxel volume, energy
// of intensities shifted by voxel_shift; features pyradiomics has and IBSI lacks are absent.
// classes ("glcm", "shape", ...) limits them; empty gives all.
Features pyradiomics_features(const Features& ibsi, const Prepared& p, const std::string& image_type,
                              double voxel_shift, const std::vector<std::string>& classes);

// pyradiomics' diagnostics_* keys that are numbers.
Features pyradiomics_diagnostics(const Prepared& p, const std::string& image_type);

}  // namespace loamwerk::radiomics
