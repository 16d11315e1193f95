// Radiomics: image features of a region of interest as the Image Biomarker Standardisation
// Initiative defines them. A volume is (z, y, x) in C order with its spacing in mm; texture
// works on grey levels 1..Ng, 0 marking voxels outside the intensity mask.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace loamwerk::radiomics {

using Dims = std::array<std::size_t, 3>;     // z, y, x
using Spacing = std::array<double, 3>;       // z, y, x in mm
using Features = std::vector<std::pair<std::string, double>>;

inline std::size_t voxel_count(const Dims& d) { return d[0] * d[1] * d[2]; }

// The bounding box of a mask's nonzero voxels: lo, hi (inclusive) and count; count 0 when empty.
struct MaskBox {
    std::array<std::size_t, 3> lo{}, hi{};
    std::size_t count = 0;
};
inline MaskBox mask_box(const std::uint8_t* mask, const Dims& dims) {
    MaskBox b;
    b.lo = {SIZE_MAX, SIZE_MAX, SIZE_MAX};
    for (std::size_t z = 0, i = 0; z < dims[0]; ++z)
        for (std::size_t y = 0; y < dims[1]; ++y)
            for (std::size_t x = 0; x < dims[2]; ++x, ++i)
                if (mask[i]) {
                    const std::size_t c[3] = {z, y, x};
                    for (int a = 0; a < 3; ++a) b.lo[a] = std::min(b.lo[a], c[a]), b.hi[a] = std::max(b.hi[a], c[a]);
                    ++b.count;
                }
    return b;
}

enum class Interpolation { kNearest, kLinear, kCubic };
enum class Binning { kNone, kWidth, kCount };

struct Discretisation {
    Binning kind = Binning::kWidth;
    double width = 25;
    int count = 32;
    // Fixed bin width: bins start at this value when finite, else at the ROI's minimum; with
    // edges_at_zero the edges fall on multiples of the width instead (pyradiomics' binning).
    double lower = -std::numeric_limits<double>::infinity();
    bool edges_at_zero = false;
};

enum class Padding { kConstant, kNearest, kPeriodic, kMirror };
enum class Pooling { kAverage, kMax };

struct FilterSpec {
    // "mean", "log", "laws", "gabor", "wavelet"; pyradiomics' "square", "squareroot",
    // "logarithm", "exponential", "gradient"
    std::string type;
    bool in_plane = false;             // 2D: each slice apart
    Padding padding = Padding::kMirror;
    int size = 3;                      // mean: the cube's (square's) side, odd
    double sigma = 1;                  // LoG, Gabor: mm
    double truncate = 4;               // LoG: the kernel's radius in sigmas
    bool scale_normalised = false;     // LoG: sigma^2 times the Laplacian in mm (pyradiomics)
    std::string kernels;               // Laws: "E5L5S5", along x, y and z
    std::string response;              // wavelet: "LHL", along x, y and z
    std::string wavelet = "haar";      // haar, db1..db4, coif1, sym2..sym4
    int level = 1;                     // wavelet decomposition level
    bool rotation_invariant = false;   // pool over the 24 right-angle rotations (4 in-plane)
    Pooling pooling = Pooling::kMax;
    int energy_distance = 0;           // Laws: the energy map's Chebyshev distance; 0 for none
    double wavelength = 4, gamma = 1, theta = 0;  // Gabor: mm, aspect, radians
    double theta_step = 0;             // Gabor: orientations theta + k step, pooled; 0 for one
    bool orthogonal_planes = false;    // Gabor: average over the three orthogonal planes
    double abs_max = std::numeric_limits<double>::quiet_NaN();  // transforms: the whole image's, when cropped
};

struct Settings {
    // Target spacing per axis (z, y, x); 0 leaves the axis as it is.
    Spacing resample{0, 0, 0};
    Interpolation image_interpolation = Interpolation::kLinear;
    Interpolation mask_interpolation = Interpolation::kLinear;
    double mask_threshold = 0.5;
    bool round_intensities = false;  // round interpolated intensities to integers (CT)
    double resegment_min = -std::numeric_limits<double>::infinity();
    double resegment_max = std::numeric_limits<double>::infinity();
    double outlier_sigma = 0;  // 0: no outlier filtering
    Discretisation texture;           // discretisation for texture and the intensity histogram
    Discretisation ivh{Binning::kNone, 1, 1000, -std::numeric_limits<double>::infinity(), false};
    bool texture_2d = true, texture_3d = true;  // 2D and 2.5D aggregations; 3D aggregations
    int distance = 1;          // GLCM, NGTDM and NGLDM neighbourhood (Chebyshev)
    int ngldm_alpha = 0;       // NGLDM coarseness
    bool geospatial = true;    // Moran's I and Geary's C (quadratic in the ROI's size)
    double peak_volume_mm3 = 1000;
    bool pca_population = false;     // principal axes from the population covariance (pyradiomics), not the sample's
    bool pyradiomics_extras = false; // pyradiomics' features IBSI lacks: 2D diameters, the GLCM's MCC
    bool parallel = true;            // false inside work that is already spread over threads
    std::optional<FilterSpec> filter;  // features of its response map, within the ROI the intensities gave
    double context_mm = 0;             // image kept about the ROI beyond what filter and peaks need (later filters)
};

// The image, masks and grey levels features are computed from.
struct Prepared {
    Dims dims{};
    Spacing spacing{};
    std::vector<double> image;          // intensities on the (resampled) grid
    std::vector<std::uint8_t> morph;    // morphological mask
    std::vector<std::uint8_t> roi;      // intensity mask: morph after re-segmentation
    std::vector<std::int32_t> levels;   // discretised grey levels, 0 outside roi
    int grey_levels = 0;                // Ng
    std::vector<double> ivh_values;     // the IVH's intensities, one per roi voxel
    double ivh_min = 0, ivh_max = 0;    // the range its intensity fractions span
    double ivh_step = 0;                // between its intensities; 0: continuous
    std::size_t nonfinite_replaced = 0;  // NaN or infinite voxels outside the mask
    // The grid is cut to the ROI and the context features need; the whole grid's size, and the
    // input image's range and mean.
    Dims full_dims{};
    double input_min = 0, input_max = 0, input_mean = 0;
    Features diagnostics;
};

}  // namespace loamwerk::radiomics
