// Structured reports: content trees, Key Object Selection documents and coded concepts.
#include <stdexcept>
#include <variant>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/variant.h>

#include "bindings/common.hpp"
#include "sr/codes.hpp"
#include "sr/content.hpp"
#include "sr/ko.hpp"

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
        refuse_unknown_keys(r, {"sop_class_uid", "sop_instance_uid", "frames", "segments", "channels"}, here);
        item.reference = InstanceReference{field(r, "sop_class_uid", here), field(r, "sop_instance_uid", here),
                                           values_from<std::int64_t>(r, "frames", here),
                                           values_from<std::int64_t>(r, "segments", here),
                                           values_from<std::int64_t>(r, "channels", here)};
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

SrDocument document_from(const nb::dict& d) {
    const std::string where = "write_sr:";
    refuse_unknown_keys(d, {"sop_class_uid", "sop_instance_uid", "series_instance_uid", "study_instance_uid", "patient",
                            "study", "series", "instance_number", "content_date", "content_time", "manufacturer",
                            "completion_flag", "verification_flag", "preliminary_flag", "evidence", "other_evidence",
                            "verifying_observers", "content"},
                        "write_sr");
    SrDocument doc;
    doc.sop_class_uid = field(d, "sop_class_uid", where), doc.sop_instance_uid = field(d, "sop_instance_uid", where);
    doc.series_instance_uid = field(d, "series_instance_uid", where);
    doc.study_instance_uid = field(d, "study_instance_uid", where);
    const nb::dict patient = sub_dict(d, "patient", where), study = sub_dict(d, "study", where),
                   series = sub_dict(d, "series", where);
    refuse_unknown_keys(patient, {"name", "id", "birth_date", "sex"}, "write_sr: 'patient'");
    refuse_unknown_keys(study, {"date", "time", "id", "accession_number", "referring_physician_name", "description"},
                        "write_sr: 'study'");
    refuse_unknown_keys(series, {"number", "description"}, "write_sr: 'series'");
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
        for (nb::handle h : option_value<nb::sequence>(d[key], std::string("write_sr: '") + key + "'")) {
            const std::string here = std::string("write_sr: an entry of '") + key + "'";
            const nb::dict e = option_value<nb::dict>(h, here);
            refuse_unknown_keys(e, {"study_instance_uid", "series_instance_uid", "sop_class_uid", "sop_instance_uid"}, here);
            list->push_back({field(e, "study_instance_uid", here), field(e, "series_instance_uid", here),
                             field(e, "sop_class_uid", here), field(e, "sop_instance_uid", here)});
        }
    }
    if (d.contains("verifying_observers") && !d["verifying_observers"].is_none())
        for (nb::handle h : option_value<nb::sequence>(d["verifying_observers"], "write_sr: 'verifying_observers'")) {
            const std::string here = "write_sr: an entry of 'verifying_observers'";
            const nb::dict o = option_value<nb::dict>(h, here);
            refuse_unknown_keys(o, {"name", "organization", "datetime"}, here);
            doc.verifying_observers.push_back({field(o, "name", here), field(o, "organization", here), field(o, "datetime", here)});
        }
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
}

}  // namespace loam::bind
