// The presentation pipeline: colour conversions, palette expansion, the modality transform
// and the VOI transfer function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "pixel/image.hpp"

namespace loamwerk::render {

// Interleaved Y, Cb, Cr (4:2:2 already expanded) to RGB in place, Q15 fixed point.
void ybr_to_rgb(std::uint8_t photometric, std::uint8_t* pixels, std::size_t count);
// C, M, Y, K to R, G, B.
void cmyk_to_rgb(const std::uint8_t* cmyk, std::size_t count, std::uint8_t* rgb);

// Expands palette indices (little-endian, `width` bytes each) into R, G, B samples of 8 bits,
// or 16 bits with `out16`. status::kOk, kUnsupported (unusable palette) or kTruncated (too few
// indices).
int palette_expand(const RenderImage& img, const std::uint8_t* indices, std::size_t index_bytes, std::size_t count,
                   unsigned width, bool is_signed, bool out16, ByteVector& out);
// True when the image's palette can be used, and whether its entries are 16-bit.
bool palette_usable(const RenderImage& img, bool* sixteen_bit);
// palette_expand with the palette of a Part-10 buffer or bare data set, 16-bit output when its
// entries are (`*sixteen_bit`). status::kNothing when it holds no usable Palette Color LUT.
int palette_expand(std::span<const std::uint8_t> dataset, const std::uint8_t* indices, std::size_t index_bytes,
                   std::size_t count, unsigned width, bool is_signed, ByteVector& out, bool* sixteen_bit);

// The modality transform of one frame's stored samples (sign-extended, little-endian) to
// float32, with the frame's minimum and maximum when asked for.
void modality_transform(const RenderImage& img, std::size_t frame_index, const std::uint8_t* stored, std::size_t count,
                        unsigned width, bool is_signed, bool is_float, float* out, float* min_out, float* max_out);

// The VOI transfer to [0, 1]. Returns false for a LUT of no entries.
bool voi_transfer(const float* in, std::size_t count, int function, const std::uint8_t* lut, std::size_t lut_size,
                  bool has_lut, int lut_first, int lut_depth, float center, float width, float* out);

}  // namespace loamwerk::render
