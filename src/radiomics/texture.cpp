#include "radiomics/texture.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "core/limits.hpp"
#include "core/parallel.hpp"

namespace loamwerk::radiomics {
namespace {

using Offset = std::array<long, 3>;  // dz, dy, dx

// The 13 directions of 3D (first non-zero component positive), the first 4 in-plane.
std::vector<Offset> directions(bool in_plane, int distance) {
    std::vector<Offset> out = {{0, 0, 1}, {0, 1, 1}, {0, 1, 0}, {0, 1, -1}};
    if (!in_plane)
        for (long dy = -1; dy <= 1; ++dy)
            for (long dx = -1; dx <= 1; ++dx) out.push_back({1, dy, dx});
    for (Offset& o : out)
        for (long& c : o) c *= distance;
    return out;
}

// Every voxel at Chebyshev distance 1..distance (in-plane only for 2D).
std::vector<Offset> neighbourhood(bool in_plane, int distance) {
    std::vector<Offset> out;
    const long dz = in_plane ? 0 : distance;
    for (long z = -dz; z <= dz; ++z)
        for (long y = -distance; y <= distance; ++y)
            for (long x = -distance; x <= distance; ++x)
                if (z || y || x) out.push_back({z, y, x});
    return out;
}

// A view of the grey levels, with the slab of slices [z0, z1) one aggregation unit covers.
// Levels are compact (1..ng: the grey levels present, in order); value gives each one's grey
// level, and ng_norm the Ng that normalised features divide by.
struct Grid {
    const std::int32_t* levels;
    const std::uint8_t* morph;  // the morphological mask: where the ROI's edge lies
    long D, H, W;
    int ng;
    const double* value;
    int ng_norm;
    std::int32_t at(long z, long y, long x) const {
        return z < 0 || z >= D || y < 0 || y >= H || x < 0 || x >= W ? 0 : levels[(z * H + y) * W + x];
    }
};

struct Slab {
    long z0, z1;
};

// ---- GLCM ----

constexpr const char* kGlcmNames[] = {
    "joint_max", "joint_avg", "joint_var", "joint_entr", "diff_avg", "diff_var", "diff_entr", "sum_avg", "sum_var",
    "sum_entr", "energy", "contrast", "dissimilarity", "inv_diff", "inv_diff_norm", "inv_diff_mom",
    "inv_diff_mom_norm", "inv_var", "corr", "auto_corr", "clust_tend", "clust_shade", "clust_prom", "info_corr1",
    "info_corr2"};
using Values = std::vector<double>;

void count_glcm(const Grid& g, const Slab& s, const Offset& d, std::vector<double>& m) {
    const std::size_t ng = std::size_t(g.ng);
    for (long z = s.z0; z < s.z1; ++z)
        for (long y = 0; y < g.H; ++y)
            for (long x = 0; x < g.W; ++x) {
                const std::int32_t a = g.levels[(z * g.H + y) * g.W + x];
                if (!a) continue;
                const long zz = z + d[0];
                if (zz < s.z0 || zz >= s.z1) continue;
                const std::int32_t b = g.at(zz, y + d[1], x + d[2]);
                if (!b) continue;
                m[std::size_t(a - 1) * ng + std::size_t(b - 1)] += 1;
                m[std::size_t(b - 1) * ng + std::size_t(a - 1)] += 1;
            }
}

// Eigenvalues of a symmetric n x n matrix (row-major), by cyclic Jacobi rotations.
std::vector<double> symmetric_eigenvalues(std::vector<double> a, std::size_t n) {
    for (int sweep = 0; sweep < 64; ++sweep) {
        double off = 0;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = i + 1; j < n; ++j) off += a[i * n + j] * a[i * n + j];
        if (off < 1e-30) break;
        for (std::size_t p = 0; p < n; ++p)
            for (std::size_t q = p + 1; q < n; ++q) {
                const double apq = a[p * n + q];
                if (std::abs(apq) < 1e-300) continue;
                const double theta = (a[q * n + q] - a[p * n + p]) / (2 * apq);
                const double t = (theta >= 0 ? 1 : -1) / (std::abs(theta) + std::sqrt(theta * theta + 1));
                const double c = 1 / std::sqrt(t * t + 1), sn = t * c;
                for (std::size_t k = 0; k < n; ++k) {
                    const double akp = a[k * n + p], akq = a[k * n + q];
                    a[k * n + p] = c * akp - sn * akq, a[k * n + q] = sn * akp + c * akq;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    const double apk = a[p * n + k], aqk = a[q * n + k];
                    a[p * n + k] = c * apk - sn * aqk, a[q * n + k] = sn * apk + c * aqk;
                }
            }
    }
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = a[i * n + i];
    return out;
}

// pyradiomics' maximal correlation coefficient of a symmetric GLCM: the square root of the
// second largest eigenvalue of Q = D^-1 P D^-1 P, D the marginal. Q is similar to A^2 with
// A = D^-1/2 P D^-1/2 symmetric, whose largest eigenvalue is 1.
double maximal_correlation(const std::vector<double>& counts, const std::vector<double>& px, double total, std::size_t n) {
    std::vector<std::size_t> rows;
    for (std::size_t i = 0; i < n; ++i)
        if (px[i] > 0) rows.push_back(i);
    const std::size_t k = rows.size();
    if (k < 2) return 1.0;
    std::vector<double> a(k * k);
    for (std::size_t i = 0; i < k; ++i)
        for (std::size_t j = 0; j < k; ++j)
            a[i * k + j] = counts[rows[i] * n + rows[j]] / total / std::sqrt(px[rows[i]] * px[rows[j]]);
    std::vector<double> squares = symmetric_eigenvalues(std::move(a), k);
    for (double& v : squares) v *= v;
    std::sort(squares.begin(), squares.end(), std::greater<>());
    return std::sqrt(squares[1]);
}

std::optional<Values> glcm_features(const std::vector<double>& counts, const Grid& g, bool mcc = false) {
    double total = 0;
    for (double c : counts) total += c;
    if (total <= 0) return std::nullopt;
    const std::size_t n = std::size_t(g.ng);
    const double ng = g.ng_norm;
    const std::size_t top = std::size_t(g.value[n - 1]);  // the highest grey level
    std::vector<double> px(n, 0), py(n, 0), psum(2 * top + 1, 0), pdiff(top + 1, 0);
    double pmax = 0, mu = 0, entropy = 0, energy = 0, contrast = 0, dissim = 0, idf = 0, idn = 0, idm = 0,
           idmn = 0, ivar = 0, autocorr = 0;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            const double p = counts[i * n + j] / total;
            if (p == 0) continue;
            const double a = g.value[i], b = g.value[j], k = std::abs(a - b);
            px[i] += p, py[j] += p, psum[std::size_t(a + b)] += p, pdiff[std::size_t(k)] += p;
            pmax = std::max(pmax, p), mu += a * p, entropy -= p * std::log2(p), energy += p * p;
            contrast += k * k * p, dissim += k * p, idf += p / (1 + k), idn += p / (1 + k / ng);
            idm += p / (1 + k * k), idmn += p / (1 + k * k / (ng * ng));
            if (k > 0) ivar += p / (k * k);
            autocorr += a * b * p;
        }
    double mux = 0, muy = 0, hx = 0, hy = 0;
    for (std::size_t i = 0; i < n; ++i) {
        mux += g.value[i] * px[i], muy += g.value[i] * py[i];
        if (px[i] > 0) hx -= px[i] * std::log2(px[i]);
        if (py[i] > 0) hy -= py[i] * std::log2(py[i]);
    }
    double var = 0, sx = 0, sy = 0, cov = 0, tend = 0, shade = 0, prom = 0, hxy1 = 0, hxy2 = 0;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            const double p = counts[i * n + j] / total;
            const double a = g.value[i], b = g.value[j], q = px[i] * py[j];
            if (q > 0) hxy2 -= q * std::log2(q);
            if (p == 0) continue;
            var += (a - mu) * (a - mu) * p;
            cov += (a - mux) * (b - muy) * p;
            const double c = a + b - mux - muy;
            tend += c * c * p, shade += c * c * c * p, prom += c * c * c * c * p;
            hxy1 -= p * std::log2(q);
        }
    for (std::size_t i = 0; i < n; ++i) {
        sx += (g.value[i] - mux) * (g.value[i] - mux) * px[i];
        sy += (g.value[i] - muy) * (g.value[i] - muy) * py[i];
    }
    double davg = 0, dvar = 0, dentr = 0, savg = 0, svar = 0, sentr = 0;
    for (std::size_t k = 0; k < pdiff.size(); ++k) {
        davg += double(k) * pdiff[k];
        if (pdiff[k] > 0) dentr -= pdiff[k] * std::log2(pdiff[k]);
    }
    for (std::size_t k = 0; k < pdiff.size(); ++k) dvar += (double(k) - davg) * (double(k) - davg) * pdiff[k];
    for (std::size_t k = 2; k < psum.size(); ++k) {
        savg += double(k) * psum[k];
        if (psum[k] > 0) sentr -= psum[k] * std::log2(psum[k]);
    }
    for (std::size_t k = 2; k < psum.size(); ++k) svar += (double(k) - savg) * (double(k) - savg) * psum[k];
    const double corr = sx > 0 && sy > 0 ? cov / std::sqrt(sx * sy) : 1.0;
    const double hmax = std::max(hx, hy);
    const double ic1 = hmax > 0 ? (entropy - hxy1) / hmax : 0.0;
    const double ic2 = std::sqrt(std::max(0.0, 1 - std::exp(-2 * (hxy2 - entropy))));
    Values out{pmax, mu,   var,  entropy, davg,     dvar, dentr, savg,  svar, sentr, energy, contrast, dissim,
               idf,  idn,  idm,  idmn,    ivar,     corr, autocorr, tend, shade, prom, ic1,    ic2};
    if (mcc) out.push_back(maximal_correlation(counts, px, total, n));
    return out;
}

// ---- matrices of a grey level and a count: runs, zones, distances, dependences ----

// Rows are grey levels 1..ng, columns counts 1..width; nv is the voxel count it covers.
struct CountMatrix {
    int ng = 0;
    std::size_t width = 0;
    std::vector<double> m;
    double nv = 0;
    void widen(std::size_t to) {
        if (to <= width) return;
        std::vector<double> grown(std::size_t(ng) * to, 0);
        for (std::size_t i = 0; i < std::size_t(ng); ++i)
            std::copy_n(m.begin() + long(i * width), width, grown.begin() + long(i * to));
        m.swap(grown), width = to;
    }
    void add(std::int32_t level, std::size_t count) {
        widen(count);
        m[std::size_t(level - 1) * width + count - 1] += 1;
    }
    void merge(const CountMatrix& o) {
        widen(o.width);
        for (std::size_t i = 0; i < std::size_t(ng); ++i)
            for (std::size_t j = 0; j < o.width; ++j) m[i * width + j] += o.m[i * o.width + j];
        nv += o.nv;
    }
};

constexpr const char* kRlmNames[] = {"sre",  "lre",       "lgre", "hgre",      "srlge",  "srhge",  "lrlge",  "lrhge",
                                     "glnu", "glnu_norm", "rlnu", "rlnu_norm", "r_perc", "gl_var", "rl_var", "rl_entr"};
constexpr const char* kSzmNames[] = {"sze",  "lze",       "lgze", "hgze",      "szlge",  "szhge",  "lzlge",  "lzhge",
                                     "glnu", "glnu_norm", "zsnu", "zsnu_norm", "z_perc", "gl_var", "zs_var", "zs_entr"};
constexpr const char* kDzmNames[] = {"sde",  "lde",       "lgze", "hgze",      "sdlge",  "sdhge",  "ldlge",  "ldhge",
                                     "glnu", "glnu_norm", "zdnu", "zdnu_norm", "z_perc", "gl_var", "zd_var", "zd_entr"};
constexpr const char* kNglNames[] = {"lde",  "hde",       "lgce", "hgce",      "ldlge",   "ldhge",  "hdlge",  "hdhge", "glnu",
                                     "glnu_norm", "dcnu", "dcnu_norm", "dc_perc", "gl_var", "dc_var", "dc_entr", "dc_energy"};

std::optional<Values> count_features(const CountMatrix& c, const Grid& g, bool with_energy) {
    double ns = 0;
    for (double v : c.m) ns += v;
    if (ns <= 0) return std::nullopt;
    const std::size_t ng = std::size_t(c.ng), w = c.width;
    std::vector<double> rows(ng, 0), cols(w, 0);
    double f[8] = {};
    double mui = 0, muj = 0, entropy = 0, energy = 0;
    for (std::size_t i = 0; i < ng; ++i)
        for (std::size_t j = 0; j < w; ++j) {
            const double r = c.m[i * w + j];
            if (r == 0) continue;
            const double a = g.value[i], b = double(j + 1), a2 = a * a, b2 = b * b;
            rows[i] += r, cols[j] += r;
            f[0] += r / b2, f[1] += r * b2, f[2] += r / a2, f[3] += r * a2;
            f[4] += r / (a2 * b2), f[5] += r * a2 / b2, f[6] += r * b2 / a2, f[7] += r * a2 * b2;
            const double p = r / ns;
            mui += a * p, muj += b * p, entropy -= p * std::log2(p), energy += p * p;
        }
    double glnu = 0, rlnu = 0, gvar = 0, rvar = 0;
    for (std::size_t i = 0; i < ng; ++i) glnu += rows[i] * rows[i], gvar += (g.value[i] - mui) * (g.value[i] - mui) * rows[i] / ns;
    for (std::size_t j = 0; j < w; ++j) rlnu += cols[j] * cols[j], rvar += (double(j + 1) - muj) * (double(j + 1) - muj) * cols[j] / ns;
    Values v;
    for (double x : f) v.push_back(x / ns);
    v.insert(v.end(), {glnu / ns, glnu / (ns * ns), rlnu / ns, rlnu / (ns * ns), ns / c.nv, gvar, rvar, entropy});
    if (with_energy) v.push_back(energy);
    return v;
}

void count_runs(const Grid& g, const Slab& s, const Offset& d, CountMatrix& c) {
    for (long z = s.z0; z < s.z1; ++z)
        for (long y = 0; y < g.H; ++y)
            for (long x = 0; x < g.W; ++x) {
                const std::int32_t a = g.levels[(z * g.H + y) * g.W + x];
                if (!a) continue;
                c.nv += 1;
                const long pz = z - d[0];
                if (pz >= s.z0 && pz < s.z1 && g.at(pz, y - d[1], x - d[2]) == a) continue;  // not a run's start
                std::size_t length = 1;
                for (long zz = z + d[0], yy = y + d[1], xx = x + d[2];
                     zz >= s.z0 && zz < s.z1 && g.at(zz, yy, xx) == a; zz += d[0], yy += d[1], xx += d[2])
                    ++length;
                c.add(a, length);
            }
}

// Each ROI voxel's distance to the ROI's edge: 1 on the edge, counted in face-neighbour steps
// within the slab (in-plane only for a single slice). The edge is the morphological mask's, so
// that voxels re-segmentation took out are not edges; the image's border is one.
std::vector<std::int32_t> edge_distance(const Grid& g, const Slab& s) {
    const long n = (s.z1 - s.z0) * g.H * g.W;
    std::vector<std::int32_t> dist(std::size_t(n), 0);
    std::vector<long> queue;
    const std::array<Offset, 6> faces = {{{0, 0, 1}, {0, 0, -1}, {0, 1, 0}, {0, -1, 0}, {1, 0, 0}, {-1, 0, 0}}};
    const int nf = s.z1 - s.z0 == 1 ? 4 : 6;
    const auto inside = [&](long z, long y, long x) {
        return z >= s.z0 && z < s.z1 && y >= 0 && y < g.H && x >= 0 && x < g.W && g.morph[(z * g.H + y) * g.W + x] != 0;
    };
    for (long z = s.z0; z < s.z1; ++z)
        for (long y = 0; y < g.H; ++y)
            for (long x = 0; x < g.W; ++x) {
                if (!inside(z, y, x)) continue;
                for (int k = 0; k < nf; ++k)
                    if (!inside(z + faces[k][0], y + faces[k][1], x + faces[k][2])) {
                        const long i = ((z - s.z0) * g.H + y) * g.W + x;
                        dist[std::size_t(i)] = 1, queue.push_back(i);
                        break;
                    }
            }
    for (std::size_t head = 0; head < queue.size(); ++head) {
        const long i = queue[head];
        const long z = i / (g.H * g.W) + s.z0, y = i / g.W % g.H, x = i % g.W;
        for (int k = 0; k < nf; ++k) {
            const long zz = z + faces[k][0], yy = y + faces[k][1], xx = x + faces[k][2];
            if (!inside(zz, yy, xx)) continue;
            const long j = ((zz - s.z0) * g.H + yy) * g.W + xx;
            if (dist[std::size_t(j)]) continue;
            dist[std::size_t(j)] = dist[std::size_t(i)] + 1, queue.push_back(j);
        }
    }
    return dist;
}

// Zones: connected voxels of one grey level (8-connected in a slice, 26 in a volume); their
// sizes, and their distances to the edge (the least of their voxels').
void count_zones(const Grid& g, const Slab& s, CountMatrix& sizes, CountMatrix& distances) {
    const bool flat = s.z1 - s.z0 == 1;
    const std::vector<Offset> around = neighbourhood(flat, 1);
    const std::vector<std::int32_t> dist = edge_distance(g, s);
    const long n = (s.z1 - s.z0) * g.H * g.W;
    std::vector<std::uint8_t> seen(std::size_t(n), 0);
    std::vector<long> stack;
    for (long i = 0; i < n; ++i) {
        const std::int32_t a = g.levels[s.z0 * g.H * g.W + i];
        if (!a || seen[std::size_t(i)]) continue;
        std::size_t size = 0;
        std::int32_t nearest = dist[std::size_t(i)];
        seen[std::size_t(i)] = 1, stack.assign(1, i);
        while (!stack.empty()) {
            const long j = stack.back();
            stack.pop_back();
            ++size, nearest = std::min(nearest, dist[std::size_t(j)]);
            const long z = j / (g.H * g.W) + s.z0, y = j / g.W % g.H, x = j % g.W;
            for (const Offset& o : around) {
                const long zz = z + o[0], yy = y + o[1], xx = x + o[2];
                if (zz < s.z0 || zz >= s.z1 || g.at(zz, yy, xx) != a) continue;
                const long k = ((zz - s.z0) * g.H + yy) * g.W + xx;
                if (!seen[std::size_t(k)]) seen[std::size_t(k)] = 1, stack.push_back(k);
            }
        }
        sizes.add(a, size), distances.add(a, std::size_t(nearest));
        sizes.nv += double(size), distances.nv += double(size);
    }
}

// ---- NGTDM and NGLDM ----

struct ToneDifference {
    std::vector<double> s, n;  // per grey level
};

void count_neighbourhoods(const Grid& g, const Slab& sl, int distance, int alpha, ToneDifference& t,
                          CountMatrix& dependence) {
    const bool flat = sl.z1 - sl.z0 == 1;
    const std::vector<Offset> around = neighbourhood(flat, distance);
    for (long z = sl.z0; z < sl.z1; ++z)
        for (long y = 0; y < g.H; ++y)
            for (long x = 0; x < g.W; ++x) {
                const std::int32_t a = g.levels[(z * g.H + y) * g.W + x];
                if (!a) continue;
                const double va = g.value[a - 1];
                double sum = 0;
                int k = 0;
                std::size_t depends = 1;
                for (const Offset& o : around) {
                    const long zz = z + o[0];
                    if (zz < sl.z0 || zz >= sl.z1) continue;
                    const std::int32_t b = g.at(zz, y + o[1], x + o[2]);
                    if (!b) continue;
                    const double vb = g.value[b - 1];
                    sum += vb, ++k;
                    if (std::abs(vb - va) <= alpha) ++depends;
                }
                dependence.add(a, depends), dependence.nv += 1;
                if (k == 0) continue;
                t.s[std::size_t(a - 1)] += std::abs(va - sum / k), t.n[std::size_t(a - 1)] += 1;
            }
}

std::optional<Values> ngtdm_features(const ToneDifference& t, const Grid& g) {
    double nvc = 0, ssum = 0;
    for (std::size_t i = 0; i < t.n.size(); ++i) nvc += t.n[i], ssum += t.s[i];
    if (nvc <= 0) return std::nullopt;
    std::vector<double> p(t.n.size());
    double ngp = 0, ps = 0;
    for (std::size_t i = 0; i < p.size(); ++i) {
        p[i] = t.n[i] / nvc;
        if (p[i] > 0) ++ngp, ps += p[i] * t.s[i];
    }
    double c1 = 0, busy = 0, complexity = 0, strength = 0;
    for (std::size_t i = 0; i < p.size(); ++i) {
        if (p[i] == 0) continue;
        for (std::size_t j = 0; j < p.size(); ++j) {
            if (p[j] == 0) continue;
            const double a = g.value[i], b = g.value[j], d = a - b;
            c1 += p[i] * p[j] * d * d;
            busy += std::abs(a * p[i] - b * p[j]);
            complexity += std::abs(d) * (p[i] * t.s[i] + p[j] * t.s[j]) / (p[i] + p[j]);
            strength += (p[i] + p[j]) * d * d;
        }
    }
    const double coarseness = ps > 0 ? 1 / ps : 1e6;
    const double contrast = ngp > 1 ? c1 / (ngp * (ngp - 1)) * ssum / nvc : 0.0;
    return Values{coarseness, contrast, busy > 0 ? ps / busy : 0.0, complexity / nvc, ssum > 0 ? strength / ssum : 0.0};
}

constexpr const char* kNgtNames[] = {"coarseness", "contrast", "busyness", "complexity", "strength"};

// ---- aggregation ----

// Running means of feature vectors.
struct Mean {
    Values sum;
    double count = 0;
    void add(const std::optional<Values>& v) {
        if (!v) return;
        if (sum.empty()) sum.assign(v->size(), 0);
        for (std::size_t i = 0; i < v->size(); ++i) sum[i] += (*v)[i];
        ++count;
    }
    std::optional<Values> get() const {
        if (count == 0) return std::nullopt;
        Values v = sum;
        for (double& x : v) x /= count;
        return v;
    }
};

template <std::size_t N>
void emit(Features& out, const char* prefix, const char* const (&names)[N], const std::optional<Values>& v,
          const char* suffix) {
    for (std::size_t i = 0; i < N; ++i)
        out.emplace_back(std::string(prefix) + names[i] + suffix, v ? (*v)[i] : NAN);
}

}  // namespace

void texture_features(const Prepared& p, const Settings& s, Features& out) {
    // The matrices span only the grey levels present: a small ROI of many levels stays small.
    std::vector<std::int32_t> index(std::size_t(p.grey_levels) + 1, 0);
    for (std::int32_t l : p.levels) index[std::size_t(l)] = 1;
    index[0] = 0;  // outside the ROI
    std::vector<double> value;
    for (std::size_t l = 1; l < index.size(); ++l)
        if (index[l]) value.push_back(double(l)), index[l] = std::int32_t(value.size());
    std::vector<std::int32_t> compact(p.levels.size());
    for (std::size_t i = 0; i < compact.size(); ++i) compact[i] = index[std::size_t(p.levels[i])];
    const Grid g{compact.data(), p.morph.data(), long(p.dims[0]), long(p.dims[1]), long(p.dims[2]),
                 int(value.size()), value.data(), p.grey_levels};
    const std::size_t ng = std::size_t(g.ng);
    const auto run = [&](std::size_t count, auto&& body) {
        if (s.parallel) return parallel_for(count, body);
        for (std::size_t i = 0; i < count; ++i) body(i);
    };
    std::vector<long> slices;  // those holding ROI voxels
    for (long z = 0; z < g.D; ++z)
        for (long i = z * g.H * g.W; i < (z + 1) * g.H * g.W; ++i)
            if (compact[std::size_t(i)]) {
                slices.push_back(z);
                break;
            }
    const Slab volume{0, g.D};
    // Co-occurrence matrices take Ng x Ng each: refuse grey levels too many for the memory limit.
    const long double matrices = (s.texture_2d ? double(slices.size()) * 4 + 10 : 0) + (s.texture_3d ? 27 : 0);
    if (const std::string refusal = limits::output_refusal(matrices * ng * ng * 8, compact.size() * 12); !refusal.empty())
        throw std::invalid_argument("the texture matrices of " + std::to_string(ng) + " grey levels: " + refusal +
                                    "; or discretise to fewer levels (binWidth, binCount)");
    const auto new_counts = [&] { return CountMatrix{g.ng, 1, std::vector<double>(ng, 0), 0}; };
    Features glcm, rlm, szm, dzm, ngt, ngl;

    if (s.texture_2d) {
        const std::vector<Offset> dirs = directions(true, s.distance);
        const std::vector<Offset> run_dirs = directions(true, 1);
        const std::size_t nd = dirs.size();
        // Per slice: the matrices of each direction and of the slice as a whole, computed in parallel.
        struct SliceResult {
            std::vector<std::vector<double>> cm;
            std::vector<CountMatrix> rl;
            CountMatrix sz, dz, dc;
            ToneDifference td;
        };
        std::vector<SliceResult> r(slices.size());
        run(slices.size(), [&](std::size_t k) {
            const Slab slab{slices[k], slices[k] + 1};
            SliceResult& x = r[k];
            for (std::size_t d = 0; d < nd; ++d) {
                x.cm.emplace_back(ng * ng, 0.0);
                count_glcm(g, slab, dirs[d], x.cm.back());
                x.rl.push_back(new_counts());
                count_runs(g, slab, run_dirs[d], x.rl.back());
            }
            x.sz = new_counts(), x.dz = new_counts(), x.dc = new_counts();
            count_zones(g, slab, x.sz, x.dz);
            x.td = ToneDifference{std::vector<double>(ng, 0), std::vector<double>(ng, 0)};
            count_neighbourhoods(g, slab, s.distance, s.ngldm_alpha, x.td, x.dc);
        });
        Mean cm_avg, cm_comb, rl_avg, rl_comb, sz2, dz2, ng2, dc2;
        std::vector<std::vector<double>> cm_dir(nd, std::vector<double>(ng * ng, 0));
        std::vector<CountMatrix> rl_dir(nd, new_counts());
        std::vector<double> cm_all(ng * ng, 0);
        CountMatrix rl_all = new_counts(), sz_all = new_counts(), dz_all = new_counts(), dc_all = new_counts();
        ToneDifference td_all{std::vector<double>(ng, 0), std::vector<double>(ng, 0)};
        for (SliceResult& x : r) {
            std::vector<double> cm_slice(ng * ng, 0);
            CountMatrix rl_slice = new_counts();
            for (std::size_t d = 0; d < nd; ++d) {
                cm_avg.add(glcm_features(x.cm[d], g));
                rl_avg.add(count_features(x.rl[d], g, false));
                for (std::size_t i = 0; i < ng * ng; ++i) cm_slice[i] += x.cm[d][i], cm_dir[d][i] += x.cm[d][i];
                rl_slice.merge(x.rl[d]), rl_dir[d].merge(x.rl[d]);
            }
            cm_comb.add(glcm_features(cm_slice, g));
            rl_comb.add(count_features(rl_slice, g, false));
            for (std::size_t i = 0; i < ng * ng; ++i) cm_all[i] += cm_slice[i];
            rl_all.merge(rl_slice);
            sz2.add(count_features(x.sz, g, false)), dz2.add(count_features(x.dz, g, false));
            dc2.add(count_features(x.dc, g, true)), ng2.add(ngtdm_features(x.td, g));
            sz_all.merge(x.sz), dz_all.merge(x.dz), dc_all.merge(x.dc);
            for (std::size_t i = 0; i < ng; ++i) td_all.s[i] += x.td.s[i], td_all.n[i] += x.td.n[i];
        }
        Mean cm_dir_avg, rl_dir_avg;
        for (std::size_t d = 0; d < nd; ++d) {
            cm_dir_avg.add(glcm_features(cm_dir[d], g));
            rl_dir_avg.add(count_features(rl_dir[d], g, false));
        }
        emit(glcm, "cm_", kGlcmNames, cm_avg.get(), "_2D_avg");
        emit(glcm, "cm_", kGlcmNames, cm_comb.get(), "_2D_comb");
        emit(glcm, "cm_", kGlcmNames, cm_dir_avg.get(), "_2_5D_avg");
        emit(glcm, "cm_", kGlcmNames, glcm_features(cm_all, g), "_2_5D_comb");
        emit(rlm, "rlm_", kRlmNames, rl_avg.get(), "_2D_avg");
        emit(rlm, "rlm_", kRlmNames, rl_comb.get(), "_2D_comb");
        emit(rlm, "rlm_", kRlmNames, rl_dir_avg.get(), "_2_5D_avg");
        emit(rlm, "rlm_", kRlmNames, count_features(rl_all, g, false), "_2_5D_comb");
        emit(szm, "szm_", kSzmNames, sz2.get(), "_2D");
        emit(szm, "szm_", kSzmNames, count_features(sz_all, g, false), "_2_5D");
        emit(dzm, "dzm_", kDzmNames, dz2.get(), "_2D");
        emit(dzm, "dzm_", kDzmNames, count_features(dz_all, g, false), "_2_5D");
        emit(ngt, "ngt_", kNgtNames, ng2.get(), "_2D");
        emit(ngt, "ngt_", kNgtNames, ngtdm_features(td_all, g), "_2_5D");
        emit(ngl, "ngl_", kNglNames, dc2.get(), "_2D");
        emit(ngl, "ngl_", kNglNames, count_features(dc_all, g, true), "_2_5D");
    }
    if (s.texture_3d) {
        const std::vector<Offset> dirs = directions(false, s.distance);
        const std::vector<Offset> run_dirs = directions(false, 1);
        const std::size_t nd = dirs.size();
        std::vector<std::vector<double>> cm(nd, std::vector<double>(ng * ng, 0));
        std::vector<CountMatrix> rl(nd, new_counts());
        CountMatrix sz = new_counts(), dz = new_counts(), dc = new_counts();
        ToneDifference td{std::vector<double>(ng, 0), std::vector<double>(ng, 0)};
        // The zones and the neighbourhoods first, the longest items, then the directions.
        run(nd + 2, [&](std::size_t item) {
            if (item == 0) return count_zones(g, volume, sz, dz);
            if (item == 1) return count_neighbourhoods(g, volume, s.distance, s.ngldm_alpha, td, dc);
            const std::size_t d = item - 2;
            count_glcm(g, volume, dirs[d], cm[d]);
            count_runs(g, volume, run_dirs[d], rl[d]);
        });
        Mean cm_avg, rl_avg;
        std::vector<double> cm_all(ng * ng, 0);
        CountMatrix rl_all = new_counts();
        for (std::size_t d = 0; d < nd; ++d) {
            cm_avg.add(glcm_features(cm[d], g, s.pyradiomics_extras));
            rl_avg.add(count_features(rl[d], g, false));
            for (std::size_t i = 0; i < ng * ng; ++i) cm_all[i] += cm[d][i];
            rl_all.merge(rl[d]);
        }
        const std::optional<Values> averaged = cm_avg.get();
        emit(glcm, "cm_", kGlcmNames, averaged, "_3D_avg");
        if (s.pyradiomics_extras) glcm.emplace_back("cm_mcc_3D_avg", averaged ? averaged->back() : NAN);
        emit(glcm, "cm_", kGlcmNames, glcm_features(cm_all, g), "_3D_comb");
        emit(rlm, "rlm_", kRlmNames, rl_avg.get(), "_3D_avg");
        emit(rlm, "rlm_", kRlmNames, count_features(rl_all, g, false), "_3D_comb");
        emit(szm, "szm_", kSzmNames, count_features(sz, g, false), "_3D");
        emit(dzm, "dzm_", kDzmNames, count_features(dz, g, false), "_3D");
        emit(ngt, "ngt_", kNgtNames, ngtdm_features(td, g), "_3D");
        emit(ngl, "ngl_", kNglNames, count_features(dc, g, true), "_3D");
    }
    for (Features* f : {&glcm, &rlm, &szm, &dzm, &ngt, &ngl}) out.insert(out.end(), f->begin(), f->end());
}

}  // namespace loamwerk::radiomics
