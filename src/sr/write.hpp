// Writing structured reports from their content tree, within their storage class.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sr/content.hpp"

namespace loamwerk::sr {

// The storage class a content tree needs: Comprehensive 3D with SCOORD3D, Comprehensive with
// by-reference relationships, SCOORD or TCOORD... the least that holds every item.
std::string least_sr_class(const ContentItem& root);

// Checks the tree (value types, relationships, required values) and returns the first problem,
// or an empty string.
std::string content_problem(const ContentItem& root, std::string_view sop_class_uid);

// The Part-10 bytes of the document (Explicit VR Little Endian, UTF-8). Missing UIDs, dates and
// the storage class are filled in: UIDs derived from the content, so one input gives one file.
// Throws std::invalid_argument for content the storage class cannot hold and, with
// `require_evidence`, for referenced instances the evidence does not list.
std::vector<std::uint8_t> write_document(SrDocument doc, const Identity& identity, bool require_evidence = true);

}  // namespace loamwerk::sr
