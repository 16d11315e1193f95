// Re-encoding a Part-10 buffer into another transfer syntax.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace loamwerk::render {

namespace transcode_status {
constexpr int kOk = 0, kNoMemory = 1, kUnsupported = 4, kNoOutput = 5, kEmptyInput = 6, kBadUid = 9;
}

// The targets transcode accepts.
bool is_transcode_target(std::string_view uid);
// Lossy output for this target and quality.
bool is_lossy_target(std::string_view uid, int quality);
// The SOP Instance UID of a lossy re-encoding (deterministic in input, target and quality).
std::string lossy_instance_uid(std::span<const std::uint8_t> input, std::string_view target, int quality);

// The Photometric Interpretation of colour frames encoded for this target.
const char* colour_photometric(std::string_view target);

int transcode_buffer(std::span<const std::uint8_t> input, std::string_view target, int quality,
                     std::vector<std::uint8_t>& out);

}  // namespace loamwerk::render
