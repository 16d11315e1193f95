// Series volume assembly: decoding a file list into frame records, grouping the frames of
// one orientation into a dense grid of slice positions and non-spatial axes, and copying
// 3-D volumes out of that grid, with a voxel-to-patient (LPS) affine.
//
// Affine convention: 16 doubles, column-major, mapping (column i, row j, slice k, 1) to
// patient LPS millimetres: column 0 = row cosines x column spacing, column 1 = column cosines x
// row spacing, column 2 = slice step vector, column 3 = position of slice 0.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"
#include "pixel/image.hpp"

namespace loamwerk::volume {

constexpr unsigned kAxisCount = 12;
enum AxisCode : unsigned {
    kSpatial = 0, kTemporal = 1, kBvalue = 2, kDirection = 3, kEcho = 4, kCardiac = 5, kSegment = 6,
    kFrameType = 7, kStack = 8, kVelocity = 9, kEnergy = 10, kDataType = 11,
};
std::string_view axis_name(unsigned code);  // "spatial", "temporal", ... ; "dim" when unknown

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

// A diffusion frame's b-value and gradient, and the frame the gradient is expressed in.
struct DiffusionEntry {
    enum class Frame : std::uint8_t { kPatient, kLogical, kVoxel };
    double bvalue = 0;
    double gradient[3] = {0, 0, 0};
    Frame frame = Frame::kPatient;
    bool valid = false;
    bool y_flip = false;
    char phase_direction = 0;  // 'R' (ROW) or 'C' (COL), from (0018,1312)
    bool has_slice_normal = false;
    double slice_normal[3] = {0, 0, 0};
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
    std::vector<DiffusionEntry> diffusion;  // when diffusion data was asked for
    std::string series_uid;
    std::vector<std::string> series_uids;
    std::vector<std::uint32_t> series_index;
    std::vector<SeriesInfo> series_info;
};

struct GridAxis {
    std::uint32_t code = 0, count = 0;
    std::vector<float> values;
    float step = 0;
};

struct VolumeGrid {
    std::uint32_t columns = 0, rows = 0;
    float value_min = 1e30f, value_max = -1e30f;
    double affine[16] = {};
    double inverse[16] = {};
    double spacing[3] = {0, 0, 0};  // x, y, z
    GridAxis axes[kAxisCount];
    std::uint64_t strides[kAxisCount] = {};
    std::vector<std::uint32_t> table;  // frame_id per cell, kEmpty for none
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
    std::size_t depth() const { return axes[0].count; }
};

struct AssembledVolume {
    ByteVector data;  // float32 depth x rows x columns
    std::size_t depth = 0, rows = 0, columns = 0;
    double spacing[3] = {0, 0, 0};  // z, y, x
    double affine[16] = {};
    std::string series_uid;
};

struct Volume4D {
    ByteVector data;  // float32 volumes x depth x rows x columns
    std::size_t volumes = 0, depth = 0, rows = 0, columns = 0;
    double spacing[3] = {0, 0, 0};
    double affine[16] = {};
    std::string series_uid;
    std::vector<std::string> volume_path;
    std::vector<std::uint32_t> volume_frame;
    std::vector<GridAxis> dimensions;
};

struct DwiVolumes {
    ByteVector data;  // float32 volumes x depth x rows x columns
    std::size_t volumes = 0, depth = 0, rows = 0, columns = 0;
    double spacing[3] = {0, 0, 0};
    double affine[16] = {};
    std::string series_uid;
    std::vector<double> bvals;
    std::vector<std::array<double, 3>> bvecs, stored_bvecs;
};

// Decodes every file on worker threads (results in file order); throws std::runtime_error. With
// `lazy`, single frames are left in their files and decoded when a volume is copied.
DecodedSeries decode_frames(const std::vector<std::string>& paths, bool want_diffusion, bool lazy = false);
// One file's frames, as a DecodedSeries of its own (file index `file_index`).
DecodedSeries decode_one_file(const std::string& path, std::uint32_t file_index, bool want_diffusion,
                              bool lazy = false);
// Decodes a lazily held frame to float32 into `dst` (`bytes` long); false when it does not
// decode to one float channel of that size.
bool decode_lazy_frame(const LazyFrame& frame, std::uint8_t* dst, std::size_t bytes);

// Groups the records' first orientation group (or, with `largest_group`, the group holding the
// most decodable frames) into a grid. Throws std::runtime_error.
VolumeGrid discover_group(const std::vector<FrameGeometryRecord>& records, const DecodedSeries& decoded,
                          bool largest_group = false);

struct VolumeOut {
    ByteVector buffer;
    std::uint32_t columns = 0, rows = 0, depth = 0, bytes_per_voxel = 0, channels = 0;
    double affine[16] = {};
    float norm_scale = 1, norm_offset = 0;
};
using FrameFetch = std::function<const ByteVector*(std::uint32_t frame_id)>;
// Writes a frame's first `bytes` bytes of float32 values to `dst`; false when it has none.
using FrameFill = std::function<bool(std::uint32_t frame_id, std::uint8_t* dst, std::size_t bytes)>;
// Copies the 3-D volume at `selection` (one index per axis 1-11) out of the grid; 0 or -1.
// With `at`, the volume is written there (the caller's buffer, of the volume's size) instead.
int vol_assemble(VolumeOut& out, const VolumeGrid& grid, const std::array<std::uint32_t, kAxisCount - 1>& selection,
                 const FrameFetch& fetch, int dtype, std::uint8_t* at = nullptr);
// The same with frames written straight into their slices, on worker threads.
int vol_assemble(VolumeOut& out, const VolumeGrid& grid, const std::array<std::uint32_t, kAxisCount - 1>& selection,
                 const FrameFill& fill, int dtype, std::uint8_t* at = nullptr);

// The affine's inverse (column-major).
void invert_affine(const double affine[16], double inverse[16]);

// What a converter needs to know of a file before assembly: its series and the values that tell
// several volumes of one series apart.
struct FileSeriesKey {
    bool image = false;
    std::string series_uid, series_number, description, modality, position;
    std::uint32_t frames = 0;
    bool diffusion = false;  // a CSA or standard b-value
};
FileSeriesKey read_series_key(const std::string& path);

AssembledVolume assemble(const std::vector<std::string>& paths, bool require_lps);
Volume4D assemble_4d(const std::vector<std::string>& paths, bool require_lps);
DwiVolumes assemble_dwi(const DecodedSeries& decoded, const std::vector<std::string>& paths, bool acquisition_order);

}  // namespace loamwerk::volume
