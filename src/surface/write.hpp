// Writes Surface Segmentations on a reference series.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/identity.hpp"
#include "core/image_header.hpp"
#include "surface/surface.hpp"

namespace loamwerk::surface {

// Part-10 bytes. references: the images the surfaces were made from (patient, study and frame of
// reference from the first). std::invalid_argument for what the object cannot hold, in words.
std::vector<std::uint8_t> write_surface_segmentation(const SurfaceSegmentation& s,
                                                     const std::vector<ImageHeader>& references,
                                                     const Identity& identity, std::string sop_instance_uid,
                                                     std::string series_instance_uid);

}  // namespace loamwerk::surface
