// Raw deflate streams (no zlib or gzip header) inflated within the memory policy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace loamwerk {

// What the stream produced before its end, an error, or `cap` bytes (then *capped is set, when
// given, if more was to come); empty when nothing was.
std::vector<std::uint8_t> inflate_raw(const std::uint8_t* data, std::size_t size, std::size_t cap,
                                      bool* capped = nullptr);
// The same with the cap the memory policy gives `size` bytes of input; a stream that would pass
// it (a deflate bomb) throws limits::ResourceError.
std::vector<std::uint8_t> inflate_raw(const std::uint8_t* data, std::size_t size);

}  // namespace loamwerk
