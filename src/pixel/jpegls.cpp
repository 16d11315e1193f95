// JPEG-LS frames through CharLS.
#include <charls/charls.h>

#include <string>
#include <vector>

#include "pixel/codec_support.hpp"
#include "pixel/codec_versions.hpp"
#include "pixel/image.hpp"
#include "pixel/syntax.hpp"

namespace loamwerk::render {

namespace {
// A frame's stream with its End of Image marker: CharLS spends seconds on a scan that runs into
// the end of its buffer without one, and fails at once when the marker is there.
bool ends_with_eoi(const std::uint8_t* data, std::size_t size) {
    for (std::size_t back = 2; back <= 3 && back <= size; ++back)  // fragments are padded to even length
        if (data[size - back] == 0xFF && data[size - back + 1] == 0xD9) return true;
    return false;
}
}  // namespace

int jpegls_decode(const std::uint8_t* data, std::size_t size, FrameRecord& f) {
    std::vector<std::uint8_t> closed;
    if (!ends_with_eoi(data, size)) {
        closed.assign(data, data + size);
        closed.push_back(0xFF), closed.push_back(0xD9);
        data = closed.data(), size = closed.size();
    }
    try {
        charls::jpegls_decoder decoder(data, size, true);
        const charls::frame_info& info = decoder.frame_info();
        if (info.width == 0 || info.height == 0 || info.width > 65535 || info.height > 65535 ||
            info.bits_per_sample < 2 || info.bits_per_sample > 16 || info.component_count < 1 ||
            info.component_count > 4)
            return status::kUnsupported;
        if (!frame_plan(f, "JPEG-LS", info.width, info.height, std::uint64_t(info.component_count),
                        info.bits_per_sample <= 8 ? 1 : 2, size))
            return status::kUnsupported;
        const std::size_t bytes = decoder.destination_size(0);
        f.decoded.resize(bytes);
        decoder.decode(f.decoded.data(), bytes, 0);
        f.columns = std::uint16_t(info.width), f.rows = std::uint16_t(info.height);
        f.samples = std::uint16_t(info.component_count), f.bits = std::uint16_t(info.bits_per_sample);
        f.planar = info.component_count >= 2 && decoder.interleave_mode() == charls::interleave_mode::none ? 1 : 0;
        return status::kOk;
    } catch (const std::bad_alloc&) {
        f.decoded.clear();
        return status::kNoMemory;
    } catch (const std::exception& e) {
        f.decoded.clear();
        f.error = std::string("the JPEG-LS stream does not decode (") + e.what() + ")";
        return status::kUnsupported;
    }
}

}  // namespace loamwerk::render
