#include "encap/document.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "core/bytes.hpp"

namespace loamwerk::encap {

namespace {

constexpr KindInfo kKinds[] = {
    {Kind::kPdf, "pdf", "application/pdf", "1.2.840.10008.5.1.4.1.1.104.1", "DOC"},
    {Kind::kCda, "cda", "text/XML", "1.2.840.10008.5.1.4.1.1.104.2", "DOC"},
    {Kind::kStl, "stl", "model/stl", "1.2.840.10008.5.1.4.1.1.104.3", "M3D"},
    {Kind::kObj, "obj", "model/obj", "1.2.840.10008.5.1.4.1.1.104.4", "M3D"},
    {Kind::kMtl, "mtl", "model/mtl", "1.2.840.10008.5.1.4.1.1.104.5", "M3D"},
};

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string_view text_of(std::span<const std::uint8_t> p, std::size_t limit) {
    return {reinterpret_cast<const char*>(p.data()), std::min(p.size(), limit)};
}

// The first non-blank, non-comment lines' leading words, to tell OBJ from MTL from anything else.
bool has_statement(std::string_view text, std::initializer_list<std::string_view> words) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        const std::size_t space = line.find_first_of(" \t\r");
        const std::string_view word = line.substr(0, space);
        for (std::string_view w : words)
            if (word == w && space != std::string_view::npos) return true;
        pos = end + 1;
    }
    return false;
}

bool printable(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        const unsigned char u = static_cast<unsigned char>(c);
        return u >= 0x20 || u == '\n' || u == '\r' || u == '\t' || u >= 0x80;
    });
}

}  // namespace

const KindInfo& kind_info(Kind kind) { return kKinds[static_cast<int>(kind)]; }

std::optional<Kind> kind_from(std::string_view name_or_mime) {
    const std::string key = lower(name_or_mime);
    for (const KindInfo& k : kKinds)
        if (key == k.name || key == lower(k.mime)) return k.kind;
    if (key == "application/sla" || key == "model/x.stl-binary" || key == "model/x.stl-ascii") return Kind::kStl;
    if (key == "application/xml" || key == "text/xml") return Kind::kCda;
    return std::nullopt;
}

std::optional<Kind> detect(std::span<const std::uint8_t> p) {
    const std::string_view head = text_of(p, 4096);
    if (head.starts_with("%PDF-")) return Kind::kPdf;
    if (p.size() >= 84) {
        const std::uint32_t triangles = load_le32(p.data() + 80);
        if (std::uint64_t(triangles) * 50 + 84 == p.size()) return Kind::kStl;
    }
    std::string_view start = head;
    if (start.starts_with("\xEF\xBB\xBF")) start.remove_prefix(3);  // a UTF-8 byte-order mark
    while (!start.empty() && std::isspace(static_cast<unsigned char>(start.front()))) start.remove_prefix(1);
    if (start.starts_with("<") && head.find("ClinicalDocument") != std::string_view::npos) return Kind::kCda;
    if (!printable(head)) return std::nullopt;
    if (start.starts_with("solid") && head.find("facet") != std::string_view::npos) return Kind::kStl;
    if (has_statement(head, {"newmtl"})) return Kind::kMtl;
    if (has_statement(head, {"v", "vt", "vn", "f", "o", "g", "mtllib", "usemtl"})) return Kind::kObj;
    return std::nullopt;
}

}  // namespace loamwerk::encap
