// The BIDS sidecar of a converted series: acquisition parameters under the key names and in
// the units dcm2niix writes (seconds, degrees), slice timing in the volume's slice order, and
// the phase-encoding direction on the volume's voxel axes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace loamwerk::volume {

using SidecarValue = std::variant<std::string, double, std::int64_t, bool, std::vector<double>,
                                  std::vector<std::string>>;
using Sidecar = std::vector<std::pair<std::string, SidecarValue>>;

// The sidecar of the series in `paths` (the first series when they hold several), for the volume
// that assemble_4d / assemble_dwi make of them: voxel axes i (columns), j (rows), k (slices in
// ascending position along the slice normal). Identifying values (names, IDs, dates) are left out.
// Throws std::runtime_error when no file holds an image.
Sidecar bids_sidecar(const std::vector<std::string>& paths);
// The same from files already decoded (lazily) by decode_frames.
struct DecodedSeries;
Sidecar bids_sidecar(const DecodedSeries& decoded);

}  // namespace loamwerk::volume
