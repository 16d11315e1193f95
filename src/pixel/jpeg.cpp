// JPEG frames: libjpeg-turbo for 8-bit DCT streams; DCMTK's IJG-based 8/12/16-bit codecs for
// 12-bit DCT and the lossless processes, which Debian's libjpeg-turbo lacks.
#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include <jpeglib.h>

#include "dcmtk/config/osconfig.h"
#include "dcmtk/dcmjpeg/djcparam.h"
#include "dcmtk/dcmjpeg/djdijg12.h"
#include "dcmtk/dcmjpeg/djdijg16.h"
#include "dcmtk/dcmjpeg/djdijg8.h"

#include "core/bytes.hpp"
#include "pixel/codec_support.hpp"
#include "pixel/image.hpp"
#include "pixel/syntax.hpp"

namespace loamwerk::render {

namespace {

// What the marker segments before the first scan say.
struct JpegHeader {
    int sof = -1;  // 0xC0..0xCF frame marker low byte
    int precision = 0, width = 0, height = 0, components = 0;
    int predictor = 0;  // Ss of the first scan (lossless predictor selection)
    bool jfif = false, adobe = false;
    int adobe_transform = -1;
    bool cornell_comment = false, dc_symbol_over_15 = false;
    std::vector<std::uint8_t> icc;
    bool lossless() const { return sof == 0xC3 || sof == 0xC7 || sof == 0xCB || sof == 0xCF; }
};

bool parse_header(const std::uint8_t* p, std::size_t n, JpegHeader& h) {
    if (n < 4 || p[0] != 0xFF || p[1] != 0xD8) return false;
    std::size_t pos = 2;
    std::vector<std::pair<int, std::vector<std::uint8_t>>> icc_chunks;
    while (pos + 4 <= n) {
        if (p[pos] != 0xFF) return false;
        const int marker = p[pos + 1];
        if (marker == 0xFF) {
            ++pos;  // fill byte
            continue;
        }
        if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            pos += 2;
            continue;
        }
        const std::size_t len = load_be16(p + pos + 2);
        if (len < 2 || pos + 2 + len > n) return false;
        const std::uint8_t* seg = p + pos + 4;
        const std::size_t seg_len = len - 2;
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            if (seg_len < 6) return false;
            h.sof = marker, h.precision = seg[0], h.height = load_be16(seg + 1), h.width = load_be16(seg + 3);
            h.components = seg[5];
        } else if (marker == 0xC4) {
            // DHT: class/id, 16 counts, then the symbols.
            std::size_t q = 0;
            while (q + 17 <= seg_len) {
                const bool dc = (seg[q] >> 4) == 0;
                std::size_t count = 0;
                for (int i = 0; i < 16; ++i) count += seg[q + 1 + i];
                if (q + 17 + count > seg_len) break;
                for (std::size_t i = 0; i < count && dc; ++i)
                    if (seg[q + 17 + i] > 15) h.dc_symbol_over_15 = true;
                q += 17 + count;
            }
        } else if (marker == 0xDA) {
            if (seg_len >= 1) {
                const std::size_t ns = seg[0];
                if (seg_len >= 1 + 2 * ns + 1) h.predictor = seg[1 + 2 * ns];
            }
            break;  // entropy-coded data follows
        } else if (marker == 0xFE) {
            const std::string_view text(reinterpret_cast<const char*>(seg), seg_len);
            if (text.substr(0, 13) == "MITRA_CORNELL" || text.substr(0, 7) == "CORNELL") h.cornell_comment = true;
        } else if (marker == 0xE0) {
            if (seg_len >= 5 && std::memcmp(seg, "JFIF\0", 5) == 0) h.jfif = true;
        } else if (marker == 0xEE) {
            if (seg_len >= 12 && std::memcmp(seg, "Adobe", 5) == 0) h.adobe = true, h.adobe_transform = seg[11];
        } else if (marker == 0xE2) {
            if (seg_len > 14 && std::memcmp(seg, "ICC_PROFILE\0", 12) == 0)
                icc_chunks.emplace_back(seg[12], std::vector<std::uint8_t>(seg + 14, seg + seg_len));
        } else if (marker == 0xD9) {
            break;
        }
        pos += 2 + len;
    }
    std::sort(icc_chunks.begin(), icc_chunks.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [seq, chunk] : icc_chunks) h.icc.insert(h.icc.end(), chunk.begin(), chunk.end());
    return h.sof >= 0;
}

// The input colour space of a 3-component stream: YCbCr or not.
bool input_is_ycbcr(const JpegHeader& h, std::uint8_t photometric) {
    if (h.jfif) return true;
    if (h.adobe) return h.adobe_transform != 0;
    return photometric == kYbrFull || photometric == kYbrFull422 || photometric == kYbrPartial422 ||
           photometric == kYbrPartial420;
}

// ---- libjpeg-turbo, 8-bit DCT -----------------------------------------------------------------

// Plain C-style body: nothing with a destructor lives between setjmp and longjmp.
int turbo_decode(const std::uint8_t* data, std::size_t size, int components, bool ycbcr, std::uint8_t* out,
                 std::size_t out_size) {
    jpeg_decompress_struct cinfo;
    JpegErrorJump err;
    cinfo.err = quiet_jpeg_errors(err);
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        return status::kUnsupported;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
    if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&cinfo);
        return status::kUnsupported;
    }
    if (components == 3) {
        cinfo.jpeg_color_space = ycbcr ? JCS_YCbCr : JCS_RGB;
        cinfo.out_color_space = JCS_RGB;
    } else if (components == 4) {
        cinfo.out_color_space = cinfo.jpeg_color_space == JCS_YCCK ? JCS_CMYK : cinfo.jpeg_color_space;
    } else {
        cinfo.out_color_space = JCS_GRAYSCALE;
    }
    jpeg_start_decompress(&cinfo);
    const std::size_t stride = std::size_t(cinfo.output_width) * cinfo.output_components;
    if (cinfo.output_components != components || stride * cinfo.output_height > out_size) {
        jpeg_destroy_decompress(&cinfo);
        return status::kUnsupported;
    }
    // Several rows a call: with subsampled chroma the library then upsamples straight into them
    // instead of through a spare row.
    constexpr unsigned kRows = 16;
    JSAMPROW rows[kRows];
    while (cinfo.output_scanline < cinfo.output_height) {
        const unsigned want = std::min<unsigned>(kRows, cinfo.output_height - cinfo.output_scanline);
        for (unsigned i = 0; i < want; ++i) rows[i] = out + stride * (cinfo.output_scanline + i);
        if (jpeg_read_scanlines(&cinfo, rows, want) == 0) break;  // a cut stream: what was read stays
    }
    jpeg_abort_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return status::kOk;
}

// ---- DCMTK's IJG codecs: 12-bit DCT and lossless ----------------------------------------------

int dcmtk_decode(const std::uint8_t* data, std::size_t size, const JpegHeader& h, bool ycbcr, std::uint8_t* out,
                 std::size_t out_size) {
    quiet_dcmtk();
    const bool quirk = h.lossless() && h.precision >= 13 && (h.cornell_comment || h.dc_symbol_over_15);
    const bool predictor_quirk = quirk && h.predictor >= 4;
    const DJCodecParameter params(ECC_lossyYCbCr, h.lossless() ? EDC_never : EDC_photometricInterpretation, EUC_never,
                                  EPC_colorByPixel, predictor_quirk, quirk);
    std::unique_ptr<DJDecoder> decoder;
    if (h.precision <= 8) decoder = std::make_unique<DJDecompressIJG8Bit>(params, ycbcr);
    else if (h.precision <= 12) decoder = std::make_unique<DJDecompressIJG12Bit>(params, ycbcr);
    else decoder = std::make_unique<DJDecompressIJG16Bit>(params, ycbcr);
    if (decoder->init().bad()) return status::kUnsupported;
    // The IJG source manager reads but never writes; the API just lacks const.
    const OFCondition rc = decoder->decode(const_cast<Uint8*>(data), Uint32(size), out, Uint32(out_size), OFFalse);
    return rc.good() ? 0 : 2;
}

// Lossless streams keep their stored colour space. Data labelled RGB whose second and third
// channels sit around 128 with little spread is really YCbCr.
bool looks_like_ycbcr(const std::uint8_t* p, std::size_t pixels) {
    if (pixels == 0) return false;
    double sum[2] = {0, 0}, sq[2] = {0, 0};
    for (std::size_t i = 0; i < pixels; ++i)
        for (int c = 0; c < 2; ++c) {
            const double v = p[3 * i + 1 + c];
            sum[c] += v, sq[c] += v * v;
        }
    for (int c = 0; c < 2; ++c) {
        const double mean = sum[c] / double(pixels), variance = sq[c] / double(pixels) - mean * mean;
        if (mean < 113 || mean > 143 || variance >= 800) return false;
    }
    return true;
}

}  // namespace

int jpeg_decode(const std::uint8_t* data, std::size_t size, FrameRecord& f) {
    JpegHeader h;
    if (!parse_header(data, size, h)) return status::kUnsupported;
    if (h.width <= 0 || h.height <= 0 || h.width > 65535 || h.height > 65535 || h.precision < 2 || h.precision > 16 ||
        (h.components != 1 && h.components != 3 && h.components != 4))
        return status::kUnsupported;
    const bool ycbcr = h.components == 3 && input_is_ycbcr(h, f.photometric);
    const std::size_t bytes = h.precision <= 8 ? 1 : 2;
    if (!frame_plan(f, "JPEG", std::uint64_t(h.width), std::uint64_t(h.height), std::uint64_t(h.components), bytes, size))
        return status::kUnsupported;
    const std::size_t out_size = std::size_t(h.width) * h.height * h.components * bytes;
    f.decoded.resize(out_size);
    std::memset(f.decoded.data(), 0, out_size);
    const bool turbo = !h.lossless() && h.precision == 8;
    const int rc = turbo ? turbo_decode(data, size, h.components, ycbcr, f.decoded.data(), out_size)
                         : dcmtk_decode(data, size, h, ycbcr, f.decoded.data(), out_size);
    if (rc != status::kOk) {
        f.decoded.clear();
        return rc;
    }
    f.columns = std::uint16_t(h.width), f.rows = std::uint16_t(h.height), f.samples = std::uint16_t(h.components);
    f.bits = std::uint16_t(bytes == 1 ? 8 : h.precision), f.planar = 0;
    f.icc = std::move(h.icc);
    if (!h.lossless() && h.components == 3) f.photometric = kRgb;  // converted by the library
    else if (h.lossless() && h.components == 3 && bytes == 1 && (f.photometric == kRgb || f.photometric == kPhotoUnknown) &&
             looks_like_ycbcr(f.decoded.data(), std::size_t(h.width) * h.height))
        f.photometric = kYbrFull;
    return status::kOk;
}

}  // namespace loamwerk::render
