// Writes Tractography Results on a reference series.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/identity.hpp"
#include "core/image_header.hpp"
#include "tract/tract.hpp"

namespace loamwerk::tract {

// Part-10 bytes. references: the series the tracks come from (patient, study and frame of
// reference from the first). std::invalid_argument for what the object cannot hold, in words.
std::vector<std::uint8_t> write_tractography(const Tractography& t, const std::vector<ImageHeader>& references,
                                             const Identity& identity, std::string sop_instance_uid,
                                             std::string series_instance_uid);

}  // namespace loamwerk::tract
