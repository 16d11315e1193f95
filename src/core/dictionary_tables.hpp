// Constant dictionary tables compiled into the module (generated rows live in
// generated/dictionary_data.cpp). Rows are plain aggregates of views into string
// literals, so they are constant-initialised and need no construction at load time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace loamwerk::dict {

struct TagDictionaryEntry {
    std::uint32_t tag;
    std::string_view keyword, name, vr, vm;
    std::uint8_t retired;
};

struct RepeatingTagEntry {
    std::uint32_t value, mask;
    std::string_view keyword, name, vr, vm;
    std::uint8_t retired;
};

struct PrivateDictionaryEntry {
    std::string_view creator;
    std::uint16_t group;
    std::uint8_t element;  // low byte of the element number (block-relative)
    std::string_view keyword, name, vr, vm;
    std::uint8_t retired;
};

struct UidDictionaryEntry {
    std::string_view uid, name, type, keyword, info;
    std::uint8_t retired;
    std::uint32_t cid;
};

struct PrivateSeqKey {
    std::uint16_t creator_number;  // index into kSeqCreators plus 1
    std::uint16_t group;
    std::uint16_t start, count;    // slice of kSeqElements
};

struct ImplicitGroup {
    std::uint16_t group;
    std::uint16_t count;
    std::uint32_t start;           // index of the group's first element
};

namespace tables {
extern const TagDictionaryEntry kTags[];
extern const std::size_t kTagCount;
extern const RepeatingTagEntry kRepeating[];
extern const std::size_t kRepeatingCount;
extern const PrivateDictionaryEntry kPrivate[];
extern const std::size_t kPrivateCount;
extern const UidDictionaryEntry kUids[];
extern const std::size_t kUidCount;

extern const std::string_view kSeqCreators[];
extern const std::size_t kSeqCreatorCount;
extern const PrivateSeqKey kSeqKeys[];
extern const std::size_t kSeqKeyCount;
extern const std::uint8_t kSeqElements[];

extern const ImplicitGroup kImplicitSqGroups[];
extern const std::size_t kImplicitSqGroupCount;
extern const std::uint16_t kImplicitSqElements[];
extern const ImplicitGroup kImplicitVrGroups[];
extern const std::size_t kImplicitVrGroupCount;
extern const std::uint16_t kImplicitVrElements[];
extern const std::uint8_t kImplicitVrIndex[];
extern const char kVrCodes[34][3];
}  // namespace tables

}  // namespace loamwerk::dict
