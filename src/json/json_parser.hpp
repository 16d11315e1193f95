// A small JSON (RFC 8259) parser whose values live in one arena per call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace loamwerk::bridge {

struct JsonMember;

struct JsonValue {
    enum Type : std::uint8_t { Null = 0, Bool = 1, Int = 2, Double = 3, String = 4, Array = 5, Object = 6 };
    Type type = Null;
    bool boolean = false;
    std::int64_t integer = 0;
    double real = 0;
    std::string_view text;              // strings
    const JsonValue* items = nullptr;   // arrays
    const JsonMember* members = nullptr;  // objects
    std::size_t count = 0;               // items or members

    const JsonValue* member(std::string_view key) const;
};

struct JsonMember {
    std::string_view key;
    JsonValue value;
};

// Parses `text`; null on any syntax error, nesting beyond 512 levels, or a full arena
// (16 bytes per input byte plus 64 KiB). Values view the input or the arena, which must
// outlive them.
class JsonDocument {
public:
    explicit JsonDocument(std::string_view text);
    const JsonValue* root() const { return ok_ ? &root_ : nullptr; }

private:
    std::unique_ptr<std::uint8_t[]> arena_;
    JsonValue root_;
    bool ok_ = false;
};

}  // namespace loamwerk::bridge
