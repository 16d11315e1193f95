// First-order features: local intensity peaks, intensity statistics of the ROI, the histogram
// of its grey levels, and its intensity-volume histogram.
#pragma once

#include <vector>

#include "radiomics/radiomics.hpp"

namespace loamwerk::radiomics {

// Quantile q (0..1) of sorted values, linearly interpolated between order statistics.
double quantile(const std::vector<double>& sorted, double q);

void local_intensity_features(const Prepared& p, const Settings& s, Features& out);
void statistics_features(const Prepared& p, Features& out);
void histogram_features(const Prepared& p, Features& out);
void volume_histogram_features(const Prepared& p, Features& out);

}  // namespace loamwerk::radiomics
