#include "pixel/syntax.hpp"

#include <charconv>

namespace loamwerk::render {

FrameCodec codec_for(SyntaxCode code) {
    switch (code) {
    case syntax::kRle: return rle_decode;
    case syntax::kDeflatedFrames: return deflate_frame_decode;
    case syntax::kJpeg: return jpeg_decode;
    case syntax::kJpegLs: return jpegls_decode;
    case syntax::kJpeg2000:
    case syntax::kJpeg2000Mc: return j2k_decode;
    case syntax::kHtj2k: return htj2k_decode;
    case syntax::kJpegXl: return jxl_decode;
    default: return nullptr;
    }
}

std::string_view codec_name(FrameCodec codec) {
    if (codec == rle_decode) return "RLE";
    if (codec == deflate_frame_decode) return "deflated";
    if (codec == jpeg_decode) return "JPEG";
    if (codec == jpegls_decode) return "JPEG-LS";
    if (codec == j2k_decode) return "JPEG 2000";
    if (codec == htj2k_decode) return "HTJ2K";
    if (codec == jxl_decode) return "JPEG XL";
    if (codec == lzw_decode) return "Lempel-Ziv";
    return "compressed";
}

SyntaxInfo syntax_lookup(std::string_view uid) {
    SyntaxInfo info;
    info.code = syntax_code(uid);
    // This private alias walks as implicit VR but carries JPEG lossless frames.
    const std::string_view bare = uid.substr(0, uid.find_first_of(std::string_view("\0 ", 2)));
    info.codec = bare == "1.2.756.777.1.2.4.70" ? codec_for(syntax::kJpeg) : codec_for(info.code);
    return info;
}

std::string_view standard_name(std::string_view uid) {
    const std::string_view bare = uid.substr(0, uid.find_first_of(std::string_view("\0 ", 2)));
    if (bare == "1.2.840.10008.1.2.4.50" || bare == "1.2.840.10008.1.2.4.51") return "ISO_10918_1";
    if (bare == "1.2.840.10008.1.2.4.81") return "ISO_14495_1";
    if (bare == "1.2.840.10008.1.2.4.91") return "ISO_15444_1";
    if (bare == "1.2.840.10008.1.2.4.203") return "ISO_15444_15";
    if (bare == "1.2.840.10008.1.2.4.112") return "ISO_18181_1";
    return "ISO_UNKNOWN";
}

bool is_video(std::string_view uid) {
    constexpr std::string_view prefix = "1.2.840.10008.1.2.4.";
    if (uid.substr(0, prefix.size()) != prefix) return false;
    const std::string_view rest = uid.substr(prefix.size());
    unsigned n = 0;
    const auto r = std::from_chars(rest.data(), rest.data() + rest.size(), n);
    return r.ec == std::errc{} && n >= 100 && n <= 108;
}

}  // namespace loamwerk::render
