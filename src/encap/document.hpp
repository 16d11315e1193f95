// Encapsulated documents: PDF, CDA and the 3-D model formats (STL, OBJ, MTL) held whole in a DICOM
// object, with their kind's SOP Class, MIME type and modality.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace loamwerk::encap {

enum class Kind { kPdf, kCda, kStl, kObj, kMtl };

struct KindInfo {
    Kind kind;
    std::string_view name;       // "pdf", "cda", "stl", "obj", "mtl"
    std::string_view mime;       // MIME Type of Encapsulated Document
    std::string_view sop_class;  // the Encapsulated ... Storage SOP Class
    std::string_view modality;   // DOC for documents, M3D for models
};

const KindInfo& kind_info(Kind kind);

// A kind by its name or MIME type (any case); nothing for neither.
std::optional<Kind> kind_from(std::string_view name_or_mime);

// The kind of a payload from its content: "%PDF-"; XML whose root is a CDA ClinicalDocument; a
// binary STL (84-byte header and count whose 50-byte triangles fill the rest) or an ASCII one
// ("solid" with facets); OBJ (v/vt/vn/f statements); MTL (newmtl). Nothing when none fits.
std::optional<Kind> detect(std::span<const std::uint8_t> payload);

}  // namespace loamwerk::encap
