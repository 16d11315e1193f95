#include "diffusion/dti.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/parallel.hpp"
#include "core/small_solve.hpp"

namespace loamwerk::diffusion {

namespace {

constexpr std::size_t kParams = 7;  // six tensor elements and log S0
using Square = SmallMatrix<kParams>;

// The design: log S = X (Dxx, Dxy, Dyy, Dxz, Dyz, Dzz, log S0).
struct Design {
    std::size_t n = 0;
    std::vector<double> x;                 // n x 7
    std::vector<double> pinv;              // 7 x n, (X'X)^-1 X'
    double min_diffusivity = 0;

    Design(const double* bvals, const double* bvecs, std::size_t volumes) : n(volumes), x(volumes * kParams) {
        double largest = 1;  // of the b-matrix entries and the constant column, as DIPY clips by it
        for (std::size_t i = 0; i < n; ++i) {
            // A b = 0 volume's vector is often written as NaN; as DIPY does, it counts as zero.
            auto component = [&](std::size_t k) { return std::isfinite(bvecs[3 * i + k]) ? bvecs[3 * i + k] : 0.0; };
            const double b = bvals[i], gx = component(0), gy = component(1), gz = component(2);
            if (!std::isfinite(b) || b < 0) throw std::invalid_argument("b-values must be finite and not negative");
            const double row[kParams] = {b * gx * gx, 2 * b * gx * gy, b * gy * gy, 2 * b * gx * gz, 2 * b * gy * gz,
                                         b * gz * gz, 1};
            for (std::size_t k = 0; k < 6; ++k) {
                x[i * kParams + k] = -row[k];
                largest = std::max(largest, row[k]);
            }
            x[i * kParams + 6] = 1;
        }
        min_diffusivity = 1e-6 / largest;
        Square xtx{};
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t a = 0; a < kParams; ++a)
                for (std::size_t b = 0; b < kParams; ++b) xtx[a][b] += x[i * kParams + a] * x[i * kParams + b];
        pinv.assign(kParams * n, 0.0);
        for (std::size_t i = 0; i < n; ++i) {
            std::array<double, kParams> col;
            for (std::size_t a = 0; a < kParams; ++a) col[a] = x[i * kParams + a];
            if (!solve_small(xtx, col, kParams, 1e-13))
                throw std::invalid_argument(
                    "the gradient table cannot determine a tensor: it needs b = 0 and at least six non-collinear "
                    "directions with b > 0");
            for (std::size_t a = 0; a < kParams; ++a) pinv[a * n + i] = col[a];
        }
    }
};

// Weighted least squares: minimise sum w_i^2 (X_i p - y_i)^2.
bool weighted_fit(const Design& d, const double* y, const double* w, std::array<double, kParams>& p) {
    Square a{};
    std::array<double, kParams> rhs{};
    for (std::size_t i = 0; i < d.n; ++i) {
        const double w2 = w[i] * w[i];
        const double* row = &d.x[i * kParams];
        for (std::size_t r = 0; r < kParams; ++r) {
            rhs[r] += w2 * row[r] * y[i];
            for (std::size_t c = 0; c <= r; ++c) a[r][c] += w2 * row[r] * row[c];
        }
    }
    for (std::size_t r = 0; r < kParams; ++r)
        for (std::size_t c = r + 1; c < kParams; ++c) a[r][c] = a[c][r];
    if (!solve_small(a, rhs)) return false;
    p = rhs;
    return true;
}

// Levenberg-Marquardt on the signal itself, S = exp(X p), from p.
void nonlinear_fit(const Design& d, const double* s, std::array<double, kParams>& p) {
    std::vector<double> model(d.n);
    auto cost = [&](const std::array<double, kParams>& q) {
        double c = 0;
        for (std::size_t i = 0; i < d.n; ++i) {
            double e = 0;
            for (std::size_t k = 0; k < kParams; ++k) e += d.x[i * kParams + k] * q[k];
            model[i] = std::exp(e);
            c += (model[i] - s[i]) * (model[i] - s[i]);
        }
        return std::isfinite(c) ? c : HUGE_VAL;
    };
    double best = cost(p), lambda = 1e-3;
    for (int it = 0; it < 100 && std::isfinite(best); ++it) {
        Square jtj{};
        std::array<double, kParams> jtr{};
        for (std::size_t i = 0; i < d.n; ++i) {
            const double r = model[i] - s[i];
            for (std::size_t a = 0; a < kParams; ++a) {
                const double ja = model[i] * d.x[i * kParams + a];
                jtr[a] += ja * r;
                for (std::size_t b = 0; b <= a; ++b) jtj[a][b] += ja * model[i] * d.x[i * kParams + b];
            }
        }
        bool improved = false;
        while (lambda < 1e10) {
            Square sys = jtj;
            std::array<double, kParams> step;
            for (std::size_t a = 0; a < kParams; ++a) {
                for (std::size_t b = a + 1; b < kParams; ++b) sys[a][b] = sys[b][a];
                sys[a][a] += lambda * (jtj[a][a] + 1e-30);
                step[a] = -jtr[a];
            }
            if (!solve_small(sys, step)) {
                lambda *= 10;
                continue;
            }
            std::array<double, kParams> q;
            for (std::size_t a = 0; a < kParams; ++a) q[a] = p[a] + step[a];
            const double c = cost(q);
            if (c < best) {
                const bool tiny = best - c <= 1e-12 * best;
                p = q, best = c, lambda = std::max(lambda / 10, 1e-15), improved = true;
                if (tiny) return;
                break;
            }
            lambda *= 10;
        }
        if (!improved) return;
        cost(p);  // the model of the accepted parameters, for the next Jacobian
    }
}

}  // namespace

Eigen3 tensor_eigen(const Tensor6& t, double min_value) {
    for (double x : t)
        if (!std::isfinite(x)) {  // no decomposition: NaN values, zero vectors
            Eigen3 none;
            none.values.fill(std::numeric_limits<double>::quiet_NaN());
            return none;
        }
    double a[3][3] = {{t[0], t[1], t[3]}, {t[1], t[2], t[4]}, {t[3], t[4], t[5]}};
    double v[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    // Cyclic Jacobi rotations until the off-diagonal vanishes against the diagonal.
    for (int sweep = 0; sweep < 50; ++sweep) {
        const double off = a[0][1] * a[0][1] + a[0][2] * a[0][2] + a[1][2] * a[1][2];
        const double diag = a[0][0] * a[0][0] + a[1][1] * a[1][1] + a[2][2] * a[2][2];
        if (off <= 1e-32 * diag || off == 0) break;
        for (int p = 0; p < 2; ++p)
            for (int q = p + 1; q < 3; ++q) {
                if (a[p][q] == 0) continue;
                const double theta = (a[q][q] - a[p][p]) / (2 * a[p][q]);
                const double tn = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1));
                const double c = 1 / std::sqrt(tn * tn + 1), s = tn * c;
                for (int k = 0; k < 3; ++k) {  // columns p, q
                    const double akp = a[k][p], akq = a[k][q];
                    a[k][p] = c * akp - s * akq, a[k][q] = s * akp + c * akq;
                }
                for (int k = 0; k < 3; ++k) {  // rows p, q
                    const double apk = a[p][k], aqk = a[q][k];
                    a[p][k] = c * apk - s * aqk, a[q][k] = s * apk + c * aqk;
                }
                for (int k = 0; k < 3; ++k) {
                    const double vkp = v[k][p], vkq = v[k][q];
                    v[k][p] = c * vkp - s * vkq, v[k][q] = s * vkp + c * vkq;
                }
            }
    }
    int order[3] = {0, 1, 2};
    std::sort(order, order + 3, [&](int i, int j) { return a[i][i] > a[j][j]; });
    Eigen3 e;
    for (int k = 0; k < 3; ++k) {
        e.values[k] = std::max(a[order[k]][order[k]], min_value);
        for (int r = 0; r < 3; ++r) e.vectors[k][r] = v[r][order[k]];
    }
    return e;
}

TensorScalars tensor_scalars(const std::array<double, 3>& l) {
    TensorScalars s{};
    const double sum2 = l[0] * l[0] + l[1] * l[1] + l[2] * l[2];
    const double spread = (l[0] - l[1]) * (l[0] - l[1]) + (l[1] - l[2]) * (l[1] - l[2]) + (l[2] - l[0]) * (l[2] - l[0]);
    s.fa = sum2 > 0 ? std::sqrt(0.5 * spread / sum2) : 0.0;
    s.md = (l[0] + l[1] + l[2]) / 3;
    s.ad = l[0];
    s.rd = (l[1] + l[2]) / 2;
    // Mode: 3 sqrt(6) det(A / |A|) of the deviatoric tensor A, from its eigenvalues.
    const double d0 = l[0] - s.md, d1 = l[1] - s.md, d2 = l[2] - s.md;
    const double norm = std::sqrt(d0 * d0 + d1 * d1 + d2 * d2);
    s.mode = norm > 0 ? 3 * std::sqrt(6.0) * (d0 * d1 * d2) / (norm * norm * norm) : 0.0;
    return s;
}

DtiMaps fit_tensors(const float* dwi, std::size_t volumes, std::size_t voxels, const double* bvals,
                    const double* bvecs, const std::uint8_t* mask, TensorFitMethod method, double min_signal) {
    const Design design(bvals, bvecs, volumes);
    DtiMaps m;
    for (auto* map : {&m.fa, &m.md, &m.ad, &m.rd, &m.mode, &m.s0}) map->assign(voxels, 0.0f);
    m.rgb.assign(voxels * 3, 0.0f), m.tensor.assign(voxels * 6, 0.0f);
    m.evals.assign(voxels * 3, 0.0f), m.evecs.assign(voxels * 9, 0.0f);
    constexpr std::size_t kChunk = 256;
    std::atomic<std::size_t> fitted{0};
    parallel_for((voxels + kChunk - 1) / kChunk, [&](std::size_t chunk) {
        std::vector<double> s(volumes), y(volumes), w(volumes);
        std::size_t here = 0;
        for (std::size_t v = chunk * kChunk; v < std::min(voxels, (chunk + 1) * kChunk); ++v) {
            if (mask && !mask[v]) continue;
            bool finite = true;
            for (std::size_t i = 0; i < volumes; ++i) {
                const double x = dwi[i * voxels + v];
                finite = finite && std::isfinite(x);
                s[i] = std::max(x, min_signal);
                y[i] = std::log(s[i]);
            }
            if (!finite) continue;
            std::array<double, kParams> p{};
            for (std::size_t a = 0; a < kParams; ++a) {
                double acc = 0;
                for (std::size_t i = 0; i < volumes; ++i) acc += design.pinv[a * volumes + i] * y[i];
                p[a] = acc;
            }
            if (method != TensorFitMethod::kOls) {
                // Weights: the signal the ordinary fit predicts.
                for (std::size_t i = 0; i < volumes; ++i) {
                    double e = 0;
                    for (std::size_t k = 0; k < kParams; ++k) e += design.x[i * kParams + k] * p[k];
                    w[i] = std::exp(e);
                }
                std::array<double, kParams> q;
                if (weighted_fit(design, y.data(), w.data(), q)) p = q;
                if (method == TensorFitMethod::kNlls) nonlinear_fit(design, s.data(), p);
            }
            bool usable = true;
            for (double x : p) usable = usable && std::isfinite(x);
            if (!usable) continue;
            const Eigen3 e = tensor_eigen({p[0], p[1], p[2], p[3], p[4], p[5]}, design.min_diffusivity);
            const TensorScalars sc = tensor_scalars(e.values);
            m.fa[v] = float(sc.fa), m.md[v] = float(sc.md), m.ad[v] = float(sc.ad), m.rd[v] = float(sc.rd);
            m.mode[v] = float(sc.mode), m.s0[v] = float(std::exp(p[6]));
            const double fa = std::clamp(sc.fa, 0.0, 1.0);
            for (int k = 0; k < 3; ++k) {
                m.rgb[3 * v + k] = float(std::fabs(e.vectors[0][k]) * fa);
                m.evals[3 * v + k] = float(e.values[k]);
                for (int r = 0; r < 3; ++r) m.evecs[9 * v + 3 * r + k] = float(e.vectors[k][r]);
            }
            // The tensor again from the clipped eigenvalues, as DIPY reports it.
            double q[3][3] = {};
            for (int k = 0; k < 3; ++k)
                for (int r = 0; r < 3; ++r)
                    for (int c = 0; c < 3; ++c) q[r][c] += e.values[k] * e.vectors[k][r] * e.vectors[k][c];
            const double lower[6] = {q[0][0], q[0][1], q[1][1], q[0][2], q[1][2], q[2][2]};
            for (int k = 0; k < 6; ++k) m.tensor[6 * v + k] = float(lower[k]);
            ++here;
        }
        fitted += here;
    });
    m.fitted = fitted;
    return m;
}

std::vector<std::uint8_t> median_otsu(const double* volume, std::size_t nz, std::size_t ny, std::size_t nx, int radius,
                                      int passes, std::vector<double>* filtered) {
    const std::size_t n = nz * ny * nx;
    std::vector<double> cur(volume, volume + n), next(n);
    // scipy's "reflect": d c b a | a b c d | d c b a, repeated for windows wider than the volume.
    auto reflect = [](long i, long size) {
        if (size == 1) return 0L;
        const long period = 2 * size;
        i %= period;
        if (i < 0) i += period;
        return i < size ? i : period - 1 - i;
    };
    const long r = radius, w = 2 * r + 1;
    for (int pass = 0; pass < passes; ++pass) {
        parallel_for(nz, [&](std::size_t z) {
            std::vector<double> window(std::size_t(w * w * w));
            for (std::size_t y = 0; y < ny; ++y)
                for (std::size_t x = 0; x < nx; ++x) {
                    std::size_t k = 0;
                    for (long dz = -r; dz <= r; ++dz) {
                        const long zz = reflect(long(z) + dz, long(nz));
                        for (long dy = -r; dy <= r; ++dy) {
                            const long yy = reflect(long(y) + dy, long(ny));
                            const double* row = &cur[(std::size_t(zz) * ny + std::size_t(yy)) * nx];
                            for (long dx = -r; dx <= r; ++dx) window[k++] = row[reflect(long(x) + dx, long(nx))];
                        }
                    }
                    std::nth_element(window.begin(), window.begin() + long(k / 2), window.begin() + long(k));
                    next[(z * ny + y) * nx + x] = window[k / 2];
                }
        });
        std::swap(cur, next);
    }
    // Otsu's threshold as DIPY takes it from scikit-image: numpy's 256-bin histogram over the
    // volume's range, the bins' centres as class values, the threshold the best bin's centre.
    constexpr int kBins = 256;
    std::vector<std::uint8_t> mask(n, 0);
    if (n) {
        const auto [lo_it, hi_it] = std::minmax_element(cur.begin(), cur.end());
        const double lo = *lo_it, hi = *hi_it;
        if (lo == hi) return mask;  // one value: the threshold is it, and nothing lies above
        double edges[kBins + 1], centres[kBins];
        const double step = (hi - lo) / kBins;
        for (int i = 0; i <= kBins; ++i) edges[i] = lo + i * step;
        edges[kBins] = hi;
        for (int i = 0; i < kBins; ++i) centres[i] = (edges[i] + edges[i + 1]) / 2;
        double hist[kBins] = {};
        const double norm = kBins / (hi - lo);
        for (double v : cur) {
            long i = std::min(long((v - lo) * norm), long(kBins - 1));
            if (v < edges[i]) --i;
            else if (i + 1 < kBins && v >= edges[i + 1]) ++i;
            hist[i] += 1;
        }
        double w1[kBins], w2[kBins], m1[kBins], m2[kBins];
        double acc = 0, accm = 0;
        for (int i = 0; i < kBins; ++i) {
            acc += hist[i], accm += hist[i] * centres[i];
            w1[i] = acc, m1[i] = accm / acc;
        }
        acc = 0, accm = 0;
        for (int i = kBins - 1; i >= 0; --i) {
            acc += hist[i], accm += hist[i] * centres[i];
            w2[i] = acc, m2[i] = accm / acc;
        }
        int best = 0;
        double best_var = -1;
        for (int i = 0; i + 1 < kBins; ++i) {
            const double var = w1[i] * w2[i + 1] * (m1[i] - m2[i + 1]) * (m1[i] - m2[i + 1]);
            if (var > best_var) best_var = var, best = i;
        }
        const double threshold = centres[best];
        for (std::size_t i = 0; i < n; ++i) mask[i] = cur[i] > threshold;
    }
    if (filtered) filtered->assign(cur.begin(), cur.end());
    return mask;
}

namespace {

using Point = std::array<double, 3>;

class Tracker {
public:
    Tracker(const float* dirs, const float* fa, const std::uint8_t* stop, std::size_t nz, std::size_t ny,
            std::size_t nx, const TrackOptions& o)
        : dirs_(dirs), fa_(fa), stop_(stop), dims_{long(nx), long(ny), long(nz)}, o_(o),
          min_cos_(std::cos(o.max_angle_deg * 3.14159265358979323846 / 180)) {}

    // The seed voxel's direction, or nothing.
    bool initial(const Point& seed, Point& d) const {
        long v[3];
        for (int k = 0; k < 3; ++k) {
            v[k] = long(std::floor(seed[k] + 0.5));
            if (v[k] < 0 || v[k] >= dims_[k]) return false;
        }
        const float* p = dirs_ + 3 * index(v);
        d = {p[0], p[1], p[2]};
        const double n = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        if (!(n > 0) || !std::isfinite(n)) return false;
        for (double& c : d) c /= n;
        return true;
    }

    // One way from the seed: the points after it.
    std::vector<Point> half(Point point, Point direction, Point* first = nullptr) const {
        std::vector<Point> out;
        for (std::size_t i = 0; i < o_.max_steps; ++i) {
            if (!next_direction(point, direction)) break;
            if (i == 0 && first) *first = direction;
            for (int k = 0; k < 3; ++k) point[k] += direction[k] * o_.step_vox[k];
            const int state = check(point);
            if (state == kOutside) break;
            out.push_back(point);
            if (state == kEnd) break;
        }
        return out;
    }

    bool trackable(const Point& p) const { return check(p) == kTrack; }

private:
    enum { kTrack, kEnd, kOutside };

    std::size_t index(const long v[3]) const {
        return (std::size_t(v[2]) * std::size_t(dims_[1]) + std::size_t(v[1])) * std::size_t(dims_[0]) +
               std::size_t(v[0]);
    }

    int check(const Point& p) const {
        for (int k = 0; k < 3; ++k)
            if (!(p[k] >= -0.5 && p[k] < double(dims_[k]) - 0.5)) return kOutside;
        if (stop_) {
            long v[3];
            for (int k = 0; k < 3; ++k) v[k] = std::clamp(long(std::floor(p[k] + 0.5)), 0L, dims_[k] - 1);
            return stop_[index(v)] ? kTrack : kEnd;
        }
        // Trilinear FA, the edge voxels repeated beyond the volume's first and last centres.
        double value = 0;
        long base[3];
        double frac[3];
        for (int k = 0; k < 3; ++k) base[k] = long(std::floor(p[k])), frac[k] = p[k] - double(base[k]);
        for (int c = 0; c < 8; ++c) {
            long v[3];
            double w = 1;
            for (int k = 0; k < 3; ++k) {
                const int bit = (c >> k) & 1;
                v[k] = std::clamp(base[k] + bit, 0L, dims_[k] - 1);
                w *= bit ? frac[k] : 1 - frac[k];
            }
            if (w > 0) value += w * fa_[index(v)];
        }
        return value > o_.fa_threshold ? kTrack : kEnd;
    }

    bool next_direction(const Point& p, Point& d) const {
        // Beyond the first or last voxel centre a point has no full neighbourhood: DIPY stops there.
        for (int k = 0; k < 3; ++k)
            if (!(p[k] >= 0 && p[k] <= double(dims_[k] - 1))) return false;
        long base[3];
        double frac[3];
        for (int k = 0; k < 3; ++k) base[k] = long(std::floor(p[k])), frac[k] = p[k] - double(base[k]);
        Point sum{0, 0, 0};
        double total = 0;
        for (int c = 0; c < 8; ++c) {
            long v[3];
            double w = 1;
            bool inside = true;
            for (int k = 0; k < 3; ++k) {
                const int bit = (c >> k) & 1;
                v[k] = base[k] + bit;
                w *= bit ? frac[k] : 1 - frac[k];
                inside = inside && v[k] >= 0 && v[k] < dims_[k];
            }
            // A voxel without anisotropy (FA 0) has no direction to give.
            if (!inside || w <= 0 || !(fa_[index(v)] > 0)) continue;
            const float* q = dirs_ + 3 * index(v);
            const double cosine = q[0] * d[0] + q[1] * d[1] + q[2] * d[2];
            const double norm = std::sqrt(double(q[0]) * q[0] + double(q[1]) * q[1] + double(q[2]) * q[2]);
            if (!(norm > 0) || std::fabs(cosine) / norm < min_cos_) continue;
            const double sign = cosine < 0 ? -1.0 : 1.0;
            for (int k = 0; k < 3; ++k) sum[k] += w * sign * q[k] / norm;
            total += w;
        }
        if (total < 0.5) return false;
        const double n = std::sqrt(sum[0] * sum[0] + sum[1] * sum[1] + sum[2] * sum[2]);
        if (!(n > 0)) return false;
        for (int k = 0; k < 3; ++k) d[k] = sum[k] / n;
        return true;
    }

    const float *dirs_, *fa_;
    const std::uint8_t* stop_;
    long dims_[3];  // x, y, z
    TrackOptions o_;
    double min_cos_;
};

}  // namespace

std::vector<std::vector<std::array<double, 3>>> track(const float* directions, const float* fa,
                                                       const std::uint8_t* stop_mask, std::size_t nz, std::size_t ny,
                                                       std::size_t nx, const std::vector<std::array<double, 3>>& seeds,
                                                       const TrackOptions& options) {
    const Tracker tracker(directions, fa, stop_mask, nz, ny, nx, options);
    std::vector<std::vector<Point>> out(seeds.size());
    parallel_for(seeds.size(), [&](std::size_t i) {
        Point d;
        for (double c : seeds[i])
            if (!std::isfinite(c) || std::fabs(c) > 1e9) return;  // no voxel to start from
        if (!tracker.initial(seeds[i], d)) return;
        if (!tracker.trackable(seeds[i])) {  // a seed where tracking would stop at once stays alone
            out[i] = {seeds[i]};
            return;
        }
        Point first = d;
        const std::vector<Point> forward = tracker.half(seeds[i], d, &first);
        const std::vector<Point> backward = tracker.half(seeds[i], {-first[0], -first[1], -first[2]});
        std::vector<Point>& line = out[i];
        line.assign(backward.rbegin(), backward.rend());
        line.push_back(seeds[i]);
        line.insert(line.end(), forward.begin(), forward.end());
    });
    return out;
}

}  // namespace loamwerk::diffusion
