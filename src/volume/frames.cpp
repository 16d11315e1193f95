// One file's frames: geometry, non-spatial values and acquisition keys per frame, mosaics cut
// into tiles, and every frame decoded to float32 modality values.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "core/dataset.hpp"
#include "core/tags.hpp"
#include "core/values.hpp"
#include "core/wyhash.hpp"
#include "diffusion/mosaic.hpp"
#include "pixel/decode.hpp"
#include "pixel/image.hpp"
#include "volume/enhanced_us.hpp"
#include "volume/slurp.hpp"
#include "volume/frames.hpp"

namespace loamwerk::volume {

namespace {


using diffusion::Vendor;

constexpr std::string_view kEnhancedUsVolume = "1.2.840.10008.5.1.4.1.1.6.2";
constexpr int kMaxDepth = 8;
constexpr double kLargestMillimetres = 1e6;

std::string tag_text(Tag t) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04X,%04X", unsigned(t >> 16), unsigned(t & 0xFFFF));
    return buf;
}


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

// An unsigned (UL/US) or integer-string value.
std::optional<double> integer_value(const ElementRef& e) {
    if ((e.vr == vr::UL || e.vr == vr::SL) && e.value && e.length >= 4) return double(load_le32(e.value));
    if ((e.vr == vr::US || e.vr == vr::SS) && e.value && e.length >= 2) return double(load_le16(e.value));
    return decimal(e);
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

// A geometry attribute from the standard functional groups, and the same attribute met in a
// vendor's private sequence (Philips' (2005,140F) repeats the position half a pixel off): the
// private value counts only where no standard one was met, frame by frame.
template <class T>
struct Geometry {
    Layered<T> standard, vendor;
    std::optional<T> at(std::size_t k) const {
        if (k < standard.frame.size() && standard.frame[k]) return standard.frame[k];
        if (k < vendor.frame.size() && vendor.frame[k]) return vendor.frame[k];
        if (standard.object()) return standard.object();
        return vendor.object();
    }
    std::optional<T> object() const { return standard.object() ? standard.object() : vendor.object(); }
    void resize(std::size_t n) { standard.frame.resize(n), vendor.frame.resize(n); }
};

struct PerFrameValues {
    float temporal = 0, bvalue = -1, echo = 0, cardiac = 0;
    double gradient[3] = {0, 0, 0}, velocity[3] = {0, 0, 0};
    std::uint8_t frame_type = 0, complex_part = 0;
    bool has_bvalue = false, has_gradient = false, has_frame_type = false;
    double temporal_index = std::nan(""), acquisition_number = std::nan(""), acquisition_time = std::nan("");
    double stack_id = std::nan(""), echo_number = std::nan(""), time_after_start = std::nan("");
};

double number_or_nan(const std::optional<double>& v) { return v ? *v : std::nan(""); }

// The walk over the data set and its functional groups.
class GeometryWalk {
public:
    explicit GeometryWalk(std::uint32_t frames_declared) : declared_(frames_declared) {}

    void top(const Elements& es) {
        for (const ElementRef& e : es) {
            switch (e.tag) {
            case tags::kSharedFunctionalGroupsSequence: enter(e, false); break;
            case tags::kPerFrameFunctionalGroupsSequence: enter(e, true); break;
            default: value(e, Context::kTop, 0, false);
            }
        }
    }

    bool per_frame() const { return !values.empty(); }

    Geometry<Vec3> position;
    Geometry<Vec6> orientation;
    Geometry<Vec2> spacing;
    Layered<double> thickness;
    std::vector<PerFrameValues> values;  // per-frame storage, when the object has it
    std::optional<double> temporal_index, echo_time, trigger_time;
    std::string unusable;  // the first geometry value that is not a length or cosine

private:
    enum class Context { kTop, kShared, kFrame, kOther };

    void enter(const ElementRef& seq, bool frame_sequence) {
        if (values.empty() && declared_ >= 1 && declared_ <= 65535) {
            values.assign(declared_, PerFrameValues{});
            position.resize(declared_), orientation.resize(declared_), spacing.resize(declared_);
            thickness.frame.resize(declared_);
        }
        const Context ctx = frame_sequence ? Context::kFrame : Context::kShared;
        walk_functional_groups(
            seq, kMaxDepth,
            [&](const Elements& inner, std::size_t k, bool vendor) {
                // Siemens keeps a frame's echo and time in its private sequences' items.
                if (vendor && ctx == Context::kFrame && k < values.size()) {
                    if (const auto echo = diffusion::siemens_ice_echo(inner)) values[k].echo_number = *echo;
                    if (const auto t = diffusion::siemens_time_after_start(inner)) values[k].time_after_start = *t;
                }
            },
            [&](const ElementRef& x, std::size_t k, bool vendor) { value(x, ctx, frame_sequence ? k : 0, vendor); });
    }

    template <class T, std::size_t N>
    void geometry(Geometry<std::array<T, N>>& slot, const ElementRef& e, Context ctx, std::size_t k, bool vendor) {
        const auto v = decimals(e);
        if (!v || v->size() != N) return;  // another number of values is ignored
        // Millimetres and cosines: a value past a kilometre, or not finite, is damage.
        for (double x : *v)
            if (!(std::fabs(x) <= kLargestMillimetres)) {
                if (unusable.empty()) unusable = std::string(value_text(e)) + " in (" + tag_text(e.tag) + ")";
                return;
            }
        std::array<T, N> a{};
        std::copy(v->begin(), v->end(), a.begin());
        set(vendor ? slot.vendor : slot.standard, a, ctx, k);
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

    void value(const ElementRef& e, Context ctx, std::size_t k, bool vendor) {
        const bool groups = ctx == Context::kShared || ctx == Context::kFrame;
        switch (e.tag) {
        case tags::kImagePositionPatient: geometry(position, e, ctx, k, vendor); return;
        case tags::kImageOrientationPatient: geometry(orientation, e, ctx, k, vendor); return;
        case tags::kPixelSpacing: geometry(spacing, e, ctx, k, vendor); return;
        case tags::kSliceThickness:
            if (vendor) return;
            if (auto v = decimal(e)) set(thickness, *v, ctx, k);
            return;
        case tags::kTemporalPositionIdentifier:
            if (ctx == Context::kTop) temporal_index = decimal(e);
            return;
        case tags::kEchoTime:
            if (ctx == Context::kTop) echo_time = decimal(e);
            return;
        case tags::kTriggerTime:
            if (!groups) trigger_time = decimal(e);
            else if (auto v = decimal(e)) each_frame(ctx, k, [&](PerFrameValues& f) { f.cardiac = float(*v); });
            return;
        default: break;
        }
        if (!groups || vendor) return;
        switch (e.tag) {
        case tags::kTemporalPositionTimeOffset:
            if (auto v = fd_values(e); !v.empty()) each_frame(ctx, k, [&](PerFrameValues& f) { f.temporal = float(v[0]); });
            break;
        case tags::kDiffusionBValue:
            if (auto v = fd_values(e); !v.empty())
                each_frame(ctx, k, [&](PerFrameValues& f) { f.bvalue = float(v[0]), f.has_bvalue = true; });
            break;
        case tags::kDiffusionGradientOrientation:
            if (e.length >= 24) {
                const auto v = fd_values(e);
                each_frame(ctx, k, [&](PerFrameValues& f) {
                    std::copy(v.begin(), v.begin() + 3, f.gradient);
                    f.has_gradient = true;
                });
            }
            break;
        case tags::kEffectiveEchoTime:
            if (auto v = fd_values(e); !v.empty()) each_frame(ctx, k, [&](PerFrameValues& f) { f.echo = float(v[0]); });
            break;
        case tags::kNominalCardiacTriggerDelayTime:
            if (auto v = fd_values(e); !v.empty()) each_frame(ctx, k, [&](PerFrameValues& f) { f.cardiac = float(v[0]); });
            break;
        case tags::kVelocityEncodingDirection:
            if (e.length >= 24) {
                const auto v = fd_values(e);
                each_frame(ctx, k, [&](PerFrameValues& f) { std::copy(v.begin(), v.begin() + 3, f.velocity); });
            }
            break;
        case tags::kFrameType: {
            const std::uint8_t code = frame_type_code(value_text(e));
            // Vendors put "P", "R", "I" where the standard says PHASE, REAL, IMAGINARY.
            const std::uint8_t part = diffusion::complex_part(value_text(e), Vendor::kOther, {});
            each_frame(ctx, k, [&](PerFrameValues& f) { f.frame_type = code, f.complex_part = part, f.has_frame_type = true; });
            break;
        }
        case tags::kTemporalPositionIndex:
            if (auto v = integer_value(e)) each_frame(ctx, k, [&](PerFrameValues& f) { f.temporal_index = *v; });
            break;
        case tags::kFrameAcquisitionNumber:
            if (auto v = integer_value(e)) each_frame(ctx, k, [&](PerFrameValues& f) { f.acquisition_number = *v; });
            break;
        case tags::kFrameAcquisitionDateTime:
            if (auto v = diffusion::datetime_seconds(value_text(e)))
                each_frame(ctx, k, [&](PerFrameValues& f) { f.acquisition_time = *v; });
            break;
        case tags::kStackID:
            if (auto v = decimal(e)) each_frame(ctx, k, [&](PerFrameValues& f) { f.stack_id = *v; });
            break;
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

// A frame decoded to float32 modality values, or an empty buffer.
ByteVector decode_float(const render::RenderImage& img, std::size_t index, ByteVector& scratch) {
    ByteVector out;
    render::FrameLayout layout;
    if (render::append_rendered(img, index, out, layout, scratch) != render::render_error::kOk || layout.samples != 1 ||
        layout.dtype != "float32")
        return {};
    return out;
}

// The object-level keys of a file: what its top level says of its acquisition.
FrameKeys object_keys(const Elements& top, Vendor vendor, const render::RenderImage& img) {
    FrameKeys keys;
    auto text = [&](Tag t) {
        const ElementRef* e = find_element(top, t);
        return e ? value_text(*e) : std::string_view{};
    };
    auto number = [&](Tag t) {
        const ElementRef* e = find_element(top, t);
        return e ? number_or_nan(decimal(*e)) : std::nan("");
    };
    keys.temporal_index = number(tags::kTemporalPositionIdentifier);
    keys.acquisition_number = number(tags::kAcquisitionNumber);
    keys.stack_id = number(tags::kStackID);
    keys.echo_number = number(tags::kEchoNumbers);
    keys.trigger_time = number(tags::kTriggerTime);
    // The acquisition's date and time; the content time when the acquisition's is not stated.
    std::optional<double> when = diffusion::datetime_seconds(text(tags::kAcquisitionDateTime));
    if (!when) {
        const auto day = diffusion::datetime_seconds(text(tags::kAcquisitionDate));
        if (const auto t = diffusion::time_of_day(text(tags::kAcquisitionTime))) when = day.value_or(0) + *t;
    }
    if (!when) {
        const auto day = diffusion::datetime_seconds(text(tags::kContentDate));
        if (const auto t = diffusion::time_of_day(text(tags::kContentTime))) when = day.value_or(0) + *t;
    }
    keys.acquisition_time = number_or_nan(when);
    keys.complex_part = diffusion::complex_part(text(tags::kImageType), vendor, top);
    const std::string_view sop = text(tags::kSOPInstanceUID);
    keys.sop_instance = sop.empty() ? 0 : wyhash(sop.data(), sop.size());
    if (const auto ss = diffusion::philips_scale_slope(top)) keys.philips_scale = *ss;
    const bool integer = !img.float_pixels && !img.double_pixels && img.bits_allocated <= 16 && img.samples == 1 &&
                         img.photometric != render::kPaletteColor;
    const bool lut = img.modality_lut.present;
    keys.linear = integer && !lut && !(img.rt_dose && img.has_dose_scaling);
    keys.is_signed = img.pixel_representation == 1;
    keys.stored_bytes = std::uint8_t(img.bits_allocated <= 8 ? 1 : 2);
    return keys;
}

// The slope and intercept the pixel engine applies to frame `k` (MONOCHROME1 inverts).
void frame_rescale(const render::RenderImage& img, std::size_t k, FrameKeys& keys) {
    const float slope = k < img.frame_slope.size() ? img.frame_slope[k] : img.rescale_slope;
    const float intercept = k < img.frame_intercept.size() ? img.frame_intercept[k] : img.rescale_intercept;
    const float sign = img.photometric == render::kMonochrome1 ? -1.0f : 1.0f;
    keys.slope = slope * sign, keys.intercept = intercept * sign;
}

}  // namespace

FileSeriesKey read_series_key(const std::string& path) {
    FileSeriesKey key;
    // The header is what counts: the file's start, and the whole file only when its elements
    // before the pixel data do not fit there.
    constexpr std::size_t kHead = std::size_t(64) << 10;
    Dataset ds = Dataset::own(slurp(path, kHead));
    auto reaches_pixels = [](const Elements& es) {
        return std::any_of(es.begin(), es.end(), [](const ElementRef& e) { return e.tag >= tags::kFloatPixelData; });
    };
    if (ds.bytes().size() == kHead && !(ds.readable() && reaches_pixels(ds.elements()))) ds = Dataset::own(slurp(path));
    if (!ds.readable()) return key;
    const Elements& top = ds.elements();
    auto text = [&](Tag t) { return std::string(ds.text(t)); };
    key.image = find_element(top, tags::kPixelData) || find_element(top, tags::kFloatPixelData) ||
                find_element(top, tags::kDoubleFloatPixelData);
    key.series_uid = text(tags::kSeriesInstanceUID);
    key.series_number = text(tags::kSeriesNumber);
    key.description = text(tags::kSeriesDescription);
    key.protocol = text(tags::kProtocolName);
    key.modality = text(tags::kModality);
    key.position = text(tags::kImagePositionPatient);
    key.manufacturer = text(tags::kManufacturer);
    key.sequence_name = text(tags::kSequenceName);
    key.image_type = text(tags::kImageType);
    key.acquisition_number = text(tags::kAcquisitionNumber);
    const std::string frames = text(tags::kNumberOfFrames);
    long n = 1;
    if (!frames.empty()) std::from_chars(frames.data(), frames.data() + frames.size(), n);
    key.frames = std::uint32_t(std::max(1L, n));
    if (const ElementRef* e = find_element(top, tags::kSamplesPerPixel); e && e->value && e->length >= 2)
        key.colour = load_le16(e->value) == 3;
    const Vendor vendor = diffusion::vendor_of(key.manufacturer);
    const DiffusionEntry d = diffusion::object_diffusion(top, vendor, diffusion::csa_image_header(top));
    key.diffusion = d.valid && d.bvalue > 0.5;
    key.complex_part = diffusion::complex_part(key.image_type, vendor, top);
    if (const ElementRef* e = find_element(top, tags::kEchoNumbers)) key.echo_number = number_or_nan(decimal(*e));
    // Enhanced objects: the frames' diffusion items, and a Siemens frame's echo.
    const auto per_frame = items_of(top, tags::kPerFrameFunctionalGroupsSequence);
    for (const Elements& item : per_frame) {
        for (const Elements& dwi : items_of(item, tags::kMRDiffusionSequence)) {
            const ElementRef* b = find_element(dwi, tags::kDiffusionBValue);
            const std::vector<double> v = b ? fd_values(*b) : std::vector<double>{};
            key.diffusion = key.diffusion || (!v.empty() && v[0] > 0.5);
        }
        if (key.diffusion) break;
    }
    if (std::isnan(key.echo_number) && !per_frame.empty())
        for (const ElementRef& e : per_frame.front())
            if (e.vr == vr::SQ && (tag_group(e.tag) & 1))
                for (const Elements& it : sequence_items(&e))
                    if (const auto echo = diffusion::siemens_ice_echo(it)) key.echo_number = *echo;
    return key;
}

FrameGeometryRecord::FrameGeometryRecord() { std::fill(std::begin(axis), std::end(axis), std::nanf("")); }

bool decode_lazy_frame(const LazyFrame& frame, std::uint8_t* dst, std::size_t bytes) {
    if (!frame.file || !frame.scalar) return false;
    thread_local ByteVector out, scratch;
    out.clear();
    render::FrameLayout layout;
    if (render::append_rendered(*frame.file->image, frame.index, out, layout, scratch) != render::render_error::kOk || layout.samples != 1 ||
        layout.dtype != "float32" || out.size() < bytes)
        return false;
    std::memcpy(dst, out.data(), bytes);
    return true;
}

DecodedSeries decode_one_file(const std::string& path, std::uint32_t file_index, bool want_diffusion, bool lazy) {
    (void)want_diffusion;  // diffusion entries are read for every frame: they also tell frames apart
    DecodedSeries out;
    auto source = std::make_shared<SourceFile>();
    source->buffer = slurp(path);
    const OwnedBuffer& file = source->buffer;
    if (file.size() == 0) return out.problem = "the file is empty", out;
    const std::span<const std::uint8_t> bytes = file.span();
    source->image = render::open(bytes, 0);
    const render::RenderImage* img = source->image.get();
    if (!img) return out.problem = "not a DICOM image", out;
    if (img->frames.empty()) return out.problem = img->problem.empty() ? "it holds no image frames" : img->problem, out;
    Dataset converted;
    const Dataset& ds = little_endian(img->dataset, converted);
    const Elements& top = ds.elements();

    SeriesInfo info;
    std::string series_uid = img->series_uid;
    if (img->sop_class == kEnhancedUsVolume) {
        if (!ds.layout().recognised)
            throw std::runtime_error("volume::decode_one_file: Enhanced US Volume cannot resolve the Data Set region in " +
                                     path);
        if (!ds.readable())
            throw std::runtime_error(
                "volume::decode_one_file: Enhanced US Volume unsupported transfer syntax for metadata walking in " + path);
    }
    info.frame_of_reference = img->frame_of_reference_uid;
    info.frames = std::uint32_t(img->frames.size());
    const std::string_view sop_class = img->sop_class;
    if (sop_class == kEnhancedUsVolume) info.enhanced_us = 1, info.geometry_frame = 2;

    GeometryWalk walk(img->frames_declared);
    walk.top(top);
    if (!walk.unusable.empty())
        throw std::runtime_error("volume::decode_one_file: " + walk.unusable +
                                 " is not a position, orientation or spacing in millimetres: " + path);
    auto text = [&](Tag t) { return std::string(ds.text(t)); };
    const std::string manufacturer = text(tags::kManufacturer), image_type = text(tags::kImageType);
    const Vendor vendor = diffusion::vendor_of(manufacturer);
    std::uint32_t instance = 0;
    if (const std::string n = text(tags::kInstanceNumber); !n.empty()) {
        long v = 0;
        std::from_chars(n.data(), n.data() + n.size(), v);
        instance = std::uint32_t(std::max(0L, v));
    }
    const diffusion::CsaHeader csa = diffusion::csa_image_header(top);
    const FrameKeys object = object_keys(top, vendor, *img);

    auto push = [&](FrameGeometryRecord rec, ByteVector pixels, std::uint32_t columns, std::uint32_t rows,
                    std::uint32_t frame_number, const DiffusionEntry& dwi, const FrameKeys& keys) {
        rec.frame_id = std::uint32_t(out.records.size());
        rec.file_index = file_index;
        out.records.push_back(rec);
        out.frames.push_back(std::move(pixels));
        out.dims.push_back({columns, rows});
        out.file_index.push_back(file_index);
        out.frame_number.push_back(frame_number);
        out.instance_number.push_back(instance);
        out.lazy.emplace_back();
        out.diffusion.push_back(dwi);
        out.keys.push_back(keys);
    };

    auto finish = [&]() -> DecodedSeries {
        out.series_uid = series_uid;
        out.problem = img->problem;  // read when no frame decoded
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
    const DiffusionEntry dwi = diffusion::object_diffusion(top, vendor, csa);

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
            FrameKeys keys = object;
            frame_rescale(*img, k, keys);
            push(rec, std::move(pixels), img->columns, img->rows, std::uint32_t(k), DiffusionEntry{}, keys);
        }
        return finish();
    }
    double spacing_between = 0;
    if (const ElementRef* e = find_element(top, tags::kSpacingBetweenSlices)) spacing_between = decimal(*e).value_or(0);
    const double slice_spacing = spacing_between > 0 ? spacing_between : thickness;
    const diffusion::MosaicLayout plan = diffusion::mosaic_layout(top, manufacturer, image_type, csa, ipp, iop, ps,
                                                                  slice_spacing, img->rows, img->columns);
    if (plan.tiles >= 2) {
        const ByteVector mosaic = decode_float(*img, 0, scratch);
        if (mosaic.empty()) return out.problem = img->problem.empty() ? "its mosaic did not decode" : img->problem, out;
        FrameKeys keys = object;
        frame_rescale(*img, 0, keys);
        keys.mosaic_tile = true;
        for (std::size_t k = 0; k < plan.tiles; ++k) {
            ByteVector tile(plan.tile_rows * plan.tile_columns * 4);
            diffusion::cut_tile(reinterpret_cast<const float*>(mosaic.data()), img->columns, plan, k,
                                reinterpret_cast<float*>(tile.data()));
            FrameGeometryRecord rec;
            std::copy(plan.positions[k].begin(), plan.positions[k].end(), rec.position);
            std::copy(iop.begin(), iop.end(), rec.orientation);
            std::copy(ps.begin(), ps.end(), rec.pixel_spacing);
            rec.slice_thickness = slice_spacing;
            if (walk.echo_time && *walk.echo_time != 0) rec.axis[kEcho] = float(*walk.echo_time);
            if (walk.temporal_index && *walk.temporal_index != 0) rec.axis[kTemporal] = float(*walk.temporal_index);
            keys.slice_time = k < plan.slice_times.size() ? plan.slice_times[k] : std::nan("");
            push(rec, std::move(tile), std::uint32_t(plan.tile_columns), std::uint32_t(plan.tile_rows), 0, dwi, keys);
        }
        return finish();
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
        FrameKeys keys = object;
        frame_rescale(*img, k, keys);
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
                entry.valid = true, entry.bvalue = v.bvalue, entry.source = diffusion::Source::kStandard;
                entry.frame = DiffusionEntry::Frame::kPatient;
                std::copy(v.gradient, v.gradient + 3, entry.gradient);
            }
            if (!std::isnan(v.temporal_index)) keys.temporal_index = v.temporal_index;
            if (!std::isnan(v.acquisition_number)) keys.acquisition_number = v.acquisition_number;
            if (!std::isnan(v.acquisition_time)) keys.acquisition_time = v.acquisition_time;
            if (!std::isnan(v.stack_id)) keys.stack_id = v.stack_id;
            if (!std::isnan(v.echo_number)) keys.echo_number = v.echo_number;
            keys.slice_time = v.time_after_start;
            if (v.has_frame_type) keys.complex_part = v.complex_part;
        } else {
            if (walk.temporal_index && *walk.temporal_index != 0) rec.axis[kTemporal] = float(*walk.temporal_index);
            if (walk.echo_time && *walk.echo_time != 0) rec.axis[kEcho] = float(*walk.echo_time);
            const bool temporal_index = walk.temporal_index && *walk.temporal_index != 0;
            if (!temporal_index && walk.trigger_time && *walk.trigger_time != 0)
                rec.axis[kCardiac] = float(*walk.trigger_time);
        }
        const auto& f = img->frames[k];
        push(rec, lazy ? ByteVector{} : decode_float(*img, k, scratch), f.columns, f.rows, std::uint32_t(k), entry,
             keys);
        if (lazy)
            out.lazy.back() = LazyFrame{source, std::uint32_t(k),
                                        f.samples == 1 && f.photometric != render::kPaletteColor};
    }
    return finish();
}

}  // namespace loamwerk::volume
