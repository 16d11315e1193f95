// Key Object Selection documents: the builder of the "Of Interest" style KO and its reader.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/identity.hpp"

namespace loamwerk::sr {

struct KoReference {
    std::string study_uid, series_uid, sop_class_uid, sop_instance_uid;
    std::uint32_t frame = 0;  // 0: none
};

struct KoDocument {
    std::string patient_name, patient_id, study_uid, study_date, study_time, study_id, accession_number;
    std::string title_value = "113000", title_scheme = "DCM", title_meaning = "Of Interest";
    std::string sop_instance_uid, series_instance_uid;  // minted from the content when empty
    std::string retrieve_ae_title, retrieve_location_uid;
    std::vector<KoReference> references;
    Identity identity{"Tessera", "", "", "", "999", "", ""};  // the content creator is not used
};

// The Part-10 bytes (Explicit VR Little Endian). Throws std::runtime_error "failed to build the Key
// Object Selection (no references?)" when no reference has a SOP Instance UID, and
// std::invalid_argument for a UID longer than 64 characters.
std::vector<std::uint8_t> build_ko(KoDocument doc);

struct KoRead {
    KoDocument document;
    std::vector<std::vector<std::uint32_t>> frames;  // per reference, the frames listed (may be empty)
};
// Reads a KO document (patient/study, title code, own UIDs, references with frames); throws
// std::runtime_error when the bytes are not one.
KoRead read_ko(std::span<const std::uint8_t> part10);

}  // namespace loamwerk::sr
