// Constant tables of the character-set decoder: defined terms, escape sequences, vendor
// mislabellings and the built-in single-byte code pages.
#pragma once

#include <cstddef>
#include <cstdint>

namespace loamwerk::charset {

struct TermRow {
    const char* term;       // as written in Specific Character Set
    const char* converter;  // encoding name handed to the converter
    bool iso2022;           // a code-extension term
    bool multibyte;
};
extern const TermRow kTerms[];
extern const std::size_t kTermCount;

struct EscapeRow {
    const char* sequence;  // the bytes after ESC
    const char* term;
    bool g1;
    int bytes_per_char;
};
extern const EscapeRow kEscapes[];
extern const std::size_t kEscapeCount;

struct VendorRow {
    const char* pattern;    // found anywhere in Manufacturer, ignoring case
    const char* term;       // the declared term it applies to ("" = no declaration)
    const char* converter;  // what the bytes really are
    const char* note;
};
extern const VendorRow kVendorRows[];
extern const std::size_t kVendorRowCount;

// Bytes 80-FF to code points; 0xFFFF is undefined.
struct CodePage {
    const char* name;
    std::uint16_t high[128];
};
extern const CodePage kCodePages[];
extern const std::size_t kCodePageCount;

}  // namespace loamwerk::charset
