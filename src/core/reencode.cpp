#include "core/reencode.hpp"

#include "core/inflate.hpp"

#include <algorithm>
#include <cstring>

#include <zlib.h>

#include "core/bytes.hpp"
#include "core/vr.hpp"
#include "core/writer.hpp"

namespace loamwerk {

namespace {

constexpr std::uint32_t kUndefined = 0xFFFFFFFFu;
constexpr int kMaxDepth = 64;

std::size_t word_size(VR v) {
    if (v == vr::SS || v == vr::US || v == vr::AT || v == vr::OW) return 2;
    if (v == vr::FL || v == vr::OL || v == vr::SL || v == vr::UL || v == vr::OF) return 4;
    if (v == vr::FD || v == vr::OD || v == vr::OV) return 8;
    return 0;
}

void put_le16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(std::uint8_t(v)), out.push_back(std::uint8_t(v >> 8));
}
void put_le32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    put_le16(out, std::uint16_t(v)), put_le16(out, std::uint16_t(v >> 16));
}
void patch_le32(std::vector<std::uint8_t>& out, std::size_t at, std::size_t v) {
    const auto n = std::uint32_t(v);
    std::memcpy(out.data() + at, &n, 4);
}

class BigEndianRewriter {
public:
    explicit BigEndianRewriter(std::vector<std::uint8_t>& out) : out_(out) {}

    // The elements of [p, p + n), up to the end or, inside an undefined-length item, up to and
    // including its delimiter. Returns the bytes consumed.
    std::optional<std::size_t> elements(const std::uint8_t* p, std::size_t n, int depth, bool in_open_item) {
        std::size_t pos = 0;
        while (pos < n) {
            if (n - pos < 8) {
                // Trailing zero padding ends the data set; anything else is a cut element.
                if (!in_open_item && std::all_of(p + pos, p + n, [](std::uint8_t b) { return b == 0; })) return n;
                return std::nullopt;
            }
            const std::uint8_t* h = p + pos;
            const std::uint16_t group = load_be16(h), element = load_be16(h + 2);
            if (group == 0xFFFE) {
                if (in_open_item && element == 0xE00D) return pos + 8;
                return std::nullopt;  // an item tag where an element belongs
            }
            if (group == 0 && element == 0 && !in_open_item) return n;  // zero padding
            const VR v = make_vr(char(h[4]), char(h[5]));
            std::uint32_t length;
            if (has_long_length(v)) {
                if (n - pos < 12) return std::nullopt;
                length = load_be32(h + 8);
                pos += 12;
            } else {
                length = load_be16(h + 6);
                pos += 8;
            }
            if (v == vr::SQ || length == kUndefined) {
                const auto used = sequence(group, element, v, p + pos, n - pos, length, depth + 1);
                if (!used) return std::nullopt;
                pos += *used;
                continue;
            }
            if (length > n - pos) return std::nullopt;
            value_.assign(p + pos, p + pos + length);
            if (const std::size_t w = word_size(v); w && length % w == 0)
                for (std::size_t i = 0; i < length; i += w) std::reverse(value_.begin() + i, value_.begin() + i + w);
            if (!EvrElementWriter(out_).append(group, element, v, value_.data(), length)) return std::nullopt;
            pos += length;
        }
        return in_open_item ? std::nullopt : std::optional<std::size_t>(pos);
    }

private:
    // A sequence value, rewritten with defined item and sequence lengths.
    std::optional<std::size_t> sequence(std::uint16_t group, std::uint16_t element, VR v, const std::uint8_t* p,
                                        std::size_t n, std::uint32_t length, int depth) {
        if (depth > kMaxDepth) return std::nullopt;
        const bool open = length == kUndefined;
        if (!open && length > n) return std::nullopt;
        const std::size_t limit = open ? n : length;
        put_le16(out_, group), put_le16(out_, element);
        out_.push_back(std::uint8_t(v & 0xFF)), out_.push_back(std::uint8_t(v >> 8));
        if (!has_long_length(v)) return std::nullopt;  // a short-form VR cannot carry a sequence
        put_le16(out_, 0);
        const std::size_t length_at = out_.size();
        put_le32(out_, 0);
        std::size_t pos = 0;
        bool closed = !open;
        while (pos < limit) {
            if (limit - pos < 8) return std::nullopt;
            const std::uint16_t ig = load_be16(p + pos), ie = load_be16(p + pos + 2);
            const std::uint32_t il = load_be32(p + pos + 4);
            pos += 8;
            if (ig == 0xFFFE && ie == 0xE0DD) {
                closed = true;
                break;
            }
            if (ig != 0xFFFE || ie != 0xE000) return std::nullopt;
            put_le16(out_, 0xFFFE), put_le16(out_, 0xE000);
            const std::size_t item_at = out_.size();
            put_le32(out_, 0);
            if (il == kUndefined) {
                const auto used = elements(p + pos, limit - pos, depth, true);
                if (!used) return std::nullopt;
                pos += *used;
            } else {
                if (il > limit - pos || !elements(p + pos, il, depth, false)) return std::nullopt;
                pos += il;
            }
            patch_le32(out_, item_at, out_.size() - item_at - 4);
        }
        if (!closed) return std::nullopt;
        patch_le32(out_, length_at, out_.size() - length_at - 4);
        return pos;
    }

    std::vector<std::uint8_t>& out_;
    std::vector<std::uint8_t> value_;
};

}  // namespace

std::optional<std::vector<std::uint8_t>> big_endian_to_little(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> out;
    out.reserve(size + size / 4);
    BigEndianRewriter rewriter(out);
    if (!rewriter.elements(data, size, 0, false)) return std::nullopt;
    return out;
}

bool little_endian_body(std::span<const std::uint8_t> input, const DatasetLayout& layout,
                        std::vector<std::uint8_t>& owned, std::span<const std::uint8_t>& body, Encoding& encoding) {
    const std::uint8_t* p = input.data() + layout.offset;
    const std::size_t n = input.size() - layout.offset;
    encoding = layout.encoding;
    if (layout.syntax == syntax::kDeflatedLE) {
        owned = inflate_raw(p, n);
        if (owned.empty()) return false;
        encoding = Encoding::ExplicitLE;
    } else if (layout.encoding == Encoding::ExplicitBE) {
        auto little = big_endian_to_little(p, n);
        if (!little) return false;
        owned = std::move(*little);
        encoding = Encoding::ExplicitLE;
    } else {
        body = {p, n};
        return true;
    }
    body = {owned.data(), owned.size()};
    return true;
}

}  // namespace loamwerk
