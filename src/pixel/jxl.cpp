// JPEG XL frames through libjxl.
#include <cstring>
#include <memory>

#include <jxl/decode.h>

#include "pixel/codec_support.hpp"
#include "pixel/codec_versions.hpp"
#include "pixel/image.hpp"
#include "pixel/syntax.hpp"

namespace loamwerk::render {

namespace {
struct DecoderCloser {
    void operator()(JxlDecoder* d) const { JxlDecoderDestroy(d); }
};

JxlDecoderStatus icc_size(JxlDecoder* d, const JxlPixelFormat* format, std::size_t* size) {
#if LOAM_JXL_ICC_TAKES_FORMAT
    return JxlDecoderGetICCProfileSize(d, format, JXL_COLOR_PROFILE_TARGET_DATA, size);
#else
    (void)format;
    return JxlDecoderGetICCProfileSize(d, JXL_COLOR_PROFILE_TARGET_DATA, size);
#endif
}

JxlDecoderStatus icc_profile(JxlDecoder* d, const JxlPixelFormat* format, std::uint8_t* out, std::size_t size) {
#if LOAM_JXL_ICC_TAKES_FORMAT
    return JxlDecoderGetColorAsICCProfile(d, format, JXL_COLOR_PROFILE_TARGET_DATA, out, size);
#else
    (void)format;
    return JxlDecoderGetColorAsICCProfile(d, JXL_COLOR_PROFILE_TARGET_DATA, out, size);
#endif
}
}  // namespace

int jxl_decode(const std::uint8_t* data, std::size_t size, FrameRecord& f) {
    std::unique_ptr<JxlDecoder, DecoderCloser> d(JxlDecoderCreate(nullptr));
    if (!d) return status::kNoMemory;
    if (JxlDecoderSubscribeEvents(d.get(), JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE) !=
        JXL_DEC_SUCCESS)
        return status::kUnsupported;
    if (JxlDecoderSetInput(d.get(), data, size) != JXL_DEC_SUCCESS) return status::kUnsupported;
    JxlPixelFormat format{1, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    bool have_info = false;
    try {
        for (;;) {
            const JxlDecoderStatus st = JxlDecoderProcessInput(d.get());
            if (st == JXL_DEC_BASIC_INFO) {
                JxlBasicInfo info;
                if (JxlDecoderGetBasicInfo(d.get(), &info) != JXL_DEC_SUCCESS) return status::kUnsupported;
                if (info.xsize == 0 || info.ysize == 0 || info.xsize > 65535 || info.ysize > 65535) return status::kUnsupported;
                const unsigned channels = info.num_color_channels + (info.alpha_bits ? 1 : 0);
                if (channels < 1 || channels > 4 || info.bits_per_sample > 16) return status::kUnsupported;
                if (!frame_plan(f, "JPEG XL", info.xsize, info.ysize, channels, info.bits_per_sample <= 8 ? 1 : 2, size))
                    return status::kUnsupported;
                f.columns = std::uint16_t(info.xsize), f.rows = std::uint16_t(info.ysize);
                f.samples = std::uint16_t(channels), f.bits = std::uint16_t(info.bits_per_sample <= 8 ? 8 : info.bits_per_sample);
                format = {channels, info.bits_per_sample <= 8 ? JXL_TYPE_UINT8 : JXL_TYPE_UINT16, JXL_NATIVE_ENDIAN, 0};
                have_info = true;
            } else if (st == JXL_DEC_COLOR_ENCODING) {
                std::size_t n = 0;
                if (icc_size(d.get(), &format, &n) == JXL_DEC_SUCCESS && n) {
                    f.icc.resize(n);
                    if (icc_profile(d.get(), &format, f.icc.data(), n) != JXL_DEC_SUCCESS) f.icc.clear();
                }
            } else if (st == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
                if (!have_info) return status::kUnsupported;
                std::size_t n = 0;
                if (JxlDecoderImageOutBufferSize(d.get(), &format, &n) != JXL_DEC_SUCCESS) return status::kUnsupported;
                f.decoded.resize(n);
                std::memset(f.decoded.data(), 0, n);
                if (JxlDecoderSetImageOutBuffer(d.get(), &format, f.decoded.data(), n) != JXL_DEC_SUCCESS) return status::kUnsupported;
            } else if (st == JXL_DEC_NEED_MORE_INPUT) {
                JxlDecoderCloseInput(d.get());
                // A cut stream: what was decoded into the buffer stays.
                if (!f.decoded.empty()) break;
                return status::kUnsupported;
            } else if (st == JXL_DEC_FULL_IMAGE || st == JXL_DEC_SUCCESS) {
                if (f.decoded.empty()) return status::kUnsupported;
                break;
            } else {
                f.decoded.clear();
                return status::kUnsupported;
            }
        }
    } catch (const std::bad_alloc&) {
        f.decoded.clear();
        return status::kNoMemory;
    }
    f.planar = 0;
    return status::kOk;
}

}  // namespace loamwerk::render
