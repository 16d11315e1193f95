// UTF-8 checks, and the reading of undeclared text as Latin-1 when it is not UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace loamwerk {

// The length of the well-formed UTF-8 sequence at s[i] (no overlong forms, surrogates or code
// points past U+10FFFF), or 0.
inline std::size_t utf8_sequence(std::string_view s, std::size_t i) {
    const auto c = std::uint8_t(s[i]);
    if (c < 0x80) return 1;
    const std::size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((std::uint8_t(s[i + k]) & 0xC0) != 0x80) return 0;
    const auto c1 = std::uint8_t(s[i + 1]);
    if ((c == 0xE0 && c1 < 0xA0) || (c == 0xED && c1 > 0x9F) || (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 > 0x8F))
        return 0;
    return n;
}

inline bool is_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8_sequence(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

// Text under the default repertoire that is not UTF-8 is read as Latin-1, the set such files
// nearly always mean, so no byte is lost.
inline std::string as_utf8(std::string_view s) {
    if (is_utf8(s)) return std::string(s);
    std::string out;
    out.reserve(s.size() + s.size() / 4);
    for (const char ch : s) {
        const auto c = std::uint8_t(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace loamwerk
