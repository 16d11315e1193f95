// Frame encoders for transcoding: one interleaved, little-endian frame to one codestream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/bytes.hpp"

namespace loamwerk::render {

struct EncodeRequest {
    std::uint32_t columns = 0, rows = 0;
    std::uint16_t bits_allocated = 0, bits_stored = 0;  // 0 stored: the same as allocated
    std::uint16_t samples = 1;
    bool planar = false;     // must be false: samples interleaved
    bool is_signed = false;  // Pixel Representation
    bool container = false;  // wrap in JP2 / JPH / JPEG XL container (never for DICOM)
    int quality = 0;         // 0: lossless where the target allows it
    unsigned precision() const { return bits_stored ? bits_stored : bits_allocated; }
};

// An empty result is a failure. An unknown target is reported on standard error.
ByteVector encode_wrap(const std::uint8_t* pixels, std::size_t size, const EncodeRequest& request,
                       std::string_view target);

ByteVector rle_encode(const std::uint8_t* pixels, std::size_t size, const EncodeRequest& request);
ByteVector jpeg_encode(const std::uint8_t* pixels, std::size_t size, const EncodeRequest& request,
                       std::string_view target, int quality);
ByteVector jpegls_encode(const std::uint8_t* pixels, std::size_t size, const EncodeRequest& request, int near);
ByteVector j2k_encode(const std::uint8_t* pixels, std::size_t size, const EncodeRequest& request, int quality);
ByteVector htj2k_encode(const std::uint8_t* pixels, std::size_t size, const EncodeRequest& request, int quality);
ByteVector jxl_encode(const std::uint8_t* pixels, std::size_t size, const EncodeRequest& request, int quality);

}  // namespace loamwerk::render
