// Reads Tractography Results back into track sets.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "tract/tract.hpp"

namespace loamwerk::tract {

// std::runtime_error "<where>: ..." for a file that is not a readable Tractography Results object.
Tractography read_tractography(std::span<const std::uint8_t> file, const std::string& where);

}  // namespace loamwerk::tract
