// Writes Spatial Registration and Deformable Spatial Registration objects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/identity.hpp"
#include "core/image_header.hpp"
#include "reg/registration.hpp"

namespace loamwerk::reg {

// The source images an item names, by their headers (study included, for the references).
using SourceImages = std::vector<std::vector<ImageHeader>>;  // one list an item

// Part-10 bytes. fixed: the images of the registered frame (patient, study and the frame from
// the first); sources: each item's images, or none. A rigid object also gets an identity item for
// the registered frame when no item registers it, as readers expect. std::invalid_argument for
// what the object cannot hold, in words.
std::vector<std::uint8_t> write_registration(const Registration& r, const std::vector<ImageHeader>& fixed,
                                             const SourceImages& sources, const Identity& identity,
                                             std::string sop_instance_uid, std::string series_instance_uid);

}  // namespace loamwerk::reg
