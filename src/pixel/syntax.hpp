// The pixel engine's view of the transfer-syntax table: each row's frame decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/transfer_syntax.hpp"

namespace loamwerk::render {

struct FrameRecord;

// Decodes one frame's source bytes into the record's decoded buffer and geometry.
// 0 success, 1 allocation failure, 2 malformed or unsupported codestream.
using FrameCodec = int (*)(const std::uint8_t* data, std::size_t size, FrameRecord& frame);

struct SyntaxInfo {
    SyntaxCode code = syntax::kUnknown;
    FrameCodec codec = nullptr;
};

// The first row whose UID the value matches (NUL or space padding allowed).
SyntaxInfo syntax_lookup(std::string_view uid);
// The decoder of a syntax code (frames whose codec was sniffed from the codestream).
FrameCodec codec_for(SyntaxCode code);
// "JPEG-LS" and the like, for messages.
std::string_view codec_name(FrameCodec codec);
// "ISO_10918_1" and the like, for transcoding.
std::string_view standard_name(std::string_view uid);
// MPEG-2, H.264 and HEVC syntaxes (1.2.840.10008.1.2.4.100 to .108).
bool is_video(std::string_view uid);

// The frame decoders.
int rle_decode(const std::uint8_t* data, std::size_t size, FrameRecord& frame);
int jpeg_decode(const std::uint8_t* data, std::size_t size, FrameRecord& frame);
int jpegls_decode(const std::uint8_t* data, std::size_t size, FrameRecord& frame);
int j2k_decode(const std::uint8_t* data, std::size_t size, FrameRecord& frame);
int htj2k_decode(const std::uint8_t* data, std::size_t size, FrameRecord& frame);
int jxl_decode(const std::uint8_t* data, std::size_t size, FrameRecord& frame);
int lzw_decode(const std::uint8_t* data, std::size_t size, FrameRecord& frame);
int deflate_frame_decode(const std::uint8_t* data, std::size_t size, FrameRecord& frame);

}  // namespace loamwerk::render
