#include "deident/pixanon.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <new>
#include <string>

#include "core/bytes.hpp"
#include "core/dataset.hpp"
#include "core/dictionary.hpp"
#include "core/writer.hpp"
#include "core/tags.hpp"
#include "pixel/decode.hpp"
#include "pixel/image.hpp"

namespace loamwerk::pixanon {

std::string_view message(int code) {
    switch (code) {
    case result::kNotPart10: return "not a parseable Part-10 file";
    case result::kNotByteWalkable: return "big-endian / deflated dataset not supported";
    case result::kNoFrames: return "pixel decode produced no frames";
    case result::kFormat: return "pixel format cannot be blacked out here";
    case result::kNoMatch: return "no signature matched and require_match set";
    case result::kReassembly: return "Part-10 re-assembly failed";
    default: return "unknown pixanon error";
    }
}

namespace {

std::string upper(std::string s) {
    for (char& c : s) c = (c >= 'a' && c <= 'z') ? char(c - 32) : c;
    return s;
}

// An attribute's text for signature matching: the first value of binary integers in decimal,
// anything else with trailing spaces and NULs removed.
bool attribute_text(const std::vector<ElementRef>& elements, Tag tag, std::string& out) {
    for (const ElementRef& e : elements) {
        if (e.tag != tag || !e.value) continue;
        if (e.vr == vr::US || e.vr == vr::SS) {
            if (e.length < 2) return false;
            const std::uint16_t v = load_le16(e.value);
            out = std::to_string(e.vr == vr::SS ? std::int32_t(std::int16_t(v)) : std::int32_t(v));
        } else if (e.vr == vr::UL || e.vr == vr::SL) {
            if (e.length < 4) return false;
            const std::uint32_t v = load_le32(e.value);
            out = e.vr == vr::SL ? std::to_string(std::int32_t(v)) : std::to_string(v);
        } else {
            out = std::string(trim_padding(as_text(e.value, std::size_t(e.length))));
        }
        out = upper(out);
        return true;
    }
    return false;
}

bool matches(const SignatureRow& s, const std::vector<ElementRef>& elements) {
    for (std::size_t i = 0; i < s.conditions; ++i) {
        const SignatureCondition& c = kConditions[s.first_condition + i];
        std::string value;
        if (!attribute_text(elements, c.tag, value)) return false;
        const std::string want = upper(c.text);
        if (c.contains ? value.find(want) == std::string::npos : value != want) return false;
    }
    return true;
}

std::string even(std::string v) {
    if (v.size() & 1) v.push_back(' ');
    return v;
}

}  // namespace

std::string matching_signature(const std::vector<ElementRef>& top) {
    for (std::size_t k = 0; k < kSignatureCount; ++k) {
        if (!matches(kSignatures[k], top)) continue;
        std::string out;
        for (std::size_t i = 0; i < kSignatures[k].conditions; ++i) {
            const SignatureCondition& c = kConditions[kSignatures[k].first_condition + i];
            const dict::TagInfo info = dict::lookup_tag(c.tag);
            if (!out.empty()) out += ", ";
            out += info.found ? std::string(info.keyword) : "tag " + std::to_string(c.tag);
            out += c.contains ? " contains '" : " is '";
            out += c.text;
            out += "'";
        }
        return out;
    }
    return "";
}

int clean(std::span<const std::uint8_t> input, const std::vector<Region>& caller_regions, bool use_library,
          bool require_match, std::vector<std::uint8_t>& out, std::span<const std::uint8_t> match_source) {
    try {
        const Dataset ds = Dataset::borrow(input, Dataset::Body::kAsStored);
        const DatasetLayout& layout = ds.layout();
        if (!layout.has_meta) return result::kNotPart10;
        if (!layout.byte_walkable()) return result::kNotByteWalkable;
        const std::vector<ElementRef>& elements = ds.elements();

        Dataset source;
        if (!match_source.empty()) source = Dataset::borrow(match_source, Dataset::Body::kAsStored);
        static const std::vector<ElementRef> kNone;
        const std::vector<ElementRef>& matched_against =
            match_source.empty() ? elements : source.layout().byte_walkable() ? source.elements() : kNone;
        std::vector<Region> regions = caller_regions;
        if (use_library)
            for (std::size_t k = 0; k < kSignatureCount; ++k)
                if (matches(kSignatures[k], matched_against))
                    for (std::size_t i = 0; i < kSignatures[k].regions; ++i) {
                        const SignatureRegion& r = kRegions[kSignatures[k].first_region + i];
                        regions.push_back(Region{double(r.x), double(r.y), double(r.w), double(r.h)});
                    }
        if (regions.empty()) {
            if (require_match) return result::kNoMatch;
            out.assign(input.begin(), input.end());
            return result::kOk;
        }

        // Stored samples: colour stays in its decoded space, palette indices stay indices.
        const auto img = render::open(input, 0);
        if (!img || img->frames.empty()) return result::kNoFrames;
        if (img->float_pixels || img->double_pixels) return result::kFormat;
        ByteVector pixels;
        render::FrameLayout fl;
        std::vector<std::size_t> starts;
        for (const render::FrameRecord& f : img->frames) {
            starts.push_back(pixels.size());
            if (render::append_stored(*img, f, false, pixels, fl) != render::render_error::kOk) return result::kNoFrames;
            if (fl.width != 1 && fl.width != 2) return result::kFormat;
        }
        const unsigned width = fl.width, samples = fl.samples, cols = fl.columns, rows = fl.rows;
        const unsigned bits = img->bits_stored && img->bits_stored <= width * 8 ? img->bits_stored : width * 8;
        const bool is_signed = img->pixel_representation == 1;
        std::uint8_t photometric = fl.photometric;
        if (photometric >= render::kYbrFull && photometric <= render::kYbrPartial420) photometric = render::kYbrFull;
        // The darkest value of each sample.
        std::int64_t dark[4] = {0, 0, 0, 0};
        if (samples == 1) {
            const std::int64_t lo = is_signed ? -(std::int64_t(1) << (bits - 1)) : 0;
            const std::int64_t hi = is_signed ? (std::int64_t(1) << (bits - 1)) - 1 : (std::int64_t(1) << bits) - 1;
            dark[0] = photometric == render::kMonochrome1 ? hi : lo;
        } else if (photometric == render::kYbrFull) {
            dark[1] = dark[2] = std::int64_t(1) << (bits - 1);
        }
        for (std::size_t f = 0; f < starts.size(); ++f) {
            std::uint8_t* frame = pixels.data() + starts[f];
            for (const Region& r0 : regions) {
                if (r0.frame != 0xFFFFFFFFu && r0.frame != f + 1) continue;
                Region r = r0;
                if (r.relative) r.x *= cols, r.w *= cols, r.y *= rows, r.h *= rows;
                const long x0 = std::lround(std::max(r.x, 0.0)), y0 = std::lround(std::max(r.y, 0.0));
                const long x1 = std::lround(std::min(r.x + r.w, double(cols)));
                const long y1 = std::lround(std::min(r.y + r.h, double(rows)));
                if (x1 <= x0 || y1 <= y0) continue;
                for (long y = y0; y < y1; ++y)
                    for (long x = x0; x < x1; ++x)
                        for (unsigned s = 0; s < samples; ++s) {
                            std::uint8_t* p = frame + ((std::size_t(y) * cols + std::size_t(x)) * samples + s) * width;
                            const auto v = std::uint16_t(dark[s] & 0xFFFF);
                            if (width == 1) *p = std::uint8_t(v);
                            else std::memcpy(p, &v, 2);
                        }
            }
        }

        // The data set in explicit VR with the pixel attributes rewritten and native pixels last.
        std::map<Tag, std::pair<VR, std::string>> set;
        auto us = [](unsigned v) { const std::uint16_t w = std::uint16_t(v); return std::string(reinterpret_cast<const char*>(&w), 2); };
        if (img->photometric != render::kPhotoUnknown ||
            std::any_of(elements.begin(), elements.end(),
                        [](const ElementRef& e) { return e.tag == tags::kPhotometricInterpretation; })) {
            static constexpr const char* kNames[] = {"", "MONOCHROME1", "MONOCHROME2", "PALETTE COLOR", "RGB", "HSV", "ARGB", "CMYK", "YBR_FULL"};
            const char* name = photometric <= render::kYbrFull ? kNames[photometric] : "";
            if (*name) set[tags::kPhotometricInterpretation] = {vr::CS, even(name)};
        }
        set[tags::kSamplesPerPixel] = {vr::US, us(samples)};
        set[tags::kBitsAllocated] = {vr::US, us(width * 8)};
        set[tags::kBitsStored] = {vr::US, us(bits)};
        set[tags::kHighBit] = {vr::US, us(bits - 1)};
        set[tags::kPixelRepresentation] = {vr::US, us(is_signed ? 1 : 0)};
        if (samples >= 2) set[tags::kPlanarConfiguration] = {vr::US, us(0)};
        set[tags::kBurnedInAnnotation] = {vr::CS, "NO"};
        const Tag drop[] = {tags::kPixelData,         tags::kExtendedOffsetTable, tags::kExtendedOffsetTableLengths,
                            tags::kIconImageSequence, tags::kFloatPixelData,    tags::kDoubleFloatPixelData};
        std::vector<std::uint8_t> body;
        auto pending = set.begin();
        auto flush_before = [&](Tag t) {
            for (; pending != set.end() && pending->first < t; ++pending)
                EvrElementWriter(body).append(tag_group(pending->first), tag_element(pending->first), pending->second.first,
                                              reinterpret_cast<const std::uint8_t*>(pending->second.second.data()),
                                              pending->second.second.size());
        };
        for (const ElementRef& e : elements) {
            if (tag_group(e.tag) == 0x0002 || tag_group(e.tag) == 0xFFFE) continue;
            if (std::find(std::begin(drop), std::end(drop), e.tag) != std::end(drop)) continue;
            flush_before(e.tag);
            if (pending != set.end() && pending->first == e.tag) {
                flush_before(e.tag + 1);
                continue;
            }
            if (!write_explicit(e, body)) return result::kReassembly;
        }
        flush_before(0xFFFFFFFF);
        if (pixels.size() & 1) pixels.push_back(0);
        if (!EvrElementWriter(body).append(0x7FE0, 0x0010, width == 1 ? vr::OB : vr::OW, pixels.data(), pixels.size()))
            return result::kReassembly;
        ByteSink sink;
        if (!write_object_file_meta(sink, layout.meta.sop_class, layout.meta.sop_instance) ||
            !sink.append(body.data(), body.size()))
            return result::kReassembly;
        out.assign(sink.data(), sink.data() + sink.size());
        return result::kOk;
    } catch (const std::bad_alloc&) {
        return result::kReassembly;
    }
}

}  // namespace loamwerk::pixanon
