#include "rt/write.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <stdexcept>

#include "core/bytes.hpp"
#include "core/item_writer.hpp"
#include "core/tags.hpp"
#include "core/uid.hpp"
#include "core/writer.hpp"
#include "core/wyhash.hpp"
#include "rt/contours.hpp"
#include "rt/mask.hpp"

namespace loamwerk::rt {

namespace {

constexpr const char* kRtDose = "1.2.840.10008.5.1.4.1.1.481.2";
constexpr const char* kRtPlan = "1.2.840.10008.5.1.4.1.1.481.5";
constexpr const char* kRtStructureSet = "1.2.840.10008.5.1.4.1.1.481.3";

[[noreturn]] void refuse(const std::string& what) { throw std::invalid_argument("write_rtdose: " + what); }

}  // namespace

std::vector<std::uint8_t> write_rtdose(const DoseVolume& v, const std::vector<ImageHeader>& reference, const DoseOptions& o) {
    if (!v.gy || v.frames == 0 || v.rows == 0 || v.columns == 0) refuse("the dose is empty");
    if (v.rows > 65535 || v.columns > 65535) refuse("rows and columns are at most 65535");
    if (reference.empty()) refuse("the reference images are needed (patient, study and frame of reference)");
    const ImageHeader& first = reference[0];
    if (first.frame_of_reference_uid.empty()) refuse("the reference images have no Frame of Reference UID");
    if (o.dose_type != "PHYSICAL" && o.dose_type != "EFFECTIVE" && o.dose_type != "ERROR")
        refuse("dose_type is PHYSICAL, EFFECTIVE or ERROR");
    const std::string& sum = o.summation_type;
    if (sum != "PLAN" && sum != "MULTI_PLAN" && sum != "PLAN_OVERVIEW" && sum != "RECORD")
        refuse("summation_type is PLAN, MULTI_PLAN, PLAN_OVERVIEW or RECORD (fraction, beam and brachy doses need "
               "references this writer does not take)");
    if ((sum == "PLAN" && o.plan_uids.size() != 1) || (sum == "MULTI_PLAN" && o.plan_uids.size() < 2))
        refuse(sum == "PLAN" ? "a PLAN dose names its one plan (plans=[its SOP Instance UID])"
                             : "a MULTI_PLAN dose names two or more plans");
    for (const std::string* u : {&o.structure_set_uid, &o.sop_instance_uid, &o.series_instance_uid})
        if (!u->empty() && !is_valid_uid(*u)) refuse("'" + *u + "' is not a valid UID");
    for (const std::string& u : o.plan_uids)
        if (!is_valid_uid(u)) refuse("'" + u + "' is not a valid UID");

    // Geometry: the frames' plane, their spacing, and their offsets along the normal.
    Grid g;
    if (v.affine) {
        for (double x : *v.affine)
            if (!std::isfinite(x)) refuse("the affine holds a value that is not a finite number");
        g = affine_grid(*v.affine, v.frames, v.rows, v.columns);
        const Vec3 step{(*v.affine)[8], (*v.affine)[9], (*v.affine)[10]};
        const double along = step[0] * g.basis.normal[0] + step[1] * g.basis.normal[1] + step[2] * g.basis.normal[2];
        const double length = std::sqrt(step[0] * step[0] + step[1] * step[1] + step[2] * step[2]);
        if (v.frames > 1 && std::fabs(std::fabs(along) - length) > 1e-4 * std::max(length, 1.0))
            refuse("the frames must be stacked along the normal of their plane (a sheared affine)");
    } else {
        g = series_grid(reference);
        if (g.slices != v.frames || g.rows != v.rows || g.columns != v.columns)
            refuse("without an affine the dose needs the reference series' shape (" + std::to_string(g.slices) + ", " +
                   std::to_string(g.rows) + ", " + std::to_string(g.columns) + ")");
    }
    if ((long double)v.frames * v.rows * v.columns * 2 > 4294967294.0L) refuse("the dose would exceed 4 GiB of pixel data");
    const std::size_t count = v.frames * v.rows * v.columns;
    double top = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const float d = v.gy[i];
        if (!std::isfinite(d) || d < 0) refuse("doses are finite and not negative");
        top = std::max(top, double(d));
    }
    const double scaling = top > 0 ? top / 65535.0 : 1.0;
    std::vector<std::uint8_t> pixels(count * 2);
    for (std::size_t i = 0; i < count; ++i)
        store_le16(pixels.data() + 2 * i, std::uint16_t(std::min(65535.0, std::floor(double(v.gy[i]) / scaling + 0.5))));

    std::string seed = first.study_uid + "|" + first.frame_of_reference_uid + "|" + o.dose_type + "|" + sum + "|" +
                       std::to_string(v.frames) + "x" + std::to_string(v.rows) + "x" + std::to_string(v.columns) + "|" +
                       std::to_string(wyhash(pixels.data(), pixels.size(), 3));
    for (const std::string& p : o.plan_uids) seed += "|" + p;
    const std::string sop = !o.sop_instance_uid.empty() ? o.sop_instance_uid : uid::mint("rtdose-instance\n" + seed, kUidRoot);
    const std::string series = !o.series_instance_uid.empty() ? o.series_instance_uid : uid::mint("rtdose-series\n" + seed, kUidRoot);

    SortedDataset d = authored_dataset(kRtDose, sop, first, o.identity, "RTDOSE", series);
    d.text(tags::kContentDate, "DA", utc_now("%Y%m%d"));
    d.text(tags::kContentTime, "TM", utc_now("%H%M%S"));
    d.text(tags::kOperatorsName, "PN", "");
    d.text(tags::kSliceThickness, "DS", v.frames > 1 ? "" : format_decimal(g.thickness));
    d.text(tags::kInstanceNumber, "IS", "1");
    d.text(tags::kImagePositionPatient, "DS", format_decimals({g.origins[0][0], g.origins[0][1], g.origins[0][2]}));
    d.text(tags::kImageOrientationPatient, "DS",
           format_decimals({g.basis.row[0], g.basis.row[1], g.basis.row[2], g.basis.column[0], g.basis.column[1], g.basis.column[2]}));
    frame_of_reference(d, first.frame_of_reference_uid);
    d.put(tags::kSamplesPerPixel, [](ItemWriter& w) { w.us(tags::kSamplesPerPixel, 1); });
    d.text(tags::kPhotometricInterpretation, "CS", "MONOCHROME2");
    d.text(tags::kNumberOfFrames, "IS", std::to_string(v.frames));
    d.put(tags::kFrameIncrementPointer, [](ItemWriter& w) { w.at(tags::kFrameIncrementPointer, tags::kGridFrameOffsetVector); });
    d.put(tags::kRows, [&](ItemWriter& w) { w.us(tags::kRows, std::uint16_t(v.rows)); });
    d.put(tags::kColumns, [&](ItemWriter& w) { w.us(tags::kColumns, std::uint16_t(v.columns)); });
    d.text(tags::kPixelSpacing, "DS", format_decimals({g.row_spacing, g.column_spacing}));
    d.put(tags::kBitsAllocated, [](ItemWriter& w) { w.us(tags::kBitsAllocated, 16); });
    d.put(tags::kBitsStored, [](ItemWriter& w) { w.us(tags::kBitsStored, 16); });
    d.put(tags::kHighBit, [](ItemWriter& w) { w.us(tags::kHighBit, 15); });
    d.put(tags::kPixelRepresentation, [](ItemWriter& w) { w.us(tags::kPixelRepresentation, 0); });
    d.text(tags::kDoseUnits, "CS", "GY");
    d.text(tags::kDoseType, "CS", o.dose_type);
    if (!o.comment.empty()) d.text(tags::kDoseComment, "LO", o.comment);
    d.text(tags::kDoseSummationType, "CS", sum);
    {
        std::vector<double> offsets(v.frames);
        for (std::size_t k = 0; k < v.frames; ++k) offsets[k] = g.positions[k] - g.positions[0];
        d.text(tags::kGridFrameOffsetVector, "DS", format_decimals(offsets));
    }
    d.text(tags::kDoseGridScaling, "DS", format_decimal(scaling));
    if (!o.plan_uids.empty())
        d.put(tags::kReferencedRTPlanSequence, [&](ItemWriter& w) {
            w.begin_sequence(tags::kReferencedRTPlanSequence);
            for (const std::string& p : o.plan_uids) {
                w.begin_item();
                w.text(tags::kReferencedSOPClassUID, "UI", kRtPlan);
                w.text(tags::kReferencedSOPInstanceUID, "UI", p);
                w.end_item();
            }
            w.end_sequence();
        });
    if (!o.structure_set_uid.empty())
        d.put(tags::kReferencedStructureSetSequence, [&](ItemWriter& w) {
            instance_reference(w, tags::kReferencedStructureSetSequence, kRtStructureSet, o.structure_set_uid);
        });
    d.put(tags::kPixelData, [&](ItemWriter& w) { w.bytes(tags::kPixelData, "OW", pixels); });
    std::vector<std::uint8_t> out;
    if (Part10Wrap(kRtDose, sop, d.body(), "1.2.840.10008.1.2.1", out) != 0) refuse("the dose is too large to write");
    return out;
}

namespace {

[[noreturn]] void refuse_structure(const std::string& what) { throw std::invalid_argument("write_mkrtstruct: " + what); }

// A coordinate in mm to a tenth of a micrometre, without trailing zeros.
std::string coordinate(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4f", v);
    std::string s = buf;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s == "-0" ? "0" : s;
}

bool code_string(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ' '; });
}

}  // namespace

std::vector<std::uint8_t> write_rtstruct(const std::vector<const std::uint8_t*>& masks, std::size_t slices, std::size_t rows,
                                         std::size_t columns, const std::vector<RoiDescription>& rois,
                                         std::vector<ImageHeader> reference, const StructureOptions& o) {
    if (rois.empty()) refuse_structure("no ROIs given");
    if (masks.size() != rois.size()) refuse_structure("one mask an ROI");
    if (reference.empty()) refuse_structure("the reference series is needed");
    for (const RoiDescription& r : rois) {
        if (r.name.empty() || r.name.size() > 64) refuse_structure("an ROI needs a name of at most 64 characters");
        if (!code_string(r.interpreted_type) || r.interpreted_type.size() > 16)
            refuse_structure("ROI '" + r.name + "': interpreted type is a code string (ORGAN, PTV, GTV, CTV, EXTERNAL, ...)");
        if (r.algorithm != "AUTOMATIC" && r.algorithm != "SEMIAUTOMATIC" && r.algorithm != "MANUAL")
            refuse_structure("ROI '" + r.name + "': algorithm is AUTOMATIC, SEMIAUTOMATIC or MANUAL");
        if (r.colour && std::any_of(r.colour->begin(), r.colour->end(), [](int c) { return c < 0 || c > 255; }))
            refuse_structure("ROI '" + r.name + "': colour is three values in 0..255");
    }
    if (o.label.empty() || o.label.size() > 16) refuse_structure("the structure set label holds 1 to 16 characters");
    for (const std::string* u : {&o.sop_instance_uid, &o.series_instance_uid})
        if (!u->empty() && !is_valid_uid(*u)) refuse_structure("'" + *u + "' is not a valid UID");
    // The slices in the series' order along its normal, as the masks are.
    const Grid probe = series_grid(reference);
    std::stable_sort(reference.begin(), reference.end(), [&](const ImageHeader& a, const ImageHeader& b) {
        const Vec3 pa{a.position[0], a.position[1], a.position[2]}, pb{b.position[0], b.position[1], b.position[2]};
        return pa[0] * probe.basis.normal[0] + pa[1] * probe.basis.normal[1] + pa[2] * probe.basis.normal[2] <
               pb[0] * probe.basis.normal[0] + pb[1] * probe.basis.normal[1] + pb[2] * probe.basis.normal[2];
    });
    const Grid g = series_grid(reference);
    if (g.slices != slices || g.rows != rows || g.columns != columns)
        refuse_structure("the masks must have the reference series' shape (" + std::to_string(g.slices) + ", " +
                         std::to_string(g.rows) + ", " + std::to_string(g.columns) + ")");
    const ImageHeader& first = reference[0];
    for (const ImageHeader& h : reference)
        if (h.study_uid != first.study_uid || h.frame_of_reference_uid != first.frame_of_reference_uid)
            refuse_structure("the reference images belong to more than one study or frame of reference");
    if (first.frame_of_reference_uid.empty()) refuse_structure("the reference images have no Frame of Reference UID");

    // Contours, ROI by ROI and slice by slice: (slice, patient points).
    std::vector<std::vector<std::pair<std::size_t, std::string>>> contours(rois.size());
    std::string seed = first.study_uid + "|" + first.series_uid + "|" + o.label;
    for (std::size_t r = 0; r < rois.size(); ++r) {
        seed += "|" + rois[r].name;
        for (std::size_t k = 0; k < slices; ++k) {
            for (const auto& loop : mask_outlines(masks[r] + k * rows * columns, rows, columns)) {
                std::string data;
                for (const auto& p : loop)
                    for (int a = 0; a < 3; ++a) {
                        const double v = g.origins[k][std::size_t(a)] + p[0] * g.column_spacing * g.basis.row[std::size_t(a)] +
                                         p[1] * g.row_spacing * g.basis.column[std::size_t(a)];
                        if (!data.empty()) data.push_back('\\');
                        data += coordinate(v);
                    }
                if (data.size() > 65534)
                    refuse_structure("ROI '" + rois[r].name + "': an outline of " + std::to_string(loop.size()) +
                                     " points is longer than one contour can hold");
                seed.append("|").append(std::to_string(k)).append(":").append(std::to_string(wyhash(data.data(), data.size(), 5)));
                contours[r].push_back({k, std::move(data)});
            }
        }
    }
    const std::string sop = !o.sop_instance_uid.empty() ? o.sop_instance_uid : uid::mint("rtstruct-instance\n" + seed, kUidRoot);
    const std::string series = !o.series_instance_uid.empty() ? o.series_instance_uid : uid::mint("rtstruct-series\n" + seed, kUidRoot);
    const std::string date = utc_now("%Y%m%d"), time = utc_now("%H%M%S");

    SortedDataset d;
    const Identity& who = o.identity;
    d.text(tags::kSpecificCharacterSet, "CS", "ISO_IR 192");
    d.text(tags::kInstanceCreationDate, "DA", date);
    d.text(tags::kInstanceCreationTime, "TM", time);
    d.text(tags::kSOPClassUID, "UI", kRtStructureSet);
    d.text(tags::kSOPInstanceUID, "UI", sop);
    study_and_series(d, first, who, "RTSTRUCT", series);
    d.text(tags::kOperatorsName, "PN", "");
    d.text(tags::kInstanceNumber, "IS", "1");
    frame_of_reference(d, first.frame_of_reference_uid);
    d.text(tags::kStructureSetLabel, "SH", o.label);
    if (!o.name.empty()) d.text(tags::kStructureSetName, "LO", o.name);
    d.text(tags::kStructureSetDate, "DA", date);
    d.text(tags::kStructureSetTime, "TM", time);
    const auto contour_images = [&](ItemWriter& w, const std::vector<std::size_t>& which) {
        w.begin_sequence(tags::kContourImageSequence);
        for (std::size_t k : which) {
            w.begin_item();
            w.text(tags::kReferencedSOPClassUID, "UI", reference[k].sop_class_uid);
            w.text(tags::kReferencedSOPInstanceUID, "UI", reference[k].sop_instance_uid);
            w.end_item();
        }
        w.end_sequence();
    };
    d.put(tags::kReferencedFrameOfReferenceSequence, [&](ItemWriter& w) {
        w.begin_sequence(tags::kReferencedFrameOfReferenceSequence);
        w.begin_item();
        w.text(tags::kFrameOfReferenceUID, "UI", first.frame_of_reference_uid);
        w.begin_sequence(tags::kRTReferencedStudySequence);
        w.begin_item();
        w.text(tags::kReferencedSOPClassUID, "UI", "1.2.840.10008.3.1.2.3.1");  // Detached Study Management, as the object asks
        w.text(tags::kReferencedSOPInstanceUID, "UI", first.study_uid);
        w.begin_sequence(tags::kRTReferencedSeriesSequence);
        w.begin_item();
        w.text(tags::kSeriesInstanceUID, "UI", first.series_uid);
        std::vector<std::size_t> all(slices);
        for (std::size_t k = 0; k < slices; ++k) all[k] = k;
        contour_images(w, all);
        w.end_item();
        w.end_sequence();
        w.end_item();
        w.end_sequence();
        w.end_item();
        w.end_sequence();
    });
    d.put(tags::kStructureSetROISequence, [&](ItemWriter& w) {
        w.begin_sequence(tags::kStructureSetROISequence);
        for (std::size_t r = 0; r < rois.size(); ++r) {
            w.begin_item();
            w.text(tags::kROINumber, "IS", std::to_string(r + 1));
            w.text(tags::kReferencedFrameOfReferenceUID, "UI", first.frame_of_reference_uid);
            w.text(tags::kROIName, "LO", rois[r].name);
            if (!rois[r].description.empty()) w.text(tags::kROIDescription, "ST", rois[r].description);
            w.text(tags::kROIGenerationAlgorithm, "CS", rois[r].algorithm);
            w.end_item();
        }
        w.end_sequence();
    });
    d.put(tags::kROIContourSequence, [&](ItemWriter& w) {
        w.begin_sequence(tags::kROIContourSequence);
        for (std::size_t r = 0; r < rois.size(); ++r) {
            w.begin_item();
            const std::array<int, 3> colour = rois[r].colour.value_or(std::array<int, 3>{255, 0, 0});
            w.text(tags::kROIDisplayColor, "IS",
                   std::to_string(colour[0]) + "\\" + std::to_string(colour[1]) + "\\" + std::to_string(colour[2]));
            w.begin_sequence(tags::kContourSequence);
            for (std::size_t c = 0; c < contours[r].size(); ++c) {
                const auto& [k, data] = contours[r][c];
                w.begin_item();
                contour_images(w, {k});
                w.text(tags::kContourGeometricType, "CS", "CLOSED_PLANAR");
                w.text(tags::kNumberOfContourPoints, "IS", std::to_string(std::count(data.begin(), data.end(), '\\') / 3 + 1));
                w.text(tags::kContourNumber, "IS", std::to_string(c + 1));
                w.text(tags::kContourData, "DS", data);
                w.end_item();
            }
            w.end_sequence();
            w.text(tags::kReferencedROINumber, "IS", std::to_string(r + 1));
            w.end_item();
        }
        w.end_sequence();
    });
    d.put(tags::kRTROIObservationsSequence, [&](ItemWriter& w) {
        w.begin_sequence(tags::kRTROIObservationsSequence);
        for (std::size_t r = 0; r < rois.size(); ++r) {
            w.begin_item();
            w.text(tags::kObservationNumber, "IS", std::to_string(r + 1));
            w.text(tags::kReferencedROINumber, "IS", std::to_string(r + 1));
            w.text(tags::kRTROIInterpretedType, "CS", rois[r].interpreted_type);
            w.text(tags::kROIInterpreter, "PN", "");
            w.end_item();
        }
        w.end_sequence();
    });
    std::vector<std::uint8_t> out;
    if (Part10Wrap(kRtStructureSet, sop, d.body(), "1.2.840.10008.1.2.1", out) != 0) refuse_structure("the structure set is too large to write");
    return out;
}

}  // namespace loamwerk::rt
