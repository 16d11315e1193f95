#include "rt/mask.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/limits.hpp"

namespace loamwerk::rt {

namespace {

double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double norm(const Vec3& a) { return std::sqrt(dot(a, a)); }

std::string mm(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

}  // namespace

PlaneBasis plane_basis(const std::array<double, 6>& o) {
    Vec3 row{o[0], o[1], o[2]}, column{o[3], o[4], o[5]};
    const double r = norm(row), c = norm(column);
    if (!(r > 1e-6) || !(c > 1e-6) || !std::isfinite(r) || !std::isfinite(c))
        throw std::invalid_argument("plane_basis: the orientation's row and column directions must be non-zero numbers");
    for (int i = 0; i < 3; ++i) row[i] /= r, column[i] /= c;
    if (std::fabs(dot(row, column)) > 1e-3)
        throw std::invalid_argument("plane_basis: the orientation's row and column directions are not perpendicular");
    Vec3 normal = cross(row, column);
    const double n = norm(normal);
    for (double& x : normal) x /= n;
    return {row, column, normal};
}

Grid series_grid(const std::vector<ImageHeader>& images) {
    if (images.empty()) throw std::invalid_argument("roi_mask: no reference images");
    const ImageHeader& first = images[0];
    if (first.orientation.size() != 6 || first.pixel_spacing.size() != 2)
        throw std::invalid_argument("roi_mask: the reference images need Image Orientation (Patient) and Pixel Spacing");
    Grid g;
    g.basis = plane_basis({first.orientation[0], first.orientation[1], first.orientation[2], first.orientation[3],
                           first.orientation[4], first.orientation[5]});
    g.rows = first.rows, g.columns = first.columns;
    g.row_spacing = first.pixel_spacing[0], g.column_spacing = first.pixel_spacing[1];
    g.thickness = first.slice_thickness.value_or(0);
    std::vector<std::pair<double, Vec3>> slices;
    for (const ImageHeader& h : images) {
        if (h.position.size() != 3) throw std::invalid_argument("roi_mask: a reference image has no Image Position (Patient)");
        if (h.rows != g.rows || h.columns != g.columns)
            throw std::invalid_argument("roi_mask: the reference images differ in rows or columns");
        const Vec3 p{h.position[0], h.position[1], h.position[2]};
        slices.push_back({dot(p, g.basis.normal), p});
    }
    std::stable_sort(slices.begin(), slices.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [d, p] : slices) g.positions.push_back(d), g.origins.push_back(p);
    g.slices = slices.size();
    return g;
}

Grid affine_grid(const std::array<double, 16>& a, std::size_t slices, std::size_t rows, std::size_t columns) {
    const Vec3 c0{a[0], a[1], a[2]}, c1{a[4], a[5], a[6]}, c2{a[8], a[9], a[10]}, origin{a[12], a[13], a[14]};
    Grid g;
    g.basis = plane_basis({c0[0], c0[1], c0[2], c1[0], c1[1], c1[2]});
    g.column_spacing = norm(c0), g.row_spacing = norm(c1);
    g.slices = slices, g.rows = rows, g.columns = columns;
    g.thickness = norm(c2);
    for (std::size_t k = 0; k < slices; ++k) {
        const Vec3 p{origin[0] + double(k) * c2[0], origin[1] + double(k) * c2[1], origin[2] + double(k) * c2[2]};
        g.origins.push_back(p), g.positions.push_back(dot(p, g.basis.normal));
    }
    return g;
}

bool near_grid(const Grid& g, const Vec3& point) {
    if (g.positions.empty()) return true;
    // Farther than a whole slice gap (or the thickness) beyond the first or last slice, a planar
    // contour cannot reach any slice, whichever of its points is taken.
    double gap = g.thickness > 0 ? g.thickness : 1.0;
    for (std::size_t k = 1; k < g.positions.size(); ++k) gap = std::max(gap, g.positions[k] - g.positions[k - 1]);
    const double d = dot(point, g.basis.normal);
    return d >= g.positions.front() - gap - 1.0 && d <= g.positions.back() + gap + 1.0;
}

Mask roi_mask(const Roi& roi, const Grid& g) {
    if (g.rows == 0 || g.columns == 0 || g.slices == 0) throw std::invalid_argument("roi_mask: the grid is empty");
    const long double bytes = (long double)g.slices * g.rows * g.columns;
    if (const std::string refusal = limits::output_refusal(bytes, 0); !refusal.empty()) throw std::runtime_error(refusal);
    Mask m;
    m.voxels.assign(std::size_t(bytes), 0);
    // The contours of each slice, as (column, row) pixel coordinates.
    std::vector<std::vector<std::vector<std::array<double, 2>>>> on_slice(g.slices);
    if (roi.short_contours)
        m.notes.push_back(std::to_string(roi.short_contours) + " contour" + (roi.short_contours == 1 ? "" : "s") + " of ROI '" +
                          roi.name + "' ha" + (roi.short_contours == 1 ? "s" : "ve") + " fewer than three points; left out");
    for (std::size_t i = 0; i < roi.contours.size(); ++i) {
        const Contour& c = roi.contours[i];
        const std::string which = "contour " + std::to_string(i + 1) + " of ROI '" + roi.name + "'";
        if (c.first_point_only && !c.points.empty()) {
            const Vec3& p = c.points[0];
            m.notes.push_back(which + " lies " + mm(dot(p, g.basis.normal)) + " mm along the normal, on no slice of the grid; left out");
            continue;
        }
        if (c.points.size() < 3) {
            m.notes.push_back(which + " has fewer than three points; left out");
            continue;
        }
        double d = 0;
        for (const auto& p : c.points) d += dot({p[0], p[1], p[2]}, g.basis.normal);
        d /= double(c.points.size());
        // The nearest slice, within half the distance to its neighbours (or half the thickness).
        const auto it = std::lower_bound(g.positions.begin(), g.positions.end(), d);
        std::size_t k = it == g.positions.end() ? g.slices - 1 : std::size_t(it - g.positions.begin());
        if (k > 0 && std::fabs(g.positions[k - 1] - d) < std::fabs(g.positions[k] - d)) --k;
        double reach = g.thickness > 0 ? g.thickness / 2 : 0.5;
        if (g.slices > 1) {
            const double before = k > 0 ? g.positions[k] - g.positions[k - 1] : g.positions[k + 1] - g.positions[k];
            const double after = k + 1 < g.slices ? g.positions[k + 1] - g.positions[k] : before;
            reach = std::max(before, after) / 2;
        }
        if (!(std::fabs(g.positions[k] - d) <= reach + 1e-3)) {
            m.notes.push_back(which + " lies " + mm(d) + " mm along the normal, on no slice of the grid; left out");
            continue;
        }
        std::vector<std::array<double, 2>> pixels;
        for (const auto& p : c.points) {
            const Vec3 rel{p[0] - g.origins[k][0], p[1] - g.origins[k][1], p[2] - g.origins[k][2]};
            pixels.push_back({dot(rel, g.basis.row) / g.column_spacing, dot(rel, g.basis.column) / g.row_spacing});
        }
        on_slice[k].push_back(std::move(pixels));
    }
    // Even-odd over every edge of a slice's contours: a pixel whose centre lies inside an odd
    // number of them is set (a contour inside another is a hole). Centres on an edge count in.
    std::vector<double> xs;
    for (std::size_t k = 0; k < g.slices; ++k) {
        if (on_slice[k].empty()) continue;
        std::uint8_t* plane = m.voxels.data() + k * g.rows * g.columns;
        double top = std::numeric_limits<double>::infinity(), bottom = -top;
        for (const auto& c : on_slice[k])
            for (const auto& p : c) top = std::min(top, p[1]), bottom = std::max(bottom, p[1]);
        const long first = std::max(0L, long(std::ceil(std::max(top, -1.0))));
        const long last = std::min(long(g.rows) - 1, long(std::floor(std::min(bottom, double(g.rows)))));
        for (long r = first; r <= last; ++r) {
            const double y = double(r);
            xs.clear();
            for (const auto& c : on_slice[k])
                for (std::size_t i = 0, j = c.size() - 1; i < c.size(); j = i++) {
                    const auto &a = c[i], &b = c[j];
                    if ((a[1] > y) != (b[1] > y)) xs.push_back(a[0] + (y - a[1]) / (b[1] - a[1]) * (b[0] - a[0]));
                }
            std::sort(xs.begin(), xs.end());
            const auto span = [&](double a, double b) {
                const double from = std::max(std::ceil(a - 1e-6), 0.0);
                const double to = std::min(std::floor(b + 1e-6), double(g.columns) - 1);
                for (double x = from; x <= to; ++x) plane[std::size_t(r) * g.columns + std::size_t(x)] = 1;
            };
            for (std::size_t i = 0; i + 1 < xs.size(); i += 2) span(xs[i], xs[i + 1]);
            // Edges along the row itself: their centres lie on the outline, so they count in too
            // (the crossing rule above takes a shape's top edge and leaves its bottom one).
            for (const auto& c : on_slice[k])
                for (std::size_t i = 0, j = c.size() - 1; i < c.size(); j = i++)
                    if (std::fabs(c[i][1] - y) < 1e-6 && std::fabs(c[j][1] - y) < 1e-6)
                        span(std::min(c[i][0], c[j][0]), std::max(c[i][0], c[j][0]));
        }
    }
    return m;
}

}  // namespace loamwerk::rt
