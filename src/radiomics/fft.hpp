// Fast Fourier transforms of 3D arrays of powers of two along chosen axes (radix 2, lines spread
// over threads), for convolutions with kernels too large to apply directly.
#pragma once

#include <array>
#include <complex>
#include <vector>

namespace loamwerk::radiomics {

using Complex = std::complex<double>;

// In place, unnormalised: a transform and its inverse multiply by the lengths transformed.
void fft(std::vector<Complex>& a, const std::array<std::size_t, 3>& p, const std::array<bool, 3>& axes, bool inverse);

}  // namespace loamwerk::radiomics
