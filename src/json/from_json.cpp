#include "json/from_json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "core/bytes.hpp"
#include "core/dataset.hpp"
#include "core/transfer_syntax.hpp"
#include "core/writer.hpp"
#include "core/tags.hpp"
#include "json/json_parser.hpp"

namespace loamwerk::bridge {

namespace {

constexpr int kOk = -1;
constexpr int kParse = int(BridgeError::kInputDidNotParse);

struct JsonElement {
    Tag tag = 0;
    std::string_view vr;
    const JsonValue* values = nullptr;  // the "Value" array, when given
    std::string_view inline_binary;
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_hex8(std::string_view s, std::uint32_t& v) {
    if (s.size() != 8) return false;
    v = 0;
    for (char c : s) {
        const int d = hex_digit(c);
        if (d < 0) return false;
        v = (v << 4) | std::uint32_t(d);
    }
    return true;
}

int to_elements(const JsonValue& object, std::vector<JsonElement>& out) {
    if (object.type != JsonValue::Object) return kParse;
    out.reserve(object.count);
    for (std::size_t i = 0; i < object.count; ++i) {
        const JsonMember& m = object.members[i];
        JsonElement e;
        if (!parse_hex8(m.key, e.tag) || e.tag == 0xFFFFFFFFu || m.value.type != JsonValue::Object) return kParse;
        for (std::size_t k = 0; k < m.value.count; ++k) {
            const JsonMember& f = m.value.members[k];
            if (f.key == "vr" && f.value.type == JsonValue::String) e.vr = f.value.text;
            else if (f.key == "Value" && f.value.type == JsonValue::Array) e.values = &f.value;
            else if (f.key == "InlineBinary" && f.value.type == JsonValue::String) e.inline_binary = f.value.text;
        }
        out.push_back(e);
    }
    std::stable_sort(out.begin(), out.end(), [](const JsonElement& a, const JsonElement& b) { return a.tag < b.tag; });
    return kOk;
}

bool decode_base64(std::string_view text, std::vector<std::uint8_t>& out) {
    out.clear();
    out.reserve(text.size() / 4 * 3 + 3);
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else if (c == '=' || c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        else return false;
        bits = (bits << 6) | std::uint32_t(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(std::uint8_t(bits >> count));
        }
    }
    return true;
}

// A JSON number as a 64-bit integer, doubles truncated toward zero; false for anything else
// (and for doubles that no integer can hold).
bool integer_of(const JsonValue& v, std::int64_t& out) {
    if (v.type == JsonValue::Int) {
        out = v.integer;
        return true;
    }
    if (v.type != JsonValue::Double || !std::isfinite(v.real) || std::fabs(v.real) >= 9.2e18) return false;
    out = std::int64_t(std::trunc(v.real));
    return true;
}


template <class T>
void append_number_text(std::string& out, T v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

class Encoder {
public:
    explicit Encoder(bool explicit_vr) : explicit_(explicit_vr) {}

    int encode(const std::vector<JsonElement>& elements, bool encapsulated, std::vector<std::uint8_t>& out) {
        for (const JsonElement& e : elements)
            if (int rc = element(e, encapsulated, out); rc != kOk) return rc;
        return kOk;
    }

private:
    void write(std::vector<std::uint8_t>& out, Tag tag, VR vr, const std::string& value) {
        write(out, tag, vr, reinterpret_cast<const std::uint8_t*>(value.data()), value.size());
    }
    void write(std::vector<std::uint8_t>& out, Tag tag, VR vr, const std::uint8_t* value, std::size_t n) {
        if (explicit_) EvrElementWriter(out).append(tag_group(tag), tag_element(tag), vr, value, n);
        else append_implicit(out, tag, value, n);
    }

    int element(const JsonElement& e, bool encapsulated, std::vector<std::uint8_t>& out) {
        if (e.tag == tags::kSpecificCharacterSet) {
            write(out, e.tag, vr::CS, std::string("ISO_IR 192"));
            return kOk;
        }
        if (!e.inline_binary.empty()) return binary(e, encapsulated, out);
        if (e.vr.size() != 2) return int(BridgeError::kMalformedKey);
        const VR v = make_vr(e.vr);
        const VrClass cls = classify(v);
        const std::size_t count = e.values ? e.values->count : 0;
        if (count == 0) {
            write(out, e.tag, v, nullptr, 0);
            return kOk;
        }
        const JsonValue* items = e.values->items;
        std::string value;
        switch (cls) {
        case VrClass::Text:
            for (std::size_t i = 0; i < count; ++i) {
                if (items[i].type != JsonValue::String) return kParse;
                if (i) value.push_back('\\');
                value.append(items[i].text);
            }
            break;
        case VrClass::NumericString:
            for (std::size_t i = 0; i < count; ++i) {
                if (i) value.push_back('\\');
                const JsonValue& x = items[i];
                if (x.type == JsonValue::Int) append_number_text(value, x.integer);
                else if (x.type == JsonValue::Double) append_number_text(value, x.real);
                else if (x.type == JsonValue::String) value.append(x.text);
                else if (x.type != JsonValue::Null) return kParse;
            }
            break;
        case VrClass::PN:
            for (std::size_t i = 0; i < count; ++i) {
                if (items[i].type != JsonValue::Object) return kParse;
                if (i) value.push_back('\\');
                std::string_view groups[3];
                static constexpr const char* kNames[] = {"Alphabetic", "Ideographic", "Phonetic"};
                int last = -1;
                for (int g = 0; g < 3; ++g) {
                    const JsonValue* s = items[i].member(kNames[g]);
                    if (s && s->type == JsonValue::String) groups[g] = s->text;
                    if (!groups[g].empty()) last = g;
                }
                for (int g = 0; g <= last; ++g) {
                    if (g) value.push_back('=');
                    value.append(groups[g]);
                }
            }
            break;
        case VrClass::US: case VrClass::SS: case VrClass::UL: case VrClass::SL:
            for (std::size_t i = 0; i < count; ++i) {
                std::int64_t n;
                if (!integer_of(items[i], n)) return kParse;
                if (cls == VrClass::US || cls == VrClass::SS) append_raw(value, std::uint16_t(std::uint64_t(n)));
                else append_raw(value, std::uint32_t(std::uint64_t(n)));
            }
            break;
        case VrClass::FL: case VrClass::FD:
            for (std::size_t i = 0; i < count; ++i) {
                const JsonValue& x = items[i];
                double d;
                if (x.type == JsonValue::Double) d = x.real;
                else if (x.type == JsonValue::Int) d = double(x.integer);
                else return kParse;
                if (cls == VrClass::FL) append_raw(value, float(d));
                else append_raw(value, d);
            }
            break;
        case VrClass::AT:
            for (std::size_t i = 0; i < count; ++i) {
                std::uint32_t t;
                if (items[i].type != JsonValue::String || !parse_hex8(items[i].text, t)) return kParse;
                append_raw(value, std::uint16_t(t >> 16));
                append_raw(value, std::uint16_t(t & 0xFFFF));
            }
            break;
        case VrClass::SQ: return sequence(e, v, out);
        default: return int(BridgeError::kUnsupportedVr);
        }
        pad_value(v, value);
        write(out, e.tag, v, value);
        return kOk;
    }

    int binary(const JsonElement& e, bool encapsulated, std::vector<std::uint8_t>& out) {
        std::vector<std::uint8_t> bytes;
        if (!decode_base64(e.inline_binary, bytes)) return kParse;
        if (encapsulated && e.tag == tags::kPixelData) {
            static constexpr std::uint8_t kItemTag[4] = {0xFE, 0xFF, 0x00, 0xE0};
            static constexpr std::uint8_t kEnd[8] = {0xFE, 0xFF, 0xDD, 0xE0, 0, 0, 0, 0};
            if (bytes.size() < 8 || std::memcmp(bytes.data(), kItemTag, 4) != 0)
                return int(BridgeError::kPixelDataNotEncapsulated);
            static constexpr std::uint8_t kHeader[12] = {0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
            out.insert(out.end(), kHeader, kHeader + 12);
            out.insert(out.end(), bytes.begin(), bytes.end());
            if (std::memcmp(bytes.data() + bytes.size() - 8, kEnd, 8) != 0) out.insert(out.end(), kEnd, kEnd + 8);
            return kOk;
        }
        if (bytes.size() & 1) bytes.push_back(0);
        write(out, e.tag, e.vr.size() == 2 ? make_vr(e.vr) : vr::UN, bytes.data(), bytes.size());
        return kOk;
    }

    int sequence(const JsonElement& e, VR v, std::vector<std::uint8_t>& out) {
        std::vector<std::uint8_t> body;
        for (std::size_t i = 0; i < e.values->count; ++i) {
            const JsonValue& item = e.values->items[i];
            if (item.type != JsonValue::Object) return kParse;
            std::vector<JsonElement> elements;
            if (int rc = to_elements(item, elements); rc != kOk) return rc;
            std::vector<std::uint8_t> bytes;
            bytes.reserve(128);
            if (int rc = encode(elements, false, bytes); rc != kOk) return rc;
            append_implicit(body, tags::kItem, bytes.data(), bytes.size());
        }
        write(out, e.tag, v, body.data(), body.size());
        return kOk;
    }

    bool explicit_;
};

bool is_encapsulated(SyntaxCode code) {
    return code == syntax::kEncapsulatedUncompressed || code == syntax::kDeflatedFrames || code >= syntax::kRle;
}

std::string_view trimmed_value(const std::vector<ElementRef>& elements, Tag tag) {
    for (const ElementRef& e : elements)
        if (e.tag == tag && e.value) return trim_padding(as_text(e.value, std::size_t(e.length)));
    return {};
}

}  // namespace

Result<std::vector<std::uint8_t>> json_to_ivr(const char* text, std::size_t length, bool explicit_vr,
                                               bool encapsulated) {
    using R = Result<std::vector<std::uint8_t>>;
    const JsonDocument doc(std::string_view(text, length));
    if (!doc.root()) return R::fail(BridgeError::kInputDidNotParse);
    std::vector<JsonElement> elements;
    if (int rc = to_elements(*doc.root(), elements); rc != kOk) return R{{}, rc};
    R r;
    r.value.reserve(length);
    Encoder encoder(explicit_vr);
    if (int rc = encoder.encode(elements, encapsulated, r.value); rc != kOk) return R{{}, rc};
    return r;
}

Result<std::vector<std::uint8_t>> json_to_part10(std::string_view text, std::string_view transfer_syntax) {
    using R = Result<std::vector<std::uint8_t>>;
    const SyntaxCode code = syntax_code(transfer_syntax);
    const bool encapsulated = is_encapsulated(code);
    if (code != syntax::kImplicitLE && code != syntax::kExplicitLE && !encapsulated)
        return R::fail(BridgeError::kUnsupportedSyntax);
    const bool explicit_vr = code != syntax::kImplicitLE;
    R body = json_to_ivr(text.data(), text.size(), explicit_vr, encapsulated);
    if (!body.ok()) return body;

    std::vector<ElementRef> elements;
    dataset::parse(body.value.data(), body.value.size(), explicit_vr ? Encoding::ExplicitLE : Encoding::ImplicitLE,
                   elements);
    const std::string_view sop_class = trimmed_value(elements, tags::kSOPClassUID);
    const std::string_view sop_instance = trimmed_value(elements, tags::kSOPInstanceUID);
    if (sop_class.empty() || sop_instance.empty()) return R::fail(BridgeError::kMissingSopUids);
    // File meta in the JSON is never copied: the body starts at the first element after group 0002.
    std::size_t start = body.value.size();
    for (const ElementRef& e : elements)
        if (tag_group(e.tag) != 0x0002) {
            start = std::size_t(e.header - body.value.data());
            break;
        }
    R r;
    const std::span<const std::uint8_t> rest(body.value.data() + start, body.value.size() - start);
    if (Part10Wrap(sop_class, sop_instance, rest, trim_padding(transfer_syntax), r.value) != wrap_result::kOk)
        return R::fail(BridgeError::kWrapFailed);
    return r;
}

}  // namespace loamwerk::bridge
