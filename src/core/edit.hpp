// Byte-verbatim editing of top-level elements of a Part-10 buffer.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/vr.hpp"

namespace loamwerk {

struct EditOp {
    enum class Kind { Modify, Insert, Erase };
    Tag tag = 0;
    Kind kind = Kind::Insert;
    std::string value;
    VR vr = 0;  // 0 when not given
};

// "modify" and "erase" name those kinds; every other text is an insert.
EditOp::Kind edit_kind(std::string_view text);

namespace edit_result {
constexpr int kOk = -1;
constexpr int kNotPart10 = 0;
constexpr int kNotByteEditable = 1;
constexpr int kNoVr = 2;
constexpr int kBadValue = 3;
}  // namespace edit_result

// The message of an edit result code.
std::string_view edit_message(int code);

// Every byte outside the edited elements is copied unchanged; the file meta is regenerated
// only when the SOP Class or Instance UID changes. Returns edit_result::kOk or an error code
// (Part-10 wrap codes pass through).
int edit_part10(std::span<const std::uint8_t> input, std::span<const EditOp> ops, std::vector<std::uint8_t>& out);

}  // namespace loamwerk
