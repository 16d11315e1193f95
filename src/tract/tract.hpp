// Tractography Results: track sets of streamlines in patient coordinates (LPS, mm), with their
// colour, anatomy, acquisition, model and algorithm, and per-point measurements.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/cielab.hpp"
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

struct Tractography {
    std::vector<TrackSet> sets;
    std::string content_label = "TRACTS", content_description, content_creator;
    // What a read finds beside the sets.
    std::string sop_instance_uid, series_instance_uid, study_instance_uid, frame_of_reference_uid;
    std::string patient_name, patient_id;
};

}  // namespace loamwerk::tract
