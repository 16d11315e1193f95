// Look-ups in the compiled data, private and UID dictionaries and the implicit-VR map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/dictionary_tables.hpp"
#include "core/vr.hpp"

namespace loamwerk::dict {

struct TagInfo {
    std::string_view keyword, name, vr, vm;  // views into the constant tables
    bool retired = false;
    bool found = false;
};

TagInfo lookup_tag(Tag tag);
std::optional<Tag> tag_for_keyword(std::string_view keyword);
TagInfo lookup_private(std::string_view creator, std::uint16_t group, std::uint8_t elem_low);
const UidDictionaryEntry* lookup_uid(std::string_view uid);
std::string_view uid_for_keyword(std::string_view keyword);
std::size_t uid_count();
const UidDictionaryEntry& uid_row(std::size_t index);

bool is_private_sequence(std::string_view creator, std::uint16_t group, std::uint8_t elem_low);
VR implicit_vr(std::uint16_t group, std::uint16_t element);

// The union dictionary's VR of a tag as one code, alternatives resolved as in the
// implicit-VR map ("US or SS" is US, the OW alternatives are OW); 0 when unknown.
VR dictionary_vr(Tag tag);

// Keyword and tag, "PatientName (0010,0010)"; the name when there is no keyword; else the tag.
std::string tag_text(Tag tag);

}  // namespace loamwerk::dict
