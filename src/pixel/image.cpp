#include "pixel/image.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>


#include "core/bytes.hpp"
#include "core/inflate.hpp"
#include "core/limits.hpp"
#include "core/parallel.hpp"
#include "core/dataset.hpp"
#include "core/tags.hpp"
#include "core/values.hpp"

namespace loamwerk::render {

const char* photometric_name(std::uint8_t code) {
    switch (code) {
    case kMonochrome1: return "MONOCHROME1";
    case kMonochrome2: return "MONOCHROME2";
    case kPaletteColor: return "PALETTE COLOR";
    case kRgb: return "RGB";
    case kYbrFull: return "YBR_FULL";
    case kYbrFull422: return "YBR_FULL_422";
    default: return "";
    }
}

std::size_t pixel_count(const FrameRecord& f) { return std::size_t(f.rows) * f.columns; }

bool is_video_syntax(SyntaxCode code) {
    return (code >= syntax::kMpeg2 && code <= syntax::kHevcMain10) || code == syntax::kSmpteProgressive ||
           code == syntax::kSmpteInterlaced;
}

std::size_t decoded_frame_bytes(const FrameRecord& f) {
    const std::size_t samples = pixel_count(f) * f.samples;
    return f.bits == 1 ? (samples + 7) / 8 : samples * ((f.bits + 7u) / 8u);
}

namespace {

constexpr int kMacroDepth = 8;  // functional-group macros nest a few levels; deeper is damage


std::uint8_t photometric_code(std::string_view v) {
    v = trim_padding(v);
    if (v.size() < 3) return kPhotoUnknown;
    static constexpr std::pair<const char*, std::uint8_t> kCodes[] = {
        // Longer names first where one is a prefix of another.
        {"MONOCHROME1", kMonochrome1}, {"MONOCHROME2", kMonochrome2}, {"PALETTE COLOR", kPaletteColor},
        {"RGB", kRgb}, {"HSV", kHsv}, {"ARGB", kArgb}, {"CMYK", kCmyk}, {"YBR_FULL_422", kYbrFull422},
        {"YBR_FULL", kYbrFull}, {"YBR_PARTIAL_422", kYbrPartial422}, {"YBR_PARTIAL_420", kYbrPartial420},
        {"YBR_ICT", kYbrIct}, {"YBR_RCT", kYbrRct}, {"XYB", kXyb}};
    for (const auto& [name, code] : kCodes)
        if (v.substr(0, std::strlen(name)) == name) return code;
    return kPhotoUnknown;
}

std::string_view text_of(const ElementRef& e) {
    if (!e.value) return {};
    std::string_view s = as_text(e.value, std::size_t(e.length));
    while (!s.empty() && (s.front() == ' ')) s.remove_prefix(1);
    return trim_padding(s);
}

// The first value of a DS text as float; nothing when it does not parse.
std::optional<double> first_number(const ElementRef& e) {
    std::string_view s = text_of(e);
    s = s.substr(0, s.find('\\'));
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    double v;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || r.ec != std::errc{}) return std::nullopt;
    return v;
}

std::uint32_t integer_string(const ElementRef& e) {
    std::string_view s = text_of(e).substr(0, 63);
    s = s.substr(0, s.find('\\'));
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    long long v = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc{} || v <= 0) return 0;
    return std::uint32_t(std::min<long long>(v, std::numeric_limits<std::uint32_t>::max()));
}

class Parser {
public:
    Parser(RenderImage& img, Encoding encoding) : img_(img), big_(encoding == Encoding::ExplicitBE) {}

    std::uint16_t us(const ElementRef& e, std::size_t index = 0) const {
        return e.value && e.length >= 2 * (index + 1) ? load16(e.value + 2 * index, big_) : 0;
    }

    void top_level(const std::vector<ElementRef>& elements, const std::uint8_t* end) {
        for (const ElementRef& e : elements) element(e, end);
    }

private:
    void element(const ElementRef& e, const std::uint8_t* end) {
        switch (e.tag) {
        case tags::kRows: img_.rows = us(e); return;
        case tags::kColumns: img_.columns = us(e); return;
        case tags::kSamplesPerPixel: img_.samples = us(e); return;
        case tags::kBitsAllocated: img_.bits_allocated = us(e); return;
        case tags::kBitsStored: img_.bits_stored = us(e); return;
        case tags::kHighBit: img_.high_bit = us(e); return;
        case tags::kPixelRepresentation: img_.pixel_representation = us(e); return;
        case tags::kPlanarConfiguration: img_.planar = us(e); return;
        case tags::kNumberOfFrames: img_.frames_declared = integer_string(e); return;
        case tags::kPhotometricInterpretation:
            img_.photometric = photometric_code(as_text(e.value, std::size_t(e.length)));
            return;
        case tags::kVOILUTFunction: {
            const std::string_view f = text_of(e);
            img_.voi_function = f.substr(0, 12) == "LINEAR_EXACT" ? 1 : f.substr(0, 7) == "SIGMOID" ? 2 : 0;
            return;
        }
        case tags::kModalityLUTSequence: lut_sequence(e, img_.modality_lut); return;
        case tags::kCompressionCode: case tags::kCompressionSequence: case 0x00280800: {
            // The retired compression codes of the word-oriented Lempel-Ziv scheme.
            const std::string_view v = text_of(e);
            if (v == "LZW" || v == "LEMPEL" || v == "5" || (e.tag == tags::kCompressionSequence && v == "DPCM") ||
                (e.tag == tags::kCompressionCode && e.vr == vr::US && us(e) == 5))
                img_.retired_lzw = true;
            return;
        }
        case tags::kRedPaletteColorLookupTableDescriptor:
        case tags::kGreenPaletteColorLookupTableDescriptor:
        case tags::kBluePaletteColorLookupTableDescriptor:
            descriptor(e, img_.palette[e.tag - tags::kRedPaletteColorLookupTableDescriptor]);
            return;
        case tags::kRedPaletteColorLookupTableData:
        case tags::kGreenPaletteColorLookupTableData:
        case tags::kBluePaletteColorLookupTableData: {
            LutView& p = img_.palette[e.tag - tags::kRedPaletteColorLookupTableData];
            p.data = e.value, p.size = std::size_t(e.length);
            return;
        }
        case tags::kSegmentedRedPaletteColorLookupTableData:
        case tags::kSegmentedGreenPaletteColorLookupTableData:
        case tags::kSegmentedBluePaletteColorLookupTableData:
            img_.segmented[e.tag - tags::kSegmentedRedPaletteColorLookupTableData] = e.value;
            img_.segmented_size[e.tag - tags::kSegmentedRedPaletteColorLookupTableData] = std::size_t(e.length);
            return;
        case tags::kSOPClassUID: img_.sop_class = std::string(text_of(e)); return;
        case tags::kSOPInstanceUID: img_.sop_instance = std::string(text_of(e)); return;
        case tags::kModality: img_.modality = std::string(text_of(e)); return;
        case tags::kStudyInstanceUID: img_.study_uid = std::string(text_of(e)); return;
        case tags::kSeriesInstanceUID: img_.series_uid = std::string(text_of(e)); return;
        case tags::kFrameOfReferenceUID: img_.frame_of_reference_uid = std::string(text_of(e)); return;
        case tags::kInstanceNumber: img_.instance_number = std::string(text_of(e)); return;
        case tags::kSliceThickness: img_.slice_thickness = std::string(text_of(e)); return;
        case tags::kPixelSpacing: img_.pixel_spacing = std::string(text_of(e)); return;
        case tags::kImagePositionPatient: img_.image_position = std::string(text_of(e)); return;
        case tags::kImageOrientationPatient: img_.image_orientation = std::string(text_of(e)); return;
        case tags::kDoseGridScaling:
            if (auto v = first_number(e)) img_.dose_grid_scaling = *v, img_.has_dose_scaling = true;
            return;
        case tags::kSharedFunctionalGroupsSequence: functional_groups(e, false); return;
        case tags::kPerFrameFunctionalGroupsSequence: functional_groups(e, true); return;
        case tags::kExtendedOffsetTable: img_.extended_offsets = {e.value, std::size_t(e.length)}; return;
        case tags::kExtendedOffsetTableLengths: img_.extended_lengths = {e.value, std::size_t(e.length)}; return;
        case tags::kFloatPixelData: case tags::kDoubleFloatPixelData: case tags::kPixelData: pixel_data(e, end); return;
        default:
            presentation_value(e, -1);
        }
    }

    // Window and rescale values: the object's, or frame k's inside per-frame item k.
    void presentation_value(const ElementRef& e, long frame) {
        float* object = nullptr;
        std::vector<float>* slots = nullptr;
        switch (e.tag) {
        case tags::kWindowCenter:
            object = &img_.window_center, slots = &img_.frame_center, img_.has_window = true;
            break;
        case tags::kWindowWidth: object = &img_.window_width, slots = &img_.frame_width; break;
        case tags::kRescaleIntercept: object = &img_.rescale_intercept, slots = &img_.frame_intercept; break;
        case tags::kRescaleSlope: object = &img_.rescale_slope, slots = &img_.frame_slope; break;
        default: return;
        }
        const auto v = first_number(e);
        if (!v) return;
        if (frame >= 0 && std::size_t(frame) < slots->size()) (*slots)[std::size_t(frame)] = float(*v);
        else *object = float(*v);
    }

    void functional_groups(const ElementRef& e, bool per_frame) {
        if (per_frame && img_.frames_declared >= 1 && img_.frames_declared <= 65535) {
            img_.frame_center.assign(img_.frames_declared, img_.window_center);
            img_.frame_width.assign(img_.frames_declared, img_.window_width);
            img_.frame_intercept.assign(img_.frames_declared, img_.rescale_intercept);
            img_.frame_slope.assign(img_.frames_declared, img_.rescale_slope);
        }
        // Every window and rescale value inside an item, at any depth of its macros.
        walk_functional_groups(
            e, kMacroDepth, [](const Elements&, std::size_t, bool) {},
            [&](const ElementRef& x, std::size_t k, bool) { presentation_value(x, per_frame ? long(k) : -1); });
    }

    void descriptor(const ElementRef& e, LutView& lut) {
        if (e.length < 6) return;
        lut.entries = us(e, 0);
        // The first mapped value is signed for signed pixel data.
        lut.first = img_.pixel_representation ? std::int16_t(us(e, 1)) : us(e, 1);
        lut.bits = us(e, 2);
        lut.present = true;
    }

    void lut_sequence(const ElementRef& e, LutView& lut) {
        bool first_item = true;
        for_each_item(e, [&](const Elements& inner) {
            if (!first_item) return;
            first_item = false;
            for (const ElementRef& x : inner) {
                if (x.tag == tags::kLUTDescriptor) descriptor(x, lut);
                if (x.tag == tags::kLUTData) lut.data = x.value, lut.size = std::size_t(x.length);
            }
        });
        if (!lut.data) lut.present = false;
    }

    void pixel_data(const ElementRef& e, const std::uint8_t* end) {
        if (!e.value) return;
        const std::size_t available = std::min<std::size_t>(std::size_t(e.length), std::size_t(end - e.value));
        if (e.tag != tags::kPixelData) {
            img_.float_pixels = e.tag == tags::kFloatPixelData;
            img_.double_pixels = e.tag == tags::kDoubleFloatPixelData;
            img_.native = e.value, img_.native_size = available;
            return;
        }
        const bool starts_with_item =
            available >= 8 && load16(e.value, big_) == 0xFFFE && load16(e.value + 2, big_) == 0xE000;
        // The parser stops an undefined-length value at its delimiter; items start at once.
        if (starts_with_item && (is_encapsulated_syntax() || img_.codec || e.vr == vr::OB || e.length == 0 ||
                                 has_undefined_length(e))) {
            walk_fragments(e.value, std::size_t(end - e.value));
            sniff_codec();
            return;
        }
        if (e.vr == vr::OW && img_.bits_allocated && img_.bits_allocated < 9) img_.words_for_bytes = true;
        if (img_.native && img_.native != e.value) {
            // Several native values (nested data): joined into one buffer.
            if (img_.joined_native.empty()) img_.joined_native.assign(img_.native, img_.native + img_.native_size);
            img_.joined_native.insert(img_.joined_native.end(), e.value, e.value + available);
            img_.native = img_.joined_native.data(), img_.native_size = img_.joined_native.size();
            return;
        }
        img_.native = e.value, img_.native_size = available;
    }

    bool is_encapsulated_syntax() const {
        return img_.syntax == syntax::kEncapsulatedUncompressed || img_.syntax == syntax::kDeflatedFrames ||
               img_.syntax >= syntax::kRle;
    }

    void walk_fragments(const std::uint8_t* p, std::size_t n) {
        std::size_t pos = 0;
        while (n - pos >= 8) {
            const std::uint16_t g = load16(p + pos, big_), el = load16(p + pos + 2, big_);
            if (g != 0xFFFE || el != 0xE000) break;
            const std::uint32_t len = load32(p + pos + 4, big_);
            if (len > n - pos - 8) {
                // Said when nothing decodes: a file cut short is the usual cause.
                if (img_.problem.empty())
                    img_.problem = "the pixel data is cut short: its item " + std::to_string(img_.fragments.size() + 1) +
                                   " declares " + limits::size_text(len) + " where " +
                                   limits::size_text(n - pos - 8) + " remain";
                break;
            }
            if (img_.fragments.size() == img_.fragments.capacity()) img_.fragments.reserve(img_.fragments.size() + 200);
            img_.fragments.emplace_back(p + pos + 8, len);
            pos += 8 + std::size_t(len);
        }
    }

    void sniff_codec() {
        if (img_.codec || img_.fragments.size() < 2 || img_.syntax == syntax::kEncapsulatedUncompressed ||
            img_.syntax == syntax::kDeflatedFrames)
            return;
        for (std::size_t i = 1; i < img_.fragments.size(); ++i) {
            const auto f = img_.fragments[i];
            if (f.size() < 4) continue;
            SyntaxCode code = syntax::kUnknown;
            if (f[0] == 0xFF && f[1] == 0x0A) code = syntax::kJpegXl;
            else if (f[0] == 0xFF && f[1] == 0x4F) code = syntax::kJpeg2000;
            else if (f[0] == 0xFF && f[1] == 0xD8) {
                code = syntax::kJpeg;
                const std::size_t span = std::min<std::size_t>(f.size() - 4, 61) + 1;
                for (std::size_t k = 2; k + 1 < 2 + span + 1 && k + 1 < f.size(); ++k)
                    if (f[k] == 0xFF && f[k + 1] == 0xF7) code = syntax::kJpegLs;
            }
            if (code != syntax::kUnknown) {
                img_.syntax = code;
                img_.codec = codec_for(code);
            }
            return;
        }
    }

    RenderImage& img_;
    bool big_;
};

// The groups that make a plausible image object, in ascending order.
bool plausible_groups(const std::vector<ElementRef>& elements) {
    static constexpr std::uint16_t kGroups[] = {0x0008, 0x0010, 0x0018, 0x0020, 0x0028, 0x0040, 0x0042,
                                                0x0054, 0x0070, 0x5200, 0x5400, 0x5600, 0x7FE0};
    std::uint16_t seen[16];
    std::size_t distinct = 0, count = 0;
    std::uint16_t last = 0;
    for (const ElementRef& e : elements) {
        const std::uint16_t g = tag_group(e.tag);
        const bool listed = std::find(std::begin(kGroups), std::end(kGroups), g) != std::end(kGroups) ||
                            (g >= 0x6000 && g <= 0x60FE && !(g & 1));
        if (!listed) continue;
        if (g < last) return false;
        last = g;
        ++count;
        if (std::find(seen, seen + distinct, g) == seen + distinct && distinct < 16) seen[distinct++] = g;
    }
    return distinct >= 3 && count >= 4;
}

// Fix-ups of the pixel module; false when the layout cannot be decoded.
bool fix_pixel_module(RenderImage& img) {
    if (img.samples == 0) {
        if (img.photometric == kMonochrome1 || img.photometric == kMonochrome2) {
            img.samples = 1;
        } else if (img.photometric != kPhotoUnknown) {
            img.samples = 3, img.photometric = kRgb;
        } else if (img.bits_allocated == 24) {
            img.samples = 3, img.bits_allocated = 8, img.photometric = kRgb;
        } else {
            img.samples = 1;
        }
    }
    if (img.samples > 4) {
        img.problem = "Samples per Pixel " + std::to_string(img.samples) + " is not an image layout (1, 3 or 4)";
        return false;
    }
    if (img.float_pixels) img.bits_allocated = 32;
    if (img.double_pixels) img.bits_allocated = 64;
    if (img.bits_allocated == 1) {
        const bool mono = img.photometric == kMonochrome1 || img.photometric == kMonochrome2 ||
                          img.photometric == kPaletteColor;
        if (img.bits_stored != 1 || img.samples != 1 || img.high_bit != 0 || img.pixel_representation > 1 || !mono)
            return false;
    }
    const bool native = !img.codec && img.fragments.empty();
    if (native && (img.photometric == kYbrFull422 || img.photometric == kYbrPartial422)) {
        if (img.bits_allocated != 8 || img.samples != 3 || img.planar != 0 || (img.columns & 1)) return false;
    }
    if (native && img.photometric == kYbrPartial420) return false;
    if (native && img.photometric == kYbrFull && (img.bits_allocated != 8 || img.samples != 3)) return false;
    if (!img.rows || !img.columns) {
        img.problem = "Rows x Columns is " + std::to_string(img.rows) + " x " + std::to_string(img.columns);
        return false;
    }
    return img.bits_allocated != 0;
}

void init_record(const RenderImage& img, FrameRecord& f) {
    f.columns = img.columns, f.rows = img.rows, f.samples = img.samples, f.bits = img.bits_allocated;
    f.planar = img.planar, f.photometric = img.photometric, f.flags = img.flags;
}

int native_table(RenderImage& img) {
    const std::uint64_t n = img.frames_declared ? img.frames_declared : 1;
    const std::uint64_t pixels = std::uint64_t(img.rows) * img.columns;
    const bool packed_422 = img.photometric == kYbrFull422 || img.photometric == kYbrPartial422;
    const std::uint64_t bytes_per_sample = (img.bits_allocated + 7u) / 8u;
    std::uint64_t frame_bits;
    if (img.bits_allocated == 1) frame_bits = pixels * img.samples;
    else if (packed_422) frame_bits = pixels * 2 * 8;
    else frame_bits = pixels * img.samples * bytes_per_sample * 8;
    if (frame_bits == 0 || n > (std::uint64_t(1) << 40) / frame_bits) return status::kUnsupported;
    const std::uint64_t need_bits = n * frame_bits;
    const std::uint64_t have_bits = std::uint64_t(img.native_size) * 8;
    std::uint64_t usable = n;
    int rc = status::kOk;
    if (have_bits < need_bits) {
        // Frames that begin inside the data are kept; a cut last frame is zero-filled later,
        // which a few bytes of data must not turn into gigabytes.
        usable = (have_bits + frame_bits - 1) / frame_bits;
        if (usable == 0) return status::kTruncated;
        if (!(img.flags & kLenient)) rc = status::kTruncated;
        if (frame_bits / 8 > limits::allowed(img.native_size)) {
            img.problem = "Rows x Columns x Samples per Pixel " + std::to_string(img.rows) + " x " +
                          std::to_string(img.columns) + " x " + std::to_string(img.samples) + " asks for " +
                          limits::size_text(frame_bits / 8) + " a frame where the file holds " +
                          limits::size_text(img.native_size) + " of pixel data";
            return status::kUnsupported;
        }
    }
    img.frames.resize(std::size_t(usable));
    for (std::uint64_t i = 0; i < usable; ++i) {
        FrameRecord& f = img.frames[std::size_t(i)];
        init_record(img, f);
        const std::uint64_t bit = i * frame_bits, start = bit / 8;
        f.source = img.native + start;
        f.source_bit_offset = unsigned(bit % 8);
        const std::uint64_t needed = (frame_bits + f.source_bit_offset + 7) / 8;
        f.source_size = std::size_t(std::min<std::uint64_t>(needed, img.native_size - start));
        f.truncated = f.source_size < needed;
    }
    return rc;
}

// The fragments after the Basic Offset Table that make up [begin, end) of the fragment
// stream, as one view or joined.
bool frame_from_stream(const RenderImage& img, std::uint64_t begin, std::uint64_t end, FrameRecord& f) {
    std::uint64_t pos = 0;
    std::vector<std::size_t> owned;
    for (std::size_t i = 1; i < img.fragments.size(); ++i) {
        const std::uint64_t here = pos;
        pos += img.fragments[i].size() + 8;
        if (here >= begin && here < end) owned.push_back(i);
    }
    if (owned.empty()) return false;
    if (owned.size() == 1) {
        f.source = img.fragments[owned[0]].data(), f.source_size = img.fragments[owned[0]].size();
        return true;
    }
    for (std::size_t i : owned) f.joined.insert(f.joined.end(), img.fragments[i].begin(), img.fragments[i].end());
    f.source = f.joined.data(), f.source_size = f.joined.size();
    return true;
}

int encapsulated_table(RenderImage& img) {
    const std::size_t fragment_count = img.fragments.size();
    if (fragment_count <= 1) return status::kNothing;
    const std::size_t n = img.frames_declared ? img.frames_declared : 1;
    img.frames.resize(n);
    for (FrameRecord& f : img.frames) init_record(img, f);
    if (n == 1) {
        FrameRecord& f = img.frames[0];
        if (fragment_count == 2) {
            f.source = img.fragments[1].data(), f.source_size = img.fragments[1].size();
        } else {
            for (std::size_t i = 1; i < fragment_count; ++i)
                f.joined.insert(f.joined.end(), img.fragments[i].begin(), img.fragments[i].end());
            f.source = f.joined.data(), f.source_size = f.joined.size();
        }
        return status::kOk;
    }
    if (fragment_count == n + 1) {
        for (std::size_t i = 0; i < n; ++i)
            img.frames[i].source = img.fragments[i + 1].data(), img.frames[i].source_size = img.fragments[i + 1].size();
        return status::kOk;
    }
    const auto bot = img.fragments[0];
    const bool eot = img.extended_offsets.size() >= 8 * n && img.extended_lengths.size() >= 8 * n;
    if (eot || (bot.size() >= 4 * n && bot.size() % 4 == 0)) {
        auto offset = [&](std::size_t i) -> std::uint64_t {
            if (eot) {
                std::uint64_t v;
                std::memcpy(&v, img.extended_offsets.data() + 8 * i, 8);
                return v;
            }
            return load_le32(bot.data() + 4 * i);
        };
        for (std::size_t i = 0; i < n; ++i) {
            std::uint64_t end = std::numeric_limits<std::uint64_t>::max();
            if (i + 1 < n) {
                end = offset(i + 1);
            } else if (eot) {
                std::uint64_t len;
                std::memcpy(&len, img.extended_lengths.data() + 8 * i, 8);
                if (len) end = offset(i) + len;
            }
            if (!frame_from_stream(img, offset(i), end, img.frames[i])) return status::kUnsupported;
        }
        return status::kOk;
    }
    // No usable offset table: find each frame's start marker in the joined stream.
    std::vector<std::uint8_t> all;
    for (std::size_t i = 1; i < fragment_count; ++i) all.insert(all.end(), img.fragments[i].begin(), img.fragments[i].end());
    std::uint8_t second = 0xD8;
    if (img.syntax == syntax::kJpegXl) second = 0x0A;
    else if (img.syntax == syntax::kJpeg2000 || img.syntax == syntax::kJpeg2000Mc || img.syntax == syntax::kHtj2k)
        second = 0x4F;
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i + 1 < all.size() && starts.size() < n; ++i)
        if (all[i] == 0xFF && all[i + 1] == second) starts.push_back(i);
    if (starts.size() < n) return status::kUnsupported;
    for (std::size_t i = 0; i < n; ++i) {
        FrameRecord& f = img.frames[i];
        const std::size_t end = i + 1 < n ? starts[i + 1] : all.size();
        f.joined.assign(all.begin() + std::ptrdiff_t(starts[i]), all.begin() + std::ptrdiff_t(end));
        f.source = f.joined.data(), f.source_size = f.joined.size();
    }
    return status::kOk;
}

// Encapsulated uncompressed frames are native samples; everything else goes through the codec.
int decode_one(const RenderImage& img, FrameRecord& f) {
    const int r = img.codec(f.source, f.source_size, f);
    if (r == status::kNoMemory) return status::kNoMemory;
    if (r != status::kOk) {
        if (f.error.empty()) f.error = "the " + std::string(codec_name(img.codec)) + " data does not decode";
        return status::kUnsupported;
    }
    f.has_decoded = true;
    const std::size_t want = decoded_frame_bytes(f);
    if (f.decoded.size() < want) {
        f.truncated = true;
        const std::size_t row = f.bits == 1 ? 0 : std::size_t(f.columns) * f.samples * ((f.bits + 7u) / 8u);
        if (row) f.decoded.resize(f.decoded.size() / row * row);
        f.decoded.resize(want, 0);
        if (!(img.flags & kLenient)) return status::kTruncated;
    }
    return status::kOk;
}

int decode_frames(RenderImage& img) {
    if (!img.codec || (img.flags & kDeferDecode)) return status::kOk;
    return decode_pending(img, 0, img.frames.size(), 1);
}

}  // namespace

int decode_pending(RenderImage& img, std::size_t first, std::size_t last, std::size_t threads) {
    last = std::min(last, img.frames.size());
    if (!img.codec || first >= last) return status::kOk;
    // Each worker writes only its own frames' records; the image itself is only read.
    std::vector<int> results(last - first, status::kOk);
    // Frames after one that failed are not worth decoding; those before it still are, since the
    // first failure in frame order is the one reported.
    std::atomic<std::size_t> first_failure{last - first};
    // A thread is worth starting (some tens of microseconds) for a few hundred microseconds of
    // decoding: a little output of the heavy codecs, megabytes of the light ones.
    const bool light = img.codec == rle_decode || img.codec == deflate_frame_decode || img.codec == lzw_decode;
    std::size_t output = 0;
    for (std::size_t i = first; i < last; ++i) output += decoded_frame_bytes(img.frames[i]);
    const std::size_t per_worker = light ? std::size_t(4) << 20 : std::size_t(64) << 10;
    const std::size_t useful = std::max<std::size_t>(1, output / per_worker);
    const std::size_t workers = std::min(useful, threads ? threads : worker_count(last - first));
    parallel_for_workers(last - first, workers, [&](std::size_t k) {
        FrameRecord& f = img.frames[first + k];
        if (f.has_decoded || k > first_failure.load(std::memory_order_relaxed)) return;
        results[k] = decode_one(img, f);
        if (results[k] == status::kOk || results[k] == status::kTruncated) return;
        std::size_t seen = first_failure.load();
        while (k < seen && !first_failure.compare_exchange_weak(seen, k)) {
        }
    });
    // Reported as one thread would: the first frame that failed, in frame order.
    int rc = status::kOk;
    for (std::size_t k = 0; k < results.size(); ++k) {
        const int r = results[k];
        if (r == status::kTruncated) rc = r;
        else if (r != status::kOk) {
            const FrameRecord& f = img.frames[first + k];
            if (!f.error.empty()) img.problem = "frame " + std::to_string(first + k + 1) + ": " + f.error;
            return r;
        }
    }
    return rc;
}

int decode_frame(const RenderImage& img, std::size_t index, FrameRecord& out) {
    if (index >= img.frames.size()) return status::kNothing;
    const FrameRecord& f = img.frames[index];
    // Field by field, so a record reused across frames keeps its buffers' capacity.
    out.joined.clear(), out.decoded.clear(), out.icc.clear(), out.error.clear();
    out.has_decoded = false;
    out.columns = f.columns, out.rows = f.rows, out.samples = f.samples, out.bits = f.bits, out.planar = f.planar;
    out.photometric = f.photometric, out.kind = f.kind, out.flags = f.flags, out.truncated = f.truncated;
    out.source = f.source, out.source_size = f.source_size, out.source_bit_offset = f.source_bit_offset;
    if (f.has_decoded || !img.codec) {
        out.decoded = f.decoded, out.has_decoded = f.has_decoded;
        return status::kOk;
    }
    return decode_one(img, out);
}

std::unique_ptr<RenderImage> open(std::span<const std::uint8_t> buffer, unsigned flags, int* status_out) {
    auto fail = [&](int s) {
        if (status_out) *status_out = s;
        return std::unique_ptr<RenderImage>();
    };
    if (buffer.size() < 8) return fail(status::kNotDicom);
    auto img = std::make_unique<RenderImage>();
    img->dataset = Dataset::borrow(buffer, Dataset::Body::kAsStored);
    const Dataset& ds = img->dataset;
    const DatasetLayout& layout = ds.layout();
    if (!layout.recognised) return fail(status::kNotDicom);
    img->flags = flags;
    if (layout.has_meta) {
        const SyntaxInfo s = syntax_lookup(layout.meta.transfer_syntax);
        img->syntax = s.code ? s.code : layout.syntax;
        img->codec = s.codec;
    } else {
        img->syntax = layout.encoding == Encoding::ImplicitLE ? syntax::kImplicitLE
                      : layout.encoding == Encoding::ExplicitBE ? syntax::kExplicitBE : syntax::kExplicitLE;
    }
    if (img->syntax == syntax::kDeflatedFrames) img->codec = deflate_frame_decode;
    if (!ds.readable()) return fail(status::kNotDicom);  // a deflated body that does not inflate
    const Encoding encoding = ds.encoding();
    img->big_endian = encoding == Encoding::ExplicitBE || img->syntax == syntax::kImplicitLEBigEndianPixels;
    const std::vector<ElementRef>& elements = ds.elements();
    if (elements.empty() || !plausible_groups(elements)) return fail(status::kNotDicom);

    Parser parser(*img, encoding);
    parser.top_level(elements, ds.body().data() + ds.body().size());
    if (img->retired_lzw && img->fragments.empty()) img->codec = lzw_decode;
    img->rt_dose = img->sop_class == "1.2.840.10008.5.1.4.1.1.481.2";
    if (img->big_endian && img->words_for_bytes && img->native) {
        // 8-bit samples in big-endian words: restore the byte order of the whole value once,
        // since frames of odd size start inside a word.
        std::vector<std::uint8_t> swapped(img->native, img->native + img->native_size);
        for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
        if (swapped.size() & 1) swapped.push_back(0), std::swap(swapped[swapped.size() - 2], swapped.back());
        img->joined_native = std::move(swapped);
        img->native = img->joined_native.data();
        img->words_for_bytes = false;
    }

    if (!img->native && img->fragments.empty()) {
        img->status = status::kUnsupported;  // no pixel data
    } else if (!fix_pixel_module(*img)) {
        img->status = status::kUnsupported;
    } else if (!img->fragments.empty()) {
        img->status = encapsulated_table(*img);
        if (img->status == status::kOk || img->status == status::kTruncated) {
            // Video frames exist but are not decoded here: rendering them is refused later.
            if (is_video_syntax(img->syntax)) {
            } else if (img->syntax != syntax::kEncapsulatedUncompressed && !img->codec) {
                img->status = status::kUnsupported;
            } else if (int rc = decode_frames(*img); rc != status::kOk) {
                img->status = rc;
            }
        }
    } else if (img->codec && img->codec != deflate_frame_decode) {
        // A compressed syntax whose data is not encapsulated: the value is the one frame.
        img->frames.resize(1);
        init_record(*img, img->frames[0]);
        img->frames[0].source = img->native, img->frames[0].source_size = img->native_size;
        img->status = decode_frames(*img);
    } else {
        img->status = native_table(*img);
    }
    if (img->status != status::kOk && img->status != status::kTruncated) img->frames.clear();
    if (status_out) *status_out = img->status;
    return img;
}

}  // namespace loamwerk::render
