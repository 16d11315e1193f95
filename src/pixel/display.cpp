#include "pixel/display.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "core/bytes.hpp"
#include "core/dataset.hpp"
#include "core/limits.hpp"
#include "core/tags.hpp"
#include "core/values.hpp"
#include "pixel/decode.hpp"
#include "pixel/present.hpp"
#include "pr/read.hpp"

namespace loamwerk::render {

namespace {

// Elements of an overlay plane's repeating group 60xx.
namespace overlay {
constexpr std::uint16_t kFirstGroup = 0x6000, kLastGroup = 0x601E;
constexpr std::uint16_t kRows = 0x0010, kColumns = 0x0011, kFrames = 0x0015, kOrigin = 0x0050,
                        kFrameOrigin = 0x0051, kBitsAllocated = 0x0100, kBitPosition = 0x0102,
                        kActivationLayer = 0x1001, kData = 0x3000;
}  // namespace overlay

struct OverlayPlane {
    std::uint16_t group = 0, rows = 0, columns = 0, bits_allocated = 1, bit_position = 0;
    std::int32_t origin_row = 1, origin_column = 1;
    std::uint32_t frames = 1, frame_origin = 1;
    std::span<const std::uint8_t> data;  // none: the plane lives in the pixel data's high bits
    std::string activation_layer;
};

std::vector<OverlayPlane> overlay_planes(const Elements& top) {
    std::vector<OverlayPlane> out;
    if (std::none_of(top.begin(), top.end(), [](const ElementRef& e) {
            return tag_group(e.tag) >= overlay::kFirstGroup && tag_group(e.tag) <= overlay::kLastGroup;
        }))
        return out;
    for (std::uint16_t g = overlay::kFirstGroup; g <= overlay::kLastGroup; g += 2) {
        const auto tag = [g](std::uint16_t element) { return Tag(g) << 16 | element; };
        const auto rows = integer_of(top, tag(overlay::kRows)), columns = integer_of(top, tag(overlay::kColumns));
        const std::string_view layer = text_of(top, tag(overlay::kActivationLayer));
        if (!rows || !columns || *rows <= 0 || *columns <= 0 || *rows > 65535 || *columns > 65535) {
            if (!layer.empty()) {
                OverlayPlane activation;  // an activation of the image's plane, in a presentation state
                activation.group = g, activation.activation_layer = std::string(layer);
                out.push_back(std::move(activation));
            }
            continue;
        }
        OverlayPlane p;
        p.group = g, p.rows = std::uint16_t(*rows), p.columns = std::uint16_t(*columns);
        p.activation_layer = std::string(layer);
        if (const ElementRef* e = find_element(top, tag(overlay::kOrigin)); e && e->value && e->length >= 4)
            p.origin_row = std::int16_t(load_le16(e->value)), p.origin_column = std::int16_t(load_le16(e->value + 2));
        if (auto n = integer_of(top, tag(overlay::kFrames)); n && *n > 0) p.frames = std::uint32_t(*n);
        if (auto n = integer_of(top, tag(overlay::kFrameOrigin)); n && *n > 0) p.frame_origin = std::uint32_t(*n);
        if (auto n = integer_of(top, tag(overlay::kBitsAllocated))) p.bits_allocated = std::uint16_t(*n);
        if (auto n = integer_of(top, tag(overlay::kBitPosition))) p.bit_position = std::uint16_t(*n);
        if (const ElementRef* e = find_element(top, tag(overlay::kData)); e && e->value)
            p.data = {e->value, std::size_t(e->length)};
        out.push_back(std::move(p));
    }
    return out;
}

// Burns the plane's set bits for image frame `frame` (from 1) into the display image, white or
// `value`. `raw` holds the frame's stored words for planes in the pixel data's high bits.
void burn(DisplayImage& im, const OverlayPlane& p, std::uint32_t frame, std::size_t image_frames,
          std::span<const std::uint16_t> raw, std::uint8_t value) {
    std::size_t k = 0;
    if (p.frames > 1 || image_frames == 1 || p.frame_origin > 1) {
        if (frame < p.frame_origin || frame - p.frame_origin >= p.frames) return;
        k = frame - p.frame_origin;
    }  // else: a one-frame plane over a multi-frame image shows on every frame
    const std::size_t count = std::size_t(p.rows) * p.columns;
    if (count == 0 || (!p.data.empty() && k > p.data.size() * 8 / count)) return;  // (and no overflow below)
    const std::size_t first = k * count;
    if (p.data.empty() ? (raw.size() < count || p.bit_position > 15) : (first + count + 7) / 8 > p.data.size()) return;
    const auto set = [&](std::size_t i) {
        const std::int64_t y = std::int64_t(i / p.columns) + p.origin_row - 1, x = std::int64_t(i % p.columns) + p.origin_column - 1;
        if (y < 0 || x < 0 || y >= std::int64_t(im.rows) || x >= std::int64_t(im.columns)) return;
        std::uint8_t* px = im.pixels.data() + (std::size_t(y) * im.columns + std::size_t(x)) * im.samples;
        for (unsigned s = 0; s < im.samples; ++s) px[s] = value;
    };
    if (p.data.empty()) {
        for (std::size_t i = 0; i < count; ++i)
            if ((raw[i] >> p.bit_position) & 1) set(i);
        return;
    }
    std::size_t i = 0;
    for (; i < count && ((first + i) & 7) != 0; ++i)  // up to the first whole byte
        if ((p.data[(first + i) >> 3] >> ((first + i) & 7)) & 1) set(i);
    for (; i + 8 <= count; i += 8)  // a byte at a time, its set bits only
        for (unsigned bits = p.data[(first + i) >> 3]; bits; bits &= bits - 1) set(i + unsigned(__builtin_ctz(bits)));
    for (; i < count; ++i)
        if ((p.data[(first + i) >> 3] >> ((first + i) & 7)) & 1) set(i);
}

// Pixels set on the display image, clipped to it.
// A coordinate as a pixel index: far outside the image is simply outside (and never an
// out-of-range conversion).
std::int64_t pixel_index(double v) { return std::int64_t(std::floor(std::clamp(v, -1e9, 1e9))); }

// Pixels set on the display image, clipped to it.
struct Canvas {
    DisplayImage& im;
    std::uint8_t value;
    void set(std::int64_t x, std::int64_t y) const {
        if (x < 0 || y < 0 || x >= std::int64_t(im.columns) || y >= std::int64_t(im.rows)) return;
        std::uint8_t* px = im.pixels.data() + (std::size_t(y) * im.columns + std::size_t(x)) * im.samples;
        for (unsigned s = 0; s < im.samples; ++s) px[s] = value;
    }
    void line(pr::Point a, pr::Point b) const {
        // Clipped to the image (and a pixel's margin) first, so that a far-reaching segment costs
        // no more than one across the image; each end is moved along the line onto the edge it
        // lies beyond (a ratio times a distance: no cancellation for lines along an axis).
        const double x0 = -1, y0 = -1, x1 = double(im.columns) + 1, y1 = double(im.rows) + 1;
        const auto outside = [&](const pr::Point& p) {
            return (p.x < x0 ? 1 : p.x > x1 ? 2 : 0) | (p.y < y0 ? 4 : p.y > y1 ? 8 : 0);
        };
        for (int round = 0; round < 8; ++round) {
            const int ca = outside(a), cb = outside(b);
            if (!(ca | cb)) break;
            if (ca & cb) return;  // wholly beyond one edge
            pr::Point& p = ca ? a : b;
            const int c = ca ? ca : cb;
            const double dx = b.x - a.x, dy = b.y - a.y;
            if (c & 1) p = {x0, p.y + (x0 - p.x) * (dy / dx)};
            else if (c & 2) p = {x1, p.y + (x1 - p.x) * (dy / dx)};
            else if (c & 4) p = {p.x + (y0 - p.y) * (dx / dy), y0};
            else p = {p.x + (y1 - p.y) * (dx / dy), y1};
            if (!std::isfinite(p.x) || !std::isfinite(p.y)) return;
        }
        if (outside(a) || outside(b)) return;
        const double steps = std::ceil(std::max(std::fabs(b.x - a.x), std::fabs(b.y - a.y)));
        for (double i = 0; i <= steps; ++i) {
            const double t = steps > 0 ? i / steps : 0;
            set(pixel_index(a.x + t * (b.x - a.x)), pixel_index(a.y + t * (b.y - a.y)));
        }
    }
    // The even-odd interior of a closed outline, by pixel centres.
    void fill(const std::vector<pr::Point>& poly) const {
        double y0 = 1e300, y1 = -1e300;
        for (const pr::Point& p : poly) y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
        const std::int64_t first = std::max<std::int64_t>(0, pixel_index(y0));
        const std::int64_t last = std::min<std::int64_t>(std::int64_t(im.rows) - 1, pixel_index(std::ceil(y1)));
        if (last >= first && double(last - first + 1) * double(poly.size()) > 2e8)
            throw std::invalid_argument("the presentation state's filled graphics are too large to draw");
        std::vector<double> xs;
        for (std::int64_t y = first; y <= last; ++y) {
            const double cy = double(y) + 0.5;
            xs.clear();
            for (std::size_t i = 0, j = poly.size() - 1; i < poly.size(); j = i++) {
                const pr::Point &p = poly[i], &q = poly[j];
                if ((p.y > cy) != (q.y > cy)) xs.push_back(p.x + (cy - p.y) / (q.y - p.y) * (q.x - p.x));
            }
            std::sort(xs.begin(), xs.end());
            for (std::size_t i = 0; i + 1 < xs.size(); i += 2) {
                const std::int64_t from = std::max<std::int64_t>(0, pixel_index(std::ceil(xs[i] - 0.5)));
                const std::int64_t to = std::min<std::int64_t>(std::int64_t(im.columns) - 1, pixel_index(xs[i + 1] - 0.5));
                for (std::int64_t x = from; x <= to; ++x) set(x, y);
            }
        }
    }
};

// The outline of an ellipse with centre c and semi-axis vectors u and v, as a closed polygon.
std::vector<pr::Point> ellipse_outline(pr::Point c, pr::Point u, pr::Point v) {
    const double extent = std::hypot(u.x, u.y) + std::hypot(v.x, v.y);
    const int n = std::isfinite(extent) ? int(std::clamp(extent * 4, 16.0, 20000.0)) : 16;
    std::vector<pr::Point> out;
    for (int i = 0; i <= n; ++i) {
        const double t = 2 * M_PI * i / n;
        out.push_back({c.x + std::cos(t) * u.x + std::sin(t) * v.x, c.y + std::cos(t) * u.y + std::sin(t) * v.y});
    }
    return out;
}

void draw_graphic(const Canvas& canvas, const pr::Graphic& g, double sx, double sy) {
    std::vector<pr::Point> pts;
    for (const pr::Point& p : g.points) {
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) return;  // a graphic that cannot be placed is not drawn
        pts.push_back({p.x * sx, p.y * sy});
    }
    if (pts.empty()) return;
    std::vector<pr::Point> outline;
    if (g.type == "POINT") {
        canvas.set(pixel_index(pts[0].x), pixel_index(pts[0].y));
        return;
    } else if (g.type == "CIRCLE" && pts.size() >= 2) {
        const double r = std::hypot(pts[1].x - pts[0].x, pts[1].y - pts[0].y);
        outline = ellipse_outline(pts[0], {r, 0}, {0, r});
    } else if (g.type == "ELLIPSE" && pts.size() >= 4) {
        const pr::Point c{(pts[0].x + pts[1].x) / 2, (pts[0].y + pts[1].y) / 2};
        const pr::Point u{(pts[1].x - pts[0].x) / 2, (pts[1].y - pts[0].y) / 2};
        // The minor axis' half length, along the major axis' normal.
        const double minor = std::hypot(pts[3].x - pts[2].x, pts[3].y - pts[2].y) / 2, major = std::hypot(u.x, u.y);
        const pr::Point v = major > 0 ? pr::Point{-u.y / major * minor, u.x / major * minor} : pr::Point{0, minor};
        outline = ellipse_outline(c, u, v);
    } else {  // POLYLINE, and INTERPOLATED drawn through its points
        outline = pts;
    }
    if (g.filled && outline.size() >= 3) canvas.fill(outline);
    for (std::size_t i = 1; i < outline.size(); ++i) canvas.line(outline[i - 1], outline[i]);
    if (outline.size() == 1) canvas.line(outline[0], outline[0]);
}

std::uint8_t layer_value(const pr::PresentationState& s, const std::string& layer) {
    for (const pr::Layer& l : s.layers)
        if (l.name == layer && l.grey) return std::uint8_t(*l.grey >> 8);
    return 255;
}

void draw_annotations(DisplayImage& im, const pr::PresentationState& s, const std::string& sop, std::uint32_t frame,
                      const std::string& units, double sx, double sy) {
    for (const pr::Annotation& a : s.annotations) {
        if (!a.applies.covers(sop, frame)) continue;
        const Canvas canvas{im, layer_value(s, a.layer)};
        for (const pr::Graphic& g : a.graphics)
            if (g.units == units) draw_graphic(canvas, g, sx, sy);
        for (const pr::Text& t : a.texts)
            if (t.units == units && t.anchor && t.anchor_visible && std::isfinite(t.anchor->x) && std::isfinite(t.anchor->y))
                canvas.set(pixel_index(t.anchor->x * sx), pixel_index(t.anchor->y * sy));
    }
}

// The displayed area (1-based corners, either order) cut out; outside the image is black.
DisplayImage crop(const DisplayImage& im, std::array<std::int32_t, 2> a, std::array<std::int32_t, 2> b) {
    const std::int64_t c0 = std::min(a[0], b[0]), c1 = std::max(a[0], b[0]);
    const std::int64_t r0 = std::min(a[1], b[1]), r1 = std::max(a[1], b[1]);
    DisplayImage out;
    out.samples = im.samples;
    const std::int64_t w = c1 - c0 + 1, h = r1 - r0 + 1;
    if (w > 65535 || h > 65535)
        throw std::invalid_argument("the presentation state's displayed area is larger than 65535 pixels a side");
    const std::string refusal = limits::output_refusal((long double)w * h * im.samples, im.pixels.size());
    if (!refusal.empty()) throw std::runtime_error(refusal);
    out.columns = std::uint32_t(w), out.rows = std::uint32_t(h);
    out.pixels.assign(std::size_t(w) * std::size_t(h) * im.samples, 0);
    for (std::int64_t r = std::max<std::int64_t>(r0, 1); r <= std::min<std::int64_t>(r1, im.rows); ++r) {
        const std::int64_t from = std::max<std::int64_t>(c0, 1), to = std::min<std::int64_t>(c1, im.columns);
        if (from > to) break;
        std::copy_n(im.pixels.data() + (std::size_t(r - 1) * im.columns + std::size_t(from - 1)) * im.samples,
                    std::size_t(to - from + 1) * im.samples,
                    out.pixels.data() + (std::size_t(r - r0) * out.columns + std::size_t(from - c0)) * im.samples);
    }
    return out;
}

// A clockwise rotation by `degrees`, then a horizontal flip (of the rotated image).
DisplayImage orient(const DisplayImage& im, bool flip, unsigned degrees) {
    const bool quarter = degrees == 90 || degrees == 270;
    DisplayImage out;
    out.samples = im.samples;
    out.rows = quarter ? im.columns : im.rows, out.columns = quarter ? im.rows : im.columns;
    out.pixels.resize(im.pixels.size());
    for (std::uint32_t r = 0; r < im.rows; ++r)
        for (std::uint32_t c = 0; c < im.columns; ++c) {
            std::uint32_t orow = r, ocol = c;
            if (degrees == 90) orow = c, ocol = im.rows - 1 - r;
            else if (degrees == 180) orow = im.rows - 1 - r, ocol = im.columns - 1 - c;
            else if (degrees == 270) orow = im.columns - 1 - c, ocol = r;
            if (flip) ocol = out.columns - 1 - ocol;
            std::copy_n(im.pixels.data() + (std::size_t(r) * im.columns + c) * im.samples, im.samples,
                        out.pixels.data() + (std::size_t(orow) * out.columns + ocol) * im.samples);
        }
    return out;
}

// The smallest and largest of `count` little-endian samples of type T.
template <class T>
std::pair<std::int32_t, std::int32_t> value_range(const std::uint8_t* p, std::size_t count) {
    T lo, hi;
    std::memcpy(&lo, p, sizeof(T));
    hi = lo;
    for (std::size_t i = 1; i < count; ++i) {
        T v;
        std::memcpy(&v, p + i * sizeof(T), sizeof(T));
        lo = std::min(lo, v), hi = std::max(hi, v);
    }
    return {std::int32_t(lo), std::int32_t(hi)};
}

template <class T, class F>
void each_typed(const std::uint8_t* p, std::size_t count, F&& each) {
    for (std::size_t i = 0; i < count; ++i) {
        T v;
        std::memcpy(&v, p + i * sizeof(T), sizeof(T));
        each(i, std::int32_t(v));
    }
}

// each(i, value) for `count` samples of 1 or 2 bytes, signed or not.
template <class F>
void for_each_sample(const std::uint8_t* p, std::size_t count, unsigned width, bool is_signed, F&& each) {
    if (width == 1) is_signed ? each_typed<std::int8_t>(p, count, each) : each_typed<std::uint8_t>(p, count, each);
    else is_signed ? each_typed<std::int16_t>(p, count, each) : each_typed<std::uint16_t>(p, count, each);
}

struct VoiStep {
    int function = 0;
    float center = 0, width = 0;
    std::vector<std::uint8_t> lut;  // bytes as voi_transfer reads them
    int lut_first = 0, lut_depth = 0;
    bool has_lut = false, ready = false;
};

int function_code(std::string_view f) { return f == "LINEAR_EXACT" ? 1 : f == "SIGMOID" ? 2 : 0; }

void set_lut(VoiStep& v, std::uint16_t bits, std::int32_t first, const std::vector<std::uint16_t>& entries) {
    v.has_lut = v.ready = true, v.lut_first = first, v.lut_depth = bits;
    v.lut.clear();
    for (std::uint16_t e : entries) {
        if (bits <= 8) v.lut.push_back(std::uint8_t(e));
        else v.lut.push_back(std::uint8_t(e)), v.lut.push_back(std::uint8_t(e >> 8));
    }
}

}  // namespace

DisplayImage render_display(std::span<const std::uint8_t> buffer, const std::string& label, const DisplayOptions& o) {
    auto img = open_or_throw(buffer, label, kDeferDecode);
    const std::size_t frames = img->frames.size();
    if (o.frame < 1 || o.frame > frames)
        throw std::runtime_error("frame out of range (1.." + std::to_string(frames) + "): " + label);
    const std::size_t index = o.frame - 1;
    Dataset holder;
    const Dataset& le = little_endian(img->dataset, holder);
    const Elements& top = le.elements();
    const std::string sop(img->sop_instance);
    const pr::PresentationState* state = o.state;
    if (state && std::none_of(state->images.begin(), state->images.end(),
                              [&](const pr::ImageReference& r) { return r.sop_instance_uid == sop; }))
        throw std::invalid_argument("the presentation state does not reference this image (SOP Instance UID " + sop + ")");

    FrameRecord rec;
    if (const int rc = decode_frame(*img, index, rec); rc != status::kOk)
        throw std::runtime_error("frame decode failed: " + std::string(render_error_message(render_error::kDecodeFailed)) +
                                 (rec.error.empty() ? "" : " (" + rec.error + ")"));
    DisplayImage im;
    im.rows = rec.rows, im.columns = rec.columns;
    const std::size_t count = std::size_t(rec.rows) * rec.columns;
    ByteVector stored;
    FrameLayout layout;
    std::vector<std::uint16_t> raw;  // 16-bit stored words, for overlays in the high bits
    const bool grey = rec.samples == 1 && rec.photometric != kPaletteColor;
    if (const int rc = append_stored(*img, rec, !grey, stored, layout); rc != render_error::kOk)
        throw std::runtime_error("frame decode failed: " + std::string(render_error_message(rc)));
    if (grey) {
        const bool is_signed = img->pixel_representation == 1 && !img->float_pixels && !img->double_pixels;
        const std::vector<OverlayPlane> planes_here = overlay_planes(top);
        const bool high_bit_planes = std::any_of(planes_here.begin(), planes_here.end(), [](const OverlayPlane& p) {
            return p.rows && p.data.empty() && p.bits_allocated > 1;
        });
        if (layout.width == 2 && !img->float_pixels && high_bit_planes) {
            raw.resize(count);
            const bool from_source = !rec.has_decoded && rec.source && rec.source_size >= count * 2;
            for (std::size_t i = 0; i < count; ++i)
                raw[i] = from_source ? (img->big_endian ? std::uint16_t(rec.source[2 * i] << 8 | rec.source[2 * i + 1])
                                                        : load_le16(rec.source + 2 * i))
                                     : load_le16(stored.data() + 2 * i);
        }
        // Bits above Bits Stored are not the pixel's (overlays may live there).
        const unsigned container = layout.width * 8;
        if (!is_signed && !img->float_pixels && !img->double_pixels && img->bits_stored && img->bits_stored < container &&
            container <= 32) {
            const std::uint32_t mask = (1u << img->bits_stored) - 1;
            for (std::size_t i = 0; i < count; ++i) {
                std::uint8_t* p = stored.data() + i * layout.width;
                if (layout.width == 2) store_le16(p, std::uint16_t(load_le16(p) & mask));
                else if (layout.width == 4) store_le32(p, load_le32(p) & mask);
                else if (layout.width == 1) p[0] = std::uint8_t(p[0] & mask);
            }
        }
        if (state && state->rescale_slope) {  // the state's modality transform replaces the image's
            img->rescale_slope = float(*state->rescale_slope);
            img->rescale_intercept = float(state->rescale_intercept.value_or(0));
            img->frame_slope.clear(), img->frame_intercept.clear();
            img->modality_lut.present = false, img->rt_dose = false;
        }
        // Integer samples of up to 16 bits: each distinct stored value goes through the transforms
        // once, and the pixels through the resulting table.
        const bool by_table = !img->float_pixels && !img->double_pixels && (layout.width == 1 || layout.width == 2);
        ByteVector distinct;
        const std::uint8_t* input = stored.data();
        std::size_t n = count;
        std::int32_t smallest = 0;
        std::vector<std::uint8_t> present;  // which values of the range occur, when the range's ends may not tell
        if (by_table && count > 0) {
            const std::pair<std::int32_t, std::int32_t> range = layout.width == 1 ? (is_signed ? value_range<std::int8_t>(stored.data(), count)
                                                               : value_range<std::uint8_t>(stored.data(), count))
                                                  : (is_signed ? value_range<std::int16_t>(stored.data(), count)
                                                               : value_range<std::uint16_t>(stored.data(), count));
            const std::int32_t a = range.first, b = range.second;
            smallest = a, n = std::size_t(b - a) + 1;
            for (std::int32_t v = a; v <= b; ++v) {
                if (layout.width == 1) distinct.push_back(std::uint8_t(v));
                else distinct.push_back(std::uint8_t(v)), distinct.push_back(std::uint8_t(std::uint32_t(v) >> 8));
            }
            input = distinct.data();
            // A modality LUT need not rise with the stored value: the range's extremes come from
            // the values that occur.
            if (img->modality_lut.present) {
                present.assign(n, 0);
                for_each_sample(stored.data(), count, layout.width, is_signed,
                                [&](std::size_t, std::int32_t v) { present[std::size_t(v - a)] = 1; });
            }
        }
        std::vector<float> values(n), shown(n);
        float lo = 0, hi = 0;
        modality_transform(*img, index, input, n, layout.width, is_signed, img->float_pixels, values.data(), &lo, &hi);
        if (by_table && n > 0) {
            lo = std::numeric_limits<float>::max(), hi = -lo;
            for (std::size_t k = 0; k < n; ++k)
                if (present.empty() ? (k == 0 || k == n - 1) : present[k] != 0) lo = std::min(lo, values[k]), hi = std::max(hi, values[k]);
        }
        const bool mono1 = img->photometric == kMonochrome1;
        if (mono1) {  // the modality output of MONOCHROME1 is negated; windows are stated on the values
            for (float& v : values) v = -v;
            std::swap(lo, hi), lo = -lo, hi = -hi;
        }
        if (n == 0) lo = hi = 0;
        VoiStep voi;
        voi.function = img->voi_function;
        const auto use_window = [&](double c, double w) { voi.center = float(c), voi.width = float(w), voi.ready = true; };
        const auto image_window = [&]() -> bool {
            if (index < img->frame_center.size() && index < img->frame_width.size() && img->frame_width[index] > 0) {
                use_window(img->frame_center[index], img->frame_width[index]);
                return true;
            }
            if (img->has_window && img->window_width > 0) {
                use_window(img->window_center, img->window_width);
                return true;
            }
            return false;
        };
        const auto image_lut = [&]() -> bool {
            const Items luts = items_of(top, tags::kVOILUTSequence);
            std::uint32_t entries = 0;
            std::int32_t first = 0;
            std::uint16_t bits = 0;
            std::vector<std::uint16_t> data;
            if (luts.empty() || !pr::read_lut(luts[0], is_signed, entries, first, bits, data)) return false;
            set_lut(voi, bits, first, data);
            return true;
        };
        if (o.window) {
            if (!(o.window->at(1) > 0)) throw std::invalid_argument("the window's width must be positive");
            use_window(o.window->at(0), o.window->at(1));
        } else if (state) {
            for (const pr::Voi& v : state->vois) {
                if (!v.applies.covers(sop, std::uint32_t(o.frame))) continue;
                if (!v.lut.empty()) set_lut(voi, v.lut_bits, v.lut_first, v.lut);
                else if (v.center && v.width) voi.function = function_code(v.function), use_window(*v.center, *v.width);
                break;
            }
        } else if (o.voi == VoiChoice::kWindow) {
            if (!image_window()) throw std::runtime_error("the image states no window; give one, or choose another VOI");
        } else if (o.voi == VoiChoice::kLut) {
            if (!image_lut()) throw std::runtime_error("the image has no usable VOI LUT; choose another VOI");
        } else if (o.voi == VoiChoice::kAuto) {
            // A frame's own window first, then the image's VOI LUT, then its window.
            const bool frame_window = index < img->frame_width.size() && img->frame_width[index] > 0;
            if (frame_window || !image_lut()) image_window();
        }
        if (!voi.ready) use_window((double(lo) + double(hi)) / 2, std::max(double(hi) - double(lo), 1.0)), voi.function = 0;
        voi_transfer(values.data(), n, voi.function, voi.lut.data(), voi.lut.size(), voi.has_lut, voi.lut_first,
                     voi.lut_depth, voi.center, voi.width, shown.data());
        if (state && !state->presentation_lut.empty()) {
            const double top_value = double((1u << std::min<unsigned>(state->presentation_lut_bits, 16)) - 1);
            const std::size_t n = state->presentation_lut.size();
            for (float& y : shown)
                y = float(state->presentation_lut[std::min(n - 1, std::size_t(std::lround(double(y) * double(n - 1))))] / top_value);
        } else {
            const bool inverse = state ? state->presentation_lut_shape == "INVERSE"
                                       : mono1 || le.text(tags::kPresentationLUTShape) == "INVERSE";
            if (inverse)
                for (float& y : shown) y = 1.0f - y;
        }
        std::vector<std::uint8_t> grey8(n);
        for (std::size_t i = 0; i < n; ++i) {
            const float y = shown[i] > 0 ? std::min(shown[i], 1.0f) : 0.0f;  // not a number: black
            grey8[i] = std::uint8_t(y * 255.0f + 0.5f);
        }
        im.samples = 1;
        im.pixels.resize(count);
        if (by_table) {
            std::uint8_t* out = im.pixels.data();
            for_each_sample(stored.data(), count, layout.width, is_signed,
                            [&](std::size_t i, std::int32_t v) { out[i] = grey8[std::size_t(v - smallest)]; });
        } else {
            im.pixels = std::move(grey8);
        }
    } else {
        if (layout.samples < 3) throw std::runtime_error("frame decode failed: " + std::string(render_error_message(render_error::kUnsupportedFormat)));
        im.samples = 3;
        im.pixels.resize(count * 3);
        const unsigned bits = layout.width == 1 ? 8 : (img->bits_stored > 8 && img->bits_stored <= 16 ? img->bits_stored : 16);
        for (std::size_t i = 0; i < count; ++i)
            for (unsigned s = 0; s < 3; ++s) {
                const std::uint8_t* p = stored.data() + (i * layout.samples + s) * layout.width;
                im.pixels[i * 3 + s] = layout.width == 1 ? p[0] : std::uint8_t(std::min<unsigned>(load_le16(p) >> (bits - 8), 255));
            }
    }

    if (o.overlays) {
        const std::vector<OverlayPlane> image_planes = overlay_planes(top);  // (colour frames never read them above)
        std::vector<OverlayPlane> planes;
        if (!state) {
            planes = image_planes;
        } else {
            // A state shows its own planes, and the image's that it activates on a layer.
            Dataset state_ds = Dataset::borrow(o.state_bytes);
            std::vector<OverlayPlane> own = state_ds.readable() ? overlay_planes(state_ds.elements()) : std::vector<OverlayPlane>{};
            for (const OverlayPlane& p : own) {
                if (p.activation_layer.empty()) continue;
                if (p.rows && !p.data.empty()) planes.push_back(p);
                else
                    for (const OverlayPlane& q : image_planes)
                        if (q.group == p.group && q.rows) planes.push_back(q), planes.back().activation_layer = p.activation_layer;
            }
        }
        for (const OverlayPlane& p : planes) {
            if (!p.rows) continue;
            if (p.data.empty() && (raw.empty() || p.bits_allocated == 1)) continue;
            burn(im, p, std::uint32_t(o.frame), frames, raw, state ? layer_value(*state, p.activation_layer) : 255);
        }
    }
    if (!state) return im;

    draw_annotations(im, *state, sop, std::uint32_t(o.frame), "PIXEL", 1, 1);
    for (const pr::DisplayedArea& a : state->areas)
        if (a.applies.covers(sop, std::uint32_t(o.frame))) {
            im = crop(im, a.top_left, a.bottom_right);
            break;
        }
    if (state->flip || state->rotation) im = orient(im, state->flip, state->rotation % 360);
    draw_annotations(im, *state, sop, std::uint32_t(o.frame), "DISPLAY", im.columns, im.rows);
    return im;
}

}  // namespace loamwerk::render
