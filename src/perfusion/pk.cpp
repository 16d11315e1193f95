#include "perfusion/pk.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <limits>
#include <string>

#include "core/parallel.hpp"
#include "core/small_solve.hpp"

namespace loamwerk::perfusion {

namespace {

constexpr std::string_view kTofts[] = {"Ktrans", "ve"};
constexpr std::string_view kExtended[] = {"Ktrans", "ve", "vp"};
constexpr std::string_view kPatlak[] = {"PS", "vp"};
constexpr std::string_view kExchange[] = {"Fp", "PS", "ve", "vp"};
constexpr std::string_view kUptake[] = {"Fp", "PS", "vp"};
constexpr double kDelayBound = 10.0;  // seconds either way

struct Bound {
    double start, low, high;
};

Bound bound_of(std::string_view name) {
    if (name == "Ktrans" || name == "PS") return {0.6, 0.0, 5.0};
    if (name == "ve") return {0.2, 0.0, 1.0};
    if (name == "vp") return {0.01, 0.0, 1.0};
    if (name == "Fp") return {20.0, 0.0, 200.0};
    return {0.0, -kDelayBound, kDelayBound};  // the delay
}

// F_i = integral from t_0 to t_i of cp(s) exp(-k (t_i - s)) ds, cp linear between samples.
void convolve_exp(const double* t, const double* cp, std::size_t n, double k, double* out) {
    double f = 0;
    if (n) out[0] = 0;
    for (std::size_t i = 1; i < n; ++i) {
        const double d = t[i] - t[i - 1];
        if (d > 0) {
            const double x = k * d, a = cp[i - 1], b = cp[i];
            double e, e1, e2;
            if (x < 1e-3) {  // series, where 1 - exp(-x) would cancel
                e = std::exp(-x);
                e1 = d * (1 - x / 2 + x * x / 6 - x * x * x / 24);
                e2 = d * d * (0.5 - x / 6 + x * x / 24 - x * x * x / 120);
            } else {
                e = std::exp(-x);
                e1 = (1 - e) / k;
                e2 = d / k - e1 / k;
            }
            f = e * f + a * e1 + (b - a) / d * e2;
        }
        out[i] = f;
    }
}

// cp at t - delay, linear between samples, its end values held beyond them.
void delayed_input(const double* t, const double* cp, std::size_t n, double delay, double* out) {
    if (delay == 0) {
        std::copy(cp, cp + n, out);
        return;
    }
    std::size_t j = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double s = t[i] - delay;
        if (s <= t[0]) {
            out[i] = cp[0];
            continue;
        }
        if (s >= t[n - 1]) {
            out[i] = cp[n - 1];
            continue;
        }
        while (j + 1 < n && t[j + 1] < s) ++j;
        while (j > 0 && t[j] > s) --j;
        const double w = t[j + 1] > t[j] ? (s - t[j]) / (t[j + 1] - t[j]) : 0;
        out[i] = cp[j] + w * (cp[j + 1] - cp[j]);
    }
}

// The model on an input already delayed; scratch holds n values.
void forward_on(PkModel model, const double* p, const double* t, const double* cp, std::size_t n, double* out,
                double* scratch) {
    auto add = [&](double weight, double k) {
        if (weight == 0) return;
        convolve_exp(t, cp, n, k, scratch);
        for (std::size_t i = 0; i < n; ++i) out[i] += weight * scratch[i];
    };
    std::fill(out, out + n, 0.0);
    constexpr double kTiny = 1e-12;
    switch (model) {
    case PkModel::kTofts:
    case PkModel::kExtendedTofts: {
        const double ktrans = p[0] / 60, ve = std::max(p[1], kTiny);
        add(ktrans, ktrans / ve);
        if (model == PkModel::kExtendedTofts)
            for (std::size_t i = 0; i < n; ++i) out[i] += p[2] * cp[i];
        break;
    }
    case PkModel::kPatlak:
        add(p[0] / 60, 0.0);
        for (std::size_t i = 0; i < n; ++i) out[i] += p[1] * cp[i];
        break;
    case PkModel::kExchange: {
        const double fp = p[0] / 6000, ps = p[1] / 60, ve = std::max(p[2], kTiny), vp = std::max(p[3], kTiny);
        if (fp <= 0) break;
        // Bi-exponential impulse response: rates from the plasma (fp + ps) / vp, exchange ps / ve.
        const double a = (fp + ps) / vp, b = ps / ve, c = (ps / ve) * (fp / vp);
        const double root = std::sqrt(std::max((a + b) * (a + b) - 4 * c, 0.0));
        const double k_fast = 0.5 * (a + b + root), k_slow = 0.5 * (a + b - root);
        const double slow_share = k_fast > k_slow ? (k_fast - fp / vp) / (k_fast - k_slow) : 0.0;
        add(fp * (1 - slow_share), k_fast);
        add(fp * slow_share, std::max(k_slow, 0.0));
        break;
    }
    case PkModel::kUptake: {
        const double fp = p[0] / 6000, ps = p[1] / 60, vp = std::max(p[2], kTiny);
        if (fp + ps <= 0) break;
        const double extraction = ps / (fp + ps);
        add(fp * (1 - extraction), (fp + ps) / vp);
        add(fp * extraction, 0.0);
        break;
    }
    }
}

// One curve's least-squares problem: its model parameters, and the delay when fitted.
class Problem {
public:
    Problem(PkModel model, const double* t, const double* cp, const double* ct, std::size_t n, bool fit_delay,
            double fixed_delay)
        : model_(model), t_(t), cp_(cp), ct_(ct), n_(n), fit_delay_(fit_delay), fixed_delay_(fixed_delay),
          shifted_(n), model_out_(n), scratch_(n) {
        const auto names = pk_parameter_names(model);
        m_ = names.size() + (fit_delay ? 1 : 0);
        for (std::size_t j = 0; j < m_; ++j) {
            bounds_[j] = bound_of(j < names.size() ? names[j] : "delay");
            scale_[j] = bounds_[j].high - bounds_[j].low;
        }
        if (!fit_delay) delayed_input(t_, cp_, n_, fixed_delay_, shifted_.data());
    }

    std::size_t size() const { return m_; }
    const Bound& bound(std::size_t j) const { return bounds_[j]; }

    // Sum of squared residuals at p (model parameters, then the delay when fitted).
    double cost(const double* p) {
        evaluate(p);
        double s = 0;
        for (std::size_t i = 0; i < n_; ++i) {
            const double r = model_out_[i] - ct_[i];
            s += r * r;
        }
        return std::isfinite(s) ? s : std::numeric_limits<double>::infinity();
    }
    const std::vector<double>& curve() const { return model_out_; }

    // Levenberg-Marquardt in scaled variables, steps clamped to the bounds; p in, best p out.
    double minimise(double* p) {
        const std::size_t m = m_;
        double best = cost(p);
        if (!std::isfinite(best)) return best;
        std::vector<double> r(n_), jac(n_ * m), trial_curve(n_);
        double lambda = 1e-3;
        for (int iteration = 0; iteration < 200; ++iteration) {
            for (std::size_t i = 0; i < n_; ++i) r[i] = model_out_[i] - ct_[i];
            // Forward differences, backwards at an upper bound.
            for (std::size_t j = 0; j < m; ++j) {
                double q[kMaxPkParameters];
                std::copy(p, p + m, q);
                double h = 1e-6 * std::max(std::fabs(p[j]), 1e-3 * scale_[j]);
                if (q[j] + h > bounds_[j].high) h = -h;
                q[j] += h;
                evaluate(q);
                for (std::size_t i = 0; i < n_; ++i) jac[i * m + j] = (model_out_[i] - ct_[i] - r[i]) / h * scale_[j];
            }
            SmallMatrix<kMaxPkParameters> jtj{};
            std::array<double, kMaxPkParameters> jtr{};
            for (std::size_t i = 0; i < n_; ++i)
                for (std::size_t a = 0; a < m; ++a) {
                    jtr[a] += jac[i * m + a] * r[i];
                    for (std::size_t b = 0; b <= a; ++b) jtj[a][b] += jac[i * m + a] * jac[i * m + b];
                }
            for (std::size_t a = 0; a < m; ++a)
                for (std::size_t b = a + 1; b < m; ++b) jtj[a][b] = jtj[b][a];
            bool improved = false;
            double step_size = 0;
            while (lambda < 1e12) {
                SmallMatrix<kMaxPkParameters> sys{};
                std::array<double, kMaxPkParameters> step{};
                for (std::size_t a = 0; a < m; ++a) {
                    for (std::size_t b = 0; b < m; ++b) sys[a][b] = jtj[a][b];
                    sys[a][a] += lambda * (jtj[a][a] + 1e-12);
                    step[a] = -jtr[a];
                }
                if (!solve_small(sys, step, m)) {
                    lambda *= 10;
                    continue;
                }
                double q[kMaxPkParameters];
                step_size = 0;
                for (std::size_t a = 0; a < m; ++a) {
                    q[a] = std::clamp(p[a] + step[a] * scale_[a], bounds_[a].low, bounds_[a].high);
                    step_size = std::max(step_size, std::fabs(q[a] - p[a]) / scale_[a]);
                }
                const double c = cost(q);
                if (c < best) {
                    const double gain = best - c;
                    std::copy(q, q + m, p);
                    best = c;
                    lambda = std::max(lambda / 10, 1e-12);
                    improved = true;
                    if (gain <= 1e-12 * best || step_size < 1e-10) return finish(p, best);
                    break;
                }
                lambda *= 10;
            }
            if (!improved) break;
        }
        return finish(p, best);
    }

private:
    double finish(const double* p, double best) {
        evaluate(p);  // leaves the curve of the best parameters
        return best;
    }

    void evaluate(const double* p) {
        const double* input = shifted_.data();
        if (fit_delay_) {
            delayed_input(t_, cp_, n_, p[m_ - 1], shifted_.data());
        }
        forward_on(model_, p, t_, input, n_, model_out_.data(), scratch_.data());
    }

    PkModel model_;
    const double *t_, *cp_, *ct_;
    std::size_t n_, m_ = 0;
    bool fit_delay_;
    double fixed_delay_;
    Bound bounds_[kMaxPkParameters]{};
    double scale_[kMaxPkParameters]{};
    std::vector<double> shifted_, model_out_, scratch_;
};

// Patlak by linear least squares on cp and its running integral, for a given delay.
double patlak_linear(const double* t, const double* cp, const double* ct, std::size_t n, double delay, double* p) {
    std::vector<double> shifted(n), integral(n);
    delayed_input(t, cp, n, delay, shifted.data());
    convolve_exp(t, shifted.data(), n, 0.0, integral.data());
    double sxx = 0, sxy = 0, syy = 0, sxc = 0, syc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = integral[i] / 60, y = shifted[i];  // the integral's weight is PS per minute
        sxx += x * x, sxy += x * y, syy += y * y, sxc += x * ct[i], syc += y * ct[i];
    }
    const double det = sxx * syy - sxy * sxy;
    if (!(std::fabs(det) > 1e-300)) return std::numeric_limits<double>::infinity();
    p[0] = (sxc * syy - syc * sxy) / det;
    p[1] = (syc * sxx - sxc * sxy) / det;
    double s = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double r = p[0] * integral[i] / 60 + p[1] * shifted[i] - ct[i];
        s += r * r;
    }
    return s;
}

bool finite_curves(const double* t, const double* cp, const double* ct, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(t[i]) || !std::isfinite(cp[i]) || !std::isfinite(ct[i]) || (i && t[i] < t[i - 1]))
            return false;
    return n >= 2;
}

}  // namespace

std::optional<PkModel> pk_model(std::string_view name) {
    std::string lower(name);
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "tofts") return PkModel::kTofts;
    if (lower == "extended_tofts" || lower == "etofts") return PkModel::kExtendedTofts;
    if (lower == "patlak") return PkModel::kPatlak;
    if (lower == "2cxm") return PkModel::kExchange;
    if (lower == "2cum") return PkModel::kUptake;
    return std::nullopt;
}

std::span<const std::string_view> pk_parameter_names(PkModel model) {
    switch (model) {
    case PkModel::kTofts: return kTofts;
    case PkModel::kExtendedTofts: return kExtended;
    case PkModel::kPatlak: return kPatlak;
    case PkModel::kExchange: return kExchange;
    case PkModel::kUptake: return kUptake;
    }
    return {};
}

void pk_forward(PkModel model, const double* params, const double* t, const double* cp, std::size_t n,
                double delay_s, double* out) {
    std::vector<double> shifted(n), scratch(n);
    delayed_input(t, cp, n, delay_s, shifted.data());
    forward_on(model, params, t, shifted.data(), n, out, scratch.data());
}

PkFit pk_fit_curve(PkModel model, const double* t, const double* cp, const double* ct, std::size_t n,
                   const PkFitOptions& options) {
    PkFit fit;
    if (!finite_curves(t, cp, ct, n)) return fit;
    const std::size_t k = pk_parameter_names(model).size();
    double best = std::numeric_limits<double>::infinity();
    if (model == PkModel::kPatlak) {
        double p[2];
        if (!options.fit_delay) {
            best = patlak_linear(t, cp, ct, n, 0.0, p);
            fit.params[0] = p[0], fit.params[1] = p[1];
        } else {
            for (int step = -100; step <= 100; ++step) {  // 0.1 s over [-10, 10] s
                const double delay = step / 10.0;
                const double s = patlak_linear(t, cp, ct, n, delay, p);
                if (s < best) best = s, fit.params[0] = p[0], fit.params[1] = p[1], fit.params[k] = delay;
            }
        }
    } else {
        auto start = [&](double* p) {
            for (std::size_t j = 0; j < k; ++j) p[j] = bound_of(pk_parameter_names(model)[j]).start;
        };
        double delay = 0;
        if (options.fit_delay) {
            // The delay's cost has a minimum per sampling step: a coarse grid finds the right one.
            for (int d = -10; d <= 10; ++d) {
                double p[kMaxPkParameters];
                start(p);
                Problem fixed(model, t, cp, ct, n, false, double(d));
                const double s = fixed.minimise(p);
                if (s < best) best = s, delay = d, std::copy(p, p + k, fit.params.begin());
            }
            Problem free(model, t, cp, ct, n, true, 0.0);
            double p[kMaxPkParameters];
            std::copy(fit.params.begin(), fit.params.begin() + k, p);
            p[k] = delay;
            const double s = free.minimise(p);
            if (s <= best) best = s, std::copy(p, p + k + 1, fit.params.begin());
            else fit.params[k] = delay;
        } else {
            double p[kMaxPkParameters];
            start(p);
            Problem fixed(model, t, cp, ct, n, false, 0.0);
            best = fixed.minimise(p);
            std::copy(p, p + k, fit.params.begin());
        }
    }
    fit.ok = std::isfinite(best);
    fit.rmse = fit.ok ? std::sqrt(best / double(n)) : 0.0;
    return fit;
}

PkMaps pk_fit_voxels(PkModel model, const float* conc, std::size_t frames, std::size_t voxels, const double* t,
                     const double* cp, const std::uint8_t* mask, const PkFitOptions& options) {
    const std::size_t k = pk_parameter_names(model).size() + (options.fit_delay ? 1 : 0);
    PkMaps maps;
    maps.params.assign(k, std::vector<float>(voxels, 0.0f));
    maps.rmse.assign(voxels, 0.0f);
    constexpr std::size_t kChunk = 64;
    const std::size_t chunks = (voxels + kChunk - 1) / kChunk;
    std::atomic<std::size_t> fitted{0};
    parallel_for(chunks, [&](std::size_t c) {
        std::vector<double> curve(frames);
        std::size_t here = 0;
        for (std::size_t v = c * kChunk; v < std::min(voxels, (c + 1) * kChunk); ++v) {
            if (mask && !mask[v]) continue;
            for (std::size_t i = 0; i < frames; ++i) curve[i] = conc[i * voxels + v];
            const PkFit f = pk_fit_curve(model, t, cp, curve.data(), frames, options);
            if (!f.ok) continue;
            for (std::size_t j = 0; j < k; ++j) maps.params[j][v] = float(f.params[j]);
            maps.rmse[v] = float(f.rmse);
            ++here;
        }
        fitted += here;
    });
    maps.fitted = fitted;
    return maps;
}

}  // namespace loamwerk::perfusion
