// Checks of structured reports and their templates, reported as findings.
#pragma once

#include <string>
#include <vector>

#include "sr/content.hpp"

namespace loamwerk::sr {

// One thing a check of a report found: "error" (against the standard or its template) or
// "warning" (allowed, but likely not meant), at a content item ("1.4.2"; "" for the header).
struct Finding {
    std::string severity, item, message;
};

// The checks of any SR document (structure, value types, references and their evidence, UIDs,
// codes) and of the templates it declares or is recognised as: TID 1500 measurement reports and
// TID 2000 diagnostic imaging reports (required items, value sets from their context groups).
std::vector<Finding> validate(const SrDocument& doc);

}  // namespace loamwerk::sr
