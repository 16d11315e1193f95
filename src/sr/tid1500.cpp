#include "sr/tid1500.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <stdexcept>

#include "core/uid.hpp"
#include "core/writer.hpp"

namespace loamwerk::sr {

namespace {

CodedConcept dcm(const char* value, const char* meaning) { return {value, "DCM", meaning, {}}; }
CodedConcept sct(const char* value, const char* meaning) { return {value, "SCT", meaning, {}}; }

// The concepts of the template, by code value and scheme; older documents use SNOMED-RT codes.
const CodedConcept kReport = dcm("126000", "Imaging Measurement Report");
const CodedConcept kLanguage = dcm("121049", "Language of Content Item and Descendants");
const CodedConcept kObserverType = dcm("121005", "Observer Type");
const CodedConcept kPersonName = dcm("121008", "Person Observer Name");
const CodedConcept kDeviceUid = dcm("121012", "Device Observer UID");
const CodedConcept kDeviceName = dcm("121013", "Device Observer Name");
const CodedConcept kDeviceManufacturer = dcm("121014", "Device Observer Manufacturer");
const CodedConcept kDeviceModel = dcm("121015", "Device Observer Model Name");
const CodedConcept kDeviceSerial = dcm("121016", "Device Observer Serial Number");
const CodedConcept kProcedure = dcm("121058", "Procedure reported");
const CodedConcept kImageLibrary = dcm("111028", "Image Library");
const CodedConcept kImageLibraryGroup = dcm("126200", "Image Library Group");
const CodedConcept kMeasurements = dcm("126010", "Imaging Measurements");
const CodedConcept kGroup = dcm("125007", "Measurement Group");
const CodedConcept kActivitySession = {"C67447", "NCIt", "Activity Session", {}};
const CodedConcept kTimePoint = {"C2348792", "UMLS", "Time Point", {}};
const CodedConcept kTrackingId = dcm("112039", "Tracking Identifier");
const CodedConcept kTrackingUid = dcm("112040", "Tracking Unique Identifier");
const CodedConcept kAlgorithmName = dcm("111001", "Algorithm Name");
const CodedConcept kAlgorithmVersion = dcm("111003", "Algorithm Version");
const CodedConcept kAlgorithmParameters = dcm("111002", "Algorithm Parameters");
const CodedConcept kFinding = dcm("121071", "Finding");
const CodedConcept kReferencedSegment = dcm("121191", "Referenced Segment");
const CodedConcept kImageRegion = dcm("111030", "Image Region");
const CodedConcept kVolumeSurface = dcm("121231", "Volume Surface");
const CodedConcept kSourceSeries = dcm("121232", "Source series for segmentation");
const CodedConcept kRwvm = dcm("126100", "Real World Value Map used for measurement");
const CodedConcept kMethod = sct("370129005", "Measurement Method");
const CodedConcept kFindingSite = sct("363698007", "Finding Site");
const CodedConcept kLaterality = sct("272741003", "Laterality");
const CodedConcept kDerivation = dcm("121401", "Derivation");
const CodedConcept kPopulation = dcm("121405", "Population description");
const CodedConcept kNotANumber = dcm("114000", "Not a number");
const CodedConcept kNegativeInfinity = dcm("114001", "Negative Infinity");
const CodedConcept kPositiveInfinity = dcm("114002", "Positive Infinity");

constexpr const char* kSegmentationClass = "1.2.840.10008.5.1.4.1.1.66.4";
constexpr const char* kRwvmClass = "1.2.840.10008.5.1.4.1.1.67";

bool is(const std::optional<CodedConcept>& c, const CodedConcept& k) { return c && c->value == k.value && c->scheme == k.scheme; }
bool is_any(const std::optional<CodedConcept>& c, const CodedConcept& k, const char* srt) {
    return is(c, k) || (c && c->scheme == "SRT" && c->value == srt);
}

ContentItem item(const char* relationship, const char* type, const CodedConcept& name) {
    ContentItem i;
    i.relationship = relationship, i.value_type = type, i.name = name;
    return i;
}

ContentItem text_item(const char* relationship, const CodedConcept& name, const std::string& text, const char* type = "TEXT") {
    ContentItem i = item(relationship, type, name);
    i.text = text;
    return i;
}

ContentItem code_item(const char* relationship, const CodedConcept& name, const CodedConcept& code) {
    ContentItem i = item(relationship, "CODE", name);
    i.code = code;
    return i;
}

// A NUM from the value as written: "nan", "inf" and "-inf" have no measured value and say why.
ContentItem num_item(const char* relationship, const CodedConcept& name, const std::string& value, const CodedConcept& units,
                     const std::string& where) {
    ContentItem i = item(relationship, "NUM", name);
    std::string lower;
    for (const char c : value) lower += char(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "nan") i.qualifier = kNotANumber;
    else if (lower == "inf" || lower == "+inf" || lower == "infinity") i.qualifier = kPositiveInfinity;
    else if (lower == "-inf" || lower == "-infinity") i.qualifier = kNegativeInfinity;
    else {
        double v = 0;
        std::string_view s = value;
        if (!s.empty() && s.front() == '+') s.remove_prefix(1);
        const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
        if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size() || !std::isfinite(v))
            throw std::invalid_argument(where + ": value '" + value + "' is not a number");
        i.number = v;
        i.number_text = value.size() <= 16 ? value : format_decimal(v);
        i.unit = units;
    }
    return i;
}

void add_algorithm(std::vector<ContentItem>& out, const AlgorithmIdentification& a) {
    if (!a.name.empty()) out.push_back(text_item("HAS CONCEPT MOD", kAlgorithmName, a.name));
    if (!a.version.empty()) out.push_back(text_item("HAS CONCEPT MOD", kAlgorithmVersion, a.version));
    for (const std::string& p : a.parameters) out.push_back(text_item("HAS CONCEPT MOD", kAlgorithmParameters, p));
}

const InstanceHeader* find_header(const std::vector<InstanceHeader>& headers, const std::string& uid) {
    for (const InstanceHeader& h : headers)
        if (h.sop_instance_uid == uid) return &h;
    return nullptr;
}

ContentItem reference_item(const char* relationship, const char* type, const CodedConcept& name, const std::string& sop_class,
                           const std::string& sop_instance) {
    ContentItem i = item(relationship, type, name);
    i.reference = InstanceReference{sop_class, sop_instance, {}, {}, {}, {}, {}};
    return i;
}

ContentItem group_item(const MeasurementGroup& g, std::size_t index, const MeasurementReport& r,
                       const std::vector<InstanceHeader>& library, const std::vector<InstanceHeader>& context,
                       const std::string& seed) {
    const std::string where = "Measurements[" + std::to_string(index + 1) + "]";
    if (g.tracking_id.empty()) throw std::invalid_argument(where + ": TrackingIdentifier is required");
    if (g.region && !g.segmentation_uid.empty())
        throw std::invalid_argument(where + ": a group is measured in a segment or in a region, not both");
    ContentItem c = item("CONTAINS", "CONTAINER", kGroup);
    // Planar regions are TID 1410, segments and volume surfaces TID 1411, the rest TID 1501.
    c.template_id = g.region ? (g.region->volumetric ? "1411" : "1410") : g.segmentation_uid.empty() ? "1501" : "1411";
    c.mapping_resource = "DCMR";
    auto& k = c.children;
    const std::string session = !g.activity_session.empty() ? g.activity_session : r.activity_session;
    const std::string time_point = !g.time_point.empty() ? g.time_point : r.time_point;
    if (!session.empty()) k.push_back(text_item("HAS OBS CONTEXT", kActivitySession, session));
    k.push_back(text_item("HAS OBS CONTEXT", kTrackingId, g.tracking_id));
    const std::string tracking_uid =
        !g.tracking_uid.empty() ? g.tracking_uid : uid::mint("tid1500-tracking\n" + std::to_string(index) + "\n" + g.tracking_id + "\n" + seed, kUidRoot);
    k.push_back(text_item("HAS OBS CONTEXT", kTrackingUid, tracking_uid, "UIDREF"));
    add_algorithm(k, g.algorithm);
    if (!g.finding) throw std::invalid_argument(where + ": Finding is required");
    k.push_back(code_item("CONTAINS", kFinding, *g.finding));
    if (!time_point.empty()) k.push_back(text_item("HAS OBS CONTEXT", kTimePoint, time_point));
    if (g.region) {
        const RegionOfInterest& roi = *g.region;
        ContentItem region = item("CONTAINS", roi.volumetric ? "SCOORD3D" : "SCOORD", roi.volumetric ? kVolumeSurface : kImageRegion);
        region.graphic_type = roi.graphic_type, region.graphic_data = roi.graphic_data;
        if (roi.volumetric) {
            region.frame_of_reference_uid = roi.frame_of_reference_uid;
        } else {
            const InstanceHeader* image = find_header(library, roi.image_uid);
            if (!image) throw std::invalid_argument(where + ": the region's image " + roi.image_uid + " is not in the image library");
            ContentItem source = reference_item("SELECTED FROM", "IMAGE", {}, image->sop_class_uid, roi.image_uid);
            source.name.reset();
            source.reference->frames = roi.frames;
            region.children.push_back(std::move(source));
        }
        k.push_back(std::move(region));
    }
    if (!g.segmentation_uid.empty()) {
        const InstanceHeader* h = find_header(context, g.segmentation_uid);
        if (!h) throw std::invalid_argument(where + ": segmentationSOPInstanceUID " + g.segmentation_uid + " is not among the composite context instances");
        ContentItem seg = reference_item("CONTAINS", "IMAGE", kReferencedSegment, h->sop_class_uid.empty() ? kSegmentationClass : h->sop_class_uid,
                                         g.segmentation_uid);
        if (g.referenced_segment) seg.reference->segments.push_back(*g.referenced_segment);
        k.push_back(std::move(seg));
    }
    if (!g.source_series.empty()) k.push_back(text_item("CONTAINS", kSourceSeries, g.source_series, "UIDREF"));
    if (!g.rwvm_uid.empty()) {
        const InstanceHeader* h = find_header(context, g.rwvm_uid);
        if (!h) throw std::invalid_argument(where + ": rwvmMapUsedForMeasurement " + g.rwvm_uid + " is not among the composite context instances");
        k.push_back(reference_item("CONTAINS", "COMPOSITE", kRwvm, h->sop_class_uid.empty() ? kRwvmClass : h->sop_class_uid, g.rwvm_uid));
    }
    if (g.method) k.push_back(code_item("HAS CONCEPT MOD", kMethod, *g.method));
    if (g.finding_site) {
        ContentItem site = code_item("HAS CONCEPT MOD", kFindingSite, *g.finding_site);
        if (g.laterality) site.children.push_back(code_item("HAS CONCEPT MOD", kLaterality, *g.laterality));
        k.push_back(std::move(site));
    }
    for (std::size_t m = 0; m < g.items.size(); ++m) {
        const MeasurementItem& it = g.items[m];
        const std::string here = where + ".measurementItems[" + std::to_string(m + 1) + "]";
        ContentItem num = num_item("CONTAINS", it.quantity, it.value, it.units, here);
        for (const auto& [modifier, value] : it.modifiers) num.children.push_back(code_item("HAS CONCEPT MOD", modifier, value));
        if (it.derivation) num.children.push_back(code_item("HAS CONCEPT MOD", kDerivation, *it.derivation));
        for (const CodedNumber& p : it.derivation_parameters)
            num.children.push_back(num_item("INFERRED FROM", p.concept_name, p.value, p.units, here + " derivation parameter"));
        add_algorithm(num.children, it.algorithm);
        if (!it.population_description.empty())
            num.children.push_back(text_item("HAS PROPERTIES", kPopulation, it.population_description));
        for (const CodedNumber& p : it.properties)
            num.children.push_back(num_item("HAS PROPERTIES", p.concept_name, p.value, p.units, here + " property"));
        k.push_back(std::move(num));
    }
    for (const QualitativeEvaluation& q : g.qualitative)
        k.push_back(q.code ? code_item("CONTAINS", q.concept_name, *q.code) : text_item("CONTAINS", q.concept_name, q.text));
    return c;
}

// ---- reading ----

const std::string* text_of(const ContentItem& c, const CodedConcept& k) {
    return is(c.name, k) ? &c.text : nullptr;
}

void read_algorithm(const ContentItem& c, AlgorithmIdentification& a) {
    if (c.value_type != "TEXT") return;
    if (is(c.name, kAlgorithmName)) a.name = c.text;
    else if (is(c.name, kAlgorithmVersion)) a.version = c.text;
    else if (is(c.name, kAlgorithmParameters)) a.parameters.push_back(c.text);
}

std::string value_of(const ContentItem& num) {
    if (num.number) return !num.number_text.empty() ? num.number_text : format_decimal(*num.number);
    if (is(num.qualifier, kNotANumber)) return "nan";
    if (is(num.qualifier, kPositiveInfinity)) return "inf";
    if (is(num.qualifier, kNegativeInfinity)) return "-inf";
    return {};
}

CodedNumber coded_number(const ContentItem& num) {
    return {num.name.value_or(CodedConcept{}), num.unit.value_or(CodedConcept{}), value_of(num)};
}

MeasurementItem read_item(const ContentItem& num) {
    MeasurementItem m;
    m.value = value_of(num);
    m.float_value = num.float_number;
    m.quantity = num.name.value_or(CodedConcept{});
    m.units = num.unit.value_or(CodedConcept{});
    for (const ContentItem& c : num.children) {
        if (c.value_type == "CODE" && c.relationship == "HAS CONCEPT MOD") {
            if (is(c.name, kDerivation)) m.derivation = c.code;
            else if (c.name && c.code) m.modifiers.emplace_back(*c.name, *c.code);
        } else if (c.value_type == "NUM" && c.relationship == "INFERRED FROM") {
            m.derivation_parameters.push_back(coded_number(c));
        } else if (c.value_type == "NUM" && c.relationship == "HAS PROPERTIES") {
            m.properties.push_back(coded_number(c));
        } else if (c.value_type == "TEXT" && is(c.name, kPopulation)) {
            m.population_description = c.text;
        } else {
            read_algorithm(c, m.algorithm);
        }
    }
    return m;
}

MeasurementGroup read_group(const ContentItem& group) {
    MeasurementGroup g;
    for (const ContentItem& c : group.children) {
        const std::string& t = c.value_type;
        if (const std::string* s = text_of(c, kActivitySession)) g.activity_session = *s;
        else if (const std::string* s2 = text_of(c, kTrackingId)) g.tracking_id = *s2;
        else if (const std::string* s3 = text_of(c, kTrackingUid)) g.tracking_uid = *s3;
        else if (const std::string* s4 = text_of(c, kTimePoint)) g.time_point = *s4;
        else if (const std::string* s5 = text_of(c, kSourceSeries); s5 || (t == "UIDREF" && c.name && c.name->value == "121232"))
            g.source_series = c.text;
        else if (t == "CODE" && is(c.name, kFinding)) g.finding = c.code;
        else if (t == "IMAGE" && is(c.name, kReferencedSegment) && c.reference) {
            g.segmentation_uid = c.reference->sop_instance_uid;
            if (!c.reference->segments.empty()) g.referenced_segment = c.reference->segments.front();
        } else if (t == "COMPOSITE" && is(c.name, kRwvm) && c.reference) g.rwvm_uid = c.reference->sop_instance_uid;
        else if (t == "SCOORD" || t == "SCOORD3D") {
            RegionOfInterest roi;
            roi.volumetric = t == "SCOORD3D", roi.graphic_type = c.graphic_type, roi.graphic_data = c.graphic_data;
            roi.frame_of_reference_uid = c.frame_of_reference_uid;
            for (const ContentItem& source : c.children)
                if (source.relationship == "SELECTED FROM" && source.reference)
                    roi.image_uid = source.reference->sop_instance_uid, roi.frames = source.reference->frames;
            g.region = std::move(roi);
        }
        else if (t == "CODE" && is_any(c.name, kMethod, "G-C036")) g.method = c.code;
        else if (t == "CODE" && is_any(c.name, kFindingSite, "G-C0E3")) {
            g.finding_site = c.code;
            for (const ContentItem& m : c.children)
                if (m.value_type == "CODE" && is_any(m.name, kLaterality, "G-C171")) g.laterality = m.code;
        } else if (t == "NUM") g.items.push_back(read_item(c));
        else if ((t == "CODE" || t == "TEXT") && c.relationship == "CONTAINS" && c.name)
            g.qualitative.push_back({*c.name, c.code, c.text});
        else read_algorithm(c, g.algorithm);
    }
    return g;
}

void collect_images(const ContentItem& c, std::vector<std::string>& out) {
    if (c.value_type == "IMAGE" && c.reference) out.push_back(c.reference->sop_instance_uid);
    for (const ContentItem& k : c.children) collect_images(k, out);
}

}  // namespace

SrDocument measurement_document(const MeasurementReport& r, const std::vector<InstanceHeader>& library,
                                const std::vector<InstanceHeader>& context) {
    SrDocument d;
    // The storage class follows the tree: Comprehensive, or Comprehensive 3D for volume surfaces.
    d.sop_class_uid.clear();
    const InstanceHeader* first = !library.empty() ? &library.front() : !context.empty() ? &context.front() : nullptr;
    if (first) {
        d.study_instance_uid = first->study_instance_uid;
        d.patient_name = first->patient_name, d.patient_id = first->patient_id;
        d.patient_birth_date = first->patient_birth_date, d.patient_sex = first->patient_sex;
        d.study_date = first->study_date, d.study_time = first->study_time, d.study_id = first->study_id;
        d.accession_number = first->accession_number, d.referring_physician_name = first->referring_physician_name;
        d.study_description = first->study_description;
    }
    d.series_description = r.series_description, d.series_number = r.series_number, d.instance_number = r.instance_number;
    d.completion_flag = r.completion_flag, d.verification_flag = r.verification_flag;
    for (const auto* list : {&context, &library})
        for (const InstanceHeader& h : *list)
            d.evidence.push_back({h.study_instance_uid, h.series_instance_uid, h.sop_class_uid, h.sop_instance_uid});
    if (r.verification_flag == "VERIFIED")
        d.verifying_observers.push_back({r.observer.type == "DEVICE" ? r.observer.device_name : r.observer.person_name, "", ""});

    ContentItem& root = d.content;
    root.value_type = "CONTAINER", root.name = kReport, root.template_id = "1500", root.mapping_resource = "DCMR";
    auto& k = root.children;
    k.push_back(code_item("HAS CONCEPT MOD", kLanguage, {"eng", "RFC5646", "English", {}}));
    const Observer& o = r.observer;
    if (o.type == "DEVICE") {
        k.push_back(code_item("HAS OBS CONTEXT", kObserverType, dcm("121007", "Device")));
        if (o.device_uid.empty()) throw std::invalid_argument("observerContext: a DEVICE observer needs DeviceObserverUID");
        k.push_back(text_item("HAS OBS CONTEXT", kDeviceUid, o.device_uid, "UIDREF"));
        if (!o.device_name.empty()) k.push_back(text_item("HAS OBS CONTEXT", kDeviceName, o.device_name));
        if (!o.device_manufacturer.empty()) k.push_back(text_item("HAS OBS CONTEXT", kDeviceManufacturer, o.device_manufacturer));
        if (!o.device_model_name.empty()) k.push_back(text_item("HAS OBS CONTEXT", kDeviceModel, o.device_model_name));
        if (!o.device_serial_number.empty()) k.push_back(text_item("HAS OBS CONTEXT", kDeviceSerial, o.device_serial_number));
    } else if (o.type == "PERSON") {
        k.push_back(code_item("HAS OBS CONTEXT", kObserverType, dcm("121006", "Person")));
        if (o.person_name.empty()) throw std::invalid_argument("observerContext: a PERSON observer needs PersonObserverName");
        k.push_back(text_item("HAS OBS CONTEXT", kPersonName, o.person_name, "PNAME"));
    } else {
        throw std::invalid_argument("observerContext: ObserverType must be PERSON or DEVICE, not '" + o.type + "'");
    }
    k.push_back(code_item("HAS CONCEPT MOD", kProcedure, r.procedure_reported.value_or(sct("363679005", "Imaging procedure"))));
    ContentItem lib = item("CONTAINS", "CONTAINER", kImageLibrary);
    lib.template_id = "1600", lib.mapping_resource = "DCMR";
    if (!library.empty()) {
        ContentItem group = item("CONTAINS", "CONTAINER", kImageLibraryGroup);
        for (const InstanceHeader& h : library) {
            ContentItem image;
            image.relationship = "CONTAINS", image.value_type = "IMAGE";
            image.reference = InstanceReference{h.sop_class_uid, h.sop_instance_uid, {}, {}, {}, {}, {}};
            group.children.push_back(std::move(image));
        }
        lib.children.push_back(std::move(group));
    }
    k.push_back(std::move(lib));
    ContentItem measurements = item("CONTAINS", "CONTAINER", kMeasurements);
    std::string seed = d.study_instance_uid + "\n" + r.series_description + "\n" + r.series_number;
    for (const InstanceHeader& h : context) seed += "\n" + h.sop_instance_uid;
    for (std::size_t g = 0; g < r.groups.size(); ++g)
        measurements.children.push_back(group_item(r.groups[g], g, r, library, context, seed));
    k.push_back(std::move(measurements));
    return d;
}

MeasurementReport measurement_report(const SrDocument& doc) {
    const ContentItem& root = doc.content;
    if (!is(root.name, kReport)) throw std::runtime_error("not a TID 1500 Imaging Measurement Report (the root is not DCM 126000)");
    MeasurementReport r;
    r.series_description = doc.series_description, r.series_number = doc.series_number;
    r.instance_number = doc.instance_number, r.completion_flag = doc.completion_flag;
    r.verification_flag = doc.verification_flag;
    for (const ContentItem& c : root.children) {
        if (c.value_type == "CODE" && is(c.name, kObserverType) && c.code)
            r.observer.type = c.code->value == "121007" ? "DEVICE" : "PERSON";
        else if (is(c.name, kPersonName)) r.observer.person_name = c.text;
        else if (is(c.name, kDeviceUid)) r.observer.device_uid = c.text;
        else if (is(c.name, kDeviceName)) r.observer.device_name = c.text;
        else if (is(c.name, kDeviceManufacturer)) r.observer.device_manufacturer = c.text;
        else if (is(c.name, kDeviceModel)) r.observer.device_model_name = c.text;
        else if (is(c.name, kDeviceSerial)) r.observer.device_serial_number = c.text;
        else if (c.value_type == "CODE" && is(c.name, kProcedure)) r.procedure_reported = c.code;
        else if (is(c.name, kImageLibrary)) collect_images(c, r.image_library);
        else if (is(c.name, kMeasurements))
            for (const ContentItem& g : c.children)
                if (g.value_type == "CONTAINER" && is(g.name, kGroup)) r.groups.push_back(read_group(g));
    }
    if (!r.groups.empty()) r.activity_session = r.groups.front().activity_session, r.time_point = r.groups.front().time_point;
    for (const EvidenceInstance& e : doc.evidence)
        if (std::find(r.image_library.begin(), r.image_library.end(), e.sop_instance_uid) == r.image_library.end())
            r.composite_context.push_back(e.sop_instance_uid);
    return r;
}

}  // namespace loamwerk::sr
