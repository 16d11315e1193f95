// Authoring DICOM Segmentation objects: binary, fractional and overlapping segmentations over a
// reference series of single-frame images, and label volumes from NIfTI. The reader is read.hpp.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/bytes.hpp"
#include "core/code.hpp"
#include "core/identity.hpp"

namespace loamwerk::seg {

inline constexpr std::string_view kSegmentationClass = "1.2.840.10008.5.1.4.1.1.66.4";

using loamwerk::Code;

struct SegSegment {
    std::string label;
    std::uint8_t rgb[3] = {0, 0, 0};
    Code category{"85756007", "SCT", "Tissue"}, type{"85756007", "SCT", "Tissue"}, anatomic;
    std::string algorithm_type = "MANUAL", algorithm_name = "Tessera";
};

struct SegReferenceSlice {
    std::uint32_t rows = 0, columns = 0;
    double position[3] = {0, 0, 0};
    double orientation[6] = {1, 0, 0, 0, 1, 0};
    double spacing[2] = {1, 1};  // column spacing, row spacing
    double thickness = 0;
    std::string sop_instance_uid, sop_class_uid;
};

// The usable slices of a reference series, sorted along the first slice's normal, and the
// context the first usable file supplies.
struct ReferenceSeries {
    std::vector<SegReferenceSlice> slices;
    std::string patient_name, patient_id, study_uid, study_date, frame_of_reference_uid, series_uid;
    std::string character_set;  // the first file's Specific Character Set, kept with its names
    std::uint32_t rows() const { return slices.empty() ? 0 : slices[0].rows; }
    std::uint32_t columns() const { return slices.empty() ? 0 : slices[0].columns; }
};

// Reads the files (on min(files, online processors - 2) workers, one below 4 processors, when
// `parallel`); files that are not plain single-frame images are left out.
ReferenceSeries load_reference(const std::vector<std::string>& paths, bool parallel);

// The optional values of a build; empty strings are "not given".
struct BuildOptions {
    std::string sop_instance_uid, series_instance_uid, dimension_organization_uid, content_date, content_time;
    Identity identity{"Tessera", "Tessera", "1.0", "1", "1", "", ""};
};

// Each build returns the Part-10 bytes, or nothing when no frame resulted. Argument and shape
// errors throw std::invalid_argument before the builder is touched.
// A label map (slices x rows x columns): voxels holding label_ids[s] belong to segment s + 1.
std::optional<std::vector<std::uint8_t>> build(const ReferenceSeries& ref, std::span<const std::uint16_t> labelmap,
                                               const std::vector<SegSegment>& segments,
                                               const std::vector<std::uint32_t>& label_ids, const BuildOptions& options);
// Fractional maps (segments x slices x rows x columns), 8-bit values kept as they are.
std::optional<std::vector<std::uint8_t>> build_fractional(const ReferenceSeries& ref, std::span<const std::uint8_t> maps,
                                                          const std::vector<SegSegment>& segments, bool occupancy,
                                                          std::uint32_t max_value, const BuildOptions& options);
// One 0/1 mask per segment (segments x slices x rows x columns); masks may overlap.
std::optional<std::vector<std::uint8_t>> build_frames(const ReferenceSeries& ref, std::span<const std::uint8_t> masks,
                                                      const std::vector<SegSegment>& segments,
                                                      const BuildOptions& options);
// A NIfTI-1 label volume aligned to the reference by its affine. Throws std::runtime_error with
// the "seg_from_nifti: ..." messages.
std::vector<std::uint8_t> build_from_nifti(const ReferenceSeries& ref, const std::string& nifti_path,
                                           const std::vector<SegSegment>& segments,
                                           const std::vector<std::uint32_t>& label_ids);

}  // namespace loamwerk::seg
