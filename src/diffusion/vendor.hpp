// Vendors' MR headers: the diffusion encoding an image states (standard attributes, and the
// private ones of Siemens, GE, Philips and United Imaging), GE's protocol block, and the other
// private values that series conversion and BIDS sidecars need.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/dataset.hpp"
#include "diffusion/csa.hpp"

namespace loamwerk::diffusion {

using Elements = std::vector<ElementRef>;

enum class Vendor : std::uint8_t { kOther, kSiemens, kGe, kPhilips, kCanon, kUih };
// From the Manufacturer (0008,0070) text.
Vendor vendor_of(std::string_view manufacturer);
// The short name BIDS sidecars use ("Siemens", "GE", "Philips", "Canon", "UIH"); empty for others.
std::string_view vendor_label(Vendor vendor);

// Where a diffusion entry was read from.
enum class Source : std::uint8_t { kNone, kStandard, kSiemensCsa, kGe, kPhilips, kUih };
std::string_view source_name(Source source);  // "standard", "Siemens CSA", "GE", "Philips", "UIH"

// A frame's b-value and gradient, and the frame of reference the gradient is expressed in:
// the patient (LPS) axes, the image's logical axes (phase, frequency, slice), or its voxel axes.
struct DiffusionEntry {
    enum class Frame : std::uint8_t { kPatient, kLogical, kVoxel };
    double bvalue = 0;
    double gradient[3] = {0, 0, 0};
    Frame frame = Frame::kPatient;
    bool valid = false;
    bool y_flip = false;
    bool isotropic = false;    // the vendor marks a derived isotropic (trace) image
    char phase_direction = 0;  // 'R' (ROW) or 'C' (COL), from (0018,1312)
    bool has_slice_normal = false;
    double slice_normal[3] = {0, 0, 0};
    bool has_bmatrix = false;
    double bmatrix[6] = {0, 0, 0, 0, 0, 0};  // bxx, bxy, bxz, byy, byz, bzz
    Source source = Source::kNone;
};

// The CSA image header (0029,xx10) of a Siemens object; empty when it has none.
CsaHeader csa_image_header(const Elements& top);

// What a Siemens CSA image header says of diffusion and timing; absent values are empty.
struct SiemensCsaValues {
    std::optional<double> b_value, bandwidth_per_pixel_phase_encode;
    std::vector<double> gradient, b_matrix, slice_normal;  // 3, 6 and 3 values, or none
    std::optional<bool> phase_encoding_positive;
    std::optional<long> mosaic_tiles;
    std::vector<double> slice_times;  // seconds per mosaic tile
};
// Nothing when the buffer has no CSA image header; throws std::invalid_argument
// "siemens_diffusion: not a DICOM data set" when it is no data set at all.
std::optional<SiemensCsaValues> siemens_csa_values(std::span<const std::uint8_t> buffer);

// The diffusion encoding a single-frame image states at its top level: the vendor's private
// elements first (their gradients are the vendor's own), then the standard attributes, at the top
// level or in an MR Diffusion Sequence item. Invalid when the image states none.
DiffusionEntry object_diffusion(const Elements& top, Vendor vendor, const CsaHeader& csa);

// The key/value lines of GE's protocol data block (0025,xx1B), gzip-compressed after a 4-byte
// length; empty when absent or unreadable.
std::vector<std::pair<std::string, std::string>> ge_protocol(const Elements& top);
std::optional<std::string> protocol_value(const std::vector<std::pair<std::string, std::string>>& protocol,
                                          std::string_view key);

// Which complex component an image holds, from Image Type (0008,0008) or Frame Type (0008,9007)
// text and GE's private image type: 0 magnitude or unknown, 1 phase, 2 real, 3 imaginary.
std::uint8_t complex_part(std::string_view image_type, Vendor vendor, const Elements& top);
std::string_view complex_part_name(std::uint8_t part);  // "MAGNITUDE", "PHASE", "REAL", "IMAGINARY"

// Seconds since midnight of a DICOM TM ("HHMMSS.FFFFFF") or of the time of a DT value; nothing
// when the text is not a time.
std::optional<double> time_of_day(std::string_view tm);
std::optional<double> datetime_seconds(std::string_view dt);

// The echo of a Siemens XA frame: the first index of the ICE dimensions ("X_<echo>_...") in
// (0021,xx06) of "SIEMENS MR SDI 02", among the elements of a frame's private item.
std::optional<double> siemens_ice_echo(const Elements& es);

// A Siemens XA frame's TimeAfterStart (0021,xx04 of "SIEMENS MR SDI 02", seconds from the start of
// the series), among the elements of the frame's private item.
std::optional<double> siemens_time_after_start(const Elements& es);

// Philips' private "scale slope" (2005,xx0E): the divisor from stored values to the scanner's
// floating-point values; nothing for other objects.
std::optional<double> philips_scale_slope(const Elements& top);

}  // namespace loamwerk::diffusion
