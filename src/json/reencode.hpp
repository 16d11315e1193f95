// Turning big-endian and deflated data sets into Explicit VR Little Endian bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace loamwerk::bridge {

// Element by element, values byte-swapped by their VR's word size; sequences and
// undefined-length values are rewritten with defined lengths. Nothing on failure.
std::optional<std::vector<std::uint8_t>> big_endian_to_little(const std::uint8_t* data, std::size_t size);

// Raw deflate (no zlib header). Whatever was produced before the end of the stream, an error
// or the 512 MiB cap; empty when nothing was.
std::vector<std::uint8_t> inflate_raw(const std::uint8_t* data, std::size_t size);

}  // namespace loamwerk::bridge
