#include "radiomics/voxel_maps.hpp"

#include <cmath>
#include <stdexcept>

#include "core/limits.hpp"
#include "core/parallel.hpp"

namespace loamwerk::radiomics {

std::vector<FeatureMap> voxel_maps(const Prepared& p, const Settings& settings, const Families& families, int radius,
                                   const std::function<Features(const Prepared&, Features&&)>& rename) {
    if (radius < 1 || radius > 16) throw std::invalid_argument("the kernel radius must be 1 to 16 voxels");
    Settings s = settings;
    s.parallel = false;
    Families f = families;
    f.morphology = f.local_intensity = f.volume_histogram = false;
    std::vector<std::size_t> roi;
    for (std::size_t i = 0; i < p.roi.size(); ++i)
        if (p.roi[i]) roi.push_back(i);
    const long side = 2 * radius + 1;
    const long H = long(p.dims[1]), W = long(p.dims[2]), D = long(p.dims[0]);
    // The features of the kernel about voxel i.
    const auto kernel_features = [&](std::size_t i) {
        Prepared k;
        k.dims = {std::size_t(side), std::size_t(side), std::size_t(side)};
        k.spacing = p.spacing;
        k.grey_levels = p.grey_levels;
        const std::size_t n = voxel_count(k.dims);
        k.image.assign(n, 0.0), k.morph.assign(n, 0), k.levels.assign(n, 0);
        const long z0 = long(i) / (H * W) - radius, y0 = long(i) / W % H - radius, x0 = long(i) % W - radius;
        for (long z = 0, j = 0; z < side; ++z)
            for (long y = 0; y < side; ++y)
                for (long x = 0; x < side; ++x, ++j) {
                    const long zz = z0 + z, yy = y0 + y, xx = x0 + x;
                    if (zz < 0 || zz >= D || yy < 0 || yy >= H || xx < 0 || xx >= W) continue;
                    const std::size_t at = std::size_t((zz * H + yy) * W + xx);
                    if (!p.roi[at]) continue;
                    k.image[std::size_t(j)] = p.image[at], k.morph[std::size_t(j)] = 1, k.levels[std::size_t(j)] = p.levels[at];
                }
        k.roi = k.morph;
        return rename(k, compute_features(k, s, f));
    };
    std::vector<FeatureMap> maps;
    if (roi.empty()) return maps;
    const Features first = kernel_features(roi[0]);
    const long double bytes = (long double)(first.size()) * p.roi.size() * sizeof(float);
    if (const std::string refusal = limits::output_refusal(bytes, p.roi.size() * 9); !refusal.empty())
        throw std::invalid_argument("the feature maps: " + refusal);
    for (const auto& [name, value] : first) maps.push_back({name, std::vector<float>(p.roi.size(), NAN)});
    for (std::size_t m = 0; m < first.size(); ++m) maps[m].values[roi[0]] = float(first[m].second);
    const std::size_t chunk = 64;
    parallel_for((roi.size() + chunk - 2) / chunk, [&](std::size_t c) {
        for (std::size_t k = 1 + c * chunk; k < std::min(roi.size(), 1 + (c + 1) * chunk); ++k) {
            const Features values = kernel_features(roi[k]);
            for (std::size_t m = 0; m < values.size(); ++m) maps[m].values[roi[k]] = float(values[m].second);
        }
    });
    return maps;
}

}  // namespace loamwerk::radiomics
