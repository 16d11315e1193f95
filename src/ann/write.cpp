#include "ann/write.hpp"

#include <cmath>
#include <set>
#include <stdexcept>

#include "core/cielab.hpp"
#include "core/dataset.hpp"
#include "core/image_header.hpp"
#include "core/item_writer.hpp"
#include "core/tags.hpp"
#include "core/tree.hpp"
#include "core/uid.hpp"
#include "core/wyhash.hpp"

namespace loamwerk::ann {

namespace {

constexpr std::string_view kBulkAnnotations = "1.2.840.10008.5.1.4.1.1.91.1";

// The specimen module as the slide states it, copied element by element.
constexpr Tag kSpecimenTags[] = {tags::kContainerIdentifier, tags::kIssuerOfTheContainerIdentifierSequence,
                                 tags::kAlternateContainerIdentifierSequence, tags::kContainerTypeCodeSequence,
                                 tags::kContainerDescription, tags::kContainerComponentSequence,
                                 tags::kSpecimenDescriptionSequence};

std::size_t annotation_points(const Group& g, std::size_t k, std::size_t dims) {
    const std::size_t end = k + 1 < g.starts.size() ? g.starts[k + 1] : g.coordinates.size() / dims;
    return end - g.starts[k];
}

void check_group(const Group& g, std::size_t index, std::size_t dims, bool slide) {
    const std::string where = "write_ann: group " + std::to_string(index + 1);
    if (g.label.empty()) throw std::invalid_argument(where + " needs a label");
    const PointCount need = points_per_annotation(g.graphic_type);
    if (need.count == 0)
        throw std::invalid_argument(where + ": graphic type '" + g.graphic_type +
                                    "' is not POINT, POLYLINE, POLYGON, ELLIPSE or RECTANGLE");
    if (g.generation != "MANUAL" && g.generation != "SEMIAUTOMATIC" && g.generation != "AUTOMATIC")
        throw std::invalid_argument(where + ": generation '" + g.generation +
                                    "' is not MANUAL, SEMIAUTOMATIC or AUTOMATIC");
    if (g.generation != "MANUAL" && (g.algorithm_name.empty() || g.algorithm_version.empty()))
        throw std::invalid_argument(where + ": an " + g.generation + " group needs its algorithm's name and version");
    if (g.starts.empty()) throw std::invalid_argument(where + " has no annotations");
    if (g.coordinates.size() % dims)
        throw std::invalid_argument(where + ": the coordinates are not " + std::to_string(dims) + " values a point");
    const std::size_t points = g.coordinates.size() / dims;
    if (g.coordinates.size() > 0xFFFFFFF0u / (g.double_precision ? 8 : 4))
        throw std::invalid_argument(where + " has more points than one object can hold");
    if (g.starts.front() != 0) throw std::invalid_argument(where + ": the first annotation must start at point 0");
    for (std::size_t k = 0; k < g.starts.size(); ++k) {
        if (k + 1 < g.starts.size() ? g.starts[k + 1] <= g.starts[k] : g.starts[k] >= points)
            throw std::invalid_argument(where + ": annotation " + std::to_string(k + 1) + " has no points");
        const std::size_t n = annotation_points(g, k, dims);
        if (need.exact ? n != need.count : n < need.count)
            throw std::invalid_argument(where + ": a " + g.graphic_type + " annotation has " +
                                        (need.exact ? "exactly " : "at least ") + std::to_string(need.count) +
                                        " points; annotation " + std::to_string(k + 1) + " has " + std::to_string(n));
    }
    for (double c : g.coordinates)
        if (!std::isfinite(c) || (!g.double_precision && std::fabs(c) > 3.4e38))
            throw std::invalid_argument(where + " has a coordinate that is not a finite number");
    if (g.optical_path.size() > 16) throw std::invalid_argument(where + ": an optical path identifier is 16 characters at most");
    if (!slide && (g.all_z_planes || g.common_z))
        throw std::invalid_argument(where + ": Z planes apply to slide (3D) coordinates only");
    if (g.common_z && !std::isfinite(*g.common_z)) throw std::invalid_argument(where + ": common_z is not a finite number");
    if (g.common_z)
        for (std::size_t i = 2; i < g.coordinates.size(); i += 3)
            if (g.coordinates[i] != *g.common_z)
                throw std::invalid_argument(where + ": a point's z differs from common_z (" + std::to_string(*g.common_z) + ")");
    for (const Measurement& m : g.measurements) {
        if (!m.name.present() || !m.unit.present())
            throw std::invalid_argument(where + ": a measurement needs its name and unit codes");
        if (m.values.size() != g.starts.size())
            throw std::invalid_argument(where + ": measurement '" + m.name.meaning + "' needs one value an annotation (" +
                                        std::to_string(g.starts.size()) + "), NaN where there is none; it has " +
                                        std::to_string(m.values.size()));
        for (float v : m.values)
            if (std::isinf(v)) throw std::invalid_argument(where + ": measurement '" + m.name.meaning + "' has an infinite value");
    }
}

void write_measurement(ItemWriter& w, const Measurement& m) {
    w.begin_item();
    code_sequence(w, tags::kMeasurementUnitsCodeSequence, m.unit);
    code_sequence(w, tags::kConceptNameCodeSequence, m.name);
    std::vector<float> values;
    std::vector<std::uint32_t> indices;  // 1-based, written only when some annotations have none
    for (std::size_t k = 0; k < m.values.size(); ++k)
        if (!std::isnan(m.values[k])) values.push_back(m.values[k]), indices.push_back(std::uint32_t(k + 1));
    w.begin_sequence(tags::kMeasurementValuesSequence);
    w.begin_item();
    w.numbers(tags::kFloatingPointValues, "OF", std::span<const float>(values));
    if (indices.size() != m.values.size()) w.numbers(tags::kAnnotationIndexList, "OL", std::span<const std::uint32_t>(indices));
    w.end_item();
    w.end_sequence();
    w.end_item();
}

void write_group(ItemWriter& w, const Group& g, std::size_t index, std::size_t dims, bool slide,
                 const std::string& uid) {
    w.begin_item();  // elements in tag order
    w.us(tags::kAnnotationGroupNumber, g.number ? g.number : std::uint16_t(index + 1));
    if (g.rgb) {
        std::uint16_t lab[3];
        rgb_to_cielab16(g.rgb->data(), lab);
        w.us(tags::kRecommendedDisplayCIELabValue, std::span<const std::uint16_t>(lab, 3));
    }
    // With a common Z the points are stored as (x, y) only.
    std::vector<double> stored;
    const std::size_t kept = g.common_z ? 2 : dims;
    if (g.common_z)
        for (std::size_t i = 0; i < g.coordinates.size(); ++i)
            if (i % dims < 2) stored.push_back(g.coordinates[i]);
    const std::vector<double>& values = g.common_z ? stored : g.coordinates;
    if (g.double_precision) {
        w.numbers(tags::kDoublePointCoordinatesData, "OD", std::span<const double>(values));
    } else {
        const std::vector<float> narrow(values.begin(), values.end());
        w.numbers(tags::kPointCoordinatesData, "OF", std::span<const float>(narrow));
    }
    if (g.graphic_type == "POLYLINE" || g.graphic_type == "POLYGON") {
        // 1-based positions of each annotation's first value among the coordinate values.
        std::vector<std::uint32_t> first(g.starts.size());
        for (std::size_t k = 0; k < first.size(); ++k) first[k] = std::uint32_t(g.starts[k] * kept + 1);
        w.numbers(tags::kLongPrimitivePointIndexList, "OL", std::span<const std::uint32_t>(first));
    }
    if (!g.measurements.empty()) {
        w.begin_sequence(tags::kMeasurementsSequence);
        for (const Measurement& m : g.measurements) write_measurement(w, m);
        w.end_sequence();
    }
    w.text(tags::kAnnotationGroupUID, "UI", uid);
    w.text(tags::kAnnotationGroupLabel, "LO", g.label);
    if (!g.description.empty()) w.text(tags::kAnnotationGroupDescription, "UT", g.description);
    w.text(tags::kAnnotationGroupGenerationType, "CS", g.generation);
    if (g.generation != "MANUAL") {
        algorithm_sequence(w, tags::kAnnotationGroupAlgorithmIdentificationSequence, g.algorithm_family,
                           g.algorithm_name, g.algorithm_version, g.algorithm_parameters);
    }
    code_sequence(w, tags::kAnnotationPropertyCategoryCodeSequence, g.category);
    code_sequence(w, tags::kAnnotationPropertyTypeCodeSequence, g.type);
    w.ul(tags::kNumberOfAnnotations, std::uint32_t(g.starts.size()));
    w.text(tags::kAnnotationAppliesToAllOpticalPaths, "CS", g.optical_path.empty() ? "YES" : "NO");
    if (!g.optical_path.empty()) w.text(tags::kReferencedOpticalPathIdentifier, "SH", g.optical_path);
    if (slide) w.text(tags::kAnnotationAppliesToAllZPlanes, "CS", g.all_z_planes.value_or(false) ? "YES" : "NO");
    if (g.common_z) w.fd(tags::kCommonZCoordinateValue, std::span<const double>(&*g.common_z, 1));
    w.text(tags::kGraphicType, "CS", g.graphic_type);
    w.end_item();
}

// The reference's element as it stands in the file, header and all (explicit little endian only).
void copy_element(SortedDataset& d, const Dataset& ref, Tag tag) {
    const ElementRef* e = ref.find(tag);
    if (!e || !e->header || !e->value) return;
    const std::size_t size = std::size_t(e->value - e->header) + std::size_t(e->length) + (has_undefined_length(*e) ? 8 : 0);
    d.put(tag, [&](ItemWriter& w) { w.out.insert(w.out.end(), e->header, e->header + size); });
}

}  // namespace

PointCount points_per_annotation(std::string_view t) {
    if (t == "POINT") return {1, true};
    if (t == "ELLIPSE" || t == "RECTANGLE") return {4, true};
    if (t == "POLYLINE") return {2, false};
    if (t == "POLYGON") return {3, false};
    return {0, false};
}

std::vector<std::uint8_t> write_annotations(const Annotations& a, const std::string& reference_path,
                                            const Identity& identity, std::string sop_uid, std::string series_uid) {
    if (a.coordinate_type != "2D" && a.coordinate_type != "3D")
        throw std::invalid_argument("write_ann: coordinate type '" + a.coordinate_type + "' is not 2D (image) or 3D (slide)");
    if (a.pixel_origin != "VOLUME" && a.pixel_origin != "FRAME")
        throw std::invalid_argument("write_ann: pixel origin '" + a.pixel_origin + "' is not VOLUME or FRAME");
    if (a.groups.empty()) throw std::invalid_argument("write_ann: no annotation groups");
    const bool slide = a.coordinate_type == "3D";
    const std::size_t dims = slide ? 3 : 2;
    std::set<std::uint16_t> used;
    for (std::size_t i = 0; i < a.groups.size(); ++i) {
        check_group(a.groups[i], i, dims, slide);
        const std::uint16_t n = a.groups[i].number ? a.groups[i].number : std::uint16_t(i + 1);
        if (!used.insert(n).second)
            throw std::invalid_argument("write_ann: group number " + std::to_string(n) + " is given twice");
    }
    // One read of the slide's header serves its fields and the specimen module copied below.
    tree::Tree tree;
    const Dataset source = tree::read_header(reference_path, tree);
    if (!source.readable()) throw std::runtime_error(reference_path + ": not a DICOM file");
    const ImageHeader ref = header_fields(source, tree);
    if (ref.sop_instance_uid.empty() || ref.study_uid.empty())
        throw std::invalid_argument("write_ann: " + reference_path + " has no SOP Instance or Study Instance UID");
    if (slide && ref.frame_of_reference_uid.empty())
        throw std::invalid_argument("write_ann: slide (3D) coordinates need a reference with a Frame of Reference UID");

    // UIDs from the content: the same annotations on the same slide give the same object.
    std::uint64_t digest = wyhash(ref.sop_instance_uid.data(), ref.sop_instance_uid.size());
    for (const Group& g : a.groups) {
        digest = wyhash(g.label.data(), g.label.size(), digest);
        digest = wyhash(g.coordinates.data(), g.coordinates.size() * sizeof(double), digest);
    }
    const std::string seed = content_uids(digest, "ann", sop_uid, series_uid);
    const Identity who = with_equipment(identity);

    SortedDataset d = authored_dataset(kBulkAnnotations, sop_uid, ref, who, "ANN", series_uid);
    content_identification(d, a.content_label, a.content_description, a.content_creator);
    d.text(tags::kAnnotationCoordinateType, "CS", a.coordinate_type);
    if (slide) {
        frame_of_reference(d, ref.frame_of_reference_uid);
    } else {
        d.text(tags::kPixelOriginInterpretation, "CS", a.pixel_origin);
        d.put(tags::kReferencedImageSequence, [&](ItemWriter& w) {
            instance_reference(w, tags::kReferencedImageSequence, ref.sop_class_uid, ref.sop_instance_uid);
        });
    }
    if (!slide) {  // the image referenced above; slide coordinates are tied by the frame of reference
        const std::vector<InstanceReference> refs{{ref.series_uid, ref.sop_class_uid, ref.sop_instance_uid}};
        d.put(tags::kReferencedSeriesSequence, [&](ItemWriter& w) { referenced_series(w, refs); });
    }
    if (source.encoding() == Encoding::ExplicitLE)
        for (Tag tag : kSpecimenTags) copy_element(d, source, tag);
    d.put(tags::kAnnotationGroupSequence, [&](ItemWriter& w) {
        w.begin_sequence(tags::kAnnotationGroupSequence);
        for (std::size_t i = 0; i < a.groups.size(); ++i) {
            const Group& g = a.groups[i];
            const std::string uid = !g.uid.empty() ? g.uid
                                                   : uid::mint(std::string("ann-group\n") + seed + "\n" + std::to_string(i), kUidRoot);
            write_group(w, g, i, dims, slide, uid);
        }
        w.end_sequence();
    });
    return part10_file(kBulkAnnotations, sop_uid, d, "write_ann: the annotations are too many to write in one object");
}

}  // namespace loamwerk::ann
