// Microscopy Bulk Simple Annotations: groups of points, polylines, polygons, ellipses and
// rectangles on a slide, in image (Total Pixel Matrix) or slide (frame of reference) coordinates,
// with per-annotation measurements.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/content.hpp"
#include "seg/author.hpp"  // Code

namespace loamwerk::ann {

using seg::Code;

struct Measurement {
    Code name, unit;
    std::vector<float> values;  // one per annotation; NaN where an annotation has none
};

struct Group {
    std::uint16_t number = 0;  // 0: its place in the list
    std::string uid, label, description;
    std::string graphic_type;  // "POINT", "POLYLINE", "POLYGON", "ELLIPSE", "RECTANGLE"
    Code category{"91723000", "SCT", "Anatomical Structure"}, type{"85756007", "SCT", "Tissue"};
    std::string generation = "MANUAL";  // "MANUAL", "SEMIAUTOMATIC", "AUTOMATIC"
    Code algorithm_family{"123110", "DCM", "Artificial Intelligence"};
    std::string algorithm_name, algorithm_version, algorithm_parameters;
    bool double_precision = true;  // OD coordinates, else OF
    std::vector<double> coordinates;  // the points one after another, 2 or 3 values each
    std::vector<std::uint32_t> starts;  // each annotation's first point (0-based), ascending
    std::optional<std::array<std::uint8_t, 3>> rgb;
    std::string optical_path;  // empty: the annotations apply to every optical path
    std::optional<bool> all_z_planes;  // slide coordinates only; absent: "NO"
    std::optional<double> common_z;
    std::vector<Measurement> measurements;
};

// The content header's UIDs and patient are what a read finds; a write takes its label,
// description and creator.
struct Annotations : ContentHeader {
    Annotations() { content_label = "ANNOTATIONS"; }
    std::string coordinate_type = "2D";  // "2D" image, "3D" slide
    std::string pixel_origin = "VOLUME";  // image coordinates: "VOLUME" or "FRAME"
    std::vector<Group> groups;
    std::string referenced_image_uid;  // read: the image annotated
};

// Points each annotation of a graphic type has: exactly (ELLIPSE, RECTANGLE, POINT) or at least
// (POLYLINE 2, POLYGON 3); 0 for an unknown type.
struct PointCount {
    std::size_t count;
    bool exact;
};
PointCount points_per_annotation(std::string_view graphic_type);

}  // namespace loamwerk::ann
