// Morphological features: the ROI's surface as a marching-cubes mesh through the midpoints
// between voxel centres, its convex hull, principal axes and enclosing ellipsoid, and the
// spatial autocorrelation of intensities.
#pragma once

#include <array>
#include <vector>

#include "radiomics/radiomics.hpp"

namespace loamwerk::radiomics {

struct Mesh {
    std::vector<std::array<double, 3>> vertices;  // mm, (x, y, z)
    double volume = 0, area = 0;
};

// The closed surface of mask (dims voxels of spacing); faces sharing a voxel corner stay apart.
Mesh mask_mesh(const std::vector<std::uint8_t>& mask, const Dims& dims, const Spacing& spacing);

struct Hull {
    double volume = 0, area = 0, diameter = 0;
};
Hull convex_hull(const std::vector<std::array<double, 3>>& points);

void morphology_features(const Prepared& p, const Settings& s, Features& out);

}  // namespace loamwerk::radiomics
