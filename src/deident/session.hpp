// De-identification after the Basic Application Level Confidentiality Profile and its options.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/dataset.hpp"
#include "core/vr.hpp"

namespace loamwerk::deident {

struct DeidentOptions {
    std::string patient_name = "Anonymous";
    std::string patient_id = "ANON0001";
    std::string uid_root = "2.25";
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

class Session {
public:
    explicit Session(DeidentOptions options) : opt_(std::move(options)) {}
    // One Part-10 buffer; run_result::kOk, or an error code.
    int run(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out);
    std::size_t uids_replaced() const { return uid_map_.size(); }

private:
    char action(Tag tag) const;
    std::string replace_uid(std::string_view uid);
    // `enc` is the encoding the bytes are read in; everything is written in out_enc_, the file's.
    void walk(const std::uint8_t* p, std::size_t n, Encoding enc, std::vector<std::uint8_t>& out, int depth, bool top);
    void apply(const ElementRef& e, std::vector<std::uint8_t>& out, int depth, bool top);
    void write_method(Encoding enc, std::vector<std::uint8_t>& out);
    Encoding out_enc_ = Encoding::ExplicitLE;

    DeidentOptions opt_;
    std::unordered_map<std::string, std::string> uid_map_;
    std::string sop_instance_;  // this file's replacement SOP Instance UID
    std::string sop_class_in_data_;
    bool sop_recorded_ = false;
};

}  // namespace loamwerk::deident
