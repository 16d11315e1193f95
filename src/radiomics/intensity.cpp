#include "radiomics/intensity.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/parallel.hpp"

namespace loamwerk::radiomics {
namespace {

std::vector<double> roi_values(const Prepared& p) {
    std::vector<double> v;
    for (std::size_t i = 0; i < p.image.size(); ++i)
        if (p.roi[i]) v.push_back(p.image[i]);
    return v;
}

// The features the statistics and the intensity histogram share, with prefix "stat_" or "ih_".
// The intensity histogram also gives its mode, after the maximum.
void distribution(std::vector<double> v, const std::string& prefix, const double* mode, Features& out) {
    std::sort(v.begin(), v.end());
    const double n = double(v.size());
    double mean = 0;
    for (double x : v) mean += x;
    mean /= n;
    double m2 = 0, m3 = 0, m4 = 0, mad = 0, energy = 0;
    for (double x : v) {
        const double d = x - mean;
        m2 += d * d, m3 += d * d * d, m4 += d * d * d * d, mad += std::abs(d), energy += x * x;
    }
    m2 /= n, m3 /= n, m4 /= n, mad /= n;
    const double median = quantile(v, 0.5), p10 = quantile(v, 0.1), p90 = quantile(v, 0.9);
    const double p25 = quantile(v, 0.25), p75 = quantile(v, 0.75);
    // Robust mean absolute deviation: over the values between the 10th and 90th percentiles.
    double rsum = 0, rn = 0;
    for (double x : v)
        if (x >= p10 && x <= p90) rsum += x, ++rn;
    const double rmean = rsum / rn;
    double rmad = 0, medad = 0;
    for (double x : v) {
        if (x >= p10 && x <= p90) rmad += std::abs(x - rmean);
        medad += std::abs(x - median);
    }
    const auto put = [&](const char* name, double value) { out.emplace_back(prefix + name, value); };
    put("mean", mean);
    put("var", m2);
    put("skew", m2 > 0 ? m3 / std::pow(m2, 1.5) : 0.0);
    put("kurt", m2 > 0 ? m4 / (m2 * m2) - 3 : 0.0);
    put("median", median);
    put("min", v.front());
    put("p10", p10);
    put("p90", p90);
    put("max", v.back());
    if (mode) put("mode", *mode);
    put("iqr", p75 - p25);
    put("range", v.back() - v.front());
    put("mad", mad);
    put("rmad", rmad / rn);
    put("medad", medad / n);
    put("cov", std::sqrt(m2) / mean);
    put("qcod", (p75 - p25) / (p75 + p25));
    if (prefix == "stat_") {
        put("energy", energy);
        put("rms", std::sqrt(energy / n));
    }
}

}  // namespace

double quantile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) return NAN;
    const double pos = q * double(sorted.size() - 1);
    const std::size_t i = std::size_t(std::floor(pos));
    const double f = pos - double(i);
    return i + 1 < sorted.size() ? sorted[i] + f * (sorted[i + 1] - sorted[i]) : sorted[i];
}

void local_intensity_features(const Prepared& p, const Settings& s, Features& out) {
    // The mean intensity of a sphere of peak_volume_mm3 about each voxel centre, over all image
    // voxels whose centres lie in it.
    const double r = std::cbrt(3 * s.peak_volume_mm3 / (4 * M_PI));
    // Offsets past the image's extent never reach a voxel.
    const auto reach = [&](int a) { return long(std::min(r / p.spacing[a], double(p.dims[a]))); };
    const long rz = reach(0), ry = reach(1), rx = reach(2);
    std::size_t inside = 0;
    for (std::uint8_t m : p.roi) inside += m;
    if ((long double)(2 * rz + 1) * (2 * ry + 1) * (2 * rx + 1) * inside > 4e10L)
        throw std::invalid_argument("the local intensity sphere holds too many voxels of this spacing; lower peakVolume "
                                    "or leave out local_intensity");
    struct Offset {
        long dz, dy, dx;
    };
    std::vector<Offset> ball;
    for (long z = -rz; z <= rz; ++z)
        for (long y = -ry; y <= ry; ++y)
            for (long x = -rx; x <= rx; ++x) {
                const double d2 = std::pow(z * p.spacing[0], 2) + std::pow(y * p.spacing[1], 2) + std::pow(x * p.spacing[2], 2);
                if (d2 <= r * r * (1 + 1e-12)) ball.push_back({z, y, x});
            }
    const long D = long(p.dims[0]), H = long(p.dims[1]), W = long(p.dims[2]);
    const auto peak = [&](std::size_t i) {
        const long z = long(i) / (H * W), y = long(i) / W % H, x = long(i) % W;
        double sum = 0;
        long k = 0;
        for (const Offset& o : ball) {
            const long zz = z + o.dz, yy = y + o.dy, xx = x + o.dx;
            if (zz < 0 || zz >= D || yy < 0 || yy >= H || xx < 0 || xx >= W) continue;
            sum += p.image[std::size_t((zz * H + yy) * W + xx)], ++k;
        }
        return sum / double(k);
    };
    std::vector<std::size_t> roi;
    double top = -INFINITY;
    for (std::size_t i = 0; i < p.image.size(); ++i)
        if (p.roi[i]) roi.push_back(i), top = std::max(top, p.image[i]);
    std::vector<double> peaks(roi.size());
    const std::size_t chunk = 4096;
    parallel_for((roi.size() + chunk - 1) / chunk, [&](std::size_t c) {
        for (std::size_t k = c * chunk; k < std::min(roi.size(), (c + 1) * chunk); ++k) peaks[k] = peak(roi[k]);
    });
    double local = -INFINITY, global = -INFINITY;
    for (std::size_t k = 0; k < roi.size(); ++k) {
        global = std::max(global, peaks[k]);
        if (p.image[roi[k]] == top) local = std::max(local, peaks[k]);
    }
    out.emplace_back("loc_peak_loc", local);
    out.emplace_back("loc_peak_glob", global);
}

void statistics_features(const Prepared& p, Features& out) { distribution(roi_values(p), "stat_", nullptr, out); }

void histogram_features(const Prepared& p, Features& out) {
    std::vector<double> v;
    for (std::int32_t l : p.levels)
        if (l) v.push_back(l);
    const int ng = p.grey_levels;
    std::vector<double> h(std::size_t(ng) + 1, 0.0);
    for (double l : v) h[std::size_t(l)] += 1;
    const double n = double(v.size());
    int mode = 1;
    double entropy = 0, uniformity = 0;
    for (int i = 1; i <= ng; ++i) {
        if (h[i] > h[mode]) mode = i;
        const double q = h[i] / n;
        if (q > 0) entropy -= q * std::log2(q), uniformity += q * q;
    }
    const double mode_value = mode;
    distribution(std::move(v), "ih_", &mode_value, out);
    out.emplace_back("ih_entropy", entropy);
    out.emplace_back("ih_uniformity", uniformity);
    // The histogram's gradient: central differences, one-sided at the first and last level.
    double gmax = -INFINITY, gmin = INFINITY;
    int imax = 1, imin = 1;
    for (int i = 1; i <= ng; ++i) {
        const double g = ng == 1 ? 0.0 : i == 1 ? h[2] - h[1] : i == ng ? h[ng] - h[ng - 1] : (h[i + 1] - h[i - 1]) / 2;
        if (g > gmax) gmax = g, imax = i;
        if (g < gmin) gmin = g, imin = i;
    }
    out.emplace_back("ih_max_grad", gmax);
    out.emplace_back("ih_max_grad_g", imax);
    out.emplace_back("ih_min_grad", gmin);
    out.emplace_back("ih_min_grad_g", imin);
}

void volume_histogram_features(const Prepared& p, Features& out) {
    std::vector<double> v = p.ivh_values;
    std::sort(v.begin(), v.end());
    const double n = double(v.size());
    const double lo = p.ivh_min, span = p.ivh_max - p.ivh_min;
    // The fraction of the volume at or above intensity x.
    const auto volume_at = [&](double x) {
        return double(v.end() - std::lower_bound(v.begin(), v.end(), x)) / n;
    };
    // V_f: the volume fraction at the lowest intensity whose intensity fraction reaches f.
    const auto v_at = [&](double f) { return volume_at(lo + f * span - 1e-9 * std::max(1.0, std::abs(span))); };
    // I_f: the lowest intensity of the histogram's steps whose volume fraction is below f;
    // between two intensities present, the first step past the lower one.
    const auto i_at = [&](double f) {
        double below = NAN;
        for (auto it = v.begin(); it != v.end(); it = std::upper_bound(it, v.end(), *it)) {
            if (volume_at(*it) < f) return p.ivh_step > 0 && !std::isnan(below) ? below + p.ivh_step : *it;
            below = *it;
        }
        return p.ivh_step > 0 ? v.back() + p.ivh_step : v.back();
    };
    const double v10 = v_at(0.1), v90 = v_at(0.9), i10 = i_at(0.1), i90 = i_at(0.9);
    out.emplace_back("ivh_v10", v10);
    out.emplace_back("ivh_v90", v90);
    out.emplace_back("ivh_i10", i10);
    out.emplace_back("ivh_i90", i90);
    out.emplace_back("ivh_diff_v10_v90", v10 - v90);
    out.emplace_back("ivh_diff_i10_i90", i10 - i90);
}

}  // namespace loamwerk::radiomics
