// Conformance of one object to the IOD of its SOP Class, driven by the compiled IOD tables.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/transfer_syntax.hpp"
#include "core/vr.hpp"

namespace loamwerk::iod {

enum class Severity { kError, kWarning, kInfo };

struct Finding {
    Severity severity = Severity::kError;
    Tag tag = 0;
    std::string module;
    std::string message;
};

std::string_view severity_text(Severity s);

// Checks a little-endian data set; `meta` is the file meta's elements (Explicit VR Little
// Endian), seen by conditions on the transfer syntax. Never throws for a non-conformant data set.
std::vector<Finding> check_dataset(std::span<const std::uint8_t> body, Encoding encoding,
                                   std::span<const std::uint8_t> meta = {});

// Reads and checks a file: throws std::runtime_error "cannot read: <path>" for an unreadable or
// empty file and "decode failed (not a decodable DICOM): <path>" for one that does not parse.
std::vector<Finding> validate_file(const std::string& path);

// The strictest type (1 or 2) of each attribute anywhere in the IOD of `sop_class`: its
// modules of every usage, at any depth. Empty for a SOP Class without an IOD profile.
std::unordered_map<Tag, std::uint8_t> attribute_types(std::string_view sop_class);

// Keyword and tag, "PatientName (0010,0010)"; the name when there is no keyword; else the tag.
std::string tag_text(Tag tag);

}  // namespace loamwerk::iod
