// The decoded-frame model: a buffer opened as a RenderImage, its pixel module, and the
// frame table that locates (and, for compressed syntaxes, decodes) every frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/bytes.hpp"
#include "core/dataset.hpp"
#include "core/transfer_syntax.hpp"
#include "pixel/syntax.hpp"

namespace loamwerk::render {

enum Photometric : std::uint8_t {
    kPhotoUnknown = 0, kMonochrome1 = 1, kMonochrome2 = 2, kPaletteColor = 3, kRgb = 4, kHsv = 5, kArgb = 6,
    kCmyk = 7, kYbrFull = 8, kYbrFull422 = 9, kYbrPartial422 = 10, kYbrPartial420 = 11, kYbrIct = 12, kYbrRct = 13,
    kXyb = 14,
};
const char* photometric_name(std::uint8_t code);  // for the five reported codes, else ""

enum class DecodedKind : std::uint8_t {
    None = 0, GrayFloat = 1, Rgb8 = 2, RgbFloat = 3, Rgba8 = 4, Four8 = 5, Gray8 = 6, Gray16 = 7, Rgb16 = 8,
};

namespace status {
constexpr int kOk = 0, kNoMemory = 1, kUnsupported = 2, kNothing = 4, kNotDicom = 5, kTruncated = 6;
}

// Decode flags.
constexpr unsigned kLenient = 1, kPalette16 = 2, kStrictStored = 4;
// Compressed frames are located but left encoded; decode_frame decodes one on demand.
constexpr unsigned kDeferDecode = 8;

struct FrameRecord {
    std::uint16_t columns = 0, rows = 0, samples = 0, bits = 0, planar = 0;
    std::uint8_t photometric = 0;
    DecodedKind kind = DecodedKind::None;
    const std::uint8_t* source = nullptr;  // a view into the caller's buffer, or into `joined`
    std::size_t source_size = 0;
    unsigned source_bit_offset = 0;  // 1-bit frames packed across byte boundaries
    std::vector<std::uint8_t> joined;
    ByteVector decoded;  // a codec's output, little-endian and interleaved
    bool has_decoded = false;
    std::vector<std::uint8_t> icc;
    bool truncated = false;
    unsigned flags = 0;
    std::string error;  // why a decoder refused the frame, for the caller's message
};

struct LutView {
    std::uint16_t entries = 0;  // 0 means 65536
    std::int32_t first = 0;
    std::uint16_t bits = 0;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    bool present = false;
    std::size_t entry_count() const { return entries ? entries : 65536; }
};

struct RenderImage {
    // Pixel module.
    std::uint16_t rows = 0, columns = 0, samples = 0, bits_allocated = 0, bits_stored = 0, high_bit = 0;
    std::uint16_t pixel_representation = 0, planar = 0;
    std::uint32_t frames_declared = 0;
    std::uint8_t photometric = kPhotoUnknown;
    SyntaxCode syntax = syntax::kUnknown;
    bool big_endian = false;
    bool words_for_bytes = false;  // 8-bit samples stored as OW words
    bool retired_lzw = false;      // the retired Lempel-Ziv compression
    // Presentation values; per-frame slots come from Per-frame Functional Groups.
    float window_center = 0, window_width = 0, rescale_intercept = 0, rescale_slope = 1;
    bool has_window = false;
    std::uint8_t voi_function = 0;
    std::vector<float> frame_center, frame_width, frame_intercept, frame_slope;
    LutView modality_lut;
    LutView palette[3];
    const std::uint8_t* segmented[3] = {nullptr, nullptr, nullptr};
    std::size_t segmented_size[3] = {0, 0, 0};
    bool rt_dose = false;
    double dose_grid_scaling = 0;
    bool has_dose_scaling = false;
    // Pixel data.
    const std::uint8_t* native = nullptr;
    std::size_t native_size = 0;
    bool float_pixels = false, double_pixels = false;
    std::span<const std::uint8_t> extended_offsets, extended_lengths;
    std::vector<std::span<const std::uint8_t>> fragments;
    FrameCodec codec = nullptr;
    unsigned flags = 0;
    std::vector<FrameRecord> frames;
    int status = status::kOk;
    std::string problem;  // what made the image or a frame undecodable, in words
    // Descriptive values for the meta dictionary (raw text, padding removed).
    std::string modality, sop_class, sop_instance, series_uid, study_uid, frame_of_reference_uid;
    std::string instance_number, slice_thickness, pixel_spacing, image_position, image_orientation;
    // The data set as stored (big-endian values walked in place, a deflated body inflated), whose
    // top-level elements the image was read from, and the buffer of joined native frames: the
    // views may point into either.
    Dataset dataset;
    std::vector<std::uint8_t> joined_native;
};

// Opens a Part-10 buffer or bare dataset, which must outlive the image. Nothing (with
// status 5 in `*status_out`) when it is not a DICOM stream.
std::unique_ptr<RenderImage> open(std::span<const std::uint8_t> buffer, unsigned flags, int* status_out = nullptr);

// Decodes the frames first..last-1 of an image opened with kDeferDecode that are not decoded yet,
// on `threads` workers (0: one per online processor), each frame into its own record. Returns
// kOk, kTruncated, or the failure of the first frame that failed (its reason in img.problem),
// exactly as decoding them in order on one thread would.
int decode_pending(RenderImage& img, std::size_t first, std::size_t last, std::size_t threads);

// Frame `index` of an image opened with kDeferDecode, decoded into `out` (a copy of its record
// whose source still points into the image; its buffers are reused). The image is only read, so several threads may
// decode its frames at once. Returns a status code.
int decode_frame(const RenderImage& img, std::size_t index, FrameRecord& out);

// The pixel count and the expected decoded layout of one frame.
std::size_t pixel_count(const FrameRecord& f);
// MPEG-2, H.264, HEVC and SMPTE video syntax codes.
bool is_video_syntax(SyntaxCode code);
// The bytes a decoded frame holds (1-bit frames stay packed).
std::size_t decoded_frame_bytes(const FrameRecord& f);

}  // namespace loamwerk::render
