#include "core/inflate.hpp"

#include <algorithm>

#include <zlib.h>

#include "core/limits.hpp"

namespace loamwerk {

std::vector<std::uint8_t> inflate_raw(const std::uint8_t* data, std::size_t size) {
    const std::size_t cap = limits::allowed(size);
    bool capped = false;
    auto out = inflate_raw(data, size, cap, &capped);
    // Going on with the part that fits would present a cut-off data set as the file's content.
    if (capped)
        throw limits::ResourceError("the deflated data set inflates to more than " + limits::size_text(cap) +
                                    ", more than the memory limit allows; raise it with loam.set_memory_limit()");
    return out;
}

std::vector<std::uint8_t> inflate_raw(const std::uint8_t* data, std::size_t size, std::size_t kCap, bool* capped) {
    std::vector<std::uint8_t> out;
    if (size == 0) return out;
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return out;
    out.resize(std::min(kCap, 8 * size + 1024));
    z.next_in = const_cast<Bytef*>(data);
    std::size_t produced = 0;
    std::size_t remaining_in = size;
    for (;;) {
        const std::size_t in_chunk = std::min<std::size_t>(remaining_in, 1u << 30);
        z.avail_in = uInt(in_chunk);
        z.next_out = out.data() + produced;
        const std::size_t room = std::min<std::size_t>(out.size() - produced, 1u << 30);
        z.avail_out = uInt(room);
        const int rc = inflate(&z, Z_NO_FLUSH);
        produced += room - z.avail_out;
        remaining_in -= in_chunk - z.avail_in;
        if (rc == Z_STREAM_END || (rc != Z_OK && rc != Z_BUF_ERROR)) break;
        if (produced == out.size()) {
            if (out.size() >= kCap) {
                if (capped) *capped = true;
                break;
            }
            out.resize(std::min(kCap, out.size() * 2));
        } else if (remaining_in == 0 || rc == Z_BUF_ERROR) {
            break;  // input exhausted without the end of the stream
        }
    }
    inflateEnd(&z);
    out.resize(produced);
    return out;
}

}  // namespace loamwerk
