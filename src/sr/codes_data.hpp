// The coded-concept tables of structured reports, generated into sr/generated/codes.cpp by
// tools/gen_sr_codes.py from the context groups and the SNOMED SRT-to-SCT mapping.
#pragma once

#include <cstdint>
#include <span>

namespace loamwerk::sr::generated {

struct CodeEntry {
    const char* scheme;
    const char* value;
    const char* meaning;  // the meaning most groups give the code
};

struct MemberEntry {
    std::uint32_t code;   // index into `codes`
    const char* meaning;  // the group's own meaning, or nullptr for the code's
};

struct GroupEntry {
    std::uint32_t cid;
    const char* name;
    std::uint32_t first, count;  // its members
};

struct SrtEntry {
    const char* srt;
    const char* sct;
};

extern const std::span<const CodeEntry> codes;      // sorted by (scheme, value)
extern const std::span<const MemberEntry> members;  // group by group, each sorted by code
extern const std::span<const GroupEntry> groups;    // sorted by cid
extern const std::span<const SrtEntry> srt;         // sorted by the SRT value

}  // namespace loamwerk::sr::generated
