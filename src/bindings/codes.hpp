// What the readers of authored objects share: coded concepts between Python (value, scheme,
// meaning) tuples and the engines' Code, recommended display colours between (r, g, b) tuples
// and byte triples, and the content header's keys.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "core/content.hpp"
#include "seg/author.hpp"  // Code

namespace loam::bind {

inline loamwerk::seg::Code code_from(const nb::handle& h, const std::string& where) {
    const nb::sequence seq = option_value<nb::sequence>(h, where);
    if (nb::len(seq) != 3) throw nb::value_error((where + " is a (value, scheme, meaning) code").c_str());
    return {as_text(seq[0]), as_text(seq[1]), as_text(seq[2])};
}

inline nb::tuple code_tuple(const loamwerk::seg::Code& c) {
    return nb::make_tuple(utf8_str(c.value), utf8_str(c.scheme), utf8_str(c.meaning));
}

inline std::array<std::uint8_t, 3> rgb_from(const nb::handle& h, const std::string& where) {
    const auto rgb = option_value<std::vector<int>>(h, where);
    if (rgb.size() != 3 || std::any_of(rgb.begin(), rgb.end(), [](int v) { return v < 0 || v > 255; }))
        throw nb::value_error((where + " is three values 0 to 255").c_str());
    return {std::uint8_t(rgb[0]), std::uint8_t(rgb[1]), std::uint8_t(rgb[2])};
}

inline nb::object rgb_tuple(const std::optional<std::array<std::uint8_t, 3>>& rgb) {
    if (!rgb) return nb::none();
    return nb::make_tuple(int((*rgb)[0]), int((*rgb)[1]), int((*rgb)[2]));
}

// "content_label", "content_description", "content_creator", the SOP instance, series, study and
// frame of reference UIDs, "patient_name" and "patient_id".
inline void put_content_header(nb::dict& out, const loamwerk::ContentHeader& h) {
    out["content_label"] = utf8_str(h.content_label);
    out["content_description"] = utf8_str(h.content_description);
    out["content_creator"] = utf8_str(h.content_creator);
    out["sop_instance_uid"] = utf8_str(h.sop_instance_uid);
    out["series_instance_uid"] = utf8_str(h.series_instance_uid);
    out["study_instance_uid"] = utf8_str(h.study_instance_uid);
    out["frame_of_reference_uid"] = utf8_str(h.frame_of_reference_uid);
    out["patient_name"] = utf8_str(h.patient_name);
    out["patient_id"] = utf8_str(h.patient_id);
}

}  // namespace loam::bind
