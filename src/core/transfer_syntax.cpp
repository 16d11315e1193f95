#include "core/transfer_syntax.hpp"

#include "core/dictionary.hpp"

namespace loamwerk {

namespace {
using namespace syntax;
constexpr TransferSyntaxRow kRows[] = {
    {"1.2.840.10008.1.2.4.100.1", kMpeg2},
    {"1.2.840.10008.1.2.4.101.1", kMpeg2},
    {"1.2.840.10008.1.2.4.102.1", kH264},
    {"1.2.840.10008.1.2.4.104.1", kH264},
    {"1.2.840.10008.1.2.4.103.1", kH264Bd},
    {"1.2.840.10008.1.2.4.105.1", kHevcMain},
    {"1.2.840.10008.1.2.4.106.1", kHevcMain10},
    {"1.3.46.670589.33.1.4.1", kExplicitLE},  // a vendor's private explicit syntax
    {"1.2.840.10008.1.2.4.110", kJpegXl},
    {"1.2.840.10008.1.2.4.111", kJpegXl},
    {"1.2.840.10008.1.2.4.112", kJpegXl},
    {"1.2.840.10008.1.2.4.100", kMpeg2},
    {"1.2.840.10008.1.2.4.101", kMpeg2},
    {"1.2.840.10008.1.2.4.102", kH264},
    {"1.2.840.10008.1.2.4.104", kH264},
    {"1.2.840.10008.1.2.4.103", kH264Bd},
    {"1.2.840.10008.1.2.4.105", kHevcMain},
    {"1.2.840.10008.1.2.4.106", kHevcMain10},
    {"1.2.840.10008.1.2.4.107", kSmpteProgressive},
    {"1.2.840.10008.1.2.4.108", kSmpteInterlaced},
    {"1.2.840.10008.1.2.4.201", kHtj2k},
    {"1.2.840.10008.1.2.4.202", kHtj2k},
    {"1.2.840.10008.1.2.4.203", kHtj2k},
    {"1.2.840.10008.1.2.1.98", kEncapsulatedUncompressed},
    {"1.2.840.10008.1.2.1.99", kDeflatedLE},
    {"1.2.840.10008.1.2.4.80", kJpegLs},
    {"1.2.840.10008.1.2.4.81", kJpegLs},
    {"1.2.840.10008.1.2.4.90", kJpeg2000},
    {"1.2.840.10008.1.2.4.91", kJpeg2000},
    {"1.2.840.10008.1.2.4.92", kJpeg2000Mc},
    {"1.2.840.10008.1.2.4.93", kJpeg2000Mc},
    {"1.2.840.10008.1.2.4.50", kJpeg},
    {"1.2.840.10008.1.2.4.51", kJpeg},
    {"1.2.840.10008.1.2.4.52", kJpeg},
    {"1.2.840.10008.1.2.4.53", kJpeg},
    {"1.2.840.10008.1.2.4.54", kJpeg},
    {"1.2.840.10008.1.2.4.55", kJpeg},
    {"1.2.840.10008.1.2.4.56", kJpeg},
    {"1.2.840.10008.1.2.4.57", kJpeg},
    {"1.2.840.10008.1.2.4.58", kJpeg},
    {"1.2.840.10008.1.2.4.59", kJpeg},
    {"1.2.840.10008.1.2.4.60", kJpeg},
    {"1.2.840.10008.1.2.4.61", kJpeg},
    {"1.2.840.10008.1.2.4.62", kJpeg},
    {"1.2.840.10008.1.2.4.63", kJpeg},
    {"1.2.840.10008.1.2.4.64", kJpeg},
    {"1.2.840.10008.1.2.4.65", kJpeg},
    {"1.2.840.10008.1.2.4.66", kJpeg},
    {"1.2.840.10008.1.2.4.70", kJpeg},
    {"1.2.840.10008.1.2.8.1", kDeflatedFrames},
    {"1.2.756.777.1.2.4.70", kImplicitLE},  // a private JPEG-lossless alias
    {"1.2.840.10008.1.2.1", kExplicitLE},
    {"1.2.840.10008.1.2.2", kExplicitBE},
    {"1.2.840.10008.1.2.4", kUnknown},  // the bare prefix
    {"1.2.840.10008.1.2.5", kRle},
    {"1.2.840.113619.5.2", kImplicitLEBigEndianPixels},
    {"1.2.840.10008.1.20", kImplicitLE},  // the retired Papyrus implicit syntax
    {"1.2.840.10008.1.2", kImplicitLE},
};
}  // namespace

SyntaxCode syntax_code(std::string_view value) {
    for (const auto& row : kRows) {
        if (value.size() < row.uid.size() || value.substr(0, row.uid.size()) != row.uid) continue;
        if (value.size() == row.uid.size()) return row.code;
        const char next = value[row.uid.size()];
        if (next == '\0' || next == ' ') return row.code;
    }
    return kUnknown;
}

Encoding encoding_of(SyntaxCode code) {
    switch (code) {
        case kImplicitLE:
        case kImplicitLEBigEndianPixels: return Encoding::ImplicitLE;
        case kExplicitBE: return Encoding::ExplicitBE;
        default: return Encoding::ExplicitLE;
    }
}

const TransferSyntaxRow* transfer_syntax_rows(std::size_t* count) {
    if (count) *count = std::size(kRows);
    return kRows;
}

std::string_view transfer_syntax_name(std::string_view uid) {
    while (!uid.empty() && (uid.back() == '\0' || uid.back() == ' ')) uid.remove_suffix(1);
    const dict::UidDictionaryEntry* e = dict::lookup_uid(uid);
    return e ? e->name : std::string_view{};
}

}  // namespace loamwerk
