#include "core/writer.hpp"

#include "core/bytes.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "core/dataset.hpp"
#include "core/tags.hpp"

namespace loamwerk {

bool ByteSink::grow_for(std::size_t extra) {
    const std::uint64_t needed = std::uint64_t(size_) + extra;
    if (needed <= capacity_) return true;
    if (needed > kMaxCapacity) return false;
    std::uint64_t cap = capacity_ ? capacity_ : kFirstCapacity;
    while (cap < needed) cap *= 2;
    cap = std::min<std::uint64_t>(cap, kMaxCapacity);
    auto next = std::make_unique_for_overwrite<std::uint8_t[]>(std::size_t(cap));
    if (size_) std::memcpy(next.get(), buf_.get(), size_);
    buf_ = std::move(next);
    capacity_ = std::uint32_t(cap);
    return true;
}

bool ByteSink::append2(const void* a, std::size_t na, const void* b, std::size_t nb) {
    if (failed_ || na > kMaxCapacity || nb > kMaxCapacity || !grow_for(na + nb)) {
        failed_ = true;
        return false;
    }
    if (na) std::memcpy(buf_.get() + size_, a, na);
    if (nb) std::memcpy(buf_.get() + size_ + na, b, nb);
    size_ += std::uint32_t(na + nb);
    return true;
}

void ByteSink::patch_le32(std::size_t at, std::uint32_t value) {
    if (at + 4 <= size_) std::memcpy(buf_.get() + at, &value, 4);
}

namespace {

// The explicit header of an element, or 0 when the value does not fit any length field.
std::size_t evr_header(std::uint8_t* h, std::uint16_t group, std::uint16_t element, VR v, std::size_t length) {
    if (v == 0 || (!has_long_length(v) && length >= 0xFFFF)) v = vr::UN;
    if (length > 0xFFFFFFFEu) return 0;
    store_le16(h, group), store_le16(h + 2, element), store_le16(h + 4, v);
    if (!has_long_length(v)) {
        store_le16(h + 6, std::uint16_t(length));
        return 8;
    }
    store_le16(h + 6, 0), store_le32(h + 8, std::uint32_t(length));
    return 12;
}

std::size_t implicit_header(std::uint8_t* h, Tag tag, std::size_t length) {
    if (length > 0xFFFFFFFEu) return 0;
    store_le16(h, tag_group(tag)), store_le16(h + 2, tag_element(tag)), store_le32(h + 4, std::uint32_t(length));
    return 8;
}

bool to_vector(std::vector<std::uint8_t>& out, const std::uint8_t* h, std::size_t nh, const std::uint8_t* v,
               std::size_t nv) {
    out.insert(out.end(), h, h + nh);
    if (nv) out.insert(out.end(), v, v + nv);
    return true;
}

}  // namespace

bool EvrElementWriter::append(std::uint16_t group, std::uint16_t element, VR vr, const std::uint8_t* value,
                              std::size_t length) {
    std::uint8_t h[12];
    const std::size_t nh = evr_header(h, group, element, vr, length);
    if (!nh) {
        if (sink_) sink_->append(nullptr, std::size_t(ByteSink::kMaxCapacity) + 1);  // marks the sink failed
        return false;
    }
    return sink_ ? sink_->append2(h, nh, value, length) : to_vector(*vec_, h, nh, value, length);
}

bool append_implicit(ByteSink& sink, Tag tag, const std::uint8_t* value, std::size_t length) {
    std::uint8_t h[8];
    const std::size_t nh = implicit_header(h, tag, length);
    return nh ? sink.append2(h, nh, value, length) : sink.append(nullptr, std::size_t(ByteSink::kMaxCapacity) + 1);
}

bool append_implicit(std::vector<std::uint8_t>& out, Tag tag, const std::uint8_t* value, std::size_t length) {
    std::uint8_t h[8];
    const std::size_t nh = implicit_header(h, tag, length);
    return nh && to_vector(out, h, nh, value, length);
}

bool append_element(std::vector<std::uint8_t>& out, Encoding enc, Tag tag, VR vr, const std::uint8_t* value,
                    std::size_t length) {
    if (enc == Encoding::ImplicitLE) return append_implicit(out, tag, value, length);
    return EvrElementWriter(out).append(tag_group(tag), tag_element(tag), vr ? vr : vr::UN, value, length);
}

void append_undefined_header(std::vector<std::uint8_t>& out, Encoding enc, Tag tag, VR vr) {
    std::uint8_t h[12];
    store_le16(h, tag_group(tag)), store_le16(h + 2, tag_element(tag));
    if (enc == Encoding::ImplicitLE) {
        store_le32(h + 4, 0xFFFFFFFFu);
        out.insert(out.end(), h, h + 8);
        return;
    }
    h[4] = std::uint8_t(vr & 0xFF), h[5] = std::uint8_t(vr >> 8), h[6] = h[7] = 0;
    store_le32(h + 8, 0xFFFFFFFFu);
    out.insert(out.end(), h, h + 12);
}

void append_delimiter(std::vector<std::uint8_t>& out, std::uint16_t element, std::uint32_t length) {
    std::uint8_t d[8];
    store_le16(d, 0xFFFE), store_le16(d + 2, element), store_le32(d + 4, length);
    out.insert(out.end(), d, d + 8);
}

void pad_value(VR vr, std::string& value) {
    if (is_text_vr(vr)) {
        if (const std::size_t nul = value.find('\0'); nul != std::string::npos) value.resize(nul);
        if (value.size() & 1) value.push_back(vr == vr::UI ? '\0' : ' ');
    } else if (value.size() & 1) {
        value.push_back('\0');
    }
}

bool is_valid_uid(std::string_view uid) {
    return !uid.empty() && uid.size() <= 64 &&
           std::all_of(uid.begin(), uid.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

namespace {

std::size_t padded(std::size_t n) { return n + (n & 1); }

// (0002,0001) to (0002,0013) of the wrapper, in bytes.
std::size_t meta_group_size(std::string_view sop_class, std::string_view sop_instance, std::string_view ts) {
    return 14 + (8 + padded(sop_class.size())) + (8 + padded(sop_instance.size())) + (8 + padded(ts.size())) +
           (8 + kImplementationClassUid.size()) + (8 + kImplementationVersion.size());
}

std::uint8_t* put_short(std::uint8_t* p, std::uint16_t element, const char* vr, std::string_view value, char pad) {
    const std::size_t n = padded(value.size());
    store_le16(p, 0x0002), store_le16(p + 2, element), p[4] = std::uint8_t(vr[0]), p[5] = std::uint8_t(vr[1]);
    store_le16(p + 6, std::uint16_t(n));
    if (!value.empty()) std::memcpy(p + 8, value.data(), value.size());  // an empty UID may have no data pointer
    if (n != value.size()) p[8 + value.size()] = std::uint8_t(pad);
    return p + 8 + n;
}

}  // namespace

std::size_t part10_wrapped_size(std::string_view sop_class, std::string_view sop_instance, std::size_t body_size,
                                std::string_view transfer_syntax) {
    return 132 + 12 + meta_group_size(sop_class, sop_instance, transfer_syntax) + body_size;
}

int part10_wrap_into(std::string_view sop_class, std::string_view sop_instance, std::span<const std::uint8_t> body,
                     std::string_view transfer_syntax, std::uint8_t* out, std::size_t capacity, std::size_t* written,
                     bool keep_missing_sop) {
    const auto sop_ok = [&](std::string_view uid) { return is_valid_uid(uid) || (keep_missing_sop && uid.empty()); };
    if (!sop_ok(sop_class) || !sop_ok(sop_instance) || !is_valid_uid(transfer_syntax)) return wrap_result::kBadUid;
    const std::size_t total = part10_wrapped_size(sop_class, sop_instance, body.size(), transfer_syntax);
    if (!out || capacity < total) return wrap_result::kOutputTooSmall;
    std::uint8_t* p = out;
    std::memset(p, 0, 128);
    std::memcpy(p + 128, "DICM", 4);
    p += 132;
    store_le16(p, 0x0002), store_le16(p + 2, 0x0000), p[4] = 'U', p[5] = 'L', store_le16(p + 6, 4);
    store_le32(p + 8, std::uint32_t(meta_group_size(sop_class, sop_instance, transfer_syntax)));
    p += 12;
    store_le16(p, 0x0002), store_le16(p + 2, 0x0001), p[4] = 'O', p[5] = 'B', store_le16(p + 6, 0), store_le32(p + 8, 2);
    p[12] = 0x00, p[13] = 0x01;
    p += 14;
    p = put_short(p, 0x0002, "UI", sop_class, '\0');
    p = put_short(p, 0x0003, "UI", sop_instance, '\0');
    p = put_short(p, 0x0010, "UI", transfer_syntax, '\0');
    p = put_short(p, 0x0012, "UI", kImplementationClassUid, '\0');
    p = put_short(p, 0x0013, "SH", kImplementationVersion, ' ');
    if (!body.empty()) std::memcpy(p, body.data(), body.size());
    if (written) *written = total;
    return wrap_result::kOk;
}

int Part10Wrap(std::string_view sop_class, std::string_view sop_instance, std::span<const std::uint8_t> body,
               std::string_view transfer_syntax, std::vector<std::uint8_t>& out) {
    if (!is_valid_uid(sop_class) || !is_valid_uid(sop_instance) || !is_valid_uid(transfer_syntax))
        return wrap_result::kBadUid;
    out.resize(part10_wrapped_size(sop_class, sop_instance, body.size(), transfer_syntax));
    return part10_wrap_into(sop_class, sop_instance, body, transfer_syntax, out.data(), out.size(), nullptr);
}

bool write_object_file_meta(ByteSink& sink, std::string_view sop_class, std::string_view sop_instance) {
    static constexpr std::uint8_t kPreamble[128] = {};
    sink.append(kPreamble, sizeof kPreamble);
    sink.append("DICM", 4);
    EvrElementWriter w(sink);
    const std::uint32_t zero = 0;
    w.append(0x0002, 0x0000, vr::UL, reinterpret_cast<const std::uint8_t*>(&zero), 4);
    const std::size_t group_start = sink.size();
    static constexpr std::uint8_t kVersion[2] = {0x00, 0x01};
    w.append(0x0002, 0x0001, vr::OB, kVersion, 2);
    for (const auto& [element, value] : {std::pair{std::uint16_t(0x0002), sop_class},
                                         std::pair{std::uint16_t(0x0003), sop_instance},
                                         std::pair{std::uint16_t(0x0010), std::string_view("1.2.840.10008.1.2.1")},
                                         std::pair{std::uint16_t(0x0012), kImplementationClassUid}}) {
        std::string v(value);
        pad_value(vr::UI, v);
        w.append(0x0002, element, vr::UI, reinterpret_cast<const std::uint8_t*>(v.data()), v.size());
    }
    if (sink.failed()) return false;
    sink.patch_le32(group_start - 4, sink.size() - std::uint32_t(group_start));
    return true;
}

namespace {

// (FFFE,E000) with the length rounded up to even, the bytes, and the pad byte.
void append_item(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
    std::uint8_t h[8];
    store_le16(h, 0xFFFE), store_le16(h + 2, 0xE000), store_le32(h + 4, std::uint32_t(padded(bytes.size())));
    out.insert(out.end(), h, h + 8);
    out.insert(out.end(), bytes.begin(), bytes.end());
    if (bytes.size() & 1) out.push_back(0);
}

}  // namespace

std::vector<std::uint8_t> encapsulate_pixel_value(std::span<const std::span<const std::uint8_t>> fragments,
                                                  std::span<const std::int64_t> frame_starts) {
    const std::size_t n = fragments.size();
    bool use_table = !frame_starts.empty() && frame_starts[0] >= 0 && std::size_t(frame_starts[0]) < n;
    for (std::size_t i = 1; use_table && i < frame_starts.size(); ++i)
        use_table = frame_starts[i] > frame_starts[i - 1] && std::size_t(frame_starts[i]) < n;

    std::vector<std::uint64_t> item_offset(n + 1, 0);  // of each fragment item, from the first
    for (std::size_t i = 0; i < n; ++i) {
        if (fragments[i].size() > 0xFFFFFFFEu) throw std::length_error("encapsulate_pixel_value: fragment too long");
        item_offset[i + 1] = item_offset[i] + 8 + padded(fragments[i].size());
    }
    const std::size_t table_entries = use_table ? frame_starts.size() : 0;
    if (table_entries * 4 > 0xFFFFFFFEu) throw std::length_error("encapsulate_pixel_value: too many frames");

    std::vector<std::uint8_t> out;
    out.reserve(8 + table_entries * 4 + item_offset[n]);
    std::vector<std::uint8_t> bot(table_entries * 4);
    for (std::size_t f = 0; f < table_entries; ++f) {
        const std::uint64_t off = item_offset[std::size_t(frame_starts[f])];
        if (off > 0xFFFFFFFFu) throw std::length_error("encapsulate_pixel_value: offset beyond 32 bits");
        store_le32(bot.data() + 4 * f, std::uint32_t(off));
    }
    append_item(out, bot);
    for (const auto& fragment : fragments) append_item(out, fragment);
    return out;
}

// One element in Explicit VR Little Endian form, whatever form it was read in; sequences are
// rewritten item by item with defined lengths.
bool write_explicit(const ElementRef& e, std::vector<std::uint8_t>& out, int depth) {
    if (depth > 64) return false;
    if (e.vr != vr::SQ)
        return EvrElementWriter(out).append(tag_group(e.tag), tag_element(e.tag), e.vr ? e.vr : vr::UN, e.value,
                                            std::size_t(e.length));
    std::vector<std::uint8_t> items;
    std::vector<ElementRef> records;
    if (e.value && !dataset::parse(e.value, std::size_t(e.length), e.encoding, records)) return false;
    for (const ElementRef& item : records) {
        if (item.tag != tags::kItem) continue;
        std::vector<std::uint8_t> content;
        std::vector<ElementRef> inner;
        if (item.value && !dataset::parse(item.value, std::size_t(item.length), e.encoding, inner)) return false;
        for (const ElementRef& x : inner)
            if (tag_group(x.tag) != 0xFFFE && !write_explicit(x, content, depth + 1)) return false;
        append_implicit(items, tags::kItem, content.data(), content.size());
    }
    return EvrElementWriter(out).append(tag_group(e.tag), tag_element(e.tag), vr::SQ, items.data(), items.size());
}

std::string utc_now(const char* format) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char buf[32];
    std::strftime(buf, sizeof buf, format, &utc);
    return buf;
}

std::string format_decimals(std::span<const double> values) {
    std::string out;
    for (double v : values) {
        if (!out.empty()) out.push_back('\\');
        out += format_decimal(v);
    }
    return out;
}

std::string format_decimal(double v) {
    char buf[64];
    for (int p = 17; p >= 1; --p) {
        const int n = std::snprintf(buf, sizeof buf, "%.*g", p, v);
        if (n > 0 && n <= 16) return std::string(buf, std::size_t(n));
    }
    return std::string(buf);
}

}  // namespace loamwerk
