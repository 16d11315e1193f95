// Structure sets, dose grids and the DVHs between them, and Key Object Selection documents.
// Input: an RTSTRUCT, "\n--\n", an RTDOSE.
#include "fuzz.hpp"
#include "rt/dvh.hpp"
#include "sr/ko.hpp"

using namespace loamwerk;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = fuzz::split(data, size, 2);
    fuzz::expect_clean([&] { sr::read_ko(parts[0]); });
    const fuzz::ScratchFile structures(parts[0]), dose(parts.back());
    fuzz::expect_clean([&] {
        const auto rois = rt::read_rtstruct(structures.path());
        const rt::DoseGrid grid = rt::read_rtdose(dose.path());
        for (std::size_t i = 0; i < rois.size() && i < 4; ++i) rt::compute_dvh(rois[i], grid, 2, i % 2);
    });
    return 0;
}
