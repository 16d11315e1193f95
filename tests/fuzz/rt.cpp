// Structure sets, dose grids and the DVHs between them, ROI masks, plans, and Key Object Selection documents.
// Input: an RTSTRUCT, "\n--\n", an RTDOSE.
#include <utility>

#include "fuzz.hpp"
#include "rt/dvh.hpp"
#include "rt/mask.hpp"
#include "rt/plan.hpp"
#include "sr/ko.hpp"

using namespace loamwerk;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = fuzz::split(data, size, 2);
    fuzz::expect_clean([&] { sr::read_ko(parts[0]); });
    fuzz::expect_clean([&] { rt::read_plan(parts[0]); });
    const fuzz::ScratchFile structures(parts[0]), dose(parts.back());
    fuzz::expect_clean([&] {
        const auto rois = rt::read_rtstruct(structures.path());
        const rt::DoseGrid grid = rt::read_rtdose(dose.path());
        for (std::size_t i = 0; i < rois.size() && i < 4; ++i) rt::compute_dvh(rois[i], grid, 2, i % 2);
    });
    fuzz::expect_clean([&] {
        // Each ROI on a small grid of 1 mm voxels (2 mm slices) about the origin.
        const std::array<double, 16> affine{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 2, 0, -32, -32, -8, 1};
        const rt::Grid grid = rt::affine_grid(affine, 8, 64, 64);
        for (const rt::Roi& roi : rt::read_rtstruct(structures.path())) rt::roi_mask(roi, grid);
        // Only the first ROI, and of its contours only those near the grid (read no further otherwise).
        bool first = true;
        const auto near = rt::read_rtstruct(
            structures.path(), [&](const rt::Roi&) { return std::exchange(first, false); },
            [&](const std::array<double, 3>& p) { return rt::near_grid(grid, p); });
        for (const rt::Roi& roi : near) rt::roi_mask(roi, grid);
    });
    return 0;
}
