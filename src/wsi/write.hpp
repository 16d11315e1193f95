// Authoring VL Whole Slide Microscopy pyramids from an RGB image: one instance per level (each
// half the size of the one before), tiled and encoded, plus optional label and overview images.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/identity.hpp"

namespace loamwerk::wsi {

struct RgbImage {
    std::span<const std::uint8_t> pixels;  // rows × columns × 3, row-major
    std::uint32_t columns = 0, rows = 0;
    bool empty() const { return pixels.empty(); }
};

struct PyramidRequest {
    RgbImage image;
    std::uint32_t tile_width = 256, tile_height = 256;
    unsigned levels = 0;  // 0: halve until one tile holds the level
    std::string transfer_syntax = "1.2.840.10008.1.2.4.50";
    int quality = 90;
    // TILED_SPARSE with per-frame positions; `skip_blank` then leaves out tiles of one uniform
    // white or black value (empty glass).
    bool sparse = false, skip_blank = false;
    std::vector<std::uint8_t> icc_profile;
    double pixel_spacing_mm = 0.00025;
    RgbImage label, overview;
    std::string study_uid, series_uid, content_date;  // minted / today when empty
    Identity identity{"loam", "loam", "loam", "0", "1", "", ""};  // the content creator is not used
};

// The instances: levels from full resolution down, then the label and the overview. Throws
// std::invalid_argument for unusable requests and std::runtime_error when a tile cannot be
// encoded.
std::vector<std::vector<std::uint8_t>> write_pyramid(const PyramidRequest& request);

}  // namespace loamwerk::wsi
