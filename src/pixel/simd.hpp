// Byte-shuffling loops shared by the frame decoders and the stored-value unpacking: 16-byte
// SSE2/SSSE3 blocks with scalar tails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include <immintrin.h>

namespace loamwerk::render {

// Two planes (high byte first) to little-endian 16-bit samples.
inline void interleave2(const std::uint8_t* hi, const std::uint8_t* lo, std::size_t n, std::uint8_t* out) {
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi + i));
        const __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_unpacklo_epi8(l, h));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 16), _mm_unpackhi_epi8(l, h));
    }
    for (; i < n; ++i) out[2 * i] = lo[i], out[2 * i + 1] = hi[i];
}

// Three planes to R, G, B triplets, 16 pixels at a time with byte shuffles.
inline void interleave3(const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b, std::size_t n, std::uint8_t* out) {
    std::size_t i = 0;
    const __m128i mr0 = _mm_setr_epi8(0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1, 5);
    const __m128i mg0 = _mm_setr_epi8(-1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1, -1);
    const __m128i mb0 = _mm_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1);
    const __m128i mr1 = _mm_setr_epi8(-1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10, -1);
    const __m128i mg1 = _mm_setr_epi8(5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1, 10);
    const __m128i mb1 = _mm_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, 8, -1, -1, 9, -1, -1);
    const __m128i mr2 = _mm_setr_epi8(-1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1, -1);
    const __m128i mg2 = _mm_setr_epi8(-1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15, -1);
    const __m128i mb2 = _mm_setr_epi8(10, -1, -1, 11, -1, -1, 12, -1, -1, 13, -1, -1, 14, -1, -1, 15);
    for (; i + 16 <= n; i += 16) {
        const __m128i vr = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + i));
        const __m128i vg = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g + i));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        auto mix = [&](__m128i a, __m128i b_, __m128i c) {
            return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(vr, a), _mm_shuffle_epi8(vg, b_)), _mm_shuffle_epi8(vb, c));
        };
        std::uint8_t* o = out + 3 * i;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), mix(mr0, mg0, mb0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 16), mix(mr1, mg1, mb1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 32), mix(mr2, mg2, mb2));
    }
    for (; i < n; ++i) out[3 * i] = r[i], out[3 * i + 1] = g[i], out[3 * i + 2] = b[i];
}

// Reverses the bytes of each 16-bit word.
inline void swap16(std::uint8_t* p, std::size_t bytes) {
    const __m128i m = _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
    std::size_t i = 0;
    for (; i + 16 <= bytes; i += 16) {
        __m128i* q = reinterpret_cast<__m128i*>(p + i);
        _mm_storeu_si128(q, _mm_shuffle_epi8(_mm_loadu_si128(q), m));
    }
    for (; i + 2 <= bytes; i += 2) std::swap(p[i], p[i + 1]);
}

// Reverses the bytes of each 32-bit word.
inline void swap32(std::uint8_t* p, std::size_t bytes) {
    const __m128i m = _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    std::size_t i = 0;
    for (; i + 16 <= bytes; i += 16) {
        __m128i* q = reinterpret_cast<__m128i*>(p + i);
        _mm_storeu_si128(q, _mm_shuffle_epi8(_mm_loadu_si128(q), m));
    }
    for (; i + 4 <= bytes; i += 4) std::swap(p[i], p[i + 3]), std::swap(p[i + 1], p[i + 2]);
}

// RGBA to RGB (alpha dropped) and RGB to opaque RGBA, four pixels per shuffle. Each 16-byte
// store may run 4 bytes past the pixels it completes, so the vector loops stop 6 pixels short.
inline void rgba_to_rgb(const std::uint8_t* src, std::uint8_t* dst, std::size_t n) {
    std::size_t i = 0;
    const __m128i pick = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    for (; i + 6 <= n; i += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * i), _mm_shuffle_epi8(v, pick));
    }
    for (; i < n; ++i) dst[3 * i] = src[4 * i], dst[3 * i + 1] = src[4 * i + 1], dst[3 * i + 2] = src[4 * i + 2];
}

inline void rgb_to_rgba(const std::uint8_t* src, std::uint8_t* dst, std::size_t n) {
    std::size_t i = 0;
    const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
    const __m128i alpha = _mm_set1_epi32(int(0xFF000000u));
    for (; i + 6 <= n; i += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i), _mm_or_si128(_mm_shuffle_epi8(v, spread), alpha));
    }
    for (; i < n; ++i) dst[4 * i] = src[3 * i], dst[4 * i + 1] = src[3 * i + 1], dst[4 * i + 2] = src[3 * i + 2], dst[4 * i + 3] = 255;
}

}  // namespace loamwerk::render
