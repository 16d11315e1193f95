// Conformance of one object to the IOD of its SOP Class, driven by the compiled IOD tables.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/dictionary.hpp"
#include "core/dataset.hpp"
#include "core/vr.hpp"

namespace loamwerk::iod {

enum class Severity { kError, kWarning, kInfo };

struct Finding {
    Severity severity = Severity::kError;
    Tag tag = 0;
    std::string module;
    std::string message;
    std::string path;  // where: keywords and item indexes from the top, "ReferencedSeriesSequence[0].SeriesInstanceUID"
};

std::string_view severity_text(Severity s);

// Checks an opened data set; the file meta's elements are seen by conditions on the transfer
// syntax. Never throws for a non-conformant data set.
std::vector<Finding> check_dataset(const Dataset& ds);

// Reads and checks a file: throws std::runtime_error "cannot read: <path>" for an unreadable or
// empty file and "decode failed (not a decodable DICOM): <path>" for one that does not parse.
std::vector<Finding> validate_file(const std::string& path);

// Every layer: the IOD checks, then the attributes' values against the module definitions
// (enumerated values, defined terms, non-zero values, value multiplicity, number of items) and
// the element-level checks (see iod/elements.hpp). Never throws for a non-conformant data set.
std::vector<Finding> check_dataset_all(const Dataset& ds);

// Reads and checks a file with every layer; throws as validate_file does.
std::vector<Finding> validate_file_all(const std::string& path);

// The attributes the IOD of a SOP Class names: type_of gives an attribute's strictest type in any
// of its modules, at any depth (1 or 2; 1C counts as 1, 2C as 2), 0 when the IOD does not require
// it or the SOP Class has no IOD profile. A view of the compiled tables.
class RequiredAttributes {
public:
    RequiredAttributes() = default;
    explicit RequiredAttributes(std::string_view sop_class);
    std::uint8_t type_of(Tag tag) const;

private:
    std::uint32_t first_ = 0, count_ = 0;
};

using dict::tag_text;

}  // namespace loamwerk::iod
