#include "pixel/transcode.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>

#include "core/bytes.hpp"
#include "core/dataset.hpp"
#include "core/dictionary.hpp"
#include "core/writer.hpp"
#include "core/wyhash.hpp"
#include "core/tags.hpp"
#include "core/values.hpp"
#include "pixel/decode.hpp"
#include "pixel/encode.hpp"
#include "pixel/image.hpp"
#include "pixel/syntax.hpp"

namespace loamwerk::render {

namespace {

constexpr std::string_view kExplicitLE = "1.2.840.10008.1.2.1";
constexpr std::string_view kRle = "1.2.840.10008.1.2.5";

std::string_view bare(std::string_view uid) { return trim_padding(uid); }

bool ends(std::string_view uid, std::string_view tail) {
    return uid.size() > 20 && uid.substr(0, 20) == "1.2.840.10008.1.2.4." && uid.substr(20) == tail;
}

std::string padded_text(std::string v, char pad = ' ') {
    if (v.size() & 1) v.push_back(pad);
    return v;
}

}  // namespace

bool is_transcode_target(std::string_view uid) {
    uid = bare(uid);
    if (uid == kExplicitLE || uid == kRle) return true;
    for (std::string_view t : {"50", "51", "57", "70", "80", "81", "90", "91", "110", "112", "201", "203"})
        if (ends(uid, t)) return true;
    return false;
}

bool is_lossy_target(std::string_view uid, int quality) {
    uid = bare(uid);
    if (ends(uid, "50") || ends(uid, "51") || ends(uid, "91") || ends(uid, "203")) return true;
    return (ends(uid, "112") || ends(uid, "81")) && quality < 100;
}

std::string lossy_instance_uid(std::span<const std::uint8_t> input, std::string_view target, int quality) {
    const std::uint64_t h = wyhash(input.data(), input.size()) ^ wyhash(target.data(), target.size()) ^
                            (0x9E3779B97F4A7C15ull * std::uint64_t(std::int64_t(quality) + 1));
    char buf[128];
    std::snprintf(buf, sizeof buf, "%s.77.%u.%u", std::string(kUidRoot).c_str(), unsigned(h >> 32),
                  unsigned(h & 0xFFFFFFFFu));
    return buf;
}

std::string_view target_name(std::string_view target) {
    target = bare(target);
    if (target == kRle) return "RLE";
    if (ends(target, "50") || ends(target, "51") || ends(target, "57") || ends(target, "70")) return "JPEG";
    if (ends(target, "80") || ends(target, "81")) return "JPEG-LS";
    if (ends(target, "90") || ends(target, "91")) return "JPEG 2000";
    if (ends(target, "110") || ends(target, "112")) return "JPEG XL";
    if (ends(target, "201") || ends(target, "203")) return "HTJ2K";
    return "explicit VR little endian";
}

const char* colour_photometric(std::string_view target) {
    target = bare(target);
    return (ends(target, "50") || ends(target, "51")) ? "YBR_FULL_422"
           : ends(target, "90")                       ? "YBR_RCT"
           : ends(target, "91")                       ? "YBR_ICT"
                                                      : "RGB";
}

namespace {

// The new Pixel Data value, or a status with its reason.
struct PixelValue {
    std::vector<std::uint8_t> bytes;
    VR vr = vr::OB;
    bool encapsulated = true;
};

std::string frame_text(std::size_t index) { return "frame " + std::to_string(index + 1); }

// 1-bit frames as one bit stream, least significant bit first, each frame following the last
// bit of the one before (the native layout of Bits Allocated 1).
bool pack_one_bit_frames(const RenderImage& img, PixelValue& px, std::string& why) {
    std::size_t bit = 0;
    ByteVector unpacked;
    FrameLayout fl;
    for (std::size_t i = 0; i < img.frames.size(); ++i) {
        unpacked.clear();
        if (append_stored(img, img.frames[i], false, unpacked, fl) != render::render_error::kOk) {
            why = frame_text(i) + " of the 1-bit pixel data does not unpack";
            return false;
        }
        px.bytes.resize((bit + unpacked.size() + 7) / 8, 0);
        for (const std::uint8_t v : unpacked) {
            if (v & 1) px.bytes[bit / 8] |= std::uint8_t(1u << (bit % 8));
            ++bit;
        }
    }
    if (px.bytes.size() & 1) px.bytes.push_back(0);
    px.vr = vr::OB, px.encapsulated = false;
    return true;
}

int build_pixels(const RenderImage& img, std::string_view target, int quality, PixelValue& px, std::string& why) {
    using namespace transcode_status;
    const bool native = target == kExplicitLE;
    const bool palette = img.photometric == kPaletteColor;
    if (palette && (ends(target, "50") || ends(target, "51"))) {
        why = "PALETTE COLOR indices cannot be written with lossy JPEG";
        return kUnsupported;
    }
    if (!img.rows || !img.columns || !img.bits_allocated) {
        why = "Rows, Columns or Bits Allocated is missing or 0";
        return kUnsupported;
    }
    if (img.bits_allocated == 1) {
        if (!native) {
            why = "1-bit pixel data (Bits Allocated 1) is written only as explicit VR little endian";
            return kUnsupported;
        }
        return pack_one_bit_frames(img, px, why) ? kOk : kUnsupported;
    }
    if (img.samples >= 3) {
        const std::uint8_t p = img.photometric;
        const bool ok = p == kRgb || (p >= kYbrFull && p <= kYbrPartial420) || (p == kCmyk && img.samples == 4) ||
                        ((p == kYbrIct || p == kYbrRct) && img.codec);
        if (!ok) {
            const std::string name = photometric_name(p);
            why = "the photometric interpretation" + (name.empty() ? std::string() : " " + name) + " with " +
                  std::to_string(img.samples) + " samples cannot be brought to RGB";
            return kUnsupported;
        }
    }
    // Frames, brought to RGB where they are YBR; palette indices stay indices.
    std::vector<ByteVector> frames;
    FrameLayout fl;
    for (std::size_t i = 0; i < img.frames.size(); ++i) {
        ByteVector stored;
        if (const int rc = append_stored(img, img.frames[i], !palette, stored, fl); rc != render::render_error::kOk) {
            why = frame_text(i) + ": " + std::string(render_error_message(rc));
            return kUnsupported;
        }
        if (fl.rows != img.rows || fl.columns != img.columns || fl.samples != img.samples ||
            fl.width * 8 < img.bits_allocated) {
            why = frame_text(i) + " decodes to " + std::to_string(fl.columns) + " x " + std::to_string(fl.rows) + " x " +
                  std::to_string(fl.samples) + " samples of " + std::to_string(fl.width * 8) +
                  " bits, not what Columns, Rows, Samples per Pixel and Bits Allocated say";
            return kUnsupported;
        }
        if (!native && fl.width != 1 && fl.width != 2) {
            why = std::to_string(fl.width * 8) + "-bit samples are written only as explicit VR little endian";
            return kUnsupported;
        }
        frames.push_back(std::move(stored));
    }
    const std::uint16_t bits_allocated = std::uint16_t(fl.width * 8);
    if (native) {
        px.encapsulated = false;
        px.vr = bits_allocated > 8 ? vr::OW : vr::OB;
        for (const ByteVector& f : frames) px.bytes.insert(px.bytes.end(), f.begin(), f.end());
        if (px.bytes.size() & 1) px.bytes.push_back(0);
        return kOk;
    }
    EncodeRequest req;
    req.columns = img.columns, req.rows = img.rows, req.bits_allocated = bits_allocated;
    req.bits_stored = (img.bits_stored && img.bits_stored <= bits_allocated) ? img.bits_stored : bits_allocated;
    req.samples = img.samples, req.is_signed = img.pixel_representation == 1, req.quality = quality;
    std::vector<ByteVector> encoded;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        ByteVector e = encode_wrap(frames[i].data(), frames[i].size(), req, target);
        if (e.empty()) {
            why = "the " + std::string(target_name(target)) + " encoder refused " + frame_text(i) + " (" +
                  std::to_string(req.samples) + " samples of " + std::to_string(req.bits_stored) + " bits stored in " +
                  std::to_string(bits_allocated) + (req.is_signed ? ", signed)" : ", unsigned)");
            return kUnsupported;
        }
        encoded.push_back(std::move(e));
    }
    std::vector<std::uint8_t> table;
    std::uint32_t offset = 0;
    for (const ByteVector& e : encoded) {
        const std::uint32_t le = offset;
        table.insert(table.end(), reinterpret_cast<const std::uint8_t*>(&le), reinterpret_cast<const std::uint8_t*>(&le) + 4);
        offset += std::uint32_t(8 + e.size() + (e.size() & 1));
    }
    append_implicit(px.bytes, tags::kItem, table.data(), table.size());
    for (ByteVector& e : encoded) {
        if (e.size() & 1) e.push_back(0);
        append_implicit(px.bytes, tags::kItem, e.data(), e.size());
    }
    static constexpr std::uint8_t kEnd[8] = {0xFE, 0xFF, 0xDD, 0xE0, 0, 0, 0, 0};
    px.bytes.insert(px.bytes.end(), kEnd, kEnd + 8);
    return kOk;
}

// The new file meta around `body`. A source without SOP UIDs keeps them empty rather than being
// refused or given invented ones; a UID that is there must be valid.
int wrap(std::string_view sop_class, std::string_view sop_instance, std::span<const std::uint8_t> body,
         std::string_view target, std::vector<std::uint8_t>& out, std::string& why) {
    for (const auto& [name, uid] : {std::pair{"SOP Class UID", sop_class}, std::pair{"SOP Instance UID", sop_instance}})
        if (!uid.empty() && !is_valid_uid(uid)) {
            why = std::string("the ") + name + " \"" + std::string(uid) + "\" is not a valid UID";
            return transcode_status::kBadUid;
        }
    out.resize(part10_wrapped_size(sop_class, sop_instance, body.size(), target));
    if (part10_wrap_into(sop_class, sop_instance, body, target, out.data(), out.size(), nullptr, true) != wrap_result::kOk) {
        why = "the new file meta could not be written";
        return transcode_status::kBadUid;
    }
    return transcode_status::kOk;
}

}  // namespace

int transcode_buffer(std::span<const std::uint8_t> input, std::string_view target_in, int quality,
                     std::vector<std::uint8_t>& out, std::string* reason) {
    using namespace transcode_status;
    std::string why;
    const auto fail = [&](int code, std::string text) {
        if (reason) *reason = std::move(text);
        return code;
    };
    try {
        if (input.empty()) return fail(kEmptyInput, "the input is empty");
        const std::string_view target = bare(target_in);
        if (target.empty() || target_in.size() >= 68 || !is_valid_uid(target))
            return fail(kBadUid, "the target is not a transfer syntax UID");
        if (!is_transcode_target(target))
            return fail(kUnsupported, "not a syntax transcode writes (explicit VR little endian, RLE, JPEG .50/.51/.57/.70, "
                                      "JPEG-LS, JPEG 2000, JPEG XL .110/.112, HTJ2K .201/.203)");
        const DatasetLayout layout = detect_layout(input.data(), input.size());
        if (layout.has_meta && bare(layout.meta.transfer_syntax) == target) {
            out.assign(input.begin(), input.end());
            return kOk;
        }
        if (!layout.recognised) return fail(kUnsupported, "the input is not a DICOM data set");
        if (layout.syntax == syntax::kUnknown)
            return fail(kUnsupported, "the source transfer syntax " + std::string(bare(layout.meta.transfer_syntax)) +
                                          " is not one this module reads");

        // Every element read little endian (a big-endian body converted, a deflated one inflated).
        const Dataset ds = Dataset::borrow(input);
        if (!ds.readable()) return fail(kUnsupported, "the data set cannot be read (a deflated body that does not inflate?)");
        const Elements& elements = ds.elements();
        bool has_pixels = false;
        for (const ElementRef& e : elements)
            has_pixels = has_pixels || e.tag == tags::kPixelData || e.tag == tags::kFloatPixelData ||
                         e.tag == tags::kDoubleFloatPixelData;
        const bool native_target = target == kExplicitLE;
        if (!has_pixels) {
            // Without pixels only the walk says it is DICOM: whole, with identifying (0008) elements.
            bool identifying = false;
            for (const ElementRef& e : elements) identifying = identifying || tag_group(e.tag) == 0x0008;
            if (!ds.parsed() || !identifying) return fail(kUnsupported, "the input is not a DICOM data set");
            if (!native_target) return fail(kUnsupported, "the data set has no pixel data to compress");
        }

        std::unique_ptr<RenderImage> img;
        PixelValue px;
        if (has_pixels) {
            img = open(input, 0);
            if (!img) return fail(kUnsupported, "the input is not a DICOM image");
            if (is_video_syntax(img->syntax)) return fail(kUnsupported, "video frames are not re-encoded");
            if (img->frames.empty() || img->status != status::kOk) {
                const std::string what = img->status == status::kTruncated ? "the pixel data is shorter than the image needs"
                                         : img->problem.empty()            ? "the pixel data does not decode"
                                                                           : "the pixel data does not decode (" + img->problem + ")";
                return fail(kUnsupported, what);
            }
            if (const int rc = build_pixels(*img, target, quality, px, why); rc != kOk) return fail(rc, why);
        }

        // Attribute updates, in tag order among the copied elements.
        const bool lossy = has_pixels && is_lossy_target(target, quality);
        std::string sop_class = std::string(bare(layout.meta.sop_class)), sop_instance = std::string(bare(layout.meta.sop_instance));
        auto text_of = [](const ElementRef& e) { return std::string(trim_padding(as_text(e.value, std::size_t(e.length)))); };
        std::map<Tag, std::pair<VR, std::string>> replace;  // tag -> (VR, value); empty VR erases
        std::string method;
        for (const ElementRef& e : elements) {
            if (e.tag == tags::kSOPClassUID && sop_class.empty()) sop_class = text_of(e);
            if (e.tag == tags::kSOPInstanceUID && sop_instance.empty()) sop_instance = text_of(e);
            if (e.tag == tags::kLossyImageCompressionMethod) method = text_of(e);
        }
        if (lossy) {
            sop_instance = lossy_instance_uid(input, target, quality);
            if (sop_instance.size() > 64) return fail(kBadUid, "the new SOP Instance UID would be longer than 64 characters");
            replace[tags::kSOPInstanceUID] = {vr::UI, padded_text(sop_instance, '\0')};
            replace[tags::kLossyImageCompression] = {vr::CS, "01"};
            const std::string name(standard_name(target));
            replace[tags::kLossyImageCompressionMethod] = {
                vr::CS, padded_text(method.empty() ? name : method + "\\" + name)};
        }
        if (img && img->samples >= 3) {
            const std::uint16_t planar = target == kRle ? 1 : 0;
            replace[tags::kPlanarConfiguration] = {vr::US, std::string(reinterpret_cast<const char*>(&planar), 2)};
            replace[tags::kPhotometricInterpretation] = {vr::CS, padded_text(colour_photometric(target))};
        }
        if (has_pixels) {
            replace[tags::kExtendedOffsetTable] = {0, ""};  // the old fragments' Extended Offset Table goes with them
            replace[tags::kExtendedOffsetTableLengths] = {0, ""};
            replace[tags::kFloatPixelData] = {0, ""};
            replace[tags::kDoubleFloatPixelData] = {0, ""};
        }

        std::vector<std::uint8_t> new_body;
        new_body.reserve(ds.body().size() + px.bytes.size());
        EvrElementWriter w(new_body);
        auto write_pixels = [&] {
            if (px.encapsulated) {
                static constexpr std::uint8_t kHeader[12] = {0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
                new_body.insert(new_body.end(), kHeader, kHeader + 12);
                new_body.insert(new_body.end(), px.bytes.begin(), px.bytes.end());
                return true;
            }
            return w.append(0x7FE0, 0x0010, px.vr, px.bytes.data(), px.bytes.size());
        };
        auto pending = replace.begin();
        auto flush_before = [&](Tag tag) {
            for (; pending != replace.end() && pending->first < tag; ++pending)
                if (pending->second.first)
                    w.append(tag_group(pending->first), tag_element(pending->first), pending->second.first,
                             reinterpret_cast<const std::uint8_t*>(pending->second.second.data()), pending->second.second.size());
        };
        bool pixels_written = !has_pixels;  // a data set without pixels gets none
        for (const ElementRef& e : elements) {
            if (tag_group(e.tag) == 0x0002 || tag_group(e.tag) == 0xFFFE) continue;
            if (e.tag > tags::kPixelData && !pixels_written) {
                flush_before(tags::kPixelData);
                pixels_written = write_pixels();
            }
            flush_before(e.tag);
            if (e.tag == tags::kPixelData) {
                if (!pixels_written) pixels_written = write_pixels();
                continue;
            }
            if (pending != replace.end() && pending->first == e.tag) {
                if (pending->second.first)
                    w.append(tag_group(e.tag), tag_element(e.tag), pending->second.first,
                             reinterpret_cast<const std::uint8_t*>(pending->second.second.data()), pending->second.second.size());
                ++pending;
                continue;
            }
            if (!write_explicit(e, new_body))
                return fail(kUnsupported, "the element " + dict::tag_text(e.tag) + " cannot be written as explicit VR");
        }
        flush_before(tags::kPixelData);
        if (!pixels_written) write_pixels();
        flush_before(0xFFFFFFFF);
        if (const int rc = wrap(sop_class, sop_instance, new_body, target, out, why); rc != kOk) return fail(rc, why);
        return kOk;
    } catch (const std::bad_alloc&) {
        return fail(kNoMemory, "out of memory");
    }
}

std::string transcode_failure(std::string_view target, int status, std::string_view reason) {
    std::string text = "transcode to " + std::string(target) + ": unsupported target or decode failure (err " +
                       std::to_string(status);
    if (!reason.empty()) text += ": " + std::string(reason);
    return text + ")";
}

}  // namespace loamwerk::render
