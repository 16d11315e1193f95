// Structured reports: content trees, Key Object Selection documents and coded concepts.
#include <charconv>
#include <cmath>
#include <stdexcept>
#include <variant>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/variant.h>

#include "bindings/common.hpp"
#include "core/file_io.hpp"
#include "core/writer.hpp"
#include "sr/codes.hpp"
#include "sr/html.hpp"
#include "sr/read.hpp"
#include "sr/regions.hpp"
#include "sr/validate.hpp"
#include "sr/write.hpp"
#include "sr/ko.hpp"
#include "sr/tid1500.hpp"
#include "sr/tid2000.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk::sr;
using namespace nb::literals;

std::string text(const nb::dict& d, const char* key) {
    if (!d.contains(key)) return {};
    nb::object v = d[key];
    return v.is_none() ? std::string() : as_text(v);
}

nb::dict sub(const nb::dict& d, const char* key) {
    if (!d.contains(key)) return nb::dict();
    return option_value<nb::dict>(d[key], std::string("write_ko: '") + key + "'");
}

KoDocument from_python(const nb::dict& doc) {
    refuse_unknown_keys(doc, {"patient_name", "patient_id", "study_uid", "study_date", "study_time", "study_id",
                              "accession_number", "title", "retrieve", "sop_instance_uid", "series_instance_uid",
                              "references"}, "write_ko");
    KoDocument d;
    d.patient_name = text(doc, "patient_name"), d.patient_id = text(doc, "patient_id");
    d.study_uid = text(doc, "study_uid"), d.study_date = text(doc, "study_date"), d.study_time = text(doc, "study_time");
    d.study_id = text(doc, "study_id"), d.accession_number = text(doc, "accession_number");
    const nb::dict title = sub(doc, "title");
    refuse_unknown_keys(title, {"value", "scheme", "meaning"}, "write_ko: 'title'");
    if (!text(title, "value").empty()) {
        d.title_value = text(title, "value");
        d.title_scheme = text(title, "scheme").empty() ? "DCM" : text(title, "scheme");
        d.title_meaning = text(title, "meaning");
    }
    const nb::dict retrieve = sub(doc, "retrieve");
    refuse_unknown_keys(retrieve, {"ae_title", "location_uid"}, "write_ko: 'retrieve'");
    d.retrieve_ae_title = text(retrieve, "ae_title"), d.retrieve_location_uid = text(retrieve, "location_uid");
    d.sop_instance_uid = text(doc, "sop_instance_uid"), d.series_instance_uid = text(doc, "series_instance_uid");
    if (doc.contains("references"))
        for (nb::handle h : option_value<nb::list>(doc["references"], "write_ko: 'references'")) {
            const nb::dict r = option_value<nb::dict>(h, "write_ko: each reference");
            // "frames" is what read_ko gives: its first frame is the one referenced.
            refuse_unknown_keys(r, {"study_uid", "series_uid", "sop_class_uid", "sop_instance_uid", "frame", "frames"},
                                "write_ko: a reference");
            KoReference k{text(r, "study_uid"), text(r, "series_uid"), text(r, "sop_class_uid"),
                          text(r, "sop_instance_uid"), 0};
            if (r.contains("frame") && !r["frame"].is_none())
                k.frame = option_value<std::uint32_t>(r["frame"], "write_ko: a reference's 'frame'");
            else if (r.contains("frames") && !r["frames"].is_none()) {
                const nb::sequence frames = option_value<nb::sequence>(r["frames"], "write_ko: a reference's 'frames'");
                if (nb::len(frames) > 0) k.frame = option_value<std::uint32_t>(frames[0], "write_ko: a reference's 'frames'");
            }
            d.references.push_back(std::move(k));
        }
    return d;
}

// ---- content trees as Python values (the layout content_json gives and write_sr takes) ----

nb::dict code_dict(const CodedConcept& c) {
    nb::dict d;
    d["value"] = utf8_str(c.value), d["scheme"] = utf8_str(c.scheme), d["meaning"] = utf8_str(c.meaning);
    if (!c.scheme_version.empty()) d["scheme_version"] = utf8_str(c.scheme_version);
    return d;
}

template <class T>
nb::list list_of(const std::vector<T>& values) {
    nb::list out;
    for (const T& v : values) {
        if constexpr (std::is_same_v<T, std::string>) out.append(utf8_str(v));
        else out.append(v);
    }
    return out;
}

nb::dict item_dict(const ContentItem& item) {
    nb::dict d;
    const std::string& t = item.value_type;
    if (!t.empty()) d["value_type"] = t;
    if (!item.relationship.empty()) d["relationship"] = item.relationship;
    if (item.name) d["concept"] = code_dict(*item.name);
    if (!item.observation_uid.empty()) d["observation_uid"] = item.observation_uid;
    if (!item.observation_datetime.empty()) d["observation_datetime"] = item.observation_datetime;
    if (!item.referenced_content.empty()) d["referenced_content"] = list_of(item.referenced_content);
    if (t == "TEXT") d["text"] = utf8_str(item.text);
    if (t == "DATETIME") d["datetime"] = utf8_str(item.text);
    if (t == "DATE") d["date"] = utf8_str(item.text);
    if (t == "TIME") d["time"] = utf8_str(item.text);
    if (t == "UIDREF") d["uid"] = utf8_str(item.text);
    if (t == "PNAME") d["person_name"] = utf8_str(item.text);
    if (t == "CODE" && item.code) d["code"] = code_dict(*item.code);
    if (t == "NUM") {
        d["value"] = item.number ? nb::object(nb::float_(*item.number)) : nb::none();
        if (item.unit) d["unit"] = code_dict(*item.unit);
        if (item.qualifier) d["qualifier"] = code_dict(*item.qualifier);
        if (item.float_number) d["float_value"] = *item.float_number;
    }
    if (t == "CONTAINER") {
        d["continuity"] = item.continuity.empty() ? std::string("SEPARATE") : item.continuity;
        if (!item.template_id.empty()) {
            nb::dict tpl;
            tpl["id"] = item.template_id;
            tpl["mapping_resource"] = item.mapping_resource.empty() ? std::string("DCMR") : item.mapping_resource;
            d["template"] = tpl;
        }
    }
    if (item.reference) {
        const InstanceReference& r = *item.reference;
        nb::dict ref;
        ref["sop_class_uid"] = r.sop_class_uid, ref["sop_instance_uid"] = r.sop_instance_uid;
        if (!r.frames.empty()) ref["frames"] = list_of(r.frames);
        if (!r.segments.empty()) ref["segments"] = list_of(r.segments);
        if (!r.channels.empty()) ref["channels"] = list_of(r.channels);
        if (!r.presentation_instance_uid.empty()) {
            nb::dict state;
            state["sop_class_uid"] = r.presentation_class_uid, state["sop_instance_uid"] = r.presentation_instance_uid;
            ref["presentation_state"] = state;
        }
        d["reference"] = ref;
    }
    if (t == "SCOORD" || t == "SCOORD3D") {
        d["graphic_type"] = item.graphic_type;
        d["graphic_data"] = list_of(item.graphic_data);
        if (t == "SCOORD3D") d["frame_of_reference_uid"] = item.frame_of_reference_uid;
    }
    if (t == "TCOORD") {
        d["temporal_range_type"] = item.temporal_range_type;
        if (!item.sample_positions.empty()) d["sample_positions"] = list_of(item.sample_positions);
        if (!item.time_offsets.empty()) d["time_offsets"] = list_of(item.time_offsets);
        if (!item.datetimes.empty()) d["datetimes"] = list_of(item.datetimes);
    }
    if (!item.children.empty()) {
        nb::list children;
        for (const ContentItem& c : item.children) children.append(item_dict(c));
        d["children"] = children;
    }
    return d;
}

nb::dict document_dict(const SrDocument& doc) {
    nb::dict d;
    d["sop_class_uid"] = doc.sop_class_uid, d["sop_instance_uid"] = doc.sop_instance_uid;
    d["series_instance_uid"] = doc.series_instance_uid, d["study_instance_uid"] = doc.study_instance_uid;
    nb::dict patient, study, series;
    patient["name"] = utf8_str(doc.patient_name), patient["id"] = utf8_str(doc.patient_id);
    patient["birth_date"] = doc.patient_birth_date, patient["sex"] = doc.patient_sex;
    study["date"] = doc.study_date, study["time"] = doc.study_time, study["id"] = utf8_str(doc.study_id);
    study["accession_number"] = utf8_str(doc.accession_number);
    study["referring_physician_name"] = utf8_str(doc.referring_physician_name);
    study["description"] = utf8_str(doc.study_description);
    series["number"] = doc.series_number, series["description"] = utf8_str(doc.series_description);
    d["patient"] = patient, d["study"] = study, d["series"] = series;
    d["instance_number"] = doc.instance_number;
    d["content_date"] = doc.content_date, d["content_time"] = doc.content_time;
    d["manufacturer"] = utf8_str(doc.manufacturer);
    d["completion_flag"] = doc.completion_flag, d["verification_flag"] = doc.verification_flag;
    if (!doc.preliminary_flag.empty()) d["preliminary_flag"] = doc.preliminary_flag;
    for (auto [key, list] : {std::pair{"evidence", &doc.evidence}, {"other_evidence", &doc.other_evidence}}) {
        nb::list out;
        for (const EvidenceInstance& e : *list) {
            nb::dict r;
            r["study_instance_uid"] = e.study_instance_uid, r["series_instance_uid"] = e.series_instance_uid;
            r["sop_class_uid"] = e.sop_class_uid, r["sop_instance_uid"] = e.sop_instance_uid;
            out.append(r);
        }
        d[key] = out;
    }
    nb::list observers;
    for (const VerifyingObserver& o : doc.verifying_observers) {
        nb::dict r;
        r["name"] = utf8_str(o.name), r["organization"] = utf8_str(o.organization), r["datetime"] = o.datetime;
        observers.append(r);
    }
    d["verifying_observers"] = observers;
    d["content"] = item_dict(doc.content);
    return d;
}

// Reading the layout back: every dict refuses keys it does not know.
std::string field(const nb::dict& d, const char* key, const std::string& where) {
    if (!d.contains(key) || d[key].is_none()) return {};
    return option_value<std::string>(d[key], where + " '" + key + "'");
}

nb::dict sub_dict(const nb::dict& d, const char* key, const std::string& where) {
    if (!d.contains(key) || d[key].is_none()) return nb::dict();
    return option_value<nb::dict>(d[key], where + " '" + key + "'");
}

std::optional<CodedConcept> code_from(const nb::dict& d, const char* key, const std::string& where) {
    if (!d.contains(key) || d[key].is_none()) return std::nullopt;
    const nb::dict c = option_value<nb::dict>(d[key], where + " '" + key + "'");
    const std::string here = where + " '" + key + "'";
    refuse_unknown_keys(c, {"value", "scheme", "meaning", "scheme_version"}, here);
    return CodedConcept{field(c, "value", here), field(c, "scheme", here), field(c, "meaning", here),
                        field(c, "scheme_version", here)};
}

template <class T>
std::vector<T> values_from(const nb::dict& d, const char* key, const std::string& where) {
    std::vector<T> out;
    if (!d.contains(key) || d[key].is_none()) return out;
    for (nb::handle h : option_value<nb::sequence>(d[key], where + " '" + key + "'"))
        out.push_back(option_value<T>(h, where + " '" + key + "' entries"));
    return out;
}

constexpr int kMaxDepth = 64;

ContentItem item_from(const nb::dict& d, const std::string& where, int depth) {
    if (depth > kMaxDepth) throw nb::value_error("write_sr: the content tree is nested more than 64 levels deep");
    refuse_unknown_keys(d, {"value_type", "relationship", "concept", "observation_uid", "observation_datetime",
                            "referenced_content", "text", "datetime", "date", "time", "uid", "person_name", "code",
                            "value", "unit", "qualifier", "float_value", "continuity", "template", "reference",
                            "graphic_type", "graphic_data", "frame_of_reference_uid", "temporal_range_type",
                            "sample_positions", "time_offsets", "datetimes", "children"},
                        where);
    ContentItem item;
    item.value_type = field(d, "value_type", where);
    item.relationship = field(d, "relationship", where);
    item.name = code_from(d, "concept", where);
    item.observation_uid = field(d, "observation_uid", where);
    item.observation_datetime = field(d, "observation_datetime", where);
    item.referenced_content = values_from<std::uint32_t>(d, "referenced_content", where);
    for (const char* key : {"text", "datetime", "date", "time", "uid", "person_name"})
        if (d.contains(key)) item.text = field(d, key, where);
    item.code = code_from(d, "code", where);
    if (d.contains("value") && !d["value"].is_none()) item.number = option_value<double>(d["value"], where + " 'value'");
    if (d.contains("float_value") && !d["float_value"].is_none())
        item.float_number = option_value<double>(d["float_value"], where + " 'float_value'");
    item.unit = code_from(d, "unit", where);
    item.qualifier = code_from(d, "qualifier", where);
    item.continuity = field(d, "continuity", where);
    const nb::dict tpl = sub_dict(d, "template", where);
    refuse_unknown_keys(tpl, {"id", "mapping_resource"}, where + " 'template'");
    item.template_id = field(tpl, "id", where + " 'template'");
    item.mapping_resource = field(tpl, "mapping_resource", where + " 'template'");
    if (d.contains("reference") && !d["reference"].is_none()) {
        const std::string here = where + " 'reference'";
        const nb::dict r = sub_dict(d, "reference", where);
        refuse_unknown_keys(r, {"sop_class_uid", "sop_instance_uid", "frames", "segments", "channels", "presentation_state"}, here);
        item.reference = InstanceReference{field(r, "sop_class_uid", here), field(r, "sop_instance_uid", here),
                                           values_from<std::int64_t>(r, "frames", here),
                                           values_from<std::int64_t>(r, "segments", here),
                                           values_from<std::int64_t>(r, "channels", here), {}, {}};
        const nb::dict state = sub_dict(r, "presentation_state", here);
        refuse_unknown_keys(state, {"sop_class_uid", "sop_instance_uid"}, here + " 'presentation_state'");
        item.reference->presentation_class_uid = field(state, "sop_class_uid", here);
        item.reference->presentation_instance_uid = field(state, "sop_instance_uid", here);
    }
    item.graphic_type = field(d, "graphic_type", where);
    item.graphic_data = values_from<double>(d, "graphic_data", where);
    item.frame_of_reference_uid = field(d, "frame_of_reference_uid", where);
    item.temporal_range_type = field(d, "temporal_range_type", where);
    item.sample_positions = values_from<std::int64_t>(d, "sample_positions", where);
    item.time_offsets = values_from<double>(d, "time_offsets", where);
    item.datetimes = values_from<std::string>(d, "datetimes", where);
    if (d.contains("children") && !d["children"].is_none()) {
        std::size_t k = 0;
        for (nb::handle h : option_value<nb::sequence>(d["children"], where + " 'children'")) {
            const std::string here = where + "." + std::to_string(++k);
            item.children.push_back(item_from(option_value<nb::dict>(h, here), here, depth + 1));
        }
    }
    return item;
}

// The header keys of the layout (all but "content"), for write_sr and write_report.
SrDocument header_from(const nb::dict& d, const char* fn) {
    const std::string where = std::string(fn) + ":";
    SrDocument doc;
    doc.sop_class_uid = field(d, "sop_class_uid", where), doc.sop_instance_uid = field(d, "sop_instance_uid", where);
    doc.series_instance_uid = field(d, "series_instance_uid", where);
    doc.study_instance_uid = field(d, "study_instance_uid", where);
    const nb::dict patient = sub_dict(d, "patient", where), study = sub_dict(d, "study", where),
                   series = sub_dict(d, "series", where);
    refuse_unknown_keys(patient, {"name", "id", "birth_date", "sex"}, where + " 'patient'");
    refuse_unknown_keys(study, {"date", "time", "id", "accession_number", "referring_physician_name", "description"},
                        where + " 'study'");
    refuse_unknown_keys(series, {"number", "description"}, where + " 'series'");
    doc.patient_name = field(patient, "name", where), doc.patient_id = field(patient, "id", where);
    doc.patient_birth_date = field(patient, "birth_date", where), doc.patient_sex = field(patient, "sex", where);
    doc.study_date = field(study, "date", where), doc.study_time = field(study, "time", where);
    doc.study_id = field(study, "id", where), doc.accession_number = field(study, "accession_number", where);
    doc.referring_physician_name = field(study, "referring_physician_name", where);
    doc.study_description = field(study, "description", where);
    if (series.contains("number") && !series["number"].is_none()) doc.series_number = as_text(series["number"]);
    doc.series_description = field(series, "description", where);
    if (d.contains("instance_number") && !d["instance_number"].is_none()) doc.instance_number = as_text(d["instance_number"]);
    doc.content_date = field(d, "content_date", where), doc.content_time = field(d, "content_time", where);
    doc.manufacturer = field(d, "manufacturer", where);
    doc.completion_flag = field(d, "completion_flag", where), doc.verification_flag = field(d, "verification_flag", where);
    doc.preliminary_flag = field(d, "preliminary_flag", where);
    for (auto [key, list] : {std::pair{"evidence", &doc.evidence}, {"other_evidence", &doc.other_evidence}}) {
        if (!d.contains(key) || d[key].is_none()) continue;
        for (nb::handle h : option_value<nb::sequence>(d[key], where + " '" + key + "'")) {
            const std::string here = where + " an entry of '" + key + "'";
            const nb::dict e = option_value<nb::dict>(h, here);
            refuse_unknown_keys(e, {"study_instance_uid", "series_instance_uid", "sop_class_uid", "sop_instance_uid"}, here);
            list->push_back({field(e, "study_instance_uid", here), field(e, "series_instance_uid", here),
                             field(e, "sop_class_uid", here), field(e, "sop_instance_uid", here)});
        }
    }
    if (d.contains("verifying_observers") && !d["verifying_observers"].is_none())
        for (nb::handle h : option_value<nb::sequence>(d["verifying_observers"], where + " 'verifying_observers'")) {
            const std::string here = where + " an entry of 'verifying_observers'";
            const nb::dict o = option_value<nb::dict>(h, here);
            refuse_unknown_keys(o, {"name", "organization", "datetime"}, here);
            doc.verifying_observers.push_back({field(o, "name", here), field(o, "organization", here), field(o, "datetime", here)});
        }
    return doc;
}

SrDocument document_from(const nb::dict& d) {
    refuse_unknown_keys(d, {"sop_class_uid", "sop_instance_uid", "series_instance_uid", "study_instance_uid", "patient",
                            "study", "series", "instance_number", "content_date", "content_time", "manufacturer",
                            "completion_flag", "verification_flag", "preliminary_flag", "evidence", "other_evidence",
                            "verifying_observers", "content"},
                        "write_sr");
    SrDocument doc = header_from(d, "write_sr");
    if (!d.contains("content")) throw nb::value_error("write_sr: 'content' (the root CONTAINER) is required");
    doc.content = item_from(option_value<nb::dict>(d["content"], "write_sr: 'content'"), "write_sr: content item 1", 0);
    return doc;
}

SrDocument read_source(const Source& source, const char* fn) {
    loamwerk::OwnedBuffer file;
    const auto bytes = source_bytes(source, file);
    try {
        return without_gil([&] { return read_document(bytes); });
    } catch (const std::runtime_error& e) {
        throw nb::value_error((std::string(fn) + ": " + e.what()).c_str());
    }
}

void register_content(nb::module_& m) {
    m.def(
        "content_json",
        [](const Source& source) {
            const nb::dict d = document_dict(read_source(source, "content_json"));
            return nb::module_::import_("json").attr("dumps")(d, "ensure_ascii"_a = false, "indent"_a = 1);
        },
        nb::arg("source"), nb::sig("def content_json(source: bytes | str | os.PathLike[str]) -> str"),
        "The structured report (bytes or a path) as JSON: its header and its content tree.");
    m.def(
        "sr_validate",
        [](const Source& source) {
            const SrDocument doc = read_source(source, "sr_validate");
            nb::list out;
            for (const Finding& f : validate(doc)) {
                nb::dict d;
                d["severity"] = f.severity, d["item"] = f.item, d["message"] = utf8_str(f.message);
                out.append(d);
            }
            return out;
        },
        nb::arg("source"), nb::sig("def sr_validate(source: bytes | str | os.PathLike[str]) -> list[dict[str, str]]"),
        "Findings of the checks of a structured report and of its template (TID 1500, TID 2000).");
    m.def(
        "sr_to_html",
        [](const Source& source) {
            const SrDocument doc = read_source(source, "sr_to_html");
            return without_gil([&] { return to_html(doc); });
        },
        nb::arg("source"), nb::sig("def sr_to_html(source: bytes | str | os.PathLike[str]) -> str"),
        "The structured report (bytes or a path) as an HTML5 page.");
    m.def(
        "sr_regions",
        [](const Source& source) {
            const SrDocument doc = read_source(source, "sr_regions");
            nb::list out;
            for (const Region& r : regions(doc)) {
                nb::dict d;
                d["item"] = r.item, d["value_type"] = r.value_type, d["graphic_type"] = r.graphic_type;
                const std::size_t width = r.value_type == "SCOORD3D" ? 3 : 2;
                nb::list points;
                for (std::size_t i = 0; i + width <= r.graphic_data.size(); i += width) {
                    nb::list p;
                    for (std::size_t k = 0; k < width; ++k) p.append(r.graphic_data[i + k]);
                    points.append(p);
                }
                d["points"] = points;
                d["concept"] = r.name ? nb::object(code_dict(*r.name)) : nb::none();
                d["measurement"] = r.measurement ? nb::object(code_dict(*r.measurement)) : nb::none();
                d["frame_of_reference_uid"] = r.frame_of_reference_uid.empty() ? nb::none() : nb::object(nb::str(r.frame_of_reference_uid.c_str()));
                if (r.image) {
                    nb::dict image;
                    image["sop_class_uid"] = r.image->sop_class_uid, image["sop_instance_uid"] = r.image->sop_instance_uid;
                    image["frames"] = list_of(r.image->frames);
                    d["image"] = image;
                } else {
                    d["image"] = nb::none();
                }
                d["group"] = r.group ? nb::object(nb::int_(r.group)) : nb::none();
                d["tracking_id"] = r.tracking_id.empty() ? nb::none() : nb::object(utf8_str(r.tracking_id));
                d["tracking_uid"] = r.tracking_uid.empty() ? nb::none() : nb::object(nb::str(r.tracking_uid.c_str()));
                out.append(d);
            }
            return out;
        },
        nb::arg("source"), nb::sig("def sr_regions(source: bytes | str | os.PathLike[str]) -> list[dict]"),
        "The spatial regions (SCOORD, SCOORD3D) of a structured report with their images and measurement groups.");
    m.def(
        "write_sr",
        [](const nb::dict& content, const Path& output, const std::optional<nb::dict>& identity,
           bool require_evidence) -> nb::object {
            SrDocument doc = document_from(content);
            loamwerk::Identity who{"loam", "", "", "", "1", "", ""};
            read_identity(identity, who, false, "write_sr");
            // A manufacturer given (even empty, as content_json gives it) stands; else the identity's.
            if (!content.contains("manufacturer")) doc.manufacturer = who.manufacturer;
            std::vector<std::uint8_t> bytes;
            try {
                bytes = without_gil([&] { return write_document(std::move(doc), who, require_evidence); });
            } catch (const std::invalid_argument& e) {
                throw nb::value_error((std::string("write_sr: ") + e.what()).c_str());
            }
            return bytes_or_file(bytes, output);
        },
        nb::arg("content"), nb::arg("output") = "", nb::arg("identity") = nb::none(), nb::arg("require_evidence") = true,
        nb::sig("def write_sr(content: dict, output: str | os.PathLike[str] = '', "
                "identity: dict[str, str | int] | None = None, require_evidence: bool = True) -> bytes | None"),
        "A structured report from the layout content_json gives (as a dict). Returns the bytes, or writes\n"
        "them to output.");
}


// ---- TID 1500 in dcmqi's metadata layout ----

nb::dict dcmqi_code(const CodedConcept& c) {
    nb::dict d;
    d["CodeValue"] = utf8_str(c.value), d["CodingSchemeDesignator"] = utf8_str(c.scheme), d["CodeMeaning"] = utf8_str(c.meaning);
    return d;
}

std::optional<CodedConcept> dcmqi_code_from(const nb::dict& d, const char* key, const std::string& where) {
    if (!d.contains(key) || d[key].is_none()) return std::nullopt;
    const std::string here = where + " '" + key + "'";
    const nb::dict c = option_value<nb::dict>(d[key], here);
    refuse_unknown_keys(c, {"CodeValue", "CodingSchemeDesignator", "CodeMeaning", "CodingSchemeVersion"}, here);
    CodedConcept code{field(c, "CodeValue", here), field(c, "CodingSchemeDesignator", here), field(c, "CodeMeaning", here),
                      field(c, "CodingSchemeVersion", here)};
    if (code.value.empty() || code.scheme.empty() || code.meaning.empty())
        throw nb::value_error((here + " needs CodeValue, CodingSchemeDesignator and CodeMeaning").c_str());
    return code;
}

CodedConcept required_code(const nb::dict& d, const char* key, const std::string& where) {
    auto c = dcmqi_code_from(d, key, where);
    if (!c) throw nb::value_error((where + " '" + key + "' is required").c_str());
    return *c;
}

// A value dcmqi writes as a string ("1.96") but JSON may give as a number.
std::string value_text(const nb::dict& d, const char* key, const std::string& where) {
    if (!d.contains(key) || d[key].is_none()) throw nb::value_error((where + " '" + key + "' is required").c_str());
    nb::handle v = d[key];
    if (nb::isinstance<nb::str>(v)) return nb::cast<std::string>(v);
    if (nb::isinstance<nb::bool_>(v) || !(nb::isinstance<nb::int_>(v) || nb::isinstance<nb::float_>(v)))
        throw nb::type_error((where + " '" + key + "' must be a number or a str").c_str());
    const double x = nb::cast<double>(v);
    return std::isnan(x) ? "nan" : std::isinf(x) ? (x > 0 ? "inf" : "-inf") : loamwerk::format_decimal(x);
}

AlgorithmIdentification algorithm_from(const nb::dict& d, const std::string& where) {
    const std::string here = where + " 'measurementAlgorithmIdentification'";
    const nb::dict a = sub_dict(d, "measurementAlgorithmIdentification", where);
    refuse_unknown_keys(a, {"AlgorithmName", "AlgorithmVersion", "AlgorithmParameters"}, here);
    return {field(a, "AlgorithmName", here), field(a, "AlgorithmVersion", here), values_from<std::string>(a, "AlgorithmParameters", here)};
}

nb::dict algorithm_dict(const AlgorithmIdentification& a) {
    nb::dict d;
    if (!a.name.empty()) d["AlgorithmName"] = utf8_str(a.name);
    if (!a.parameters.empty()) d["AlgorithmParameters"] = list_of(a.parameters);
    if (!a.version.empty()) d["AlgorithmVersion"] = utf8_str(a.version);
    return d;
}

std::vector<CodedNumber> coded_numbers(const nb::dict& d, const char* key, const char* name, const char* value, const char* units,
                                       const std::string& where) {
    std::vector<CodedNumber> out;
    if (!d.contains(key) || d[key].is_none()) return out;
    for (nb::handle h : option_value<nb::sequence>(d[key], where + " '" + key + "'")) {
        const std::string here = where + " '" + key + "' entry";
        const nb::dict e = option_value<nb::dict>(h, here);
        refuse_unknown_keys(e, {name, value, units}, here);
        out.push_back({required_code(e, name, here), required_code(e, units, here), value_text(e, value, here)});
    }
    return out;
}

MeasurementReport report_from(const nb::dict& d) {
    const std::string where = "write_measurement_report:";
    refuse_unknown_keys(d, {"@schema", "SeriesDescription", "SeriesNumber", "InstanceNumber", "compositeContext", "imageLibrary",
                            "observerContext", "VerificationFlag", "CompletionFlag", "activitySession", "timePoint",
                            "procedureReported", "Measurements"},
                        "write_measurement_report");
    MeasurementReport r;
    r.series_description = field(d, "SeriesDescription", where);
    if (d.contains("SeriesNumber") && !d["SeriesNumber"].is_none()) r.series_number = as_text(d["SeriesNumber"]);
    if (d.contains("InstanceNumber") && !d["InstanceNumber"].is_none()) r.instance_number = as_text(d["InstanceNumber"]);
    r.verification_flag = field(d, "VerificationFlag", where), r.completion_flag = field(d, "CompletionFlag", where);
    r.activity_session = field(d, "activitySession", where), r.time_point = field(d, "timePoint", where);
    r.procedure_reported = dcmqi_code_from(d, "procedureReported", where);
    const nb::dict o = sub_dict(d, "observerContext", where);
    const std::string ow = where + " 'observerContext'";
    refuse_unknown_keys(o, {"ObserverType", "PersonObserverName", "DeviceObserverUID", "DeviceObserverName",
                            "DeviceObserverManufacturer", "DeviceObserverModelName", "DeviceObserverSerialNumber"}, ow);
    r.observer = {field(o, "ObserverType", ow), field(o, "PersonObserverName", ow), field(o, "DeviceObserverUID", ow),
                  field(o, "DeviceObserverName", ow), field(o, "DeviceObserverManufacturer", ow),
                  field(o, "DeviceObserverModelName", ow), field(o, "DeviceObserverSerialNumber", ow)};
    r.image_library = values_from<std::string>(d, "imageLibrary", where);
    r.composite_context = values_from<std::string>(d, "compositeContext", where);
    std::size_t n = 0;
    if (d.contains("Measurements") && !d["Measurements"].is_none())
        for (nb::handle h : option_value<nb::sequence>(d["Measurements"], where + " 'Measurements'")) {
            const std::string gw = "write_measurement_report: Measurements[" + std::to_string(++n) + "]";
            const nb::dict g = option_value<nb::dict>(h, gw);
            refuse_unknown_keys(g, {"TrackingIdentifier", "TrackingUniqueIdentifier", "ReferencedSegment",
                                    "SourceSeriesForImageSegmentation", "segmentationSOPInstanceUID", "rwvmMapUsedForMeasurement",
                                    "MeasurementMethod", "measurementMethod", "Finding", "FindingSite", "Laterality",
                                    "measurementAlgorithmIdentification", "measurementItems", "qualitativeEvaluations",
                                    "activitySession", "timePoint", "ImageRegion", "VolumeSurface"}, gw);
            MeasurementGroup m;
            m.tracking_id = field(g, "TrackingIdentifier", gw), m.tracking_uid = field(g, "TrackingUniqueIdentifier", gw);
            m.activity_session = field(g, "activitySession", gw), m.time_point = field(g, "timePoint", gw);
            if (g.contains("ReferencedSegment") && !g["ReferencedSegment"].is_none())
                m.referenced_segment = option_value<long>(g["ReferencedSegment"], gw + " 'ReferencedSegment'");
            m.source_series = field(g, "SourceSeriesForImageSegmentation", gw);
            m.segmentation_uid = field(g, "segmentationSOPInstanceUID", gw);
            m.rwvm_uid = field(g, "rwvmMapUsedForMeasurement", gw);
            m.method = dcmqi_code_from(g, "MeasurementMethod", gw);
            if (!m.method) m.method = dcmqi_code_from(g, "measurementMethod", gw);
            m.finding = dcmqi_code_from(g, "Finding", gw), m.finding_site = dcmqi_code_from(g, "FindingSite", gw);
            m.laterality = dcmqi_code_from(g, "Laterality", gw);
            m.algorithm = algorithm_from(g, gw);
            for (const char* key : {"ImageRegion", "VolumeSurface"}) {
                if (!g.contains(key) || g[key].is_none()) continue;
                if (m.region) throw nb::value_error((gw + ": give ImageRegion or VolumeSurface, not both").c_str());
                const std::string rw = gw + " '" + key + "'";
                const nb::dict roi = option_value<nb::dict>(g[key], rw);
                RegionOfInterest region;
                region.volumetric = std::string_view(key) == "VolumeSurface";
                refuse_unknown_keys(roi, region.volumetric ? std::initializer_list<std::string_view>{"GraphicType", "GraphicData", "FrameOfReferenceUID"}
                                                           : std::initializer_list<std::string_view>{"GraphicType", "GraphicData", "ReferencedSOPInstanceUID", "ReferencedFrameNumber"},
                                    rw);
                region.graphic_type = field(roi, "GraphicType", rw);
                region.graphic_data = values_from<double>(roi, "GraphicData", rw);
                region.image_uid = field(roi, "ReferencedSOPInstanceUID", rw);
                region.frames = values_from<std::int64_t>(roi, "ReferencedFrameNumber", rw);
                region.frame_of_reference_uid = field(roi, "FrameOfReferenceUID", rw);
                m.region = std::move(region);
            }
            std::size_t k = 0;
            if (g.contains("measurementItems") && !g["measurementItems"].is_none())
                for (nb::handle hi : option_value<nb::sequence>(g["measurementItems"], gw + " 'measurementItems'")) {
                    const std::string iw = gw + ".measurementItems[" + std::to_string(++k) + "]";
                    const nb::dict it = option_value<nb::dict>(hi, iw);
                    refuse_unknown_keys(it, {"value", "quantity", "units", "derivationModifier", "measurementModifiers",
                                             "measurementDerivationParameters", "measurementNumProperties",
                                             "measurementPopulationDescription", "measurementAlgorithmIdentification"}, iw);
                    MeasurementItem item;
                    item.value = value_text(it, "value", iw);
                    item.quantity = required_code(it, "quantity", iw), item.units = required_code(it, "units", iw);
                    item.derivation = dcmqi_code_from(it, "derivationModifier", iw);
                    if (it.contains("measurementModifiers") && !it["measurementModifiers"].is_none())
                        for (nb::handle hm : option_value<nb::sequence>(it["measurementModifiers"], iw + " 'measurementModifiers'")) {
                            const std::string mw = iw + " 'measurementModifiers' entry";
                            const nb::dict mod = option_value<nb::dict>(hm, mw);
                            refuse_unknown_keys(mod, {"modifier", "modifierValue"}, mw);
                            item.modifiers.emplace_back(required_code(mod, "modifier", mw), required_code(mod, "modifierValue", mw));
                        }
                    item.derivation_parameters = coded_numbers(it, "measurementDerivationParameters", "derivationParameter",
                                                               "derivationParameterValue", "derivationParameterUnits", iw);
                    item.properties = coded_numbers(it, "measurementNumProperties", "numProperty", "numPropertyValue",
                                                    "numPropertyUnits", iw);
                    item.population_description = field(it, "measurementPopulationDescription", iw);
                    item.algorithm = algorithm_from(it, iw);
                    m.items.push_back(std::move(item));
                }
            if (g.contains("qualitativeEvaluations") && !g["qualitativeEvaluations"].is_none())
                for (nb::handle hq : option_value<nb::sequence>(g["qualitativeEvaluations"], gw + " 'qualitativeEvaluations'")) {
                    const std::string qw = gw + " 'qualitativeEvaluations' entry";
                    const nb::dict q = option_value<nb::dict>(hq, qw);
                    refuse_unknown_keys(q, {"conceptCode", "conceptValue"}, qw);
                    QualitativeEvaluation e{required_code(q, "conceptCode", qw), std::nullopt, {}};
                    if (q.contains("conceptValue") && nb::isinstance<nb::dict>(q["conceptValue"])) e.code = required_code(q, "conceptValue", qw);
                    else e.text = field(q, "conceptValue", qw);
                    m.qualitative.push_back(std::move(e));
                }
            r.groups.push_back(std::move(m));
        }
    return r;
}

nb::dict report_dict(const MeasurementReport& r) {
    nb::dict d;
    d["CompletionFlag"] = r.completion_flag, d["InstanceNumber"] = r.instance_number;
    nb::list groups;
    for (const MeasurementGroup& g : r.groups) {
        nb::dict m;
        if (g.finding) m["Finding"] = dcmqi_code(*g.finding);
        if (g.finding_site) m["FindingSite"] = dcmqi_code(*g.finding_site);
        if (g.laterality) m["Laterality"] = dcmqi_code(*g.laterality);
        if (g.referenced_segment) m["ReferencedSegment"] = *g.referenced_segment;
        if (!g.source_series.empty()) m["SourceSeriesForImageSegmentation"] = g.source_series;
        m["TrackingIdentifier"] = utf8_str(g.tracking_id);
        if (!g.tracking_uid.empty()) m["TrackingUniqueIdentifier"] = g.tracking_uid;
        if (!g.activity_session.empty()) m["activitySession"] = utf8_str(g.activity_session);
        if (!g.algorithm.empty()) m["measurementAlgorithmIdentification"] = algorithm_dict(g.algorithm);
        nb::list items;
        for (const MeasurementItem& it : g.items) {
            nb::dict i;
            if (it.derivation) i["derivationModifier"] = dcmqi_code(*it.derivation);
            if (!it.algorithm.empty()) i["measurementAlgorithmIdentification"] = algorithm_dict(it.algorithm);
            const auto numbers = [](const std::vector<CodedNumber>& list, const char* name, const char* value, const char* units) {
                nb::list out;
                for (const CodedNumber& p : list) {
                    nb::dict e;
                    e[name] = dcmqi_code(p.concept_name), e[value] = p.value, e[units] = dcmqi_code(p.units);
                    out.append(e);
                }
                return out;
            };
            if (!it.derivation_parameters.empty())
                i["measurementDerivationParameters"] = numbers(it.derivation_parameters, "derivationParameter",
                                                               "derivationParameterValue", "derivationParameterUnits");
            if (!it.modifiers.empty()) {
                nb::list mods;
                for (const auto& [modifier, value] : it.modifiers) {
                    nb::dict e;
                    e["modifier"] = dcmqi_code(modifier), e["modifierValue"] = dcmqi_code(value);
                    mods.append(e);
                }
                i["measurementModifiers"] = mods;
            }
            if (!it.properties.empty()) i["measurementNumProperties"] = numbers(it.properties, "numProperty", "numPropertyValue", "numPropertyUnits");
            if (!it.population_description.empty()) i["measurementPopulationDescription"] = utf8_str(it.population_description);
            i["quantity"] = dcmqi_code(it.quantity), i["units"] = dcmqi_code(it.units), i["value"] = it.value;
            items.append(i);
        }
        m["measurementItems"] = items;
        if (g.method) m["measurementMethod"] = dcmqi_code(*g.method);
        if (!g.qualitative.empty()) {
            nb::list qs;
            for (const QualitativeEvaluation& q : g.qualitative) {
                nb::dict e;
                e["conceptCode"] = dcmqi_code(q.concept_name);
                e["conceptValue"] = q.code ? nb::object(dcmqi_code(*q.code)) : nb::object(utf8_str(q.text));
                qs.append(e);
            }
            m["qualitativeEvaluations"] = qs;
        }
        if (!g.segmentation_uid.empty()) m["segmentationSOPInstanceUID"] = g.segmentation_uid;
        if (g.region) {
            nb::dict roi;
            roi["GraphicType"] = g.region->graphic_type, roi["GraphicData"] = list_of(g.region->graphic_data);
            if (g.region->volumetric) {
                roi["FrameOfReferenceUID"] = g.region->frame_of_reference_uid;
            } else {
                roi["ReferencedSOPInstanceUID"] = g.region->image_uid;
                if (!g.region->frames.empty()) roi["ReferencedFrameNumber"] = list_of(g.region->frames);
            }
            m[g.region->volumetric ? "VolumeSurface" : "ImageRegion"] = roi;
        }
        if (!g.time_point.empty()) m["timePoint"] = utf8_str(g.time_point);
        groups.append(m);
    }
    d["Measurements"] = groups;
    d["SeriesDescription"] = utf8_str(r.series_description), d["SeriesNumber"] = r.series_number;
    d["VerificationFlag"] = r.verification_flag;
    d["compositeContext"] = list_of(r.composite_context), d["imageLibrary"] = list_of(r.image_library);
    nb::dict o;
    o["ObserverType"] = r.observer.type;
    if (r.observer.type == "DEVICE") {
        if (!r.observer.device_uid.empty()) o["DeviceObserverUID"] = r.observer.device_uid;
        if (!r.observer.device_name.empty()) o["DeviceObserverName"] = utf8_str(r.observer.device_name);
        if (!r.observer.device_manufacturer.empty()) o["DeviceObserverManufacturer"] = utf8_str(r.observer.device_manufacturer);
        if (!r.observer.device_model_name.empty()) o["DeviceObserverModelName"] = utf8_str(r.observer.device_model_name);
        if (!r.observer.device_serial_number.empty()) o["DeviceObserverSerialNumber"] = utf8_str(r.observer.device_serial_number);
    } else {
        o["PersonObserverName"] = utf8_str(r.observer.person_name);
    }
    d["observerContext"] = o;
    if (r.procedure_reported) d["procedureReported"] = dcmqi_code(*r.procedure_reported);
    return d;
}

// One row per measurement, for a data frame: codes as their meanings, with "scheme:value" beside.
nb::list report_rows(const MeasurementReport& r) {
    nb::list rows;
    const auto put_code = [](nb::dict& row, const char* key, const std::optional<CodedConcept>& c) {
        row[key] = c ? nb::object(utf8_str(c->meaning)) : nb::none();
        row[(std::string(key) + "_code").c_str()] = c ? nb::object(utf8_str(c->scheme + ":" + c->value)) : nb::none();
    };
    for (std::size_t gi = 0; gi < r.groups.size(); ++gi) {
        const MeasurementGroup& g = r.groups[gi];
        for (const MeasurementItem& it : g.items) {
            nb::dict row;
            row["group"] = gi + 1;
            row["tracking_id"] = utf8_str(g.tracking_id);
            row["tracking_uid"] = g.tracking_uid.empty() ? nb::none() : nb::object(nb::str(g.tracking_uid.c_str()));
            put_code(row, "finding", g.finding);
            put_code(row, "finding_site", g.finding_site);
            put_code(row, "laterality", g.laterality);
            put_code(row, "quantity", it.quantity);
            double value = std::nan("");
            if (it.float_value) value = *it.float_value;  // exact, where the document has it
            else if (it.value == "inf") value = INFINITY;
            else if (it.value == "-inf") value = -INFINITY;
            else std::from_chars(it.value.data(), it.value.data() + it.value.size(), value);
            row["value"] = value;
            row["unit"] = utf8_str(it.units.value);
            put_code(row, "derivation", it.derivation);
            put_code(row, "method", g.method);
            row["segmentation_uid"] = g.segmentation_uid.empty() ? nb::none() : nb::object(nb::str(g.segmentation_uid.c_str()));
            row["segment"] = g.referenced_segment ? nb::object(nb::int_(*g.referenced_segment)) : nb::none();
            row["source_series"] = g.source_series.empty() ? nb::none() : nb::object(nb::str(g.source_series.c_str()));
            rows.append(row);
        }
    }
    return rows;
}

std::vector<InstanceHeader> headers_of(const std::vector<std::string>& names, const std::optional<std::string>& folder,
                                       const char* what) {
    std::vector<InstanceHeader> out;
    for (const std::string& name : names) {
        const std::string path = folder && !name.empty() && name.front() != '/' ? *folder + "/" + name : name;
        try {
            out.push_back(read_instance_header(path));
        } catch (const loamwerk::OpenError& e) {
            throw nb::value_error((std::string("write_measurement_report: cannot read ") + what + " file " + path + ": " + e.what()).c_str());
        } catch (const std::runtime_error& e) {
            throw nb::value_error((std::string("write_measurement_report: ") + what + " file " + e.what()).c_str());
        }
    }
    return out;
}

void register_measurements(nb::module_& m) {
    m.def(
        "write_measurement_report",
        [](nb::object report, const std::optional<Path>& library_folder, const std::optional<Path>& context_folder,
           const Path& output, const std::optional<nb::dict>& identity) -> nb::object {
            std::optional<std::string> image_library_dir, composite_context_dir;
            if (library_folder) image_library_dir = std::string(*library_folder);
            if (context_folder) composite_context_dir = std::string(*context_folder);
            nb::dict layout;
            if (nb::isinstance<nb::dict>(report)) {
                layout = nb::cast<nb::dict>(report);
            } else {
                // A path to dcmqi's JSON: file names in it are found beside it unless folders are given.
                const std::string path = nb::cast<std::string>(nb::str(nb::module_::import_("os").attr("fspath")(report)));
                loamwerk::OwnedBuffer file = read_path(path);
                const nb::object text = nb::str(reinterpret_cast<const char*>(file.span().data()), file.span().size());
                layout = option_value<nb::dict>(nb::module_::import_("json").attr("loads")(text), "write_measurement_report: the JSON");
                const std::string folder = nb::cast<std::string>(nb::module_::import_("os.path").attr("dirname")(nb::str(path.c_str())));
                if (!image_library_dir) image_library_dir = folder.empty() ? "." : folder;
                if (!composite_context_dir) composite_context_dir = folder.empty() ? "." : folder;
            }
            const MeasurementReport r = report_from(layout);
            loamwerk::Identity who{"loam", "", "", "", "1", "", ""};
            read_identity(identity, who, false, "write_measurement_report");
            const auto library = headers_of(r.image_library, image_library_dir, "imageLibrary");
            const auto context = headers_of(r.composite_context, composite_context_dir, "compositeContext");
            std::vector<std::uint8_t> bytes;
            try {
                bytes = without_gil([&] {
                    SrDocument doc = measurement_document(r, library, context);
                    doc.manufacturer = who.manufacturer;
                    for (VerifyingObserver& o : doc.verifying_observers)
                        if (o.organization.empty()) o.organization = who.manufacturer;
                    return write_document(std::move(doc), who);
                });
            } catch (const std::invalid_argument& e) {
                throw nb::value_error((std::string("write_measurement_report: ") + e.what()).c_str());
            }
            return bytes_or_file(bytes, output);
        },
        nb::arg("report"), nb::arg("image_library_dir") = nb::none(), nb::arg("composite_context_dir") = nb::none(),
        nb::arg("output") = "", nb::arg("identity") = nb::none(),
        nb::sig("def write_measurement_report(report: dict | str | os.PathLike[str], "
                "image_library_dir: str | os.PathLike[str] | None = None, "
                "composite_context_dir: str | os.PathLike[str] | None = None, output: str | os.PathLike[str] = '', "
                "identity: dict[str, str | int] | None = None) -> bytes | None"),
        "A TID 1500 measurement report (Comprehensive SR) from dcmqi's metadata layout.");
    m.def(
        "read_measurement_report",
        [](const Source& source, bool rows) -> nb::object {
            const SrDocument doc = read_source(source, "read_measurement_report");
            MeasurementReport r;
            try {
                r = measurement_report(doc);
            } catch (const std::runtime_error& e) {
                throw nb::value_error((std::string("read_measurement_report: ") + e.what()).c_str());
            }
            return rows ? nb::object(report_rows(r)) : nb::object(report_dict(r));
        },
        nb::arg("source"), nb::arg("rows") = false,
        nb::sig("def read_measurement_report(source: bytes | str | os.PathLike[str], rows: bool = False) -> dict | list[dict]"),
        "A TID 1500 measurement report in dcmqi's metadata layout, or one row per measurement.");
}


// ---- TID 2000 reports as a simple dict ----

CodedConcept heading_from(nb::handle h, const std::string& where) {
    if (nb::isinstance<nb::str>(h)) {
        const std::string name = nb::cast<std::string>(h);
        const auto heading = report_heading(name);
        if (!heading)
            throw nb::value_error((where + ": unknown section '" + name + "' (history, request, clinical information, "
                                   "indications, patient presentation, procedure, prior procedures, previous findings, "
                                   "findings, impressions, recommendations, conclusions, summary, complications, key images, "
                                   "addendum; or a code)").c_str());
        return *heading;
    }
    nb::dict holder;
    holder["heading"] = h;
    return *code_from(holder, "heading", where);
}

ReportStatement statement_from(nb::handle h, const std::string& where) {
    if (nb::isinstance<nb::str>(h)) return {std::nullopt, nb::cast<std::string>(h), std::nullopt, {}};
    const nb::dict d = option_value<nb::dict>(h, where);
    refuse_unknown_keys(d, {"text", "code", "concept", "images"}, where);
    ReportStatement st{code_from(d, "concept", where), field(d, "text", where), code_from(d, "code", where), {}};
    if (st.code && d.contains("text")) throw nb::value_error((where + ": give 'text' or 'code', not both").c_str());
    if (!st.code && !d.contains("text")) throw nb::value_error((where + ": 'text' or 'code' is required").c_str());
    if (d.contains("images") && !d["images"].is_none())
        for (nb::handle hi : option_value<nb::sequence>(d["images"], where + " 'images'")) {
            const std::string here = where + " 'images' entry";
            const nb::dict r = option_value<nb::dict>(hi, here);
            refuse_unknown_keys(r, {"sop_class_uid", "sop_instance_uid", "frames"}, here);
            st.images.push_back({field(r, "sop_class_uid", here), field(r, "sop_instance_uid", here),
                                 values_from<std::int64_t>(r, "frames", here), {}, {}, {}, {}});
        }
    return st;
}

void register_reports(nb::module_& m) {
    m.def(
        "write_report",
        [](const nb::dict& report, const Path& output, const std::optional<nb::dict>& identity, bool require_evidence) -> nb::object {
            const char* fn = "write_report";
            refuse_unknown_keys(report, {"title", "observer", "sections", "sop_class_uid", "sop_instance_uid", "series_instance_uid",
                                         "study_instance_uid", "patient", "study", "series", "instance_number", "content_date",
                                         "content_time", "manufacturer", "completion_flag", "verification_flag",
                                         "preliminary_flag", "evidence", "other_evidence", "verifying_observers"}, fn);
            SrDocument doc = header_from(report, fn);
            DiagnosticReport r;
            r.title = code_from(report, "title", "write_report:").value_or(CodedConcept{"18748-4", "LN", "Diagnostic Imaging Report", {}});
            r.observer = field(report, "observer", "write_report:");
            if (report.contains("sections") && !report["sections"].is_none()) {
                const auto add = [&](nb::handle heading, nb::handle statements, const std::string& where) {
                    ReportSection section{heading_from(heading, where), {}};
                    std::size_t k = 0;
                    for (nb::handle st : option_value<nb::sequence>(statements, where))
                        section.statements.push_back(statement_from(st, where + "[" + std::to_string(++k) + "]"));
                    r.sections.push_back(std::move(section));
                };
                if (nb::isinstance<nb::dict>(report["sections"])) {
                    for (auto [key, value] : nb::cast<nb::dict>(report["sections"]))
                        add(key, value, "write_report: section '" + nb::cast<std::string>(nb::str(key)) + "'");
                } else {
                    std::size_t n = 0;
                    for (nb::handle h : option_value<nb::sequence>(report["sections"], "write_report: 'sections'")) {
                        const std::string where = "write_report: sections[" + std::to_string(++n) + "]";
                        const nb::dict sd = option_value<nb::dict>(h, where);
                        refuse_unknown_keys(sd, {"heading", "statements"}, where);
                        if (!sd.contains("heading")) throw nb::value_error((where + ": 'heading' is required").c_str());
                        add(sd["heading"], sd.contains("statements") ? nb::handle(sd["statements"]) : nb::handle(nb::list()), where);
                    }
                }
            }
            doc.content = report_content(r);
            loamwerk::Identity who{"loam", "", "", "", "1", "", ""};
            read_identity(identity, who, false, fn);
            if (!report.contains("manufacturer")) doc.manufacturer = who.manufacturer;
            std::vector<std::uint8_t> bytes;
            try {
                bytes = without_gil([&] { return write_document(std::move(doc), who, require_evidence); });
            } catch (const std::invalid_argument& e) {
                throw nb::value_error((std::string("write_report: ") + e.what()).c_str());
            }
            return bytes_or_file(bytes, output);
        },
        nb::arg("report"), nb::arg("output") = "", nb::arg("identity") = nb::none(), nb::arg("require_evidence") = true,
        nb::sig("def write_report(report: dict, output: str | os.PathLike[str] = '', identity: dict[str, str | int] | None = None, "
                "require_evidence: bool = True) -> bytes | None"),
        "A TID 2000 Basic Diagnostic Imaging Report from a title, an observer and sections of statements.");
    m.def(
        "read_report",
        [](const Source& source) {
            const SrDocument doc = read_source(source, "read_report");
            const DiagnosticReport r = diagnostic_report(doc);
            nb::dict out = document_dict(doc);
            nb::del(out["content"]);
            out["title"] = code_dict(r.title);
            out["observer"] = r.observer.empty() ? nb::none() : nb::object(utf8_str(r.observer));
            nb::list sections;
            for (const ReportSection& s : r.sections) {
                nb::dict sd;
                const std::string name = report_heading_name(s.heading);
                sd["heading"] = name.empty() ? nb::object(code_dict(s.heading)) : nb::object(nb::str(name.c_str()));
                nb::list statements;
                for (const ReportStatement& st : s.statements) {
                    nb::dict e;
                    if (st.name) e["concept"] = code_dict(*st.name);
                    if (st.code) e["code"] = code_dict(*st.code);
                    else e["text"] = utf8_str(st.text);
                    if (!st.images.empty()) {
                        nb::list images;
                        for (const InstanceReference& i : st.images) {
                            nb::dict ref;
                            ref["sop_class_uid"] = i.sop_class_uid, ref["sop_instance_uid"] = i.sop_instance_uid;
                            if (!i.frames.empty()) ref["frames"] = list_of(i.frames);
                            images.append(ref);
                        }
                        e["images"] = images;
                    }
                    statements.append(e);
                }
                sd["statements"] = statements;
                sections.append(sd);
            }
            out["sections"] = sections;
            return out;
        },
        nb::arg("source"), nb::sig("def read_report(source: bytes | str | os.PathLike[str]) -> dict"),
        "A diagnostic imaging report (TID 2000) as the dict write_report takes.");
}

std::uint32_t cid_number(long long cid, const char* fn) {
    if (cid < 1 || cid > 0xFFFFFFFFLL)
        throw nb::value_error((std::string(fn) + ": cid must be a context group number (a positive integer)").c_str());
    return std::uint32_t(cid);
}

void register_codes(nb::module_& m) {
    m.def(
        "sr_code_meaning",
        [](std::string_view value, std::string_view scheme) -> std::optional<std::string> {
            const auto meaning = code_meaning({value, scheme});
            return meaning ? std::optional<std::string>(std::string(*meaning)) : std::nullopt;
        },
        nb::arg("value"), nb::arg("scheme"),
        nb::sig("def sr_code_meaning(value: str, scheme: str) -> str | None"),
        "The standard meaning of a code (value, coding scheme designator), or None when no context group has it.");
    m.def(
        "sr_cid_has",
        [](long long cid, std::string_view value, std::string_view scheme) {
            const std::uint32_t number = cid_number(cid, "sr_cid_has");
            const auto has = group_has(number, {value, scheme});
            if (!has)
                throw nb::value_error(("sr_cid_has: CID " + std::to_string(number) +
                                       " is not a context group in the tables (or has no codes there)").c_str());
            return *has;
        },
        nb::arg("cid"), nb::arg("value"), nb::arg("scheme"),
        nb::sig("def sr_cid_has(cid: int, value: str, scheme: str) -> bool"),
        "Whether context group `cid` has the code (value, coding scheme designator).");
    m.def(
        "sr_validate_code",
        [](std::string_view value, std::string_view scheme, std::optional<std::string_view> meaning) {
            const CodeCheck c = check_code({value, scheme}, meaning);
            nb::dict out;
            out["valid"] = c.errors.empty();
            out["known"] = c.known;
            out["value"] = c.value, out["scheme"] = c.scheme;
            out["meaning"] = c.known ? nb::object(nb::str(c.meaning.c_str())) : nb::none();
            nb::list errors, warnings;
            for (const auto& e : c.errors) errors.append(e);
            for (const auto& w : c.warnings) warnings.append(w);
            out["errors"] = errors, out["warnings"] = warnings;
            return out;
        },
        nb::arg("value"), nb::arg("scheme"), nb::arg("meaning") = nb::none(),
        nb::sig("def sr_validate_code(value: str, scheme: str, meaning: str | None = None) -> dict"),
        "Checks a code: {valid, known, value, scheme, meaning, errors, warnings}.");
}

}  // namespace

void register_sr(nb::module_& m) {
    m.def(
        "write_ko",
        [](const nb::dict& document, const Path& output, const std::optional<nb::dict>& identity) -> nb::object {
            loamwerk::sr::KoDocument d = from_python(document);
            read_identity(identity, d.identity, false, "write_ko");
            return bytes_or_file(build_ko(std::move(d)), output);
        },
        nb::arg("document"), nb::arg("output") = "", nb::arg("identity") = nb::none(),
        nb::sig("def write_ko(document: dict, output: str | os.PathLike[str] = '', "
                "identity: dict[str, str | int] | None = None) -> bytes | None"),
        "A Key Object Selection document flagging the referenced instances under a title (default\n"
        "113000 'Of Interest', DCM). document: references [{study_uid, series_uid, sop_class_uid,\n"
        "sop_instance_uid, frame? (or frames, as read_ko gives)}], title {value, scheme, meaning}, retrieve\n"
        "{ae_title, location_uid}, "
        "sop_instance_uid / series_instance_uid (derived from the content when absent), patient_name,\n"
        "patient_id, study_uid, study_date, study_time, study_id, accession_number; other keys are refused.\n"
        "identity replaces the defaults of manufacturer, manufacturer_model_name, software_versions,\n"
        "device_serial_number, series_number and series_description. Returns the bytes, or writes them\n"
        "to output.");
    m.def(
        "read_ko",
        [](Source source) {
            loamwerk::OwnedBuffer file;
            const KoRead r = read_ko(source_bytes(source, file));
            const KoDocument& d = r.document;
            nb::dict out;
            for (auto [key, value] : {std::pair{"patient_name", &d.patient_name}, {"patient_id", &d.patient_id},
                                      {"study_uid", &d.study_uid}, {"study_date", &d.study_date},
                                      {"study_time", &d.study_time}, {"study_id", &d.study_id},
                                      {"accession_number", &d.accession_number},
                                      {"sop_instance_uid", &d.sop_instance_uid},
                                      {"series_instance_uid", &d.series_instance_uid}})
                out[key] = utf8_str(*value);
            nb::dict title;
            title["value"] = utf8_str(d.title_value), title["scheme"] = utf8_str(d.title_scheme);
            title["meaning"] = utf8_str(d.title_meaning);
            out["title"] = title;
            nb::dict retrieve;
            retrieve["ae_title"] = utf8_str(d.retrieve_ae_title), retrieve["location_uid"] = utf8_str(d.retrieve_location_uid);
            out["retrieve"] = retrieve;
            nb::list refs;
            for (std::size_t i = 0; i < d.references.size(); ++i) {
                const KoReference& k = d.references[i];
                nb::dict ref;
                ref["study_uid"] = utf8_str(k.study_uid), ref["series_uid"] = utf8_str(k.series_uid);
                ref["sop_class_uid"] = utf8_str(k.sop_class_uid), ref["sop_instance_uid"] = utf8_str(k.sop_instance_uid);
                nb::list frames;
                for (auto f : r.frames[i]) frames.append(f);
                ref["frames"] = frames;
                refs.append(ref);
            }
            out["references"] = refs;
            return out;
        },
        nb::arg("source"), nb::sig("def read_ko(source: bytes | str | os.PathLike[str]) -> dict"),
        "Reads a Key Object Selection document (bytes or a path): patient and study, title code, own UIDs,\n"
        "retrieve information and the references in content order with their frames.");
    register_codes(m);
    register_content(m);
    register_measurements(m);
    register_reports(m);
}

}  // namespace loam::bind
