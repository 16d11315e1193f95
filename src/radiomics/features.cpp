#include "radiomics/features.hpp"

#include "radiomics/intensity.hpp"
#include "radiomics/morphology.hpp"
#include "radiomics/texture.hpp"

namespace loamwerk::radiomics {

Features compute_features(const Prepared& p, const Settings& s, const Families& f) {
    Features out;
    if (f.morphology) morphology_features(p, s, out);
    if (f.local_intensity) local_intensity_features(p, s, out);
    if (f.statistics) statistics_features(p, out);
    if (f.histogram) histogram_features(p, out);
    if (f.volume_histogram) volume_histogram_features(p, out);
    if (f.texture) texture_features(p, s, out);
    return out;
}

}  // namespace loamwerk::radiomics
