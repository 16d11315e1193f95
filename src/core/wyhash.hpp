// The published wyhash (final version 4, default secret, 64-bit multiply), used for the
// deterministic instance UIDs of re-encoded files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace loamwerk {

namespace wyhash_detail {
inline void mum(std::uint64_t* a, std::uint64_t* b) {
    const unsigned __int128 r = static_cast<unsigned __int128>(*a) * *b;
    *a = std::uint64_t(r), *b = std::uint64_t(r >> 64);
}
inline std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
    mum(&a, &b);
    return a ^ b;
}
inline std::uint64_t r8(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline std::uint64_t r4(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline std::uint64_t r3(const std::uint8_t* p, std::size_t k) {
    return (std::uint64_t(p[0]) << 16) | (std::uint64_t(p[k >> 1]) << 8) | p[k - 1];
}
}  // namespace wyhash_detail

inline constexpr std::uint64_t kWyhashSecret[4] = {0x2d358dccaa6c78a5ull, 0x8bb84b93962eacc9ull,
                                                   0x4b33a62ed433d4a3ull, 0x4d5a2da51de1aa47ull};

inline std::uint64_t wyhash(const void* key, std::size_t len, std::uint64_t seed = 0,
                            const std::uint64_t* secret = kWyhashSecret) {
    using namespace wyhash_detail;
    const auto* p = static_cast<const std::uint8_t*>(key);
    seed ^= mix(seed ^ secret[0], secret[1]);
    std::uint64_t a, b;
    if (len <= 16) {
        if (len >= 4) {
            a = (r4(p) << 32) | r4(p + ((len >> 3) << 2));
            b = (r4(p + len - 4) << 32) | r4(p + len - 4 - ((len >> 3) << 2));
        } else if (len > 0) {
            a = r3(p, len), b = 0;
        } else {
            a = b = 0;
        }
    } else {
        std::size_t i = len;
        if (i > 48) {
            std::uint64_t see1 = seed, see2 = seed;
            do {
                seed = mix(r8(p) ^ secret[1], r8(p + 8) ^ seed);
                see1 = mix(r8(p + 16) ^ secret[2], r8(p + 24) ^ see1);
                see2 = mix(r8(p + 32) ^ secret[3], r8(p + 40) ^ see2);
                p += 48, i -= 48;
            } while (i > 48);
            seed ^= see1 ^ see2;
        }
        while (i > 16) {
            seed = mix(r8(p) ^ secret[1], r8(p + 8) ^ seed);
            i -= 16, p += 16;
        }
        a = r8(p + i - 16), b = r8(p + i - 8);
    }
    a ^= secret[1], b ^= seed;
    mum(&a, &b);
    return mix(a ^ secret[0] ^ len, b ^ secret[1]);
}

}  // namespace loamwerk
