// TID 1500 measurement reports in the terms of dcmqi's metadata layout: the observer, the image
// library and the measurement groups of segmentation-derived (TID 1411) measurements, written as
// a content tree and read back from any TID 1500 document.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sr/read.hpp"

namespace loamwerk::sr {

struct AlgorithmIdentification {
    std::string name, version;
    std::vector<std::string> parameters;
    bool empty() const { return name.empty() && version.empty() && parameters.empty(); }
};

// A coded concept with a numeric value: a derivation parameter or a property of a measurement.
struct CodedNumber {
    CodedConcept concept_name, units;
    std::string value;
};

struct MeasurementItem {
    std::string value;  // as written, e.g. "1.96"; "nan" for a value that is not a number
    std::optional<double> float_value;  // the exact value, where the document gives one beside the text
    CodedConcept quantity, units;
    std::optional<CodedConcept> derivation;
    std::vector<std::pair<CodedConcept, CodedConcept>> modifiers;  // (modifier, its value)
    std::vector<CodedNumber> derivation_parameters, properties;
    std::string population_description;
    AlgorithmIdentification algorithm;
};

// A qualitative evaluation: a concept with a coded or a text value.
struct QualitativeEvaluation {
    CodedConcept concept_name;
    std::optional<CodedConcept> code;
    std::string text;
};

// The region a group's measurements were made in, when it is not a segment: a planar region on
// one image (TID 1410) or a volume surface (TID 1411).
struct RegionOfInterest {
    bool volumetric = false;
    std::string graphic_type;
    std::vector<double> graphic_data;
    std::string image_uid;  // planar: the image it lies on (one of the image library's)
    std::vector<std::int64_t> frames;
    std::string frame_of_reference_uid;  // volumetric
};

struct MeasurementGroup {
    std::string tracking_id, tracking_uid, activity_session, time_point;
    std::optional<long> referenced_segment;
    std::string source_series, segmentation_uid, rwvm_uid;
    std::optional<RegionOfInterest> region;  // with no segmentation and no region: image measurements (TID 1501)
    std::optional<CodedConcept> finding, finding_site, laterality, method;
    AlgorithmIdentification algorithm;
    std::vector<MeasurementItem> items;
    std::vector<QualitativeEvaluation> qualitative;
};

struct Observer {
    std::string type = "PERSON";  // or DEVICE
    std::string person_name, device_uid, device_name, device_manufacturer, device_model_name, device_serial_number;
};

struct MeasurementReport {
    std::string series_description, series_number, instance_number, completion_flag, verification_flag;
    std::string activity_session, time_point;
    Observer observer;
    std::optional<CodedConcept> procedure_reported;
    std::vector<std::string> image_library, composite_context;  // SOP Instance UIDs (as read)
    std::vector<MeasurementGroup> groups;
};

// The document of a report. `image_library` and `composite_context` are the headers of the
// instances the report refers to (the first of them gives patient and study); missing tracking
// UIDs are derived from the content. Throws std::invalid_argument for a report it cannot write.
SrDocument measurement_document(const MeasurementReport& report, const std::vector<InstanceHeader>& image_library,
                                 const std::vector<InstanceHeader>& composite_context);

// The report of a TID 1500 document. Throws std::runtime_error when the root is not an Imaging
// Measurement Report.
MeasurementReport measurement_report(const SrDocument& doc);

}  // namespace loamwerk::sr
