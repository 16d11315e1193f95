// Writing radiotherapy objects: RT Dose from a dose volume, RT Structure Sets from masks.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/identity.hpp"
#include "core/image_header.hpp"

namespace loamwerk::rt {

struct DoseVolume {
    const float* gy = nullptr;  // frames × rows × columns, Gy
    std::size_t frames = 0, rows = 0, columns = 0;
    // The voxel (column, row, frame) to patient affine, column-major; none: the reference images'
    // own grid, one frame a slice along their normal.
    std::optional<std::array<double, 16>> affine;
};

struct DoseOptions {
    std::string dose_type = "PHYSICAL";  // PHYSICAL, EFFECTIVE or ERROR
    std::string summation_type = "PLAN";  // PLAN, MULTI_PLAN, PLAN_OVERVIEW or RECORD
    std::vector<std::string> plan_uids;   // the RT Plans it is the dose of
    std::string structure_set_uid;        // the RT Structure Set it goes with
    std::string comment, sop_instance_uid, series_instance_uid;
    Identity identity{"loam", "loam", "loam", "1", "1", "", ""};
};

// The Part-10 bytes (Explicit VR Little Endian): 16-bit doses with the Dose Grid Scaling that
// holds the largest dose in 65535 steps (1.5e-5 of it), frames placed by the Grid Frame Offset
// Vector from the first. `reference` gives patient, study and frame of reference. Throws
// std::invalid_argument, in words for the caller, for doses or geometry it cannot store.
std::vector<std::uint8_t> write_rtdose(const DoseVolume& dose, const std::vector<ImageHeader>& reference,
                                       const DoseOptions& options);

struct RoiDescription {
    std::string name, interpreted_type, algorithm = "AUTOMATIC", description;
    std::optional<std::array<int, 3>> colour;
};

struct StructureOptions {
    std::string label = "LOAM", name, sop_instance_uid, series_instance_uid;
    Identity identity{"loam", "loam", "loam", "1", "1", "", ""};
};

// An RT Structure Set of one ROI a mask (slices × rows × columns, non-zero inside) on the
// reference series, slices in the series' order along its normal: each slice's outlines as
// closed planar contours on that image (holes as contours of their own), referencing it.
// Throws std::invalid_argument, in words for the caller.
std::vector<std::uint8_t> write_rtstruct(const std::vector<const std::uint8_t*>& masks, std::size_t slices, std::size_t rows,
                                         std::size_t columns, const std::vector<RoiDescription>& rois,
                                         std::vector<ImageHeader> reference, const StructureOptions& options);

}  // namespace loamwerk::rt
