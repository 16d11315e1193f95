#include "rt/dvh.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <stdexcept>

#include "core/dataset.hpp"
#include "core/file_io.hpp"
#include "core/values.hpp"
#include "core/tags.hpp"
#include "pixel/decode.hpp"

namespace loamwerk::rt {

namespace {

// A file's data set, whatever its transfer syntax.
Dataset open(std::span<const std::uint8_t> file, const std::string& path) {
    Dataset ds = Dataset::borrow(file);
    if (!ds.readable()) throw std::runtime_error("not a readable DICOM file: " + path);
    return ds;
}

long integer(const ElementRef* e) {
    const auto v = ds_values(e);
    return v.empty() ? 0 : std::lround(v[0]);
}

double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

struct Point2 {
    double u, v;
};

// Even-odd rule over every edge of every polygon of a plane.
bool inside(const std::vector<std::vector<Point2>>& polygons, double u, double v) {
    bool in = false;
    for (const auto& poly : polygons) {
        const std::size_t n = poly.size();
        for (std::size_t i = 0, j = n - 1; i < n; j = i++) {
            const Point2& a = poly[i];
            const Point2& b = poly[j];
            if ((a.v > v) != (b.v > v) && u < (b.u - a.u) * (v - a.v) / (b.v - a.v) + a.u) in = !in;
        }
    }
    return in;
}

}  // namespace

namespace {
// The first three numbers of a contour's data, or nothing when it has fewer than three points.
std::optional<std::array<double, 3>> first_point(const ElementRef* data) {
    if (!data) return std::nullopt;
    const std::string_view text = as_text(data->value, std::size_t(data->length));
    if (std::count(text.begin(), text.end(), '\\') < 8) return std::nullopt;
    std::array<double, 3> p{};
    std::size_t start = 0;
    for (double& v : p) {
        const std::size_t end = text.find('\\', start);
        std::string_view part = text.substr(start, end - start);
        while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
        while (!part.empty() && (part.back() == ' ' || part.back() == '\0')) part.remove_suffix(1);
        if (!part.empty() && part.front() == '+') part.remove_prefix(1);
        if (std::from_chars(part.data(), part.data() + part.size(), v).ec != std::errc()) return std::nullopt;
        start = end + 1;
    }
    return p;
}
}  // namespace

std::vector<Roi> read_rtstruct(const std::string& path, const std::function<bool(const Roi&)>& wanted,
                               const std::function<bool(const std::array<double, 3>&)>& near) {
    const OwnedBuffer file = read_whole_file(path);
    const Dataset ds = open(file.span(), path);
    std::vector<Roi> rois;
    std::map<long, std::size_t> by_number;
    for (const Elements& item : ds.items(tags::kStructureSetROISequence)) {
        Roi r;
        r.number = int(integer(find_element(item, tags::kROINumber)));
        if (const ElementRef* n = find_element(item, tags::kROIName)) r.name = std::string(value_text(*n));
        by_number[r.number] = rois.size();
        rois.push_back(std::move(r));
    }
    for (const Elements& item : ds.items(tags::kROIContourSequence)) {
        const long number = integer(find_element(item, tags::kReferencedROINumber));
        auto it = by_number.find(number);
        if (it == by_number.end() || (wanted && !wanted(rois[it->second]))) continue;
        for (const Elements& c : sequence_items(find_element(item, tags::kContourSequence))) {
            const ElementRef* type = find_element(c, tags::kContourGeometricType);
            if (!type || value_text(*type) != "CLOSED_PLANAR") continue;
            const ElementRef* points = find_element(c, tags::kContourData);
            if (near) {
                const auto first = first_point(points);
                if (first && !near(*first)) {
                    Contour far;
                    far.points.push_back(*first), far.first_point_only = true;
                    rois[it->second].contours.push_back(std::move(far));
                    continue;
                }
            }
            const auto data = ds_values(points);
            Contour contour;
            for (std::size_t k = 0; k + 2 < data.size(); k += 3) contour.points.push_back({data[k], data[k + 1], data[k + 2]});
            if (contour.points.size() >= 3) rois[it->second].contours.push_back(std::move(contour));
            else ++rois[it->second].short_contours;
        }
    }
    return rois;
}

DoseGrid read_rtdose(const std::string& path) {
    OwnedBuffer file = read_whole_file(path);
    DoseGrid g;
    {
        const Dataset ds = open(file.span(), path);
        g.offsets = ds_values(ds.find(tags::kGridFrameOffsetVector));
        g.units = std::string(ds.text(tags::kDoseUnits));
    }
    render::DecodeResult r = render::decode_file(std::move(file), path, 0, true, 0);
    if (r.dtype != "float32" || r.samples_per_pixel != 1) throw std::runtime_error("read_rtdose: not a scalar dose grid: " + path);
    if (r.image_position_patient.size() != 3 || r.image_orientation_patient.size() != 6 || r.pixel_spacing.size() != 2)
        throw std::runtime_error("read_rtdose: the dose grid has no complete geometry: " + path);
    g.nz = r.frames, g.ny = r.rows, g.nx = r.columns;
    // The frames as decoded must be the grid the header describes, or the copy would read past them.
    const std::size_t count = g.nx * g.ny * g.nz;
    const std::size_t have = (r.in_file ? r.file_bytes : r.data.size()) / 4;
    if (r.shape.size() < 3 || r.shape[1] != g.ny || r.shape[2] != g.nx || have < count)
        throw std::runtime_error("read_rtdose: the dose frames do not match the grid's Rows and Columns (" +
                                 std::to_string(g.ny) + " x " + std::to_string(g.nx) + "): " + path);
    const std::uint8_t* bytes = r.in_file ? r.file.data() + r.file_offset : r.data.data();
    g.gy.assign(reinterpret_cast<const float*>(bytes), reinterpret_cast<const float*>(bytes) + g.nx * g.ny * g.nz);
    std::copy(r.image_position_patient.begin(), r.image_position_patient.end(), g.origin);
    std::copy(r.image_orientation_patient.begin(), r.image_orientation_patient.begin() + 3, g.row);
    std::copy(r.image_orientation_patient.begin() + 3, r.image_orientation_patient.end(), g.col);
    g.normal[0] = g.row[1] * g.col[2] - g.row[2] * g.col[1];
    g.normal[1] = g.row[2] * g.col[0] - g.row[0] * g.col[2];
    g.normal[2] = g.row[0] * g.col[1] - g.row[1] * g.col[0];
    g.spacing[0] = r.pixel_spacing[0], g.spacing[1] = r.pixel_spacing[1];
    // Offsets are relative to the first frame (first value 0) or absolute along the normal from
    // the first frame's plane; either way the first frame lies at 0.
    if (g.offsets.size() != g.nz) g.offsets.assign(g.nz, 0.0);
    const double first = g.offsets.empty() ? 0 : g.offsets[0];
    for (double& o : g.offsets) o -= first;
    return g;
}

namespace {

// Fractional frame position of plane coordinate w, or -1 outside the frames.
double frame_position(const DoseGrid& g, double w) {
    if (g.nz == 1) return std::fabs(w - g.offsets[0]) <= 1e-6 ? 0.0 : -1.0;
    const bool ascending = g.offsets.back() >= g.offsets.front();
    for (std::size_t k = 0; k + 1 < g.nz; ++k) {
        double a = g.offsets[k], b = g.offsets[k + 1];
        if (!ascending) a = -a, b = -b;
        const double x = ascending ? w : -w;
        if (x >= a - 1e-6 && x <= b + 1e-6 && b > a) return double(k) + std::clamp((x - a) / (b - a), 0.0, 1.0);
    }
    return -1;
}

double plane_value(const DoseGrid& g, std::size_t k, double u, double v) {
    u = std::clamp(u, 0.0, double(g.nx - 1));
    v = std::clamp(v, 0.0, double(g.ny - 1));
    const std::size_t u0 = std::size_t(u), v0 = std::size_t(v);
    const std::size_t u1 = std::min(u0 + 1, g.nx - 1), v1 = std::min(v0 + 1, g.ny - 1);
    const double fu = u - double(u0), fv = v - double(v0);
    const float* p = g.gy.data() + k * g.nx * g.ny;
    const double top = p[v0 * g.nx + u0] * (1 - fu) + p[v0 * g.nx + u1] * fu;
    const double bottom = p[v1 * g.nx + u0] * (1 - fu) + p[v1 * g.nx + u1] * fu;
    return top * (1 - fv) + bottom * fv;
}

// Dose at grid coordinates (u columns, v rows, frame position f), NaN outside.
double grid_dose(const DoseGrid& g, double u, double v, double f) {
    if (f < 0 || u < -0.5 || v < -0.5 || u > double(g.nx) - 0.5 || v > double(g.ny) - 0.5) return std::nan("");
    const std::size_t k0 = std::size_t(f), k1 = std::min(k0 + 1, g.nz - 1);
    const double t = f - double(k0);
    return plane_value(g, k0, u, v) * (1 - t) + plane_value(g, k1, u, v) * t;
}

void local(const DoseGrid& g, const double* p, double& u, double& v, double& w) {
    const double d[3] = {p[0] - g.origin[0], p[1] - g.origin[1], p[2] - g.origin[2]};
    u = dot(d, g.row) / g.spacing[1];
    v = dot(d, g.col) / g.spacing[0];
    w = dot(d, g.normal);
}

constexpr float kMaxDoseGy = 100000;
// Samples a plane's contours may take outside the dose grid.
constexpr double kFarSamples = double(1 << 22);

const char* kWant = " (want D95, D95%, D2cc, D0.5cm3, V20Gy, V2000cGy, V100%, Dmax, Dmin or Dmean)";

}  // namespace

double dose_at(const DoseGrid& g, const std::array<double, 3>& p) {
    if (!g.nx || !g.ny || !g.nz) return std::nan("");
    double u, v, w;
    local(g, p.data(), u, v, w);
    return grid_dose(g, u, v, frame_position(g, w));
}

long dose_bin(double gy) {
    const double c = 100 * gy;
    const double r = std::round(c);
    return std::fabs(c - r) <= std::min(std::fabs(c) * 2.384185791015625e-7, 0.25) ? long(r) : long(std::floor(c));
}

double DVHCurve::volume_at_dose(double gy) const {
    if (cumulative.empty()) return 0;
    const long b = dose_bin(gy);
    if (b < 0) return cumulative[0];
    if (std::size_t(b) >= cumulative.size()) return 0;
    return cumulative[std::size_t(b)];
}

double DVHCurve::dose_at_volume_cm3(double volume) const {
    if (cumulative.empty()) return 0;
    if (!(volume > 0)) return max_gy;
    if (volume > cumulative[0]) return std::nan("");
    std::size_t k = 0;
    while (k + 1 < cumulative.size() && cumulative[k + 1] >= volume) ++k;
    return std::clamp(double(k) / 100, min_gy, max_gy);
}

double DVHCurve::dose_at_volume_fraction(double fraction) const {
    if (cumulative.empty()) return 0;
    return dose_at_volume_cm3(fraction * cumulative[0]);
}

double DVHCurve::statistic(std::string_view s, double rx) const {
    const std::string quoted = std::string("'").append(s).append("'");
    auto refuse = [&](const char* why) { throw std::runtime_error(quoted + " " + why + kWant); };
    if (s.size() < 2) refuse("is not a dose/volume constraint");
    if (s == "Dmax") return max_gy;
    if (s == "Dmin") return min_gy;
    if (s == "Dmean") return mean_gy;
    if (s[0] != 'D' && s[0] != 'V') refuse("is not a dose/volume constraint");
    std::size_t end = 1;
    while (end < s.size() && (std::isdigit(static_cast<unsigned char>(s[end])) || s[end] == '.')) ++end;
    const std::string digits(s.substr(1, end - 1));
    if (digits.empty()) refuse("has no number");
    char* stop = nullptr;
    const double number = std::strtod(digits.c_str(), &stop);
    if (*stop || !std::isfinite(number)) refuse("has an unreadable number");
    const std::string_view suffix = s.substr(end);
    if (s[0] == 'D') {
        if (suffix.empty() || suffix == "%") return dose_at_volume_fraction(number / 100);
        if (suffix == "cc" || suffix == "cm3") return dose_at_volume_cm3(number);
        throw std::runtime_error(quoted + ": a D(V) volume is '%', 'cc' or 'cm3', not '" + std::string(suffix) + "'");
    }
    if (suffix.empty() || suffix == "Gy") return volume_at_dose(number);
    if (suffix == "cGy") return volume_at_dose(number / 100);
    if (suffix == "%") {
        if (!(rx > 0))
            throw std::runtime_error(quoted + " is a per-cent of the prescription, which was not given; a per-cent of "
                                              "nothing is not zero");
        return volume_at_dose(rx * number / 100);
    }
    throw std::runtime_error(quoted + ": a V(D) dose is 'Gy', 'cGy' or '%', not '" + std::string(suffix) + "'");
}

DVHCurve compute_dvh(const Roi& roi, const DoseGrid& g, int samples_per_axis, bool full_volume) {
    if (samples_per_axis < 1 || samples_per_axis > 64) throw std::invalid_argument("compute_dvh: samples_per_axis must be 1 to 64");
    if (roi.contours.empty()) throw std::runtime_error("compute_dvh: ROI '" + roi.name + "' has no closed planar contours");
    if (!g.nx || !g.ny || !g.nz) throw std::runtime_error("compute_dvh: empty dose grid");
    // 1-cGy bins: a dose past this is a damaged Dose Grid Scaling, not a histogram to build.
    for (float d : g.gy)
        if (!(d <= kMaxDoseGy) && !std::isnan(d))
            throw std::runtime_error("compute_dvh: the dose grid holds " + std::to_string(double(d)) +
                                     " Gy; a dose-volume histogram ends at " + std::to_string(int(kMaxDoseGy)) +
                                     " Gy (is Dose Grid Scaling right, and is this an RT Dose?)");
    // Contours grouped by plane (0.01 mm), in grid coordinates.
    std::map<long, std::vector<std::vector<Point2>>> planes;
    std::map<long, double> plane_w;
    for (const Contour& c : roi.contours) {
        std::vector<Point2> poly;
        double wsum = 0;
        for (const auto& p : c.points) {
            double u, v, w;
            local(g, p.data(), u, v, w);
            poly.push_back({u, v});
            wsum += w;
        }
        const double w = wsum / double(c.points.size());
        if (!std::isfinite(w)) continue;  // a contour without a plane
        const long key = std::lround(std::clamp(w, -1e12, 1e12) * 100);
        planes[key].push_back(std::move(poly));
        plane_w[key] = w;
    }
    std::vector<long> keys;
    for (const auto& [k, _] : planes) keys.push_back(k);
    const double frame_step = g.nz > 1 ? std::fabs(g.offsets[1] - g.offsets[0]) : 1.0;
    const int S = samples_per_axis;
    const double pixel_cm2 = g.spacing[0] * g.spacing[1] / 100.0 / double(S * S);
    std::vector<double> counts;
    double covered = 0, uncovered = 0, dose_volume = 0, lo = INFINITY, hi = -INFINITY;
    for (std::size_t p = 0; p < keys.size(); ++p) {
        const double w = plane_w[keys[p]];
        double thickness;
        if (keys.size() == 1) thickness = frame_step;
        else if (p == 0) thickness = plane_w[keys[1]] - w;
        else if (p + 1 == keys.size()) thickness = w - plane_w[keys[p - 1]];
        else thickness = (plane_w[keys[p + 1]] - plane_w[keys[p - 1]]) / 2;
        const double sample_cm3 = pixel_cm2 * std::fabs(thickness) / 10.0;
        const auto& polys = planes[keys[p]];
        double umin = INFINITY, umax = -INFINITY, vmin = INFINITY, vmax = -INFINITY;
        for (const auto& poly : polys)
            for (const Point2& q : poly) umin = std::min(umin, q.u), umax = std::max(umax, q.u), vmin = std::min(vmin, q.v), vmax = std::max(vmax, q.v);
        if (!(umin <= umax && vmin <= vmax)) continue;  // no finite point on this plane
        const double f = frame_position(g, w);
        auto sample = [&](double u, double v, double weight) {
            if (!inside(polys, u, v)) return;
            const double d = grid_dose(g, u, v, f);
            if (std::isnan(d)) {
                uncovered += weight;
                return;
            }
            covered += weight;
            dose_volume += d * weight;
            lo = std::min(lo, d), hi = std::max(hi, d);
            const long b = std::max(0L, dose_bin(d));
            if (std::size_t(b) >= counts.size()) counts.resize(std::size_t(b) + 1, 0.0);
            counts[std::size_t(b)] += weight;
        };
        // Pixels near the grid are sampled S x S each; the rest of the contour's extent lies outside
        // the grid (uncovered), and is sampled more coarsely when it is large, so that a contour of
        // kilometres or a grid of micrometre pixels does not cost hours.
        const double i0 = std::floor(std::max(umin, -1e12)) - 1, i1 = std::ceil(std::min(umax, 1e12)) + 1;
        const double j0 = std::floor(std::max(vmin, -1e12)) - 1, j1 = std::ceil(std::min(vmax, 1e12)) + 1;
        const double near_i0 = std::max(i0, -2.0), near_i1 = std::min(i1, double(g.nx) + 1);
        const double near_j0 = std::max(j0, -2.0), near_j1 = std::min(j1, double(g.ny) + 1);
        for (double j = near_j0; j <= near_j1; ++j)
            for (double i = near_i0; i <= near_i1; ++i)
                for (int sj = 0; sj < S; ++sj)
                    for (int si = 0; si < S; ++si)
                        sample(i + (si + 0.5) / S - 0.5, j + (sj + 0.5) / S - 0.5, sample_cm3);
        // Each axis gets its own step, so that a long thin extent (one wild point) stays within
        // the budget too: at most sqrt(kFarSamples) cells along either axis.
        const double per_axis = std::sqrt(kFarSamples);
        const double step_i = std::max(1.0, std::ceil((i1 - i0 + 1) / per_axis));
        const double step_j = std::max(1.0, std::ceil((j1 - j0 + 1) / per_axis));
        const double far_cm3 = sample_cm3 * double(S * S) * step_i * step_j;
        for (double j = j0; j <= j1; j += step_j)
            for (double i = i0; i <= i1; i += step_i) {
                const double cu = i + step_i / 2 - 0.5, cv = j + step_j / 2 - 0.5;  // the cell's centre
                if (cu >= near_i0 - 0.5 && cu <= near_i1 + 0.5 && cv >= near_j0 - 0.5 && cv <= near_j1 + 0.5)
                    continue;  // sampled finely above
                if (step_i > 1 || step_j > 1) {
                    sample(cu, cv, far_cm3);
                    continue;
                }
                for (int sj = 0; sj < S; ++sj)
                    for (int si = 0; si < S; ++si) sample(i + (si + 0.5) / S - 0.5, j + (sj + 0.5) / S - 0.5, sample_cm3);
            }
    }
    DVHCurve c;
    c.roi_name = roi.name;
    while (!counts.empty() && counts.back() == 0) counts.pop_back();
    c.counts = counts;
    c.cumulative.assign(counts.size(), 0.0);
    double run = 0;
    for (std::size_t b = counts.size(); b-- > 0;) c.cumulative[b] = run += counts[b];
    // The covered volume is the cumulative curve's first value, so that V(Dmin) is exactly it.
    c.covered_volume_cm3 = c.cumulative.empty() ? 0.0 : c.cumulative[0];
    c.uncovered_volume_cm3 = uncovered, c.total_volume_cm3 = c.covered_volume_cm3 + uncovered;
    covered = c.covered_volume_cm3;
    c.volume_cm3 = full_volume ? c.total_volume_cm3 : covered;
    if (covered > 0) c.min_gy = lo, c.max_gy = hi, c.mean_gy = dose_volume / covered;
    if (uncovered > 0) {
        char buf[200];
        std::snprintf(buf, sizeof buf, "the dose grid covers %.3f of %.3f cm3 (%.1f%%); %.3f cm3 lie outside it", covered,
                      c.total_volume_cm3, 100 * covered / c.total_volume_cm3, uncovered);
        c.notes = buf;
    }
    return c;
}

}  // namespace loamwerk::rt
