#include "perfusion/dce.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace loamwerk::perfusion {

namespace {
double model_value(int model, double t) {
    switch (model) {
    case 1:
        return 2.6837935227005474 * std::exp(-(t - 0.11) * (t - 0.11) / 0.00605) +
               1.3857995003418189 * std::exp(-(t - 0.28) * (t - 0.28) / 0.01805) + (t > 0 ? 5.0 * std::exp(-0.05 * t) : 0);
    case 2: return 3.99 * std::exp(-0.144 * t) + 4.78 * std::exp(-0.0111 * t);
    case 3: return 0.1 * (3.99 * std::exp(-0.144 * t) + 4.78 * std::exp(-0.0111 * t));
    case 4:
        if (t <= 0) return 0;
        return 4 * (t / 0.15) * (t / 0.15) * std::exp(-(t - 0.15) / 0.15) + 0.5 * std::exp(-0.1 * t);
    default:
        return 5.732580903104068 * std::exp(-(t - 0.17046) * (t - 0.17046) / 0.00633938) +
               0.9973557010035817 * std::exp(-(t - 0.365) * (t - 0.365) / 0.034848) +
               1.05 * std::exp(-0.1685 * t) / (1 + std::exp(-38.078 * (t - 0.483)));
    }
}
}  // namespace

int population_model(std::string_view name) {
    if (name == "georgiou") return 1;
    if (name == "fritz_hansen" || name == "fritz-hansen") return 2;
    if (name == "weinmann") return 3;
    if (name == "mcgrath") return 4;
    return 0;
}

std::vector<double> population_aif(int model, const double* times, std::size_t n, double hct) {
    const double scale = hct > 0 && hct < 1 ? 1 / (1 - hct) : 1;
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = std::max(model_value(model, times[i]), 0.0) * scale;
    return out;
}

int spgr_to_conc(const double* s, std::size_t n, long b, double t10, double tr, double fa_deg, double r1,
                 std::vector<double>& out) {
    if (!s || n == 0 || b < 1 || std::size_t(b) > n) return 1;
    if (!(t10 > 0) || !(tr > 0) || !(r1 > 0)) return 2;
    double s0 = 0;
    for (long i = 0; i < b; ++i) s0 += s[i];
    s0 /= double(b);
    if (!(s0 > 0)) return 3;
    const double cos_a = std::cos(fa_deg * std::numbers::pi / 180);
    const double e10 = std::exp(-tr / t10);
    const double k = (1 - e10) / (1 - cos_a * e10);
    out.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double q = (s[i] / s0) * k;
        double e1 = std::fabs(1 - cos_a * q) < 1e-12 ? e10 : (1 - q) / (1 - cos_a * q);
        e1 = std::clamp(e1, 1e-10, 0.9999999999);
        const double rate = -std::log(e1) / tr;
        out[i] = (rate - 1 / t10) / r1;
    }
    return 0;
}

VfaMaps t1_map_vfa(const float* volumes, std::size_t frames, std::size_t voxels, const double* fa_deg, double tr_s,
                   const std::uint8_t* mask) {
    VfaMaps m;
    m.t1.assign(voxels, 0.f), m.m0.assign(voxels, 0.f), m.fitted.assign(voxels, 0);
    std::vector<double> sin_a(frames), cos_a(frames);
    for (std::size_t f = 0; f < frames; ++f) {
        sin_a[f] = std::sin(fa_deg[f] * std::numbers::pi / 180);
        cos_a[f] = std::cos(fa_deg[f] * std::numbers::pi / 180);
    }
    for (std::size_t v = 0; v < voxels; ++v) {
        if (mask && !mask[v]) continue;
        double sx = 0, sy = 0, sxy = 0, sxx = 0;
        std::size_t count = 0;
        for (std::size_t f = 0; f < frames; ++f) {
            if (!(sin_a[f] > 0)) continue;
            const double s = volumes[f * voxels + v];
            const double x = s * cos_a[f] / sin_a[f], y = s / sin_a[f];
            sx += x, sy += y, sxy += x * y, sxx += x * x;
            ++count;
        }
        if (count < 2) continue;
        const double mcount = double(count);
        const double den = mcount * sxx - sx * sx;
        if (std::fabs(den) < 1e-30) continue;
        const double e1 = (mcount * sxy - sx * sy) / den;
        if (!(e1 > 0 && e1 < 1)) continue;
        m.t1[v] = float(-tr_s / std::log(e1));
        m.m0[v] = float((sy - e1 * sx) / mcount / (1 - e1));
        m.fitted[v] = 1;
    }
    return m;
}

}  // namespace loamwerk::perfusion
