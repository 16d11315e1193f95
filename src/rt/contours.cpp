#include "rt/contours.hpp"

#include <unordered_map>

namespace loamwerk::rt {

namespace {

// A point on the doubled lattice: edge midpoints have one odd coordinate.
struct Point {
    long y2 = 0, x2 = 0;
    bool operator==(const Point& o) const { return y2 == o.y2 && x2 == o.x2; }
};
struct PointHash {
    std::size_t operator()(const Point& p) const { return std::size_t(p.y2) * 1000003u ^ std::size_t(p.x2); }
};

}  // namespace

std::vector<std::vector<std::array<double, 2>>> mask_outlines(const std::uint8_t* plane, std::size_t rows, std::size_t columns) {
    // Cells between the centres of a plane padded with one empty pixel all round.
    const auto inside = [&](long r, long c) {
        return r >= 0 && c >= 0 && r < long(rows) && c < long(columns) && plane[std::size_t(r) * columns + std::size_t(c)] != 0;
    };
    std::unordered_map<Point, std::array<Point, 2>, PointHash> links;
    std::unordered_map<Point, int, PointHash> degree;
    const auto link = [&](Point a, Point b) {
        links[a][std::size_t(degree[a]++)] = b;
        links[b][std::size_t(degree[b]++)] = a;
    };
    for (long i = -1; i < long(rows); ++i)
        for (long j = -1; j < long(columns); ++j) {
            const int code = (inside(i, j) ? 8 : 0) | (inside(i, j + 1) ? 4 : 0) | (inside(i + 1, j + 1) ? 2 : 0) |
                             (inside(i + 1, j) ? 1 : 0);
            if (code == 0 || code == 15) continue;
            const Point t{2 * i, 2 * j + 1}, r{2 * i + 1, 2 * j + 2}, b{2 * i + 2, 2 * j + 1}, l{2 * i + 1, 2 * j};
            switch (code) {
                case 1: case 14: link(l, b); break;
                case 2: case 13: link(b, r); break;
                case 3: case 12: link(l, r); break;
                case 4: case 11: link(t, r); break;
                case 6: case 9: link(t, b); break;
                case 7: case 8: link(t, l); break;
                case 5: link(t, r), link(l, b); break;   // diagonal pixels kept apart
                case 10: link(t, l), link(b, r); break;
            }
        }
    std::vector<std::vector<std::array<double, 2>>> loops;
    std::unordered_map<Point, bool, PointHash> seen;
    for (const auto& [start, next] : links) {
        if (seen[start]) continue;
        std::vector<Point> loop;
        Point previous = start, at = start;
        do {
            seen[at] = true;
            loop.push_back(at);
            const auto& n = links.at(at);
            const Point step = n[0] == previous && loop.size() > 1 ? n[1] : n[0];
            previous = at, at = step;
        } while (!(at == start) && loop.size() <= links.size());
        // Straight runs keep only their ends.
        std::vector<std::array<double, 2>> out;
        const std::size_t n = loop.size();
        for (std::size_t k = 0; k < n; ++k) {
            const Point& a = loop[(k + n - 1) % n];
            const Point& p = loop[k];
            const Point& c = loop[(k + 1) % n];
            if ((p.x2 - a.x2) * (c.y2 - p.y2) == (p.y2 - a.y2) * (c.x2 - p.x2)) continue;
            out.push_back({double(p.x2) / 2, double(p.y2) / 2});
        }
        if (out.size() >= 3) loops.push_back(std::move(out));
    }
    return loops;
}

}  // namespace loamwerk::rt
