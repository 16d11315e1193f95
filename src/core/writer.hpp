// Byte-level writers shared by everything that produces DICOM: the output buffer, the
// element encoders, value padding, the file meta writers and the encapsulated pixel value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/transfer_syntax.hpp"
#include "core/vr.hpp"

namespace loamwerk {

// A growable output buffer with 32-bit size and capacity. The first allocation is 64 KiB and
// the capacity doubles as needed, never beyond 0xFFFFF000 bytes. A write that does not fit
// writes nothing, returns false and marks the sink failed, so no element is ever half written.
class ByteSink {
public:
    static constexpr std::uint32_t kFirstCapacity = 0x10000;
    static constexpr std::uint32_t kMaxCapacity = 0xFFFFF000;

    bool append(const void* data, std::size_t n) { return append2(data, n, nullptr, 0); }
    // Two pieces written together or not at all (a header and its value).
    bool append2(const void* a, std::size_t na, const void* b, std::size_t nb);
    void patch_le32(std::size_t at, std::uint32_t value);

    const std::uint8_t* data() const { return buf_.get(); }
    std::uint32_t size() const { return size_; }
    std::uint32_t capacity() const { return capacity_; }
    bool failed() const { return failed_; }
    std::span<const std::uint8_t> bytes() const { return {buf_.get(), size_}; }

private:
    bool grow_for(std::size_t extra);
    std::unique_ptr<std::uint8_t[]> buf_;
    std::uint32_t size_ = 0, capacity_ = 0;
    bool failed_ = false;
};

// Explicit VR Little Endian elements. VR 0 is written as UN, and so is a short-form VR whose
// value reaches 65535 bytes. False when the sink cannot take the whole element, or the value
// is too long for any length field.
class EvrElementWriter {
public:
    explicit EvrElementWriter(ByteSink& sink) : sink_(&sink) {}
    explicit EvrElementWriter(std::vector<std::uint8_t>& out) : vec_(&out) {}
    bool append(std::uint16_t group, std::uint16_t element, VR vr, const std::uint8_t* value, std::size_t length);

private:
    ByteSink* sink_ = nullptr;
    std::vector<std::uint8_t>* vec_ = nullptr;
};

// Implicit VR Little Endian: tag, 32-bit length, value.
bool append_implicit(ByteSink& sink, Tag tag, const std::uint8_t* value, std::size_t length);
bool append_implicit(std::vector<std::uint8_t>& out, Tag tag, const std::uint8_t* value, std::size_t length);

// One element in a little-endian encoding (implicit or explicit VR), for writers that keep
// the encoding of the data set they rewrite.
bool append_element(std::vector<std::uint8_t>& out, Encoding enc, Tag tag, VR vr, const std::uint8_t* value,
                    std::size_t length);
// The header of an undefined-length value (a sequence, or encapsulated pixel data), closed later
// by append_delimiter(out, 0xE0DD).
void append_undefined_header(std::vector<std::uint8_t>& out, Encoding enc, Tag tag, VR vr);
// An item (0xE000), item delimitation (0xE00D) or sequence delimitation (0xE0DD) tag.
void append_delimiter(std::vector<std::uint8_t>& out, std::uint16_t element, std::uint32_t length = 0);

// Value preparation: text is cut at its first NUL and padded to even length (NUL for UI,
// space otherwise); other values get one 00 byte when odd.
void pad_value(VR vr, std::string& value);

// A decimal string (DS) value: the most precise "%.*g" form that fits 16 characters.
std::string format_decimal(double v);
// Several of them, joined with backslashes.
std::string format_decimals(std::span<const double> values);
inline std::string format_decimals(std::initializer_list<double> values) {
    return format_decimals(std::span<const double>(values.begin(), values.size()));
}
// The current UTC date or time under a strftime format ("%Y%m%d", "%H%M%S").
std::string utc_now(const char* format);

// The system's implementation identity in the file meta.
inline constexpr std::string_view kUidRoot = "1.2.826.0.1.3680043.9.5296";
inline constexpr std::string_view kImplementationClassUid = "1.2.826.0.1.3680043.9.5296.1";
inline constexpr std::string_view kImplementationVersion = "LOAMXR_0_4_0";

// 1 to 64 characters of digits and dots.
bool is_valid_uid(std::string_view uid);

namespace wrap_result {
constexpr int kOk = 0;
constexpr int kBadUid = 9;
constexpr int kOutputTooSmall = 10;
}  // namespace wrap_result

// The Part-10 wrapper: preamble, "DICM", the system's group 0002 and the body as given.
std::size_t part10_wrapped_size(std::string_view sop_class, std::string_view sop_instance, std::size_t body_size,
                                std::string_view transfer_syntax);
// With keep_missing_sop, empty SOP UIDs are written empty (a re-encoded source that had none).
int part10_wrap_into(std::string_view sop_class, std::string_view sop_instance, std::span<const std::uint8_t> body,
                     std::string_view transfer_syntax, std::uint8_t* out, std::size_t capacity, std::size_t* written,
                     bool keep_missing_sop = false);
int Part10Wrap(std::string_view sop_class, std::string_view sop_instance, std::span<const std::uint8_t> body,
               std::string_view transfer_syntax, std::vector<std::uint8_t>& out);

// File meta for authored objects (Explicit VR Little Endian), after which the caller appends
// its body. False when the sink failed.
bool write_object_file_meta(ByteSink& sink, std::string_view sop_class, std::string_view sop_instance);

// An encapsulated pixel value: the Basic Offset Table item (filled only for a usable frame
// table) and one item per fragment, each padded to even length. No delimiter.
std::vector<std::uint8_t> encapsulate_pixel_value(std::span<const std::span<const std::uint8_t>> fragments,
                                                  std::span<const std::int64_t> frame_starts);

struct ElementRef;
// One element in Explicit VR Little Endian form, whatever form it was read in (implicit VR,
// repaired headers); sequences are rewritten item by item with defined lengths.
bool write_explicit(const ElementRef& e, std::vector<std::uint8_t>& out, int depth = 0);

}  // namespace loamwerk
