// Mosaics: several slices tiled into one frame (Siemens "MOSAIC", United Imaging "VFRAME"),
// their tile layout and each tile's position in the patient frame.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"
#include "diffusion/vendor.hpp"

namespace loamwerk::diffusion {

struct MosaicLayout {
    std::size_t tiles = 0, grid = 0;  // tiles laid out row by row on a grid x grid square
    std::size_t tile_rows = 0, tile_columns = 0;
    std::vector<std::array<double, 3>> positions;  // Image Position (Patient) of each tile, LPS mm
    double slice_spacing = 0;
    std::vector<double> slice_times;  // per tile, seconds from the first excitation (Siemens), when stated
};

// The layout of a mosaic frame, from the CSA image header ("NumberOfImagesInMosaic",
// "SliceNormalVector") or United Imaging's private count and per-tile positions; no tiles when the
// object is not a mosaic (or has fewer than two tiles). `position`, `orientation` and `spacing`
// are the object's Image Position, Image Orientation and Pixel Spacing; the mosaic's position is
// that of its top-left corner, so the first tile's is offset by half the untiled part.
MosaicLayout mosaic_layout(const Elements& top, std::string_view manufacturer, std::string_view image_type,
                           const CsaHeader& csa, const std::array<double, 3>& position,
                           const std::array<double, 6>& orientation, const std::array<double, 2>& spacing,
                           double slice_spacing, std::size_t rows, std::size_t columns);

// Tile `k` of a float32 mosaic frame (`columns` wide) copied into `out` (tile_rows x tile_columns).
void cut_tile(const float* mosaic, std::size_t columns, const MosaicLayout& layout, std::size_t k, float* out);

// A whole file's mosaic: the tiles as float32 modality values, with the layout and geometry.
struct ExpandedMosaic {
    ByteVector tiles;  // float32, tiles x tile_rows x tile_columns
    MosaicLayout layout;
    std::array<double, 6> orientation{};
    std::array<double, 2> pixel_spacing{};
};
// Nothing (tiles == 0) when the buffer is not a mosaic; throws std::runtime_error when it is one
// whose frame does not decode.
ExpandedMosaic expand_mosaic(std::span<const std::uint8_t> buffer);

}  // namespace loamwerk::diffusion
