// DCE tracer-kinetic models (Tofts, extended Tofts, Patlak, two-compartment exchange and uptake)
// in the OSIPI code collection's units, and their fits: one curve, or every voxel of a volume.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace loamwerk::perfusion {

enum class PkModel { kTofts, kExtendedTofts, kPatlak, kExchange, kUptake };

// "tofts", "extended_tofts" (or "etofts"), "patlak", "2cxm", "2cum"; any case.
std::optional<PkModel> pk_model(std::string_view name);

// The model's parameters in order, in OSIPI's names and units: Ktrans and PS per minute, ve and vp
// fractions, Fp mL/100 mL/min.
//   tofts: Ktrans, ve   extended_tofts: Ktrans, ve, vp   patlak: PS, vp
//   2cxm: Fp, PS, ve, vp   2cum: Fp, PS, vp
std::span<const std::string_view> pk_parameter_names(PkModel model);

constexpr std::size_t kMaxPkParameters = 5;  // four of a model and the delay
using PkParameters = std::array<double, kMaxPkParameters>;

// The tissue concentration the model gives at times t (seconds, increasing) for the plasma input
// cp sampled at the same times, shifted later by delay_s (linear interpolation, the first and
// last values held beyond the ends). The input is taken as piecewise linear between samples and
// every convolution with an exponential is exact for it.
void pk_forward(PkModel model, const double* params, const double* t, const double* cp, std::size_t n,
                double delay_s, double* out);

struct PkFitOptions {
    bool fit_delay = false;  // the delay as one more parameter, in [-10, 10] s
};

struct PkFit {
    PkParameters params{};  // the model's, then the delay (0 unless fitted)
    double rmse = 0;        // root mean square residual, mM
    bool ok = false;        // a finite curve was fitted
};

// Bounded non-linear least squares (Levenberg-Marquardt, steps projected on the bounds) from
// OSIPI's start values and bounds: Ktrans or PS 0.6 in [0, 5], ve 0.2 in [0, 1], vp 0.01 in
// [0, 1], Fp 20 in [0, 200]; Patlak is linear. A fitted delay starts from the best of a 1 s grid.
PkFit pk_fit_curve(PkModel model, const double* t, const double* cp, const double* ct, std::size_t n,
                   const PkFitOptions& options);

struct PkMaps {
    std::vector<std::vector<float>> params;  // one map a parameter (and the delay when fitted)
    std::vector<float> rmse;
    std::size_t fitted = 0;
};

// Every voxel of conc [T, voxels] (mask: nonzero = fit, optional) on worker threads.
PkMaps pk_fit_voxels(PkModel model, const float* conc, std::size_t frames, std::size_t voxels, const double* t,
                     const double* cp, const std::uint8_t* mask, const PkFitOptions& options);

}  // namespace loamwerk::perfusion
