// Structure-set ROIs as voxel masks on an image grid: each contour on the slice whose plane it
// lies in, pixel centres inside it set, several contours of one slice combined even-odd so that
// holes stay holes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/image_header.hpp"
#include "rt/dvh.hpp"

namespace loamwerk::rt {

using Vec3 = std::array<double, 3>;

// The unit row and column directions of Image Orientation (Patient) and their normal (row ×
// column). Throws std::invalid_argument for a degenerate or non-perpendicular orientation.
struct PlaneBasis {
    Vec3 row, column, normal;
};
PlaneBasis plane_basis(const std::array<double, 6>& orientation);

// An image grid: slices along the normal, each with its own origin (the top left pixel's centre).
struct Grid {
    std::size_t slices = 0, rows = 0, columns = 0;
    PlaneBasis basis{};
    double row_spacing = 1, column_spacing = 1;  // between rows, between columns
    std::vector<Vec3> origins;
    std::vector<double> positions;  // each origin's projection on the normal
    double thickness = 0;           // for a grid of one slice: how far a contour may lie from it
};

// The grid of an image series, slices in ascending order along their normal (assemble_volume's).
Grid series_grid(const std::vector<ImageHeader>& images);
// The grid of a volume's voxel-to-patient affine (column-major) and shape.
Grid affine_grid(const std::array<double, 16>& affine, std::size_t slices, std::size_t rows, std::size_t columns);

struct Mask {
    std::vector<std::uint8_t> voxels;  // slices × rows × columns, 1 inside
    std::vector<std::string> notes;    // contours left out, and why
};
Mask roi_mask(const Roi& roi, const Grid& grid);

// False for a point of a plane that lies well beyond the grid's first or last slice: a contour
// through it can be left unread past that point.
bool near_grid(const Grid& grid, const Vec3& point);

}  // namespace loamwerk::rt
