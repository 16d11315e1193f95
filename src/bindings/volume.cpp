// Series assembly and the volume file formats.
#include <cmath>
#include <stdexcept>

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "volume/formats.hpp"
#include "volume/series_file.hpp"
#include "volume/grid.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk::volume;
using AnyArray = nb::ndarray<nb::c_contig, nb::device::cpu>;

nb::list doubles(const double* v, std::size_t n) {
    nb::list out;
    for (std::size_t i = 0; i < n; ++i) out.append(v[i]);
    return out;
}

template <class Vec>
nb::list vec3_list(const Vec& rows) {
    nb::list out;
    for (const auto& r : rows) out.append(doubles(r.data(), 3));
    return out;
}

// What grouping did, and how stored integers map to the values (for writers that keep integers).
void grouping_meta(nb::dict& meta, const std::string& grouping, std::size_t duplicates, std::size_t missing,
                   const Rescale& rescale, const std::vector<std::string>& undecoded) {
    meta["grouping"] = grouping.empty() ? nb::none() : nb::object(str_of(grouping));
    meta["duplicates"] = duplicates;
    meta["missing_slices"] = missing;
    if (rescale.uniform) {
        nb::dict stored;
        stored["dtype"] = rescale.stored_bytes == 1 ? (rescale.is_signed ? "int8" : "uint8")
                                                    : (rescale.is_signed ? "int16" : "uint16");
        stored["slope"] = double(rescale.slope);
        stored["intercept"] = double(rescale.intercept);
        meta["stored"] = stored;
    } else {
        meta["stored"] = nb::none();
    }
    meta["philips_scale_slope"] = std::isfinite(rescale.philips_scale) ? nb::object(nb::float_(rescale.philips_scale))
                                                                         : nb::none();
    meta["undecoded"] = utf8_list(undecoded);
}

nb::tuple assemble_volume(const std::vector<Path>& paths) {
    AssembledVolume v = without_gil([&] { return assemble(strings(paths), true); });
    nb::dict meta;
    meta["depth"] = v.depth;
    meta["rows"] = v.rows;
    meta["columns"] = v.columns;
    meta["dtype"] = "float32";
    meta["rescaled"] = true;
    meta["series_instance_uid"] = utf8_str(v.series_uid);
    meta["spacing"] = doubles(v.spacing, 3);
    meta["affine"] = doubles(v.affine, 16);
    nb::list shape;
    shape.append(v.depth), shape.append(v.rows), shape.append(v.columns);
    meta["numpy_shape"] = shape;
    meta["volumes_in_series"] = v.volumes_in_series;
    grouping_meta(meta, v.grouping, v.duplicates, v.missing_slices, v.rescale, v.undecoded);
    auto array = to_array(std::move(v.data), {v.depth, v.rows, v.columns}, nb::dtype<float>());
    return nb::make_tuple(array, meta);
}

nb::dict volume4d_meta(const Volume4D& v) {
    nb::dict meta;
    meta["volumes"] = v.volumes;
    meta["depth"] = v.depth;
    meta["rows"] = v.rows;
    meta["columns"] = v.columns;
    meta["series_instance_uid"] = utf8_str(v.series_uid);
    meta["spacing"] = doubles(v.spacing, 3);
    meta["affine"] = doubles(v.affine, 16);
    nb::list frames_out, dims;
    for (auto f : v.volume_frame) frames_out.append(f);
    for (const GridAxis& a : v.dimensions) {
        nb::dict d;
        d["tag"] = a.code;
        d["name"] = str_of(axis_name(a.code));
        d["spacing"] = a.step;
        nb::list values;
        for (float x : a.values) values.append(x);
        d["values"] = values;
        dims.append(d);
    }
    meta["volume_path"] = utf8_list(v.volume_path);
    meta["volume_frame"] = frames_out;
    meta["dimensions"] = dims;
    grouping_meta(meta, v.grouping, v.duplicates, v.missing_slices, v.rescale, v.undecoded);
    return meta;
}

nb::tuple assemble_4d_py(const std::vector<Path>& paths) {
    Volume4D v = without_gil([&] { return assemble_4d(strings(paths), true); });
    nb::dict meta = volume4d_meta(v);
    auto array = to_array(std::move(v.data), {v.volumes, v.depth, v.rows, v.columns}, nb::dtype<float>());
    return nb::make_tuple(array, meta);
}

nb::tuple assemble_dwi_py(const std::vector<Path>& paths, const std::string& order) {
    require_choice(order, {"gradient", "acquisition"}, "order");
    const std::vector<std::string> files = strings(paths);
    DwiVolumes v = without_gil([&] { return assemble_dwi(decode_frames(files, true, true), files, order == "acquisition"); });
    nb::dict meta;
    meta["volumes"] = v.volumes;
    meta["series_instance_uid"] = utf8_str(v.series_uid);
    meta["spacing"] = doubles(v.spacing, 3);
    meta["affine"] = doubles(v.affine, 16);
    meta["bvals"] = doubles(v.bvals.data(), v.bvals.size());
    meta["bvecs"] = vec3_list(v.bvecs);
    meta["stored_bvecs"] = vec3_list(v.stored_bvecs);
    meta["volume_path"] = utf8_list(v.volume_path);
    meta["derived_excluded"] = v.derived_excluded;
    grouping_meta(meta, v.grouping, v.duplicates, v.missing_slices, v.rescale, v.undecoded);
    auto array = to_array(std::move(v.data), {v.volumes, v.depth, v.rows, v.columns}, nb::dtype<float>());
    return nb::make_tuple(array, meta);
}

// The element-type code of an array (0 uint8, 1 uint16, 2 int16, 3 float32), or -1.
int type_code(const AnyArray& a) {
    const auto dt = a.dtype();
    if (dt == nb::dtype<std::uint8_t>()) return 0;
    if (dt == nb::dtype<std::uint16_t>()) return 1;
    if (dt == nb::dtype<std::int16_t>()) return 2;
    if (dt == nb::dtype<float>()) return 3;
    return -1;
}

struct Shape {
    std::size_t w, h, d, v;
};
Shape shape_of(const AnyArray& a) {
    if (a.ndim() == 3) return {a.shape(2), a.shape(1), a.shape(0), 1};
    return {a.shape(3), a.shape(2), a.shape(1), a.shape(0)};
}

const char* kRankError = ": array must be 3D [D,H,W] or 4D [V,D,H,W]";
const char* kTypeError = ": unsupported dtype (float32/uint8/int16/uint16)";

void check_rank_type(const AnyArray& a, const std::string& fn) {
    if (a.ndim() != 3 && a.ndim() != 4) throw std::invalid_argument(fn + kRankError);
    if (type_code(a) < 0) throw std::invalid_argument(fn + kTypeError);
}

void check_affine(const std::vector<double>& affine, const std::string& fn) {
    if (affine.size() != 16) throw std::invalid_argument(fn + ": affine must have 16 elements");
}

// The writers' and reader's status codes, with what they mean for the file at `path`.
void status(int rc, const char* what, const Path& path) {
    if (rc == file_result::kOk) return;
    const bool reading = std::string_view(what) == "dcm_nifti_read";
    std::string_view why;
    switch (rc) {
    case file_result::kIo: why = reading ? "cannot read the file" : "cannot write the file (does its folder exist?)"; break;
    case file_result::kFormat: why = "not a single-file NIfTI-1 (.nii or .nii.gz), or its voxels are cut short"; break;
    case file_result::kCompress: why = reading ? "its gzip data is damaged" : "compression failed"; break;
    case file_result::kType: why = "unsupported data type or size"; break;
    case file_result::kMemory: why = "it declares more data than the memory limit allows (raise it with loam.set_memory_limit())"; break;
    default: why = "failed"; break;
    }
    throw std::runtime_error(std::string(what) + " failed: rc=" + std::to_string(rc) + " (" + std::string(why) + "): " +
                             path);
}

void write_nifti(AnyArray array, const std::vector<float>& affine, const Path& path, double scl_slope,
                 double scl_inter, double repetition_time, bool rgb) {
    // RGB arrays carry their three samples in a last axis of their own.
    const std::size_t rank = array.ndim() - (rgb ? 1 : 0);
    if ((rank != 3 && rank != 4) || (rgb && array.shape(array.ndim() - 1) != 3))
        throw std::invalid_argument(rgb ? "write_nifti_volume: an RGB array must be [D,H,W,3] or [V,D,H,W,3]"
                                        : "write_nifti_volume: array must be 3D [D,H,W] or 4D [V,D,H,W]");
    if (affine.size() != 16) throw std::invalid_argument("write_nifti_volume: affine must have 16 elements");
    int type = type_code(array);
    if (rgb && type != 0) throw std::invalid_argument("write_nifti_volume: an RGB array must be uint8");
    if (type < 0) throw std::invalid_argument("write_nifti_volume: unsupported dtype (float32/uint8/int16/uint16)");
    if (rgb) type = kRgb24;
    const Shape s = rank == 3 ? Shape{array.shape(2), array.shape(1), array.shape(0), 1}
                              : Shape{array.shape(3), array.shape(2), array.shape(1), array.shape(0)};
    const int rc = without_gil([&] {
        return dcm_nifti_write_nd(path, array.data(), s.w, s.h, s.d, s.v, affine.data(), type, float(scl_slope),
                                  float(scl_inter), repetition_time);
    });
    status(rc, "dcm_nifti_write_nd", path);
}

// One series assembled and written to a volume file, the arrays staying in the engine.
nb::object write_series(const std::vector<Path>& paths, const Path& path, const std::string& kind,
                        std::size_t min_volumes) {
    const SeriesKind k = kind == "diffusion" ? SeriesKind::kDiffusion : kind == "colour" ? SeriesKind::kColour
                                                                                          : SeriesKind::kVolumes;
    if (kind != "volumes" && kind != "diffusion" && kind != "colour")
        throw std::invalid_argument("_write_series: kind must be volumes, diffusion or colour");
    const auto written = without_gil([&] { return write_series_file(strings(paths), path, k, min_volumes); });
    if (!written) return nb::none();
    const SeriesFile& f = *written;
    static constexpr const char* kTypes[] = {"uint8", "uint16", "int16", "float32", "rgb24"};
    nb::dict out;
    out["volumes"] = f.volumes;
    nb::list shape;  // the file's axes: columns, rows, slices (, volumes)
    shape.append(f.columns), shape.append(f.rows), shape.append(f.depth);
    if (f.volumes > 1) shape.append(f.volumes);
    out["shape"] = shape;
    out["dtype"] = kTypes[f.dtype];
    out["scl_slope"] = f.scl_slope;
    out["scl_inter"] = f.scl_inter;
    out["philips_float"] = f.philips_float;
    out["affine"] = doubles(f.affine, 16);
    out["grouping"] = f.grouping.empty() ? nb::none() : nb::object(str_of(f.grouping));
    nb::list axes;
    for (const auto& a : f.axes) axes.append(str_of(a));
    out["axes"] = axes;
    out["duplicates"] = f.duplicates;
    out["missing_slices"] = f.missing_slices;
    out["derived_excluded"] = f.derived_excluded;
    out["undecoded"] = utf8_list(f.undecoded);
    out["bvals"] = doubles(f.bvals.data(), f.bvals.size());
    out["bvecs"] = vec3_list(f.bvecs);
    out["sidecar"] = sidecar_dict(f.sidecar);
    return out;
}

void write_nrrd(AnyArray array, const std::vector<double>& affine, const Path& path, bool gzip) {
    check_affine(affine, "write_nrrd_volume");
    check_rank_type(array, "write_nrrd_volume");
    const Shape s = shape_of(array);
    const int rc = without_gil([&] {
        return dcm_nrrd_write_nd(path, array.data(), s.w, s.h, s.d, s.v, affine.data(), type_code(array), gzip);
    });
    status(rc, "dcm_nrrd_write_nd", path);
}

void write_metaimage(AnyArray array, const std::vector<double>& affine, const Path& path, bool compress) {
    check_affine(affine, "write_metaimage_volume");
    check_rank_type(array, "write_metaimage_volume");
    const Shape s = shape_of(array);
    const int rc = without_gil([&] {
        return dcm_metaimage_write_nd(path, array.data(), s.w, s.h, s.d, s.v, affine.data(), type_code(array),
                                      compress);
    });
    status(rc, "dcm_metaimage_write_nd", path);
}

nb::dlpack::dtype nifti_dtype(std::int16_t datatype) {
    switch (datatype) {
    case 2: return nb::dtype<std::uint8_t>();
    case 4: return nb::dtype<std::int16_t>();
    case 8: return nb::dtype<std::int32_t>();
    case 16: return nb::dtype<float>();
    case 256: return nb::dtype<std::int8_t>();
    case 512: return nb::dtype<std::uint16_t>();
    default: return nb::dtype<std::uint32_t>();
    }
}

nb::tuple read_nifti(const Path& path) {
    check_opens(path);
    NiftiVolume v;
    const int rc = without_gil([&] { return dcm_nifti_read(path, v); });
    if (rc == -4) throw std::runtime_error("read_nifti: unsupported datatype");
    status(rc, "dcm_nifti_read", path);
    nb::dict meta;
    meta["affine"] = doubles(v.affine, 16);
    meta["spacing"] = doubles(v.spacing, 3);
    meta["time_points"] = v.t;
    meta["scl_slope"] = v.scl_slope;
    meta["scl_inter"] = v.scl_inter;
    std::vector<std::size_t> shape = v.t < 2 ? std::vector<std::size_t>{v.d, v.h, v.w}
                                             : std::vector<std::size_t>{v.t, v.d, v.h, v.w};
    auto array = to_array(std::move(v.data), shape, nifti_dtype(v.datatype));
    return nb::make_tuple(array, meta);
}

nb::list series_keys(const std::vector<Path>& paths) {
    std::vector<FileSeriesKey> keys = without_gil([&] {
        std::vector<FileSeriesKey> out;
        out.reserve(paths.size());
        for (const auto& p : paths) out.push_back(read_series_key(p));
        return out;
    });
    nb::list out;
    for (const FileSeriesKey& k : keys) {
        nb::dict d;
        d["image"] = k.image;
        d["series_uid"] = utf8_str(k.series_uid);
        d["series_number"] = utf8_str(k.series_number);
        d["description"] = utf8_str(k.description);
        d["protocol"] = utf8_str(k.protocol);
        d["modality"] = utf8_str(k.modality);
        d["position"] = utf8_str(k.position);
        d["manufacturer"] = utf8_str(k.manufacturer);
        d["sequence_name"] = utf8_str(k.sequence_name);
        d["image_type"] = utf8_str(k.image_type);
        d["acquisition_number"] = utf8_str(k.acquisition_number);
        d["frames"] = k.frames;
        d["diffusion"] = k.diffusion;
        d["colour"] = k.colour;
        d["echo_number"] = std::isnan(k.echo_number) ? nb::none() : nb::object(nb::int_(std::lround(k.echo_number)));
        d["complex_part"] = str_of(loamwerk::diffusion::complex_part_name(k.complex_part));
        out.append(d);
    }
    return out;
}

}  // namespace

void register_volume(nb::module_& m) {
    m.def("_series_keys", &series_keys, nb::arg("paths"),
          nb::sig("def _series_keys(paths: Sequence[str | os.PathLike[str]]) -> list[dict[str, Any]]"),
          "Per file: image (has pixel data), series_uid, series_number, description, protocol, modality,\n"
          "position (Image Position text), manufacturer, sequence_name, image_type, acquisition_number,\n"
          "frames, diffusion (a b-value above 0), colour, echo_number and complex_part. For the converter.");
    m.def("assemble_volume", &assemble_volume, nb::arg("paths"),
          nb::sig("def assemble_volume(paths: Sequence[str | os.PathLike[str]]) -> tuple[numpy.typing.NDArray[numpy.float32], dict]"),
          "A series' volume: float32 (depth, rows, columns) in modality units, with spacing [z, y, x] and the\n"
          "column-major voxel-to-patient affine in patient LPS (nibabel's RAS flips the first two rows).\n"
          "Several series: the one with most decodable frames; several orientations: the orientation group\n"
          "with most decodable frames; several phases, echoes, acquisitions and the like: the first volume\n"
          "(meta['volumes_in_series'] says how many there are). meta['grouping'] names what told frames at\n"
          "one position apart when no named axis did; meta['stored'] gives the stored-integer map when all\n"
          "frames share one.");
    m.def("assemble_4d", &assemble_4d_py, nb::arg("paths"),
          nb::sig("def assemble_4d(paths: Sequence[str | os.PathLike[str]]) -> tuple[numpy.typing.NDArray[numpy.float32], dict]"),
          "One series as float32 (volumes, depth, rows, columns): volumes enumerate the non-spatial axes\n"
          "(time, b-value, echo, cardiac phase, ...) that hold frames, the last listed varying fastest;\n"
          "meta['dimensions'] describes them. Frames at one position that no named axis tells apart are told\n"
          "apart by what their files say (Temporal Position Index, Acquisition Number, Stack ID, diffusion\n"
          "encoding, echo, image type, else acquisition time and Instance Number: the 'acquisition' axis,\n"
          "in acquisition order), as dcm2niix does; frames that nothing tells apart raise an error naming\n"
          "their files. The affine is in patient LPS.");
    m.def("assemble_dwi", &assemble_dwi_py, nb::arg("paths"), nb::arg("order") = "gradient",
          nb::sig("def assemble_dwi(paths: Sequence[str | os.PathLike[str]], order: str = 'gradient') -> "
                  "tuple[numpy.typing.NDArray[numpy.float32], dict]"),
          "Diffusion-weighted volumes (b-value and gradient from the standard attributes or the Siemens, GE,\n"
          "Philips or United Imaging private ones): gradient order (b = 0 first) or, with\n"
          "order='acquisition', by Instance Number; repeated encodings stay separate volumes and the\n"
          "scanner's derived isotropic (trace) volumes are left out (meta['derived_excluded']). meta has\n"
          "bvals, bvecs (unit vectors on the voxel axes) and stored_bvecs (as the files state them).");
    m.def("write_nifti_volume", &write_nifti, nb::arg("array"), nb::arg("affine"), nb::arg("path"),
          nb::arg("scl_slope") = 1.0, nb::arg("scl_inter") = 0.0, nb::arg("repetition_time") = 0.0,
          nb::arg("rgb") = false,
          nb::sig("def write_nifti_volume(array: numpy.typing.NDArray, affine: list[float], path: str | os.PathLike[str], "
                  "scl_slope: float = 1.0, scl_inter: float = 0.0, repetition_time: float = 0.0, rgb: bool = False) "
                  "-> None"),
          "Writes a NIfTI-1 file (gzip-compressed when path ends with .gz) from a (D, H, W) or (V, D, H, W)\n"
          "uint8/uint16/int16/float32 array and an affine in our LPS convention (stored as RAS, as nibabel\n"
          "reads it). scl_slope/scl_inter: the map from stored to real values; repetition_time (s): pixdim[4]\n"
          "with seconds as the time unit; rgb: a uint8 (..., 3) array written as RGB24.");
    m.def("_write_series", &write_series, nb::arg("paths"), nb::arg("path"), nb::arg("kind") = "volumes",
          nb::arg("min_volumes") = 1,
          nb::sig("def _write_series(paths: Sequence[str | os.PathLike[str]], path: str | os.PathLike[str], "
                  "kind: str = 'volumes', min_volumes: int = 1) -> dict[str, Any] | None"),
          "One series assembled (kind: volumes, diffusion in acquisition order, or colour) and written to\n"
          "path (.nii/.nii.gz/.nrrd/.mha): stored integers with scl_slope/scl_inter where all frames share\n"
          "one linear map, Philips' floating-point scaling. None, writing nothing, below min_volumes.\n"
          "The NIfTI header carries the sidecar's repetition time. Returns what was written: volumes, shape\n"
          "(file axes), dtype, scaling, affine, grouping, duplicates, missing_slices, derived_excluded,\n"
          "bvals, bvecs (voxel axes) and the series' BIDS sidecar.");
    m.def("read_nifti", &read_nifti, nb::arg("path"),
          nb::sig("def read_nifti(path: str | os.PathLike[str]) -> tuple[numpy.typing.NDArray, dict]"),
          "Reads a single-file NIfTI-1 (.nii or .nii.gz): the voxels in the file's type, shaped (D, H, W) or\n"
          "(T, D, H, W), and meta with the LPS affine, spacing [z, y, x], time_points, scl_slope, scl_inter.");
    m.def("write_nrrd_volume", &write_nrrd, nb::arg("array"), nb::arg("affine"), nb::arg("path"),
          nb::arg("gzip") = false,
          nb::sig("def write_nrrd_volume(array: numpy.typing.NDArray, affine: list[float], path: str | os.PathLike[str], "
                  "gzip: bool = False) -> None"),
          "Writes an NRRD file with an attached header (LPS space).");
    m.def("write_metaimage_volume", &write_metaimage, nb::arg("array"), nb::arg("affine"), nb::arg("path"),
          nb::arg("compress") = false,
          nb::sig("def write_metaimage_volume(array: numpy.typing.NDArray, affine: list[float], path: str | os.PathLike[str], "
                  "compress: bool = False) -> None"),
          "Writes a MetaImage (.mha) file with the data in the same file.");
}

}  // namespace loam::bind
