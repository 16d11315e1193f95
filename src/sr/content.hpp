// The content tree of a structured report: the document's header, its content items of every
// value type with their relationships, read from a data set and written back as one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
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

// The SR storage classes written.
inline constexpr const char* kBasicTextSr = "1.2.840.10008.5.1.4.1.1.88.11";
inline constexpr const char* kEnhancedSr = "1.2.840.10008.5.1.4.1.1.88.22";
inline constexpr const char* kComprehensiveSr = "1.2.840.10008.5.1.4.1.1.88.33";
inline constexpr const char* kComprehensive3dSr = "1.2.840.10008.5.1.4.1.1.88.34";

// Reads a structured report (any SR storage class, or any data set with a content tree).
// Throws std::runtime_error "not a DICOM data set" or "no SR content (Value Type is missing)".
SrDocument read_document(std::span<const std::uint8_t> bytes);

// A spatial region of a report: one SCOORD or SCOORD3D item with what it refers to and the
// measurement group it lies in.
struct Region {
    std::string item;  // the item identifier, e.g. "1.4.2.3"
    std::string value_type, graphic_type;
    std::optional<CodedConcept> name;         // the region item's concept name
    std::optional<CodedConcept> measurement;  // the NUM item it was inferred for, when it is one
    std::vector<double> graphic_data;
    std::string frame_of_reference_uid;       // SCOORD3D
    std::optional<InstanceReference> image;   // SCOORD: the image it was selected from
    int group = 0;                            // the measurement group's number (1, 2, ...); 0 outside any
    std::string tracking_id, tracking_uid;    // the group's tracking identifier and UID
};

// Every region in document order.
std::vector<Region> regions(const SrDocument& doc);

// One thing a check of a report found: "error" (against the standard or its template) or
// "warning" (allowed, but likely not meant), at a content item ("1.4.2"; "" for the header).
struct Finding {
    std::string severity, item, message;
};

// The checks of any SR document (structure, value types, references and their evidence, UIDs,
// codes) and of the templates it declares or is recognised as: TID 1500 measurement reports and
// TID 2000 diagnostic imaging reports (required items, value sets from their context groups).
std::vector<Finding> validate(const SrDocument& doc);

// The document as an HTML5 page: its header as a table, then the content tree with a heading
// for each container, concept names with their values (codes with their meanings, numbers with
// their units, references with their instances), all text escaped.
std::string to_html(const SrDocument& doc);

// What a report needs of an instance it refers to, read from the instance's file header.
struct InstanceHeader {
    std::string sop_class_uid, sop_instance_uid, series_instance_uid, study_instance_uid;
    std::string patient_name, patient_id, patient_birth_date, patient_sex;
    std::string study_date, study_time, study_id, accession_number, referring_physician_name, study_description;
};
// Throws OpenError for files that cannot be read and std::runtime_error for data that is not DICOM.
InstanceHeader read_instance_header(const std::string& path);

// The storage class a content tree needs: Comprehensive 3D with SCOORD3D, Comprehensive with
// by-reference relationships, SCOORD or TCOORD... the least that holds every item.
std::string least_sr_class(const ContentItem& root);

// Checks the tree (value types, relationships, required values) and returns the first problem,
// or an empty string.
std::string content_problem(const ContentItem& root, std::string_view sop_class_uid);

// The Part-10 bytes of the document (Explicit VR Little Endian, UTF-8). Missing UIDs, dates and
// the storage class are filled in: UIDs derived from the content, so one input gives one file.
// Throws std::invalid_argument for content the storage class cannot hold and, with
// `require_evidence`, for referenced instances the evidence does not list.
std::vector<std::uint8_t> write_document(SrDocument doc, const Identity& identity, bool require_evidence = true);

}  // namespace loamwerk::sr
