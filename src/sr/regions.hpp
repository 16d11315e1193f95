// The spatial regions of a report and the measurement groups they lie in.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sr/content.hpp"

namespace loamwerk::sr {

// A spatial region of a report: one SCOORD or SCOORD3D item with what it refers to and the
// measurement group it lies in.
struct Region {
    std::string item;  // the item identifier, e.g. "1.4.2.3"
    std::string value_type, graphic_type;
    std::optional<CodedConcept> name;         // the region item's concept name
    std::optional<CodedConcept> measurement;  // the NUM item it was inferred for, when it is one
    std::vector<double> graphic_data;
    std::string frame_of_reference_uid;       // SCOORD3D
    std::optional<InstanceReference> image;   // SCOORD: the image it was selected from
    int group = 0;                            // the measurement group's number (1, 2, ...); 0 outside any
    std::string tracking_id, tracking_uid;    // the group's tracking identifier and UID
};

// Every region in document order.
std::vector<Region> regions(const SrDocument& doc);

}  // namespace loamwerk::sr
