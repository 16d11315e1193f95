// JPEG 2000 (OpenJPEG), High-Throughput JPEG 2000 (OpenJPH) and JPEG XL (libjxl) encoding.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include <jxl/encode.h>
#include <openjpeg.h>
#include <openjph/ojph_arch.h>  // defines OJPH_EXPORT, which the other headers assume
#include <openjph/ojph_codestream.h>
#include <openjph/ojph_file.h>
#include <openjph/ojph_mem.h>
#include <openjph/ojph_message.h>
#include <openjph/ojph_params.h>

#include "core/bytes.hpp"
#include "pixel/codec_support.hpp"
#include "pixel/codec_versions.hpp"
#include "pixel/encode.hpp"

namespace loamwerk::render {

namespace {

// Sample i of the interleaved input as a signed integer.
std::int32_t sample(const std::uint8_t* p, std::size_t i, std::size_t bytes, bool is_signed) {
    if (bytes == 1) return is_signed ? std::int8_t(p[i]) : p[i];
    const std::uint16_t v = load_le16(p + 2 * i);
    return is_signed ? std::int16_t(v) : v;
}

bool check(const EncodeRequest& r, std::size_t size, std::size_t* bytes) {
    if (r.planar || r.bits_allocated == 0 || r.bits_allocated % 8 || r.bits_allocated > 16 || r.samples < 1 ||
        r.samples > 4 || r.columns == 0 || r.rows == 0)
        return false;
    *bytes = r.bits_allocated / 8u;
    return size >= std::size_t(r.columns) * r.rows * r.samples * *bytes && r.precision() >= 1 &&
           r.precision() <= r.bits_allocated;
}

// ---- OpenJPEG ------------------------------------------------------------------------------

struct OutStream {
    ByteVector data;
    std::size_t pos = 0;
};
OPJ_SIZE_T out_write(void* buffer, OPJ_SIZE_T n, void* user) {
    auto* s = static_cast<OutStream*>(user);
    if (s->pos + n > s->data.size()) {
        std::size_t cap = std::max<std::size_t>(s->data.capacity(), 1024);
        while (cap < s->pos + n) cap *= 2;
        s->data.reserve(cap);
        s->data.resize(s->pos + n);
    }
    std::memcpy(s->data.data() + s->pos, buffer, n);
    s->pos += n;
    return n;
}
OPJ_OFF_T out_skip(OPJ_OFF_T n, void* user) {
    auto* s = static_cast<OutStream*>(user);
    if (n < 0 && std::size_t(-n) > s->pos) return -1;
    s->pos = std::size_t(OPJ_OFF_T(s->pos) + n);
    if (s->pos > s->data.size()) s->data.resize(s->pos);
    return n;
}
OPJ_BOOL out_seek(OPJ_OFF_T n, void* user) {
    auto* s = static_cast<OutStream*>(user);
    if (n < 0) return OPJ_FALSE;
    s->pos = std::size_t(n);
    if (s->pos > s->data.size()) s->data.resize(s->pos);
    return OPJ_TRUE;
}
void discard(const char*, void*) {}

}  // namespace

ByteVector j2k_encode(const std::uint8_t* pixels, std::size_t size, const EncodeRequest& r, int quality) {
    std::size_t bytes;
    if (!check(r, size, &bytes)) return {};
    const unsigned comps = r.samples;
    std::vector<opj_image_cmptparm_t> params(comps);
    for (auto& c : params) {
        std::memset(&c, 0, sizeof c);
        c.dx = c.dy = 1, c.w = r.columns, c.h = r.rows, c.prec = r.precision(), c.sgnd = r.is_signed;
    }
    std::unique_ptr<opj_image_t, void (*)(opj_image_t*)> image(
        opj_image_create(comps, params.data(), comps < 3 ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB), opj_image_destroy);
    if (!image) return {};
    image->x0 = image->y0 = 0, image->x1 = r.columns, image->y1 = r.rows;
    const std::size_t pixels_n = std::size_t(r.columns) * r.rows;
    for (unsigned k = 0; k < comps; ++k)
        for (std::size_t i = 0; i < pixels_n; ++i) image->comps[k].data[i] = sample(pixels, i * comps + k, bytes, r.is_signed);

    opj_cparameters_t p;
    opj_set_default_encoder_parameters(&p);
    p.tcp_numlayers = 1, p.cp_disto_alloc = 1;
    if (quality == 0) {
        p.irreversible = 0, p.tcp_rates[0] = 0;
    } else {
        p.irreversible = 1, p.tcp_rates[0] = float(std::clamp(100.0 / quality, 1.5, 50.0));
    }
    p.tcp_mct = comps == 3 ? 1 : 0;
    const std::uint32_t m = std::min(r.columns, r.rows);
    p.numresolution = m < 2 ? 1 : m < 4 ? 2 : m < 8 ? 3 : m < 16 ? 4 : m < 32 ? 5 : 6;
    std::unique_ptr<opj_codec_t, void (*)(opj_codec_t*)> codec(opj_create_compress(r.container ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K),
                                                               opj_destroy_codec);
    if (!codec) return {};
    opj_set_info_handler(codec.get(), discard, nullptr);
    opj_set_warning_handler(codec.get(), discard, nullptr);
    opj_set_error_handler(codec.get(), discard, nullptr);
    if (!opj_setup_encoder(codec.get(), &p, image.get())) return {};
    opj_codec_set_threads(codec.get(), 0);  // no pool threads: a transcode runs on its calling thread
    OutStream out;
    out.data.reserve(pixels_n * comps * bytes);
    std::unique_ptr<opj_stream_t, void (*)(opj_stream_t*)> stream(opj_stream_create(1 << 20, OPJ_FALSE), opj_stream_destroy);
    if (!stream) return {};
    opj_stream_set_write_function(stream.get(), out_write);
    opj_stream_set_skip_function(stream.get(), out_skip);
    opj_stream_set_seek_function(stream.get(), out_seek);
    opj_stream_set_user_data(stream.get(), &out, nullptr);
    if (!opj_start_compress(codec.get(), image.get(), stream.get()) || !opj_encode(codec.get(), stream.get()) ||
        !opj_end_compress(codec.get(), stream.get()))
        return {};
    stream.reset();  // flushes what it still buffers
    return std::move(out.data);
}

// ---- OpenJPH ---------------------------------------------------------------------------------

namespace {

class MemoryOutput final : public ojph::outfile_base {
public:
    explicit MemoryOutput(ByteVector& out) : out_(out) {}
    std::size_t write(const void* ptr, std::size_t n) override {
        const auto* p = static_cast<const std::uint8_t*>(ptr);
        out_.insert(out_.end(), p, p + n);
        return n;
    }
    ojph::si64 tell() override { return ojph::si64(out_.size()); }

private:
    ByteVector& out_;
};

}  // namespace

ByteVector htj2k_encode(const std::uint8_t* pixels, std::size_t size, const EncodeRequest& r, int quality) {
    std::size_t bytes;
    if (!check(r, size, &bytes)) return {};
    quiet_openjph();
    ByteVector out;
    out.reserve(65536);
    try {
        ojph::codestream cs;
        ojph::param_siz siz = cs.access_siz();
        siz.set_image_extent(ojph::point(r.columns, r.rows));
        siz.set_num_components(r.samples);
        for (unsigned k = 0; k < r.samples; ++k) siz.set_component(k, ojph::point(1, 1), r.precision(), r.is_signed);
        siz.set_image_offset(ojph::point(0, 0));
        siz.set_tile_size(ojph::size(r.columns, r.rows));
        siz.set_tile_offset(ojph::point(0, 0));
        ojph::param_cod cod = cs.access_cod();
        unsigned levels = 0;
        for (std::uint32_t m = std::min(r.columns, r.rows); m > 1 && levels < 5; m >>= 1) ++levels;
        cod.set_num_decomposition(levels);
        cod.set_reversible(quality == 0);
        cod.set_color_transform(r.samples == 3);
        if (quality != 0) cs.access_qcd().set_irrev_quant(float((101 - quality) * 0.001));
        cs.set_planar(false);
        MemoryOutput file(out);
        cs.write_headers(&file);
        ojph::ui32 comp = 0;
        ojph::line_buf* line = cs.exchange(nullptr, comp);
        for (std::uint32_t y = 0; y < r.rows; ++y) {
            for (unsigned k = 0; k < r.samples; ++k) {
                const std::size_t row = std::size_t(y) * r.columns * r.samples;
                for (std::uint32_t x = 0; x < r.columns; ++x)
                    line->i32[x] = sample(pixels, row + std::size_t(x) * r.samples + comp, bytes, r.is_signed);
                line = cs.exchange(line, comp);
            }
        }
        cs.flush();
        cs.close();
    } catch (const std::exception&) {
        return {};
    }
    return out;
}

// ---- libjxl ------------------------------------------------------------------------------------

ByteVector jxl_encode(const std::uint8_t* pixels, std::size_t size, const EncodeRequest& r, int quality) {
    std::size_t bytes;
    if (!check(r, size, &bytes) || r.samples == 2 || r.samples > 4) return {};
    std::unique_ptr<JxlEncoder, void (*)(JxlEncoder*)> enc(JxlEncoderCreate(nullptr), JxlEncoderDestroy);
    if (!enc) return {};
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    // The container's full width: libjxl would rescale 16-bit input to fewer bits.
    info.xsize = r.columns, info.ysize = r.rows, info.bits_per_sample = std::uint32_t(bytes * 8);
    info.num_color_channels = r.samples < 3 ? 1 : 3;
    info.num_extra_channels = r.samples > 3 ? r.samples - 3 : 0;
    info.alpha_bits = r.samples > 3 ? info.bits_per_sample : 0;
    info.uses_original_profile = quality == 0 ? JXL_TRUE : JXL_FALSE;
    if (JxlEncoderUseContainer(enc.get(), r.container ? JXL_TRUE : JXL_FALSE) != JXL_ENC_SUCCESS) return {};
    if (JxlEncoderSetBasicInfo(enc.get(), &info) != JXL_ENC_SUCCESS) return {};
    JxlColorEncoding colour;
    JxlColorEncodingSetToSRGB(&colour, r.samples < 3 ? JXL_TRUE : JXL_FALSE);
    if (JxlEncoderSetColorEncoding(enc.get(), &colour) != JXL_ENC_SUCCESS) return {};
    JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(enc.get(), nullptr);
    if (quality == 0) {
        if (JxlEncoderSetFrameLossless(settings, JXL_TRUE) != JXL_ENC_SUCCESS) return {};
    } else if (JxlEncoderSetFrameDistance(settings, float((100 - quality) * 0.05)) != JXL_ENC_SUCCESS) {
        return {};
    }
    const JxlPixelFormat format{r.samples, bytes == 1 ? JXL_TYPE_UINT8 : JXL_TYPE_UINT16, JXL_LITTLE_ENDIAN, 0};
    const std::size_t raw = std::size_t(r.columns) * r.rows * r.samples * bytes;
    if (JxlEncoderAddImageFrame(settings, &format, pixels, raw) != JXL_ENC_SUCCESS) return {};
    JxlEncoderCloseInput(enc.get());
    ByteVector out(std::max<std::size_t>(raw, 1024));
    std::uint8_t* next = out.data();
    std::size_t avail = out.size();
    for (;;) {
        const JxlEncoderStatus st = JxlEncoderProcessOutput(enc.get(), &next, &avail);
        if (st == JXL_ENC_SUCCESS) break;
        if (st != JXL_ENC_NEED_MORE_OUTPUT) return {};
        const std::size_t used = std::size_t(next - out.data());
        out.resize(out.size() * 2);
        next = out.data() + used, avail = out.size() - used;
    }
    out.resize(std::size_t(next - out.data()));
    return out;
}

}  // namespace loamwerk::render
