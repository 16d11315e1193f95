// Spatial registrations between frames of reference: rigid or affine matrices (Spatial
// Registration) and deformation grids between matrices (Deformable Spatial Registration).
//
// Directions, as the standard has them: a Spatial Registration item's matrices take points of
// its source frame into the registered frame (the object's own), applied first item first; a
// Deformable Spatial Registration item takes points of the registered frame into its source
// frame: the pre-matrix, then the grid's displacement, then the post-matrix.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/code.hpp"
#include "core/content.hpp"
#include "core/item_writer.hpp"  // InstanceReference

namespace loamwerk::reg {

using Matrix = std::array<double, 16>;  // row-major, as the standard lists it

inline constexpr Matrix kIdentity{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

struct Step {
    Matrix matrix = kIdentity;
    std::string type = "RIGID";  // "RIGID", "RIGID_SCALE" or "AFFINE"
};

struct Grid {
    std::array<double, 6> orientation{1, 0, 0, 0, 1, 0};
    std::array<double, 3> position{0, 0, 0};  // the first grid point, in the registered frame
    std::array<std::uint32_t, 3> dimensions{0, 0, 0};  // x (columns), y (rows), z (planes)
    std::array<double, 3> resolution{1, 1, 1};  // mm between grid points along x, y, z
    std::vector<float> vectors;  // (dx, dy, dz) mm a point, x fastest
};

struct Item {
    std::string source_frame;  // the frame the item registers
    std::vector<InstanceReference> images;  // the source images, when named
    std::string comment;
    Code type;  // Registration Type Code, when given
    std::vector<Step> matrices;  // rigid: applied first to last
    std::optional<Step> pre, post;  // deformable
    std::optional<Grid> grid;  // deformable
};

struct Registration : ContentHeader {
    Registration() { content_label = "REGISTRATION"; }
    bool deformable = false;
    std::vector<Item> items;  // frame_of_reference_uid (ContentHeader) is the registered frame
};

// a · b
Matrix multiply(const Matrix& a, const Matrix& b);
// The inverse of an affine matrix (last row 0, 0, 0, 1); std::invalid_argument when singular.
Matrix invert(const Matrix& m);
// "RIGID" for a rotation and translation, "RIGID_SCALE" when the axes are also scaled (still
// orthogonal), else "AFFINE" (tolerance 1e-4).
std::string matrix_type(const Matrix& m);
// The item's matrices as one: M_n ··· M_2 · M_1.
Matrix composite(const Item& item);

// What takes points of frame `from` into frame `to`: a matrix, or (deformable) the item that
// does it. std::invalid_argument "...": no item relates them, or the direction asked for is
// the inverse of a deformation.
struct Transform {
    std::optional<Matrix> matrix;
    const Item* deformable = nullptr;
};
Transform transform_between(const Registration& r, const std::string& from, const std::string& to);

}  // namespace loamwerk::reg
