#include "ann/read.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/dataset.hpp"
#include "core/tags.hpp"
#include "core/utf8.hpp"
#include "core/values.hpp"
#include "seg/read.hpp"

namespace loamwerk::ann {

using seg::code_of;

namespace {

constexpr std::string_view kBulkAnnotations = "1.2.840.10008.5.1.4.1.1.91.1";

Measurement read_measurement(const Elements& item, std::size_t annotations, const std::string& where) {
    Measurement m;
    m.name = code_of(item, tags::kConceptNameCodeSequence);
    m.unit = code_of(item, tags::kMeasurementUnitsCodeSequence);
    m.values.assign(annotations, std::numeric_limits<float>::quiet_NaN());
    const Items values = items_of(item, tags::kMeasurementValuesSequence);
    if (values.empty()) return m;
    const std::vector<float> v = typed_values<float>(find_element(values[0], tags::kFloatingPointValues));
    const ElementRef* list = find_element(values[0], tags::kAnnotationIndexList);
    if (!list) {
        if (v.size() != annotations)
            throw std::runtime_error(where + ": measurement '" + m.name.meaning + "' has " + std::to_string(v.size()) +
                                     " values for " + std::to_string(annotations) + " annotations");
        m.values = v;
        return m;
    }
    const std::vector<std::uint32_t> index = typed_values<std::uint32_t>(list);
    if (index.size() != v.size())
        throw std::runtime_error(where + ": measurement '" + m.name.meaning + "' has " + std::to_string(v.size()) +
                                 " values and " + std::to_string(index.size()) + " annotation indices");
    for (std::size_t i = 0; i < index.size(); ++i) {
        if (index[i] < 1 || index[i] > annotations)
            throw std::runtime_error(where + ": measurement '" + m.name.meaning + "' names annotation " +
                                     std::to_string(index[i]) + " of " + std::to_string(annotations));
        m.values[index[i] - 1] = v[i];
    }
    return m;
}

Group read_group(const Elements& item, std::size_t dims, std::size_t index, const std::string& file) {
    Group g;
    if (const ElementRef* z = find_element(item, tags::kCommonZCoordinateValue); dims == 3 && z && z->length >= 8)
        g.common_z = fd_values(*z).front();
    const std::size_t stored = g.common_z ? 2 : dims;  // a common Z leaves (x, y) in the data
    g.number = std::uint16_t(integer_of(item, tags::kAnnotationGroupNumber).value_or(long(index + 1)));
    g.uid = utf8_text(item, tags::kAnnotationGroupUID);
    g.label = utf8_text(item, tags::kAnnotationGroupLabel);
    g.description = utf8_text(item, tags::kAnnotationGroupDescription);
    g.graphic_type = utf8_text(item, tags::kGraphicType);
    g.generation = utf8_text(item, tags::kAnnotationGroupGenerationType);
    g.category = code_of(item, tags::kAnnotationPropertyCategoryCodeSequence);
    g.type = code_of(item, tags::kAnnotationPropertyTypeCodeSequence);
    const std::string where = file + ": annotation group " + std::to_string(index + 1) + " ('" + g.label + "')";
    if (const Items algorithms = items_of(item, tags::kAnnotationGroupAlgorithmIdentificationSequence); !algorithms.empty()) {
        g.algorithm_family = code_of(algorithms[0], tags::kAlgorithmFamilyCodeSequence);
        g.algorithm_name = utf8_text(algorithms[0], tags::kAlgorithmName);
        g.algorithm_version = utf8_text(algorithms[0], tags::kAlgorithmVersion);
        g.algorithm_parameters = utf8_text(algorithms[0], tags::kAlgorithmParameters);
    } else {
        g.algorithm_family = {};
    }
    if (const ElementRef* d = find_element(item, tags::kDoublePointCoordinatesData)) {
        g.coordinates = typed_values<double>(d);
    } else if (const ElementRef* f = find_element(item, tags::kPointCoordinatesData)) {
        const std::vector<float> narrow = typed_values<float>(f);
        g.coordinates.assign(narrow.begin(), narrow.end());
        g.double_precision = false;
    } else {
        throw std::runtime_error(where + " has no point coordinates");
    }
    if (g.coordinates.size() % stored)
        throw std::runtime_error(where + ": the coordinates are not " + std::to_string(stored) + " values a point");
    const std::size_t points = g.coordinates.size() / stored;
    const long count = integer_of(item, tags::kNumberOfAnnotations).value_or(-1);
    const PointCount per = points_per_annotation(g.graphic_type);
    if (per.count == 0) throw std::runtime_error(where + ": unknown graphic type '" + g.graphic_type + "'");
    if (per.exact) {
        if (points % per.count || (count >= 0 && std::size_t(count) != points / per.count))
            throw std::runtime_error(where + ": " + std::to_string(points) + " points do not make " +
                                     std::to_string(count) + " " + g.graphic_type + " annotations");
        for (std::size_t k = 0; k < points / per.count; ++k) g.starts.push_back(std::uint32_t(k * per.count));
    } else {
        const std::vector<std::uint32_t> first = typed_values<std::uint32_t>(find_element(item, tags::kLongPrimitivePointIndexList));
        if (count >= 0 && first.size() != std::size_t(count))
            throw std::runtime_error(where + ": " + std::to_string(first.size()) + " point indices for " +
                                     std::to_string(count) + " annotations");
        for (std::size_t k = 0; k < first.size(); ++k) {
            // 1-based positions of each annotation's first value among the coordinate values.
            const std::size_t at = std::size_t(first[k]) - 1;
            if (first[k] == 0 || at % stored || at / stored >= points || (k > 0 && at / stored <= g.starts.back()))
                throw std::runtime_error(where + ": point index " + std::to_string(first[k]) + " of annotation " +
                                         std::to_string(k + 1) + " is out of order or past the coordinates");
            g.starts.push_back(std::uint32_t(at / stored));
        }
        if (!g.starts.empty() && g.starts[0] != 0) throw std::runtime_error(where + ": the first annotation does not start at the first point");
    }
    if (g.common_z) {
        std::vector<double> full;
        full.reserve(points * 3);
        for (std::size_t p = 0; p < points; ++p)
            full.insert(full.end(), {g.coordinates[2 * p], g.coordinates[2 * p + 1], *g.common_z});
        g.coordinates = std::move(full);
    }
    g.rgb = recommended_rgb(item);
    if (text_of(item, tags::kAnnotationAppliesToAllOpticalPaths) == "NO")
        g.optical_path = utf8_text(item, tags::kReferencedOpticalPathIdentifier);
    if (const std::string_view z = text_of(item, tags::kAnnotationAppliesToAllZPlanes); dims == 3 && !z.empty())
        g.all_z_planes = z == "YES";  // meaningless in image coordinates, though some writers put it there
    for (const Elements& m : items_of(item, tags::kMeasurementsSequence))
        g.measurements.push_back(read_measurement(m, g.starts.size(), where));
    return g;
}

}  // namespace

Annotations read_annotations(std::span<const std::uint8_t> file, const std::string& where) {
    const Dataset ds = open_object(file, where, kBulkAnnotations, "Microscopy Bulk Simple Annotations");
    const Elements& top = ds.elements();
    Annotations a;
    static_cast<ContentHeader&>(a) = read_content_header(top);
    a.coordinate_type = utf8_text(top, tags::kAnnotationCoordinateType);
    if (a.coordinate_type != "2D" && a.coordinate_type != "3D")
        throw std::runtime_error(where + ": annotation coordinate type '" + a.coordinate_type + "' is not 2D or 3D");
    a.pixel_origin = utf8_text(top, tags::kPixelOriginInterpretation);
    if (const Items images = items_of(top, tags::kReferencedImageSequence); !images.empty())
        a.referenced_image_uid = utf8_text(images[0], tags::kReferencedSOPInstanceUID);
    const std::size_t dims = a.coordinate_type == "3D" ? 3 : 2;
    const Items groups = items_of(top, tags::kAnnotationGroupSequence);
    for (std::size_t i = 0; i < groups.size(); ++i) a.groups.push_back(read_group(groups[i], dims, i, where));
    return a;
}

}  // namespace loamwerk::ann
