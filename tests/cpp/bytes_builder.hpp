// Little helpers to assemble element bytes in tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace loamtest {

using Bytes = std::vector<std::uint8_t>;

inline void put16(Bytes& b, std::uint16_t v) { b.push_back(v & 0xFF), b.push_back(v >> 8); }
inline void put32(Bytes& b, std::uint32_t v) { put16(b, v & 0xFFFF), put16(b, v >> 16); }
inline void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline Bytes implicit_el(std::uint16_t g, std::uint16_t e, const Bytes& v, std::uint32_t len) {
    Bytes b;
    put16(b, g), put16(b, e), put32(b, len);
    append(b, v);
    return b;
}
inline Bytes implicit_el(std::uint16_t g, std::uint16_t e, const Bytes& v) {
    return implicit_el(g, e, v, std::uint32_t(v.size()));
}

inline Bytes explicit_el(std::uint16_t g, std::uint16_t e, const char* vr, const Bytes& v, bool long_form,
                         std::uint32_t len) {
    Bytes b;
    put16(b, g), put16(b, e);
    b.push_back(vr[0]), b.push_back(vr[1]);
    if (long_form) put16(b, 0), put32(b, len);
    else put16(b, std::uint16_t(len));
    append(b, v);
    return b;
}
inline Bytes explicit_short(std::uint16_t g, std::uint16_t e, const char* vr, const Bytes& v) {
    return explicit_el(g, e, vr, v, false, std::uint32_t(v.size()));
}
inline Bytes explicit_long(std::uint16_t g, std::uint16_t e, const char* vr, const Bytes& v) {
    return explicit_el(g, e, vr, v, true, std::uint32_t(v.size()));
}

inline Bytes delimiter(std::uint16_t e) {
    Bytes b;
    put16(b, 0xFFFE), put16(b, e), put32(b, 0);
    return b;
}
inline Bytes item(const Bytes& content, bool undefined) {
    Bytes b;
    put16(b, 0xFFFE), put16(b, 0xE000), put32(b, undefined ? 0xFFFFFFFFu : std::uint32_t(content.size()));
    append(b, content);
    if (undefined) append(b, delimiter(0xE00D));
    return b;
}

}  // namespace loamtest
