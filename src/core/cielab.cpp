#include "core/cielab.hpp"

#include <algorithm>
#include <cmath>

namespace loamwerk {

namespace {

constexpr double kWhite[3] = {0.95047, 1.0, 1.08883};  // D65, Y = 1
constexpr double kDelta = 6.0 / 29.0;

double srgb_linear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }

double lab_f(double t) { return t > 216.0 / 24389.0 ? std::cbrt(t) : t / (3 * kDelta * kDelta) + 4.0 / 29.0; }

double lab_f_inverse(double f) { return f > kDelta ? f * f * f : 3 * kDelta * kDelta * (f - 4.0 / 29.0); }

std::uint16_t clamp16(double v) { return std::uint16_t(std::clamp(v, 0.0, 65535.0)); }

}  // namespace

void rgb_to_cielab16(const std::uint8_t rgb[3], std::uint16_t out[3]) {
    const double r = srgb_linear(rgb[0] / 255.0), g = srgb_linear(rgb[1] / 255.0), b = srgb_linear(rgb[2] / 255.0);
    const double x = 0.4124564 * r + 0.3575761 * g + 0.1804375 * b;
    const double y = 0.2126729 * r + 0.7151522 * g + 0.0721750 * b;
    const double z = 0.0193339 * r + 0.1191920 * g + 0.9503041 * b;
    const double fx = lab_f(x / kWhite[0]), fy = lab_f(y / kWhite[1]), fz = lab_f(z / kWhite[2]);
    const double L = 116 * fy - 16, a = 500 * (fx - fy), bb = 200 * (fy - fz);
    out[0] = clamp16(L * 655.35 + 0.5);
    out[1] = clamp16((a + 128) * 257 + 0.5);
    out[2] = clamp16((bb + 128) * 257 + 0.5);
}

void cielab16_to_rgb(const std::uint16_t lab[3], std::uint8_t out[3]) {
    const double L = lab[0] * 100.0 / 65535.0, a = lab[1] * 255.0 / 65535.0 - 128, b = lab[2] * 255.0 / 65535.0 - 128;
    const double fy = (L + 16) / 116, fx = fy + a / 500, fz = fy - b / 200;
    const double X = kWhite[0] * lab_f_inverse(fx), Y = kWhite[1] * lab_f_inverse(fy), Z = kWhite[2] * lab_f_inverse(fz);
    const double lin[3] = {3.2404542 * X - 1.5371385 * Y - 0.4985314 * Z,
                           -0.969266 * X + 1.8760108 * Y + 0.041556 * Z,
                           0.0556434 * X - 0.2040259 * Y + 1.0572252 * Z};
    for (int i = 0; i < 3; ++i) {
        const double c = std::clamp(lin[i], 0.0, 1.0);
        const double s = c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1 / 2.4) - 0.055;
        out[i] = std::uint8_t(std::clamp(s * 255 + 0.5, 0.0, 255.0));
    }
}

}  // namespace loamwerk
