#include "diffusion/csa.hpp"

#include <charconv>
#include <cstring>

#include "core/bytes.hpp"

namespace loamwerk::diffusion {

namespace {
constexpr std::uint32_t kMaxEntries = 1000;

std::string text(const std::uint8_t* p, std::size_t n) {
    std::size_t len = 0;
    while (len < n && p[len]) ++len;
    std::string s(reinterpret_cast<const char*>(p), len);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    while (!s.empty() && s.front() == ' ') s.erase(0, 1);
    return s;
}
}  // namespace

CsaHeader CsaHeader::parse(std::span<const std::uint8_t> b) {
    CsaHeader h;
    const bool sv10 = b.size() >= 16 && std::memcmp(b.data(), "SV10", 4) == 0;
    std::size_t pos = sv10 ? 8 : 0;
    if (b.size() < pos + 8) return h;
    const std::uint32_t count = load_le32(b.data() + pos);
    pos += 8;
    if (count == 0 || count > kMaxEntries) return h;
    std::int32_t second_items = 0;  // the older form measures items against the second entry's count
    for (std::uint32_t t = 0; t < count; ++t) {
        if (b.size() - pos < 84) return h;
        const std::uint8_t* e = b.data() + pos;
        std::string name = text(e, 64);
        const std::int32_t vm = std::int32_t(load_le32(e + 64));
        const std::int32_t items = std::int32_t(load_le32(e + 76));
        pos += 84;
        if (items < 0 || std::uint32_t(items) > kMaxEntries) return h;
        if (t == 1) second_items = items;
        std::vector<std::string> values;
        const std::int32_t wanted = vm > 0 ? vm : items;
        for (std::int32_t i = 0; i < items; ++i) {
            if (b.size() - pos < 16) return h;
            const std::int32_t x0 = std::int32_t(load_le32(b.data() + pos));
            const std::int32_t x1 = std::int32_t(load_le32(b.data() + pos + 4));
            pos += 16;
            const std::int64_t len = sv10 ? x1 : std::int64_t(x0) - second_items;
            if (len < 0 || std::uint64_t(len) > b.size() - pos) {
                if (sv10) return h;
                break;
            }
            if (i < wanted && len > 0) values.push_back(text(b.data() + pos, std::size_t(len)));
            pos += (std::size_t(len) + 3) & ~std::size_t(3);
            if (pos > b.size()) pos = b.size();
        }
        h.entries_.emplace_back(std::move(name), std::move(values));
    }
    return h;
}

const std::vector<std::string>* CsaHeader::values(std::string_view name) const {
    for (const auto& [n, v] : entries_)
        if (n == name) return &v;
    return nullptr;
}

std::optional<double> CsaHeader::number(std::string_view name, std::size_t index) const {
    const auto* v = values(name);
    if (!v || index >= v->size()) return std::nullopt;
    const std::string& s = (*v)[index];
    double d = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), d);
    if (r.ec != std::errc() || s.empty()) return std::nullopt;
    return d;
}

}  // namespace loamwerk::diffusion
