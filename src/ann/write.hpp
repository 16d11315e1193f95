// Writes Microscopy Bulk Simple Annotations on a slide image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ann/ann.hpp"
#include "core/identity.hpp"

namespace loamwerk::ann {

// Part-10 bytes. reference_path: the slide image annotated (patient, study, frame of reference
// and specimen from it). std::invalid_argument for what the object cannot hold, in words.
std::vector<std::uint8_t> write_annotations(const Annotations& a, const std::string& reference_path,
                                            const Identity& identity, std::string sop_instance_uid,
                                            std::string series_instance_uid);

}  // namespace loamwerk::ann
