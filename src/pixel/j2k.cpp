// JPEG 2000 and High-Throughput JPEG 2000 frames through OpenJPEG.
#include <algorithm>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <openjpeg.h>

#include "core/bytes.hpp"
#include "core/limits.hpp"
#include "pixel/codec_support.hpp"
#include "pixel/codec_versions.hpp"
#include "pixel/image.hpp"
#include "pixel/syntax.hpp"

namespace loamwerk::render {

namespace {

// Code-block style bit 6 in COD marks HT code-blocks.
bool is_jp2(const std::uint8_t* p, std::size_t n) {
    static constexpr std::uint8_t kSignature[12] = {0, 0, 0, 0x0C, 0x6A, 0x50, 0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A};
    return (n >= 12 && std::memcmp(p, kSignature, 12) == 0) || (n >= 4 && p[0] == 0x0D && p[1] == 0x0A && p[2] == 0x87 && p[3] == 0x0A);
}

struct MemoryStream {
    const std::uint8_t* data;
    std::size_t size, pos;
};

OPJ_SIZE_T stream_read(void* buffer, OPJ_SIZE_T n, void* user) {
    auto* s = static_cast<MemoryStream*>(user);
    if (s->pos >= s->size) return OPJ_SIZE_T(-1);
    const std::size_t k = std::min<std::size_t>(n, s->size - s->pos);
    std::memcpy(buffer, s->data + s->pos, k);
    s->pos += k;
    return k;
}
OPJ_OFF_T stream_skip(OPJ_OFF_T n, void* user) {
    auto* s = static_cast<MemoryStream*>(user);
    if (n < 0) {
        const std::size_t back = std::min<std::size_t>(std::size_t(-n), s->pos);
        s->pos -= back;
        return -OPJ_OFF_T(back);
    }
    const std::size_t k = std::min<std::size_t>(std::size_t(n), s->size - s->pos);
    s->pos += k;
    return OPJ_OFF_T(k);
}
OPJ_BOOL stream_seek(OPJ_OFF_T n, void* user) {
    auto* s = static_cast<MemoryStream*>(user);
    if (n < 0 || std::size_t(n) > s->size) return OPJ_FALSE;
    s->pos = std::size_t(n);
    return OPJ_TRUE;
}
void discard(const char*, void*) {}

// Keeps OpenJPEG's first error message in words (the most specific one) for the frame's reason;
// a few of its messages are source expressions ("p_j2k->m_... > UINT_MAX"), which say nothing to users.
void keep_first_error(const char* message, void* into) {
    auto& text = *static_cast<std::string*>(into);
    if (!text.empty() || message == nullptr || std::strpbrk(message, "_>") != nullptr) return;
    text = message;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
}

struct CodecCloser {
    void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct StreamCloser {
    void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct ImageCloser {
    void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};

int clamp_to(double v, int max) { return v < 0 ? 0 : v > max ? max : int(v); }

// YCbCr components (4:4:4, 4:2:2 or 4:2:0) to RGB in place of the three components.
bool sycc_to_rgb(opj_image_t* img) {
    opj_image_comp_t* c = img->comps;
    const int w = int(c[0].w), h = int(c[0].h), prec = int(c[0].prec);
    const int offset = 1 << (prec - 1), max = (1 << prec) - 1;
    const int sx = int(c[0].w + c[1].w - 1) / int(std::max<OPJ_UINT32>(c[1].w, 1));
    const int sy = int(c[0].h + c[1].h - 1) / int(std::max<OPJ_UINT32>(c[1].h, 1));
    if (sx < 1 || sx > 2 || sy < 1 || sy > 2 || c[2].w != c[1].w || c[2].h != c[1].h) return false;
    std::vector<OPJ_INT32> r(std::size_t(w) * h), g(r.size()), b(r.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const std::size_t i = std::size_t(y) * w + x;
            const std::size_t ci = std::size_t(std::min<int>(y / sy, int(c[1].h) - 1)) * c[1].w +
                                   std::size_t(std::min<int>(x / sx, int(c[1].w) - 1));
            const int yy = c[0].data[i], cb = c[1].data[ci] - offset, cr = c[2].data[ci] - offset;
            r[i] = clamp_to(yy + std::trunc(1.402 * cr), max);
            g[i] = clamp_to(yy - std::trunc(0.344 * cb + 0.714 * cr), max);
            b[i] = clamp_to(yy + std::trunc(1.772 * cb), max);
        }
    for (int k = 0; k < 3; ++k) {
        std::vector<OPJ_INT32>& src = k == 0 ? r : k == 1 ? g : b;
        if (k > 0) {
            opj_image_data_free(c[k].data);
            c[k].data = static_cast<OPJ_INT32*>(opj_image_data_alloc(src.size() * sizeof(OPJ_INT32)));
            if (!c[k].data) return false;
            c[k].w = c[0].w, c[k].h = c[0].h, c[k].dx = c[0].dx, c[k].dy = c[0].dy;
        }
        std::memcpy(c[k].data, src.data(), src.size() * sizeof(OPJ_INT32));
    }
    return true;
}

// e-sYCC (signed chroma allowed) to RGB.
bool esycc_to_rgb(opj_image_t* img) {
    opj_image_comp_t* c = img->comps;
    if (c[1].w != c[0].w || c[2].w != c[0].w || c[1].h != c[0].h || c[2].h != c[0].h) return false;
    const int prec = int(c[0].prec), max = (1 << prec) - 1, flip = 1 << (prec - 1);
    const std::size_t n = std::size_t(c[0].w) * c[0].h;
    for (std::size_t i = 0; i < n; ++i) {
        const double y = c[0].data[i];
        const double cb = c[1].data[i] - (c[1].sgnd ? 0 : flip), cr = c[2].data[i] - (c[2].sgnd ? 0 : flip);
        c[0].data[i] = clamp_to(y - 0.0000368 * cb + 1.40199 * cr + 0.5, max);
        c[1].data[i] = clamp_to(1.0003 * y - 0.344125 * cb - 0.7141128 * cr + 0.5, max);
        c[2].data[i] = clamp_to(0.999823 * y + 1.77204 * cb - 0.000008 * cr + 0.5, max);
    }
    c[1].sgnd = c[2].sgnd = 0;
    return true;
}

// C, M, Y, K components to 8-bit R, G, B.
bool cmyk_components_to_rgb(opj_image_t* img) {
    opj_image_comp_t* c = img->comps;
    for (int k = 1; k < 4; ++k)
        if (c[k].w != c[0].w || c[k].h != c[0].h || c[k].dx != c[0].dx || c[k].dy != c[0].dy) return false;
    const std::size_t n = std::size_t(c[0].w) * c[0].h;
    double scale[4];
    for (int k = 0; k < 4; ++k) scale[k] = 1.0 / double((1u << c[k].prec) - 1u);
    for (std::size_t i = 0; i < n; ++i) {
        const double kk = 1.0 - c[3].data[i] * scale[3];
        for (int ch = 0; ch < 3; ++ch) c[ch].data[i] = clamp_to(255.0 * (1.0 - c[ch].data[i] * scale[ch]) * kk + 0.5, 255);
    }
    for (int ch = 0; ch < 3; ++ch) c[ch].prec = 8, c[ch].sgnd = 0;
    return true;  // the fourth component is now unused; the image still owns it
}

// Where the codestream's SOC and SIZ markers begin (after a JP2 file's boxes), or nullptr.
const std::uint8_t* codestream_start(const std::uint8_t* data, std::size_t size) {
    static constexpr std::uint8_t kSocSiz[4] = {0xFF, 0x4F, 0xFF, 0x51};
    const std::uint8_t* at = std::search(data, data + size, kSocSiz, kSocSiz + 4);
    return at == data + size ? nullptr : at;
}

// Tile-parts that declare more bytes than the data holds are given the length they have, in a
// copy made on the first change; returns the bytes to decode. On such a tile-part OpenJPEG 2.5.0
// reserves the declared length (up to 4 GB), and on a cut one reads memory it never wrote and past
// its tile buffer. SOT segments are found by their signature (their length is always 10), as the
// library resynchronises on markers after a damaged segment; FF 90 cannot occur in packet data.
const std::uint8_t* mend_cut_tile_parts(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& copy) {
    // Past a JP2 file's boxes; a bare codestream from its start, whatever follows its SOC.
    const std::uint8_t* start = is_jp2(data, size) ? codestream_start(data, size) : data;
    if (start == nullptr || size > 0xFFFFFFFFu) return data;
    static constexpr std::uint8_t kSot[4] = {0xFF, 0x90, 0x00, 0x0A};
    const std::boyer_moore_horspool_searcher find_sot(kSot, kSot + 4);
    const std::uint8_t* end = data + size;
    for (const std::uint8_t* at = std::search(start, end, find_sot); end - at >= 10;
         at = std::search(at + 4, end, find_sot)) {
        const std::uint64_t length = load_be32(at + 6);  // Psot: 0 runs to the end
        const std::size_t pos = std::size_t(at - data);
        if (length == 0 || pos + length <= size) continue;
        if (copy.empty()) copy.assign(data, end);
        store_be32(copy.data() + pos + 6, std::uint32_t(size - pos));
    }
    return copy.empty() ? data : copy.data();
}

// OpenJPEG keeps some kilobytes of coding parameters for every tile the SIZ marker declares, and
// sets them all up before it reads a tile: a corrupt tile size of 1 x 1 asks for gigabytes. The
// grid must fit the memory policy first. A SIZ too short or invalid is left for the library to refuse.
bool tile_grid_fits(const std::uint8_t* data, std::size_t size, FrameRecord& f) {
    constexpr double kBytesPerTile = 8192;
    const std::uint8_t* at = codestream_start(data, size);
    if (at == nullptr || data + size - at < 40) return true;
    const std::uint8_t* p = at + 8;  // Xsiz, after SOC, SIZ, Lsiz and Rsiz
    const std::uint64_t width = load_be32(p), height = load_be32(p + 4);
    const std::uint64_t tile_w = load_be32(p + 16), tile_h = load_be32(p + 20);
    const std::uint64_t tile_x0 = load_be32(p + 24), tile_y0 = load_be32(p + 28);
    if (tile_w == 0 || tile_h == 0 || tile_x0 >= width || tile_y0 >= height) return true;
    const double tiles = double((width - tile_x0 + tile_w - 1) / tile_w) * double((height - tile_y0 + tile_h - 1) / tile_h);
    if (tiles * kBytesPerTile <= double(limits::allowed(size))) return true;
    f.error = "the JPEG 2000 codestream declares " + std::to_string(std::uint64_t(tiles)) + " tiles of " +
              std::to_string(tile_w) + " x " + std::to_string(tile_h) + ", more than the memory limit allows";
    return false;
}

}  // namespace

int j2k_decode(const std::uint8_t* data, std::size_t size, FrameRecord& f) {
    // A cut tile-part is given the length it has: the library then reads only bytes that are there,
    // and decodes the packets they hold, as after any truncation.
    std::vector<std::uint8_t> mended;
    data = mend_cut_tile_parts(data, size, mended);
    std::unique_ptr<opj_codec_t, CodecCloser> codec(opj_create_decompress(is_jp2(data, size) ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
    if (!codec) return status::kNoMemory;
    opj_set_info_handler(codec.get(), discard, nullptr);
    opj_set_warning_handler(codec.get(), discard, nullptr);
    std::string library_error;
    opj_set_error_handler(codec.get(), keep_first_error, &library_error);
    // What failed, in the library's words when it gave any.
    const auto failed = [&](const char* what) {
        f.error = library_error.empty() ? std::string(what) : std::string(what) + " (" + library_error + ")";
        return status::kUnsupported;
    };
    MemoryStream ms{data, size, 0};
    // The library copies the input through this buffer: the codestream's own size is enough.
    const std::size_t buffer = std::clamp<std::size_t>(size, 4096, std::size_t(1) << 20);
    std::unique_ptr<opj_stream_t, StreamCloser> stream(opj_stream_create(buffer, OPJ_TRUE));
    if (!stream) return status::kNoMemory;
    opj_stream_set_read_function(stream.get(), stream_read);
    opj_stream_set_skip_function(stream.get(), stream_skip);
    opj_stream_set_seek_function(stream.get(), stream_seek);
    opj_stream_set_user_data(stream.get(), &ms, nullptr);
    opj_stream_set_user_data_length(stream.get(), size);
    opj_dparameters_t params;
    opj_set_default_decoder_parameters(&params);
    if (!opj_setup_decoder(codec.get(), &params)) return status::kUnsupported;
    opj_decoder_set_strict_mode(codec.get(), OPJ_FALSE);
    // On this thread only (0: no pool threads), whatever OPJ_NUM_THREADS says: a failed assertion is
    // contained only on the thread that runs the call.
    opj_codec_set_threads(codec.get(), 0);
    // An assertion in the library fails before it changes anything, so its objects are freed as
    // after any other error.
    const auto corrupt = [&] {
        f.error = "the JPEG 2000 decoder gave up on a corrupt codestream";
        return status::kUnsupported;
    };
    if (!tile_grid_fits(data, size, f)) return status::kUnsupported;
    opj_image_t* raw = nullptr;
    OPJ_BOOL read = OPJ_FALSE;
    auto read_header = [&] { read = opj_read_header(stream.get(), codec.get(), &raw); };
    if (!contain_abort(read_header)) return opj_image_destroy(raw), corrupt();
    if (!read) return failed("the JPEG 2000 codestream's header is unreadable");
    std::unique_ptr<opj_image_t, ImageCloser> image(raw);
    if (image->x1 - image->x0 > 65535 || image->y1 - image->y0 > 65535 || image->numcomps == 0 || image->numcomps > 4)
        return failed("the JPEG 2000 codestream declares an image larger than 65535 pixels a side or with more than "
                      "4 components");
    // OpenJPEG allocates 32 bits a sample for the whole image while it decodes.
    if (!frame_plan(f, "JPEG 2000", image->x1 - image->x0, image->y1 - image->y0, image->numcomps, 4, size)) return status::kUnsupported;
    OPJ_BOOL decoded = OPJ_FALSE;
    auto decode = [&] {
        decoded = opj_decode(codec.get(), stream.get(), image.get());
        if (decoded) opj_end_decompress(codec.get(), stream.get());
    };
    if (!contain_abort(decode)) return corrupt();
    if (!decoded) return failed("the JPEG 2000 codestream is corrupt or truncated");

    const std::uint8_t p = f.photometric;
    COLOR_SPACE space = image->color_space;
    if (p == kMonochrome1 || p == kMonochrome2) space = OPJ_CLRSPC_GRAY;
    else if (p == kRgb || p == kArgb) space = OPJ_CLRSPC_SRGB;
    else if (p >= kYbrFull && p <= kYbrRct) space = OPJ_CLRSPC_SYCC;
    else if (p == kCmyk) space = OPJ_CLRSPC_CMYK;
    else if (image->numcomps == 3 && (image->comps[1].dx != image->comps[0].dx || image->comps[1].dy != image->comps[0].dy))
        space = OPJ_CLRSPC_SYCC;
    else if (image->numcomps < 3) space = OPJ_CLRSPC_GRAY;
    bool converted = false;
    unsigned comps = image->numcomps;
    if (space == OPJ_CLRSPC_SYCC && p != kYbrIct && p != kYbrRct && image->numcomps == 3) {
        if (!sycc_to_rgb(image.get())) return status::kUnsupported;
        converted = true;
    } else if (space == OPJ_CLRSPC_EYCC && image->numcomps == 3) {
        if (!esycc_to_rgb(image.get())) return status::kUnsupported;
        converted = true;
    } else if (space == OPJ_CLRSPC_CMYK && image->numcomps == 4) {
        if (!cmyk_components_to_rgb(image.get())) return status::kUnsupported;
        converted = true, comps = 3;
    }
    const opj_image_comp_t* c = image->comps;
    for (unsigned k = 1; k < comps; ++k)
        if (c[k].w != c[0].w || c[k].h != c[0].h) return status::kUnsupported;
    unsigned prec = 0;
    for (unsigned k = 0; k < comps; ++k) prec = std::max<unsigned>(prec, c[k].prec);
    if (prec == 0 || prec > 16 || c[0].w == 0 || c[0].h == 0) return status::kUnsupported;
    // Subsampled components decode smaller than the canvas that was checked against the header.
    if (f.columns && f.rows && (c[0].w != f.columns || c[0].h != f.rows)) {
        f.error = "the JPEG 2000 image decodes to " + std::to_string(c[0].w) + " x " + std::to_string(c[0].h) +
                  " where Columns and Rows say " + std::to_string(f.columns) + " x " + std::to_string(f.rows);
        return status::kUnsupported;
    }
    const std::size_t bytes = prec <= 8 ? 1 : 2, pixels = std::size_t(c[0].w) * c[0].h;
    f.decoded.resize(pixels * comps * bytes);
    for (unsigned k = 0; k < comps; ++k) {
        const int lo = c[k].sgnd ? -(1 << (c[k].prec - 1)) : 0;
        const int hi = c[k].sgnd ? (1 << (c[k].prec - 1)) - 1 : (1 << c[k].prec) - 1;
        const OPJ_INT32* src = c[k].data;
        std::uint8_t* o = f.decoded.data() + k * bytes;
        for (std::size_t i = 0; i < pixels; ++i, o += comps * bytes) {
            const int v = std::clamp<int>(src[i], lo, hi);
            if (bytes == 1) *o = std::uint8_t(v);
            else o[0] = std::uint8_t(v), o[1] = std::uint8_t(unsigned(v) >> 8);
        }
    }
    f.columns = std::uint16_t(c[0].w), f.rows = std::uint16_t(c[0].h), f.samples = std::uint16_t(comps);
    f.bits = std::uint16_t(bytes == 1 ? 8 : prec), f.planar = 0;
    if (converted) f.photometric = kRgb;
    if (image->icc_profile_buf && image->icc_profile_len)
        f.icc.assign(image->icc_profile_buf, image->icc_profile_buf + image->icc_profile_len);
    return status::kOk;
}

// High-Throughput code-blocks decode through OpenJPEG too: its assertions can be contained (see
// contain_abort), where a corrupt code-block ends the process inside Debian's OpenJPH.
int htj2k_decode(const std::uint8_t* data, std::size_t size, FrameRecord& f) {
    // Some writers put bytes before the codestream's SOC and SIZ markers.
    if (size >= 2 && !(data[0] == 0xFF && data[1] == 0x4F)) {
        static constexpr std::uint8_t kStart[4] = {0xFF, 0x4F, 0xFF, 0x51};
        const std::uint8_t* at = std::search(data, data + size, kStart, kStart + 4);
        if (at == data + size) return status::kUnsupported;
        size -= std::size_t(at - data), data = at;
    }
    return j2k_decode(data, size, f);
}

}  // namespace loamwerk::render
