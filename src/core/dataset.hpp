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
#include <string>
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
    std::size_t meta_offset = 132;  // where the group-0002 elements start (0: written without preamble)
    std::size_t dataset_offset = 0;
    int result = meta_result::kNoMagic;
    bool ok() const { return result == meta_result::kOk; }
    // The group-0002 elements' bytes within the buffer the meta was read from; empty without meta.
    std::span<const std::uint8_t> group(std::span<const std::uint8_t> buffer) const {
        if (!ok() || dataset_offset <= meta_offset || dataset_offset > buffer.size()) return {};
        return buffer.subspan(meta_offset, dataset_offset - meta_offset);
    }
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

// The one door to a buffer's data set: the file meta read (or a bare data set sniffed), the body
// made little endian when it was stored big endian or deflated, and its top-level elements walked
// once. Owned (read from a file) or borrowed (a caller's bytes, which must outlive it); element
// views stay valid when a Dataset is moved.
class Dataset {
public:
    enum class Body {
        kLittleEndian,  // big-endian and deflated bodies converted: every value reads little endian
        kAsStored,      // big-endian bodies walked in place (values as stored); deflated ones inflated
    };
    static Dataset borrow(std::span<const std::uint8_t> bytes, Body body = Body::kLittleEndian);
    static Dataset own(OwnedBuffer bytes, Body body = Body::kLittleEndian);

    std::span<const std::uint8_t> bytes() const { return bytes_; }  // the whole buffer, as given
    const DatasetLayout& layout() const { return layout_; }
    // A data set was found and its body could be walked (converted when it had to be).
    bool readable() const { return readable_; }
    // Readable, and the walk reached the end (no unreadable element header).
    bool parsed() const { return parsed_; }
    // The walked body: a view of bytes() after the meta, or of a converted copy (converted()).
    std::span<const std::uint8_t> body() const { return body_; }
    Encoding encoding() const { return encoding_; }
    bool converted() const { return !converted_.empty(); }

    const std::vector<ElementRef>& elements() const { return elements_; }
    const ElementRef* find(Tag tag) const;
    // Typed reads of top-level elements; the same reads of items are free functions in values.hpp.
    std::string_view text(Tag tag) const;          // trimmed; empty when absent
    std::vector<double> numbers(Tag tag) const;    // binary by VR, or DS/IS text
    std::optional<long> integer(Tag tag) const;    // US/SS/UL/SL, or IS text
    std::vector<std::vector<ElementRef>> items(Tag tag) const;  // a sequence's items, each walked

private:
    void init(Body body);
    OwnedBuffer owned_;
    std::vector<std::uint8_t> converted_;
    std::span<const std::uint8_t> bytes_, body_;
    DatasetLayout layout_;
    Encoding encoding_ = Encoding::ExplicitLE;
    std::vector<ElementRef> elements_;
    bool readable_ = false, parsed_ = false;
};

// `ds` itself when its values already read little endian, else its buffer opened again with the
// body converted, kept in `holder`: one walk serves both when the data set is little endian.
const Dataset& little_endian(const Dataset& ds, Dataset& holder);

// File meta or sniff, then the walk, then the first Float, Double Float or (plain) Pixel Data.
// Little-endian data sets only: nothing for big-endian and deflated ones.
std::optional<ElementRef> locate_pixel_data(const std::uint8_t* buf, std::size_t size);
// The same for every encoding: a big-endian or deflated data set is walked into `holder` (in
// place for big endian, so the value is as stored; inflated for deflated), which the result's
// view points into and must outlive it. Little-endian buffers take the fast path above.
std::optional<ElementRef> locate_pixel_data(const std::uint8_t* buf, std::size_t size, Dataset& holder);

}  // namespace loamwerk
