// Pixel decoding and the presentation functions.
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/variant.h>

#include "bindings/common.hpp"
#include "pixel/decode.hpp"
#include "pixel/display.hpp"
#include "pixel/present.hpp"
#include "pixel/transcode.hpp"
#include "pr/read.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk;
using namespace loamwerk::render;

nb::dlpack::dtype dtype_of(const std::string& name) {
    if (name == "uint8") return nb::dtype<std::uint8_t>();
    if (name == "int8") return nb::dtype<std::int8_t>();
    if (name == "uint16") return nb::dtype<std::uint16_t>();
    if (name == "int16") return nb::dtype<std::int16_t>();
    if (name == "uint32") return nb::dtype<std::uint32_t>();
    if (name == "int32") return nb::dtype<std::int32_t>();
    if (name == "uint64") return nb::dtype<std::uint64_t>();
    if (name == "int64") return nb::dtype<std::int64_t>();
    if (name == "float64") return nb::dtype<double>();
    return nb::dtype<float>();
}

nb::object optional_list(const std::vector<double>& v) {
    if (v.empty()) return nb::none();
    nb::list l;
    for (double x : v) l.append(x);
    return l;
}

nb::tuple result_of(DecodeResult&& r) {
    nb::dict meta;
    meta["frames"] = r.frames;
    meta["rows"] = r.rows;
    meta["columns"] = r.columns;
    meta["samples_per_pixel"] = r.samples_per_pixel;
    meta["bits_allocated"] = r.bits_allocated;
    meta["bits_stored"] = r.bits_stored;
    meta["pixel_representation"] = r.pixel_representation;
    meta["planar_configuration"] = r.planar_configuration;
    meta["dtype"] = r.dtype;
    meta["rescaled"] = r.rescaled;
    meta["byte_order"] = "little";
    meta["bytes"] = r.in_file ? r.file_bytes : r.data.size();
    nb::list shape;
    for (std::size_t d : r.shape) shape.append(d);
    meta["numpy_shape"] = shape;
    meta["modality"] = utf8_str(r.modality);
    meta["photometric"] = r.photometric;
    meta["series_instance_uid"] = utf8_str(r.series_instance_uid);
    meta["sop_instance_uid"] = utf8_str(r.sop_instance_uid);
    meta["study_instance_uid"] = utf8_str(r.study_instance_uid);
    meta["frame_of_reference_uid"] = utf8_str(r.frame_of_reference_uid);
    meta["instance_number"] = r.instance_number ? nb::object(nb::int_(*r.instance_number)) : nb::none();
    meta["rescale_slope"] = r.rescale_slope;
    meta["rescale_intercept"] = r.rescale_intercept;
    meta["window_center"] = r.window_center ? nb::object(nb::float_(*r.window_center)) : nb::none();
    meta["window_width"] = r.window_width ? nb::object(nb::float_(*r.window_width)) : nb::none();
    meta["slice_thickness"] = r.slice_thickness ? nb::object(nb::float_(*r.slice_thickness)) : nb::none();
    meta["pixel_spacing"] = optional_list(r.pixel_spacing);
    meta["image_position_patient"] = optional_list(r.image_position_patient);
    meta["image_orientation_patient"] = optional_list(r.image_orientation_patient);
    const auto dtype = dtype_of(r.dtype);
    auto array = r.in_file ? to_array(std::move(r.file), r.shape, dtype, r.file_offset)
                           : to_array(std::move(r.data), r.shape, dtype);
    return nb::make_tuple(array, meta);
}

unsigned flags_of(bool lenient, unsigned base) { return base | (lenient ? kLenient : 0u); }

// The threads keyword: None is one worker per online processor (0 for the engine).
std::size_t thread_count(std::optional<long> threads) {
    if (!threads) return 0;
    if (*threads < 1) throw nb::value_error("threads must be at least 1 (or None for one per processor)");
    return std::size_t(*threads);
}

nb::tuple decode_path(const Path& path, long frame, bool rescale, unsigned flags, std::optional<long> threads) {
    const std::size_t workers = thread_count(threads);
    DecodeResult r = without_gil([&] { return decode_file(read_path(path), path, frame, rescale, flags, workers); });
    return result_of(std::move(r));
}

nb::tuple decode_buffer(const nb::bytes& data, long frame, bool rescale, unsigned flags, std::optional<long> threads) {
    const std::size_t workers = thread_count(threads);
    const auto bytes = view(data);
    DecodeResult r = without_gil([&] { return decode(bytes, "<bytes>", frame, rescale, flags, workers); });
    return result_of(std::move(r));
}

using FloatArray = nb::ndarray<const float, nb::c_contig, nb::device::cpu>;

nb::ndarray<nb::numpy> voi_apply(FloatArray values, int function, std::optional<nb::bytes> lut_bytes, int lut_first,
                     int lut_depth, float window_center, float window_width) {
    if (lut_bytes && lut_bytes->size() == 0) throw nb::value_error("VOI LUT Data is empty");
    std::vector<std::size_t> shape(values.ndim());
    for (std::size_t i = 0; i < values.ndim(); ++i) shape[i] = values.shape(i);
    const std::size_t n = values.size();
    std::vector<float> out(n);
    const float* in = values.data();
    const auto lut = lut_bytes ? view(*lut_bytes) : std::span<const std::uint8_t>();
    without_gil([&] {
        voi_transfer(in, n, function, lut.data(), lut.size(), bool(lut_bytes), lut_first, lut_depth, window_center,
                     window_width, out.data());
    });
    return to_array(std::move(out), shape, nb::dtype<float>());
}

using IndexArray = nb::ndarray<nb::c_contig, nb::device::cpu>;

nb::ndarray<nb::numpy> apply_palette(const nb::bytes& dataset, IndexArray indices, int bits_allocated, bool is_signed) {
    const auto dt = indices.dtype();
    const int expected = bits_allocated == 1 ? 8 : bits_allocated;
    const bool integer = dt.code == std::uint8_t(nb::dlpack::dtype_code::Int) ||
                         dt.code == std::uint8_t(nb::dlpack::dtype_code::UInt);
    if (!integer || (bits_allocated != 1 && bits_allocated != 8 && bits_allocated != 16) || dt.bits != expected)
        throw nb::value_error("Palette indices must match the dataset's 1/8/16-bit stored container");
    const std::size_t count = indices.size(), width = std::size_t(expected / 8);
    if (count > std::numeric_limits<std::size_t>::max() / 6 / width) throw nb::value_error("Palette index array is too large");
    std::vector<std::size_t> shape(indices.ndim() + 1);
    for (std::size_t i = 0; i < indices.ndim(); ++i) shape[i] = indices.shape(i);
    shape.back() = 3;
    const auto bytes = view(dataset);
    const auto* idx = static_cast<const std::uint8_t*>(indices.data());
    ByteVector out;
    bool sixteen = false;
    const int rc = without_gil(
        [&] { return palette_expand(bytes, idx, count * width, count, unsigned(width), is_signed, out, &sixteen); });
    if (rc == status::kNothing) throw std::runtime_error("No valid Palette Color LUT is available");
    if (rc != status::kOk || out.size() != count * 3 * (sixteen ? 2 : 1))
        throw std::runtime_error("Palette Color LUT returned an inconsistent image");
    return to_array(std::move(out), shape, sixteen ? nb::dtype<std::uint16_t>() : nb::dtype<std::uint8_t>());
}

nb::bytes transcode(const nb::bytes& data, const std::string& target, int quality) {
    const auto input = view(data);
    std::vector<std::uint8_t> out;
    std::string why;
    const int rc = without_gil([&] { return transcode_buffer(input, target, quality, out, &why); });
    if (rc != transcode_status::kOk) throw std::runtime_error(transcode_failure(target, rc, why));
    return to_bytes(out);
}

}  // namespace

void register_pixel(nb::module_& m) {
    const char* decode_doc =
        "Decode the frames of a DICOM file (frame 0 = all, n = the n-th) to (array, meta). The array is "
        "[frames, rows, columns(, samples)], little-endian, samples interleaved. With rescale, one-sample "
        "images give the modality output as float32 (Hounsfield units for CT, Gy for RT Dose) and colour "
        "images RGB; without it, stored values, with palettes expanded and YBR converted to RGB. lenient "
        "accepts short pixel data (missing samples are zero).";
    m.def("decode", [](const Path& path, long frame, bool rescale, bool lenient, std::optional<long> threads) {
              return decode_path(path, frame, rescale, flags_of(lenient, 0), threads);
          },
          nb::arg("path"), nb::arg("frame") = 0, nb::arg("rescale") = false, nb::kw_only(), nb::arg("lenient") = false,
          nb::arg("threads") = nb::none(),
          nb::sig("def decode(path: str | os.PathLike[str], frame: int = 0, rescale: bool = False, *, lenient: bool = False, "
                  "threads: int | None = None) -> tuple[numpy.typing.NDArray, dict[str, object]]"),
          decode_doc);
    m.def("decode_bytes", [](const nb::bytes& data, long frame, bool rescale, bool lenient, std::optional<long> threads) {
              return decode_buffer(data, frame, rescale, flags_of(lenient, 0), threads);
          },
          nb::arg("data"), nb::arg("frame") = 0, nb::arg("rescale") = false, nb::kw_only(), nb::arg("lenient") = false,
          nb::arg("threads") = nb::none(),
          nb::sig("def decode_bytes(data: bytes, frame: int = 0, rescale: bool = False, *, lenient: bool = False, "
                  "threads: int | None = None) -> tuple[numpy.typing.NDArray, dict[str, object]]"),
          "decode() over a Part-10 buffer or bare dataset held in bytes (read in place).");
    m.def("decode_stored", [](const Path& path, long frame, bool lenient, std::optional<long> threads) {
              return decode_path(path, frame, false, flags_of(lenient, kStrictStored), threads);
          },
          nb::arg("path"), nb::arg("frame") = 0, nb::kw_only(), nb::arg("lenient") = false, nb::arg("threads") = nb::none(),
          nb::sig("def decode_stored(path: str | os.PathLike[str], frame: int = 0, *, lenient: bool = False, "
                  "threads: int | None = None) -> tuple[numpy.typing.NDArray, dict[str, object]]"),
          "The stored values exactly: sign-extended, palette indices kept, colour in its stored space.");
    m.def("decode_stored_bytes", [](const nb::bytes& data, long frame, bool lenient, std::optional<long> threads) {
              return decode_buffer(data, frame, false, flags_of(lenient, kStrictStored), threads);
          },
          nb::arg("data"), nb::arg("frame") = 0, nb::kw_only(), nb::arg("lenient") = false, nb::arg("threads") = nb::none(),
          nb::sig("def decode_stored_bytes(data: bytes, frame: int = 0, *, lenient: bool = False, "
                  "threads: int | None = None) -> tuple[numpy.typing.NDArray, dict[str, object]]"),
          "decode_stored() over a buffer.");
    m.def("transcode", &transcode, nb::arg("data"), nb::arg("target_ts"), nb::arg("quality") = 97,
          "Re-encode a Part-10 buffer into target_ts (explicit VR little endian, RLE, JPEG .50/.51/.57/.70, "
          "JPEG-LS .80/.81, JPEG 2000 .90/.91, JPEG XL .110/.112, HTJ2K .201/.203). Lossless targets ignore "
          "quality; .81 and .112 are lossless at 100 and above. The default 97 keeps 8-bit images above "
          "40 dB PSNR on every lossy target; 0 means the engine's 85. Lossy output gets a new, deterministic "
          "SOP Instance UID and the Lossy Image Compression attributes.");
    m.def("n_frames", [](const Path& path, std::optional<long> threads) {
              const std::size_t workers = thread_count(threads);
              return without_gil([&] { return frame_count(read_path(path).span(), path, workers); });
          },
          nb::arg("path"), nb::kw_only(), nb::arg("threads") = nb::none(),
          "The number of frames that can be decoded (0 when none can be formed).");
    m.def(
        "render_overlay",
        [](const Source& source, long frame, const std::optional<std::array<double, 2>>& window, const std::string& voi,
           bool overlays, const std::optional<Source>& presentation_state) {
            DisplayOptions o;
            if (frame < 1) throw nb::value_error("render_overlay: frame counts from 1");
            o.frame = std::size_t(frame);
            o.window = window;
            require_choice(voi, {"auto", "window", "lut", "minmax"}, "render_overlay: voi");
            o.voi = voi == "window" ? VoiChoice::kWindow
                  : voi == "lut"    ? VoiChoice::kLut
                  : voi == "minmax" ? VoiChoice::kMinMax
                                    : VoiChoice::kAuto;
            o.overlays = overlays;
            loamwerk::OwnedBuffer file, state_file;
            const auto bytes = source_bytes(source, file);
            const std::string label = source_name(source);
            std::optional<loamwerk::pr::PresentationState> state;
            if (presentation_state) o.state_bytes = source_bytes(*presentation_state, state_file);
            DisplayImage image = without_gil([&] {
                if (presentation_state) {
                    state = loamwerk::pr::read_state(o.state_bytes);
                    o.state = &*state;
                }
                return render_display(bytes, label, o);
            });
            std::vector<std::size_t> shape{image.rows, image.columns};
            if (image.samples == 3) shape.push_back(3);
            return to_array(std::move(image.pixels), shape, nb::dtype<std::uint8_t>());
        },
        nb::arg("source"), nb::arg("frame") = 1, nb::arg("window") = nb::none(), nb::arg("voi") = "auto",
        nb::arg("overlays") = true, nb::arg("presentation_state") = nb::none(),
        nb::sig("def render_overlay(source: str | os.PathLike[str] | bytes, frame: int = 1, "
                "window: tuple[float, float] | None = None, voi: str = 'auto', overlays: bool = True, "
                "presentation_state: str | os.PathLike[str] | bytes | None = None) -> numpy.typing.NDArray[numpy.uint8]"),
        "One frame as an 8-bit display image (rows, columns) or (rows, columns, 3), with the overlay planes "
        "burned in, optionally through a presentation state.");
    m.def("voi_apply", &voi_apply, nb::arg("values"), nb::arg("function") = 0, nb::arg("lut_bytes") = nb::none(),
          nb::arg("lut_first") = 0, nb::arg("lut_depth") = 16, nb::arg("window_center") = 0.0f,
          nb::arg("window_width") = 1.0f,
          nb::sig("def voi_apply(values: numpy.typing.NDArray[numpy.float32], function: int = 0, "
                  "lut_bytes: bytes | None = None, lut_first: int = 0, lut_depth: int = 16, "
                  "window_center: float = 0.0, window_width: float = 1.0) -> numpy.typing.NDArray[numpy.float32]"),
          "The VOI transform to [0, 1]: a VOI LUT when lut_bytes is given, else the window with function "
          "0 LINEAR, 1 LINEAR_EXACT or 2 SIGMOID.");
    m.def("apply_palette_indices", &apply_palette, nb::arg("dataset"), nb::arg("indices"), nb::arg("bits_allocated"),
          nb::arg("is_signed") = false,
          nb::sig("def apply_palette_indices(dataset: bytes, indices: numpy.typing.NDArray, bits_allocated: int, "
                  "is_signed: bool = False) -> numpy.typing.NDArray"),
          "Expand palette indices through the dataset's Palette Color LUT: shape + (3,), uint8, or uint16 "
          "for 16-bit palette entries.");
}

}  // namespace loam::bind
