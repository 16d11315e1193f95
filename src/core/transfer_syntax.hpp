// The transfer-syntax table: UID to SyntaxCode, and SyntaxCode to header encoding.
#pragma once

#include <cstdint>
#include <string_view>

namespace loamwerk {

using SyntaxCode = std::uint8_t;

namespace syntax {
constexpr SyntaxCode kUnknown = 0;
constexpr SyntaxCode kImplicitLE = 10;
constexpr SyntaxCode kExplicitLE = 11;
constexpr SyntaxCode kExplicitBE = 12;
constexpr SyntaxCode kEncapsulatedUncompressed = 13;
constexpr SyntaxCode kDeflatedLE = 14;
constexpr SyntaxCode kImplicitLEBigEndianPixels = 15;
constexpr SyntaxCode kDeflatedFrames = 16;
constexpr SyntaxCode kRle = 100;
constexpr SyntaxCode kJpeg = 101;
constexpr SyntaxCode kJpegLs = 102;
constexpr SyntaxCode kJpegXl = 103;
constexpr SyntaxCode kJpeg2000 = 104;
constexpr SyntaxCode kJpeg2000Mc = 105;
constexpr SyntaxCode kHtj2k = 107;
constexpr SyntaxCode kMpeg2 = 108;
constexpr SyntaxCode kH264 = 109;
constexpr SyntaxCode kH264Bd = 110;
constexpr SyntaxCode kHevcMain = 111;
constexpr SyntaxCode kHevcMain10 = 112;
constexpr SyntaxCode kSmpteProgressive = 200;
constexpr SyntaxCode kSmpteInterlaced = 201;
}  // namespace syntax

// How element headers are read.
enum class Encoding : std::uint8_t { ImplicitLE = 0, ExplicitLE = 1, ExplicitBE = 2 };

struct TransferSyntaxRow {
    std::string_view uid;
    SyntaxCode code;
};

// Matches the value against the table in order; trailing NUL or space padding is accepted,
// a longer UID that merely starts with a row's UID is not.
SyntaxCode syntax_code(std::string_view uid_value);
Encoding encoding_of(SyntaxCode code);
// The table itself, for iteration.
const TransferSyntaxRow* transfer_syntax_rows(std::size_t* count);
// Display name of a transfer syntax UID from the UID registry ("" when unknown).
std::string_view transfer_syntax_name(std::string_view uid);

}  // namespace loamwerk
