// Images and regions of interest from files, on one grid: a NIfTI volume or a folder of one DICOM
// series, and a NIfTI mask, a DICOM Segmentation or an RT Structure Set rasterised on the
// image's slices.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "radiomics/radiomics.hpp"

namespace loamwerk::radiomics {

struct ImageVolume {
    std::vector<double> voxels;  // (z, y, x), rescaled
    Dims dims{};
    Spacing spacing{};
    std::array<double, 16> affine{};  // voxel to patient LPS, column-major
    std::vector<std::string> files;   // a DICOM series' files
};

// Throws std::invalid_argument for a path that is neither, std::runtime_error for a file that
// cannot be read.
ImageVolume load_image(const std::string& path);

// A mask value (NIfTI), a segment number or label (Segmentation), an ROI number or name (RT
// Structure Set).
using RegionLabel = std::variant<long, std::string>;

// 0/1 on the image's grid; std::invalid_argument when the region is absent or lies off the grid.
std::vector<std::uint8_t> load_mask(const std::string& path, const ImageVolume& image, const RegionLabel& label);

}  // namespace loamwerk::radiomics
