// JPEG encoding: libjpeg-turbo for 8-bit baseline; DCMTK's IJG codecs for 12-bit extended and
// the lossless processes.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <jpeglib.h>

#include "dcmtk/config/osconfig.h"
#include "dcmtk/dcmjpeg/djcparam.h"
#include "dcmtk/dcmjpeg/djeijg12.h"
#include "dcmtk/dcmjpeg/djeijg16.h"
#include "dcmtk/dcmjpeg/djeijg8.h"

#include "pixel/codec_support.hpp"
#include "pixel/encode.hpp"

namespace loamwerk::render {

namespace {

// Plain C-style body: the output lives in libjpeg's own memory until copied out.
int turbo_encode(const std::uint8_t* pixels, unsigned w, unsigned h, int components, int quality, unsigned char** out,
                 unsigned long* out_size) {
    jpeg_compress_struct cinfo;
    JpegErrorJump err;
    cinfo.err = quiet_jpeg_errors(err);
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return status::kUnsupported;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, out, out_size);
    cinfo.image_width = w, cinfo.image_height = h, cinfo.input_components = components;
    cinfo.in_color_space = components == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (components == 3) {
        // 4:2:2, as the YBR_FULL_422 label written for the output says.
        cinfo.comp_info[0].h_samp_factor = 2, cinfo.comp_info[0].v_samp_factor = 1;
    }
    jpeg_start_compress(&cinfo, TRUE);
    const std::size_t stride = std::size_t(w) * components;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(pixels + stride * cinfo.next_scanline);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return status::kOk;
}

ByteVector dcmtk_encode(const std::uint8_t* pixels, const EncodeRequest& r, bool lossless, int predictor, int quality) {
    quiet_dcmtk();
    const unsigned precision = r.precision();
    const DJCodecParameter params(lossless ? ECC_lossyRGB : ECC_lossyYCbCr, EDC_never, EUC_never, EPC_colorByPixel);
    const EP_Interpretation interp = r.samples == 3 ? EPI_RGB : EPI_Monochrome2;
    Uint8* to = nullptr;
    Uint32 length = 0;
    OFCondition rc;
    const Uint16 cols = Uint16(r.columns), rows = Uint16(r.rows), samples = r.samples;
    if (precision <= 8) {
        DJCompressIJG8Bit enc = lossless ? DJCompressIJG8Bit(params, EJM_lossless, predictor, 0)
                                         : DJCompressIJG8Bit(params, EJM_sequential, Uint8(quality));
        rc = enc.encode(cols, rows, interp, samples, const_cast<Uint8*>(pixels), to, length);
    } else {
        // The 12- and 16-bit codecs read 16-bit words; copy to keep alignment.
        std::vector<Uint16> words(std::size_t(cols) * rows * samples);
        std::memcpy(words.data(), pixels, words.size() * 2);
        if (precision <= 12) {
            if (lossless) {
                DJCompressIJG12Bit enc(params, EJM_lossless, predictor, 0);
                rc = enc.encode(cols, rows, interp, samples, words.data(), to, length);
            } else {
                DJCompressIJG12Bit enc(params, EJM_sequential, Uint8(quality));
                rc = enc.encode(cols, rows, interp, samples, words.data(), to, length);
            }
        } else {
            DJCompressIJG16Bit enc(params, EJM_lossless, predictor, 0);
            rc = enc.encode(cols, rows, interp, samples, words.data(), to, length);
        }
    }
    ByteVector out;
    if (rc.good() && to) out.assign(to, to + length);
    delete[] to;  // allocated by DCMTK with new[]
    return out;
}

}  // namespace

ByteVector jpeg_encode(const std::uint8_t* pixels, std::size_t size, const EncodeRequest& r, std::string_view target,
                       int quality) {
    if (r.bits_allocated == 0 || r.bits_allocated % 8 || (r.samples != 1 && r.samples != 3) || r.planar) return {};
    const unsigned precision = r.precision();
    const bool baseline = target.ends_with(".50"), extended = target.ends_with(".51");
    const bool lossless = target.ends_with(".57") || target.ends_with(".70");
    if ((baseline && precision > 8) || (extended && precision > 12) || (lossless && precision > 16) || precision < 2)
        return {};
    const std::size_t bytes = precision <= 8 ? 1 : 2;
    if (size < std::size_t(r.columns) * r.rows * r.samples * bytes || r.columns > 65535 || r.rows > 65535) return {};
    const int q = quality ? quality : 85;
    if (lossless) return dcmtk_encode(pixels, r, true, target.ends_with(".57") ? 2 : 1, q);
    if (precision > 8) return dcmtk_encode(pixels, r, false, 0, q);
    unsigned char* mem = nullptr;
    unsigned long mem_size = 0;
    const int rc = turbo_encode(pixels, r.columns, r.rows, r.samples, q, &mem, &mem_size);
    ByteVector out;
    if (rc == status::kOk && mem) out.assign(mem, mem + mem_size);
    std::free(mem);  // jpeg_mem_dest allocates with malloc
    return out;
}

}  // namespace loamwerk::render
