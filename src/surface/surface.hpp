// Surface Segmentation: segments described by triangle meshes in patient coordinates (LPS, mm).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/content.hpp"
#include "seg/author.hpp"  // Code

namespace loamwerk::surface {

using seg::Code;

struct Mesh {
    std::vector<float> points;  // x, y, z of each point
    std::vector<float> normals;  // empty, or one x, y, z a point
    std::vector<std::uint32_t> triangles;  // three 0-based point indices each
    std::optional<std::array<std::uint8_t, 3>> rgb;
    float opacity = 1.0f;
    std::string presentation = "SURFACE";  // "SURFACE", "WIREFRAME" or "POINTS"
    std::string finite_volume, manifold;  // "YES", "NO", "UNKNOWN"; empty: found from the triangles
    std::string comments;
    Code algorithm_family{"123109", "DCM", "Manual Processing"};  // how the surface was made
    std::string algorithm_name = "loam", algorithm_version = "1";
};

struct Segment {
    std::string label, description;
    Code category{"85756007", "SCT", "Tissue"}, type{"85756007", "SCT", "Tissue"}, anatomic;
    std::string algorithm_type = "MANUAL", algorithm_name;  // the segment's: "MANUAL", "SEMIAUTOMATIC", "AUTOMATIC"
    std::vector<Mesh> surfaces;
};

// The content header's UIDs and patient are what a read finds; a write takes its label,
// description and creator.
struct SurfaceSegmentation : ContentHeader {
    SurfaceSegmentation() { content_label = "SURFACES"; }
    std::vector<Segment> segments;
};

// "YES" when every edge of the triangles is shared by exactly two of them (a closed surface), and
// the manifold flag: "YES" when no edge is shared by more than two and no triangle is degenerate.
struct Topology {
    std::string finite_volume, manifold;
};
Topology topology(const std::vector<std::uint32_t>& triangles);

}  // namespace loamwerk::surface
