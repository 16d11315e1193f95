// Reading structured reports and the headers of the instances they refer to.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "sr/content.hpp"

namespace loamwerk::sr {

// Reads a structured report (any SR storage class, or any data set with a content tree).
// Throws std::runtime_error "not a DICOM data set" or "no SR content (Value Type is missing)".
SrDocument read_document(std::span<const std::uint8_t> bytes);

// What a report needs of an instance it refers to, read from the instance's file header.
struct InstanceHeader {
    std::string sop_class_uid, sop_instance_uid, series_instance_uid, study_instance_uid;
    std::string patient_name, patient_id, patient_birth_date, patient_sex;
    std::string study_date, study_time, study_id, accession_number, referring_physician_name, study_description;
};
// Throws OpenError for files that cannot be read and std::runtime_error for data that is not DICOM.
InstanceHeader read_instance_header(const std::string& path);

}  // namespace loamwerk::sr
