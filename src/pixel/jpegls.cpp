// JPEG-LS frames through CharLS.
#include <charls/charls.h>

#include "pixel/codec_versions.hpp"
#include "pixel/image.hpp"
#include "pixel/syntax.hpp"

namespace loamwerk::render {

int jpegls_decode(const std::uint8_t* data, std::size_t size, FrameRecord& f) {
    try {
        charls::jpegls_decoder decoder(data, size, true);
        const charls::frame_info& info = decoder.frame_info();
        if (info.width == 0 || info.height == 0 || info.width > 65535 || info.height > 65535 ||
            info.bits_per_sample < 2 || info.bits_per_sample > 16 || info.component_count < 1 ||
            info.component_count > 4)
            return 2;
        const std::size_t bytes = decoder.destination_size(0);
        f.decoded.resize(bytes);
        decoder.decode(f.decoded.data(), bytes, 0);
        f.columns = std::uint16_t(info.width), f.rows = std::uint16_t(info.height);
        f.samples = std::uint16_t(info.component_count), f.bits = std::uint16_t(info.bits_per_sample);
        f.planar = info.component_count >= 2 && decoder.interleave_mode() == charls::interleave_mode::none ? 1 : 0;
        return 0;
    } catch (const std::bad_alloc&) {
        f.decoded.clear();
        return 1;
    } catch (const std::exception&) {
        f.decoded.clear();
        return 2;
    }
}

}  // namespace loamwerk::render
