// Reading any producer's DICOM Segmentation back into label maps and occupancy planes, with
// its segments and geometry.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/bytes.hpp"
#include "core/dataset.hpp"
#include "seg/author.hpp"  // Code

namespace loamwerk::seg {

// The first item of a code sequence of `item` as a Code; empty when the sequence is absent or empty.
Code code_of(const std::vector<ElementRef>& item, Tag seq);

enum class SegType : std::uint8_t { kBinary = 0, kFractional = 1, kLabelMap = 2 };

struct SegmentInfo {
    std::uint32_t number = 0;
    std::string label, tracking_id, tracking_uid;
    Code category, type, anatomic;
    std::uint8_t rgb[3] = {0, 0, 0};
    bool has_tracking_id = false, has_tracking_uid = false;
};

struct SegGeometry {
    std::uint32_t slices = 0, rows = 0, columns = 0, frames = 0;
    double orientation[6] = {1, 0, 0, 0, 1, 0};
    double pixel_spacing[2] = {1, 1};  // row spacing, column spacing
    double slice_thickness = 0;
    std::vector<std::array<double, 3>> origins;
    std::vector<std::uint32_t> frame_slice;
    double affine[16] = {};
};

struct SegDecoded {
    SegType type = SegType::kBinary;
    std::vector<SegmentInfo> segments;
    SegGeometry geometry;
    std::string series_uid, study_uid, frame_of_reference_uid;
    bool overlapping = false;
    ZeroedArray<std::uint16_t> labelmap;  // slices x rows x columns
    ZeroedArray<float> occupancy;         // segments x slices x rows x columns
};

enum class DecodeStatus { kOk, kNotDicom, kNoSegments, kFailed };

// `masks` false builds the label map, true the occupancy planes.
DecodeStatus dcm_seg_decode(std::span<const std::uint8_t> bytes, bool masks, SegDecoded& out);

}  // namespace loamwerk::seg
