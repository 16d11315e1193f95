// One extraction as a caller asks for it: image types (the original and filtered versions of
// it), their features or voxel-wise maps, named in IBSI's or pyradiomics' convention.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "radiomics/conventions.hpp"
#include "radiomics/features.hpp"
#include "radiomics/radiomics.hpp"
#include "radiomics/voxel_maps.hpp"

namespace loamwerk::radiomics {

struct ImageType {
    std::string name;  // "original", "log-sigma-2-0-mm-3D", "wavelet-LLH", "square", ...
    std::optional<FilterSpec> filter;
};

// pyradiomics' image types: LoG of one sigma (mm), the eight wavelet responses of a level,
// and the intensity transforms ("square", "squareroot", "logarithm", "exponential", "gradient").
ImageType log_image_type(double sigma);
std::vector<ImageType> wavelet_image_types(const std::string& wavelet, int level);
ImageType transform_image_type(const std::string& name);
// scikit-image's uniform local binary patterns of each slice (radius in voxels).
ImageType lbp2d_image_type(double radius, int samples);

struct Extraction {
    Settings settings;
    Families families;
    Convention convention = Convention::kIbsi;
    double voxel_shift = 0;
    std::vector<std::string> classes;  // pyradiomics classes asked for; empty: all
    std::vector<ImageType> image_types = {{"original", std::nullopt}};
    bool voxel_based = false;
    int kernel_radius = 1;
};

struct Extracted {
    Features values;              // diagnostics first, then each image type's features
    std::vector<FeatureMap> maps;  // with voxel_based: one map a feature, on grid
    Dims grid{};
};

// The settings to prepare with: context kept about the ROI for every image type's filter.
Settings preparation_settings(const Extraction& x, const Spacing& input_spacing);

// base: prepared without a filter. Shape features come from the original image type only.
Extracted extract(const Prepared& base, const Extraction& x);

}  // namespace loamwerk::radiomics
