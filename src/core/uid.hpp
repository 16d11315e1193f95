// Deterministic UIDs: the same seed and root (and key) always give the same UID.
#pragma once

#include <string>
#include <string_view>

namespace loamwerk::uid {

// root + "." + the decimal 128-bit FNV-1a hash of the seed, cut to its last digits so that
// the result stays within 64 characters. The root is not validated.
std::string mint(std::string_view seed, std::string_view root);

// root + "." + a 128-bit HMAC-SHA-256 of the seed under `key`, marked as a name-based UUID
// (version 8, RFC 9562) so that it is a valid "2.25" UID; cut like mint. Without the key the
// mapping can not be computed.
std::string keyed(std::string_view key, std::string_view seed, std::string_view root);

}  // namespace loamwerk::uid
