#include "perfusion/tic.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace loamwerk::perfusion {

namespace {

// The relative enhancement at time x, linear between samples.
double at(const std::vector<double>& re, const double* t, std::size_t n, double x) {
    if (x <= t[0]) return re[0];
    if (x >= t[n - 1]) return re[n - 1];
    const std::size_t j = std::size_t(std::upper_bound(t, t + n, x) - t);
    const double w = (x - t[j - 1]) / (t[j] - t[j - 1]);
    return re[j - 1] + w * (re[j] - re[j - 1]);
}

// Trapezoidal area of the relative enhancement from a to b, the ends interpolated.
double area(const std::vector<double>& re, const double* t, std::size_t n, double a, double b) {
    a = std::max(a, t[0]), b = std::min(b, t[n - 1]);
    if (!(b > a)) return 0;
    double sum = 0, x0 = a, y0 = at(re, t, n, a);
    for (std::size_t i = 0; i < n; ++i) {
        if (t[i] <= a) continue;
        const double x1 = std::min(t[i], b), y1 = at(re, t, n, x1);
        sum += 0.5 * (y0 + y1) * (x1 - x0);
        x0 = x1, y0 = y1;
        if (t[i] >= b) break;
    }
    return sum;
}

}  // namespace

TicMetrics tic_metrics(const double* s, const double* t, std::size_t n, const TicOptions& o) {
    if (n < 3) throw std::invalid_argument("tic_metrics: the curve needs at least 3 samples");
    if (o.baseline < 1 || std::size_t(o.baseline) >= n)
        throw std::invalid_argument("tic_metrics: baseline must be at least 1 and leave samples after it");
    if (!(o.early_s > 0)) throw std::invalid_argument("tic_metrics: early_s must be > 0");
    for (std::size_t i = 0; i < n; ++i)
        if (!std::isfinite(s[i]) || !std::isfinite(t[i]) || (i && !(t[i] > t[i - 1])))
            throw std::invalid_argument("tic_metrics: signal and times must be finite, times increasing");
    TicMetrics m;
    for (long i = 0; i < o.baseline; ++i) m.s0 += s[i];
    m.s0 /= double(o.baseline);
    if (!(m.s0 > 0)) throw std::invalid_argument("tic_metrics: the baseline mean S0 must be positive");
    std::vector<double> re(n);
    for (std::size_t i = 0; i < n; ++i) re[i] = (s[i] - m.s0) / m.s0;
    const std::size_t peak = std::size_t(std::max_element(re.begin() + o.baseline, re.end()) - re.begin());
    m.peak_s = t[peak];
    // Bolus arrival: the first crossing of 10 % of the peak enhancement after the baseline.
    const double level = 0.1 * re[peak];
    m.bolus_arrival_s = t[o.baseline];
    for (std::size_t i = std::size_t(o.baseline); i <= peak; ++i)
        if (re[i] >= level) {
            const double prev = re[i - 1];
            m.bolus_arrival_s = re[i] > prev ? t[i - 1] + (level - prev) / (re[i] - prev) * (t[i] - t[i - 1]) : t[i];
            m.bolus_arrival_s = std::max(m.bolus_arrival_s, t[i - 1]);
            break;
        }
    m.time_to_peak_s = m.peak_s - m.bolus_arrival_s;
    // The initial phase: its largest sample within early_s of arrival, or the first after arrival.
    std::size_t initial = n;
    for (std::size_t i = std::size_t(o.baseline); i < n; ++i) {
        if (t[i] < m.bolus_arrival_s) continue;
        if (initial == n) initial = i;
        else if (t[i] <= m.bolus_arrival_s + o.early_s && re[i] > re[initial]) initial = i;
    }
    if (initial == n) initial = peak;
    m.initial_s = t[initial];
    m.initial_enhancement_pct = 100 * re[initial];
    // Classes compare at a rounding's distance from the thresholds: a value at one is in the middle class.
    constexpr double kEps = 1e-9;
    m.initial_class = m.initial_enhancement_pct < 50 - kEps ? "slow" : m.initial_enhancement_pct > 100 + kEps ? "rapid" : "medium";
    const double last = s[n - 1], first = s[initial];
    m.delayed_change_pct = 100 * (last - first) / first;
    m.delayed_type = m.delayed_change_pct > 10 + kEps ? "persistent" : m.delayed_change_pct < -10 - kEps ? "washout" : "plateau";
    m.ser = last != m.s0 ? (first - m.s0) / (last - m.s0) : std::numeric_limits<double>::quiet_NaN();
    m.wash_in_pct_per_s = m.initial_s > m.bolus_arrival_s ? m.initial_enhancement_pct / (m.initial_s - m.bolus_arrival_s) : 0.0;
    m.wash_out_pct_per_s = t[n - 1] > m.initial_s ? 100 * (re[n - 1] - re[initial]) / (t[n - 1] - m.initial_s) : 0.0;
    m.auc = area(re, t, n, t[0], t[n - 1]);
    for (double span : o.iauc_times_s) m.iauc.push_back(area(re, t, n, m.bolus_arrival_s, m.bolus_arrival_s + span));
    return m;
}

}  // namespace loamwerk::perfusion
