// Tractography Results: track sets of streamlines in patient coordinates (LPS, mm), with their
// colour, anatomy, acquisition, model and algorithm, and per-point measurements.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/cielab.hpp"
#include "core/content.hpp"
#include "seg/author.hpp"  // Code

namespace loamwerk::tract {

using seg::Code;

using Point = std::array<float, 3>;
using Track = std::vector<Point>;

struct TrackMeasurement {
    Code quantity, unit;  // the concept measured and its unit
    std::vector<std::vector<float>> values;  // one value a point, per track
};

struct TrackSet {
    std::string label, description;
    std::vector<Track> tracks;
    std::optional<std::array<std::uint8_t, 3>> rgb;  // the set's recommended display colour
    Code anatomy{"389080008", "SCT", "White Matter"};
    Code acquisition{"113223", "DCM", "DTI"};
    Code model{"113231", "DCM", "Single Tensor"};
    Code algorithm_family{"113211", "DCM", "Deterministic"};
    std::string algorithm_name = "loam dti_track", algorithm_version = "1", algorithm_parameters;
    std::vector<TrackMeasurement> measurements;
};

// The content header's UIDs and patient are what a read finds; a write takes its label,
// description and creator.
struct Tractography : ContentHeader {
    Tractography() { content_label = "TRACTS"; }
    std::vector<TrackSet> sets;
};

}  // namespace loamwerk::tract
