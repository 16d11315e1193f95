// The decode call behind decode, decode_bytes, decode_stored, decode_stored_bytes and n_frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pixel/image.hpp"

namespace loamwerk::render {

// The messages of frame-level failures.
// What append_stored and append_rendered return: kOk, or an error whose number the Python
// surface and the CLI report (render_error_message gives its words). Error 0 is a decoder's
// failure, so success is -1.
namespace render_error {
constexpr int kOk = -1, kDecodeFailed = 0, kNoPixelData = 1, kFrameOutOfRange = 2, kUnsupportedFormat = 3,
              kOutsideImage = 4, kEncodeFailed = 5, kNoEncoder = 6, kVideoFrame = 7;
}  // namespace render_error

std::string_view render_error_message(int code);

struct FrameLayout {
    std::uint16_t rows = 0, columns = 0, samples = 0;
    unsigned width = 0;  // bytes per sample
    std::string dtype;
    std::uint8_t photometric = 0;
};

// One frame's stored samples (sign-extended, little-endian, interleaved) appended to `out`;
// with `present`, palette indices are expanded and YBR/CMYK converted to RGB. Returns
// render_error::kOk, or a render error.
int append_stored(const RenderImage& img, const FrameRecord& frame, bool present, ByteVector& out,
                  FrameLayout& layout);
// The rendered frame: the modality output (float32) for one-sample frames, RGB otherwise.
// `scratch` is reused between frames.
int append_rendered(const RenderImage& img, std::size_t index, ByteVector& out, FrameLayout& layout,
                    ByteVector& scratch);

struct DecodeResult {
    ByteVector data;
    // Stored frames that need no conversion are returned over the file buffer itself.
    OwnedBuffer file;
    bool in_file = false;
    std::size_t file_offset = 0, file_bytes = 0;
    std::vector<std::size_t> shape;
    std::string dtype;
    std::size_t frames = 0;
    std::uint16_t rows = 0, columns = 0, samples_per_pixel = 0, bits_allocated = 0, bits_stored = 0;
    std::uint16_t pixel_representation = 0, planar_configuration = 0;
    bool rescaled = false;
    std::string photometric, modality, series_instance_uid, sop_instance_uid, study_instance_uid,
        frame_of_reference_uid;
    std::optional<long> instance_number;
    float rescale_slope = 1, rescale_intercept = 0;
    std::optional<float> window_center, window_width;
    std::optional<double> slice_thickness;
    std::vector<double> pixel_spacing, image_position_patient, image_orientation_patient;
};

// The image in `buffer` with at least one frame; throws the decode calls' messages (`label`
// names the input in them).
std::unique_ptr<RenderImage> open_or_throw(std::span<const std::uint8_t> buffer, const std::string& label,
                                           unsigned flags);

// frame 0 selects every frame, n the n-th; only the selected compressed frames are decoded, on
// `threads` workers (0: one per online processor), with the same result as one thread. Throws
// std::runtime_error with the call's messages, and std::invalid_argument for truncated pixel data.
DecodeResult decode(std::span<const std::uint8_t> buffer, const std::string& label, long frame, bool rescale,
                    unsigned flags, std::size_t threads = 0);
// The same over a whole file read for the call, whose buffer may become the result's.
DecodeResult decode_file(OwnedBuffer file, const std::string& label, long frame, bool rescale, unsigned flags,
                         std::size_t threads = 0);
std::size_t frame_count(std::span<const std::uint8_t> buffer, const std::string& label, std::size_t threads = 0);

}  // namespace loamwerk::render
