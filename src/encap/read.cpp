#include "encap/read.hpp"

#include <stdexcept>

#include "core/dataset.hpp"
#include "core/tags.hpp"
#include "core/utf8.hpp"
#include "core/values.hpp"
#include "encap/document.hpp"

namespace loamwerk::encap {

Extracted read_document(std::span<const std::uint8_t> file, const std::string& where) {
    const Dataset ds = Dataset::borrow(file);
    if (!ds.readable()) throw std::runtime_error(where + ": not a DICOM file");
    const ElementRef* doc = ds.find(tags::kEncapsulatedDocument);
    if (!doc || !doc->value) throw std::runtime_error(where + ": holds no Encapsulated Document");
    Extracted out;
    std::size_t size = std::size_t(doc->length);
    if (const auto stated = ds.integer(tags::kEncapsulatedDocumentLength)) {
        if (*stated < 0 || std::uint64_t(*stated) > doc->length)
            throw std::runtime_error(where + ": Encapsulated Document Length (" + std::to_string(*stated) +
                                     ") exceeds the document's " + std::to_string(doc->length) + " bytes");
        size = std::size_t(*stated);
        out.length_stated = true;
    }
    out.payload.assign(doc->value, doc->value + size);
    const auto text = [&](Tag tag) { return as_utf8(std::string(ds.text(tag))); };
    out.mime = text(tags::kMIMETypeOfEncapsulatedDocument);
    out.title = text(tags::kDocumentTitle);
    out.sop_class = text(tags::kSOPClassUID);
    out.sop_instance_uid = text(tags::kSOPInstanceUID);
    out.series_instance_uid = text(tags::kSeriesInstanceUID);
    out.study_instance_uid = text(tags::kStudyInstanceUID);
    out.patient_name = text(tags::kPatientName);
    out.patient_id = text(tags::kPatientID);
    for (Kind k : {Kind::kPdf, Kind::kCda, Kind::kStl, Kind::kObj, Kind::kMtl})
        if (kind_info(k).sop_class == out.sop_class) out.kind = std::string(kind_info(k).name);
    if (out.kind.empty())
        if (const auto k = kind_from(out.mime)) out.kind = std::string(kind_info(*k).name);
    return out;
}

}  // namespace loamwerk::encap
