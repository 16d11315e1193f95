#include "pixel/unpack.hpp"

#include <algorithm>
#include <cstring>

#include "pixel/simd.hpp"

namespace loamwerk::render {

namespace {

// Least significant bit first, one byte (0 or 1) per pixel. Returns the pixels written.
std::size_t unpack_bits(const std::uint8_t* in, std::size_t in_size, unsigned offset, std::size_t count, std::uint8_t* out) {
    const std::size_t available = in_size * 8 > offset ? in_size * 8 - offset : 0;
    const std::size_t n = std::min(count, available);
    std::size_t i = 0;
    if (offset == 0) {
        // 16 pixels from two bytes: spread each byte over eight lanes, keep one bit per lane.
        const __m128i spread = _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1);
        const __m128i bits = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 1, 2, 4, 8, 16, 32, 64, -128);
        const __m128i one = _mm_set1_epi8(1);
        for (; i + 16 <= n; i += 16) {
            std::uint16_t two;
            std::memcpy(&two, in + i / 8, 2);
            const __m128i v = _mm_shuffle_epi8(_mm_cvtsi32_si128(two), spread);
            const __m128i set = _mm_cmpeq_epi8(_mm_and_si128(v, bits), bits);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_and_si128(set, one));
        }
    }
    for (; i < n; ++i) {
        const std::size_t bit = i + offset;
        out[i] = (in[bit / 8] >> (bit % 8)) & 1;
    }
    return n;
}

// Y0 Y1 Cb Cr to (Y0 Cb Cr)(Y1 Cb Cr). Returns the bytes written.
std::size_t expand_422(const std::uint8_t* in, std::size_t in_size, std::size_t pixels, std::uint8_t* out) {
    const std::size_t pairs = std::min(pixels / 2, in_size / 4);
    const std::size_t written = pairs * 6;
    for (std::size_t k = 0; k < pairs; ++k, in += 4, out += 6) {
        out[0] = in[0], out[1] = in[2], out[2] = in[3];
        out[3] = in[1], out[4] = in[2], out[5] = in[3];
    }
    return written;
}

void interleave_planes(const std::uint8_t* in, std::size_t in_size, std::size_t pixels, unsigned samples,
                       unsigned width, std::uint8_t* out) {
    const std::size_t plane = pixels * width;
    if (width == 1 && samples == 3 && in_size >= 3 * plane) {
        interleave3(in, in + plane, in + 2 * plane, pixels, out);
        return;
    }
    for (unsigned s = 0; s < samples; ++s) {
        const std::size_t from = s * plane;
        if (from >= in_size) break;
        const std::size_t whole = std::min(pixels, (in_size - from) / width);
        for (std::size_t p = 0; p < whole; ++p)
            std::memcpy(out + (p * samples + s) * width, in + from + p * width, width);
    }
}

}  // namespace

void sign_extend(std::uint8_t* p, std::size_t count, unsigned width, unsigned bits) {
    if (bits == 0 || bits >= width * 8 || bits >= 32) return;  // the mask is 32-bit
    // (v & mask) ^ s) - s, with s the sign bit: the same for every container width.
    const std::uint32_t mask = (1u << bits) - 1u, sbit = 1u << (bits - 1);
    std::size_t i = 0;
    const std::size_t bytes = count * width;
    if (width == 1) {
        const __m128i m = _mm_set1_epi8(char(mask)), s = _mm_set1_epi8(char(sbit));
        for (; i + 16 <= bytes; i += 16) {
            __m128i* q = reinterpret_cast<__m128i*>(p + i);
            const __m128i v = _mm_and_si128(_mm_loadu_si128(q), m);
            _mm_storeu_si128(q, _mm_sub_epi8(_mm_xor_si128(v, s), s));
        }
        for (; i < bytes; ++i) p[i] = std::uint8_t(((p[i] & mask) ^ sbit) - sbit);
    } else if (width == 2) {
        const __m128i m = _mm_set1_epi16(short(mask)), s = _mm_set1_epi16(short(sbit));
        for (; i + 16 <= bytes; i += 16) {
            __m128i* q = reinterpret_cast<__m128i*>(p + i);
            const __m128i v = _mm_and_si128(_mm_loadu_si128(q), m);
            _mm_storeu_si128(q, _mm_sub_epi16(_mm_xor_si128(v, s), s));
        }
        for (; i + 2 <= bytes; i += 2) {
            std::uint16_t v;
            std::memcpy(&v, p + i, 2);
            v = std::uint16_t(((v & mask) ^ sbit) - sbit);
            std::memcpy(p + i, &v, 2);
        }
    } else if (width == 4) {
        const __m128i m = _mm_set1_epi32(int(mask)), s = _mm_set1_epi32(int(sbit));
        for (; i + 16 <= bytes; i += 16) {
            __m128i* q = reinterpret_cast<__m128i*>(p + i);
            const __m128i v = _mm_and_si128(_mm_loadu_si128(q), m);
            _mm_storeu_si128(q, _mm_sub_epi32(_mm_xor_si128(v, s), s));
        }
        for (; i + 4 <= bytes; i += 4) {
            std::uint32_t v;
            std::memcpy(&v, p + i, 4);
            v = ((v & mask) ^ sbit) - sbit;
            std::memcpy(p + i, &v, 4);
        }
    }
}

StoredLayout unpack_stored(const StoredSource& src, ByteVector& out) {
    StoredLayout layout;
    const std::size_t pixels = std::size_t(src.rows) * src.columns;
    layout.width = src.one_bit ? 1 : (src.bits + 7u) / 8u;
    layout.samples = src.packed_422 ? 3 : src.samples;
    const std::size_t count = pixels * layout.samples;
    const std::size_t base = out.size(), bytes = count * layout.width;
    out.resize(base + bytes);
    std::uint8_t* o = out.data() + base;
    std::size_t written = bytes;  // what the source covered; the rest is zeroed

    const std::uint8_t* in = src.data;
    std::vector<std::uint8_t> swapped;
    if (src.big_endian && src.words_for_bytes && layout.width == 1) {
        // 8-bit samples in big-endian words: undo the word order first.
        swapped.assign(in, in + src.size);
        swap16(swapped.data(), swapped.size());
        in = swapped.data();
    }
    if (src.one_bit) {
        written = unpack_bits(in, src.size, src.bit_offset, count, o);
    } else if (src.packed_422) {
        written = expand_422(in, src.size, pixels, o);
    } else if (src.planar) {
        if (src.size < bytes) std::memset(o, 0, bytes);  // planes cut short leave gaps
        interleave_planes(in, src.size, pixels, src.samples, layout.width, o);
    } else {
        written = std::min(src.size, bytes);
        std::memcpy(o, in, written);
    }
    if (written < bytes) std::memset(o + written, 0, bytes - written);
    if (src.big_endian && !src.words_for_bytes) {
        if (layout.width == 2) swap16(o, count * 2);
        else if (layout.width == 4) swap32(o, count * 4);
        else if (layout.width == 8)
            for (std::size_t i = 0; i < count; ++i) std::reverse(o + 8 * i, o + 8 * i + 8);
    }
    if (src.sign_extend && src.bits > 1) {
        const unsigned container = layout.width * 8;
        const unsigned b = (src.bits_stored >= 1 && src.bits_stored <= src.bits) ? src.bits_stored : src.bits;
        if (b < container) sign_extend(o, count, layout.width, b);
    }
    return layout;
}

}  // namespace loamwerk::render
