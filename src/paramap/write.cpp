#include "paramap/write.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "core/bytes.hpp"
#include "core/item_writer.hpp"
#include "core/tags.hpp"
#include "core/uid.hpp"
#include "core/writer.hpp"
#include "core/wyhash.hpp"

namespace loamwerk::paramap {

namespace {

[[noreturn]] void refuse(const std::string& what) { throw std::invalid_argument("write_paramap: " + what); }

using Vec = std::array<double, 3>;

double norm(const Vec& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }
Vec cross(const Vec& a, const Vec& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double dot(const Vec& a, const Vec& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }


// Where each frame lies, and the source image it was computed from (if one lies there).
struct Geometry {
    Vec row{1, 0, 0}, column{0, 1, 0};  // direction cosines of a row and of a column
    double row_spacing = 1, column_spacing = 1, slice_spacing = 0;
    std::vector<Vec> positions;
    std::vector<std::vector<const ImageHeader*>> sources;
};

Geometry geometry_of(const Volume& v, const std::vector<ImageHeader>& sources) {
    Geometry g;
    if (v.affine) {
        const auto& a = *v.affine;
        const Vec c0{a[0], a[1], a[2]}, c1{a[4], a[5], a[6]}, c2{a[8], a[9], a[10]}, origin{a[12], a[13], a[14]};
        for (double x : a)
            if (!std::isfinite(x)) refuse("the affine holds a value that is not a finite number");
        if (norm(c0) < 1e-9 || norm(c1) < 1e-9) refuse("the affine's first two columns (the pixel steps) cannot be zero");
        if (std::fabs(dot(c0, c1)) > 1e-3 * norm(c0) * norm(c1))
            refuse("the affine's rows and columns are not perpendicular; a parametric map's frames are rectangular grids");
        g.column_spacing = norm(c0), g.row_spacing = norm(c1), g.slice_spacing = norm(c2);
        for (int i = 0; i < 3; ++i) g.row[i] = c0[i] / g.column_spacing, g.column[i] = c1[i] / g.row_spacing;
        for (std::size_t k = 0; k < v.frames; ++k)
            g.positions.push_back({origin[0] + double(k) * c2[0], origin[1] + double(k) * c2[1], origin[2] + double(k) * c2[2]});
    } else {
        // One frame a source image, in their order along their normal.
        std::vector<const ImageHeader*> sorted;
        for (const ImageHeader& h : sources)
            if (h.position.size() == 3 && h.orientation.size() == 6 && h.pixel_spacing.size() == 2) sorted.push_back(&h);
        if (sorted.size() != v.frames || sorted.empty())
            refuse("without an affine the map needs one frame per source image with a position, orientation and pixel "
                   "spacing (" + std::to_string(sorted.size()) + " such images, " + std::to_string(v.frames) + " frames)");
        const ImageHeader& first = *sorted[0];
        g.row = {first.orientation[0], first.orientation[1], first.orientation[2]};
        g.column = {first.orientation[3], first.orientation[4], first.orientation[5]};
        const Vec normal = cross(g.row, g.column);
        std::stable_sort(sorted.begin(), sorted.end(), [&](const ImageHeader* a, const ImageHeader* b) {
            return dot({a->position[0], a->position[1], a->position[2]}, normal) <
                   dot({b->position[0], b->position[1], b->position[2]}, normal);
        });
        for (const ImageHeader* h : sorted) {
            if (h->rows != v.rows || h->columns != v.columns)
                refuse("without an affine the map's rows and columns must be the source images' (" + std::to_string(h->rows) +
                       " x " + std::to_string(h->columns) + ")");
            g.positions.push_back({h->position[0], h->position[1], h->position[2]});
        }
        g.row_spacing = first.pixel_spacing[0], g.column_spacing = first.pixel_spacing[1];
        if (g.positions.size() > 1) g.slice_spacing = norm({g.positions[1][0] - g.positions[0][0], g.positions[1][1] - g.positions[0][1],
                                                            g.positions[1][2] - g.positions[0][2]});
    }
    // A frame derives from the source image at its position; one where none lies (a map on
    // another grid), from every source image.
    for (const Vec& p : g.positions) {
        std::vector<const ImageHeader*> match;
        for (const ImageHeader& h : sources)
            if (h.position.size() == 3 && std::fabs(h.position[0] - p[0]) < 0.01 && std::fabs(h.position[1] - p[1]) < 0.01 &&
                std::fabs(h.position[2] - p[2]) < 0.01)
                match = {&h};
        if (match.empty())
            for (const ImageHeader& h : sources) match.push_back(&h);
        g.sources.push_back(std::move(match));
    }
    return g;
}

void check_code(const std::optional<Code>& c, const char* key) {
    if (!c) return;
    if (c->value.empty() || c->scheme.empty() || c->meaning.empty())
        refuse(std::string(key) + " needs CodeValue, CodingSchemeDesignator and CodeMeaning");
    if (c->value.size() > 16 || c->scheme.size() > 16 || c->meaning.size() > 64)
        refuse(std::string(key) + ": CodeValue and CodingSchemeDesignator hold 16 characters, CodeMeaning 64");
}

// One Quantity Definition item: a coded concept's value, or a number with its unit.
void quantity_item(ItemWriter& w, const Code& name, const Code* value, const std::string* number) {
    w.begin_item();
    if (number) {
        loamwerk::code_sequence(w, tags::kMeasurementUnitsCodeSequence, "s/mm2", "UCUM", "seconds per square millimeter");
    }
    w.text(tags::kValueType, "CS", value ? "CODE" : "NUMERIC");
    code_sequence(w, tags::kConceptNameCodeSequence, name);
    if (value) code_sequence(w, tags::kConceptCodeSequence, *value);
    if (number) w.text(tags::kNumericValue, "DS", *number);
    w.end_item();
}

}  // namespace

Written write_paramap(const Volume& v, const std::vector<ImageHeader>& sources, Meta m, const Identity& who, Uids uids) {
    if (v.frames == 0 || v.rows == 0 || v.columns == 0) refuse("the map is empty");
    if (v.rows > 65535 || v.columns > 65535) refuse("rows and columns are at most 65535");
    if (v.frames > 2147483647) refuse("too many frames");
    const std::size_t width = v.sample == Sample::kFloat32 ? 4 : 2;
    const long double bytes = (long double)v.frames * v.rows * v.columns * width;
    if (bytes > 4294967294.0L) refuse("the map's pixel data would exceed 4 GiB, more than one object can hold");
    if (v.data.size() != std::size_t(bytes)) refuse("the array's size does not match its shape");
    if (sources.empty()) refuse("the source images are needed (their patient, study and frame of reference)");
    const ImageHeader& first = sources[0];
    for (const ImageHeader& h : sources) {
        if (h.study_uid != first.study_uid) refuse("the source images belong to more than one study");
        if (h.frame_of_reference_uid != first.frame_of_reference_uid)
            refuse("the source images lie in more than one frame of reference");
    }
    if (first.study_uid.empty()) refuse("the source images have no Study Instance UID");
    if (first.frame_of_reference_uid.empty()) refuse("the source images have no Frame of Reference UID");
    if (!m.quantity) refuse("meta needs QuantityValueCode (what the values are)");
    if (!m.units) refuse("meta needs MeasurementUnitsCode (their unit, UCUM)");
    if (!m.anatomic_region) refuse("meta needs AnatomicRegionSequence (the body part the map shows)");
    if (!m.derivation) m.derivation = m.quantity;
    check_code(m.quantity, "QuantityValueCode");
    check_code(m.units, "MeasurementUnitsCode");
    check_code(m.measurement_method, "MeasurementMethodCode");
    check_code(m.model_fitting_method, "ModelFittingMethodCode");
    check_code(m.derivation, "DerivationCode");
    check_code(m.anatomic_region, "AnatomicRegionSequence");
    if (!std::isfinite(m.slope) || m.slope == 0 || !std::isfinite(m.intercept))
        refuse("RealWorldValueSlope must be a finite non-zero number and RealWorldValueIntercept finite");
    if (m.frame_laterality != "R" && m.frame_laterality != "L" && m.frame_laterality != "U" && m.frame_laterality != "B")
        refuse("FrameLaterality is R, L, U or B");
    for (const std::string& b : m.b_values) {
        char* end = nullptr;
        const double d = std::strtod(b.c_str(), &end);
        if (b.empty() || *end || !std::isfinite(d)) refuse("SourceImageDiffusionBValues holds numbers, not '" + b + "'");
    }
    for (const std::string* u : {&uids.sop_instance_uid, &uids.series_instance_uid})
        if (!u->empty() && !is_valid_uid(*u)) refuse("'" + *u + "' is not a valid UID");
    if (m.content_label.empty()) m.content_label = "PARAMAP";

    const Geometry g = geometry_of(v, sources);
    // The range of stored values, for the mapping's first and last values.
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    const std::size_t count = v.frames * v.rows * v.columns;
    if (v.sample == Sample::kFloat32) {
        // NaN compares false and is passed over; infinities are left out after.
        // Eight running extremes side by side: lanes the compiler turns into vector min and max.
        float lanes_lo[8], lanes_hi[8];
        std::fill(lanes_lo, lanes_lo + 8, std::numeric_limits<float>::infinity());
        std::fill(lanes_hi, lanes_hi + 8, -std::numeric_limits<float>::infinity());
        std::size_t i = 0;
        for (; i + 8 <= count; i += 8) {
            float x[8];
            std::memcpy(x, v.data.data() + 4 * i, sizeof x);
            for (int j = 0; j < 8; ++j)
                lanes_lo[j] = x[j] < lanes_lo[j] ? x[j] : lanes_lo[j], lanes_hi[j] = x[j] > lanes_hi[j] ? x[j] : lanes_hi[j];
        }
        float flo = lanes_lo[0], fhi = lanes_hi[0];
        for (int j = 1; j < 8; ++j) flo = std::min(flo, lanes_lo[j]), fhi = std::max(fhi, lanes_hi[j]);
        for (; i < count; ++i) {
            float x;
            std::memcpy(&x, v.data.data() + 4 * i, 4);
            flo = x < flo ? x : flo, fhi = x > fhi ? x : fhi;
        }
        if (std::isinf(flo) || std::isinf(fhi)) {
            flo = std::numeric_limits<float>::infinity(), fhi = -flo;
            for (std::size_t i = 0; i < count; ++i) {
                float x;
                std::memcpy(&x, v.data.data() + 4 * i, 4);
                if (std::isfinite(x)) flo = std::min(flo, x), fhi = std::max(fhi, x);
            }
        }
        lo = flo, hi = fhi;
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint16_t raw = load_le16(v.data.data() + 2 * i);
            const double x = v.sample == Sample::kInt16 ? double(std::int16_t(raw)) : double(raw);
            lo = std::min(lo, x), hi = std::max(hi, x);
        }
    }
    if (!(lo <= hi)) lo = hi = 0;

    std::string seed = first.study_uid + "|" + first.sop_instance_uid + "|" + m.quantity->value + "|" + std::to_string(v.frames) + "|" +
                       std::to_string(v.rows) + "x" + std::to_string(v.columns) + "|" + m.series_description;
    // The values by their digest: another map, another UID.
    seed += "|" + std::to_string(wyhash(v.data.data(), v.data.size(), 1));
    if (uids.sop_instance_uid.empty()) uids.sop_instance_uid = uid::mint("paramap-instance\n" + seed, kUidRoot);
    if (uids.series_instance_uid.empty()) uids.series_instance_uid = uid::mint("paramap-series\n" + seed, kUidRoot);
    const std::string dimension_uid = uid::mint("paramap-dimensions\n" + seed, kUidRoot);
    const std::string date = utc_now("%Y%m%d"), time = utc_now("%H%M%S");

    SortedDataset d;
    d.text(tags::kSpecificCharacterSet, "CS", "ISO_IR 192");
    d.text(tags::kImageType, "CS", "DERIVED\\PRIMARY\\VOLUME\\" + m.derived_pixel_contrast);
    d.text(tags::kSOPClassUID, "UI", kParametricMapStorage);
    d.text(tags::kSOPInstanceUID, "UI", uids.sop_instance_uid);
    d.text(tags::kStudyDate, "DA", first.study_date);
    d.text(tags::kSeriesDate, "DA", date);
    d.text(tags::kContentDate, "DA", date);
    d.text(tags::kStudyTime, "TM", first.study_time);
    d.text(tags::kSeriesTime, "TM", time);
    d.text(tags::kContentTime, "TM", time);
    d.text(tags::kAccessionNumber, "SH", first.accession_number);
    d.text(tags::kModality, "CS", first.modality.empty() ? "OT" : first.modality);
    d.text(tags::kManufacturer, "LO", who.manufacturer);
    d.text(tags::kReferringPhysicianName, "PN", first.referring_physician_name);
    if (!first.study_description.empty()) d.text(tags::kStudyDescription, "LO", first.study_description);
    d.text(tags::kSeriesDescription, "LO", m.series_description);
    d.text(tags::kManufacturerModelName, "LO", who.model_name);
    d.put(tags::kReferencedSeriesSequence, [&](ItemWriter& w) {
        std::vector<InstanceReference> refs;
        for (const ImageHeader& h : sources) refs.push_back({h.series_uid, h.sop_class_uid, h.sop_instance_uid});
        referenced_series(w, refs);
    });
    d.text(tags::kPatientName, "PN", first.patient_name);
    d.text(tags::kPatientID, "LO", first.patient_id);
    d.text(tags::kPatientBirthDate, "DA", first.patient_birth_date);
    d.text(tags::kPatientSex, "CS", first.patient_sex);
    // Body Part Examined is a code string: upper case ("Prostate" as dcmqi's examples give it is PROSTATE).
    std::string body_part = m.body_part_examined.empty() ? first.body_part_examined : m.body_part_examined;
    for (char& c : body_part) c = (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
    if (!body_part.empty()) d.text(tags::kBodyPartExamined, "CS", body_part);
    d.text(tags::kDeviceSerialNumber, "LO", who.device_serial_number);
    d.text(tags::kSoftwareVersions, "LO", who.software_versions);
    d.text(tags::kStudyInstanceUID, "UI", first.study_uid);
    d.text(tags::kSeriesInstanceUID, "UI", uids.series_instance_uid);
    d.text(tags::kStudyID, "SH", first.study_id);
    d.text(tags::kSeriesNumber, "IS", m.series_number);
    d.text(tags::kInstanceNumber, "IS", m.instance_number);
    frame_of_reference(d, first.frame_of_reference_uid);
    d.put(tags::kDimensionOrganizationSequence, [&](ItemWriter& w) { dimension_organization(w, dimension_uid); });
    d.text(tags::kDimensionOrganizationType, "CS", "3D");
    d.put(tags::kDimensionIndexSequence, [&](ItemWriter& w) {
        w.begin_sequence(tags::kDimensionIndexSequence);
        w.begin_item();
        w.text(tags::kDimensionOrganizationUID, "UI", dimension_uid);
        w.at(tags::kDimensionIndexPointer, tags::kImagePositionPatient);
        w.at(tags::kFunctionalGroupPointer, tags::kPlanePositionSequence);
        w.text(tags::kDimensionDescriptionLabel, "LO", "Image Position");
        w.end_item();
        w.end_sequence();
    });
    d.put(tags::kSamplesPerPixel, [](ItemWriter& w) { w.us(tags::kSamplesPerPixel, 1); });
    d.text(tags::kPhotometricInterpretation, "CS", "MONOCHROME2");
    d.text(tags::kNumberOfFrames, "IS", std::to_string(v.frames));
    d.put(tags::kRows, [&](ItemWriter& w) { w.us(tags::kRows, std::uint16_t(v.rows)); });
    d.put(tags::kColumns, [&](ItemWriter& w) { w.us(tags::kColumns, std::uint16_t(v.columns)); });
    d.put(tags::kBitsAllocated, [&](ItemWriter& w) { w.us(tags::kBitsAllocated, std::uint16_t(width * 8)); });
    if (v.sample != Sample::kFloat32) {
        d.put(tags::kBitsStored, [](ItemWriter& w) { w.us(tags::kBitsStored, 16); });
        d.put(tags::kHighBit, [](ItemWriter& w) { w.us(tags::kHighBit, 15); });
        d.put(tags::kPixelRepresentation, [&](ItemWriter& w) { w.us(tags::kPixelRepresentation, v.sample == Sample::kInt16); });
    }
    d.text(tags::kBurnedInAnnotation, "CS", "NO");
    // A map of a head can show a face: unless its sources say otherwise, say it may.
    d.text(tags::kRecognizableVisualFeatures, "CS", first.recognizable_visual_features.empty() ? "YES" : first.recognizable_visual_features);
    d.text(tags::kContentQualification, "CS", "RESEARCH");
    d.text(tags::kLossyImageCompression, "CS", "00");
    d.put(tags::kAcquisitionContextSequence, [](ItemWriter& w) {
        w.begin_sequence(tags::kAcquisitionContextSequence);
        w.end_sequence();
    });
    d.text(tags::kContentLabel, "CS", m.content_label);
    d.text(tags::kContentDescription, "LO", m.content_description);
    d.text(tags::kContentCreatorName, "PN", m.content_creator);
    d.text(tags::kPresentationLUTShape, "CS", "IDENTITY");

    d.put(tags::kSharedFunctionalGroupsSequence, [&](ItemWriter& w) {
        w.begin_sequence(tags::kSharedFunctionalGroupsSequence);
        w.begin_item();
        w.begin_sequence(tags::kFrameAnatomySequence);
        w.begin_item();
        code_sequence(w, tags::kAnatomicRegionSequence, *m.anatomic_region);
        w.text(tags::kFrameLaterality, "CS", m.frame_laterality);
        w.end_item();
        w.end_sequence();
        w.begin_sequence(tags::kPlaneOrientationSequence);
        w.begin_item();
        const double orientation[6] = {g.row[0], g.row[1], g.row[2], g.column[0], g.column[1], g.column[2]};
        w.text(tags::kImageOrientationPatient, "DS", format_decimals(orientation));
        w.end_item();
        w.end_sequence();
        w.begin_sequence(tags::kPixelMeasuresSequence);
        w.begin_item();
        const double thickness = g.slice_spacing > 0 ? g.slice_spacing : first.slice_thickness.value_or(1.0);
        w.text(tags::kSliceThickness, "DS", format_decimal(thickness));
        if (v.frames > 1 && g.slice_spacing > 0) w.text(tags::kSpacingBetweenSlices, "DS", format_decimal(g.slice_spacing));
        const double spacing[2] = {g.row_spacing, g.column_spacing};
        w.text(tags::kPixelSpacing, "DS", format_decimals(spacing));
        w.end_item();
        w.end_sequence();
        w.begin_sequence(tags::kPixelValueTransformationSequence);
        w.begin_item();
        w.text(tags::kRescaleIntercept, "DS", "0");
        w.text(tags::kRescaleSlope, "DS", "1");
        w.text(tags::kRescaleType, "LO", "US");
        w.end_item();
        w.end_sequence();
        w.begin_sequence(tags::kParametricMapFrameTypeSequence);
        w.begin_item();
        w.text(tags::kFrameType, "CS", "DERIVED\\PRIMARY\\VOLUME\\" + m.derived_pixel_contrast);
        w.end_item();
        w.end_sequence();
        w.begin_sequence(tags::kRealWorldValueMappingSequence);
        w.begin_item();
        w.text(tags::kLUTExplanation, "LO", m.units->meaning);
        code_sequence(w, tags::kMeasurementUnitsCodeSequence, *m.units);
        w.text(tags::kLUTLabel, "SH", m.units->value.substr(0, 16));
        // In tag order: Last Value Mapped (0040,9211), the double-float Last and First (9213, 9214),
        // then First Value Mapped (9216).
        if (v.sample == Sample::kFloat32) {
            const double last[1] = {hi}, first_value[1] = {lo};
            w.fd(tags::kDoubleFloatRealWorldValueLastValueMapped, last);
            w.fd(tags::kDoubleFloatRealWorldValueFirstValueMapped, first_value);
        } else if (v.sample == Sample::kInt16) {
            w.ss(tags::kRealWorldValueLastValueMapped, std::int16_t(hi));
            w.ss(tags::kRealWorldValueFirstValueMapped, std::int16_t(lo));
        } else {
            w.us(tags::kRealWorldValueLastValueMapped, std::uint16_t(hi));
            w.us(tags::kRealWorldValueFirstValueMapped, std::uint16_t(lo));
        }
        w.begin_sequence(tags::kQuantityDefinitionSequence);
        quantity_item(w, {"246205007", "SCT", "Quantity"}, &*m.quantity, nullptr);
        if (m.measurement_method) quantity_item(w, {"370129005", "SCT", "Measurement Method"}, &*m.measurement_method, nullptr);
        if (m.model_fitting_method) quantity_item(w, {"113241", "DCM", "Model Fitting Method"}, &*m.model_fitting_method, nullptr);
        for (const std::string& b : m.b_values) quantity_item(w, {"113240", "DCM", "Source image diffusion b-value"}, nullptr, &b);
        w.end_sequence();
        const double intercept[1] = {m.intercept}, slope[1] = {m.slope};
        w.fd(tags::kRealWorldValueIntercept, intercept);
        w.fd(tags::kRealWorldValueSlope, slope);
        w.end_item();
        w.end_sequence();
        w.end_item();
        w.end_sequence();
    });
    d.put(tags::kPerFrameFunctionalGroupsSequence, [&](ItemWriter& w) {
        w.begin_sequence(tags::kPerFrameFunctionalGroupsSequence);
        for (std::size_t k = 0; k < v.frames; ++k) {
            w.begin_item();
            {
                w.begin_sequence(tags::kDerivationImageSequence);
                w.begin_item();
                if (!m.derivation_description.empty()) w.text(tags::kDerivationDescription, "ST", m.derivation_description);
                w.begin_sequence(tags::kSourceImageSequence);
                for (const ImageHeader* s : g.sources[k]) {
                    w.begin_item();
                    w.text(tags::kReferencedSOPClassUID, "UI", s->sop_class_uid);
                    w.text(tags::kReferencedSOPInstanceUID, "UI", s->sop_instance_uid);
                    code_sequence(w, tags::kPurposeOfReferenceCodeSequence, {"121322", "DCM", "Source image for image processing operation"});
                    w.end_item();
                }
                w.end_sequence();
                code_sequence(w, tags::kDerivationCodeSequence, *m.derivation);
                w.end_item();
                w.end_sequence();
            }
            w.begin_sequence(tags::kFrameContentSequence);
            w.begin_item();
            w.ul(tags::kDimensionIndexValues, std::uint32_t(k + 1));
            w.end_item();
            w.end_sequence();
            w.begin_sequence(tags::kPlanePositionSequence);
            w.begin_item();
            w.text(tags::kImagePositionPatient, "DS", format_decimals(g.positions[k]));
            w.end_item();
            w.end_sequence();
            w.end_item();
        }
        w.end_sequence();
    });
    std::vector<std::uint8_t> out;
    if (Part10Wrap(kParametricMapStorage, uids.sop_instance_uid, d.body(), "1.2.840.10008.1.2.1", out) != 0)
        refuse("the map is too large to write");
    // The pixel data come last in tag order: their header ends the head, their value is the volume's.
    ItemWriter pixels;
    pixels.bytes(v.sample == Sample::kFloat32 ? tags::kFloatPixelData : tags::kPixelData,
                 v.sample == Sample::kFloat32 ? "OF" : "OW", {});
    store_le32(pixels.out.data() + pixels.out.size() - 4, std::uint32_t(v.data.size()));  // even: 2- and 4-byte samples
    out.insert(out.end(), pixels.out.begin(), pixels.out.end());
    return {std::move(out), v.data};
}

}  // namespace loamwerk::paramap
