// RLE Lossless frames (our own decoder) and Deflated Image Frame Compression frames.
#include <cstring>
#include <algorithm>
#include <memory>
#include <vector>


#include <zlib.h>

#include "core/bytes.hpp"
#include "pixel/codec_support.hpp"
#include "pixel/image.hpp"
#include "pixel/simd.hpp"
#include "pixel/syntax.hpp"

namespace loamwerk::render {

namespace {

// PackBits into one plane; what the segment does not cover is zero.
void unpack_bits(const std::uint8_t* in, std::size_t n, std::uint8_t* plane, std::size_t size) {
    std::size_t i = 0, o = 0;
    while (i < n && o < size) {
        const std::uint8_t c = in[i++];
        if (c < 128) {
            const std::size_t len = std::size_t(c) + 1;
            if (len > n - i || len > size - o) break;
            std::memcpy(plane + o, in + i, len);
            i += len, o += len;
        } else if (c > 128) {
            const std::size_t len = 257 - std::size_t(c);
            if (i >= n || len > size - o) break;
            std::memset(plane + o, in[i++], len);
            o += len;
        }
    }
    if (o < size) std::memset(plane + o, 0, size - o);
}

}  // namespace

int rle_decode(const std::uint8_t* data, std::size_t size, FrameRecord& f) {
    if (f.samples == 0) return status::kUnsupported;  // 16-bit geometry cannot exceed 65535
    const std::size_t bytes = (f.bits + 7u) / 8u, samples = f.samples;
    const std::size_t pixels = std::size_t(f.rows) * f.columns;
    if (pixels == 0) {  // RLE segments carry no size of their own: the header's must be real
        f.error = "Rows or Columns is 0";
        return status::kUnsupported;
    }
    if (size < 64) return status::kUnsupported;
    const std::uint32_t n = load_le32(data);
    if (n < 1 || n > 15 || n != bytes * samples) return status::kUnsupported;
    std::uint32_t offsets[16];
    for (std::uint32_t i = 0; i < n; ++i) offsets[i] = load_le32(data + 4 + 4 * i);
    offsets[n] = std::uint32_t(std::min<std::size_t>(size, 0xFFFFFFFFu));
    for (std::uint32_t i = 0; i < n; ++i) {
        if (offsets[i] >= size) return status::kUnsupported;
        if (i + 1 < n && (offsets[i + 1] < offsets[i] || offsets[i + 1] > size)) return status::kUnsupported;
    }
    if (!frame_plan(f, "RLE", f.columns, f.rows, samples, bytes, size)) return status::kUnsupported;
    f.decoded.resize(pixels * bytes * samples);
    f.planar = 0;
    if (n == 1) {
        unpack_bits(data + offsets[0], offsets[1] - offsets[0], f.decoded.data(), pixels);
        return status::kOk;
    }
    ByteVector planes(pixels * n);
    for (std::uint32_t k = 0; k < n; ++k)
        unpack_bits(data + offsets[k], offsets[k + 1] - offsets[k], planes.data() + k * pixels, pixels);
    std::uint8_t* out = f.decoded.data();
    const std::uint8_t* p = planes.data();
    if (bytes == 2 && samples == 1) {
        interleave2(p, p + pixels, pixels, out);
    } else if (bytes == 1 && samples == 3) {
        interleave3(p, p + pixels, p + 2 * pixels, pixels, out);
    } else {
        // Segment k carries byte (bytes - 1 - k % bytes) of sample k / bytes.
        for (std::uint32_t k = 0; k < n; ++k) {
            const std::size_t sample = k / bytes, byte = bytes - 1 - k % bytes;
            const std::uint8_t* plane = p + k * pixels;
            std::uint8_t* o = out + sample * bytes + byte;
            const std::size_t stride = bytes * samples;
            for (std::size_t i = 0; i < pixels; ++i) o[i * stride] = plane[i];
        }
    }
    return status::kOk;
}

int deflate_frame_decode(const std::uint8_t* data, std::size_t size, FrameRecord& f) {
    if (!frame_plan(f, "deflated frame", f.columns, f.rows, f.samples, (f.bits + 7u) / 8u, size)) return status::kUnsupported;
    const std::size_t want = decoded_frame_bytes(f);
    // Inflated straight into the frame: a stream longer than the frame is cut to it (and never
    // inflated further), a shorter one leaves the frame short.
    f.decoded.resize(want);
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return status::kNoMemory;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = uInt(std::min<std::size_t>(size, 0x7FFFFFFF));
    z.next_out = f.decoded.data();
    z.avail_out = uInt(std::min<std::size_t>(want, 0x7FFFFFFF));
    const int rc = inflate(&z, Z_FINISH);
    const std::size_t produced = want - z.avail_out;
    inflateEnd(&z);
    if (rc != Z_STREAM_END && rc != Z_BUF_ERROR && rc != Z_OK) return status::kUnsupported;
    f.decoded.resize(produced);
    return status::kOk;
}

}  // namespace loamwerk::render
