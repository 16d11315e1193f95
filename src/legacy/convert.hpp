// Legacy Converted Enhanced CT, MR and PET images: a classic single-frame series as one
// multi-frame instance, each file a frame, nothing of the files' attributes lost.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/identity.hpp"

namespace loamwerk::legacy {

struct Options {
    std::string sop_instance_uid, series_instance_uid;  // made from the sources when empty
    Identity identity{"loam", "loam", "loam", "1", "", "", ""};  // the converting equipment
};

// The Part-10 bytes, in the files' transfer syntax when they share a compressed one, else in
// Explicit VR Little Endian. Throws std::invalid_argument, in words for the caller, for files
// that cannot be one instance (other storage classes, image sizes or pixel layouts, studies).
std::vector<std::uint8_t> convert(const std::vector<std::span<const std::uint8_t>>& files, const Options& options);

}  // namespace loamwerk::legacy
