// Deterministic UIDs: the same seed and root always give the same UID.
#pragma once

#include <string>
#include <string_view>

namespace loamwerk::uid {

// root + "." + the decimal 128-bit FNV-1a hash of the seed, cut to its last digits so that
// the result stays within 64 characters. The root is not validated.
std::string mint(std::string_view seed, std::string_view root);

}  // namespace loamwerk::uid
