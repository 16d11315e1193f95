// What an authored object (tractography, annotations, surfaces, ...) states about its content and
// where it belongs, and opening one of a given SOP class for reading.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/bytes.hpp"
#include "core/cielab.hpp"
#include "core/dataset.hpp"
#include "core/tags.hpp"
#include "core/utf8.hpp"
#include "core/values.hpp"

namespace loamwerk {

struct ContentHeader {
    std::string content_label, content_description, content_creator;
    std::string sop_instance_uid, series_instance_uid, study_instance_uid, frame_of_reference_uid;
    std::string patient_name, patient_id;
};

// A text value as UTF-8, padding removed.
inline std::string utf8_text(const Elements& item, Tag tag) { return as_utf8(std::string(text_of(item, tag))); }

inline ContentHeader read_content_header(const Elements& top) {
    ContentHeader h;
    h.content_label = utf8_text(top, tags::kContentLabel);
    h.content_description = utf8_text(top, tags::kContentDescription);
    h.content_creator = utf8_text(top, tags::kContentCreatorName);
    h.sop_instance_uid = utf8_text(top, tags::kSOPInstanceUID);
    h.series_instance_uid = utf8_text(top, tags::kSeriesInstanceUID);
    h.study_instance_uid = utf8_text(top, tags::kStudyInstanceUID);
    h.frame_of_reference_uid = utf8_text(top, tags::kFrameOfReferenceUID);
    h.patient_name = utf8_text(top, tags::kPatientName);
    h.patient_id = utf8_text(top, tags::kPatientID);
    return h;
}

// An item's Recommended Display CIELab Value as 8-bit sRGB; none when absent or short.
inline std::optional<std::array<std::uint8_t, 3>> recommended_rgb(const Elements& item) {
    const ElementRef* lab = find_element(item, tags::kRecommendedDisplayCIELabValue);
    if (!lab || !lab->value || lab->length < 6) return std::nullopt;
    const std::uint16_t values[3] = {load_le16(lab->value), load_le16(lab->value + 2), load_le16(lab->value + 4)};
    std::array<std::uint8_t, 3> rgb{};
    cielab16_to_rgb(values, rgb.data());
    return rgb;
}

// The data set of `file` when it is an object of `sop_class`; std::runtime_error "<where>: not a
// DICOM file" or "<where>: not a <name> object" otherwise. The data set views `file`.
inline Dataset open_object(std::span<const std::uint8_t> file, const std::string& where, std::string_view sop_class,
                           std::string_view name) {
    Dataset ds = Dataset::borrow(file);
    if (!ds.readable()) throw std::runtime_error(where + ": not a DICOM file");
    if (text_of(ds.elements(), tags::kSOPClassUID) != sop_class)
        throw std::runtime_error(where + ": not a " + std::string(name) + " object");
    return ds;
}

}  // namespace loamwerk
