// Reads Spatial Registration and Deformable Spatial Registration objects.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "reg/registration.hpp"

namespace loamwerk::reg {

// std::runtime_error "<where>: ..." for a file that is not a readable registration object.
Registration read_registration(std::span<const std::uint8_t> file, const std::string& where);

}  // namespace loamwerk::reg
