// Writing a structured report from its content tree, and the checks that keep what is written
// within its storage class.
#include <algorithm>
#include <cmath>
#include <ctime>
#include <map>
#include <set>
#include <stdexcept>

#include "core/item_writer.hpp"
#include "core/tags.hpp"
#include "core/uid.hpp"
#include "core/writer.hpp"
#include "sr/write.hpp"

namespace loamwerk::sr {

namespace {


// What a walk of the tree finds, for choosing the storage class.
struct Uses {
    bool by_reference = false, scoord3d = false, beyond_basic = false;
};

void survey(const ContentItem& item, Uses& uses) {
    const std::string& t = item.value_type;
    if (t.empty()) uses.by_reference = true;
    if (t == "SCOORD3D") uses.scoord3d = true;
    if (t == "NUM" || t == "SCOORD" || t == "TCOORD") uses.beyond_basic = true;
    if (item.relationship == "HAS ACQ CONTEXT" || item.relationship == "SELECTED FROM") uses.beyond_basic = true;
    for (const ContentItem& c : item.children) survey(c, uses);
}

bool code_complete(const std::optional<CodedConcept>& c) { return c && !c->value.empty() && !c->scheme.empty(); }

std::string check_item(const ContentItem& item, std::string_view sop_class, const std::string& path, bool root) {
    const auto fail = [&](const std::string& what) {
        return "content item " + path + (item.value_type.empty() ? "" : " (" + item.value_type + ")") + ": " + what;
    };
    if (root) {
        if (item.value_type != "CONTAINER") return fail("the root must be a CONTAINER");
        if (!item.relationship.empty()) return fail("the root has no relationship");
        if (!code_complete(item.name)) return fail("the root needs a concept name (the document title)");
    } else if (!is_relationship(item.relationship)) {
        return fail("relationship must be one of CONTAINS, HAS PROPERTIES, HAS OBS CONTEXT, HAS ACQ CONTEXT, INFERRED "
                    "FROM, SELECTED FROM, HAS CONCEPT MOD, not '" + item.relationship + "'");
    }
    const std::string& t = item.value_type;
    if (t.empty()) {
        if (item.referenced_content.empty()) return fail("an item needs a value type, or referenced_content to refer to another");
        if (sop_class != kComprehensiveSr && sop_class != kComprehensive3dSr)
            return fail("references by content item identifier need Comprehensive SR");
        if (!item.children.empty()) return fail("a reference to another item has no children");
        return {};
    }
    if (!is_value_type(t)) return fail("unknown value type");
    if (sop_class == kBasicTextSr && (t == "NUM" || t == "SCOORD" || t == "SCOORD3D" || t == "TCOORD"))
        return fail("Basic Text SR holds no " + t + "; use Enhanced or Comprehensive SR");
    if (t == "SCOORD3D" && sop_class != kComprehensive3dSr) return fail("SCOORD3D needs Comprehensive 3D SR");
    if (needs_concept_name(t) && !code_complete(item.name)) return fail("a concept name (value and scheme) is required");
    if (t == "CODE" && !code_complete(item.code)) return fail("a code (value and scheme) is required");
    if ((t == "COMPOSITE" || t == "IMAGE" || t == "WAVEFORM") &&
        (!item.reference || item.reference->sop_class_uid.empty() || item.reference->sop_instance_uid.empty()))
        return fail("a reference with its SOP class and instance UIDs is required");
    if (t == "NUM" && item.number && !code_complete(item.unit)) return fail("a measured value needs its unit");
    if (t == "NUM" && item.number && !std::isfinite(*item.number)) return fail("the value must be finite");
    if (t == "SCOORD") {
        static const std::set<std::string, std::less<>> types = {"POINT", "MULTIPOINT", "POLYLINE", "CIRCLE", "ELLIPSE"};
        if (!types.count(item.graphic_type)) return fail("graphic_type must be POINT, MULTIPOINT, POLYLINE, CIRCLE or ELLIPSE");
        if (item.graphic_data.empty() || item.graphic_data.size() % 2) return fail("graphic_data must be (column, row) pairs");
    }
    if (t == "SCOORD3D") {
        static const std::set<std::string, std::less<>> types = {"POINT", "MULTIPOINT", "POLYLINE", "POLYGON", "ELLIPSE", "ELLIPSOID"};
        if (!types.count(item.graphic_type))
            return fail("graphic_type must be POINT, MULTIPOINT, POLYLINE, POLYGON, ELLIPSE or ELLIPSOID");
        if (item.graphic_data.empty() || item.graphic_data.size() % 3) return fail("graphic_data must be (x, y, z) triples");
        if (item.frame_of_reference_uid.empty()) return fail("frame_of_reference_uid is required");
    }
    if (t == "TCOORD") {
        if (item.temporal_range_type.empty()) return fail("temporal_range_type is required");
        const int given = !item.sample_positions.empty() + !item.time_offsets.empty() + !item.datetimes.empty();
        if (given != 1) return fail("exactly one of sample_positions, time_offsets and datetimes is required");
    }
    if (t == "CONTAINER" && !item.continuity.empty() && item.continuity != "SEPARATE" && item.continuity != "CONTINUOUS")
        return fail("continuity must be SEPARATE or CONTINUOUS");
    for (std::size_t k = 0; k < item.children.size(); ++k) {
        const std::string problem = check_item(item.children[k], sop_class, path + "." + std::to_string(k + 1), false);
        if (!problem.empty()) return problem;
    }
    return {};
}

void collect_references(const ContentItem& item, std::vector<const InstanceReference*>& out) {
    if (item.reference) out.push_back(&*item.reference);
    for (const ContentItem& c : item.children) collect_references(c, out);
}

// ---- writing ----

void write_code(ItemWriter& w, const CodedConcept& c) {
    // Values longer than 16 characters go to Long Code Value, URNs and URLs to URN Code Value.
    const bool urn = c.value.rfind("urn:", 0) == 0 || c.value.find("://") != std::string::npos;
    const bool long_value = !urn && c.value.size() > 16;
    if (!urn && !long_value) w.text(tags::kCodeValue, "SH", c.value);
    w.text(tags::kCodingSchemeDesignator, "SH", c.scheme);
    if (!c.scheme_version.empty()) w.text(tags::kCodingSchemeVersion, "SH", c.scheme_version);
    w.text(tags::kCodeMeaning, "LO", c.meaning);
    if (long_value) w.text(tags::kLongCodeValue, "UC", c.value);
    if (urn) w.text(tags::kURNCodeValue, "UR", c.value);
}

void code_sequence(ItemWriter& w, Tag tag, const std::optional<CodedConcept>& c) {
    w.begin_sequence(tag);
    if (c) {
        w.begin_item();
        write_code(w, *c);
        w.end_item();
    }
    w.end_sequence();
}

std::string joined(const std::vector<std::int64_t>& values) {
    std::string s;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i) s.push_back('\\');
        s += std::to_string(values[i]);
    }
    return s;
}

void write_children(ItemWriter& w, const std::vector<ContentItem>& children);

// A CONTAINER's template identification.
void write_template(ItemWriter& w, const ContentItem& item) {
    w.begin_sequence(tags::kContentTemplateSequence);
    w.begin_item();
    w.text(tags::kMappingResource, "CS", item.mapping_resource.empty() ? "DCMR" : item.mapping_resource);
    w.text(tags::kTemplateIdentifier, "CS", item.template_id);
    w.end_item();
    w.end_sequence();
}

// One content item's elements (below the root), in tag order.
void write_item_elements(ItemWriter& w, const ContentItem& item) {
    const std::string& t = item.value_type;
    if (item.reference) {
        const InstanceReference& r = *item.reference;
        w.begin_sequence(tags::kReferencedSOPSequence);
        w.begin_item();
        w.text(tags::kReferencedSOPClassUID, "UI", r.sop_class_uid);
        w.text(tags::kReferencedSOPInstanceUID, "UI", r.sop_instance_uid);
        if (!r.frames.empty()) w.text(tags::kReferencedFrameNumber, "IS", joined(r.frames));
        if (!r.presentation_instance_uid.empty())
            instance_reference(w, tags::kReferencedSOPSequence, r.presentation_class_uid, r.presentation_instance_uid);
        if (!r.channels.empty()) {
            std::vector<std::uint16_t> channels(r.channels.begin(), r.channels.end());
            w.us(tags::kReferencedWaveformChannels, channels);
        }
        if (!r.segments.empty()) {
            std::vector<std::uint16_t> segments(r.segments.begin(), r.segments.end());
            w.us(tags::kReferencedSegmentNumber, segments);
        }
        w.end_item();
        w.end_sequence();
    }
    w.text(tags::kRelationshipType, "CS", item.relationship);
    if (!item.observation_datetime.empty()) w.text(tags::kObservationDateTime, "DT", item.observation_datetime);
    if (!t.empty()) w.text(tags::kValueType, "CS", t);
    if (item.name) code_sequence(w, tags::kConceptNameCodeSequence, item.name);
    if (t == "CONTAINER") w.text(tags::kContinuityOfContent, "CS", item.continuity.empty() ? "SEPARATE" : item.continuity);
    if (t == "DATETIME") w.text(tags::kDateTime, "DT", item.text);
    if (t == "DATE") w.text(tags::kDate, "DA", item.text);
    if (t == "TIME") w.text(tags::kTime, "TM", item.text);
    if (t == "PNAME") w.text(tags::kPersonName, "PN", item.text);
    if (t == "UIDREF") w.text(tags::kUID, "UI", item.text);
    if (t == "TCOORD") {
        w.text(tags::kTemporalRangeType, "CS", item.temporal_range_type);
        if (!item.sample_positions.empty()) {
            std::vector<std::uint32_t> positions(item.sample_positions.begin(), item.sample_positions.end());
            w.ul(tags::kReferencedSamplePositions, positions);
        }
        if (!item.time_offsets.empty()) w.text(tags::kReferencedTimeOffsets, "DS", format_decimals(item.time_offsets));
        if (!item.datetimes.empty()) {
            std::string s;
            for (std::size_t i = 0; i < item.datetimes.size(); ++i) s += (i ? "\\" : "") + item.datetimes[i];
            w.text(tags::kReferencedDateTime, "DT", s);
        }
    }
    if (t == "TEXT") w.text(tags::kTextValue, "UT", item.text);
    if (t == "CODE") code_sequence(w, tags::kConceptCodeSequence, item.code);
    if (!item.observation_uid.empty()) w.text(tags::kObservationUID, "UI", item.observation_uid);
    if (t == "NUM") {
        w.begin_sequence(tags::kMeasuredValueSequence);
        if (item.number) {
            w.begin_item();
            code_sequence(w, tags::kMeasurementUnitsCodeSequence, item.unit);
            if (item.float_number) w.fd(tags::kFloatingPointValue, std::span<const double>(&*item.float_number, 1));
            // The value as the document or the caller wrote it, when it is one a DS holds.
            const bool as_written = !item.number_text.empty() && item.number_text.size() <= 16;
            w.text(tags::kNumericValue, "DS", as_written ? item.number_text : format_decimal(*item.number));
            w.end_item();
        }
        w.end_sequence();
        if (item.qualifier) code_sequence(w, tags::kNumericValueQualifierCodeSequence, item.qualifier);
    }
    if (t == "CONTAINER" && !item.template_id.empty()) write_template(w, item);
    if (!item.children.empty()) write_children(w, item.children);
    if (!item.referenced_content.empty()) w.ul(tags::kReferencedContentItemIdentifier, item.referenced_content);
    if (t == "SCOORD" || t == "SCOORD3D") {
        std::vector<float> data(item.graphic_data.begin(), item.graphic_data.end());
        w.fl(tags::kGraphicData, data);
        w.text(tags::kGraphicType, "CS", item.graphic_type);
    }
    if (t == "SCOORD3D") w.text(tags::kReferencedFrameOfReferenceUID, "UI", item.frame_of_reference_uid);
}

void write_children(ItemWriter& w, const std::vector<ContentItem>& children) {
    w.begin_sequence(tags::kContentSequence);
    for (const ContentItem& c : children) {
        w.begin_item();
        write_item_elements(w, c);
        w.end_item();
    }
    w.end_sequence();
}

void write_evidence(ItemWriter& w, Tag tag, const std::vector<EvidenceInstance>& evidence) {
    // Grouped by study, then series, in order of first appearance.
    std::vector<std::string> studies;
    for (const EvidenceInstance& e : evidence)
        if (std::find(studies.begin(), studies.end(), e.study_instance_uid) == studies.end()) studies.push_back(e.study_instance_uid);
    w.begin_sequence(tag);
    for (const std::string& study : studies) {
        w.begin_item();
        w.begin_sequence(tags::kReferencedSeriesSequence);
        std::vector<std::string> series;
        for (const EvidenceInstance& e : evidence)
            if (e.study_instance_uid == study && std::find(series.begin(), series.end(), e.series_instance_uid) == series.end())
                series.push_back(e.series_instance_uid);
        for (const std::string& s : series) {
            w.begin_item();
            w.begin_sequence(tags::kReferencedSOPSequence);
            for (const EvidenceInstance& e : evidence)
                if (e.study_instance_uid == study && e.series_instance_uid == s) {
                    w.begin_item();
                    w.text(tags::kReferencedSOPClassUID, "UI", e.sop_class_uid);
                    w.text(tags::kReferencedSOPInstanceUID, "UI", e.sop_instance_uid);
                    w.end_item();
                }
            w.end_sequence();
            w.text(tags::kSeriesInstanceUID, "UI", s);
            w.end_item();
        }
        w.end_sequence();
        w.text(tags::kStudyInstanceUID, "UI", study);
        w.end_item();
    }
    w.end_sequence();
}

// The tree as text, for UIDs that follow the content.
void describe(const ContentItem& item, std::string& out) {
    const auto code = [&](const std::optional<CodedConcept>& c) {
        if (c) out += c->value + "|" + c->scheme + "|" + c->meaning + "|";
        out += ";";
    };
    out += item.value_type + "|" + item.relationship + "|";
    code(item.name), code(item.code), code(item.unit), code(item.qualifier);
    out += item.text + "|" + (item.number ? format_decimal(*item.number) : "") + "|" + item.graphic_type + "|" +
           format_decimals(item.graphic_data) + "|" + item.frame_of_reference_uid + "|" + item.template_id + "|";
    if (item.reference) out += item.reference->sop_instance_uid + "|" + joined(item.reference->frames) + "|";
    for (const std::uint32_t r : item.referenced_content) out += std::to_string(r) + ".";
    out += "{";
    for (const ContentItem& c : item.children) describe(c, out);
    out += "}";
}


}  // namespace

std::string least_sr_class(const ContentItem& root) {
    Uses uses;
    survey(root, uses);
    if (uses.scoord3d) return kComprehensive3dSr;
    if (uses.by_reference || uses.beyond_basic) return kComprehensiveSr;
    return kBasicTextSr;
}

std::string content_problem(const ContentItem& root, std::string_view sop_class) {
    return check_item(root, sop_class, "1", true);
}

std::vector<std::uint8_t> write_document(SrDocument d, const Identity& who, bool require_evidence) {
    if (d.sop_class_uid.empty()) d.sop_class_uid = least_sr_class(d.content);
    if (d.sop_class_uid != kBasicTextSr && d.sop_class_uid != kEnhancedSr && d.sop_class_uid != kComprehensiveSr &&
        d.sop_class_uid != kComprehensive3dSr)
        throw std::invalid_argument("sop_class_uid must be Basic Text, Enhanced, Comprehensive or Comprehensive 3D SR, not " +
                                    d.sop_class_uid);
    if (const std::string problem = content_problem(d.content, d.sop_class_uid); !problem.empty())
        throw std::invalid_argument(problem);
    // Every referenced instance must be listed as evidence, with its study and series.
    std::vector<const InstanceReference*> refs;
    collect_references(d.content, refs);
    for (const InstanceReference* r : require_evidence ? refs : std::vector<const InstanceReference*>{}) {
        const auto listed = [&](const std::vector<EvidenceInstance>& list) {
            return std::any_of(list.begin(), list.end(), [&](const EvidenceInstance& e) { return e.sop_instance_uid == r->sop_instance_uid; });
        };
        if (!listed(d.evidence) && !listed(d.other_evidence))
            throw std::invalid_argument("the content references " + r->sop_instance_uid +
                                        ", which 'evidence' does not list (with its study and series UIDs)");
        if (!r->presentation_instance_uid.empty()) {
            const auto listed_state = [&](const std::vector<EvidenceInstance>& list) {
                return std::any_of(list.begin(), list.end(), [&](const EvidenceInstance& e) { return e.sop_instance_uid == r->presentation_instance_uid; });
            };
            if (!listed_state(d.evidence) && !listed_state(d.other_evidence))
                throw std::invalid_argument("the content references the presentation state " + r->presentation_instance_uid +
                                            ", which 'evidence' does not list (with its study and series UIDs)");
        }
    }
    for (const auto& list : {d.evidence, d.other_evidence})
        for (const EvidenceInstance& e : list)
            if (e.study_instance_uid.empty() || e.series_instance_uid.empty() || e.sop_class_uid.empty() || e.sop_instance_uid.empty())
                throw std::invalid_argument("every evidence entry needs its study, series, SOP class and SOP instance UIDs");
    std::string seed = d.patient_id + "|" + d.patient_name + "|" + d.study_instance_uid + "|" + d.study_date + "|";
    describe(d.content, seed);
    if (d.study_instance_uid.empty()) d.study_instance_uid = uid::mint("sr-study\n" + seed, kUidRoot);
    if (d.sop_instance_uid.empty()) d.sop_instance_uid = uid::mint("sr-instance\n" + seed, kUidRoot);
    if (d.series_instance_uid.empty()) d.series_instance_uid = uid::mint("sr-series\n" + seed, kUidRoot);
    if (d.content_date.empty()) d.content_date = !d.study_date.empty() ? d.study_date : utc_now("%Y%m%d");
    if (d.content_time.empty()) d.content_time = !d.study_time.empty() ? d.study_time : utc_now("%H%M%S");
    for (VerifyingObserver& o : d.verifying_observers)
        if (o.datetime.empty()) o.datetime = d.content_date + d.content_time;  // verified when written
    if (d.completion_flag.empty()) d.completion_flag = "COMPLETE";
    if (d.verification_flag.empty()) d.verification_flag = "UNVERIFIED";
    if (d.instance_number.empty()) d.instance_number = "1";
    const std::string& manufacturer = d.manufacturer;  // type 2: empty stays empty
    const std::string series_number = !d.series_number.empty() ? d.series_number : who.series_number;
    const std::string series_description = !d.series_description.empty() ? d.series_description : who.series_description;

    // Top-level elements by tag, written in tag order at the end.
    std::map<Tag, std::vector<std::uint8_t>> top;
    const auto put = [&](Tag tag, auto write) {
        ItemWriter w;
        write(w);
        top[tag] = std::move(w.out);
    };
    const auto text = [&](Tag tag, const char* vr, const std::string& value) {
        put(tag, [&](ItemWriter& w) { w.text(tag, vr, value); });
    };
    text(tags::kSpecificCharacterSet, "CS", "ISO_IR 192");
    text(tags::kSOPClassUID, "UI", d.sop_class_uid);
    text(tags::kSOPInstanceUID, "UI", d.sop_instance_uid);
    text(tags::kStudyDate, "DA", d.study_date);
    text(tags::kContentDate, "DA", d.content_date);
    text(tags::kStudyTime, "TM", d.study_time);
    text(tags::kContentTime, "TM", d.content_time);
    text(tags::kAccessionNumber, "SH", d.accession_number);
    text(tags::kModality, "CS", "SR");
    text(tags::kManufacturer, "LO", manufacturer);
    text(tags::kReferringPhysicianName, "PN", d.referring_physician_name);
    if (!d.study_description.empty()) text(tags::kStudyDescription, "LO", d.study_description);
    if (!series_description.empty()) text(tags::kSeriesDescription, "LO", series_description);
    if (!who.model_name.empty()) text(tags::kManufacturerModelName, "LO", who.model_name);
    put(tags::kReferencedPerformedProcedureStepSequence, [](ItemWriter& w) {
        w.begin_sequence(tags::kReferencedPerformedProcedureStepSequence);
        w.end_sequence();
    });
    text(tags::kPatientName, "PN", d.patient_name);
    text(tags::kPatientID, "LO", d.patient_id);
    text(tags::kPatientBirthDate, "DA", d.patient_birth_date);
    text(tags::kPatientSex, "CS", d.patient_sex);
    if (!who.device_serial_number.empty()) text(tags::kDeviceSerialNumber, "LO", who.device_serial_number);
    if (!who.software_versions.empty()) text(tags::kSoftwareVersions, "LO", who.software_versions);
    text(tags::kStudyInstanceUID, "UI", d.study_instance_uid);
    text(tags::kSeriesInstanceUID, "UI", d.series_instance_uid);
    text(tags::kStudyID, "SH", d.study_id);
    text(tags::kSeriesNumber, "IS", series_number);
    text(tags::kInstanceNumber, "IS", d.instance_number);
    put(tags::kPerformedProcedureCodeSequence, [](ItemWriter& w) {
        w.begin_sequence(tags::kPerformedProcedureCodeSequence);
        w.end_sequence();
    });
    if (!d.evidence.empty())
        put(tags::kCurrentRequestedProcedureEvidenceSequence,
            [&](ItemWriter& w) { write_evidence(w, tags::kCurrentRequestedProcedureEvidenceSequence, d.evidence); });
    if (!d.other_evidence.empty())
        put(tags::kPertinentOtherEvidenceSequence,
            [&](ItemWriter& w) { write_evidence(w, tags::kPertinentOtherEvidenceSequence, d.other_evidence); });
    if (!d.verifying_observers.empty())
        put(tags::kVerifyingObserverSequence, [&](ItemWriter& w) {
            w.begin_sequence(tags::kVerifyingObserverSequence);
            for (const VerifyingObserver& o : d.verifying_observers) {
                w.begin_item();
                w.text(tags::kVerifyingOrganization, "LO", o.organization);
                w.text(tags::kVerificationDateTime, "DT", o.datetime);
                w.text(tags::kVerifyingObserverName, "PN", o.name);
                w.begin_sequence(tags::kVerifyingObserverIdentificationCodeSequence);
                w.end_sequence();
                w.end_item();
            }
            w.end_sequence();
        });
    text(tags::kCompletionFlag, "CS", d.completion_flag);
    text(tags::kVerificationFlag, "CS", d.verification_flag);
    if (!d.preliminary_flag.empty()) text(tags::kPreliminaryFlag, "CS", d.preliminary_flag);
    // The root's own elements, each in its place among the header's.
    const ContentItem& root = d.content;
    if (!root.observation_datetime.empty()) text(tags::kObservationDateTime, "DT", root.observation_datetime);
    text(tags::kValueType, "CS", root.value_type);
    put(tags::kConceptNameCodeSequence, [&](ItemWriter& w) { code_sequence(w, tags::kConceptNameCodeSequence, root.name); });
    text(tags::kContinuityOfContent, "CS", root.continuity.empty() ? "SEPARATE" : root.continuity);
    if (!root.observation_uid.empty()) text(tags::kObservationUID, "UI", root.observation_uid);
    if (!root.template_id.empty()) put(tags::kContentTemplateSequence, [&](ItemWriter& w) { write_template(w, root); });
    if (!root.children.empty()) put(tags::kContentSequence, [&](ItemWriter& w) { write_children(w, root.children); });
    std::vector<std::uint8_t> body;
    for (const auto& [tag, bytes] : top) body.insert(body.end(), bytes.begin(), bytes.end());
    std::vector<std::uint8_t> out;
    if (Part10Wrap(d.sop_class_uid, d.sop_instance_uid, body, "1.2.840.10008.1.2.1", out) != 0)
        throw std::runtime_error("the document is too large to write");
    return out;
}

}  // namespace loamwerk::sr
