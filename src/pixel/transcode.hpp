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

// "JPEG-LS" and the like: the codec family of a target, for messages.
std::string_view target_name(std::string_view target);
// The Photometric Interpretation of colour frames encoded for this target.
const char* colour_photometric(std::string_view target);

// Status 0, or a failure whose reason in words (which frame, codec or attribute) goes to `reason`.
// A data set without pixel data is re-encoded to explicit VR little endian (compressed targets
// refuse it: there is nothing to compress). Big-endian and deflated sources are read converted.
int transcode_buffer(std::span<const std::uint8_t> input, std::string_view target, int quality,
                     std::vector<std::uint8_t>& out, std::string* reason = nullptr);
// "transcode to <target>: unsupported target or decode failure (err <status>: <reason>)".
std::string transcode_failure(std::string_view target, int status, std::string_view reason);

}  // namespace loamwerk::render
