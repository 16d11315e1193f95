#include "perfusion/dsc.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <stdexcept>
#include <cstdint>

#include "core/parallel.hpp"

namespace loamwerk::perfusion {

namespace {

constexpr int kMaxSweeps = 60;
constexpr std::size_t kMaxSamples = 512;
constexpr int kCandidates = 20;

bool all_finite(const double* v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

double trapezoid_sum(const double* v, std::size_t n) {
    double s = 0;
    for (std::size_t i = 0; i < n; ++i) s += v[i];
    return s - 0.5 * (v[0] + v[n - 1]);
}

// One-sided Jacobi: A (columns) becomes U·S, V accumulates the rotations.
void jacobi(std::vector<double>& a, std::vector<double>& v, std::size_t N) {
    v.assign(N * N, 0);
    for (std::size_t i = 0; i < N; ++i) v[i * N + i] = 1;
    for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
        bool rotated = false;
        for (std::size_t i = 0; i + 1 < N; ++i) {
            double* ai = a.data() + i * N;
            for (std::size_t j = i + 1; j < N; ++j) {
                double* aj = a.data() + j * N;
                double alpha = 0, beta = 0, gamma = 0;
                for (std::size_t k = 0; k < N; ++k) {
                    alpha += ai[k] * ai[k];
                    beta += aj[k] * aj[k];
                    gamma += ai[k] * aj[k];
                }
                if (alpha <= 0 || beta <= 0 || std::fabs(gamma) <= 1e-15 * std::sqrt(alpha * beta)) continue;
                const double zeta = (beta - alpha) / (2 * gamma);
                const double t = (zeta >= 0 ? 1.0 : -1.0) / (std::fabs(zeta) + std::sqrt(1 + zeta * zeta));
                const double c = 1 / std::sqrt(1 + t * t), s = c * t;
                for (std::size_t k = 0; k < N; ++k) {
                    const double x = ai[k], y = aj[k];
                    ai[k] = c * x - s * y;
                    aj[k] = s * x + c * y;
                }
                double* vi = v.data() + i * N;
                double* vj = v.data() + j * N;
                for (std::size_t k = 0; k < N; ++k) {
                    const double x = vi[k], y = vj[k];
                    vi[k] = c * x - s * y;
                    vj[k] = s * x + c * y;
                }
                rotated = true;
            }
        }
        if (!rotated) break;
    }
}

// x (first n samples) of the truncated solve at fraction f; returns the discarded energy.
double solve(const AifDecomposition& d, const std::vector<double>& b, double f, std::vector<double>& x) {
    x.assign(d.n, 0);
    double discarded = 0;
    for (std::size_t i = 0; i < d.N; ++i) {
        if (!(d.S[i] > f * d.S[0])) {
            discarded += b[i] * b[i];
            continue;
        }
        const double w = b[i] / d.S[i];
        const double* vi = d.V.data() + i * d.N;
        for (std::size_t k = 0; k < d.n; ++k) x[k] += vi[k] * w;
    }
    return discarded;
}

double oscillation(const std::vector<double>& x, std::size_t n) {
    double peak = 0;
    for (std::size_t k = 0; k < n; ++k) peak = std::max(peak, std::fabs(x[k]));
    if (peak <= 1e-10) return 0;
    double sum = 0;
    for (std::size_t k = 1; k + 1 < n; ++k) sum += std::fabs(x[k + 1] - 2 * x[k] + x[k - 1]);
    return sum / (double(n) * peak);
}

}  // namespace

Method parse_method(std::string_view name) {
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
    if (name.size() != 4) return kOsvd;
    auto lower = [](char c) { return char(std::tolower(static_cast<unsigned char>(c))); };
    if (lower(name[1]) != 's' || lower(name[2]) != 'v' || lower(name[3]) != 'd') return kOsvd;
    switch (lower(name[0])) {
    case 's': return kSsvd;
    case 'c': return kCsvd;
    default: return kOsvd;
    }
}

double default_threshold(Method m) { return m == kSsvd ? 0.2 : m == kCsvd ? 0.1 : 0.035; }

std::optional<AifDecomposition> decompose_aif(const double* aif, std::size_t n, double dt, Method method) {
    if (n < 2 || n > kMaxSamples || !(dt > 0) || !all_finite(aif, n)) return std::nullopt;
    AifDecomposition d;
    d.n = n, d.dt = dt, d.method = method;
    d.N = method == kSsvd ? n : 2 * n;
    const std::size_t N = d.N;
    std::vector<double> a(N * N, 0);  // column j at a[j * N]
    for (std::size_t i = 0; i < N; ++i)
        for (std::size_t j = 0; j < N; ++j) {
            if (method == kSsvd) {
                if (i >= j) a[j * N + i] = dt * aif[i - j];
            } else {
                const std::size_t k = (i + N - j) % N;
                if (k < n) a[j * N + i] = dt * aif[k];
            }
        }
    jacobi(a, d.V, N);
    d.S.assign(N, 0);
    for (std::size_t i = 0; i < N; ++i) {
        double norm = 0;
        for (std::size_t k = 0; k < N; ++k) norm += a[i * N + k] * a[i * N + k];
        norm = std::sqrt(norm);
        d.S[i] = norm;
        if (norm > 0)
            for (std::size_t k = 0; k < N; ++k) a[i * N + k] /= norm;
    }
    d.U = std::move(a);
    for (std::size_t p = 0; p < N; ++p) {
        std::size_t best = p;
        for (std::size_t q = p + 1; q < N; ++q)
            if (d.S[q] > d.S[best]) best = q;
        if (best == p) continue;
        std::swap(d.S[p], d.S[best]);
        std::swap_ranges(d.U.begin() + std::ptrdiff_t(p * N), d.U.begin() + std::ptrdiff_t((p + 1) * N),
                         d.U.begin() + std::ptrdiff_t(best * N));
        std::swap_ranges(d.V.begin() + std::ptrdiff_t(p * N), d.V.begin() + std::ptrdiff_t((p + 1) * N),
                         d.V.begin() + std::ptrdiff_t(best * N));
    }
    if (!(d.S[0] > 0)) return std::nullopt;
    return d;
}

double cbv_ratio(const double* ct, const double* aif, std::size_t n) {
    if (n < 2 || !all_finite(ct, n) || !all_finite(aif, n)) return 0;
    const double area = trapezoid_sum(aif, n);
    return area > 0 ? trapezoid_sum(ct, n) / area : 0;
}

DeconvolutionResult deconvolve(const AifDecomposition& d, const double* ct, std::size_t n, double reg,
                               DeconvolutionScratch& scratch) {
    DeconvolutionResult r;
    if (n < 2 || n > kMaxSamples || n != d.n) return r;
    if (!all_finite(ct, n)) return r.quality |= quality::kNonFinite, r;
    if (!std::isfinite(reg)) return r.quality |= quality::kBadRegularisation, r;
    std::vector<double>& b = scratch.b;
    b.assign(d.N, 0);
    double total = 0;
    for (std::size_t i = 0; i < d.N; ++i) {
        const double* ui = d.U.data() + i * d.N;
        double s = 0;
        for (std::size_t k = 0; k < n; ++k) s += ui[k] * ct[k];
        b[i] = s;
        total += s * s;
    }
    std::vector<double>& x = scratch.x;
    double discarded = 0;
    if (d.method != kOsvd) {
        if (reg < 0) return r.quality |= quality::kBadRegularisation, r;
        if (reg >= 1) {
            r.quality |= quality::kAllDiscarded, r.frac = reg, r.cut = 1.0;
            return r;
        }
        r.frac = reg;
        discarded = solve(d, b, reg, x);
    } else {
        if (!(reg > 0)) return r.quality |= quality::kBadRegularisation, r;
        int chosen = -1, least = 0;
        double least_oi = 0;
        for (int k = 0; k < kCandidates; ++k) {
            const double f = (k * 0.49) / 19 + 0.01;
            solve(d, b, f, x);
            const double oi = oscillation(x, n);
            if (oi < reg) {
                chosen = k;
                break;
            }
            if (k == 0 || oi < least_oi) least = k, least_oi = oi;
        }
        if (chosen < 0) chosen = least, r.quality |= quality::kOscillation;
        r.frac = (chosen * 0.49) / 19 + 0.01;
        discarded = solve(d, b, r.frac, x);
    }
    r.residue.assign(n, 0);
    std::size_t m = 0;
    for (std::size_t k = 0; k < n; ++k) {
        r.residue[k] = std::max(x[k], 0.0);
        if (r.residue[k] > r.residue[m]) m = k;
    }
    r.cbf = r.residue[m];
    if (!(r.cbf > 0)) {
        r.quality |= quality::kNoPositive;
        r.cbf = 0;
        return r;
    }
    r.mtt = d.dt * trapezoid_sum(r.residue.data(), n) / r.cbf;
    r.tail = r.residue[n - 1] / r.cbf;
    if (r.tail > 0.05) r.quality |= quality::kTail;
    double position = double(m);
    if (m == 0 || m >= n - 1) {
        r.quality |= quality::kEdgePeak;
    } else {
        const double q = r.residue[m - 1] - 2 * r.residue[m] + r.residue[m + 1];
        if (q < 0) position = double(m) + std::clamp((r.residue[m - 1] - r.residue[m + 1]) * 0.5 / q, -0.5, 0.5);
    }
    r.tmax = d.dt * position;
    r.oi = oscillation(x, n);
    r.cut = total > 0 ? std::sqrt(discarded / total) : 0;
    r.ok = true;
    return r;
}

const char* signal_to_conc_message(std::size_t n, long n_baseline, double te_s) {
    if (n < 2) return "signal must have at least 2 samples";
    if (!(te_s > 0)) return "te_s must be > 0";
    if (n_baseline < 1) return "n_baseline must be >= 1";
    if (std::size_t(n_baseline) >= n) return "n_baseline must leave at least one frame outside it (n_baseline < len(signal))";
    return "the pre-contrast S0 is not positive, or a baseline sample is not finite";
}

std::optional<std::vector<double>> signal_to_conc(const double* signal, std::size_t n, long n_baseline, double te_s) {
    if (n < 2 || !(te_s > 0) || n_baseline < 1 || std::size_t(n_baseline) >= n) return std::nullopt;
    double s0 = 0;
    for (long i = 0; i < n_baseline; ++i) s0 += signal[i];
    s0 /= double(n_baseline);
    if (!std::isfinite(s0) || !(s0 > 0)) return std::nullopt;
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        double ratio = signal[i] / s0;
        if (!std::isfinite(ratio)) ratio = 1e-6;
        const double value = ratio < 1e-6 ? 13.815510557964274 : -std::log(ratio);
        out[i] = value / te_s;
    }
    return out;
}

std::vector<double> cumtrapz(const double* x, std::size_t n, double dt) {
    std::vector<double> out(n, 0);
    for (std::size_t k = 1; k < n; ++k) out[k] = out[k - 1] + (x[k] + x[k - 1]) * 0.5 * dt;
    return out;
}

long first_pass_end(const double* c, std::size_t n, long b, double k_sigma) {
    if (b < 2 || n < 4 || std::size_t(b) >= n || !all_finite(c, n)) return -1;
    double mu = 0;
    for (long i = 0; i < b; ++i) mu += c[i];
    mu /= double(b);
    double var = 0;
    for (long i = 0; i < b; ++i) var += (c[i] - mu) * (c[i] - mu);
    const double sigma = std::sqrt(var / double(b - 1));
    const double threshold = (k_sigma > 0 ? k_sigma : 4.0) * sigma;
    if (!(threshold > 0)) return -1;
    std::size_t p = std::size_t(b);
    for (std::size_t i = std::size_t(b) + 1; i < n; ++i)
        if (std::fabs(c[i] - mu) > std::fabs(c[p] - mu)) p = i;
    if (p == n - 1) return long(n);
    const double s = c[p] >= mu ? 1.0 : -1.0;
    double low = s * c[p];
    std::size_t low_at = p;
    for (std::size_t i = p + 1; i < n; ++i) {
        const double v = s * c[i];
        if (v > low + threshold) return long(low_at) + 1;
        if (v < low) low = v, low_at = i;
    }
    return long(n);
}

LeakageResult leakage_correct(const double* ct, const double* ref, std::size_t n, double dt) {
    LeakageResult r;
    r.corrected.assign(ct, ct + n);
    if (n < 2) return r;
    const std::vector<double> I = cumtrapz(ref, n, dt);
    double a = 0, b = 0, d = 0, e = 0, f = 0;
    for (std::size_t k = 0; k < n; ++k) {
        a += ref[k] * ref[k];
        b -= ref[k] * I[k];
        d += I[k] * I[k];
        e += ref[k] * ct[k];
        f -= ct[k] * I[k];
    }
    const double det = a * d - b * b;
    if (!(std::fabs(det) > 1e-12 * a * d)) return r;
    r.k2 = (a * f - b * e) / det;
    for (std::size_t k = 0; k < n; ++k) r.corrected[k] = ct[k] + r.k2 * I[k];
    return r;
}

FitMaps fit_volume(const float* signal, std::size_t t, std::size_t z, std::size_t y, std::size_t x,
                   const double* aif, double dt, double te_s, long n_baseline, Method method, double reg,
                   const std::uint8_t* mask, bool leakage) {
    const auto decomposition = decompose_aif(aif, t, dt, method);
    if (!decomposition) throw std::invalid_argument("dsc_fit_volume: the AIF cannot be decomposed (2 to 512 finite samples, dt > 0)");
    const std::size_t voxels = z * y * x;
    FitMaps maps;
    for (auto* m : {&maps.cbf, &maps.cbv, &maps.mtt, &maps.tmax, &maps.ttp}) m->assign(voxels, 0.f);
    maps.quality.assign(voxels, 0);
    std::vector<std::size_t> fitted(z, 0);
    parallel_for(z, [&](std::size_t slice) {
        DeconvolutionScratch scratch;
        std::vector<double> curve(t);
        for (std::size_t v = slice * y * x; v < (slice + 1) * y * x; ++v) {
            if (mask && !mask[v]) continue;
            for (std::size_t k = 0; k < t; ++k) curve[k] = signal[k * voxels + v];
            auto conc = signal_to_conc(curve.data(), t, n_baseline, te_s);
            if (!conc) continue;
            if (leakage) conc = leakage_correct(conc->data(), aif, t, dt).corrected;
            const DeconvolutionResult r = deconvolve(*decomposition, conc->data(), t, reg, scratch);
            maps.quality[v] = r.quality;
            maps.ttp[v] = float(dt * double(std::max_element(conc->begin(), conc->end()) - conc->begin()));
            maps.cbv[v] = float(cbv_ratio(conc->data(), aif, t));
            if (!r.ok) continue;
            maps.cbf[v] = float(r.cbf), maps.mtt[v] = float(r.mtt), maps.tmax[v] = float(r.tmax);
            ++fitted[slice];
        }
    });
    for (std::size_t f : fitted) maps.fitted += f;
    return maps;
}

}  // namespace loamwerk::perfusion
