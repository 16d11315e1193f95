#include "core/uid.hpp"

#include <algorithm>

#include "core/keyed_hash.hpp"

namespace loamwerk::uid {

namespace {
using u128 = unsigned __int128;

constexpr u128 kOffsetBasis = (u128(0x6C62272E07BB0142ull) << 64) | 0x62B821756295C58Dull;
constexpr u128 kPrime = (u128(1) << 88) | 0x13B;

u128 fnv1a_128(std::string_view bytes) {
    u128 h = kOffsetBasis;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= kPrime;  // modulo 2^128 by wrap-around
    }
    return h;
}

std::string decimal(u128 v) {
    if (v == 0) return "0";
    std::string s;
    while (v) {
        s.push_back(char('0' + int(v % 10)));
        v /= 10;
    }
    std::reverse(s.begin(), s.end());
    return s;
}

std::string under_root(u128 value, std::string_view root) {
    std::string digits = decimal(value);
    const std::size_t budget = root.size() >= 63 ? 1 : 63 - root.size();
    if (digits.size() > budget) digits.erase(0, digits.size() - budget);
    const std::size_t nonzero = digits.find_first_not_of('0');
    digits = nonzero == std::string::npos ? "0" : digits.substr(nonzero);
    std::string out(root);
    out += '.';
    out += digits;
    return out;
}
}  // namespace

std::string mint(std::string_view seed, std::string_view root) { return under_root(fnv1a_128(seed), root); }

std::string keyed(std::string_view key, std::string_view seed, std::string_view root) {
    const loamwerk::keyed::Digest d = loamwerk::keyed::hmac(key, "uid", seed);
    u128 v = 0;
    for (int i = 0; i < 16; ++i) v = (v << 8) | d[i];
    // UUID version 8 (bits 76-79) and the RFC variant (bits 62-63).
    v = (v & ~(u128(0xF) << 76)) | (u128(0x8) << 76);
    v = (v & ~(u128(0x3) << 62)) | (u128(0x2) << 62);
    return under_root(v, root);
}

}  // namespace loamwerk::uid
