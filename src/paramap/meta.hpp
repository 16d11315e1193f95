// A parametric map's description, in the terms of dcmqi's metadata JSON: what quantity its values
// are, in which unit, how they were derived, and where in the body.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/code.hpp"

namespace loamwerk::paramap {

inline constexpr const char* kParametricMapStorage = "1.2.840.10008.5.1.4.1.1.30";

using loamwerk::Code;

struct Meta {
    std::string series_description = "Parametric map", series_number = "300", instance_number = "1";
    std::string body_part_examined, frame_laterality = "U", derivation_description;
    std::string derived_pixel_contrast = "QUANTITY";  // the fourth value of Image Type
    std::optional<Code> quantity, units, measurement_method, model_fitting_method, derivation, anatomic_region;
    std::vector<std::string> b_values;  // SourceImageDiffusionBValues
    // Real world value = stored value × slope + intercept.
    double slope = 1, intercept = 0;
    std::string content_label = "PARAMAP", content_description, content_creator;
};

}  // namespace loamwerk::paramap
