#include "reg/registration.hpp"

#include <cmath>
#include <stdexcept>

namespace loamwerk::reg {

Matrix multiply(const Matrix& a, const Matrix& b) {
    Matrix out{};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            double s = 0;
            for (int k = 0; k < 4; ++k) s += a[std::size_t(4 * r + k)] * b[std::size_t(4 * k + c)];
            out[std::size_t(4 * r + c)] = s;
        }
    return out;
}

Matrix invert(const Matrix& m) {
    // [L t; 0 1]^-1 = [L^-1, -L^-1 t; 0 1]
    const double a = m[0], b = m[1], c = m[2], d = m[4], e = m[5], f = m[6], g = m[8], h = m[9], i = m[10];
    const double det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
    if (!std::isfinite(det) || std::fabs(det) < 1e-12)
        throw std::invalid_argument("the registration matrix is singular and has no inverse");
    const double inv[9] = {(e * i - f * h) / det, (c * h - b * i) / det, (b * f - c * e) / det,
                           (f * g - d * i) / det, (a * i - c * g) / det, (c * d - a * f) / det,
                           (d * h - e * g) / det, (b * g - a * h) / det, (a * e - b * d) / det};
    Matrix out{};
    for (int r = 0; r < 3; ++r) {
        for (int k = 0; k < 3; ++k) out[std::size_t(4 * r + k)] = inv[3 * r + k];
        out[std::size_t(4 * r + 3)] = -(inv[3 * r] * m[3] + inv[3 * r + 1] * m[7] + inv[3 * r + 2] * m[11]);
    }
    out[15] = 1;
    return out;
}

std::string matrix_type(const Matrix& m) {
    bool unit = true, orthogonal = true;
    for (int a = 0; a < 3; ++a)
        for (int b = a; b < 3; ++b) {
            const double dot = m[std::size_t(4 * a)] * m[std::size_t(4 * b)] + m[std::size_t(4 * a + 1)] * m[std::size_t(4 * b + 1)] +
                               m[std::size_t(4 * a + 2)] * m[std::size_t(4 * b + 2)];
            if (a == b) unit &= std::fabs(dot - 1) <= 1e-4;
            else orthogonal &= std::fabs(dot) <= 1e-4;
        }
    return orthogonal ? (unit ? "RIGID" : "RIGID_SCALE") : "AFFINE";
}

Matrix composite(const Item& item) {
    Matrix m = kIdentity;
    for (const Step& s : item.matrices) m = multiply(s.matrix, m);  // each later step applies after
    return m;
}

Transform transform_between(const Registration& r, const std::string& from, const std::string& to) {
    if (from == to) return {kIdentity, nullptr};
    const std::string& registered = r.frame_of_reference_uid;
    const Item* source_from = nullptr;
    const Item* source_to = nullptr;
    for (const Item& item : r.items) {
        if (item.source_frame == from && !source_from) source_from = &item;
        if (item.source_frame == to && !source_to) source_to = &item;
    }
    if (r.deformable) {
        if (from == registered && source_to) {
            if (!source_to->grid) {
                const Matrix pre = source_to->pre ? source_to->pre->matrix : kIdentity;
                const Matrix post = source_to->post ? source_to->post->matrix : kIdentity;
                return {multiply(post, pre), nullptr};
            }
            return {std::nullopt, source_to};
        }
        if (to == registered && source_from)
            throw std::invalid_argument("the deformation runs from the registered frame " + registered + " to " + from +
                                        "; the object does not hold its inverse");
        throw std::invalid_argument("no registration of this object relates frame " + from + " to frame " + to);
    }
    if (source_from && to == registered) return {composite(*source_from), nullptr};
    if (source_to && from == registered) return {invert(composite(*source_to)), nullptr};
    if (source_from && source_to) return {multiply(invert(composite(*source_to)), composite(*source_from)), nullptr};
    throw std::invalid_argument("no registration of this object relates frame " + from + " to frame " + to);
}

}  // namespace loamwerk::reg
