// Part-10 file meta, naked-dataset sniffing and the top-level dataset walk.
//
// The parser never copies values and never builds a tree: each top-level element becomes an
// ElementRef viewing the caller's buffer; nested sequences are skipped and walked again by
// whoever needs their content. Malformed lengths are repaired instead of failing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"
#include "core/transfer_syntax.hpp"
#include "core/vr.hpp"

namespace loamwerk {

namespace meta_result {
constexpr int kOk = 0;
constexpr int kNoMagic = 5;
constexpr int kTruncated = 6;
constexpr int kMalformed = 7;  // bad group length (strict), or no group-0002 element (lenient)
constexpr int kMissingUid = 8;
}  // namespace meta_result

struct FileMetaInfo {
    std::string_view transfer_syntax, sop_class, sop_instance;  // views, padding removed
    std::size_t dataset_offset = 0;
    int result = meta_result::kNoMagic;
    bool ok() const { return result == meta_result::kOk; }
};

// Strict reading: group length required, no repairs.
FileMetaInfo read_meta_strict(const std::uint8_t* buf, std::size_t size);
// Strict reading, falling back to the lenient reading on codes 6, 7 and 8.
FileMetaInfo read_meta(const std::uint8_t* buf, std::size_t size);

struct NakedSniff {
    bool found = false;
    std::size_t start = 0;
    Encoding encoding = Encoding::ImplicitLE;
};
NakedSniff sniff_naked(const std::uint8_t* buf, std::size_t size);

// The UID reported for a sniffed encoding ("1.2.840.10008.1.2.1" and so on).
std::string_view encoding_uid(Encoding e);

struct ElementRef {
    const std::uint8_t* value = nullptr;
    std::uint64_t length = 0;  // after repairs; up to the delimiter for undefined lengths
    Tag tag = 0;
    VR vr = 0;
    Encoding encoding = Encoding::ImplicitLE;  // encoding of the nested content
    const std::uint8_t* header = nullptr;      // where the element's header starts
};

// True when the element's header stated an undefined length (in either header form).
inline bool has_undefined_length(const ElementRef& e) {
    return e.header && e.value && e.value - e.header >= 8 && load_le32(e.value - 4) == 0xFFFFFFFFu;
}

namespace dataset {
// Appends one record per top-level element; false only when an element header cannot be
// read (records appended before that stay).
bool parse(const std::uint8_t* first, std::size_t size, Encoding encoding, std::vector<ElementRef>& out);

// Skippers for nested content. Each returns the offset (from `first`) of the closing
// delimiter tag, or nothing. Exposed for consumers that walk nested content.
std::optional<std::size_t> skip_sequence(const std::uint8_t* first, std::size_t size, int depth, Encoding encoding);
std::optional<std::size_t> skip_item(const std::uint8_t* first, std::size_t size, int depth, Encoding encoding);
}  // namespace dataset

// How a buffer's dataset is to be walked.
struct DatasetLayout {
    bool recognised = false;  // Part-10 meta read, or a naked dataset found
    bool has_meta = false;
    FileMetaInfo meta;
    SyntaxCode syntax = syntax::kUnknown;
    Encoding encoding = Encoding::ExplicitLE;
    std::size_t offset = 0;
    bool byte_walkable() const {
        return recognised && syntax != syntax::kExplicitBE && syntax != syntax::kDeflatedLE;
    }
};
DatasetLayout detect_layout(const std::uint8_t* buf, std::size_t size);

// A parsed buffer: owned (read from a file) or borrowed (a caller's bytes, which must outlive it).
class Dataset {
public:
    static Dataset borrow(std::span<const std::uint8_t> bytes);
    static Dataset own(OwnedBuffer bytes);

    std::span<const std::uint8_t> bytes() const { return bytes_; }
    const DatasetLayout& layout() const { return layout_; }
    const std::vector<ElementRef>& elements() const { return elements_; }
    // False when the walk stopped at an unreadable header, or the syntax is not byte-walkable.
    bool parsed() const { return parsed_; }
    const ElementRef* find(Tag tag) const;

private:
    void init();
    OwnedBuffer owned_;
    std::span<const std::uint8_t> bytes_;
    DatasetLayout layout_;
    std::vector<ElementRef> elements_;
    bool parsed_ = false;
};

// File meta or sniff, then the walk, then the first Float, Double Float or (plain) Pixel Data.
std::optional<ElementRef> locate_pixel_data(const std::uint8_t* buf, std::size_t size);

}  // namespace loamwerk
