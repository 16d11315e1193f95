#include "radiomics/prepare.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/limits.hpp"
#include "radiomics/filters.hpp"

namespace loamwerk::radiomics {
namespace {

constexpr const char* kAxis[3] = {"z", "y", "x"};

// One axis resampled: count samples at start + k * step (in the old grid's index units).
std::vector<double> resample_axis(const std::vector<double>& in, Dims& dims, int axis, std::size_t count, double start,
                                  double step, Interpolation kind) {
    const std::size_t n = dims[axis];
    const std::size_t inner = axis == 2 ? 1 : axis == 1 ? dims[2] : dims[1] * dims[2];
    const std::size_t outer = voxel_count(dims) / (n * inner);
    std::vector<double> coeff;
    const std::vector<double>* src = &in;
    if (kind == Interpolation::kCubic && n > 1) {
        // Cubic B-spline coefficients along the axis (mirror boundaries), so that the spline
        // passes through the samples.
        coeff = in;
        const double z = std::sqrt(3.0) - 2.0;
        std::vector<double> line(n);
        for (std::size_t o = 0; o < outer; ++o)
            for (std::size_t i = 0; i < inner; ++i) {
                double* base = coeff.data() + o * n * inner + i;
                for (std::size_t k = 0; k < n; ++k) line[k] = base[k * inner] * 6.0;
                double sum = 0, zk = 1;
                const std::size_t horizon = std::min<std::size_t>(n, 40);
                for (std::size_t k = 0; k < horizon; ++k, zk *= z) sum += zk * line[k];
                line[0] = sum;
                for (std::size_t k = 1; k < n; ++k) line[k] += z * line[k - 1];
                line[n - 1] = z / (z * z - 1) * (line[n - 1] + z * line[n - 2]);
                for (std::size_t k = n - 1; k-- > 0;) line[k] = z * (line[k + 1] - line[k]);
                for (std::size_t k = 0; k < n; ++k) base[k * inner] = line[k];
            }
        src = &coeff;
    }
    const auto mirror = [n](long i) {
        if (n == 1) return 0L;
        const long period = 2 * long(n) - 2;
        i = ((i % period) + period) % period;
        return i < long(n) ? i : period - i;
    };
    struct Tap {
        std::size_t index[4];
        double weight[4];
        int taps;
    };
    std::vector<Tap> taps(count);
    for (std::size_t k = 0; k < count; ++k) {
        const double x = std::clamp(start + double(k) * step, 0.0, double(n - 1));
        Tap& t = taps[k];
        if (kind == Interpolation::kNearest || n == 1) {
            t.taps = 1, t.index[0] = std::size_t(std::floor(x + 0.5)), t.weight[0] = 1;
        } else if (kind == Interpolation::kLinear) {
            const std::size_t i = std::min<std::size_t>(std::size_t(x), n - 2);
            const double f = x - double(i);
            t.taps = 2, t.index[0] = i, t.index[1] = i + 1, t.weight[0] = 1 - f, t.weight[1] = f;
        } else {
            const long i = long(std::floor(x));
            const double f = x - double(i), g = 1 - f;
            t.taps = 4;
            t.weight[0] = g * g * g / 6, t.weight[3] = f * f * f / 6;
            t.weight[1] = (4 - 6 * f * f + 3 * f * f * f) / 6;
            t.weight[2] = 1 - t.weight[0] - t.weight[1] - t.weight[3];
            for (int j = 0; j < 4; ++j) t.index[j] = std::size_t(mirror(i - 1 + j));
        }
    }
    Dims out_dims = dims;
    out_dims[axis] = count;
    std::vector<double> out(voxel_count(out_dims));
    for (std::size_t o = 0; o < outer; ++o)
        for (std::size_t k = 0; k < count; ++k) {
            const Tap& t = taps[k];
            double* dst = out.data() + (o * count + k) * inner;
            for (std::size_t i = 0; i < inner; ++i) {
                const double* s = src->data() + o * n * inner + i;
                double v = 0;
                for (int j = 0; j < t.taps; ++j) v += t.weight[j] * s[t.index[j] * inner];
                dst[i] = v;
            }
        }
    dims = out_dims;
    return out;
}

void check_settings(const Settings& s) {
    for (int a = 0; a < 3; ++a)
        if (!(s.resample[a] >= 0) || !std::isfinite(s.resample[a]))
            throw std::invalid_argument(std::string("the resampled spacing along ") + kAxis[a] + " must be 0 (keep) or positive");
    const auto check = [](const Discretisation& d, const char* what) {
        if (d.kind == Binning::kWidth && !(d.width > 0 && std::isfinite(d.width)))
            throw std::invalid_argument(std::string(what) + " bin width must be positive");
        if (d.kind == Binning::kCount && (d.count < 1 || d.count > 65536))
            throw std::invalid_argument(std::string(what) + " bin count must be 1 to 65536");
    };
    check(s.texture, "the");
    check(s.ivh, "the intensity-volume histogram's");
    if (s.resegment_min > s.resegment_max)
        throw std::invalid_argument("the re-segmentation range's lower bound is above its upper bound");
    if (s.outlier_sigma < 0) throw std::invalid_argument("the outlier filter's sigma must not be negative");
    if (s.distance < 1 || s.distance > 16) throw std::invalid_argument("the neighbourhood distance must be 1 to 16");
    if (s.ngldm_alpha < 0) throw std::invalid_argument("the NGLDM coarseness must not be negative");
    if (!(s.mask_threshold > 0 && s.mask_threshold <= 1)) throw std::invalid_argument("the mask threshold must be above 0 and at most 1");
    if (!(s.peak_volume_mm3 > 0) || !std::isfinite(s.peak_volume_mm3))
        throw std::invalid_argument("the local intensity peak's volume must be positive");
}

void check_grid(const Dims& dims, const Spacing& spacing) {
    for (int a = 0; a < 3; ++a) {
        if (dims[a] == 0) throw std::invalid_argument("the image is empty");
        if (!(spacing[a] > 0) || !std::isfinite(spacing[a]))
            throw std::invalid_argument(std::string("the spacing along ") + kAxis[a] + " must be positive");
    }
}

void check_region(const MaskBox& box) {
    if (box.count == 0) throw std::invalid_argument("the mask is empty: no voxel of the region of interest");
}

void check_value(double v) {
    if (!std::isfinite(v)) throw std::invalid_argument("the image holds a NaN or infinite value inside the mask");
}

// NaN and infinite voxels outside the mask (a background many maps leave undefined) take the
// ROI's lowest intensity, so that resampling and peaks do not carry them in; counted in the
// diagnostics.
void replace_nonfinite(Prepared& p, const std::uint8_t* mask) {
    double lo = INFINITY;
    for (std::size_t i = 0; i < p.image.size(); ++i)
        if (mask[i]) lo = std::min(lo, p.image[i]);
    std::size_t replaced = 0;
    for (double& v : p.image)
        if (!std::isfinite(v)) v = lo, ++replaced;
    p.nonfinite_replaced = replaced;
}

void input_statistics(Prepared& p, const double* image, std::size_t n) {
    double lo = INFINITY, hi = -INFINITY, sum = 0, count = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (std::isfinite(image[i])) lo = std::min(lo, image[i]), hi = std::max(hi, image[i]), sum += image[i], ++count;
    p.input_min = lo, p.input_max = hi, p.input_mean = sum / count;
    p.full_dims = {0, 0, 0};
}

void bounding_box(const Prepared& p, const std::vector<std::uint8_t>& m, const char* name, Features& out) {
    const MaskBox b = mask_box(m.data(), p.dims);
    for (int a = 2; a >= 0; --a)
        out.emplace_back(std::string(name) + "_bb_dim_" + kAxis[a], b.count ? double(b.hi[a] - b.lo[a] + 1) : 0.0);
    out.emplace_back(std::string(name) + "_vox_count", double(b.count));
}

void finish(Prepared& p, const Settings& settings) {
    // Fixed bin widths count from the re-segmentation range's lower bound where there is one.
    Settings s = settings;
    // Not for a filter's response, which the range does not bound.
    for (Discretisation* d : {&s.texture, &s.ivh})
        if (!std::isfinite(d->lower) && std::isfinite(s.resegment_min) && !s.filter) d->lower = s.resegment_min;
    p.levels = discretise(p.image, p.roi, s.texture, p.grey_levels);
    // The intensity-volume histogram: intensities as they are, or their bins' centres (fixed
    // bin size) or bin numbers (fixed bin count); fractions span the re-segmentation range
    // where it is set.
    double lo = INFINITY, hi = -INFINITY, sum = 0;
    for (std::size_t i = 0; i < p.image.size(); ++i)
        if (p.roi[i]) lo = std::min(lo, p.image[i]), hi = std::max(hi, p.image[i]), sum += p.image[i];
    p.ivh_values.clear();
    if (s.ivh.kind == Binning::kNone) {
        for (std::size_t i = 0; i < p.image.size(); ++i)
            if (p.roi[i]) p.ivh_values.push_back(p.image[i]);
        p.ivh_min = std::isfinite(s.resegment_min) ? s.resegment_min : lo;
        p.ivh_max = std::isfinite(s.resegment_max) ? s.resegment_max : hi;
        // Integer intensities (CT, grey levels) step by one.
        bool integers = true;
        for (double v : p.ivh_values) integers = integers && v == std::floor(v);
        p.ivh_step = integers ? 1 : 0;
    } else {
        int ng = 0;
        const std::vector<std::int32_t> bins = discretise(p.image, p.roi, s.ivh, ng);
        if (s.ivh.kind == Binning::kWidth) {
            const double base = std::isfinite(s.ivh.lower) ? s.ivh.lower : lo;
            for (std::size_t i = 0; i < bins.size(); ++i)
                if (bins[i]) p.ivh_values.push_back(base + (bins[i] - 0.5) * s.ivh.width);
            p.ivh_min = base + 0.5 * s.ivh.width;
            p.ivh_step = s.ivh.width;
            p.ivh_max = std::isfinite(s.resegment_max)
                            ? base + (std::floor((s.resegment_max - base) / s.ivh.width) + 0.5) * s.ivh.width
                            : base + (ng - 0.5) * s.ivh.width;
        } else {
            for (std::int32_t b : bins)
                if (b) p.ivh_values.push_back(b);
            p.ivh_min = 1, p.ivh_max = s.ivh.count, p.ivh_step = 1;
        }
    }
    p.diagnostics.clear();
    if (p.nonfinite_replaced) p.diagnostics.emplace_back("diag_nonfinite_replaced", double(p.nonfinite_replaced));
    for (int a = 2; a >= 0; --a)
        p.diagnostics.emplace_back(std::string("diag_img_dim_") + kAxis[a], double(p.full_dims[a] ? p.full_dims[a] : p.dims[a]));
    for (int a = 2; a >= 0; --a) p.diagnostics.emplace_back(std::string("diag_vox_dim_") + kAxis[a], p.spacing[a]);
    bounding_box(p, p.morph, "diag_morph_mask", p.diagnostics);
    bounding_box(p, p.roi, "diag_int_mask", p.diagnostics);
    const double n = double(p.ivh_values.size());
    p.diagnostics.emplace_back("diag_int_mask_mean_int", n ? sum / n : NAN);
    p.diagnostics.emplace_back("diag_int_mask_min_int", lo);
    p.diagnostics.emplace_back("diag_int_mask_max_int", hi);
    p.diagnostics.emplace_back("diag_grey_levels", p.grey_levels);
}

}  // namespace

std::vector<std::int32_t> discretise(const std::vector<double>& image, const std::vector<std::uint8_t>& roi,
                                     const Discretisation& d, int& grey_levels) {
    double lo = INFINITY, hi = -INFINITY;
    for (std::size_t i = 0; i < image.size(); ++i)
        if (roi[i]) lo = std::min(lo, image[i]), hi = std::max(hi, image[i]);
    std::vector<std::int32_t> out(image.size(), 0);
    grey_levels = 0;
    if (!(lo <= hi)) return out;
    const auto level = [&](double v) -> double {
        switch (d.kind) {
            case Binning::kNone: return v;
            case Binning::kCount:
                return hi > lo ? std::min(std::floor(d.count * (v - lo) / (hi - lo)) + 1, double(d.count)) : 1.0;
            case Binning::kWidth:
                if (d.edges_at_zero) return std::floor(v / d.width) - std::floor(lo / d.width) + 1;
                return std::floor((v - (std::isfinite(d.lower) ? d.lower : lo)) / d.width) + 1;
        }
        return 0;
    };
    for (std::size_t i = 0; i < image.size(); ++i) {
        if (!roi[i]) continue;
        const double l = level(image[i]);
        if (d.kind == Binning::kNone && (!(l >= 1) || l > 1e6 || l != std::floor(l)))
            throw std::invalid_argument("without discretisation the grey levels must be integers from 1 to 1000000");
        if (!(l >= 1)) throw std::invalid_argument("an intensity of the region lies below the first bin's lower bound");
        if (l > 1e6) throw std::invalid_argument("the discretisation gives more than 1000000 grey levels; use a wider bin");
        out[i] = std::int32_t(l);
        grey_levels = std::max(grey_levels, out[i]);
    }
    return out;
}

Prepared prepare(const double* image, const std::uint8_t* mask, const Dims& dims, const Spacing& spacing,
                 const Settings& s) {
    check_settings(s);
    check_grid(dims, spacing);
    const MaskBox box = mask_box(mask, dims);
    check_region(box);
    Prepared p;
    const std::size_t n = voxel_count(dims);
    input_statistics(p, image, n);
    // The resampled grid is an output of the caller's arrays: it may grow as far as the memory limit.
    long double resampled = 1;
    for (int a = 0; a < 3; ++a)
        resampled *= s.resample[a] > 0 ? std::ceil((long double)(dims[a]) * spacing[a] / s.resample[a]) : dims[a];
    if (const std::string refusal = limits::output_refusal(resampled * 24, n * 9); !refusal.empty())
        throw std::invalid_argument("resampling: " + refusal);
    // Only the ROI's box and the context about it that peaks and filters look at are computed:
    // per axis, the new grid's points within reach, from the input's slab that they sample.
    const std::array<std::size_t, 3>&lo = box.lo, &hi = box.hi;
    double context = std::max(s.context_mm, std::cbrt(3 * s.peak_volume_mm3 / (4 * M_PI)));
    Spacing target = spacing;
    for (int a = 0; a < 3; ++a)
        if (s.resample[a] > 0) target[a] = s.resample[a];
    if (s.filter) context = std::max(context, filter_reach_mm(*s.filter, target));
    const double taps = s.image_interpolation == Interpolation::kCubic ? 16 : 2;
    struct Axis {
        std::size_t count, k0, k1, i0, i1;
        double start, step;
    };
    std::array<Axis, 3> ax{};
    for (int a = 0; a < 3; ++a) {
        Axis& g = ax[a];
        const bool resample = s.resample[a] > 0 && s.resample[a] != spacing[a];
        // The new grid's centre is the old one's: n_b = ceil(n_a s_a / s_b) points.
        g.count = resample ? std::size_t(std::ceil(double(dims[a]) * spacing[a] / s.resample[a] - 1e-9)) : dims[a];
        g.step = resample ? s.resample[a] / spacing[a] : 1.0;
        g.start = resample ? (double(dims[a] - 1) - g.step * double(g.count - 1)) / 2 : 0.0;
        const double reach = context / spacing[a] + 1;
        const double first = std::ceil((double(lo[a]) - reach - g.start) / g.step);
        const double last = std::floor((double(hi[a]) + reach - g.start) / g.step);
        g.k0 = std::size_t(std::clamp(first, 0.0, double(g.count - 1)));
        g.k1 = std::size_t(std::clamp(last, double(g.k0), double(g.count - 1))) + 1;
        const double from = resample ? g.start + double(g.k0) * g.step - taps : double(g.k0);
        const double to = resample ? g.start + double(g.k1 - 1) * g.step + taps : double(g.k1 - 1);
        g.i0 = std::size_t(std::clamp(std::floor(from), 0.0, double(dims[a] - 1)));
        g.i1 = std::size_t(std::clamp(std::ceil(to), double(g.i0), double(dims[a] - 1))) + 1;
    }
    p.dims = {ax[0].i1 - ax[0].i0, ax[1].i1 - ax[1].i0, ax[2].i1 - ax[2].i0};
    p.spacing = spacing;
    p.image.resize(voxel_count(p.dims));
    std::vector<std::uint8_t> window(p.image.size());
    for (std::size_t z = 0, j = 0; z < p.dims[0]; ++z)
        for (std::size_t y = 0; y < p.dims[1]; ++y)
            for (std::size_t x = 0; x < p.dims[2]; ++x, ++j) {
                const std::size_t i = ((z + ax[0].i0) * dims[1] + y + ax[1].i0) * dims[2] + x + ax[2].i0;
                p.image[j] = image[i], window[j] = mask[i];
                if (mask[i]) check_value(image[i]);  // the window holds the whole region
            }
    replace_nonfinite(p, window.data());
    std::vector<double> fraction(window.begin(), window.end());
    Dims mask_dims = p.dims;
    for (int a = 0; a < 3; ++a) {
        const Axis& g = ax[a];
        p.full_dims[a] = g.count;
        if (g.step == 1.0 && g.start == 0.0) continue;  // cut to [i0, i1) = [k0, k1) already
        const double start = g.start + double(g.k0) * g.step - double(g.i0);
        p.image = resample_axis(p.image, p.dims, a, g.k1 - g.k0, start, g.step, s.image_interpolation);
        fraction = resample_axis(fraction, mask_dims, a, g.k1 - g.k0, start, g.step, s.mask_interpolation);
        p.spacing[a] = s.resample[a];
    }
    const std::size_t m = voxel_count(p.dims);
    if (s.round_intensities)
        for (double& v : p.image) v = std::nearbyint(v);
    p.morph.resize(m);
    for (std::size_t i = 0; i < m; ++i) p.morph[i] = fraction[i] >= s.mask_threshold - 1e-9 ? 1 : 0;
    if (std::find(p.morph.begin(), p.morph.end(), 1) == p.morph.end())
        throw std::invalid_argument("the mask holds no voxel after resampling");
    p.roi = p.morph;
    for (std::size_t i = 0; i < m; ++i)
        if (p.roi[i] && !(p.image[i] >= s.resegment_min && p.image[i] <= s.resegment_max)) p.roi[i] = 0;
    if (s.outlier_sigma > 0) {
        // Mean and standard deviation of the morphological mask's intensities.
        double sum = 0, sq = 0, k = 0;
        for (std::size_t i = 0; i < m; ++i)
            if (p.morph[i]) sum += p.image[i], sq += p.image[i] * p.image[i], ++k;
        const double mean = sum / k, sd = std::sqrt(std::max(0.0, sq / k - mean * mean));
        for (std::size_t i = 0; i < m; ++i)
            if (p.roi[i] && std::abs(p.image[i] - mean) > s.outlier_sigma * sd) p.roi[i] = 0;
    }
    if (std::find(p.roi.begin(), p.roi.end(), 1) == p.roi.end())
        throw std::invalid_argument("no voxel of the mask lies in the re-segmentation range");
    if (s.filter) {
        FilterSpec f = *s.filter;
        f.abs_max = std::max(std::abs(p.input_min), std::abs(p.input_max));
        p.image = apply_filter(p.image, p.dims, p.spacing, f);
    }
    finish(p, s);
    return p;
}

Prepared with_filter(const Prepared& base, const Settings& settings, const FilterSpec& filter) {
    Prepared p = base;
    FilterSpec f = filter;
    f.abs_max = std::max(std::abs(base.input_min), std::abs(base.input_max));
    p.image = apply_filter(base.image, base.dims, base.spacing, f);
    Settings s = settings;
    s.filter = filter;
    finish(p, s);
    return p;
}

Prepared prepare_levels(const double* image, const std::uint8_t* mask, const Dims& dims, const Spacing& spacing,
                        const Settings& settings) {
    check_settings(settings);
    check_grid(dims, spacing);
    check_region(mask_box(mask, dims));
    Prepared p;
    const std::size_t n = voxel_count(dims);
    p.dims = dims, p.spacing = spacing;
    input_statistics(p, image, n);
    p.image.assign(image, image + n);
    replace_nonfinite(p, mask);
    p.morph.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        p.morph[i] = mask[i] ? 1 : 0;
        if (mask[i]) check_value(image[i]);
    }
    p.roi = p.morph;
    Settings s = settings;
    s.texture = Discretisation{Binning::kNone};
    s.ivh = Discretisation{Binning::kNone};
    s.resegment_min = -INFINITY, s.resegment_max = INFINITY;
    finish(p, s);
    return p;
}

}  // namespace loamwerk::radiomics
