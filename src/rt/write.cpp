#include "rt/write.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/bytes.hpp"
#include "core/item_writer.hpp"
#include "core/tags.hpp"
#include "core/uid.hpp"
#include "core/writer.hpp"
#include "core/wyhash.hpp"
#include "rt/mask.hpp"

namespace loamwerk::rt {

namespace {

constexpr const char* kRtDose = "1.2.840.10008.5.1.4.1.1.481.2";
constexpr const char* kRtPlan = "1.2.840.10008.5.1.4.1.1.481.5";
constexpr const char* kRtStructureSet = "1.2.840.10008.5.1.4.1.1.481.3";

[[noreturn]] void refuse(const std::string& what) { throw std::invalid_argument("write_rtdose: " + what); }

std::string decimals(std::initializer_list<double> values) {
    std::string s;
    for (double v : values) s += (s.empty() ? "" : "\\") + format_decimal(v);
    return s;
}

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

    SortedDataset d;
    const Identity& who = o.identity;
    d.text(tags::kSpecificCharacterSet, "CS", "ISO_IR 192");
    d.text(tags::kSOPClassUID, "UI", kRtDose);
    d.text(tags::kSOPInstanceUID, "UI", sop);
    d.text(tags::kStudyDate, "DA", first.study_date);
    d.text(tags::kContentDate, "DA", utc_now("%Y%m%d"));
    d.text(tags::kStudyTime, "TM", first.study_time);
    d.text(tags::kContentTime, "TM", utc_now("%H%M%S"));
    d.text(tags::kAccessionNumber, "SH", first.accession_number);
    d.text(tags::kModality, "CS", "RTDOSE");
    d.text(tags::kManufacturer, "LO", who.manufacturer);
    d.text(tags::kReferringPhysicianName, "PN", first.referring_physician_name);
    if (!who.series_description.empty()) d.text(tags::kSeriesDescription, "LO", who.series_description);
    d.text(tags::kOperatorsName, "PN", "");
    if (!who.model_name.empty()) d.text(tags::kManufacturerModelName, "LO", who.model_name);
    d.text(tags::kPatientName, "PN", first.patient_name);
    d.text(tags::kPatientID, "LO", first.patient_id);
    d.text(tags::kPatientBirthDate, "DA", first.patient_birth_date);
    d.text(tags::kPatientSex, "CS", first.patient_sex);
    d.text(tags::kSliceThickness, "DS", v.frames > 1 ? "" : format_decimal(g.thickness));
    if (!who.device_serial_number.empty()) d.text(tags::kDeviceSerialNumber, "LO", who.device_serial_number);
    if (!who.software_versions.empty()) d.text(tags::kSoftwareVersions, "LO", who.software_versions);
    d.text(tags::kStudyInstanceUID, "UI", first.study_uid);
    d.text(tags::kSeriesInstanceUID, "UI", series);
    d.text(tags::kStudyID, "SH", first.study_id);
    d.text(tags::kSeriesNumber, "IS", who.series_number);
    d.text(tags::kInstanceNumber, "IS", "1");
    d.text(tags::kImagePositionPatient, "DS", decimals({g.origins[0][0], g.origins[0][1], g.origins[0][2]}));
    d.text(tags::kImageOrientationPatient, "DS",
           decimals({g.basis.row[0], g.basis.row[1], g.basis.row[2], g.basis.column[0], g.basis.column[1], g.basis.column[2]}));
    d.text(tags::kFrameOfReferenceUID, "UI", first.frame_of_reference_uid);
    d.text(tags::kPositionReferenceIndicator, "LO", "");
    d.put(tags::kSamplesPerPixel, [](ItemWriter& w) { w.us(tags::kSamplesPerPixel, 1); });
    d.text(tags::kPhotometricInterpretation, "CS", "MONOCHROME2");
    d.text(tags::kNumberOfFrames, "IS", std::to_string(v.frames));
    d.put(tags::kFrameIncrementPointer, [](ItemWriter& w) { w.at(tags::kFrameIncrementPointer, tags::kGridFrameOffsetVector); });
    d.put(tags::kRows, [&](ItemWriter& w) { w.us(tags::kRows, std::uint16_t(v.rows)); });
    d.put(tags::kColumns, [&](ItemWriter& w) { w.us(tags::kColumns, std::uint16_t(v.columns)); });
    d.text(tags::kPixelSpacing, "DS", decimals({g.row_spacing, g.column_spacing}));
    d.put(tags::kBitsAllocated, [](ItemWriter& w) { w.us(tags::kBitsAllocated, 16); });
    d.put(tags::kBitsStored, [](ItemWriter& w) { w.us(tags::kBitsStored, 16); });
    d.put(tags::kHighBit, [](ItemWriter& w) { w.us(tags::kHighBit, 15); });
    d.put(tags::kPixelRepresentation, [](ItemWriter& w) { w.us(tags::kPixelRepresentation, 0); });
    d.text(tags::kDoseUnits, "CS", "GY");
    d.text(tags::kDoseType, "CS", o.dose_type);
    if (!o.comment.empty()) d.text(tags::kDoseComment, "LO", o.comment);
    d.text(tags::kDoseSummationType, "CS", sum);
    {
        std::string offsets;
        for (std::size_t k = 0; k < v.frames; ++k)
            offsets += (k ? "\\" : "") + format_decimal(g.positions[k] - g.positions[0]);
        d.text(tags::kGridFrameOffsetVector, "DS", offsets);
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
            w.begin_sequence(tags::kReferencedStructureSetSequence);
            w.begin_item();
            w.text(tags::kReferencedSOPClassUID, "UI", kRtStructureSet);
            w.text(tags::kReferencedSOPInstanceUID, "UI", o.structure_set_uid);
            w.end_item();
            w.end_sequence();
        });
    d.put(tags::kPixelData, [&](ItemWriter& w) { w.bytes(tags::kPixelData, "OW", pixels); });
    std::vector<std::uint8_t> out;
    if (Part10Wrap(kRtDose, sop, d.body(), "1.2.840.10008.1.2.1", out) != 0) refuse("the dose is too large to write");
    return out;
}

}  // namespace loamwerk::rt
