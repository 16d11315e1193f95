// The de-identification action table: one row per attribute of the Basic Profile.
#pragma once

#include <cstddef>
#include <cstdint>

namespace loamwerk::deident {

struct ActionRow {
    std::uint32_t tag;
    char action;  // K, X, Z, D or U
    std::uint16_t flags;
};

// Option flag bits of a row.
namespace flag {
constexpr std::uint16_t kCleanDescriptors = 1, kCleanStructContent = 2, kRetainDates = 4, kShiftDates = 8,
                        kCleanGraphics = 16, kRetainUids = 32, kRetainDevice = 64, kCleanDevice = 128,
                        kRetainInstitution = 256, kRetainPatientChars = 512, kCleanPatientChars = 1024;
}

extern const ActionRow kActions[];  // sorted by tag
extern const std::size_t kActionCount;

const ActionRow* find_action(std::uint32_t tag);

}  // namespace loamwerk::deident
