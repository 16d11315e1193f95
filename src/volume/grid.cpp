// Decoding on worker threads, grouping frames into a grid, and copying volumes out of it.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <numeric>
#include <stdexcept>
#include <tuple>

#include "core/parallel.hpp"
#include "diffusion/b0.hpp"
#include "pixel/decode.hpp"
#include "volume/enhanced_us.hpp"
#include "volume/formats.hpp"
#include "volume/grid.hpp"

namespace loamwerk::volume {

namespace {

constexpr float kDistinct = 1e-4f;
constexpr std::size_t kMaxGroups = 64;

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

double dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

std::array<double, 3> normal_of(const FrameGeometryRecord& r) {
    const double* a = r.orientation;
    const double* b = r.orientation + 3;
    std::array<double, 3> n{a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    const double len = std::sqrt(dot(n.data(), n.data()));
    if (len > 1e-10) for (double& c : n) c /= len;
    return n;
}

// Sorted values reduced to those more than 1e-4 apart.
std::vector<float> distinct(std::vector<float> v) {
    std::sort(v.begin(), v.end());
    std::vector<float> out;
    for (float x : v)
        if (out.empty() || std::fabs(x - out.back()) > kDistinct) out.push_back(x);
    return out;
}

std::uint32_t nearest(const std::vector<float>& values, float x) {
    std::uint32_t best = 0;
    float best_d = std::fabs(values[0] - x);
    for (std::uint32_t i = 1; i < values.size(); ++i) {
        const float d = std::fabs(values[i] - x);
        if (d < best_d) best = i, best_d = d;
    }
    return best;
}

void merge(DecodedSeries& into, DecodedSeries&& part) {
    if (part.records.empty()) return;
    const std::string& uid = part.series_uid;
    auto it = std::find(into.series_uids.begin(), into.series_uids.end(), uid);
    std::uint32_t index;
    if (it == into.series_uids.end()) {
        index = std::uint32_t(into.series_uids.size());
        into.series_uids.push_back(uid);
        into.series_info.push_back(part.series_info.front());
    } else {
        index = std::uint32_t(it - into.series_uids.begin());
        SeriesInfo& known = into.series_info[index];
        const SeriesInfo& mine = part.series_info.front();
        if (known.enhanced_us && mine.enhanced_us)
            fail("volume::decode_frames: multiple Enhanced US Volume instances in one Series are not yet supported");
        if (known.enhanced_us != mine.enhanced_us)
            fail("volume::decode_frames: one Series mixes Enhanced US Volume and non-Enhanced-US instances");
        if (known.frame_of_reference.empty()) known.frame_of_reference = mine.frame_of_reference;
        else if (!mine.frame_of_reference.empty() && mine.frame_of_reference != known.frame_of_reference)
            fail("volume::decode_frames: one Series contains multiple Frames of Reference");
        known.frames += mine.frames;
    }
    if (into.series_uid.empty()) into.series_uid = uid;
    const std::uint32_t offset = std::uint32_t(into.records.size());
    for (FrameGeometryRecord& r : part.records) {
        r.frame_id += offset;
        into.records.push_back(r);
    }
    for (auto& f : part.frames) into.frames.push_back(std::move(f));
    into.dims.insert(into.dims.end(), part.dims.begin(), part.dims.end());
    into.file_index.insert(into.file_index.end(), part.file_index.begin(), part.file_index.end());
    into.frame_number.insert(into.frame_number.end(), part.frame_number.begin(), part.frame_number.end());
    into.instance_number.insert(into.instance_number.end(), part.instance_number.begin(), part.instance_number.end());
    into.diffusion.insert(into.diffusion.end(), part.diffusion.begin(), part.diffusion.end());
    into.keys.insert(into.keys.end(), part.keys.begin(), part.keys.end());
    for (auto& l : part.lazy) into.lazy.push_back(std::move(l));
    into.series_index.insert(into.series_index.end(), part.records.size(), index);
}

bool decodable(const DecodedSeries& d, std::uint32_t frame_id) {
    if (frame_id < d.frames.size() && !d.frames[frame_id].empty()) return true;
    return frame_id < d.lazy.size() && d.lazy[frame_id].file && d.lazy[frame_id].scalar;
}

// The records of one orientation group (the first, or the one with the most decodable frames).
std::vector<const FrameGeometryRecord*> orientation_group(const std::vector<FrameGeometryRecord>& records,
                                                          const DecodedSeries& decoded, bool largest) {
    std::vector<int> group(records.size(), -1);
    std::vector<std::array<double, 3>> normals;
    normals.reserve(records.size());
    for (const auto& r : records) normals.push_back(normal_of(r));
    std::size_t groups = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (group[i] >= 0) continue;
        if (groups == kMaxGroups) break;
        group[i] = int(groups);
        for (std::size_t j = i + 1; j < records.size(); ++j)
            if (group[j] < 0 && std::fabs(float(dot(normals[i].data(), normals[j].data()))) > 0.9999f)
                group[j] = int(groups);
        ++groups;
    }
    if (groups == 0) fail("volume::discover_group: no coherent volume found");
    int chosen = 0;
    if (largest) {
        std::vector<std::size_t> score(groups, 0);
        for (std::size_t i = 0; i < records.size(); ++i)
            if (group[i] >= 0 && decodable(decoded, records[i].frame_id)) ++score[std::size_t(group[i])];
        for (std::size_t g = 1; g < groups; ++g)
            if (score[g] > score[std::size_t(chosen)]) chosen = int(g);
    }
    std::vector<const FrameGeometryRecord*> out;
    for (std::size_t i = 0; i < records.size(); ++i)
        if (group[i] == chosen) out.push_back(&records[i]);
    return out;
}

std::size_t score_of(const VolumeGrid& g, const DecodedSeries& d) {
    std::size_t n = 0;
    for (std::uint32_t id : g.table)
        if (id != VolumeGrid::kEmpty && decodable(d, id)) ++n;
    return n;
}

void copy_affine(const double* from, double* to) { std::copy(from, from + 16, to); }

}  // namespace

std::string_view axis_name(unsigned code) {
    static constexpr std::string_view kNames[] = {"spatial",  "temporal", "bvalue",    "direction", "echo",
                                                  "cardiac",  "segment",  "frametype", "stack",     "velocity",
                                                  "energy",   "datatype", "acquisition"};
    return code < kAxisCount ? kNames[code] : "dim";
}

DecodedSeries decode_frames(const std::vector<std::string>& paths, bool want_diffusion, bool lazy) {
    if (paths.empty()) fail("volume::decode_frames: no files");
    std::vector<DecodedSeries> slots(paths.size());
    parallel_for(paths.size(), [&](std::size_t i) {
        slots[i] = decode_one_file(paths[i], std::uint32_t(i), want_diffusion, lazy);
    });
    DecodedSeries all;
    all.paths = paths;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        DecodedSeries& s = slots[i];
        const bool none = s.records.empty() ||
                          (!lazy && std::all_of(s.frames.begin(), s.frames.end(), [](const ByteVector& f) { return f.empty(); }));
        if (none) all.undecoded.push_back(paths[i] + ": " + (s.problem.empty() ? "no frame decoded" : s.problem));
        merge(all, std::move(s));
    }
    if (all.records.empty()) {
        // Name the files and why, a few of them.
        std::string why;
        for (std::size_t i = 0; i < all.undecoded.size() && i < 5; ++i) why += (i ? "; " : "") + all.undecoded[i];
        if (all.undecoded.size() > 5) why += "; and " + std::to_string(all.undecoded.size() - 5) + " more";
        fail("volume::decode_frames: no decodable image frames (" + why + ")");
    }
    return all;
}

void invert_affine(const double a[16], double inv[16]) {
    const double* c0 = a;
    const double* c1 = a + 4;
    const double* c2 = a + 8;
    double m[3][3];  // m[row][col] of the inverse
    if (dot(c2, c0) == 0 && dot(c2, c1) == 0) {
        const double* cols[3] = {c0, c1, c2};
        for (int r = 0; r < 3; ++r) {
            const double len2 = std::max(dot(cols[r], cols[r]), 1e-20);
            for (int c = 0; c < 3; ++c) m[r][c] = cols[r][c] / len2;
        }
    } else {
        // M[r][c] = a[c * 4 + r]
        auto M = [&](int r, int c) { return a[c * 4 + r]; };
        double det = M(0, 0) * (M(1, 1) * M(2, 2) - M(1, 2) * M(2, 1)) -
                     M(0, 1) * (M(1, 0) * M(2, 2) - M(1, 2) * M(2, 0)) +
                     M(0, 2) * (M(1, 0) * M(2, 1) - M(1, 1) * M(2, 0));
        if (std::fabs(det) < 1e-20) det = det < 0 ? -1e-20 : 1e-20;
        m[0][0] = (M(1, 1) * M(2, 2) - M(1, 2) * M(2, 1)) / det;
        m[0][1] = (M(0, 2) * M(2, 1) - M(0, 1) * M(2, 2)) / det;
        m[0][2] = (M(0, 1) * M(1, 2) - M(0, 2) * M(1, 1)) / det;
        m[1][0] = (M(1, 2) * M(2, 0) - M(1, 0) * M(2, 2)) / det;
        m[1][1] = (M(0, 0) * M(2, 2) - M(0, 2) * M(2, 0)) / det;
        m[1][2] = (M(0, 2) * M(1, 0) - M(0, 0) * M(1, 2)) / det;
        m[2][0] = (M(1, 0) * M(2, 1) - M(1, 1) * M(2, 0)) / det;
        m[2][1] = (M(0, 1) * M(2, 0) - M(0, 0) * M(2, 1)) / det;
        m[2][2] = (M(0, 0) * M(1, 1) - M(0, 1) * M(1, 0)) / det;
    }
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) inv[c * 4 + r] = m[r][c];
        inv[12 + r] = -(m[r][0] * a[12] + m[r][1] * a[13] + m[r][2] * a[14]);
        inv[r * 4 + 3] = 0;
    }
    inv[15] = 1;
}

namespace {

// Frames that share a slice position and every named axis, told apart by what their files say.
struct Separation {
    std::vector<float> value;    // per member: the 1-based acquisition index (0: not separated)
    std::vector<bool> dropped;   // per member: an exact duplicate of an earlier member
    std::uint32_t count = 1;     // distinct acquisition indices
    std::string by;
    std::size_t duplicates = 0;
};

double key_of(const FrameKeys& k, int which) {
    switch (which) {
    case 0: return k.temporal_index;
    case 1: return k.acquisition_number;
    case 2: return k.stack_id;
    case 3: return k.echo_number;
    default: return double(k.complex_part);
    }
}

// The diffusion encoding as a comparable tuple (NaN b when the frame states none).
std::array<double, 4> diffusion_key(const DiffusionEntry& e) {
    if (!e.valid) return {std::nan(""), 0, 0, 0};
    return {double(std::lround(e.bvalue)), double(std::lround(e.gradient[0] * 1000)),
            double(std::lround(e.gradient[1] * 1000)), double(std::lround(e.gradient[2] * 1000))};
}

// Equal, NaN included (a value both frames lack does not tell them apart).
bool same_value(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }
bool same_key(const std::array<double, 4>& a, const std::array<double, 4>& b) {
    for (std::size_t i = 0; i < 4; ++i)
        if (!same_value(a[i], b[i])) return false;
    return true;
}

// Acquisition order of two frames: time, Instance Number, file, frame.
struct Acquired {
    double time;
    std::uint32_t instance, file, frame;
    bool operator<(const Acquired& o) const {
        const bool a = std::isnan(time), b = std::isnan(o.time);
        if (a != b) return b;  // frames with a time first
        if (!a && time != o.time) return time < o.time;
        return std::tie(instance, file, frame) < std::tie(o.instance, o.file, o.frame);
    }
};

Acquired acquired(const DecodedSeries& d, std::uint32_t id) {
    return {id < d.keys.size() ? d.keys[id].acquisition_time : std::nan(""),
            id < d.instance_number.size() ? d.instance_number[id] : 0u, id < d.file_index.size() ? d.file_index[id] : 0u,
            id < d.frame_number.size() ? d.frame_number[id] : 0u};
}

std::string path_of(const DecodedSeries& d, std::uint32_t id) {
    const std::uint32_t f = id < d.file_index.size() ? d.file_index[id] : 0;
    return f < d.paths.size() ? d.paths[f] : "file " + std::to_string(f);
}

// `cells` lists, per occupied cell, the members placed there (in list order).
Separation separate(const std::vector<std::vector<std::size_t>>& cells,
                    const std::vector<const FrameGeometryRecord*>& members, const DecodedSeries& d) {
    Separation s;
    s.value.assign(members.size(), 0.f);
    s.dropped.assign(members.size(), false);
    const FrameKeys none;
    auto keys = [&](std::size_t m) -> const FrameKeys& {
        const std::uint32_t id = members[m]->frame_id;
        return id < d.keys.size() ? d.keys[id] : none;
    };
    auto entry = [&](std::size_t m) {
        const std::uint32_t id = members[m]->frame_id;
        return id < d.diffusion.size() ? diffusion_key(d.diffusion[id]) : diffusion_key(DiffusionEntry{});
    };
    // Exact duplicates (the same frame of the same SOP instance, e.g. a file copied twice) are set
    // aside, the first in list order kept.
    for (const auto& cell : cells) {
        std::vector<std::tuple<std::uint64_t, std::uint32_t, std::size_t>> seen;
        for (std::size_t m : cell)
            if (keys(m).sop_instance != 0) seen.emplace_back(keys(m).sop_instance, d.frame_number[members[m]->frame_id], m);
        std::sort(seen.begin(), seen.end());
        for (std::size_t i = 1; i < seen.size(); ++i)
            if (std::get<0>(seen[i]) == std::get<0>(seen[i - 1]) && std::get<1>(seen[i]) == std::get<1>(seen[i - 1]))
                s.dropped[std::get<2>(seen[i])] = true, ++s.duplicates;
    }
    auto live = [&](const std::vector<std::size_t>& cell) {
        std::vector<std::size_t> out;
        for (std::size_t m : cell)
            if (!s.dropped[m]) out.push_back(m);
        return out;
    };
    bool colliding = false;
    for (const auto& cell : cells) colliding = colliding || live(cell).size() > 1;
    if (!colliding) return s;

    // An attribute that is constant within a volume and tells every colliding frame apart makes the
    // volumes: their order is the attribute's for indices and numbers, acquisition order otherwise.
    using Identity = std::array<double, 4>;
    auto try_identity = [&](auto identity, bool numeric_order, const char* name) {
        for (const auto& cell : cells) {
            const std::vector<std::size_t> l = live(cell);
            if (l.size() < 2) continue;
            std::vector<Identity> ids;
            for (std::size_t m : l) {
                const Identity v = identity(m);
                if (std::isnan(v[0])) return false;
                ids.push_back(v);
            }
            std::sort(ids.begin(), ids.end());
            if (std::adjacent_find(ids.begin(), ids.end()) != ids.end()) return false;
        }
        // Distinct identities with their earliest acquisition, then their order.
        std::map<Identity, Acquired> first;
        for (std::size_t m = 0; m < members.size(); ++m) {
            if (s.dropped[m]) continue;
            const Identity v = identity(m);
            if (std::isnan(v[0])) continue;
            const Acquired when = acquired(d, members[m]->frame_id);
            const auto [it, added] = first.emplace(v, when);
            if (!added && when < it->second) it->second = when;
        }
        std::vector<std::pair<Identity, Acquired>> ordered(first.begin(), first.end());
        if (!numeric_order)
            std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
        std::map<Identity, float> index;
        for (std::size_t i = 0; i < ordered.size(); ++i) index[ordered[i].first] = float(i);
        for (std::size_t m = 0; m < members.size(); ++m) {
            if (s.dropped[m]) continue;
            const Identity v = identity(m);
            if (!std::isnan(v[0])) s.value[m] = index[v];  // frames without one stay with the first volume
        }
        s.count = std::uint32_t(ordered.size());
        s.by = name;
        return true;
    };
    static constexpr struct { int key; bool numeric; const char* name; } kIdentities[] = {
        {0, true, "Temporal Position Index"}, {1, true, "Acquisition Number"}, {2, false, "Stack ID"}};
    for (const auto& c : kIdentities)
        if (try_identity([&](std::size_t m) { return Identity{key_of(keys(m), c.key), 0, 0, 0}; }, c.numeric, c.name))
            return s;
    if (try_identity(entry, false, "diffusion b-value and gradient")) return s;
    if (try_identity([&](std::size_t m) { return Identity{key_of(keys(m), 3), 0, 0, 0}; }, true, "Echo Numbers"))
        return s;
    if (try_identity([&](std::size_t m) { return Identity{key_of(keys(m), 4), 0, 0, 0}; }, true, "image type"))
        return s;

    // Otherwise the k-th frame acquired at each position belongs to the k-th volume.
    s.by = "acquisition time and Instance Number";
    std::uint32_t count = 1;
    for (const auto& cell : cells) {
        std::vector<std::size_t> l = live(cell);
        std::stable_sort(l.begin(), l.end(), [&](std::size_t a, std::size_t b) {
            return acquired(d, members[a]->frame_id) < acquired(d, members[b]->frame_id);
        });
        for (std::size_t i = 1; i < l.size(); ++i) {
            const std::uint32_t a = members[l[i - 1]]->frame_id, b = members[l[i]]->frame_id;
            const Acquired x = acquired(d, a), y = acquired(d, b);
            const bool same_object = keys(l[i - 1]).sop_instance == keys(l[i]).sop_instance &&
                                     keys(l[i]).sop_instance != 0 && x.file == y.file;
            if (same_value(x.time, y.time) && x.instance == y.instance && !same_object &&
                same_key(entry(l[i - 1]), entry(l[i])) &&
                same_value(keys(l[i - 1]).echo_number, keys(l[i]).echo_number) &&
                keys(l[i - 1]).complex_part == keys(l[i]).complex_part)
                fail("volume::discover_group: frames at one slice position cannot be told apart (same position, "
                     "acquisition time and Instance Number, and nothing else that differs): " +
                     path_of(d, a) + " and " + path_of(d, b));
        }
        for (std::size_t i = 0; i < l.size(); ++i) s.value[l[i]] = float(i);
        count = std::max(count, std::uint32_t(l.size()));
    }
    s.count = count;
    return s;
}

// The slice step: the mean step when the distinct positions are equally spaced (rounded
// positions make the first step alone err by up to their precision times the depth), else the
// step between the first two.
std::array<double, 3> slice_step(const std::vector<const FrameGeometryRecord*>& at_position) {
    const std::size_t n = at_position.size();
    std::array<double, 3> first, mean;
    for (int i = 0; i < 3; ++i) {
        first[i] = at_position[1]->position[i] - at_position[0]->position[i];
        mean[i] = (at_position[n - 1]->position[i] - at_position[0]->position[i]) / double(n - 1);
    }
    const double tolerance = 0.01 + 1e-3 * std::sqrt(dot(mean.data(), mean.data()));
    for (std::size_t z = 1; z < n; ++z) {
        double err = 0;
        for (int i = 0; i < 3; ++i) {
            const double e = at_position[z]->position[i] - at_position[z - 1]->position[i] - mean[i];
            err += e * e;
        }
        if (std::sqrt(err) > tolerance) return first;
    }
    return mean;
}

}  // namespace

VolumeGrid discover_group(const std::vector<FrameGeometryRecord>& records, const DecodedSeries& decoded,
                          bool largest_group) {
    const auto members = orientation_group(records, decoded, largest_group);
    VolumeGrid g;
    const std::array<double, 3> normal = normal_of(*members.front());
    std::vector<float> projected;
    projected.reserve(members.size());
    for (const auto* r : members) projected.push_back(float(dot(r->position, normal.data())));
    g.axes[0].code = 0;
    g.axes[0].values = distinct(projected);
    if (g.axes[0].values.empty()) fail("volume::discover_group: empty Z axis");
    g.axes[0].count = std::uint32_t(g.axes[0].values.size());
    g.axes[0].step = g.axes[0].count >= 2 ? std::fabs(g.axes[0].values[1] - g.axes[0].values[0])
                                          : float(members.front()->slice_thickness);
    // The named axes.
    for (unsigned a = 1; a < kAcquisition; ++a) {
        std::vector<float> v;
        for (const auto* r : members)
            if (!std::isnan(r->axis[a])) v.push_back(r->axis[a]);
        GridAxis& axis = g.axes[a];
        axis.code = a;
        axis.values = distinct(std::move(v));
        axis.count = std::uint32_t(axis.values.size());
        axis.step = (a == kDataType || axis.count < 2) ? 0.f : std::fabs(axis.values[1] - axis.values[0]);
    }
    // Each member's slice and named-axis indices; members sharing them are told apart next.
    std::vector<std::uint32_t> slice(members.size());
    std::vector<std::vector<std::uint32_t>> index(members.size());
    std::map<std::vector<std::uint32_t>, std::vector<std::size_t>> shared;
    for (std::size_t m = 0; m < members.size(); ++m) {
        slice[m] = g.axes[0].count > 1 ? nearest(g.axes[0].values, projected[m]) : 0;
        std::vector<std::uint32_t> key{slice[m]};
        for (unsigned a = 1; a < kAcquisition; ++a) {
            if (g.axes[a].count < 2) continue;
            const float v = members[m]->axis[a];
            key.push_back(std::isnan(v) ? 0 : nearest(g.axes[a].values, v));
        }
        index[m] = key;
        shared[key].push_back(m);
    }
    std::vector<std::vector<std::size_t>> cells;
    cells.reserve(shared.size());
    for (auto& [key, list] : shared) cells.push_back(std::move(list));
    const Separation sep = separate(cells, members, decoded);
    g.grouping = sep.by;
    g.duplicates = sep.duplicates;
    GridAxis& acquisition = g.axes[kAcquisition];
    acquisition.code = kAcquisition;
    if (sep.count >= 2) {
        acquisition.count = sep.count;
        for (std::uint32_t i = 0; i < sep.count; ++i) acquisition.values.push_back(float(i + 1));
        acquisition.step = 1;
    }
    std::uint64_t cells_total = g.axes[0].count;
    g.strides[0] = 1;
    for (unsigned a = 1; a < kAxisCount; ++a) {
        if (g.axes[a].count >= 2) {
            g.strides[a] = cells_total;
            cells_total *= g.axes[a].count;
        }
    }
    if (cells_total > (std::uint64_t(1) << 31)) fail("volume::discover_group: grid too large");
    g.table.assign(std::size_t(cells_total), VolumeGrid::kEmpty);
    // Nearest frame to each distinct position, first on ties, for the slice step.
    std::vector<const FrameGeometryRecord*> at_position(g.axes[0].count, nullptr);
    std::vector<float> at_distance(g.axes[0].count, 0);
    for (std::size_t m = 0; m < members.size(); ++m) {
        if (sep.dropped[m]) continue;
        const std::uint32_t z = slice[m];
        const float dz = std::fabs(g.axes[0].values[z] - projected[m]);
        if (!at_position[z] || dz < at_distance[z]) at_position[z] = members[m], at_distance[z] = dz;
        std::uint64_t cell = z;
        std::size_t k = 1;
        for (unsigned a = 1; a < kAcquisition; ++a)
            if (g.axes[a].count >= 2) cell += index[m][k++] * g.strides[a];
        if (acquisition.count >= 2) cell += std::uint64_t(sep.value[m]) * g.strides[kAcquisition];
        if (cell < g.table.size()) g.table[std::size_t(cell)] = members[m]->frame_id;
    }
    if (std::find(at_position.begin(), at_position.end(), nullptr) != at_position.end())
        fail("volume::discover_group: the slice positions cannot be ordered");
    const FrameGeometryRecord& first = *at_position[0];
    const double* row = first.orientation;
    const double* col = first.orientation + 3;
    const std::array<double, 3> step = g.axes[0].count >= 2 ? slice_step(at_position) : std::array<double, 3>{};
    for (int i = 0; i < 3; ++i) {
        g.affine[i] = row[i] * first.pixel_spacing[1];
        g.affine[4 + i] = col[i] * first.pixel_spacing[0];
        g.affine[8 + i] = g.axes[0].count >= 2 ? step[i] : normal[i] * double(g.axes[0].step);
        g.affine[12 + i] = first.position[i];
    }
    g.affine[15] = 1;
    invert_affine(g.affine, g.inverse);
    g.spacing[0] = first.pixel_spacing[1];
    g.spacing[1] = first.pixel_spacing[0];
    g.spacing[2] = std::sqrt(dot(g.affine + 8, g.affine + 8));
    for (std::uint32_t id : g.table) {
        if (id == VolumeGrid::kEmpty || id >= decoded.dims.size()) continue;
        if (!g.columns && decoded.dims[id][0]) g.columns = decoded.dims[id][0], g.rows = decoded.dims[id][1];
    }
    for (std::uint32_t id : g.table) {
        if (id >= decoded.frames.size() || decoded.frames[id].empty()) continue;  // lazily held frames: not yet known
        const auto& f = decoded.frames[id];
        const float* v = reinterpret_cast<const float*>(f.data());
        const auto [lo, hi] = std::minmax_element(v, v + f.size() / 4);
        g.value_min = std::min(g.value_min, *lo);
        g.value_max = std::max(g.value_max, *hi);
    }
    return g;
}

int vol_assemble(VolumeOut& out, const VolumeGrid& grid, const std::array<std::uint32_t, kAxisCount - 1>& selection,
                 const FrameFill& fill, int dtype, std::uint8_t* at) {
    static constexpr std::uint32_t kBytes[] = {1, 2, 2, 4, 3};
    if (!fill || dtype < 0 || dtype > 4 || !grid.columns || !grid.rows || !grid.depth()) return -1;
    const std::size_t bpv = kBytes[dtype];
    const std::size_t slice = bpv * grid.columns * grid.rows;
    if (!at) {
        out.buffer.resize(slice * grid.depth());  // not zero-filled: every slice is written below
        at = out.buffer.data();
    }
    std::uint64_t base = 0;
    for (unsigned a = 1; a < kAxisCount; ++a)
        if (grid.axes[a].count >= 2) base += std::uint64_t(selection[a - 1] < grid.axes[a].count ? selection[a - 1] : 0) *
                                              grid.strides[a];
    auto copy_slice = [&](std::size_t z) {
        const std::uint64_t cell = base + z;
        const bool occupied = cell < grid.table.size() && grid.table[std::size_t(cell)] != VolumeGrid::kEmpty;
        if (!occupied || !fill(grid.table[std::size_t(cell)], at + z * slice, slice)) std::memset(at + z * slice, 0, slice);
    };
    if (grid.depth() < 8) {
        for (std::size_t z = 0; z < grid.depth(); ++z) copy_slice(z);
    } else {
        parallel_for(grid.depth(), copy_slice);
    }
    out.columns = grid.columns, out.rows = grid.rows, out.depth = std::uint32_t(grid.depth());
    out.bytes_per_voxel = std::uint32_t(bpv), out.channels = dtype == 4 ? 3 : 1;
    copy_affine(grid.affine, out.affine);
    float range = grid.value_max - grid.value_min;
    if (!(range >= 1e-10f)) range = 1;
    out.norm_scale = 1 / range, out.norm_offset = -grid.value_min / range;
    return 0;
}

int vol_assemble(VolumeOut& out, const VolumeGrid& grid, const std::array<std::uint32_t, kAxisCount - 1>& selection,
                 const FrameFetch& fetch, int dtype, std::uint8_t* at) {
    if (!fetch) return -1;
    // A frame of another size than the grid's is treated as absent rather than over-read.
    return vol_assemble(out, grid, selection, FrameFill([&](std::uint32_t id, std::uint8_t* dst, std::size_t bytes) {
        const ByteVector* f = fetch(id);
        if (!f || f->size() < bytes) return false;
        std::memcpy(dst, f->data(), bytes);
        return true;
    }), dtype, at);
}

namespace {

// Frames held decoded are copied; lazily held ones are decoded straight into their slice.
FrameFill fill_from(const DecodedSeries& d) {
    return [&d](std::uint32_t id, std::uint8_t* dst, std::size_t bytes) {
        if (id < d.frames.size() && d.frames[id].size() >= bytes) {
            std::memcpy(dst, d.frames[id].data(), bytes);
            return true;
        }
        return id < d.lazy.size() && decode_lazy_frame(d.lazy[id], dst, bytes);
    };
}

// Colour frames decoded to interleaved 8-bit RGB, straight into their slice.
FrameFill fill_rgb(const DecodedSeries& d) {
    return [&d](std::uint32_t id, std::uint8_t* dst, std::size_t bytes) {
        if (id >= d.lazy.size() || !d.lazy[id].file) return false;
        thread_local ByteVector out, scratch;
        out.clear();
        render::FrameLayout layout;
        if (render::append_rendered(*d.lazy[id].file->image, d.lazy[id].index, out, layout, scratch) != render::render_error::kOk ||
            layout.samples != 3 || layout.width != 1 || out.size() < bytes)
            return false;
        std::memcpy(dst, out.data(), bytes);
        return true;
    };
}

std::vector<FrameGeometryRecord> records_of(const DecodedSeries& d, std::uint32_t series) {
    std::vector<FrameGeometryRecord> out;
    for (std::size_t i = 0; i < d.records.size(); ++i)
        if (d.series_index[i] == series) out.push_back(d.records[i]);
    return out;
}

// Room for one more volume of the grid's size (float32, or `voxel` bytes a voxel) at the end of `data`.
std::uint8_t* append_volume(ByteVector& data, const VolumeGrid& g, std::size_t voxel = 4) {
    const std::size_t bytes = voxel * g.columns * g.rows * g.depth();
    const std::size_t at = data.size();
    data.resize(at + bytes);
    return data.data() + at;
}

void fill_geometry(const VolumeGrid& g, double spacing[3], double affine[16]) {
    spacing[0] = g.spacing[2], spacing[1] = g.spacing[1], spacing[2] = g.spacing[0];
    copy_affine(g.affine, affine);
}

using Selection = std::array<std::uint32_t, kAxisCount - 1>;

// The volumes of a grid: every combination of the present non-spatial axes (the last listed
// varying fastest) that holds at least one frame. A combination without any frame is not a
// volume of the series (a b = 0 frame has no gradient direction, for one) and is left out.
struct GridVolumes {
    std::vector<Selection> selections;
    std::vector<std::uint64_t> bases;  // the cell of slice 0 of each volume
    std::vector<unsigned> present;
    std::size_t missing_slices = 0;  // empty slices among the volumes kept
};

GridVolumes grid_volumes(const VolumeGrid& grid) {
    GridVolumes out;
    std::size_t combinations = 1;
    for (unsigned a = 1; a < kAxisCount; ++a)
        if (grid.axes[a].count >= 2) out.present.push_back(a), combinations *= grid.axes[a].count;
    for (std::size_t v = 0; v < combinations; ++v) {
        Selection sel{};
        std::size_t rest = v;
        for (std::size_t p = out.present.size(); p-- > 0;) {
            const unsigned a = out.present[p];
            sel[a - 1] = std::uint32_t(rest % grid.axes[a].count);
            rest /= grid.axes[a].count;
        }
        std::uint64_t base = 0;
        for (unsigned a : out.present) base += sel[a - 1] * grid.strides[a];
        std::size_t occupied = 0;
        for (std::size_t z = 0; z < grid.depth(); ++z)
            occupied += grid.table[std::size_t(base + z)] != VolumeGrid::kEmpty;
        if (occupied == 0 && combinations > 1) continue;
        out.missing_slices += grid.depth() - occupied;
        out.selections.push_back(sel);
        out.bases.push_back(base);
    }
    return out;
}

// The first occupied slice's frame of the volume at `base`, or kEmpty.
std::uint32_t first_frame(const VolumeGrid& grid, std::uint64_t base) {
    for (std::size_t z = 0; z < grid.depth(); ++z)
        if (const std::uint32_t id = grid.table[std::size_t(base + z)]; id != VolumeGrid::kEmpty) return id;
    return VolumeGrid::kEmpty;
}

// The stored-value map shared by every frame placed in the grid.
Rescale shared_rescale(const VolumeGrid& grid, const DecodedSeries& d) {
    Rescale r;
    bool first = true;
    for (std::uint32_t id : grid.table) {
        if (id == VolumeGrid::kEmpty || id >= d.keys.size()) continue;
        const FrameKeys& k = d.keys[id];
        if (first) {
            r.uniform = k.linear, r.slope = k.slope, r.intercept = k.intercept, r.is_signed = k.is_signed;
            r.stored_bytes = k.stored_bytes, r.philips_scale = k.philips_scale;
            first = false;
            continue;
        }
        if (!k.linear || k.slope != r.slope || k.intercept != r.intercept || k.is_signed != r.is_signed ||
            k.stored_bytes != r.stored_bytes)
            r.uniform = false;
        if (!(k.philips_scale == r.philips_scale)) r.philips_scale = std::nan("");
    }
    if (first) r.uniform = false;
    return r;
}

// Frames as their stored integers (the unpacked samples the modality map takes); frames held as
// float32 (mosaic tiles) are mapped back exactly. A frame that fails sets `failed`.
FrameFill fill_stored(const DecodedSeries& d, const Rescale& r, int type, std::atomic<bool>& failed) {
    return [&d, r, type, &failed](std::uint32_t id, std::uint8_t* dst, std::size_t bytes) {
        bool ok = false;
        if (id < d.frames.size() && !d.frames[id].empty()) {
            const std::size_t n = bytes / element_bytes(type);
            ok = d.frames[id].size() >= n * 4 &&
                 encode_stored(reinterpret_cast<const float*>(d.frames[id].data()), n, r.slope, r.intercept, type, dst);
        } else if (id < d.lazy.size() && d.lazy[id].file && d.lazy[id].scalar) {
            thread_local ByteVector out;
            out.clear();
            render::FrameLayout layout;
            const render::RenderImage& img = *d.lazy[id].file->image;
            ok = render::append_stored(img, img.frames[d.lazy[id].index], false, out, layout) == render::render_error::kOk &&
                 layout.width == element_bytes(type) && out.size() >= bytes;
            if (ok) std::memcpy(dst, out.data(), bytes);
        }
        if (!ok) failed = true;
        return ok;
    };
}

// The volume writer type of a shared stored-value map: uint8, uint16 or int16; -1 for others.
int stored_type(const Rescale& r) {
    if (!r.uniform) return -1;
    if (r.stored_bytes == 2) return r.is_signed ? 2 : 1;
    return r.stored_bytes == 1 && !r.is_signed ? 0 : -1;
}

// Streams the volumes' slices to `sink` in order: decoded on worker threads a block at a time,
// written by the calling thread. Returns the sample type written.
int stream_volumes(const VolumeGrid& grid, const DecodedSeries& d, const std::vector<Selection>& selections,
                   const Rescale& rescale, int type, SliceSink& sink, const double* affine) {
    const std::size_t depth = grid.depth(), total = selections.size() * depth;
    std::vector<std::uint64_t> bases;
    for (const Selection& sel : selections) {
        std::uint64_t base = 0;
        for (unsigned a = 1; a < kAxisCount; ++a)
            if (grid.axes[a].count >= 2) base += std::uint64_t(sel[a - 1] < grid.axes[a].count ? sel[a - 1] : 0) * grid.strides[a];
        bases.push_back(base);
    }
    constexpr std::size_t kBlock = 8;
    for (;;) {
        std::atomic<bool> failed{false};
        const FrameFill fill = type == 4 ? fill_rgb(d) : type == 3 ? fill_from(d) : fill_stored(d, rescale, type, failed);
        const std::size_t slice = (type == 4 ? 3 : element_bytes(type)) * grid.columns * grid.rows;
        sink.begin({type, grid.columns, grid.rows, depth, selections.size(), affine, &rescale});
        // Blocks decoded on the workers, each written at its place by the worker that decoded it.
        parallel_for((total + kBlock - 1) / kBlock, [&](std::size_t b) {
            if (failed && type != 3) return;
            thread_local ByteVector block;
            const std::size_t first = b * kBlock, n = std::min(kBlock, total - first);
            block.resize(slice * n);
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t k = first + i;
                const std::uint64_t cell = bases[k / depth] + k % depth;
                std::uint8_t* dst = block.data() + i * slice;
                const std::uint32_t id = cell < grid.table.size() ? grid.table[std::size_t(cell)] : VolumeGrid::kEmpty;
                if (id == VolumeGrid::kEmpty || !fill(id, dst, slice)) std::memset(dst, 0, slice);
            }
            sink.write_at(first * slice, block.data(), n * slice);
        });
        if (!failed || type == 3) return type;
        type = 3;  // a frame's stored values did not map exactly: float32 after all
    }
}

// Copies the volumes at `selections` into `data` one after another: stored integers when asked
// for and every frame shares one linear map (the float32 values otherwise), or RGB. Returns the
// sample type written (vol_assemble's codes).
int copy_volumes(const VolumeGrid& grid, const DecodedSeries& d, const std::vector<Selection>& selections,
                 Samples samples, const Rescale& rescale, ByteVector& data, const std::string& who,
                 SliceSink* sink = nullptr, const double* affine = nullptr) {
    int type = samples == Samples::kRgb ? 4 : samples == Samples::kStored ? stored_type(rescale) : 3;
    if (type < 0) type = 3;
    if (sink) return stream_volumes(grid, d, selections, rescale, type, *sink, affine);
    for (;;) {
        std::atomic<bool> failed{false};
        const FrameFill fill = type == 4 ? fill_rgb(d) : type == 3 ? fill_from(d) : fill_stored(d, rescale, type, failed);
        const std::size_t voxel = type == 4 ? 3 : element_bytes(type);
        data.clear();
        data.reserve(selections.size() * voxel * grid.columns * grid.rows * grid.depth());
        for (const Selection& sel : selections) {
            VolumeOut vo;
            if (vol_assemble(vo, grid, sel, fill, type, grid.columns ? append_volume(data, grid, voxel) : nullptr) != 0)
                fail(who + ": vol_assemble failed");
        }
        if (!failed || type == 3) return type;
        type = 3;  // a frame's stored values did not map exactly: float32 after all
    }
}

}  // namespace

std::vector<std::vector<std::uint32_t>> volume_frames(const VolumeGrid& grid) {
    const GridVolumes volumes = grid_volumes(grid);
    std::vector<std::vector<std::uint32_t>> out;
    for (std::uint64_t base : volumes.bases) {
        std::vector<std::uint32_t>& v = out.emplace_back(grid.depth(), VolumeGrid::kEmpty);
        for (std::size_t z = 0; z < grid.depth(); ++z) v[z] = grid.table[std::size_t(base + z)];
    }
    return out;
}

AssembledVolume assemble(const std::vector<std::string>& paths, bool require_lps) {
    const DecodedSeries d = decode_frames(paths, false, true);
    VolumeGrid grid;
    std::size_t chosen = 0;
    if (d.series_uids.size() <= 1) {
        grid = discover_group(d.records, d, true);
    } else {
        std::size_t best = 0;
        bool found = false;
        for (std::size_t s = 0; s < d.series_uids.size(); ++s) {
            if (require_lps && d.series_info[s].geometry_frame != 1) continue;
            VolumeGrid g;
            try {
                g = discover_group(records_of(d, std::uint32_t(s)), d, true);
            } catch (const std::runtime_error&) {
                continue;
            }
            const std::size_t score = score_of(g, d);
            if (!found || score > best) grid = std::move(g), best = score, chosen = s, found = true;
        }
        if (!found)
            fail(require_lps ? "volume::assemble: no coherent Patient-LPS volume found; source geometry in another "
                               "coordinate frame requires an explicit registration"
                             : "volume::assemble: no coherent volume found in any series");
    }
    const SeriesInfo& info = d.series_info[chosen];
    if (info.enhanced_us) enhanced_us::check_grid(grid, info, info.frames);
    if (require_lps && info.geometry_frame != 1)
        fail("volume::assemble: source geometry is not in Patient LPS; an explicit Volume-to-Patient registration is "
             "required");
    if (info.enhanced_us && (grid.axes[kTemporal].count > 1 || grid.axes[kDataType].count >= 2))
        fail("volume::assemble: Enhanced US has multiple temporal positions or Data Types; use "
             "assemble_4d_source_frame");
    const GridVolumes volumes = grid_volumes(grid);
    VolumeOut v;
    const Selection first = volumes.selections.empty() ? Selection{} : volumes.selections.front();
    if (vol_assemble(v, grid, first, fill_from(d), 3) != 0) fail("volume::assemble: vol_assemble failed");
    AssembledVolume out;
    out.depth = v.depth, out.rows = v.rows, out.columns = v.columns;
    out.data = std::move(v.buffer);
    fill_geometry(grid, out.spacing, out.affine);
    out.series_uid = d.series_uids.empty() ? d.series_uid : d.series_uids[chosen];
    out.grouping = grid.grouping, out.duplicates = grid.duplicates;
    out.volumes_in_series = std::max<std::size_t>(volumes.selections.size(), 1);
    if (!volumes.bases.empty())
        for (std::size_t z = 0; z < grid.depth(); ++z)
            out.missing_slices += grid.table[std::size_t(volumes.bases[0] + z)] == VolumeGrid::kEmpty;
    out.rescale = shared_rescale(grid, d);
    out.undecoded = d.undecoded;
    return out;
}

Volume4D assemble_4d(const std::vector<std::string>& paths, bool require_lps, Samples samples) {
    return assemble_4d(decode_frames(paths, false, true), require_lps, samples);
}

Volume4D assemble_4d(const DecodedSeries& d, bool require_lps, Samples samples, SliceSink* sink) {
    const std::vector<std::string>& paths = d.paths;
    if (d.series_uids.size() != 1) fail("volume::assemble_4d: input must contain exactly one Series");
    const VolumeGrid grid = discover_group(d.records, d);
    if (d.series_info[0].enhanced_us) enhanced_us::check_grid(grid, d.series_info[0], d.series_info[0].frames);
    if (require_lps && d.series_info[0].geometry_frame != 1)
        fail("volume::assemble_4d: source geometry is not in Patient LPS; an explicit Volume-to-Patient registration "
             "is required");
    const GridVolumes volumes = grid_volumes(grid);
    Volume4D out;
    out.volumes = volumes.selections.size();
    out.series_uid = d.series_uids[0];
    out.rescale = shared_rescale(grid, d);
    fill_geometry(grid, out.spacing, out.affine);
    out.dtype = copy_volumes(grid, d, volumes.selections, samples, out.rescale, out.data, "volume::assemble_4d", sink,
                             out.affine);
    out.depth = grid.depth(), out.rows = grid.rows, out.columns = grid.columns;
    for (std::uint64_t base : volumes.bases) {
        const std::uint32_t id = first_frame(grid, base);
        out.volume_path.push_back(id == VolumeGrid::kEmpty ? std::string() : paths[d.file_index[id]]);
        out.volume_frame.push_back(id == VolumeGrid::kEmpty ? 0 : d.frame_number[id]);
    }
    for (unsigned a : volumes.present) out.dimensions.push_back(grid.axes[a]);
    out.grouping = grid.grouping, out.duplicates = grid.duplicates, out.missing_slices = volumes.missing_slices;
    out.undecoded = d.undecoded;
    return out;
}

namespace {

using Vec3 = std::array<double, 3>;

Vec3 normalised(Vec3 v) {
    const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (len > 0) for (double& c : v) c /= len;
    return v;
}

// The gradient in the voxel frame; nothing when it cannot be converted.
enum class Conversion { kOk, kNeedsPhase, kSingular };

Conversion voxel_gradient(const DiffusionEntry& e, const FrameGeometryRecord& r, Vec3& out) {
    const Vec3 g{e.gradient[0], e.gradient[1], e.gradient[2]};
    const double len = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
    if (!std::isfinite(len) || !(len > 1e-12)) {
        out = {0, 0, 0};
        return Conversion::kOk;
    }
    const double* row = r.orientation;
    const double* col = r.orientation + 3;
    Vec3 n{row[1] * col[2] - row[2] * col[1], row[2] * col[0] - row[0] * col[2], row[0] * col[1] - row[1] * col[0]};
    Vec3 s = e.has_slice_normal ? Vec3{e.slice_normal[0], e.slice_normal[1], e.slice_normal[2]} : n;
    if (e.frame == DiffusionEntry::Frame::kVoxel) {
        out = normalised(g);
    } else if (e.frame == DiffusionEntry::Frame::kLogical) {
        if (e.phase_direction != 'R' && e.phase_direction != 'C') return Conversion::kNeedsPhase;
        int d = 0;
        for (int i = 1; i < 3; ++i)
            if (std::fabs(n[i]) > std::fabs(n[d])) d = i;
        const double a = d == 0 ? -g[0] : g[0];
        const double b = d == 2 ? g[1] : -g[1];
        const double z = ((d != 0) == (dot(n.data(), s.data()) < 0)) ? -g[2] : g[2];
        out = e.phase_direction == 'R' ? Vec3{b, -a, z} : Vec3{-a, -b, z};
        out = normalised(out);
    } else {
        // Patient frame: solve [row col slice] x = g.
        const Vec3 sn = normalised(s);
        const double m[3][3] = {{row[0], col[0], sn[0]}, {row[1], col[1], sn[1]}, {row[2], col[2], sn[2]}};
        const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
        if (std::fabs(det) <= 1e-6) return Conversion::kSingular;
        const double inv[3][3] = {
            {(m[1][1] * m[2][2] - m[1][2] * m[2][1]) / det, (m[0][2] * m[2][1] - m[0][1] * m[2][2]) / det,
             (m[0][1] * m[1][2] - m[0][2] * m[1][1]) / det},
            {(m[1][2] * m[2][0] - m[1][0] * m[2][2]) / det, (m[0][0] * m[2][2] - m[0][2] * m[2][0]) / det,
             (m[0][2] * m[1][0] - m[0][0] * m[1][2]) / det},
            {(m[1][0] * m[2][1] - m[1][1] * m[2][0]) / det, (m[0][1] * m[2][0] - m[0][0] * m[2][1]) / det,
             (m[0][0] * m[1][1] - m[0][1] * m[1][0]) / det}};
        for (int i = 0; i < 3; ++i) out[i] = inv[i][0] * g[0] + inv[i][1] * g[1] + inv[i][2] * g[2];
        out = normalised(out);
    }
    if (e.y_flip) out[1] = -out[1];
    for (double& c : out)
        if (c == 0) c = 0;  // no negative zeros
    return Conversion::kOk;
}


}  // namespace

DwiVolumes assemble_dwi(const DecodedSeries& d, const std::vector<std::string>& paths, bool acquisition_order,
                        Samples samples, SliceSink* sink) {
    // The scanner's isotropic (trace) frames are derived from the others: not part of the scheme.
    std::vector<std::size_t> valid;
    std::vector<double> bvals;
    std::vector<std::array<double, 3>> gradients;
    std::vector<bool> flagged;
    for (std::size_t i = 0; i < d.records.size() && i < d.diffusion.size(); ++i) {
        const DiffusionEntry& e = d.diffusion[i];
        if (!e.valid) continue;
        valid.push_back(i), bvals.push_back(e.bvalue), flagged.push_back(e.isotropic);
        gradients.push_back({e.gradient[0], e.gradient[1], e.gradient[2]});
    }
    const auto kinds = diffusion::classify_volumes(bvals, &gradients, diffusion::kDefaultB0Threshold, &flagged);
    std::vector<FrameGeometryRecord> records;
    std::size_t derived = 0;
    for (std::size_t j = 0; j < valid.size(); ++j) {
        if (kinds[j] == diffusion::VolumeKind::kDerived) ++derived;
        else records.push_back(d.records[valid[j]]);
    }
    if (records.empty()) fail("volume::assemble_dwi: no DWI frames (CSA diffusion)");
    const VolumeGrid grid = discover_group(records, d);
    const GridVolumes volumes = grid_volumes(grid);
    // Each volume's encoding is its first frame's; every frame of it must share that encoding.
    std::vector<std::uint32_t> lead;
    for (std::size_t v = 0; v < volumes.bases.size(); ++v) {
        const std::uint32_t id = first_frame(grid, volumes.bases[v]);
        const auto key = diffusion_key(d.diffusion[id]);
        for (std::size_t z = 0; z < grid.depth(); ++z) {
            const std::uint32_t other = grid.table[std::size_t(volumes.bases[v] + z)];
            if (other != VolumeGrid::kEmpty && diffusion_key(d.diffusion[other]) != key)
                fail("volume::assemble_dwi: the slices of one volume state different diffusion encodings (" +
                     path_of(d, id) + " and " + path_of(d, other) + ")");
        }
        lead.push_back(id);
    }
    std::vector<std::size_t> order(lead.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    if (acquisition_order) {
        auto first = [&](std::size_t v) {
            std::pair<std::uint32_t, std::uint32_t> best{~0u, ~0u};
            for (std::size_t z = 0; z < grid.depth(); ++z) {
                const std::uint32_t id = grid.table[std::size_t(volumes.bases[v] + z)];
                if (id != VolumeGrid::kEmpty) best = std::min(best, std::pair(d.instance_number[id], id));
            }
            return best;
        };
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return first(a) < first(b); });
    } else {
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            return diffusion_key(d.diffusion[lead[a]]) < diffusion_key(d.diffusion[lead[b]]);
        });
    }
    DwiVolumes out;
    out.series_uid = d.series_uid;
    std::size_t logical_failures = 0, singular_failures = 0;
    std::vector<Selection> selections;
    for (std::size_t v : order) selections.push_back(volumes.selections[v]);
    out.rescale = shared_rescale(grid, d);
    fill_geometry(grid, out.spacing, out.affine);
    out.dtype = copy_volumes(grid, d, selections, samples, out.rescale, out.data, "volume::assemble_dwi", sink,
                             out.affine);
    out.depth = grid.depth(), out.rows = grid.rows, out.columns = grid.columns, out.volumes = order.size();
    for (std::size_t v : order) {
        const std::uint32_t i = lead[v];
        const DiffusionEntry& e = d.diffusion[i];
        out.bvals.push_back(e.bvalue);
        out.stored_bvecs.push_back({e.gradient[0], e.gradient[1], e.gradient[2]});
        out.volume_path.push_back(i < d.file_index.size() && d.file_index[i] < paths.size() ? paths[d.file_index[i]]
                                                                                           : path_of(d, i));
        Vec3 vec{0, 0, 0};
        const Conversion c = voxel_gradient(e, d.records[i], vec);
        if (c == Conversion::kNeedsPhase) ++logical_failures;
        if (c == Conversion::kSingular) ++singular_failures;
        out.bvecs.push_back(vec);
    }
    if (logical_failures)
        fail("volume::assemble_dwi: " + std::to_string(logical_failures) +
             " logical-frame gradient direction(s) require InPlanePhaseEncodingDirection (0018,1312) = COL or ROW");
    if (singular_failures)
        fail("volume::assemble_dwi: " + std::to_string(singular_failures) +
             " non-zero gradient direction(s) cannot be converted from the available ImageOrientationPatient and "
             "slice geometry");
    out.grouping = grid.grouping, out.duplicates = grid.duplicates, out.missing_slices = volumes.missing_slices;
    out.undecoded = d.undecoded;
    // Derived frames counted in volumes of the series' depth.
    out.derived_excluded = (derived + grid.depth() - 1) / std::max<std::size_t>(grid.depth(), 1);
    return out;
}

}  // namespace loamwerk::volume
