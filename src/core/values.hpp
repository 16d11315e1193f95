// Reading element values out of walked records (a Dataset's elements, or one item's): look-up,
// text, numbers, integers and the items of a sequence.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "core/dataset.hpp"
#include "core/tags.hpp"

namespace loamwerk {

using Elements = std::vector<ElementRef>;  // one data set's or item's top-level elements
using Items = std::vector<Elements>;       // a sequence's items, each walked

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

// The trimmed text of an element of `es`; empty when absent.
inline std::string_view text_of(const Elements& es, Tag tag) {
    const ElementRef* e = find_element(es, tag);
    return e ? value_text(*e) : std::string_view{};
}

// The values of a text element split at backslashes, each trimmed.
inline std::vector<std::string_view> text_values(const ElementRef& e) {
    std::vector<std::string_view> out;
    std::string_view s = as_text(e.value, std::size_t(e.length));
    for (;;) {
        const std::size_t bs = s.find('\\');
        std::string_view v = s.substr(0, bs);
        while (!v.empty() && (v.back() == ' ' || v.back() == '\0')) v.remove_suffix(1);
        while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
        out.push_back(v);
        if (bs == std::string_view::npos) break;
        s.remove_prefix(bs + 1);
    }
    return out;
}

// The backslash-separated values of a text, each trimmed of spaces (an empty text is one empty value).
inline std::vector<std::string_view> split_values(std::string_view s) {
    std::vector<std::string_view> out;
    for (;;) {
        const std::size_t bs = s.find('\\');
        std::string_view v = s.substr(0, bs);
        while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
        while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
        out.push_back(v);
        if (bs == std::string_view::npos) return out;
        s.remove_prefix(bs + 1);
    }
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

// The same kept as T (OF, OD, OL arrays); empty for an absent element.
template <class T>
std::vector<T> typed_values(const ElementRef* e) {
    std::vector<T> out;
    if (!e || !e->value) return out;
    out.resize(std::size_t(e->length / sizeof(T)));
    if (!out.empty()) std::memcpy(out.data(), e->value, out.size() * sizeof(T));  // little-endian hosts
    return out;
}

// FD and FL values.
inline std::vector<double> fd_values(const ElementRef& e) { return binary_values<double>(e); }
inline std::vector<double> fl_values(const ElementRef& e) { return binary_values<float>(e); }

// The values of a binary element by its VR (US, SS, UL, SL, FL, FD), or of DS/IS text (values
// that do not parse skipped).
inline std::vector<double> numbers(const ElementRef& e) {
    std::vector<double> out;
    const std::uint8_t* p = e.value;
    const std::size_t n = std::size_t(e.length);
    auto each = [&](std::size_t width, auto convert) {
        for (std::size_t i = 0; p && i + width <= n; i += width) out.push_back(convert(p + i));
    };
    switch (e.vr) {
    case vr::US: each(2, [](const std::uint8_t* q) { return double(load_le16(q)); }); break;
    case vr::SS: each(2, [](const std::uint8_t* q) { return double(std::int16_t(load_le16(q))); }); break;
    case vr::UL: each(4, [](const std::uint8_t* q) { return double(load_le32(q)); }); break;
    case vr::SL: each(4, [](const std::uint8_t* q) { return double(std::int32_t(load_le32(q))); }); break;
    case vr::FL: return fl_values(e);
    case vr::FD: return fd_values(e);
    default:
        for (std::string_view v : text_values(e)) {
            double d = 0;
            const auto r = std::from_chars(v.data(), v.data() + v.size(), d);
            if (r.ec == std::errc() && !v.empty()) out.push_back(d);
        }
    }
    return out;
}

// The first value of an integer element of `es`: US/SS/UL/SL binary, or IS text (also implicit
// VR with no dictionary VR, where a 2- or 4-byte value that is not text reads as binary).
inline std::optional<long> integer_of(const Elements& es, Tag tag) {
    const ElementRef* e = find_element(es, tag);
    if (!e || !e->value || e->length == 0) return std::nullopt;
    switch (e->vr) {
        case vr::US: return e->length >= 2 ? std::optional<long>(load_le16(e->value)) : std::nullopt;
        case vr::SS: return e->length >= 2 ? std::optional<long>(std::int16_t(load_le16(e->value))) : std::nullopt;
        case vr::UL: return e->length >= 4 ? std::optional<long>(load_le32(e->value)) : std::nullopt;
        case vr::SL: return e->length >= 4 ? std::optional<long>(std::int32_t(load_le32(e->value))) : std::nullopt;
        default: break;
    }
    const std::vector<double> d = ds_values(e);
    if (!d.empty() && std::isfinite(d[0])) {
        if (std::fabs(d[0]) < 9.2e18) return long(d[0]);
        return std::nullopt;  // no integer this large is meant (and converting it is undefined)
    }
    if (e->length == 2) return load_le16(e->value);
    if (e->length == 4) return long(load_le32(e->value));
    return std::nullopt;
}

// The first value of a floating-point element of `es`: FD, FL (finite), or DS text.
inline std::optional<double> float_of(const Elements& es, Tag tag) {
    const ElementRef* e = find_element(es, tag);
    if (!e || !e->value) return std::nullopt;
    if (e->vr == vr::FD && e->length >= 8) return fd_values(*e)[0];
    if (e->length == 4 && e->vr != vr::DS) {
        float f;
        std::memcpy(&f, e->value, 4);
        return std::isfinite(f) ? std::optional<double>(f) : std::nullopt;
    }
    const std::vector<double> d = ds_values(e);
    return d.empty() ? std::nullopt : std::optional<double>(d[0]);
}

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

// The items of a sequence element (null or empty: none), each parsed into its top-level elements;
// `complete`, when given, is cleared if any part of the sequence did not parse.
inline Items sequence_items(const ElementRef* seq, bool* complete = nullptr) {
    Items out;
    if (!seq || !seq->value) return out;
    std::vector<ElementRef> records;
    bool ok = dataset::parse(seq->value, std::size_t(seq->length), seq->encoding, records);
    for (const ElementRef& r : records) {
        if (r.tag != tags::kItem) continue;
        std::vector<ElementRef> inner;
        if (r.value && !dataset::parse(r.value, std::size_t(r.length), seq->encoding, inner)) ok = false;
        out.push_back(std::move(inner));
    }
    if (complete && !ok) *complete = false;
    return out;
}

// Calls each(elements) for every item of a sequence element that has content, walking one item
// at a time (nothing is kept).
template <class F>
void for_each_item(const ElementRef& seq, F each) {
    if (!seq.value) return;
    Elements records;
    dataset::parse(seq.value, std::size_t(seq.length), seq.encoding, records);
    for (const ElementRef& r : records) {
        if (r.tag != tags::kItem || !r.value) continue;
        Elements inner;
        dataset::parse(r.value, std::size_t(r.length), seq.encoding, inner);
        each(static_cast<const Elements&>(inner));
    }
}

namespace detail {
template <class OnItem, class OnElement>
void walk_macro(const Elements& es, std::size_t k, int depth, bool in_private, int max_depth, OnItem& on_item,
                OnElement& on_element) {
    on_item(es, k, in_private);
    for (const ElementRef& x : es) {
        if (x.vr != vr::SQ) {
            on_element(x, k, in_private);
        } else if (depth < max_depth) {
            const bool private_sequence = in_private || (tag_group(x.tag) & 1) != 0;
            for_each_item(x, [&](const Elements& inner) {
                walk_macro(inner, k, depth + 1, private_sequence, max_depth, on_item, on_element);
            });
        }
    }
}
}  // namespace detail

// The functional-group walk, for Shared and Per-frame Functional Groups Sequences alike: for the
// k-th item (a frame's groups, or the shared ones at k = 0), on_item(elements, k, in_private) is
// called for the item and for every macro item nested in it down to `max_depth` levels, and
// on_element(element, k, in_private) for every element that is not a sequence. in_private:
// inside a private sequence (where vendors keep their own copies of standard attributes).
template <class OnItem, class OnElement>
void walk_functional_groups(const ElementRef& seq, int max_depth, OnItem on_item, OnElement on_element) {
    std::size_t k = 0;
    for_each_item(seq, [&](const Elements& group) { detail::walk_macro(group, k++, 0, false, max_depth, on_item, on_element); });
}

// The items of the sequence `tag` of `es`.
inline Items items_of(const Elements& es, Tag tag) { return sequence_items(find_element(es, tag)); }

}  // namespace loamwerk
