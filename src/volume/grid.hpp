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
#include "volume/frames.hpp"

namespace loamwerk::volume {

std::string_view axis_name(unsigned code);  // "spatial", "temporal", ..., "acquisition"; "dim" when unknown

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
    // How frames sharing a slice position were told apart (empty when the named axes did), and
    // how many exact duplicates (same SOP instance and frame) were set aside.
    std::string grouping;
    std::size_t duplicates = 0;
    std::size_t depth() const { return axes[0].count; }
};

// The map from stored integers to the decoded values, when every frame of a volume shares it.
struct Rescale {
    bool uniform = false;  // one linear map of integer samples for all frames
    float slope = 1, intercept = 0;
    bool is_signed = false;
    std::uint8_t stored_bytes = 0;
    double philips_scale = std::nan("");  // Philips' floating-point scale slope, when all frames share it
};

struct AssembledVolume {
    ByteVector data;  // float32 depth x rows x columns
    std::size_t depth = 0, rows = 0, columns = 0;
    double spacing[3] = {0, 0, 0};  // z, y, x
    double affine[16] = {};
    std::string series_uid;
    std::string grouping;
    std::size_t duplicates = 0, missing_slices = 0;
    std::size_t volumes_in_series = 1;  // the series holds this many; the first is returned
    Rescale rescale;
    std::vector<std::string> undecoded;  // "path: why" of each file left out because no frame decoded
};

struct Volume4D {
    ByteVector data;  // volumes x depth x rows x columns of `dtype` (RGB: x 3)
    int dtype = 3;    // 0 uint8, 1 uint16, 2 int16, 3 float32, 4 RGB8
    std::size_t volumes = 0, depth = 0, rows = 0, columns = 0;
    double spacing[3] = {0, 0, 0};
    double affine[16] = {};
    std::string series_uid;
    std::vector<std::string> volume_path;
    std::vector<std::uint32_t> volume_frame;
    std::vector<GridAxis> dimensions;
    std::string grouping;            // how frames at one position were told apart ("" when by named axes)
    std::size_t duplicates = 0;      // exact duplicates set aside
    std::size_t missing_slices = 0;  // empty slices in the volumes returned
    Rescale rescale;
    std::vector<std::string> undecoded;  // as in AssembledVolume
};

struct DwiVolumes {
    ByteVector data;  // volumes x depth x rows x columns of `dtype`
    int dtype = 3;
    std::size_t volumes = 0, depth = 0, rows = 0, columns = 0;
    double spacing[3] = {0, 0, 0};
    double affine[16] = {};
    std::string series_uid;
    std::vector<double> bvals;
    std::vector<std::array<double, 3>> bvecs, stored_bvecs;
    std::vector<std::string> volume_path;
    std::string grouping;
    std::size_t duplicates = 0, missing_slices = 0;
    std::size_t derived_excluded = 0;  // isotropic (trace) volumes left out
    Rescale rescale;
    std::vector<std::string> undecoded;  // as in AssembledVolume
};

// Decodes every file on worker threads (results in file order); throws std::runtime_error. With
// `lazy`, single frames are left in their files and decoded when a volume is copied.
DecodedSeries decode_frames(const std::vector<std::string>& paths, bool want_diffusion, bool lazy = false);

// Groups the records' first orientation group (or, with `largest_group`, the group holding the
// most decodable frames) into a grid. Throws std::runtime_error.
VolumeGrid discover_group(const std::vector<FrameGeometryRecord>& records, const DecodedSeries& decoded,
                          bool largest_group = false);

// Per volume (in the order assemble_4d gives them), the frame of each slice (kEmpty where none).
std::vector<std::vector<std::uint32_t>> volume_frames(const VolumeGrid& grid);

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


AssembledVolume assemble(const std::vector<std::string>& paths, bool require_lps);
// Where volumes go when they are streamed rather than held: begin() with the sample type and
// shape before the first slice (and again, from the start, when the type has to change), then
// the slices in blocks, each at its byte offset in the volumes' data, from several threads.
struct StreamShape {
    int type = 3;  // vol_assemble's codes
    std::size_t columns = 0, rows = 0, depth = 0, volumes = 0;
    const double* affine = nullptr;
    const Rescale* rescale = nullptr;
};
class SliceSink {
public:
    virtual ~SliceSink() = default;
    virtual void begin(const StreamShape& shape) = 0;
    virtual void write_at(std::size_t offset, const std::uint8_t* data, std::size_t bytes) = 0;
};

// The samples volumes are copied as: float32 modality values; the stored integers when every
// frame shares one linear map to them (as uint8, uint16 or int16; float32 otherwise); 8-bit RGB.
enum class Samples { kFloat, kStored, kRgb };
Volume4D assemble_4d(const std::vector<std::string>& paths, bool require_lps, Samples samples = Samples::kFloat);
// With a sink, the volumes are streamed to it and `data` stays empty.
Volume4D assemble_4d(const DecodedSeries& decoded, bool require_lps, Samples samples = Samples::kFloat,
                     SliceSink* sink = nullptr);
DwiVolumes assemble_dwi(const DecodedSeries& decoded, const std::vector<std::string>& paths, bool acquisition_order,
                        Samples samples = Samples::kFloat, SliceSink* sink = nullptr);

}  // namespace loamwerk::volume
