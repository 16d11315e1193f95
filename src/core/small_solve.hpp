// Small dense linear systems, as least-squares fits meet them (normal equations of a few unknowns).
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

namespace loamwerk {

template <std::size_t N>
using SmallMatrix = std::array<std::array<double, N>, N>;

// Solves the leading m x m block of a x = b by Gaussian elimination with partial pivoting; b
// becomes x. False, leaving b undefined, when the system is singular: a pivot of zero, or, with a
// relative tolerance, one that vanishes against the matrix's largest entry (rounding leaves a
// rank-deficient system with tiny pivots rather than zeros).
template <std::size_t N>
bool solve_small(SmallMatrix<N> a, std::array<double, N>& b, std::size_t m = N, double relative_tolerance = 0) {
    double largest = 0;
    for (std::size_t r = 0; r < m; ++r)
        for (std::size_t c = 0; c < m; ++c) largest = std::fmax(largest, std::fabs(a[r][c]));
    const double tiny = relative_tolerance * largest;
    for (std::size_t c = 0; c < m; ++c) {
        std::size_t p = c;
        for (std::size_t r = c + 1; r < m; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
        if (!(std::fabs(a[p][c]) > tiny) || !(std::fabs(a[p][c]) > 1e-300)) return false;
        if (p != c) {
            std::swap(a[p], a[c]);
            std::swap(b[p], b[c]);
        }
        for (std::size_t r = c + 1; r < m; ++r) {
            const double f = a[r][c] / a[c][c];
            for (std::size_t k = c; k < m; ++k) a[r][k] -= f * a[c][k];
            b[r] -= f * b[c];
        }
    }
    for (std::size_t c = m; c-- > 0;) {
        double s = b[c];
        for (std::size_t k = c + 1; k < m; ++k) s -= a[c][k] * b[k];
        b[c] = s / a[c][c];
    }
    return true;
}

}  // namespace loamwerk
