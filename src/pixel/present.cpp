#include "pixel/present.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/bytes.hpp"

namespace loamwerk::render {

namespace {
std::uint8_t clamp_q15(std::int32_t v) {
    v += 16384;
    return v < 32768 ? 0 : v >= 256 * 32768 ? 255 : std::uint8_t(v >> 15);
}
}  // namespace

void ybr_to_rgb(std::uint8_t photometric, std::uint8_t* p, std::size_t count) {
    const bool partial = photometric == kYbrPartial422 || photometric == kYbrPartial420;
    for (std::size_t i = 0; i < count; ++i, p += 3) {
        const std::int32_t y = p[0], cb = p[1] - 128, cr = p[2] - 128;
        if (partial) {
            const std::int32_t yy = 38142 * (y - 16);
            p[0] = clamp_q15(yy + 52298 * cr);
            p[1] = clamp_q15(yy - 12845 * cb - 26640 * cr);
            p[2] = clamp_q15(yy + 66093 * cb);
        } else {
            const std::int32_t yy = 32768 * y;
            p[0] = clamp_q15(yy + 45941 * cr);
            p[1] = clamp_q15(yy - 11277 * cb - 23401 * cr);
            p[2] = clamp_q15(yy + 58065 * cb);
        }
    }
}

void cmyk_to_rgb(const std::uint8_t* cmyk, std::size_t count, std::uint8_t* rgb) {
    for (std::size_t i = 0; i < count; ++i, cmyk += 4, rgb += 3) {
        const unsigned k = 255u - cmyk[3];
        for (int c = 0; c < 3; ++c) rgb[c] = std::uint8_t(((255u - cmyk[c]) * k + 127u) / 255u);
    }
}

namespace {

// A segmented palette expanded to its 16-bit entries; empty on a malformed table.
std::vector<std::uint16_t> expand_segmented(const std::uint8_t* data, std::size_t size, bool big) {
    std::vector<std::uint16_t> out;
    if (size & 1) return {};
    std::vector<std::uint16_t> words(size / 2);
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = load16(data + 2 * i, big);
    struct Walker {
        const std::vector<std::uint16_t>& w;
        std::vector<std::uint16_t>& out;
        bool run(std::size_t pos, std::size_t max_segments, int depth) {
            if (depth > 4) return false;
            for (std::size_t seg = 0; pos < w.size() && seg < max_segments; ++seg) {
                if (w.size() - pos < 2) return false;
                const std::uint16_t type = w[pos], length = w[pos + 1];
                if (type > 2 || length == 0) return false;
                if (type == 0) {
                    if (w.size() - pos - 2 < length) return false;
                    out.insert(out.end(), w.begin() + std::ptrdiff_t(pos + 2), w.begin() + std::ptrdiff_t(pos + 2 + length));
                    pos += 2 + length;
                } else if (type == 1) {
                    if (out.empty() || w.size() - pos < 3) return false;
                    const double y0 = out.back(), y1 = w[pos + 2];
                    for (std::size_t i = 1; i <= length; ++i)
                        out.push_back(std::uint16_t(std::lround(y0 + (y1 - y0) * double(i) / length)));
                    pos += 3;
                } else {
                    if (out.empty() || w.size() - pos < 4) return false;
                    const std::size_t offset = std::size_t(w[pos + 2]) | (std::size_t(w[pos + 3]) << 16);
                    if (offset >= w.size() || !run(offset, length, depth + 1)) return false;
                    pos += 4;
                }
                if (out.size() > 65536) return false;
            }
            return true;
        }
    } walker{words, out};
    if (!walker.run(0, std::numeric_limits<std::size_t>::max(), 0)) return {};
    return out;
}

struct Palette {
    std::vector<std::uint16_t> entries[3];  // widened to 16 bits
    std::size_t count = 0;
    std::int32_t first = 0;
    bool sixteen = false;
};

bool load_palette(const RenderImage& img, Palette& p) {
    const LutView* lut = img.palette;
    if (!lut[0].present || !lut[1].present || !lut[2].present) return false;
    for (int c = 1; c < 3; ++c)
        if (lut[c].entries != lut[0].entries || lut[c].first != lut[0].first || lut[c].bits != lut[0].bits) return false;
    if (lut[0].bits != 8 && lut[0].bits != 16) return false;
    p.sixteen = lut[0].bits == 16;
    p.first = lut[0].first;
    p.count = lut[0].entry_count();
    for (int c = 0; c < 3; ++c) {
        std::vector<std::uint16_t>& e = p.entries[c];
        if (img.segmented[c]) {
            e = expand_segmented(img.segmented[c], img.segmented_size[c], img.big_endian);
            if (e.empty()) return false;
        } else {
            if (!lut[c].data) return false;
            const std::size_t width = p.sixteen ? 2 : 1;
            const std::size_t held = std::min(p.count, lut[c].size / width);
            e.resize(held);
            for (std::size_t i = 0; i < held; ++i)
                e[i] = p.sixteen ? load16(lut[c].data + 2 * i, img.big_endian) : lut[c].data[i];
        }
        p.count = std::min(p.count, e.size());
    }
    return p.count > 0;
}

}  // namespace

bool palette_usable(const RenderImage& img, bool* sixteen_bit) {
    Palette p;
    if (!load_palette(img, p)) return false;
    if (sixteen_bit) *sixteen_bit = p.sixteen;
    return true;
}

int palette_expand(std::span<const std::uint8_t> dataset, const std::uint8_t* indices, std::size_t index_bytes,
                   std::size_t count, unsigned width, bool is_signed, ByteVector& out, bool* sixteen_bit) {
    const auto img = open(dataset, 0);
    if (!img || img->photometric != kPaletteColor || !palette_usable(*img, sixteen_bit)) return status::kNothing;
    return palette_expand(*img, indices, index_bytes, count, width, is_signed, *sixteen_bit, out);
}

int palette_expand(const RenderImage& img, const std::uint8_t* indices, std::size_t index_bytes, std::size_t count,
                   unsigned width, bool is_signed, bool out16, ByteVector& out) {
    Palette p;
    if (!load_palette(img, p)) return status::kUnsupported;
    if (index_bytes < count * width) return status::kTruncated;
    auto entry_of = [&](std::int64_t v) {
        return v <= p.first ? std::size_t(0) : std::size_t(std::min<std::int64_t>(v - p.first, std::int64_t(p.count) - 1));
    };
    const std::size_t sample = out16 ? 2 : 1, pixel = 3 * sample;
    auto put = [&](std::uint8_t* o, std::size_t k) {
        for (int c = 0; c < 3; ++c) {
            const std::uint16_t e = p.entries[c][k];
            if (out16) {
                const std::uint16_t w = p.sixteen ? e : std::uint16_t(e * 257);
                std::memcpy(o + 2 * c, &w, 2);
            } else {
                o[c] = p.sixteen ? std::uint8_t(e >> 8) : std::uint8_t(e);
            }
        }
    };
    const std::size_t base = out.size();
    out.resize(base + count * pixel);
    std::uint8_t* o = out.data() + base;
    if (width <= 2) {
        // Every possible index resolved once; then one table copy per pixel.
        const std::size_t values = width == 1 ? 256 : 65536;
        ByteVector table(values * pixel);
        for (std::size_t raw = 0; raw < values; ++raw) {
            const std::int64_t v = !is_signed ? std::int64_t(raw)
                                   : width == 1 ? std::int64_t(std::int8_t(raw)) : std::int64_t(std::int16_t(raw));
            put(table.data() + raw * pixel, entry_of(v));
        }
        if (width == 1) {
            for (std::size_t i = 0; i < count; ++i) std::memcpy(o + i * pixel, table.data() + indices[i] * pixel, pixel);
        } else {
            for (std::size_t i = 0; i < count; ++i)
                std::memcpy(o + i * pixel, table.data() + std::size_t(load_le16(indices + 2 * i)) * pixel, pixel);
        }
        return status::kOk;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t raw = load_le32(indices + 4 * i);
        put(o + i * pixel, entry_of(is_signed ? std::int64_t(std::int32_t(raw)) : std::int64_t(raw)));
    }
    return status::kOk;
}

namespace {

// out[i] = stored[i] * s + b, or the LUT entry, for one sample type.
template <class T>
void modality_loop(const std::uint8_t* stored, std::size_t count, float s, float b, const LutView* lut, bool big,
                   float sign, float* out) {
    if (lut) {
        const std::size_t entries = lut->entry_count(), width = lut->bits <= 8 ? 1 : 2;
        for (std::size_t i = 0; i < count; ++i) {
            T v;
            std::memcpy(&v, stored + i * sizeof(T), sizeof(T));
            const std::int64_t idx = std::int64_t(v) - lut->first;
            const std::size_t k = idx < 0 ? 0 : std::min<std::size_t>(std::size_t(idx), entries - 1);
            const unsigned e = width == 1 ? lut->data[k] : load16(lut->data + 2 * k, big);
            out[i] = float(e) * sign;
        }
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        T v;
        std::memcpy(&v, stored + i * sizeof(T), sizeof(T));
        out[i] = float(v) * s + b;
    }
}

}  // namespace

void modality_transform(const RenderImage& img, std::size_t frame, const std::uint8_t* stored, std::size_t count,
                        unsigned width, bool is_signed, bool is_float, float* out, float* min_out, float* max_out) {
    float slope = frame < img.frame_slope.size() ? img.frame_slope[frame] : img.rescale_slope;
    float intercept = frame < img.frame_intercept.size() ? img.frame_intercept[frame] : img.rescale_intercept;
    bool use_lut = true;
    if (img.rt_dose && img.has_dose_scaling && std::isfinite(img.dose_grid_scaling) && img.dose_grid_scaling != 0) {
        slope = float(img.dose_grid_scaling), intercept = 0, use_lut = false;
    }
    const float sign = img.photometric == kMonochrome1 ? -1.0f : 1.0f;
    const LutView& lut = img.modality_lut;
    use_lut = use_lut && lut.present && lut.data && lut.size >= lut.entry_count() * (lut.bits <= 8 ? 1 : 2);
    const LutView* l = use_lut ? &lut : nullptr;
    const float s = slope * sign, b = intercept * sign;
    const bool big = img.big_endian;
    if (is_float && width == 4) modality_loop<float>(stored, count, s, b, l, big, sign, out);
    else if (width == 8) modality_loop<double>(stored, count, s, b, l, big, sign, out);
    else if (width == 1) is_signed ? modality_loop<std::int8_t>(stored, count, s, b, l, big, sign, out)
                                   : modality_loop<std::uint8_t>(stored, count, s, b, l, big, sign, out);
    else if (width == 2) is_signed ? modality_loop<std::int16_t>(stored, count, s, b, l, big, sign, out)
                                   : modality_loop<std::uint16_t>(stored, count, s, b, l, big, sign, out);
    else is_signed ? modality_loop<std::int32_t>(stored, count, s, b, l, big, sign, out)
                   : modality_loop<std::uint32_t>(stored, count, s, b, l, big, sign, out);
    if (!min_out && !max_out) return;
    float lo = 3.4028235e38f, hi = -3.4028235e38f;
    for (std::size_t i = 0; i < count; ++i) lo = std::min(lo, out[i]), hi = std::max(hi, out[i]);
    if (min_out) *min_out = lo;
    if (max_out) *max_out = hi;
}

bool voi_transfer(const float* in, std::size_t count, int function, const std::uint8_t* lut, std::size_t lut_size,
                  bool has_lut, int lut_first, int lut_depth, float c, float w, float* out) {
    if (has_lut) {
        const std::size_t entries = lut_depth >= 9 ? lut_size / 2 : lut_size;
        if (entries == 0) return false;
        const float divisor = (lut_depth < 1 || lut_depth > 16) ? 65535.0f : float((1u << lut_depth) - 1u);
        for (std::size_t i = 0; i < count; ++i) {
            const long idx = std::lround(in[i]) - lut_first;
            const std::size_t k = idx < 0 ? 0 : std::min<std::size_t>(std::size_t(idx), entries - 1);
            const float e = lut_depth <= 8 ? float(lut[k]) : float(load_le16(lut + 2 * k));
            out[i] = divisor == 0 ? 0.0f : std::min(1.0f, e / divisor);
        }
        return true;
    }
    if (!std::isfinite(w)) w = 1;
    if (function == 2) {
        if (w <= 0) w = 1;
        for (std::size_t i = 0; i < count; ++i) out[i] = 1.0f / (1.0f + std::exp(-4.0f * (in[i] - c) / w));
        return true;
    }
    if (function != 1 && w < 1) w = 1;
    if (function == 1 || w == 1) {
        if (w <= 0) w = 1;
        const float lo = c - w / 2, hi = c + w / 2;
        for (std::size_t i = 0; i < count; ++i)
            out[i] = in[i] <= lo ? 0.0f : in[i] > hi ? 1.0f : (in[i] - c) / w + 0.5f;
        return true;
    }
    const float c0 = c - 0.5f, half = (w - 1) / 2, lo = c0 - half, hi = c0 + half;
    for (std::size_t i = 0; i < count; ++i)
        out[i] = in[i] <= lo ? 0.0f : in[i] > hi ? 1.0f : (in[i] - c0) / (w - 1) + 0.5f;
    return true;
}

}  // namespace loamwerk::render
