// Structured reports: Key Object Selection documents and coded concepts.
#include <stdexcept>
#include <variant>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/variant.h>

#include "bindings/common.hpp"
#include "sr/codes.hpp"
#include "sr/ko.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk::sr;

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
}

}  // namespace loam::bind
