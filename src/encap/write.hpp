// Writes an encapsulated document: the payload whole, in the study of a reference object or a new one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/identity.hpp"
#include "core/image_header.hpp"
#include "encap/document.hpp"

namespace loamwerk::encap {

struct Document {
    Kind kind = Kind::kPdf;
    std::span<const std::uint8_t> payload;
    std::string title;
    std::optional<ImageHeader> reference;  // patient, study and frame of reference taken from it
    Identity identity;
    std::string sop_instance_uid, series_instance_uid;  // made from the content when empty
};

// Part-10 bytes; std::invalid_argument for a payload its object cannot hold (empty, or over 4 GiB).
std::vector<std::uint8_t> write_document(const Document& doc);

}  // namespace loamwerk::encap
