// One file's frames: the axis codes, the geometry record and the values that tell frames apart,
// read from a file's headers and functional groups; the frames decoded, or left in their file
// to be decoded when a volume is copied.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"
#include "diffusion/vendor.hpp"
#include "pixel/image.hpp"

namespace loamwerk::volume {

constexpr unsigned kAxisCount = 13;
// Axis 12 is never read from a frame: grouping fills it when frames at one slice position are
// told apart by their acquisition (number, time, instance) rather than by a named axis.
enum AxisCode : unsigned {
    kSpatial = 0, kTemporal = 1, kBvalue = 2, kDirection = 3, kEcho = 4, kCardiac = 5, kSegment = 6,
    kFrameType = 7, kStack = 8, kVelocity = 9, kEnergy = 10, kDataType = 11, kAcquisition = 12,
};

struct FrameGeometryRecord {
    std::uint32_t frame_id = 0;
    std::uint32_t file_index = 0;
    double position[3] = {0, 0, 0};
    double orientation[6] = {1, 0, 0, 0, 1, 0};
    double pixel_spacing[2] = {1, 1};  // between rows, between columns
    double slice_thickness = 0;
    float axis[kAxisCount];
    float vector[3] = {0, 0, 0};
    FrameGeometryRecord();
};

using diffusion::DiffusionEntry;

// What a frame's headers say besides its geometry: the values that tell apart frames at one slice
// position (NaN where the file states none).
struct FrameKeys {
    double temporal_index = std::nan("");      // Temporal Position Index per frame, else Temporal Position Identifier
    double acquisition_number = std::nan("");  // Frame Acquisition Number per frame, else Acquisition Number
    double acquisition_time = std::nan("");    // seconds: Frame Acquisition DateTime, else Acquisition (or Content) time
    double stack_id = std::nan("");            // Stack ID, when numeric
    double echo_number = std::nan("");         // Echo Numbers
    double trigger_time = std::nan("");        // Trigger Time, ms
    double slice_time = std::nan("");          // seconds, where stated per slice (mosaics, Siemens XA TimeAfterStart)
    bool mosaic_tile = false;
    std::uint8_t complex_part = 0;             // 0 magnitude/unknown, 1 phase, 2 real, 3 imaginary
    std::uint64_t sop_instance = 0;            // hash of the SOP Instance UID
    // The modality map from stored to decoded values: value = stored x slope + intercept (in
    // float32, as decoding computes it) when `linear`; a LUT, float pixels or colour are not.
    float slope = 1, intercept = 0;
    bool linear = false, is_signed = false;
    std::uint8_t stored_bytes = 0;             // 1 or 2 for integer samples
    double philips_scale = std::nan("");       // Philips' floating-point scale slope
};

struct SeriesInfo {
    std::uint8_t enhanced_us = 0;
    std::uint8_t geometry_frame = 1;  // 1: patient LPS; 2: the Enhanced US Volume frame
    std::string frame_of_reference;
    std::uint32_t frames = 0;
    std::vector<std::string> data_types;
};

// A file kept open for frames decoded when the volume is copied (straight into their slices).
struct SourceFile {
    OwnedBuffer buffer;
    std::unique_ptr<render::RenderImage> image;
};
struct LazyFrame {
    std::shared_ptr<const SourceFile> file;  // null: the frame is held decoded in `frames`
    std::uint32_t index = 0;
    bool scalar = false;  // one sample, not a palette: decodes to one float channel
};

struct DecodedSeries {
    std::vector<FrameGeometryRecord> records;
    std::vector<ByteVector> frames;  // float32 rows x columns; empty: did not decode to one float channel
    std::vector<LazyFrame> lazy;     // per frame, for series decoded lazily
    std::vector<std::array<std::uint32_t, 2>> dims;  // columns, rows
    std::vector<std::uint32_t> file_index, frame_number, instance_number;
    std::vector<DiffusionEntry> diffusion;
    std::vector<FrameKeys> keys;
    std::vector<std::string> paths;  // the caller's list (for messages and volume paths)
    std::string problem;                // one file's: why it gave no frame
    std::vector<std::string> undecoded;  // "path: why" of each file that gave no decodable frame
    std::string series_uid;
    std::vector<std::string> series_uids;
    std::vector<std::uint32_t> series_index;
    std::vector<SeriesInfo> series_info;
};

// One file's frames, as a DecodedSeries of its own (file index `file_index`).
DecodedSeries decode_one_file(const std::string& path, std::uint32_t file_index, bool want_diffusion,
                              bool lazy = false);
// Decodes a lazily held frame to float32 into `dst` (`bytes` long); false when it does not
// decode to one float channel of that size.
bool decode_lazy_frame(const LazyFrame& frame, std::uint8_t* dst, std::size_t bytes);

// What a converter needs to know of a file before assembly: its series and the values that tell
// several volumes of one series apart.
struct FileSeriesKey {
    bool image = false;
    std::string series_uid, series_number, description, protocol, modality, position, manufacturer, sequence_name;
    std::string image_type, acquisition_number;
    std::uint32_t frames = 0;
    bool diffusion = false;  // a b-value above 0, at the top level or in a frame's MR Diffusion item
    bool colour = false;     // three samples a pixel
    double echo_number = std::nan("");
    std::uint8_t complex_part = 0;
};
FileSeriesKey read_series_key(const std::string& path);

}  // namespace loamwerk::volume
