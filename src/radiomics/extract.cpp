#include "radiomics/extract.hpp"

#include <algorithm>
#include <cmath>

#include "radiomics/filters.hpp"
#include "radiomics/prepare.hpp"
#include "volume/formats.hpp"

namespace loamwerk::radiomics {
namespace {

// Python's str() of a float with '.' as '-': 2.0 -> "2-0", 1.5 -> "1-5" (pyradiomics' names).
std::string sigma_text(double sigma) {
    std::string text = volume::format_number(sigma);  // the shortest that reads back, as Python's
    if (text.find_first_of(".e") == std::string::npos) text += ".0";
    for (char& c : text)
        if (c == '.') c = '-';
    return text;
}

// One image type's features in the convention's names; IBSI's get the type as a prefix.
Features named(const Prepared& p, Features&& computed, const Extraction& x, const std::string& type, bool diagnostics) {
    Features out;
    if (x.convention == Convention::kPyradiomics) {
        if (diagnostics) out = pyradiomics_diagnostics(p, type);
        const Features renamed = pyradiomics_features(computed, p, type, x.voxel_shift, x.classes);
        out.insert(out.end(), renamed.begin(), renamed.end());
        return out;
    }
    if (type == "original") return std::move(computed);
    for (auto& [name, value] : computed) out.emplace_back(type + "_" + name, value);
    return out;
}

}  // namespace

ImageType log_image_type(double sigma) {
    FilterSpec f;
    f.type = "log", f.sigma = sigma, f.padding = Padding::kMirror, f.scale_normalised = true;
    return {"log-sigma-" + sigma_text(sigma) + "-mm-3D", f};
}

std::vector<ImageType> wavelet_image_types(const std::string& wavelet, int level) {
    std::vector<ImageType> out;
    for (const char* response : {"LLH", "LHL", "LHH", "HLL", "HLH", "HHL", "HHH", "LLL"}) {
        FilterSpec f;
        f.type = "wavelet", f.wavelet = wavelet, f.level = level, f.response = response, f.padding = Padding::kPeriodic;
        out.push_back({(level == 1 ? std::string("wavelet-") : "wavelet" + std::to_string(level) + "-") + response, f});
    }
    return out;
}

ImageType transform_image_type(const std::string& name) {
    FilterSpec f;
    f.type = name;
    return {name, f};
}

ImageType lbp2d_image_type(double radius, int samples) {
    FilterSpec f;
    f.type = "lbp2d", f.sigma = radius, f.size = samples, f.in_plane = true;
    return {"lbp-2D", f};
}

Settings preparation_settings(const Extraction& x, const Spacing& input_spacing) {
    Settings s = x.settings;
    Spacing target = input_spacing;
    for (int a = 0; a < 3; ++a)
        if (s.resample[a] > 0) target[a] = s.resample[a];
    for (const ImageType& t : x.image_types)
        if (t.filter) s.context_mm = std::max(s.context_mm, filter_reach_mm(*t.filter, target));
    return s;
}

Extracted extract(const Prepared& base, const Extraction& x) {
    Extracted out;
    if (x.convention == Convention::kIbsi && !x.voxel_based) out.values = base.diagnostics;
    for (const ImageType& type : x.image_types) {
        const Prepared filtered = type.filter ? with_filter(base, x.settings, *type.filter) : Prepared{};
        const Prepared& p = type.filter ? filtered : base;
        Families families = x.families;
        if (type.name != "original") families.morphology = false;
        if (x.voxel_based) {
            std::vector<FeatureMap> maps = voxel_maps(p, x.settings, families, x.kernel_radius, [&](const Prepared& k, Features&& f) {
                return named(k, std::move(f), x, type.name, false);
            });
            for (FeatureMap& m : maps) out.maps.push_back(std::move(m));
            out.grid = p.dims;
            continue;
        }
        Features named_values = named(p, compute_features(p, x.settings, families), x, type.name, true);
        out.values.insert(out.values.end(), named_values.begin(), named_values.end());
    }
    return out;
}

}  // namespace loamwerk::radiomics
