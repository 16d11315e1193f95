#include "pixel/encode.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <charls/charls.h>
#include <immintrin.h>

#include "pixel/codec_versions.hpp"

namespace loamwerk::render {

namespace {
int or_85(int q) { return q ? q : 85; }

bool is(std::string_view target, std::string_view suffix) {
    constexpr std::string_view prefix = "1.2.840.10008.1.2.4.";
    return target.size() == prefix.size() + suffix.size() && target.substr(0, prefix.size()) == prefix &&
           target.substr(prefix.size()) == suffix;
}
}  // namespace

namespace {
// Samples reduced to their stored bits: the codecs take Bits Stored-bit values, and signed
// values travel as their two's-complement bit patterns (the decoder sign-extends them back).
ByteVector masked(const std::uint8_t* pixels, std::size_t size, const EncodeRequest& r) {
    ByteVector out(pixels, pixels + size);
    const unsigned bits = r.precision();
    if (bits >= r.bits_allocated) return out;
    if (r.bits_allocated == 8) {
        for (auto& b : out) b = std::uint8_t(b & ((1u << bits) - 1u));
    } else if (r.bits_allocated == 16) {
        for (std::size_t i = 0; i + 1 < out.size(); i += 2) {
            std::uint16_t v;
            std::memcpy(&v, out.data() + i, 2);
            v = std::uint16_t(v & ((1u << bits) - 1u));
            std::memcpy(out.data() + i, &v, 2);
        }
    }
    return out;
}
}  // namespace

ByteVector encode_wrap(const std::uint8_t* pixels, std::size_t size, const EncodeRequest& request,
                       std::string_view target) {
    // JPEG 2000 takes signed components as they are; the other codecs take bit patterns.
    const bool j2k_family = is(target, "90") || is(target, "91") || is(target, "201") || is(target, "203");
    ByteVector patterns;
    EncodeRequest r = request;
    if (target != "1.2.840.10008.1.2.5" && !(j2k_family && r.is_signed) && r.precision() < r.bits_allocated) {
        patterns = masked(pixels, size, r);
        pixels = patterns.data();
    }
    if (!j2k_family) r.is_signed = false;
    const int q = r.quality;
    if (is(target, "201")) return htj2k_encode(pixels, size, r, 0);
    if (is(target, "203")) return htj2k_encode(pixels, size, r, or_85(q));
    if (is(target, "110")) return jxl_encode(pixels, size, r, 0);
    if (is(target, "112")) return jxl_encode(pixels, size, r, or_85(q));
    if (is(target, "90")) return j2k_encode(pixels, size, r, 0);
    if (is(target, "91")) return j2k_encode(pixels, size, r, or_85(q));
    if (is(target, "80")) return jpegls_encode(pixels, size, r, 0);
    if (is(target, "81")) {
        const int v = or_85(q);
        return jpegls_encode(pixels, size, r, v >= 100 ? 0 : v >= 94 ? 1 : ((107 - v) * 147) >> 11);
    }
    if (is(target, "50") || is(target, "51") || is(target, "57") || is(target, "70"))
        return jpeg_encode(pixels, size, r, target, q);
    if (target == "1.2.840.10008.1.2.5") return rle_encode(pixels, size, r);
    std::fprintf(stderr, "encode_wrap: unsupported target TS: %.*s\n", int(target.size()), target.data());
    return {};
}

// ---- RLE Lossless ---------------------------------------------------------------------------

namespace {

// The length of the run of equal bytes at p (at most `limit`), 16 bytes compared at a time.
std::size_t run_length(const std::uint8_t* p, std::size_t limit) {
    const __m128i first = _mm_set1_epi8(char(p[0]));
    std::size_t n = 1;
    while (n + 16 <= limit) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n));
        const unsigned same = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, first)));
        if (same != 0xFFFF) return n + unsigned(__builtin_ctz(~same));
        n += 16;
    }
    while (n < limit && p[n] == p[0]) ++n;
    return n;
}

void pack_bits(const std::uint8_t* in, std::size_t n, ByteVector& out) {
    std::size_t i = 0;
    while (i < n) {
        const std::size_t run = run_length(in + i, std::min<std::size_t>(128, n - i));
        if (run >= 3) {
            out.push_back(std::uint8_t(257 - run));
            out.push_back(in[i]);
            i += run;
            continue;
        }
        // A literal run, up to the next run of three.
        std::size_t j = i;
        while (j < n && j - i < 128) {
            if (j + 2 < n && in[j] == in[j + 1] && in[j] == in[j + 2]) break;
            ++j;
        }
        out.push_back(std::uint8_t(j - i - 1));
        out.insert(out.end(), in + i, in + j);
        i = j;
    }
}

}  // namespace

ByteVector rle_encode(const std::uint8_t* pixels, std::size_t size, const EncodeRequest& r) {
    const std::size_t bytes = r.bits_allocated / 8u, samples = r.samples;
    const std::size_t segments = bytes * samples, count = std::size_t(r.columns) * r.rows;
    if (r.planar || r.bits_allocated == 0 || r.bits_allocated % 8 || segments < 1 || segments > 15 || count == 0 ||
        size < count * segments)
        return {};
    ByteVector out;
    out.reserve(64 + segments * (count + (count + 127) / 128 + 1));
    out.resize(64);
    std::memset(out.data(), 0, 64);
    std::uint32_t header[16] = {std::uint32_t(segments)};
    ByteVector plane(count);
    const std::size_t stride = segments;
    for (std::size_t k = 0; k < segments; ++k) {
        header[1 + k] = std::uint32_t(out.size());
        const std::size_t sample = k / bytes, byte = bytes - 1 - k % bytes;
        const std::uint8_t* src = pixels + sample * bytes + byte;
        for (std::size_t i = 0; i < count; ++i) plane[i] = src[i * stride];
        pack_bits(plane.data(), count, out);
        if (out.size() & 1) out.push_back(0);  // segments start on even offsets
    }
    std::memcpy(out.data(), header, 64);
    return out;
}

// ---- JPEG-LS ----------------------------------------------------------------------------------

ByteVector jpegls_encode(const std::uint8_t* pixels, std::size_t size, const EncodeRequest& r, int near) {
    try {
        charls::jpegls_encoder encoder;
        encoder.frame_info({r.columns, r.rows, int32_t(r.precision()), int32_t(r.samples)});
        if (r.samples >= 2) encoder.interleave_mode(charls::interleave_mode::sample);
        if (near) encoder.near_lossless(near);
        ByteVector out(size + 4096);
        encoder.destination(out.data(), out.size());
        const std::size_t written = encoder.encode(pixels, size, 0);
        out.resize(written);
        return out;
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace loamwerk::render
