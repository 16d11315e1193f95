// DSC perfusion: truncated-SVD deconvolution of tissue curves against an arterial input
// function (sSVD, block-circulant cSVD, oscillation-controlled oSVD), and the curve utilities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace loamwerk::perfusion {

enum Method { kSsvd = 0, kCsvd = 1, kOsvd = 2 };
Method parse_method(std::string_view name);
double default_threshold(Method m);

namespace quality {
constexpr unsigned kNonFinite = 1, kBadRegularisation = 2, kAllDiscarded = 4, kNoPositive = 8, kOscillation = 16,
                   kEdgePeak = 32, kTail = 64;
}

struct AifDecomposition {
    std::size_t n = 0, N = 0;
    double dt = 0;
    Method method = kOsvd;
    std::vector<double> U, S, V;  // N x N row-major, N, N x N row-major
};

// Nothing when n < 2, n > 512, dt <= 0, a non-finite AIF sample, or a zero largest singular value.
std::optional<AifDecomposition> decompose_aif(const double* aif, std::size_t n, double dt, Method method);

struct DeconvolutionResult {
    double cbf = 0, cbv = 0, mtt = 0, tmax = 0, oi = 0, frac = 0, cut = 0, tail = 0;
    unsigned quality = 0;
    bool ok = false;
    std::vector<double> residue;
};

// Scratch reused between curves of one AIF (one per thread).
struct DeconvolutionScratch {
    std::vector<double> b, x, best;
};

DeconvolutionResult deconvolve(const AifDecomposition& d, const double* ct, std::size_t n, double reg,
                               DeconvolutionScratch& scratch);
double cbv_ratio(const double* ct, const double* aif, std::size_t n);

// Nothing when the inputs are refused (see signal_to_conc_message).
std::optional<std::vector<double>> signal_to_conc(const double* signal, std::size_t n, long n_baseline, double te_s);
const char* signal_to_conc_message(std::size_t n, long n_baseline, double te_s);
std::vector<double> cumtrapz(const double* x, std::size_t n, double dt);
long first_pass_end(const double* conc, std::size_t n, long baseline, double k_sigma);
struct LeakageResult {
    std::vector<double> corrected;
    double k2 = 0;
};
LeakageResult leakage_correct(const double* ct, const double* ref, std::size_t n, double dt);

// Voxel-wise maps of a [T, Z, Y, X] signal series against an AIF concentration curve: the AIF
// decomposed once, slices on worker threads. Voxels outside `mask` (Z*Y*X, nonzero = inside)
// and voxels whose deconvolution fails are 0.
struct FitMaps {
    std::vector<float> cbf, cbv, mtt, tmax, ttp;
    std::vector<unsigned> quality;
    std::size_t fitted = 0;
};
FitMaps fit_volume(const float* signal, std::size_t t, std::size_t z, std::size_t y, std::size_t x,
                   const double* aif, double dt, double te_s, long n_baseline, Method method, double reg,
                   const std::uint8_t* mask, bool leakage);

}  // namespace loamwerk::perfusion
