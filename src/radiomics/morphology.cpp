#include "radiomics/morphology.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unordered_set>

#include "diffusion/dti.hpp"
#include "radiomics/geospatial.hpp"

namespace loamwerk::radiomics {
namespace {

using Point = std::array<double, 3>;

Point sub(const Point& a, const Point& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Point cross(const Point& a, const Point& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double dot(const Point& a, const Point& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double norm(const Point& a) { return std::sqrt(dot(a, a)); }

// Cube corners c = 4 dz + 2 dy + dx; each face's corners counter-clockwise seen from outside.
constexpr int kFaces[6][4] = {{0, 4, 6, 2}, {1, 3, 7, 5}, {0, 1, 5, 4}, {2, 6, 7, 3}, {0, 2, 3, 1}, {4, 5, 7, 6}};

// The 2D convex hull (Andrew's monotone chain) of the points of each plane across `axis`: the
// farthest pair of a plane and its part of the 3D hull are among them.
std::vector<std::vector<Point>> plane_hulls(std::vector<Point> points, int axis) {
    const int u = (axis + 1) % 3, v = (axis + 2) % 3;
    std::sort(points.begin(), points.end(), [&](const Point& a, const Point& b) {
        return a[axis] != b[axis] ? a[axis] < b[axis] : a[u] != b[u] ? a[u] < b[u] : a[v] < b[v];
    });
    const auto turn = [&](const Point& o, const Point& a, const Point& b) {
        return (a[u] - o[u]) * (b[v] - o[v]) - (a[v] - o[v]) * (b[u] - o[u]);
    };
    std::vector<std::vector<Point>> out;
    for (std::size_t i = 0; i < points.size();) {
        std::size_t j = i;
        while (j < points.size() && points[j][axis] == points[i][axis]) ++j;
        std::vector<Point> chain;
        for (int pass = 0; pass < 2; ++pass) {
            const std::size_t base = chain.size();
            for (std::size_t k = 0; k < j - i; ++k) {
                const Point& q = pass == 0 ? points[i + k] : points[j - 1 - k];
                while (chain.size() >= base + 2 && turn(chain[chain.size() - 2], chain.back(), q) <= 0) chain.pop_back();
                chain.push_back(q);
            }
            chain.pop_back();
        }
        if (chain.empty()) chain.push_back(points[i]);
        out.push_back(std::move(chain));
        i = j;
    }
    return out;
}

}  // namespace

Mesh mask_mesh(const std::vector<std::uint8_t>& mask, const Dims& dims, const Spacing& spacing) {
    const long D = long(dims[0]), H = long(dims[1]), W = long(dims[2]);
    const auto in = [&](long z, long y, long x) {
        return z >= 0 && z < D && y >= 0 && y < H && x >= 0 && x < W && mask[std::size_t((z * H + y) * W + x)] != 0;
    };
    long lo[3] = {D, H, W}, hi[3] = {-1, -1, -1};
    for (long z = 0; z < D; ++z)
        for (long y = 0; y < H; ++y)
            for (long x = 0; x < W; ++x)
                if (in(z, y, x)) {
                    const long c[3] = {z, y, x};
                    for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], c[a]), hi[a] = std::max(hi[a], c[a]);
                }
    Mesh mesh;
    if (hi[0] < 0) return mesh;
    // Positions in doubled index units relative to the box's centre keep sums well conditioned.
    const double cz = double(lo[0] + hi[0]), cy = double(lo[1] + hi[1]), cx = double(lo[2] + hi[2]);
    std::unordered_set<std::uint64_t> seen;
    double volume6 = 0, area2 = 0;
    for (long z = lo[0] - 1; z <= hi[0]; ++z)
        for (long y = lo[1] - 1; y <= hi[1]; ++y)
            for (long x = lo[2] - 1; x <= hi[2]; ++x) {
                bool corner[8];
                int count = 0;
                for (int c = 0; c < 8; ++c) count += corner[c] = in(z + (c >> 2), y + (c >> 1 & 1), x + (c & 1));
                if (count == 0 || count == 8) continue;
                // On each face, a segment from the crossing that enters the inside to the next
                // that leaves it; chained at the cube's edges into closed polygons.
                int next_of[64];
                std::fill(std::begin(next_of), std::end(next_of), -1);
                for (const auto& f : kFaces)
                    for (int k = 0; k < 4; ++k) {
                        const int a = f[k], b = f[(k + 1) % 4];
                        if (corner[a] || !corner[b]) continue;
                        for (int m = 1; m < 4; ++m) {
                            const int c = f[(k + m) % 4], d = f[(k + m + 1) % 4];
                            if (corner[c] && !corner[d]) {
                                const int from = std::min(a, b) * 8 + std::max(a, b), to = std::min(c, d) * 8 + std::max(c, d);
                                next_of[from] = to;
                                break;
                            }
                        }
                    }
                const auto vertex = [&](int edge) {
                    const int a = edge / 8, b = edge % 8;
                    const long pz = 2 * z + (a >> 2) + (b >> 2), py = 2 * y + (a >> 1 & 1) + (b >> 1 & 1),
                               px = 2 * x + (a & 1) + (b & 1);
                    const std::uint64_t key = (std::uint64_t(pz + 4) << 42) | (std::uint64_t(py + 4) << 21) | std::uint64_t(px + 4);
                    const Point p = {(double(px) - cx) / 2 * spacing[2], (double(py) - cy) / 2 * spacing[1],
                                     (double(pz) - cz) / 2 * spacing[0]};
                    if (seen.insert(key).second) mesh.vertices.push_back(p);
                    return p;
                };
                for (int start = 0; start < 64; ++start) {
                    if (next_of[start] < 0) continue;
                    std::vector<Point> polygon, unit;
                    for (int e = start; next_of[e] >= 0;) {
                        polygon.push_back(vertex(e));
                        unit.push_back({double((e / 8 & 1) + (e % 8 & 1)), double((e / 8 >> 1 & 1) + (e % 8 >> 1 & 1)),
                                        double((e / 8 >> 2) + (e % 8 >> 2))});
                        const int n = next_of[e];
                        next_of[e] = -1, e = n;
                    }
                    // The triangulation of largest area in voxel units (whatever the spacing): of
                    // the ways to cut a non-planar polygon, the one the classic case table takes.
                    const std::size_t k = polygon.size();
                    double cost[8][8] = {};
                    int split[8][8] = {};
                    const auto tri = [&](std::size_t i, std::size_t m, std::size_t j) {
                        return norm(cross(sub(unit[m], unit[i]), sub(unit[j], unit[i])));
                    };
                    for (std::size_t len = 2; len < k; ++len)
                        for (std::size_t i = 0; i + len < k; ++i) {
                            const std::size_t j = i + len;
                            cost[i][j] = -INFINITY;
                            for (std::size_t m = i + 1; m < j; ++m)
                                if (const double c = cost[i][m] + cost[m][j] + tri(i, m, j); c > cost[i][j] + 1e-12)
                                    cost[i][j] = c, split[i][j] = int(m);
                        }
                    const auto emit = [&](auto&& self, std::size_t i, std::size_t j) -> void {
                        if (j < i + 2) return;
                        const std::size_t m = std::size_t(split[i][j]);
                        area2 += norm(cross(sub(polygon[m], polygon[i]), sub(polygon[j], polygon[i])));
                        volume6 += dot(polygon[i], cross(polygon[m], polygon[j]));
                        self(self, i, m), self(self, m, j);
                    };
                    emit(emit, 0, k - 1);
                }
            }
    mesh.volume = std::abs(volume6) / 6, mesh.area = area2 / 2;
    return mesh;
}

Hull convex_hull(const std::vector<Point>& points) {
    Hull hull;
    if (points.size() < 4) return hull;
    double scale = 0;
    for (const Point& p : points) scale = std::max({scale, std::abs(p[0]), std::abs(p[1]), std::abs(p[2])});
    const double eps = 1e-9 * std::max(scale, 1.0) * std::max(scale, 1.0);
    // A first tetrahedron of far-apart points.
    std::size_t i0 = 0, i1 = 0, i2 = 0, i3 = 0;
    double best = -1;
    for (std::size_t i = 0; i < points.size(); ++i)
        if (const double d = dot(sub(points[i], points[0]), sub(points[i], points[0])); d > best) best = d, i1 = i;
    best = -1;
    for (std::size_t i = 0; i < points.size(); ++i)
        if (const double d = norm(cross(sub(points[i1], points[i0]), sub(points[i], points[i0]))); d > best) best = d, i2 = i;
    const Point n0 = cross(sub(points[i1], points[i0]), sub(points[i2], points[i0]));
    best = -1;
    for (std::size_t i = 0; i < points.size(); ++i)
        if (const double d = std::abs(dot(n0, sub(points[i], points[i0]))); d > best) best = d, i3 = i;
    if (best <= eps) return hull;  // flat: no volume
    struct Face {
        std::size_t v[3];
        Point n;
        double off;
        bool alive;
    };
    std::vector<Face> faces;
    const Point centre = {(points[i0][0] + points[i1][0] + points[i2][0] + points[i3][0]) / 4,
                          (points[i0][1] + points[i1][1] + points[i2][1] + points[i3][1]) / 4,
                          (points[i0][2] + points[i1][2] + points[i2][2] + points[i3][2]) / 4};
    const auto add = [&](std::size_t a, std::size_t b, std::size_t c) {
        Point n = cross(sub(points[b], points[a]), sub(points[c], points[a]));
        if (dot(n, sub(centre, points[a])) > 0) std::swap(b, c), n = {-n[0], -n[1], -n[2]};
        faces.push_back({{a, b, c}, n, dot(n, points[a]), true});
    };
    add(i0, i1, i2), add(i0, i1, i3), add(i0, i2, i3), add(i1, i2, i3);
    std::vector<std::pair<std::size_t, std::size_t>> edges;
    for (std::size_t p = 0; p < points.size(); ++p) {
        if (p == i0 || p == i1 || p == i2 || p == i3) continue;
        edges.clear();
        bool visible = false;
        for (Face& f : faces) {
            if (!f.alive || dot(f.n, points[p]) - f.off <= eps * norm(f.n) / std::max(scale, 1.0)) continue;
            f.alive = false, visible = true;
            for (int k = 0; k < 3; ++k) edges.emplace_back(f.v[k], f.v[(k + 1) % 3]);
        }
        if (!visible) continue;
        // The horizon: edges of the removed faces whose reverse was not removed with them.
        std::sort(edges.begin(), edges.end());
        for (const auto& [a, b] : edges)
            if (!std::binary_search(edges.begin(), edges.end(), std::make_pair(b, a))) {
                const Point n = cross(sub(points[b], points[a]), sub(points[p], points[a]));
                faces.push_back({{a, b, p}, n, dot(n, points[a]), true});
            }
        if (faces.size() > 4096)
            faces.erase(std::remove_if(faces.begin(), faces.end(), [](const Face& f) { return !f.alive; }), faces.end());
    }
    std::vector<std::size_t> used;
    for (const Face& f : faces) {
        if (!f.alive) continue;
        hull.area += norm(f.n) / 2;
        hull.volume += dot(sub(points[f.v[0]], centre), cross(sub(points[f.v[1]], centre), sub(points[f.v[2]], centre))) / 6;
        used.insert(used.end(), f.v, f.v + 3);
    }
    std::sort(used.begin(), used.end());
    used.erase(std::unique(used.begin(), used.end()), used.end());
    double d2 = 0;
    for (std::size_t a = 0; a < used.size(); ++a)
        for (std::size_t b = a + 1; b < used.size(); ++b) {
            const Point d = sub(points[used[a]], points[used[b]]);
            d2 = std::max(d2, dot(d, d));
        }
    hull.diameter = std::sqrt(d2);
    return hull;
}

void morphology_features(const Prepared& p, const Settings& s, Features& out) {
    const Mesh mesh = mask_mesh(p.morph, p.dims, p.spacing);
    const double V = mesh.volume, A = mesh.area;
    const long H = long(p.dims[1]), W = long(p.dims[2]);
    // Voxel centres (mm) of the morphological mask, and intensity-weighted of the intensity mask.
    double n = 0, mean[3] = {0, 0, 0}, wsum = 0, wmean[3] = {0, 0, 0}, isum = 0, icount = 0;
    std::vector<Point> centres;
    for (std::size_t i = 0; i < p.morph.size(); ++i) {
        const Point c = {double(long(i) % W) * p.spacing[2], double(long(i) / W % H) * p.spacing[1],
                         double(long(i) / (W * H)) * p.spacing[0]};
        if (p.morph[i]) {
            centres.push_back(c), ++n;
            for (int a = 0; a < 3; ++a) mean[a] += c[a];
        }
        if (p.roi[i]) {
            wsum += p.image[i], isum += p.image[i], ++icount;
            for (int a = 0; a < 3; ++a) wmean[a] += p.image[i] * c[a];
        }
    }
    for (int a = 0; a < 3; ++a) mean[a] /= n, wmean[a] /= wsum;
    diffusion::Tensor6 cov{};  // xx, xy, yy, xz, yz, zz
    for (const Point& c : centres) {
        const double dx = c[0] - mean[0], dy = c[1] - mean[1], dz = c[2] - mean[2];
        cov[0] += dx * dx, cov[1] += dx * dy, cov[2] += dy * dy, cov[3] += dx * dz, cov[4] += dy * dz, cov[5] += dz * dz;
    }
    for (double& c : cov) c /= s.pca_population ? n : std::max(n - 1, 1.0);
    const diffusion::Eigen3 e = diffusion::tensor_eigen(cov, 0.0);
    const double l1 = e.values[0], l2 = e.values[1], l3 = e.values[2];
    Point lo = {INFINITY, INFINITY, INFINITY}, hi = {-INFINITY, -INFINITY, -INFINITY};
    for (const Point& v : mesh.vertices)
        for (int a = 0; a < 3; ++a) lo[a] = std::min(lo[a], v[a]), hi[a] = std::max(hi[a], v[a]);
    const Point box = sub(hi, lo);
    // Hull candidates: a vertex of the 3D hull is a vertex of the 2D hull of its own z plane,
    // and those are few.
    std::vector<Point> candidates;
    for (const std::vector<Point>& hull2d : plane_hulls(mesh.vertices, 2))
        candidates.insert(candidates.end(), hull2d.begin(), hull2d.end());
    const Hull hull = convex_hull(candidates);
    // The ellipsoid of the principal axes; its area by Legendre series in alpha and beta.
    const double a = 2 * std::sqrt(l1), b = 2 * std::sqrt(l2), c = 2 * std::sqrt(l3);
    double ellipsoid_area = NAN;
    if (a > 0) {
        const double al2 = 1 - b * b / (a * a), be2 = 1 - c * c / (a * a);
        const double half = (al2 + be2) / 2, ab2 = al2 * be2;
        double q0 = 1, q1 = half, sum = 1;
        for (int v = 1; v <= 20; ++v) {
            sum += q1 / (1 - 4.0 * v * v);
            const double q2 = ((2 * v + 1) * half * q1 - v * ab2 * q0) / (v + 1);
            q0 = q1, q1 = q2;
        }
        ellipsoid_area = 4 * M_PI * a * b * sum;
    }
    const double voxel = p.spacing[0] * p.spacing[1] * p.spacing[2];
    const double k36 = 36 * M_PI * V * V;
    const auto put = [&](const char* name, double value) { out.emplace_back(name, value); };
    put("morph_volume", V);
    put("morph_vol_approx", n * voxel);
    put("morph_area_mesh", A);
    put("morph_av", A / V);
    put("morph_comp_1", V / (std::sqrt(M_PI) * std::pow(A, 1.5)));
    put("morph_comp_2", k36 / (A * A * A));
    put("morph_sph_dispr", A / std::cbrt(k36));
    put("morph_sphericity", std::cbrt(k36) / A);
    put("morph_asphericity", std::cbrt(A * A * A / k36) - 1);
    const double com[3] = {mean[0] - wmean[0], mean[1] - wmean[1], mean[2] - wmean[2]};
    put("morph_com", std::sqrt(com[0] * com[0] + com[1] * com[1] + com[2] * com[2]));
    put("morph_diam", hull.diameter);
    if (s.pyradiomics_extras) {
        // pyradiomics' largest distances between mesh vertices of one plane: axial (same z),
        // coronal (same y, its "column") and sagittal (same x, its "row").
        const char* names[3] = {"morph_diam_row", "morph_diam_column", "morph_diam_slice"};
        for (int axis : {2, 1, 0}) {
            double best = 0;
            for (const std::vector<Point>& hull2d : plane_hulls(mesh.vertices, axis))
                for (std::size_t a = 0; a < hull2d.size(); ++a)
                    for (std::size_t b = a + 1; b < hull2d.size(); ++b) {
                        const Point d = sub(hull2d[a], hull2d[b]);
                        best = std::max(best, dot(d, d));
                    }
            put(names[axis], std::sqrt(best));
        }
    }
    put("morph_pca_maj_axis", 4 * std::sqrt(l1));
    put("morph_pca_min_axis", 4 * std::sqrt(l2));
    put("morph_pca_least_axis", 4 * std::sqrt(l3));
    put("morph_pca_elongation", l1 > 0 ? std::sqrt(l2 / l1) : NAN);
    put("morph_pca_flatness", l1 > 0 ? std::sqrt(l3 / l1) : NAN);
    put("morph_vol_dens_aabb", V / (box[0] * box[1] * box[2]));
    put("morph_area_dens_aabb", A / (2 * (box[0] * box[1] + box[1] * box[2] + box[0] * box[2])));
    put("morph_vol_dens_aee", V / (4 * M_PI * a * b * c / 3));
    put("morph_area_dens_aee", A / ellipsoid_area);
    put("morph_vol_dens_conv_hull", hull.volume > 0 ? V / hull.volume : NAN);
    put("morph_area_dens_conv_hull", hull.area > 0 ? A / hull.area : NAN);
    put("morph_integ_int", isum / icount * V);
    if (!s.geospatial) return;
    const Autocorrelation ac = autocorrelation(p.image, p.roi, p.dims, p.spacing);
    put("morph_moran_i", ac.moran);
    put("morph_geary_c", ac.geary);
}

}  // namespace loamwerk::radiomics
