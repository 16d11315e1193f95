// Segmentation authoring and reconstruction.
#include <stdexcept>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "seg/read.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk::seg;

using U16Array = nb::ndarray<const std::uint16_t, nb::c_contig, nb::device::cpu>;
using U8Array = nb::ndarray<const std::uint8_t, nb::c_contig, nb::device::cpu>;

struct Segments {
    std::vector<SegSegment> segments;
    std::vector<std::uint32_t> label_ids;
};

// A segment's text field; numbers and other values are taken as their str().
std::string text(const nb::dict& d, const char* key, std::string fallback) {
    if (!d.contains(key) || d[key].is_none()) return fallback;
    return as_text(d[key]);
}

// A (value, scheme, meaning) tuple; shorter ones are ignored.
void code(const nb::dict& d, const char* key, Code& out) {
    if (!d.contains(key) || d[key].is_none()) return;
    const nb::sequence seq = option_value<nb::sequence>(d[key], std::string("segment '") + key + "'");
    if (nb::len(seq) < 3) return;
    out = {as_text(seq[0]), as_text(seq[1]), as_text(seq[2])};
}

Segments segments_of(const nb::list& list) {
    if (nb::len(list) == 0) throw std::invalid_argument("segments list is empty");
    Segments out;
    for (nb::handle h : list) {
        if (!nb::isinstance<nb::dict>(h)) throw nb::type_error("each segment must be a dict");
        const nb::dict d = nb::borrow<nb::dict>(h);
        refuse_unknown_keys(d, {"label", "rgb", "category", "type", "anatomic", "algorithm_type", "algorithm_name",
                                "labelID"}, "segment");
        SegSegment s;
        s.label = text(d, "label", "");
        if (d.contains("rgb") && !d["rgb"].is_none()) {
            const nb::sequence rgb = option_value<nb::sequence>(d["rgb"], "segment 'rgb'");
            if (nb::len(rgb) != 3) throw std::invalid_argument("segment rgb must have three values");
            for (int i = 0; i < 3; ++i) {
                const long v = option_value<long>(rgb[i], "segment 'rgb' values");
                if (v < 0 || v > 255) throw std::invalid_argument("segment rgb values must be 0-255");
                s.rgb[i] = std::uint8_t(v);
            }
        }
        code(d, "category", s.category);
        code(d, "type", s.type);
        code(d, "anatomic", s.anatomic);
        s.algorithm_type = text(d, "algorithm_type", "MANUAL");
        s.algorithm_name = text(d, "algorithm_name", "Tessera");
        long id = long(out.segments.size() + 1);
        if (d.contains("labelID") && !d["labelID"].is_none()) id = option_value<long>(d["labelID"], "segment 'labelID'");
        if (id < 0 || id > 65535) throw std::invalid_argument("segment labelID must be 0-65535");
        out.label_ids.push_back(std::uint32_t(id));
        out.segments.push_back(std::move(s));
    }
    return out;
}

BuildOptions options_of(const std::string& sop, const std::string& series, const std::string& dim,
                        const std::string& date, const std::string& time, const std::optional<nb::dict>& identity) {
    BuildOptions options{sop, series, dim, date, time};
    read_identity(identity, options.identity, true, "write_seg");
    return options;
}

// The slice count of an array whose planes are its last two dimensions: 1 at rank `rank_2d`, the
// third-last dimension at rank_2d + 1; 0 for other ranks or planes of another size.
std::size_t slices_of(std::size_t ndim, const std::int64_t* shape, std::size_t rank_2d, std::size_t rows,
                      std::size_t columns) {
    if (ndim != rank_2d && ndim != rank_2d + 1) return 0;
    if (std::size_t(shape[ndim - 2]) != rows || std::size_t(shape[ndim - 1]) != columns) return 0;
    return ndim == rank_2d ? 1 : std::size_t(shape[ndim - 3]);
}

nb::object finish(std::optional<std::vector<std::uint8_t>> bytes, const char* empty, const Path& output) {
    if (!bytes) throw std::runtime_error(empty);
    return bytes_or_file(*bytes, output);
}

// The three array writers: segments, then the reference series, then the array's shape (checked
// by `shape_ok` against the series), then the build on the engine without the interpreter lock.
template <class Build>
nb::object write_from_array(const std::vector<Path>& reference_paths, const nb::list& segment_list,
                            const char* shape_message, const char* empty_message, const Path& output,
                            std::size_t ndim, const std::int64_t* shape, std::size_t rank_2d, bool per_segment,
                            Build build) {
    const Segments segs = segments_of(segment_list);
    const ReferenceSeries ref = without_gil([&] { return load_reference(strings(reference_paths), true); });
    if (ref.slices.empty()) throw std::invalid_argument("no decodable single-frame reference slices");
    if (slices_of(ndim, shape, rank_2d, ref.rows(), ref.columns()) != ref.slices.size() ||
        (per_segment && std::size_t(shape[0]) != segs.segments.size()))
        throw std::invalid_argument(shape_message);
    auto bytes = without_gil([&] { return build(ref, segs); });
    return finish(std::move(bytes), empty_message, output);
}

nb::dict code_dict(const Code& c) {
    nb::dict d;
    d["value"] = utf8_str(c.value), d["scheme"] = utf8_str(c.scheme), d["meaning"] = utf8_str(c.meaning);
    return d;
}

nb::dict meta_of(const SegDecoded& s, bool masks) {
    nb::dict m;
    static const char* kTypes[] = {"BINARY", "FRACTIONAL", "LABELMAP"};
    m["segmentation_type"] = kTypes[int(s.type)];
    nb::list segments;
    for (const SegmentInfo& info : s.segments) {
        nb::dict d;
        d["number"] = info.number;
        d["label"] = utf8_str(info.label);
        d["category"] = code_dict(info.category);
        d["type"] = code_dict(info.type);
        d["anatomic"] = code_dict(info.anatomic);
        d["rgb"] = nb::make_tuple(int(info.rgb[0]), int(info.rgb[1]), int(info.rgb[2]));
        if (info.has_tracking_id) d["tracking_id"] = utf8_str(info.tracking_id);
        if (info.has_tracking_uid) d["tracking_uid"] = utf8_str(info.tracking_uid);
        segments.append(d);
    }
    m["segments"] = segments;
    const SegGeometry& g = s.geometry;
    m["image_orientation_patient"] = std::vector<double>(g.orientation, g.orientation + 6);
    m["pixel_spacing"] = std::vector<double>(g.pixel_spacing, g.pixel_spacing + 2);
    m["slice_thickness"] = g.slice_thickness;
    nb::list origins;
    for (const auto& o : g.origins) origins.append(std::vector<double>(o.begin(), o.end()));
    m["slice_origins"] = origins;
    m["affine"] = std::vector<double>(g.affine, g.affine + 16);
    m["slices"] = g.slices, m["rows"] = g.rows, m["columns"] = g.columns;
    m["series_instance_uid"] = utf8_str(s.series_uid);
    m["study_instance_uid"] = utf8_str(s.study_uid);
    m["frame_of_reference_uid"] = utf8_str(s.frame_of_reference_uid);
    if (masks) {
        std::vector<std::uint32_t> numbers;
        for (const SegmentInfo& info : s.segments) numbers.push_back(info.number);
        m["segment_numbers"] = numbers;
    } else {
        m["overlapping"] = s.overlapping;
    }
    return m;
}

nb::object read_seg(const Path& path, bool masks) {
    check_opens(path);
    SegDecoded decoded;
    const DecodeStatus st = without_gil([&] {
        loamwerk::OwnedBuffer file;
        try {
            file = read_path(path);
        } catch (const std::exception&) {
            return DecodeStatus::kNotDicom;
        }
        try {
            return dcm_seg_decode(file.span(), masks, decoded);
        } catch (const std::bad_alloc&) {  // a grid no memory holds: only a damaged header asks for it
            return DecodeStatus::kFailed;
        }
    });
    if (st == DecodeStatus::kNotDicom) throw std::runtime_error("decode failed (not a decodable DICOM): " + path);
    if (st == DecodeStatus::kNoSegments) return nb::none();
    if (st == DecodeStatus::kFailed)
        throw std::runtime_error((masks ? "SEG mask decode failed: " : "SEG decode failed: ") + path);
    const SegGeometry& g = decoded.geometry;
    nb::dict meta = meta_of(decoded, masks);
    if (masks)
        return nb::make_tuple(to_array(std::move(decoded.occupancy),
                                       {decoded.segments.size(), g.slices, g.rows, g.columns}, nb::dtype<float>()),
                              meta);
    return nb::make_tuple(to_array(std::move(decoded.labelmap), {g.slices, g.rows, g.columns},
                                   nb::dtype<std::uint16_t>()),
                          meta);
}

}  // namespace

void register_seg(nb::module_& m) {
    m.def(
        "write_seg",
        [](const std::vector<Path>& reference_paths, U16Array labelmap, const nb::list& segment_list,
           const Path& output, const std::string& sop, const std::string& series, const std::string& dim,
           const std::string& date, const std::string& time, const std::optional<nb::dict>& identity) {
            const BuildOptions options = options_of(sop, series, dim, date, time, identity);
            return write_from_array(
                reference_paths, segment_list, "labelmap shape does not match the reference series",
                "labelmap had no voxels matching any segment labelID", output, labelmap.ndim(), labelmap.shape_ptr(), 2,
                false, [&](const ReferenceSeries& ref, const Segments& segs) {
                    return build(ref, {labelmap.data(), labelmap.size()}, segs.segments, segs.label_ids, options);
                });
        },
        nb::arg("reference_paths"), nb::arg("labelmap"), nb::arg("segments"), nb::arg("output") = "",
        nb::arg("sop_instance_uid") = "", nb::arg("series_instance_uid") = "",
        nb::arg("dimension_organization_uid") = "", nb::arg("content_date") = "", nb::arg("content_time") = "",
        nb::arg("identity") = nb::none(),
        nb::sig("def write_seg(reference_paths: Sequence[str | os.PathLike[str]], labelmap: numpy.typing.NDArray, segments: list[dict], "
                "output: str | os.PathLike[str] = '', sop_instance_uid: str = '', series_instance_uid: str = '', "
                "dimension_organization_uid: str = '', content_date: str = '', content_time: str = '', "
                "identity: dict[str, str | int] | None = None) -> bytes | None"),
        "A binary Segmentation from a uint16 label map of shape (rows, columns) or (slices, rows, columns)\n"
        "over the reference series (slice k = the k-th reference slice along the normal). segments: dicts\n"
        "with label, rgb, category / type / anatomic (value, scheme, meaning), algorithm_type,\n"
        "algorithm_name, labelID. UIDs not given are derived from the content. identity replaces the\n"
        "defaults of manufacturer, manufacturer_model_name, software_versions, device_serial_number,\n"
        "series_number, series_description and content_creator. Returns the Part-10 bytes, or writes them\n"
        "to output and returns None.");
    m.def(
        "write_seg_fractional",
        [](const std::vector<Path>& reference_paths, U8Array maps, const nb::list& segment_list,
           int fractional_type, int max_value, const Path& output, const std::string& sop,
           const std::string& series, const std::string& dim, const std::string& date, const std::string& time,
           const std::optional<nb::dict>& identity) {
            if (max_value < 0 || max_value > 255) throw std::invalid_argument("max_value must be 0-255");
            const BuildOptions options = options_of(sop, series, dim, date, time, identity);
            return write_from_array(
                reference_paths, segment_list,
                "maps shape must be [nseg, (slices,) H, W] matching segments × series", "no non-empty fractional frames",
                output, maps.ndim(), maps.shape_ptr(), 3, true, [&](const ReferenceSeries& ref, const Segments& segs) {
                    return build_fractional(ref, {maps.data(), maps.size()}, segs.segments, fractional_type != 0,
                                            std::uint32_t(max_value), options);
                });
        },
        nb::arg("reference_paths"), nb::arg("maps"), nb::arg("segments"), nb::arg("fractional_type") = 0,
        nb::arg("max_value") = 255, nb::arg("output") = "", nb::arg("sop_instance_uid") = "",
        nb::arg("series_instance_uid") = "", nb::arg("dimension_organization_uid") = "",
        nb::arg("content_date") = "", nb::arg("content_time") = "", nb::arg("identity") = nb::none(),
        nb::sig("def write_seg_fractional(reference_paths: Sequence[str | os.PathLike[str]], maps: numpy.typing.NDArray, "
                "segments: list[dict], fractional_type: int = 0, max_value: int = 255, output: str | os.PathLike[str] = '', "
                "sop_instance_uid: str = '', series_instance_uid: str = '', dimension_organization_uid: str = '', "
                "content_date: str = '', content_time: str = '', identity: dict[str, str | int] | None = None) "
                "-> bytes | None"),
        "A fractional Segmentation from uint8 maps of shape (segments, rows, columns) or (segments, slices,\n"
        "rows, columns); fractional_type non-zero = OCCUPANCY, else PROBABILITY; max_value 0 means 255.");
    m.def(
        "write_seg_overlapping",
        [](const std::vector<Path>& reference_paths, U8Array masks, const nb::list& segment_list,
           const Path& output, const std::string& sop, const std::string& series, const std::string& dim,
           const std::string& date, const std::string& time, const std::optional<nb::dict>& identity) {
            const BuildOptions options = options_of(sop, series, dim, date, time, identity);
            return write_from_array(
                reference_paths, segment_list,
                "masks shape must be [nseg, (slices,) H, W] matching segments × series", "no non-empty segment frames",
                output, masks.ndim(), masks.shape_ptr(), 3, true, [&](const ReferenceSeries& ref, const Segments& segs) {
                    return build_frames(ref, {masks.data(), masks.size()}, segs.segments, options);
                });
        },
        nb::arg("reference_paths"), nb::arg("masks"), nb::arg("segments"), nb::arg("output") = "",
        nb::arg("sop_instance_uid") = "", nb::arg("series_instance_uid") = "",
        nb::arg("dimension_organization_uid") = "", nb::arg("content_date") = "", nb::arg("content_time") = "",
        nb::arg("identity") = nb::none(),
        nb::sig("def write_seg_overlapping(reference_paths: Sequence[str | os.PathLike[str]], masks: numpy.typing.NDArray, "
                "segments: list[dict], output: str | os.PathLike[str] = '', sop_instance_uid: str = '', series_instance_uid: str = '', "
                "dimension_organization_uid: str = '', content_date: str = '', content_time: str = '', "
                "identity: dict[str, str | int] | None = None) -> bytes | None"),
        "A binary Segmentation from one uint8 0/1 mask per segment, shaped (segments, rows, columns) or\n"
        "(segments, slices, rows, columns); masks may overlap.");
    m.def(
        "build_seg_from_nifti",
        [](const std::vector<Path>& ref_paths, const Path& mask_nii, const nb::list& segment_list) {
            // An empty list is the engine's to refuse, after the reference series.
            const Segments segs = nb::len(segment_list) ? segments_of(segment_list) : Segments{};
            const std::vector<std::uint8_t> bytes = without_gil([&] {
                const ReferenceSeries ref = load_reference(strings(ref_paths), false);
                return build_from_nifti(ref, mask_nii, segs.segments, segs.label_ids);
            });
            return to_bytes(bytes);
        },
        nb::arg("ref_paths"), nb::arg("mask_nii"), nb::arg("segments"),
        nb::sig("def build_seg_from_nifti(ref_paths: Sequence[str | os.PathLike[str]], mask_nii: str | os.PathLike[str], segments: list[dict]) -> bytes"),
        "A binary Segmentation from a NIfTI-1 label volume co-framed with the reference series (its\n"
        "slice axis may run either way along the series normal).");
    m.def("read_seg", &read_seg, nb::arg("path"), nb::arg("masks") = false,
          nb::sig("def read_seg(path: str | os.PathLike[str], masks: bool = False) -> tuple[numpy.typing.NDArray, dict] | None"),
          "Reads a Segmentation onto the slice grid its functional groups describe: (label map uint16\n"
          "(slices, rows, columns), meta), or with masks=True (occupancy float32 (segments, slices, rows,\n"
          "columns), meta). None for a DICOM object without segments.");
}

}  // namespace loam::bind
