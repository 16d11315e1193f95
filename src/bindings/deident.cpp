// De-identification.
#include <stdexcept>
#include <string>
#include <vector>

#include <optional>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "deident/pixanon.hpp"
#include "deident/session.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk;
using namespace loamwerk::deident;

DeidentOptions options_of(const nb::dict& d, const char* function) {
    DeidentOptions o;
    for (auto [key, value] : d) {
        const std::string k = option_value<std::string>(key, std::string(function) + ": an option name");
        const std::string name = std::string(function) + ": option '" + k + "'";
        auto flag = [&](bool& field) { field = option_value<bool>(value, name); };
        if (k == "patient_name") o.patient_name = option_value<std::string>(value, name);
        else if (k == "patient_id") o.patient_id = option_value<std::string>(value, name);
        else if (k == "uid_root") o.uid_root = option_value<std::string>(value, name);
        else if (k == "key") {
            if (nb::isinstance<nb::bytes>(value)) {
                const auto b = nb::borrow<nb::bytes>(value);
                o.key.assign(b.c_str(), b.size());
            }
            else o.key = option_value<std::string>(value, name + " (bytes or a str)");
            if (o.key.empty()) throw nb::value_error((name + " is empty: give a secret, or leave it out for a fresh random key").c_str());
        } else if (k == "unkeyed") flag(o.unkeyed);
        else if (k == "shift_dates_per_patient") {
            o.shift_dates_per_patient = option_value<int>(value, name);
            if (o.shift_dates_per_patient < 0) throw nb::value_error((name + " must be 0 or more days").c_str());
        }
        else if (k == "retain_dates") flag(o.retain_dates);
        else if (k == "retain_safe_private") flag(o.retain_safe_private);
        else if (k == "clean_descriptors") flag(o.clean_descriptors);
        else if (k == "retain_uids") flag(o.retain_uids);
        else if (k == "retain_device_id") flag(o.retain_device_id);
        else if (k == "retain_institution_id") flag(o.retain_institution_id);
        else if (k == "retain_patient_chars") flag(o.retain_patient_chars);
        else if (k == "clean_graphics") flag(o.clean_graphics);
        else if (k == "clean_struct_content") flag(o.clean_struct_content);
        else if (k == "clean_pixel") flag(o.clean_pixel);
        else if (k == "shift_dates_days") o.shift_dates_days = option_value<int>(value, name);
        else if (k == "profile")
            o.profile_none = require_choice(option_value<std::string>(value, name), {"basic", "none"}, name) == "none";
        else if (k == "replace") {
            for (auto [tag, text] : option_value<nb::dict>(value, name))
                o.replace[option_value<std::uint32_t>(tag, name + " tag (a packed int such as 0x00100010)")] =
                    option_value<std::string>(text, name + " value");
        } else if (k == "remove") {
            for (auto tag : option_value<nb::list>(value, name))
                o.remove.insert(option_value<std::uint32_t>(tag, name + " tag (a packed int such as 0x00100010)"));
        } else {
            refuse_option(function, k,
                          {"key", "unkeyed", "patient_name", "patient_id", "uid_root", "retain_dates", "shift_dates_days",
                           "shift_dates_per_patient", "retain_uids", "retain_device_id", "retain_institution_id",
                           "retain_patient_chars", "retain_safe_private", "clean_descriptors", "clean_graphics",
                           "clean_struct_content", "clean_pixel", "profile", "replace", "remove"});
        }
    }
    return o;
}

// Original values as the data holder wrote them: UTF-8, else Latin-1 (never lossy).
nb::str holder_text(const std::string& s) {
    PyObject* text = PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "strict");
    if (!text) {
        PyErr_Clear();
        text = PyUnicode_DecodeLatin1(s.data(), Py_ssize_t(s.size()), "strict");
    }
    if (!text) throw nb::python_error();
    return nb::steal<nb::str>(text);
}

// The session's replacements appended to the caller's list as (kind, original, replacement).
void fill_lookup(const Session& session, std::optional<nb::list>& lookup) {
    if (!lookup) return;
    for (const LookupRow& row : session.lookup())
        lookup->append(nb::make_tuple(str_of(row.kind), holder_text(row.original), str_of(row.replacement)));
}

nb::bytes deidentify(const nb::bytes& data, const nb::dict& options, std::optional<nb::list> lookup,
                     std::optional<nb::list> notes, std::optional<nb::dict> identifiers) {
    Session session(options_of(options, "deidentify"));
    const auto input = view(data);
    std::vector<std::uint8_t> out;
    const int rc = without_gil([&] { return session.run(input, out); });
    if (rc != run_result::kOk) throw std::runtime_error("deidentify: " + std::string(message(rc)));
    fill_lookup(session, lookup);
    if (notes && !session.burned_in_warning().empty()) notes->append(nb::str(session.burned_in_warning().c_str()));
    if (identifiers) {
        const FiledUnder f = filed_under(out);
        (*identifiers)["PatientID"] = utf8_str(f.patient_id);
        (*identifiers)["StudyInstanceUID"] = utf8_str(f.study_uid);
        (*identifiers)["SeriesInstanceUID"] = utf8_str(f.series_uid);
        (*identifiers)["SOPInstanceUID"] = utf8_str(f.sop_instance_uid);
    }
    return to_bytes(out);
}

nb::list deidentify_series(const std::vector<nb::bytes>& files, const nb::dict& options, std::optional<nb::list> lookup,
                           std::optional<nb::list> notes) {
    Session session(options_of(options, "deidentify_series"));
    std::vector<std::span<const std::uint8_t>> inputs;
    for (const nb::bytes& f : files) inputs.push_back(view(f));
    std::vector<std::vector<std::uint8_t>> outs(inputs.size());
    std::vector<std::string> burned(inputs.size());
    const int rc = without_gil([&] {
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            if (int r = session.run(inputs[i], outs[i]); r != run_result::kOk) return r;
            burned[i] = session.burned_in_warning();
        }
        return run_result::kOk;
    });
    if (rc != run_result::kOk) throw std::runtime_error("deidentify_series: " + std::string(message(rc)));
    fill_lookup(session, lookup);
    if (notes)
        for (std::size_t i = 0; i < burned.size(); ++i)
            if (!burned[i].empty())
                notes->append(nb::str(("file " + std::to_string(i) +
                                       ": " + burned[i]).c_str()));
    nb::list result;
    for (const auto& o : outs) result.append(to_bytes(o));
    return result;
}

nb::bytes clean_pixel_data(const nb::bytes& data, std::optional<std::vector<std::vector<double>>> regions,
                           bool use_ctp, bool require_match) {
    std::vector<pixanon::Region> list;
    if (regions)
        for (const auto& r : *regions) {
            if (r.size() != 4 && r.size() != 5) throw nb::value_error("clean_pixel_data: a region is (x, y, w, h[, frame])");
            pixanon::Region region{r[0], r[1], r[2], r[3]};
            if (r.size() == 5) region.frame = std::uint32_t(r[4]);
            list.push_back(region);
        }
    const auto input = view(data);
    std::vector<std::uint8_t> out;
    const int rc = without_gil([&] { return pixanon::clean(input, list, use_ctp, require_match, out); });
    if (rc != pixanon::result::kOk) throw std::runtime_error("clean_pixel_data: " + std::string(pixanon::message(rc)));
    return to_bytes(out);
}

}  // namespace

void register_deident(nb::module_& m) {
    m.def("clean_pixel_data", &clean_pixel_data, nb::arg("data"), nb::arg("regions") = nb::none(),
          nb::arg("use_ctp") = true, nb::arg("require_match") = false,
          nb::sig("def clean_pixel_data(data: bytes, regions: list[tuple[float, ...]] | None = None, "
                  "use_ctp: bool = True, require_match: bool = False) -> bytes"),
          "Black out burned-in annotation: the given regions (x, y, w, h[, frame]) and, with use_ctp, those "
          "of every matching built-in device signature. The result is uncompressed Explicit VR Little "
          "Endian with Burned In Annotation NO; with no region at all the input comes back unchanged.");
    m.def("deidentify", &deidentify, nb::arg("data"), nb::arg("options") = nb::dict(), nb::arg("lookup") = nb::none(),
          nb::arg("notes") = nb::none(), nb::arg("identifiers") = nb::none(),
          nb::sig("def deidentify(data: bytes, options: dict[str, object] = {}, lookup: list[tuple[str, str, str]] | "
                  "None = None, notes: list[str] | None = None, identifiers: dict[str, str] | None = None) -> bytes"),
          "De-identify one Part-10 buffer after the Basic Application Level Confidentiality Profile.\n\n"
          "Replacement UIDs and pseudonyms (Patient ID and Name per patient, Accession Number, Study ID) "
          "are keyed: options['key'] (bytes or str) gives the same replacements in any process or machine, "
          "and nobody without it can compute them. Without a key every call draws a fresh random one, "
          "so two calls do not agree; deidentify_series or a key makes them agree. options['unkeyed'] = "
          "True instead replaces UIDs by a public hash of the original and every patient by the same "
          "dummies: LINKABLE by anyone who holds the original UIDs.\n\n"
          "Other options: patient_name and patient_id (fixed dummies for everyone), uid_root, "
          "retain_dates, shift_dates_days, shift_dates_per_patient (each patient's dates move back by a "
          "keyed 1..N days), retain_uids, retain_device_id, retain_institution_id, retain_patient_chars, "
          "retain_safe_private, clean_descriptors, clean_graphics, clean_struct_content, clean_pixel, "
          "profile (\"none\"), replace {tag: value}, remove [tag].\n\n"
          "lookup, a list, receives (kind, original, replacement) rows for the data holder to keep; "
          "notes, a list, receives a warning when the pixels likely hold burned-in text that was not "
          "cleaned; identifiers, a dict, receives the PatientID, StudyInstanceUID, SeriesInstanceUID and "
          "SOPInstanceUID the result is filed under (empty when absent).");
    m.def("deidentify_series", &deidentify_series, nb::arg("files"), nb::arg("options") = nb::dict(),
          nb::arg("lookup") = nb::none(), nb::arg("notes") = nb::none(),
          nb::sig("def deidentify_series(files: list[bytes], options: dict[str, object] = {}, lookup: "
                  "list[tuple[str, str, str]] | None = None, notes: list[str] | None = None) -> list[bytes]"),
          "deidentify() over a list of buffers through one session (one key), so that replaced UIDs and "
          "pseudonyms agree across the list; notes name the file by its index.");
}

}  // namespace loam::bind
