// Reading a Grayscale Softcopy Presentation State into its model.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/values.hpp"
#include "pr/state.hpp"

namespace loamwerk::pr {

// Throws std::runtime_error when the bytes are not a Grayscale Softcopy Presentation State.
PresentationState read_state(std::span<const std::uint8_t> part10);

// A LUT's descriptor (entries, 0 meaning 65536; first mapped value, signed when `signed_first`;
// bits) and its entries, one per 16-bit word or byte as stored; false when it is unusable.
bool read_lut(const Elements& item, bool signed_first, std::uint32_t& entries, std::int32_t& first, std::uint16_t& bits,
              std::vector<std::uint16_t>& data);

}  // namespace loamwerk::pr
