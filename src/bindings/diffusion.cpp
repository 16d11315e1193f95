// Diffusion and vendor headers: mosaics, Siemens CSA diffusion values, every vendor's diffusion
// encoding per frame, b = 0 classification and BIDS sidecars.
#include <cmath>
#include <variant>

#include <nanobind/stl/array.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "core/values.hpp"
#include "diffusion/b0.hpp"
#include "diffusion/mosaic.hpp"
#include "diffusion/vendor.hpp"
#include "volume/sidecar.hpp"
#include "volume/grid.hpp"

namespace loam::bind {

namespace {

using namespace loamwerk;


nb::list floats(const double* v, std::size_t n) {
    nb::list out;
    for (std::size_t i = 0; i < n; ++i) out.append(v[i] + 0.0);  // no negative zeros
    return out;
}

std::string_view frame_name(diffusion::DiffusionEntry::Frame f) {
    switch (f) {
    case diffusion::DiffusionEntry::Frame::kLogical: return "logical";
    case diffusion::DiffusionEntry::Frame::kVoxel: return "voxel";
    default: return "patient";
    }
}

nb::tuple mosaic_expand(const Source& source) {
    OwnedBuffer file;
    const std::span<const std::uint8_t> bytes = source_bytes(source, file);
    diffusion::ExpandedMosaic m = without_gil([&] { return diffusion::expand_mosaic(bytes); });
    if (m.layout.tiles < 2) throw std::invalid_argument("mosaic_expand: not a mosaic (no Siemens MOSAIC or United "
                                                        "Imaging VFRAME image with two or more tiles)");
    nb::dict meta;
    meta["tiles"] = m.layout.tiles;
    meta["grid"] = m.layout.grid;
    nb::list positions;
    for (const auto& p : m.layout.positions) positions.append(floats(p.data(), 3));
    meta["positions"] = positions;
    meta["orientation"] = floats(m.orientation.data(), 6);
    meta["pixel_spacing"] = floats(m.pixel_spacing.data(), 2);
    meta["slice_spacing"] = m.layout.slice_spacing;
    meta["slice_times"] = m.layout.slice_times.empty() ? nb::none()
                                                       : nb::object(floats(m.layout.slice_times.data(),
                                                                           m.layout.slice_times.size()));
    const std::size_t n = m.layout.tiles, rows = m.layout.tile_rows, cols = m.layout.tile_columns;
    auto array = to_array(std::move(m.tiles), {n, rows, cols}, nb::dtype<float>());
    return nb::make_tuple(array, meta);
}

nb::object siemens_diffusion(const Source& source) {
    OwnedBuffer file;
    const auto values = diffusion::siemens_csa_values(source_bytes(source, file));
    if (!values) return nb::none();
    const diffusion::SiemensCsaValues& v = *values;
    auto number = [](const std::optional<double>& x) { return x ? nb::object(nb::float_(*x)) : nb::none(); };
    auto vector = [](const std::vector<double>& x) { return x.empty() ? nb::none() : nb::object(nb::cast(x)); };
    nb::dict out;
    out["b_value"] = number(v.b_value);
    out["gradient"] = vector(v.gradient);
    out["b_matrix"] = vector(v.b_matrix);
    out["slice_normal"] = vector(v.slice_normal);
    out["phase_encoding_positive"] = v.phase_encoding_positive ? nb::object(nb::bool_(*v.phase_encoding_positive)) : nb::none();
    out["bandwidth_per_pixel_phase_encode"] = number(v.bandwidth_per_pixel_phase_encode);
    out["mosaic_tiles"] = v.mosaic_tiles ? nb::object(nb::int_(*v.mosaic_tiles)) : nb::none();
    out["slice_times"] = vector(v.slice_times);
    return out;
}

nb::object read_diffusion(const Path& path) {
    check_opens(path);
    const volume::DecodedSeries d = without_gil([&] { return volume::decode_one_file(path, 0, true, true); });
    nb::list frames;
    std::int64_t last = -1;
    std::string vendor_source;
    for (std::size_t i = 0; i < d.diffusion.size(); ++i) {
        // Tiles of a mosaic share their frame's entry.
        if (std::int64_t(d.frame_number[i]) == last) continue;
        last = d.frame_number[i];
        const diffusion::DiffusionEntry& e = d.diffusion[i];
        if (!e.valid) continue;
        nb::dict f;
        f["frame"] = d.frame_number[i];
        f["bvalue"] = e.bvalue;
        f["gradient"] = floats(e.gradient, 3);
        f["gradient_frame"] = str_of(frame_name(e.frame));
        f["source"] = str_of(diffusion::source_name(e.source));
        f["isotropic"] = e.isotropic;
        f["b_matrix"] = e.has_bmatrix ? nb::object(floats(e.bmatrix, 6)) : nb::none();
        frames.append(f);
    }
    if (frames.size() == 0) return nb::none();
    return frames;
}

nb::dict b0_threshold(const std::vector<double>& bvals, std::optional<std::vector<std::array<double, 3>>> bvecs,
                      double threshold, std::optional<std::vector<bool>> isotropic) {
    if (bvecs && bvecs->size() != bvals.size())
        throw std::invalid_argument("dwi_b0_threshold: bvecs must have one [x, y, z] per b-value");
    if (!(threshold >= 0)) throw std::invalid_argument("dwi_b0_threshold: threshold must be 0 or more");
    const auto kinds = diffusion::classify_volumes(bvals, bvecs ? &*bvecs : nullptr, threshold,
                                                   isotropic ? &*isotropic : nullptr);
    nb::list b0, weighted, derived;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        b0.append(kinds[i] == diffusion::VolumeKind::kB0);
        if (kinds[i] == diffusion::VolumeKind::kWeighted) weighted.append(i);
        if (kinds[i] == diffusion::VolumeKind::kDerived) derived.append(i);
    }
    nb::dict out;
    out["b0"] = b0;
    out["weighted"] = weighted;
    out["derived"] = derived;
    out["threshold"] = threshold;
    return out;
}

nb::dict bids_sidecar(const std::vector<Path>& paths) {
    if (paths.empty()) throw std::invalid_argument("bids_sidecar: no files");
    return sidecar_dict(without_gil([&] { return volume::bids_sidecar(strings(paths)); }));
}

}  // namespace

nb::dict sidecar_dict(const loamwerk::volume::Sidecar& fields) {
    nb::dict out;
    for (const auto& [key, value] : fields) {
        nb::object v;
        if (const auto* s = std::get_if<std::string>(&value)) v = utf8_str(*s);
        else if (const auto* x = std::get_if<double>(&value)) v = nb::float_(*x);
        else if (const auto* n = std::get_if<std::int64_t>(&value)) v = nb::int_(*n);
        else if (const auto* b = std::get_if<bool>(&value)) v = nb::bool_(*b);
        else if (const auto* list = std::get_if<std::vector<double>>(&value)) v = floats(list->data(), list->size());
        else v = utf8_list(std::get<std::vector<std::string>>(value));
        out[str_of(key)] = v;
    }
    out["ConversionSoftware"] = "loam";
#ifdef LOAM_VERSION
    out["ConversionSoftwareVersion"] = LOAM_VERSION;
#endif
    return out;
}


void register_diffusion(nb::module_& m) {
    m.def("mosaic_expand", &mosaic_expand, nb::arg("source"),
          nb::sig("def mosaic_expand(source: bytes | str | os.PathLike[str]) -> tuple[numpy.typing.NDArray[numpy.float32], dict]"),
          "A mosaic image (Siemens MOSAIC with the CSA image header, or United Imaging VFRAME) cut into its\n"
          "slices: float32 (tiles, rows, columns) in modality units, and meta with tiles, grid, positions\n"
          "(each tile's Image Position (Patient), LPS mm, in acquisition order), orientation,\n"
          "pixel_spacing, slice_spacing and slice_times (seconds, from MosaicRefAcqTimes; None when absent).\n"
          "Tile positions follow dcm2niix: the mosaic's corner moved by half the untiled part.");
    m.def("siemens_diffusion", &siemens_diffusion, nb::arg("source"),
          nb::sig("def siemens_diffusion(source: bytes | str | os.PathLike[str]) -> dict | None"),
          "The diffusion and timing values of a Siemens CSA image header: b_value (s/mm^2), gradient (unit\n"
          "vector in patient LPS), b_matrix (bxx, bxy, bxz, byy, byz, bzz), slice_normal,\n"
          "phase_encoding_positive, bandwidth_per_pixel_phase_encode (Hz), mosaic_tiles and slice_times\n"
          "(seconds per mosaic tile). Values the header lacks are None; None when there is no CSA header.");
    m.def("read_diffusion", &read_diffusion, nb::arg("path"),
          nb::sig("def read_diffusion(path: str | os.PathLike[str]) -> list[dict] | None"),
          "Every frame's diffusion encoding, whichever vendor wrote it: a dict per frame with frame, bvalue,\n"
          "gradient, gradient_frame ('patient' for LPS, 'logical' for GE's phase/frequency/slice axes),\n"
          "source ('standard', 'Siemens CSA', 'GE', 'Philips', 'UIH'), isotropic (the vendor's derived\n"
          "trace image) and b_matrix (Siemens). None when the file states no diffusion encoding.");
    m.def("dwi_b0_threshold", &b0_threshold, nb::arg("bvals"), nb::arg("bvecs") = nb::none(),
          nb::arg("threshold") = diffusion::kDefaultB0Threshold, nb::arg("isotropic") = nb::none(),
          nb::sig("def dwi_b0_threshold(bvals: list[float], bvecs: list[list[float]] | None = None, "
                  "threshold: float = 50.0, isotropic: list[bool] | None = None) -> dict"),
          "Which volumes of a diffusion series are b = 0 references, by dcm2niix's rules: b at or below\n"
          "threshold (s/mm^2), or a weighted volume reported without a direction in a series that has no\n"
          "directions. A weighted volume without a direction in a series with directions (or marked in\n"
          "isotropic) is the scanner's derived trace image. Returns b0 (a bool per volume), weighted and\n"
          "derived (volume indices) and the threshold.");
    m.def("bids_sidecar", &bids_sidecar, nb::arg("paths"),
          nb::sig("def bids_sidecar(paths: Sequence[str | os.PathLike[str]]) -> dict"),
          "The BIDS sidecar of one series, with dcm2niix's key names and units (seconds, degrees): Modality,\n"
          "Manufacturer, ProtocolName, SeriesDescription, SeriesNumber, ImageType, AcquisitionTime,\n"
          "EchoTime, RepetitionTime, FlipAngle, EffectiveEchoSpacing and TotalReadoutTime (Siemens),\n"
          "PhaseEncodingDirection (or PhaseEncodingAxis when the polarity is unknown) and SliceTiming, both\n"
          "on the voxel axes of the volume assemble_4d makes (i columns, j rows, k ascending slices), and\n"
          "more. Names, IDs and dates of the patient are never included.");
}

}  // namespace loam::bind
