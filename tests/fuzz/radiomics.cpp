// Radiomics on small arbitrary volumes: the bytes give the shape, spacing, mask, intensities and
// settings (resampling, interpolation, discretisation, re-segmentation, a filter); preparation,
// every feature family, voxel maps and the filters must end cleanly whatever they hold.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "fuzz.hpp"
#include "radiomics/extract.hpp"
#include "radiomics/filters.hpp"
#include "radiomics/prepare.hpp"

using namespace loamwerk::radiomics;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size <= 12) return 0;
    const Dims dims{std::size_t(data[0] % 6 + 1), std::size_t(data[1] % 7 + 1), std::size_t(data[2] % 7 + 1)};
    const std::uint8_t flags = data[3], more = data[4];
    const Spacing spacing{0.5 + data[5] % 8 * 0.5, 0.5 + data[6] % 4 * 0.25, 0.5 + data[6] / 64 * 0.5};
    const std::size_t n = voxel_count(dims);
    std::vector<double> image(n);
    std::vector<std::uint8_t> mask(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = data[12 + i % (size - 12)];
        mask[i] = (b ^ data[7]) & 1;
        // Intensities to prepare, or grey levels taken as they are.
        image[i] = (flags & 0x80) ? double(b >> 1) / 3.0 - (b & 0x40 ? 500 : 0) : double(b % 9 + 1);
        if (b == 0xFF && (flags & 0x40)) image[i] = NAN;
    }
    Settings s;
    if (flags & 1) s.resample = {double(data[8] % 4 + 1) * 0.5, 1, flags & 2 ? 0.0 : 1.5};
    s.image_interpolation = Interpolation(data[8] / 4 % 3);
    s.mask_interpolation = Interpolation(data[8] / 16 % 3);
    s.round_intensities = flags & 4;
    if (flags & 8) s.resegment_min = -10, s.resegment_max = 4;
    if (flags & 16) s.outlier_sigma = 1 + data[9] % 3;
    s.texture.kind = Binning(data[9] / 4 % 3);
    s.texture.width = 0.5 + data[10] % 8;
    s.texture.count = data[10] % 16 + 1;
    s.ivh.kind = Binning(data[9] / 16 % 3);
    s.distance = more % 2 + 1;
    s.ngldm_alpha = more / 2 % 2;
    s.peak_volume_mm3 = 10 + more;
    Families families;
    if (flags & 32) {
        FilterSpec f;
        static const char* kTypes[] = {"mean", "log", "laws", "gabor", "wavelet", "square", "squareroot", "logarithm",
                                       "exponential", "gradient", "lbp2d"};
        f.type = kTypes[data[11] % 11];
        f.in_plane = data[11] & 0x10;
        f.padding = Padding(data[11] / 32 % 4);
        f.size = 1 + 2 * (more % 3);
        f.sigma = 0.5 + more % 4;
        f.kernels = f.in_plane ? "L3E3" : "E5L5S5";
        f.response = f.in_plane ? "LH" : "HLH";
        f.level = 1 + more % 2;
        f.rotation_invariant = more & 0x20;
        f.energy_distance = more / 64;
        f.gamma = 1 + more % 3, f.wavelength = 2, f.theta_step = more & 0x40 ? M_PI / 2 : 0;
        s.filter = f;
    }
    fuzz::expect_clean([&] {
        const Prepared p = flags & 0x80 ? prepare(image.data(), mask.data(), dims, spacing, s)
                                        : prepare_levels(image.data(), mask.data(), dims, spacing, s);
        (void)compute_features(p, s, families);
        if (!(more & 0x80)) return;
        Extraction x;
        x.settings = s, x.voxel_based = true, x.convention = more & 0x10 ? Convention::kPyradiomics : Convention::kIbsi;
        if (x.convention == Convention::kPyradiomics) x.settings.pca_population = x.settings.pyradiomics_extras = true;
        (void)extract(p, x);
    });
    return 0;
}
