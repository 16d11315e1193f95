// Text values to UTF-8 by Specific Character Set.
//
// A self-contained component with a plain C-style interface: handles opened and closed
// explicitly, integer result codes, and a log callback through which every repair is
// reported instead of failing. Outputs are always NUL-terminated and reported lengths count
// the terminator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace loamwerk {

class Dataset;

struct CharsetDecoder;
struct TextDecoder;

// Result codes.
constexpr int kCharsetOk = 0;
constexpr int kCharsetMissingArgument = -1;
constexpr int kCharsetOutputTooSmall = -2;
constexpr int kCharsetCannotOpen = -3;
constexpr int kCharsetBadByte = -4;
constexpr int kCharsetOutOfMemory = -5;
constexpr int kCharsetBadEscape = -7;
constexpr int kCharsetUndeclaredEscape = -8;

// Option bits.
constexpr unsigned kCharsetSingleValue = 1;
constexpr unsigned kCharsetDiscard = 2;     // drop undecodable bytes
constexpr unsigned kCharsetReplace = 4;     // undecodable bytes become "?"
constexpr unsigned kCharsetLenient = 8;     // normalise unknown terms, fall back to ASCII
constexpr unsigned kCharsetTolerant = 16;   // skip failing converters, bad escapes, undeclared sets
constexpr unsigned kCharsetDetect = 32;     // check the declaration against the bytes
constexpr unsigned kCharsetVendor = 64;     // honour known vendor mislabellings
constexpr unsigned kCharsetBatchOptions = 122;

// Log levels.
constexpr int kLogDetail = 0, kLogInfo = 1, kLogRepair = 2, kLogWarning = 3;
using charset_log_fn = void (*)(int level, const char* message, void* user);

CharsetDecoder* charset_decoder_open(const char* specific_charset, unsigned options);
void charset_decoder_close(CharsetDecoder* decoder);
// Empty or null clears it. Rebuilds the converters when a workaround changes the effective term.
int set_manufacturer(CharsetDecoder* decoder, const char* manufacturer);
int set_logger(CharsetDecoder* decoder, charset_log_fn log, void* user);
// One value of a character-set-applicable VR; `delimiters` are its VR's delimiter bytes.
int decode_value(CharsetDecoder* decoder, const std::uint8_t* value, std::size_t length, char* out,
                 std::size_t capacity, std::size_t* out_length, const char* delimiters);
// decode_value into a string, without terminator or capacity limit.
int decode_text(CharsetDecoder* decoder, const std::uint8_t* value, std::size_t length, const char* delimiters,
                std::string& out);
// One-shot conversion of one value of the given VR (options 1).
int decode_single(const char* specific_charset, const std::uint8_t* value, std::size_t length, char* out,
                  std::size_t capacity, std::size_t* out_length, std::uint16_t vr);
// Every backslash-separated value (spaces trimmed) is a defined term of at most 63 characters.
bool is_known_charset(const char* specific_charset);

// The batch decoder.
struct CharsetElement {
    std::uint32_t tag;
    std::uint16_t vr;
    const std::uint8_t* value;
    std::size_t length;
};
struct CharsetResult {
    std::uint32_t tag;
    const char* text;    // NUL-terminated UTF-8 in the decoder's arena
    std::size_t length;  // without the terminator
    int status;          // the value's result code; the text holds what was converted
};
// Options 122; the manufacturer may be null.
TextDecoder* text_decoder_open(const char* specific_charset, const char* manufacturer, charset_log_fn log,
                               void* user);
void text_decoder_close(TextDecoder* decoder);
// Results stay valid until the next call or close.
int decode_elements(TextDecoder* decoder, const CharsetElement* elements, std::size_t count,
                    const CharsetResult** results, std::size_t* result_count);

namespace charset {

// The length of the valid UTF-8 sequence at p (1 for ASCII), or 0.
std::size_t utf8_sequence_length(const std::uint8_t* p, std::size_t n);

// Delimiter bytes of a VR, and whether the character set applies to it at all.
const char* vr_delimiters(std::uint16_t vr);
bool applies_to(std::uint16_t vr);

struct DecodedText {
    std::uint32_t tag;
    std::string text;
    int status;
};
// The engines' use: every top-level text element of a parsed dataset, decoded under its
// Specific Character Set and Manufacturer with the batch options.
std::vector<DecodedText> decode_dataset_text(const Dataset& dataset, charset_log_fn log, void* user);

}  // namespace charset
}  // namespace loamwerk
