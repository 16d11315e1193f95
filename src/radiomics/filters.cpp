#include "radiomics/filters.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <stdexcept>

#include "core/limits.hpp"
#include "core/parallel.hpp"
#include "radiomics/fft.hpp"

namespace loamwerk::radiomics {
namespace {

// A 1D kernel: out[i] = sum_k taps[k] x[i - (k - centre) step] (a convolution).
struct Kernel {
    std::vector<double> taps;
    long centre = 0;
    // The kernel mirrored about its centre: h(-t).
    Kernel flipped() const {
        Kernel k{{taps.rbegin(), taps.rend()}, long(taps.size()) - 1 - centre};
        return k;
    }
};

long padded(long i, long n, Padding p) {
    if (i >= 0 && i < n) return i;
    switch (p) {
        case Padding::kConstant: return -1;
        case Padding::kNearest: return i < 0 ? 0 : n - 1;
        case Padding::kPeriodic: return ((i % n) + n) % n;
        case Padding::kMirror: {  // symmetric: the edge voxel repeated
            const long period = 2 * n;
            i = ((i % period) + period) % period;
            return i < n ? i : period - 1 - i;
        }
    }
    return -1;
}

std::vector<double> convolve_axis(const std::vector<double>& in, const Dims& dims, int axis, const Kernel& k, long step,
                                  Padding padding) {
    const long n = long(dims[axis]);
    const std::size_t inner = axis == 2 ? 1 : axis == 1 ? dims[2] : dims[1] * dims[2];
    const std::size_t outer = voxel_count(dims) / (std::size_t(n) * inner);
    std::vector<double> out(in.size(), 0.0);
    parallel_for(outer, [&](std::size_t o) {
        std::vector<long> at(k.taps.size());
        for (long i = 0; i < n; ++i) {
            for (std::size_t t = 0; t < k.taps.size(); ++t) at[t] = padded(i - (long(t) - k.centre) * step, n, padding);
            double* dst = out.data() + (o * std::size_t(n) + std::size_t(i)) * inner;
            const double* src = in.data() + o * std::size_t(n) * inner;
            for (std::size_t t = 0; t < k.taps.size(); ++t) {
                if (at[t] < 0 || k.taps[t] == 0) continue;
                const double w = k.taps[t];
                const double* s = src + std::size_t(at[t]) * inner;
                for (std::size_t j = 0; j < inner; ++j) dst[j] += w * s[j];
            }
        }
    });
    return out;
}

// Separable kernels per axis (z, y, x); an empty kernel leaves its axis alone.
using Separable = std::array<Kernel, 3>;

std::vector<double> convolve(std::vector<double> x, const Dims& dims, const Separable& k, long step, Padding p) {
    for (int a = 2; a >= 0; --a)
        if (!k[a].taps.empty()) x = convolve_axis(x, dims, a, k[a], step, p);
    return x;
}

// The right-angle rotations of the kernel: signed permutations of the axes with determinant +1
// (24), or the 4 in-plane ones. Rotating the kernel is rotating the image and back.
struct Rotation {
    std::array<int, 3> from;   // output axis a takes the kernel of axis from[a]
    std::array<bool, 3> flip;  // mirrored
};

std::vector<Rotation> rotations(bool in_plane) {
    std::vector<Rotation> out;
    std::array<int, 3> p = {0, 1, 2};
    do {
        if (in_plane && p[0] != 0) continue;
        int inversions = 0;
        for (int i = 0; i < 3; ++i)
            for (int j = i + 1; j < 3; ++j) inversions += p[i] > p[j];
        for (int f = 0; f < 8; ++f) {
            const std::array<bool, 3> flip = {bool(f & 4), bool(f & 2), bool(f & 1)};
            if (in_plane && flip[0]) continue;
            const int sign = (inversions % 2 ? -1 : 1) * (flip[0] ? -1 : 1) * (flip[1] ? -1 : 1) * (flip[2] ? -1 : 1);
            if (sign > 0) out.push_back({p, flip});
        }
    } while (std::next_permutation(p.begin(), p.end()));
    return out;
}

Separable rotated(const Separable& k, const Rotation& r) {
    Separable out;
    for (int a = 0; a < 3; ++a) out[a] = r.flip[a] ? k[r.from[a]].flipped() : k[r.from[a]];
    return out;
}

// Every rotation's response, pooled by average or maximum.
template <class Response>
std::vector<double> pooled(const FilterSpec& f, std::size_t n, Response&& response) {
    if (!f.rotation_invariant) return response(Rotation{{0, 1, 2}, {false, false, false}});
    std::vector<double> out;
    const std::vector<Rotation> all = rotations(f.in_plane);
    for (const Rotation& r : all) {
        std::vector<double> y = response(r);
        if (out.empty()) {
            out = std::move(y);
            continue;
        }
        for (std::size_t i = 0; i < n; ++i) out[i] = f.pooling == Pooling::kMax ? std::max(out[i], y[i]) : out[i] + y[i];
    }
    if (f.pooling == Pooling::kAverage)
        for (double& v : out) v /= double(all.size());
    return out;
}

Kernel laws_kernel(const std::string& name) {
    static const std::pair<const char*, std::vector<double>> kTable[] = {
        {"L3", {1, 2, 1}}, {"E3", {-1, 0, 1}}, {"S3", {-1, 2, -1}}, {"L5", {1, 4, 6, 4, 1}},
        {"E5", {-1, -2, 0, 2, 1}}, {"S5", {-1, 0, 2, 0, -1}}, {"W5", {-1, 2, 0, -2, 1}}, {"R5", {1, -4, 6, -4, 1}}};
    for (const auto& [key, taps] : kTable)
        if (name == key) {
            double norm = 0;
            for (double t : taps) norm += t * t;
            Kernel k{taps, long(taps.size()) / 2};
            for (double& t : k.taps) t /= std::sqrt(norm);
            return k;
        }
    throw std::invalid_argument("Laws kernels are L3, E3, S3, L5, E5, S5, W5 and R5, not " + name);
}

// Decomposition low-pass filters; the high-pass follows as the quadrature mirror.
std::vector<double> wavelet_low(const std::string& name) {
    static const std::pair<const char*, std::vector<double>> kTable[] = {
        {"haar", {0.7071067811865476, 0.7071067811865476}},
        {"db1", {0.7071067811865476, 0.7071067811865476}},
        {"db2", {-0.12940952255126037, 0.2241438680420134, 0.8365163037378079, 0.48296291314453416}},
        {"db3", {0.03522629188570953, -0.08544127388202666, -0.13501102001025458, 0.45987750211849154,
                 0.8068915093110925, 0.33267055295008263}},
        {"db4", {-0.010597401785069032, 0.0328830116668852, 0.030841381835560764, -0.18703481171909309,
                 -0.027983769416859854, 0.6308807679298589, 0.7148465705529157, 0.2303778133088965}},
        {"coif1", {-0.015655728135791993, -0.07273261951252645, 0.3848648468648578, 0.8525720202116004,
                   0.3378976624574818, -0.07273261951252645}},
        {"sym4", {-0.07576571478927333, -0.02963552764599851, 0.49761866763201545, 0.8037387518059161,
                  0.29785779560527736, -0.09921954357684722, -0.012603967262037833, 0.0322231006040427}}};
    for (const auto& [key, taps] : kTable)
        if (name == key) return taps;
    throw std::invalid_argument("wavelets are haar, db1 to db4, coif1 and sym4, not " + name);
}

void check(const FilterSpec& f) {
    if (f.type == "mean" && (f.size < 1 || f.size % 2 == 0 || f.size > 255))
        throw std::invalid_argument("the mean filter's size must be odd, 1 to 255 voxels");
    if ((f.type == "log" || f.type == "gabor") && !(f.sigma > 0 && f.sigma < 1e4))
        throw std::invalid_argument("the filter's sigma must be positive (mm)");
    if (f.type == "log" && !(f.truncate > 0 && f.truncate <= 10))
        throw std::invalid_argument("the LoG's truncation must be above 0 and at most 10 sigmas");
    if (f.type == "wavelet" && (f.level < 1 || f.level > 6)) throw std::invalid_argument("the wavelet level must be 1 to 6");
    if (f.type == "gabor" && (!(f.wavelength > 0) || !(f.gamma > 0) || f.theta_step < 0))
        throw std::invalid_argument("the Gabor filter needs a positive wavelength and gamma, and a theta step of 0 or more");
    if (f.energy_distance < 0 || f.energy_distance > 64) throw std::invalid_argument("the energy distance must be 0 to 64");
}

// The separable kernels of a letter string per axis x, y, z ("E5L5S5" or "LHL").
Separable per_axis(const std::vector<Kernel>& xyz, bool in_plane) {
    Separable k;
    k[2] = xyz[0], k[1] = xyz[1];
    if (!in_plane) k[0] = xyz[2];
    return k;
}

std::vector<double> gabor(const std::vector<double>& image, const Dims& dims, const Spacing& sp, const FilterSpec& f) {
    // Complex Gabor kernels in each plane: the envelope exp(-(u^2 + gamma^2 v^2) / 2 sigma^2)
    // and the carrier exp(i 2 pi u / wavelength), u along theta; the response's modulus. The
    // kernels reach far (4 sigma / gamma), so each slice is convolved through transforms.
    std::vector<double> out(image.size(), 0.0);
    const std::vector<int> planes = f.orthogonal_planes ? std::vector<int>{0, 1, 2} : std::vector<int>{0};
    std::vector<double> thetas = {f.theta};
    if (f.theta_step > 0)
        for (double t = f.theta + f.theta_step; t < f.theta + 2 * M_PI - 1e-9; t += f.theta_step) thetas.push_back(t);
    const bool max_pool = f.pooling == Pooling::kMax;
    for (int normal : planes) {
        const int row = normal == 0 ? 1 : 0, col = normal == 2 ? 1 : 2;
        const long R = long(dims[row]), C = long(dims[col]), S = long(dims[normal]);
        const double reach = 4 * std::max(f.sigma, f.sigma / f.gamma);
        const long rr = long(std::ceil(reach / sp[row])), rc = long(std::ceil(reach / sp[col]));
        // The slice padded by the kernel's reach on each side, in a transform of powers of two.
        const std::array<std::size_t, 3> p = {1, std::bit_ceil(std::size_t(R + 2 * rr)), std::bit_ceil(std::size_t(C + 2 * rc))};
        const std::size_t plane = p[1] * p[2];
        if (const std::string refusal = limits::output_refusal((long double)(plane) * (thetas.size() + 2) * 16, image.size() * 8);
            !refusal.empty())
            throw std::invalid_argument("the Gabor filter's kernels: " + refusal);
        std::vector<std::vector<Complex>> kernels;
        for (double theta : thetas) {
            std::vector<Complex> k(plane);
            for (long a = -rr; a <= rr; ++a)
                for (long b = -rc; b <= rc; ++b) {
                    const double x = b * sp[col], y = a * sp[row];
                    const double u = x * std::cos(theta) + y * std::sin(theta), v = -x * std::sin(theta) + y * std::cos(theta);
                    k[std::size_t((a + long(p[1])) % long(p[1])) * p[2] + std::size_t((b + long(p[2])) % long(p[2]))] =
                        std::exp(-(u * u + f.gamma * f.gamma * v * v) / (2 * f.sigma * f.sigma)) *
                        std::polar(1.0, 2 * M_PI * u / f.wavelength) / double(plane);
                }
            fft(k, p, {false, true, true}, false);
            kernels.push_back(std::move(k));
        }
        const auto index = [&](long s, long r, long c) {
            std::array<long, 3> i{};
            i[normal] = s, i[row] = r, i[col] = c;
            return std::size_t((i[0] * long(dims[1]) + i[1]) * long(dims[2]) + i[2]);
        };
        std::vector<Complex> slice(plane), product(plane);
        std::vector<double> pooled(std::size_t(R * C));
        for (long s = 0; s < S; ++s) {
            std::fill(slice.begin(), slice.end(), Complex(0));
            for (long r = -rr; r < R + rr; ++r) {
                const long rs = padded(r, R, f.padding);
                if (rs < 0) continue;
                for (long c = -rc; c < C + rc; ++c) {
                    const long cs = padded(c, C, f.padding);
                    if (cs >= 0) slice[std::size_t(r + rr) * p[2] + std::size_t(c + rc)] = image[index(s, rs, cs)];
                }
            }
            fft(slice, p, {false, true, true}, false);
            for (std::size_t t = 0; t < thetas.size(); ++t) {
                for (std::size_t i = 0; i < plane; ++i) product[i] = slice[i] * kernels[t][i];
                fft(product, p, {false, true, true}, true);
                for (long r = 0; r < R; ++r)
                    for (long c = 0; c < C; ++c) {
                        const double m = std::abs(product[std::size_t(r + rr) * p[2] + std::size_t(c + rc)]);
                        double& q = pooled[std::size_t(r * C + c)];
                        q = t == 0 ? m : max_pool ? std::max(q, m) : q + m;
                    }
            }
            // Pooled over orientations, then averaged over the planes.
            const double scale = (max_pool ? 1.0 : 1.0 / double(thetas.size())) / double(planes.size());
            for (long r = 0; r < R; ++r)
                for (long c = 0; c < C; ++c) out[index(s, r, c)] += pooled[std::size_t(r * C + c)] * scale;
        }
    }
    return out;
}

}  // namespace

double filter_reach_mm(const FilterSpec& f, const Spacing& spacing) {
    const double voxel = std::max({spacing[0], spacing[1], spacing[2]});
    if (f.type == "mean") return (f.size / 2 + 1) * voxel;
    if (f.type == "log") return (f.truncate * f.sigma / std::min({spacing[0], spacing[1], spacing[2]}) + 2) * voxel;
    if (f.type == "laws") return (3 + f.energy_distance) * voxel;
    if (f.type == "gabor") return 4 * std::max(f.sigma, f.sigma / f.gamma) + 2 * voxel;
    if (f.type == "wavelet") return (8.0 * double((1L << f.level) - 1) + 2) * voxel;
    if (f.type == "gradient") return 2 * voxel;
    if (f.type == "lbp2d") return (f.sigma + 2) * voxel;
    return 0;
}

std::vector<double> apply_filter(const std::vector<double>& image, const Dims& dims, const Spacing& spacing,
                                 const FilterSpec& f) {
    check(f);
    const std::size_t n = image.size();
    if (f.type == "mean") {
        const Kernel k{std::vector<double>(std::size_t(f.size), 1.0 / f.size), f.size / 2};
        return convolve(image, dims, per_axis({k, k, k}, f.in_plane), 1, f.padding);
    }
    if (f.type == "log") {
        // Sum over axes of the Gaussian's second derivative along one and the Gaussian along the
        // others; each kernel sampled at voxel centres (sigma in voxels), the Gaussian's summing to 1.
        std::vector<double> out(n, 0.0);
        Separable g, g2;
        for (int a = f.in_plane ? 1 : 0; a < 3; ++a) {
            const double s = f.sigma / spacing[a];
            const long r = long(f.truncate * s + 0.5);
            std::vector<double> w(std::size_t(2 * r + 1)), w2(w.size());
            double sum = 0;
            for (long t = -r; t <= r; ++t) sum += w[std::size_t(t + r)] = std::exp(-0.5 * t * t / (s * s));
            for (long t = -r; t <= r; ++t) {
                w[std::size_t(t + r)] /= sum;
                w2[std::size_t(t + r)] = w[std::size_t(t + r)] * (t * t - s * s) / (s * s * s * s);
            }
            g[a] = {w, r}, g2[a] = {w2, r};
        }
        for (int a = f.in_plane ? 1 : 0; a < 3; ++a) {
            Separable k = g;
            k[a] = g2[a];
            const std::vector<double> part = convolve(image, dims, k, 1, f.padding);
            // Second derivatives per mm^2: the kernels worked in voxels.
            const double scale = 1 / (spacing[a] * spacing[a]);
            for (std::size_t i = 0; i < n; ++i) out[i] += part[i] * scale;
        }
        // Back to the voxel units of an isotropic grid's kernel, as the reference maps give them;
        // or scale-normalised, sigma^2 times the Laplacian in mm.
        const double scale = f.scale_normalised ? f.sigma * f.sigma : spacing[2] * spacing[2];
        for (double& v : out) v *= scale;
        return out;
    }
    if (f.type == "laws") {
        const std::size_t want = f.in_plane ? 2 : 3;
        if (f.kernels.size() != 2 * want)
            throw std::invalid_argument("Laws kernels name one 1D kernel per axis, x first: \"E5L5S5\" (3D) or \"L5S5\" (2D)");
        std::vector<Kernel> xyz;
        for (std::size_t i = 0; i < want; ++i) xyz.push_back(laws_kernel(f.kernels.substr(2 * i, 2)));
        if (f.in_plane) xyz.push_back(Kernel{});
        const Separable base = per_axis(xyz, f.in_plane);
        std::vector<double> out = pooled(f, n, [&](const Rotation& r) {
            return convolve(image, dims, rotated(base, r), 1, f.padding);
        });
        if (f.energy_distance > 0) {
            // The energy map: the mean absolute response within the distance (in-plane for 2D).
            for (double& v : out) v = std::abs(v);
            const int side = 2 * f.energy_distance + 1;
            const Kernel box{std::vector<double>(std::size_t(side), 1.0 / side), f.energy_distance};
            out = convolve(out, dims, per_axis({box, box, box}, f.in_plane), 1, f.padding);
        }
        return out;
    }
    if (f.type == "wavelet") {
        const std::size_t want = f.in_plane ? 2 : 3;
        if (f.response.size() != want || f.response.find_first_not_of("LH") != std::string::npos)
            throw std::invalid_argument("a wavelet response names L or H per axis, x first: \"LHL\" (3D) or \"HL\" (2D)");
        const std::vector<double> low = wavelet_low(f.wavelet);
        std::vector<double> high(low.size());
        for (std::size_t k = 0; k < low.size(); ++k) high[k] = (k % 2 ? 1 : -1) * low[low.size() - 1 - k];
        const Kernel lo{low, long(low.size()) / 2}, hi{high, long(high.size()) / 2};
        std::vector<Kernel> letters;
        for (char c : f.response) letters.push_back(c == 'L' ? lo : hi);
        if (f.in_plane) letters.push_back(Kernel{});
        const Separable last = per_axis(letters, f.in_plane), smooth = per_axis({lo, lo, lo}, f.in_plane);
        // Undecimated: each level's filters spread by 2^(level-1); the lower levels low-pass.
        return pooled(f, n, [&](const Rotation& r) {
            std::vector<double> x = image;
            for (int l = 1; l <= f.level; ++l)
                x = convolve(std::move(x), dims, rotated(l == f.level ? last : smooth, r), 1L << (l - 1), f.padding);
            return x;
        });
    }
    if (f.type == "gabor") return gabor(image, dims, spacing, f);
    // pyradiomics' intensity transforms, scaled by the whole image's largest magnitude.
    double top = f.abs_max;
    if (!std::isfinite(top)) {
        top = 0;
        for (double v : image) top = std::max(top, std::abs(v));
    }
    std::vector<double> out(n);
    if (f.type == "square") {
        for (std::size_t i = 0; i < n; ++i) out[i] = top > 0 ? image[i] * image[i] / top : 0.0;
        return out;
    }
    if (f.type == "squareroot") {
        for (std::size_t i = 0; i < n; ++i) out[i] = std::copysign(std::sqrt(std::abs(image[i]) * top), image[i]);
        return out;
    }
    if (f.type == "logarithm") {
        const double c = top > 0 ? top / std::log(top + 1) : 0.0;
        for (std::size_t i = 0; i < n; ++i) out[i] = std::copysign(std::log(std::abs(image[i]) + 1) * c, image[i]);
        return out;
    }
    if (f.type == "exponential") {
        const double c = top > 0 ? std::log(top) / top : 0.0;
        for (std::size_t i = 0; i < n; ++i) out[i] = std::exp(c * image[i]);
        return out;
    }
    if (f.type == "gradient") {
        // The gradient's magnitude in units per mm: central differences, one-sided at the edges.
        std::vector<double> sum(n, 0.0);
        for (int a = 0; a < 3; ++a) {
            const long len = long(dims[a]);
            if (len < 2) continue;
            const std::size_t stride = a == 2 ? 1 : a == 1 ? dims[2] : dims[1] * dims[2];
            for (std::size_t i = 0; i < n; ++i) {
                const long c = long(i / stride % std::size_t(len));
                const std::size_t lo = c > 0 ? i - stride : i, hi = c + 1 < len ? i + stride : i;
                const double d = (image[hi] - image[lo]) / (double(hi - lo) / double(stride) * spacing[a]);
                sum[i] += d * d;
            }
        }
        for (std::size_t i = 0; i < n; ++i) out[i] = std::sqrt(sum[i]);
        return out;
    }
    if (f.type == "lbp2d") {
        // Local binary patterns of each slice as scikit-image computes them for pyradiomics: P
        // samples on a circle of radius R (voxels), bilinear with zero outside, a bit set where
        // a sample is at least the centre; "uniform": the bits set when they change at most
        // twice along the open circle, else P + 1.
        const long H = long(dims[1]), W = long(dims[2]);
        const int samples = f.size;
        const std::size_t count = static_cast<std::size_t>(samples);
        std::vector<double> rp(count), cp(count);
        for (int k = 0; k < samples; ++k) {
            rp[std::size_t(k)] = std::round(-f.sigma * std::sin(2 * M_PI * k / samples) * 1e5) / 1e5;
            cp[std::size_t(k)] = std::round(f.sigma * std::cos(2 * M_PI * k / samples) * 1e5) / 1e5;
        }
        parallel_for(dims[0], [&](std::size_t z) {
            const double* plane = image.data() + z * std::size_t(H * W);
            const auto at = [&](long r, long c) { return r < 0 || r >= H || c < 0 || c >= W ? 0.0 : plane[r * W + c]; };
            std::vector<int> bits(count);
            for (long r = 0; r < H; ++r)
                for (long c = 0; c < W; ++c) {
                    const double centre = plane[r * W + c];
                    int set = 0, changes = 0;
                    for (int k = 0; k < samples; ++k) {
                        const double y = double(r) + rp[std::size_t(k)], x = double(c) + cp[std::size_t(k)];
                        const long r0 = long(std::floor(y)), c0 = long(std::floor(x)), r1 = long(std::ceil(y)), c1 = long(std::ceil(x));
                        const double dr = y - double(r0), dc = x - double(c0);
                        const double top = (1 - dc) * at(r0, c0) + dc * at(r0, c1), bottom = (1 - dc) * at(r1, c0) + dc * at(r1, c1);
                        bits[std::size_t(k)] = (1 - dr) * top + dr * bottom - centre >= 0;
                        set += bits[std::size_t(k)];
                        if (k > 0) changes += bits[std::size_t(k)] != bits[std::size_t(k - 1)];
                    }
                    out[z * std::size_t(H * W) + std::size_t(r * W + c)] = changes <= 2 ? set : samples + 1;
                }
        });
        return out;
    }
    throw std::invalid_argument("filters are mean, log, laws, gabor, wavelet, square, squareroot, logarithm, exponential, "
                                "gradient and lbp2d, not " + f.type);
}

}  // namespace loamwerk::radiomics
