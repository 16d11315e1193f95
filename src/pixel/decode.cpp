#include "pixel/decode.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <stdexcept>

#include "core/bytes.hpp"
#include "core/parallel.hpp"
#include "pixel/present.hpp"
#include "pixel/unpack.hpp"

namespace loamwerk::render {

std::string_view render_error_message(int code) {
    switch (code) {
    case 0: return "loamkern decode failed";
    case 1: return "instance has no pixel data";
    case 2: return "frame index out of range";
    case 3: return "pixel format not supported by the render path";
    case 4: return "rendered region/viewport outside image";
    case 5: return "image encode failed";
    case 6: return "this build lacks the encoder for that format";
    case 7: return "video frame decode failed";
    default: return "unknown render error";
    }
}

namespace {

bool is_ybr(std::uint8_t p) { return p >= kYbrFull && p <= kYbrPartial420; }

}  // namespace

int append_stored(const RenderImage& img, const FrameRecord& f, bool present, ByteVector& out,
                  FrameLayout& layout) {
    if (is_video_syntax(img.syntax)) return render_error::kVideoFrame;
    if (!f.has_decoded && !f.source) return render_error::kNoPixelData;
    // Samples of more than 64 bits come only from a damaged header.
    if (f.bits == 0 || f.bits > 64) return render_error::kUnsupportedFormat;
    const bool decoded = f.has_decoded;
    StoredSource src;
    src.data = decoded ? f.decoded.data() : f.source;
    src.size = decoded ? f.decoded.size() : f.source_size;
    src.bit_offset = decoded ? 0 : f.source_bit_offset;
    src.big_endian = !decoded && img.big_endian;
    src.words_for_bytes = !decoded && img.words_for_bytes;
    src.packed_422 = !decoded && (f.photometric == kYbrFull422 || f.photometric == kYbrPartial422);
    src.planar = f.planar == 1 && f.samples >= 2;
    src.one_bit = f.bits == 1;
    src.rows = f.rows, src.columns = f.columns, src.samples = f.samples, src.bits = f.bits;
    src.bits_stored = img.bits_stored;
    src.sign_extend = img.pixel_representation == 1 && !img.float_pixels && !img.double_pixels;

    const std::size_t base = out.size();
    const StoredLayout stored = unpack_stored(src, out);
    layout.rows = f.rows, layout.columns = f.columns, layout.samples = stored.samples, layout.width = stored.width;
    layout.photometric = f.photometric;
    if (img.float_pixels) layout.dtype = "float32";
    else if (img.double_pixels) layout.dtype = "float64";
    else layout.dtype = std::string(img.pixel_representation ? "int" : "uint") + std::to_string(stored.width * 8);
    if (!present) return render_error::kOk;

    const std::size_t pixels = std::size_t(f.rows) * f.columns;
    if (f.photometric == kPaletteColor && stored.samples == 1) {
        ByteVector rgb;
        const bool sixteen = (img.flags & kPalette16) != 0;
        const int rc = palette_expand(img, out.data() + base, out.size() - base, pixels, stored.width,
                                      img.pixel_representation == 1, sixteen, rgb);
        if (rc != status::kOk) return render_error::kUnsupportedFormat;
        out.resize(base);
        out.insert(out.end(), rgb.begin(), rgb.end());
        layout.samples = 3, layout.width = sixteen ? 2 : 1, layout.dtype = sixteen ? "uint16" : "uint8";
        layout.photometric = kRgb;
    } else if (is_ybr(f.photometric) && stored.samples == 3 && stored.width == 1 && f.photometric != kYbrIct &&
               f.photometric != kYbrRct) {
        ybr_to_rgb(f.photometric, out.data() + base, pixels);
        layout.photometric = kRgb;
    } else if (f.photometric == kCmyk && stored.samples == 4 && stored.width == 1) {
        ByteVector rgb(pixels * 3);
        cmyk_to_rgb(out.data() + base, pixels, rgb.data());
        out.resize(base);
        out.insert(out.end(), rgb.begin(), rgb.end());
        layout.samples = 3, layout.photometric = kRgb;
    }
    return render_error::kOk;
}

int append_rendered(const RenderImage& img, std::size_t index, ByteVector& out, FrameLayout& layout,
                    ByteVector& scratch) {
    const FrameRecord& f = img.frames[index];
    if (f.samples == 1 && f.photometric != kPaletteColor) {
        scratch.clear();
        if (int rc = append_stored(img, f, false, scratch, layout); rc != render_error::kOk) return rc;
        const std::size_t count = std::size_t(f.rows) * f.columns;
        const std::size_t base = out.size();
        out.resize(base + count * 4);
        modality_transform(img, index, scratch.data(), count, layout.width,
                           img.pixel_representation == 1 && !img.float_pixels, img.float_pixels,
                           reinterpret_cast<float*>(out.data() + base), nullptr, nullptr);
        layout.width = 4, layout.dtype = "float32";
        return render_error::kOk;
    }
    scratch.clear();
    if (int rc = append_stored(img, f, true, scratch, layout); rc != render_error::kOk) return rc;
    if (layout.width == 1 || layout.dtype == "uint16") {  // RGB 8-bit, or 16-bit palette output
        out.insert(out.end(), scratch.begin(), scratch.end());
        return render_error::kOk;
    }
    // Colour of more than 8 bits: float32 samples.
    const std::size_t count = scratch.size() / layout.width, base = out.size();
    out.resize(base + count * 4);
    auto* o = reinterpret_cast<float*>(out.data() + base);
    const std::uint8_t* s = scratch.data();
    const bool is_signed = img.pixel_representation == 1;
    for (std::size_t i = 0; i < count; ++i) {
        if (layout.width == 2) o[i] = is_signed ? float(std::int16_t(load_le16(s + 2 * i))) : float(load_le16(s + 2 * i));
        else if (layout.width == 4) o[i] = is_signed ? float(std::int32_t(load_le32(s + 4 * i))) : float(load_le32(s + 4 * i));
        else o[i] = 0;
    }
    layout.width = 4, layout.dtype = "float32";
    return render_error::kOk;
}

namespace {

std::vector<double> numbers(const std::string& text) {
    std::vector<double> out;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\\', start);
        if (end == std::string::npos) end = text.size();
        std::string_view c(text.data() + start, end - start);
        while (!c.empty() && c.front() == ' ') c.remove_prefix(1);
        while (!c.empty() && c.back() == ' ') c.remove_suffix(1);
        if (!c.empty() && c.front() == '+') c.remove_prefix(1);
        double v;
        if (c.empty() || std::from_chars(c.data(), c.data() + c.size(), v).ec != std::errc{}) return {};
        out.push_back(v);
        start = end + 1;
    }
    return out;
}

void fill_meta(const RenderImage& img, DecodeResult& r) {
    r.rows = img.rows, r.columns = img.columns, r.samples_per_pixel = img.samples;
    r.bits_allocated = img.bits_allocated, r.bits_stored = img.bits_stored;
    r.pixel_representation = img.pixel_representation, r.planar_configuration = img.planar;
    r.modality = img.modality, r.series_instance_uid = img.series_uid, r.sop_instance_uid = img.sop_instance;
    r.study_instance_uid = img.study_uid, r.frame_of_reference_uid = img.frame_of_reference_uid;
    if (const auto n = numbers(img.instance_number); n.size() == 1) r.instance_number = long(n[0]);
    r.rescale_slope = img.rescale_slope, r.rescale_intercept = img.rescale_intercept;
    if (img.has_window) r.window_center = img.window_center, r.window_width = img.window_width;
    if (const auto t = numbers(img.slice_thickness); t.size() == 1) r.slice_thickness = t[0];
    r.pixel_spacing = numbers(img.pixel_spacing);
    r.image_position_patient = numbers(img.image_position);
    r.image_orientation_patient = numbers(img.image_orientation);
}


}  // namespace

namespace {

[[noreturn]] void throw_truncated(const std::string& label) {
    throw std::invalid_argument(
        "The number of bytes of pixel data is less than expected \xE2\x80\x94 the dataset may be corrupted or "
        "truncated: " + label);
}

[[noreturn]] void throw_undecodable(const RenderImage& img, const std::string& label) {
    throw std::runtime_error(img.problem.empty() ? "no decodable image frames: " + label
                                                 : "no decodable image frames (" + img.problem + "): " + label);
}

// Native little-endian frames whose stored values are the file's bytes, back to back, within
// `file` itself (a deflated data set's frames live in the image's own inflated copy instead).
bool frames_are_file_bytes(const RenderImage& img, std::span<const std::uint8_t> file, std::size_t first,
                           std::size_t last, bool present) {
    if (img.big_endian || img.codec || !img.fragments.empty() || img.native != img.frames[first].source) return false;
    const auto begin = reinterpret_cast<std::uintptr_t>(file.data()), at = reinterpret_cast<std::uintptr_t>(img.native);
    if (at < begin || at >= begin + file.size() || img.native_size > begin + file.size() - at) return false;
    const FrameRecord& f = img.frames[first];
    if (f.bits == 1 || f.photometric == kYbrFull422 || f.photometric == kYbrPartial422 ||
        (f.planar == 1 && f.samples > 1))
        return false;
    if (present && (f.photometric == kPaletteColor || (f.photometric >= kYbrFull && f.photometric <= kYbrPartial420) ||
                    f.photometric == kCmyk))
        return false;
    const unsigned container = (f.bits + 7u) / 8u * 8u;
    const unsigned b = (img.bits_stored >= 1 && img.bits_stored <= f.bits) ? img.bits_stored : f.bits;
    if (img.pixel_representation == 1 && !img.float_pixels && !img.double_pixels && b < container) return false;
    const std::size_t frame_bytes = pixel_count(f) * f.samples * (container / 8);
    for (std::size_t i = first; i < last; ++i)
        if (img.frames[i].truncated || img.frames[i].source != img.native + i * frame_bytes ||
            img.frames[i].source_size != frame_bytes)
            return false;
    return true;
}

// A decoded frame whose stored values are its decoder's output unchanged.
bool decoded_is_final(const RenderImage& img, const FrameRecord& f, bool present) {
    if (!f.has_decoded || f.bits == 1 || (f.planar == 1 && f.samples > 1)) return false;
    if (present && (f.photometric == kPaletteColor || (f.photometric >= kYbrFull && f.photometric <= kYbrPartial420) ||
                    f.photometric == kCmyk))
        return false;
    const unsigned container = (f.bits + 7u) / 8u * 8u;
    const unsigned b = (img.bits_stored >= 1 && img.bits_stored <= f.bits) ? img.bits_stored : f.bits;
    if (img.pixel_representation == 1 && b < container) return false;
    return f.decoded.size() == pixel_count(f) * f.samples * (container / 8);
}

DecodeResult decode_impl(std::span<const std::uint8_t> buffer, OwnedBuffer* file, const std::string& label,
                         long frame, bool rescale, unsigned flags, std::size_t threads) {
    // Frames are located first and only the selected ones decoded, on worker threads.
    auto img = open_or_throw(buffer, label, flags | kDeferDecode);
    const std::size_t count = img->frames.size();
    if (frame < 0 || std::size_t(frame) > count)
        throw std::runtime_error("frame out of range (1.." + std::to_string(count) + "): " + label);
    const std::size_t first = frame ? std::size_t(frame) - 1 : 0;
    std::size_t last = frame ? std::size_t(frame) : count;
    const std::size_t selected = last - first;
    if (const int rc = decode_pending(*img, first, last, threads); rc == status::kTruncated) {
        if (!(flags & kLenient)) throw_truncated(label);
    } else if (rc != status::kOk) {
        throw_undecodable(*img, label);
    }

    DecodeResult r;
    FrameLayout first_layout;
    ByteVector scratch;
    const bool present = !(flags & kStrictStored);
    if (!rescale && selected == 1 && decoded_is_final(*img, img->frames[first], present)) {
        // A codec's output that needs no more work becomes the result as it is.
        ByteVector probe;
        append_stored(*img, img->frames[first], present, probe, first_layout);
        r.data = std::move(img->frames[first].decoded);
        last = first;
    } else if (file && !rescale && frames_are_file_bytes(*img, buffer, first, last, present)) {
        // Only the first frame is unpacked, for its layout; the array then views the file.
        ByteVector probe;
        append_stored(*img, img->frames[first], present, probe, first_layout);
        r.in_file = true;
        r.file_offset = std::size_t(img->frames[first].source - buffer.data());
        r.file_bytes = probe.size() * (last - first);
        last = first;
    }
    const auto convert = [&](std::size_t i, ByteVector& out, FrameLayout& l, ByteVector& work) {
        return rescale ? append_rendered(*img, i, out, l, work) : append_stored(*img, img->frames[i], present, out, l);
    };
    const auto fail = [](int rc) {
        throw std::runtime_error("frame decode failed: " + std::string(render_error_message(rc)));
    };
    if (first < last) {
        if (const int rc = convert(first, r.data, first_layout, scratch); rc != render_error::kOk) fail(rc);
    }
    if (last - first > 1) {
        // The other frames have the first one's size. Conversion runs at memory speed: worker
        // threads are worth starting for megabytes of it.
        const std::size_t frame_bytes = r.data.size(), rest = last - first - 1;
        const std::size_t useful = std::max<std::size_t>(1, frame_bytes * rest / (std::size_t(4) << 20));
        const std::size_t runs = std::min({rest, useful, threads ? threads : worker_count(rest)});
        if (runs < 2) {
            r.data.reserve(frame_bytes * (last - first));
            FrameLayout l;
            for (std::size_t i = first + 1; i < last; ++i)
                if (const int rc = convert(i, r.data, l, scratch); rc != render_error::kOk) fail(rc);
        } else {
            // Runs of frames, each frame converted through a small buffer of the run's own that stays
            // in cache, then copied into its slot.
            r.data.resize(frame_bytes * (last - first));
            std::vector<int> failure(runs, render_error::kOk);
            parallel_for_workers(runs, runs, [&](std::size_t run) {
                ByteVector out, work;
                FrameLayout l;
                for (std::size_t k = run * rest / runs; k < (run + 1) * rest / runs; ++k) {
                    out.clear();
                    int rc = convert(first + 1 + k, out, l, work);
                    if (rc == render_error::kOk && out.size() != frame_bytes) rc = render_error::kUnsupportedFormat;
                    if (rc != render_error::kOk) {
                        failure[run] = rc;  // the runs are in frame order: the first failure is reported
                        return;
                    }
                    std::memcpy(r.data.data() + (k + 1) * frame_bytes, out.data(), frame_bytes);
                }
            });
            for (const int rc : failure)
                if (rc != render_error::kOk) fail(rc);
        }
    }
    r.frames = selected;
    r.dtype = first_layout.dtype;
    r.rescaled = rescale;
    r.shape = {r.frames, first_layout.rows, first_layout.columns};
    if (first_layout.samples != 1) r.shape.push_back(first_layout.samples);
    // Frames of another geometry than the first would not fit the array.
    const std::size_t expected = r.frames * std::size_t(first_layout.rows) * first_layout.columns *
                                 first_layout.samples * first_layout.width;
    if ((r.in_file ? r.file_bytes : r.data.size()) != expected)
        throw std::runtime_error("frame decode failed: " + std::string(render_error_message(3)));
    fill_meta(*img, r);
    r.photometric = photometric_name(first_layout.photometric ? first_layout.photometric : img->photometric);
    if (r.in_file) r.file = std::move(*file);  // the image's views die with it here; the bytes live on
    return r;
}

}  // namespace

std::unique_ptr<RenderImage> open_or_throw(std::span<const std::uint8_t> buffer, const std::string& label,
                                           unsigned flags) {
    auto img = open(buffer, flags);
    if (!img) throw std::runtime_error("decode failed (not a decodable DICOM): " + label);
    if (img->status == status::kTruncated) throw_truncated(label);
    if (img->frames.empty()) throw_undecodable(*img, label);
    return img;
}

DecodeResult decode(std::span<const std::uint8_t> buffer, const std::string& label, long frame, bool rescale,
                    unsigned flags, std::size_t threads) {
    return decode_impl(buffer, nullptr, label, frame, rescale, flags, threads);
}

DecodeResult decode_file(OwnedBuffer file, const std::string& label, long frame, bool rescale, unsigned flags,
                         std::size_t threads) {
    const auto bytes = file.span();
    return decode_impl(bytes, &file, label, frame, rescale, flags, threads);
}

std::size_t frame_count(std::span<const std::uint8_t> buffer, const std::string& label, std::size_t threads) {
    const auto img = open(buffer, kDeferDecode);
    if (!img) throw std::runtime_error("decode failed (not a decodable DICOM): " + label);
    // A frame that does not decode leaves no frame table, as when the frames are decoded in open.
    const int rc = decode_pending(*img, 0, img->frames.size(), threads);
    return rc == status::kOk || rc == status::kTruncated ? img->frames.size() : 0;
}

}  // namespace loamwerk::render
