// Encapsulated documents: PDF, CDA and 3-D models in and out of DICOM.
#include <optional>
#include <stdexcept>
#include <string>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/variant.h>

#include "bindings/common.hpp"
#include "core/image_header.hpp"
#include "encap/document.hpp"
#include "encap/read.hpp"
#include "encap/write.hpp"

namespace loam::bind {

namespace {

using namespace loamwerk;

encap::Kind kind_of(const std::string& kind, std::span<const std::uint8_t> payload) {
    if (kind.empty()) {
        const auto found = encap::detect(payload);
        if (!found)
            throw nb::value_error("encapsulate: the document is none of PDF, CDA, STL, OBJ or MTL; name its kind");
        return *found;
    }
    const auto named = encap::kind_from(kind);
    if (!named)
        throw nb::value_error(("encapsulate: kind must be pdf, cda, stl, obj or mtl, or their MIME type, not '" + kind + "'")
                                  .c_str());
    return *named;
}

}  // namespace

void register_encap(nb::module_& m) {
    m.def(
        "encapsulate",
        [](const Source& payload, const std::string& kind, const std::optional<Path>& reference,
           const std::string& title, const Path& output, const std::optional<nb::dict>& identity,
           const std::string& sop_instance_uid, const std::string& series_instance_uid) -> nb::object {
            OwnedBuffer file;
            const std::span<const std::uint8_t> bytes = source_bytes(payload, file);
            encap::Document doc;
            doc.kind = kind_of(kind, bytes);
            doc.payload = bytes;
            doc.title = title;
            read_identity(identity, doc.identity, false, "encapsulate");
            doc.sop_instance_uid = sop_instance_uid, doc.series_instance_uid = series_instance_uid;
            if (reference) {
                check_opens(*reference);
                doc.reference = without_gil([&] { return read_reference_header(*reference); });
            }
            std::vector<std::uint8_t> out;
            try {
                out = without_gil([&] { return encap::write_document(doc); });
            } catch (const std::invalid_argument& e) {
                throw nb::value_error(e.what());
            }
            return bytes_or_file(out, output);
        },
        nb::arg("payload"), nb::arg("kind") = "", nb::arg("reference") = nb::none(), nb::arg("title") = "",
        nb::kw_only(), nb::arg("output") = "", nb::arg("identity") = nb::none(), nb::arg("sop_instance_uid") = "",
        nb::arg("series_instance_uid") = "",
        nb::sig("def encapsulate(payload: bytes | str | os.PathLike[str], kind: str = '', reference: str | "
                "os.PathLike[str] | None = None, title: str = '', *, output: str | os.PathLike[str] = '', identity: "
                "dict[str, str | int] | None = None, sop_instance_uid: str = '', series_instance_uid: str = '') -> "
                "bytes | None"),
        "A PDF, CDA, STL, OBJ or MTL document held whole in its Encapsulated ... Storage object.");
    m.def(
        "read_encapsulated",
        [](const Source& source) {
            OwnedBuffer file;
            const std::span<const std::uint8_t> bytes = source_bytes(source, file);
            const std::string where = source_name(source);
            encap::Extracted e = without_gil([&] { return encap::read_document(bytes, where); });
            nb::dict meta;
            meta["kind"] = str_of(e.kind);
            meta["mime"] = utf8_str(e.mime);
            meta["title"] = utf8_str(e.title);
            meta["sop_class_uid"] = utf8_str(e.sop_class);
            meta["sop_instance_uid"] = utf8_str(e.sop_instance_uid);
            meta["series_instance_uid"] = utf8_str(e.series_instance_uid);
            meta["study_instance_uid"] = utf8_str(e.study_instance_uid);
            meta["patient_name"] = utf8_str(e.patient_name);
            meta["patient_id"] = utf8_str(e.patient_id);
            meta["length_stated"] = e.length_stated;
            return nb::make_tuple(to_bytes(e.payload), meta);
        },
        nb::arg("source"),
        nb::sig("def read_encapsulated(source: bytes | str | os.PathLike[str]) -> tuple[bytes, dict[str, Any]]"),
        "The document an Encapsulated ... Storage object holds, exactly as encapsulated, and its description.");
    m.def(
        "encap_detect",
        [](nb::bytes payload) {
            const auto k = encap::detect(view(payload));
            return k ? nb::object(str_of(encap::kind_info(*k).name)) : nb::none();
        },
        nb::arg("payload"), nb::sig("def encap_detect(payload: bytes) -> str | None"),
        "The kind of a document from its bytes: 'pdf', 'cda', 'stl', 'obj', 'mtl', or None.");
}

}  // namespace loam::bind
