// What an authored object takes from the images it refers to: their identity and geometry and
// the patient and study they belong to, text in UTF-8 whatever character set the file used.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/dataset.hpp"
#include "core/tree.hpp"

namespace loamwerk {

struct ImageHeader {
    std::string sop_class_uid, sop_instance_uid, series_uid, study_uid, frame_of_reference_uid;
    std::string modality, photometric, instance_number;
    std::string patient_name, patient_id, patient_birth_date, patient_sex, patient_age;
    std::string study_date, study_time, study_id, accession_number, referring_physician_name, study_description;
    std::string body_part_examined, laterality, recognizable_visual_features;
    std::uint16_t rows = 0, columns = 0;
    std::uint32_t frames = 1;
    std::optional<double> rescale_slope, rescale_intercept;
    std::string rescale_type;
    std::vector<double> position, orientation, pixel_spacing;
    std::optional<double> slice_thickness;
};

// The header of the file at `path`, read without its pixel data. Throws OpenError when it cannot
// be opened and std::runtime_error "<path>: not a DICOM image" when it holds no image.
ImageHeader read_image_header(const std::string& path);

// The same fields of any DICOM object, an image or not (Rows and friends then 0 or empty);
// std::runtime_error "<path>: not a DICOM file" when it cannot be read as one.
ImageHeader read_reference_header(const std::string& path);

// The same fields of a header already read with tree::read_header (its data set and tree).
ImageHeader header_fields(const Dataset& ds, const tree::Tree& tree);

// The headers of several files, read side by side; the first failure is thrown.
std::vector<ImageHeader> read_image_headers(const std::vector<std::string>& paths);

}  // namespace loamwerk
