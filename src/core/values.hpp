// Reading element values out of parsed records: look-up, text and FD values.
#pragma once

#include <cstring>
#include <string_view>
#include <vector>

#include "core/dataset.hpp"

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

// The FD values of a little-endian element (a trailing partial value is ignored).
inline std::vector<double> fd_values(const ElementRef& e) {
    std::vector<double> out;
    for (std::size_t i = 0; e.value && i + 8 <= e.length; i += 8) {
        double d;
        std::memcpy(&d, e.value + i, 8);
        out.push_back(d);
    }
    return out;
}

}  // namespace loamwerk
