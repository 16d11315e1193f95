// Structured reports as HTML pages.
#pragma once

#include <string>

#include "sr/content.hpp"

namespace loamwerk::sr {

// The document as an HTML5 page: its header as a table, then the content tree with a heading
// for each container, concept names with their values (codes with their meanings, numbers with
// their units, references with their instances), all text escaped.
std::string to_html(const SrDocument& doc);

}  // namespace loamwerk::sr
