// Coded concepts of structured reports: the standard meaning of a code, membership of the
// context groups, and the check of a (value, scheme, meaning) triple. Retired SNOMED-RT codes
// (scheme "SRT") are read as their SNOMED CT equivalents.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace loamwerk::sr {

struct Code {
    std::string_view value, scheme;
};

// An SRT code's SNOMED CT identifier; any other code as it is.
Code current_code(Code code);

// The code's meaning (the one most context groups give it), when the tables know the code.
std::optional<std::string_view> code_meaning(Code code);

// Every meaning the context groups give the code: the standard one first.
std::vector<std::string_view> code_meanings(Code code);

// The context group's name, when the tables have it.
std::optional<std::string_view> group_name(std::uint32_t cid);

// Whether the group has the code; nothing when the tables do not have the group.
std::optional<bool> group_has(std::uint32_t cid, Code code);

struct CodeCheck {
    bool known = false;            // the tables know the code (after SRT mapping)
    std::string value, scheme;     // the code to use: SCT for a mapped SRT code
    std::string meaning;           // its standard meaning, when known
    std::vector<std::string> errors, warnings;
};

// Checks a code: known, its meaning (when given) one the groups use, SRT retired in favour of
// SCT. An unknown code in a scheme the tables do not cover is a warning, not an error.
CodeCheck check_code(Code code, std::optional<std::string_view> meaning);

}  // namespace loamwerk::sr
