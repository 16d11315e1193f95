#include "core/dataset.hpp"

#include <algorithm>

#include "core/dictionary.hpp"
#include "core/reencode.hpp"
#include "core/values.hpp"

namespace loamwerk {

namespace {

constexpr std::uint32_t kUndefined = 0xFFFFFFFFu;
constexpr std::uint16_t kItemGroup = 0xFFFE;
constexpr std::uint16_t kItem = 0xE000, kItemEnd = 0xE00D, kSequenceEnd = 0xE0DD;
constexpr std::uint16_t kPixelGroup = 0x7FE0;
constexpr int kMaxDepth = 64;
constexpr std::size_t kMaxCreators = 64;

bool is_pixel_tag(std::uint16_t group, std::uint16_t element) {
    return group == kPixelGroup && (element == 0x0008 || element == 0x0009 || element == 0x0010);
}
bool is_unknown_or_un(VR v) { return v == 0 || v == vr::UN; }

// ---------------------------------------------------------------------------------------------
// File meta

struct MetaUids {
    std::string_view ts, sop_class, sop_instance;
    void capture(std::uint16_t element, const std::uint8_t* value, std::size_t n) {
        const std::string_view v = trim_padding(as_text(value, n));
        if (element == 0x0010) ts = v;
        else if (element == 0x0002) sop_class = v;
        else if (element == 0x0003) sop_instance = v;
    }
    void store(FileMetaInfo& m) const {
        m.transfer_syntax = ts;
        m.sop_class = sop_class;
        m.sop_instance = sop_instance;
    }
};

bool has_magic(const std::uint8_t* buf) { return as_text(buf + 128, 4) == "DICM"; }

FileMetaInfo strict_meta(const std::uint8_t* buf, std::size_t size) {
    FileMetaInfo m;
    if (size < 132) return m.result = meta_result::kTruncated, m;
    if (!has_magic(buf)) return m.result = meta_result::kNoMagic, m;
    if (size < 144) return m.result = meta_result::kTruncated, m;
    if (load_le16(buf + 132) != 0x0002 || load_le16(buf + 134) != 0x0000 || load_le16(buf + 136) != vr::UL)
        return m.result = meta_result::kMalformed, m;
    const std::uint64_t meta_end = 144 + std::uint64_t(load_le32(buf + 140));
    if (meta_end > size) return m.result = meta_result::kTruncated, m;

    MetaUids uids;
    std::size_t pos = 144;
    while (pos + 8 <= meta_end) {
        const std::uint16_t group = load_le16(buf + pos), element = load_le16(buf + pos + 2);
        const VR v = load_le16(buf + pos + 4);
        std::uint64_t len, header;
        if (has_long_length(v)) {
            if (pos + 12 > meta_end) return m.result = meta_result::kTruncated, m;
            len = load_le32(buf + pos + 8);
            header = 12;
        } else {
            len = load_le16(buf + pos + 6);
            header = 8;
        }
        if (pos + header + len > meta_end) return m.result = meta_result::kTruncated, m;
        if (group == 0x0002) uids.capture(element, buf + pos + header, std::size_t(len));
        pos += std::size_t(header + len);
    }
    uids.store(m);
    if (uids.ts.empty() || uids.sop_class.empty() || uids.sop_instance.empty())
        return m.result = meta_result::kMissingUid, m;
    m.dataset_offset = std::size_t(meta_end);
    m.result = meta_result::kOk;
    return m;
}

// Ignores the group length and reads group-0002 elements in whichever form they come.
// The group-0002 elements from `pos` on, whatever their group length says.
FileMetaInfo meta_elements_from(const std::uint8_t* buf, std::size_t size, std::size_t pos) {
    FileMetaInfo m;
    MetaUids uids;
    bool any = false;
    while (size - pos >= 8 && load_le16(buf + pos) == 0x0002) {
        const std::uint16_t element = load_le16(buf + pos + 2);
        const VR v = load_le16(buf + pos + 4);
        std::uint64_t len, header;
        if (!is_vr(v)) {
            len = load_le32(buf + pos + 4);
            header = 8;
        } else if (has_long_length(v)) {
            if (size - pos < 12) return m.result = meta_result::kTruncated, m;
            len = load_le32(buf + pos + 8);
            header = 12;
        } else {
            len = load_le16(buf + pos + 6);
            header = 8;
        }
        if (header + len > size - pos) return m.result = meta_result::kTruncated, m;
        uids.capture(element, buf + pos + header, std::size_t(len));
        pos += std::size_t(header + len);
        any = true;
    }
    if (!any) return m.result = meta_result::kMalformed, m;
    uids.store(m);
    m.dataset_offset = pos;
    m.result = meta_result::kOk;
    return m;
}

FileMetaInfo read_meta_lenient(const std::uint8_t* buf, std::size_t size) {
    FileMetaInfo m;
    if (size < 140) return m.result = meta_result::kTruncated, m;
    if (!has_magic(buf)) return m.result = meta_result::kNoMagic, m;
    return meta_elements_from(buf, size, 132);
}

// File meta written without the preamble and "DICM": the buffer opens with an explicit VR
// group-0002 element (some writers do this). Group 0002 belongs to nothing but file meta.
FileMetaInfo read_meta_at_start(const std::uint8_t* buf, std::size_t size) {
    FileMetaInfo m;
    if (size < 8 || load_le16(buf) != 0x0002 || !is_vr(load_le16(buf + 4))) return m;
    m = meta_elements_from(buf, size, 0);
    if (m.ok() && m.transfer_syntax.empty()) return FileMetaInfo{};  // nothing to say how the data set is encoded
    m.meta_offset = 0;
    return m;
}

bool looks_le_group(const std::uint8_t* p) { return p[0] >= 2 && p[1] == 0; }
bool looks_be_group(const std::uint8_t* p) { return p[0] == 0 && p[1] >= 2; }

// ---------------------------------------------------------------------------------------------
// Element headers and their repairs

bool printable(std::uint8_t c) { return c >= 0x20 && c <= 0x7E; }
bool control_text(std::uint8_t c) { return c == 0x0A || c == 0x0C || c == 0x0D || c == 0x09; }

template <class Pred>
std::size_t run_of(const std::uint8_t* p, std::size_t n, Pred ok) {
    std::size_t i = 0;
    while (i < n && ok(p[i])) ++i;
    return i;
}

std::size_t even_down(std::size_t n) { return n & ~std::size_t(1); }

// Length of a leading zero-word run, or one word when the first word is non-zero.
std::size_t word_run(const std::uint8_t* p, std::size_t n, std::size_t width) {
    if (n < width) return 0;
    auto zero = [&](std::size_t at) {
        for (std::size_t k = 0; k < width; ++k)
            if (p[at + k]) return false;
        return true;
    };
    if (!zero(0)) return width;
    std::size_t i = 0;
    while (i + width <= n && zero(i)) i += width;
    return i;
}

// The longest prefix of the n bytes at p that is a plausible value of the VR (never above n).
std::size_t plausible_length(VR v, const std::uint8_t* p, std::size_t n) {
    switch (v) {
        case vr::UI: {
            const std::size_t r = run_of(p, n, [](std::uint8_t c) { return (c >= '0' && c <= '9') || c == '.'; });
            return std::min(n, r + (r & 1));
        }
        case vr::DS:
            return even_down(run_of(p, n, [](std::uint8_t c) {
                return (c >= '0' && c <= '9') || c == ' ' || c == '+' || c == '-' || c == '.' || c == 'E' || c == 'e';
            }));
        case vr::IS:
            return even_down(run_of(p, n, [](std::uint8_t c) { return (c >= '0' && c <= '9') || c == ' ' || c == '+' || c == '-'; }));
        case vr::PN: return even_down(run_of(p, n, [](std::uint8_t c) { return printable(c) && c != '\\'; }));
        case vr::LO: return even_down(run_of(p, n, [](std::uint8_t c) { return (printable(c) && c != '\\') || c == 0x1B; }));
        case vr::LT: return even_down(run_of(p, n, [](std::uint8_t c) { return printable(c) || control_text(c) || c == 0x1B; }));
        case vr::ST: case 0:
        case vr::AE: case vr::CS: case vr::SH: case vr::DA: case vr::DT: case vr::TM:
            return even_down(run_of(p, n, printable));
        case vr::UC: case vr::UT: case vr::UR:
            return even_down(run_of(p, n, [](std::uint8_t c) { return printable(c) || control_text(c) || c == 0x1B || c >= 0x80; }));
        case vr::US: case vr::SS: return word_run(p, n, 2);
        case vr::FL: case vr::SL: case vr::UL: return word_run(p, n, 4);
        case vr::FD: return word_run(p, n, 8);
        case vr::AS: case vr::AT: return n >= 4 && run_of(p, 4, printable) == 4 ? 4 : 0;
        case vr::OB: case vr::OW: return 0;
        default: return even_down(n);  // OD, OF, OL, OV, SV, UV, UN, SQ: no content rule to go by
    }
}

// Whether an element header plausibly starts at q (left bytes remain): used to tell a correct
// odd length from one that counts a byte of the next tag.
bool next_header_plausible(const std::uint8_t* q, std::size_t left, std::uint16_t group, bool big, bool implicit) {
    if (left == 0) return true;
    if (left < 8) return false;
    const std::uint16_t next = load16(q, big);
    if (next == kItemGroup) return true;
    if (next < group) return false;
    return implicit || is_vr(load_le16(q + 4));
}

struct Header {
    VR vr = 0;
    std::uint64_t length = 0;
    std::size_t size = 0;  // header bytes after the tag
    bool undefined = false;
    bool implicit_content = false;
    bool cut_off = false;  // the stated value ran past the bytes available
};

// Reads the header after a tag; p points past the tag, remaining counts the bytes from there.
bool read_header(const std::uint8_t* p, std::size_t remaining, std::uint16_t group, std::uint16_t element,
                 bool big, bool implicit, Header& h, bool repair = true) {
    if (remaining < 4) return false;
    const VR stated = load_le16(p);
    bool sixteen = false;
    if (!implicit && is_vr(stated)) {
        h.vr = stated;
        if (has_long_length(stated)) {
            if (remaining < 8) return false;
            h.length = load32(p + 4, big);
            h.size = 8;
        } else {
            std::uint16_t len = load16(p + 2, big);
            if (big && len > remaining - 4) len = load_le16(p + 2);
            h.length = len;
            h.size = 4;
            sixteen = true;
        }
    } else {
        h.vr = dict::implicit_vr(group, element);
        h.length = load32(p, big);
        h.size = 4;
    }
    if ((sixteen && h.length == 0xFFFF) || (!sixteen && h.length == kUndefined)) {
        h.undefined = true;
        h.length = 0;
        if (is_unknown_or_un(h.vr)) {
            if (is_pixel_tag(group, element)) {
                if (h.vr == 0) h.vr = vr::OW;
            } else {
                h.vr = vr::SQ;
                h.implicit_content = true;
            }
        }
        return true;
    }
    if (!repair) return true;

    const std::size_t avail = remaining - h.size;
    const std::uint8_t* value = p + h.size;
    const Tag tag = make_tag(group, element);
    // Zero-length values are kept as they are: an empty value is legitimate, and measuring
    // the following bytes would swallow the next element's tag.
    if ((h.vr == vr::FL || h.vr == vr::SL || h.vr == vr::UL) && h.length % 4 != 0) {
        const VR d = dict::dictionary_vr(tag);
        if (d != 0 && d != h.vr) h.length = plausible_length(d, value, avail);
    }
    if (h.length > avail) {
        if (tag == make_tag(kPixelGroup, 0x0010)) {
            h.length = avail;
        } else if (h.vr == vr::UN && h.size == 8) {
            // A short-form VR mislabelled UN: the reserved field holds the real length.
            const VR d = dict::dictionary_vr(tag);
            if (d != 0) h.vr = d;
            h.length = load16(p + 2, big);
            h.size = 4;
            h.length = std::min<std::uint64_t>(h.length, remaining - 4);
        } else {
            // Keep exactly the bytes that are there: guessing a shorter value would parse the
            // rest of this value as elements that were never written.
            h.length = avail;
            h.cut_off = true;
            if (is_text_vr(h.vr) || h.vr == 0)
                while (h.length > 0 && (value[h.length - 1] == ' ' || value[h.length - 1] == 0)) --h.length;
        }
    } else if ((h.length & 1) && is_text_vr(h.vr)) {
        // A stated odd length that lands on a plausible next header is kept, so that values
        // with non-ASCII characters are not cut short.
        const std::size_t n = std::size_t(h.length);
        const std::size_t run = run_of(value, n, printable);
        if (run < n && !next_header_plausible(value + n, avail - n, group, big, implicit)) h.length = run;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Nested content

std::optional<std::size_t> skip_sequence_at(const std::uint8_t* p, std::size_t n, int depth, Encoding enc);

std::optional<std::size_t> skip_item_at(const std::uint8_t* p, std::size_t n, int depth, Encoding enc) {
    if (depth > kMaxDepth || n < 4) return std::nullopt;
    const bool big = enc == Encoding::ExplicitBE;
    const bool implicit = enc == Encoding::ImplicitLE;
    std::size_t pos = 0;
    while (n - pos >= 4) {
        const std::uint16_t group = load16(p + pos, big), element = load16(p + pos + 2, big);
        if (group == kItemGroup) {
            if (element == kItemEnd) return pos;
            return std::nullopt;  // an item or sequence delimiter cannot stand here
        }
        Header h;
        if (!read_header(p + pos + 4, n - pos - 4, group, element, big, implicit, h)) return std::nullopt;
        const std::size_t value = pos + 4 + h.size;
        if (h.undefined) {
            const Encoding inner = h.implicit_content ? Encoding::ImplicitLE : enc;
            const auto end = skip_sequence_at(p + value, n - value, depth + 1, inner);
            if (!end || n - value - *end < 8) return std::nullopt;
            pos = value + *end + 8;
        } else {
            if (h.cut_off || h.length > n - value) return std::nullopt;
            pos = value + std::size_t(h.length);
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> skip_sequence_at(const std::uint8_t* p, std::size_t n, int depth, Encoding enc) {
    if (depth > kMaxDepth || n < 8) return std::nullopt;
    const bool big = enc == Encoding::ExplicitBE;
    std::size_t pos = 0;
    while (n - pos >= 8) {
        const std::uint16_t group = load16(p + pos, big), element = load16(p + pos + 2, big);
        const std::uint32_t len = load32(p + pos + 4, big);
        if (group != kItemGroup) return std::nullopt;
        if (element == kSequenceEnd) return pos;
        if (element != kItem) return std::nullopt;
        const std::size_t content = pos + 8;
        if (len == kUndefined) {
            const auto end = skip_item_at(p + content, n - content, depth + 1, enc);
            if (!end || n - content - *end < 8) return std::nullopt;
            pos = content + *end + 8;
        } else {
            if (len > n - content) return std::nullopt;
            pos = content + len;
        }
    }
    return std::nullopt;
}

// True when the n bytes are exactly whole elements (used for the content of defined-length items).
bool whole_elements(const std::uint8_t* p, std::size_t n, int depth, Encoding enc) {
    if (depth > kMaxDepth) return false;
    const bool big = enc == Encoding::ExplicitBE;
    const bool implicit = enc == Encoding::ImplicitLE;
    std::size_t pos = 0;
    while (pos < n) {
        if (n - pos < 8) return false;
        const std::uint16_t group = load16(p + pos, big), element = load16(p + pos + 2, big);
        if (group == kItemGroup) return false;
        Header h;
        // Stated lengths only: an item made of items must not need repairs to fit.
        if (!read_header(p + pos + 4, n - pos - 4, group, element, big, implicit, h, false)) return false;
        const std::size_t value = pos + 4 + h.size;
        if (h.undefined) {
            const Encoding inner = h.implicit_content ? Encoding::ImplicitLE : enc;
            const auto end = skip_sequence_at(p + value, n - value, depth + 1, inner);
            if (!end || n - value - *end < 8) return false;
            pos = value + *end + 8;
        } else {
            if (h.length > n - value) return false;
            pos = value + std::size_t(h.length);
        }
    }
    return true;
}

// True when the value is one or more well-formed items and nothing else.
bool consists_of_items(const std::uint8_t* p, std::size_t n, Encoding enc) {
    if (n < 8) return false;
    std::size_t pos = 0;
    while (pos < n) {
        if (n - pos < 8) return false;
        if (load_le16(p + pos) != kItemGroup || load_le16(p + pos + 2) != kItem) return false;
        const std::uint32_t len = load_le32(p + pos + 4);
        const std::size_t content = pos + 8;
        if (len == kUndefined) {
            const auto end = skip_item_at(p + content, n - content, 1, enc);
            if (!end || n - content - *end < 8) return false;
            pos = content + *end + 8;
        } else {
            if (len > n - content || !whole_elements(p + content, len, 1, enc)) return false;
            pos = content + len;
        }
    }
    return true;
}

struct Creator {
    std::uint16_t group;
    std::uint8_t block;
    std::string_view value;
};

// The creator of a private element's block, searched from the most recent entry backwards.
std::string_view creator_for(const Creator* table, std::size_t count, std::uint16_t group, std::uint8_t block) {
    for (std::size_t i = count; i-- > 0;)
        if (table[i].group == group && table[i].block == block) return table[i].value;
    return {};
}

}  // namespace

FileMetaInfo read_meta_strict(const std::uint8_t* buf, std::size_t size) { return strict_meta(buf, size); }

// -------------------------------------------------------------------------------------------------

FileMetaInfo read_meta(const std::uint8_t* buf, std::size_t size) {
    if (!buf) return FileMetaInfo{};
    FileMetaInfo m = strict_meta(buf, size);
    if (m.result == meta_result::kTruncated || m.result == meta_result::kMalformed ||
        m.result == meta_result::kMissingUid)
        m = read_meta_lenient(buf, size);
    if (!m.ok()) {
        if (FileMetaInfo at_start = read_meta_at_start(buf, size); at_start.ok()) return at_start;
    }
    return m;
}

NakedSniff sniff_naked(const std::uint8_t* buf, std::size_t size) {
    NakedSniff s;
    if (!buf || size < 8) return s;
    auto looks = [&](std::size_t at) { return looks_le_group(buf + at) || looks_be_group(buf + at); };
    if (looks(0)) {
        s.found = true;
        s.start = 0;
    } else {
        const std::size_t limit = std::min<std::size_t>(size - 8, 256);
        for (std::size_t k = 0; k < limit; ++k) {
            const std::uint8_t* g = buf + k + 1;
            if (!looks_le_group(g) && !looks_be_group(g)) continue;
            const std::uint16_t element = looks_le_group(g) ? load_le16(buf + k + 3) : load_be16(buf + k + 3);
            if (is_vr(load_le16(buf + k + 5)) || element < 256) {
                s.found = true;
                s.start = k + 1;
                break;
            }
        }
        if (!s.found) return s;
    }
    if (looks_be_group(buf + s.start)) s.encoding = Encoding::ExplicitBE;
    else if (is_vr(load_le16(buf + s.start + 4))) s.encoding = Encoding::ExplicitLE;
    else s.encoding = Encoding::ImplicitLE;
    return s;
}

std::string_view encoding_uid(Encoding e) {
    switch (e) {
        case Encoding::ImplicitLE: return "1.2.840.10008.1.2";
        case Encoding::ExplicitLE: return "1.2.840.10008.1.2.1";
        case Encoding::ExplicitBE: return "1.2.840.10008.1.2.2";
    }
    return {};
}

namespace dataset {

std::optional<std::size_t> skip_sequence(const std::uint8_t* first, std::size_t size, int depth, Encoding encoding) {
    return skip_sequence_at(first, size, depth, encoding);
}
std::optional<std::size_t> skip_item(const std::uint8_t* first, std::size_t size, int depth, Encoding encoding) {
    return skip_item_at(first, size, depth, encoding);
}

bool parse(const std::uint8_t* first, std::size_t size, Encoding encoding, std::vector<ElementRef>& out) {
    const bool big = encoding == Encoding::ExplicitBE;
    const bool implicit = encoding == Encoding::ImplicitLE;
    Creator creators[kMaxCreators];
    std::size_t ncreators = 0;
    std::size_t pos = 0;
    const std::uint8_t* header = first;
    auto record = [&](const std::uint8_t* value, std::uint64_t length, Tag tag, VR v, Encoding e) {
        out.push_back(ElementRef{value, length, tag, v, e, header});
    };

    while (first && size - pos >= 4) {
        const std::uint8_t* p = first + pos;
        header = p;
        const std::uint16_t group = load16(p, big), element = load16(p + 2, big);
        if (group == 0) return true;  // trailing zero padding ends the dataset
        const std::size_t remaining = size - pos;

        if (group == kItemGroup) {
            if (remaining < 8) return false;
            const std::uint32_t len = load32(p + 4, big);
            pos += 8;
            if (element == kItemEnd || element == kSequenceEnd) continue;
            const std::size_t avail = remaining - 8;
            const Tag item = make_tag(kItemGroup, kItem);
            if (len == kUndefined) {
                const auto end = skip_item_at(p + 8, avail, 0, encoding);
                if (end && avail - *end >= 8) {
                    record(p + 8, *end, item, 0, encoding);
                    pos += *end + 8;
                    continue;
                }
                record(p + 8, avail, item, 0, encoding);
                return true;
            }
            const std::size_t n = std::min<std::size_t>(len, avail);
            record(p + 8, n, item, 0, encoding);
            pos += n;
            continue;
        }

        Header h;
        if (!read_header(p + 4, remaining - 4, group, element, big, implicit, h)) return false;
        const std::size_t value_at = pos + 4 + h.size;
        const std::uint8_t* value = first + value_at;
        const std::size_t avail = size - value_at;
        const Tag tag = make_tag(group, element);

        if (h.undefined) {
            const Encoding inner = h.implicit_content ? Encoding::ImplicitLE : encoding;
            const auto end = skip_sequence_at(value, avail, 0, inner);
            const bool becomes_sq = is_unknown_or_un(h.vr) && group != kPixelGroup;
            // UN content is implicit little endian whatever the dataset's encoding.
            const Encoding rec_enc = becomes_sq ? Encoding::ImplicitLE : inner;
            const VR rec_vr = becomes_sq ? vr::SQ : h.vr;
            if (end && avail - *end >= 8) {
                record(value, *end, tag, rec_vr, rec_enc);
                pos = value_at + *end + 8;
                continue;
            }
            if (group == kPixelGroup && avail > 0) {
                record(value, avail, tag, h.vr, inner);
                return true;
            }
            if (avail >= 4 && load16(value, big) != kItemGroup) {
                record(value, 0, tag, vr::SQ, inner);
                pos = value_at;
                continue;
            }
            record(value, avail, tag, rec_vr, rec_enc);
            return true;
        }

        const std::size_t len = std::size_t(std::min<std::uint64_t>(h.length, avail));
        if (is_private_group(group) && element >= 0x0010 && element <= 0x00FF && h.length > 0 &&
            h.length <= avail && ncreators < kMaxCreators)
            creators[ncreators++] = Creator{group, std::uint8_t(element), as_text(value, len)};

        VR v = h.vr;
        Encoding rec_enc = encoding;
        if (is_unknown_or_un(v)) {
            if (is_private_group(group) && element >= 0x1000) {
                const std::string_view creator = creator_for(creators, ncreators, group, std::uint8_t(element >> 8));
                if (!creator.empty() && dict::is_private_sequence(creator, group, std::uint8_t(element & 0xFF)))
                    v = vr::SQ;
            }
            if (v != vr::SQ && !big && group != kPixelGroup && consists_of_items(value, len, Encoding::ImplicitLE))
                v = vr::SQ;
            if (v == vr::SQ) rec_enc = Encoding::ImplicitLE;
        }
        record(value, len, tag, v, rec_enc);
        if (h.cut_off) return true;  // the buffer ends inside this value
        pos = value_at + len;
    }
    return true;
}

}  // namespace dataset

DatasetLayout detect_layout(const std::uint8_t* buf, std::size_t size) {
    DatasetLayout d;
    if (!buf) return d;
    d.meta = read_meta(buf, size);
    if (d.meta.ok()) {
        d.recognised = d.has_meta = true;
        d.syntax = syntax_code(d.meta.transfer_syntax);
        d.encoding = encoding_of(d.syntax);
        d.offset = d.meta.dataset_offset;
        if (d.meta.transfer_syntax.empty() && size - d.offset >= 8) {
            // Meta without a transfer syntax: the body's first element says explicit or implicit.
            d.encoding = is_vr(load_le16(buf + d.offset + 4)) ? Encoding::ExplicitLE : Encoding::ImplicitLE;
            d.syntax = d.encoding == Encoding::ExplicitLE ? syntax::kExplicitLE : syntax::kImplicitLE;
        }
        return d;
    }
    const NakedSniff s = sniff_naked(buf, size);
    if (!s.found) return d;
    d.recognised = true;
    d.encoding = s.encoding;
    d.offset = s.start;
    d.syntax = s.encoding == Encoding::ImplicitLE   ? syntax::kImplicitLE
               : s.encoding == Encoding::ExplicitLE ? syntax::kExplicitLE
                                                    : syntax::kExplicitBE;
    return d;
}

Dataset Dataset::borrow(std::span<const std::uint8_t> bytes, Body body) {
    Dataset d;
    d.bytes_ = bytes;
    d.init(body);
    return d;
}

Dataset Dataset::own(OwnedBuffer bytes, Body body) {
    Dataset d;
    d.owned_ = std::move(bytes);
    d.bytes_ = d.owned_.span();
    d.init(body);
    return d;
}

void Dataset::init(Body body) {
    layout_ = detect_layout(bytes_.data(), bytes_.size());
    if (!layout_.recognised) return;
    if (body == Body::kAsStored && layout_.syntax != syntax::kDeflatedLE) {
        body_ = bytes_.subspan(layout_.offset);
        encoding_ = layout_.encoding;
    } else if (!little_endian_body(bytes_, layout_, converted_, body_, encoding_)) {
        return;
    }
    readable_ = true;
    elements_.reserve(64);
    parsed_ = dataset::parse(body_.data(), body_.size(), encoding_, elements_);
}

const ElementRef* Dataset::find(Tag tag) const { return find_element(elements_, tag); }
std::string_view Dataset::text(Tag tag) const { return text_of(elements_, tag); }
std::vector<double> Dataset::numbers(Tag tag) const {
    const ElementRef* e = find(tag);
    return e ? loamwerk::numbers(*e) : std::vector<double>{};
}
std::optional<long> Dataset::integer(Tag tag) const { return integer_of(elements_, tag); }
std::vector<std::vector<ElementRef>> Dataset::items(Tag tag) const { return sequence_items(find(tag)); }

const Dataset& little_endian(const Dataset& ds, Dataset& holder) {
    if (ds.encoding() != Encoding::ExplicitBE) return ds;
    holder = Dataset::borrow(ds.bytes());
    return holder;
}

namespace {

std::optional<ElementRef> first_pixel_element(const std::vector<ElementRef>& elements) {
    for (const ElementRef& e : elements)
        if (is_pixel_tag(tag_group(e.tag), tag_element(e.tag))) return e;
    return std::nullopt;
}

}  // namespace

std::optional<ElementRef> locate_pixel_data(const std::uint8_t* buf, std::size_t size, Dataset& holder) {
    if (!buf || size < 8) return std::nullopt;
    const DatasetLayout d = detect_layout(buf, size);
    if (!d.recognised) return std::nullopt;
    if (d.byte_walkable()) return locate_pixel_data(buf, size);
    // Big endian walked where it is stored, a deflated body inflated once: the value as stored.
    holder = Dataset::borrow({buf, size}, Dataset::Body::kAsStored);
    if (!holder.readable()) return std::nullopt;
    return first_pixel_element(holder.elements());
}

std::optional<ElementRef> locate_pixel_data(const std::uint8_t* buf, std::size_t size) {
    if (!buf || size < 8) return std::nullopt;
    const DatasetLayout d = detect_layout(buf, size);
    if (!d.byte_walkable()) return std::nullopt;
    std::vector<ElementRef> scratch;
    scratch.reserve(64);
    if (!dataset::parse(buf + d.offset, size - d.offset, d.encoding, scratch)) return std::nullopt;
    return first_pixel_element(scratch);
}

}  // namespace loamwerk
