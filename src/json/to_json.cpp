#include "json/to_json.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "core/bytes.hpp"
#include "core/charset.hpp"
#include "core/dataset.hpp"
#include "core/dictionary.hpp"
#include "core/inflate.hpp"
#include "core/tags.hpp"
#include "core/reencode.hpp"

namespace loamwerk::bridge {

std::string_view message(int code) {
    switch (code) {
    case 0: return "input did not parse";
    case 1: return "VR not supported by the bridge";
    case 2: return "length field overruns container";
    case 3: return "malformed tag key or VR in JSON";
    case 4: return "missing SOP Class UID (0008,0016) and/or SOP Instance UID (0008,0018)";
    case 5: return "Part-10 wrap failed";
    case 6: return "transfer syntax not supported (deflate / big-endian)";
    case 7:
        return "transfer syntax is encapsulated but (7FE0,0010) Pixel Data is not \xE2\x80\x94 encapsulate or "
               "compress it before writing";
    default: return "unknown bridge error";
    }
}

VrClass classify(VR v) {
    switch (v) {
    case vr::AE: case vr::AS: case vr::CS: case vr::DA: case vr::DT: case vr::LO: case vr::LT: case vr::SH:
    case vr::ST: case vr::TM: case vr::UC: case vr::UI: case vr::UR: case vr::UT:
        return VrClass::Text;
    case vr::DS: case vr::IS: return VrClass::NumericString;
    case vr::US: return VrClass::US;
    case vr::UL: return VrClass::UL;
    case vr::SS: return VrClass::SS;
    case vr::SL: return VrClass::SL;
    case vr::FL: return VrClass::FL;
    case vr::FD: return VrClass::FD;
    case vr::AT: return VrClass::AT;
    case vr::PN: return VrClass::PN;
    case vr::SQ: return VrClass::SQ;
    case vr::OB: case vr::OD: case vr::OF: case vr::OL: case vr::OV: case vr::OW: case vr::UN:
        return VrClass::Binary;
    default: return VrClass::Other;
    }
}

VR dictionary_public_vr(Tag tag) {
    const std::uint16_t group = tag_group(tag), element = tag_element(tag);
    if (is_private_group(group) && element >= 0x0010 && element <= 0x00FF) return vr::LO;
    const dict::TagInfo info = dict::lookup_tag(tag);
    return info.found && info.vr.size() == 2 && is_vr(make_vr(info.vr)) ? make_vr(info.vr) : VR(0);
}

VR dictionary_private_vr(std::string_view creator, std::uint16_t group, std::uint8_t element_low) {
    const dict::TagInfo info = dict::lookup_private(creator, group, element_low);
    return info.found && info.vr.size() == 2 && is_vr(make_vr(info.vr)) ? make_vr(info.vr) : VR(0);
}

namespace {

constexpr int kMaxDepth = 64;

std::string_view trim_trailing(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.remove_suffix(1);
    return s;
}

std::string_view trim_spaces(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

bool charset_sensitive(VR v) {
    return v == vr::SH || v == vr::LO || v == vr::ST || v == vr::LT || v == vr::UT || v == vr::UC || v == vr::PN;
}

bool is_pixel_tag(Tag t) {
    return t == tags::kFloatPixelData || t == tags::kDoubleFloatPixelData || t == tags::kPixelData;
}

void put_hex8(std::string& out, std::uint32_t v) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kHex[(v >> shift) & 0xF]);
}

template <class T>
void put_number(std::string& out, T v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

// Shortest text that reads back as the same double; null for NaN and infinities.
void put_double(std::string& out, double v) {
    if (!std::isfinite(v)) {
        out += "null";
        return;
    }
    put_number(out, v);
}

// A JSON string: valid UTF-8 copied, any other byte replaced by U+FFFD, escapes as needed.
void put_string(std::string& out, std::string_view s) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out.push_back('"');
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    const std::size_t n = s.size();
    std::size_t run = 0;  // start of a stretch copied as is
    for (std::size_t i = 0; i < n;) {
        const std::uint8_t b = p[i];
        if (b >= 0x20 && b < 0x80 && b != '"' && b != '\\') {
            ++i;
            continue;
        }
        out.append(s.data() + run, i - run);
        if (b >= 0x80) {
            if (const std::size_t len = charset::utf8_sequence_length(p + i, n - i)) {
                out.append(s.data() + i, len);
                i += len;
            } else {
                out += "\xEF\xBF\xBD";
                ++i;
            }
        } else {
            switch (b) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                out += "\\u00";
                out.push_back(kHex[b >> 4]);
                out.push_back(kHex[b & 0xF]);
            }
            ++i;
        }
        run = i;
    }
    out.append(s.data() + run, n - run);
    out.push_back('"');
}

void put_base64(std::string& out, const std::uint8_t* p, std::size_t n) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out.reserve(out.size() + (n + 2) / 3 * 4 + 2);
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t v = (std::uint32_t(p[i]) << 16) | (std::uint32_t(p[i + 1]) << 8) | p[i + 2];
        out.push_back(kAlphabet[v >> 18]), out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(kAlphabet[(v >> 6) & 63]), out.push_back(kAlphabet[v & 63]);
    }
    if (i < n) {
        const std::uint32_t v = (std::uint32_t(p[i]) << 16) | (i + 1 < n ? std::uint32_t(p[i + 1]) << 8 : 0);
        out.push_back(kAlphabet[v >> 18]), out.push_back(kAlphabet[(v >> 12) & 63]);
        out.push_back(i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
}

// A DS component in the decimal grammar: sign, digits with an optional point (at least one
// digit), optional exponent.
bool decimal_grammar(std::string_view s) {
    std::size_t i = 0, digits = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    }
    if (!digits) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t exp = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++exp;
        if (!exp) return false;
    }
    return i == s.size();
}

void put_numeric_component(std::string& out, std::string_view c, VR v, bool as_text) {
    if (c.empty()) {
        out += "null";
        return;
    }
    if (as_text) {
        put_string(out, c);
        return;
    }
    std::string_view n = c;
    if (n.front() == '+') n.remove_prefix(1);
    if (v == vr::IS) {
        const bool digits = !n.empty() && n.find_first_not_of("0123456789", n.front() == '-' ? 1 : 0) == std::string_view::npos &&
                            n != "-";
        std::int64_t value;
        if (digits && std::from_chars(n.data(), n.data() + n.size(), value).ec == std::errc{}) {
            put_number(out, value);
            return;
        }
    } else if (!n.empty() && n.size() <= 63 && decimal_grammar(n)) {
        double d;
        const char* first = n.data() + (n.front() == '+' ? 1 : 0);
        const auto r = std::from_chars(first, n.data() + n.size(), d);
        if (r.ec == std::errc{} && r.ptr == n.data() + n.size() && std::isfinite(d)) {
            char buf[64];
            const auto w = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::general, 17);
            if (w.ec == std::errc{} && w.ptr - buf >= 1 && w.ptr - buf <= 38) {
                out.append(buf, w.ptr);
                return;
            }
        }
    }
    put_string(out, c);
}

bool signed_pixels(const std::vector<ElementRef>& elements) {
    for (const ElementRef& e : elements)
        if (e.tag == tags::kPixelRepresentation) return e.length >= 2 && load_le16(e.value) == 1;
    return false;
}

// Attributes whose VR follows Pixel Representation; the LUT descriptors are left alone, their
// first value is unsigned whatever the pixels are.
bool us_or_ss(Tag tag) {
    if (tag == tags::kRedPaletteColorLookupTableDescriptor || tag == tags::kGreenPaletteColorLookupTableDescriptor ||
        tag == tags::kBluePaletteColorLookupTableDescriptor || tag == tags::kLUTDescriptor) return false;
    return dict::lookup_tag(tag).vr.substr(0, 8) == "US or SS";
}

struct DecoderCloser {
    void operator()(CharsetDecoder* d) const { charset_decoder_close(d); }
};

class Writer {
public:
    Writer(const JsonWriteOptions& options, std::string& out) : opt_(options), out_(out) {}

    bool object(const std::vector<ElementRef>& elements, std::string_view charset, int depth) {
        if (depth > kMaxDepth) return false;
        out_.push_back('{');
        bool first = true;
        for (const ElementRef& e : elements) {
            if (tag_element(e.tag) == 0 || tag_group(e.tag) == 0xFFFE) continue;  // group lengths, stray items
            VR v = e.vr ? e.vr : vr::UN;
            if (v == vr::SQ && e.length >= 4 && load_le32(e.value) != 0xE000FFFEu) v = vr::UN;
            const VrClass cls = classify(v);
            if (cls == VrClass::Other) continue;
            if (cls == VrClass::Binary && (is_pixel_tag(e.tag) || !opt_.inline_binary)) continue;
            if (!first) out_.push_back(',');
            first = false;
            out_.push_back('"');
            put_hex8(out_, e.tag);
            out_ += "\":{\"vr\":\"";
            out_.push_back(char(v & 0xFF)), out_.push_back(char(v >> 8));
            out_.push_back('"');
            if (cls == VrClass::Binary) {
                if (e.length) {
                    out_ += ",\"InlineBinary\":\"";
                    put_base64(out_, e.value, std::size_t(e.length));
                    out_.push_back('"');
                }
                out_.push_back('}');
                continue;
            }
            if (cls != VrClass::SQ && e.length == 0) {
                out_.push_back('}');
                continue;
            }
            out_ += ",\"Value\":[";
            if (!values(e, v, cls, charset, depth)) return false;
            out_ += "]}";
        }
        out_.push_back('}');
        return true;
    }

private:
    std::string_view decoded(const ElementRef& e, VR v, std::string_view charset) {
        const std::string_view raw = as_text(e.value, std::size_t(e.length));
        if (charset.empty() || !charset_sensitive(v)) return raw;
        CharsetDecoder* d = decoder(charset);
        if (!d || decode_text(d, e.value, std::size_t(e.length), charset::vr_delimiters(v), text_) != kCharsetOk)
            return raw;
        return text_;
    }

    // One decoder per character set seen in the call, opened as the single-value call does.
    CharsetDecoder* decoder(std::string_view charset) {
        for (auto& [name, d] : decoders_)
            if (name == charset) return d.get();
        decoders_.emplace_back(std::string(charset),
                               std::unique_ptr<CharsetDecoder, DecoderCloser>(
                                   charset_decoder_open(std::string(charset).c_str(), kCharsetSingleValue)));
        return decoders_.back().second.get();
    }

    bool values(const ElementRef& e, VR v, VrClass cls, std::string_view charset, int depth) {
        const std::uint8_t* p = e.value;
        const std::size_t n = std::size_t(e.length);
        auto words = [&](std::size_t size, auto put) {
            for (std::size_t i = 0; i + size <= n; i += size) {
                if (i) out_.push_back(',');
                put(p + i);
            }
        };
        switch (cls) {
        case VrClass::Text: {
            const std::string_view text = trim_trailing(decoded(e, v, charset));
            if (v == vr::LT || v == vr::ST || v == vr::UT) {
                put_string(out_, text);
                return true;
            }
            split(text, [&](std::string_view c) { put_string(out_, c); });
            return true;
        }
        case VrClass::PN: {
            const std::string_view text = trim_trailing(decoded(e, v, charset));
            split(text, [&](std::string_view c) { person_name(c); });
            return true;
        }
        case VrClass::NumericString: {
            const std::string_view text = trim_trailing(as_text(p, n));
            split(text, [&](std::string_view c) { put_numeric_component(out_, trim_spaces(c), v, opt_.numeric_as_text); });
            return true;
        }
        case VrClass::US: words(2, [&](const std::uint8_t* q) { put_number(out_, load_le16(q)); }); return true;
        case VrClass::SS: words(2, [&](const std::uint8_t* q) { put_number(out_, std::int16_t(load_le16(q))); }); return true;
        case VrClass::UL: words(4, [&](const std::uint8_t* q) { put_number(out_, load_le32(q)); }); return true;
        case VrClass::SL: words(4, [&](const std::uint8_t* q) { put_number(out_, std::int32_t(load_le32(q))); }); return true;
        case VrClass::FL:
            words(4, [&](const std::uint8_t* q) {
                float f;
                std::memcpy(&f, q, 4);
                put_double(out_, double(f));
            });
            return true;
        case VrClass::FD:
            words(8, [&](const std::uint8_t* q) {
                double d;
                std::memcpy(&d, q, 8);
                put_double(out_, d);
            });
            return true;
        case VrClass::AT:
            if (n % 4) return false;
            words(4, [&](const std::uint8_t* q) {
                out_.push_back('"');
                put_hex8(out_, (std::uint32_t(load_le16(q)) << 16) | load_le16(q + 2));
                out_.push_back('"');
            });
            return true;
        case VrClass::SQ: return items(e, charset, depth);
        default: return true;
        }
    }

    // Each backslash-separated component, the array separators written in between.
    template <class F>
    void split(std::string_view text, F each) {
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = text.find('\\', start);
            each(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
            if (end == std::string_view::npos) return;
            out_.push_back(',');
            start = end + 1;
        }
    }

    void person_name(std::string_view component) {
        static constexpr const char* kGroups[] = {"Alphabetic", "Ideographic", "Phonetic"};
        out_.push_back('{');
        bool any = false;
        std::size_t start = 0;
        for (int g = 0; g < 3; ++g) {
            const std::size_t end = component.find('=', start);
            const std::string_view group =
                component.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
            if (!group.empty()) {
                if (any) out_.push_back(',');
                out_.push_back('"');
                out_ += kGroups[g];
                out_ += "\":";
                put_string(out_, group);
                any = true;
            }
            if (end == std::string_view::npos) break;
            start = end + 1;
        }
        if (!any) out_ += "\"Alphabetic\":\"\"";
        out_.push_back('}');
    }

    bool items(const ElementRef& e, std::string_view charset, int depth) {
        std::vector<ElementRef> records;
        records.reserve(8);
        if (!dataset::parse(e.value, std::size_t(e.length), e.encoding, records)) return false;
        bool first = true;
        for (const ElementRef& item : records) {
            if (item.tag != tags::kItem) continue;
            std::vector<ElementRef> inner;
            inner.reserve(16);
            if (!dataset::parse(item.value, std::size_t(item.length), e.encoding, inner)) return false;
            std::string own;
            for (const ElementRef& x : inner)
                if (x.tag == tags::kSpecificCharacterSet && x.value) {
                    own = std::string(trim_trailing(as_text(x.value, std::size_t(x.length))));
                    break;
                }
            if (!first) out_.push_back(',');
            first = false;
            if (!object(inner, own.empty() ? charset : std::string_view(own), depth + 1)) return false;
        }
        return true;
    }

    const JsonWriteOptions& opt_;
    std::string& out_;
    std::string text_;
    std::vector<std::pair<std::string, std::unique_ptr<CharsetDecoder, DecoderCloser>>> decoders_;
};

}  // namespace

Result<std::string> dataset_to_json(const std::uint8_t* data, std::size_t size, const JsonWriteOptions& options) {
    const Encoding encoding = options.explicit_vr ? Encoding::ExplicitLE : Encoding::ImplicitLE;
    std::vector<ElementRef> elements;
    elements.reserve(64);
    if (!dataset::parse(data, size, encoding, elements)) return Result<std::string>::fail(BridgeError::kInputDidNotParse);

    std::string charset(options.charset_override);
    if (charset.empty())
        for (const ElementRef& e : elements)
            if (e.tag == tags::kSpecificCharacterSet && e.value) {
                charset = std::string(trim_trailing(as_text(e.value, std::size_t(e.length))));
                break;
            }

    // Implicit data: "US or SS" attributes of signed images are SS (the implicit-VR map says
    // US, which would turn negative values into large positive ones).
    if (!options.explicit_vr && signed_pixels(elements))
        for (ElementRef& e : elements)
            if (e.vr == vr::US && us_or_ss(e.tag)) e.vr = vr::SS;

    // Private creators by tag, the first with a value: one pass, so that a data set of many
    // private elements (hostile ones reach tens of thousands) is not searched once per element.
    std::unordered_map<Tag, std::string_view> creators;
    for (const ElementRef& c : elements)
        if (is_private_group(tag_group(c.tag)) && tag_element(c.tag) >= 0x0010 && tag_element(c.tag) <= 0x00FF && c.value)
            creators.emplace(c.tag, trim_trailing(as_text(c.value, std::size_t(c.length))));
    for (ElementRef& e : elements) {
        if (e.vr != 0 && e.vr != vr::UN) continue;
        VR resolved = options.public_vr ? options.public_vr(e.tag) : VR(0);
        const std::uint16_t group = tag_group(e.tag), element = tag_element(e.tag);
        if (!resolved && is_private_group(group) && element >= 0x1000 && options.private_vr) {
            const auto c = creators.find(make_tag(group, element >> 8));
            if (c != creators.end() && !c->second.empty())
                resolved = options.private_vr(c->second, group, std::uint8_t(element & 0xFF));
        }
        if (resolved) e.vr = resolved;
    }

    Result<std::string> r;
    r.value.reserve(96 * elements.size() + 64);
    Writer w(options, r.value);
    if (!w.object(elements, charset, 0)) return Result<std::string>::fail(BridgeError::kInputDidNotParse);
    return r;
}

Result<std::string> file_to_json(std::span<const std::uint8_t> file, std::string_view charset_override,
                                 bool inline_binary) {
    JsonWriteOptions options;
    options.charset_override = charset_override;
    options.inline_binary = inline_binary;
    options.numeric_as_text = true;
    const std::uint8_t* data = file.data();
    std::size_t size = file.size();
    std::vector<std::uint8_t> converted;
    bool big_endian = false;

    const FileMetaInfo meta = read_meta(data, size);
    if (meta.ok()) {
        if (meta.dataset_offset > size) return Result<std::string>::fail(BridgeError::kInputDidNotParse);
        data += meta.dataset_offset, size -= meta.dataset_offset;
        const std::string_view ts = meta.transfer_syntax;
        if (ts.empty() || ts == "1.2.840.10008.1.2" || ts == "1.2.840.113619.5.2" || ts == "1.2.840.10008.1.20") {
            options.explicit_vr = 0;
        } else if (ts == "1.2.840.10008.1.2.2") {
            big_endian = true;
        } else if (ts == "1.2.840.10008.1.2.1.99") {
            converted = inflate_raw(data, size);
            if (converted.empty()) return Result<std::string>::fail(BridgeError::kUnsupportedSyntax);
            data = converted.data(), size = converted.size();
        }
    } else {
        const NakedSniff s = sniff_naked(data, size);
        if (size < 8 || !s.found) return Result<std::string>::fail(BridgeError::kInputDidNotParse);
        data += s.start, size -= s.start;
        options.explicit_vr = s.encoding != Encoding::ImplicitLE;
        big_endian = s.encoding == Encoding::ExplicitBE;
    }
    if (big_endian) {
        auto little = big_endian_to_little(data, size);
        if (!little) return Result<std::string>::fail(BridgeError::kUnsupportedSyntax);
        converted = std::move(*little);
        data = converted.data(), size = converted.size();
    }
    return dataset_to_json(data, size, options);
}

std::string file_meta_to_json(std::span<const std::uint8_t> file) {
    const FileMetaInfo meta = read_meta(file.data(), file.size());
    const auto group = meta.group(file);
    if (!meta.ok() || meta.dataset_offset > file.size()) return "";
    JsonWriteOptions options;
    options.inline_binary = true;
    options.numeric_as_text = false;
    auto r = dataset_to_json(group.data(), group.size(), options);
    return r.ok() ? std::move(r.value) : std::string();
}

void insert_pixel_data_member(std::string& json, std::span<const std::uint8_t> file) {
    if (json.empty() || json.front() != '{') return;
    const DatasetLayout layout = detect_layout(file.data(), file.size());
    // Only data walked in place as explicit VR keep their stated pixel VR.
    if (!layout.byte_walkable() || layout.encoding != Encoding::ExplicitLE) return;
    const auto pixels = locate_pixel_data(file.data(), file.size());
    if (!pixels || !is_vr(pixels->vr)) return;
    std::string member = "\"";
    put_hex8(member, pixels->tag);
    member += "\":{\"vr\":\"";
    member.push_back(char(pixels->vr & 0xFF)), member.push_back(char(pixels->vr >> 8));
    member += "\"}";
    if (json.size() > 2) member.push_back(',');
    json.insert(1, member);
}

}  // namespace loamwerk::bridge
