// Reads Surface Segmentations back into segments and their meshes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "surface/surface.hpp"

namespace loamwerk::surface {

// std::runtime_error "<where>: ..." for a file that is not a readable Surface Segmentation.
SurfaceSegmentation read_surface_segmentation(std::span<const std::uint8_t> file, const std::string& where);

}  // namespace loamwerk::surface
