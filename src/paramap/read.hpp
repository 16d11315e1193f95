// Reading a Parametric Map's description back.
#pragma once

#include <cstdint>
#include <span>

#include "paramap/meta.hpp"

namespace loamwerk::paramap {

// Throws std::runtime_error when the bytes are not a Parametric Map.
Meta read_meta(std::span<const std::uint8_t> part10);

}  // namespace loamwerk::paramap
