// DICOM JSON Model: files to JSON text and JSON text to datasets and Part-10 files.
#include <stdexcept>
#include <string>

#include <nanobind/stl/string.h>
#include <nanobind/stl/variant.h>

#include "bindings/common.hpp"
#include "json/from_json.hpp"
#include "json/to_json.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk;

nb::str read_json(const Source& source, const std::string& charset_override, bool inline_binary) {
    OwnedBuffer file;
    const auto bytes = source_bytes(source, file);
    const auto r = without_gil([&] {
        auto json = bridge::file_to_json(bytes, charset_override, inline_binary);
        if (json.ok()) bridge::insert_pixel_data_member(json.value, bytes);
        return json;
    });
    if (!r.ok()) {
        const auto* path = std::get_if<Path>(&source);
        throw std::runtime_error("read_json " + (path ? *path + ": " : std::string()) +
                                 std::string(bridge::message(r.error)));
    }
    return utf8_str(r.value);
}

nb::str read_meta_json(const Path& path) {
    const std::string json = without_gil([&] { return bridge::file_meta_to_json(read_path(path).span()); });
    return utf8_str(json);
}

nb::bytes encode_ivr(const std::string& json) {
    const auto r = bridge::json_to_ivr(json.data(), json.size(), false, false);
    if (!r.ok()) throw std::runtime_error("encode_ivr: " + std::string(bridge::message(r.error)));
    return to_bytes(r.value);
}

nb::bytes write_part10(const std::string& json, const std::string& transfer_syntax) {
    const auto r = without_gil([&] {
        return bridge::json_to_part10(json, transfer_syntax.empty() ? std::string_view("1.2.840.10008.1.2")
                                                                    : std::string_view(transfer_syntax));
    });
    if (!r.ok()) throw std::runtime_error("write_part10: " + std::string(bridge::message(r.error)));
    return to_bytes(r.value);
}

}  // namespace

void register_json(nb::module_& m) {
    m.def("read_json", &read_json, nb::arg("source"), nb::arg("charset_override") = "", nb::arg("inline_binary") = true,
          "The data set of a DICOM file (a path, or its bytes) as one line of DICOM JSON Model text. Text is decoded to UTF-8 "
          "(charset_override replaces the file's Specific Character Set); DS and IS values are strings; "
          "binary values are base64 (left out with inline_binary=False); pixel data appears only as a "
          "member holding its VR, first in the object.");
    m.def("read_meta_json", &read_meta_json, nb::arg("path"),
          "The file meta information (group 0002) as DICOM JSON text, or \"\" for a bare dataset.");
    m.def("encode_ivr", &encode_ivr, nb::arg("json"),
          "DICOM JSON Model text to a bare dataset in Implicit VR Little Endian (no file meta).");
    m.def("write_part10", &write_part10, nb::arg("json"), nb::arg("transfer_syntax") = "",
          "DICOM JSON Model text to a Part-10 file under transfer_syntax (Implicit VR Little Endian when "
          "empty; encapsulated syntaxes need encapsulated Pixel Data in InlineBinary). Text is written as "
          "UTF-8 with Specific Character Set ISO_IR 192; the file meta is generated.");
}

}  // namespace loam::bind
