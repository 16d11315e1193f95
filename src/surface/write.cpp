#include "surface/write.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "core/cielab.hpp"
#include "core/item_writer.hpp"
#include "core/tags.hpp"
#include "core/wyhash.hpp"

namespace loamwerk::surface {

namespace {

constexpr std::string_view kSurfaceSegmentation = "1.2.840.10008.5.1.4.1.1.66.5";

bool one_of(std::string_view v, std::initializer_list<std::string_view> allowed) {
    return std::find(allowed.begin(), allowed.end(), v) != allowed.end();
}

void check_mesh(const Mesh& m, const std::string& where) {
    if (m.points.empty() || m.points.size() % 3) throw std::invalid_argument(where + " needs (points, 3) vertices");
    const std::size_t points = m.points.size() / 3;
    if (points > 0xFFFFFFF0u / 12) throw std::invalid_argument(where + " has more points than one object can hold");
    for (float c : m.points)
        if (!std::isfinite(c)) throw std::invalid_argument(where + " has a vertex that is not finite");
    if (!m.normals.empty() && m.normals.size() != m.points.size())
        throw std::invalid_argument(where + ": normals must be one (x, y, z) a vertex");
    for (float c : m.normals)
        if (!std::isfinite(c)) throw std::invalid_argument(where + " has a normal that is not finite");
    if (m.triangles.size() % 3) throw std::invalid_argument(where + " needs (triangles, 3) faces");
    for (std::uint32_t i : m.triangles)
        if (i >= points)
            throw std::invalid_argument(where + ": a face names vertex " + std::to_string(i) + " of " +
                                        std::to_string(points) + " (faces count from 0)");
    if (!(m.opacity >= 0.0f && m.opacity <= 1.0f)) throw std::invalid_argument(where + ": opacity is 0 to 1");
    if (!one_of(m.presentation, {"SURFACE", "WIREFRAME", "POINTS"}))
        throw std::invalid_argument(where + ": presentation '" + m.presentation + "' is not SURFACE, WIREFRAME or POINTS");
    for (const std::string* flag : {&m.finite_volume, &m.manifold})
        if (!flag->empty() && !one_of(*flag, {"YES", "NO", "UNKNOWN"}))
            throw std::invalid_argument(where + ": '" + *flag + "' is not YES, NO or UNKNOWN");
}

void check(const SurfaceSegmentation& s) {
    if (s.segments.empty()) throw std::invalid_argument("write_surface: no segments");
    for (std::size_t i = 0; i < s.segments.size(); ++i) {
        const Segment& seg = s.segments[i];
        const std::string where = "write_surface: segment " + std::to_string(i + 1);
        if (seg.label.empty()) throw std::invalid_argument(where + " needs a label");
        if (!one_of(seg.algorithm_type, {"MANUAL", "SEMIAUTOMATIC", "AUTOMATIC"}))
            throw std::invalid_argument(where + ": algorithm type '" + seg.algorithm_type +
                                        "' is not MANUAL, SEMIAUTOMATIC or AUTOMATIC");
        if (seg.algorithm_type != "MANUAL" && seg.algorithm_name.empty())
            throw std::invalid_argument(where + ": an " + seg.algorithm_type + " segment needs its algorithm name");
        if (seg.surfaces.empty()) throw std::invalid_argument(where + " has no surface");
        for (std::size_t k = 0; k < seg.surfaces.size(); ++k)
            check_mesh(seg.surfaces[k], where + " surface " + std::to_string(k + 1));
    }
}

void write_mesh(ItemWriter& w, const Mesh& m, std::uint32_t number) {
    w.begin_item();  // elements in tag order
    const std::array<std::uint8_t, 3> rgb = m.rgb.value_or(std::array<std::uint8_t, 3>{128, 174, 128});
    std::uint16_t lab[3];
    rgb_to_cielab16(rgb.data(), lab);
    w.us(tags::kRecommendedDisplayGrayscaleValue, lab[0]);  // the colour's lightness
    w.us(tags::kRecommendedDisplayCIELabValue, std::span<const std::uint16_t>(lab, 3));
    w.ul(tags::kSurfaceNumber, number);
    if (!m.comments.empty()) w.text(tags::kSurfaceComments, "LT", m.comments);
    w.text(tags::kSurfaceProcessing, "CS", "NO");
    w.fl(tags::kRecommendedPresentationOpacity, m.opacity);
    w.text(tags::kRecommendedPresentationType, "CS", m.presentation);
    const Topology found = topology(m.triangles);
    w.text(tags::kFiniteVolume, "CS", m.finite_volume.empty() ? found.finite_volume : m.finite_volume);
    w.text(tags::kManifold, "CS", m.manifold.empty() ? found.manifold : m.manifold);
    const std::uint32_t points = std::uint32_t(m.points.size() / 3);
    w.begin_sequence(tags::kSurfacePointsSequence);
    w.begin_item();
    w.ul(tags::kNumberOfSurfacePoints, points);
    w.numbers(tags::kPointCoordinatesData, "OF", std::span<const float>(m.points));
    w.end_item();
    w.end_sequence();
    w.begin_sequence(tags::kSurfacePointsNormalsSequence);
    if (!m.normals.empty()) {
        w.begin_item();
        w.ul(tags::kNumberOfVectors, points);
        w.us(tags::kVectorDimensionality, std::uint16_t(3));
        w.numbers(tags::kVectorCoordinateData, "OF", std::span<const float>(m.normals));
        w.end_item();
    }
    w.end_sequence();
    w.begin_sequence(tags::kSurfaceMeshPrimitivesSequence);
    w.begin_item();
    for (Tag empty : {tags::kTriangleStripSequence, tags::kTriangleFanSequence, tags::kLineSequence, tags::kFacetSequence}) {
        w.begin_sequence(empty);
        w.end_sequence();
    }
    std::vector<std::uint32_t> one_based(m.triangles);
    for (std::uint32_t& i : one_based) ++i;
    w.numbers(tags::kLongTrianglePointIndexList, "OL", std::span<const std::uint32_t>(one_based));
    w.numbers(tags::kLongEdgePointIndexList, "OL", std::span<const std::uint32_t>());
    w.numbers(tags::kLongVertexPointIndexList, "OL", std::span<const std::uint32_t>());
    w.end_item();
    w.end_sequence();
    w.end_item();
}

}  // namespace

Topology topology(const std::vector<std::uint32_t>& triangles) {
    if (triangles.empty()) return {"NO", "UNKNOWN"};
    // Every edge as one 64-bit key (smaller point first), sorted: equal keys are one edge's uses.
    std::vector<std::uint64_t> edges;
    edges.reserve(triangles.size());
    bool degenerate = false;
    for (std::size_t t = 0; t + 2 < triangles.size(); t += 3) {
        const std::uint32_t a = triangles[t], b = triangles[t + 1], c = triangles[t + 2];
        if (a == b || b == c || a == c) degenerate = true;
        for (auto [p, q] : {std::pair{a, b}, std::pair{b, c}, std::pair{c, a}}) {
            const auto [lo, hi] = std::minmax(p, q);
            edges.push_back(std::uint64_t(lo) << 32 | hi);
        }
    }
    std::sort(edges.begin(), edges.end());
    bool closed = true, manifold = !degenerate;
    for (std::size_t i = 0; i < edges.size();) {
        std::size_t j = i;
        while (j < edges.size() && edges[j] == edges[i]) ++j;
        if (j - i != 2) closed = false;
        if (j - i > 2) manifold = false;
        i = j;
    }
    return {closed && manifold ? "YES" : "NO", manifold ? "YES" : "NO"};
}

std::vector<std::uint8_t> write_surface_segmentation(const SurfaceSegmentation& s,
                                                     const std::vector<ImageHeader>& references,
                                                     const Identity& identity, std::string sop_uid,
                                                     std::string series_uid) {
    if (references.empty()) throw std::invalid_argument("write_surface: no reference images");
    check(s);
    const ImageHeader& first = references[0];
    if (first.frame_of_reference_uid.empty())
        throw std::invalid_argument("write_surface: the reference images have no Frame of Reference UID");
    std::uint64_t digest = wyhash(first.sop_instance_uid.data(), first.sop_instance_uid.size());
    for (const Segment& seg : s.segments) {
        digest = wyhash(seg.label.data(), seg.label.size(), digest);
        for (const Mesh& m : seg.surfaces) digest = wyhash(m.points.data(), m.points.size() * 4, digest);
    }
    content_uids(digest, "surface", sop_uid, series_uid);
    const Identity who = with_equipment(identity);

    SortedDataset d = authored_dataset(kSurfaceSegmentation, sop_uid, first, who, "SEG", series_uid);
    frame_of_reference(d, first.frame_of_reference_uid);
    content_identification(d, s.content_label, s.content_description, s.content_creator);
    std::vector<InstanceReference> refs;
    for (const ImageHeader& h : references) refs.push_back({h.series_uid, h.sop_class_uid, h.sop_instance_uid});
    d.put(tags::kReferencedSeriesSequence, [&](ItemWriter& w) { referenced_series(w, refs); });
    std::uint32_t surfaces = 0;
    d.put(tags::kSegmentSequence, [&](ItemWriter& w) {
        w.begin_sequence(tags::kSegmentSequence);
        for (std::size_t i = 0; i < s.segments.size(); ++i) {
            const Segment& seg = s.segments[i];
            w.begin_item();  // elements in tag order
            if (seg.anatomic.present()) code_sequence(w, tags::kAnatomicRegionSequence, seg.anatomic);
            code_sequence(w, tags::kSegmentedPropertyCategoryCodeSequence, seg.category);
            w.us(tags::kSegmentNumber, std::uint16_t(i + 1));
            w.text(tags::kSegmentLabel, "LO", seg.label);
            if (!seg.description.empty()) w.text(tags::kSegmentDescription, "ST", seg.description);
            w.text(tags::kSegmentAlgorithmType, "CS", seg.algorithm_type);
            if (seg.algorithm_type != "MANUAL") w.text(tags::kSegmentAlgorithmName, "LO", seg.algorithm_name);
            code_sequence(w, tags::kSegmentedPropertyTypeCodeSequence, seg.type);
            w.ul(tags::kSurfaceCount, std::uint32_t(seg.surfaces.size()));
            w.begin_sequence(tags::kReferencedSurfaceSequence);
            for (const Mesh& m : seg.surfaces) {
                w.begin_item();
                w.ul(tags::kReferencedSurfaceNumber, ++surfaces);
                algorithm_sequence(w, tags::kSegmentSurfaceGenerationAlgorithmIdentificationSequence,
                                   m.algorithm_family, m.algorithm_name, m.algorithm_version);
                instance_references(w, tags::kSegmentSurfaceSourceInstanceSequence, refs);
                w.end_item();
            }
            w.end_sequence();
            w.end_item();
        }
        w.end_sequence();
    });
    d.put(tags::kNumberOfSurfaces, [&](ItemWriter& w) { w.ul(tags::kNumberOfSurfaces, surfaces); });
    d.put(tags::kSurfaceSequence, [&](ItemWriter& w) {
        w.begin_sequence(tags::kSurfaceSequence);
        std::uint32_t number = 0;
        for (const Segment& seg : s.segments)
            for (const Mesh& m : seg.surfaces) write_mesh(w, m, ++number);
        w.end_sequence();
    });
    return part10_file(kSurfaceSegmentation, sop_uid, d, "write_surface: the surfaces are too large to write in one object");
}

}  // namespace loamwerk::surface
