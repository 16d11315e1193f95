// The content tree of a structured report: the document's header and its content items of every
// value type with their relationships. sr/read.hpp fills it from a data set, sr/write.hpp writes
// it back; the templates, regions, checks and pages are views of it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/identity.hpp"

namespace loamwerk::sr {

struct CodedConcept {
    std::string value, scheme, meaning, scheme_version;
};

// A referenced instance of a COMPOSITE, IMAGE or WAVEFORM item.
struct InstanceReference {
    std::string sop_class_uid, sop_instance_uid;
    std::vector<std::int64_t> frames, segments, channels;  // channels as (M, C) pairs, flattened
    std::string presentation_class_uid, presentation_instance_uid;  // the image's presentation state, if any
};

struct ContentItem {
    std::string value_type;    // empty for a by-reference relationship
    std::string relationship;  // empty at the root
    std::optional<CodedConcept> name;  // the concept name
    std::string observation_uid, observation_datetime;
    std::vector<std::uint32_t> referenced_content;  // by reference: the target's item identifier

    std::string text;  // TEXT, DATETIME, DATE, TIME, UIDREF, PNAME
    std::optional<CodedConcept> code;  // CODE
    // NUM: the measured value (none when the measured value sequence is empty), its unit, a
    // qualifier (why there is no value, or what kind of value it is) and the float value.
    std::optional<double> number;
    std::string number_text;  // the value as the document writes it (empty when made from a number)
    std::optional<double> float_number;
    std::optional<CodedConcept> unit, qualifier;
    // CONTAINER
    std::string continuity, template_id, mapping_resource;
    // COMPOSITE, IMAGE, WAVEFORM
    std::optional<InstanceReference> reference;
    // SCOORD, SCOORD3D
    std::string graphic_type, frame_of_reference_uid;
    std::vector<double> graphic_data;
    // TCOORD
    std::string temporal_range_type;
    std::vector<std::int64_t> sample_positions;
    std::vector<double> time_offsets;
    std::vector<std::string> datetimes;

    std::vector<ContentItem> children;
};

struct EvidenceInstance {
    std::string study_instance_uid, series_instance_uid, sop_class_uid, sop_instance_uid;
};

struct VerifyingObserver {
    std::string name, organization, datetime;
};

struct SrDocument {
    std::string sop_class_uid, sop_instance_uid, series_instance_uid, study_instance_uid;
    std::string patient_name, patient_id, patient_birth_date, patient_sex;
    std::string study_date, study_time, study_id, accession_number, referring_physician_name, study_description;
    std::string series_number, series_description, instance_number;
    std::string content_date, content_time, manufacturer;
    std::string completion_flag, verification_flag, preliminary_flag;
    std::string specific_character_set;
    std::vector<EvidenceInstance> evidence, other_evidence;  // current requested procedure, pertinent other
    std::vector<VerifyingObserver> verifying_observers;
    ContentItem content;
};

// The value types and relationship types of the standard.
inline bool is_value_type(std::string_view t) {
    static constexpr std::string_view kTypes[] = {"CONTAINER", "TEXT", "CODE", "NUM", "DATETIME", "DATE", "TIME", "UIDREF",
                                                  "PNAME", "COMPOSITE", "IMAGE", "WAVEFORM", "SCOORD", "SCOORD3D", "TCOORD"};
    return std::find(std::begin(kTypes), std::end(kTypes), t) != std::end(kTypes);
}
inline bool is_relationship(std::string_view r) {
    static constexpr std::string_view kTypes[] = {"CONTAINS", "HAS PROPERTIES", "HAS OBS CONTEXT", "HAS ACQ CONTEXT",
                                                  "INFERRED FROM", "SELECTED FROM", "HAS CONCEPT MOD"};
    return std::find(std::begin(kTypes), std::end(kTypes), r) != std::end(kTypes);
}

// The value types whose items need a concept name.
inline bool needs_concept_name(std::string_view t) {
    static constexpr std::string_view kTypes[] = {"TEXT", "CODE", "NUM", "DATETIME", "DATE", "TIME", "UIDREF", "PNAME"};
    return std::find(std::begin(kTypes), std::end(kTypes), t) != std::end(kTypes);
}

// The item a content item identifier names ([1, 3, 2]: the root's third child's second child),
// or null when there is none.
inline const ContentItem* item_at(const ContentItem& root, const std::vector<std::uint32_t>& id) {
    if (id.empty() || id.front() != 1) return nullptr;
    const ContentItem* item = &root;
    for (std::size_t k = 1; k < id.size(); ++k) {
        if (id[k] < 1 || id[k] > item->children.size()) return nullptr;
        item = &item->children[id[k] - 1];
    }
    return item;
}

// The SR storage classes written.
inline constexpr const char* kBasicTextSr = "1.2.840.10008.5.1.4.1.1.88.11";
inline constexpr const char* kEnhancedSr = "1.2.840.10008.5.1.4.1.1.88.22";
inline constexpr const char* kComprehensiveSr = "1.2.840.10008.5.1.4.1.1.88.33";
inline constexpr const char* kComprehensive3dSr = "1.2.840.10008.5.1.4.1.1.88.34";

}  // namespace loamwerk::sr
