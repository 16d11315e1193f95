#include "response/criteria.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>

namespace loamwerk::response {

namespace {

enum class Kind { kDiameter, kViable, kProduct };

double contribution(const Lesion& l, Kind kind, bool node_short_axis) {
    if (l.status == kTooSmall) return kind == Kind::kProduct ? 25.0 : 5.0;
    if (l.status != kMeasured) return 0;
    switch (kind) {
    case Kind::kProduct: return l.a * l.b;
    case Kind::kViable: return l.a;
    default: return node_short_axis && l.lymph_node ? l.b : l.a;
    }
}

struct Sums {
    double baseline = 0, current = 0, reference = 0;
};

Sums prepare(const std::vector<Lesion>& base, const std::vector<Lesion>& cur, double nadir, Kind kind, const char* name,
             bool node_short_axis = false) {
    if (base.size() != cur.size())
        throw std::runtime_error(std::string(name) + ": baseline has " + std::to_string(base.size()) +
                                 " lesions and current has " + std::to_string(cur.size()) +
                                 " \u2014 they must be the same lesions in the same order");
    if (base.empty()) throw std::runtime_error(std::string(name) + ": no target lesions given");
    Sums s;
    for (const Lesion& l : base) s.baseline += contribution(l, kind, node_short_axis);
    for (const Lesion& l : cur) s.current += contribution(l, kind, node_short_axis);
    s.reference = nadir > 0 ? nadir : s.baseline;
    return s;
}

bool all_absent(const std::vector<Lesion>& cur) {
    return std::all_of(cur.begin(), cur.end(), [](const Lesion& l) { return l.status == kAbsent; });
}

Evaluation done(Response r, const Sums& s) { return {r, s.baseline, s.current}; }

}  // namespace

Status parse_status(std::string_view s) {
    static constexpr std::string_view kNames[] = {"measured", "too_small", "not_evaluable", "absent", "present",
                                                  "unequivocal_pd"};
    for (std::uint32_t i = 0; i < 6; ++i)
        if (s == kNames[i]) return Status(i);
    throw std::runtime_error("recist: unknown lesion status '" + std::string(s) +
                             "' \u2014 one of measured, too_small, not_evaluable, absent, present, unequivocal_pd");
}

const char* response_name(Response r) {
    static constexpr const char* kNames[] = {"CR", "PR", "SD", "PD", "NE"};
    return kNames[r];
}

Evaluation recist(const std::vector<Lesion>& base, const std::vector<Lesion>& cur, double nadir, bool new_lesion,
                  bool nt_progression, const char* name) {
    const Sums s = prepare(base, cur, nadir, Kind::kDiameter, name, true);
    if (new_lesion || nt_progression) return done(kPD, s);
    if (std::all_of(cur.begin(), cur.end(), [](const Lesion& l) {
            return l.status == kAbsent || (l.lymph_node && l.b < 10.0);
        }))
        return done(kCR, s);
    if (s.reference > 0 && s.current - s.reference >= 5.0 && (s.current - s.reference) / s.reference >= 0.2)
        return done(kPD, s);
    if (!(s.baseline > 0)) return done(kSD, s);
    return done((s.baseline - s.current) / s.baseline >= 0.3 ? kPR : kSD, s);
}

Evaluation mrecist(const std::vector<Lesion>& base, const std::vector<Lesion>& cur, double nadir, bool new_lesion) {
    const Sums s = prepare(base, cur, nadir, Kind::kViable, "mrecist");
    if (new_lesion) return done(kPD, s);
    if (all_absent(cur)) return done(kCR, s);
    if (s.reference > 0 && s.current - s.reference >= 5.0 && (s.current - s.reference) / s.reference >= 0.2)
        return done(kPD, s);
    if (!(s.baseline > 0)) return done(kSD, s);
    return done((s.baseline - s.current) / s.baseline >= 0.3 ? kPR : kSD, s);
}

Evaluation cheson(const std::vector<Lesion>& base, const std::vector<Lesion>& cur, double nadir, bool new_lesion) {
    const Sums s = prepare(base, cur, nadir, Kind::kProduct, "cheson");
    if (new_lesion) return done(kPD, s);
    if (std::all_of(cur.begin(), cur.end(), [](const Lesion& l) {
            return l.status == kAbsent || (l.lymph_node && l.a <= 15.0);
        }))
        return done(kCR, s);
    if (s.reference > 0 && (s.current - s.reference) / s.reference >= 0.5) return done(kPD, s);
    if (!(s.baseline > 0)) return done(kSD, s);
    return done((s.baseline - s.current) / s.baseline >= 0.5 ? kPR : kSD, s);
}

Evaluation rano(const std::vector<Lesion>& base, const std::vector<Lesion>& cur, double nadir, bool new_lesion,
                NonEnhancing non_enhancing, bool on_steroids) {
    const Sums s = prepare(base, cur, nadir, Kind::kProduct, "rano");
    if (new_lesion || non_enhancing == kIncreased) return done(kPD, s);
    if (s.reference > 0 && (s.current - s.reference) / s.reference >= 0.25) return done(kPD, s);
    if (all_absent(cur) && (non_enhancing == kStable || non_enhancing == kImproved) && !on_steroids) return done(kCR, s);
    if (!(s.baseline > 0) || non_enhancing == kUnknown) return done(kSD, s);
    return done((s.baseline - s.current) / s.baseline >= 0.5 ? kPR : kSD, s);
}

const char* irecist_response(Response r, bool prev_was_iupd) {
    switch (r) {
    case kCR: return "iCR";
    case kPR: return "iPR";
    case kSD: return "iSD";
    case kPD: return prev_was_iupd ? "iCPD" : "iUPD";
    default: return "iNE";
    }
}

const char* pcwg3_bone(long s1, long s2, bool pending) {
    if (pending) return s2 < 0 ? "Pending" : s2 <= 1 ? "No Progression" : "Progression";
    if (s1 < 2) return "No Progression";
    if (s2 < 0) return "Pending";
    return s2 >= 2 ? "Progression" : "No Progression";
}

const char* pcwg3_psa(double current, double nadir) {
    if (current < 0 || nadir < 0) return "NE";
    if (nadir > 0 && current - nadir >= 2.0 && (current - nadir) / nadir >= 0.25) return "Progression";
    return "No Progression";
}

std::optional<Feret> feret(const std::uint8_t* m, std::size_t rows, std::size_t cols, double sx, double sy) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < rows * cols; ++i) count += m[i] != 0;
    if (!count) return std::nullopt;
    constexpr std::size_t kFixed = 4096;
    double fixed_x[kFixed], fixed_y[kFixed];
    std::vector<double> heap_x, heap_y;
    double* xs = fixed_x;
    double* ys = fixed_y;
    if (count > kFixed) {
        try {
            heap_x.resize(count), heap_y.resize(count);
        } catch (const std::bad_alloc&) {
            return std::nullopt;
        }
        xs = heap_x.data(), ys = heap_y.data();
    }
    std::size_t n = 0;
    auto at = [&](std::size_t r, std::size_t c) { return m[r * cols + c] != 0; };
    for (std::size_t r = 0; r < rows && n < count; ++r)
        for (std::size_t c = 0; c < cols && n < count; ++c) {
            if (!at(r, c)) continue;
            const bool edge_row = r == 0 || r + 1 == rows;
            const bool boundary = edge_row || c == 0 || c + 1 == cols || !at(r - 1, c) || !at(r + 1, c) ||
                                  !at(r, c - 1) || !at(r, c + 1);
            if (boundary) xs[n] = double(c), ys[n] = double(r), ++n;
        }
    Feret f;
    if (n == 1) {
        f.longest_mm = std::max(sx, sy);
        f.longest[0] = f.longest[2] = xs[0], f.longest[1] = f.longest[3] = ys[0];
        return f;
    }
    double best = -1;
    std::size_t bi = 0, bj = 0;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j) {
            const double dx = (xs[j] - xs[i]) * sx, dy = (ys[j] - ys[i]) * sy;
            const double d2 = dx * dx + dy * dy;
            if (d2 > best) best = d2, bi = i, bj = j;
        }
    f.longest_mm = std::sqrt(best);
    f.longest[0] = xs[bi], f.longest[1] = ys[bi], f.longest[2] = xs[bj], f.longest[3] = ys[bj];
    const double dx = (xs[bj] - xs[bi]) * sx, dy = (ys[bj] - ys[bi]) * sy;
    const double len = std::sqrt(dx * dx + dy * dy);
    if (len < 1e-9) return f;
    const double ux = -dy / len, uy = dx / len;
    std::size_t lo = 0, hi = 0;
    double plo = 0, phi = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const double p = xs[k] * sx * ux + ys[k] * sy * uy;
        if (k == 0 || p < plo) plo = p, lo = k;
        if (k == 0 || p > phi) phi = p, hi = k;
    }
    f.width_mm = phi - plo;
    f.width[0] = xs[lo], f.width[1] = ys[lo], f.width[2] = xs[hi], f.width[3] = ys[hi];
    return f;
}

}  // namespace loamwerk::response
