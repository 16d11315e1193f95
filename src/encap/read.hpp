// Reads an encapsulated document back: its payload exactly as encapsulated, and what describes it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace loamwerk::encap {

struct Extracted {
    std::vector<std::uint8_t> payload;  // Encapsulated Document Length bytes when stated, else the value
    std::string mime, title, sop_class, kind;  // kind: "pdf", "cda", "stl", "obj", "mtl", or "" when unknown
    std::string sop_instance_uid, series_instance_uid, study_instance_uid, patient_name, patient_id;
    bool length_stated = false;
};

// std::runtime_error "<where>: not a DICOM file" or "<where>: holds no Encapsulated Document";
// also when the stated length exceeds the value.
Extracted read_document(std::span<const std::uint8_t> file, const std::string& where);

}  // namespace loamwerk::encap
