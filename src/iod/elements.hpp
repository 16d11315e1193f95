// Element-level conformance: each element on its own against its value representation and the
// data dictionary, wherever it sits in the data set.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/dataset.hpp"
#include "iod/validate.hpp"

namespace loamwerk::iod {

// Where an element sits: the sequences and item indexes above it, outermost first.
using TagPath = std::vector<std::pair<Tag, std::size_t>>;
std::string path_text(const TagPath& above, Tag tag);

// Layers, each a finding's module name:
//   "vr"        value representation: lengths, character repertoires, DS/IS/UI/DA/TM/DT/AS grammar,
//               binary lengths, encapsulated Pixel Data as OB (errors)
//   "vm"        value multiplicity against the data dictionary (errors)
//   "retired"   retired attributes, group lengths outside the file meta (warnings)
//   "private"   private groups, creators and elements without a creator (errors)
//   "file-meta" the file meta against the data set (errors)
// `meta`: the file meta's elements, checked like the data set's.
void check_elements(const Dataset& ds, const std::vector<ElementRef>& meta, std::vector<Finding>& out);

}  // namespace loamwerk::iod
