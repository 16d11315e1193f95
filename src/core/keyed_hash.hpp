// Keyed hashing for pseudonyms that nobody without the key can compute (HMAC-SHA-256),
// and fresh random keys. The one place that talks to the crypto library.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace loamwerk::keyed {

using Digest = std::array<std::uint8_t, 32>;

// HMAC-SHA-256 of `domain`, a NUL and `message` under `key` (any bytes, any length): the
// domain keeps the hashes of different uses apart.
Digest hmac(std::string_view key, std::string_view domain, std::string_view message);

// `n` bytes from the operating system's random generator; throws std::runtime_error when
// it cannot give them.
std::string random_key(std::size_t n = 32);

// The first eight bytes of a digest as a big-endian integer.
std::uint64_t leading_u64(const Digest& d);

}  // namespace loamwerk::keyed
