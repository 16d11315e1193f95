// Reads Microscopy Bulk Simple Annotations back into groups.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "ann/ann.hpp"

namespace loamwerk::ann {

// std::runtime_error "<where>: ..." for a file that is not a readable annotations object.
Annotations read_annotations(std::span<const std::uint8_t> file, const std::string& where);

}  // namespace loamwerk::ann
