// Reading a structured report's header and content tree.
#include <charconv>
#include <cstring>
#include <stdexcept>

#include "core/bytes.hpp"
#include "core/tags.hpp"
#include "core/tree.hpp"
#include "core/values.hpp"
#include "sr/read.hpp"

namespace loamwerk::sr {

namespace {

using Nodes = std::vector<tree::Node>;

const tree::Node* find(const Nodes& nodes, Tag tag) {
    for (const tree::Node& n : nodes)
        if (n.tag == tag) return &n;
    return nullptr;
}

// The value as UTF-8 text (decoded under the character set in force), padding trimmed.
std::string text(const Nodes& nodes, Tag tag) {
    const tree::Node* n = find(nodes, tag);
    if (!n) return {};
    std::string_view s = n->decoded ? std::string_view(n->text)
                                    : std::string_view(reinterpret_cast<const char*>(n->value.data()), n->value.size());
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.remove_suffix(1);
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    return std::string(s);
}

const std::vector<Nodes>& items(const Nodes& nodes, Tag tag) {
    static const std::vector<Nodes> none;
    const tree::Node* n = find(nodes, tag);
    return n ? n->items : none;
}

// The values of a text; none for an empty one.
std::vector<std::string_view> split(std::string_view s) { return s.empty() ? std::vector<std::string_view>{} : split_values(s); }

// Numbers of a node: binary by its VR (FL, FD, US, UL, SL, SS), else decimal text.
std::vector<double> numbers(const Nodes& nodes, Tag tag) {
    std::vector<double> out;
    const tree::Node* n = find(nodes, tag);
    if (!n) return out;
    const auto each = [&](std::size_t width, auto read) {
        for (std::size_t i = 0; i + width <= n->value.size(); i += width) out.push_back(read(n->value.data() + i));
    };
    switch (n->vr) {
    case vr::FL: each(4, [](const std::uint8_t* p) { float f; std::memcpy(&f, p, 4); return double(f); }); break;
    case vr::FD: each(8, [](const std::uint8_t* p) { double d; std::memcpy(&d, p, 8); return d; }); break;
    case vr::US: each(2, [](const std::uint8_t* p) { return double(load_le16(p)); }); break;
    case vr::SS: each(2, [](const std::uint8_t* p) { return double(std::int16_t(load_le16(p))); }); break;
    case vr::UL: each(4, [](const std::uint8_t* p) { return double(load_le32(p)); }); break;
    case vr::SL: each(4, [](const std::uint8_t* p) { return double(std::int32_t(load_le32(p))); }); break;
    default: {
        const std::string held = text(nodes, tag);  // split() views it
        for (std::string_view v : split(held)) {
            if (!v.empty() && v.front() == '+') v.remove_prefix(1);
            double d = 0;
            if (!v.empty() && std::from_chars(v.data(), v.data() + v.size(), d).ec == std::errc()) out.push_back(d);
        }
    }
    }
    return out;
}

std::vector<std::int64_t> integers(const Nodes& nodes, Tag tag) {
    std::vector<std::int64_t> out;
    for (const double d : numbers(nodes, tag)) out.push_back(std::int64_t(d));
    return out;
}

std::optional<CodedConcept> code_of(const Nodes& nodes, Tag sequence) {
    const auto& list = items(nodes, sequence);
    if (list.empty()) return std::nullopt;
    const Nodes& c = list.front();
    CodedConcept code;
    code.value = text(c, tags::kCodeValue);
    // Long and URN code values stand in their own attributes.
    if (code.value.empty()) code.value = text(c, tags::kLongCodeValue);
    if (code.value.empty()) code.value = text(c, tags::kURNCodeValue);
    code.scheme = text(c, tags::kCodingSchemeDesignator);
    code.meaning = text(c, tags::kCodeMeaning);
    code.scheme_version = text(c, tags::kCodingSchemeVersion);
    return code;
}

constexpr int kMaxDepth = 64;  // deeper trees are refused rather than walked into the stack's end

ContentItem read_item(const Nodes& nodes, int depth) {
    if (depth > kMaxDepth) throw std::runtime_error("the content tree is nested more than 64 levels deep");
    ContentItem item;
    item.value_type = text(nodes, tags::kValueType);
    item.relationship = text(nodes, tags::kRelationshipType);
    item.name = code_of(nodes, tags::kConceptNameCodeSequence);
    item.observation_uid = text(nodes, tags::kObservationUID);
    item.observation_datetime = text(nodes, tags::kObservationDateTime);
    for (const double d : numbers(nodes, tags::kReferencedContentItemIdentifier))
        item.referenced_content.push_back(std::uint32_t(d));
    const std::string& t = item.value_type;
    if (t == "TEXT") item.text = text(nodes, tags::kTextValue);
    else if (t == "DATETIME") item.text = text(nodes, tags::kDateTime);
    else if (t == "DATE") item.text = text(nodes, tags::kDate);
    else if (t == "TIME") item.text = text(nodes, tags::kTime);
    else if (t == "UIDREF") item.text = text(nodes, tags::kUID);
    else if (t == "PNAME") item.text = text(nodes, tags::kPersonName);
    else if (t == "CODE") item.code = code_of(nodes, tags::kConceptCodeSequence);
    else if (t == "NUM") {
        const auto& measured = items(nodes, tags::kMeasuredValueSequence);
        if (!measured.empty()) {
            const Nodes& m = measured.front();
            const auto value = numbers(m, tags::kNumericValue);
            if (!value.empty()) item.number = value.front();
            item.number_text = text(m, tags::kNumericValue);
            const auto f = numbers(m, tags::kFloatingPointValue);
            if (!f.empty()) item.float_number = f.front();
            item.unit = code_of(m, tags::kMeasurementUnitsCodeSequence);
        }
        item.qualifier = code_of(nodes, tags::kNumericValueQualifierCodeSequence);
    } else if (t == "CONTAINER") {
        item.continuity = text(nodes, tags::kContinuityOfContent);
        const auto& templates = items(nodes, tags::kContentTemplateSequence);
        if (!templates.empty()) {
            item.template_id = text(templates.front(), tags::kTemplateIdentifier);
            item.mapping_resource = text(templates.front(), tags::kMappingResource);
        }
    } else if (t == "COMPOSITE" || t == "IMAGE" || t == "WAVEFORM") {
        const auto& refs = items(nodes, tags::kReferencedSOPSequence);
        if (!refs.empty()) {
            const Nodes& r = refs.front();
            InstanceReference ref;
            ref.sop_class_uid = text(r, tags::kReferencedSOPClassUID);
            ref.sop_instance_uid = text(r, tags::kReferencedSOPInstanceUID);
            ref.frames = integers(r, tags::kReferencedFrameNumber);
            ref.segments = integers(r, tags::kReferencedSegmentNumber);
            ref.channels = integers(r, tags::kReferencedWaveformChannels);
            // A presentation state to show the image with stands in a nested sequence.
            const auto& state = items(r, tags::kReferencedSOPSequence);
            if (!state.empty()) {
                ref.presentation_class_uid = text(state.front(), tags::kReferencedSOPClassUID);
                ref.presentation_instance_uid = text(state.front(), tags::kReferencedSOPInstanceUID);
            }
            item.reference = std::move(ref);
        }
    } else if (t == "SCOORD" || t == "SCOORD3D") {
        item.graphic_type = text(nodes, tags::kGraphicType);
        item.graphic_data = numbers(nodes, tags::kGraphicData);
        item.frame_of_reference_uid = text(nodes, tags::kReferencedFrameOfReferenceUID);
    } else if (t == "TCOORD") {
        item.temporal_range_type = text(nodes, tags::kTemporalRangeType);
        item.sample_positions = integers(nodes, tags::kReferencedSamplePositions);
        item.time_offsets = numbers(nodes, tags::kReferencedTimeOffsets);
        const std::string datetimes = text(nodes, tags::kReferencedDateTime);
        for (std::string_view v : split(datetimes)) item.datetimes.emplace_back(v);
    }
    for (const Nodes& child : items(nodes, tags::kContentSequence)) item.children.push_back(read_item(child, depth + 1));
    return item;
}

std::vector<EvidenceInstance> evidence_of(const Nodes& nodes, Tag sequence) {
    std::vector<EvidenceInstance> out;
    for (const Nodes& study : items(nodes, sequence))
        for (const Nodes& series : items(study, tags::kReferencedSeriesSequence))
            for (const Nodes& sop : items(series, tags::kReferencedSOPSequence))
                out.push_back({text(study, tags::kStudyInstanceUID), text(series, tags::kSeriesInstanceUID),
                               text(sop, tags::kReferencedSOPClassUID), text(sop, tags::kReferencedSOPInstanceUID)});
    return out;
}

// The identifying attributes a document and the instances it refers to have alike.
template <class Out>
void read_identifying(const Nodes& top, Out& o) {
    o.sop_class_uid = text(top, tags::kSOPClassUID), o.sop_instance_uid = text(top, tags::kSOPInstanceUID);
    o.series_instance_uid = text(top, tags::kSeriesInstanceUID), o.study_instance_uid = text(top, tags::kStudyInstanceUID);
    o.patient_name = text(top, tags::kPatientName), o.patient_id = text(top, tags::kPatientID);
    o.patient_birth_date = text(top, tags::kPatientBirthDate), o.patient_sex = text(top, tags::kPatientSex);
    o.study_date = text(top, tags::kStudyDate), o.study_time = text(top, tags::kStudyTime);
    o.study_id = text(top, tags::kStudyID), o.accession_number = text(top, tags::kAccessionNumber);
    o.referring_physician_name = text(top, tags::kReferringPhysicianName);
    o.study_description = text(top, tags::kStudyDescription);
}

}  // namespace

SrDocument read_document(std::span<const std::uint8_t> bytes) {
    const Dataset ds = Dataset::borrow(bytes);
    if (!ds.readable()) throw std::runtime_error("not a DICOM data set");
    const tree::Tree t = tree::read(ds, true);
    const Nodes& top = t.body;
    if (!find(top, tags::kValueType)) throw std::runtime_error("no SR content (Value Type is missing)");
    SrDocument d;
    read_identifying(top, d);
    d.series_number = text(top, tags::kSeriesNumber), d.series_description = text(top, tags::kSeriesDescription);
    d.instance_number = text(top, tags::kInstanceNumber);
    d.content_date = text(top, tags::kContentDate), d.content_time = text(top, tags::kContentTime);
    d.manufacturer = text(top, tags::kManufacturer);
    d.completion_flag = text(top, tags::kCompletionFlag), d.verification_flag = text(top, tags::kVerificationFlag);
    d.preliminary_flag = text(top, tags::kPreliminaryFlag);
    d.specific_character_set = text(top, tags::kSpecificCharacterSet);
    d.evidence = evidence_of(top, tags::kCurrentRequestedProcedureEvidenceSequence);
    d.other_evidence = evidence_of(top, tags::kPertinentOtherEvidenceSequence);
    for (const Nodes& o : items(top, tags::kVerifyingObserverSequence))
        d.verifying_observers.push_back({text(o, tags::kVerifyingObserverName), text(o, tags::kVerifyingOrganization),
                                         text(o, tags::kVerificationDateTime)});
    d.content = read_item(top, 0);
    d.content.relationship.clear();  // the root has none
    return d;
}

InstanceHeader read_instance_header(const std::string& path) {
    tree::Tree t;
    const Dataset ds = tree::read_header(path, t);
    if (!ds.readable()) throw std::runtime_error(path + " is not a DICOM file");
    const Nodes& top = t.body;
    InstanceHeader h;
    read_identifying(top, h);
    if (h.sop_instance_uid.empty()) throw std::runtime_error(path + " has no SOP Instance UID");
    return h;
}

}  // namespace loamwerk::sr
