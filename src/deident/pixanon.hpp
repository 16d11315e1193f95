// Blacking out burned-in annotation in pixel data, re-emitted uncompressed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/dataset.hpp"

namespace loamwerk::pixanon {

struct Region {
    double x = 0, y = 0, w = 0, h = 0;
    std::uint32_t frame = 0xFFFFFFFFu;  // 1-based, or every frame
    bool relative = false;              // fractions of columns and rows
};

// The built-in device signatures (generated).
struct SignatureCondition {
    std::uint32_t tag;
    bool contains;  // else equality
    const char* text;
};
struct SignatureRegion {
    int x, y, w, h;
};
struct SignatureRow {
    std::size_t first_condition, conditions, first_region, regions;
};
extern const SignatureCondition kConditions[];
extern const SignatureRegion kRegions[];
extern const SignatureRow kSignatures[];
extern const std::size_t kSignatureCount;

namespace result {
constexpr int kOk = -1, kNotPart10 = 0, kNotByteWalkable = 1, kNoFrames = 2, kFormat = 3, kNoMatch = 4,
              kReassembly = 5;
}
std::string_view message(int code);

// The conditions of the first built-in signature that `top` (a top-level data set) matches,
// as "Keyword contains 'TEXT', ..."; empty when none does.
std::string matching_signature(const std::vector<ElementRef>& top);

// Cleans `input` into `out`. With no region at all the input comes back unchanged (or, with
// require_match, the call fails). Signatures are matched against `match_source` when given
// (the file before de-identification removed the attributes they name).
int clean(std::span<const std::uint8_t> input, const std::vector<Region>& regions, bool use_library,
          bool require_match, std::vector<std::uint8_t>& out, std::span<const std::uint8_t> match_source = {});

}  // namespace loamwerk::pixanon
