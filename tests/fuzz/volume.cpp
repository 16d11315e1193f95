// Series assembly from up to four files: 3-D, 4-D, diffusion, sidecars and the one-call writer.
#include "fuzz.hpp"
#include "volume/series_file.hpp"
#include "volume/sidecar.hpp"
#include "volume/grid.hpp"

using namespace loamwerk::volume;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<fuzz::ScratchFile> files;
    std::vector<std::string> paths;
    for (const auto part : fuzz::split(data, size, 4)) {
        files.emplace_back(part);
        paths.push_back(files.back().path());
    }
    fuzz::expect_clean([&] { assemble(paths, false); });
    fuzz::expect_clean([&] { assemble_4d(paths, false, Samples::kStored); });
    fuzz::expect_clean([&] {
        const DecodedSeries decoded = decode_frames(paths, true, true);
        assemble_dwi(decoded, paths, true);
        bids_sidecar(decoded);
    });
    fuzz::expect_clean([&] { read_series_key(paths[0]); });
    fuzz::expect_clean([&] {
        const fuzz::ScratchFile out({}, ".nii");
        write_series_file(paths, out.path(), SeriesKind::kVolumes, 1);
    });
    return 0;
}
