#include "radiomics/fft.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "core/parallel.hpp"

namespace loamwerk::radiomics {
namespace {

// In-place radix-2 transform of every line along one axis of a (P0, P1, P2) array.
void transform_axis(std::vector<Complex>& a, const std::array<std::size_t, 3>& p, int axis, bool inverse) {
    const std::size_t n = p[axis];
    const std::size_t stride = axis == 2 ? 1 : axis == 1 ? p[2] : p[1] * p[2];
    const std::size_t lines = a.size() / n;
    std::vector<Complex> twiddle(n / 2);
    for (std::size_t k = 0; k < n / 2; ++k) twiddle[k] = std::polar(1.0, (inverse ? 2 : -2) * M_PI * double(k) / double(n));
    std::vector<std::size_t> reversed(n, 0);
    for (std::size_t i = 1, bits = std::size_t(std::countr_zero(n)); i < n; ++i)
        reversed[i] = (reversed[i >> 1] >> 1) | ((i & 1) << (bits - 1));
    const std::size_t chunk = 64;
    parallel_for((lines + chunk - 1) / chunk, [&](std::size_t c) {
        std::vector<Complex> line(n);
        for (std::size_t l = c * chunk; l < std::min(lines, (c + 1) * chunk); ++l) {
            // The l-th line: its first element's index, counting lines with the axis left out.
            const std::size_t base = (l / stride) * stride * n + l % stride;
            for (std::size_t i = 0; i < n; ++i) line[reversed[i]] = a[base + i * stride];
            for (std::size_t len = 2; len <= n; len <<= 1)
                for (std::size_t s = 0; s < n; s += len)
                    for (std::size_t k = 0; k < len / 2; ++k) {
                        const Complex t = twiddle[k * (n / len)] * line[s + k + len / 2];
                        line[s + k + len / 2] = line[s + k] - t;
                        line[s + k] += t;
                    }
            for (std::size_t i = 0; i < n; ++i) a[base + i * stride] = line[i];
        }
    });
}

}  // namespace

void fft(std::vector<Complex>& a, const std::array<std::size_t, 3>& p, const std::array<bool, 3>& axes, bool inverse) {
    for (int axis = 0; axis < 3; ++axis)
        if (axes[axis] && p[axis] > 1) transform_axis(a, p, axis, inverse);
}

}  // namespace loamwerk::radiomics
