#include "json/json_parser.hpp"

#include <charconv>
#include <cstring>
#include <vector>

namespace loamwerk::bridge {

const JsonValue* JsonValue::member(std::string_view key) const {
    if (type != Object) return nullptr;
    for (std::size_t i = 0; i < count; ++i)
        if (members[i].key == key) return &members[i].value;
    return nullptr;
}

namespace {

constexpr int kMaxDepth = 512;

class Parser {
public:
    Parser(std::string_view text, std::uint8_t* arena, std::size_t arena_size)
        : p_(text.data()), end_(text.data() + text.size()), arena_(arena), arena_size_(arena_size) {}

    bool document(JsonValue& root) {
        if (!value(root, 0)) return false;
        skip_space();
        return p_ == end_;
    }

private:
    void* alloc(std::size_t bytes, std::size_t align) {
        std::size_t at = (used_ + align - 1) & ~(align - 1);
        if (at > arena_size_ || bytes > arena_size_ - at) return nullptr;
        used_ = at + bytes;
        return arena_ + at;
    }

    void skip_space() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n')) ++p_;
    }

    bool literal(const char* word) {
        const std::size_t n = std::strlen(word);
        if (std::size_t(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
        p_ += n;
        return true;
    }

    bool value(JsonValue& v, int depth) {
        if (depth > kMaxDepth) return false;
        skip_space();
        if (p_ == end_) return false;
        switch (*p_) {
        case '{': return object(v, depth);
        case '[': return array(v, depth);
        case '"': v.type = JsonValue::String; return string(v.text);
        case 't': v.type = JsonValue::Bool, v.boolean = true; return literal("true");
        case 'f': v.type = JsonValue::Bool, v.boolean = false; return literal("false");
        case 'n': v.type = JsonValue::Null; return literal("null");
        default: return number(v);
        }
    }

    bool number(JsonValue& v) {
        const char* start = p_;
        if (p_ < end_ && *p_ == '-') ++p_;
        if (p_ == end_) return false;
        if (*p_ == '0') {
            ++p_;
        } else if (*p_ >= '1' && *p_ <= '9') {
            while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        } else {
            return false;
        }
        bool integral = true;
        if (p_ < end_ && *p_ == '.') {
            integral = false;
            ++p_;
            if (p_ == end_ || *p_ < '0' || *p_ > '9') return false;
            while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        }
        if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
            integral = false;
            ++p_;
            if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
            if (p_ == end_ || *p_ < '0' || *p_ > '9') return false;
            while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
        }
        if (integral) {
            const auto r = std::from_chars(start, p_, v.integer);
            if (r.ec == std::errc{} && r.ptr == p_) {
                v.type = JsonValue::Int;
                return true;
            }
        }
        const auto r = std::from_chars(start, p_, v.real);
        if (r.ptr != p_ || (r.ec != std::errc{} && r.ec != std::errc::result_out_of_range)) return false;
        v.type = JsonValue::Double;
        return true;
    }

    static int hex4(const char* p) {
        int v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = p[i];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= c - '0';
            else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
            else return -1;
        }
        return v;
    }

    static char* put_utf8(char* o, std::uint32_t cp) {
        if (cp < 0x80) {
            *o++ = char(cp);
        } else if (cp < 0x800) {
            *o++ = char(0xC0 | (cp >> 6)), *o++ = char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *o++ = char(0xE0 | (cp >> 12)), *o++ = char(0x80 | ((cp >> 6) & 0x3F)), *o++ = char(0x80 | (cp & 0x3F));
        } else {
            *o++ = char(0xF0 | (cp >> 18)), *o++ = char(0x80 | ((cp >> 12) & 0x3F));
            *o++ = char(0x80 | ((cp >> 6) & 0x3F)), *o++ = char(0x80 | (cp & 0x3F));
        }
        return o;
    }

    bool string(std::string_view& out) {
        ++p_;  // the opening quote
        const char* start = p_;
        bool escaped = false;
        while (p_ < end_ && *p_ != '"') {
            if (static_cast<unsigned char>(*p_) < 0x20) return false;
            if (*p_ == '\\') {
                escaped = true;
                if (++p_ == end_) return false;
            }
            ++p_;
        }
        if (p_ == end_) return false;
        const char* stop = p_++;
        if (!escaped) {
            out = std::string_view(start, std::size_t(stop - start));
            return true;
        }
        // Decoded text is never longer than its escaped form.
        char* buf = static_cast<char*>(alloc(std::size_t(stop - start), 1));
        if (!buf && stop > start) return false;
        char* o = buf;
        for (const char* q = start; q < stop;) {
            if (*q != '\\') {
                *o++ = *q++;
                continue;
            }
            ++q;
            switch (*q++) {
            case '"': *o++ = '"'; break;
            case '\\': *o++ = '\\'; break;
            case '/': *o++ = '/'; break;
            case 'b': *o++ = '\b'; break;
            case 'f': *o++ = '\f'; break;
            case 'n': *o++ = '\n'; break;
            case 'r': *o++ = '\r'; break;
            case 't': *o++ = '\t'; break;
            case 'u': {
                if (stop - q < 4) return false;
                int cp = hex4(q);
                if (cp < 0) return false;
                q += 4;
                if (cp >= 0xD800 && cp <= 0xDBFF && stop - q >= 6 && q[0] == '\\' && q[1] == 'u') {
                    const int low = hex4(q + 2);
                    if (low >= 0xDC00 && low <= 0xDFFF) {
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                        q += 6;
                    }
                }
                if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;  // a lone surrogate
                o = put_utf8(o, std::uint32_t(cp));
                break;
            }
            default: return false;
            }
        }
        out = std::string_view(buf, std::size_t(o - buf));
        return true;
    }

    bool array(JsonValue& v, int depth) {
        ++p_;
        const std::size_t base = values_.size();
        skip_space();
        if (p_ < end_ && *p_ == ']') {
            ++p_;
        } else {
            for (;;) {
                JsonValue item;
                if (!value(item, depth + 1)) return false;
                values_.push_back(item);
                skip_space();
                if (p_ < end_ && *p_ == ',') {
                    ++p_;
                    continue;
                }
                if (p_ < end_ && *p_ == ']') {
                    ++p_;
                    break;
                }
                return false;
            }
        }
        v.type = JsonValue::Array;
        v.count = values_.size() - base;
        if (v.count) {
            auto* items = static_cast<JsonValue*>(alloc(v.count * sizeof(JsonValue), alignof(JsonValue)));
            if (!items) return false;
            std::memcpy(static_cast<void*>(items), values_.data() + base, v.count * sizeof(JsonValue));
            v.items = items;
        }
        values_.resize(base);
        return true;
    }

    bool object(JsonValue& v, int depth) {
        ++p_;
        const std::size_t base = members_.size();
        skip_space();
        if (p_ < end_ && *p_ == '}') {
            ++p_;
        } else {
            for (;;) {
                skip_space();
                JsonMember m;
                if (p_ == end_ || *p_ != '"' || !string(m.key)) return false;
                skip_space();
                if (p_ == end_ || *p_ != ':') return false;
                ++p_;
                if (!value(m.value, depth + 1)) return false;
                members_.push_back(m);
                skip_space();
                if (p_ < end_ && *p_ == ',') {
                    ++p_;
                    continue;
                }
                if (p_ < end_ && *p_ == '}') {
                    ++p_;
                    break;
                }
                return false;
            }
        }
        v.type = JsonValue::Object;
        v.count = members_.size() - base;
        if (v.count) {
            auto* members = static_cast<JsonMember*>(alloc(v.count * sizeof(JsonMember), alignof(JsonMember)));
            if (!members) return false;
            std::memcpy(static_cast<void*>(members), members_.data() + base, v.count * sizeof(JsonMember));
            v.members = members;
        }
        members_.resize(base);
        return true;
    }

    const char* p_;
    const char* end_;
    std::uint8_t* arena_;
    std::size_t arena_size_;
    std::size_t used_ = 0;
    // Children waiting for their container to close, then copied into the arena whole.
    std::vector<JsonValue> values_;
    std::vector<JsonMember> members_;
};

}  // namespace

JsonDocument::JsonDocument(std::string_view text) {
    const std::size_t size = 16 * text.size() + 65536;
    arena_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    Parser parser(text, arena_.get(), size);
    ok_ = parser.document(root_);
}

}  // namespace loamwerk::bridge
