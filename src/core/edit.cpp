#include "core/edit.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "core/bytes.hpp"
#include "core/dataset.hpp"
#include "core/dictionary.hpp"
#include "core/writer.hpp"
#include "core/tags.hpp"

namespace loamwerk {

EditOp::Kind edit_kind(std::string_view text) {
    if (text == "modify") return EditOp::Kind::Modify;
    if (text == "erase") return EditOp::Kind::Erase;
    return EditOp::Kind::Insert;
}

std::string_view edit_message(int code) {
    switch (code) {
    case edit_result::kNotPart10: return "not a valid Part-10 file";
    case edit_result::kNotByteEditable: return "transfer syntax not byte-editable (big-endian / deflated)";
    case edit_result::kNoVr: return "cannot infer a VR for the new tag (insert needs one)";
    case edit_result::kBadValue: return "value could not be encoded for its VR";
    default: return "unknown error";
    }
}

namespace {

std::string_view trim_spaces(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}


// One number with C prefixes (0x hexadecimal, leading 0 octal); the whole text must be used.
bool parse_unsigned(std::string_view text, std::uint64_t max, std::uint64_t& v) {
    const std::string s(trim_spaces(text));
    if (s.empty() || s[0] == '-') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long r = std::strtoull(s.c_str(), &end, 0);
    if (errno || *end || r > max) return false;
    v = r;
    return true;
}

bool parse_signed(std::string_view text, std::int64_t lo, std::int64_t hi, std::int64_t& v) {
    const std::string s(trim_spaces(text));
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long r = std::strtoll(s.c_str(), &end, 0);
    if (errno || *end || r < lo || r > hi) return false;
    v = r;
    return true;
}

bool parse_real(std::string_view text, double& v) {
    const std::string s(trim_spaces(text));
    if (s.empty()) return false;
    char* end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return !*end;
}

// "gggg,eeee" in hexadecimal, optionally in parentheses.
bool parse_at(std::string_view text, std::string& out) {
    std::string_view s = trim_spaces(text);
    if (s.size() >= 2 && s.front() == '(' && s.back() == ')') s = s.substr(1, s.size() - 2);
    const std::size_t comma = s.find(',');
    if (comma == std::string_view::npos) return false;
    std::uint64_t g, e;
    auto hex = [](std::string_view t, std::uint64_t& v) {
        const std::string h(trim_spaces(t));
        if (h.empty() || h.size() > 4 || h.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
        v = std::strtoull(h.c_str(), nullptr, 16);
        return true;
    };
    if (!hex(s.substr(0, comma), g) || !hex(s.substr(comma + 1), e)) return false;
    append_raw(out, std::uint16_t(g));
    append_raw(out, std::uint16_t(e));
    return true;
}

// The value bytes of `text` for `vr`, padded; false when it cannot be encoded.
bool encode_value(VR vr, std::string_view text, std::string& out) {
    out.clear();
    const bool numeric = vr == vr::US || vr == vr::UL || vr == vr::UV || vr == vr::SS || vr == vr::SL ||
                         vr == vr::SV || vr == vr::FL || vr == vr::FD || vr == vr::AT;
    if (!numeric) {
        out.assign(text);
        pad_value(vr, out);
        return true;
    }
    if (text.empty()) return true;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(text.find('\\', start), text.size());
        const std::string_view c = text.substr(start, end - start);
        std::uint64_t u = 0;
        std::int64_t i = 0;
        double d = 0;
        bool ok;
        if (vr == vr::US) ok = parse_unsigned(c, 0xFFFF, u) && (append_raw(out, std::uint16_t(u)), true);
        else if (vr == vr::UL) ok = parse_unsigned(c, 0xFFFFFFFFu, u) && (append_raw(out, std::uint32_t(u)), true);
        else if (vr == vr::UV) ok = parse_unsigned(c, ~0ull, u) && (append_raw(out, u), true);
        else if (vr == vr::SS) ok = parse_signed(c, -32768, 32767, i) && (append_raw(out, std::int16_t(i)), true);
        else if (vr == vr::SL) ok = parse_signed(c, INT32_MIN, INT32_MAX, i) && (append_raw(out, std::int32_t(i)), true);
        else if (vr == vr::SV) ok = parse_signed(c, INT64_MIN, INT64_MAX, i) && (append_raw(out, i), true);
        else if (vr == vr::FL) ok = parse_real(c, d) && (append_raw(out, float(d)), true);
        else if (vr == vr::FD) ok = parse_real(c, d) && (append_raw(out, d), true);
        else ok = parse_at(c, out);
        if (!ok) return false;
        if (end >= text.size()) return true;
        start = end + 1;
    }
}

// The VR for a new element: given, else the dictionary's when it has exactly one, else the
// implicit-VR map (which knows private creators).
VR infer_vr(const EditOp& op) {
    if (op.vr) return op.vr;
    const dict::TagInfo info = dict::lookup_tag(op.tag);
    if (info.found && info.vr.size() == 2 && is_vr(make_vr(info.vr))) return make_vr(info.vr);
    return dict::implicit_vr(tag_group(op.tag), tag_element(op.tag));
}

std::string uid_text(std::string_view value) {
    if (const std::size_t nul = value.find('\0'); nul != std::string_view::npos) value = value.substr(0, nul);
    return std::string(trim_padding(trim_spaces(value)));
}

}  // namespace

namespace {

// A big-endian file brought to explicit VR little endian (values converted by VR), with file meta
// saying so; empty when it cannot be.
std::vector<std::uint8_t> little_endian_copy(std::span<const std::uint8_t> input) {
    const Dataset ds = Dataset::borrow(input);  // converted to little endian
    if (!ds.readable() || !ds.parsed()) return {};
    const FileMetaInfo& meta = ds.layout().meta;
    const auto body = ds.body();
    std::vector<std::uint8_t> out(part10_wrapped_size(meta.sop_class, meta.sop_instance, body.size(), encoding_uid(Encoding::ExplicitLE)));
    if (part10_wrap_into(meta.sop_class, meta.sop_instance, body, encoding_uid(Encoding::ExplicitLE), out.data(), out.size(), nullptr,
                         true) != wrap_result::kOk)
        return {};
    return out;
}

}  // namespace

int edit_part10(std::span<const std::uint8_t> input, std::span<const EditOp> ops, std::vector<std::uint8_t>& out) {
    const DatasetLayout stored = detect_layout(input.data(), input.size());
    if (stored.has_meta && stored.syntax == syntax::kExplicitBE) {
        // Big endian is edited as explicit VR little endian: the file comes back in that syntax.
        const std::vector<std::uint8_t> little = little_endian_copy(input);
        if (little.empty()) return edit_result::kNotByteEditable;
        return edit_part10(little, ops, out);
    }
    const Dataset ds = Dataset::borrow(input, Dataset::Body::kAsStored);
    const DatasetLayout& layout = ds.layout();
    if (!layout.has_meta) return edit_result::kNotPart10;
    const std::string_view ts = layout.meta.transfer_syntax;
    if (!layout.byte_walkable() || ts == "1.2.840.10008.1.2.4.95") return edit_result::kNotByteEditable;
    const std::size_t body_size = ds.body().size();
    const std::vector<ElementRef>& elements = ds.elements();
    if (!ds.parsed() || elements.empty()) return edit_result::kNotPart10;
    const bool implicit = layout.encoding == Encoding::ImplicitLE;

    std::unordered_map<Tag, const EditOp*> first_op;
    for (const EditOp& op : ops) first_op.try_emplace(op.tag, &op);
    std::unordered_set<Tag> present, inserted;
    for (const ElementRef& e : elements) present.insert(e.tag);
    std::vector<const EditOp*> inserts;
    for (const EditOp& op : ops)
        if (op.kind == EditOp::Kind::Insert && !present.count(op.tag) && inserted.insert(op.tag).second)
            inserts.push_back(&op);
    std::stable_sort(inserts.begin(), inserts.end(), [](const EditOp* a, const EditOp* b) { return a->tag < b->tag; });

    std::vector<std::uint8_t> edited;
    edited.reserve(body_size + 256);
    std::string value;
    auto write = [&](const EditOp& op, VR vr) {
        if (!encode_value(vr, op.value, value)) return false;
        const auto* v = reinterpret_cast<const std::uint8_t*>(value.data());
        return implicit ? append_implicit(edited, op.tag, v, value.size())
                        : EvrElementWriter(edited).append(tag_group(op.tag), tag_element(op.tag), vr, v, value.size());
    };
    auto write_insert = [&](const EditOp& op) {
        const VR vr = infer_vr(op);
        if (!vr) return edit_result::kNoVr;
        return write(op, vr) ? edit_result::kOk : edit_result::kBadValue;
    };

    std::size_t next_insert = 0;
    for (std::size_t i = 0; i < elements.size(); ++i) {
        const ElementRef& e = elements[i];
        const std::uint8_t* span_end = i + 1 < elements.size() ? elements[i + 1].header : ds.body().data() + body_size;
        for (; next_insert < inserts.size() && inserts[next_insert]->tag < e.tag; ++next_insert)
            if (int rc = write_insert(*inserts[next_insert]); rc != edit_result::kOk) return rc;
        const auto found = first_op.find(e.tag);
        if (found == first_op.end()) {
            edited.insert(edited.end(), e.header, span_end);
            continue;
        }
        const EditOp& op = *found->second;
        if (op.kind == EditOp::Kind::Erase) continue;
        VR vr = e.vr ? e.vr : infer_vr(op);
        if (!vr) vr = vr::UN;
        if (!write(op, vr)) return edit_result::kBadValue;
    }
    for (; next_insert < inserts.size(); ++next_insert)
        if (int rc = write_insert(*inserts[next_insert]); rc != edit_result::kOk) return rc;

    auto new_uid = [&](Tag tag, std::string_view current) {
        for (const EditOp& op : ops)
            if (op.tag == tag && op.kind != EditOp::Kind::Erase) return uid_text(op.value);
        return std::string(current);
    };
    const std::string sop_class = new_uid(tags::kSOPClassUID, layout.meta.sop_class);
    const std::string sop_instance = new_uid(tags::kSOPInstanceUID, layout.meta.sop_instance);
    if (sop_class == layout.meta.sop_class && sop_instance == layout.meta.sop_instance) {
        out.assign(input.begin(), input.begin() + std::ptrdiff_t(layout.offset));
        out.insert(out.end(), edited.begin(), edited.end());
        return edit_result::kOk;
    }
    const std::string_view wrap_ts = ts.empty() ? encoding_uid(layout.encoding) : ts;
    const int rc = Part10Wrap(sop_class, sop_instance, edited, wrap_ts, out);
    return rc == wrap_result::kOk ? edit_result::kOk : rc;
}

}  // namespace loamwerk
