#include "core/image_header.hpp"

#include <stdexcept>

#include "core/bytes.hpp"
#include "core/dataset.hpp"
#include "core/parallel.hpp"
#include "core/tags.hpp"
#include "core/tree.hpp"
#include "core/utf8.hpp"
#include "core/values.hpp"

namespace loamwerk {

namespace {

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    std::size_t lead = 0;
    while (lead < s.size() && s[lead] == ' ') ++lead;
    return s.substr(lead);
}

}  // namespace

namespace {

ImageHeader read_header_fields(const std::string& path, bool image) {
    tree::Tree tree;
    const Dataset ds = tree::read_header(path, tree);
    if (!ds.readable()) throw std::runtime_error(path + ": not a DICOM file");
    if (image && (!ds.find(tags::kRows) || !ds.find(tags::kColumns)))
        throw std::runtime_error(path + ": not a DICOM image");
    return header_fields(ds, tree);
}

}  // namespace

ImageHeader header_fields(const Dataset& ds, const tree::Tree& tree) {
    ImageHeader h;
    const auto text = [&](Tag tag) -> std::string {
        for (const tree::Node& n : tree.body)
            if (n.tag == tag)
                return trimmed(n.decoded ? n.text : as_utf8(as_text(n.value.data(), n.value.size())));
        return {};
    };
    h.sop_class_uid = text(tags::kSOPClassUID), h.sop_instance_uid = text(tags::kSOPInstanceUID);
    h.series_uid = text(tags::kSeriesInstanceUID), h.study_uid = text(tags::kStudyInstanceUID);
    h.frame_of_reference_uid = text(tags::kFrameOfReferenceUID);
    h.modality = text(tags::kModality), h.photometric = text(tags::kPhotometricInterpretation);
    h.instance_number = text(tags::kInstanceNumber);
    h.patient_name = text(tags::kPatientName), h.patient_id = text(tags::kPatientID);
    h.patient_birth_date = text(tags::kPatientBirthDate), h.patient_sex = text(tags::kPatientSex);
    h.patient_age = text(tags::kPatientAge);
    h.study_date = text(tags::kStudyDate), h.study_time = text(tags::kStudyTime), h.study_id = text(tags::kStudyID);
    h.accession_number = text(tags::kAccessionNumber);
    h.referring_physician_name = text(tags::kReferringPhysicianName);
    h.study_description = text(tags::kStudyDescription);
    h.body_part_examined = text(tags::kBodyPartExamined), h.laterality = text(tags::kLaterality);
    h.recognizable_visual_features = text(tags::kRecognizableVisualFeatures);
    const Elements& top = ds.elements();
    h.rows = std::uint16_t(integer_of(top, tags::kRows).value_or(0));
    h.columns = std::uint16_t(integer_of(top, tags::kColumns).value_or(0));
    if (auto n = integer_of(top, tags::kNumberOfFrames); n && *n > 0) h.frames = std::uint32_t(*n);
    h.rescale_slope = float_of(top, tags::kRescaleSlope);
    h.rescale_intercept = float_of(top, tags::kRescaleIntercept);
    h.rescale_type = text(tags::kRescaleType);
    if (const ElementRef* e = find_element(top, tags::kImagePositionPatient)) h.position = numbers(*e);
    if (const ElementRef* e = find_element(top, tags::kImageOrientationPatient)) h.orientation = numbers(*e);
    if (const ElementRef* e = find_element(top, tags::kPixelSpacing)) h.pixel_spacing = numbers(*e);
    h.slice_thickness = float_of(top, tags::kSliceThickness);
    return h;
}

ImageHeader read_image_header(const std::string& path) { return read_header_fields(path, true); }

ImageHeader read_reference_header(const std::string& path) { return read_header_fields(path, false); }

std::vector<ImageHeader> read_image_headers(const std::vector<std::string>& paths) {
    std::vector<ImageHeader> out(paths.size());
    parallel_for(paths.size(), [&](std::size_t i) { out[i] = read_image_header(paths[i]); });
    return out;
}

}  // namespace loamwerk
