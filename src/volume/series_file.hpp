// One series assembled and written to a volume file in one call, the arrays never leaving the
// engine: stored integers with their scaling where the files allow it, as dcm2niix writes them.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "volume/sidecar.hpp"

namespace loamwerk::volume {

enum class SeriesKind { kVolumes, kDiffusion, kColour };

struct SeriesFile {
    std::size_t volumes = 0, columns = 0, rows = 0, depth = 0;
    int dtype = 3;  // as written: 0 uint8, 1 uint16, 2 int16, 3 float32, 4 RGB24
    double scl_slope = 1, scl_inter = 0;
    bool philips_float = false;  // Philips' floating-point scaling applied
    double affine[16] = {};
    std::string grouping;
    std::vector<std::string> axes;  // the non-spatial axes the volumes enumerate ("temporal", ...)
    std::size_t duplicates = 0, missing_slices = 0, derived_excluded = 0;
    std::vector<std::string> undecoded;           // "path: why" of files left out, no frame decoded
    std::vector<double> bvals;                    // diffusion series
    std::vector<std::array<double, 3>> bvecs;     // unit vectors on the voxel axes
    Sidecar sidecar;                              // the series' BIDS sidecar
};

// Assembles the series in `paths` (diffusion: in acquisition order) and writes it to `path`
// (.nii, .nii.gz, .nrrd or .mha), with the repetition time of its sidecar (NIfTI). Philips images
// get Philips' floating-point scaling. Nothing is written, and nothing returned, when the series
// has fewer than `min_volumes` volumes. Throws std::runtime_error.
std::optional<SeriesFile> write_series_file(const std::vector<std::string>& paths, const std::string& path,
                                            SeriesKind kind, std::size_t min_volumes);

}  // namespace loamwerk::volume
