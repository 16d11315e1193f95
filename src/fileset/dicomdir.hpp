// Building a DICOMDIR (Basic Directory object) over in-memory Part-10 files.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/vr.hpp"  // Tag

namespace loamwerk::dicomdir {

struct Input {
    std::span<const std::uint8_t> part10;
    std::string_view file_id;  // media-relative path, "/" separated
};

namespace status {
constexpr int kOk = -1;
constexpr int kNoInputs = 0;
constexpr int kNothingParseable = 1;
}  // namespace status

// A Type 1 key a record needs that its input lacked (or had empty), and the value written.
struct Invented {
    std::string file_id;  // the input whose record it is
    std::string_view record;  // "PATIENT", "STUDY", "SERIES" or the leaf record type
    Tag tag = 0;
    std::string value;
};

struct Result {
    std::vector<std::uint8_t> bytes;
    bool ok = false;
    int status = status::kOk;
    std::size_t patients = 0, studies = 0, series = 0, instances = 0, skipped = 0;
    std::vector<Invented> invented;
};

// The DICOMDIR file in Explicit VR Little Endian. Its SOP Instance UID is derived from the
// instances and file IDs listed, so one file set always gets one UID. A Type 1 key an input
// lacks is invented from that input (the same inputs always give the same values) and listed
// in `invented`.
Result build(std::span<const Input> inputs, std::string_view file_set_id);

// The leaf record type for a SOP Class UID ("IMAGE", "RT DOSE", ...).
std::string_view leaf_record_type(std::string_view sop_class);

}  // namespace loamwerk::dicomdir
