// De-identification after the Basic Application Level Confidentiality Profile and its options.
#pragma once

#include <cstdint>
#include <array>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "core/dataset.hpp"
#include "core/vr.hpp"
#include "iod/validate.hpp"

namespace loamwerk::deident {

struct DeidentOptions {
    // Fixed dummies for every patient; without them each patient gets a pseudonym of its own.
    std::optional<std::string> patient_name, patient_id;
    std::string uid_root = "2.25";
    // Every replacement UID and pseudonym is keyed by this secret; empty: a fresh random key
    // for the session. `unkeyed` replaces UIDs by a public hash of the original and every
    // patient by the same dummies: anyone holding the original UIDs can link the output.
    std::string key;
    bool unkeyed = false;
    // Each patient's dates move back by a keyed 1..N days (on top of shift_dates_days).
    int shift_dates_per_patient = 0;
    bool retain_dates = false, retain_safe_private = false, clean_descriptors = false, retain_uids = false;
    bool retain_device_id = false, retain_institution_id = false, retain_patient_chars = false;
    bool clean_graphics = false, clean_struct_content = false, clean_pixel = false;
    int shift_dates_days = 0;
    bool profile_none = false;  // profile "none": only UIDs, group lengths and the lists
    std::map<Tag, std::string> replace;
    std::set<Tag> remove;
};

namespace run_result {
constexpr int kOk = -1, kNotPart10 = 0, kNotByteWalkable = 1;
constexpr int kPixelCleaning = 100;  // + the pixel cleaning code
}

// The message of a run result code.
std::string message(int code);

// Shifts a DA or DT value (backslash-separated components) by `days` in the proleptic
// Gregorian calendar; invalid components become empty. Exposed for its tests.
std::string shift_dates(std::string_view value, int days);

// One row of the lookup table a data holder keeps: what was replaced by what.
struct LookupRow {
    std::string kind, original, replacement;
};

// The replacements of one patient, derived from the key and the patient's identity.
struct Patient {
    std::string identity;  // Patient ID and its issuer, or name and birth date without an ID
    std::string original_id, original_name;
    std::string id, name;  // pseudonyms
    int date_shift = 0;    // days, all options together
};

// The identifiers a de-identified file is filed under, as written at its top level (empty
// when absent): Patient ID, Study, Series and SOP Instance UIDs.
struct FiledUnder {
    std::string patient_id, study_uid, series_uid, sop_instance_uid;
};
FiledUnder filed_under(std::span<const std::uint8_t> part10);

class Session {
public:
    // Throws std::runtime_error when no random key can be had.
    explicit Session(DeidentOptions options);
    // One Part-10 buffer; run_result::kOk, or an error code.
    int run(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out);
    std::size_t uids_replaced() const { return uid_map_.size(); }
    // Every replacement made so far, by kind, sorted.
    std::vector<LookupRow> lookup() const;
    // Why the last file's pixels likely hold burned-in text that was not cleaned; empty if not.
    const std::string& burned_in_note() const { return burned_in_note_; }
    // The warning a caller shows for it: empty when there is nothing to say.
    std::string burned_in_warning() const {
        return burned_in_note_.empty() ? std::string()
                                       : "pixel data may hold burned-in text, not cleaned: " + burned_in_note_;
    }

private:
    char action(Tag tag, VR vr, std::string_view value) const;
    bool shifting_dates() const { return opt_.shift_dates_days != 0 || opt_.shift_dates_per_patient > 0; }
    std::string replace_uid(std::string_view uid);
    // The patient of a data set level: its own when it names a Patient ID, else `outer`.
    const Patient& patient_of(const std::vector<ElementRef>& level, const Patient* outer);
    // A keyed pseudonym of at most `width` characters for a patient's identifier of `kind`: the
    // same text of two patients (Study ID "1") does not become one link between them.
    std::string pseudonym(std::string_view kind, const Patient& patient, std::string_view original, std::size_t width);
    // `enc` is the encoding the bytes are read in; everything is written in out_enc_, the file's.
    void walk(const std::uint8_t* p, std::size_t n, Encoding enc, std::vector<std::uint8_t>& out, int depth, bool top,
              const Patient* outer);
    void apply(const ElementRef& e, std::vector<std::uint8_t>& out, int depth, bool top, const Patient& patient);
    void write_method(Encoding enc, std::vector<std::uint8_t>& out);
    void note_burned_in(const std::vector<ElementRef>& top);
    Encoding out_enc_ = Encoding::ExplicitLE;

    DeidentOptions opt_;
    std::unordered_map<std::string, std::string> uid_map_;
    std::map<std::string, Patient> patients_;                          // by identity
    std::map<std::tuple<std::string, std::string, std::string>, std::string> other_;  // (kind, patient, original)
    std::string burned_in_note_;
    iod::RequiredAttributes required_;  // what this file's IOD requires
    std::string meta_sop_class_;
    std::string sop_instance_;  // this file's replacement SOP Instance UID
    std::string sop_class_in_data_;
    bool sop_recorded_ = false;
};

}  // namespace loamwerk::deident
