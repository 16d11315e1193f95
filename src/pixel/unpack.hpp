// Stored values of one frame: 1-bit unpacking, 4:2:2 expansion, planar interleave, byte
// order and sign extension, into little-endian interleaved samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/bytes.hpp"

namespace loamwerk::render {

struct StoredSource {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    unsigned bit_offset = 0;
    bool big_endian = false, words_for_bytes = false, packed_422 = false, planar = false, one_bit = false;
    std::uint16_t rows = 0, columns = 0, samples = 0, bits = 0, bits_stored = 0;
    bool sign_extend = false;
};

struct StoredLayout {
    std::uint16_t samples = 0;
    unsigned width = 0;  // bytes per output sample
};

// Appends rows x columns x samples samples; what the source does not cover is zero.
StoredLayout unpack_stored(const StoredSource& src, ByteVector& out);

// Sign extension of b-bit values in w-byte little-endian containers.
void sign_extend(std::uint8_t* p, std::size_t count, unsigned width, unsigned bits);

}  // namespace loamwerk::render
