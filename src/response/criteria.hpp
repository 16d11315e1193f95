// Tumour response criteria over measured target lesions, and the lesion geometry tools.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace loamwerk::response {

enum Status : std::uint32_t { kMeasured = 0, kTooSmall = 1, kNotEvaluable = 2, kAbsent = 3, kPresent = 4, kUnequivocalPd = 5 };
// Throws std::runtime_error "recist: unknown lesion status '<s>' — ...".
Status parse_status(std::string_view s);

struct Lesion {
    double a = 0, b = 0;  // RECIST: longest, short axis; mRECIST: viable diameter; Cheson/RANO: longest, perpendicular
    Status status = kMeasured;
    bool lymph_node = false;
};

enum Response { kCR = 0, kPR = 1, kSD = 2, kPD = 3, kNE = 4 };
const char* response_name(Response r);

struct Evaluation {
    Response response = kNE;
    double baseline = 0, current = 0;
};

// Each throws std::runtime_error with the criterion's messages for mismatched or empty lists.
Evaluation recist(const std::vector<Lesion>& baseline, const std::vector<Lesion>& current, double nadir, bool new_lesion,
                  bool nt_progression, const char* name = "recist");
Evaluation mrecist(const std::vector<Lesion>& baseline, const std::vector<Lesion>& current, double nadir, bool new_lesion);
Evaluation cheson(const std::vector<Lesion>& baseline, const std::vector<Lesion>& current, double nadir, bool new_lesion);
enum NonEnhancing { kStable = 0, kImproved = 1, kIncreased = 2, kUnknown = 3 };
Evaluation rano(const std::vector<Lesion>& baseline, const std::vector<Lesion>& current, double nadir, bool new_lesion,
                NonEnhancing non_enhancing, bool on_steroids);
// iRECIST: "iCR", "iPR", "iSD", "iUPD", "iCPD", "iNE".
const char* irecist_response(Response recist_response, bool prev_was_iupd);
const char* pcwg3_bone(long scan1, long scan2, bool prev_was_pending);
const char* pcwg3_psa(double current, double nadir);

struct Feret {
    double longest_mm = 0, width_mm = 0;
    double longest[4] = {0, 0, 0, 0}, width[4] = {0, 0, 0, 0};  // x0, y0, x1, y1 in pixels
};
// Nothing for an empty mask (or when the point buffers cannot be allocated).
std::optional<Feret> feret(const std::uint8_t* mask, std::size_t rows, std::size_t cols, double sx, double sy);

}  // namespace loamwerk::response
