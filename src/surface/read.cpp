#include "surface/read.hpp"

#include <map>
#include <stdexcept>

#include "core/dataset.hpp"
#include "core/tags.hpp"
#include "core/utf8.hpp"
#include "core/values.hpp"
#include "seg/read.hpp"

namespace loamwerk::surface {

using seg::code_of;

namespace {

constexpr std::string_view kSurfaceSegmentation = "1.2.840.10008.5.1.4.1.1.66.5";

Mesh read_mesh(const Elements& item, const std::string& where) {
    Mesh m;
    const Items points = items_of(item, tags::kSurfacePointsSequence);
    if (points.empty()) throw std::runtime_error(where + " has no Surface Points Sequence");
    m.points = typed_values<float>(find_element(points[0], tags::kPointCoordinatesData));
    if (m.points.empty() || m.points.size() % 3) throw std::runtime_error(where + ": its point data are not (x, y, z) triplets");
    const std::size_t count = m.points.size() / 3;
    if (const Items normals = items_of(item, tags::kSurfacePointsNormalsSequence); !normals.empty()) {
        m.normals = typed_values<float>(find_element(normals[0], tags::kVectorCoordinateData));
        if (m.normals.size() != m.points.size()) throw std::runtime_error(where + ": its normals are not one a point");
    }
    const Items primitives = items_of(item, tags::kSurfaceMeshPrimitivesSequence);
    if (primitives.empty()) throw std::runtime_error(where + " has no Surface Mesh Primitives Sequence");
    m.triangles = typed_values<std::uint32_t>(find_element(primitives[0], tags::kLongTrianglePointIndexList));
    if (m.triangles.empty())  // the retired 16-bit list, as older writers use
        for (std::uint16_t v : typed_values<std::uint16_t>(find_element(primitives[0], tags::kTrianglePointIndexList)))
            m.triangles.push_back(v);
    if (m.triangles.size() % 3) throw std::runtime_error(where + ": its triangle list is not three points a triangle");
    for (std::uint32_t& i : m.triangles) {
        if (i < 1 || i > count)
            throw std::runtime_error(where + ": a triangle names point " + std::to_string(i) + " of " + std::to_string(count));
        --i;  // 0-based, as mesh libraries count
    }
    m.rgb = recommended_rgb(item);
    if (const auto opacity = float_of(item, tags::kRecommendedPresentationOpacity)) m.opacity = float(*opacity);
    m.presentation = utf8_text(item, tags::kRecommendedPresentationType);
    m.finite_volume = utf8_text(item, tags::kFiniteVolume);
    m.manifold = utf8_text(item, tags::kManifold);
    m.comments = utf8_text(item, tags::kSurfaceComments);
    return m;
}

}  // namespace

SurfaceSegmentation read_surface_segmentation(std::span<const std::uint8_t> file, const std::string& where) {
    const Dataset ds = open_object(file, where, kSurfaceSegmentation, "Surface Segmentation");
    const Elements& top = ds.elements();
    SurfaceSegmentation s;
    static_cast<ContentHeader&>(s) = read_content_header(top);
    // Surfaces by their numbers, read only when a segment refers to them.
    std::map<long, const Elements*> by_number;
    const Items surfaces = items_of(top, tags::kSurfaceSequence);
    for (std::size_t i = 0; i < surfaces.size(); ++i)
        by_number.emplace(integer_of(surfaces[i], tags::kSurfaceNumber).value_or(long(i + 1)), &surfaces[i]);
    for (const Elements& item : items_of(top, tags::kSegmentSequence)) {
        Segment seg;
        seg.label = utf8_text(item, tags::kSegmentLabel);
        seg.description = utf8_text(item, tags::kSegmentDescription);
        seg.category = code_of(item, tags::kSegmentedPropertyCategoryCodeSequence);
        seg.type = code_of(item, tags::kSegmentedPropertyTypeCodeSequence);
        seg.anatomic = code_of(item, tags::kAnatomicRegionSequence);
        seg.algorithm_type = utf8_text(item, tags::kSegmentAlgorithmType);
        seg.algorithm_name = utf8_text(item, tags::kSegmentAlgorithmName);
        for (const Elements& ref : items_of(item, tags::kReferencedSurfaceSequence)) {
            const long number = integer_of(ref, tags::kReferencedSurfaceNumber).value_or(-1);
            const auto it = by_number.find(number);
            if (it == by_number.end())
                throw std::runtime_error(where + ": segment '" + seg.label + "' refers to surface " +
                                         std::to_string(number) + ", which the object does not hold");
            Mesh m = read_mesh(*it->second, where + ": surface " + std::to_string(number));
            if (const Items algorithm = items_of(ref, tags::kSegmentSurfaceGenerationAlgorithmIdentificationSequence);
                !algorithm.empty()) {
                m.algorithm_family = code_of(algorithm[0], tags::kAlgorithmFamilyCodeSequence);
                m.algorithm_name = utf8_text(algorithm[0], tags::kAlgorithmName);
                m.algorithm_version = utf8_text(algorithm[0], tags::kAlgorithmVersion);
            }
            seg.surfaces.push_back(std::move(m));
        }
        s.segments.push_back(std::move(seg));
    }
    return s;
}

}  // namespace loamwerk::surface
