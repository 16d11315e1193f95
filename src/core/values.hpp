// Reading element values out of parsed records: look-up, text and FD values.
#pragma once

#include <charconv>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/dataset.hpp"
#include "core/tags.hpp"

namespace loamwerk {

inline const ElementRef* find_element(const std::vector<ElementRef>& elements, Tag tag) {
    for (const ElementRef& e : elements)
        if (e.tag == tag) return &e;
    return nullptr;
}

// The value as text without leading spaces and trailing spaces and NULs.
inline std::string_view value_text(const ElementRef& e) {
    std::string_view s = as_text(e.value, std::size_t(e.length));
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.remove_suffix(1);
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    return s;
}

// Calls `each` with every backslash-separated value of a decimal string, spaces and a leading
// '+' removed (empty values included).
template <class F>
void for_each_decimal_text(std::string_view s, F each) {
    for (;;) {
        const std::size_t bs = s.find('\\');
        std::string_view v = s.substr(0, bs);
        while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
        while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
        if (!v.empty() && v.front() == '+') v.remove_prefix(1);
        each(v);
        if (bs == std::string_view::npos) return;
        s.remove_prefix(bs + 1);
    }
}

// The decimal (DS/IS) values of an element, skipping values that do not parse; none for null.
inline std::vector<double> ds_values(const ElementRef* e) {
    std::vector<double> out;
    if (!e) return out;
    for_each_decimal_text(value_text(*e), [&](std::string_view v) {
        double d = 0;
        if (std::from_chars(v.data(), v.data() + v.size(), d).ec == std::errc()) out.push_back(d);
    });
    return out;
}

// The values of a little-endian binary element of T (a trailing partial value is ignored).
template <class T>
std::vector<double> binary_values(const ElementRef& e) {
    std::vector<double> out;
    for (std::size_t i = 0; e.value && i + sizeof(T) <= e.length; i += sizeof(T)) {
        T v;
        std::memcpy(&v, e.value + i, sizeof(T));
        out.push_back(double(v));
    }
    return out;
}

// FD and FL values.
inline std::vector<double> fd_values(const ElementRef& e) { return binary_values<double>(e); }
inline std::vector<double> fl_values(const ElementRef& e) { return binary_values<float>(e); }

// The private element (group, block + low) of the block that `creator` reserves in `group`,
// e.g. (0029,xx10) of "SIEMENS CSA HEADER"; null when the creator or the element is absent.
inline const ElementRef* find_private(const std::vector<ElementRef>& elements, std::uint16_t group,
                                      std::string_view creator, std::uint8_t low) {
    for (const ElementRef& e : elements) {
        const std::uint16_t element = std::uint16_t(e.tag & 0xFFFF);
        if (std::uint16_t(e.tag >> 16) != group || element < 0x10 || element > 0xFF) continue;
        if (value_text(e) != creator) continue;
        return find_element(elements, (Tag(group) << 16) | (Tag(element) << 8) | low);
    }
    return nullptr;
}

// The items of a sequence element (null or empty: none), each parsed into its top-level elements.
inline std::vector<std::vector<ElementRef>> sequence_items(const ElementRef* seq) {
    std::vector<std::vector<ElementRef>> out;
    if (!seq || !seq->value) return out;
    std::vector<ElementRef> records;
    dataset::parse(seq->value, std::size_t(seq->length), seq->encoding, records);
    for (const ElementRef& r : records) {
        if (r.tag != tags::kItem) continue;
        std::vector<ElementRef> inner;
        if (r.value) dataset::parse(r.value, std::size_t(r.length), seq->encoding, inner);
        out.push_back(std::move(inner));
    }
    return out;
}

}  // namespace loamwerk
