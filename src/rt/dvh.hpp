// Radiotherapy: structure sets, dose grids, and dose-volume histograms computed from them.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace loamwerk::rt {

struct Contour {
    std::vector<std::array<double, 3>> points;  // patient mm, closed planar
    bool first_point_only = false;  // read no further: its plane lies outside the range asked for
};

struct Roi {
    int number = 0;
    std::string name;
    std::vector<Contour> contours;
    std::size_t short_contours = 0;  // closed planar contours of fewer than three points, left out
};

// The ROIs of an RT Structure Set with their closed planar contours; throws std::runtime_error.
// With `wanted`, only the ROIs it accepts get their contours (the others' are not parsed); with
// `near`, a contour whose first point it refuses keeps only that point (first_point_only).
std::vector<Roi> read_rtstruct(const std::string& path, const std::function<bool(const Roi&)>& wanted = {},
                               const std::function<bool(const std::array<double, 3>&)>& near = {});

struct DoseGrid {
    std::size_t nx = 0, ny = 0, nz = 0;
    std::vector<float> gy;  // z, y, x
    double origin[3] = {0, 0, 0};
    double row[3] = {1, 0, 0}, col[3] = {0, 1, 0}, normal[3] = {0, 0, 1};
    double spacing[2] = {1, 1};  // between rows, between columns
    std::vector<double> offsets;  // Grid Frame Offset Vector along the normal, mm
    std::string units;
};

// The dose grid in Gy (Dose Grid Scaling applied); throws std::runtime_error.
DoseGrid read_rtdose(const std::string& path);
// Trilinear dose at a patient point, NaN outside the grid.
double dose_at(const DoseGrid& grid, const std::array<double, 3>& point);

// Dose d Gy binned to 1 cGy: round(100 d) when within min(|c| 2^-22, 0.25) of it, else floor.
long dose_bin(double gy);

struct DVHCurve {
    std::vector<double> counts, cumulative;
    double volume_cm3 = 0, total_volume_cm3 = 0, covered_volume_cm3 = 0, uncovered_volume_cm3 = 0;
    double min_gy = 0, max_gy = 0, mean_gy = 0;
    std::string roi_name, notes;

    double volume_at_dose(double gy) const;
    double dose_at_volume_cm3(double volume) const;
    double dose_at_volume_fraction(double fraction) const;
    // A constraint read by name ("D95", "V20Gy", "Dmax", ...); throws std::runtime_error.
    double statistic(std::string_view name, double rx_dose_gy) const;
};

// Rasterises the ROI on the dose grid's in-plane lattice, each pixel sampled samples_per_axis
// times per axis (even-odd rule per contour plane, plane thickness from the contour spacing).
DVHCurve compute_dvh(const Roi& roi, const DoseGrid& dose, int samples_per_axis, bool full_volume);

}  // namespace loamwerk::rt
