// Turning big-endian and deflated data sets into Explicit VR Little Endian bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/dataset.hpp"

namespace loamwerk {

// Element by element, values byte-swapped by their VR's word size; sequences and
// undefined-length values are rewritten with defined lengths. Nothing on failure.
std::optional<std::vector<std::uint8_t>> big_endian_to_little(const std::uint8_t* data, std::size_t size);

// The data set after the file meta, little endian (inflated or byte-swapped into `owned` when
// needed), and the encoding to walk it with. False when it cannot be made little endian.
bool little_endian_body(std::span<const std::uint8_t> input, const DatasetLayout& layout,
                        std::vector<std::uint8_t>& owned, std::span<const std::uint8_t>& body, Encoding& encoding);

}  // namespace loamwerk
