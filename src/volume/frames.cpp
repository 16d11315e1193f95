// One file's frames: geometry and non-spatial values per frame, mosaics cut into tiles, and
// every frame decoded to float32 modality values.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "core/dataset.hpp"
#include "core/values.hpp"
#include "json/reencode.hpp"
#include "pixel/decode.hpp"
#include "pixel/image.hpp"
#include "volume/csa.hpp"
#include "volume/enhanced_us.hpp"
#include "volume/slurp.hpp"
#include "volume/volume.hpp"

namespace loamwerk::volume {

namespace {

constexpr std::string_view kEnhancedUsVolume = "1.2.840.10008.5.1.4.1.1.6.2";
constexpr Tag kItem = 0xFFFEE000;
constexpr int kMaxDepth = 8;

using Elements = std::vector<ElementRef>;

// Backslash-separated decimal values; nothing when any value does not parse.
std::optional<std::vector<double>> decimals(const ElementRef& e) {
    std::vector<double> out;
    const std::string_view s = value_text(e);
    if (s.empty()) return std::nullopt;
    bool ok = true;
    for_each_decimal_text(s, [&](std::string_view v) {
        double d = 0;
        const auto r = std::from_chars(v.data(), v.data() + v.size(), d);
        if (v.empty() || r.ec != std::errc() || r.ptr != v.data() + v.size()) ok = false;
        out.push_back(d);
    });
    if (!ok) return std::nullopt;
    return out;
}

std::optional<double> decimal(const ElementRef& e) {
    auto v = decimals(e);
    if (!v || v->empty()) return std::nullopt;
    return v->front();
}

template <class F>
void for_each_item(const ElementRef& seq, F each) {
    if (!seq.value) return;
    Elements items;
    dataset::parse(seq.value, std::size_t(seq.length), seq.encoding, items);
    for (const ElementRef& it : items)
        if (it.tag == kItem && it.value) each(it.value, std::size_t(it.length), seq.encoding);
}

// The private element of `creator` at (group, block byte), e.g. (0029,xx10) of "SIEMENS CSA HEADER".
const ElementRef* private_element(const Elements& es, std::uint16_t group, std::string_view creator, std::uint8_t low) {
    for (const ElementRef& e : es) {
        if (tag_group(e.tag) != group || tag_element(e.tag) < 0x10 || tag_element(e.tag) > 0xFF) continue;
        if (value_text(e) != creator) continue;
        const Tag wanted = (Tag(group) << 16) | (Tag(tag_element(e.tag)) << 8) | low;
        return find_element(es, wanted);
    }
    return nullptr;
}

std::uint8_t frame_type_code(std::string_view v) {
    std::uint8_t code = v.starts_with("DERIVED") ? 1 : 0;
    std::string_view third = v;
    for (int i = 0; i < 2; ++i) {
        const std::size_t bs = third.find('\\');
        third = bs == std::string_view::npos ? std::string_view{} : third.substr(bs + 1);
    }
    third = third.substr(0, third.find('\\'));
    if (third == "PHASE") code |= 2;
    else if (third.starts_with("REAL")) code |= 4;
    else if (third == "IMAGINARY") code |= 8;
    else if (third == "MIXED") code |= 16;
    return code;
}

// A value set at one of three levels: per frame beats shared beats top level.
template <class T>
struct Layered {
    std::optional<T> top, shared;
    std::vector<std::optional<T>> frame;
    const std::optional<T>& object() const { return shared ? shared : top; }
    std::optional<T> at(std::size_t k) const { return k < frame.size() && frame[k] ? frame[k] : object(); }
};

using Vec3 = std::array<double, 3>;
using Vec6 = std::array<double, 6>;
using Vec2 = std::array<double, 2>;

struct PerFrameValues {
    float temporal = 0, bvalue = -1, echo = 0, cardiac = 0;
    double gradient[3] = {0, 0, 0}, velocity[3] = {0, 0, 0};
    std::uint8_t frame_type = 0;
    bool has_bvalue = false, has_gradient = false;
};

// The walk over the data set and its functional groups.
class GeometryWalk {
public:
    explicit GeometryWalk(std::uint32_t frames_declared) : declared_(frames_declared) {}

    void top(const Elements& es) {
        for (const ElementRef& e : es) {
            switch (e.tag) {
            case 0x52009229: enter(e, false); break;
            case 0x52009230: enter(e, true); break;
            default: value(e, Context::kTop, 0);
            }
        }
    }

    bool per_frame() const { return !values.empty(); }

    Layered<Vec3> position;
    Layered<Vec6> orientation;
    Layered<Vec2> spacing;
    Layered<double> thickness;
    std::vector<PerFrameValues> values;  // per-frame storage, when the object has it
    std::optional<double> temporal_index, echo_time, trigger_time;

private:
    enum class Context { kTop, kShared, kFrame, kOther };

    void enter(const ElementRef& seq, bool frame_sequence) {
        if (values.empty() && declared_ >= 1 && declared_ <= 65535) {
            values.assign(declared_, PerFrameValues{});
            position.frame.resize(declared_), orientation.frame.resize(declared_);
            spacing.frame.resize(declared_), thickness.frame.resize(declared_);
        }
        std::size_t k = 0;
        for_each_item(seq, [&](const std::uint8_t* p, std::size_t n, Encoding enc) {
            item(p, n, enc, frame_sequence ? Context::kFrame : Context::kShared, k, 0);
            if (frame_sequence) ++k;
        });
    }

    void item(const std::uint8_t* p, std::size_t n, Encoding enc, Context ctx, std::size_t k, int depth) {
        if (depth > kMaxDepth) return;
        Elements inner;
        dataset::parse(p, n, enc, inner);
        for (const ElementRef& x : inner) {
            if (x.vr == vr::SQ)
                for_each_item(x, [&](const std::uint8_t* q, std::size_t m, Encoding e2) { item(q, m, e2, ctx, k, depth + 1); });
            else
                value(x, ctx, k);
        }
    }

    template <class T, std::size_t N>
    void geometry(Layered<std::array<T, N>>& slot, const ElementRef& e, Context ctx, std::size_t k) {
        const auto v = decimals(e);
        if (!v || v->size() != N) return;  // another number of values is ignored
        std::array<T, N> a;
        std::copy(v->begin(), v->end(), a.begin());
        set(slot, a, ctx, k);
    }

    template <class T>
    void set(Layered<T>& slot, const T& v, Context ctx, std::size_t k) {
        if (ctx == Context::kTop) slot.top = v;
        else if (ctx == Context::kShared) slot.shared = v;
        else if (ctx == Context::kFrame && k < slot.frame.size()) slot.frame[k] = v;
    }

    template <class F>
    void each_frame(Context ctx, std::size_t k, F f) {
        if (ctx == Context::kFrame) {
            if (k < values.size()) f(values[k]);
        } else if (ctx == Context::kShared) {
            for (auto& v : values) f(v);
        }
    }

    void value(const ElementRef& e, Context ctx, std::size_t k) {
        const bool groups = ctx == Context::kShared || ctx == Context::kFrame;
        switch (e.tag) {
        case 0x00200032: geometry(position, e, ctx, k); return;
        case 0x00200037: geometry(orientation, e, ctx, k); return;
        case 0x00280030: geometry(spacing, e, ctx, k); return;
        case 0x00180050:
            if (auto v = decimal(e)) set(thickness, *v, ctx, k);
            return;
        case 0x00200100:
            if (ctx == Context::kTop) temporal_index = decimal(e);
            return;
        case 0x00180081:
            if (ctx == Context::kTop) echo_time = decimal(e);
            return;
        case 0x00181060:
            if (!groups) trigger_time = decimal(e);
            else if (auto v = decimal(e)) each_frame(ctx, k, [&](PerFrameValues& f) { f.cardiac = float(*v); });
            return;
        default: break;
        }
        if (!groups) return;
        switch (e.tag) {
        case 0x0020930D:
            if (auto v = fd_values(e); !v.empty()) each_frame(ctx, k, [&](PerFrameValues& f) { f.temporal = float(v[0]); });
            break;
        case 0x00189087:
            if (auto v = fd_values(e); !v.empty())
                each_frame(ctx, k, [&](PerFrameValues& f) { f.bvalue = float(v[0]), f.has_bvalue = true; });
            break;
        case 0x00189089:
            if (e.length >= 24) {
                const auto v = fd_values(e);
                each_frame(ctx, k, [&](PerFrameValues& f) {
                    std::copy(v.begin(), v.begin() + 3, f.gradient);
                    f.has_gradient = true;
                });
            }
            break;
        case 0x00189082:
            if (auto v = fd_values(e); !v.empty()) each_frame(ctx, k, [&](PerFrameValues& f) { f.echo = float(v[0]); });
            break;
        case 0x00209153:
            if (auto v = fd_values(e); !v.empty()) each_frame(ctx, k, [&](PerFrameValues& f) { f.cardiac = float(v[0]); });
            break;
        case 0x00189090:
            if (e.length >= 24) {
                const auto v = fd_values(e);
                each_frame(ctx, k, [&](PerFrameValues& f) { std::copy(v.begin(), v.begin() + 3, f.velocity); });
            }
            break;
        case 0x00089007: {
            const std::uint8_t code = frame_type_code(value_text(e));
            each_frame(ctx, k, [&](PerFrameValues& f) { f.frame_type = code; });
            break;
        }
        default: break;
        }
    }

    std::uint32_t declared_;
};

float velocity_code(const double v[3]) {
    const double ax = std::fabs(v[0]), ay = std::fabs(v[1]), az = std::fabs(v[2]);
    if (std::sqrt(ax * ax + ay * ay + az * az) < 1e-6) return 0;
    if (ax >= ay && ax >= az) return 1;
    return ay >= az ? 2 : 3;
}

Vec3 cross(const double a[3], const double b[3]) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

std::vector<std::string> split_values(std::string_view s) {
    std::vector<std::string> out;
    for (;;) {
        const std::size_t bs = s.find('\\');
        out.emplace_back(s.substr(0, bs));
        if (bs == std::string_view::npos) break;
        s.remove_prefix(bs + 1);
    }
    return out;
}

bool contains_value(std::string_view multi, std::string_view wanted) {
    for (const std::string& v : split_values(multi))
        if (v == wanted) return true;
    return false;
}

bool is_united_imaging(std::string_view manufacturer) {
    std::string m(manufacturer);
    std::transform(m.begin(), m.end(), m.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return m.find("UIH") != std::string::npos || m.find("UNITED IMAGING") != std::string::npos;
}

// A frame decoded to float32 modality values, or an empty buffer.
ByteVector decode_float(const render::RenderImage& img, std::size_t index, ByteVector& scratch) {
    ByteVector out;
    render::FrameLayout layout;
    if (render::append_rendered(img, index, out, layout, scratch) != -1 || layout.samples != 1 ||
        layout.dtype != "float32")
        return {};
    return out;
}

struct MosaicPlan {
    std::size_t tiles = 0, grid = 0;
    std::vector<Vec3> positions;
};

MosaicPlan mosaic_plan(const Elements& top, std::string_view manufacturer, std::string_view image_type,
                       const CsaHeader& csa, const Vec3& ipp, const Vec6& iop, const Vec2& ps, double slice_spacing,
                       std::size_t rows, std::size_t columns) {
    MosaicPlan plan;
    const bool siemens = manufacturer.starts_with("SIEMENS") && contains_value(image_type, "MOSAIC");
    const bool uih = is_united_imaging(manufacturer) && contains_value(image_type, "VFRAME");
    if (siemens) {
        const auto n = csa.number("NumberOfImagesInMosaic");
        if (!n || std::lround(*n) < 2) return plan;
        plan.tiles = std::size_t(std::lround(*n));
    } else if (uih) {
        const ElementRef* count = find_element(top, 0x00651050);
        const auto n = count ? decimal(*count) : std::nullopt;
        if (!n || *n <= 1) return plan;
        plan.tiles = std::size_t(*n);
    } else {
        return plan;
    }
    plan.grid = std::size_t(std::ceil(std::sqrt(double(plan.tiles))));
    if (plan.grid == 0 || rows % plan.grid || columns % plan.grid) return MosaicPlan{};
    const std::size_t tile_rows = rows / plan.grid, tile_columns = columns / plan.grid;
    if (uih) {
        const ElementRef* seq = find_element(top, 0x00651051);
        if (seq) for_each_item(*seq, [&](const std::uint8_t* p, std::size_t n, Encoding enc) {
            Elements inner;
            dataset::parse(p, n, enc, inner);
            const ElementRef* pos = find_element(inner, 0x00200032);
            const auto v = pos ? decimals(*pos) : std::nullopt;
            if (v && v->size() == 3) plan.positions.push_back({(*v)[0], (*v)[1], (*v)[2]});
        });
        if (plan.positions.size() != plan.tiles) return MosaicPlan{};
        return plan;
    }
    // The mosaic's position is that of its top-left corner; the first tile's centre is offset
    // by half the untiled part in each in-plane direction.
    Vec3 normal = cross(iop.data(), iop.data() + 3);
    if (const auto* sn = csa.values("SliceNormalVector"); sn && sn->size() == 3) {
        for (int i = 0; i < 3; ++i) normal[i] = csa.number("SliceNormalVector", i).value_or(normal[i]);
    }
    const double len = std::sqrt(normal[0] * normal[0] + normal[1] * normal[1] + normal[2] * normal[2]);
    if (len > 1e-10) for (double& c : normal) c /= len;
    const double dx = double(columns - tile_columns) / 2 * ps[1], dy = double(rows - tile_rows) / 2 * ps[0];
    Vec3 first;
    for (int i = 0; i < 3; ++i) first[i] = ipp[i] + iop[i] * dx + iop[3 + i] * dy;
    for (std::size_t k = 0; k < plan.tiles; ++k) {
        Vec3 p;
        for (int i = 0; i < 3; ++i) p[i] = first[i] + double(k) * slice_spacing * normal[i];
        plan.positions.push_back(p);
    }
    return plan;
}

DiffusionEntry classic_diffusion(const Elements& top, const CsaHeader& csa) {
    DiffusionEntry d;
    if (const auto b = csa.number("B_value")) {
        d.bvalue = *b, d.valid = true;
        for (int i = 0; i < 3; ++i) d.gradient[i] = csa.number("DiffusionGradientDirection", i).value_or(0);
    } else if (const ElementRef* b2 = find_element(top, 0x00189087)) {
        const auto v = fd_values(*b2);
        if (!v.empty()) d.bvalue = v[0], d.valid = true;
        if (const ElementRef* g = find_element(top, 0x00189089); g && g->length >= 24) {
            const auto gv = fd_values(*g);
            std::copy(gv.begin(), gv.begin() + 3, d.gradient);
        }
    }
    if (const auto* sn = csa.values("SliceNormalVector"); sn && sn->size() == 3) {
        d.has_slice_normal = true;
        for (int i = 0; i < 3; ++i) d.slice_normal[i] = csa.number("SliceNormalVector", i).value_or(0);
    }
    return d;
}

}  // namespace

FileSeriesKey read_series_key(const std::string& path) {
    FileSeriesKey key;
    const OwnedBuffer file = slurp(path);
    const std::span<const std::uint8_t> bytes = file.span();
    std::vector<std::uint8_t> owned;
    const auto parsed = bridge::little_endian_top_level(bytes, owned);
    if (!parsed) return key;
    const Elements& top = *parsed;
    auto text = [&](Tag t) { const ElementRef* e = find_element(top, t); return e ? std::string(value_text(*e)) : std::string(); };
    key.image = find_element(top, 0x7FE00010) || find_element(top, 0x7FE00008) || find_element(top, 0x7FE00009);
    key.series_uid = text(0x0020000E);
    key.series_number = text(0x00200011);
    key.description = text(0x0008103E);
    key.modality = text(0x00080060);
    key.position = text(0x00200032);
    const std::string frames = text(0x00280008);
    long n = 1;
    if (!frames.empty()) std::from_chars(frames.data(), frames.data() + frames.size(), n);
    key.frames = std::uint32_t(std::max(1L, n));
    const ElementRef* csa = private_element(top, 0x0029, "SIEMENS CSA HEADER", 0x10);
    key.diffusion = find_element(top, 0x00189087) ||
                    (csa && CsaHeader::parse({csa->value, std::size_t(csa->length)}).number("B_value").has_value());
    return key;
}

FrameGeometryRecord::FrameGeometryRecord() { std::fill(std::begin(axis), std::end(axis), std::nanf("")); }

bool decode_lazy_frame(const LazyFrame& frame, std::uint8_t* dst, std::size_t bytes) {
    if (!frame.file || !frame.scalar) return false;
    thread_local ByteVector out, scratch;
    out.clear();
    render::FrameLayout layout;
    if (render::append_rendered(*frame.file->image, frame.index, out, layout, scratch) != -1 || layout.samples != 1 ||
        layout.dtype != "float32" || out.size() < bytes)
        return false;
    std::memcpy(dst, out.data(), bytes);
    return true;
}

DecodedSeries decode_one_file(const std::string& path, std::uint32_t file_index, bool want_diffusion, bool lazy) {
    DecodedSeries out;
    auto source = std::make_shared<SourceFile>();
    source->buffer = slurp(path);
    const OwnedBuffer& file = source->buffer;
    if (file.size() == 0) return out;
    const std::span<const std::uint8_t> bytes = file.span();
    source->image = render::open(bytes, 0);
    const render::RenderImage* img = source->image.get();
    if (!img || img->frames.empty()) return out;
    const DatasetLayout layout = detect_layout(bytes.data(), bytes.size());
    std::vector<std::uint8_t> owned;
    std::span<const std::uint8_t> body;
    Encoding encoding = layout.encoding;
    Elements top;
    if (layout.recognised && bridge::little_endian_body(bytes, layout, owned, body, encoding))
        dataset::parse(body.data(), body.size(), encoding, top);

    SeriesInfo info;
    std::string series_uid = img->series_uid;
    if (img->sop_class == kEnhancedUsVolume) {
        if (!layout.recognised)
            throw std::runtime_error("volume::decode_one_file: Enhanced US Volume cannot resolve the Data Set region in " +
                                     path);
        if (body.empty())
            throw std::runtime_error(
                "volume::decode_one_file: Enhanced US Volume unsupported transfer syntax for metadata walking in " + path);
    }
    info.frame_of_reference = img->frame_of_reference_uid;
    info.frames = std::uint32_t(img->frames.size());
    const std::string_view sop_class = img->sop_class;
    if (sop_class == kEnhancedUsVolume) info.enhanced_us = 1, info.geometry_frame = 2;

    GeometryWalk walk(img->frames_declared);
    walk.top(top);
    auto text = [&](Tag t) { const ElementRef* e = find_element(top, t); return e ? std::string(value_text(*e)) : std::string(); };
    const std::string manufacturer = text(0x00080070), image_type = text(0x00080008);
    std::uint32_t instance = 0;
    if (const std::string n = text(0x00200013); !n.empty()) {
        long v = 0;
        std::from_chars(n.data(), n.data() + n.size(), v);
        instance = std::uint32_t(std::max(0L, v));
    }
    const ElementRef* csa_element = private_element(top, 0x0029, "SIEMENS CSA HEADER", 0x10);
    const CsaHeader csa = csa_element ? CsaHeader::parse({csa_element->value, std::size_t(csa_element->length)})
                                      : CsaHeader{};
    const std::string phase = text(0x00181312);

    auto push = [&](FrameGeometryRecord rec, ByteVector pixels, std::uint32_t columns, std::uint32_t rows,
                    std::uint32_t frame_number, const DiffusionEntry* dwi) {
        rec.frame_id = std::uint32_t(out.records.size());
        rec.file_index = file_index;
        out.records.push_back(rec);
        out.frames.push_back(std::move(pixels));
        out.dims.push_back({columns, rows});
        out.file_index.push_back(file_index);
        out.frame_number.push_back(frame_number);
        out.instance_number.push_back(instance);
        out.lazy.emplace_back();
        if (want_diffusion) out.diffusion.push_back(dwi ? *dwi : DiffusionEntry{});
    };

    auto finish = [&]() -> DecodedSeries {
        out.series_uid = series_uid;
        if (!out.records.empty()) {
            out.series_uids = {series_uid};
            out.series_index.assign(out.records.size(), 0);
            out.series_info = {info};
        }
        return std::move(out);
    };

    const Vec3 ipp = walk.position.object().value_or(Vec3{0, 0, 0});
    const Vec6 iop = walk.orientation.object().value_or(Vec6{1, 0, 0, 0, 1, 0});
    const Vec2 ps = walk.spacing.object().value_or(Vec2{1, 1});
    const double thickness = walk.thickness.object().value_or(0);
    ByteVector scratch;
    DiffusionEntry dwi = want_diffusion ? classic_diffusion(top, csa) : DiffusionEntry{};
    if (!phase.empty()) dwi.phase_direction = phase == "ROW" ? 'R' : phase == "COL" ? 'C' : 0;

    if (info.enhanced_us) {
        const enhanced_us::Parsed eus = enhanced_us::parse(top, path);
        info.data_types = eus.data_types;
        for (std::size_t k = 0; k < img->frames.size() && k < eus.frames; ++k) {
            ByteVector pixels = decode_float(*img, k, scratch);
            if (pixels.empty())
                throw std::runtime_error("volume::decode_one_file: Enhanced US frame is not a supported scalar GRAY32F "
                                         "image in " + path);
            if (pixels.size() != std::size_t(4) * img->rows * img->columns)
                throw std::runtime_error("volume::decode_one_file: Enhanced US decoded frame shape is inconsistent in " +
                                         path);
            FrameGeometryRecord rec;
            rec.position[2] = eus.z[k];
            std::copy(eus.pixel_spacing, eus.pixel_spacing + 2, rec.pixel_spacing);
            rec.slice_thickness = eus.slice_thickness;
            rec.axis[kTemporal] = float(eus.temporal[k]);
            rec.axis[kDataType] = eus.data_type_index[k];
            push(rec, std::move(pixels), img->columns, img->rows, std::uint32_t(k), nullptr);
        }
        return finish();
    } else {
        double spacing_between = 0;
        if (const ElementRef* e = find_element(top, 0x00180088)) spacing_between = decimal(*e).value_or(0);
        const double slice_spacing = spacing_between > 0 ? spacing_between : thickness;
        const MosaicPlan plan = mosaic_plan(top, manufacturer, image_type, csa, ipp, iop, ps, slice_spacing,
                                            img->rows, img->columns);
        if (plan.tiles >= 2) {
            const ByteVector mosaic = decode_float(*img, 0, scratch);
            if (mosaic.empty()) return out;
            const std::size_t tr = img->rows / plan.grid, tc = img->columns / plan.grid;
            const float* src = reinterpret_cast<const float*>(mosaic.data());
            for (std::size_t k = 0; k < plan.tiles; ++k) {
                const std::size_t r0 = (k / plan.grid) * tr, c0 = (k % plan.grid) * tc;
                ByteVector tile(tr * tc * 4);
                float* dst = reinterpret_cast<float*>(tile.data());
                for (std::size_t r = 0; r < tr; ++r)
                    std::memcpy(dst + r * tc, src + (r0 + r) * img->columns + c0, tc * 4);
                FrameGeometryRecord rec;
                std::copy(plan.positions[k].begin(), plan.positions[k].end(), rec.position);
                std::copy(iop.begin(), iop.end(), rec.orientation);
                std::copy(ps.begin(), ps.end(), rec.pixel_spacing);
                rec.slice_thickness = slice_spacing;
                if (walk.echo_time && *walk.echo_time != 0) rec.axis[kEcho] = float(*walk.echo_time);
                if (walk.temporal_index && *walk.temporal_index != 0) rec.axis[kTemporal] = float(*walk.temporal_index);
                push(rec, std::move(tile), std::uint32_t(tc), std::uint32_t(tr), 0, &dwi);
            }
            return finish();
        }
    }

    for (std::size_t k = 0; k < img->frames.size(); ++k) {
        FrameGeometryRecord rec;
        const Vec3 p = walk.position.at(k).value_or(Vec3{0, 0, 0});
        const Vec6 o = walk.orientation.at(k).value_or(Vec6{1, 0, 0, 0, 1, 0});
        const Vec2 s = walk.spacing.at(k).value_or(Vec2{1, 1});
        std::copy(p.begin(), p.end(), rec.position);
        std::copy(o.begin(), o.end(), rec.orientation);
        std::copy(s.begin(), s.end(), rec.pixel_spacing);
        rec.slice_thickness = walk.thickness.at(k).value_or(0);
        DiffusionEntry entry = dwi;
        if (walk.per_frame()) {
            const PerFrameValues& v = k < walk.values.size() ? walk.values[k] : PerFrameValues{};
            rec.axis[kTemporal] = v.temporal;
            rec.axis[kBvalue] = v.bvalue;
            rec.axis[kDirection] = float(std::atan2(v.gradient[1], v.gradient[0]) * 1000 + v.gradient[2] * 100);
            rec.axis[kEcho] = v.echo;
            rec.axis[kCardiac] = v.cardiac;
            rec.axis[kFrameType] = float(v.frame_type);
            for (int i = 0; i < 3; ++i) rec.vector[i] = float(v.velocity[i]);
            rec.axis[kVelocity] = velocity_code(v.velocity);
            if (v.has_bvalue && v.bvalue >= 0) {
                entry.valid = true, entry.bvalue = v.bvalue;
                std::copy(v.gradient, v.gradient + 3, entry.gradient);
            }
        } else {
            if (walk.temporal_index && *walk.temporal_index != 0) rec.axis[kTemporal] = float(*walk.temporal_index);
            if (walk.echo_time && *walk.echo_time != 0) rec.axis[kEcho] = float(*walk.echo_time);
            const bool temporal_index = walk.temporal_index && *walk.temporal_index != 0;
            if (!temporal_index && walk.trigger_time && *walk.trigger_time != 0)
                rec.axis[kCardiac] = float(*walk.trigger_time);
        }
        const auto& f = img->frames[k];
        push(rec, lazy ? ByteVector{} : decode_float(*img, k, scratch), f.columns, f.rows, std::uint32_t(k), &entry);
        if (lazy)
            out.lazy.back() = LazyFrame{source, std::uint32_t(k),
                                        f.samples == 1 && f.photometric != render::kPaletteColor};
    }
    return finish();
}

}  // namespace loamwerk::volume
