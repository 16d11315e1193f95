#include "pixel/transcode.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <optional>

#include "core/bytes.hpp"
#include "core/dataset.hpp"
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

const char* colour_photometric(std::string_view target) {
    target = bare(target);
    return (ends(target, "50") || ends(target, "51")) ? "YBR_FULL_422"
           : ends(target, "90")                       ? "YBR_RCT"
           : ends(target, "91")                       ? "YBR_ICT"
                                                      : "RGB";
}

int transcode_buffer(std::span<const std::uint8_t> input, std::string_view target_in, int quality,
                     std::vector<std::uint8_t>& out) {
    using namespace transcode_status;
    try {
        if (input.empty()) return kEmptyInput;
        const std::string_view target = bare(target_in);
        if (target.empty() || target_in.size() >= 68) return kBadUid;
        if (!is_transcode_target(target)) return kUnsupported;
        const DatasetLayout layout = detect_layout(input.data(), input.size());
        if (layout.has_meta && bare(layout.meta.transfer_syntax) == target) {
            out.assign(input.begin(), input.end());
            return kOk;
        }
        if (!layout.recognised || (layout.syntax == syntax::kUnknown && layout.has_meta)) return kUnsupported;

        // Frames, brought to RGB where they are YBR; palette indices stay indices.
        const auto img = open(input, 0);
        if (!img || img->frames.empty() || (img->status != status::kOk)) return kUnsupported;
        const bool palette = img->photometric == kPaletteColor;
        if (palette && (ends(target, "50") || ends(target, "51"))) return kUnsupported;
        if (!img->rows || !img->columns || !img->bits_allocated || img->bits_allocated == 1) return kUnsupported;
        if (img->samples >= 3) {
            const std::uint8_t p = img->photometric;
            const bool ok = p == kRgb || (p >= kYbrFull && p <= kYbrPartial420) || (p == kCmyk && img->samples == 4) ||
                            ((p == kYbrIct || p == kYbrRct) && img->codec);
            if (!ok) return kUnsupported;
        }
        std::vector<ByteVector> frames;
        FrameLayout fl;
        for (const FrameRecord& f : img->frames) {
            ByteVector stored;
            if (append_stored(*img, f, !palette, stored, fl) != render::render_error::kOk) return kUnsupported;
            const bool width_ok = fl.width == 1 || fl.width == 2 || target == kExplicitLE;
            if (fl.rows != img->rows || fl.columns != img->columns || fl.samples != img->samples ||
                fl.width * 8 < img->bits_allocated || !width_ok)
                return kUnsupported;
            frames.push_back(std::move(stored));
        }
        const std::uint16_t bits_allocated = std::uint16_t(fl.width * 8);

        // The new Pixel Data value.
        std::vector<std::uint8_t> pixel_value;
        VR pixel_vr = vr::OB;
        bool encapsulated = true;
        if (target == kExplicitLE) {
            encapsulated = false;
            pixel_vr = bits_allocated > 8 ? vr::OW : vr::OB;
            for (const ByteVector& f : frames) pixel_value.insert(pixel_value.end(), f.begin(), f.end());
            if (pixel_value.size() & 1) pixel_value.push_back(0);
        } else {
            EncodeRequest req;
            req.columns = img->columns, req.rows = img->rows, req.bits_allocated = bits_allocated;
            req.bits_stored = (img->bits_stored && img->bits_stored <= bits_allocated) ? img->bits_stored : bits_allocated;
            req.samples = img->samples, req.is_signed = img->pixel_representation == 1, req.quality = quality;
            std::vector<ByteVector> encoded;
            for (const ByteVector& f : frames) {
                ByteVector e = encode_wrap(f.data(), f.size(), req, target);
                if (e.empty()) return kUnsupported;
                encoded.push_back(std::move(e));
            }
            std::vector<std::uint8_t> table;
            std::uint32_t offset = 0;
            for (const ByteVector& e : encoded) {
                const std::uint32_t le = offset;
                table.insert(table.end(), reinterpret_cast<const std::uint8_t*>(&le), reinterpret_cast<const std::uint8_t*>(&le) + 4);
                offset += std::uint32_t(8 + e.size() + (e.size() & 1));
            }
            append_implicit(pixel_value, tags::kItem, table.data(), table.size());
            for (ByteVector& e : encoded) {
                if (e.size() & 1) e.push_back(0);
                append_implicit(pixel_value, tags::kItem, e.data(), e.size());
            }
            static constexpr std::uint8_t kEnd[8] = {0xFE, 0xFF, 0xDD, 0xE0, 0, 0, 0, 0};
            pixel_value.insert(pixel_value.end(), kEnd, kEnd + 8);
        }

        // Attribute updates, in tag order among the copied elements.
        const bool lossy = is_lossy_target(target, quality);
        Dataset converted;
        const Dataset& ds = little_endian(img->dataset, converted);
        if (!ds.readable()) return kUnsupported;
        const Elements& elements = ds.elements();
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
            if (sop_instance.size() > 64) return kBadUid;
            replace[tags::kSOPInstanceUID] = {vr::UI, padded_text(sop_instance, '\0')};
            replace[tags::kLossyImageCompression] = {vr::CS, "01"};
            const std::string name(standard_name(target));
            replace[tags::kLossyImageCompressionMethod] = {
                vr::CS, padded_text(method.empty() ? name : method + "\\" + name)};
        }
        if (img->samples >= 3) {
            const std::uint16_t planar = target == kRle ? 1 : 0;
            replace[tags::kPlanarConfiguration] = {vr::US, std::string(reinterpret_cast<const char*>(&planar), 2)};
            replace[tags::kPhotometricInterpretation] = {vr::CS, padded_text(colour_photometric(target))};
        }
        replace[tags::kExtendedOffsetTable] = {0, ""};  // the old fragments' Extended Offset Table goes with them
        replace[tags::kExtendedOffsetTableLengths] = {0, ""};
        replace[tags::kFloatPixelData] = {0, ""};
        replace[tags::kDoubleFloatPixelData] = {0, ""};

        std::vector<std::uint8_t> new_body;
        new_body.reserve(ds.body().size() + pixel_value.size());
        EvrElementWriter w(new_body);
        auto write_pixels = [&] {
            if (encapsulated) {
                static constexpr std::uint8_t kHeader[12] = {0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
                new_body.insert(new_body.end(), kHeader, kHeader + 12);
                new_body.insert(new_body.end(), pixel_value.begin(), pixel_value.end());
                return true;
            }
            return w.append(0x7FE0, 0x0010, pixel_vr, pixel_value.data(), pixel_value.size());
        };
        auto pending = replace.begin();
        auto flush_before = [&](Tag tag) {
            for (; pending != replace.end() && pending->first < tag; ++pending)
                if (pending->second.first)
                    w.append(tag_group(pending->first), tag_element(pending->first), pending->second.first,
                             reinterpret_cast<const std::uint8_t*>(pending->second.second.data()), pending->second.second.size());
        };
        bool pixels_written = false;
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
            if (!write_explicit(e, new_body)) return kUnsupported;
        }
        flush_before(tags::kPixelData);
        if (!pixels_written) write_pixels();
        flush_before(0xFFFFFFFF);
        if (Part10Wrap(sop_class, sop_instance, new_body, target, out) != wrap_result::kOk) return kBadUid;
        return kOk;
    } catch (const std::bad_alloc&) {
        return transcode_status::kNoMemory;
    }
}

}  // namespace loamwerk::render
