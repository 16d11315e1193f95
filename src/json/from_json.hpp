// DICOM JSON Model text to dataset bytes and Part-10 files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "json/bridge.hpp"

namespace loamwerk::bridge {

// A bare dataset in Implicit VR Little Endian, or Explicit with `explicit_vr`. With
// `encapsulated`, (7FE0,0010) must come as an encapsulated value in "InlineBinary".
Result<std::vector<std::uint8_t>> json_to_ivr(const char* text, std::size_t length, bool explicit_vr,
                                               bool encapsulated);

// A Part-10 file under the given transfer syntax, with regenerated file meta.
Result<std::vector<std::uint8_t>> json_to_part10(std::string_view text, std::string_view transfer_syntax);

}  // namespace loamwerk::bridge
