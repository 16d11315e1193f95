// The retired word-oriented Lempel-Ziv compression (Compression Code "LZW"/"LEMPEL").
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/bytes.hpp"
#include "pixel/codec_support.hpp"
#include "pixel/image.hpp"
#include "pixel/syntax.hpp"

namespace loamwerk::render {

// Words below 32768 are samples; a word from 32768 names dictionary entry (word - 32768): the
// string of the code before it plus one word, as in LZW; 65535 ends the data.
int lzw_decode(const std::uint8_t* data, std::size_t size, FrameRecord& f) {
    constexpr std::uint32_t kFirst = 0x8000, kEnd = 0xFFFF, kMaxEntries = 32768;
    struct Entry {
        std::uint32_t prefix;  // a literal word or another entry's code
        std::uint16_t last;
    };
    const std::size_t want = std::size_t(f.rows) * f.columns * f.samples;
    if (!frame_plan(f, "LZW", f.columns, f.rows, f.samples, 2, size)) return status::kUnsupported;
    std::vector<Entry> dict;
    std::vector<std::uint16_t> out, str;
    out.reserve(want);
    auto expand = [&](std::uint32_t code) {
        str.clear();
        while (code >= kFirst && str.size() <= dict.size()) {
            const Entry& e = dict[code - kFirst];
            str.push_back(e.last);
            code = e.prefix;
        }
        str.push_back(std::uint16_t(code));
        std::reverse(str.begin(), str.end());
    };
    std::int64_t previous = -1;
    for (std::size_t i = 0; i + 2 <= size && out.size() < want; i += 2) {
        const std::uint32_t w = load_le16(data + i);
        if (w == kEnd) break;
        if (w < kFirst || w - kFirst < dict.size()) {
            expand(w);
        } else if (w - kFirst == dict.size() && previous >= 0) {
            expand(std::uint32_t(previous));  // the entry being defined by this very code
            str.push_back(str.front());
        } else {
            return status::kUnsupported;
        }
        if (previous >= 0 && dict.size() < kMaxEntries) dict.push_back({std::uint32_t(previous), str.front()});
        out.insert(out.end(), str.begin(), str.begin() + std::ptrdiff_t(std::min(str.size(), want - out.size())));
        previous = w;
    }
    if (out.empty()) return status::kUnsupported;
    f.decoded.resize(want * 2);
    std::memset(f.decoded.data(), 0, f.decoded.size());
    std::memcpy(f.decoded.data(), out.data(), out.size() * 2);
    f.bits = 16, f.planar = 0;
    return status::kOk;
}

}  // namespace loamwerk::render
