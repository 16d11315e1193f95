// Time-intensity curve metrics of a DCE signal curve: enhancement, its kinetics class (breast MRI's
// initial-phase and delayed-phase types), signal enhancement ratio, slopes and areas.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace loamwerk::perfusion {

struct TicOptions {
    long baseline = 1;                 // pre-contrast samples; S0 is their mean
    double early_s = 120;              // the initial phase: this long after bolus arrival
    std::vector<double> iauc_times_s;  // initial areas from bolus arrival to arrival + each time
};

struct TicMetrics {
    double s0 = 0;
    double bolus_arrival_s = 0;      // the curve first reaches S0 + 10 % of its peak enhancement
    double peak_s = 0, time_to_peak_s = 0;  // the maximum, and its time after bolus arrival
    double initial_enhancement_pct = 0;     // the largest (S - S0) / S0 of the initial phase
    double initial_s = 0;                   // when the initial phase reaches it
    std::string initial_class;              // "slow" < 50 %, "medium" 50 to 100 %, "rapid" > 100 %
    double delayed_change_pct = 0;          // the last sample against the initial-phase peak
    std::string delayed_type;               // "persistent" > +10 %, "plateau", "washout" < -10 %
    double ser = 0;                         // (S_initial - S0) / (S_last - S0)
    double wash_in_pct_per_s = 0, wash_out_pct_per_s = 0;
    double auc = 0;                         // of (S - S0) / S0 over the whole curve, seconds
    std::vector<double> iauc;               // of (S - S0) / S0 from arrival, one per iauc time
};

// Throws std::invalid_argument for curves it cannot read (sizes, times, baseline, S0).
TicMetrics tic_metrics(const double* signal, const double* t, std::size_t n, const TicOptions& options);

}  // namespace loamwerk::perfusion
