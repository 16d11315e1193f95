// Enhanced US Volume metadata: strict validation and the per-frame values of its dense grid.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/dataset.hpp"
#include "volume/grid.hpp"

namespace loamwerk::volume::enhanced_us {

struct Parsed {
    std::size_t frames = 0;
    std::vector<double> z, temporal;
    std::vector<float> data_type_index;  // per frame, the position of its Data Type in data_types
    std::vector<std::string> data_types;  // in Dimension Index order
    double pixel_spacing[2] = {1, 1};
    double slice_thickness = 0;
    std::string frame_of_reference;  // the Volume Frame of Reference UID
    std::size_t dense_temporal = 0, dense_planes = 0, dense_types = 0;
};

// Throws std::runtime_error "volume::decode_one_file: (malformed|unsupported) Enhanced US Volume
// metadata in <path>: <rule>" for the first rule the object breaks.
Parsed parse(const std::vector<ElementRef>& top, const std::string& path);

// The grouped grid against the parsed dimensions; throws std::runtime_error.
void check_grid(const VolumeGrid& grid, const SeriesInfo& info, std::size_t declared_frames);

}  // namespace loamwerk::volume::enhanced_us
