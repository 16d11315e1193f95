#include "radiomics/geospatial.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <complex>

#include "core/limits.hpp"
#include "core/parallel.hpp"
#include "radiomics/fft.hpp"

namespace loamwerk::radiomics {
namespace {

struct Box {
    std::array<std::size_t, 3> lo{}, n{};  // z, y, x
};

Box roi_box(const std::vector<std::uint8_t>& roi, const Dims& dims) {
    const MaskBox m = mask_box(roi.data(), dims);
    Box b;
    for (int a = 0; a < 3; ++a) b.lo[a] = m.lo[a], b.n[a] = m.hi[a] - m.lo[a] + 1;
    return b;
}

// Pairs summed directly, each unordered pair once: the weights, the Moran and the Geary sums.
std::array<double, 3> direct_sums(const std::vector<double>& x, const std::vector<double>& y, const std::vector<double>& z,
                                  const std::vector<double>& d) {
    const std::size_t m = d.size();
    const std::size_t blocks = std::min<std::size_t>(m, 256);
    std::vector<std::array<double, 3>> part(blocks, {0, 0, 0});
    const double *px = x.data(), *py = y.data(), *pz = z.data(), *pd = d.data();
    parallel_for(blocks, [&](std::size_t b) {
        double w = 0, moran = 0, geary = 0;
        // Interleaved rows balance the triangle's work between blocks.
        for (std::size_t i = b; i < m; i += blocks) {
            const double xi = px[i], yi = py[i], zi = pz[i], di = pd[i];
            double wi = 0, mi = 0, gi = 0;
            for (std::size_t j = i + 1; j < m; ++j) {
                const double dx = xi - px[j], dy = yi - py[j], dz = zi - pz[j];
                const double wij = 1.0 / std::sqrt(dx * dx + dy * dy + dz * dz);
                const double dd = di - pd[j];
                wi += wij, mi += wij * pd[j], gi += wij * dd * dd;
            }
            w += wi, moran += di * mi, geary += gi;
        }
        part[b] = {w, moran, geary};
    });
    std::array<double, 3> sum = {0, 0, 0};
    for (const auto& q : part)
        for (int k = 0; k < 3; ++k) sum[k] += q[k];
    return sum;
}

// The sums over ordered pairs as convolutions: with w the weights by offset, m the mask and d
// the deviations, sum w = m.(w*m), Moran's = d.(w*d), Geary's = 2 d^2.(w*m) - 2 d.(w*d). One
// complex transform carries m + i d; w is even, so its transform is real.
std::array<double, 3> convolved_sums(const std::vector<double>& image, const std::vector<std::uint8_t>& roi,
                                     const Dims& dims, const Spacing& spacing, const Box& box, double mu,
                                     const std::array<std::size_t, 3>& p) {
    const std::size_t total = p[0] * p[1] * p[2];
    std::vector<Complex> field(total), kernel(total);
    for (std::size_t z = 0; z < box.n[0]; ++z)
        for (std::size_t y = 0; y < box.n[1]; ++y)
            for (std::size_t x = 0; x < box.n[2]; ++x) {
                const std::size_t i = ((box.lo[0] + z) * dims[1] + box.lo[1] + y) * dims[2] + box.lo[2] + x;
                if (roi[i]) field[(z * p[1] + y) * p[2] + x] = Complex(1.0, image[i] - mu);
            }
    const auto wrap = [](long o, std::size_t period) { return std::size_t(o < 0 ? o + long(period) : o); };
    for (long z = 1 - long(box.n[0]); z < long(box.n[0]); ++z)
        for (long y = 1 - long(box.n[1]); y < long(box.n[1]); ++y)
            for (long x = 1 - long(box.n[2]); x < long(box.n[2]); ++x) {
                if (!z && !y && !x) continue;
                const double r = std::sqrt(std::pow(z * spacing[0], 2) + std::pow(y * spacing[1], 2) + std::pow(x * spacing[2], 2));
                kernel[(wrap(z, p[0]) * p[1] + wrap(y, p[1])) * p[2] + wrap(x, p[2])] = 1 / r;
            }
    fft(field, p, {true, true, true}, false);
    fft(kernel, p, {true, true, true}, false);
    for (std::size_t i = 0; i < total; ++i) field[i] *= kernel[i].real() / double(total);
    fft(field, p, {true, true, true}, true);
    double w = 0, moran = 0, spread = 0;
    for (std::size_t z = 0; z < box.n[0]; ++z)
        for (std::size_t y = 0; y < box.n[1]; ++y)
            for (std::size_t x = 0; x < box.n[2]; ++x) {
                const std::size_t i = ((box.lo[0] + z) * dims[1] + box.lo[1] + y) * dims[2] + box.lo[2] + x;
                if (!roi[i]) continue;
                const Complex c = field[(z * p[1] + y) * p[2] + x];
                const double d = image[i] - mu;
                w += c.real(), moran += d * c.imag(), spread += d * d * c.real();
            }
    return {w, moran, 2 * spread - 2 * moran};
}

}  // namespace

Autocorrelation autocorrelation(const std::vector<double>& image, const std::vector<std::uint8_t>& roi,
                                const Dims& dims, const Spacing& spacing) {
    double n = 0, mu = 0;
    for (std::size_t i = 0; i < roi.size(); ++i)
        if (roi[i]) ++n, mu += image[i];
    mu /= n;
    double ss = 0;
    for (std::size_t i = 0; i < roi.size(); ++i)
        if (roi[i]) ss += (image[i] - mu) * (image[i] - mu);
    if (n < 2 || ss <= 0) return {NAN, NAN};
    const Box box = roi_box(roi, dims);
    std::array<std::size_t, 3> p{};
    long double transform_cost = 1;
    for (int a = 0; a < 3; ++a) p[a] = std::bit_ceil(2 * box.n[a] - 1), transform_cost *= p[a];
    const long double bytes = transform_cost * 2 * sizeof(Complex);
    transform_cost *= 3 * std::log2(double(transform_cost)) * 4;
    // Directly when the pairs are few; by transforms when they cost less and fit in memory.
    if ((long double)(n) * n / 2 <= transform_cost) {
        std::vector<double> xs, ys, zs, d;
        for (std::size_t i = 0; i < roi.size(); ++i)
            if (roi[i]) {
                xs.push_back(double(i % dims[2]) * spacing[2]), ys.push_back(double(i / dims[2] % dims[1]) * spacing[1]);
                zs.push_back(double(i / (dims[1] * dims[2])) * spacing[0]), d.push_back(image[i] - mu);
            }
        const auto [w, moran, geary] = direct_sums(xs, ys, zs, d);
        // Unordered pairs: the weights' sum and both numerators are half the ordered ones.
        return {n / w * moran / ss, (n - 1) * geary / (2 * w * ss)};
    }
    if (!limits::output_refusal(bytes, roi.size() * 9).empty()) return {NAN, NAN};
    const auto [w, moran, geary] = convolved_sums(image, roi, dims, spacing, box, mu, p);
    return {n / w * moran / ss, (n - 1) / (2 * w) * geary / ss};
}

}  // namespace loamwerk::radiomics
